// Camera objects and the single open session: load and unload with their notifications
// and SDK handlers, the host storage report, destruction, and the camera's state events
// (above all the shutdown event). Driven by the scripted SDK.
#include "SNP_CanonCamera.h"
#include "SNP_Log.h"
#include "TestSupport.h"
#include "camera/FakeEdsSdk.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/statvfs.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace {

class CameraSessionTest : public ::testing::Test {
protected:
    struct Received {
        QString name;
        const void* object = nullptr;
        bool onMainThread = false;
        bool cameraInRegistry = false;           // at receipt (cameras() answered and held it)
        std::vector<std::string> callsAtReceipt;  // the SDK calls made so far
    };

    void SetUp() override
    {
        SNP_Log::resetForTesting();
        ASSERT_TRUE(dir.isValid());
        logPath = dir.filePath(QStringLiteral("camera.log"));
        ASSERT_TRUE(SNP_Log::setLogFile(logPath));
        fake = std::make_shared<FakeEdsSdk>();
        weakFake = fake;
        EdsSetCurrentSdk(fake);
        SNP_NotificationCenter::defaultCenter().addObserver(this, QString(), [this](const SNP_Notification& n) {
            Received r{n.name, n.object.identity(), QThread::currentThread() == qApp->thread(), false, fake->callLog()};
            if (n.object.isCamera() && registryStarted) {
                std::optional<SNP_CanonCameraList> list = SNP_CanonCamera::cameras();
                r.cameraInRegistry = list && std::any_of(list->begin(), list->end(), [&](const SNP_CanonCameraPtr& c) {
                                         return c.get() == n.object.camera().get();
                                     });
            }
            std::lock_guard<std::mutex> g(receivedLock);
            received.push_back(std::move(r));
        });
    }

    void TearDown() override
    {
        SNP_NotificationCenter::defaultCenter().removeObserver(this);
        EXPECT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
        SNP_CanonCamera::resetRegistryForTesting();
        if (SNP_CanonCameraPtr loaded = SNP_CanonCamera::loadedCamera())
            loaded->unload();
        EdsSetCurrentSdk(nullptr);
        fake.reset();
        EXPECT_TRUE(waitUntil([&] { return weakFake.expired(); }));
        SNP_Log::resetForTesting();
    }

    static void drain()
    {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }

    void startRegistry()
    {
        registryStarted = true;
        SNP_CanonCamera::initialize();
        ASSERT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
        drain();
    }

    // A camera object made directly, outside the registry.
    SNP_CanonCameraPtr makeCamera(const std::string& description, EdsCameraRef* refOut = nullptr)
    {
        EdsCameraRef ref = fake->addCamera(description);
        if (refOut)
            *refOut = ref;
        return SNP_CanonCamera::initWithCameraRef(ref);
    }

    std::vector<Received> receivedCopy()
    {
        std::lock_guard<std::mutex> g(receivedLock);
        return received;
    }
    std::vector<Received> receivedNamed(const QString& name)
    {
        std::vector<Received> out;
        for (const Received& r : receivedCopy())
            if (r.name == name)
                out.push_back(r);
        return out;
    }
    void clearReceived()
    {
        std::lock_guard<std::mutex> g(receivedLock);
        received.clear();
    }

    QString logText() const
    {
        QFile file(logPath);
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(file.readAll());
    }
    int logCount(const QString& text) const { return int(logText().count(text)); }

    static std::vector<std::string> only(const std::vector<std::string>& calls, const std::vector<std::string>& names)
    {
        std::vector<std::string> out;
        for (const auto& c : calls)
            if (std::find(names.begin(), names.end(), c) != names.end())
                out.push_back(c);
        return out;
    }
    static bool contains(const std::vector<std::string>& calls, const std::string& call)
    {
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }

    QTemporaryDir dir;
    QString logPath;
    std::shared_ptr<FakeEdsSdk> fake;
    std::weak_ptr<FakeEdsSdk> weakFake;
    std::mutex receivedLock;
    std::vector<Received> received;
    bool registryStarted = false;
};

// ---- Creation and destruction ----

TEST_F(CameraSessionTest, NewCameraTakesItsReferenceAndReceivesStateEvents)
{
    EdsCameraRef ref = nullptr;
    SNP_CanonCameraPtr camera = makeCamera("Canon EOS 5D", &ref);
    ASSERT_TRUE(camera);
    EXPECT_EQ(camera->description(), QStringLiteral("Canon EOS 5D"));
    EXPECT_TRUE(camera->hasDescription());
    EXPECT_EQ(camera->subType(), 7u);
    EXPECT_EQ(fake->refCount(ref), 1);
    EXPECT_EQ(fake->stateHandler(ref).context, camera->handlerContext());
    EXPECT_EQ(logCount(QStringLiteral("retaining a camera with \"after-retain\" retain count of 1")), 1);
    EXPECT_EQ(logCount(QStringLiteral("set cameraStateEvent callback")), 1);
    // The same reference answers the same object while it lives; equality is the handle.
    SNP_CanonCameraPtr again = SNP_CanonCamera::initWithCameraRef(ref);
    EXPECT_EQ(again.get(), camera.get());
    EXPECT_TRUE(camera->isEqual(again.get()));
    EXPECT_EQ(camera->hash(), reinterpret_cast<uintptr_t>(ref));
    EXPECT_FALSE(SNP_CanonCamera::initWithCameraRef(nullptr));
}

TEST_F(CameraSessionTest, CameraDestroyedWithoutSessionClearsItsStateHandlerAndReleases)
{
    EdsCameraRef ref = nullptr;
    SNP_CanonCameraPtr camera = makeCamera("Canon EOS 5D", &ref);
    ASSERT_TRUE(camera);
    ASSERT_NE(fake->stateHandler(ref).handler, nullptr);
    camera.reset();

    EXPECT_EQ(fake->stateHandler(ref).handler, nullptr);
    EXPECT_EQ(fake->stateHandler(ref).context, nullptr);
    EXPECT_EQ(fake->count("clearStateHandler"), 1);
    EXPECT_EQ(fake->count("EdsCloseSession"), 0);
    EXPECT_EQ(fake->refCount(ref), 0);
    EXPECT_EQ(logCount(QStringLiteral("releasing a camera with \"after-release\" retain count of 0")), 1);
    // A state event after destruction reaches nobody.
    EXPECT_EQ(fake->fireStateEvent(ref, kEdsStateEvent_Shutdown, 0), EDS_ERR_INVALID_HANDLE);
}

TEST_F(CameraSessionTest, FailedDeviceInfoLeavesCameraWithoutDescriptionOrStateHandler)
{
    EdsCameraRef ref = fake->addCamera("Canon EOS 5D");
    {
        std::lock_guard<std::mutex> g(fake->m);
        fake->deviceInfoFaults.insert(ref);
    }
    SNP_CanonCameraPtr camera = SNP_CanonCamera::initWithCameraRef(ref);
    ASSERT_TRUE(camera);
    EXPECT_FALSE(camera->hasDescription());
    EXPECT_EQ(camera->subType(), 0u);
    EXPECT_EQ(fake->count("setStateHandler"), 0);
    EXPECT_EQ(logCount(QStringLiteral("got error 80 trying to get device info for camera")), 1) << qPrintable(logText());
    camera.reset();
    EXPECT_EQ(fake->refCount(ref), 0);
    EXPECT_EQ(fake->count("clearStateHandler"), 0);
}

// A camera object going away while the registry makes a new object for the same camera:
// an event arriving meanwhile is not handled by the going object, and no handler is left
// with it once it is gone.
TEST_F(CameraSessionTest, ObjectGoingWhileItsCameraGetsANewOneLeavesNoHandlerWithIt)
{
    EdsCameraRef ref = nullptr;
    SNP_CanonCameraPtr camera = makeCamera("Canon EOS 5D", &ref);
    camera->startNotifications();  // the session handlers, as a loaded camera has them
    ASSERT_NE(fake->objectContext(ref), nullptr);
    TestGate going, goOn;
    std::atomic<bool> hold{true};
    SNP_CanonCamera::setTestStepHook([&](SNP_CanonCamera::TestStep step, const SNP_CanonCamera*) {
        if (step == SNP_CanonCamera::TestStep::CameraGoing && hold.exchange(false)) {
            going.open();
            goOn.wait();
        }
    });
    std::thread dropping([old = std::move(camera)]() mutable { old.reset(); });
    ASSERT_TRUE(going.wait());

    fake->fireObjectEvent(ref, kEdsObjectEvent_DirItemRequestTransfer);
    EXPECT_EQ(fake->count("EdsGetDirectoryItemInfo"), 0) << "the going object took up the transfer";
    SNP_CanonCameraPtr replacement;
    std::thread registry([&] { replacement = SNP_CanonCamera::initWithCameraRef(ref); });
    registry.join();
    goOn.open();
    dropping.join();
    SNP_CanonCamera::setTestStepHook(nullptr);

    ASSERT_TRUE(replacement);
    EXPECT_EQ(fake->propertyContext(ref), nullptr);
    EXPECT_EQ(fake->objectContext(ref), nullptr);
    EXPECT_EQ(fake->fireStateEvent(ref, kEdsStateEvent_WillSoonShutDown, 4), EDS_ERR_OK);
    EXPECT_EQ(logCount(QStringLiteral("camera Canon EOS 5D shutdown timer soon (4)")), 1) << qPrintable(logText());
}

// ---- Load and unload ----

TEST_F(CameraSessionTest, DidLoadIsDeliveredBeforeTheSessionHandlersAreInstalled)
{
    EdsCameraRef ref = nullptr;
    SNP_CanonCameraPtr camera = makeCamera("Canon EOS 5D", &ref);
    bool loadedAtReceipt = false;
    SNP_CanonCameraPtr currentAtReceipt;
    SNP_NotificationCenter::defaultCenter().addObserver(&loadedAtReceipt, SNP_CanonCameraDidLoad,
                                                        [&](const SNP_Notification& n) {
                                                            loadedAtReceipt = n.object.camera()->isLoaded();
                                                            currentAtReceipt = SNP_CanonCamera::loadedCamera();
                                                        });
    EXPECT_TRUE(camera->load());
    SNP_NotificationCenter::defaultCenter().removeObserver(&loadedAtReceipt);

    std::vector<Received> didLoad = receivedNamed(SNP_CanonCameraDidLoad);
    ASSERT_EQ(didLoad.size(), 1u);
    EXPECT_EQ(didLoad[0].object, camera.get());
    EXPECT_TRUE(didLoad[0].onMainThread);
    EXPECT_TRUE(loadedAtReceipt);
    EXPECT_EQ(currentAtReceipt.get(), camera.get());
    currentAtReceipt.reset();
    const auto& before = didLoad[0].callsAtReceipt;
    EXPECT_TRUE(contains(before, "EdsOpenSession"));
    EXPECT_FALSE(contains(before, "setPropertyHandler"));
    EXPECT_FALSE(contains(before, "setObjectHandler"));
    EXPECT_FALSE(contains(before, "EdsSetCapacity"));

    EXPECT_EQ(only(fake->callLog(), {"setPropertyHandler", "setObjectHandler"}),
              (std::vector<std::string>{"setPropertyHandler", "setObjectHandler"}));
    {
        std::lock_guard<std::mutex> g(fake->m);
        EXPECT_EQ(fake->propertyContext(ref), camera->handlerContext());
        EXPECT_EQ(fake->objectContext(ref), camera->handlerContext());
        ASSERT_EQ(fake->capacities.size(), 1u);
        EXPECT_EQ(fake->capacities[0].reset, 1);
        EXPECT_TRUE(fake->openSessions.count(ref));
    }
    EXPECT_TRUE(camera->isLoaded());
    EXPECT_EQ(SNP_CanonCamera::loadedCamera().get(), camera.get());
    EXPECT_EQ(logCount(QStringLiteral("opened a session with Canon EOS 5D")), 1);
}

TEST_F(CameraSessionTest, LoadingTheLoadedCameraAgainOpensNothingAndPostsNothing)
{
    SNP_CanonCameraPtr camera = makeCamera("Canon EOS 5D");
    ASSERT_TRUE(camera->load());
    clearReceived();
    EXPECT_TRUE(camera->load());
    EXPECT_EQ(fake->count("EdsOpenSession"), 1);
    EXPECT_TRUE(receivedCopy().empty());
}

TEST_F(CameraSessionTest, UnloadOfACameraNotLoadedAnswersNoAndPostsNothing)
{
    SNP_CanonCameraPtr camera = makeCamera("Canon EOS 5D");
    EXPECT_FALSE(camera->unload());
    EXPECT_EQ(fake->count("EdsCloseSession"), 0);
    EXPECT_EQ(fake->count("clearPropertyHandler"), 0);
    EXPECT_TRUE(receivedCopy().empty());
}

TEST_F(CameraSessionTest, FailedOpenAnswersNoAndPostsNothing)
{
    SNP_CanonCameraPtr camera = makeCamera("Canon EOS 5D");
    {
        std::lock_guard<std::mutex> g(fake->m);
        fake->faults["EdsOpenSession"] = EDS_ERR_DEVICE_BUSY;
    }
    EXPECT_FALSE(camera->load());
    EXPECT_FALSE(camera->isLoaded());
    EXPECT_FALSE(SNP_CanonCamera::loadedCamera());
    EXPECT_TRUE(receivedCopy().empty());
    EXPECT_EQ(fake->count("setPropertyHandler"), 0);
    EXPECT_EQ(logCount(QStringLiteral("error 81 trying to open a session with Canon EOS 5D")), 1);
}

TEST_F(CameraSessionTest, UnloadClearsHandlersInOrderAndPostsDidUnload)
{
    EdsCameraRef ref = nullptr;
    SNP_CanonCameraPtr camera = makeCamera("Canon EOS 5D", &ref);
    ASSERT_TRUE(camera->load());
    const size_t callsBefore = fake->callLog().size();
    clearReceived();

    EXPECT_TRUE(camera->unload());
    std::vector<std::string> calls = fake->callLog();
    calls.erase(calls.begin(), calls.begin() + long(callsBefore));
    EXPECT_EQ(only(calls, {"clearStateHandler", "clearPropertyHandler", "clearObjectHandler", "EdsCloseSession"}),
              (std::vector<std::string>{"clearStateHandler", "clearPropertyHandler", "clearObjectHandler",
                                        "EdsCloseSession"}));
    EXPECT_FALSE(camera->isLoaded());
    EXPECT_FALSE(SNP_CanonCamera::loadedCamera());
    std::vector<Received> didUnload = receivedNamed(SNP_CanonCameraDidUnload);
    ASSERT_EQ(didUnload.size(), 1u);
    EXPECT_EQ(didUnload[0].object, camera.get());
    EXPECT_TRUE(didUnload[0].onMainThread);
    EXPECT_EQ(fake->stateHandler(ref).handler, nullptr);
    // Loading it again gives it its handlers back.
    EXPECT_TRUE(camera->load());
    EXPECT_EQ(fake->stateHandler(ref).context, camera->handlerContext());
}

// Unloading while a property handler waits for the main thread to take its notification:
// nothing else of the main thread (a due timer, that notification) runs half-way through
// the unload; both run after it.
TEST_F(CameraSessionTest, UnloadRunsNothingOfTheMainThreadHalfWay)
{
    EdsCameraRef ref = nullptr;
    SNP_CanonCameraPtr camera = makeCamera("Canon EOS 5D", &ref);
    ASSERT_TRUE(camera->load());
    drain();
    TestGate reading;
    const std::thread::id mainThread = std::this_thread::get_id();
    fake->setWhenCalled([&](const std::string& call) {
        if (call == "EdsGetPropertySize" && std::this_thread::get_id() != mainThread)
            reading.open();
    });
    fake->raisePropertyEvent(ref, 0x402);
    ASSERT_TRUE(reading.wait());  // the handler is under way; its notification will wait for this thread

    bool unloading = false;
    int duringUnload = 0, timers = 0, changes = 0;
    QTimer::singleShot(0, [&] {
        ++timers;
        duringUnload += unloading;
    });
    SNP_NotificationCenter::defaultCenter().addObserver(&changes, SNP_CanonCameraPropertyDidChange,
                                                        [&](const SNP_Notification&) {
                                                            ++changes;
                                                            duringUnload += unloading;
                                                        });
    unloading = true;
    EXPECT_TRUE(camera->unload());
    unloading = false;
    EXPECT_TRUE(waitUntil([&] { return timers == 1 && changes == 1; }));
    SNP_NotificationCenter::defaultCenter().removeObserver(&changes);
    fake->setWhenCalled(nullptr);
    EXPECT_EQ(duringUnload, 0);
}

TEST_F(CameraSessionTest, FailedCloseKeepsTheCameraMarkedLoadedAndPostsNothing)
{
    SNP_CanonCameraPtr camera = makeCamera("Canon EOS 5D");
    ASSERT_TRUE(camera->load());
    clearReceived();
    {
        std::lock_guard<std::mutex> g(fake->m);
        fake->faults["EdsCloseSession"] = EDS_ERR_COMM_DISCONNECTED;
    }
    EXPECT_FALSE(camera->unload());
    EXPECT_TRUE(camera->isLoaded());
    EXPECT_FALSE(SNP_CanonCamera::loadedCamera());
    EXPECT_TRUE(receivedNamed(SNP_CanonCameraDidUnload).empty());
    EXPECT_EQ(logCount(QStringLiteral("error 193 trying to close a session with Canon EOS 5D")), 1)
        << qPrintable(logText());
    {
        std::lock_guard<std::mutex> g(fake->m);
        fake->faults.erase("EdsCloseSession");
    }
    // The session still open is closed when the object goes.
    const int closes = fake->count("EdsCloseSession");
    camera.reset();
    EXPECT_EQ(fake->count("EdsCloseSession"), closes + 1);
}

TEST_F(CameraSessionTest, LoadingASecondCameraUnloadsTheFirstBeforeDidLoad)
{
    EdsCameraRef refA = nullptr, refB = nullptr;
    SNP_CanonCameraPtr a = makeCamera("Canon EOS 5D", &refA);
    SNP_CanonCameraPtr b = makeCamera("Canon EOS 7D", &refB);
    ASSERT_TRUE(a->load());
    clearReceived();

    EXPECT_TRUE(b->load());
    // The session notifications (B's first property reads announce themselves as well).
    std::vector<Received> got;
    for (const Received& r : receivedCopy())
        if (r.name == SNP_CanonCameraDidUnload || r.name == SNP_CanonCameraDidLoad)
            got.push_back(r);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].name, SNP_CanonCameraDidUnload);
    EXPECT_EQ(got[0].object, a.get());
    EXPECT_EQ(got[1].name, SNP_CanonCameraDidLoad);
    EXPECT_EQ(got[1].object, b.get());
    EXPECT_FALSE(a->isLoaded());
    EXPECT_TRUE(b->isLoaded());
    EXPECT_EQ(SNP_CanonCamera::loadedCamera().get(), b.get());
    {
        std::lock_guard<std::mutex> g(fake->m);
        EXPECT_FALSE(fake->openSessions.count(refA));
        EXPECT_TRUE(fake->openSessions.count(refB));
        EXPECT_EQ(fake->propertyContext(refA), nullptr);
        EXPECT_EQ(fake->propertyContext(refB), b->handlerContext());
        // One report at A's load, one when A's pictures go back to its card, one at B's load.
        EXPECT_EQ(fake->capacities.size(), 3u);
    }
}

// ---- Host storage ----

TEST_F(CameraSessionTest, HostCapacityWithoutPathMeasuresTheRootFileSystem)
{
    SNP_CanonCameraPtr camera = makeCamera("Canon EOS 5D");
    ASSERT_TRUE(camera->setHostStorageCapacityAtPath(QString(), false));
    ASSERT_TRUE(camera->setHostStorageCapacityAtPath(QStringLiteral("/proc"), true));
    struct statvfs root {};
    ASSERT_EQ(statvfs("/", &root), 0);
    const double rootFree = double(root.f_bavail) * double(root.f_frsize ? root.f_frsize : root.f_bsize);

    std::lock_guard<std::mutex> g(fake->m);
    ASSERT_EQ(fake->capacities.size(), 2u);
    const EdsCapacity& measured = fake->capacities[0];
    EXPECT_EQ(measured.reset, 0);
    const double reported = double(measured.numberOfFreeClusters) * double(measured.bytesPerSector);
    EXPECT_GT(measured.bytesPerSector, 0);
    EXPECT_NEAR(reported, rootFree, rootFree * 0.02 + 1e6);
    // A file system without free blocks reports none.
    EXPECT_EQ(fake->capacities[1].numberOfFreeClusters, 0);
    EXPECT_EQ(fake->capacities[1].reset, 1);
}

TEST_F(CameraSessionTest, RefusedCapacityAnswersNo)
{
    SNP_CanonCameraPtr camera = makeCamera("Canon EOS 5D");
    {
        std::lock_guard<std::mutex> g(fake->m);
        fake->faults["EdsSetCapacity"] = EDS_ERR_DEVICE_BUSY;
    }
    EXPECT_FALSE(camera->setHostStorageCapacityAtPath(QString(), true));
    EXPECT_EQ(logCount(QStringLiteral("set capacity failed with error 81")), 1);
}

// ---- State events ----

TEST_F(CameraSessionTest, ShutdownEventPostsDidUnloadThenListDidUpdateOnTheMainThread)
{
    EdsCameraRef ref = fake->addCamera("Canon EOS 5D");
    startRegistry();
    std::optional<SNP_CanonCameraList> list = SNP_CanonCamera::cameras();
    ASSERT_TRUE(list && list->size() == 1);
    SNP_CanonCameraPtr camera = list->value(0);
    list.reset();
    ASSERT_TRUE(camera->load());
    clearReceived();

    std::thread sdkThread([&] { EXPECT_EQ(fake->fireStateEvent(ref, kEdsStateEvent_Shutdown, 0), EDS_ERR_OK); });
    sdkThread.join();
    ASSERT_TRUE(waitUntil([&] { return receivedCopy().size() >= 2; }));
    drain();

    std::vector<Received> got = receivedCopy();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].name, SNP_CanonCameraDidUnload);
    EXPECT_EQ(got[0].object, camera.get());
    EXPECT_TRUE(got[0].onMainThread);
    EXPECT_FALSE(got[0].cameraInRegistry);
    EXPECT_EQ(got[1].name, SNP_CanonCameraListDidUpdate);
    EXPECT_TRUE(got[1].onMainThread);

    std::optional<SNP_CanonCameraList> after = SNP_CanonCamera::cameras();
    ASSERT_TRUE(after.has_value());
    EXPECT_TRUE(after->isEmpty());
    EXPECT_FALSE(camera->isLoaded());
    EXPECT_EQ(fake->count("EdsCloseSession"), 1);
    EXPECT_EQ(logCount(QStringLiteral("camera Canon EOS 5D has disappeared (was shutdown or unplugged)")), 1);
    // The dead camera stays current until another is loaded; its handlers stay too.
    EXPECT_EQ(SNP_CanonCamera::loadedCamera().get(), camera.get());
    EXPECT_EQ(fake->stateHandler(ref).context, camera->handlerContext());
}

TEST_F(CameraSessionTest, ShutdownOfTheOnlyReferenceKeepsTheObjectUntilTheEventIsDone)
{
    EdsCameraRef ref = fake->addCamera("Canon EOS 5D");
    startRegistry();
    std::weak_ptr<SNP_CanonCamera> weak = SNP_CanonCamera::cameras().value_or(SNP_CanonCameraList()).value(0);
    ASSERT_FALSE(weak.expired());

    std::thread sdkThread([&] { EXPECT_EQ(fake->fireStateEvent(ref, kEdsStateEvent_Shutdown, 0), EDS_ERR_OK); });
    sdkThread.join();
    ASSERT_TRUE(waitUntil([&] { return receivedNamed(SNP_CanonCameraListDidUpdate).size() >= 2; }));
    drain();
    EXPECT_EQ(receivedNamed(SNP_CanonCameraDidUnload).size(), 1u);
    // Once the hand-offs ran, nothing holds the camera: it is gone and its handler cleared.
    EXPECT_TRUE(waitUntil([&] {
        drain();
        return weak.expired();
    }));
    EXPECT_EQ(fake->stateHandler(ref).handler, nullptr);
}

TEST_F(CameraSessionTest, OtherStateEventsAreLoggedOnly)
{
    EdsCameraRef ref = nullptr;
    SNP_CanonCameraPtr camera = makeCamera("Canon EOS 5D", &ref);
    EXPECT_EQ(fake->fireStateEvent(ref, kEdsStateEvent_JobStatusChanged, 5), EDS_ERR_OK);
    EXPECT_EQ(fake->fireStateEvent(ref, kEdsStateEvent_ShutDownTimerUpdate, 6), EDS_ERR_OK);
    EXPECT_EQ(fake->fireStateEvent(ref, kEdsStateEvent_CaptureError, 7), EDS_ERR_OK);
    EXPECT_EQ(fake->fireStateEvent(ref, 0x309, 0), EDS_ERR_OK);
    EXPECT_EQ(fake->fireStateEvent(ref, 0x30A, 0), EDS_ERR_OK);
    drain();
    EXPECT_EQ(logCount(QStringLiteral("camera Canon EOS 5D job status changed (5)")), 1) << qPrintable(logText());
    EXPECT_EQ(logCount(QStringLiteral("camera Canon EOS 5D shutdown timer update (6)")), 1);
    EXPECT_EQ(logCount(QStringLiteral("camera Canon EOS 5D reported a capture error (7)")), 1);
    EXPECT_EQ(logCount(QStringLiteral("camera Canon EOS 5D job status has changed")), 1);
    EXPECT_EQ(logCount(QStringLiteral("received camera event 30a for camera Canon EOS 5D")), 1);
    EXPECT_TRUE(receivedCopy().empty());
    EXPECT_EQ(fake->count("EdsCloseSession"), 0);
}

}  // namespace
