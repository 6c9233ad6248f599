// Camera object and session: creation from an SDK camera reference, identity, the single
// open session of the process, save destination and host storage, state events.
#include "SNP_CanonCamera.h"

#include "SNP_CanonCameraNames.h"
#include "SNP_Log.h"
#include "SNP_NSStringAdditions.h"

#include <QCoreApplication>
#include <QDir>
#include <QMetaObject>
#include <QThread>
#include <QFile>

#include <sys/statvfs.h>

#include <climits>
#include <map>
#include <utility>

namespace {

// The camera whose session is open. Written by load and unload (the main thread in the
// booth); the lock makes reads from other threads safe.
std::mutex gLoadedCameraLock;
SNP_CanonCameraPtr _gLoadedCamera;

std::mutex gSlotsLock;  // guards the slots table and every slot's fields

// One slot per SDK camera (an SDK and a camera reference) ever seen, never freed: the SDK's
// handlers of the camera carry it as their context. A handler call that was taken up just
// before its object went (clearing a handler does not wait for a running call) finds the
// object gone here, never freed memory. A few dozen bytes per camera plugged in.
std::map<std::pair<const EdsSdk*, EdsCameraRef>, SNP_CanonCameraSlot*>& cameraSlots()
{
    static auto* table = new std::map<std::pair<const EdsSdk*, EdsCameraRef>, SNP_CanonCameraSlot*>;
    return *table;
}

std::mutex gHostStoragePathLock;
QString gHostStoragePath;

// The initial property reads of a new session, in order.
constexpr EdsPropertyID kInitialProperties[] = {
    0x400, 0x404, 0x405, 0x406, 0x402, 0x106, 0x407, 0x401, 0x403,
    0x100, 0x8, 0x10, 0x7, 0x40D, 0x419, 0x4, 0x418, 0x6,
};

}  // namespace

// A camera's slot (guarded by gSlotsLock).
struct SNP_CanonCameraSlot {
    // The camera's live object: a camera never has two objects receiving its events.
    std::weak_ptr<SNP_CanonCamera> camera;
    // The object whose SDK handlers these are, until its destruction has cleared them.
    const SNP_CanonCamera* owner = nullptr;
};

QString SNP_describeCamera(const SNP_CanonCamera* camera)
{
    if (!camera)
        return QStringLiteral("(null)");
    return camera->hasDescription() ? camera->description() : QStringLiteral("(no description)");
}

QString SNP_describeCameras(const SNP_CanonCameraList& cameras)
{
    QStringList parts;
    for (const auto& camera : cameras)
        parts << SNP_describeCamera(camera.get());
    return QStringLiteral("(") + parts.join(QStringLiteral(", ")) + QStringLiteral(")");
}

SNP_CanonCamera::SNP_CanonCamera(EdsCameraRef cameraRef, std::shared_ptr<EdsSdk> sdk)
    : _camera(cameraRef), _sdk(std::move(sdk))
{
    EdsUInt32 count = _sdk->EdsRetain(_camera);
    SNP_Log::debugf("retaining a camera with \"after-retain\" retain count of %u", count);

    EdsError error = _sdk->EdsGetDeviceInfo(_camera, &_cameraInfo);
    if (error != EDS_ERR_OK) {
        SNP_Log::debugf("got error %x trying to get device info for camera %p", error, static_cast<void*>(_camera));
        return;
    }
    _deviceInfoRead = true;
    _description = SNP_NSStringAdditions::stringWithCString(_cameraInfo.szDeviceDescription,
                                                            sizeof(_cameraInfo.szDeviceDescription),
                                                            SNP_NSStringAdditions::Encoding::UTF8);
    if (!_description)
        SNP_Log::debugf("device description of camera %p is not valid UTF-8", static_cast<void*>(_camera));
    _subType = _cameraInfo.deviceSubType;
}

SNP_CanonCameraPtr SNP_CanonCamera::initWithCameraRef(EdsCameraRef cameraRef)
{
    if (!cameraRef) {
        SNP_Log::debug(QStringLiteral("refusing to make a camera from a NULL camera ref"));
        return nullptr;
    }
    std::shared_ptr<EdsSdk> sdk = EdsCurrentSdk();
    if (!sdk) {
        SNP_Log::debug(QStringLiteral("no camera SDK to make a camera with"));
        return nullptr;
    }

    std::lock_guard<std::mutex> guard(gSlotsLock);
    SNP_CanonCameraSlot*& slot = cameraSlots()[{sdk.get(), cameraRef}];
    if (!slot)
        slot = new SNP_CanonCameraSlot;
    if (SNP_CanonCameraPtr existing = slot->camera.lock())
        return existing;

    SNP_CanonCameraPtr camera(new SNP_CanonCamera(cameraRef, sdk));
    camera->_slot = slot;
    if (slot->owner) {
        // The camera's previous object is being destroyed and has not cleared its handlers
        // yet; they are this object's to clear now, before it sets its own.
        SNP_Log::debugf("camera %s gets a new object while its old one goes; the old one's handlers are cleared",
                        qUtf8Printable(SNP_describeCamera(camera.get())));
        camera->clearAllHandlers();
    }
    slot->camera = camera;
    slot->owner = camera.get();
    // The state handler is registered only now that the object is owned by a shared
    // pointer and its slot names it, so that a callback can always take a strong reference.
    if (camera->_deviceInfoRead) {
        EdsError error = sdk->EdsSetCameraStateEventHandler(cameraRef, kEdsStateEvent_All,
                                                            &SNP_CanonCamera::cameraEventCallback, slot);
        if (error != EDS_ERR_OK) {
            SNP_Log::debugf("error %x trying to set cameraEventCallback callback for %s", error,
                            qUtf8Printable(SNP_describeCamera(camera.get())));
        } else {
            camera->_stateHandlerSet = true;
            SNP_Log::debug(QStringLiteral("set cameraStateEvent callback"));
        }
    }
    return camera;
}

SNP_CanonCameraPtr SNP_CanonCamera::cameraForHandlerContext(void* context)
{
    if (!context)
        return nullptr;
    std::lock_guard<std::mutex> guard(gSlotsLock);
    return static_cast<SNP_CanonCameraSlot*>(context)->camera.lock();
}

void SNP_CanonCamera::clearAllHandlers()
{
    const QByteArray name = SNP_describeCamera(this).toUtf8();
    if (EdsError error = _sdk->EdsSetCameraStateEventHandler(_camera, kEdsStateEvent_All, nullptr, nullptr))
        SNP_Log::debugf("error %x trying to clear cameraEventCallback callback for %s", error, name.constData());
    if (EdsError error = _sdk->EdsSetPropertyEventHandler(_camera, kEdsPropertyEvent_All, nullptr, nullptr))
        SNP_Log::debugf("error %x trying to clear propertyEventCallback callback for %s", error, name.constData());
    if (EdsError error = _sdk->EdsSetObjectEventHandler(_camera, kEdsObjectEvent_All, nullptr, nullptr))
        SNP_Log::debugf("error %x trying to clear objectEventCallback callback for %s", error, name.constData());
}

void SNP_CanonCamera::clearHandlersForDestruction()
{
    // Before anything else goes: the handlers this object set are cleared. The lock keeps a
    // new object for the camera from being made meanwhile (the SDK does not wait for a
    // running handler, which takes this lock only to find its object).
    std::lock_guard<std::mutex> guard(gSlotsLock);
    if (!_slot || _slot->owner != this)
        return;  // a newer object for the same camera took the handlers over
    _slot->owner = nullptr;
    const bool stateHandlerSet = _stateHandlerSet.exchange(false);
    const bool sessionHandlersSet = _sessionHandlersSet.exchange(false);
    if (stateHandlerSet || sessionHandlersSet)
        clearAllHandlers();
}

SNP_CanonCamera::~SNP_CanonCamera()
{
    reachTestStep(TestStep::CameraGoing, this);
    clearHandlersForDestruction();
    _shouldDownloadLiveViewImage = false;
    // A camera whose session close failed earlier still has its session open.
    if (_isLoaded.exchange(false)) {
        EdsError error = _sdk->EdsCloseSession(_camera);
        if (error != EDS_ERR_OK)
            SNP_Log::debugf("error %d trying to close a session with %s", int(error),
                            qUtf8Printable(SNP_describeCamera(this)));
    }
    EdsUInt32 count = _sdk->EdsRelease(_camera);
    SNP_Log::debugf("releasing a camera with \"after-release\" retain count of %u", count);
}

SNP_NotificationObject SNP_CanonCamera::notificationObject()
{
    return SNP_NotificationObject::camera(weak_from_this().lock());
}

SNP_CanonCameraPtr SNP_CanonCamera::loadedCamera()
{
    std::lock_guard<std::mutex> guard(gLoadedCameraLock);
    return _gLoadedCamera;
}

bool SNP_CanonCamera::load()
{
    SNP_CanonCameraPtr self = shared_from_this();
    SNP_CanonCameraPtr loaded = loadedCamera();
    if (loaded && loaded->isEqual(this))
        return _isLoaded.load();
    if (loaded)
        loaded->unload();

    EdsError error = _sdk->EdsOpenSession(_camera);
    if (error != EDS_ERR_OK) {
        SNP_Log::debugf("error %x trying to open a session with %s", error, qUtf8Printable(SNP_describeCamera(this)));
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(gLoadedCameraLock);
        _gLoadedCamera = self;
    }
    _isLoaded = true;
    SNP_Log::debugf("opened a session with %s", qUtf8Printable(SNP_describeCamera(this)));

    SNP_NotificationCenter::defaultCenter().postNotification(SNP_CanonCameraDidLoad, SNP_NotificationObject::camera(self));

    startNotifications();
    setDestination(kEdsSaveTo_Host);
    getDeviceProperties();
    return _isLoaded.load();
}

bool SNP_CanonCamera::unload()
{
    // Keep this object alive: giving up _gLoadedCamera may drop the last other reference.
    SNP_CanonCameraPtr self = shared_from_this();
    if (loadedCamera().get() != this)
        return false;

    stopNotifications();
    setDestination(kEdsSaveTo_Camera);
    liveViewEnd();
    {
        std::lock_guard<std::mutex> guard(gLoadedCameraLock);
        if (_gLoadedCamera.get() == this)
            _gLoadedCamera.reset();
    }

    EdsError error = _sdk->EdsCloseSession(_camera);
    if (error != EDS_ERR_OK) {
        SNP_Log::debugf("error %d trying to close a session with %s", int(error), qUtf8Printable(SNP_describeCamera(this)));
        return false;
    }
    _isLoaded = false;
    SNP_NotificationCenter::defaultCenter().postNotification(SNP_CanonCameraDidUnload, SNP_NotificationObject::camera(self));
    return true;
}

void SNP_CanonCamera::setHostStoragePath(const QString& path)
{
    std::lock_guard<std::mutex> guard(gHostStoragePathLock);
    gHostStoragePath = path;
}

QString SNP_CanonCamera::hostStoragePath()
{
    std::lock_guard<std::mutex> guard(gHostStoragePathLock);
    return gHostStoragePath.isEmpty() ? QDir::homePath() : gHostStoragePath;
}

bool SNP_CanonCamera::setHostStorageCapacityAtPath(const QString& path, bool reset)
{
    QByteArray fsPath = path.isEmpty() ? QByteArray("/") : QFile::encodeName(path);
    if (fsPath.isEmpty())
        fsPath = "/";

    struct statvfs stats {};
    if (statvfs(fsPath.constData(), &stats) != 0) {
        SNP_Log::debugf("could not read file system stats for %s (errno %d)", fsPath.constData(), errno);
        return false;
    }
    uint64_t blockSize = stats.f_frsize ? stats.f_frsize : stats.f_bsize;
    uint64_t freeBlocks = stats.f_bavail;
    SNP_Log::debugLines(QString::asprintf("file system stats:\n block size:%ld\n free blocks:%ld", long(blockSize),
                                          long(freeBlocks)));

    // The SDK's record holds 32-bit signed counts: trade block count for block size so that
    // a large disk is not reported as negative or tiny.
    while (freeBlocks > uint64_t(INT32_MAX) && blockSize <= uint64_t(INT32_MAX) / 2) {
        freeBlocks /= 2;
        blockSize *= 2;
    }
    EdsCapacity capacity{};
    capacity.numberOfFreeClusters = EdsInt32(std::min<uint64_t>(freeBlocks, INT32_MAX));
    capacity.bytesPerSector = EdsInt32(std::min<uint64_t>(blockSize, INT32_MAX));
    capacity.reset = reset ? 1 : 0;

    EdsError error = _sdk->EdsSetCapacity(_camera, capacity);
    if (error != EDS_ERR_OK) {
        SNP_Log::debugf("set capacity failed with error %x", error);
        return false;
    }
    return true;
}

bool SNP_CanonCamera::setDestination(uint32_t destination)
{
    bool written = setValue(QVariant::fromValue<quint32>(destination), 0xB, 0);
    setHostStorageCapacityAtPath(hostStoragePath(), true);
    return written;
}

void SNP_CanonCamera::getDeviceProperties()
{
    for (EdsPropertyID propertyID : kInitialProperties)
        propertyDidChange(propertyID, 0);
}

void SNP_CanonCamera::startNotifications()
{
    // A camera loaded again after an unload gets its state handler back, so that unplugging
    // it is still noticed.
    if (!_stateHandlerSet.load()) {
        EdsError error = _sdk->EdsSetCameraStateEventHandler(_camera, kEdsStateEvent_All,
                                                             &SNP_CanonCamera::cameraEventCallback, _slot);
        if (error != EDS_ERR_OK) {
            SNP_Log::debugf("error %x trying to set cameraEventCallback callback for %s", error,
                            qUtf8Printable(SNP_describeCamera(this)));
        } else {
            _stateHandlerSet = true;
            SNP_Log::debug(QStringLiteral("set cameraStateEvent callback"));
        }
    }

    EdsError error = _sdk->EdsSetPropertyEventHandler(_camera, kEdsPropertyEvent_All,
                                                      &SNP_CanonCamera::propertyEventCallback, _slot);
    if (error != EDS_ERR_OK)
        SNP_Log::debugf("error %x trying to set propertyEventCallback callback for %s", error,
                        qUtf8Printable(SNP_describeCamera(this)));
    else
        SNP_Log::debug(QStringLiteral("set propertyEventCallback"));
    _sessionHandlersSet = true;

    error = _sdk->EdsSetObjectEventHandler(_camera, kEdsObjectEvent_All, &SNP_CanonCamera::objectEventCallback, _slot);
    if (error != EDS_ERR_OK)
        SNP_Log::debugf("error %x trying to set objectEventCallback callback for %s", error,
                        qUtf8Printable(SNP_describeCamera(this)));
    else
        SNP_Log::debug(QStringLiteral("set objectEventCallback"));
}

void SNP_CanonCamera::stopNotifications()
{
    EdsError error = _sdk->EdsSetCameraStateEventHandler(_camera, kEdsStateEvent_All, nullptr, nullptr);
    if (error != EDS_ERR_OK) {
        SNP_Log::debugf("error %x trying to clear cameraEventCallback callback for %s", error,
                        qUtf8Printable(SNP_describeCamera(this)));
    } else {
        _stateHandlerSet = false;
        SNP_Log::debug(QStringLiteral("cleared the cameraStateEventCallback"));
    }

    bool cleared = true;
    error = _sdk->EdsSetPropertyEventHandler(_camera, kEdsPropertyEvent_All, nullptr, nullptr);
    if (error != EDS_ERR_OK) {
        cleared = false;
        SNP_Log::debugf("error %x trying to clear propertyEventCallback callback for %s", error,
                        qUtf8Printable(SNP_describeCamera(this)));
    } else {
        SNP_Log::debug(QStringLiteral("cleared the propertyEventCallback"));
    }
    error = _sdk->EdsSetObjectEventHandler(_camera, kEdsObjectEvent_All, nullptr, nullptr);
    if (error != EDS_ERR_OK) {
        cleared = false;
        SNP_Log::debugf("error %x trying to clear objectEventCallback callback for %s", error,
                        qUtf8Printable(SNP_describeCamera(this)));
    } else {
        SNP_Log::debug(QStringLiteral("cleared the objectEventCallback"));
    }
    if (cleared)
        _sessionHandlersSet = false;
}

EdsError SNP_CanonCamera::cameraEventCallback(EdsStateEvent event, EdsUInt32 eventData, void* context)
{
    // A strong reference for the length of the event; none when the object is going away.
    SNP_CanonCameraPtr self = cameraForHandlerContext(context);
    if (!self) {
        SNP_Log::debugf("dropping camera event %x for a camera that is going away", event);
        return EDS_ERR_OK;
    }
    EdsError result = self->processCameraEvent(event, eventData);
    // The last reference to a camera may be this one (the event may have taken it out of
    // the registry); let it go on the main thread, never inside the SDK's own callback.
    QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() != app->thread())
        QMetaObject::invokeMethod(app, [keep = std::move(self)]() mutable { keep.reset(); }, Qt::QueuedConnection);
    return result;
}

EdsError SNP_CanonCamera::processCameraEvent(EdsStateEvent event, EdsUInt32 eventData)
{
    const QByteArray name = SNP_describeCamera(this).toUtf8();
    switch (event) {
    case kEdsStateEvent_Shutdown: {
        SNP_Log::debugf("camera %s has disappeared (was shutdown or unplugged)", name.constData());
        _isLoaded = false;
        _sdk->EdsCloseSession(_camera);
        removeCameraFromRegistry(this);
        auto& center = SNP_NotificationCenter::defaultCenter();
        center.postNotificationOnMainThread(SNP_Notification{SNP_CanonCameraDidUnload, notificationObject(), {}}, false);
        center.postNotificationOnMainThread(
            SNP_Notification{SNP_CanonCameraListDidUpdate, SNP_NotificationObject::cameraClass(), {}}, false);
        break;
    }
    case kEdsStateEvent_JobStatusChanged:
        SNP_Log::debugf("camera %s job status changed (%u)", name.constData(), eventData);
        break;
    case kEdsStateEvent_WillSoonShutDown:
        SNP_Log::debugf("camera %s shutdown timer soon (%u)", name.constData(), eventData);
        break;
    case kEdsStateEvent_ShutDownTimerUpdate:
        SNP_Log::debugf("camera %s shutdown timer update (%u)", name.constData(), eventData);
        break;
    case kEdsStateEvent_CaptureError:
        SNP_Log::debugf("camera %s reported a capture error (%u)", name.constData(), eventData);
        break;
    case 0x309:
    case 0x310:
        SNP_Log::debugf("camera %s job status has changed", name.constData());
        break;
    default:
        SNP_Log::debugf("received camera event %x for camera %s", event, name.constData());
        break;
    }
    return EDS_ERR_OK;
}

QString SNP_CanonCamera::errorName(EdsError error)
{
    return strForEDSError(error);
}
