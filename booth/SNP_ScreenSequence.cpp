#include "SNP_ScreenSequence.h"

#include <QTimer>

#include <cmath>
#include <limits>

SNP_ScreenSequence::SNP_ScreenSequence(SNP_ScreenSequenceDelegate& delegate, QObject* timerOwner)
    : _delegate(delegate), _timerOwner(timerOwner)
{
}

SNP_ScreenSequence::~SNP_ScreenSequence() { delete _timer.data(); }

SNP_Screen SNP_ScreenSequence::following(uint32_t screen)
{
    return screen >= kScreenCount ? SNP_Screen::Start : SNP_Screen(screen + 1);
}

std::optional<uint32_t> SNP_ScreenSequence::countdownSeconds(SNP_Screen screen, uint32_t touchCountdownSeconds)
{
    switch (screen) {
    case SNP_Screen::TouchCountdown:
        return touchCountdownSeconds;
    case SNP_Screen::LiveCountdown:
        return kLiveCountdownSeconds;
    case SNP_Screen::Capture:
        return kCaptureTimeoutSeconds;
    case SNP_Screen::Result:
        return kResultSeconds;
    default:
        return std::nullopt;
    }
}

void SNP_ScreenSequence::advance()
{
    const uint32_t touchSeconds = _delegate.touchCountdownSeconds();
    const SNP_Screen next = following(_screen.load());
    _screen.store(uint32_t(next));
    const std::optional<uint32_t> seconds = countdownSeconds(next, touchSeconds);
    _heldScreen = 0;
    _delegate.enterScreen(next, seconds.value_or(0));
    // Only this screen's own hold stops its countdown: one a later screen entered meanwhile
    // (from within the entry actions) made is that screen's.
    if (seconds && _heldScreen != uint32_t(next))
        startCountdown(*seconds);
    _delegate.screenEntered(next);
}

void SNP_ScreenSequence::startOver()
{
    _screen.store(0);
    advance();
}

void SNP_ScreenSequence::holdScreen()
{
    _heldScreen = _screen.load();
    if (_timer)
        _timer->stop();
}

void SNP_ScreenSequence::startScreenCountdown()
{
    // Only the result screen is held; the touch countdown's seconds play no part.
    startCountdown(countdownSeconds(screen(), 0).value_or(0));
}

void SNP_ScreenSequence::startCountdown(double delay)
{
    if (!_timer) {
        _timer = new QTimer(_timerOwner);
        _timer->setObjectName(QStringLiteral("screenTimer"));
        QObject::connect(_timer, &QTimer::timeout, _timer, [this] { tick(_timer); });
    }
    _timer->stop();

    if (!(delay > 0)) // negative and not-a-number
        _countdown = 0;
    else if (delay >= double(std::numeric_limits<uint32_t>::max()))
        _countdown = std::numeric_limits<uint32_t>::max();
    else
        _countdown = uint32_t(std::floor(delay));

    _timer->setSingleShot(false);
    _timer->start(tickMs());
}

void SNP_ScreenSequence::tick(QTimer* firing)
{
    if (_countdown == 0) {
        if (firing)
            firing->stop();
        advance();
        return;
    }
    countDown();
}

void SNP_ScreenSequence::countDown()
{
    _delegate.countdownTick(screen(), _countdown);
    if (_countdown != 0)
        --_countdown;
}

bool SNP_ScreenSequence::countingDown() const { return _timer && _timer->isActive(); }
