// The visitor's screens: a fixed cycle of six screens shown on the touch screen and the
// live screen at once, driven by one repeating screen timer, the go button, the
// keyboard's accept and exit keys and the arrival of the photo.
//
// Between visitors nothing is kept: every return to screen 1 empties the address fields
// and the accepted addresses, and the e-mail screen returns to screen 1 by itself when no
// key is touched for a while. A pass that ends without a picture says so (the sorry
// screen, "touch7" and "live7") instead of thanking the visitor, and no pass starts
// without a camera. "quit" leaves kiosk mode only with the operator PIN when one is set.
// Main thread only.
#include "AppController.h"

#include "SNP_KeyboardView.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SNP_Resources.h"

#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#ifdef HAVE_QT_TTS
#include <QTextToSpeech>
#include <QVoice>
#endif
#ifdef HAVE_QT_MULTIMEDIA
#include <QAudioDevice>
#include <QMediaDevices>
#include <QSoundEffect>
#endif

#include <chrono>
#include <cmath>
#include <limits>

namespace {

// The keyboard, also before awakeFromNib has set the outlet.
inline SNP_KeyboardView* keyboardWidget(AppController* c)
{
    if (!c->_keyboard)
        c->_keyboard = c->findChild<SNP_KeyboardView*>(QStringLiteral("_keyboard"));
    return c->_keyboard;
}

constexpr uint32_t kLiveCountdown = 9;
constexpr double kCaptureTimeout = 15;
constexpr double kResultDisplay = 2;
constexpr uint32_t kScreenCount = 6;
constexpr uint32_t kSorryPictures = 7; // the result screen's pictures when no picture came

void setNumber(QLabel* field, uint32_t value)
{
    if (field)
        field->setText(QString::number(value));
}

void setShown(QWidget* view, bool shown)
{
    if (view)
        view->setVisible(shown);
}

} // namespace

void AppController::nextScreen(QObject*)
{
    const uint32_t touchCount = SNP_Preferences::touchScreenCountValue();

    uint32_t screen = _screenNumber.load() + 1;
    if (screen > kScreenCount)
        screen = 1;
    _screenNumber.store(screen);
    // The result screen thanks the visitor only for a picture that came (photo intake
    // counts it before it moves the booth on).
    _sorryScreen = screen == 6 && photoAcceptedCount() == _acceptedBeforeCapture;

    disableScreenUpdates();
    showScreenPictures(_sorryScreen ? kSorryPictures : screen);

    switch (screen) {
    case 1: // start; nothing of the last visitor stays
        setShown(_badEmail, false);
        setShown(_cameraNotReadyNotice, false);
        setShown(_EVFView, false);
        setShown(_goButton, true);
        setShown(keyboardWidget(this), false);
        setShown(_overlayContentView, false);
        forgetVisitor();
        break;
    case 2: // e-mail entry
        setShown(_goButton, false);
        setShown(keyboardWidget(this), true);
        if (SNP_KeyboardView* keyboard = keyboardWidget(this))
            keyboard->nextFirstResponder(keyboard);
        restartKeyboardIdleTimer();
        break;
    case 3: // touch countdown
        stopKeyboardIdleTimer();
        setNumber(_touchCountdownField, touchCount);
        setShown(_touchCountdownField, true);
        if (_EVFView)
            _EVFView->setPixmap(QPixmap::fromImage(blackImage()));
        resizeLiveViewToFit();
        setShown(keyboardWidget(this), false);
        liveViewOn(this);
        setShown(_overlayContentView, true);
        startTimerWithExpirationDelay(touchCount);
        setShown(_liveCountdownField1, true);
        setShown(_liveCountdownField2, true);
        setNumber(_liveCountdownField1, kLiveCountdown);
        setNumber(_liveCountdownField2, kLiveCountdown);
        break;
    case 4: // live countdown
        setShown(_touchCountdownField, false);
        startTimerWithExpirationDelay(kLiveCountdown);
        break;
    case 5: // capture
        _captureScreenStartMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count();
        _acceptedBeforeCapture = photoAcceptedCount();
        setShown(_liveCountdownField1, false);
        setShown(_liveCountdownField2, false);
        SNP_Log::debug(QStringLiteral("ending LiveView"));
        liveViewOff(this);
        SNP_Log::debug(QStringLiteral("taking a picture"));
        playGrabSound();
        takePicture(this);
        startTimerWithExpirationDelay(kCaptureTimeout);
        break;
    case 6: // result, or the sorry screen
        if (_sorryScreen) {
            // Whatever the camera picture holds (the last live-view frame) is not this
            // visitor's photo: blanked, and the frame with it.
            SNP_Log::debug(QStringLiteral("no picture came for this visitor: showing the sorry screen"));
            if (_EVFView)
                _EVFView->setPixmap(QPixmap::fromImage(blackImage()));
            setShown(_EVFView, false);
            setShown(_overlayContentView, false);
        } else {
            setShown(_EVFView, true);
        }
        startTimerWithExpirationDelay(kResultDisplay);
        break;
    }
    showContentForScreen();
    enableScreenUpdates();
    emit screenShown(screen);
}

void AppController::forgetVisitor()
{
    stopKeyboardIdleTimer();
    if (SNP_KeyboardView* keyboard = keyboardWidget(this)) {
        (void)keyboard->values(); // the fields are emptied
        keyboard->setSecretEntry(false);
    }
    _emails.clear();
    _pinEntry = false;
    setShown(_pinPrompt, false);
}

void AppController::goButtonTouched()
{
    const bool rejectionNotice = _badEmail && !_badEmail->isHidden();
    if (_screenNumber.load() == 1 && !rejectionNotice && !_currentCamera) {
        SNP_Log::debug(QStringLiteral("the go button was touched but no camera is ready: no pass is started"));
        if (_cameraNotReadyNotice) {
            _cameraNotReadyNotice->show();
            _cameraNotReadyNotice->raise();
        }
        return;
    }
    nextScreen(_goButton);
}

void AppController::restartKeyboardIdleTimer()
{
    const uint32_t seconds = SNP_Preferences::keyboardIdleSeconds();
    if (seconds == 0) {
        stopKeyboardIdleTimer();
        return;
    }
    if (!_keyboardIdleTimer) {
        _keyboardIdleTimer = new QTimer(this);
        _keyboardIdleTimer->setObjectName(QStringLiteral("keyboardIdleTimer"));
        _keyboardIdleTimer->setSingleShot(true);
        connect(_keyboardIdleTimer, &QTimer::timeout, this, &AppController::keyboardIdle);
    }
    const int tick = _screenTimerInterval > 0 ? _screenTimerInterval : 1000;
    _keyboardIdleTimer->start(int(std::min<qint64>(qint64(seconds) * tick, std::numeric_limits<int>::max())));
}

void AppController::stopKeyboardIdleTimer()
{
    if (_keyboardIdleTimer)
        _keyboardIdleTimer->stop();
}

void AppController::keyboardIdle()
{
    // The e-mail screen, or the rejection notice over the keyboard.
    SNP_KeyboardView* keyboard = keyboardWidget(this);
    const uint32_t screen = _screenNumber.load();
    if (!(screen == 2 || (screen == 1 && keyboard && !keyboard->isHidden())))
        return;
    SNP_Log::debugf("no key touched for %u seconds on the e-mail screen: back to the first screen",
                    SNP_Preferences::keyboardIdleSeconds());
    startOver(this);
}

void AppController::startOver(QObject* sender)
{
    _screenNumber.store(0);
    nextScreen(sender);
}

void AppController::keyboardViewDidAcceptAndContinue(SNP_KeyboardView* keyboard)
{
    if (!keyboard)
        return;
    restartKeyboardIdleTimer();
    if (_pinEntry) {
        checkOperatorPin(keyboard->values().join(QString()));
        return;
    }
    const QStringList addresses = keyboard->values();
    if (!acceptEmailAddresses(addresses) && !_pinEntry)
        keyboard->setValues(addresses); // the valid ones come back for correction
}

bool AppController::acceptEmailAddresses(const QStringList& addresses)
{
    SNP_Log::debugf("got values:%s", qUtf8Printable(QStringLiteral("(") + addresses.join(QStringLiteral(", ")) + QStringLiteral(")")));
    setShown(_badEmailItemText, false);

    if (!addresses.isEmpty()) {
        bool rejected = false;
        for (const QString& address : addresses) {
            if (address.compare(QStringLiteral("quit"), Qt::CaseInsensitive) == 0) {
                SNP_Log::debug(QStringLiteral("Found email with Quit in it... "));
                const std::optional<QString> pin = SNP_Preferences::operatorPin();
                if (!_kioskMode || (pin && pin->isEmpty())) {
                    toggleFullScreen(this);
                } else if (!pin || quitLocked()) {
                    SNP_Log::debug(QStringLiteral("\"quit\" is locked: it is taken as an address"));
                } else {
                    beginOperatorPinEntry();
                    return false;
                }
            }
            if (!SNP_Log::validateEmailAddress(address)) {
                if (_badEmailItemText) {
                    _badEmailItemText->setText(QStringLiteral("<%1>").arg(address));
                    _badEmailItemText->show();
                }
                rejected = true;
                break;
            }
        }
        if (!rejected) {
            setEmails(addresses);
            nextScreen(this);
            return true;
        }
    } else if (_badEmailItemText) {
        _badEmailItemText->setText(QStringLiteral("<NO Email Entered...>"));
        _badEmailItemText->show();
    }

    // The rejection notice: screen number 1 without screen 1's entry actions; the caller
    // gives the addresses back to the keyboard.
    setShown(_badEmail, true);
    setShown(_goButton, true);
    if (_goButton)
        _goButton->raise();
    _screenNumber.store(1);
    return false;
}

// ---- the operator PIN ----

namespace {
qint64 steadyNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

void AppController::beginOperatorPinEntry()
{
    SNP_Log::debug(QStringLiteral("\"quit\" typed in kiosk mode: asking for the operator PIN"));
    _pinEntry = true;
    if (SNP_KeyboardView* keyboard = keyboardWidget(this)) {
        keyboard->setSecretEntry(true);
        keyboard->nextFirstResponder(keyboard);
    }
    if (_pinPrompt) {
        _pinPrompt->show();
        _pinPrompt->raise();
    }
}

void AppController::checkOperatorPin(const QString& pin)
{
    _pinEntry = false;
    const std::optional<QString> expected = SNP_Preferences::operatorPin();
    if (expected && !expected->isEmpty() && pin == *expected && !quitLocked()) {
        SNP_Log::debug(QStringLiteral("operator PIN accepted: leaving kiosk mode"));
        _wrongPins = 0;
        startOver(this);
        if (_kioskMode)
            toggleFullScreen(this);
        return;
    }
    ++_wrongPins;
    SNP_Log::debugf("wrong operator PIN (%d in a row): back to the first screen", _wrongPins);
    if (_wrongPins >= kWrongPinLimit) {
        _wrongPins = 0;
        _quitLockedUntilMs = (_steadyClockMs ? _steadyClockMs() : steadyNowMs()) +
                             std::chrono::milliseconds(kQuitLockDuration).count();
        SNP_Log::debugf("%d wrong operator PINs in a row: \"quit\" is locked for %lld minutes", kWrongPinLimit,
                        static_cast<long long>(kQuitLockDuration.count()));
    }
    startOver(this);
}

bool AppController::quitLocked() const
{
    return _quitLockedUntilMs != 0 && (_steadyClockMs ? _steadyClockMs() : steadyNowMs()) < _quitLockedUntilMs;
}

void AppController::setEmails(const QStringList& emails) { _emails = emails; }

QStringList AppController::emails() const { return _emails; }

void AppController::startTimerWithExpirationDelay(double delay)
{
    if (!_screenTimer) {
        _screenTimer = new QTimer(this);
        _screenTimer->setObjectName(QStringLiteral("screenTimer"));
        QTimer* timer = _screenTimer;
        connect(timer, &QTimer::timeout, this, [this, timer] { timerDidFire(timer); });
    }
    _screenTimer->stop();

    if (!(delay > 0)) // negative and not-a-number
        _countdown = 0;
    else if (delay >= double(std::numeric_limits<uint32_t>::max()))
        _countdown = std::numeric_limits<uint32_t>::max();
    else
        _countdown = uint32_t(std::floor(delay));

    _screenTimer->setSingleShot(false);
    _screenTimer->start(_screenTimerInterval > 0 ? _screenTimerInterval : 1000);
}

void AppController::timerDidFire(QTimer* timer)
{
    if (_countdown == 0) {
        if (timer)
            timer->stop();
        nextScreen(this);
        return;
    }
    countdown();
}

void AppController::countdown()
{
    const uint32_t screen = _screenNumber.load();
    if (screen == 3) {
        setShown(_touchCountdownField, true);
        setNumber(_touchCountdownField, _countdown);
#ifdef HAVE_QT_TTS
        if (_speaker && _speaker->state() != QTextToSpeech::Error)
            _speaker->say(QStringLiteral(" "));
#endif
    } else if (screen == 4) {
        setShown(_liveCountdownField1, true);
        setShown(_liveCountdownField2, true);
        setNumber(_liveCountdownField1, _countdown);
        setNumber(_liveCountdownField2, _countdown);
    } else {
        setShown(_touchCountdownField, false);
        setShown(_liveCountdownField1, false);
        setShown(_liveCountdownField2, false);
    }
    if (_countdown != 0) {
        if (!_speaker)
            createSpeaker();
        --_countdown;
    }
}

void AppController::createSpeaker()
{
    if (_speaker)
        return;
#ifdef HAVE_QT_TTS
    // An engine that speaks by itself first: speech-dispatcher needs a daemon that a kiosk
    // may not run.
    const QStringList engines = QTextToSpeech::availableEngines();
    if (!engines.isEmpty()) {
        const QString engine = engines.contains(QStringLiteral("flite")) ? QStringLiteral("flite") : engines.first();
        _speaker = new QTextToSpeech(engine, this);
        if (_speaker->state() != QTextToSpeech::Error) {
            SNP_Log::debugf("speaking with the speech engine \"%s\", voice \"%s\" (%s)", qUtf8Printable(engine),
                            qUtf8Printable(_speaker->voice().name()), qUtf8Printable(_speaker->locale().name()));
            return;
        }
        SNP_Log::debugf("the speech engine \"%s\" does not start", qUtf8Printable(engine));
        delete _speaker;
        _speaker = nullptr;
    }
#endif
    if (!_reportedNoSpeech) {
        _reportedNoSpeech = true;
        SNP_Log::debug(QStringLiteral("no speech engine available: the countdown runs without its spoken tick"));
    }
}

void AppController::playGrabSound()
{
    const QUrl url = SNP_Resources::soundNamed(QStringLiteral("Grab"));
    if (url.isEmpty()) {
        SNP_Log::debug(QStringLiteral("the sound \"Grab\" is missing"));
        return;
    }
#ifdef HAVE_QT_MULTIMEDIA
    if (!QMediaDevices::audioOutputs().isEmpty()) {
        if (!_grabSound || _grabSound->source() != url) {
            delete _grabSound;
            _grabSound = new QSoundEffect(this);
            _grabSound->setSource(url);
        }
        if (_grabSound->status() != QSoundEffect::Error) {
            _grabSound->play();
            return;
        }
    }
#endif
    if (!_reportedNoSound) {
        _reportedNoSound = true;
        SNP_Log::debug(QStringLiteral("no audio output available: the sound \"Grab\" is not played"));
    }
}
