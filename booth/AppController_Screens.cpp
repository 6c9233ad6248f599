// The visitor's screens: a fixed cycle of six screens shown on the touch screen and the
// live screen at once, driven by one repeating screen timer, the go button, the
// keyboard's accept and exit keys and the arrival of the photo.
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
#include "SNP_Resources.h"

#include <QApplication>
#include <QEvent>
#include <QFileDialog>
#include <QFontMetrics>
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

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace {

constexpr uint32_t kLiveCountdown = 9;
constexpr double kCaptureTimeout = 15;
constexpr double kResultDisplay = 2;
// The result screen waits this long for the filing to end, in real time whatever the
// screens' second: the disk takes its own time.
constexpr int kFilingVerdictWaitMs = 15000;
constexpr uint32_t kScreenCount = 6;
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

void AppController::nextScreen(QObject*)
{
    const uint32_t touchCount = SNP_Preferences::touchScreenCountValue();

    uint32_t screen = _screenNumber.load() + 1;
    if (screen > kScreenCount)
        screen = 1;
    // Whatever filing the last result screen waited for is no longer this screen's.
    if (_filingWaitTimer)
        _filingWaitTimer->stop();
    _resultPass = 0;
    _screenNumber.store(screen);
    // The result screen thanks the visitor only for a picture that came (photo intake
    // counts it before it moves the booth on).
    _sorryScreen = screen == 6 && photoAcceptedCount() == _acceptedBeforeCapture;

    // A picture that came is shown on the live screen at once; the touch screen says where
    // it goes once its filing has ended (filingEnded).
    const bool awaitingFiling = screen == 6 && !_sorryScreen;
    disableScreenUpdates();
    showScreenPictures(_sorryScreen ? kSorryPictures : screen, !awaitingFiling);

    switch (screen) {
    case 1: // start; nothing of the last visitor stays
        setShown(_badEmail, false);
        setShown(_cameraNotReadyNotice, false);
        setShown(_EVFView, false);
        setShown(_goButton, true);
        setShown(keyboardWidget(), false);
        showFrameOverlay(false);
        forgetVisitor();
        break;
    case 2: // e-mail entry
        setShown(_goButton, false);
        setShown(keyboardWidget(), true);
        if (SNP_KeyboardView* keyboard = keyboardWidget())
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
        setShown(keyboardWidget(), false);
        liveViewOn(this);
        showFrameOverlay(true);
        startTimerWithExpirationDelay(touchCount);
        // The live screen counts the same seconds as the touch screen.
        setShown(_liveCountdownField1, true);
        setShown(_liveCountdownField2, true);
        setNumber(_liveCountdownField1, touchCount);
        setNumber(_liveCountdownField2, touchCount);
        break;
    case 4: // live countdown, from 9 (not from the touch countdown's last second)
        setShown(_touchCountdownField, false);
        setNumber(_liveCountdownField1, kLiveCountdown);
        setNumber(_liveCountdownField2, kLiveCountdown);
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
            blankCameraPicture();
            startTimerWithExpirationDelay(kResultDisplay);
        } else {
            setShown(_EVFView, true);
            _resultPass = photoAcceptedCount();
            if (_screenTimer)
                _screenTimer->stop();
            singleShotTimer(_filingWaitTimer, "filingWaitTimer", [this] {
                SNP_Log::debugf("the picture's filing has not ended after %d s: the result screen ends without "
                                "saying where the picture is",
                                kFilingVerdictWaitMs / 1000);
                nextScreen(this);
            })->start(kFilingVerdictWaitMs);
        }
        break;
    }
    showContentForScreen();
    enableScreenUpdates();
    if (!awaitingFiling)
        emit screenShown(screen);
}

void AppController::filingEnded(uint64_t pass, FilingVerdict verdict)
{
    if (pass == 0 || pass != _resultPass || _screenNumber.load() != 6) {
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
    startTimerWithExpirationDelay(kResultDisplay);
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
    _keptAddresses.clear();
    _questionedAddresses.clear();
    _questionedIndex = -1;
    setShown(_addressQuestion, false);
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

int AppController::screenTickMs() const { return _screenTimerInterval > 0 ? _screenTimerInterval : 1000; }

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
                if (_keptAddresses.contains(addresses[i]))
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
    _screenNumber.store(1);
    return false;
}

// ---- "Did you mean ...?" ----

void AppController::askAboutAddress(const QStringList& addresses, int index, const QString& suggestion)
{
    SNP_Log::debugf("asking the visitor about %s: did they mean %s?",
                    qUtf8Printable(SNP_Log::maskedAddress(addresses.value(index))),
                    qUtf8Printable(SNP_Log::maskedAddress(suggestion)));
    _questionedAddresses = addresses;
    _questionedIndex = index;
    _suggestion = suggestion;
    if (!_addressQuestion) {
        // Over the whole touch view, so that the one touch asked for is all there is to do.
        _addressQuestion = new QWidget(_touchView);
        _addressQuestion->setObjectName(QStringLiteral("_addressQuestion"));
        _addressQuestion->setAttribute(Qt::WA_StyledBackground);
        _addressQuestion->setStyleSheet(QStringLiteral(
            "QWidget#_addressQuestion { background: rgba(20, 24, 38, 215); }"
            "QLabel { color: white; background: %1; font-family: 'DejaVu Sans'; font-weight: bold; }"
            "QPushButton { color: rgb(30, 30, 40); background: rgb(200, 200, 210); border: none;"
            " font-family: 'DejaVu Sans'; font-weight: bold; }"
            "QPushButton#_takeSuggestionButton { background: white; }")
                                            .arg(QLatin1String(SNP_Resources::kAccentStyleColor)));
        auto* text = new QLabel(_addressQuestion);
        text->setObjectName(QStringLiteral("_addressQuestionText"));
        text->setAlignment(Qt::AlignCenter);
        text->setWordWrap(true);
        text->setTextFormat(Qt::PlainText);
        for (const auto& [name, take] : {std::pair{"_takeSuggestionButton", true}, {"_keepAddressButton", false}}) {
            auto* button = new QPushButton(_addressQuestion);
            button->setObjectName(QString::fromLatin1(name));
            button->setFocusPolicy(Qt::NoFocus);
            connect(button, &QPushButton::clicked, this, [this, take] { answerAddressQuestion(take); });
        }
    }
    const QString typed = addresses.value(index);
    _addressQuestion->findChild<QLabel*>(QStringLiteral("_addressQuestionText"))
        ->setText(QStringLiteral("Did you mean %1?").arg(suggestion));
    _addressQuestion->findChild<QPushButton*>(QStringLiteral("_takeSuggestionButton"))
        ->setText(QStringLiteral("Yes: %1").arg(suggestion));
    _addressQuestion->findChild<QPushButton*>(QStringLiteral("_keepAddressButton"))
        ->setText(QStringLiteral("No, keep %1").arg(typed));
    layoutAddressQuestion();
    _addressQuestion->show();
    _addressQuestion->raise();
}

void AppController::layoutAddressQuestion()
{
    if (!_addressQuestion || !_touchView)
        return;
    const QRect view = _touchView->rect();
    _addressQuestion->setGeometry(view);
    const QRect stage = letterboxRect(touchPictureSize(), view);
    const int unit = std::max(1, std::min(stage.width(), stage.height()));
    const int width = int(0.8 * stage.width());
    const int textHeight = int(0.22 * unit);
    const int buttonHeight = int(0.14 * unit);
    const int gap = int(0.03 * unit);
    const int top = stage.center().y() - (textHeight + gap + buttonHeight) / 2;
    const int left = stage.center().x() - width / 2;
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    if (auto* text = _addressQuestion->findChild<QLabel*>(QStringLiteral("_addressQuestionText"))) {
        text->setGeometry(left, top, width, textHeight);
        font.setPixelSize(std::max(10, int(0.06 * unit)));
        text->setFont(font);
        text->setMargin(gap / 2);
    }
    // Both answers in one type size, as large as lets the longer one fit its button.
    const int half = (width - gap) / 2;
    const QList<QPushButton*> buttons{_addressQuestion->findChild<QPushButton*>(QStringLiteral("_takeSuggestionButton")),
                                      _addressQuestion->findChild<QPushButton*>(QStringLiteral("_keepAddressButton"))};
    int size = std::max(10, int(0.04 * unit));
    for (; size > 10; size = size * 9 / 10) {
        font.setPixelSize(size);
        const QFontMetrics metrics(font);
        if (std::all_of(buttons.begin(), buttons.end(), [&](const QPushButton* b) {
                return !b || metrics.horizontalAdvance(b->text()) <= half - gap;
            }))
            break;
    }
    font.setPixelSize(size);
    for (int i = 0; i < buttons.size(); ++i) {
        if (!buttons[i])
            continue;
        buttons[i]->setGeometry(left + i * (half + gap), top + textHeight + gap, half, buttonHeight);
        buttons[i]->setFont(font);
    }
}

void AppController::answerAddressQuestion(bool takeSuggestion)
{
    if (_questionedIndex < 0 || _questionedIndex >= _questionedAddresses.size())
        return;
    QStringList addresses = _questionedAddresses;
    QString& address = addresses[_questionedIndex];
    SNP_Log::debugf(takeSuggestion ? "the visitor took %s for %s" : "the visitor kept %s (not %s)",
                    qUtf8Printable(SNP_Log::maskedAddress(takeSuggestion ? _suggestion : address)),
                    qUtf8Printable(SNP_Log::maskedAddress(takeSuggestion ? address : _suggestion)));
    if (takeSuggestion)
        address = _suggestion;
    else
        _keptAddresses << address;
    _questionedAddresses.clear();
    _questionedIndex = -1;
    _suggestion.clear();
    setShown(_addressQuestion, false);
    if (SNP_KeyboardView* keyboard = keyboardWidget())
        (void)keyboard->values(); // the entry is checked again from here
    restartKeyboardIdleTimer();
    (void)acceptEmailAddresses(addresses);
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
    const std::optional<QString> expected = SNP_Preferences::operatorPin();
    if (expected && !expected->isEmpty() && pin == *expected && !quitLocked()) {
        SNP_Log::debug(QStringLiteral("operator PIN accepted: leaving kiosk mode"));
        _wrongPins = 0;
        startOver(this);
        if (inKioskMode())
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

// ---- the operator panel goes back to kiosk mode by itself ----

namespace {
// Any touch, click or key on any of the booth's windows counts as staff still at work.
class OperatorActivity : public QObject {
public:
    explicit OperatorActivity(AppController* controller) : QObject(controller), _controller(controller) {}

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
    _screenTimer->start(screenTickMs());
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
        setNumber(_liveCountdownField1, _countdown);
        setNumber(_liveCountdownField2, _countdown);
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
    const QUrl url = SNP_Resources::soundNamed(QString::fromLatin1(SNP_Resources::kGrabSoundName));
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
