// The few libgphoto2 entry points the libgphoto2 camera SDK uses, behind a thin interface:
// the real one (GPhoto2RealPort.cpp) calls libgphoto2, a fake one stands in for tests.
// Result codes and event types carry libgphoto2's own values, so that the translation
// functions (GPhoto2Translate.h) build and are tested without the library.
//
// Threads: an implementation is used from one thread only (the SDK's worker thread), which
// serialises every call; it needs no locking of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// libgphoto2 result codes (gphoto2-port-result.h, gphoto2-result.h).
enum : int {
    kGPOk = 0,
    kGPError = -1,
    kGPErrorBadParameters = -2,
    kGPErrorNoMemory = -3,
    kGPErrorLibrary = -4,
    kGPErrorUnknownPort = -5,
    kGPErrorNotSupported = -6,
    kGPErrorIO = -7,
    kGPErrorFixedLimitExceeded = -8,
    kGPErrorTimeout = -10,
    kGPErrorIOSupportedSerial = -20,
    kGPErrorIOSupportedUsb = -21,
    kGPErrorIOInit = -31,
    kGPErrorIORead = -34,
    kGPErrorIOWrite = -35,
    kGPErrorIOUpdate = -37,
    kGPErrorIOSerialSpeed = -41,
    kGPErrorIOUsbClearHalt = -51,
    kGPErrorIOUsbFind = -52,
    kGPErrorIOUsbClaim = -53,
    kGPErrorIOLock = -60,
    kGPErrorHal = -70,
    kGPErrorCorruptedData = -102,
    kGPErrorFileExists = -103,
    kGPErrorModelNotFound = -105,
    kGPErrorDirectoryNotFound = -107,
    kGPErrorFileNotFound = -108,
    kGPErrorDirectoryExists = -109,
    kGPErrorCameraBusy = -110,
    kGPErrorPathNotAbsolute = -111,
    kGPErrorCancel = -112,
    kGPErrorCameraError = -113,
    kGPErrorOsFailure = -114,
    kGPErrorNoSpace = -115,
};

// libgphoto2 event types (CameraEventType).
enum class GPEventType : int { Unknown = 0, Timeout = 1, FileAdded = 2, FolderAdded = 3, CaptureComplete = 4, FileChanged = 5 };

// libgphoto2 widget types (CameraWidgetType).
enum class GPWidgetType : int { Window = 0, Section = 1, Text = 2, Range = 3, Toggle = 4, Radio = 5, Menu = 6, Button = 7, Date = 8 };

// One configuration widget as read from the camera: its name, type, whether the camera
// lets it be written, its current value and (radio and menu widgets) its choices in the
// camera's order.
struct GPWidget {
    std::string name;
    GPWidgetType type = GPWidgetType::Text;
    bool readOnly = false;
    std::string text;   // Text, Radio, Menu
    float number = 0;   // Range
    int integer = 0;    // Toggle, Date (seconds since the epoch)
    float low = 0, high = 0, step = 0;  // Range
    std::vector<std::string> choices;   // Radio, Menu
};

// A camera as autodetection lists it.
struct GPDetected {
    std::string model;  // e.g. "Canon EOS 5D Mark II"
    std::string port;   // e.g. "usb:001,007"
};

struct GPEvent {
    GPEventType type = GPEventType::Timeout;
    std::string folder;  // FileAdded, FolderAdded, FileChanged
    std::string name;    // FileAdded, FileChanged
    std::string text;    // Unknown: the library's text, may be empty
};

// Progress of a file transfer: bytes done of total (total 0 when unknown). Answers true to
// cancel the transfer.
using GPProgress = std::function<bool(uint64_t done, uint64_t total)>;

// One opened camera (an initialised libgphoto2 Camera). Destroying it ends the camera
// (gp_camera_exit, gp_camera_unref).
class GPhoto2Device {
public:
    virtual ~GPhoto2Device() = default;
    // One widget by name (gp_camera_get_single_config).
    virtual int getWidget(const std::string& name, GPWidget& out) = 0;
    // Writes the widget's value (gp_camera_set_single_config): text for Text, Radio and
    // Menu widgets, number for Range, integer for Toggle and Date.
    virtual int setWidget(const GPWidget& value) = 0;
    virtual int triggerCapture() = 0;
    // Waits up to timeoutMs for the next camera event (gp_camera_wait_for_event).
    virtual int waitForEvent(int timeoutMs, GPEvent& out) = 0;
    // File size in bytes, 0 when the camera does not tell (gp_camera_file_get_info).
    virtual int fileSize(const std::string& folder, const std::string& name, uint64_t& size) = 0;
    // The whole file into memory (gp_camera_file_get, GP_FILE_TYPE_NORMAL).
    virtual int fileGet(const std::string& folder, const std::string& name, std::vector<uint8_t>& data,
                        const GPProgress& progress) = 0;
    virtual int fileDelete(const std::string& folder, const std::string& name) = 0;
    // One viewfinder frame, normally JPEG (gp_camera_capture_preview).
    virtual int capturePreview(std::vector<uint8_t>& data) = 0;
};

// The library as a whole: autodetection and opening cameras.
class GPhoto2Port {
public:
    virtual ~GPhoto2Port() = default;
    virtual int autodetect(std::vector<GPDetected>& out) = 0;
    // gp_camera_new, model abilities and port, gp_camera_init.
    virtual int open(const GPDetected& camera, std::unique_ptr<GPhoto2Device>& out) = 0;
};

// The real port over libgphoto2; null when this build has no libgphoto2.
std::unique_ptr<GPhoto2Port> GPhoto2MakeRealPort();
