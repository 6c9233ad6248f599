// The visitor's screens: a fixed cycle of six screens shown on the touch screen and the
// live screen at once, driven by one repeating screen timer, the go button, the
// keyboard's accept and exit keys and the arrival of the photo.
#include "AppController.h"

#include "SNP_KeyboardView.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SNP_Resources.h"

#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#ifdef HAVE_QT_TTS
#include <QTextToSpeech>
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

    const QImage touchPicture = SNP_Resources::imageNamed(QStringLiteral("touch%1").arg(screen));
    const QImage livePicture = SNP_Resources::imageNamed(QStringLiteral("live%1").arg(screen));

    disableScreenUpdates();
    if (_touchView && !touchPicture.isNull())
        _touchView->setPixmap(QPixmap::fromImage(touchPicture));
    if (_liveView && !livePicture.isNull())
        _liveView->setPixmap(QPixmap::fromImage(livePicture));

    switch (screen) {
    case 1: // start
        setShown(_badEmail, false);
        setShown(_EVFView, false);
        setShown(_goButton, true);
        setShown(keyboardWidget(this), false);
        setShown(_overlayContentView, false);
        break;
    case 2: // e-mail entry
        setShown(_goButton, false);
        setShown(keyboardWidget(this), true);
        if (SNP_KeyboardView* keyboard = keyboardWidget(this))
            keyboard->nextFirstResponder(keyboard);
        break;
    case 3: // touch countdown
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
        setShown(_liveCountdownField1, false);
        setShown(_liveCountdownField2, false);
        SNP_Log::debug(QStringLiteral("ending LiveView"));
        liveViewOff(this);
        SNP_Log::debug(QStringLiteral("taking a picture"));
        playGrabSound();
        takePicture(this);
        startTimerWithExpirationDelay(kCaptureTimeout);
        break;
    case 6: // result
        setShown(_EVFView, true);
        startTimerWithExpirationDelay(kResultDisplay);
        break;
    }
    enableScreenUpdates();
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
    const QStringList addresses = keyboard->values();
    if (!acceptEmailAddresses(addresses))
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
                toggleFullScreen(this);
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
    if (!QTextToSpeech::availableEngines().isEmpty()) {
        _speaker = new QTextToSpeech(this);
        if (_speaker->state() != QTextToSpeech::Error)
            return;
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
