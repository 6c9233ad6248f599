#include "SNP_OperatorPinLock.h"

bool SNP_OperatorPinLock::accept(const QString& typed, const std::optional<QString>& expected)
{
    if (expected && !expected->isEmpty() && typed == *expected && !locked()) {
        _wrongPins = 0;
        return true;
    }
    ++_wrongPins;
    return false;
}

bool SNP_OperatorPinLock::lockWhenAtLimit()
{
    if (_wrongPins < _wrongLimit)
        return false;
    _wrongPins = 0;
    _lockedUntilMs = nowMs() + _lockDuration.count();
    return true;
}

bool SNP_OperatorPinLock::locked() const { return _lockedUntilMs != 0 && nowMs() < _lockedUntilMs; }

qint64 SNP_OperatorPinLock::nowMs() const
{
    if (_clockMs)
        return _clockMs();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
