// The SDK core's contracts, through the SDK interface of the simulated camera: handlers
// run on the callback thread holding no lock, a cleared handler is never called once the
// clear has returned, memory streams keep to the caller's buffer; the simulated camera's
// answers the camera library relies on; and the choice of backend. (Clearing a handler on
// the main thread while it waits for that thread is the camera session's unload test.)
#include "EdsSdk.h"
#include "SimCameraSdk.h"
#include "TestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace {

constexpr EdsPropertyID kBatteryLevel = 0x8, kSaveTo = 0xB, kAEMode = 0x400, kISOSpeed = 0x402, kTv = 0x406,
                        kEvfZoom = 0x507;

class SdkCore : public ::testing::Test {
protected:
    void SetUp() override
    {
        sdk->setPictureSize(640, 480);
        ASSERT_EQ(sdk->EdsOpenSession(cam), EDS_ERR_OK);
        ASSERT_EQ(sdk->EdsSetPropertyEventHandler(cam, kEdsPropertyEvent_All, &SdkCore::property, this), EDS_ERR_OK);
        ASSERT_EQ(sdk->EdsSetObjectEventHandler(cam, kEdsObjectEvent_All, &SdkCore::object, this), EDS_ERR_OK);
    }
    void TearDown() override { EXPECT_TRUE(sdk->waitForIdle()); }

    static EdsError property(EdsPropertyEvent, EdsPropertyID id, EdsUInt32, void* context)
    {
        auto* self = static_cast<SdkCore*>(context);
        if (self->onProperty)
            self->onProperty(id);
        ++self->properties;
        return EDS_ERR_OK;
    }
    static EdsError object(EdsObjectEvent event, EdsBaseRef item, void* context)
    {
        auto* self = static_cast<SdkCore*>(context);
        if (event == kEdsObjectEvent_DirItemRequestTransfer && self->onTransfer)
            self->onTransfer(item);
        return EDS_ERR_OK;
    }
    EdsError setU32(EdsPropertyID id, EdsUInt32 value) { return sdk->EdsSetPropertyData(cam, id, 0, sizeof value, &value); }
    EdsError clearPropertyHandler() { return sdk->EdsSetPropertyEventHandler(cam, kEdsPropertyEvent_All, nullptr, nullptr); }

    std::shared_ptr<SimCameraSdk> sdk = std::make_shared<SimCameraSdk>();
    int camId = sdk->connectedCameras().front();
    EdsCameraRef cam = sdk->cameraRef(camId);
    // Set while no event is due, called on the callback thread, read after waitForIdle().
    std::function<void(EdsPropertyID)> onProperty;
    std::function<void(EdsBaseRef)> onTransfer;
    std::atomic<int> properties{0};
};

// A handler may call into the SDK, raising an event there, and clear itself, without a
// dead-lock. (Reading back from a handler on the callback thread is checked on the gphoto2
// backend, over the same core.)
TEST_F(SdkCore, HandlersMayCallBackIntoTheSdkAndClearThemselves)
{
    EdsError cleared = EDS_ERR_INTERNAL_ERROR;
    onProperty = [&](EdsPropertyID id) {
        if (id == kISOSpeed)
            setU32(kEvfZoom, 5);
        else
            cleared = clearPropertyHandler();
    };
    ASSERT_EQ(setU32(kISOSpeed, 0x58), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());
    ASSERT_EQ(setU32(kISOSpeed, 0x60), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(cleared, EDS_ERR_OK);
    EXPECT_EQ(properties, 2);  // the first ISO change and the zoom; the second ISO change reaches nobody
}

TEST_F(SdkCore, AClearedHandlerIsNeverCalledAfterTheClearReturns)
{
    TestGate inside, goOn;
    std::atomic<bool> handlerDone{false};
    onProperty = [&](EdsPropertyID) {
        inside.open();
        goOn.wait();
        handlerDone = true;
    };
    ASSERT_EQ(setU32(kISOSpeed, 0x58), EDS_ERR_OK);
    ASSERT_TRUE(inside.wait());
    // Cleared from another thread while the handler runs: the clear does not wait for it.
    std::thread([&] { clearPropertyHandler(); }).join();
    EXPECT_FALSE(handlerDone);
    goOn.open();
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_TRUE(handlerDone);
    ASSERT_EQ(setU32(kISOSpeed, 0x60), EDS_ERR_OK);
    ASSERT_TRUE(sdk->setCameraProperty(camId, kBatteryLevel, 50));
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(properties, 1);
}

// A transfer into a buffer short of the file fails and leaves the bytes after it alone.
// (Cancelling from the progress handler is a row of the download tests.)
TEST_F(SdkCore, MemoryStreamsKeepToTheCallersBuffer)
{
    ASSERT_EQ(setU32(kSaveTo, kEdsSaveTo_Host), EDS_ERR_OK);
    EdsStreamRef stream = nullptr;
    EXPECT_EQ(sdk->EdsCreateMemoryStreamFromPointer(nullptr, 100, &stream), EDS_ERR_INVALID_POINTER);
    EdsError shortBuffer = EDS_ERR_OK;
    std::vector<uint8_t> guarded;
    onTransfer = [&](EdsBaseRef item) {
        EdsDirectoryItemInfo info{};
        sdk->EdsGetDirectoryItemInfo(item, &info);
        guarded.assign(size_t(info.size), 0xAB);
        sdk->EdsCreateMemoryStreamFromPointer(guarded.data(), info.size - 10, &stream);
        shortBuffer = sdk->EdsDownload(item, info.size, stream);
        sdk->EdsRelease(stream);
    };
    const int handles = sdk->liveObjectCount();
    ASSERT_EQ(sdk->EdsSendCommand(cam, kEdsCameraCommand_TakePicture, 0), EDS_ERR_OK);
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(shortBuffer, EDS_ERR_STREAM_WRITE_ERROR);
    EXPECT_EQ(guarded.back(), 0xAB);
    EXPECT_EQ(sdk->liveObjectCount(), handles);
}

// The simulated camera's command answers the booth's tests rely on: the session rule, one
// picture per press of the shutter button (held down takes no second one), the bulb exposure
// under the shooting mode, and refused commands.
TEST(SimulatedCamera, AnswersCommandsAsACameraDoes)
{
    const auto owner = std::make_shared<SimCameraSdk>();
    SimCameraSdk& sdk = *owner;
    const int camId = sdk.connectedCameras().front();
    const EdsCameraRef cam = sdk.cameraRef(camId);
    const auto command = [&](EdsCameraCommand c, EdsInt32 p) { return sdk.EdsSendCommand(cam, c, p); };
    const auto shutter = [&](EdsInt32 p) { return command(kEdsCameraCommand_PressShutterButton, p); };
    const auto set = [&](EdsPropertyID id, EdsUInt32 v) { return sdk.EdsSetPropertyData(cam, id, 0, sizeof v, &v); };
    const struct {
        const char* name;
        std::function<EdsError()> call;
        EdsError status;
        int pictures;  // taken once the call has had its effect
    } rows[] = {
        {"command without a session", [&] { return shutter(3); }, EDS_ERR_SESSION_NOT_OPEN, 0},
        {"open", [&] { return sdk.EdsOpenSession(cam); }, EDS_ERR_OK, 0},
        {"open again", [&] { return sdk.EdsOpenSession(cam); }, EDS_ERR_SESSION_ALREADY_OPEN, 0},
        {"shutter halfway", [&] { return shutter(1); }, EDS_ERR_OK, 0},
        {"shutter completely", [&] { return shutter(3); }, EDS_ERR_OK, 1},
        {"still held: no second picture", [&] { return shutter(3); }, EDS_ERR_OK, 1},
        {"released", [&] { return shutter(0); }, EDS_ERR_OK, 1},
        {"completely without AF", [&] { return shutter(0x10003); }, EDS_ERR_OK, 2},
        {"shutter state 2", [&] { return shutter(2); }, EDS_ERR_DEVICE_INVALID_PARAMETER, 2},
        {"lens drive 0x8003", [&] { return command(kEdsCameraCommand_DriveLensEvf, 0x8003); }, EDS_ERR_OK, 2},
        {"live-view focus", [&] { return command(kEdsCameraCommand_DoEvfAf, 1); }, EDS_ERR_OK, 2},
        {"lens drive 4", [&] { return command(kEdsCameraCommand_DriveLensEvf, 4); }, EDS_ERR_DEVICE_INVALID_PARAMETER, 2},
        {"unknown command", [&] { return command(0x77, 0); }, EDS_ERR_UNKNOWN_COMMAND, 2},
        {"bulb outside bulb mode", [&] { return command(kEdsCameraCommand_BulbStart, 0); }, EDS_ERR_DEVICE_INVALID_PARAMETER, 2},
        {"bulb mode", [&] { return set(kAEMode, 4); }, EDS_ERR_OK, 2},
        {"shutter speed set by bulb mode", [&] { return set(kTv, 0x70); }, EDS_ERR_DEVICE_INVALID_PARAMETER, 2},
        {"bulb start", [&] { return command(kEdsCameraCommand_BulbStart, 0); }, EDS_ERR_OK, 2},
        {"bulb end takes the picture", [&] { return command(kEdsCameraCommand_BulbEnd, 0); }, EDS_ERR_OK, 3},
        {"manual mode again", [&] { return set(kAEMode, 3); }, EDS_ERR_OK, 3},
        {"a state event raised", [&] { return EdsError(!sdk.raiseStateEvent(camId, kEdsStateEvent_WillSoonShutDown)); }, EDS_ERR_OK, 3},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.call(), row.status) << row.name;
        ASSERT_TRUE(sdk.waitForIdle());
        EXPECT_EQ(sdk.picturesTaken(camId), row.pictures) << row.name;
    }
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
    } kNames[] = {{"sim", true}, {"gphoto2", gphoto2}, {"Sim", false}};
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
    EdsSetCurrentSdk(nullptr);  // nothing chosen: the simulated camera again
    EXPECT_NE(dynamic_cast<SimCameraSdk*>(EdsCurrentSdk().get()), nullptr);
    EdsSetCurrentSdk(nullptr);
}

}  // namespace
