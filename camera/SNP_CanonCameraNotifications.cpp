// The camera notification names and keys, and the notification centre.
#include "SNP_CanonCameraNotifications.h"

#include "SNP_Log.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <algorithm>

const QString SNP_CanonCameraListDidUpdate = QStringLiteral("SNP_CanonCameraListDidUpdate");
const QString SNP_CanonCameraAdded = QStringLiteral("SNP_CanonCameraAdded");
const QString SNP_CanonCameraDidLoad = QStringLiteral("SNP_CanonCameraDidLoad");
const QString SNP_CanonCameraDidUnload = QStringLiteral("SNP_CanonCameraDidUnload");
const QString SNP_CanonCameraCommandError = QStringLiteral("SNP_CanonCameraCommandError");
const QString SNP_CanonCameraPropertyDidChange = QStringLiteral("SNP_CanonCameraPropertyDidChange");
const QString SNP_CanonCameraPropertiesDidChange = QStringLiteral("SNP_CanonCameraPropertiesDidChange");
const QString SNP_CanonCameraDownloadProgress = QStringLiteral("SNP_CanonCameraDownloadProgress");
const QString SNP_CanonCameraPhotoDataAvailable = QStringLiteral("SNP_CanonCameraPhotoDataAvailable");
const QString SNP_CanonCameraLiveViewImageUpdate = QStringLiteral("SNP_CanonCameraLiveViewImageUpdate");

const QString SNP_CanonCameraCommandDictionary = QStringLiteral("SNP_CanonCameraCommandDictionary");
const QString SNP_CanonCameraPropertyName = QStringLiteral("SNP_CanonCameraPropertyName");
const QString SNP_CanonCameraProperty = QStringLiteral("SNP_CanonCameraProperty");
const QString SNP_CanonCameraPropertyID = QStringLiteral("SNP_CanonCameraPropertyID");
const QString SNP_CanonCameraPropertyValue = QStringLiteral("SNP_CanonCameraPropertyValue");
const QString SNP_CanonCameraProperties = QStringLiteral("SNP_CanonCameraProperties");
const QString SNP_CanonCameraDownloadProgressPercent = QStringLiteral("SNP_CanonCameraDownloadProgressPercent");
const QString SNP_CanonCameraPhotoData = QStringLiteral("SNP_CanonCameraPhotoData");
const QString SNP_CanonCameraPhotoFilename = QStringLiteral("SNP_CanonCameraPhotoFilename");
const QString SNP_CanonCameraPhotoRequestTime = QStringLiteral("SNP_CanonCameraPhotoRequestTime");
const QString SNP_CanonCameraLiveViewImage = QStringLiteral("SNP_CanonCameraLiveViewImage");

const QString SNP_LocalizedDescriptionKey = QStringLiteral("NSLocalizedDescriptionKey");

QString SNP_Error::toString() const
{
    return QStringLiteral("Error Domain=%1 Code=%2 \"%3\"").arg(domain).arg(code).arg(localizedDescription());
}

namespace {
// The address standing for the camera class as a notification object.
const char kCameraClassIdentity = 0;
}

SNP_NotificationObject SNP_NotificationObject::cameraClass()
{
    SNP_NotificationObject object;
    object._kind = Kind::CameraClass;
    return object;
}

SNP_NotificationObject SNP_NotificationObject::camera(std::shared_ptr<SNP_CanonCamera> camera)
{
    SNP_NotificationObject object;
    if (camera) {
        object._kind = Kind::Camera;
        object._camera = std::move(camera);
    }
    return object;
}

const void* SNP_NotificationObject::identity() const
{
    switch (_kind) {
    case Kind::Nil:
        return nullptr;
    case Kind::CameraClass:
        return &kCameraClassIdentity;
    case Kind::Camera:
        return _camera.get();
    }
    return nullptr;
}

SNP_NotificationCenter& SNP_NotificationCenter::defaultCenter()
{
    static SNP_NotificationCenter* center = new SNP_NotificationCenter;  // lives for the process
    return *center;
}

void SNP_NotificationCenter::addObserver(const void* observer, const QString& name,
                                         const SNP_NotificationObject& sender, SNP_NotificationCallback callback)
{
    if (!callback) {
        SNP_Log::debug(QStringLiteral("refusing to add an observer without a callback for %1").arg(name));
        return;
    }
    auto delivery = std::make_shared<Delivery>();
    delivery->callback = std::move(callback);
    QMutexLocker locker(&_lock);
    _registrations.push_back(Registration{observer, name, sender.identity(), std::move(delivery)});
}

void SNP_NotificationCenter::removeObserver(const void* observer)
{
    removeWhere([observer](const Registration& r) { return r.observer == observer; });
}

void SNP_NotificationCenter::removeObserver(const void* observer, const QString& name)
{
    removeWhere([&](const Registration& r) { return r.observer == observer && r.name == name; });
}

void SNP_NotificationCenter::removeWhere(const std::function<bool(const Registration&)>& matches)
{
    std::vector<std::shared_ptr<Delivery>> removed;
    {
        QMutexLocker locker(&_lock);
        for (const Registration& r : _registrations)
            if (matches(r))
                removed.push_back(r.delivery);
        std::erase_if(_registrations, matches);
    }
    const Qt::HANDLE self = QThread::currentThreadId();
    for (const auto& delivery : removed) {
        std::unique_lock locker(delivery->lock);
        delivery->removed = true;
        delivery->idle.wait(locker, [&] {
            return std::none_of(delivery->threads.begin(), delivery->threads.end(),
                                [self](Qt::HANDLE t) { return t != self; });
        });
    }
}

void SNP_NotificationCenter::deliver(Delivery& delivery, const SNP_Notification& notification)
{
    const Qt::HANDLE self = QThread::currentThreadId();
    {
        std::lock_guard locker(delivery.lock);
        if (delivery.removed)
            return;
        delivery.threads << self;
    }
    delivery.callback(notification);
    std::lock_guard locker(delivery.lock);
    delivery.threads.removeOne(self);
    delivery.idle.notify_all();
}

int SNP_NotificationCenter::observerCount() const
{
    QMutexLocker locker(&_lock);
    return int(_registrations.size());
}

void SNP_NotificationCenter::postNotification(const SNP_Notification& notification)
{
    // Observers run outside the lock, so they may add or remove observers and post.
    std::vector<std::shared_ptr<Delivery>> deliveries;
    {
        QMutexLocker locker(&_lock);
        const void* sender = notification.object.identity();
        for (const Registration& r : _registrations) {
            if (!r.name.isEmpty() && r.name != notification.name)
                continue;
            if (r.sender && r.sender != sender)
                continue;
            deliveries.push_back(r.delivery);
        }
    }
    for (const auto& delivery : deliveries)
        deliver(*delivery, notification);
}

void SNP_NotificationCenter::postNotificationOnMainThread(const SNP_Notification& notification, bool waitUntilDone)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        postNotification(notification);
        return;
    }
    if (QThread::currentThread() == app->thread()) {
        if (waitUntilDone)
            postNotification(notification);
        else
            QMetaObject::invokeMethod(app, [this, notification] { postNotification(notification); },
                                      Qt::QueuedConnection);
        return;
    }
    QMetaObject::invokeMethod(app, [this, notification] { postNotification(notification); },
                              waitUntilDone ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}
