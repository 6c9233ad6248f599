// The simulated camera: the default implementation of the camera SDK interface (EdsSdk.h).
//
// It behaves like a connected Canon EOS body rather than a stub: any number of virtual
// cameras (one is connected when the SDK object is made, as at the booth), each with its
// own property set, allowed-value lists, running clock, session, handlers, shutter, picture
// counter and live view. Pictures are real JPEG files with EXIF data; live-view frames are
// real JPEG frames of an animated scene with a running clock.
//
// Threads: handles, handlers and the callback thread are EdsSdkCore's (EdsSdkCore.h): every
// handler is called on its one callback thread, where a capture also makes its picture file
// and offers it. Progress callbacks are called synchronously on the thread that calls
// EdsDownload.
//
// Besides the SDK calls, the class has a control side for tests and benchmarks: plugging
// and unplugging cameras, camera-side property changes, fault injection per operation,
// picture size and live-view rate, and waitForIdle() to wait for queued callbacks.
//
// Choices where a camera leaves room:
// - Every accepted property write is announced by a 0x101 event, also when the value
//   stays the same (so that switching the viewfinder output on again is always confirmed).
// - With the viewfinder's host bit (2) clear, EdsDownloadEvfImage answers
//   EDS_ERR_DEVICE_INVALID (not 0xA102), so a frame loop that missed the switch-off ends.
//   With the bit set, 0xA102 comes between frames.
// - The image quality (property 0x100) decides a shot's files: a RAW + JPEG quality gives
//   a small raw file ("IMG_nnnn.CR2", no picture), offered first, and the JPEG; a raw
//   quality the raw file alone. Both files of a shot are offered at the moment of the shot.
// - A camera handle stays valid while it is referenced, also after the camera was
//   unplugged; calls on an unplugged camera answer EDS_ERR_COMM_DISCONNECTED when its
//   session was open at the time, EDS_ERR_DEVICE_NOT_FOUND otherwise. A connected camera's
//   handle is kept by the SDK even at count 0 and is the same handle in every list.
#pragma once

#include "EdsSdkCore.h"

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// Operations that can be counted and made to fail.
enum class SimOp : int {
    InitializeSDK,
    TerminateSDK,
    SetCameraAddedHandler,
    GetCameraList,
    GetChildCount,
    GetChildAtIndex,
    Retain,
    Release,
    GetDeviceInfo,
    OpenSession,
    CloseSession,
    SetStateEventHandler,
    SetPropertyEventHandler,
    SetObjectEventHandler,
    SendCommand,      // every command; selector: the command number
    TakePicture,      // the capture itself (command 0, a full shutter press, bulb end)
    GetPropertySize,  // selector: the property code (also for the three below)
    GetPropertyData,
    SetPropertyData,
    GetPropertyDesc,
    SetCapacity,
    GetDirectoryItemInfo,
    CreateMemoryStream,
    SetProgressCallback,
    Download,
    DownloadComplete,
    CreateEvfImageRef,
    DownloadEvfImage,
    Count
};

const char* simOpName(SimOp op);

enum class FaultMode { Once, Always, Times };

// Damage done to a picture file or a live-view frame.
enum class SimDataFault {
    Garbage,   // the bytes are replaced by noise (no JPEG start marker)
    Truncated  // the file or frame is cut short (the size reported is the shorter one)
};

constexpr EdsUInt32 kSimAnySelector = 0xFFFFFFFFu;

class SimCameraSdk : public EdsSdkCore {
public:
    static constexpr const char* kDefaultModel = "Canon EOS 5D Mark II";

    // With connectDefaultCamera one camera of the default model is connected at once
    // (without a camera-added event, as for a camera already plugged in at start).
    explicit SimCameraSdk(bool connectDefaultCamera = true);
    ~SimCameraSdk() override;

    SimCameraSdk(const SimCameraSdk&) = delete;
    SimCameraSdk& operator=(const SimCameraSdk&) = delete;

    // ---- EdsSdk ----
    EdsError EdsInitializeSDK() override;
    EdsError EdsTerminateSDK() override;
    EdsError EdsSetCameraAddedHandler(EdsCameraAddedHandler inHandler, void* inContext) override;
    EdsError EdsGetCameraList(EdsCameraListRef* outCameraListRef) override;
    EdsError EdsGetChildCount(EdsBaseRef inRef, EdsUInt32* outCount) override;
    EdsError EdsGetChildAtIndex(EdsBaseRef inRef, EdsInt32 inIndex, EdsBaseRef* outRef) override;
    EdsUInt32 EdsRetain(EdsBaseRef inRef) override;
    EdsUInt32 EdsRelease(EdsBaseRef inRef) override;
    EdsError EdsGetDeviceInfo(EdsCameraRef inCameraRef, EdsDeviceInfo* outDeviceInfo) override;
    EdsError EdsOpenSession(EdsCameraRef inCameraRef) override;
    EdsError EdsCloseSession(EdsCameraRef inCameraRef) override;
    EdsError EdsSetCameraStateEventHandler(EdsCameraRef inCameraRef, EdsStateEvent inEvent,
                                           EdsStateEventHandler inHandler, void* inContext) override;
    EdsError EdsSetPropertyEventHandler(EdsCameraRef inCameraRef, EdsPropertyEvent inEvent,
                                        EdsPropertyEventHandler inHandler, void* inContext) override;
    EdsError EdsSetObjectEventHandler(EdsCameraRef inCameraRef, EdsObjectEvent inEvent,
                                      EdsObjectEventHandler inHandler, void* inContext) override;
    EdsError EdsSendCommand(EdsCameraRef inCameraRef, EdsCameraCommand inCommand, EdsInt32 inParam) override;
    EdsError EdsGetPropertySize(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32 inParam,
                                EdsDataType* outDataType, EdsUInt32* outSize) override;
    EdsError EdsGetPropertyData(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32 inParam,
                                EdsUInt32 inPropertySize, void* outPropertyData) override;
    EdsError EdsSetPropertyData(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32 inParam,
                                EdsUInt32 inPropertySize, const void* inPropertyData) override;
    EdsError EdsGetPropertyDesc(EdsBaseRef inRef, EdsPropertyID inPropertyID,
                                EdsPropertyDesc* outPropertyDesc) override;
    EdsError EdsSetCapacity(EdsCameraRef inCameraRef, EdsCapacity inCapacity) override;
    EdsError EdsGetDirectoryItemInfo(EdsDirectoryItemRef inDirItemRef,
                                     EdsDirectoryItemInfo* outDirItemInfo) override;
    EdsError EdsCreateMemoryStreamFromPointer(void* inUserBuffer, EdsUInt64 inBufferSize,
                                              EdsStreamRef* outStream) override;
    EdsError EdsSetProgressCallback(EdsBaseRef inRef, EdsProgressCallback inProgressCallback,
                                    EdsUInt32 inProgressOption, void* inContext) override;
    EdsError EdsDownload(EdsDirectoryItemRef inDirItemRef, EdsUInt64 inReadSize, EdsStreamRef outStream) override;
    EdsError EdsDownloadComplete(EdsDirectoryItemRef inDirItemRef) override;
    EdsError EdsCreateEvfImageRef(EdsStreamRef inStreamRef, EdsEvfImageRef* outEvfImageRef) override;
    EdsError EdsDownloadEvfImage(EdsCameraRef inCameraRef, EdsEvfImageRef inEvfImageRef) override;

    // ---- cameras ----
    // Plugs in a camera; the camera-added handler is called on the callback thread.
    // Answers the camera's id (ids are never reused).
    int connectCamera(const std::string& model = kDefaultModel);
    // Unplugs a camera: state event 0x301 to its state handler, a running or stalled
    // download fails, later calls on its handle fail. False for an unknown or gone id.
    bool disconnectCamera(int id);
    std::vector<int> connectedCameras() const;
    // The camera behind a handle (also an unplugged one still referenced), or -1.
    int cameraId(EdsCameraRef ref) const;
    // The handle of a connected camera, not retained for the caller; null when unknown.
    EdsCameraRef cameraRef(int id) const;
    bool isSessionOpen(int id) const;

    // ---- camera-side changes and inspection ----
    // The camera changes a number property by itself (battery, dial): stored without the
    // allowed-value check and announced with 0x101 when announce is set.
    bool setCameraProperty(int id, EdsPropertyID property, EdsUInt32 value, bool announce = true);
    bool setCameraStringProperty(int id, EdsPropertyID property, const std::string& text, bool announce = true);
    EdsUInt32 cameraProperty(int id, EdsPropertyID property) const;
    std::string cameraStringProperty(int id, EdsPropertyID property) const;
    // The camera clock is the host clock plus this offset (seconds); writing 0x6 sets it.
    void setClockOffset(int id, double seconds);
    double clockOffset(int id) const;
    // Queues a state or object event for the camera (object events without an item).
    bool raiseStateEvent(int id, EdsStateEvent event, EdsUInt32 data = 0);
    bool raiseObjectEvent(int id, EdsObjectEvent event);
    int picturesTaken(int id) const;
    // The bytes of the camera's latest picture file (empty before the first).
    std::vector<uint8_t> lastPicture(int id) const;
    int liveViewFramesServed(int id) const;
    // -- viewfinder (SimLiveView.cpp) --
    // While paused the viewfinder answers "not ready" (0xA102) and serves no frame.
    bool pauseLiveView(int id, bool paused);
    // The bytes of the latest frame served (as damaged, if it was), empty before the first.
    std::vector<uint8_t> lastLiveViewFrame(int id) const;
    // -- end viewfinder --
    // The host's last capacity report (EdsSetCapacity) for the camera.
    EdsCapacity hostCapacity(int id) const;

    // ---- pictures, transfer and live view ----
    // Picture size of the cameras' JPEG files (clamped to 64x64 .. 6000x4000);
    // default 1920x1280. The base picture is cached per size.
    void setPictureSize(int width, int height);
    // Picture files of at least this many bytes (up to 256 MiB; 0, the default: as coded),
    // padded with APP15 segments after the EXIF block as previews and maker data pad a
    // camera's files. Decoders skip them.
    void setPictureFileSize(EdsUInt64 bytes);
    // Live-view frames per second; 0 = a frame at every request (benchmarks), taken from a
    // loop of pre-rendered moving frames (SimLiveView.h). Default 30. Frames are at least
    // 1024x680.
    void setLiveViewFrameRate(double framesPerSecond);
    // CPU time the viewfinders of the process have spent rendering their frames.
    static double liveViewRenderCpuSeconds();
    void setLiveViewSize(int width, int height);
    // Simulated transfer speed for EdsDownload in bytes per second; 0 = no waiting (default).
    void setTransferRate(EdsUInt64 bytesPerSecond);

    // ---- faults ----
    // The next matching call(s) of the operation wait delayMs (if any) and then answer the
    // status instead of doing their work; a status of 0 only adds the delay. The selector
    // narrows property operations to one property code and SendCommand to one command.
    void injectFault(SimOp op, EdsError status, FaultMode mode = FaultMode::Once, int times = 1,
                     int delayMs = 0, EdsUInt32 selector = kSimAnySelector);
    void injectDelay(SimOp op, int delayMs, FaultMode mode = FaultMode::Once, int times = 1);
    // Live-view frames served damaged (the call itself answers success).
    void injectLiveViewFrameFault(SimDataFault kind, FaultMode mode = FaultMode::Once, int times = 1);
    // Picture files made damaged.
    void injectPictureFault(SimDataFault kind, FaultMode mode = FaultMode::Once, int times = 1);
    // The next download unplugs its camera when it reaches the percentage; EdsDownload then
    // answers EDS_ERR_COMM_DISCONNECTED and 0x301 follows.
    void unplugDuringNextDownload(int percent);
    // The next download stops at the percentage and blocks until its camera is unplugged
    // (EDS_ERR_COMM_DISCONNECTED) or releaseStalledDownloads() (EDS_ERR_INCOMPLETE_TRANSFER).
    void stallNextDownload(int percent = 50);
    void releaseStalledDownloads();
    int stalledDownloads() const;
    void clearFaults();

    // ---- synchronisation and counters ----
    // Waits until every queued callback (and capture) has been delivered. On the Qt main
    // thread it keeps delivering queued main-thread calls meanwhile, so that callbacks that
    // hand work to the main thread and wait cannot dead-lock it. False on time-out.
    bool waitForIdle(int timeoutMs = 10000);
    int callCount(SimOp op) const;
    void resetCallCounts();
    // (liveObjectCount, refCount and callbackThreadId come with EdsSdkCore.)

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};
