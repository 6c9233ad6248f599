// The per-camera command queue: command texts, queueing without sending, starting one
// command per call in queue order, one send at a time under the command lock, refused
// commands reported once, lens drive and zoom refusals, and the named locks.
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

#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace {

// The scripted SDK whose command sends can be held inside the SDK call.
class GatedSdk : public FakeEdsSdk {
public:
    EdsError EdsSendCommand(EdsCameraRef ref, EdsCameraCommand command, EdsInt32 parameter) override
    {
        EdsError error = FakeEdsSdk::EdsSendCommand(ref, command, parameter);
        std::unique_lock<std::mutex> l(gateLock);
        ++inside;
        gateCv.notify_all();
        gateCv.wait(l, [&] { return !gateClosed; });
        --inside;
        return error;
    }
    void closeGate()
    {
        std::lock_guard<std::mutex> g(gateLock);
        gateClosed = true;
    }
    void openGate()
    {
        {
            std::lock_guard<std::mutex> g(gateLock);
            gateClosed = false;
        }
        gateCv.notify_all();
    }
    bool waitInside(int n)
    {
        std::unique_lock<std::mutex> l(gateLock);
        return gateCv.wait_for(l, std::chrono::seconds(5), [&] { return inside >= n; });
    }

    std::mutex gateLock;
    std::condition_variable gateCv;
    bool gateClosed = false;
    int inside = 0;
};

class QueueTest : public ::testing::Test {
protected:
    struct Received {
        SNP_Notification notification;
        bool onMainThread = false;
    };

    void SetUp() override
    {
        SNP_Log::resetForTesting();
        ASSERT_TRUE(dir.isValid());
        logPath = dir.filePath(QStringLiteral("camera.log"));
        ASSERT_TRUE(SNP_Log::setLogFile(logPath));
        fake = std::make_shared<GatedSdk>();
        weakFake = fake;
        EdsSetCurrentSdk(fake);
        ref = fake->addCamera("Canon EOS 5D");
        camera = SNP_CanonCamera::initWithCameraRef(ref);
        ASSERT_TRUE(camera);
        SNP_NotificationCenter::defaultCenter().addObserver(this, QString(), [this](const SNP_Notification& n) {
            std::lock_guard<std::mutex> g(receivedLock);
            received.push_back(Received{n, QThread::currentThread() == qApp->thread()});
        });
    }

    void TearDown() override
    {
        fake->openGate();
        SNP_NotificationCenter::defaultCenter().removeObserver(this);
        // Every started command thread holds the camera until it is done.
        std::weak_ptr<SNP_CanonCamera> weakCamera = camera;
        camera.reset();
        {
            std::lock_guard<std::mutex> g(receivedLock);
            received.clear();
        }
        EXPECT_TRUE(waitUntil([&] { return weakCamera.expired(); }));
        SNP_CanonCamera::resetRegistryForTesting();
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

    QString logText() const
    {
        QFile file(logPath);
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(file.readAll());
    }
    int logCount(const QString& text) const { return int(logText().count(text)); }

    // Waits until n command threads have finished sending, then runs their hand-offs.
    bool waitForCommandsDone(int n)
    {
        bool done = waitUntil([&] { return logCount(QStringLiteral("unlocked command lock on thread")) >= n; });
        drain();
        return done;
    }

    std::vector<Received> receivedNamed(const QString& name)
    {
        std::lock_guard<std::mutex> g(receivedLock);
        std::vector<Received> out;
        for (const Received& r : received)
            if (r.notification.name == name)
                out.push_back(r);
        return out;
    }
    size_t receivedCount()
    {
        std::lock_guard<std::mutex> g(receivedLock);
        return received.size();
    }

    static QString text(uint32_t command, int32_t parameter)
    {
        return SNP_CanonCamera::descriptionForCommandDictionary(SNP_CanonCamera::commandDictionary(command, parameter));
    }

    QTemporaryDir dir;
    QString logPath;
    std::shared_ptr<GatedSdk> fake;
    std::weak_ptr<FakeEdsSdk> weakFake;
    EdsCameraRef ref = nullptr;
    SNP_CanonCameraPtr camera;
    std::mutex receivedLock;
    std::vector<Received> received;
};

// ---- Command texts ----

TEST_F(QueueTest, CommandTexts)
{
    EXPECT_EQ(text(0, 0), QStringLiteral("Take a picture"));
    EXPECT_EQ(text(1, 0), QStringLiteral("Extend shutdown timer"));
    EXPECT_EQ(text(2, 0), QStringLiteral("Start bulb"));
    EXPECT_EQ(text(3, 0), QStringLiteral("Stop bulb"));
    EXPECT_EQ(text(4, 0), QStringLiteral("Release Shutter Button"));
    EXPECT_EQ(text(4, 1), QStringLiteral("Press Shutter Button halfway"));
    EXPECT_EQ(text(4, 2), QStringLiteral("Press Shutter Button "));
    EXPECT_EQ(text(4, 3), QStringLiteral("Press Shutter Button completely"));
    EXPECT_EQ(text(4, 0x10001), QStringLiteral("Press Shutter Button halfway (no AF)"));
    EXPECT_EQ(text(4, 0x10003), QStringLiteral("Press Shutter Button completely (no AF)"));
    EXPECT_EQ(text(0x102, 0), QStringLiteral("Do LiveView AutoFocus"));
    EXPECT_EQ(text(0x103, 1), QStringLiteral("Drive LiveView Lens"));
    EXPECT_EQ(text(0x104, 0), QStringLiteral("Set White balance in LiveView"));
    EXPECT_EQ(text(0x105, 0), QStringLiteral("some unknown command"));
    EXPECT_EQ(text(5, 0), QStringLiteral("some unknown command"));
}

TEST_F(QueueTest, CommandDictionaryCarriesNumberParameterAndText)
{
    QVariantMap dictionary = SNP_CanonCamera::commandDictionary(4, 3);
    EXPECT_EQ(dictionary.value(QStringLiteral("commandNumber")).toUInt(), 4u);
    EXPECT_EQ(dictionary.value(QStringLiteral("commandParam")).toUInt(), 3u);
    EXPECT_EQ(dictionary.value(QStringLiteral("description")).toString(),
              QStringLiteral("Press Shutter Button completely"));
}

TEST_F(QueueTest, DictionaryWithoutCommandNumberHasNoTextAndIsNeverSent)
{
    QVariantMap dictionary;
    dictionary.insert(QStringLiteral("commandParam"), 1u);
    EXPECT_TRUE(SNP_CanonCamera::descriptionForCommandDictionary(dictionary).isNull());
    camera->performCommandWithDictionary(dictionary);
    EXPECT_TRUE(fake->sentCommands().empty());
    EXPECT_EQ(logCount(QStringLiteral("trying to get commandLock")), 0);
}

// ---- Queueing and starting ----

TEST_F(QueueTest, TakePictureOnlyQueues)
{
    camera->takePicture();
    QList<QVariantMap> queued = camera->queuedCommands();
    ASSERT_EQ(queued.size(), 1);
    EXPECT_EQ(queued[0].value(QStringLiteral("commandNumber")).toUInt(), 0u);
    EXPECT_EQ(logCount(QStringLiteral("added command Take a picture to queue")), 1);
    EXPECT_TRUE(fake->sentCommands().empty());
    EXPECT_EQ(logCount(QStringLiteral("trying to get commandLock")), 0);
}

TEST_F(QueueTest, ShutterOperationsQueueCommandFourWithTheirParameters)
{
    camera->pressShutterHalf();
    camera->pressShutterFull();
    camera->releaseShutter();
    camera->pressShutter(0x10001);
    QList<QVariantMap> queued = camera->queuedCommands();
    ASSERT_EQ(queued.size(), 4);
    const uint32_t parameters[] = {1, 3, 0, 0x10001};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(queued[i].value(QStringLiteral("commandNumber")).toUInt(), 4u);
        EXPECT_EQ(queued[i].value(QStringLiteral("commandParam")).toUInt(), parameters[i]);
    }
    EXPECT_EQ(queued[2].value(QStringLiteral("description")).toString(), QStringLiteral("Release Shutter Button"));
}

TEST_F(QueueTest, EachStartSendsTheOldestQueuedCommand)
{
    camera->pressShutterHalf();
    camera->takePicture();
    camera->releaseShutter();

    camera->performNextQueuedCameraCommand();
    ASSERT_TRUE(waitForCommandsDone(1));
    camera->performNextQueuedCameraCommand();
    ASSERT_TRUE(waitForCommandsDone(2));

    std::vector<FakeEdsSdk::SentCommand> sent = fake->sentCommands();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].camera, ref);
    EXPECT_EQ(sent[0].command, 4u);
    EXPECT_EQ(sent[0].parameter, 1);
    EXPECT_EQ(sent[1].command, 0u);
    EXPECT_EQ(sent[1].parameter, 0);
    QList<QVariantMap> left = camera->queuedCommands();
    ASSERT_EQ(left.size(), 1);
    EXPECT_EQ(left[0].value(QStringLiteral("description")).toString(), QStringLiteral("Release Shutter Button"));
    EXPECT_EQ(logCount(QStringLiteral("sent command Press Shutter Button halfway")), 1) << qPrintable(logText());
    EXPECT_EQ(logCount(QStringLiteral("sent command Take a picture")), 1);
    EXPECT_EQ(receivedCount(), 0u);
}

TEST_F(QueueTest, TwoQuickStartsOfThreeQueuedLeaveTheThird)
{
    camera->queueCameraCommand(0, 0);
    camera->queueCameraCommand(1, 0);
    camera->queueCameraCommand(2, 0);
    camera->performNextQueuedCameraCommand();
    camera->performNextQueuedCameraCommand();
    ASSERT_TRUE(waitForCommandsDone(2));

    std::vector<FakeEdsSdk::SentCommand> sent = fake->sentCommands();
    ASSERT_EQ(sent.size(), 2u);
    std::set<EdsCameraCommand> commands{sent[0].command, sent[1].command};
    EXPECT_EQ(commands, (std::set<EdsCameraCommand>{0, 1}));
    QList<QVariantMap> left = camera->queuedCommands();
    ASSERT_EQ(left.size(), 1);
    EXPECT_EQ(left[0].value(QStringLiteral("commandNumber")).toUInt(), 2u);
}

TEST_F(QueueTest, EmptyQueueStartsNothing)
{
    camera->performNextQueuedCameraCommand();
    camera->takePicture();
    EXPECT_EQ(camera->queuedCommands().size(), 1);
    EXPECT_TRUE(fake->sentCommands().empty());
}

TEST_F(QueueTest, CommandsReachTheSdkOneAtATime)
{
    fake->closeGate();
    camera->pressShutterFull();
    camera->releaseShutter();
    camera->performNextQueuedCameraCommand();
    ASSERT_TRUE(fake->waitInside(1));
    camera->performNextQueuedCameraCommand();
    // The second command waits for the command lock while the first is inside the SDK.
    ASSERT_TRUE(waitUntil([&] { return logCount(QStringLiteral("waiting for command lock")) == 1; }))
        << qPrintable(logText());
    EXPECT_EQ(fake->sentCommands().size(), 1u);
    fake->openGate();
    ASSERT_TRUE(waitForCommandsDone(2));

    std::vector<FakeEdsSdk::SentCommand> sent = fake->sentCommands();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].parameter, 3);
    EXPECT_EQ(sent[1].parameter, 0);
    EXPECT_EQ(logCount(QStringLiteral("timed out waiting for command lock")), 0);
}

// ---- Refused commands ----

TEST_F(QueueTest, RefusedCommandPostsOneCommandErrorOnTheMainThread)
{
    {
        std::lock_guard<std::mutex> g(fake->m);
        fake->commandFaults[kEdsCameraCommand_TakePicture] = EDS_ERR_DEVICE_BUSY;
    }
    camera->takePicture();
    camera->performNextQueuedCameraCommand();
    ASSERT_TRUE(waitUntil([&] { return !receivedNamed(SNP_CanonCameraCommandError).empty(); }));
    ASSERT_TRUE(waitForCommandsDone(1));

    std::vector<Received> errors = receivedNamed(SNP_CanonCameraCommandError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(receivedCount(), 1u);
    const SNP_Notification& n = errors[0].notification;
    EXPECT_TRUE(errors[0].onMainThread);
    EXPECT_EQ(n.object.camera().get(), camera.get());
    QVariantMap dictionary = n.userInfo.value(SNP_CanonCameraCommandDictionary).toMap();
    EXPECT_EQ(dictionary.value(QStringLiteral("commandNumber")).toUInt(), 0u);
    EXPECT_EQ(dictionary.value(QStringLiteral("description")).toString(), QStringLiteral("Take a picture"));
    ASSERT_TRUE(n.userInfo.value(SNP_CanonCameraCommandError).canConvert<SNP_Error>());
    SNP_Error error = n.userInfo.value(SNP_CanonCameraCommandError).value<SNP_Error>();
    EXPECT_EQ(error.domain, QStringLiteral("EdsError"));
    EXPECT_EQ(error.code, qint64(EDS_ERR_DEVICE_BUSY));
    EXPECT_EQ(error.localizedDescription(), strForEDSError(EDS_ERR_DEVICE_BUSY));
    EXPECT_EQ(error.userInfo.value(SNP_CanonCameraCommandDictionary).toMap(), dictionary);
    EXPECT_EQ(logCount(QStringLiteral("error 81 sending command 0 (parameter 0) to Canon EOS 5D")), 1)
        << qPrintable(logText());
    EXPECT_EQ(logCount(QStringLiteral("sent command")), 0);

    // The queue goes on: the next command is sent and reports nothing.
    camera->pressShutterHalf();
    camera->performNextQueuedCameraCommand();
    ASSERT_TRUE(waitForCommandsDone(2));
    EXPECT_EQ(fake->sentCommands().size(), 2u);
    EXPECT_EQ(receivedNamed(SNP_CanonCameraCommandError).size(), 1u);
}

TEST_F(QueueTest, DirectCommandAnswersTheSdkErrorWithoutNotification)
{
    {
        std::lock_guard<std::mutex> g(fake->m);
        fake->commandFaults[kEdsCameraCommand_ExtendShutDownTimer] = EDS_ERR_COMM_DISCONNECTED;
    }
    EXPECT_EQ(camera->performCameraCommand(kEdsCameraCommand_ExtendShutDownTimer, 0), EdsError(EDS_ERR_COMM_DISCONNECTED));
    EXPECT_EQ(camera->performCameraCommand(kEdsCameraCommand_TakePicture, 0), EdsError(EDS_ERR_OK));
    drain();
    EXPECT_EQ(fake->sentCommands().size(), 2u);
    EXPECT_EQ(receivedCount(), 0u);
    EXPECT_EQ(logCount(QStringLiteral("error c1 sending a command with Canon EOS 5D")), 1) << qPrintable(logText());
    EXPECT_TRUE(camera->queuedCommands().isEmpty());
}

// ---- Lens drive and zoom ----

TEST_F(QueueTest, LensDriveSendsAcceptedValuesAtOnceAndRefusesOthers)
{
    camera->liveViewDriveAF(4);
    camera->liveViewDriveAF(0x8004);
    EXPECT_EQ(logCount(QStringLiteral("bad parameter 4 for DriveLensEvf")), 1);
    EXPECT_EQ(logCount(QStringLiteral("bad parameter 32772 for DriveLensEvf")), 1);
    EXPECT_TRUE(camera->queuedCommands().isEmpty());

    camera->liveViewDriveAF(0x8002);
    ASSERT_TRUE(waitForCommandsDone(1));
    camera->liveViewDriveAFNear1();
    ASSERT_TRUE(waitForCommandsDone(2));
    std::vector<FakeEdsSdk::SentCommand> sent = fake->sentCommands();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].command, kEdsCameraCommand_DriveLensEvf);
    EXPECT_EQ(sent[0].parameter, 0x8002);
    EXPECT_EQ(sent[1].parameter, 1);
    EXPECT_EQ(logCount(QStringLiteral("sending parameter 0X8002 for DriveLensEvf")), 1);
    EXPECT_TRUE(camera->queuedCommands().isEmpty());
}

TEST_F(QueueTest, ZoomRefusesValuesOtherThanOneFiveAndTen)
{
    camera->liveViewSetZoom(2);
    EXPECT_EQ(logCount(QStringLiteral("bad parameter 2 for evfZoom")), 1);
    camera->liveViewSetZoom(5);
    EXPECT_EQ(logCount(QStringLiteral("bad parameter 5 for evfZoom")), 0);
    EXPECT_TRUE(fake->sentCommands().empty());
    EXPECT_TRUE(camera->queuedCommands().isEmpty());
}

// ---- Locks ----

TEST_F(QueueTest, CameraLockIsGrantedAtOnce)
{
    EXPECT_TRUE(camera->waitForCameraLock(0.0));
    EXPECT_TRUE(camera->waitForCameraLock(3.0));  // again, with nothing released in between
    camera->unlockCameraLock();
    EXPECT_EQ(camera->liveViewSupportLevel(), 0);
}

TEST_F(QueueTest, TimedLockWaitsForItsHolderOrTimesOut)
{
    SNP_NamedLock lock(QStringLiteral("testLock"));
    std::mutex m;
    std::condition_variable cv;
    bool held = false, release = false;
    std::thread holder([&] {
        ASSERT_TRUE(lock.tryLock());
        {
            std::lock_guard<std::mutex> g(m);
            held = true;
        }
        cv.notify_all();
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return release; });
        lock.unlock();
    });
    {
        std::unique_lock<std::mutex> l(m);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(5), [&] { return held; }));
    }

    EXPECT_FALSE(SNP_CanonCamera::getLock(lock, QDeadlineTimer(20)));
    EXPECT_EQ(logCount(QStringLiteral("timed out waiting for testLock lock")), 1) << qPrintable(logText());

    // Released while the next caller waits: that caller gets it.
    std::thread releaser([&] {
        QDeadlineTimer deadline(5000);
        while (logCount(QStringLiteral("secs for testLock lock on thread")) < 2 && !deadline.hasExpired())
            std::this_thread::yield();
        {
            std::lock_guard<std::mutex> g(m);
            release = true;
        }
        cv.notify_all();
    });
    std::thread taker([&] {
        EXPECT_TRUE(SNP_CanonCamera::getLock(lock, QDeadlineTimer(5000)));
        lock.unlock();
    });
    taker.join();
    releaser.join();
    holder.join();
    EXPECT_EQ(logCount(QStringLiteral("got testLock lock after waiting")), 1) << qPrintable(logText());
    EXPECT_TRUE(SNP_CanonCamera::getLock(lock, QDeadlineTimer(0)));
    lock.unlock();
}

}  // namespace
