// The libgphoto2 camera SDK against a fake of the libgphoto2 entry points it uses: camera
// list and hot-plug, sessions, properties, commands, pictures, live view, unplugging, a
// camera falling silent on the bus and answering again, and
// that every library call is made on the one worker thread, one at a time, while handlers
// come on the callback thread.
#include "EdsSdk.h"
#include "GPhoto2CameraSdk.h"
#include "GPhoto2Port.h"
#include "TestSupport.h"
#include "test_gphoto2_fake.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

// The one test that starts the real libgphoto2 makes it load its camera and port drivers,
// which keep allocations for the life of the process and are unloaded before the leak
// check runs; their stacks only show the libraries by name when unwound the slow way.
extern "C" const char* __lsan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace {

enum : EdsPropertyID {
    kOwnerName = 0x4, kDateTime = 0x6, kSaveTo = 0xB, kISO = 0x402, kColorSpace = 0x10D, kEvfOutput = 0x500,
    kEvfMode = 0x501, kEvfZoom = 0x507,
};

// Every callback with the thread it came on.
struct Recorder {
    struct Entry {
        char kind;
        EdsUInt32 event, id;
        EdsBaseRef ref;
        std::thread::id thread;
    };
    std::mutex m;
    std::vector<Entry> entries;
    std::function<void(const Entry&)> onObject, onProperty;
    void add(const Entry& e)
    {
        std::lock_guard<std::mutex> g(m);
        entries.push_back(e);
    }
    int count(char kind, EdsUInt32 event, EdsUInt32 id = 0xFFFFFFFF)
    {
        std::lock_guard<std::mutex> g(m);
        return static_cast<int>(std::count_if(entries.begin(), entries.end(), [&](const Entry& e) {
            return e.kind == kind && e.event == event && (id == 0xFFFFFFFF || e.id == id);
        }));
    }
    std::set<std::thread::id> threads()
    {
        std::lock_guard<std::mutex> g(m);
        std::set<std::thread::id> t;
        for (const Entry& e : entries)
            t.insert(e.thread);
        return t;
    }
};

EdsError addedCb(void* ctx)
{
    static_cast<Recorder*>(ctx)->add({'a', 0, 0, nullptr, std::this_thread::get_id()});
    return 0;
}
EdsError stateCb(EdsStateEvent event, EdsUInt32, void* ctx)
{
    static_cast<Recorder*>(ctx)->add({'s', event, 0, nullptr, std::this_thread::get_id()});
    return 0;
}
EdsError propertyCb(EdsPropertyEvent event, EdsPropertyID id, EdsUInt32, void* ctx)
{
    auto* r = static_cast<Recorder*>(ctx);
    Recorder::Entry e{'p', event, id, nullptr, std::this_thread::get_id()};
    if (r->onProperty)
        r->onProperty(e);
    r->add(e);
    return 0;
}
EdsError objectCb(EdsObjectEvent event, EdsBaseRef ref, void* ctx)
{
    auto* r = static_cast<Recorder*>(ctx);
    Recorder::Entry e{'o', event, 0, ref, std::this_thread::get_id()};
    if (r->onObject)
        r->onObject(e);
    r->add(e);
    return 0;
}

struct ProgressLog {
    std::vector<EdsUInt32> percents;
    std::set<std::thread::id> threads;
    EdsUInt32 cancelAt = 1000;
};
EdsError progressCb(EdsUInt32 percent, void* ctx, EdsBool* cancel)
{
    auto* p = static_cast<ProgressLog*>(ctx);
    p->percents.push_back(percent);
    p->threads.insert(std::this_thread::get_id());
    if (cancel && percent >= p->cancelAt)
        *cancel = 1;
    return 0;
}

class GPhoto2SdkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        lib = std::make_shared<FakeLibrary>();
        GPhoto2CameraSdk::Options options;
        options.watchUsb = false;
        options.eventPollMs = 5;
        options.refreshAfterEventMs = 0;
        options.refreshGapMs = 0;
        options.refreshIntervalMs = 60000;
        options.rescanDelaysMs = {0};
        options.lookAgainMs = 10;
        sdk = std::make_unique<GPhoto2CameraSdk>(std::make_unique<FakePort>(lib), options);
        ASSERT_EQ(sdk->EdsInitializeSDK(), EDS_ERR_OK);
        ASSERT_EQ(sdk->EdsSetCameraAddedHandler(addedCb, &rec), EDS_ERR_OK);
    }
    void TearDown() override
    {
        if (sdk) {
            sdk->EdsTerminateSDK();
            sdk.reset();
        }
    }

    // The first camera of a fresh list, retained; the list released.
    EdsCameraRef firstCamera()
    {
        EdsCameraListRef list = nullptr;
        EXPECT_EQ(sdk->EdsGetCameraList(&list), EDS_ERR_OK);
        EdsUInt32 count = 0;
        EXPECT_EQ(sdk->EdsGetChildCount(list, &count), EDS_ERR_OK);
        EdsCameraRef cam = nullptr;
        if (count > 0) {
            EXPECT_EQ(sdk->EdsGetChildAtIndex(list, 0, &cam), EDS_ERR_OK);
        }
        sdk->EdsRelease(list);
        return cam;
    }

    EdsCameraRef openCamera()
    {
        EdsCameraRef cam = firstCamera();
        EXPECT_NE(cam, nullptr);
        EXPECT_EQ(sdk->EdsSetCameraStateEventHandler(cam, kEdsStateEvent_All, stateCb, &rec), EDS_ERR_OK);
        EXPECT_EQ(sdk->EdsOpenSession(cam), EDS_ERR_OK);
        EXPECT_EQ(sdk->EdsSetPropertyEventHandler(cam, kEdsPropertyEvent_All, propertyCb, &rec), EDS_ERR_OK);
        EXPECT_EQ(sdk->EdsSetObjectEventHandler(cam, kEdsObjectEvent_All, objectCb, &rec), EDS_ERR_OK);
        return cam;
    }

    EdsUInt32 number(EdsCameraRef cam, EdsPropertyID id, EdsError* status = nullptr)
    {
        EdsUInt32 v = 0xDEADBEEF;
        EdsError e = sdk->EdsGetPropertyData(cam, id, 0, 4, &v);
        if (status)
            *status = e;
        else
            EXPECT_EQ(e, EDS_ERR_OK) << std::hex << id;
        return v;
    }

    EdsError setNumber(EdsCameraRef cam, EdsPropertyID id, EdsUInt32 v)
    {
        return sdk->EdsSetPropertyData(cam, id, 0, 4, &v);
    }

    std::string widget(const std::string& name)
    {
        std::lock_guard<std::mutex> g(lib->m);
        return lib->widgets[name].text;
    }

    std::shared_ptr<FakeLibrary> lib;
    std::unique_ptr<GPhoto2CameraSdk> sdk;
    Recorder rec;
};

}  // namespace

TEST_F(GPhoto2SdkTest, CameraListFromDetectionWithStableHandles)
{
    {
        std::lock_guard<std::mutex> g(lib->m);
        lib->cameras.push_back({"Canon EOS 600D", "usb:001,009"});
    }
    EdsCameraListRef list = nullptr;
    ASSERT_EQ(sdk->EdsGetCameraList(&list), EDS_ERR_OK);
    EdsUInt32 count = 0;
    ASSERT_EQ(sdk->EdsGetChildCount(list, &count), EDS_ERR_OK);
    ASSERT_EQ(count, 2u);
    EdsCameraRef second = nullptr;
    ASSERT_EQ(sdk->EdsGetChildAtIndex(list, 1, &second), EDS_ERR_OK);
    EXPECT_EQ(sdk->EdsGetChildAtIndex(list, 2, &second), EDS_ERR_INVALID_INDEX);
    EdsDeviceInfo info;
    ASSERT_EQ(sdk->EdsGetDeviceInfo(second, &info), EDS_ERR_OK);
    EXPECT_STREQ(info.szDeviceDescription, "Canon EOS 600D");
    EXPECT_STREQ(info.szPortName, "usb:001,009");
    sdk->EdsRelease(list);
    EXPECT_EQ(firstCamera() == nullptr, false);
    EdsCameraListRef again = nullptr;
    ASSERT_EQ(sdk->EdsGetCameraList(&again), EDS_ERR_OK);
    EdsCameraRef same = nullptr;
    ASSERT_EQ(sdk->EdsGetChildAtIndex(again, 1, &same), EDS_ERR_OK);
    EXPECT_EQ(same, second);
    sdk->EdsRelease(same);
    sdk->EdsRelease(second);
    sdk->EdsRelease(again);
    EXPECT_EQ(rec.count('a', 0), 0);  // listing announces nothing
}

TEST_F(GPhoto2SdkTest, HotPlugRaisesAddedAndUnplugRaisesShutdown)
{
    EdsCameraRef cam = openCamera();
    {
        std::lock_guard<std::mutex> g(lib->m);
        lib->cameras.push_back({"Canon EOS 7D", "usb:002,003"});
    }
    sdk->usbDeviceChanged(true);
    ASSERT_TRUE(waitUntil([&] { return rec.count('a', 0) == 1; }));
    sdk->usbDeviceChanged(true);  // nothing new: no second announcement
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(rec.count('a', 0), 1);

    {
        std::lock_guard<std::mutex> g(lib->m);
        lib->cameras.erase(lib->cameras.begin());
    }
    sdk->usbDeviceChanged(false);
    ASSERT_TRUE(waitUntil([&] { return rec.count('s', kEdsStateEvent_Shutdown) == 1; }));
    EdsUInt32 v;
    EXPECT_EQ(sdk->EdsGetPropertyData(cam, kISO, 0, 4, &v), EDS_ERR_COMM_DISCONNECTED);
    EXPECT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_COMM_DISCONNECTED);
    EdsCameraRef remaining = firstCamera();
    ASSERT_NE(remaining, nullptr);
    EdsDeviceInfo info;
    ASSERT_EQ(sdk->EdsGetDeviceInfo(remaining, &info), EDS_ERR_OK);
    EXPECT_STREQ(info.szDeviceDescription, "Canon EOS 7D");
    sdk->EdsRelease(remaining);
    sdk->EdsRelease(cam);
}

TEST_F(GPhoto2SdkTest, CameraPulledOutDuringTheSessionIsShutDown)
{
    EdsCameraRef cam = openCamera();
    {
        std::lock_guard<std::mutex> g(lib->m);
        lib->gone = true;
        lib->cameras.clear();
        lib->cv.notify_all();
    }
    ASSERT_TRUE(waitUntil([&] { return rec.count('s', kEdsStateEvent_Shutdown) == 1; }));
    EXPECT_EQ(sdk->EdsCloseSession(cam), EDS_ERR_COMM_DISCONNECTED);
    sdk->EdsRelease(cam);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(rec.count('s', kEdsStateEvent_Shutdown), 1);
}

// A camera that falls silent on the bus (asleep, its session hung), in its session or
// already when it is opened: it is closed as gone (0x301), kept out of the camera list while
// silent, tried again, and announced as a new camera once it answers, whose session works.
class GPhoto2SilentCameraTest : public GPhoto2SdkTest, public ::testing::WithParamInterface<bool> {};

TEST_P(GPhoto2SilentCameraTest, IsClosedAndComesBackAsANewCameraWhenItAnswers)
{
    const bool silentWhenOpened = GetParam();
    EdsCameraRef cam = firstCamera();
    ASSERT_EQ(sdk->EdsSetCameraStateEventHandler(cam, kEdsStateEvent_All, stateCb, &rec), EDS_ERR_OK);
    if (silentWhenOpened) {
        lib->setSilent(true);
        EXPECT_EQ(sdk->EdsOpenSession(cam), EDS_ERR_WAIT_TIMEOUT_ERROR);
    } else {
        ASSERT_EQ(sdk->EdsOpenSession(cam), EDS_ERR_OK);
        lib->setSilent(true);
    }
    ASSERT_TRUE(waitUntil([&] { return rec.count('s', kEdsStateEvent_Shutdown) == 1; }));
    EXPECT_EQ(firstCamera(), nullptr) << "listed while it does not answer";
    int attempts = 0;
    {
        std::lock_guard<std::mutex> g(lib->m);
        attempts = lib->openAttempts;
    }
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> g(lib->m);
        return lib->openAttempts >= attempts + 2;
    }));
    EXPECT_EQ(rec.count('a', 0), 0);
    EXPECT_EQ(firstCamera(), nullptr);

    lib->setSilent(false);
    ASSERT_TRUE(waitUntil([&] { return rec.count('a', 0) == 1; }));
    EdsCameraRef again = firstCamera();
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, cam);
    ASSERT_EQ(sdk->EdsOpenSession(again), EDS_ERR_OK);
    EXPECT_EQ(sdk->EdsSendCommand(again, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    EXPECT_EQ(sdk->EdsCloseSession(again), EDS_ERR_OK);
    sdk->EdsRelease(again);
    sdk->EdsRelease(cam);
}

INSTANTIATE_TEST_SUITE_P(InItsSessionOrWhenOpened, GPhoto2SilentCameraTest, ::testing::Bool());

TEST_F(GPhoto2SdkTest, SessionRules)
{
    EdsCameraRef cam = firstCamera();
    EdsUInt32 v;
    EXPECT_EQ(sdk->EdsGetPropertyData(cam, kISO, 0, 4, &v), EDS_ERR_SESSION_NOT_OPEN);
    EXPECT_EQ(sdk->EdsCloseSession(cam), EDS_ERR_SESSION_NOT_OPEN);
    ASSERT_EQ(sdk->EdsOpenSession(cam), EDS_ERR_OK);
    EXPECT_EQ(sdk->EdsOpenSession(cam), EDS_ERR_SESSION_ALREADY_OPEN);
    EXPECT_EQ(sdk->EdsCloseSession(cam), EDS_ERR_OK);
    ASSERT_EQ(sdk->EdsOpenSession(cam), EDS_ERR_OK);
    EXPECT_EQ(lib->opens, 2);
    EXPECT_EQ(sdk->EdsCloseSession(cam), EDS_ERR_OK);
    sdk->EdsRelease(cam);
}

TEST_F(GPhoto2SdkTest, PropertiesReadWriteAndDescribe)
{
    EdsCameraRef cam = openCamera();
    EdsDataType type = 0;
    EdsUInt32 size = 0;
    ASSERT_EQ(sdk->EdsGetPropertySize(cam, kISO, 0, &type, &size), EDS_ERR_OK);
    EXPECT_EQ(type, kEdsDataType_UInt32);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(number(cam, kISO), 0x48u);
    EdsPropertyDesc desc;
    ASSERT_EQ(sdk->EdsGetPropertyDesc(cam, kISO, &desc), EDS_ERR_OK);
    ASSERT_EQ(desc.numElements, 6);
    EXPECT_EQ(desc.propDesc[0], 0);
    EXPECT_EQ(desc.propDesc[5], 0x68);

    ASSERT_EQ(setNumber(cam, kISO, 0x60), EDS_ERR_OK);
    EXPECT_EQ(widget("iso"), "800");
    EXPECT_EQ(number(cam, kISO), 0x60u);
    EXPECT_EQ(setNumber(cam, kISO, 0x78), EDS_ERR_INVALID_DEVICEPROP_VALUE);  // not offered by this camera
    EXPECT_EQ(widget("iso"), "800");
    ASSERT_TRUE(waitUntil([&] { return rec.count('p', kEdsPropertyEvent_PropertyChanged, kISO) == 1; }));

    // Strings, the clock and read-only widgets.
    ASSERT_EQ(sdk->EdsGetPropertySize(cam, 0x40D, 0, &type, &size), EDS_ERR_OK);
    EXPECT_EQ(type, kEdsDataType_String);
    std::vector<char> lens(size);
    ASSERT_EQ(sdk->EdsGetPropertyData(cam, 0x40D, 0, size, lens.data()), EDS_ERR_OK);
    EXPECT_STREQ(lens.data(), "EF24-105mm f/4L IS USM");
    char shortBuffer[4];
    EXPECT_EQ(sdk->EdsGetPropertyData(cam, 0x40D, 0, sizeof shortBuffer, shortBuffer), EDS_ERR_INVALID_LENGTH);
    EXPECT_EQ(sdk->EdsSetPropertyData(cam, 0x40D, 0, 4, "abc"), EDS_ERR_NOT_SUPPORTED);
    ASSERT_EQ(sdk->EdsSetPropertyData(cam, kOwnerName, 0, 4, "Ann"), EDS_ERR_OK);
    EXPECT_EQ(widget("ownername"), "Ann");
    EXPECT_EQ(sdk->EdsSetPropertyData(cam, kOwnerName, 0, 3, "Ann"), EDS_ERR_DEVICE_INVALID_PARAMETER);  // no NUL
    EXPECT_EQ(number(cam, 0x8), 75u);

    EdsTime t{};
    ASSERT_EQ(sdk->EdsGetPropertySize(cam, kDateTime, 0, &type, &size), EDS_ERR_OK);
    EXPECT_EQ(type, kEdsDataType_Time);
    EXPECT_EQ(size, 28u);
    EdsTime wanted{2027, 3, 4, 5, 6, 7, 0};
    ASSERT_EQ(sdk->EdsSetPropertyData(cam, kDateTime, 0, sizeof wanted, &wanted), EDS_ERR_OK);
    ASSERT_EQ(sdk->EdsGetPropertyData(cam, kDateTime, 0, sizeof t, &t), EDS_ERR_OK);
    EXPECT_EQ(t.year, 2027u);
    EXPECT_EQ(t.month, 3u);
    EXPECT_EQ(t.minute, 6u);
    EdsTime bad{2027, 2, 31, 0, 0, 0, 0};
    EXPECT_EQ(sdk->EdsSetPropertyData(cam, kDateTime, 0, sizeof bad, &bad), EDS_ERR_DEVICE_INVALID_PARAMETER);
    sdk->EdsRelease(cam);
}

TEST_F(GPhoto2SdkTest, UnknownAndMissingPropertiesAreNotSupported)
{
    EdsCameraRef cam = openCamera();
    EdsDataType type;
    EdsUInt32 size;
    EdsPropertyDesc desc;
    for (EdsPropertyID id : {0x10Fu, 0x9u, 0x12345u, static_cast<EdsUInt32>(kColorSpace)}) {
        EXPECT_EQ(sdk->EdsGetPropertySize(cam, id, 0, &type, &size), EDS_ERR_NOT_SUPPORTED) << std::hex << id;
        EdsUInt32 v;
        EXPECT_EQ(sdk->EdsGetPropertyData(cam, id, 0, 4, &v), EDS_ERR_NOT_SUPPORTED) << std::hex << id;
        EXPECT_EQ(setNumber(cam, id, 1), EDS_ERR_NOT_SUPPORTED) << std::hex << id;
        EXPECT_EQ(sdk->EdsGetPropertyDesc(cam, id, &desc), EDS_ERR_NOT_SUPPORTED) << std::hex << id;
    }
    // A value the name tables have no code for: the read fails rather than inventing one.
    {
        std::lock_guard<std::mutex> g(lib->m);
        lib->widgets["iso"].text = "Hi 1";
    }
    EdsError status;
    number(cam, kISO, &status);
    EXPECT_EQ(status, EDS_ERR_PROPERTIES_UNAVAILABLE);
    sdk->EdsRelease(cam);
}

TEST_F(GPhoto2SdkTest, CameraSideChangesAreAnnounced)
{
    EdsCameraRef cam = openCamera();
    {
        std::lock_guard<std::mutex> g(lib->m);
        lib->widgets["aperture"].text = "8";
        lib->widgets["shutterspeed"].choices = {"1/60", "1/125"};
    }
    lib->push(GPEvent{GPEventType::Unknown, "", "", "PTP Property d101 changed"});
    ASSERT_TRUE(waitUntil([&] {
        return rec.count('p', kEdsPropertyEvent_PropertyChanged, 0x405) == 1 &&
               rec.count('p', kEdsPropertyEvent_PropertyDescChanged, 0x406) == 1;
    }));
    EXPECT_EQ(number(cam, 0x405), 0x38u);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(rec.count('p', kEdsPropertyEvent_PropertyChanged, kISO), 0);
    sdk->EdsRelease(cam);
}

TEST_F(GPhoto2SdkTest, PictureToTheHostIsTransferredWithProgress)
{
    EdsCameraRef cam = openCamera();
    ASSERT_EQ(setNumber(cam, kSaveTo, kEdsSaveTo_Host), EDS_ERR_OK);
    EXPECT_EQ(widget("capturetarget"), "Internal RAM");
    EXPECT_EQ(number(cam, kSaveTo), 2u);

    std::vector<uint8_t> received;
    std::string name;
    ProgressLog progress;
    EdsError downloadStatus = 0xFFFF, completeStatus = 0xFFFF;
    rec.onObject = [&](const Recorder::Entry& e) {
        if (e.event != kEdsObjectEvent_DirItemRequestTransfer)
            return;
        EdsDirectoryItemInfo info;
        ASSERT_EQ(sdk->EdsGetDirectoryItemInfo(e.ref, &info), EDS_ERR_OK);
        name = info.szFileName;
        received.assign(info.size, 0);
        EdsStreamRef stream = nullptr;
        ASSERT_EQ(sdk->EdsCreateMemoryStreamFromPointer(received.data(), received.size(), &stream), EDS_ERR_OK);
        ASSERT_EQ(sdk->EdsSetProgressCallback(stream, progressCb, kEdsProgressOption_Periodically, &progress),
                  EDS_ERR_OK);
        downloadStatus = sdk->EdsDownload(e.ref, info.size, stream);
        completeStatus = sdk->EdsDownloadComplete(e.ref);
        sdk->EdsRelease(stream);
    };
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    ASSERT_TRUE(waitUntil([&] { return rec.count('o', kEdsObjectEvent_DirItemRequestTransfer) == 1; }));
    EXPECT_EQ(downloadStatus, EDS_ERR_OK);
    EXPECT_EQ(completeStatus, EDS_ERR_OK);
    EXPECT_EQ(name, "IMG_0001.JPG");
    ASSERT_EQ(received.size(), 5001u);
    for (size_t i = 0; i < received.size(); ++i)
        ASSERT_EQ(received[i], static_cast<uint8_t>(i * 7 + 1)) << i;
    ASSERT_FALSE(progress.percents.empty());
    EXPECT_EQ(progress.percents.back(), 100u);
    EXPECT_TRUE(std::is_sorted(progress.percents.begin(), progress.percents.end()));
    EXPECT_EQ(progress.threads, std::set<std::thread::id>{sdk->callbackThreadId()});
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> g(lib->m);
        return lib->deleted.size() == 1;
    }));  // taken out of the camera's memory once downloaded
    ASSERT_TRUE(sdk->waitForIdle());
    sdk->EdsRelease(cam);
    sdk.reset();
    lib->cameras.clear();
}

TEST_F(GPhoto2SdkTest, PictureWithoutASizeAndOnTheCard)
{
    EdsCameraRef cam = openCamera();
    ASSERT_EQ(setNumber(cam, kSaveTo, kEdsSaveTo_Both), EDS_ERR_OK);
    EXPECT_EQ(widget("capturetarget"), "Memory card");
    EXPECT_EQ(number(cam, kSaveTo), 3u);
    {
        std::lock_guard<std::mutex> g(lib->m);
        lib->sizeUnknown = true;
    }
    EdsUInt64 size = 0;
    rec.onObject = [&](const Recorder::Entry& e) {
        EdsDirectoryItemInfo info;
        if (sdk->EdsGetDirectoryItemInfo(e.ref, &info) == EDS_ERR_OK)
            size = info.size;
        EXPECT_EQ(sdk->EdsDownloadComplete(e.ref), EDS_ERR_OK);
    };
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_PressShutterButton, 3), EDS_ERR_OK);
    EXPECT_EQ(widget("eosremoterelease"), "Press Full");
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_PressShutterButton, 0), EDS_ERR_OK);
    EXPECT_EQ(widget("eosremoterelease"), "Release Full");
    ASSERT_TRUE(waitUntil([&] { return rec.count('o', kEdsObjectEvent_DirItemRequestTransfer) == 1; }));
    EXPECT_EQ(size, 5001u);  // fetched to learn its size
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_TRUE(lib->deleted.empty()) << "a picture meant for the card stays there";

    ASSERT_EQ(setNumber(cam, kSaveTo, kEdsSaveTo_Camera), EDS_ERR_OK);
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    ASSERT_TRUE(waitUntil([&] { return rec.count('o', kEdsObjectEvent_DirItemCreated) == 1; }));
    EXPECT_EQ(rec.count('o', kEdsObjectEvent_DirItemRequestTransfer), 1);
    sdk->EdsRelease(cam);
}

TEST_F(GPhoto2SdkTest, CancelledDownload)
{
    EdsCameraRef cam = openCamera();
    ASSERT_EQ(setNumber(cam, kSaveTo, kEdsSaveTo_Host), EDS_ERR_OK);
    ProgressLog progress;
    progress.cancelAt = 20;  // the first quarter of the file
    {
        std::lock_guard<std::mutex> g(lib->m);
        lib->holdForCancel = true;
    }
    EdsError status = 0;
    std::vector<uint8_t> buffer(10000);
    rec.onObject = [&](const Recorder::Entry& e) {
        EdsDirectoryItemInfo info;
        ASSERT_EQ(sdk->EdsGetDirectoryItemInfo(e.ref, &info), EDS_ERR_OK);
        EdsStreamRef stream = nullptr;
        ASSERT_EQ(sdk->EdsCreateMemoryStreamFromPointer(buffer.data(), 100, &stream), EDS_ERR_OK);
        EXPECT_EQ(sdk->EdsDownload(e.ref, info.size, stream), EDS_ERR_STREAM_WRITE_ERROR);  // buffer too small
        sdk->EdsRelease(stream);
        ASSERT_EQ(sdk->EdsCreateMemoryStreamFromPointer(buffer.data(), buffer.size(), &stream), EDS_ERR_OK);
        sdk->EdsSetProgressCallback(stream, progressCb, kEdsProgressOption_Periodically, &progress);
        status = sdk->EdsDownload(e.ref, info.size, stream);
        sdk->EdsRelease(stream);
    };
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    ASSERT_TRUE(waitUntil([&] { return rec.count('o', kEdsObjectEvent_DirItemRequestTransfer) == 1; }));
    EXPECT_EQ(status, EDS_ERR_OPERATION_CANCELLED);
    ASSERT_EQ(progress.percents.size(), 1u) << "cancelled at the first report, not later";
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(sdk->liveObjectCount(), 1) << "only the camera is left: items and streams are gone";
    sdk->EdsRelease(cam);
}

TEST_F(GPhoto2SdkTest, CommandsBecomeWidgetWrites)
{
    EdsCameraRef cam = openCamera();
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_PressShutterButton, 1), EDS_ERR_OK);
    EXPECT_EQ(widget("eosremoterelease"), "Press Half");
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_PressShutterButton, 0), EDS_ERR_OK);
    EXPECT_EQ(widget("eosremoterelease"), "Release Half");
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_DriveLensEvf, 2), EDS_ERR_OK);
    EXPECT_EQ(widget("manualfocusdrive"), "Near 2");
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_DriveLensEvf, 0x8001), EDS_ERR_OK);
    EXPECT_EQ(widget("manualfocusdrive"), "Far 1");
    EXPECT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_DriveLensEvf, 7), EDS_ERR_DEVICE_INVALID_PARAMETER);
    EXPECT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_DoEvfAf, 1), EDS_ERR_NOT_SUPPORTED);  // no such widget here
    EXPECT_EQ(sdk->EdsSendCommand(cam, 0x999, 0), EDS_ERR_UNKNOWN_COMMAND);
    ASSERT_EQ(setNumber(cam, kEvfZoom, 5), EDS_ERR_OK);
    EXPECT_EQ(widget("eoszoom"), "5");
    sdk->EdsRelease(cam);
}

TEST_F(GPhoto2SdkTest, LiveViewFromThePreview)
{
    EdsCameraRef cam = openCamera();
    std::vector<uint8_t> buffer(64, 0xAA);
    EdsStreamRef stream = nullptr;
    ASSERT_EQ(sdk->EdsCreateMemoryStreamFromPointer(buffer.data(), buffer.size(), &stream), EDS_ERR_OK);
    EdsEvfImageRef image = nullptr;
    ASSERT_EQ(sdk->EdsCreateEvfImageRef(stream, &image), EDS_ERR_OK);
    EXPECT_EQ(number(cam, kEvfOutput), 1u);
    EXPECT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_DEVICE_INVALID);  // not sent to the host

    ASSERT_EQ(setNumber(cam, kEvfMode, 1), EDS_ERR_OK);
    EXPECT_EQ(number(cam, kEvfMode), 1u);
    EXPECT_EQ(setNumber(cam, kEvfMode, 7), EDS_ERR_INVALID_DEVICEPROP_VALUE);
    ASSERT_EQ(setNumber(cam, kEvfOutput, 3), EDS_ERR_OK);
    EXPECT_EQ(widget("output"), "TFT + PC");
    ASSERT_TRUE(waitUntil([&] { return rec.count('p', kEdsPropertyEvent_PropertyChanged, kEvfOutput) == 1; }));
    ASSERT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_OK);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 10), lib->preview);

    {
        std::lock_guard<std::mutex> g(lib->m);
        lib->preview.assign(100, 0xFF);
    }
    EXPECT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_STREAM_WRITE_ERROR);
    {
        std::lock_guard<std::mutex> g(lib->m);
        lib->preview.clear();
    }
    EXPECT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_OBJECT_NOTREADY);

    // Closing the session takes the viewfinder back and says so.
    ASSERT_EQ(sdk->EdsCloseSession(cam), EDS_ERR_OK);
    ASSERT_TRUE(waitUntil([&] { return rec.count('p', kEdsPropertyEvent_PropertyChanged, kEvfOutput) == 2; }));
    sdk->EdsRelease(image);
    sdk->EdsRelease(stream);
    sdk->EdsRelease(cam);
}

TEST_F(GPhoto2SdkTest, OneWorkerThreadMakesEveryLibraryCallOneAtATime)
{
    EdsCameraRef cam = openCamera();
    ASSERT_EQ(setNumber(cam, kEvfOutput, 2), EDS_ERR_OK);
    lib->callDelayUs = 200;
    std::vector<uint8_t> buffer(1024);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            EdsStreamRef stream = nullptr;
            EdsEvfImageRef image = nullptr;
            std::vector<uint8_t> own(1024);
            sdk->EdsCreateMemoryStreamFromPointer(own.data(), own.size(), &stream);
            sdk->EdsCreateEvfImageRef(stream, &image);
            for (int i = 0; i < 25; ++i) {
                EdsUInt32 v;
                EdsError e = EDS_ERR_OK;
                switch ((t + i) % 4) {
                case 0: e = sdk->EdsGetPropertyData(cam, kISO, 0, 4, &v); break;
                case 1: e = sdk->EdsDownloadEvfImage(cam, image); break;
                case 2: e = sdk->EdsSendCommand(cam, kEdsCameraCommand_DriveLensEvf, 1); break;
                case 3: v = 0x50; e = sdk->EdsSetPropertyData(cam, kISO, 0, 4, &v); break;
                }
                if (e != EDS_ERR_OK)
                    failures++;
            }
            sdk->EdsRelease(image);
            sdk->EdsRelease(stream);
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_TRUE(sdk->waitForIdle());
    std::lock_guard<std::mutex> g(lib->m);
    EXPECT_FALSE(lib->overlapped.load());
    EXPECT_EQ(lib->threads, std::set<std::thread::id>{sdk->workerThreadId()});
    EXPECT_GT(lib->calls, 100);
    sdk->EdsRelease(cam);
}

TEST_F(GPhoto2SdkTest, HandlersRunOnTheCallbackThreadHoldingNoLock)
{
    EdsCameraRef cam = openCamera();
    EdsUInt32 seen = 0;
    EdsError seenStatus = 0xFFFF;
    rec.onProperty = [&](const Recorder::Entry& e) {
        if (e.id == kISO)
            seenStatus = sdk->EdsGetPropertyData(cam, kISO, 0, 4, &seen);  // would dead-lock under a lock
    };
    ASSERT_EQ(setNumber(cam, kISO, 0x58), EDS_ERR_OK);
    ASSERT_TRUE(waitUntil([&] { return rec.count('p', kEdsPropertyEvent_PropertyChanged, kISO) == 1; }));
    EXPECT_EQ(seenStatus, EDS_ERR_OK);
    EXPECT_EQ(seen, 0x58u);
    EXPECT_EQ(rec.threads(), std::set<std::thread::id>{sdk->callbackThreadId()});

    // Cleared handlers are not called again.
    ASSERT_EQ(sdk->EdsSetPropertyEventHandler(cam, kEdsPropertyEvent_All, nullptr, nullptr), EDS_ERR_OK);
    ASSERT_EQ(setNumber(cam, kISO, 0x50), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(rec.count('p', kEdsPropertyEvent_PropertyChanged, kISO), 1);
    EXPECT_EQ(sdk->EdsSetPropertyEventHandler(cam, 0x300, propertyCb, &rec), EDS_ERR_INVALID_PARAMETER);
    sdk->EdsRelease(cam);
}

TEST(GPhoto2SdkChoice, BackendByName)
{
#ifdef HAVE_GPHOTO2
    std::shared_ptr<EdsSdk> sdk = EdsCreateSdk("gphoto2");
    ASSERT_NE(sdk, nullptr);
    EXPECT_NE(dynamic_cast<GPhoto2CameraSdk*>(sdk.get()), nullptr);
#else
    EXPECT_EQ(EdsCreateSdk("gphoto2"), nullptr);
#endif
    EXPECT_EQ(EdsCreateSdk("canon"), nullptr);
    GPhoto2CameraSdk none(nullptr);
    EXPECT_EQ(none.EdsInitializeSDK(), EDS_ERR_NOT_SUPPORTED);
    EdsCameraListRef list = nullptr;
    ASSERT_EQ(none.EdsGetCameraList(&list), EDS_ERR_OK);
    EdsUInt32 count = 7;
    EXPECT_EQ(none.EdsGetChildCount(list, &count), EDS_ERR_OK);
    EXPECT_EQ(count, 0u);
    none.EdsRelease(list);
}

TEST(GPhoto2SdkRefresh, ReportsInAQuickRowWaitForTheGap)
{
    auto lib = std::make_shared<FakeLibrary>();
    GPhoto2CameraSdk::Options options;
    options.watchUsb = false;
    options.eventPollMs = 5;
    options.refreshAfterEventMs = 0;
    options.refreshGapMs = 60000;
    options.refreshIntervalMs = 60000;
    GPhoto2CameraSdk sdk(std::make_unique<FakePort>(lib), options);
    Recorder rec;
    EdsCameraListRef list = nullptr;
    ASSERT_EQ(sdk.EdsGetCameraList(&list), EDS_ERR_OK);
    EdsCameraRef cam = nullptr;
    ASSERT_EQ(sdk.EdsGetChildAtIndex(list, 0, &cam), EDS_ERR_OK);
    sdk.EdsRelease(list);
    ASSERT_EQ(sdk.EdsOpenSession(cam), EDS_ERR_OK);  // compares once, as a start
    ASSERT_EQ(sdk.EdsSetPropertyEventHandler(cam, kEdsPropertyEvent_All, propertyCb, &rec), EDS_ERR_OK);
    {
        std::lock_guard<std::mutex> g(lib->m);
        lib->widgets["aperture"].text = "8";
    }
    lib->push(GPEvent{GPEventType::Unknown, "", "", "PTP Property d101 changed"});
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> g(lib->m);
        return lib->events.empty();
    }));
    EdsUInt32 v = 0;
    ASSERT_EQ(sdk.EdsGetPropertyData(cam, 0x405, 0, 4, &v), EDS_ERR_OK);  // the round with the event is over
    EXPECT_EQ(v, 0x38u);
    ASSERT_TRUE(sdk.waitForIdle());
    EXPECT_EQ(rec.count('p', kEdsPropertyEvent_PropertyChanged, 0x405), 0) << "compared again too soon";
    ASSERT_EQ(sdk.EdsCloseSession(cam), EDS_ERR_OK);
    sdk.EdsRelease(cam);
}
