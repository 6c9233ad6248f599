// Camera notifications: the names and user-info keys the camera library posts with, and
// the one small notification centre they travel through.
//
// Camera objects and the registry never call the application; they post notifications.
// An observer registers a callback under a key of its own for one name (or every name)
// and one sender (or any sender). Three ways of delivery:
//   - direct: the observers run on the posting thread before the post returns;
//   - main thread, no wait: the notification is queued to the main thread;
//   - main thread, wait: the posting thread blocks until the observers have run on the
//     main thread (when the poster is the main thread they run at once).
#pragma once

#include <QMetaType>
#include <QList>
#include <QMutex>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class SNP_CanonCamera;

// Notification names (the identifier and the value are the same text).
extern const QString SNP_CanonCameraListDidUpdate;
extern const QString SNP_CanonCameraAdded;
extern const QString SNP_CanonCameraDidLoad;
extern const QString SNP_CanonCameraDidUnload;
extern const QString SNP_CanonCameraCommandError;
extern const QString SNP_CanonCameraPropertyDidChange;
extern const QString SNP_CanonCameraPropertiesDidChange;
extern const QString SNP_CanonCameraDownloadProgress;
extern const QString SNP_CanonCameraPhotoDataAvailable;
extern const QString SNP_CanonCameraLiveViewImageUpdate;

// User-info keys. SNP_CanonCameraCommandError is both a name and a key (same text).
extern const QString SNP_CanonCameraCommandDictionary;
extern const QString SNP_CanonCameraPropertyName;
extern const QString SNP_CanonCameraProperty;
extern const QString SNP_CanonCameraPropertyID;
extern const QString SNP_CanonCameraPropertyValue;
extern const QString SNP_CanonCameraProperties;
extern const QString SNP_CanonCameraDownloadProgressPercent;
extern const QString SNP_CanonCameraPhotoData;
extern const QString SNP_CanonCameraPhotoFilename;
// When the camera asked the host to take the picture's file: milliseconds of the steady
// clock (std::chrono::steady_clock), as a qint64.
extern const QString SNP_CanonCameraPhotoRequestTime;
extern const QString SNP_CanonCameraLiveViewImage;

// The key of an error's own user info that holds its readable description.
extern const QString SNP_LocalizedDescriptionKey;  // "NSLocalizedDescriptionKey"

// An error value as carried by notifications: a domain ("EdsError" for SDK status codes),
// the code, and user info of its own.
struct SNP_Error {
    QString domain;
    qint64 code = 0;
    QVariantMap userInfo;

    QString localizedDescription() const { return userInfo.value(SNP_LocalizedDescriptionKey).toString(); }
    QString toString() const;
};
Q_DECLARE_METATYPE(SNP_Error)

// What a notification is about: nothing (nil), the camera class itself, or one camera.
// A camera object is held strongly for as long as the notification lives.
class SNP_NotificationObject {
public:
    SNP_NotificationObject() = default;  // nil
    static SNP_NotificationObject nil() { return {}; }
    static SNP_NotificationObject cameraClass();
    static SNP_NotificationObject camera(std::shared_ptr<SNP_CanonCamera> camera);

    bool isNil() const { return _kind == Kind::Nil; }
    bool isCameraClass() const { return _kind == Kind::CameraClass; }
    bool isCamera() const { return _kind == Kind::Camera; }
    // The camera, or null when the object is not a camera.
    const std::shared_ptr<SNP_CanonCamera>& camera() const { return _camera; }
    // An identity for comparisons: the camera's address, a fixed address for the class,
    // null for nil.
    const void* identity() const;

    bool operator==(const SNP_NotificationObject& other) const { return identity() == other.identity(); }

private:
    enum class Kind { Nil, CameraClass, Camera };
    Kind _kind = Kind::Nil;
    std::shared_ptr<SNP_CanonCamera> _camera;
};

struct SNP_Notification {
    QString name;
    SNP_NotificationObject object;
    QVariantMap userInfo;
};

using SNP_NotificationCallback = std::function<void(const SNP_Notification&)>;

class SNP_NotificationCenter {
public:
    static SNP_NotificationCenter& defaultCenter();

    // Registers callback for notifications called name (empty: every name) from sender
    // (nil: any sender). observer is only a key for removeObserver; it is not retained.
    void addObserver(const void* observer, const QString& name, const SNP_NotificationObject& sender,
                     SNP_NotificationCallback callback);
    // Convenience: any sender.
    void addObserver(const void* observer, const QString& name, SNP_NotificationCallback callback)
    {
        addObserver(observer, name, SNP_NotificationObject::nil(), std::move(callback));
    }
    // Removes every registration of observer, and waits until a notification being
    // delivered to it on another thread has been (one being delivered on the calling
    // thread, which is removing its own observer, is not waited for). Afterwards no
    // callback of observer runs.
    void removeObserver(const void* observer);
    // Removes observer's registrations for one name, waiting the same way.
    void removeObserver(const void* observer, const QString& name);

    // Direct delivery on the calling thread.
    void postNotification(const SNP_Notification& notification);
    void postNotification(const QString& name, const SNP_NotificationObject& object,
                          const QVariantMap& userInfo = {})
    {
        postNotification(SNP_Notification{name, object, userInfo});
    }

    // Main-thread delivery. waitUntilDone: block until delivered (at once on the main
    // thread). Without an application object there is no main loop; the observers then
    // run on the calling thread.
    void postNotificationOnMainThread(const SNP_Notification& notification, bool waitUntilDone);

    int observerCount() const;

private:
    // A registration's callback with the deliveries of it in flight.
    struct Delivery {
        SNP_NotificationCallback callback;
        // Standard mutex and condition: the thread checker sees a wait release the lock
        // (with QMutex and QWaitCondition it sees only QMutex's inline half).
        std::mutex lock;  // guards removed and threads
        std::condition_variable idle;
        bool removed = false;
        QList<Qt::HANDLE> threads;  // threads delivering to it now
    };
    struct Registration {
        const void* observer;
        QString name;
        const void* sender;
        std::shared_ptr<Delivery> delivery;
    };
    static void deliver(Delivery& delivery, const SNP_Notification& notification);
    void removeWhere(const std::function<bool(const Registration&)>& matches);
    mutable QMutex _lock;  // guards _registrations
    std::vector<Registration> _registrations;
};
