// The visitor's screens: a fixed cycle of six screens shown on the touch screen and the
// live screen at once, driven by the screen sequence's timer (SNP_ScreenSequence), the go
// button, the keyboard's accept and exit keys and the arrival of the photo. Here are what
// each screen shows on entry and at each tick of its countdown.
//
// Between visitors nothing is kept: every return to screen 1 empties the address fields
// and the accepted addresses, and the e-mail screen returns to screen 1 by itself when no
// key is touched for a while. A rejected address stays in its field to be corrected; one
// whose domain is a slip away from a common provider's is asked about ("Did you mean
// ...?"). The result screen tells the truth about the picture: on its way (filed, upload
// file written), saved for a later try ("touch8", "live8"), or lost, like a pass without a
// picture (the sorry screen, "touch7" and "live7"); no pass starts without a camera.
// "quit" leaves kiosk mode only with the operator PIN, which the first start makes when
// there is none; neither is ever shown as an address. The operator panel goes back to kiosk
// mode by itself when staff leave it alone. Main thread only.
#include "AppController.h"

#include "SNP_KeyboardView.h"
#include "SNP_Log.h"
#include "SNP_MailDomains.h"
#include "SNP_Preferences.h"

#include <QApplication>
#include <QEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <limits>

namespace {

// The result screen waits this long for the filing to end, in real time whatever the
// screens' second: the disk takes its own time.
constexpr int kFilingVerdictWaitMs = 15000;
constexpr uint32_t kSorryPictures = 7;    // the result screen's pictures when no picture came
constexpr uint32_t kHeldBackPictures = 8; // ... when the picture was saved for a later try

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

void AppController::nextScreen(QObject*) { _screens.advance(); }

uint32_t AppController::touchCountdownSeconds() { return SNP_Preferences::touchScreenCountValue(); }

void AppController::enterScreen(SNP_Screen screen, uint32_t seconds)
{
    // Whatever filing the last result screen waited for is no longer this screen's.
    if (_filingWaitTimer)
        _filingWaitTimer->stop();
    _resultPass = 0;
    // The result screen thanks the visitor only for a picture that came (photo intake
    // counts it before it moves the booth on).
    _sorryScreen = screen == SNP_Screen::Result && photoAcceptedCount() == _acceptedBeforeCapture;

    // A picture that came is shown on the live screen at once; the touch screen says where
    // it goes once its filing has ended (filingEnded).
    _awaitingFiling = screen == SNP_Screen::Result && !_sorryScreen;
    disableScreenUpdates();
    showScreenPictures(_sorryScreen ? kSorryPictures : uint32_t(screen), !_awaitingFiling);

    switch (screen) {
    case SNP_Screen::Start:
        enterStartScreen();
        break;
    case SNP_Screen::Email:
        enterEmailScreen();
        break;
    case SNP_Screen::TouchCountdown:
        enterTouchCountdown(seconds);
        break;
    case SNP_Screen::LiveCountdown:
        enterLiveCountdown(seconds);
        break;
    case SNP_Screen::Capture:
        enterCaptureScreen();
        break;
    case SNP_Screen::Result:
        enterResultScreen();
        break;
    }
}

void AppController::screenEntered(SNP_Screen screen)
{
    showContentForScreen();
    enableScreenUpdates();
    if (!_awaitingFiling)
        emit screenShown(uint32_t(screen));
}

// Start; nothing of the last visitor stays.
void AppController::enterStartScreen()
{
    setShown(_badEmail, false);
    setShown(_cameraNotReadyNotice, false);
    setShown(_EVFView, false);
    setShown(_goButton, true);
    setShown(keyboardWidget(), false);
    showFrameOverlay(false);
    forgetVisitor();
}

// E-mail entry.
void AppController::enterEmailScreen()
{
    setShown(_goButton, false);
    setShown(keyboardWidget(), true);
    if (SNP_KeyboardView* keyboard = keyboardWidget())
        keyboard->nextFirstResponder(keyboard);
    restartKeyboardIdleTimer();
}

// The touch countdown; the live screen counts the same seconds as the touch screen.
void AppController::enterTouchCountdown(uint32_t seconds)
{
    stopKeyboardIdleTimer();
    setNumber(_touchCountdownField, seconds);
    setShown(_touchCountdownField, true);
    if (_EVFView)
        _EVFView->setPixmap(QPixmap::fromImage(blackImage()));
    resizeLiveViewToFit();
    setShown(keyboardWidget(), false);
    liveViewOn(this);
    showFrameOverlay(true);
    setShown(_liveCountdownField1, true);
    setShown(_liveCountdownField2, true);
    setNumber(_liveCountdownField1, seconds);
    setNumber(_liveCountdownField2, seconds);
}

// The live countdown, from 9 (not from the touch countdown's last second).
void AppController::enterLiveCountdown(uint32_t seconds)
{
    setShown(_touchCountdownField, false);
    setNumber(_liveCountdownField1, seconds);
    setNumber(_liveCountdownField2, seconds);
}

// The capture, until the picture comes or the time-out.
void AppController::enterCaptureScreen()
{
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
}

// The result, or the sorry screen.
void AppController::enterResultScreen()
{
    if (_sorryScreen) {
        // Whatever the camera picture holds (the last live-view frame) is not this
        // visitor's photo: blanked, and the frame with it.
        SNP_Log::debug(QStringLiteral("no picture came for this visitor: showing the sorry screen"));
        blankCameraPicture();
        return;
    }
    setShown(_EVFView, true);
    _resultPass = photoAcceptedCount();
    _screens.holdScreen();
    singleShotTimer(_filingWaitTimer, "filingWaitTimer", [this] {
        SNP_Log::debugf("the picture's filing has not ended after %d s: the result screen ends without "
                        "saying where the picture is",
                        kFilingVerdictWaitMs / 1000);
        nextScreen(this);
    })->start(kFilingVerdictWaitMs);
}

void AppController::filingEnded(uint64_t pass, FilingVerdict verdict)
{
    if (pass == 0 || pass != _resultPass || _screens.screen() != SNP_Screen::Result) {
        SNP_Log::debugf("the filing of picture %llu ended after its result screen",
                        static_cast<unsigned long long>(pass));
        return;
    }
    _resultPass = 0;
    if (_filingWaitTimer)
        _filingWaitTimer->stop();
    // "On its way" only for a picture filed with its upload file written.
    uint32_t pictures = 6;
    if (verdict == FilingVerdict::HeldBack) {
        SNP_Log::debug(QStringLiteral("the picture is held back for a later try: the result screen says it is saved"));
        pictures = kHeldBackPictures;
    } else if (verdict == FilingVerdict::Lost) {
        SNP_Log::debug(QStringLiteral("the picture could not be saved: showing the sorry screen"));
        _sorryScreen = true;
        pictures = kSorryPictures;
        blankCameraPicture();
    }
    disableScreenUpdates();
    showScreenPictures(pictures);
    _screens.startScreenCountdown();
    showContentForScreen();
    enableScreenUpdates();
    emit screenShown(6);
}

void AppController::forgetVisitor()
{
    stopKeyboardIdleTimer();
    if (SNP_KeyboardView* keyboard = keyboardWidget()) {
        (void)keyboard->values(); // the fields are emptied
        keyboard->setSecretEntry(false);
    }
    _emails.clear();
    _pinEntry = false;
    setShown(_pinPrompt, false);
    _addressQuestion.forget();
}

void AppController::goButtonTouched()
{
    const bool rejectionNotice = _badEmail && !_badEmail->isHidden();
    if (_screens.screen() == SNP_Screen::Start && !rejectionNotice && !_currentCamera) {
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
    startForScreenSeconds(singleShotTimer(_keyboardIdleTimer, "keyboardIdleTimer", [this] { keyboardIdle(); }),
                          seconds);
}

QTimer* AppController::singleShotTimer(QTimer*& timer, const char* name, const std::function<void()>& fired)
{
    if (!timer) {
        timer = new QTimer(this);
        timer->setObjectName(QString::fromLatin1(name));
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, fired);
    }
    return timer;
}

int AppController::screenTickMs() const { return _screens.tickMs(); }

SNP_KeyboardView* AppController::keyboardWidget()
{
    if (!_keyboard)
        _keyboard = findChild<SNP_KeyboardView*>(QStringLiteral("_keyboard"));
    return _keyboard;
}

QString AppController::rejectionNoticeText() const
{
    return _badEmailItemText ? _badEmailItemText->text() : QString();
}

void AppController::startForScreenSeconds(QTimer* timer, uint32_t seconds) const
{
    timer->start(int(std::min<qint64>(qint64(seconds) * screenTickMs(), std::numeric_limits<int>::max())));
}

void AppController::stopKeyboardIdleTimer()
{
    if (_keyboardIdleTimer)
        _keyboardIdleTimer->stop();
}

void AppController::keyboardIdle()
{
    // The e-mail screen, or the rejection notice over the keyboard.
    SNP_KeyboardView* keyboard = keyboardWidget();
    const SNP_Screen screen = _screens.screen();
    if (!(screen == SNP_Screen::Email || (screen == SNP_Screen::Start && keyboard && !keyboard->isHidden())))
        return;
    SNP_Log::debugf("no key touched for %u seconds on the e-mail screen: back to the first screen",
                    SNP_Preferences::keyboardIdleSeconds());
    startOver(this);
}

void AppController::startOver(QObject*) { _screens.startOver(); }

void AppController::keyboardViewDidAcceptAndContinue(SNP_KeyboardView* keyboard)
{
    if (!keyboard)
        return;
    restartKeyboardIdleTimer();
    if (_pinEntry) {
        checkOperatorPin(keyboard->values().join(QString()));
        return;
    }
    (void)acceptEmailAddresses(keyboard->values());
}

bool AppController::acceptEmailAddresses(const QStringList& addresses)
{
    // Every try is logged with the addresses masked (a typo, "quit" or the PIN among them);
    // the addresses the pass goes on with are logged once, in full, as they are taken.
    SNP_Log::debugf("got values:(%s)", qUtf8Printable(SNP_Log::maskedAddresses(addresses).join(QStringLiteral(", "))));
    setShown(_badEmailItemText, false);
    SNP_KeyboardView* keyboard = keyboardWidget();

    if (!addresses.isEmpty()) {
        // A word typed to open the operator panel ("quit", or the PIN itself) is never
        // shown, given back to the keyboard or kept for the next visitor.
        const std::optional<QString> pin = SNP_Preferences::operatorPin();
        for (const QString& address : addresses) {
            if (address.compare(QStringLiteral("quit"), Qt::CaseInsensitive) == 0) {
                SNP_Log::debug(QStringLiteral("Found email with Quit in it... "));
                if (!inKioskMode() || (pin && pin->isEmpty())) {
                    toggleFullScreen(this);
                } else if (!pin || quitLocked()) {
                    SNP_Log::debug(QStringLiteral("\"quit\" is locked: the entry is dropped"));
                } else {
                    beginOperatorPinEntry();
                    return false;
                }
                startOver(this);
                return false;
            }
            if (pin && !pin->isEmpty() && address == *pin) {
                SNP_Log::debug(QStringLiteral("the operator PIN was typed as an address: the entry is dropped"));
                startOver(this);
                return false;
            }
        }
        const auto rejected = std::find_if(addresses.begin(), addresses.end(),
                                           [](const QString& a) { return !SNP_Log::validateEmailAddress(a); });
        if (rejected == addresses.end()) {
            // One letter off a common provider's domain: asked about before the pass goes on.
            for (int i = 0; i < addresses.size(); ++i) {
                if (_addressQuestion.kept(addresses[i]))
                    continue;
                if (const std::optional<QString> suggestion = SNP_MailDomains::suggestionFor(addresses[i])) {
                    if (keyboard)
                        keyboard->setValues(addresses);
                    askAboutAddress(addresses, i, *suggestion);
                    return false;
                }
            }
            SNP_Log::debugf("the visitor's addresses: (%s)", qUtf8Printable(addresses.join(QStringLiteral(", "))));
            setEmails(addresses);
            nextScreen(this);
            return true;
        }
        if (_badEmailItemText) {
            _badEmailItemText->setText(QStringLiteral("<%1>").arg(*rejected));
            _badEmailItemText->show();
        }
    } else if (_badEmailItemText) {
        _badEmailItemText->setText(QStringLiteral("<NO Email Entered...>"));
        _badEmailItemText->show();
    }

    // The rejection notice: screen number 1 without screen 1's entry actions. The keyboard
    // gets the addresses back, the rejected one too, to be corrected where it stands.
    if (keyboard)
        keyboard->setValues(addresses);
    setShown(_badEmail, true);
    setShown(_goButton, true);
    if (_goButton)
        _goButton->raise();
    _screens.setScreenNumber(1);
    return false;
}

// ---- "Did you mean ...?" ----

void AppController::askAboutAddress(const QStringList& addresses, int index, const QString& suggestion)
{
    _addressQuestion.ask(_touchView, addresses, index, suggestion);
    layoutAddressQuestion();
    _addressQuestion.show();
}

void AppController::layoutAddressQuestion()
{
    if (!_touchView)
        return;
    const QRect view = _touchView->rect();
    _addressQuestion.layout(view, letterboxRect(touchPictureSize(), view));
}

void AppController::answerAddressQuestion(bool takeSuggestion)
{
    const std::optional<QStringList> addresses = _addressQuestion.answer(takeSuggestion);
    if (!addresses)
        return;
    if (SNP_KeyboardView* keyboard = keyboardWidget())
        (void)keyboard->values(); // the entry is checked again from here
    restartKeyboardIdleTimer();
    (void)acceptEmailAddresses(*addresses);
}

// ---- the operator PIN ----

void AppController::beginOperatorPinEntry()
{
    SNP_Log::debug(QStringLiteral("\"quit\" typed in kiosk mode: asking for the operator PIN"));
    _pinEntry = true;
    if (SNP_KeyboardView* keyboard = keyboardWidget()) {
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
    if (_pinLock.accept(pin, SNP_Preferences::operatorPin())) {
        SNP_Log::debug(QStringLiteral("operator PIN accepted: leaving kiosk mode"));
        startOver(this);
        if (inKioskMode())
            toggleFullScreen(this);
        return;
    }
    SNP_Log::debugf("wrong operator PIN (%d in a row): back to the first screen", _pinLock.wrongInARow());
    if (_pinLock.lockWhenAtLimit()) {
        SNP_Log::debugf("%d wrong operator PINs in a row: \"quit\" is locked for %lld minutes", kWrongPinLimit,
                        static_cast<long long>(kQuitLockDuration.count()));
    }
    startOver(this);
}

// ---- the operator panel goes back to kiosk mode by itself ----

namespace {
// Any touch, click or key on any of the booth's windows counts as staff still at work.
class OperatorActivity : public QObject {
public:
    explicit OperatorActivity(AppController* controller) : QObject(controller), _controller(controller)
    {
        setObjectName(QStringLiteral("operatorActivity"));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::KeyPress:
        case QEvent::TouchBegin:
        case QEvent::Wheel:
            if (!_controller->inKioskMode() && watched && watched->isWidgetType())
                _controller->restartOperatorIdleTimer();
            break;
        default:
            break;
        }
        return false;
    }

private:
    AppController* _controller;
};
} // namespace

void AppController::restartOperatorIdleTimer()
{
    const uint32_t seconds = SNP_Preferences::operatorIdleSeconds();
    if (inKioskMode() || seconds == 0) {
        if (_operatorIdleTimer)
            _operatorIdleTimer->stop();
        return;
    }
    if (!_operatorIdleTimer)
        qApp->installEventFilter(new OperatorActivity(this));
    startForScreenSeconds(singleShotTimer(_operatorIdleTimer, "operatorIdleTimer", [this] { operatorIdle(); }),
                          seconds);
}

void AppController::operatorIdle()
{
    if (inKioskMode())
        return;
    SNP_Log::debugf("no touch for %u seconds on the operator panel: back to kiosk mode",
                    SNP_Preferences::operatorIdleSeconds());
    // A folder panel left open goes with the panel, changing nothing.
    for (QFileDialog* panel : findChildren<QFileDialog*>())
        panel->reject();
    startOver(this);
    toggleFullScreen(this);
}

bool AppController::quitLocked() const { return _pinLock.locked(); }

void AppController::setEmails(const QStringList& emails) { _emails = emails; }

QStringList AppController::emails() const { return _emails; }

void AppController::startTimerWithExpirationDelay(double delay) { _screens.startCountdown(delay); }

void AppController::timerDidFire(QTimer* timer) { _screens.tick(timer); }

void AppController::countdown() { _screens.countDown(); }

void AppController::countdownTick(SNP_Screen screen, uint32_t remaining)
{
    if (screen == SNP_Screen::TouchCountdown) {
        setShown(_touchCountdownField, true);
        setNumber(_touchCountdownField, remaining);
        setNumber(_liveCountdownField1, remaining);
        setNumber(_liveCountdownField2, remaining);
        _sounds.speakTick();
    } else if (screen == SNP_Screen::LiveCountdown) {
        setShown(_liveCountdownField1, true);
        setShown(_liveCountdownField2, true);
        setNumber(_liveCountdownField1, remaining);
        setNumber(_liveCountdownField2, remaining);
    } else {
        setShown(_touchCountdownField, false);
        setShown(_liveCountdownField1, false);
        setShown(_liveCountdownField2, false);
    }
    if (remaining != 0)
        createSpeaker(); // once
}

void AppController::createSpeaker() { _sounds.createSpeaker(); }

void AppController::playGrabSound() { _sounds.playGrabSound(); }
