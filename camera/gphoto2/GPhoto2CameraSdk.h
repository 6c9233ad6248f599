// The camera SDK interface (EdsSdk.h) over libgphoto2: real cameras on USB, Canon EOS
// bodies with PTP remote capture first of all. It behaves as the simulated camera does
// (SimCameraSdk.h) wherever a real camera lets it:
//
// - Cameras come from libgphoto2's autodetection; a camera keeps its handle while it stays
//   on the same USB port and the SDK keeps a connected camera's handle even at count 0.
//   USB hot-plug (libusb) makes the SDK look again; a camera that appeared raises the
//   camera-added handler, one that went raises state event 0x301 for it.
// - A camera that stops answering without leaving the bus (asleep, its session hung) is
//   closed as if it had gone (0x301) once it has left a few calls in a row unanswered (the
//   host's own calls, the event polling and the periodic comparison of its settings). It
//   is then kept out of the camera list and tried every lookAgainMs: when it answers again,
//   on its port or on another one after it re-enumerated, it comes back as a new camera
//   (the camera-added handler), which the host loads as any other.
// - While the host wants the pictures (save destination host), a camera that switches its
//   capture target back to its card (some bodies do after a shot) is set back to the host,
//   with a log line: looked at after each shot. A file the camera announces meanwhile is
//   still offered to the host (taken from the card).
// - A session is an initialised libgphoto2 camera. Properties map to configuration
//   widgets (GPhoto2Translate.h); a code without a mapping, or whose widget this camera
//   lacks, answers EDS_ERR_NOT_SUPPORTED. Every accepted write is announced with 0x101;
//   the camera's own changes are found by comparing the watched widgets after the camera
//   reports something, and at least every refresh interval.
// - Take picture triggers a capture; the camera's "file added" event becomes the transfer
//   request 0x208 (0x204 when the pictures stay on the card). EdsDownload fetches the file
//   into memory, reporting progress on the calling thread.
// - Live view is the preview capture, served while the viewfinder output's host bit (2)
//   is set; without it EdsDownloadEvfImage answers EDS_ERR_DEVICE_INVALID.
//
// Threads: one worker thread owns libgphoto2 and makes every call into it, one at a time;
// SDK calls from any thread hand their work to it and wait. Handles, handlers and the one
// callback thread that calls them are EdsSdkCore's (EdsSdkCore.h).
#pragma once

#include "EdsSdkCore.h"
#include "GPhoto2Port.h"

#include <memory>
#include <thread>
#include <vector>

class GPhoto2CameraSdk : public EdsSdkCore {
public:
    struct Options {
        int eventPollMs = 20;          // wait for camera events per round while a session is open
        int refreshIntervalMs = 2000;  // watched widgets compared at least this often
        int refreshAfterEventMs = 200; // and this long after the camera reported something,
        int refreshGapMs = 500;        // but not sooner than this after the last comparison
                                       // (a streaming viewfinder reports a lot)
        std::vector<int> rescanDelaysMs{300, 1500, 4000};  // looks after a USB device arrived
        bool watchUsb = true;          // libusb hot-plug (when built with libusb)
        int unansweredBeforeClosing = 3;  // calls in a row a camera on the bus leaves unanswered
                                          // before it is closed as gone
        int lookAgainMs = 2000;        // how often a camera closed for not answering is tried
        int eventsPerRound = 16;       // camera events taken per poll at most (a shot's files
                                       // are announced together, each the moment it came)
    };

    explicit GPhoto2CameraSdk(std::unique_ptr<GPhoto2Port> port);
    GPhoto2CameraSdk(std::unique_ptr<GPhoto2Port> port, const Options& options);
    ~GPhoto2CameraSdk() override;

    GPhoto2CameraSdk(const GPhoto2CameraSdk&) = delete;
    GPhoto2CameraSdk& operator=(const GPhoto2CameraSdk&) = delete;

    // ---- EdsSdk: the calls that take the camera; the rest is EdsSdkCore's ----
    EdsError EdsInitializeSDK() override;  // and the USB watch
    EdsError EdsTerminateSDK() override;
    // Looks for cameras again before it lists them.
    EdsError EdsGetCameraList(EdsCameraListRef* outCameraListRef) override;
    // On the worker: sessions, commands, the configuration widgets behind the properties,
    // files and previews.
    EdsError EdsOpenSession(EdsCameraRef inCameraRef) override;
    EdsError EdsCloseSession(EdsCameraRef inCameraRef) override;
    EdsError EdsSendCommand(EdsCameraRef inCameraRef, EdsCameraCommand inCommand, EdsInt32 inParam) override;
    EdsError EdsGetPropertyDesc(EdsBaseRef inRef, EdsPropertyID inPropertyID,
                                EdsPropertyDesc* outPropertyDesc) override;
    EdsError EdsGetPropertySize(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32 inParam,
                                EdsDataType* outDataType, EdsUInt32* outSize) override;
    EdsError EdsSetPropertyData(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32 inParam,
                                EdsUInt32 inPropertySize, const void* inPropertyData) override;
    EdsError EdsGetPropertyData(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32 inParam,
                                EdsUInt32 inPropertySize, void* outPropertyData) override;
    EdsError EdsDownload(EdsDirectoryItemRef inDirItemRef, EdsUInt64 inReadSize, EdsStreamRef outStream) override;
    EdsError EdsDownloadComplete(EdsDirectoryItemRef inDirItemRef) override;
    EdsError EdsDownloadEvfImage(EdsCameraRef inCameraRef, EdsEvfImageRef inEvfImageRef) override;

    // A USB device arrived (true) or left (false): the worker looks for cameras again
    // (after an arrival a few times, as a camera needs a moment before it answers).
    void usbDeviceChanged(bool arrived);

    // Tests: waits until the worker has no work and every queued callback was delivered
    // (serving queued main-thread calls meanwhile when on the main thread).
    bool waitForIdle(int timeoutMs = 10000);
    std::thread::id workerThreadId() const;

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};

// The libgphoto2 SDK with the real library (defined when built with libgphoto2).
std::shared_ptr<EdsSdk> EdsCreateGPhoto2Sdk();
