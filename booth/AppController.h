// The booth's application controller: the one object the interface file
// (resources/AppController.ui) makes and the camera notifications reach. It starts the booth
// (folders, watchdog, the camera registry) and keeps the current camera; the work of each area
// lives in a part of its own, which the operations here forward to:
//   the screen sequence   SNP_ScreenSequence (and SNP_AddressQuestion, SNP_OperatorPinLock,
//                         SNP_BoothSounds), each screen's entry actions in AppController_Screens.cpp
//   the kiosk layout      SNP_KioskLayout (SNP_LiveLayout, SNP_FlashLayer)
//   the operator panel    SNP_OperatorPanel (SNP_CameraSettingsControls)
//   photo intake          SNP_PhotoIntake, which hands the picture to SNP_Filing
//   what staff are told   SNP_BoothHealth, AppController_Health.cpp
// Everything here runs on the main thread except the watchdog loop and the photo intake steps
// that run on the camera's download thread (SNP_PhotoIntake says which).
#pragma once

#include <QDateTime>
#include <QImage>
#include <QRectF>
#include <QStringList>
#include <QVariantMap>
#include <QWidget>

#include "SNP_BoothHealth.h"
#include "SNP_CanonCamera.h"
#include "SNP_Filing.h"
#include "SNP_KeyboardView.h"
#include "SNP_KioskLayout.h"
#include "SNP_PreferenceKeys.h"
#include "SNP_AddressQuestion.h"
#include "SNP_BoothSounds.h"
#include "SNP_OperatorPinLock.h"
#include "SNP_ScreenSequence.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QPushButton;
class QTimer;
class QColor;
class SNP_KeyboardView;
class SNP_CanonCamera;
class SNP_PhotoIntake;
class SNP_OperatorPanel;
struct SNP_Notification;
struct SNP_WatchdogState;

namespace Ui { class AppController; }

// Process-wide working folders (absolute paths), set at start-up and by the operator.
// Read from the camera's download thread as well: use the accessors, which lock.
QString gScratchFolder();
QString gMainImagesFolder();
QString gForUploadFolder();
void setGScratchFolder(const QString& path);
void setGMainImagesFolder(const QString& path);
void setGForUploadFolder(const QString& path);

class AppController : public QWidget, public SNP_CanonCameraDelegate, public SNP_KeyboardDelegate,
                      private SNP_ScreenSequenceDelegate {
    Q_OBJECT
public:
    explicit AppController(QWidget* parent = nullptr);
    ~AppController() override;

    // ---- start-up, configuration and watchdog ----
    void startup();
    void awakeFromNib();
    void applicationDidFinishLaunching();

    // The three folder panels' end handlers (scratch, upload, main images): act only when
    // returnCode is 1 (OK) and chosenPaths has a last entry.
    void openPanelDidEnd(QObject* panel, int returnCode, const QStringList& chosenPaths);
    void openPanelDidEnd2(QObject* panel, int returnCode, const QStringList& chosenPaths);
    void openPanelDidEnd3(QObject* panel, int returnCode, const QStringList& chosenPaths);

    // The watchdog loop (runs on its own thread) and its heartbeat period, 1 s unless set
    // before the controller is created. The exit function ends a hung process (_exit).
    void watchdog();
    static void setWatchdogPeriod(std::chrono::milliseconds period);
    static std::chrono::milliseconds watchdogPeriod();
    // Heartbeats the main thread has answered since start-up.
    uint32_t heartbeats() const { return _watchdogCount.load(); }
    // The line that tells staff the operator PIN made at the first start.
    static QString operatorPinMadeText(const QString& pin);

    // ---- operations of other areas that start-up calls ----
    void setGoButton();
    void centerInSuperview(QObject* view, bool horizontally, bool vertically, float hScale, float vScale);
    void NSViewFrameDidChangeNotification(QObject* notificationObject);
    void resizeLiveViewToFit();
    void toggleFullScreen(QObject* sender);
    void setOverlayWindow();
    void updateCameraPopupWithCameras(const QList<std::shared_ptr<SNP_CanonCamera>>& cameras);
    // Camera notification handlers.
    void cameraAdded(const SNP_Notification& notification);
    void cameraDidLoad(const SNP_Notification& notification);
    void cameraListUpdated(const SNP_Notification& notification);
    void cameraDisappeared(const SNP_Notification& notification);
    void newPhoto(const SNP_Notification& notification);
    void liveViewUpdated(const SNP_Notification& notification);
    void cameraPropertiesChanged(const SNP_Notification& notification);
    void cameraPropertyChanged(const SNP_Notification& notification);
    void downloadProgress(const SNP_Notification& notification);
    void commandError(const SNP_Notification& notification);

    // ---- screen sequence and countdown ----
    // The keyboard's delegate messages: its accept key and its exit key.
    void keyboardViewDidAcceptAndContinue(SNP_KeyboardView* keyboard) override;
    void startOver(QObject* sender) override;
    // The accept check on the typed addresses: stores them and advances (true), or shows
    // the rejection notice (false; the keyboard then gets the addresses back).
    bool acceptEmailAddresses(const QStringList& addresses);
    void setEmails(const QStringList& emails);
    QStringList emails() const;
    // The screen shown (1 to 6; 1 also under the rejection notice).
    uint32_t screenNumber() const { return _screens.screenNumber(); }
    // Replaces the screen timer: delay seconds to count, one tick per screenTickMs().
    void startTimerWithExpirationDelay(double delay);
    void timerDidFire(QTimer* timer);
    void countdown();
    // Makes the speaker when a speech engine exists (once), preferring one that needs no
    // daemon, and logs the engine and voice it speaks with.
    void createSpeaker();
    // Plays the sound "Grab" (once a silent booth has said so in the log, silently).
    void playGrabSound();
    // Nested screen-update suspension over the booth's windows: nothing is repainted
    // until the outermost enable.
    void disableScreenUpdates();
    void enableScreenUpdates();
    // The go button's touch: on screen 1 it starts a pass only with a current camera (else
    // it shows "the camera is not ready"); on the rejection notice it returns to the keyboard.
    void goButtonTouched();
    // The e-mail screen (or the rejection notice over it) saw no key for
    // keyboardIdleSeconds: back to screen 1, which empties the fields.
    void keyboardIdle();
    // The operator PIN typed after "quit": right leaves kiosk mode, wrong returns to screen 1;
    // kWrongPinLimit wrong in a row lock "quit" for kQuitLockDuration.
    void checkOperatorPin(const QString& pin);
    bool quitLocked() const;
    void beginOperatorPinEntry();
    // Screen 1's part of privacy: fields, accepted addresses and PIN entry are dropped.
    void forgetVisitor();
    void restartKeyboardIdleTimer();
    void stopKeyboardIdleTimer();
    // Whether the last pass reached the result screen without a picture (the sorry screen).
    bool showingSorryScreen() const { return _sorryScreen; }
    static constexpr int kWrongPinLimit = 5;
    static constexpr std::chrono::minutes kQuitLockDuration{5};
    // Out of kiosk mode, operatorIdleSeconds without a touch take the booth back to it.
    void restartOperatorIdleTimer();
    void operatorIdle();
    // "Did you mean ...?": an address whose domain is one letter off a common provider's is
    // asked about; the visitor takes the suggestion or keeps what was typed.
    void askAboutAddress(const QStringList& addresses, int index, const QString& suggestion);
    void answerAddressQuestion(bool takeSuggestion);
    void layoutAddressQuestion();
    // How the result screen thanks the visitor: the picture is on its way (filed, upload
    // file written), saved for a later try (held back), or lost (the sorry screen).
    enum class FilingVerdict { OnItsWay, HeldBack, Lost };
    static FilingVerdict filingVerdictFor(const SNP_Filing::Result& result);
    // The filing of the pass's picture has ended (main thread, queued from the filing).
    void filingEnded(uint64_t pass, FilingVerdict verdict);

    // ---- camera operations the screens use (the current camera's) ----
    void liveViewOn(QObject* sender);
    void liveViewOff(QObject* sender);
    void takePicture(QObject* sender);

    // ---- current camera and operator commands ----
    void setCurrentCamera(const std::shared_ptr<SNP_CanonCamera>& camera);
    std::shared_ptr<SNP_CanonCamera> currentCamera() const { return _currentCamera; }
    void chooseCamera(QObject* sender);
    void pressShutterFull(QObject* sender);
    void pressShutterHalf(QObject* sender);
    void releaseShutter(QObject* sender);
    void liveViewZoom(QObject* sender);
    void liveViewFocus(QObject* sender);
    void openLogFile(QObject* sender);
    void clearProgressIndicator();
    // Shows an image (a QImage or PWNSImageFlipped in a QVariant) in _EVFView; anything
    // else is ignored.
    void updateDisplayImage(const QVariant& image);
    // Refreshes the operator's setting controls from the current camera.
    void updateCameraProperties();

    // -- the operator panel and its camera settings controls (SNP_OperatorPanel and
    // SNP_CameraSettingsControls; these forward to them, AppController_OperatorPanel.cpp) --
    // Connects the operator panel's widgets to their actions (called once the interface
    // file is loaded).
    void connectOperatorPanel();
    // The control carrying the tag: the controller's own search, then the walk that also
    // looks into every page of a tab widget.
    QWidget* viewWithTag(int32_t tag);
    QWidget* viewWithTag(int32_t tag, QWidget* view);
    // Refills a control's choices from a supported-values table (none: empties it).
    void updateControlWithTagWithValues(int32_t tag, const std::optional<QVariantMap>& values);
    // Shows one value (a display text, a number or a date) in the control with the tag.
    void updateControlWithTagWithValue(int32_t tag, const QVariant& value);
    void setEnabledForAEMode(const QVariant& value);
    void setCameraClockToCurrent(QObject* sender);
    void setCameraProperty(QObject* sender);
    // The clock timer's tick: the date picker it carries shows now plus the skew.
    void animateDatePicker(QTimer* timer);
    // The system beep of a refused setting; counted for tests.
    void beep();
    int beepCount() const;
    // -- end the operator panel --

    // -- photo intake and filing (SNP_PhotoIntake; the filing itself is SNP_Filing) --
    // What the last filing of this controller produced (paths empty where it stopped).
    using FilingResult = SNP_Filing::Result;
    void setImageDict(const QVariantMap& dictionary);
    QVariantMap imageDict() const;
    void saveImage(QObject* sender);
    bool processPhotoData(const QVariantMap& dictionary);
    // decodedPhoto: the picture at path already decoded (at any size), which the composite
    // is then drawn from; when null, the filed file is decoded for it.
    bool doPostProcessImageForPath(const QString& path, const QImage& decodedPhoto = QImage());
    FilingResult lastFilingResult() const;
    // Pictures whose intake has ended (filed or not), for those waiting on a pass.
    uint64_t photoIntakeCount() const;
    // Pictures taken for the visitor on the capture screen (counted as the booth moves on
    // to screen 6), and those of them still being filed: filing goes on after the screen
    // change and can outlast the result screen.
    uint64_t photoAcceptedCount() const;
    int filingsInProgress() const;
    // Tests: the clock for file and day names (null: the system clock), and the handler
    // that opens a saved picture for the operator (null: the desktop's default application).
    static void setPhotoClockForTesting(std::function<QDateTime()> clock);
    static void setOpenFileHandlerForTesting(std::function<bool(const QString&)> handler);
    // When the capture screen last began (steady clock, ms; main thread only): a picture
    // the camera asked to hand over before then belongs to an earlier visitor.
    qint64 captureScreenStartMs() const { return _captureScreenStartMs; }
    // -- end photo intake and filing --

    // ---- the booth's health for staff, and the simulated camera's marks (AppController_Health.cpp) ----
    // Starts the health monitor and makes the marks (once, at wiring).
    void setUpHealthAndMarks();
    // Shows the health on the operator panel and, while any part is wrong, the staff mark in
    // a corner of the touch screen.
    void showHealth(const SNP_BoothHealth::State& state);
    SNP_BoothHealth* health() const { return _health; }
    // Whether the simulated camera serves the booth (its pictures are no visitor's).
    static bool simulatedCameraInUse();
    // Lays out the staff mark in the top-right corner of the touch screen, sized by the
    // touch picture's area (stage).
    void layoutStaffMark(const QRect& stage);

    // ---- kiosk windows and effects (carried out by SNP_KioskLayout, AppController_Kiosk.cpp) ----
    void setFlashEffectForView(QWidget* view);
    // Puts the overlay over the camera picture with its frame image, the frame's photo
    // window exactly over the camera picture, as the composite has it.
    void placeOverlay();
    static QImage imageWithSolidColor(const QColor& color);
    static QImage blackImage();
    bool inKioskMode() const { return _kiosk->inKioskMode(); }
    // The touch screen and the live screen (the same one on a computer with one screen):
    // the outputs named by "touchScreenOutput" and "liveScreenOutput" when connected, else
    // the first screen and the last (report: log a named output that is not connected).
    using KioskScreens = SNP_KioskLayout::Screens;
    static KioskScreens kioskScreens(bool report = false);
    // Puts the kiosk windows on the screens there are now.
    void placeKioskWindows();
    // Screens came, went or changed: after they settle the kiosk windows are placed again.
    void screensChanged();
    void watchScreens();
    // On one screen the live content is shown (over the touch content) on screens 3 to 6
    // only; with two screens each content keeps its screen.
    void showContentForScreen();
    // The area a picture of pictureSize takes in area, scaled to fit with its aspect kept
    // and centred (the whole area when the picture is empty).
    static QRect letterboxRect(const QSize& pictureSize, const QRect& area);
    // Shows the screen picture in the view letterboxed on the picture's background colour
    // (its top-left pixel), and keeps it for the view's later size changes.
    void showScreenPicture(QLabel* view, const QImage& picture);
    // Shows the pictures "touch%d" and "live%d" of the number; a view taller than wide takes
    // "touch%d-portrait" ("live%d-portrait") when there is one. A missing picture leaves the
    // view's picture in place. Without touchToo the touch view keeps what it shows.
    void showScreenPictures(uint32_t number, bool touchToo = true);
    // Blanks and hides the camera picture and its frame: what they hold is no visitor's photo.
    void blankCameraPicture();
    // Shows or hides the frame over the camera picture.
    void showFrameOverlay(bool shown);
    // The size of the touch picture shown (empty before the first).
    QSize touchPictureSize() const { return _kiosk->touchPictureSize(); }
    // A second of the screens in milliseconds (tests shorten it), and a timer started for
    // that many such seconds.
    int screenTickMs() const;
    void startForScreenSeconds(QTimer* timer, uint32_t seconds) const;
    // The single-shot timer kept in timer, made (named, firing fired) on first use.
    QTimer* singleShotTimer(QTimer*& timer, const char* name, const std::function<void()>& fired);
    // The live screen's layout inside the live picture's area (stage): the frame image
    // (framed), the camera picture inside the frame's photo window, and the two countdown
    // digits beside it, all in the stage's top-left coordinates.
    using LiveLayout = SNP_LiveLayout::Frames;
    static LiveLayout liveLayoutForStage(const QSizeF& stage, const QSizeF& frameSize);
    // Lays out the keyboard, the touch countdown and the notices over the touch picture.
    void layoutTouchView();
    // The frame centerInSuperview gives a view of frame f in a superview of frame s
    // (both with the origin at the lower left).
    static QRectF centeredFrame(const QRectF& superFrame, const QRectF& frame, bool horizontally,
                                bool vertically, float hScale, float vScale);

    // ---- what the rehearsal and the tests look at and set ----
    // The keyboard, also before awakeFromNib has set the outlet.
    SNP_KeyboardView* keyboardWidget();
    QPushButton* goButton() const { return _goButton; }
    QLabel* cameraPictureView() const { return _EVFView; }
    QLabel* touchView() const { return _touchView; }
    QWidget* liveWindow() const { return _liveWindow; }
    QLabel* liveView() const { return _liveView; }
    // The rejection notice's text (empty when there is none).
    QString rejectionNoticeText() const;
    // The number of the screen pictures shown ("touch%d", "live%d").
    uint32_t screenPictureNumber() const { return _kiosk->screenPictureNumber(); }
    // Tests: a shorter second of the screens, from the next timer on; the screen as though
    // the sequence had reached it; the clock of the "quit" lock (null: the steady clock).
    void setScreenTickMs(int milliseconds) { _screens.setTickMs(milliseconds); }
    void setScreenNumberForTesting(uint32_t screen) { _screens.setScreenNumber(screen); }
    void setQuitLockClockForTesting(std::function<qint64()> clock) { _pinLock.setClockForTesting(std::move(clock)); }

public Q_SLOTS:
    void setDownloadFolder(QObject* sender = nullptr);
    void setForUploadFolder(QObject* sender = nullptr);
    void setMainImagesFolder(QObject* sender = nullptr);
    void updateWatchdogCounter();

    // ---- screen sequence and countdown ----
    void nextScreen(QObject* sender = nullptr);

Q_SIGNALS:
    // A screen's entry actions are done (the sorry screen is screen 6 with
    // showingSorryScreen()).
    void screenShown(uint32_t screen);

private:
    std::unique_ptr<Ui::AppController> ui;

    // Outlets and fields, in declaration order.
    QLabel* _EVFView = nullptr;
    QWidget* _liveWindow = nullptr;
    QLabel* _touchView = nullptr;
    QLabel* _liveView = nullptr;
    QLabel* _badEmail = nullptr;
    QLabel* _badEmailItemText = nullptr;
    SNP_KeyboardView* _keyboard = nullptr;
    QLabel* _liveCountdownField1 = nullptr;
    QLabel* _liveCountdownField2 = nullptr;
    QLabel* _touchCountdownField = nullptr;
    QPushButton* _goButton = nullptr;
    QStringList _emails;
    std::atomic<uint32_t> _watchdogCount{0};
    std::unique_ptr<SNP_OperatorPanel> _operatorPanel; // made once the interface file is loaded
    std::shared_ptr<SNP_CanonCamera> _currentCamera;

    // Kiosk and screen-sequence helpers.
    // The kiosk windows on their screens, the screen pictures and what lies over them.
    std::unique_ptr<SNP_KioskLayout> _kiosk;
    QLabel* _cameraNotReadyNotice = nullptr; // over the touch picture, in the go button
    QLabel* _staffMark = nullptr;            // a corner of the touch screen, while the health is wrong
    SNP_BoothHealth* _health = nullptr;
    QTimer* _operatorIdleTimer = nullptr;
    // -- the screens (AppController_Screens.cpp): the sequence's delegate, each screen's entry
    // actions, and the parts the screens use --
    uint32_t touchCountdownSeconds() override;
    void enterScreen(SNP_Screen screen, uint32_t seconds) override;
    void screenEntered(SNP_Screen screen) override;
    void countdownTick(SNP_Screen screen, uint32_t remaining) override;
    void enterStartScreen();
    void enterEmailScreen();
    void enterTouchCountdown(uint32_t seconds);
    void enterLiveCountdown(uint32_t seconds);
    void enterCaptureScreen();
    void enterResultScreen();
    SNP_ScreenSequence _screens{*this, this};
    SNP_AddressQuestion _addressQuestion{[this](bool take) { answerAddressQuestion(take); }};
    SNP_OperatorPinLock _pinLock{kWrongPinLimit, kQuitLockDuration};
    SNP_BoothSounds _sounds{this};
    // -- end screens --
    uint64_t _resultPass = 0;                // the picture whose filing the result screen waits for
    QTimer* _filingWaitTimer = nullptr;      // how long it waits
    QLabel* _pinPrompt = nullptr;
    QTimer* _keyboardIdleTimer = nullptr;
    bool _sorryScreen = false;
    bool _awaitingFiling = false;           // the result screen shown waits for its picture's filing
    uint64_t _acceptedBeforeCapture = 0;    // photoAcceptedCount() when the capture screen began
    bool _pinEntry = false;                 // the keyboard takes the operator PIN
    // -- photo intake and filing --
    std::unique_ptr<SNP_PhotoIntake> _photoIntake;
    // Filed pictures whose upload file waits (the booth's health reads it).
    int uploadsHeldBackCount() const;
    // When the capture screen last began (set by the screens).
    qint64 _captureScreenStartMs = 0;
    // -- end photo intake and filing --

    std::shared_ptr<SNP_WatchdogState> _watchdogState; // the watchdog thread's handle

    // awakeFromNib's steps (AppController.cpp).
    void prepareCountdownFields();
    void placeKeyboardInTouchView();
    void observeCameraNotifications();
};
