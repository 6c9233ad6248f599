// The lock on "quit" in kiosk mode: the wrong operator PINs typed in a row and, once there
// have been too many, until when "quit" stays locked, by a steady clock that tests replace.
// Main thread only; no widgets.
#pragma once

#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class SNP_OperatorPinLock {
public:
    SNP_OperatorPinLock(int wrongLimit, std::chrono::milliseconds lockDuration)
        : _wrongLimit(wrongLimit), _lockDuration(lockDuration)
    {
    }

    // The typed PIN is the expected one (set, not empty) and "quit" is not locked: the
    // wrong ones in a row start again from none. Otherwise one more wrong one is counted.
    bool accept(const QString& typed, const std::optional<QString>& expected);
    int wrongInARow() const { return _wrongPins; }
    // At the limit of wrong PINs in a row "quit" is locked from now for the lock's duration
    // and the count starts again (true); below it nothing changes.
    bool lockWhenAtLimit();
    bool locked() const;
    // The clock, in milliseconds (null: the steady clock).
    void setClockForTesting(std::function<qint64()> clock) { _clockMs = std::move(clock); }

private:
    qint64 nowMs() const;

    int _wrongLimit;
    std::chrono::milliseconds _lockDuration;
    int _wrongPins = 0;
    qint64 _lockedUntilMs = 0;
    std::function<qint64()> _clockMs;
};
