// The controller's start-up: the log, the watchdog, the working folders and their panels,
// and the wiring order of awakeFromNib and applicationDidFinishLaunching.
#include "AppController.h"
#include "SNP_FileAccess.h"
#include "ui_AppController.h"

#include "SNP_CanonCamera.h"
#include "SNP_CanonCameraNotifications.h"
#include "SNP_Log.h"
#include "SNP_PhotoIntake.h"
#include "SNP_OperatorPanel.h"
#include "SNP_Preferences.h"
#include "SNP_Resources.h"
#include "SNP_StretchedPicture.h"

#include <QApplication>
#include <QEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMutex>
#include <QMutexLocker>
#include <QPalette>
#include <QPushButton>
#include <QTimer>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <unistd.h>


namespace {
QMutex gFolderLock;
QString gScratch, gMainImages, gForUpload;

std::atomic<long long> gWatchdogPeriodMs{1000};
constexpr uint32_t kWatchdogMaxMisses = 15;

// Turns the live view's geometry changes into the frame-change handler.
class FrameChangeObserver : public QObject {
public:
    FrameChangeObserver(AppController* controller, QObject* parent) : QObject(parent), _controller(controller)
    {
        setObjectName(QStringLiteral("frameChangeObserver"));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Resize || event->type() == QEvent::Move)
            _controller->NSViewFrameDidChangeNotification(watched);
        return false;
    }

private:
    AppController* _controller;
};

// A countdown field's text colour.
void colourField(QLabel* field, const QColor& colour)
{
    if (!field)
        return;
    QPalette palette = field->palette();
    palette.setColor(QPalette::WindowText, colour);
    field->setPalette(palette);
}

QString describePanel(const QFileDialog* panel)
{
    return QStringLiteral("<QFileDialog %1 \"%2\" directory %3>")
        .arg(QString::asprintf("%p", static_cast<const void*>(panel)), panel->windowTitle(),
             panel->directory().absolutePath());
}
} // namespace

// The watchdog thread's handle; the controller stops and joins it when it goes.
struct SNP_WatchdogState {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    std::chrono::milliseconds period{1000};
};

QString gScratchFolder() { QMutexLocker l(&gFolderLock); return gScratch; }
QString gMainImagesFolder() { QMutexLocker l(&gFolderLock); return gMainImages; }
QString gForUploadFolder() { QMutexLocker l(&gFolderLock); return gForUpload; }
void setGScratchFolder(const QString& p) { QMutexLocker l(&gFolderLock); gScratch = p; }
void setGMainImagesFolder(const QString& p) { QMutexLocker l(&gFolderLock); gMainImages = p; }
void setGForUploadFolder(const QString& p) { QMutexLocker l(&gFolderLock); gForUpload = p; }

AppController::AppController(QWidget* parent)
    : QWidget(parent), ui(new Ui::AppController), _photoIntake(std::make_unique<SNP_PhotoIntake>(*this))
{
    startup();
    ui->setupUi(this);
    // Outlets, found by their object names in the interface file.
    _EVFView = findChild<QLabel*>(QStringLiteral("_EVFView"));
    _liveWindow = findChild<QWidget*>(QStringLiteral("_liveWindow"));
    _touchView = findChild<QLabel*>(QStringLiteral("_touchView"));
    _liveView = findChild<QLabel*>(QStringLiteral("_liveView"));
    _badEmail = findChild<QLabel*>(QStringLiteral("_badEmail"));
    _badEmailItemText = findChild<QLabel*>(QStringLiteral("_badEmailItemText"));
    _liveCountdownField1 = findChild<QLabel*>(QStringLiteral("_liveCountdownField1"));
    _liveCountdownField2 = findChild<QLabel*>(QStringLiteral("_liveCountdownField2"));
    _touchCountdownField = findChild<QLabel*>(QStringLiteral("_touchCountdownField"));
    _kiosk = std::make_unique<SNP_KioskLayout>(*this, SNP_KioskLayout::Widgets{_EVFView, _liveWindow, _touchView, _liveView,
        _badEmail, _badEmailItemText, _liveCountdownField1, _liveCountdownField2, _touchCountdownField});
    _operatorPanel = std::make_unique<SNP_OperatorPanel>(*this);
    connectOperatorPanel();
    new SNP_StretchedPicture(_EVFView);
    SNP_Log::debug(QStringLiteral("init with coder!"));
}

AppController::~AppController()
{
    // The observers of the controller's views call into its parts, which go before the
    // controller's children do: they go first.
    for (const char* name : {"frameChangeObserver", "touchViewObserver", "operatorActivity"})
        delete findChild<QObject*>(QLatin1String(name), Qt::FindDirectChildrenOnly);
    // A picture's intake in flight ends before the controller does.
    _photoIntake->close();
    // The camera outlives its delegate: nothing more is asked of this one.
    if (_currentCamera)
        _currentCamera->setDelegate(nullptr);
    SNP_NotificationCenter::defaultCenter().removeObserver(this);
    _photoIntake->joinHeldBackPass();
    if (inKioskMode()) // the cursor hidden for the kiosk comes back
        while (QGuiApplication::overrideCursor())
            QGuiApplication::restoreOverrideCursor();
    if (_watchdogState) {
        {
            std::lock_guard<std::mutex> guard(_watchdogState->mutex);
            _watchdogState->stop = true;
        }
        _watchdogState->wake.notify_all();
        if (_watchdogState->thread.joinable())
            _watchdogState->thread.join();
    }
}

void AppController::setWatchdogPeriod(std::chrono::milliseconds period)
{
    gWatchdogPeriodMs.store(period.count() > 0 ? period.count() : 1000);
}

std::chrono::milliseconds AppController::watchdogPeriod()
{
    return std::chrono::milliseconds(gWatchdogPeriodMs.load());
}

void AppController::startup()
{
    if (_watchdogState)
        return; // once per controller

    // The log first, then the banner.
    SNP_Log::setLogFile(SNP_Log::defaultLogFilePath());
    SNP_Log::debugLines(SNP_Log::startupInfo());
    SNP_Preferences::reportArgumentProblems();
    SNP_FileAccess::configure();
    // The operator panel is for staff only (the booth's main has made the PIN already and
    // said so before standard error went into the log).
    if (const std::optional<QString> pin = SNP_Preferences::makeOperatorPinIfNone())
        SNP_Log::debug(operatorPinMadeText(*pin));

    // The watchdog.
    _watchdogCount.store(0);
    _watchdogState = std::make_shared<SNP_WatchdogState>();
    _watchdogState->period = watchdogPeriod();
    _watchdogState->thread = std::thread([this] { watchdog(); });

    // No visitor yet.
    _emails.clear();

    // The working folders, written back so that the store holds every folder key.
    // A command-line override is used for this run only: the stored value is what is
    // written back.
    struct FolderKey {
        const char* key;
        const char* fallback;
        void (*set)(const QString&);
    };
    const FolderKey folders[] = {
        {PrefKeyCameraScratchFolder, SNP_Preferences::DefaultScratchFolder, &setGScratchFolder},
        {PrefKeyMainImagesFolder, SNP_Preferences::DefaultMainImagesFolder, &setGMainImagesFolder},
        {PrefKeyForUploadFolder, SNP_Preferences::DefaultForUploadFolder, &setGForUploadFolder},
    };
    for (const FolderKey& f : folders) {
        const QString key = QString::fromLatin1(f.key);
        const QString fallback = QString::fromLatin1(f.fallback);
        f.set(SNP_Preferences::folder(key, fallback));
        SNP_Preferences::setFolder(key, SNP_Preferences::storedFolder(key, fallback));
    }

    // No camera until the registry announces one.
    _currentCamera.reset();
    setImageDict(QVariantMap());
}

void AppController::watchdog()
{
    const std::shared_ptr<SNP_WatchdogState> state = _watchdogState;
    for (;;) {
        const uint32_t snapshot = _watchdogCount.load();
        uint32_t misses = 0;
        for (;;) {
            // Queued to the main thread's event loop: it also runs inside a modal dialog's
            // or a menu's own loop. The watchdog does not wait for it.
            QMetaObject::invokeMethod(this, &AppController::updateWatchdogCounter, Qt::QueuedConnection);
            {
                std::unique_lock<std::mutex> guard(state->mutex);
                if (state->wake.wait_for(guard, state->period, [&] { return state->stop; }))
                    return;
            }
            if (_watchdogCount.load() != snapshot)
                break;
            if (misses > kWatchdogMaxMisses) {
                SNP_Log::debugf("Watchdog says we are hanging after %u seconds ... app is exiting", misses);
                _exit(1);
            }
            SNP_Log::debugf("Watchdog says we are spinning for %u seconds on the main thread", misses);
            ++misses;
        }
    }
}

void AppController::updateWatchdogCounter() { _watchdogCount.fetch_add(1); }

void AppController::awakeFromNib()
{
    // Screen 1.
    _screens.setScreenNumber(0);
    nextScreen(this);

    prepareCountdownFields();

    // The speaker, with the default voice.
    createSpeaker();

    placeKeyboardInTouchView();

    // Frame changes of the live view.
    if (_liveView)
        _liveView->installEventFilter(new FrameChangeObserver(this, this));

    // No intermediate window state is drawn until launching is done.
    disableScreenUpdates();

    SNP_Log::debug(QStringLiteral("awake from NIB!"));
    _operatorPanel->showNoCameraYet();

    observeCameraNotifications();

    // What a power cut left in the folders is filed, beside the first visitor.
    _photoIntake->startHeldBackPass();

    // The first request to the registry starts the SDK and the first scan.
    const std::optional<SNP_CanonCameraList> list = SNP_CanonCamera::cameras();
    SNP_Log::debugf("cameras = %s", list ? qUtf8Printable(SNP_describeCameras(*list)) : "(null)");

    // What staff are told without being asked: the health and the simulated camera's marks.
    setUpHealthAndMarks();
}

// Countdown fields: hidden, accent orange on the touch screen, white on the live screen.
void AppController::prepareCountdownFields()
{
    for (QLabel* field : {_touchCountdownField, _liveCountdownField1, _liveCountdownField2})
        if (field)
            field->hide();
    const QColor white = QColor::fromRgbF(1.0f, 1.0f, 1.0f, 1.0f);
    colourField(_touchCountdownField, SNP_Resources::accentColor());
    colourField(_liveCountdownField1, white);
    colourField(_liveCountdownField2, white);
}

// The keyboard sits in the touch view, centred horizontally at scale 1.0, under the go
// button, hidden until screen 2; the controller is its delegate. The screen pictures are
// drawn letterboxed at the views' size, never stretched.
void AppController::placeKeyboardInTouchView()
{
    QWidget* keyboard = findChild<QWidget*>(QStringLiteral("_keyboard"));
    if (keyboard && _touchView && keyboard->parentWidget() != _touchView)
        keyboard->setParent(_touchView);
    if (!_keyboard)
        _keyboard = qobject_cast<SNP_KeyboardView*>(keyboard);
    if (_keyboard) {
        _keyboard->setDelegate(this);
        connect(_keyboard, &SNP_KeyboardView::keyTouched, this, &AppController::restartKeyboardIdleTimer);
    }
    for (QLabel* view : {_touchView, _liveView})
        if (view)
            view->setScaledContents(false);
    setGoButton();
    centerInSuperview(keyboard, true, false, 1.0f, 1.0f);
    if (keyboard)
        keyboard->hide();
}

// The camera notifications, from any sender.
void AppController::observeCameraNotifications()
{
    SNP_NotificationCenter& center = SNP_NotificationCenter::defaultCenter();
    using Handler = void (AppController::*)(const SNP_Notification&);
    const std::pair<const QString*, Handler> observers[] = {
        {&SNP_CanonCameraAdded, &AppController::cameraAdded},
        {&SNP_CanonCameraDidLoad, &AppController::cameraDidLoad},
        {&SNP_CanonCameraListDidUpdate, &AppController::cameraListUpdated},
        {&SNP_CanonCameraDidUnload, &AppController::cameraDisappeared},
        {&SNP_CanonCameraPhotoDataAvailable, &AppController::newPhoto},
        {&SNP_CanonCameraLiveViewImageUpdate, &AppController::liveViewUpdated},
        {&SNP_CanonCameraPropertiesDidChange, &AppController::cameraPropertiesChanged},
        {&SNP_CanonCameraPropertyDidChange, &AppController::cameraPropertyChanged},
        {&SNP_CanonCameraDownloadProgress, &AppController::downloadProgress},
        {&SNP_CanonCameraCommandError, &AppController::commandError},
    };
    for (const auto& [name, method] : observers) {
        const auto handler = method; // a named copy: clang before 16 cannot capture a structured binding
        center.addObserver(this, *name, [this, handler](const SNP_Notification& n) { (this->*handler)(n); });
    }
}

void AppController::applicationDidFinishLaunching()
{
    if (_EVFView)
        _EVFView->hide();
    resizeLiveViewToFit();
    toggleFullScreen(this);
    setOverlayWindow();
    watchScreens();
    enableScreenUpdates();
}

// ---- folder choice ----

namespace {

using EndHandler = void (AppController::*)(QObject*, int, const QStringList&);

void runFolderPanel(AppController* controller, QObject* sender, const QString& title, const QString& current,
                    EndHandler handler)
{
    QWidget* senderWidget = qobject_cast<QWidget*>(sender);
    QWidget* parent = senderWidget ? senderWidget->window() : controller->window();
    auto* panel = new QFileDialog(parent, title);
    panel->setFileMode(QFileDialog::Directory);
    panel->setOption(QFileDialog::ShowDirsOnly, true);
    panel->setOption(QFileDialog::DontUseNativeDialog, true);
    panel->setOption(QFileDialog::ReadOnly, false); // may create folders
    panel->setDirectory(current);
    panel->selectFile(QString());
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(Qt::WindowModal);
    SNP_Log::debugf("starting sheet with panel %s", qUtf8Printable(describePanel(panel)));
    QObject::connect(panel, &QDialog::finished, controller, [controller, panel, handler](int result) {
        const int returnCode = result == QDialog::Accepted ? 1 : 0;
        (controller->*handler)(panel, returnCode, returnCode == 1 ? panel->selectedFiles() : QStringList());
    });
    panel->open();
}

bool chosenFolder(int returnCode, const QStringList& chosenPaths, QString* path)
{
    if (returnCode != 1 || chosenPaths.isEmpty())
        return false;
    const QString last = chosenPaths.last();
    if (last.isEmpty() || !QDir::isAbsolutePath(last)) {
        SNP_Log::debugf("Ignoring chosen folder \"%s\": not an absolute path", qUtf8Printable(last));
        return false;
    }
    *path = QDir::cleanPath(last);
    return true;
}

// A folder panel's end: the chosen folder, logged after line, becomes the working folder
// (set) and is stored under key.
void adoptChosenFolder(int returnCode, const QStringList& chosenPaths, const char* line,
                       void (*set)(const QString&), const char* key)
{
    QString path;
    if (!chosenFolder(returnCode, chosenPaths, &path))
        return;
    SNP_Log::debugf("%s%s", line, qUtf8Printable(path));
    set(path);
    SNP_Preferences::setFolder(QString::fromLatin1(key), path);
}

} // namespace

void AppController::setDownloadFolder(QObject* sender)
{
    runFolderPanel(this, sender, QStringLiteral("Choose the Canon Scratch folder"), gScratchFolder(),
                   &AppController::openPanelDidEnd);
}

void AppController::setForUploadFolder(QObject* sender)
{
    runFolderPanel(this, sender, QStringLiteral("Choose the HTTP ForUpload folder"), gForUploadFolder(),
                   &AppController::openPanelDidEnd2);
}

void AppController::setMainImagesFolder(QObject* sender)
{
    runFolderPanel(this, sender, QStringLiteral("Choose the Main Images folder"), gMainImagesFolder(),
                   &AppController::openPanelDidEnd3);
}

void AppController::openPanelDidEnd(QObject*, int returnCode, const QStringList& chosenPaths)
{
    adoptChosenFolder(returnCode, chosenPaths, "new canon scratch folder selected:", &setGScratchFolder,
                      PrefKeyCameraScratchFolder);
}

void AppController::openPanelDidEnd2(QObject*, int returnCode, const QStringList& chosenPaths)
{
    adoptChosenFolder(returnCode, chosenPaths, "new ForUpload folder selected:", &setGForUploadFolder,
                      PrefKeyForUploadFolder);
}

void AppController::openPanelDidEnd3(QObject*, int returnCode, const QStringList& chosenPaths)
{
    adoptChosenFolder(returnCode, chosenPaths, "new Main Images folder selected:", &setGMainImagesFolder,
                      PrefKeyMainImagesFolder);
}
