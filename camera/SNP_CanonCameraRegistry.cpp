// The class side of SNP_CanonCamera: SDK start and stop, and the list of connected
// cameras, refreshed on a short-lived thread whenever the SDK reports a new camera.
//
// Locks: _gUpdateLock (one update at a time; only ever tried) before _gThreadLock (the
// registry; an update waits for it at most 60 seconds, cameras() only tries it). The
// registry lock is never held across SDK calls, and camera objects leaving the registry
// are let go only after it has been unlocked.
//
// Threads: updates run on threads of their own, the camera-added callback on the SDK's
// callback thread, everything else on the caller's (the booth's main thread).
#include "SNP_CanonCamera.h"

#include "SNP_Log.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <thread>

namespace {

SNP_TimedMutex _gThreadLock;
std::mutex _gUpdateLock;
// Set by every update before it tries _gUpdateLock and cleared by the update that gets
// it: an update that ran looks at it after letting go of the lock, so a request refused at
// any moment is served by a catch-up.
std::atomic<bool> _gShouldUpdate{false};
// Set when the SDK is being shut down: no update starts or changes the registry any more.
std::atomic<bool> gClosing{false};
SNP_CanonCameraList& detectedCameras()  // _gDetectedCameras, guarded by _gThreadLock
{
    static auto* list = new SNP_CanonCameraList;
    return *list;
}

constexpr double kThreadLockTimeout = 60.0;

// Initialisation state.
std::mutex gInitLock;
bool gInitialized = false;
bool gSdkInitialized = false;
bool gTerminationObserved = false;
std::shared_ptr<EdsSdk> gInitializedSdk;

std::mutex gTestStepHookLock;  // guards gTestStepHook
SNP_CanonCamera::TestStepHook gTestStepHook;

// The address given to the SDK as the camera-added context: it stands for the class.
const char kCameraClassContext = 0;

// Running update threads, so that shutdown and tests can wait for them.
std::mutex gUpdatesLock;
std::condition_variable gUpdatesDone;
int gRunningUpdates = 0;

QString currentThreadText()
{
    return QStringLiteral("{thread = %1; name = %2}")
        .arg(quintptr(QThread::currentThreadId()), 0, 16)
        .arg(QThread::currentThread() ? QThread::currentThread()->objectName() : QString());
}

bool sameCameras(const SNP_CanonCameraList& a, const SNP_CanonCameraList& b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (!a[i]->isEqual(b[i].get()))
            return false;
    }
    return true;
}

std::chrono::milliseconds secondsToMs(double seconds)
{
    return std::chrono::milliseconds(qint64(seconds * 1000.0));
}

// The registry's object for an SDK camera reference, or null.
SNP_CanonCameraPtr registeredCameraForRef(EdsCameraRef ref)
{
    std::unique_lock<SNP_TimedMutex> lock(_gThreadLock, std::defer_lock);
    if (!lock.try_lock_for(secondsToMs(kThreadLockTimeout))) {
        SNP_Log::debug(QStringLiteral("timed out looking for a known camera in the registry"));
        return nullptr;
    }
    for (const auto& camera : detectedCameras()) {
        if (camera->cameraRef() == ref)
            return camera;
    }
    return nullptr;
}

// The cameras of the SDK's camera list, last to first: the registry's objects for the
// cameras it holds, new objects for the others, each camera once.
SNP_CanonCameraList camerasOfList(EdsSdk& sdk, EdsCameraListRef list, EdsUInt32 count)
{
    SNP_CanonCameraList cameras;
    for (qint64 index = qint64(count) - 1; index >= 0; --index) {
        EdsCameraRef child = nullptr;
        EdsError error = sdk.EdsGetChildAtIndex(list, EdsInt32(index), &child);
        if (error != EDS_ERR_OK) {
            SNP_Log::debugf("error 0X%X (%s) getting child camera at index %d", error,
                            qUtf8Printable(SNP_CanonCamera::errorName(error)), int(index));
            break;
        }
        if (!child) {
            SNP_Log::debugf("error: received a NULL camera ref for child at index %d!", int(index));
            continue;
        }
        // A camera the registry already holds keeps its object (and with it
        // its SDK handlers); only a camera not seen before gets a new one.
        SNP_CanonCameraPtr camera = registeredCameraForRef(child);
        if (!camera) {
            camera = SNP_CanonCamera::initWithCameraRef(child);
            if (camera)
                SNP_Log::debugf("detected new camera %s", qUtf8Printable(SNP_describeCamera(camera.get())));
        }
        if (camera && !std::any_of(cameras.begin(), cameras.end(),
                                   [&](const SNP_CanonCameraPtr& c) { return c->isEqual(camera.get()); }))
            cameras.append(camera);
        sdk.EdsRelease(child);
    }
    return cameras;
}

// The cameras connected now, asked of the SDK with no registry lock held; none when the
// SDK could not list them or lists none. started: when the update began (the time the log
// reports includes choosing the SDK).
std::optional<SNP_CanonCameraList> detectCameras(const std::shared_ptr<EdsSdk>& sdk, const QElapsedTimer& started)
{
    std::optional<SNP_CanonCameraList> newList;

    EdsCameraListRef list = nullptr;
    EdsError error = sdk ? sdk->EdsGetCameraList(&list) : EdsError(EDS_ERR_INTERNAL_ERROR);
    if (error != EDS_ERR_OK) {
        SNP_Log::debugf("error 0X%X (%s) getting camera list", error, qUtf8Printable(SNP_CanonCamera::errorName(error)));
        return newList;
    }
    EdsUInt32 count = 0;
    error = sdk->EdsGetChildCount(list, &count);
    if (error != EDS_ERR_OK) {
        SNP_Log::debugf("error 0X%X (%s) getting camera child count", error,
                        qUtf8Printable(SNP_CanonCamera::errorName(error)));
    } else {
        SNP_Log::debugf("Detected %u camera%s in %.3f sec", count, count == 1 ? "" : "s", started.nsecsElapsed() / 1e9);
        if (count != 0)
            newList = camerasOfList(*sdk, list, count);
    }
    sdk->EdsRelease(list);
    return newList;
}

}  // namespace

void SNP_CanonCamera::initialize()
{
    std::lock_guard<std::mutex> guard(gInitLock);
    if (gInitialized)
        return;
    gInitialized = true;

    gClosing = false;
    std::shared_ptr<EdsSdk> sdk = EdsCurrentSdk();
    if (!sdk) {
        SNP_Log::debug(QStringLiteral("no camera SDK available; no cameras will be detected"));
        return;
    }
    gInitializedSdk = sdk;
    EdsError error = sdk->EdsInitializeSDK();
    if (error != EDS_ERR_OK) {
        SNP_Log::debugf("error %x initializing EDSDK", error);
    } else {
        gSdkInitialized = true;
        QCoreApplication* app = QCoreApplication::instance();
        if (app && !gTerminationObserved) {
            gTerminationObserved = true;
            QObject::connect(app, &QCoreApplication::aboutToQuit, app,
                             [] { SNP_CanonCamera::applicationWillTerminate(); });
        }
    }
    error = sdk->EdsSetCameraAddedHandler(&SNP_CanonCamera::cameraAdded, const_cast<char*>(&kCameraClassContext));
    if (error != EDS_ERR_OK)
        SNP_Log::debugf("error %x registering for addedCamera callback", error);

    updateCameraList();
}

std::optional<SNP_CanonCameraList> SNP_CanonCamera::cameras()
{
    initialize();
    std::unique_lock<SNP_TimedMutex> lock(_gThreadLock, std::try_to_lock);
    if (!lock.owns_lock())
        return std::nullopt;
    return detectedCameras();
}

EdsError SNP_CanonCamera::cameraAdded(void* context)
{
    SNP_Log::debugf("self = %p and real self class = %s", context,
                    context == &kCameraClassContext ? "SNP_CanonCamera" : "(unknown)");
    updateCameraList();
    SNP_NotificationCenter::defaultCenter().postNotificationOnMainThread(
        SNP_Notification{SNP_CanonCameraAdded, SNP_NotificationObject::nil(), {}}, false);
    SNP_Log::debug(QStringLiteral("a camera was added!"));
    return EDS_ERR_OK;
}

void SNP_CanonCamera::updateCameraList()
{
    if (gClosing) {
        SNP_Log::debug(QStringLiteral("no camera list update: the camera SDK is shutting down"));
        return;
    }
    {
        std::lock_guard<std::mutex> guard(gUpdatesLock);
        ++gRunningUpdates;
    }
    std::thread([] {
        updateCameraListAsync();
        std::lock_guard<std::mutex> guard(gUpdatesLock);
        --gRunningUpdates;
        gUpdatesDone.notify_all();
    }).detach();
}

void SNP_CanonCamera::updateCameraListAtDate(const QDateTime& date)
{
    qint64 ms = QDateTime::currentDateTimeUtc().msecsTo(date);
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    updateCameraList();
}

bool SNP_CanonCamera::waitForCameraListUpdates(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(gUpdatesLock);
    return gUpdatesDone.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return gRunningUpdates == 0; });
}

void SNP_CanonCamera::updateCameraListAsync()
{
    _gShouldUpdate = true;
    std::unique_lock<std::mutex> updateLock(_gUpdateLock, std::try_to_lock);
    if (!updateLock.owns_lock()) {
        SNP_Log::debug(QStringLiteral("skipping this camera list update while another update is in session"));
        reachTestStep(TestStep::UpdateRefused);
        return;
    }
    // This update lists the cameras after this point: it serves every request made so far.
    _gShouldUpdate = false;

    // The SDK is held until the update is over.
    QElapsedTimer started;
    started.start();
    std::shared_ptr<EdsSdk> sdk = EdsCurrentSdk();
    std::optional<SNP_CanonCameraList> newList = detectCameras(sdk, started);
    // Cameras leaving the registry are let go here, after the registry lock is given back.
    SNP_CanonCameraList leaving;
    storeDetectedCameras(newList, leaving);
    newList.reset();
    leaving.clear();

    SNP_Log::debug(QStringLiteral("unlocking update lock"));
    updateLock.unlock();

    if (_gShouldUpdate.exchange(false)) {
        SNP_Log::debug(QStringLiteral("catching up on missed update"));
        updateCameraList();
    }
    reachTestStep(TestStep::UpdateEnded);
}

void SNP_CanonCamera::storeDetectedCameras(const std::optional<SNP_CanonCameraList>& newList,
                                           SNP_CanonCameraList& leaving)
{
    bool changed = false;
    QElapsedTimer waited;
    waited.start();
    std::unique_lock<SNP_TimedMutex> threadLock(_gThreadLock, std::try_to_lock);
    if (!threadLock.owns_lock()) {
        SNP_Log::debugLines(QString::asprintf("waiting for thread lock on thread: %s\nbackstack:%s",
                                              qUtf8Printable(currentThreadText()), qUtf8Printable(callStackText())));
        if (threadLock.try_lock_for(secondsToMs(kThreadLockTimeout)))
            SNP_Log::debugf("got a lock after waiting %.2f seconds", waited.nsecsElapsed() / 1e9);
    }
    if (!threadLock.owns_lock()) {
        SNP_Log::debugf("failed to get a lock after waiting %.2f seconds", waited.nsecsElapsed() / 1e9);
        return;
    }
    SNP_Log::debugLines(QString::asprintf("got the update thread lock and now detecting cameras on thread: %s\nbackstack:%s",
                                          qUtf8Printable(currentThreadText()), qUtf8Printable(callStackText())));
    SNP_CanonCameraList& registry = detectedCameras();
    if (gClosing) {
        SNP_Log::debug(QStringLiteral("the camera SDK is shutting down: the camera list found is dropped"));
    } else if (!newList || newList->isEmpty()) {
        leaving.swap(registry);
    } else if (!sameCameras(*newList, registry)) {
        leaving.swap(registry);
        registry = *newList;
        changed = true;
    }
    threadLock.unlock();
    if (changed) {
        SNP_NotificationCenter::defaultCenter().postNotificationOnMainThread(
            SNP_Notification{SNP_CanonCameraListDidUpdate, SNP_NotificationObject::cameraClass(), {}}, false);
    }
}

void SNP_CanonCamera::removeCameraFromRegistry(const SNP_CanonCamera* camera)
{
    SNP_CanonCameraList removed;
    std::unique_lock<SNP_TimedMutex> lock(_gThreadLock, std::defer_lock);
    if (!lock.try_lock_for(secondsToMs(kThreadLockTimeout))) {
        SNP_Log::debugf("timed out removing camera %s from the camera list", qUtf8Printable(SNP_describeCamera(camera)));
        return;
    }
    SNP_CanonCameraList& registry = detectedCameras();
    for (qsizetype i = registry.size() - 1; i >= 0; --i) {
        if (registry[i]->isEqual(camera))
            removed.append(registry.takeAt(i));
    }
    lock.unlock();
    // The removed objects go out of scope here, outside the lock.
}

namespace {
// Stops camera-added callbacks and updates, closes the open session, empties the registry
// and terminates the SDK.
void shutdownRegistry(const char* reason)
{
    SNP_Log::debugf("SNP_CanonCamera catching applicationWillTerminate! %s", reason);
    std::shared_ptr<EdsSdk> sdk;
    bool initialized = false;
    {
        std::lock_guard<std::mutex> guard(gInitLock);
        sdk = gInitializedSdk;
        initialized = gSdkInitialized;
        gSdkInitialized = false;
    }
    // First of all no camera-added callback may start an update: one that filled the
    // registry after it was emptied would hold cameras of a terminated SDK. A callback
    // already running finds the registry closed.
    gClosing = true;
    if (sdk) {
        EdsError error = sdk->EdsSetCameraAddedHandler(nullptr, nullptr);
        if (error != EDS_ERR_OK)
            SNP_Log::debugf("error %x clearing the addedCamera callback", error);
    }
    if (!SNP_CanonCamera::waitForCameraListUpdates(5000))
        SNP_Log::debug(QStringLiteral("camera list updates still running at shutdown"));

    if (SNP_CanonCameraPtr loaded = SNP_CanonCamera::loadedCamera())
        loaded->unload();

    SNP_CanonCameraList leaving;
    {
        std::unique_lock<SNP_TimedMutex> lock(_gThreadLock, std::defer_lock);
        if (lock.try_lock_for(secondsToMs(kThreadLockTimeout)))
            leaving.swap(detectedCameras());
        else
            SNP_Log::debug(QStringLiteral("timed out emptying the camera list at shutdown"));
    }
    leaving.clear();

    if (sdk && initialized) {
        EdsError error = sdk->EdsTerminateSDK();
        if (error != EDS_ERR_OK)
            SNP_Log::debugf("error %x terminating EDSDK", error);
    }
}
}  // namespace

void SNP_CanonCamera::applicationWillTerminate()
{
    {
        std::lock_guard<std::mutex> guard(gInitLock);
        if (!gSdkInitialized)
            return;
    }
    shutdownRegistry("aboutToQuit");
}

void SNP_CanonCamera::resetRegistryForTesting()
{
    shutdownRegistry("reset for testing");
    std::lock_guard<std::mutex> guard(gInitLock);
    gInitialized = false;
    gInitializedSdk.reset();
    _gShouldUpdate = false;
}

std::unique_lock<SNP_TimedMutex> SNP_CanonCamera::lockRegistryForTesting()
{
    return std::unique_lock<SNP_TimedMutex>(_gThreadLock);
}

void SNP_CanonCamera::setTestStepHook(TestStepHook hook)
{
    std::lock_guard<std::mutex> guard(gTestStepHookLock);
    gTestStepHook = std::move(hook);
}

void SNP_CanonCamera::reachTestStep(TestStep step, const SNP_CanonCamera* camera)
{
    TestStepHook hook;
    {
        std::lock_guard<std::mutex> guard(gTestStepHookLock);
        hook = gTestStepHook;
    }
    if (hook)
        hook(step, camera);
}
