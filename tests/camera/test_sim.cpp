// The simulated camera, driven through the SDK interface the camera library uses.
#include "EdsSdk.h"
#include "SimCameraSdk.h"
#include "TestSupport.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop
#include <turbojpeg.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

enum : EdsPropertyID {
    kOwnerName = 0x4, kDateTime = 0x6, kBatteryLevel = 0x8, kSaveTo = 0xB, kWhiteBalance = 0x106,
    kAEMode = 0x400, kISOSpeed = 0x402, kAv = 0x405, kTv = 0x406, kFocalLength = 0x409, kEvfOutputDevice = 0x500,
    kEvfMode = 0x501, kEvfZoom = 0x507,
};

// Collects every callback with the thread it came on.
struct Recorder {
    struct Entry {
        char kind;  // 'a'dded, 's'tate, 'p'roperty, 'o'bject
        EdsUInt32 event = 0, id = 0, param = 0;
        EdsBaseRef ref = nullptr;
        std::thread::id thread;
    };
    std::mutex m;
    std::condition_variable cv;
    std::vector<Entry> entries;
    std::function<void(const Entry&)> onObject;  // runs inside the object handler
    std::function<void(const Entry&)> onProperty;

    void add(const Entry& e)
    {
        {
            std::lock_guard<std::mutex> g(m);
            entries.push_back(e);
        }
        cv.notify_all();
    }
    std::vector<Entry> snapshot()
    {
        std::lock_guard<std::mutex> g(m);
        return entries;
    }
    int count(char kind, EdsUInt32 event, EdsUInt32 id = 0xFFFFFFFF)
    {
        std::lock_guard<std::mutex> g(m);
        int n = 0;
        for (const auto& e : entries)
            n += e.kind == kind && e.event == event && (id == 0xFFFFFFFF || e.id == id);
        return n;
    }
    bool waitFor(const std::function<bool()>& pred, int ms = 10000)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] {
            lock.unlock();
            bool ok = pred();
            lock.lock();
            return ok;
        });
    }

    static EdsError added(void* ctx)
    {
        static_cast<Recorder*>(ctx)->add({'a', 0, 0, 0, nullptr, std::this_thread::get_id()});
        return EDS_ERR_OK;
    }
    static EdsError state(EdsStateEvent event, EdsUInt32 data, void* ctx)
    {
        static_cast<Recorder*>(ctx)->add({'s', event, data, 0, nullptr, std::this_thread::get_id()});
        return EDS_ERR_OK;
    }
    static EdsError property(EdsPropertyEvent event, EdsPropertyID id, EdsUInt32 param, void* ctx)
    {
        auto* r = static_cast<Recorder*>(ctx);
        Entry e{'p', event, id, param, nullptr, std::this_thread::get_id()};
        if (r->onProperty)
            r->onProperty(e);
        r->add(e);
        return EDS_ERR_OK;
    }
    static EdsError object(EdsObjectEvent event, EdsBaseRef ref, void* ctx)
    {
        auto* r = static_cast<Recorder*>(ctx);
        Entry e{'o', event, 0, 0, ref, std::this_thread::get_id()};
        if (r->onObject)
            r->onObject(e);
        r->add(e);
        return EDS_ERR_OK;
    }
};

struct JpegInfo {
    bool header = false;
    bool decodes = false;
    int width = 0, height = 0;
};

JpegInfo inspectJpeg(const uint8_t* data, size_t size)
{
    JpegInfo info;
    tjhandle tj = tjInitDecompress();
    int sub = 0, colours = 0;
    if (tjDecompressHeader3(tj, data, static_cast<unsigned long>(size), &info.width, &info.height, &sub, &colours) == 0) {
        info.header = true;
        std::vector<uint8_t> rgb(static_cast<size_t>(info.width) * info.height * 3);
        info.decodes = tjDecompress2(tj, data, static_cast<unsigned long>(size), rgb.data(), info.width, 0,
                                     info.height, TJPF_RGB, TJFLAG_STOPONWARNING) == 0;
    }
    tjDestroy(tj);
    return info;
}

struct Progress {
    std::vector<EdsUInt32> percents;
    EdsUInt32 cancelAt = 1000;
    static EdsError callback(EdsUInt32 percent, void* ctx, EdsBool* cancel)
    {
        auto* p = static_cast<Progress*>(ctx);
        p->percents.push_back(percent);
        if (cancel)
            *cancel = percent >= p->cancelAt;
        return EDS_ERR_OK;
    }
};

// One download the way the camera library does it: info, buffer, stream, progress, transfer.
struct Download {
    EdsError info = EDS_ERR_INTERNAL_ERROR, stream = EDS_ERR_INTERNAL_ERROR, transfer = EDS_ERR_INTERNAL_ERROR,
             complete = EDS_ERR_INTERNAL_ERROR;
    std::string name;
    std::vector<uint8_t> bytes;
    Progress progress;
    std::thread::id thread;
};

void download(EdsSdk& sdk, EdsDirectoryItemRef item, Download& out)
{
    out.thread = std::this_thread::get_id();
    EdsDirectoryItemInfo info{};
    out.info = sdk.EdsGetDirectoryItemInfo(item, &info);
    if (out.info != EDS_ERR_OK)
        return;
    out.name.assign(info.szFileName, strnlen(info.szFileName, sizeof info.szFileName));
    out.bytes.assign(static_cast<size_t>(info.size), 0);
    EdsStreamRef stream = nullptr;
    out.stream = sdk.EdsCreateMemoryStreamFromPointer(out.bytes.data(), info.size, &stream);
    if (out.stream != EDS_ERR_OK)
        return;
    sdk.EdsSetProgressCallback(stream, &Progress::callback, kEdsProgressOption_Periodically, &out.progress);
    out.transfer = sdk.EdsDownload(item, info.size, stream);
    if (out.transfer == EDS_ERR_OK)
        out.complete = sdk.EdsDownloadComplete(item);
    sdk.EdsRelease(stream);
}

std::string exifValue(const std::vector<uint8_t>& jpeg, const char* key)
{
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(jpeg.data(), static_cast<long>(jpeg.size()));
    image->readMetadata();
    auto it = image->exifData().findKey(Exiv2::ExifKey(key));
    return it == image->exifData().end() ? std::string() : it->toString();
}

EdsError setU32(EdsSdk& sdk, EdsCameraRef cam, EdsPropertyID id, EdsUInt32 value)
{
    return sdk.EdsSetPropertyData(cam, id, 0, sizeof value, &value);
}

EdsUInt32 getU32(EdsSdk& sdk, EdsCameraRef cam, EdsPropertyID id)
{
    EdsUInt32 value = 0xDEADBEEF;
    EXPECT_EQ(sdk.EdsGetPropertyData(cam, id, 0, sizeof value, &value), EDS_ERR_OK);
    return value;
}

class SimSdk : public ::testing::Test {
protected:
    void SetUp() override
    {
        sdk = std::make_shared<SimCameraSdk>();
        sdk->setPictureSize(640, 480);
        ASSERT_EQ(sdk->connectedCameras().size(), 1u);
        camId = sdk->connectedCameras().front();
        cam = sdk->cameraRef(camId);
        ASSERT_NE(cam, nullptr);
    }
    void TearDown() override
    {
        sdk->releaseStalledDownloads();
        EXPECT_TRUE(sdk->waitForIdle());
    }
    void openWithHandlers()
    {
        ASSERT_EQ(sdk->EdsOpenSession(cam), EDS_ERR_OK);
        ASSERT_EQ(sdk->EdsSetCameraStateEventHandler(cam, kEdsStateEvent_All, &Recorder::state, &rec), EDS_ERR_OK);
        ASSERT_EQ(sdk->EdsSetPropertyEventHandler(cam, kEdsPropertyEvent_All, &Recorder::property, &rec), EDS_ERR_OK);
        ASSERT_EQ(sdk->EdsSetObjectEventHandler(cam, kEdsObjectEvent_All, &Recorder::object, &rec), EDS_ERR_OK);
    }
    // Downloads every transfer request inside the object handler, as the camera library does.
    void downloadInHandler(std::vector<Download>& downloads, std::mutex& lock)
    {
        rec.onObject = [this, &downloads, &lock](const Recorder::Entry& e) {
            if (e.event != kEdsObjectEvent_DirItemRequestTransfer)
                return;
            Download d;
            download(*sdk, e.ref, d);
            std::lock_guard<std::mutex> g(lock);
            downloads.push_back(std::move(d));
        };
    }

    std::shared_ptr<SimCameraSdk> sdk;
    int camId = 0;
    EdsCameraRef cam = nullptr;
    Recorder rec;
};

// ---------------------------------------------------------------------------------------
// list, handles and counts

TEST_F(SimSdk, CameraListHoldsRetainedChildrenAndCountsAreReturned)
{
    const int baseline = sdk->liveObjectCount();
    EdsCameraListRef list = nullptr;
    ASSERT_EQ(sdk->EdsGetCameraList(&list), EDS_ERR_OK);
    EdsUInt32 count = 0;
    ASSERT_EQ(sdk->EdsGetChildCount(list, &count), EDS_ERR_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(sdk->refCount(list), 1u);
    EXPECT_EQ(sdk->refCount(cam), 1u);  // held by the list

    EdsCameraRef child = nullptr;
    ASSERT_EQ(sdk->EdsGetChildAtIndex(list, 0, &child), EDS_ERR_OK);
    EXPECT_EQ(child, cam);  // the same handle in every list
    EXPECT_EQ(sdk->refCount(cam), 2u);
    EXPECT_EQ(sdk->EdsRetain(child), 3u);
    EXPECT_EQ(sdk->EdsRelease(child), 2u);
    EXPECT_EQ(sdk->EdsRelease(child), 1u);
    EXPECT_EQ(sdk->EdsRelease(list), 0u);
    EXPECT_EQ(sdk->refCount(cam), 0u);
    EXPECT_EQ(sdk->EdsGetChildCount(list, &count), EDS_ERR_INVALID_HANDLE);  // the list is gone
    EXPECT_EQ(sdk->liveObjectCount(), baseline);

    EdsCameraListRef second = nullptr;
    ASSERT_EQ(sdk->EdsGetCameraList(&second), EDS_ERR_OK);
    EXPECT_NE(second, list);  // a fresh list each time
    EXPECT_EQ(sdk->EdsGetChildAtIndex(second, 1, &child), EDS_ERR_INVALID_INDEX);
    EXPECT_EQ(sdk->EdsGetChildAtIndex(second, -1, &child), EDS_ERR_INVALID_INDEX);
    EXPECT_EQ(sdk->EdsGetChildAtIndex(cam, 0, &child), EDS_ERR_INVALID_HANDLE);
    EXPECT_EQ(sdk->EdsRelease(second), 0u);
    EXPECT_EQ(sdk->EdsRelease(reinterpret_cast<EdsBaseRef>(0x1234)), 0u);
}

TEST_F(SimSdk, DeviceInfoNamesTheModel)
{
    EdsDeviceInfo info{};
    ASSERT_EQ(sdk->EdsGetDeviceInfo(cam, &info), EDS_ERR_OK);
    EXPECT_STREQ(info.szDeviceDescription, "Canon EOS 5D Mark II");
    EXPECT_GT(std::strlen(info.szPortName), 0u);
    EXPECT_EQ(sdk->EdsGetDeviceInfo(cam, nullptr), EDS_ERR_INVALID_POINTER);

    int other = sdk->connectCamera("Canon EOS 7D");
    ASSERT_EQ(sdk->EdsGetDeviceInfo(sdk->cameraRef(other), &info), EDS_ERR_OK);
    EXPECT_STREQ(info.szDeviceDescription, "Canon EOS 7D");
}

TEST_F(SimSdk, CallsNeedAnOpenSession)
{
    EdsUInt32 value = 0;
    EXPECT_EQ(sdk->EdsGetPropertyData(cam, kAv, 0, 4, &value), EDS_ERR_SESSION_NOT_OPEN);
    EXPECT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_SESSION_NOT_OPEN);
    EXPECT_EQ(sdk->EdsCloseSession(cam), EDS_ERR_SESSION_NOT_OPEN);
    ASSERT_EQ(sdk->EdsOpenSession(cam), EDS_ERR_OK);
    EXPECT_TRUE(sdk->isSessionOpen(camId));
    EXPECT_EQ(sdk->EdsOpenSession(cam), EDS_ERR_SESSION_ALREADY_OPEN);
    EXPECT_EQ(sdk->EdsGetPropertyData(cam, kAv, 0, 4, &value), EDS_ERR_OK);
    EXPECT_EQ(sdk->EdsCloseSession(cam), EDS_ERR_OK);
    EXPECT_FALSE(sdk->isSessionOpen(camId));
    EXPECT_EQ(sdk->EdsGetPropertyData(cam, kAv, 0, 4, &value), EDS_ERR_SESSION_NOT_OPEN);
}

// ---------------------------------------------------------------------------------------
// plugging, handlers, the callback thread

TEST_F(SimSdk, PlugAndUnplugAreReportedOnTheCallbackThread)
{
    ASSERT_EQ(sdk->EdsSetCameraAddedHandler(&Recorder::added, &rec), EDS_ERR_OK);
    const int second = sdk->connectCamera("Canon EOS 50D");
    ASSERT_TRUE(rec.waitFor([&] { return rec.count('a', 0) == 1; }));
    EXPECT_EQ(rec.snapshot().front().thread, sdk->callbackThreadId());
    EXPECT_NE(sdk->callbackThreadId(), std::this_thread::get_id());

    EdsCameraListRef list = nullptr;
    ASSERT_EQ(sdk->EdsGetCameraList(&list), EDS_ERR_OK);
    EdsUInt32 count = 0;
    sdk->EdsGetChildCount(list, &count);
    EXPECT_EQ(count, 2u);
    sdk->EdsRelease(list);

    // The loaded camera goes away: 0x301 to its state handler, calls then fail.
    EdsCameraRef ref = sdk->cameraRef(second);
    EXPECT_EQ(sdk->EdsRetain(ref), 1u);
    ASSERT_EQ(sdk->EdsOpenSession(ref), EDS_ERR_OK);
    ASSERT_EQ(sdk->EdsSetCameraStateEventHandler(ref, kEdsStateEvent_All, &Recorder::state, &rec), EDS_ERR_OK);
    ASSERT_TRUE(sdk->disconnectCamera(second));
    EXPECT_FALSE(sdk->disconnectCamera(second));
    ASSERT_TRUE(rec.waitFor([&] { return rec.count('s', kEdsStateEvent_Shutdown) == 1; }));
    EXPECT_EQ(rec.snapshot().back().thread, sdk->callbackThreadId());
    EdsUInt32 value = 0;
    EXPECT_EQ(sdk->EdsGetPropertyData(ref, kAv, 0, 4, &value), EDS_ERR_COMM_DISCONNECTED);
    EXPECT_EQ(sdk->EdsSendCommand(ref, kEdsCameraCommand_TakePicture, 0), EDS_ERR_COMM_DISCONNECTED);
    EXPECT_EQ(sdk->EdsOpenSession(ref), EDS_ERR_COMM_DISCONNECTED);
    EXPECT_EQ(sdk->EdsSetCameraStateEventHandler(ref, kEdsStateEvent_All, nullptr, nullptr), EDS_ERR_OK);
    EXPECT_EQ(sdk->cameraId(ref), second);  // still a valid handle while referenced

    ASSERT_EQ(sdk->EdsGetCameraList(&list), EDS_ERR_OK);
    sdk->EdsGetChildCount(list, &count);
    EXPECT_EQ(count, 1u);
    sdk->EdsRelease(list);

    EXPECT_EQ(sdk->EdsRelease(ref), 0u);
    EdsDeviceInfo info{};
    EXPECT_EQ(sdk->EdsGetDeviceInfo(ref, &info), EDS_ERR_INVALID_HANDLE);
    EXPECT_EQ(sdk->cameraId(ref), -1);

    // An unplugged camera without a session answers "device not found".
    const int third = sdk->connectCamera();
    EdsCameraRef thirdRef = sdk->cameraRef(third);
    sdk->EdsRetain(thirdRef);
    sdk->disconnectCamera(third);
    EXPECT_EQ(sdk->EdsOpenSession(thirdRef), EDS_ERR_DEVICE_NOT_FOUND);
    sdk->EdsRelease(thirdRef);
}

TEST_F(SimSdk, HandlersMayCallBackIntoTheSdk)
{
    openWithHandlers();
    std::atomic<EdsUInt32> seen{0};
    std::atomic<EdsError> status{EDS_ERR_INTERNAL_ERROR};
    rec.onProperty = [&](const Recorder::Entry& e) {
        if (e.id != kISOSpeed)
            return;
        EdsUInt32 value = 0;
        status = sdk->EdsGetPropertyData(cam, kISOSpeed, 0, 4, &value);  // would dead-lock under a lock
        seen = value;
        setU32(*sdk, cam, kEvfZoom, 5);
    };
    ASSERT_EQ(setU32(*sdk, cam, kISOSpeed, 0x58), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(status.load(), EDS_ERR_OK);
    EXPECT_EQ(seen.load(), 0x58u);
    EXPECT_EQ(rec.count('p', kEdsPropertyEvent_PropertyChanged, kEvfZoom), 1);  // raised from within a handler
    for (const auto& e : rec.snapshot())
        EXPECT_EQ(e.thread, sdk->callbackThreadId());
}

TEST_F(SimSdk, ClearedHandlerIsNeverCalledAfterTheClearReturns)
{
    openWithHandlers();
    std::mutex gate;
    std::condition_variable gateCv;
    bool inside = false, open = false;
    std::atomic<bool> handlerDone{false};
    rec.onProperty = [&](const Recorder::Entry&) {
        std::unique_lock<std::mutex> lock(gate);
        inside = true;
        gateCv.notify_all();
        gateCv.wait(lock, [&] { return open; });
        handlerDone = true;
    };
    ASSERT_EQ(setU32(*sdk, cam, kISOSpeed, 0x58), EDS_ERR_OK);
    {
        std::unique_lock<std::mutex> lock(gate);
        ASSERT_TRUE(gateCv.wait_for(lock, std::chrono::seconds(10), [&] { return inside; }));
    }
    // Clear from another thread while the handler runs: the clear does not wait for it.
    std::thread clearer([&] { sdk->EdsSetPropertyEventHandler(cam, kEdsPropertyEvent_All, nullptr, nullptr); });
    clearer.join();
    EXPECT_FALSE(handlerDone);
    {
        std::lock_guard<std::mutex> lock(gate);
        open = true;
    }
    gateCv.notify_all();
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_TRUE(handlerDone);

    rec.onProperty = nullptr;
    const int before = rec.count('p', kEdsPropertyEvent_PropertyChanged);
    ASSERT_EQ(setU32(*sdk, cam, kISOSpeed, 0x60), EDS_ERR_OK);
    ASSERT_TRUE(sdk->setCameraProperty(camId, kBatteryLevel, 50));
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(rec.count('p', kEdsPropertyEvent_PropertyChanged), before);
}

TEST_F(SimSdk, AHandlerMayClearItselfOnTheCallbackThread)
{
    openWithHandlers();
    std::atomic<EdsError> status{EDS_ERR_INTERNAL_ERROR};
    rec.onProperty = [&](const Recorder::Entry&) {
        status = sdk->EdsSetPropertyEventHandler(cam, kEdsPropertyEvent_All, nullptr, nullptr);
    };
    ASSERT_EQ(setU32(*sdk, cam, kISOSpeed, 0x58), EDS_ERR_OK);
    ASSERT_EQ(setU32(*sdk, cam, kISOSpeed, 0x60), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(status.load(), EDS_ERR_OK);
    EXPECT_EQ(rec.count('p', kEdsPropertyEvent_PropertyChanged), 1);
}

TEST_F(SimSdk, WaitForIdleOnTheMainThreadServesBlockingHandOffs)
{
    openWithHandlers();
    std::atomic<bool> ranOnMain{false};
    std::atomic<bool> entered{false};
    rec.onProperty = [&](const Recorder::Entry&) {
        entered = true;
        // a handler that waits for the main thread, as the camera library's notifications do
        QMetaObject::invokeMethod(
            qApp, [&] { ranOnMain = QThread::currentThread() == qApp->thread(); }, Qt::BlockingQueuedConnection);
    };
    ASSERT_EQ(setU32(*sdk, cam, kISOSpeed, 0x58), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_TRUE(ranOnMain);
    // and clearing the handler on the main thread while such a handler waits for the main
    // thread does not hang, nor run the hand-off half-way through the clearing: it returns
    // at once, and the hand-off runs when the main thread is free again
    ranOnMain = false;
    entered = false;
    ASSERT_EQ(setU32(*sdk, cam, kISOSpeed, 0x60), EDS_ERR_OK);
    while (!entered)
        std::this_thread::yield();
    EXPECT_EQ(sdk->EdsSetPropertyEventHandler(cam, kEdsPropertyEvent_All, nullptr, nullptr), EDS_ERR_OK);
    EXPECT_FALSE(ranOnMain);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_TRUE(ranOnMain);
}

TEST_F(SimSdk, ObjectAndStateEventsWithoutItemsReachTheirHandlers)
{
    openWithHandlers();
    ASSERT_TRUE(sdk->raiseObjectEvent(camId, kEdsObjectEvent_VolumeInfoChanged));
    ASSERT_TRUE(sdk->raiseStateEvent(camId, kEdsStateEvent_WillSoonShutDown, 30));
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(rec.count('o', kEdsObjectEvent_VolumeInfoChanged), 1);
    EXPECT_EQ(rec.count('s', kEdsStateEvent_WillSoonShutDown), 1);
    EXPECT_EQ(rec.snapshot().back().id, 30u);
    EXPECT_EQ(sdk->EdsSetPropertyEventHandler(cam, kEdsStateEvent_All, &Recorder::property, &rec),
              EDS_ERR_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------------------
// properties

TEST_F(SimSdk, PropertiesReportTheirSdkTypesAndSizes)
{
    ASSERT_EQ(sdk->EdsOpenSession(cam), EDS_ERR_OK);
    struct Expect {
        EdsPropertyID id;
        EdsDataType type;
        EdsUInt32 size;
    };
    const std::string model = "Canon EOS 5D Mark II";
    for (const Expect& x : {Expect{kDateTime, kEdsDataType_Time, 28}, Expect{kBatteryLevel, kEdsDataType_UInt32, 4},
                            Expect{kWhiteBalance, kEdsDataType_Int32, 4}, Expect{kAv, kEdsDataType_UInt32, 4},
                            Expect{kOwnerName, kEdsDataType_String, 1}, Expect{0x2, kEdsDataType_String,
                                                                                 static_cast<EdsUInt32>(model.size() + 1)},
                            Expect{kFocalLength, kEdsDataType_UInt32_Array, 16}}) {
        EdsDataType type = 0;
        EdsUInt32 size = 0;
        ASSERT_EQ(sdk->EdsGetPropertySize(cam, x.id, 0, &type, &size), EDS_ERR_OK) << std::hex << x.id;
        EXPECT_EQ(type, x.type) << std::hex << x.id;
        EXPECT_EQ(size, x.size) << std::hex << x.id;
    }
    EXPECT_EQ(getU32(*sdk, cam, kBatteryLevel), 0xFFFFFFFFu);  // on the mains
    char name[64] = {};
    ASSERT_EQ(sdk->EdsGetPropertyData(cam, 0x2, 0, static_cast<EdsUInt32>(model.size() + 1), name), EDS_ERR_OK);
    EXPECT_EQ(model, name);
    EXPECT_EQ(sdk->EdsGetPropertyData(cam, 0x2, 0, 3, name), EDS_ERR_INVALID_LENGTH);
    EdsDataType type;
    EdsUInt32 size;
    EXPECT_EQ(sdk->EdsGetPropertySize(cam, 0x415, 0, &type, &size), EDS_ERR_PROPERTIES_UNAVAILABLE);
}

TEST_F(SimSdk, WritesAreCheckedAgainstTheAllowedValuesAndAnnounced)
{
    openWithHandlers();
    EdsPropertyDesc desc{};
    ASSERT_EQ(sdk->EdsGetPropertyDesc(cam, kISOSpeed, &desc), EDS_ERR_OK);
    ASSERT_GT(desc.numElements, 3);
    bool has200 = false;
    for (int i = 0; i < desc.numElements; ++i)
        has200 = has200 || desc.propDesc[i] == 0x50;
    EXPECT_TRUE(has200);

    EXPECT_EQ(setU32(*sdk, cam, kISOSpeed, 0x68), EDS_ERR_OK);
    EXPECT_EQ(getU32(*sdk, cam, kISOSpeed), 0x68u);
    EXPECT_EQ(setU32(*sdk, cam, kISOSpeed, 0x49), EDS_ERR_INVALID_DEVICEPROP_VALUE);
    EXPECT_EQ(getU32(*sdk, cam, kISOSpeed), 0x68u);
    EdsUInt16 shortValue = 0x50;
    EXPECT_EQ(sdk->EdsSetPropertyData(cam, kISOSpeed, 0, 2, &shortValue), EDS_ERR_INVALID_LENGTH);
    EXPECT_NE(setU32(*sdk, cam, kBatteryLevel, 50), EDS_ERR_OK);  // read-only
    EXPECT_EQ(setU32(*sdk, cam, 0x415, 1), EDS_ERR_PROPERTIES_UNAVAILABLE);

    const char owner[] = "Korvanex booth";
    EXPECT_EQ(sdk->EdsSetPropertyData(cam, kOwnerName, 0, sizeof owner, owner), EDS_ERR_OK);
    char longer[40];
    std::memset(longer, 'x', sizeof longer);
    longer[sizeof longer - 1] = 0;
    EXPECT_EQ(sdk->EdsSetPropertyData(cam, kOwnerName, 0, sizeof longer, longer), EDS_ERR_DEVICE_INVALID_PARAMETER);
    EXPECT_EQ(sdk->EdsSetPropertyData(cam, kOwnerName, 0, 5, "abcde"), EDS_ERR_DEVICE_INVALID_PARAMETER);  // no NUL
    EXPECT_EQ(sdk->cameraStringProperty(camId, kOwnerName), "Korvanex booth");

    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(rec.count('p', kEdsPropertyEvent_PropertyChanged, kISOSpeed), 1);  // refused writes raise nothing
    EXPECT_EQ(rec.count('p', kEdsPropertyEvent_PropertyChanged, kOwnerName), 1);
    EXPECT_EQ(rec.count('p', kEdsPropertyEvent_PropertyChanged, kBatteryLevel), 0);

    // a change made by the camera itself
    ASSERT_TRUE(sdk->setCameraProperty(camId, kBatteryLevel, 80));
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(rec.count('p', kEdsPropertyEvent_PropertyChanged, kBatteryLevel), 1);
    EXPECT_EQ(getU32(*sdk, cam, kBatteryLevel), 80u);
}

TEST_F(SimSdk, ShootingModeGovernsApertureAndShutterSpeed)
{
    openWithHandlers();
    EdsPropertyDesc desc{};
    // Manual: both may be set.
    EXPECT_EQ(setU32(*sdk, cam, kAv, 0x38), EDS_ERR_OK);
    EXPECT_EQ(setU32(*sdk, cam, kTv, 0x78), EDS_ERR_OK);

    ASSERT_EQ(setU32(*sdk, cam, kAEMode, 2), EDS_ERR_OK);  // aperture priority
    EXPECT_EQ(setU32(*sdk, cam, kTv, 0x70), EDS_ERR_DEVICE_INVALID_PARAMETER);
    EXPECT_EQ(getU32(*sdk, cam, kTv), 0x78u);
    ASSERT_EQ(sdk->EdsGetPropertyDesc(cam, kTv, &desc), EDS_ERR_OK);
    EXPECT_EQ(desc.numElements, 0);
    ASSERT_EQ(sdk->EdsGetPropertyDesc(cam, kAv, &desc), EDS_ERR_OK);
    EXPECT_GT(desc.numElements, 0);
    EXPECT_EQ(setU32(*sdk, cam, kAv, 0x40), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(rec.count('p', kEdsPropertyEvent_PropertyDescChanged, kAv), 1);
    EXPECT_EQ(rec.count('p', kEdsPropertyEvent_PropertyDescChanged, kTv), 1);

    ASSERT_EQ(setU32(*sdk, cam, kAEMode, 1), EDS_ERR_OK);  // shutter priority
    EXPECT_EQ(setU32(*sdk, cam, kAv, 0x30), EDS_ERR_DEVICE_INVALID_PARAMETER);
    EXPECT_EQ(setU32(*sdk, cam, kTv, 0x70), EDS_ERR_OK);
    ASSERT_EQ(sdk->EdsGetPropertyDesc(cam, kAv, &desc), EDS_ERR_OK);
    EXPECT_EQ(desc.numElements, 0);

    ASSERT_EQ(setU32(*sdk, cam, kAEMode, 0), EDS_ERR_OK);  // program: the camera picks both
    EXPECT_NE(setU32(*sdk, cam, kAv, 0x30), EDS_ERR_OK);
    EXPECT_NE(setU32(*sdk, cam, kTv, 0x70), EDS_ERR_OK);

    ASSERT_EQ(setU32(*sdk, cam, kAEMode, 4), EDS_ERR_OK);  // bulb
    EXPECT_EQ(getU32(*sdk, cam, kTv), 0x0Cu);
    ASSERT_EQ(setU32(*sdk, cam, kAEMode, 3), EDS_ERR_OK);
    EXPECT_EQ(getU32(*sdk, cam, kTv), 0x70u);  // back from bulb
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(rec.count('p', kEdsPropertyEvent_PropertyDescChanged, kTv), 5);
}

TEST_F(SimSdk, CameraClockRunsWithASettableOffset)
{
    ASSERT_EQ(sdk->EdsOpenSession(cam), EDS_ERR_OK);
    EdsTime set{2009, 2, 13, 14, 5, 9, 250};
    ASSERT_EQ(sdk->EdsSetPropertyData(cam, kDateTime, 0, sizeof set, &set), EDS_ERR_OK);
    EdsTime now{};
    ASSERT_EQ(sdk->EdsGetPropertyData(cam, kDateTime, 0, sizeof now, &now), EDS_ERR_OK);
    EXPECT_EQ(now.year, 2009u);
    EXPECT_EQ(now.month, 2u);
    EXPECT_EQ(now.day, 13u);
    EXPECT_EQ(now.hour, 14u);
    EXPECT_EQ(now.minute, 5u);
    EXPECT_LE(now.second - 9, 2u);
    EXPECT_LT(sdk->clockOffset(camId), -1.0e8);  // far in the past
    EdsTime bad{2009, 13, 1, 0, 0, 0, 0};
    EXPECT_EQ(sdk->EdsSetPropertyData(cam, kDateTime, 0, sizeof bad, &bad), EDS_ERR_DEVICE_INVALID_PARAMETER);
    EXPECT_EQ(sdk->EdsSetPropertyData(cam, kDateTime, 0, 20, &set), EDS_ERR_INVALID_LENGTH);

    sdk->setClockOffset(camId, 0);
    ASSERT_EQ(sdk->EdsGetPropertyData(cam, kDateTime, 0, sizeof now, &now), EDS_ERR_OK);
    time_t host = time(nullptr);
    struct tm local {};
    localtime_r(&host, &local);
    EXPECT_EQ(now.year, static_cast<EdsUInt32>(local.tm_year + 1900));
}

// ---------------------------------------------------------------------------------------
// commands, pictures, download

TEST_F(SimSdk, TakePictureDeliversAJpegWithExifThroughTransferRequest)
{
    openWithHandlers();
    ASSERT_EQ(setU32(*sdk, cam, kSaveTo, kEdsSaveTo_Host), EDS_ERR_OK);
    ASSERT_EQ(setU32(*sdk, cam, kISOSpeed, 0x58), EDS_ERR_OK);  // ISO 400
    ASSERT_EQ(setU32(*sdk, cam, kAv, 0x38), EDS_ERR_OK);        // f/8
    ASSERT_EQ(setU32(*sdk, cam, kTv, 0x78), EDS_ERR_OK);        // 1/250
    std::vector<Download> downloads;
    std::mutex lock;
    downloadInHandler(downloads, lock);

    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());

    ASSERT_EQ(downloads.size(), 2u);
    const Download& first = downloads[0];
    EXPECT_EQ(first.thread, sdk->callbackThreadId());
    EXPECT_EQ(first.info, EDS_ERR_OK);
    EXPECT_EQ(first.transfer, EDS_ERR_OK);
    EXPECT_EQ(first.complete, EDS_ERR_OK);
    EXPECT_EQ(first.name, "IMG_0001.JPG");
    EXPECT_EQ(downloads[1].name, "IMG_0002.JPG");
    EXPECT_EQ(first.progress.percents, (std::vector<EdsUInt32>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
    JpegInfo jpeg = inspectJpeg(first.bytes.data(), first.bytes.size());
    EXPECT_TRUE(jpeg.decodes);
    EXPECT_EQ(jpeg.width, 640);
    EXPECT_EQ(jpeg.height, 480);
    EXPECT_EQ(sdk->picturesTaken(camId), 2);
    EXPECT_EQ(downloads[1].bytes, sdk->lastPicture(camId));

    EXPECT_EQ(exifValue(first.bytes, "Exif.Image.Make"), "Canon");
    EXPECT_EQ(exifValue(first.bytes, "Exif.Image.Model"), "Canon EOS 5D Mark II");
    EXPECT_EQ(exifValue(first.bytes, "Exif.Photo.ISOSpeedRatings"), "400");
    EXPECT_EQ(exifValue(first.bytes, "Exif.Photo.FNumber"), "80/10");
    EXPECT_EQ(exifValue(first.bytes, "Exif.Photo.ExposureTime"), "1/250");
    EdsTime clock{};
    ASSERT_EQ(sdk->EdsGetPropertyData(cam, kDateTime, 0, sizeof clock, &clock), EDS_ERR_OK);
    EXPECT_EQ(exifValue(first.bytes, "Exif.Photo.DateTimeOriginal").substr(0, 4), std::to_string(clock.year));

    // the item goes with the request once nobody holds it
    EXPECT_EQ(rec.count('o', kEdsObjectEvent_DirItemRequestTransfer), 2);
    EdsDirectoryItemInfo info{};
    EXPECT_EQ(sdk->EdsGetDirectoryItemInfo(rec.snapshot().back().ref, &info), EDS_ERR_INVALID_HANDLE);
}

TEST_F(SimSdk, PaddedPictureFilesKeepTheirPicturesAndExif)
{
    openWithHandlers();
    ASSERT_EQ(setU32(*sdk, cam, kSaveTo, kEdsSaveTo_Host), EDS_ERR_OK);
    std::vector<Download> downloads;
    std::mutex lock;
    downloadInHandler(downloads, lock);
    // A size between whole filler segments, and one a few bytes above the coded file.
    for (EdsUInt64 size : {EdsUInt64(3'000'001), EdsUInt64(0)}) {
        sdk->setPictureFileSize(size);
        ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
        ASSERT_TRUE(sdk->waitForIdle());
    }
    ASSERT_EQ(downloads.size(), 2u);
    const std::vector<uint8_t>& padded = downloads[0].bytes;
    const std::vector<uint8_t>& plain = downloads[1].bytes;
    EXPECT_GE(padded.size(), 3'000'001u);
    EXPECT_LE(padded.size(), 3'000'001u + 4);
    EXPECT_LT(plain.size(), 1'000'000u);
    const JpegInfo jpeg = inspectJpeg(padded.data(), padded.size());
    EXPECT_TRUE(jpeg.decodes);
    EXPECT_EQ(jpeg.width, 640);
    EXPECT_EQ(exifValue(padded, "Exif.Image.Model"), "Canon EOS 5D Mark II");
    EXPECT_EQ(exifValue(padded, "Exif.Photo.ExposureTime"), exifValue(plain, "Exif.Photo.ExposureTime"));
    // The coded picture follows the filler unchanged.
    ASSERT_GT(plain.size(), 1000u);
    EXPECT_TRUE(std::equal(plain.end() - 1000, plain.end(), padded.end() - 1000));
}

TEST_F(SimSdk, PictureToTheCardIsAnnouncedAsANewItem)
{
    openWithHandlers();  // SaveTo is the card by default
    const EdsUInt32 shots = getU32(*sdk, cam, 0x40A);
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(rec.count('o', kEdsObjectEvent_DirItemCreated), 1);
    EXPECT_EQ(rec.count('o', kEdsObjectEvent_DirItemRequestTransfer), 0);
    EXPECT_EQ(getU32(*sdk, cam, 0x40A), shots - 1);
}

TEST_F(SimSdk, CameraIsBusyWhileATransferIsPending)
{
    openWithHandlers();
    ASSERT_EQ(setU32(*sdk, cam, kSaveTo, kEdsSaveTo_Host), EDS_ERR_OK);
    std::atomic<EdsError> during{EDS_ERR_OK};
    rec.onObject = [&](const Recorder::Entry& e) {
        if (e.event == kEdsObjectEvent_DirItemRequestTransfer)
            during = sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0);
    };
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(during.load(), EDS_ERR_DEVICE_BUSY);
    EXPECT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);  // free again
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(sdk->picturesTaken(camId), 2);
}

TEST_F(SimSdk, ShutterButtonLensDriveAndUnknownCommands)
{
    openWithHandlers();
    using C = EdsCameraCommand;
    EXPECT_EQ(sdk->EdsSendCommand(cam, C(kEdsCameraCommand_PressShutterButton), 1), EDS_ERR_OK);
    EXPECT_EQ(sdk->EdsSendCommand(cam, C(kEdsCameraCommand_PressShutterButton), 3), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(sdk->picturesTaken(camId), 1);
    EXPECT_EQ(sdk->EdsSendCommand(cam, C(kEdsCameraCommand_PressShutterButton), 3), EDS_ERR_OK);  // still held
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(sdk->picturesTaken(camId), 1);
    EXPECT_EQ(sdk->EdsSendCommand(cam, C(kEdsCameraCommand_PressShutterButton), 0), EDS_ERR_OK);
    EXPECT_EQ(sdk->EdsSendCommand(cam, C(kEdsCameraCommand_PressShutterButton), 0x10003), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(sdk->picturesTaken(camId), 2);
    EXPECT_EQ(sdk->EdsSendCommand(cam, C(kEdsCameraCommand_PressShutterButton), 0), EDS_ERR_OK);
    EXPECT_EQ(sdk->EdsSendCommand(cam, C(kEdsCameraCommand_PressShutterButton), 2), EDS_ERR_DEVICE_INVALID_PARAMETER);

    for (EdsInt32 p : {1, 2, 3, 0x8001, 0x8002, 0x8003})
        EXPECT_EQ(sdk->EdsSendCommand(cam, C(kEdsCameraCommand_DriveLensEvf), p), EDS_ERR_OK) << p;
    EXPECT_EQ(sdk->EdsSendCommand(cam, C(kEdsCameraCommand_DriveLensEvf), 4), EDS_ERR_DEVICE_INVALID_PARAMETER);
    EXPECT_EQ(sdk->EdsSendCommand(cam, C(kEdsCameraCommand_DoEvfAf), 1), EDS_ERR_OK);
    EXPECT_EQ(sdk->EdsSendCommand(cam, 0x77, 0), EDS_ERR_UNKNOWN_COMMAND);
    EXPECT_EQ(sdk->EdsSendCommand(cam, C(kEdsCameraCommand_BulbStart), 0), EDS_ERR_DEVICE_INVALID_PARAMETER);
}

TEST_F(SimSdk, MemoryStreamsRespectTheCallersBufferAndCancel)
{
    openWithHandlers();
    ASSERT_EQ(setU32(*sdk, cam, kSaveTo, kEdsSaveTo_Host), EDS_ERR_OK);
    EdsStreamRef nullStream = nullptr;
    EXPECT_EQ(sdk->EdsCreateMemoryStreamFromPointer(nullptr, 100, &nullStream), EDS_ERR_INVALID_POINTER);
    std::atomic<EdsError> small{EDS_ERR_OK}, cancelled{EDS_ERR_OK};
    std::vector<EdsUInt32> percents;
    std::vector<uint8_t> guard;
    rec.onObject = [&](const Recorder::Entry& e) {
        if (e.event != kEdsObjectEvent_DirItemRequestTransfer)
            return;
        EdsDirectoryItemInfo info{};
        sdk->EdsGetDirectoryItemInfo(e.ref, &info);
        // a buffer short of the file, followed by guard bytes that must stay untouched
        guard.assign(static_cast<size_t>(info.size), 0xAB);
        EdsStreamRef stream = nullptr;
        sdk->EdsCreateMemoryStreamFromPointer(guard.data(), info.size - 10, &stream);
        small = sdk->EdsDownload(e.ref, info.size, stream);
        sdk->EdsRelease(stream);

        std::vector<uint8_t> buffer(static_cast<size_t>(info.size));
        Progress progress;
        progress.cancelAt = 30;
        sdk->EdsCreateMemoryStreamFromPointer(buffer.data(), info.size, &stream);
        sdk->EdsSetProgressCallback(stream, &Progress::callback, kEdsProgressOption_Periodically, &progress);
        cancelled = sdk->EdsDownload(e.ref, info.size, stream);
        percents = progress.percents;
        sdk->EdsRelease(stream);
    };
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(small.load(), EDS_ERR_STREAM_WRITE_ERROR);
    EXPECT_EQ(guard.back(), 0xAB);
    EXPECT_EQ(cancelled.load(), EDS_ERR_OPERATION_CANCELLED);
    EXPECT_EQ(percents, (std::vector<EdsUInt32>{10, 20, 30}));
}

// ---------------------------------------------------------------------------------------
// faults

TEST_F(SimSdk, InjectedFaultsOnceTimesAndAlways)
{
    ASSERT_EQ(sdk->EdsOpenSession(cam), EDS_ERR_OK);
    sdk->resetCallCounts();
    EdsUInt32 value = 0;
    sdk->injectFault(SimOp::GetPropertyData, EDS_ERR_DEVICE_BUSY);
    EXPECT_EQ(sdk->EdsGetPropertyData(cam, kAv, 0, 4, &value), EDS_ERR_DEVICE_BUSY);
    EXPECT_EQ(sdk->EdsGetPropertyData(cam, kAv, 0, 4, &value), EDS_ERR_OK);

    sdk->injectFault(SimOp::GetPropertyData, EDS_ERR_COMM_DISCONNECTED, FaultMode::Times, 2, 0, kTv);
    EXPECT_EQ(sdk->EdsGetPropertyData(cam, kAv, 0, 4, &value), EDS_ERR_OK);  // another property
    EXPECT_EQ(sdk->EdsGetPropertyData(cam, kTv, 0, 4, &value), EDS_ERR_COMM_DISCONNECTED);
    EXPECT_EQ(sdk->EdsGetPropertyData(cam, kTv, 0, 4, &value), EDS_ERR_COMM_DISCONNECTED);
    EXPECT_EQ(sdk->EdsGetPropertyData(cam, kTv, 0, 4, &value), EDS_ERR_OK);

    sdk->injectFault(SimOp::SendCommand, EDS_ERR_TAKE_PICTURE_AF_NG, FaultMode::Always);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_TAKE_PICTURE_AF_NG);
    sdk->clearFaults();
    EXPECT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());

    sdk->injectFault(SimOp::TakePicture, EDS_ERR_DEVICE_BUSY);
    EXPECT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_DEVICE_BUSY);
    EXPECT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_ExtendShutDownTimer, 0), EDS_ERR_OK);  // not a capture

    sdk->injectFault(SimOp::OpenSession, EDS_ERR_DEVICE_NOT_FOUND);
    EXPECT_EQ(sdk->EdsOpenSession(cam), EDS_ERR_DEVICE_NOT_FOUND);

    EXPECT_EQ(sdk->callCount(SimOp::GetPropertyData), 6);
    EXPECT_EQ(sdk->callCount(SimOp::SendCommand), 6);
    EXPECT_EQ(sdk->callCount(SimOp::TakePicture), 2);
    EXPECT_EQ(sdk->callCount(SimOp::OpenSession), 1);
    EXPECT_STREQ(simOpName(SimOp::DownloadEvfImage), "EdsDownloadEvfImage");
}

TEST_F(SimSdk, UnplugDuringADownloadFailsItAndShutdownFollows)
{
    openWithHandlers();
    ASSERT_EQ(setU32(*sdk, cam, kSaveTo, kEdsSaveTo_Host), EDS_ERR_OK);
    std::vector<Download> downloads;
    std::mutex lock;
    downloadInHandler(downloads, lock);
    sdk->unplugDuringNextDownload(50);
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_EQ(downloads[0].transfer, EDS_ERR_COMM_DISCONNECTED);
    EXPECT_EQ(downloads[0].progress.percents.back(), 50u);
    EXPECT_EQ(rec.count('s', kEdsStateEvent_Shutdown), 1);
    // the shutdown came after the transfer request
    auto entries = rec.snapshot();
    EXPECT_EQ(entries.back().kind, 's');
    EXPECT_TRUE(sdk->connectedCameras().empty());
}

TEST_F(SimSdk, StalledDownloadEndsOnReleaseOrUnplug)
{
    openWithHandlers();
    ASSERT_EQ(setU32(*sdk, cam, kSaveTo, kEdsSaveTo_Host), EDS_ERR_OK);
    std::vector<Download> downloads;
    std::mutex lock;
    downloadInHandler(downloads, lock);

    sdk->stallNextDownload(30);
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    ASSERT_TRUE(waitUntil([&] { return sdk->stalledDownloads() == 1; }, 10000));
    EXPECT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_DEVICE_BUSY);
    sdk->releaseStalledDownloads();
    ASSERT_TRUE(sdk->waitForIdle());
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_EQ(downloads[0].transfer, EDS_ERR_INCOMPLETE_TRANSFER);
    EXPECT_EQ(downloads[0].progress.percents.back(), 30u);

    sdk->stallNextDownload(0);
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    ASSERT_TRUE(waitUntil([&] { return sdk->stalledDownloads() == 1; }, 10000));
    ASSERT_TRUE(sdk->disconnectCamera(camId));
    ASSERT_TRUE(sdk->waitForIdle());
    ASSERT_EQ(downloads.size(), 2u);
    EXPECT_EQ(downloads[1].transfer, EDS_ERR_COMM_DISCONNECTED);
    EXPECT_TRUE(downloads[1].progress.percents.empty());
    EXPECT_EQ(rec.count('s', kEdsStateEvent_Shutdown), 1);
}

TEST_F(SimSdk, DamagedPictureFiles)
{
    openWithHandlers();
    ASSERT_EQ(setU32(*sdk, cam, kSaveTo, kEdsSaveTo_Host), EDS_ERR_OK);
    std::vector<Download> downloads;
    std::mutex lock;
    downloadInHandler(downloads, lock);
    sdk->injectPictureFault(SimDataFault::Truncated);
    sdk->injectPictureFault(SimDataFault::Garbage);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
        ASSERT_TRUE(sdk->waitForIdle());
    }
    ASSERT_EQ(downloads.size(), 3u);
    for (const auto& d : downloads)
        EXPECT_EQ(d.transfer, EDS_ERR_OK);
    const auto& truncated = downloads[0].bytes;
    const auto& garbage = downloads[1].bytes;
    const auto& good = downloads[2].bytes;
    EXPECT_LT(truncated.size(), good.size());
    EXPECT_FALSE(inspectJpeg(truncated.data(), truncated.size()).decodes);
    EXPECT_FALSE(inspectJpeg(garbage.data(), garbage.size()).header);
    EXPECT_TRUE(inspectJpeg(good.data(), good.size()).decodes);
}

// ---------------------------------------------------------------------------------------
// live view

class SimLiveView : public SimSdk {
protected:
    void SetUp() override
    {
        SimSdk::SetUp();
        openWithHandlers();
        buffer.assign(0x200000, 0);
        ASSERT_EQ(sdk->EdsCreateMemoryStreamFromPointer(buffer.data(), buffer.size(), &stream), EDS_ERR_OK);
        ASSERT_EQ(sdk->EdsCreateEvfImageRef(stream, &image), EDS_ERR_OK);
    }
    void TearDown() override
    {
        EXPECT_EQ(sdk->EdsRelease(image), 0u);
        EXPECT_EQ(sdk->EdsRelease(stream), 0u);
        SimSdk::TearDown();
    }
    void switchOn()
    {
        ASSERT_EQ(setU32(*sdk, cam, kEvfMode, 1), EDS_ERR_OK);
        ASSERT_EQ(setU32(*sdk, cam, kEvfOutputDevice, getU32(*sdk, cam, kEvfOutputDevice) | 2), EDS_ERR_OK);
    }
    // Fetches until a frame comes (answers the status and counts the not-ready answers).
    EdsError nextFrame(int* notReady = nullptr)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        EdsError e;
        while ((e = sdk->EdsDownloadEvfImage(cam, image)) == EDS_ERR_OBJECT_NOTREADY &&
               std::chrono::steady_clock::now() < deadline) {
            if (notReady)
                ++*notReady;
            std::this_thread::yield();
        }
        return e;
    }
    std::vector<uint8_t> frameBytes() const
    {
        // the frame runs from the front of the buffer to its end marker
        for (size_t i = 2; i + 1 < buffer.size(); ++i)
            if (buffer[i] == 0xFF && buffer[i + 1] == 0xD9)
                return std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(i + 2));
        return {};
    }

    std::vector<uint8_t> buffer;
    EdsStreamRef stream = nullptr;
    EdsEvfImageRef image = nullptr;
};

TEST_F(SimLiveView, NoFramesUntilTheHostOutputIsOn)
{
    EXPECT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_DEVICE_INVALID);
    switchOn();
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(rec.count('p', kEdsPropertyEvent_PropertyChanged, kEvfOutputDevice), 1);
    EXPECT_EQ(nextFrame(), EDS_ERR_OK);
    ASSERT_EQ(setU32(*sdk, cam, kEvfOutputDevice, 0), EDS_ERR_OK);
    EXPECT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_DEVICE_INVALID);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(rec.count('p', kEdsPropertyEvent_PropertyChanged, kEvfOutputDevice), 2);
    EXPECT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_DoEvfAf, 0), EDS_ERR_OK);
}

TEST_F(SimLiveView, FramesAreJpegsThatMoveWithNotReadyBetween)
{
    sdk->setLiveViewFrameRate(10);  // 100 ms apart: the call right after a frame finds none
    switchOn();
    int notReady = 0;
    ASSERT_EQ(nextFrame(&notReady), EDS_ERR_OK);
    EXPECT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_OBJECT_NOTREADY);  // asked again at once
    std::vector<uint8_t> first = frameBytes();
    EXPECT_GT(notReady, 0);  // the first frame comes one frame period after switching on
    ASSERT_FALSE(first.empty());
    JpegInfo info = inspectJpeg(first.data(), first.size());
    EXPECT_TRUE(info.decodes);
    EXPECT_GE(info.width, 1024);
    EXPECT_GE(info.height, 680);

    ASSERT_EQ(nextFrame(), EDS_ERR_OK);
    std::vector<uint8_t> second = frameBytes();
    EXPECT_TRUE(inspectJpeg(second.data(), second.size()).decodes);
    EXPECT_NE(first, second);
    EXPECT_EQ(sdk->liveViewFramesServed(camId), 2);
}

TEST_F(SimLiveView, AsFastAsPossibleServesAFreshFrameEveryCall)
{
    sdk->setLiveViewFrameRate(0);
    switchOn();
    std::vector<uint8_t> previous;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_OK);
        std::vector<uint8_t> frame = frameBytes();
        EXPECT_TRUE(inspectJpeg(frame.data(), frame.size()).decodes);
        EXPECT_NE(frame, previous);
        previous = frame;
    }
}

TEST_F(SimLiveView, DamagedFramesCostOneFrame)
{
    sdk->setLiveViewFrameRate(0);
    switchOn();
    sdk->injectLiveViewFrameFault(SimDataFault::Garbage);
    ASSERT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_OK);
    EXPECT_FALSE(inspectJpeg(buffer.data(), buffer.size()).header);
    sdk->injectLiveViewFrameFault(SimDataFault::Truncated);
    std::fill(buffer.begin(), buffer.end(), 0);
    ASSERT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_OK);
    EXPECT_TRUE(frameBytes().empty());  // no end marker
    ASSERT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_OK);
    std::vector<uint8_t> frame = frameBytes();
    EXPECT_TRUE(inspectJpeg(frame.data(), frame.size()).decodes);

    sdk->injectFault(SimOp::DownloadEvfImage, EDS_ERR_COMM_DISCONNECTED);
    EXPECT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_COMM_DISCONNECTED);
}

TEST_F(SimLiveView, ClosingTheSessionEndsTheViewfinder)
{
    sdk->setLiveViewFrameRate(0);
    switchOn();
    ASSERT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_OK);
    ASSERT_EQ(sdk->EdsCloseSession(cam), EDS_ERR_OK);
    EXPECT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_SESSION_NOT_OPEN);
    EXPECT_EQ(sdk->cameraProperty(camId, kEvfOutputDevice) & 2, 0u);
    // a stream too small for a frame
    std::vector<uint8_t> tiny(100);
    EdsStreamRef small = nullptr;
    EdsEvfImageRef smallImage = nullptr;
    ASSERT_EQ(sdk->EdsOpenSession(cam), EDS_ERR_OK);
    switchOn();
    ASSERT_EQ(sdk->EdsCreateMemoryStreamFromPointer(tiny.data(), tiny.size(), &small), EDS_ERR_OK);
    ASSERT_EQ(sdk->EdsCreateEvfImageRef(small, &smallImage), EDS_ERR_OK);
    EXPECT_EQ(sdk->refCount(small), 2u);  // the image holds its stream
    EXPECT_EQ(sdk->EdsDownloadEvfImage(cam, smallImage), EDS_ERR_STREAM_WRITE_ERROR);
    EXPECT_EQ(sdk->EdsRelease(smallImage), 0u);
    EXPECT_EQ(sdk->refCount(small), 1u);
    EXPECT_EQ(sdk->EdsRelease(small), 0u);
}

// ---------------------------------------------------------------------------------------
// the process-wide choice

TEST(SimSdkChoice, CurrentSdkDefaultsToTheSimulatorAndCanBeReplaced)
{
    std::shared_ptr<EdsSdk> current = EdsCurrentSdk();
    ASSERT_NE(current, nullptr);
    EXPECT_NE(dynamic_cast<SimCameraSdk*>(current.get()), nullptr);
    EXPECT_EQ(EdsCurrentSdk(), current);

    auto replacement = std::make_shared<SimCameraSdk>(false);
    EdsSetCurrentSdk(replacement);
    EXPECT_EQ(EdsCurrentSdk(), replacement);
    EdsCameraListRef list = nullptr;
    ASSERT_EQ(EdsCurrentSdk()->EdsGetCameraList(&list), EDS_ERR_OK);
    EdsUInt32 count = 7;
    EdsCurrentSdk()->EdsGetChildCount(list, &count);
    EXPECT_EQ(count, 0u);
    EdsCurrentSdk()->EdsRelease(list);
    EdsSetCurrentSdk(current);

    EXPECT_NE(dynamic_cast<SimCameraSdk*>(EdsCreateSdk("sim").get()), nullptr);
    EXPECT_EQ(EdsCreateSdk("canon-eds"), nullptr);
#ifndef HAVE_GPHOTO2
    EXPECT_EQ(EdsCreateSdk("gphoto2"), nullptr);
#endif
}

TEST(SimSdkChoice, ABackendThatCannotBeHadLeavesNoSdkNeverTheSimulator)
{
#ifdef HAVE_GPHOTO2
    const bool gphoto2 = true;
#else
    const bool gphoto2 = false;
#endif
    const struct {
        const char* name;
        bool had;
    } kNames[] = {{"sim", true}, {"gphoto2", gphoto2}, {"gphoto", false}, {"", false}, {"Sim", false}};
    // Choosing gphoto2 loads its camera and port drivers; this test is about the choice, not
    // about the machine's cameras, so the drivers come from an empty folder. (Drivers that are
    // loaded and unloaded again leave allocations the leak checker cannot attribute.)
    QTemporaryDir noDrivers;
    ASSERT_TRUE(noDrivers.isValid());
    qputenv("CAMLIBS", noDrivers.path().toLocal8Bit());
    qputenv("IOLIBS", noDrivers.path().toLocal8Bit());
    for (const auto& backend : kNames) {
        SCOPED_TRACE(backend.name);
        EXPECT_EQ(EdsChooseSdk(backend.name), backend.had);
        EXPECT_EQ(EdsCurrentSdk() != nullptr, backend.had);
        EXPECT_EQ(dynamic_cast<SimCameraSdk*>(EdsCurrentSdk().get()) != nullptr, backend.name == std::string("sim"));
    }
    EdsSetCurrentSdk(nullptr); // nothing chosen: the simulated camera again
    EXPECT_NE(dynamic_cast<SimCameraSdk*>(EdsCurrentSdk().get()), nullptr);
    EdsSetCurrentSdk(nullptr);
}

}  // namespace
