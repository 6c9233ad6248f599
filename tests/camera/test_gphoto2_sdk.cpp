// The libgphoto2 camera SDK against a fake of the libgphoto2 entry points it uses: camera
// list and hot-plug, sessions, properties, commands, pictures, live view, a camera that is
// pulled out or falls silent and comes back, and that every library call is made on the
// one worker thread, one at a time, while handlers come on the callback thread.
#include "EdsSdk.h"
#include "GPhoto2CameraSdk.h"
#include "GPhoto2Worker.h"
#include "TestSupport.h"
#include "test_gphoto2_fake.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace {

enum : EdsPropertyID { kOwnerName = 0x4, kDateTime = 0x6, kSaveTo = 0xB, kAv = 0x405, kISO = 0x402, kLens = 0x40D,
                       kEvfOutput = 0x500, kEvfMode = 0x501 };

// Every callback: 'a'dded, 's'tate, 'p'roperty, 'o'bject.
struct Recorder {
    struct Entry {
        char kind;
        EdsUInt32 event, id;
        EdsBaseRef ref;
    };
    std::mutex m;
    std::vector<Entry> entries;
    std::function<void(const Entry&)> onEntry;  // called on the callback thread, holding no lock
    template <typename F>
    auto locked(F f)
    {
        std::lock_guard<std::mutex> g(m);
        return f();
    }
    void hook(std::function<void(const Entry&)> f) { locked([&] { onEntry = std::move(f); }); }
    EdsError add(const Entry& e)
    {
        if (const auto call = locked([&] { return onEntry; }))
            call(e);
        return locked([&] { return entries.push_back(e), 0; });
    }
    int count(char kind, EdsUInt32 event, EdsUInt32 id = 0xFFFFFFFF)
    {
        return locked([&] {
            return int(std::count_if(entries.begin(), entries.end(), [&](const Entry& e) {
                return e.kind == kind && e.event == event && (id == 0xFFFFFFFF || e.id == id);
            }));
        });
    }
};
Recorder& rec(void* ctx) { return *static_cast<Recorder*>(ctx); }
EdsError addedCb(void* ctx) { return rec(ctx).add({'a', 0, 0, nullptr}); }
EdsError stateCb(EdsStateEvent event, EdsUInt32, void* ctx) { return rec(ctx).add({'s', event, 0, nullptr}); }
EdsError propertyCb(EdsPropertyEvent event, EdsPropertyID id, EdsUInt32, void* ctx)
{
    return rec(ctx).add({'p', event, id, nullptr});
}
EdsError objectCb(EdsObjectEvent event, EdsBaseRef ref, void* ctx) { return rec(ctx).add({'o', event, 0, ref}); }

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
        sdk = std::make_unique<GPhoto2CameraSdk>(std::make_unique<FakePort>(lib), quickOptions());
        ASSERT_EQ(sdk->EdsInitializeSDK(), EDS_ERR_OK);
        ASSERT_EQ(sdk->EdsSetCameraAddedHandler(addedCb, &recorder), EDS_ERR_OK);
    }
    void TearDown() override
    {
        if (sdk)  // not when a test destroyed it
            sdk->EdsTerminateSDK();
    }

    // The camera at the index of a fresh list, retained (null when there is none).
    EdsCameraRef camera(EdsUInt32 index = 0)
    {
        EdsCameraListRef list = nullptr;
        EXPECT_EQ(sdk->EdsGetCameraList(&list), EDS_ERR_OK);
        EdsCameraRef cam = nullptr;
        sdk->EdsGetChildAtIndex(list, index, &cam);
        sdk->EdsRelease(list);
        return cam;
    }
    EdsCameraRef openCamera()
    {
        EdsCameraRef cam = camera();
        EXPECT_EQ(sdk->EdsOpenSession(cam), EDS_ERR_OK);
        EXPECT_EQ(sdk->EdsSetPropertyEventHandler(cam, kEdsPropertyEvent_All, propertyCb, &recorder), EDS_ERR_OK);
        EXPECT_EQ(sdk->EdsSetObjectEventHandler(cam, kEdsObjectEvent_All, objectCb, &recorder), EDS_ERR_OK);
        return cam;
    }
    EdsError number(EdsCameraRef c, EdsPropertyID id, EdsUInt32* v) { return sdk->EdsGetPropertyData(c, id, 0, 4, v); }
    EdsError setNumber(EdsCameraRef c, EdsPropertyID id, EdsUInt32 v) { return sdk->EdsSetPropertyData(c, id, 0, 4, &v); }

    std::shared_ptr<FakeLibrary> lib = std::make_shared<FakeLibrary>();
    std::unique_ptr<GPhoto2CameraSdk> sdk;
    Recorder recorder;
};

}  // namespace

TEST_F(GPhoto2SdkTest, CameraListHotPlugAndSessions)
{
    EdsCameraRef first = camera();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(camera(1), nullptr);
    EdsUInt32 v;
    EXPECT_EQ(number(first, kISO, &v), EDS_ERR_SESSION_NOT_OPEN);
    ASSERT_EQ(sdk->EdsOpenSession(first), EDS_ERR_OK);
    EXPECT_EQ(sdk->EdsOpenSession(first), EDS_ERR_SESSION_ALREADY_OPEN);
    EXPECT_EQ(sdk->EdsCloseSession(first), EDS_ERR_OK);
    ASSERT_EQ(sdk->EdsOpenSession(first), EDS_ERR_OK);

    lib->with([&] { lib->cameras.push_back({"Canon EOS 7D", "usb:002,003"}); });
    sdk->usbDeviceChanged(true);
    ASSERT_TRUE(waitUntil([&] { return recorder.count('a', 0) == 1; }));
    sdk->usbDeviceChanged(true);  // nothing new: no second announcement
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(recorder.count('a', 0), 1);

    sdk->EdsRelease(first);
}

// A camera that goes away in its session (pulled out, or silent on the bus: asleep, its
// session hung) or is silent already when it is opened: it is shut down (0x301), not
// listed while away, looked for again while silent, and comes back as a new camera, on its
// port or on the one it re-enumerated to, whose session takes pictures.
struct Away {
    const char* name;
    bool silent, atOpening;
    const char* backOn;
};
class GPhoto2AwayTest : public GPhoto2SdkTest, public ::testing::WithParamInterface<Away> {};

TEST_P(GPhoto2AwayTest, CameraIsShutDownAndComesBackAsANewCamera)
{
    const Away& away = GetParam();
    EdsCameraRef cam = camera();
    ASSERT_EQ(sdk->EdsSetCameraStateEventHandler(cam, kEdsStateEvent_All, stateCb, &recorder), EDS_ERR_OK);
    lib->setSilent(away.atOpening);
    ASSERT_EQ(sdk->EdsOpenSession(cam), away.atOpening ? EDS_ERR_WAIT_TIMEOUT_ERROR : EDS_ERR_OK);
    if (!away.silent)
        lib->pullOut();
    lib->setSilent(away.silent);
    ASSERT_TRUE(waitUntil([&] { return recorder.count('s', kEdsStateEvent_Shutdown) == 1; }));
    EXPECT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0),
              away.atOpening ? EDS_ERR_DEVICE_NOT_FOUND : EDS_ERR_COMM_DISCONNECTED);
    const int attempts = lib->with([&] { return lib->openAttempts; });
    if (away.silent) {
        ASSERT_TRUE(waitUntil([&] { return lib->with([&] { return lib->openAttempts; }) >= attempts + 2; }));
    }
    EXPECT_EQ(camera(), nullptr) << "listed while away";

    lib->with([&] {
        lib->gone = lib->silent = false;
        lib->cameras = {{"Canon EOS 5D Mark II", away.backOn}};
    });
    if (!away.silent)
        sdk->usbDeviceChanged(true);
    ASSERT_TRUE(waitUntil([&] { return recorder.count('a', 0) == 1; }));
    EdsCameraRef again = camera();
    ASSERT_NE(again, cam);
    EdsDeviceInfo info{};
    ASSERT_EQ(sdk->EdsGetDeviceInfo(again, &info), EDS_ERR_OK);
    EXPECT_STREQ(info.szPortName, away.backOn);
    ASSERT_EQ(sdk->EdsOpenSession(again), EDS_ERR_OK);
    EXPECT_EQ(sdk->EdsSendCommand(again, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    sdk->EdsRelease(again);
    sdk->EdsRelease(cam);
}

INSTANTIATE_TEST_SUITE_P(Ways, GPhoto2AwayTest,
                         ::testing::Values(Away{"PulledOut", false, false, "usb:001,004"},
                                           Away{"SilentInItsSession", true, false, "usb:001,004"},
                                           Away{"SilentWhenOpened", true, true, "usb:001,004"},
                                           Away{"SilentThenOnAnotherPort", true, false, "usb:001,009"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Settings, commands and the viewfinder all go through the camera's widgets. Changes made on
// the camera are announced on the callback thread, whose handler holds no lock and so may
// call back into the SDK.
TEST_F(GPhoto2SdkTest, SettingsCommandsAndLiveViewGoThroughTheWidgets)
{
    EdsCameraRef cam = openCamera();
    EdsDataType type = 0;
    EdsUInt32 size = 0, v = 0;
    EdsPropertyDesc desc;
    ASSERT_EQ(sdk->EdsGetPropertyDesc(cam, kISO, &desc), EDS_ERR_OK);
    EXPECT_EQ(desc.numElements, 6);
    ASSERT_EQ(setNumber(cam, kISO, 0x60), EDS_ERR_OK);
    EXPECT_EQ(setNumber(cam, kISO, 0x78), EDS_ERR_INVALID_DEVICEPROP_VALUE);  // not offered by this camera
    EXPECT_EQ(lib->widget("iso"), "800");
    ASSERT_TRUE(waitUntil([&] { return recorder.count('p', kEdsPropertyEvent_PropertyChanged, kISO) == 1; }));

    // Strings, the clock and read-only widgets.
    ASSERT_EQ(sdk->EdsGetPropertySize(cam, kLens, 0, &type, &size), EDS_ERR_OK);
    EXPECT_EQ(type, EdsDataType(kEdsDataType_String));
    std::vector<char> lens(size);
    ASSERT_EQ(sdk->EdsGetPropertyData(cam, kLens, 0, size, lens.data()), EDS_ERR_OK);
    EXPECT_STREQ(lens.data(), "EF24-105mm f/4L IS USM");
    char shortBuffer[4];
    EXPECT_EQ(sdk->EdsGetPropertyData(cam, kLens, 0, sizeof shortBuffer, shortBuffer), EDS_ERR_INVALID_LENGTH);
    EXPECT_EQ(sdk->EdsSetPropertyData(cam, kLens, 0, 4, "abc"), EDS_ERR_NOT_SUPPORTED);
    ASSERT_EQ(sdk->EdsSetPropertyData(cam, kOwnerName, 0, 4, "Ann"), EDS_ERR_OK);
    EXPECT_EQ(lib->widget("ownername"), "Ann");
    EXPECT_EQ(sdk->EdsSetPropertyData(cam, kOwnerName, 0, 3, "Ann"), EDS_ERR_DEVICE_INVALID_PARAMETER);  // no NUL
    EdsTime wanted{2027, 3, 4, 5, 6, 7, 0}, t{};
    ASSERT_EQ(sdk->EdsSetPropertyData(cam, kDateTime, 0, sizeof wanted, &wanted), EDS_ERR_OK);
    ASSERT_EQ(sdk->EdsGetPropertyData(cam, kDateTime, 0, sizeof t, &t), EDS_ERR_OK);
    EXPECT_EQ(std::vector<EdsUInt32>({t.year, t.month, t.day, t.minute}), std::vector<EdsUInt32>({2027, 3, 4, 6}));
    // libgphoto2 keeps the clock in an int: past 2038 it is refused, not wrapped to 1901.
    const int clockBefore = lib->with([&] { return lib->widgets["datetime"].integer; });
    EdsTime late{2039, 1, 1, 0, 0, 0, 0};
    EXPECT_EQ(sdk->EdsSetPropertyData(cam, kDateTime, 0, sizeof late, &late), EDS_ERR_DEVICE_INVALID_PARAMETER);
    EXPECT_EQ(lib->with([&] { return lib->widgets["datetime"].integer; }), clockBefore);

    // An unmapped property and a widget this camera lacks.
    for (EdsPropertyID id : {0x10Fu, 0x10Du})
        for (EdsError r : {sdk->EdsGetPropertySize(cam, id, 0, &type, &size), number(cam, id, &v), setNumber(cam, id, 1),
                           sdk->EdsGetPropertyDesc(cam, id, &desc)})
            EXPECT_EQ(r, EDS_ERR_NOT_SUPPORTED) << std::hex << id;

    // Commands become widget writes.
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_PressShutterButton, 1), EDS_ERR_OK);
    EXPECT_EQ(lib->widget("eosremoterelease"), "Press Half");
    EXPECT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_DoEvfAf, 1), EDS_ERR_NOT_SUPPORTED);  // no such widget here

    // Changes made on the camera: a value and the choices offered; nothing else is announced,
    // not even the camera's clock running on. (The clock written above is announced first.)
    ASSERT_TRUE(sdk->waitForIdle());
    const int clockChanges = recorder.count('p', kEdsPropertyEvent_PropertyChanged, kDateTime);
    EdsUInt32 seen = 0;
    recorder.hook([&](const Recorder::Entry& e) {
        EXPECT_EQ(std::this_thread::get_id(), sdk->callbackThreadId());
        if (e.kind == 'p' && e.id == kAv) {
            EXPECT_EQ(number(cam, kAv, &seen), EDS_ERR_OK);
        }
    });
    lib->with([&] {
        lib->widgets["aperture"].text = "8";
        lib->widgets["shutterspeed"].choices = {"1/60", "1/125"};
        lib->widgets["datetime"].integer += 1;
    });
    lib->push(GPEvent{GPEventType::Unknown, "", "", "PTP Property d101 changed"});
    ASSERT_TRUE(waitUntil([&] {
        return recorder.count('p', kEdsPropertyEvent_PropertyChanged, kAv) == 1 &&
               recorder.count('p', kEdsPropertyEvent_PropertyDescChanged, 0x406) == 1;
    }));
    EXPECT_EQ(seen, 0x38u);
    ASSERT_TRUE(sdk->waitForIdle());
    recorder.hook(nullptr);
    EXPECT_EQ(recorder.count('p', kEdsPropertyEvent_PropertyChanged, kISO), 1);
    EXPECT_EQ(recorder.count('p', kEdsPropertyEvent_PropertyChanged, kDateTime), clockChanges);

    // Live view: the preview, once the viewfinder is sent to the host.
    std::vector<uint8_t> buffer(64);
    EdsStreamRef stream = nullptr;
    ASSERT_EQ(sdk->EdsCreateMemoryStreamFromPointer(buffer.data(), buffer.size(), &stream), EDS_ERR_OK);
    EdsEvfImageRef image = nullptr;
    ASSERT_EQ(sdk->EdsCreateEvfImageRef(stream, &image), EDS_ERR_OK);
    EXPECT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_DEVICE_INVALID);  // not sent to the host
    ASSERT_EQ(setNumber(cam, kEvfMode, 1), EDS_ERR_OK);
    EXPECT_EQ(setNumber(cam, kEvfMode, 7), EDS_ERR_INVALID_DEVICEPROP_VALUE);
    ASSERT_EQ(setNumber(cam, kEvfOutput, 3), EDS_ERR_OK);
    EXPECT_EQ(lib->widget("output"), "TFT + PC");
    ASSERT_TRUE(waitUntil([&] { return recorder.count('p', kEdsPropertyEvent_PropertyChanged, kEvfOutput) == 1; }));
    ASSERT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_OK);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 10), lib->preview);
    lib->with([&] { lib->preview.assign(100, 0xFF); });
    EXPECT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_STREAM_WRITE_ERROR);
    lib->with([&] { lib->preview.clear(); });
    EXPECT_EQ(sdk->EdsDownloadEvfImage(cam, image), EDS_ERR_OBJECT_NOTREADY);

    // A value without a code is no value; closing the session takes the viewfinder back and says so.
    lib->with([&] { lib->widgets["iso"].text = "Hi 1"; });
    EXPECT_EQ(number(cam, kISO, &v), EDS_ERR_PROPERTIES_UNAVAILABLE);
    ASSERT_EQ(sdk->EdsCloseSession(cam), EDS_ERR_OK);
    ASSERT_TRUE(waitUntil([&] { return recorder.count('p', kEdsPropertyEvent_PropertyChanged, kEvfOutput) == 2; }));
    sdk->EdsRelease(image);
    sdk->EdsRelease(stream);
    sdk->EdsRelease(cam);
}

// A shot by where the host wants it: taken with progress on the callback thread (and out of
// the camera's memory), its size fetched when the camera does not tell, announced only when
// it stays on the card; a transfer cancelled at its first report ends there and leaves no
// item or stream behind. A body that switches its capture target back to the card after
// the shot is set to the host again.
struct Shot {
    const char* name;
    EdsUInt32 saveTo;
    bool sizeUnknown, backToCard, cancel;
    EdsUInt32 event;
    size_t leftOnCard;
    const char* targetAfter;
};
class GPhoto2ShotTest : public GPhoto2SdkTest, public ::testing::WithParamInterface<Shot> {};

TEST_P(GPhoto2ShotTest, PictureGoesWhereTheHostWantsIt)
{
    const Shot& shot = GetParam();
    EdsCameraRef cam = openCamera();
    ASSERT_EQ(setNumber(cam, kSaveTo, shot.saveTo), EDS_ERR_OK);
    lib->with([&] { lib->sizeUnknown = shot.sizeUnknown, lib->targetBackToCard = shot.backToCard, lib->holdForCancel = shot.cancel; });
    std::vector<uint8_t> received(10000);
    EdsUInt64 size = 0;
    EdsError status = 0xFFFF;
    ProgressLog progress;
    progress.cancelAt = shot.cancel ? 20 : 1000;  // the first quarter of the file
    recorder.hook([&](const Recorder::Entry& e) {
        EdsDirectoryItemInfo info;
        if (e.kind != 'o' || e.event != kEdsObjectEvent_DirItemRequestTransfer || sdk->EdsGetDirectoryItemInfo(e.ref, &info))
            return;
        size = info.size;
        EdsStreamRef stream = nullptr;
        ASSERT_EQ(sdk->EdsCreateMemoryStreamFromPointer(received.data(), received.size(), &stream), EDS_ERR_OK);
        sdk->EdsSetProgressCallback(stream, progressCb, kEdsProgressOption_Periodically, &progress);
        if ((status = sdk->EdsDownload(e.ref, size, stream)) == EDS_ERR_OK) {
            EXPECT_EQ(sdk->EdsDownloadComplete(e.ref), EDS_ERR_OK);
        }
        sdk->EdsRelease(stream);
    });
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    ASSERT_TRUE(waitUntil([&] { return recorder.count('o', shot.event) == 1; }));
    ASSERT_TRUE(waitUntil([&] { return lib->widget("capturetarget") == shot.targetAfter; }));
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(lib->with([&] { return lib->files.size(); }), shot.leftOnCard);
    EXPECT_EQ(sdk->liveObjectCount(), 1) << "only the camera is left: items and streams are gone";
    if (shot.event == kEdsObjectEvent_DirItemRequestTransfer) {
        EXPECT_EQ(size, 5001u);
        EXPECT_EQ(status, shot.cancel ? EDS_ERR_OPERATION_CANCELLED : EDS_ERR_OK);
        ASSERT_FALSE(progress.percents.empty());
        EXPECT_EQ(shot.cancel ? progress.percents.size() : progress.percents.back(), shot.cancel ? 1u : 100u)
            << "a cancel ends the transfer at the first report, not later; a transfer ends at 100 %";
        EXPECT_EQ(progress.threads, std::set<std::thread::id>{sdk->callbackThreadId()});
    }
    sdk->EdsRelease(cam);
}

INSTANTIATE_TEST_SUITE_P(
    Destinations, GPhoto2ShotTest,
    ::testing::Values(
        Shot{"BothWithoutASize", kEdsSaveTo_Both, true, false, false, kEdsObjectEvent_DirItemRequestTransfer, 1, "Memory card"},
        Shot{"OnTheCard", kEdsSaveTo_Camera, false, false, false, kEdsObjectEvent_DirItemCreated, 1, "Memory card"},
        Shot{"Cancelled", kEdsSaveTo_Host, false, false, true, kEdsObjectEvent_DirItemRequestTransfer, 1, "Internal RAM"},
        Shot{"ToTheHostOfABodySwitchingBackToTheCard", kEdsSaveTo_Host, false, true, false,
             kEdsObjectEvent_DirItemRequestTransfer, 0, "Internal RAM"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(GPhoto2SdkTest, OneWorkerThreadMakesEveryLibraryCallOneAtATime)
{
    EdsCameraRef cam = openCamera();
    lib->callDelayUs = 200;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                EdsUInt32 v = 0x50;
                const int op = (t + i) % 3;
                failures += (op == 0   ? number(cam, kISO, &v)
                             : op == 1 ? sdk->EdsSendCommand(cam, kEdsCameraCommand_DriveLensEvf, 1)
                                       : setNumber(cam, kISO, v)) != EDS_ERR_OK;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_TRUE(sdk->waitForIdle());
    std::lock_guard<std::mutex> g(lib->m);
    EXPECT_FALSE(lib->overlapped.load());
    EXPECT_EQ(lib->threads, std::set<std::thread::id>{sdk->workerThreadId()});
    sdk->EdsRelease(cam);
}

// A call queued when the worker stops, or made after, answers at once instead of waiting
// for good (or throwing a broken promise).
TEST(GPhoto2WorkerStop, CallsQueuedAtTheStopOrMadeAfterItAnswer)
{
    GPhoto2Worker worker;
    std::promise<void> polling, release;
    std::shared_future<void> released = release.get_future().share();
    bool first = true;
    worker.start([&] {
        if (std::exchange(first, false)) { // the worker is busy until released
            polling.set_value();
            released.wait();
        }
        return false;
    }, [] {});
    polling.get_future().wait();
    auto queued = std::async(std::launch::async, [&] { return worker.run<int>([] { return 1; }, -1); });
    ASSERT_TRUE(waitUntil([&] { return !worker.idle(); }));  // queued behind the busy worker
    std::thread stopping([&] { worker.stop(); });
    while (worker.post([] {})) // until the worker takes no more
        std::this_thread::yield();
    release.set_value();
    stopping.join();
    ASSERT_EQ(queued.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(queued.get(), -1);
    EXPECT_EQ(worker.run<int>([] { return 1; }, -1), -1);
}

// A download the host starts while the SDK goes away, after its worker has stopped, ends as
// a lost connection: the worker refuses the fetch, so the download does not wait for it, nor
// the SDK's end for the download (it is on the callback thread, which the end joins).
TEST_F(GPhoto2SdkTest, DownloadWhenTheWorkerHasStoppedEndsAsALostConnection)
{
    EdsCameraRef cam = openCamera();
    ASSERT_EQ(setNumber(cam, kSaveTo, kEdsSaveTo_Host), EDS_ERR_OK);
    GPhoto2CameraSdk* going = sdk.get();
    std::vector<uint8_t> received(10000);
    std::promise<void> requested;
    std::promise<EdsError> result;
    recorder.hook([&](const Recorder::Entry& e) {
        if (e.kind != 'o' || e.event != kEdsObjectEvent_DirItemRequestTransfer)
            return;
        EdsStreamRef stream = nullptr;
        EXPECT_EQ(going->EdsCreateMemoryStreamFromPointer(received.data(), received.size(), &stream), EDS_ERR_OK);
        requested.set_value();
        {  // the SDK's end closes the camera once its worker has stopped
            std::unique_lock<std::mutex> g(lib->m);
            lib->cv.wait(g, [&] { return lib->closed > 0; });
        }
        result.set_value(going->EdsDownload(e.ref, FakeLibrary::picture(1).size(), stream));
    });
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    ASSERT_EQ(requested.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    std::future<EdsError> downloaded = result.get_future();
    std::thread ending([s = sdk.release()] { delete s; });
    if (downloaded.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ending.detach();  // stuck for good
        FAIL() << "the download waits for a fetch that will never run, and the SDK's end for it";
    }
    ending.join();
    EXPECT_EQ(downloaded.get(), EDS_ERR_COMM_DISCONNECTED);
}

TEST_F(GPhoto2SdkTest, ReportsInAQuickRowWaitForTheGap)
{
    sdk->EdsTerminateSDK();
    sdk = std::make_unique<GPhoto2CameraSdk>(std::make_unique<FakePort>(lib), quickOptions(60000));
    EdsCameraRef cam = openCamera();  // compares once, as a start
    lib->with([&] { lib->widgets["aperture"].text = "8"; });
    lib->push(GPEvent{GPEventType::Unknown, "", "", "PTP Property d101 changed"});
    ASSERT_TRUE(waitUntil([&] { return lib->with([&] { return lib->events.empty(); }); }));
    EdsUInt32 av = 0;
    EXPECT_EQ(number(cam, kAv, &av), EDS_ERR_OK);  // the round with the event is over
    EXPECT_EQ(av, 0x38u);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(recorder.count('p', kEdsPropertyEvent_PropertyChanged, kAv), 0) << "compared again too soon";
    sdk->EdsRelease(cam);
}
