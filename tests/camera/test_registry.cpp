// The camera registry: list updates on their own threads, refused updates never lost, bad
// children, the non-blocking snapshot, known cameras keeping their objects, and the
// shutdown. Driven by the scripted SDK.
#include "camera/CameraFixture.h"
#include "camera/FakeEdsSdk.h"

#include <atomic>

namespace {

using RegistryTest = CameraFixture<FakeEdsSdk>;

TEST_F(RegistryTest, ListUpdates)
{
    const struct {
        const char* name;
        int cameras;
        const char* fault;  // a call failing in the second update
        std::map<int, EdsError> children;
        std::vector<int> visited;
        qsizetype listed;
    } rows[] = {
        {"two, last child first", 2, nullptr, {}, {1, 0}, 2},
        {"null child skipped", 3, nullptr, {{1, EDS_ERR_OK}}, {2, 1, 0}, 2},
        {"failing child ends the visit", 3, nullptr, {{1, EDS_ERR_COMM_DISCONNECTED}}, {2, 1}, 1},
        {"none after one", 1, "disconnect", {}, {0}, 1},
        {"child count fails", 1, "EdsGetChildCount", {}, {0}, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        std::vector<EdsCameraRef> refs;
        for (int i = 0; i < row.cameras; ++i)
            refs.push_back(sdk->addCamera("Canon EOS " + std::to_string(i)));
        sdk->locked([&] { return (sdk->childFaults = row.children, 0); });
        startRegistry();
        EXPECT_EQ(sdk->locked([&] { return sdk->visitedIndices; }), row.visited);
        ASSERT_EQ(countReceived(SNP_CanonCameraListDidUpdate), 1);
        EXPECT_EQ(sdk->count("EdsRelease(list)"), 1);  // the list given back, also after a failing child
        const SNP_CanonCameraList cameras = registry();
        ASSERT_EQ(cameras.size(), row.listed);
        EXPECT_EQ(cameras[0]->cameraRef(), refs.back());
        EXPECT_EQ(sdk->refCount(refs.back()), 1u);  // the camera object's reference only
        EXPECT_EQ(sdk->refCount(refs[0]), row.visited.back() == 0 ? 1u : 0u);  // a child never taken: none
        if (row.fault) {
            // Emptied without a notification, the list given back.
            row.fault == std::string("disconnect") ? sdk->disconnectAll() : sdk->fail(row.fault, EDS_ERR_DEVICE_BUSY);
            updateAndWait();
            EXPECT_TRUE(registry().isEmpty());
            EXPECT_EQ(countReceived(SNP_CanonCameraListDidUpdate), 1);
            EXPECT_EQ(sdk->count("EdsRelease(list)"), 2);
        }
    }
    // Listed again, the camera is posted once; the same list again posts nothing.
    sdk->fail("EdsGetChildCount", EDS_ERR_OK);
    updateAndWait();
    updateAndWait();
    EXPECT_EQ(countReceived(SNP_CanonCameraListDidUpdate), 2);
}

TEST_F(RegistryTest, CameraAddedCallbackUpdatesAndPostsOnTheMainThread)
{
    startRegistry();
    sdk->addCamera("Canon EOS 5D");
    onSdkThread([] { EXPECT_EQ(SNP_CanonCamera::cameraAdded(nullptr), EDS_ERR_OK); });
    ASSERT_TRUE(waitUntil([&] {
        return countReceived(SNP_CanonCameraAdded) == 1 && countReceived(SNP_CanonCameraListDidUpdate) == 1;
    }));
    EXPECT_TRUE(receivedNamed()[0].onMainThread);
    EXPECT_EQ(registry().size(), 1);
}

// Updates refused while one runs are never lost: however many there were, one catch-up
// follows and finds a camera plugged in meanwhile, even when a refused update is held until
// the running one has ended.
TEST_F(RegistryTest, RefusedUpdatesCollapseIntoOneCatchUp)
{
    sdk->addCamera("Canon EOS 5D");
    startRegistry();
    TestGate listed, goOn, ended;
    std::atomic<int> refused{0};
    sdk->setWhenCalled([&](const std::string& call) {
        if (call == "EdsGetChildCount" && sdk->count(call) == 2)
            listed.open(), goOn.wait();
    });
    SNP_CanonCamera::setTestStepHook([&](SNP_CanonCamera::TestStep step, const SNP_CanonCamera*) {
        if (step == SNP_CanonCamera::TestStep::UpdateRefused && ++refused == 1)
            ended.wait();
        else if (step == SNP_CanonCamera::TestStep::UpdateEnded)
            ended.open();
    });
    SNP_CanonCamera::updateCameraList();  // lists one camera, then waits
    ASSERT_TRUE(listed.wait());
    sdk->addCamera("Canon EOS 7D");
    for (int i = 0; i < 3; ++i)
        SNP_CanonCamera::updateCameraList();  // refused: the first one still runs
    ASSERT_TRUE(waitUntil([&] { return refused == 3; }));
    goOn.open();
    EXPECT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
    SNP_CanonCamera::setTestStepHook(nullptr);
    sdk->setWhenCalled(nullptr);
    drain();
    EXPECT_EQ(registry().size(), 2);
    EXPECT_EQ(sdk->count("EdsGetCameraList"), 3);  // the start, the held update, one catch-up
    EXPECT_EQ(countReceived(SNP_CanonCameraListDidUpdate), 2);
}

TEST_F(RegistryTest, TheSnapshotAnswersNothingWhileAnUpdateHoldsTheRegistry)
{
    startRegistry();
    sdk->addCamera("Canon EOS 5D");
    TestGate held, released;
    std::thread holder([&] {
        auto lock = SNP_CanonCamera::lockRegistryForTesting();
        held.open(), released.wait();
    });
    ASSERT_TRUE(held.wait());
    EXPECT_FALSE(SNP_CanonCamera::cameras().has_value());
    SNP_CanonCamera::updateCameraList();  // waits for the lock
    released.open();
    holder.join();
    ASSERT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
    EXPECT_EQ(registry().size(), 1);
}

// No object the SDK may still call back is destroyed while its camera stays listed; one
// that leaves the list is destroyed with its handler cleared.
TEST_F(RegistryTest, KnownCamerasKeepTheirObjectsAndLeavingOnesClearTheirHandlers)
{
    EdsCameraRef a = sdk->addCamera("Canon EOS 5D");
    startRegistry();
    std::weak_ptr<SNP_CanonCamera> weakA = registry().value(0);
    sdk->addCamera("Canon EOS 7D");
    updateAndWait();
    EXPECT_EQ(registry().value(1).get(), weakA.lock().get());
    EXPECT_EQ(sdk->handlers(a).state.context, weakA.lock()->handlerContext());
    EXPECT_EQ(sdk->count("EdsRetain"), 2);
    sdk->disconnectAll();
    updateAndWait();
    EXPECT_TRUE(weakA.expired());
    EXPECT_EQ(sdk->count("clearStateHandler"), 2);
    EXPECT_EQ(sdk->refCount(a), 0u);
}

TEST_F(RegistryTest, ShutdownTerminatesTheSdkOnceAndACameraArrivingMeanwhileIsNotListed)
{
    sdk->addCamera("Canon EOS 5D");
    startRegistry();
    sdk->addCamera("Canon EOS 7D");
    sdk->setWhenCalled([&](const std::string& call) {
        if (call == "clearCameraAddedHandler")
            sdk->fireCameraAdded();  // runs while the handler is cleared
    });
    SNP_CanonCamera::applicationWillTerminate();
    SNP_CanonCamera::applicationWillTerminate();
    sdk->setWhenCalled(nullptr);
    EXPECT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
    drain();
    EXPECT_EQ(sdk->count("EdsTerminateSDK"), 1);
    EXPECT_TRUE(registry().isEmpty());
    const std::vector<std::string> calls = sdk->callLog();
    EXPECT_EQ(std::find(std::find(calls.begin(), calls.end(), "EdsTerminateSDK"), calls.end(), "EdsGetCameraList"),
              calls.end());
}

}  // namespace
