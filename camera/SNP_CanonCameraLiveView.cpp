// Live view: switching the camera's viewfinder output to the host and back, and the frame
// loop that fetches one viewfinder JPEG after another into a fixed 2 MiB buffer, decodes
// each for the screen into a PWNSImageFlipped and hands it to the main thread. Frames are
// decoded straight into the pixel format screens draw, reduced by the decoder when they
// are shown at half their size or less (setLiveViewShownSize), into pixel buffers reused
// from frame to frame (SNP_ImagePipeline::FrameDecoder).
//
// The loop is started and stopped only by the camera's confirmation: a change of
// "Evf_OutputDevice" (0x500) routed here by the property handling. One loop per camera
// (_liveViewLock); the loop thread holds a strong reference to its camera, so the camera
// cannot go away under it, and the thread is joined when the next loop starts and when the
// camera is destroyed.
//
// Frames reach the main thread through a single slot: while a delivery is queued and not
// yet taken, a newer frame replaces the waiting one. A slow main thread therefore sees the
// newest frame, never a queue of old ones, and memory stays flat.
#include "SNP_CanonCamera.h"

#include "PWNSImageFlipped.h"
#include "SNP_ImagePipeline.h"
#include "SNP_Log.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMetaObject>
#include <QMutexLocker>
#include <QThread>

#include <chrono>
#include <cstring>

#include <pthread.h>

namespace {

constexpr EdsPropertyID kEvfOutputDevice = 0x500;
constexpr EdsPropertyID kEvfMode = 0x501;
constexpr uint32_t kEvfHostBit = 2;
constexpr double kOutputDeviceLockWait = 3.0;
constexpr auto kNotReadyWait = std::chrono::microseconds(500);

// Lines of one kind logged per run before the rest are only counted.
constexpr int kLogBurst = 5;
// A count of the lines not logged is written at most this often, and at the end of a run.
constexpr qint64 kLogSummaryIntervalMs = 60000;
// Image references that fail this many times in a row end the run instead of spinning.
constexpr int kImageRefAttempts = 100;

// Keeps a flood of identical failure lines out of the log: the first few lines of a run
// are logged as they are, the others counted and summarised.
class BoundedLog {
public:
    explicit BoundedLog(const char* what) : _what(what) {}
    ~BoundedLog() { flush(); }

    void debug(const QByteArray& line)
    {
        if (_logged < kLogBurst) {
            ++_logged;
            SNP_Log::debug(QString::fromUtf8(line));
            return;
        }
        ++_suppressed;
        if (_summaryTimer.hasExpired())
            flush();
    }
    void flush()
    {
        if (_suppressed) {
            SNP_Log::debugf("%llu more %s not logged", static_cast<unsigned long long>(_suppressed), _what);
            _suppressed = 0;
        }
        _summaryTimer.setRemainingTime(kLogSummaryIntervalMs);
    }

private:
    const char* _what;
    int _logged = 0;
    unsigned long long _suppressed = 0;
    QDeadlineTimer _summaryTimer{kLogSummaryIntervalMs};
};

QByteArray format(const char* pattern, unsigned value)
{
    return QByteArray(pattern).replace("%x", QByteArray::number(value, 16));
}

}  // namespace

// ---- switching ----

EdsError SNP_CanonCamera::setProperty(EdsCameraRef camera, EdsPropertyID propertyID, uint32_t parameter,
                                      uint32_t size, const void* data)
{
    EdsError error = _sdk->EdsSetPropertyData(camera, propertyID, EdsInt32(parameter), size, data);
    if (error != EDS_ERR_OK)
        SNP_Log::debugf("EdsSetPropertyData returned error %x", error);
    else
        SNP_Log::debugf("EdsSetPropertyData for PropertyID %x is set", propertyID);
    return error;
}

uint32_t SNP_CanonCamera::liveViewOutputDevice()
{
    SNP_Log::debug(QStringLiteral("about to get the liveoutput device"));
    uint32_t device = 0;
    if (waitForCameraLock(kOutputDeviceLockWait)) {
        uint32_t value = 0;
        if (_sdk->EdsGetPropertyData(_camera, kEvfOutputDevice, 0, sizeof value, &value) == EDS_ERR_OK)
            device = value;
        unlockCameraLock();
    }
    return device;
}

void SNP_CanonCamera::liveViewBegin()
{
    const uint32_t mode = 1;
    setProperty(_camera, kEvfMode, 0, sizeof mode, &mode);
    const uint32_t device = liveViewOutputDevice() | kEvfHostBit;
    setProperty(_camera, kEvfOutputDevice, 0, sizeof device, &device);
}

void SNP_CanonCamera::liveViewEnd()
{
    const uint32_t device = liveViewOutputDevice() & ~kEvfHostBit;
    setProperty(_camera, kEvfOutputDevice, 0, sizeof device, &device);
}

void SNP_CanonCamera::liveViewOutputDeviceDidChange()
{
    const bool host = (liveViewOutputDevice() & kEvfHostBit) != 0;
    if (host) {
        if (!_shouldDownloadLiveViewImage.exchange(true))
            startLiveViewLoopThread();
    } else if (_shouldDownloadLiveViewImage.exchange(false)) {
        SNP_Log::debug(QStringLiteral("stopping liveView"));
    }
}

void SNP_CanonCamera::setLiveViewShownSize(QSize size)
{
    const uint64_t width = size.isEmpty() ? 0 : uint32_t(size.width());
    const uint64_t height = size.isEmpty() ? 0 : uint32_t(size.height());
    _liveViewShownSize.store(width << 32 | height, std::memory_order_relaxed);
}

QSize SNP_CanonCamera::liveViewShownSize() const
{
    const uint64_t packed = _liveViewShownSize.load(std::memory_order_relaxed);
    return QSize(int(packed >> 32), int(packed & 0xFFFFFFFFu));
}

// ---- the loop thread ----

void SNP_CanonCamera::startLiveViewLoopThread()
{
    SNP_CanonCameraPtr self = weak_from_this().lock();
    if (!self) {
        // The object is being destroyed: nothing may start on it any more.
        _shouldDownloadLiveViewImage = false;
        return;
    }
    std::lock_guard<std::mutex> guard(_liveViewStateLock);
    if (_liveViewStartPending)
        return;  // the thread has not made its final check yet: it sees the flag and goes on
    if (_liveViewThread.joinable())
        _liveViewThread.join();  // ended: it is past its last use of the state
    _liveViewStartPending = true;
    _liveViewLoopRunning = true;
    _liveViewThread = std::thread([self = std::move(self)]() mutable {
        pthread_setname_np(pthread_self(), "live view"); // as top -H and the benchmarks show it
        SNP_CanonCamera* camera = self.get();
        for (;;) {
            camera->downloadLiveViewImage();
            std::lock_guard<std::mutex> state(camera->_liveViewStateLock);
            // Switched on again while the loop was ending: run once more rather than leave
            // the flag set with no loop.
            if (camera->_shouldDownloadLiveViewImage.load())
                continue;
            camera->_liveViewStartPending = false;
            camera->_liveViewLoopRunning = false;
            camera->_liveViewStateChanged.notify_all();
            break;
        }
        // Last: this may be the camera's last reference. Let it go on the main thread, as the
        // SDK callbacks do; without a main loop it goes here (the joiner then lets go of
        // this thread instead of joining it).
        QCoreApplication* app = QCoreApplication::instance();
        if (app)
            QMetaObject::invokeMethod(app, [keep = std::move(self)]() mutable { keep.reset(); }, Qt::QueuedConnection);
        self.reset();
    });
}

bool SNP_CanonCamera::waitForLiveViewLoopEnd(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(_liveViewStateLock);
    return _liveViewStateChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                          [this] { return !_liveViewStartPending; });
}

SNP_CanonCamera::LiveViewThreadJoiner::~LiveViewThreadJoiner()
{
    std::thread& thread = owner->_liveViewThread;
    if (!thread.joinable())
        return;
    // The loop thread holds a reference while it runs, so a camera is destroyed either on a
    // thread whose loop has ended (join is immediate) or by that thread's own last reference.
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else
        thread.join();
}

const void* SNP_CanonCamera::liveViewBufferAddress()
{
    QMutexLocker locker(&_liveViewDataLock);
    return _mLiveViewData.isNull() ? nullptr : _mLiveViewData.constData();
}

// ---- frames ----

size_t SNP_CanonCamera::liveViewJpegLength(const uint8_t* data, size_t size)
{
    if (!data || size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return 0;
    size_t i = 2;
    bool inScan = false;
    while (i < size) {
        if (inScan) {
            // Entropy-coded data: only 0xFF bytes matter.
            const void* hit = std::memchr(data + i, 0xFF, size - i);
            if (!hit)
                return 0;
            i = static_cast<const uint8_t*>(hit) - data;
            if (i + 1 >= size)
                return 0;
            const uint8_t next = data[i + 1];
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7) || next == 0xFF) {
                i += next == 0xFF ? 1 : 2;  // stuffed byte, restart marker, fill byte
                continue;
            }
            inScan = false;  // a marker ends the scan
            continue;
        }
        if (data[i] != 0xFF)
            return 0;  // a marker was expected
        while (i < size && data[i] == 0xFF)
            ++i;  // fill bytes
        if (i >= size)
            return 0;
        const uint8_t marker = data[i++];
        if (marker == 0xD9)
            return i;  // end of image
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue;  // markers without a length
        if (marker == 0x00 || marker == 0xD8)
            return 0;
        if (i + 2 > size)
            return 0;
        const size_t length = (size_t(data[i]) << 8) | data[i + 1];
        if (length < 2 || i + length > size)
            return 0;
        i += length;
        if (marker == 0xDA)
            inScan = true;
    }
    return 0;
}

void SNP_CanonCamera::handOverLiveViewFrame(const QVariant& image)
{
    QCoreApplication* app = QCoreApplication::instance();
    SNP_CanonCameraPtr self = weak_from_this().lock();
    if (!app || !self) {
        // No main loop to hand over to: deliver on this thread.
        _liveViewFramesDelivered += 1;
        SNP_NotificationCenter::defaultCenter().postNotification(
            SNP_CanonCameraLiveViewImageUpdate, SNP_NotificationObject::camera(self),
            QVariantMap{{SNP_CanonCameraLiveViewImage, image}});
        return;
    }
    bool queue = false;
    {
        std::lock_guard<std::mutex> guard(_liveViewStateLock);
        if (_liveViewDeliveryQueued)
            _liveViewFramesDropped += 1;  // the waiting frame is replaced by this newer one
        else
            queue = true;
        _liveViewPendingFrame = image;
        _liveViewDeliveryQueued = true;
    }
    if (queue)
        QMetaObject::invokeMethod(app, [self] { self->deliverPendingLiveViewFrame(); }, Qt::QueuedConnection);
}

void SNP_CanonCamera::deliverPendingLiveViewFrame()
{
    QVariant image;
    {
        std::lock_guard<std::mutex> guard(_liveViewStateLock);
        image = std::move(_liveViewPendingFrame);
        _liveViewPendingFrame = QVariant();
        _liveViewDeliveryQueued = false;
    }
    if (!image.isValid())
        return;
    _liveViewFramesDelivered += 1;
    SNP_NotificationCenter::defaultCenter().postNotification(
        SNP_CanonCameraLiveViewImageUpdate, notificationObject(), QVariantMap{{SNP_CanonCameraLiveViewImage, image}});
}

// One run of the frame loop (the loop thread, _liveViewLock held). The frames are fetched
// into the camera's kept buffer, or, before the camera's first frame, into a new one that
// becomes the camera's own with that frame.
class SNP_CanonCamera::LiveViewRun {
public:
    explicit LiveViewRun(SNP_CanonCamera& camera) : _camera(camera) {}
    LiveViewRun(const LiveViewRun&) = delete;
    LiveViewRun& operator=(const LiveViewRun&) = delete;

    bool hasBuffer() const { return _buffer != nullptr; }
    // One frame: a stream and an image reference over the buffer, the frame fetched into
    // it and handed to the main thread as an image.
    void fetchFrame();

private:
    uint8_t* frameBuffer();
    void fetchInto(EdsEvfImageRef image);
    void takeFrame();

    SNP_CanonCamera& _camera;
    const size_t _size = _camera.liveViewStreamSize();
    QByteArray _temporary;
    uint8_t* _buffer = frameBuffer();
    SNP_ImagePipeline::FrameDecoder _decoder;
    BoundedLog _badFrames{"frames that could not be made into images were"};
    BoundedLog _badImageRefs{"failed live-view image references were"};
    int _imageRefFailures = 0;
};

// The camera's kept buffer when it has one, else a new one (all zero) held by the run.
uint8_t* SNP_CanonCamera::LiveViewRun::frameBuffer()
{
    {
        QMutexLocker locker(&_camera._liveViewDataLock);
        if (!_camera._mLiveViewData.isNull() && size_t(_camera._mLiveViewData.size()) >= _size)
            return reinterpret_cast<uint8_t*>(_camera._mLiveViewData.data());
    }
    _temporary = QByteArray(qsizetype(_size), '\0');
    _camera._liveViewBufferAllocations += 1;
    return reinterpret_cast<uint8_t*>(_temporary.data());
}

void SNP_CanonCamera::LiveViewRun::fetchFrame()
{
    EdsSdk& sdk = *_camera._sdk;
    EdsStreamRef stream = nullptr;
    EdsEvfImageRef image = nullptr;

    EdsError error = sdk.EdsCreateMemoryStreamFromPointer(_buffer, _size, &stream);
    if (error != EDS_ERR_OK) {
        SNP_Log::debugf("error 0x%x creating memStream", error);
        stream = nullptr;
        _camera._shouldDownloadLiveViewImage = false;
    } else if ((error = sdk.EdsCreateEvfImageRef(stream, &image)) != EDS_ERR_OK) {
        image = nullptr;
        _badImageRefs.debug(format("error 0x%x creating liveView image ref", error));
        if (++_imageRefFailures >= kImageRefAttempts) {
            SNP_Log::debugf("live view stops after %d failed image references in a row", _imageRefFailures);
            _camera._shouldDownloadLiveViewImage = false;
        }
    } else {
        _imageRefFailures = 0;
        fetchInto(image);
    }

    if (image)
        sdk.EdsRelease(image);
    if (stream)
        sdk.EdsRelease(stream);
}

// Fetches the frame through image, again while the camera has none ready, and takes it.
void SNP_CanonCamera::LiveViewRun::fetchInto(EdsEvfImageRef image)
{
    EdsError status = EDS_ERR_OK;
    bool fetched = false;
    for (;;) {
        if (!_camera._shouldDownloadLiveViewImage.load())
            break;
        status = _camera._sdk->EdsDownloadEvfImage(_camera._camera, image);
        fetched = true;
        if (status != EDS_ERR_OBJECT_NOTREADY)
            break;
        std::this_thread::sleep_for(kNotReadyWait);
    }
    if (fetched && status != EDS_ERR_OK) {
        SNP_Log::debugf("error 0x%x downloading liveView image", status);
        _camera._shouldDownloadLiveViewImage = false;
        if (status != EDS_ERR_OBJECT_NOTREADY)
            std::memset(_buffer, 0, _size);  // whatever the failed fetch left
    } else if (fetched) {
        takeFrame();
    }
}

// The fetched frame made into an image and handed over; the buffer is all zero again
// afterwards, so that a frame that breaks off is never completed by the tail of this one.
void SNP_CanonCamera::LiveViewRun::takeFrame()
{
    const size_t length = liveViewJpegLength(_buffer, _size);
    PWNSImageFlipped frame;
    if (length > 0)
        frame = PWNSImageFlipped(_decoder.decode(_buffer, length, _camera.liveViewShownSize()),
                                 QByteArray(reinterpret_cast<const char*>(_buffer), qsizetype(length)));
    if (frame.isNull()) {
        _camera._liveViewFramesRejected += 1;
        _badFrames.debug(QByteArrayLiteral("error creating NSImage from data"));
        std::memset(_buffer, 0, _size);
        return;
    }
    std::memset(_buffer, 0, length);
    frame.setFlippedVertically(true);
    frame.setDataRetained(true);
    if (!_temporary.isNull()) {
        // The first frame of the camera's life: the buffer becomes the
        // camera's own and every later frame and run reuses it.
        QMutexLocker locker(&_camera._liveViewDataLock);
        _camera._mLiveViewData = std::move(_temporary);
        _temporary = QByteArray();
    }
    _camera._liveViewFramesBuilt += 1;
    _camera.handOverLiveViewFrame(QVariant::fromValue(frame));
}

void SNP_CanonCamera::downloadLiveViewImage()
{
    if (!_liveViewLock.tryLock())
        return;  // a loop is already running for this camera
    _liveViewRuns += 1;

    // The run ends after the lock is given back: its failure logs are summed up then.
    LiveViewRun run(*this);
    // The buffer is all zero before every fetch, so that a frame that breaks off is never
    // completed by the tail of an earlier frame.
    while (run.hasBuffer() && _shouldDownloadLiveViewImage.load())
        run.fetchFrame();

    _liveViewLock.unlock();
}
