// The per-camera command queue: command texts, queueing without sending, starting one
// command per call in queue order, one send at a time, refused commands reported once,
// lens drive and zoom refusals, and the named locks.
#include "SNP_CanonCameraNames.h"
#include "camera/CameraFixture.h"
#include "camera/FakeEdsSdk.h"

#include <thread>

namespace {

class QueueTest : public CameraFixture<FakeEdsSdk> {
protected:
    void SetUp() override
    {
        CameraFixture::SetUp();
        camera = SNP_CanonCamera::initWithCameraRef(sdk->addCamera("Canon EOS 5D"));
        ASSERT_TRUE(camera);
    }
    // Waits until n commands were sent and every command thread has let the camera go.
    bool waitForCommandsDone(size_t n)
    {
        return waitUntil([&] { return sdk->sentCommands().size() >= n && camera.use_count() == 1; });
    }
};

TEST_F(QueueTest, CommandTexts)
{
    const struct {
        uint32_t command;
        int32_t parameter;
        const char* text;
    } rows[] = {
        {0, 0, "Take a picture"}, {1, 0, "Extend shutdown timer"}, {2, 0, "Start bulb"}, {3, 0, "Stop bulb"},
        {4, 0, "Release Shutter Button"}, {4, 1, "Press Shutter Button halfway"},
        {4, 2, "Press Shutter Button "}, {4, 3, "Press Shutter Button completely"},
        {4, 0x10001, "Press Shutter Button halfway (no AF)"}, {4, 0x10003, "Press Shutter Button completely (no AF)"},
        {0x102, 0, "Do LiveView AutoFocus"}, {0x103, 1, "Drive LiveView Lens"},
        {0x104, 0, "Set White balance in LiveView"}, {0x105, 0, "some unknown command"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(SNP_CanonCamera::commandDictionary(row.command, row.parameter).value(QStringLiteral("description")).toString(),
                  QLatin1String(row.text));
    // Without a command number: no text, and never sent.
    const QVariantMap parameterOnly{{QStringLiteral("commandParam"), 1u}};
    EXPECT_TRUE(SNP_CanonCamera::descriptionForCommandDictionary(parameterOnly).isNull());
    camera->performCommandWithDictionary(parameterOnly);
    drain();
    EXPECT_TRUE(sdk->sentCommands().empty());
}

// Operations queue without sending; each start sends the oldest, and a second start waits
// until the first command has left the SDK.
TEST_F(QueueTest, OperationsQueueAndReachTheSdkOldestFirstOneAtATime)
{
    TestGate firstIn, secondIn, release;
    std::atomic<int> inside{0}, entries{0}, most{0};
    sdk->setWhenCalled([&](const std::string& call) {  // holds each send inside the SDK
        if (call != "EdsSendCommand")
            return;
        most = std::max(most.load(), ++inside);
        (++entries == 1 ? firstIn : secondIn).open();
        release.wait();
        --inside;
    });
    camera->performNextQueuedCameraCommand();  // an empty queue starts nothing
    camera->takePicture();
    camera->pressShutterHalf();
    camera->pressShutterFull();
    camera->releaseShutter();
    camera->pressShutter(0x10001);
    const std::pair<uint32_t, uint32_t> queued[] = {{0, 0}, {4, 1}, {4, 3}, {4, 0}, {4, 0x10001}};
    const QList<QVariantMap> commands = camera->queuedCommands();
    ASSERT_EQ(commands.size(), 5);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(std::make_pair(commands[i].value(QStringLiteral("commandNumber")).toUInt(),
                                 commands[i].value(QStringLiteral("commandParam")).toUInt()),
                  queued[i]);
    EXPECT_TRUE(sdk->sentCommands().empty());

    camera->performNextQueuedCameraCommand();
    ASSERT_TRUE(firstIn.wait());
    camera->performNextQueuedCameraCommand();
    EXPECT_FALSE(secondIn.wait(200));  // the second waits for the first
    release.open();
    ASSERT_TRUE(waitForCommandsDone(2));
    sdk->setWhenCalled(nullptr);
    const std::vector<FakeEdsSdk::SentCommand> sent = sdk->sentCommands();
    EXPECT_EQ(std::make_pair(sent[0].command, sent[0].parameter), std::make_pair(EdsCameraCommand(0), 0));
    EXPECT_EQ(sent[1].parameter, 1);
    EXPECT_EQ(most, 1);
    EXPECT_EQ(camera->queuedCommands().size(), 3);
    EXPECT_TRUE(receivedNamed().empty());
}

// A refused command posts one error; lens drive and zoom go at once, bad values never.
TEST_F(QueueTest, RefusedCommandsAndImmediateOnes)
{
    sdk->fail("EdsSendCommand", EDS_ERR_DEVICE_BUSY);
    camera->takePicture();
    camera->performNextQueuedCameraCommand();
    ASSERT_TRUE(waitForCommandsDone(1));
    std::vector<Received> errors = receivedNamed();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].name, SNP_CanonCameraCommandError);
    EXPECT_TRUE(errors[0].onMainThread);
    EXPECT_EQ(errors[0].userInfo.value(SNP_CanonCameraCommandDictionary).toMap(), SNP_CanonCamera::commandDictionary(0, 0));
    const SNP_Error error = errors[0].userInfo.value(SNP_CanonCameraCommandError).value<SNP_Error>();
    EXPECT_EQ(error.code, qint64(EDS_ERR_DEVICE_BUSY));
    EXPECT_EQ(error.localizedDescription(), strForEDSError(EDS_ERR_DEVICE_BUSY));

    // The queue goes on: the next command is sent and reports nothing; a command sent
    // directly answers the SDK's error and posts nothing either.
    sdk->fail("EdsSendCommand", EDS_ERR_OK);
    camera->pressShutterHalf();
    camera->performNextQueuedCameraCommand();
    ASSERT_TRUE(waitForCommandsDone(2));
    sdk->fail("EdsSendCommand", EDS_ERR_COMM_DISCONNECTED);
    EXPECT_EQ(camera->performCameraCommand(kEdsCameraCommand_ExtendShutDownTimer, 0), EdsError(EDS_ERR_COMM_DISCONNECTED));
    drain();
    EXPECT_EQ(receivedNamed().size(), 1u);
    sdk->fail("EdsSendCommand", EDS_ERR_OK);

    // Lens drive and zoom send accepted values at once and refuse others.
    for (uint32_t bad : {4u, 0x8004u})
        camera->liveViewDriveAF(bad);
    camera->liveViewSetZoom(2);
    camera->liveViewSetZoom(5);
    const auto zooms = sdk->locked([&] { return sdk->writes; });
    ASSERT_EQ(zooms.size(), 1u);
    EXPECT_EQ(zooms[0].id, 0x507u);
    EXPECT_EQ(zooms[0].bytes.at(0), 5);
    camera->liveViewDriveAF(0x8002);
    ASSERT_TRUE(waitForCommandsDone(4));  // after the three sends above
    camera->liveViewDriveAFNear1();
    ASSERT_TRUE(waitForCommandsDone(5));
    const std::vector<FakeEdsSdk::SentCommand> sent = sdk->sentCommands();
    EXPECT_EQ(sent[3].command, kEdsCameraCommand_DriveLensEvf);
    EXPECT_EQ(sent[3].parameter, 0x8002);
    EXPECT_EQ(sent[4].parameter, 1);
    EXPECT_TRUE(camera->queuedCommands().isEmpty());
}

TEST_F(QueueTest, TimedLockWaitsForItsHolderOrTimesOut)
{
    SNP_NamedLock lock(QStringLiteral("testLock"));
    TestGate held, release;
    std::thread holder([&] {
        ASSERT_TRUE(lock.tryLock());
        held.open();
        release.wait();
        lock.unlock();
    });
    ASSERT_TRUE(held.wait());
    EXPECT_FALSE(SNP_CanonCamera::getLock(lock, QDeadlineTimer(20)));
    // Released while the next caller waits (its waiting line says so): that caller gets it.
    std::thread releaser([&] {
        for (QDeadlineTimer d(5000); logText().count(QStringLiteral("secs for testLock lock on thread")) < 2 && !d.hasExpired();)
            std::this_thread::yield();
        release.open();
    });
    EXPECT_TRUE(SNP_CanonCamera::getLock(lock, QDeadlineTimer(5000)));
    lock.unlock();
    releaser.join();
    holder.join();
}

}  // namespace
