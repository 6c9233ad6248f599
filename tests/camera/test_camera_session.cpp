// Camera objects and the single open session: load and unload with their notifications and
// SDK handlers, the host storage report, objects going away, and the camera's state events
// (above all the shutdown event). Driven by the scripted SDK.
#include "camera/CameraFixture.h"
#include "camera/FakeEdsSdk.h"

#include <QTimer>

#include <sys/statvfs.h>

#include <atomic>

namespace {

using CameraSessionTest = CameraFixture<FakeEdsSdk>;

// The calls of `calls` from the `from`th on that are among `names`, in order.
std::vector<std::string> only(std::vector<std::string> calls, const std::vector<std::string>& names, size_t from = 0)
{
    calls.erase(calls.begin(), calls.begin() + long(std::min(from, calls.size())));
    std::erase_if(calls, [&](const std::string& c) { return std::find(names.begin(), names.end(), c) == names.end(); });
    return calls;
}

TEST_F(CameraSessionTest, ObjectsTakeTheirReferenceAndHandlerAndGiveThemBackWhenGone)
{
    EdsCameraRef ref = sdk->addCamera("Canon EOS 5D");
    camera = SNP_CanonCamera::initWithCameraRef(ref);
    EXPECT_EQ(camera->description(), QStringLiteral("Canon EOS 5D"));
    EXPECT_EQ(sdk->refCount(ref), 1u);
    EXPECT_EQ(sdk->handlers(ref).state.context, camera->handlerContext());
    // The same reference answers the same object while it lives.
    EXPECT_EQ(SNP_CanonCamera::initWithCameraRef(ref).get(), camera.get());
    EXPECT_FALSE(SNP_CanonCamera::initWithCameraRef(nullptr));
    camera.reset();  // without a session: nothing closed, nobody called later
    EXPECT_EQ(sdk->handlers(ref).state.fn, nullptr);
    EXPECT_EQ(sdk->count("EdsCloseSession"), 0);
    EXPECT_EQ(sdk->refCount(ref), 0u);
    // A camera whose device information cannot be read has no description and no handler.
    sdk->fail("EdsGetDeviceInfo", EDS_ERR_DEVICE_NOT_FOUND);
    EdsCameraRef mute = sdk->addCamera("Canon EOS 7D");
    camera = SNP_CanonCamera::initWithCameraRef(mute);
    EXPECT_FALSE(camera->hasDescription());
    EXPECT_EQ(sdk->count("setStateHandler"), 1);
    camera.reset();
    EXPECT_EQ(sdk->refCount(mute), 0u);
}

// A camera object going away while the registry makes a new object for the same camera:
// an event arriving meanwhile is not handled by the going object, and no handler is left
// with it once it is gone.
TEST_F(CameraSessionTest, ObjectGoingWhileItsCameraGetsANewOneLeavesNoHandlerWithIt)
{
    EdsCameraRef ref = sdk->addCamera("Canon EOS 5D");
    SNP_CanonCameraPtr going = SNP_CanonCamera::initWithCameraRef(ref);
    going->startNotifications();  // the session handlers, as a loaded camera has them
    TestGate inDestructor, goOn;
    std::atomic<bool> hold{true};
    SNP_CanonCamera::setTestStepHook([&](SNP_CanonCamera::TestStep step, const SNP_CanonCamera*) {
        if (step == SNP_CanonCamera::TestStep::CameraGoing && hold.exchange(false))
            inDestructor.open(), goOn.wait();
    });
    std::thread dropping([old = std::move(going)]() mutable { old.reset(); });
    ASSERT_TRUE(inDestructor.wait());
    const auto object = sdk->handlers(ref).object;
    object.fn(kEdsObjectEvent_DirItemRequestTransfer, nullptr, object.context);
    EXPECT_EQ(sdk->count("EdsGetDirectoryItemInfo"), 0) << "the going object took up the transfer";
    std::thread([&] { camera = SNP_CanonCamera::initWithCameraRef(ref); }).join();
    goOn.open();
    dropping.join();
    SNP_CanonCamera::setTestStepHook(nullptr);
    const EdsCore::Camera now = sdk->handlers(ref);
    EXPECT_EQ(now.property.context, nullptr);
    EXPECT_EQ(now.object.context, nullptr);
    EXPECT_EQ(now.state.context, camera->handlerContext());
}

// Loads and unloads that do nothing post nothing; DidLoad is delivered before the session
// handlers are installed; unloading clears them in order before closing and posts DidUnload;
// a refused close leaves the session open until the object goes.
TEST_F(CameraSessionTest, LoadAndUnload)
{
    EdsCameraRef ref = sdk->addCamera("Canon EOS 5D");
    camera = SNP_CanonCamera::initWithCameraRef(ref);
    EXPECT_FALSE(camera->unload());  // not loaded
    sdk->fail("EdsOpenSession", EDS_ERR_DEVICE_BUSY);
    EXPECT_FALSE(camera->load());
    EXPECT_FALSE(camera->isLoaded() || SNP_CanonCamera::loadedCamera());
    EXPECT_EQ(sdk->count("setPropertyHandler") + sdk->count("EdsCloseSession"), 0);
    sdk->fail("EdsOpenSession", EDS_ERR_OK);
    EXPECT_TRUE(receivedNamed().empty());

    const size_t callsBeforeLoad = sdk->callLog().size();
    bool loadedAtReceipt = false;
    std::vector<std::string> callsAtReceipt;
    SNP_NotificationCenter::defaultCenter().addObserver(&loadedAtReceipt, SNP_CanonCameraDidLoad, [&](const SNP_Notification& n) {
        loadedAtReceipt = n.object.camera()->isLoaded() && SNP_CanonCamera::loadedCamera() == n.object.camera();
        callsAtReceipt = sdk->callLog();
    });
    EXPECT_TRUE(camera->load());
    SNP_NotificationCenter::defaultCenter().removeObserver(&loadedAtReceipt);
    EXPECT_EQ(countReceived(SNP_CanonCameraDidLoad), 1);
    EXPECT_TRUE(loadedAtReceipt);
    const std::vector<std::string> session{"EdsOpenSession", "setPropertyHandler", "setObjectHandler", "EdsSetCapacity"};
    EXPECT_EQ(only(callsAtReceipt, session, callsBeforeLoad), std::vector<std::string>{"EdsOpenSession"});
    EXPECT_EQ(only(sdk->callLog(), session, callsBeforeLoad), session);
    EXPECT_EQ(sdk->locked([&] { return sdk->capacities.at(0).reset; }), 1);
    clearReceived();
    EXPECT_TRUE(camera->load());  // already loaded
    EXPECT_EQ(sdk->count("EdsOpenSession"), 2);
    EXPECT_TRUE(receivedNamed().empty());

    const size_t callsBefore = sdk->callLog().size();
    EXPECT_TRUE(camera->unload());
    const std::vector<std::string> order{"clearStateHandler", "clearPropertyHandler", "clearObjectHandler", "EdsCloseSession"};
    EXPECT_EQ(only(sdk->callLog(), order, callsBefore), order);
    EXPECT_FALSE(camera->isLoaded() || SNP_CanonCamera::loadedCamera());
    ASSERT_EQ(receivedNamed().size(), 1u);
    EXPECT_EQ(receivedNamed()[0].name, SNP_CanonCameraDidUnload);
    EXPECT_TRUE(camera->load());  // loading it again gives it its handlers back
    EXPECT_EQ(sdk->handlers(ref).state.context, camera->handlerContext());
    clearReceived();
    sdk->fail("EdsCloseSession", EDS_ERR_COMM_DISCONNECTED);
    EXPECT_FALSE(camera->unload());
    EXPECT_TRUE(camera->isLoaded());
    EXPECT_TRUE(receivedNamed().empty());
    sdk->fail("EdsCloseSession", EDS_ERR_OK);
    camera.reset();
    EXPECT_EQ(sdk->count("EdsCloseSession"), 3);
}

// Unloading while a property handler waits for the main thread to take its notification:
// nothing else of the main thread (a due timer, that notification) runs half-way through
// the unload; both run after it.
TEST_F(CameraSessionTest, UnloadRunsNothingOfTheMainThreadHalfWay)
{
    EdsCameraRef ref = sdk->addCamera("Canon EOS 5D");
    camera = SNP_CanonCamera::initWithCameraRef(ref);
    ASSERT_TRUE(camera->load());
    drain();
    TestGate reading;
    const std::thread::id mainThread = std::this_thread::get_id();
    sdk->setWhenCalled([&](const std::string& call) {
        if (call == "EdsGetPropertySize" && std::this_thread::get_id() != mainThread)
            reading.open();
    });
    sdk->raisePropertyEvent(ref, 0x402);
    ASSERT_TRUE(reading.wait());  // the handler is under way; its notification will wait for this thread
    bool unloading = false;
    int duringUnload = 0, timers = 0, changes = 0;
    QTimer::singleShot(0, [&] { duringUnload += unloading, ++timers; });
    SNP_NotificationCenter::defaultCenter().addObserver(
        &changes, SNP_CanonCameraPropertyDidChange, [&](const SNP_Notification&) { duringUnload += unloading, ++changes; });
    unloading = true;
    EXPECT_TRUE(camera->unload());
    unloading = false;
    EXPECT_TRUE(waitUntil([&] { return timers == 1 && changes == 1; }));
    SNP_NotificationCenter::defaultCenter().removeObserver(&changes);
    sdk->setWhenCalled(nullptr);
    EXPECT_EQ(duringUnload, 0);
}

TEST_F(CameraSessionTest, LoadingASecondCameraUnloadsTheFirstAndSendsItsPicturesBackToItsCard)
{
    EdsCameraRef refA = sdk->addCamera("Canon EOS 5D"), refB = sdk->addCamera("Canon EOS 7D");
    SNP_CanonCameraPtr a = SNP_CanonCamera::initWithCameraRef(refA), b = SNP_CanonCamera::initWithCameraRef(refB);
    ASSERT_TRUE(a->load());
    clearReceived();
    EXPECT_TRUE(b->load());
    std::vector<std::pair<QString, const void*>> session;  // B's first reads announce themselves as well
    for (const Received& r : receivedNamed())
        if (r.name == SNP_CanonCameraDidUnload || r.name == SNP_CanonCameraDidLoad)
            session.emplace_back(r.name, r.object);
    EXPECT_EQ(session, (decltype(session){{SNP_CanonCameraDidUnload, a.get()}, {SNP_CanonCameraDidLoad, b.get()}}));
    EXPECT_EQ(SNP_CanonCamera::loadedCamera().get(), b.get());
    std::vector<std::pair<EdsBaseRef, EdsUInt32>> savedTo;  // the save destinations written
    for (const FakeEdsSdk::Write& w : sdk->locked([&] { return sdk->writes; }))
        if (w.id == 0xB)
            savedTo.emplace_back(w.ref, w.bytes.at(0));
    EXPECT_EQ(savedTo, (decltype(savedTo){{refA, kEdsSaveTo_Host}, {refA, kEdsSaveTo_Camera}, {refB, kEdsSaveTo_Host}}));
}

TEST_F(CameraSessionTest, HostCapacity)
{
    camera = SNP_CanonCamera::initWithCameraRef(sdk->addCamera("Canon EOS 5D"));
    ASSERT_TRUE(camera->setHostStorageCapacityAtPath(QString(), false));               // no path: the root
    ASSERT_TRUE(camera->setHostStorageCapacityAtPath(QStringLiteral("/proc"), true));  // no free blocks
    sdk->fail("EdsSetCapacity", EDS_ERR_DEVICE_BUSY);
    EXPECT_FALSE(camera->setHostStorageCapacityAtPath(QString(), true));
    struct statvfs root {};
    ASSERT_EQ(statvfs("/", &root), 0);
    const double rootFree = double(root.f_bavail) * double(root.f_frsize ? root.f_frsize : root.f_bsize);
    const std::vector<EdsCapacity> reported = sdk->locked([&] { return sdk->capacities; });
    ASSERT_EQ(reported.size(), 3u);
    EXPECT_EQ(reported[0].reset, 0);
    EXPECT_NEAR(double(reported[0].numberOfFreeClusters) * reported[0].bytesPerSector, rootFree, rootFree * 0.02 + 1e6);
    EXPECT_EQ(reported[1].numberOfFreeClusters, 0);
    EXPECT_EQ(reported[1].reset, 1);
}

TEST_F(CameraSessionTest, ShutdownEventPostsDidUnloadThenListDidUpdateOnTheMainThread)
{
    EdsCameraRef ref = sdk->addCamera("Canon EOS 5D");
    startRegistry();
    camera = registry().value(0);
    ASSERT_TRUE(camera && camera->load());
    bool listedAtDidUnload = true;
    SNP_NotificationCenter::defaultCenter().addObserver(&listedAtDidUnload, SNP_CanonCameraDidUnload, [&](const SNP_Notification&) {
        auto list = SNP_CanonCamera::cameras();
        listedAtDidUnload = list && !list->isEmpty();
    });
    // Other state events post nothing and close nothing.
    const EdsStateEvent others[] = {kEdsStateEvent_JobStatusChanged, kEdsStateEvent_ShutDownTimerUpdate, kEdsStateEvent_CaptureError,
                                    kEdsStateEvent_WillSoonShutDown, 0x309, 0x30A};
    for (EdsStateEvent event : others)
        EXPECT_EQ(sdk->fireStateEvent(ref, event, 5), EDS_ERR_OK);
    drain();
    clearReceived();
    EXPECT_EQ(sdk->count("EdsCloseSession"), 0);

    onSdkThread([&] { EXPECT_EQ(sdk->fireStateEvent(ref, kEdsStateEvent_Shutdown, 0), EDS_ERR_OK); });
    ASSERT_TRUE(waitUntil([&] { return receivedNamed().size() >= 2; }));
    drain();
    SNP_NotificationCenter::defaultCenter().removeObserver(&listedAtDidUnload);
    const std::vector<Received> got = receivedNamed();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].name, SNP_CanonCameraDidUnload);
    EXPECT_EQ(got[1].name, SNP_CanonCameraListDidUpdate);
    EXPECT_TRUE(got[0].onMainThread && got[1].onMainThread);
    EXPECT_FALSE(listedAtDidUnload);
    EXPECT_TRUE(registry().isEmpty());
    EXPECT_FALSE(camera->isLoaded());
    EXPECT_EQ(sdk->count("EdsCloseSession"), 1);
    EXPECT_EQ(SNP_CanonCamera::loadedCamera().get(), camera.get());  // current until another is loaded
}

TEST_F(CameraSessionTest, ShutdownOfTheOnlyReferenceKeepsTheObjectUntilTheEventIsDone)
{
    EdsCameraRef ref = sdk->addCamera("Canon EOS 5D");
    startRegistry();
    std::weak_ptr<SNP_CanonCamera> weak = registry().value(0);
    ASSERT_FALSE(weak.expired());
    onSdkThread([&] { EXPECT_EQ(sdk->fireStateEvent(ref, kEdsStateEvent_Shutdown, 0), EDS_ERR_OK); });
    ASSERT_TRUE(waitUntil([&] { return countReceived(SNP_CanonCameraListDidUpdate) >= 2; }));
    EXPECT_EQ(countReceived(SNP_CanonCameraDidUnload), 1);
    // Once the hand-offs ran, nothing holds the camera: it is gone and its handler cleared.
    EXPECT_TRUE(waitUntil([&] { return drain(), weak.expired(); }));
    EXPECT_EQ(sdk->handlers(ref).state.fn, nullptr);
}

}  // namespace
