// One SNP_CanonCamera stands for one connected camera: its SDK reference, name and
// subtype, locks, command queue, property cache and live-view buffer. The class side keeps
// the list of connected cameras (the registry) and starts and stops the SDK.
//
// Files: SNP_CanonCamera.cpp (object and session), SNP_CanonCameraRegistry.cpp (class
// side), SNP_CanonCameraQueue.cpp (commands and locks), SNP_CanonCameraProperties.cpp,
// SNP_CanonCameraDownload.cpp, SNP_CanonCameraLiveView.cpp.
//
// Everything the camera has to tell the application is posted as a notification
// (SNP_CanonCameraNotifications.h). The SDK is reached through EdsCurrentSdk() only.
#pragma once

#include "EdsSdk.h"
#include "SNP_CanonCameraNotifications.h"
#include "SNP_TimedMutex.h"

#include <QByteArray>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QList>
#include <QMutex>
#include <QSize>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

class SNP_CanonCamera;
struct SNP_CanonCameraSlot;
using SNP_CanonCameraPtr = std::shared_ptr<SNP_CanonCamera>;
using SNP_CanonCameraList = QList<SNP_CanonCameraPtr>;

// A property value: invalid (none), a number keeping the camera's width and signedness
// (qint8, quint8, qint16, quint16, qint32, quint32), a QString or a QDateTime.
using SNP_PropertyValue = QVariant;
// Supported values of one property: display text -> code (quint32).
using SNP_SupportedValues = QVariantMap;

// The camera's delegate. Not retained by the camera: a delegate going away sets the
// camera's delegate to null first (setDelegate waits for a question in flight).
class SNP_CanonCameraDelegate {
public:
    virtual ~SNP_CanonCameraDelegate() = default;
    // Optional question, asked at every download progress step on the camera's callback
    // thread: true cancels the download. It must not wait for the main thread. A delegate
    // that does not override it never cancels.
    virtual bool cancelDownloadForProgress(uint32_t percent) { return false; }
};

// A lock with a name for log lines, taken at once or before a deadline.
class SNP_NamedLock {
public:
    explicit SNP_NamedLock(QString name) : _name(std::move(name)) {}
    const QString& name() const { return _name; }
    bool tryLock() { return _mutex.try_lock(); }
    bool tryLockUntil(const QDeadlineTimer& deadline)
    {
        return _mutex.try_lock_for(std::chrono::milliseconds(qMax<qint64>(0, deadline.remainingTime())));
    }
    void unlock() { _mutex.unlock(); }

private:
    QString _name;
    SNP_TimedMutex _mutex;
};

class SNP_CanonCamera : public std::enable_shared_from_this<SNP_CanonCamera> {
public:
    // ---- Object and session (SNP_CanonCamera.cpp) ----

    // The camera object for an SDK camera reference (not null). Takes its own SDK
    // reference. While an object for the reference is alive, that same object is answered,
    // so that one camera never has two objects receiving its SDK events. An object made
    // while the camera's previous object is being destroyed takes over its SDK handlers.
    static SNP_CanonCameraPtr initWithCameraRef(EdsCameraRef cameraRef);
    ~SNP_CanonCamera();
    SNP_CanonCamera(const SNP_CanonCamera&) = delete;
    SNP_CanonCamera& operator=(const SNP_CanonCamera&) = delete;

    EdsCameraRef cameraRef() const { return _camera; }
    uint32_t subType() const { return _subType; }
    // The device description (model name); empty when the device information could not be
    // read (hasDescription() then answers false).
    QString description() const { return _description.value_or(QString()); }
    bool hasDescription() const { return _description.has_value(); }
    bool isLoaded() const { return _isLoaded.load(); }
    SNP_CanonCameraDelegate* delegate() const { return _delegate.load(); }
    // Once it returns, the delegate set before is asked nothing more.
    void setDelegate(SNP_CanonCameraDelegate* delegate)
    {
        std::lock_guard<std::recursive_mutex> asking(_delegateAsking);
        _delegate.store(delegate);
    }

    uintptr_t hash() const { return reinterpret_cast<uintptr_t>(_camera); }
    bool isEqual(const SNP_CanonCamera* other) const { return other && other->hash() == hash(); }

    bool load();
    bool unload();
    // The camera whose session is open, or null.
    static SNP_CanonCameraPtr loadedCamera();

    // path empty: the root file system "/".
    bool setHostStorageCapacityAtPath(const QString& path, bool reset);
    bool setDestination(uint32_t destination);
    // The folder whose file system is reported as host storage when the save destination is
    // set (the booth sets its scratch folder; the home folder until then).
    static void setHostStoragePath(const QString& path);
    static QString hostStoragePath();

    void getDeviceProperties();
    void startNotifications();
    void stopNotifications();
    EdsError processCameraEvent(EdsStateEvent event, EdsUInt32 eventData);
    static EdsError cameraEventCallback(EdsStateEvent event, EdsUInt32 eventData, void* context);
    // The context this camera's SDK handlers are given: the camera's slot, which outlives
    // every object of the camera, so that a handler call running while its object goes
    // finds the object gone rather than freed memory.
    void* handlerContext() const { return _slot; }

    // ---- Registry and SDK lifecycle (SNP_CanonCameraRegistry.cpp) ----

    // Initialises the SDK and starts the first update, once per process (or after
    // applicationWillTerminate / resetRegistryForTesting).
    static void initialize();
    // A snapshot of the registry; empty optional when the registry lock is busy.
    static std::optional<SNP_CanonCameraList> cameras();
    static void updateCameraList();
    static void updateCameraListAsync();
    static void updateCameraListAtDate(const QDateTime& date);
    // Shuts the SDK down: closes the open session, empties the registry, terminates.
    static void applicationWillTerminate();
    static EdsError cameraAdded(void* context);
    // Removes every registry entry equal to camera (shutdown of a camera).
    static void removeCameraFromRegistry(const SNP_CanonCamera* camera);
    // Waits until no update thread is running; answers whether that happened in time.
    static bool waitForCameraListUpdates(int timeoutMs);
    // Tests: shuts down like applicationWillTerminate and lets initialize() run again.
    static void resetRegistryForTesting();
    // Tests: holds the registry lock for as long as the answer lives.
    static std::unique_lock<SNP_TimedMutex> lockRegistryForTesting();

    // Tests: the moments where the library's threads meet, so that a test can hold one
    // thread there and make an interleaving happen for certain. The hook is called on the
    // thread that reaches the step (the camera: the one going, or null).
    enum class TestStep {
        UpdateRefused,  // an update found another running and leaves the work to it
        UpdateEnded,    // a running update is over, its catch-up decided
        CameraGoing,    // a camera object's destruction begins
    };
    using TestStepHook = std::function<void(TestStep step, const SNP_CanonCamera* camera)>;
    static void setTestStepHook(TestStepHook hook);
    static void reachTestStep(TestStep step, const SNP_CanonCamera* camera = nullptr);

    // ---- Commands and locks (SNP_CanonCameraQueue.cpp) ----

    static constexpr double kQueueLockTimeout = 30.0;
    static constexpr double kCommandLockTimeout = 3.0;

    // The command's text, or a null QString when the dictionary has no "commandNumber".
    static QString descriptionForCommandDictionary(const QVariantMap& dictionary);
    static QVariantMap commandDictionary(uint32_t command, int32_t parameter);
    void queueCameraCommand(uint32_t command, int32_t parameter);
    void performNextQueuedCameraCommand();
    void performCommandWithDictionary(const QVariantMap& dictionary);
    EdsError performCameraCommand(uint32_t command, int32_t parameter);
    void takePicture();
    void pressShutter(uint32_t parameter);
    void pressShutterFull() { pressShutter(3); }
    void pressShutterHalf() { pressShutter(1); }
    void releaseShutter() { pressShutter(0); }
    void liveViewDriveAF(uint32_t parameter);
    void liveViewDriveAFNear1() { liveViewDriveAF(1); }
    void liveViewSetZoom(uint32_t zoom);
    QDateTime cameraClock();
    bool setCameraClock(const QDateTime& date);
    bool setOwnerName(const QString& name);
    int liveViewSupportLevel() const { return 0; }
    bool waitForCameraLock(double timeoutSeconds);
    void unlockCameraLock();
    static bool getLock(SNP_NamedLock& lock, const QDeadlineTimer& deadline);
    // Queued commands not yet started (copy).
    QList<QVariantMap> queuedCommands();

    // ---- Properties (SNP_CanonCameraProperties.cpp) ----

    QString stringNameForPropertyID(EdsPropertyID propertyID) const;
    QString stringForPropertyID(EdsPropertyID propertyID, uint32_t value) const;
    static QDateTime dateForEDSTime(const EdsTime* time);
    static void EDSTime(EdsTime* time, const SNP_PropertyValue& date);
    SNP_PropertyValue valueForPropertyID(EdsPropertyID propertyID, uint32_t parameter);
    bool setValue(const SNP_PropertyValue& value, EdsPropertyID propertyID, uint32_t parameter);
    bool setStringValue(const QString& text, EdsPropertyID propertyID);
    std::optional<SNP_SupportedValues> supportedValuesForPropertyID(EdsPropertyID propertyID);
    void setSupportedValues(const std::optional<SNP_SupportedValues>& values, EdsPropertyID propertyID);
    void propertyDidChange(EdsPropertyID propertyID, uint32_t parameter);
    void updateValueForPropertyID(EdsPropertyID propertyID) { propertyDidChange(propertyID, 0); }
    EdsError processPropertyEvent(EdsPropertyEvent event, EdsPropertyID propertyID, uint32_t parameter);
    static EdsError propertyEventCallback(EdsPropertyEvent event, EdsPropertyID propertyID, EdsUInt32 parameter,
                                          void* context);
    // The cached supported-values table for a property name (copy), if any.
    std::optional<SNP_SupportedValues> cachedSupportedValues(const QString& propertyName);
    // Property values: whether a value is a number (any integer width), the number's bits
    // as unsigned 32-bit (signed values keep their two's complement; 0 for a non-number),
    // and the printed form used in log lines ("(null)" for none).
    static bool isNumberValue(const SNP_PropertyValue& value);
    static uint32_t uint32Value(const SNP_PropertyValue& value);
    static QString describeValue(const SNP_PropertyValue& value);

    // ---- Download (SNP_CanonCameraDownload.cpp) ----

    static EdsError objectEventCallback(EdsObjectEvent event, EdsBaseRef object, void* context);
    EdsError processObjectEvent(EdsObjectEvent event, EdsBaseRef object);
    EdsError downloadObject(EdsDirectoryItemRef item);
    static EdsError progressCallback(EdsUInt32 percent, void* context, EdsBool* outCancel);
    bool cancelDownloadForProgress(uint32_t percent);

    // ---- Live view (SNP_CanonCameraLiveView.cpp) ----

    static constexpr uint32_t kLiveViewStreamSize = 0x200000;
    void liveViewBegin();
    void liveViewEnd();
    uint32_t liveViewOutputDevice();
    uint32_t liveViewStreamSize() const { return kLiveViewStreamSize; }
    void downloadLiveViewImage();
    EdsError setProperty(EdsCameraRef camera, EdsPropertyID propertyID, uint32_t parameter, uint32_t size,
                         const void* data);
    // The size in pixels the frames are shown at, from whoever shows them (any thread);
    // empty: not known. A frame shown at half its size or less is decoded reduced.
    void setLiveViewShownSize(QSize size);
    QSize liveViewShownSize() const;
    // Called by property handling for a change of "Evf_OutputDevice" (0x500).
    void liveViewOutputDeviceDidChange();
    bool shouldDownloadLiveViewImage() const { return _shouldDownloadLiveViewImage.load(); }
    // -- live view: loop state and counters --
    // True while a frame loop thread runs for this camera.
    bool isLiveViewLoopRunning() const { return _liveViewLoopRunning.load(); }
    // Frame loop runs that took _liveViewLock (a loop that found it taken is not counted).
    uint64_t liveViewRunCount() const { return _liveViewRuns.load(); }
    // Frames made into images; of those, handed to the main thread and replaced by a newer
    // frame before the main thread took them; frames that did not make an image.
    uint64_t liveViewFramesBuilt() const { return _liveViewFramesBuilt.load(); }
    uint64_t liveViewFramesDelivered() const { return _liveViewFramesDelivered.load(); }
    uint64_t liveViewFramesDropped() const { return _liveViewFramesDropped.load(); }
    uint64_t liveViewFramesRejected() const { return _liveViewFramesRejected.load(); }
    // How often a frame buffer was allocated, and the address of the kept one (null
    // before the first frame).
    uint64_t liveViewBufferAllocations() const { return _liveViewBufferAllocations.load(); }
    const void* liveViewBufferAddress();
    // Waits until no frame loop runs; false on time-out.
    bool waitForLiveViewLoopEnd(int timeoutMs);
    // Length of the JPEG stream at the front of data (start marker to end marker), or 0
    // when no complete stream is there.
    static size_t liveViewJpegLength(const uint8_t* data, size_t size);
    // -- end live view --

    // The text of an SDK status code for log lines and errors.
    static QString errorName(EdsError error);

    // The SDK this camera was made with.
    const std::shared_ptr<EdsSdk>& sdk() const { return _sdk; }

private:
    explicit SNP_CanonCamera(EdsCameraRef cameraRef, std::shared_ptr<EdsSdk> sdk);
    SNP_NotificationObject notificationObject();
    void clearHandlersForDestruction();
    // The live camera object a handler context stands for, held for the handler's call;
    // null when it has gone or is going.
    static SNP_CanonCameraPtr cameraForHandlerContext(void* context);
    // Clears the three SDK handlers of this camera, logging what the SDK refuses.
    void clearAllHandlers();
    // The return addresses on the calling thread's stack for log lines, "(0x..., 0x...)"
    // (SNP_CanonCameraQueue.cpp).
    static QString callStackText();
    // A camera list update's last step (its own thread, the update lock held): the cameras
    // found become the registry's, those that leave it are handed to leaving.
    static void storeDetectedCameras(const std::optional<SNP_CanonCameraList>& newList, SNP_CanonCameraList& leaving);
    // A download's transfer into buffer (the file's size) and, once complete, the photo
    // data's announcement (SNP_CanonCameraDownload.cpp, the thread the SDK called on).
    EdsError transferObject(EdsSdk& sdk, EdsDirectoryItemRef item, QByteArray& buffer,
                            const std::optional<QString>& name, EdsInt64 requested);

    // Fields.
    std::atomic<SNP_CanonCameraDelegate*> _delegate{nullptr};
    std::recursive_mutex _delegateAsking; // held while the delegate is asked (callback thread)
    EdsCameraRef _camera = nullptr;
    EdsDeviceInfo _cameraInfo{};
    std::optional<QString> _description;
    uint32_t _subType = 0;
    SNP_NamedLock _commandLock{QStringLiteral("commandLock")};
    SNP_NamedLock _queueLock{QStringLiteral("queueLock")};
    SNP_NamedLock _liveViewLock{QStringLiteral("liveViewLock")};
    QMutex _propertiesLock;                 // guards _properties
    QVariantMap _properties;                // property name -> SNP_SupportedValues
    QList<QVariantMap> _commandQueue;       // guarded by _queueLock
    QMutex _liveViewDataLock;               // guards _mLiveViewData
    QByteArray _mLiveViewData;              // null until the first frame
    std::atomic<bool> _isLoaded{false};
    std::atomic<bool> _shouldDownloadLiveViewImage{false};
    std::atomic<uint64_t> _liveViewShownSize{0};  // width << 32 | height

    // -- live view: loop thread and hand-over (SNP_CanonCameraLiveView.cpp) --
    // Guards the loop thread, the running mark and the hand-over slot.
    std::mutex _liveViewStateLock;
    std::condition_variable _liveViewStateChanged;
    bool _liveViewStartPending = false;  // a loop thread was started and has not ended
    std::thread _liveViewThread;
    std::atomic<bool> _liveViewLoopRunning{false};
    // The newest frame not yet taken by the main thread, and whether a delivery is queued.
    QVariant _liveViewPendingFrame;
    bool _liveViewDeliveryQueued = false;
    std::atomic<uint64_t> _liveViewRuns{0}, _liveViewFramesBuilt{0}, _liveViewFramesDelivered{0},
        _liveViewFramesDropped{0}, _liveViewFramesRejected{0}, _liveViewBufferAllocations{0};
    void startLiveViewLoopThread();
    void handOverLiveViewFrame(const QVariant& image);
    // One run of the frame loop: its buffer, decoder and failure counts (loop thread).
    class LiveViewRun;
    void deliverPendingLiveViewFrame();
    // Joins (or, on its own thread, lets go of) a finished loop thread; used at destruction.
    struct LiveViewThreadJoiner {
        SNP_CanonCamera* owner;
        ~LiveViewThreadJoiner();
    };
    // -- end live view --

    SNP_CanonCameraSlot* _slot = nullptr;  // set once, before the object is shared
    bool _deviceInfoRead = false;
    // Which SDK handlers currently carry this object as context.
    std::atomic<bool> _stateHandlerSet{false};
    std::atomic<bool> _sessionHandlersSet{false};

    std::shared_ptr<EdsSdk> _sdk;

    // -- live view: declared last, so that a finished loop thread is dealt with first --
    LiveViewThreadJoiner _liveViewThreadJoiner{this};
};

// Debug printing of camera lists and cameras ("(Canon EOS 5D, ...)").
QString SNP_describeCameras(const SNP_CanonCameraList& cameras);
QString SNP_describeCamera(const SNP_CanonCamera* camera);
Q_DECLARE_METATYPE(std::shared_ptr<SNP_CanonCamera>)
