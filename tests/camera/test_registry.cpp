// The camera registry: list updates on their own threads, the detection log lines,
// refused updates collapsing into one catch-up, bad children, the non-blocking snapshot and
// known cameras keeping their objects. Driven by the scripted SDK.
#include "SNP_CanonCamera.h"
#include "SNP_CanonCameraNames.h"
#include "SNP_Log.h"
#include "TestSupport.h"
#include "camera/FakeEdsSdk.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

class RegistryTest : public ::testing::Test {
protected:
    struct Received {
        QString name;
        bool onMainThread = false;
        bool objectIsClass = false;
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
            std::lock_guard<std::mutex> g(receivedLock);
            received.push_back(Received{n.name, QThread::currentThread() == qApp->thread(), n.object.isCameraClass()});
        });
    }

    void TearDown() override
    {
        SNP_NotificationCenter::defaultCenter().removeObserver(this);
        EXPECT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
        SNP_CanonCamera::resetRegistryForTesting();
        EdsSetCurrentSdk(nullptr);
        fake.reset();
        // Notifications still queued for the main thread hold cameras, and cameras hold the SDK.
        EXPECT_TRUE(waitUntil([&] { return weakFake.expired(); }));
        SNP_Log::resetForTesting();
    }

    // Runs pending main-thread hand-offs.
    static void drain()
    {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }

    // Starts the registry and waits for its first update and its notifications.
    void startRegistry()
    {
        SNP_CanonCamera::initialize();
        ASSERT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
        drain();
    }
    void updateAndWait()
    {
        SNP_CanonCamera::updateCameraList();
        ASSERT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
        drain();
    }

    int countReceived(const QString& name)
    {
        std::lock_guard<std::mutex> g(receivedLock);
        return int(std::count_if(received.begin(), received.end(), [&](const Received& r) { return r.name == name; }));
    }
    std::vector<Received> receivedCopy()
    {
        std::lock_guard<std::mutex> g(receivedLock);
        return received;
    }

    QString logText() const
    {
        QFile file(logPath);
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(file.readAll());
    }
    int logCount(const QString& text) const { return int(logText().count(text)); }

    static SNP_CanonCameraList registry()
    {
        std::optional<SNP_CanonCameraList> list = SNP_CanonCamera::cameras();
        EXPECT_TRUE(list.has_value());
        return list.value_or(SNP_CanonCameraList());
    }

    QTemporaryDir dir;
    QString logPath;
    std::shared_ptr<FakeEdsSdk> fake;
    std::weak_ptr<FakeEdsSdk> weakFake;
    std::mutex receivedLock;
    std::vector<Received> received;
};

// ---- Detection lines and notifications ----

TEST_F(RegistryTest, OneCameraIsDetectedWithoutPluralAndPostsOneListUpdateOnTheMainThread)
{
    EdsCameraRef ref = fake->addCamera("Canon EOS 5D");
    startRegistry();

    EXPECT_EQ(logCount(QStringLiteral("Detected 1 camera in ")), 1) << qPrintable(logText());
    EXPECT_EQ(logCount(QStringLiteral("Detected 1 cameras")), 0);
    EXPECT_EQ(logCount(QStringLiteral("detected new camera Canon EOS 5D")), 1);

    SNP_CanonCameraList cameras = registry();
    ASSERT_EQ(cameras.size(), 1);
    EXPECT_EQ(cameras[0]->cameraRef(), ref);
    EXPECT_EQ(cameras[0]->description(), QStringLiteral("Canon EOS 5D"));

    ASSERT_EQ(countReceived(SNP_CanonCameraListDidUpdate), 1);
    for (const Received& r : receivedCopy()) {
        if (r.name == SNP_CanonCameraListDidUpdate) {
            EXPECT_TRUE(r.onMainThread);
            EXPECT_TRUE(r.objectIsClass);
        }
    }
    // The list itself was given back; the camera keeps exactly the object's reference.
    EXPECT_EQ(fake->count("EdsRelease(list)"), 1);
    EXPECT_EQ(fake->refCount(ref), 1);
}

TEST_F(RegistryTest, TwoCamerasArePluralAndListedLastChildFirst)
{
    EdsCameraRef first = fake->addCamera("Canon EOS 5D");
    EdsCameraRef second = fake->addCamera("Canon EOS 7D");
    startRegistry();

    EXPECT_EQ(logCount(QStringLiteral("Detected 2 cameras in ")), 1) << qPrintable(logText());
    SNP_CanonCameraList cameras = registry();
    ASSERT_EQ(cameras.size(), 2);
    EXPECT_EQ(cameras[0]->cameraRef(), second);
    EXPECT_EQ(cameras[1]->cameraRef(), first);
    EXPECT_EQ(countReceived(SNP_CanonCameraListDidUpdate), 1);
}

TEST_F(RegistryTest, EmptyListEmptiesTheRegistryWithoutNotification)
{
    fake->addCamera("Canon EOS 5D");
    startRegistry();
    ASSERT_EQ(registry().size(), 1);
    ASSERT_EQ(countReceived(SNP_CanonCameraListDidUpdate), 1);

    fake->disconnectAll();
    updateAndWait();

    EXPECT_EQ(logCount(QStringLiteral("Detected 0 cameras in ")), 1) << qPrintable(logText());
    EXPECT_TRUE(registry().isEmpty());
    EXPECT_EQ(countReceived(SNP_CanonCameraListDidUpdate), 1);
    EXPECT_EQ(fake->count("EdsRelease(list)"), 2);
}

TEST_F(RegistryTest, ListingErrorEmptiesTheRegistryWithoutNotification)
{
    fake->addCamera("Canon EOS 5D");
    startRegistry();
    ASSERT_EQ(registry().size(), 1);

    {
        std::lock_guard<std::mutex> g(fake->m);
        fake->faults["EdsGetChildCount"] = EDS_ERR_DEVICE_BUSY;
    }
    updateAndWait();

    EXPECT_EQ(logCount(QStringLiteral("error 0X81 (%1) getting camera child count").arg(strForEDSError(0x81))), 1)
        << qPrintable(logText());
    EXPECT_TRUE(registry().isEmpty());
    EXPECT_EQ(countReceived(SNP_CanonCameraListDidUpdate), 1);
    // The list is released on the child-count error too.
    EXPECT_EQ(fake->count("EdsRelease(list)"), 2);
}

TEST_F(RegistryTest, UnchangedListPostsNothing)
{
    fake->addCamera("Canon EOS 5D");
    startRegistry();
    updateAndWait();
    updateAndWait();
    EXPECT_EQ(fake->count("EdsGetCameraList"), 3);
    EXPECT_EQ(countReceived(SNP_CanonCameraListDidUpdate), 1);
    EXPECT_EQ(registry().size(), 1);
}

TEST_F(RegistryTest, CameraAddedCallbackUpdatesAndPostsAddedOnTheMainThread)
{
    startRegistry();
    ASSERT_TRUE(registry().isEmpty());
    fake->addCamera("Canon EOS 5D");

    std::thread sdkThread([] { EXPECT_EQ(SNP_CanonCamera::cameraAdded(nullptr), EDS_ERR_OK); });
    sdkThread.join();
    ASSERT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
    ASSERT_TRUE(waitUntil([&] { return countReceived(SNP_CanonCameraAdded) == 1; }));
    ASSERT_TRUE(waitUntil([&] { return countReceived(SNP_CanonCameraListDidUpdate) == 1; }));
    for (const Received& r : receivedCopy())
        EXPECT_TRUE(r.onMainThread) << qPrintable(r.name);
    EXPECT_EQ(logCount(QStringLiteral("a camera was added!")), 1);
    EXPECT_EQ(registry().size(), 1);
}

// ---- Refused updates ----

TEST_F(RegistryTest, ThreeRefusedUpdatesCollapseIntoOneCatchUp)
{
    fake->addCamera("Canon EOS 5D");
    fake->closeListGate();
    SNP_CanonCamera::initialize();
    ASSERT_TRUE(fake->waitForListCallsBlocked(1));

    for (int i = 0; i < 3; ++i)
        SNP_CanonCamera::updateCameraList();
    const QString skipped = QStringLiteral("skipping this camera list update while another update is in session");
    ASSERT_TRUE(waitUntil([&] { return logCount(skipped) == 3; })) << qPrintable(logText());

    fake->openListGate();
    ASSERT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
    drain();

    EXPECT_EQ(logCount(QStringLiteral("catching up on missed update")), 1) << qPrintable(logText());
    EXPECT_EQ(fake->count("EdsGetCameraList"), 2);
    EXPECT_EQ(logCount(skipped), 3);
    // The first update changed the list; the catch-up found it unchanged.
    EXPECT_EQ(countReceived(SNP_CanonCameraListDidUpdate), 1);
    EXPECT_EQ(registry().size(), 1);
}

// A camera plugged in while an update runs, whose own update is refused just as the
// running one ends, is still found: the refused update's request is never lost.
TEST_F(RegistryTest, UpdateRefusedAsTheRunningOneEndsIsCaughtUp)
{
    fake->addCamera("Canon EOS 5D");
    startRegistry();
    ASSERT_EQ(registry().size(), 1);

    TestGate listed, goOn, refused, ended;
    std::atomic<bool> holdList{true}, holdRefused{true};
    fake->setWhenCalled([&](const std::string& call) {
        if (call == "EdsGetChildCount" && holdList.exchange(false)) {
            listed.open();
            goOn.wait();
        }
    });
    SNP_CanonCamera::setTestStepHook([&](SNP_CanonCamera::TestStep step, const SNP_CanonCamera*) {
        if (step == SNP_CanonCamera::TestStep::UpdateRefused && holdRefused.exchange(false)) {
            refused.open();
            ended.wait();  // the running update ends before this one has gone any further
        } else if (step == SNP_CanonCamera::TestStep::UpdateEnded) {
            ended.open();
        }
    });
    SNP_CanonCamera::updateCameraList();  // lists one camera, then waits
    ASSERT_TRUE(listed.wait());
    fake->addCamera("Canon EOS 7D");
    SNP_CanonCamera::updateCameraList();  // refused: the first one still runs
    ASSERT_TRUE(refused.wait());
    goOn.open();
    EXPECT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
    SNP_CanonCamera::setTestStepHook(nullptr);
    fake->setWhenCalled(nullptr);
    drain();
    EXPECT_EQ(registry().size(), 2);
}

// ---- Bad children ----

TEST_F(RegistryTest, NullChildIsSkippedAndTheOthersAreStillVisited)
{
    EdsCameraRef c0 = fake->addCamera("Canon EOS 5D");
    fake->addCamera("Canon EOS 7D");
    EdsCameraRef c2 = fake->addCamera("Canon EOS 60D");
    {
        std::lock_guard<std::mutex> g(fake->m);
        fake->nullChildren.insert(1);
    }
    startRegistry();

    EXPECT_EQ(logCount(QStringLiteral("error: received a NULL camera ref for child at index 1!")), 1)
        << qPrintable(logText());
    {
        std::lock_guard<std::mutex> g(fake->m);
        EXPECT_EQ(fake->visitedIndices, (std::vector<int>{2, 1, 0}));
    }
    SNP_CanonCameraList cameras = registry();
    ASSERT_EQ(cameras.size(), 2);
    EXPECT_EQ(cameras[0]->cameraRef(), c2);
    EXPECT_EQ(cameras[1]->cameraRef(), c0);
    EXPECT_EQ(fake->count("EdsRelease(list)"), 1);
    EXPECT_EQ(countReceived(SNP_CanonCameraListDidUpdate), 1);
}

TEST_F(RegistryTest, FailingChildLookupEndsTheVisitButReleasesTheList)
{
    EdsCameraRef c0 = fake->addCamera("Canon EOS 5D");
    fake->addCamera("Canon EOS 7D");
    EdsCameraRef c2 = fake->addCamera("Canon EOS 60D");
    {
        std::lock_guard<std::mutex> g(fake->m);
        fake->childFaults[1] = EDS_ERR_COMM_DISCONNECTED;
    }
    startRegistry();

    EXPECT_EQ(logCount(QStringLiteral("error 0XC1 (%1) getting child camera at index 1").arg(strForEDSError(0xC1))), 1)
        << qPrintable(logText());
    {
        std::lock_guard<std::mutex> g(fake->m);
        EXPECT_EQ(fake->visitedIndices, (std::vector<int>{2, 1}));
        EXPECT_EQ(fake->refCount(fake->lastList), 0);
    }
    EXPECT_EQ(fake->count("EdsRelease(list)"), 1);
    SNP_CanonCameraList cameras = registry();
    ASSERT_EQ(cameras.size(), 1);
    EXPECT_EQ(cameras[0]->cameraRef(), c2);
    // The child taken was given back; the child never taken was never referenced.
    EXPECT_EQ(fake->refCount(c2), 1);
    EXPECT_EQ(fake->refCount(c0), 0);
}

// ---- Non-blocking snapshot ----

TEST_F(RegistryTest, CamerasAnswersNilWhileTheRegistryLockIsHeld)
{
    fake->addCamera("Canon EOS 5D");
    startRegistry();
    ASSERT_EQ(registry().size(), 1);

    std::mutex m;
    std::condition_variable cv;
    bool locked = false, release = false;
    std::thread holder([&] {
        auto lock = SNP_CanonCamera::lockRegistryForTesting();
        {
            std::lock_guard<std::mutex> g(m);
            locked = true;
        }
        cv.notify_all();
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return release; });
    });
    {
        std::unique_lock<std::mutex> l(m);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(5), [&] { return locked; }));
    }

    std::optional<SNP_CanonCameraList> whileHeld = SNP_CanonCamera::cameras();
    {
        std::lock_guard<std::mutex> g(m);
        release = true;
    }
    cv.notify_all();
    holder.join();

    EXPECT_FALSE(whileHeld.has_value());
    std::optional<SNP_CanonCameraList> after = SNP_CanonCamera::cameras();
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->size(), 1);
}

TEST_F(RegistryTest, UpdateWaitsForTheRegistryLockAndThenPublishes)
{
    startRegistry();
    fake->addCamera("Canon EOS 5D");

    std::mutex m;
    std::condition_variable cv;
    bool locked = false, release = false;
    std::thread holder([&] {
        auto lock = SNP_CanonCamera::lockRegistryForTesting();
        {
            std::lock_guard<std::mutex> g(m);
            locked = true;
        }
        cv.notify_all();
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return release; });
    });
    {
        std::unique_lock<std::mutex> l(m);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(5), [&] { return locked; }));
    }
    SNP_CanonCamera::updateCameraList();
    // The update cannot finish while the lock is held; the snapshot keeps answering nil.
    EXPECT_FALSE(SNP_CanonCamera::waitForCameraListUpdates(200));
    EXPECT_FALSE(SNP_CanonCamera::cameras().has_value());
    {
        std::lock_guard<std::mutex> g(m);
        release = true;
    }
    cv.notify_all();
    holder.join();

    ASSERT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
    drain();
    EXPECT_EQ(registry().size(), 1);
    EXPECT_EQ(countReceived(SNP_CanonCameraListDidUpdate), 1);
}

// ---- Known cameras ----

TEST_F(RegistryTest, KnownCameraKeepsItsObjectAndHandlersAcrossUpdates)
{
    EdsCameraRef a = fake->addCamera("Canon EOS 5D");
    startRegistry();
    SNP_CanonCameraList first = registry();
    ASSERT_EQ(first.size(), 1);
    SNP_CanonCameraPtr objectA = first[0];
    std::weak_ptr<SNP_CanonCamera> weakA = objectA;
    first.clear();
    objectA.reset();
    ASSERT_EQ(fake->count("setStateHandler"), 1);
    ASSERT_EQ(fake->count("EdsRetain"), 1);

    EdsCameraRef b = fake->addCamera("Canon EOS 7D");
    updateAndWait();

    SNP_CanonCameraList second = registry();
    ASSERT_EQ(second.size(), 2);
    EXPECT_EQ(second[0]->cameraRef(), b);
    EXPECT_EQ(second[1]->cameraRef(), a);
    // The very same object for A, still the receiver of A's state events.
    EXPECT_EQ(second[1].get(), weakA.lock().get());
    EXPECT_EQ(fake->stateHandler(a).context, second[1]->handlerContext());
    EXPECT_EQ(fake->stateHandler(b).context, second[0]->handlerContext());
    EXPECT_EQ(fake->count("setStateHandler"), 2);
    EXPECT_EQ(fake->count("clearStateHandler"), 0);
    EXPECT_EQ(fake->count("EdsRetain"), 2);
    EXPECT_EQ(logCount(QStringLiteral("detected new camera Canon EOS 5D")), 1);
    EXPECT_EQ(logCount(QStringLiteral("detected new camera Canon EOS 7D")), 1);
    EXPECT_EQ(countReceived(SNP_CanonCameraListDidUpdate), 2);
    EXPECT_EQ(fake->refCount(a), 1);
    EXPECT_EQ(fake->refCount(b), 1);

    // A state event for A still reaches A's object.
    std::thread sdkThread([&] { EXPECT_EQ(fake->fireStateEvent(a, kEdsStateEvent_WillSoonShutDown, 9), EDS_ERR_OK); });
    sdkThread.join();
    EXPECT_EQ(logCount(QStringLiteral("camera Canon EOS 5D shutdown timer soon (9)")), 1) << qPrintable(logText());
}

TEST_F(RegistryTest, CameraLeavingTheListIsDestroyedAndClearsItsStateHandler)
{
    EdsCameraRef a = fake->addCamera("Canon EOS 5D");
    startRegistry();
    std::weak_ptr<SNP_CanonCamera> weakA = registry().value(0);
    ASSERT_FALSE(weakA.expired());

    fake->disconnectAll();
    updateAndWait();

    EXPECT_TRUE(weakA.expired());
    EXPECT_EQ(fake->stateHandler(a).handler, nullptr);
    EXPECT_EQ(fake->stateHandler(a).context, nullptr);
    EXPECT_EQ(fake->count("clearStateHandler"), 1);
    EXPECT_EQ(fake->refCount(a), 0);
}

TEST_F(RegistryTest, ShutdownTerminatesTheSdkOnce)
{
    fake->addCamera("Canon EOS 5D");
    startRegistry();
    EXPECT_EQ(fake->count("EdsInitializeSDK"), 1);
    EXPECT_EQ(fake->count("EdsSetCameraAddedHandler"), 1);
    SNP_CanonCamera::applicationWillTerminate();
    SNP_CanonCamera::applicationWillTerminate();
    EXPECT_EQ(fake->count("EdsTerminateSDK"), 1);
    // The registry was emptied on the way down.
    EXPECT_TRUE(registry().isEmpty());
}

// A camera plugged in as the booth shuts down: its camera-added callback, running while
// the handler is cleared, starts no update that fills the registry again.
TEST_F(RegistryTest, CameraArrivingAtShutdownDoesNotRefillTheRegistry)
{
    fake->addCamera("Canon EOS 5D");
    startRegistry();
    fake->addCamera("Canon EOS 7D");
    fake->setWhenCalled([&](const std::string& call) {
        if (call == "clearCameraAddedHandler")
            fake->fireCameraAdded();
    });
    SNP_CanonCamera::applicationWillTerminate();
    fake->setWhenCalled(nullptr);
    EXPECT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
    drain();
    EXPECT_TRUE(registry().isEmpty());
    const std::vector<std::string> calls = fake->callLog();
    const auto terminated = std::find(calls.begin(), calls.end(), "EdsTerminateSDK");
    ASSERT_NE(terminated, calls.end());
    EXPECT_EQ(std::find(terminated, calls.end(), "EdsGetCameraList"), calls.end());
}

}  // namespace
