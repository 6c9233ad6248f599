// The camera SDK as the camera library sees it: one abstract interface holding every
// SDK operation the library calls, with the SDK's own status codes, handles and handler
// signatures. Two implementations stand behind it: the simulated camera (camera/sim) and
// libgphoto2 (camera/gphoto2). Nothing in the library talks to a camera any other way.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

using EdsError = uint32_t;
using EdsUInt8 = uint8_t;
using EdsInt8 = int8_t;
using EdsUInt16 = uint16_t;
using EdsInt16 = int16_t;
using EdsUInt32 = uint32_t;
using EdsInt32 = int32_t;
using EdsUInt64 = uint64_t;
using EdsInt64 = int64_t;
using EdsBool = int32_t;
using EdsPropertyID = uint32_t;
using EdsCameraCommand = uint32_t;
using EdsStateEvent = uint32_t;
using EdsPropertyEvent = uint32_t;
using EdsObjectEvent = uint32_t;
using EdsDataType = uint32_t;

// Handles are counted references owned by the SDK implementation. EdsRetain/EdsRelease
// answer the new count. A handle whose count reaches 0 is gone.
struct EdsObject;
using EdsBaseRef = EdsObject*;
using EdsCameraListRef = EdsBaseRef;
using EdsCameraRef = EdsBaseRef;
using EdsStreamRef = EdsBaseRef;
using EdsEvfImageRef = EdsBaseRef;
using EdsDirectoryItemRef = EdsBaseRef;

// Status codes the library relies on by value (the full list with texts is in
// SNP_CanonCameraNames).
enum : EdsError {
    EDS_ERR_OK = 0x0,
    EDS_ERR_UNIMPLEMENTED = 0x1,
    EDS_ERR_INTERNAL_ERROR = 0x2,
    EDS_ERR_MEM_ALLOC_FAILED = 0x3,
    EDS_ERR_OPERATION_CANCELLED = 0x5,
    EDS_ERR_NOT_SUPPORTED = 0x7,
    EDS_ERR_FILE_DISK_FULL_ERROR = 0x2A,
    EDS_ERR_PROPERTIES_UNAVAILABLE = 0x50,
    EDS_ERR_INVALID_PARAMETER = 0x60,
    EDS_ERR_INVALID_HANDLE = 0x61,
    EDS_ERR_INVALID_POINTER = 0x62,
    EDS_ERR_INVALID_INDEX = 0x63,
    EDS_ERR_INVALID_LENGTH = 0x64,
    EDS_ERR_DEVICE_NOT_FOUND = 0x80,
    EDS_ERR_DEVICE_BUSY = 0x81,
    EDS_ERR_DEVICE_INVALID = 0x82,
    EDS_ERR_DEVICE_INVALID_PARAMETER = 0x86,
    EDS_ERR_STREAM_IO_ERROR = 0xA0,
    EDS_ERR_STREAM_WRITE_ERROR = 0xA8,
    EDS_ERR_COMM_DISCONNECTED = 0xC1,
    EDS_ERR_WAIT_TIMEOUT_ERROR = 0xF4,
    EDS_ERR_SESSION_NOT_OPEN = 0x2003,
    EDS_ERR_INCOMPLETE_TRANSFER = 0x2007,
    EDS_ERR_DEVICEPROP_NOT_SUPPORTED = 0x200A,
    EDS_ERR_INVALID_DEVICEPROP_VALUE = 0x201C,
    EDS_ERR_SESSION_ALREADY_OPEN = 0x201E,
    EDS_ERR_TAKE_PICTURE_AF_NG = 0x8D01,
    EDS_ERR_TAKE_PICTURE_CARD_NG = 0x8D07,
    EDS_ERR_UNKNOWN_COMMAND = 0xA001,
    EDS_ERR_OPERATION_REFUSED = 0xA005,
    EDS_ERR_LOW_BATTERY = 0xA101,
    EDS_ERR_OBJECT_NOTREADY = 0xA102,
};

// Data types reported by EdsGetPropertySize.
enum : EdsDataType {
    kEdsDataType_Unknown = 0, kEdsDataType_Bool = 1, kEdsDataType_String = 2,
    kEdsDataType_Int8 = 3, kEdsDataType_Int16 = 4, kEdsDataType_UInt8 = 6,
    kEdsDataType_UInt16 = 7, kEdsDataType_Int32 = 8, kEdsDataType_UInt32 = 9,
    kEdsDataType_Int64 = 10, kEdsDataType_UInt64 = 11, kEdsDataType_Float = 12,
    kEdsDataType_Double = 13, kEdsDataType_ByteBlock = 14, kEdsDataType_Rational = 20,
    kEdsDataType_Point = 21, kEdsDataType_Rect = 22, kEdsDataType_Time = 23,
    kEdsDataType_Bool_Array = 30, kEdsDataType_Int8_Array = 31, kEdsDataType_Int16_Array = 32,
    kEdsDataType_Int32_Array = 33, kEdsDataType_UInt8_Array = 34, kEdsDataType_UInt16_Array = 35,
    kEdsDataType_UInt32_Array = 36, kEdsDataType_Rational_Array = 37,
    kEdsDataType_FocusInfo = 101, kEdsDataType_PictureStyleDesc = 102,
};

// The width in bytes of a whole-number data type of at most 32 bits, 0 for any other type.
constexpr EdsUInt32 edsNumberWidth(EdsDataType type)
{
    switch (type) {
    case kEdsDataType_Int8:
    case kEdsDataType_UInt8:
        return 1;
    case kEdsDataType_Int16:
    case kEdsDataType_UInt16:
        return 2;
    case kEdsDataType_Int32:
    case kEdsDataType_UInt32:
        return 4;
    default:
        return 0;
    }
}

// Event classes and events.
enum : uint32_t {
    kEdsPropertyEvent_All = 0x100,
    kEdsPropertyEvent_PropertyChanged = 0x101,
    kEdsPropertyEvent_PropertyDescChanged = 0x102,

    kEdsObjectEvent_All = 0x200,
    kEdsObjectEvent_VolumeInfoChanged = 0x201,
    kEdsObjectEvent_VolumeUpdateItems = 0x202,
    kEdsObjectEvent_FolderUpdateItems = 0x203,
    kEdsObjectEvent_DirItemCreated = 0x204,
    kEdsObjectEvent_DirItemRemoved = 0x205,
    kEdsObjectEvent_DirItemInfoChanged = 0x206,
    kEdsObjectEvent_DirItemContentChanged = 0x207,
    kEdsObjectEvent_DirItemRequestTransfer = 0x208,

    kEdsStateEvent_All = 0x300,
    kEdsStateEvent_Shutdown = 0x301,
    kEdsStateEvent_JobStatusChanged = 0x302,
    kEdsStateEvent_WillSoonShutDown = 0x303,
    kEdsStateEvent_ShutDownTimerUpdate = 0x304,
    kEdsStateEvent_CaptureError = 0x305,
};

// Commands (EdsSendCommand).
enum : EdsCameraCommand {
    kEdsCameraCommand_TakePicture = 0x0,
    kEdsCameraCommand_ExtendShutDownTimer = 0x1,
    kEdsCameraCommand_BulbStart = 0x2,
    kEdsCameraCommand_BulbEnd = 0x3,
    kEdsCameraCommand_PressShutterButton = 0x4,
    kEdsCameraCommand_DoEvfAf = 0x102,
    kEdsCameraCommand_DriveLensEvf = 0x103,
    kEdsCameraCommand_DoClickWBEvf = 0x104,
};

enum : EdsUInt32 {
    kEdsProgressOption_NoReport = 0,
    kEdsProgressOption_Done = 1,
    kEdsProgressOption_Periodically = 2,
};

// Save destination values for property 0xB (SaveTo).
enum : EdsUInt32 { kEdsSaveTo_Camera = 1, kEdsSaveTo_Host = 2, kEdsSaveTo_Both = 3 };

struct EdsDeviceInfo {
    char szPortName[256];
    char szDeviceDescription[256];  // UTF-8, NUL-terminated when shorter than 256 bytes
    EdsUInt32 deviceSubType;
    EdsUInt32 reserved;
};

struct EdsPropertyDesc {
    EdsInt32 form;
    EdsInt32 access;
    EdsInt32 numElements;
    EdsInt32 propDesc[128];
};

struct EdsCapacity {
    EdsInt32 numberOfFreeClusters;
    EdsInt32 bytesPerSector;
    EdsBool reset;
};

struct EdsDirectoryItemInfo {
    EdsUInt64 size;
    EdsBool isFolder;
    EdsUInt32 groupID;
    EdsUInt32 option;
    char szFileName[256];  // UTF-8; not necessarily NUL-terminated when 256 bytes long
    EdsUInt32 format;
    EdsUInt32 dateTime;
};

// The 28-byte time record of property 0x6 (DateTime).
struct EdsTime {
    EdsUInt32 year;
    EdsUInt32 month;
    EdsUInt32 day;
    EdsUInt32 hour;
    EdsUInt32 minute;
    EdsUInt32 second;
    EdsUInt32 milliseconds;
};
static_assert(sizeof(EdsTime) == 28, "the camera's time record is 28 bytes");

using EdsCameraAddedHandler = EdsError (*)(void* inContext);
using EdsStateEventHandler = EdsError (*)(EdsStateEvent inEvent, EdsUInt32 inEventData, void* inContext);
using EdsPropertyEventHandler = EdsError (*)(EdsPropertyEvent inEvent, EdsPropertyID inPropertyID,
                                             EdsUInt32 inParam, void* inContext);
using EdsObjectEventHandler = EdsError (*)(EdsObjectEvent inEvent, EdsBaseRef inRef, void* inContext);
using EdsProgressCallback = EdsError (*)(EdsUInt32 inPercent, void* inContext, EdsBool* outCancel);

// Every operation the camera library uses. All calls may be made from any thread.
// Handlers are called on the implementation's own callback thread(s), never while the
// implementation holds a lock of its own that a caller of these operations might need.
class EdsSdk {
public:
    virtual ~EdsSdk() = default;

    virtual EdsError EdsInitializeSDK() = 0;
    virtual EdsError EdsTerminateSDK() = 0;
    virtual EdsError EdsSetCameraAddedHandler(EdsCameraAddedHandler inHandler, void* inContext) = 0;

    virtual EdsError EdsGetCameraList(EdsCameraListRef* outCameraListRef) = 0;
    virtual EdsError EdsGetChildCount(EdsBaseRef inRef, EdsUInt32* outCount) = 0;
    virtual EdsError EdsGetChildAtIndex(EdsBaseRef inRef, EdsInt32 inIndex, EdsBaseRef* outRef) = 0;
    virtual EdsUInt32 EdsRetain(EdsBaseRef inRef) = 0;
    virtual EdsUInt32 EdsRelease(EdsBaseRef inRef) = 0;

    virtual EdsError EdsGetDeviceInfo(EdsCameraRef inCameraRef, EdsDeviceInfo* outDeviceInfo) = 0;
    virtual EdsError EdsOpenSession(EdsCameraRef inCameraRef) = 0;
    virtual EdsError EdsCloseSession(EdsCameraRef inCameraRef) = 0;

    virtual EdsError EdsSetCameraStateEventHandler(EdsCameraRef inCameraRef, EdsStateEvent inEvent,
                                                   EdsStateEventHandler inHandler, void* inContext) = 0;
    virtual EdsError EdsSetPropertyEventHandler(EdsCameraRef inCameraRef, EdsPropertyEvent inEvent,
                                                EdsPropertyEventHandler inHandler, void* inContext) = 0;
    virtual EdsError EdsSetObjectEventHandler(EdsCameraRef inCameraRef, EdsObjectEvent inEvent,
                                              EdsObjectEventHandler inHandler, void* inContext) = 0;

    virtual EdsError EdsSendCommand(EdsCameraRef inCameraRef, EdsCameraCommand inCommand, EdsInt32 inParam) = 0;

    virtual EdsError EdsGetPropertySize(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32 inParam,
                                        EdsDataType* outDataType, EdsUInt32* outSize) = 0;
    virtual EdsError EdsGetPropertyData(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32 inParam,
                                        EdsUInt32 inPropertySize, void* outPropertyData) = 0;
    virtual EdsError EdsSetPropertyData(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32 inParam,
                                        EdsUInt32 inPropertySize, const void* inPropertyData) = 0;
    virtual EdsError EdsGetPropertyDesc(EdsBaseRef inRef, EdsPropertyID inPropertyID,
                                        EdsPropertyDesc* outPropertyDesc) = 0;

    virtual EdsError EdsSetCapacity(EdsCameraRef inCameraRef, EdsCapacity inCapacity) = 0;

    virtual EdsError EdsGetDirectoryItemInfo(EdsDirectoryItemRef inDirItemRef,
                                             EdsDirectoryItemInfo* outDirItemInfo) = 0;
    // When the camera offered the item to the host (the moment its object event came), in
    // milliseconds of the steady clock (std::chrono::steady_clock). Not one of Canon's
    // calls: whether a picture is still the current visitor's depends on when the camera
    // asked, not on when the host got round to its transfer (which may wait behind another).
    virtual EdsError EdsGetDirectoryItemRequestTime(EdsDirectoryItemRef inDirItemRef, EdsInt64* outSteadyMs) = 0;
    // The stream writes into the caller's buffer and does not own it.
    virtual EdsError EdsCreateMemoryStreamFromPointer(void* inUserBuffer, EdsUInt64 inBufferSize,
                                                      EdsStreamRef* outStream) = 0;
    virtual EdsError EdsSetProgressCallback(EdsBaseRef inRef, EdsProgressCallback inProgressCallback,
                                            EdsUInt32 inProgressOption, void* inContext) = 0;
    virtual EdsError EdsDownload(EdsDirectoryItemRef inDirItemRef, EdsUInt64 inReadSize,
                                 EdsStreamRef outStream) = 0;
    virtual EdsError EdsDownloadComplete(EdsDirectoryItemRef inDirItemRef) = 0;

    virtual EdsError EdsCreateEvfImageRef(EdsStreamRef inStreamRef, EdsEvfImageRef* outEvfImageRef) = 0;
    // Fills the stream behind the image reference with one viewfinder JPEG frame, from the
    // front of the stream's buffer; EDS_ERR_OBJECT_NOTREADY (0xA102) when no new frame is ready.
    virtual EdsError EdsDownloadEvfImage(EdsCameraRef inCameraRef, EdsEvfImageRef inEvfImageRef) = 0;
};

// The SDK the camera library uses. Chosen once before the first camera-list request
// (the booth picks it with EdsChooseSdk); the simulated camera when nothing was chosen
// (EdsSetCurrentSdk(nullptr) goes back to that). Null after EdsChooseSdk of a backend that
// cannot be had: the library then finds no camera.
std::shared_ptr<EdsSdk> EdsCurrentSdk();
void EdsSetCurrentSdk(std::shared_ptr<EdsSdk> sdk);

// Makes the implementation named by the "cameraBackend" user default: "sim" (the simulated
// camera) or "gphoto2" (real cameras over USB, when built with libgphoto2). Null for any
// other name.
std::shared_ptr<EdsSdk> EdsCreateSdk(const std::string& name);

// Makes the named implementation current. When it cannot be had (an unknown name, or
// "gphoto2" in a build without libgphoto2) no SDK at all is current, never the simulated
// camera: its made-up pictures would be filed and uploaded as a visitor's. False then, with
// a log line.
bool EdsChooseSdk(const std::string& name);
