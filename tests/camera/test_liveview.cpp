// Live view over the simulated camera: switching the viewfinder output (other bits kept),
// one frame loop per camera, the not-ready wait and its end, the buffer kept across runs,
// bad frames costing one frame each with bounded log lines, the newest frame winning over
// a slow main thread, every failure row, and unplugging while frames stream.
#include "PWNSImageFlipped.h"
#include "SNP_CanonCamera.h"
#include "SNP_Log.h"
#include "SimCameraSdk.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr EdsPropertyID kEvfOutputDevice = 0x500;
constexpr EdsPropertyID kEvfMode = 0x501;

struct Frame {
    PWNSImageFlipped image;
    bool onMainThread = false;
    const void* object = nullptr;
};

class LiveViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SNP_Log::resetForTesting();
        ASSERT_TRUE(dir.isValid());
        logPath = dir.filePath(QStringLiteral("liveview.log"));
        ASSERT_TRUE(SNP_Log::setLogFile(logPath));
        sim = std::make_shared<SimCameraSdk>();
        weakSim = sim;
        EdsSetCurrentSdk(sim);
        camId = sim->connectedCameras().front();
        camera = SNP_CanonCamera::initWithCameraRef(sim->cameraRef(camId));
        ASSERT_TRUE(camera);
        ASSERT_TRUE(camera->load());
        ASSERT_TRUE(sim->waitForIdle());
        SNP_NotificationCenter::defaultCenter().addObserver(
            this, SNP_CanonCameraLiveViewImageUpdate, [this](const SNP_Notification& n) {
                Frame f;
                f.onMainThread = QThread::currentThread() == qApp->thread();
                f.object = n.object.identity();
                f.image = n.userInfo.value(SNP_CanonCameraLiveViewImage).value<PWNSImageFlipped>();
                std::lock_guard<std::mutex> g(framesLock);
                frames.push_back(std::move(f));
            });
    }

    void TearDown() override
    {
        SNP_NotificationCenter::defaultCenter().removeObserver(this);
        if (sim)
            sim->clearFaults();
        if (camera) {
            std::weak_ptr<SNP_CanonCamera> weakCamera = camera;
            camera->unload();
            EXPECT_TRUE(camera->waitForLiveViewLoopEnd(5000));
            camera.reset();
            // the loop thread's reference goes on the main thread
            EXPECT_TRUE(waitUntil([&] { return weakCamera.expired(); }));
        }
        EdsSetCurrentSdk(nullptr);
        sim.reset();
        EXPECT_TRUE(waitUntil([&] { return weakSim.expired(); }));
        SNP_Log::resetForTesting();
    }

    QString logText() const
    {
        QFile file(logPath);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll());
    }
    int logCount(const QString& text) const { return int(logText().count(text)); }
    // A switch-off ends the loop by the confirming event, or (when the loop fetches before
    // the event came) by the camera's refusal to send frames; both may be logged.
    int stopLines() const
    {
        return logCount(QStringLiteral("stopping liveView")) +
               logCount(QStringLiteral("error 0x82 downloading liveView image"));
    }

    size_t frameCount()
    {
        std::lock_guard<std::mutex> g(framesLock);
        return frames.size();
    }
    Frame lastFrame()
    {
        std::lock_guard<std::mutex> g(framesLock);
        return frames.empty() ? Frame{} : frames.back();
    }

    // Switches live view on and waits until n more frames have been shown.
    void startAndWaitForFrames(size_t n = 3)
    {
        const size_t before = frameCount();
        camera->liveViewBegin();
        ASSERT_TRUE(waitUntil([&] { return frameCount() >= before + n; })) << qPrintable(logText());
    }
    void waitForFrames(size_t n)
    {
        const size_t before = frameCount();
        ASSERT_TRUE(waitUntil([&] { return frameCount() >= before + n; })) << qPrintable(logText());
    }
    // Switches off and waits until the loop has ended.
    void stop()
    {
        camera->liveViewEnd();
        ASSERT_TRUE(waitUntil([&] { return !camera->isLiveViewLoopRunning(); })) << qPrintable(logText());
    }
    // Stops the camera's frames and waits until the loop has dealt with every frame served.
    void pauseAndSettle()
    {
        sim->pauseLiveView(camId, true);
        // a fetch counted from now on started after the pause: any fetch in flight is over
        const int fetches = sim->callCount(SimOp::DownloadEvfImage);
        ASSERT_TRUE(waitUntil([&] { return sim->callCount(SimOp::DownloadEvfImage) > fetches; }));
        ASSERT_TRUE(waitUntil([&] {
            return camera->liveViewFramesBuilt() + camera->liveViewFramesRejected() ==
                   uint64_t(sim->liveViewFramesServed(camId));
        }));
    }

    QTemporaryDir dir;
    QString logPath;
    std::shared_ptr<SimCameraSdk> sim;
    std::weak_ptr<SimCameraSdk> weakSim;
    int camId = 0;
    SNP_CanonCameraPtr camera;
    std::mutex framesLock;
    std::vector<Frame> frames;
};

// ---- switching and the one loop ----

TEST_F(LiveViewTest, FramesReachTheMainThreadAsFlippedImagesKeepingTheirData)
{
    EXPECT_EQ(camera->liveViewStreamSize(), 0x200000u);
    EXPECT_EQ(camera->liveViewSupportLevel(), 0);
    startAndWaitForFrames(3);
    EXPECT_EQ(sim->cameraProperty(camId, kEvfMode), 1u);
    EXPECT_EQ(logCount(QStringLiteral("EdsSetPropertyData for PropertyID 501 is set")), 1);
    EXPECT_EQ(logCount(QStringLiteral("EdsSetPropertyData for PropertyID 500 is set")), 1);
    EXPECT_GE(logCount(QStringLiteral("about to get the liveoutput device")), 2);

    Frame f = lastFrame();
    EXPECT_TRUE(f.onMainThread);
    EXPECT_EQ(f.object, camera.get());
    ASSERT_FALSE(f.image.isNull());
    EXPECT_GE(f.image.width(), 1024);
    EXPECT_GE(f.image.height(), 680);
    EXPECT_TRUE(f.image.isFlippedVertically());
    ASSERT_TRUE(f.image.isDataRetained());
    // the image keeps exactly its own frame's bytes: a whole JPEG, not the 2 MiB buffer
    const QByteArray data = f.image.sourceData();
    ASSERT_GT(data.size(), 4);
    EXPECT_LT(data.size(), qsizetype(camera->liveViewStreamSize()));
    EXPECT_EQ(uint8_t(data[0]), 0xFF);
    EXPECT_EQ(uint8_t(data[1]), 0xD8);
    EXPECT_EQ(uint8_t(data[data.size() - 2]), 0xFF);
    EXPECT_EQ(uint8_t(data[data.size() - 1]), 0xD9);
    // frames move: two frames apart are different pictures
    waitForFrames(2);
    EXPECT_NE(lastFrame().image.sourceData(), data);
}

TEST_F(LiveViewTest, BeginWhileRunningWritesAgainButStartsNoSecondLoop)
{
    startAndWaitForFrames(2);
    EXPECT_EQ(camera->liveViewRunCount(), 1u);
    camera->liveViewBegin();
    ASSERT_TRUE(sim->waitForIdle());  // the confirming event has been handled
    waitForFrames(2);
    EXPECT_EQ(logCount(QStringLiteral("EdsSetPropertyData for PropertyID 500 is set")), 2);
    EXPECT_EQ(camera->liveViewRunCount(), 1u);
    EXPECT_TRUE(camera->isLiveViewLoopRunning());

    // a loop started by hand while one runs returns at once
    std::atomic<bool> returned{false};
    std::thread second([&] {
        camera->downloadLiveViewImage();
        returned = true;
    });
    EXPECT_TRUE(waitUntil([&] { return returned.load(); }));
    second.join();
    EXPECT_EQ(camera->liveViewRunCount(), 1u);
    EXPECT_TRUE(camera->shouldDownloadLiveViewImage());
}

TEST_F(LiveViewTest, OtherOutputBitsKeepTheirState)
{
    ASSERT_TRUE(sim->setCameraProperty(camId, kEvfOutputDevice, 1, false));
    EXPECT_EQ(camera->liveViewOutputDevice(), 1u);
    startAndWaitForFrames(1);
    EXPECT_EQ(sim->cameraProperty(camId, kEvfOutputDevice), 3u);
    stop();
    EXPECT_EQ(sim->cameraProperty(camId, kEvfOutputDevice), 1u);
    EXPECT_EQ(sim->cameraProperty(camId, kEvfMode), 1u);  // never reset here
    EXPECT_GE(stopLines(), 1) << qPrintable(logText());
    EXPECT_FALSE(camera->shouldDownloadLiveViewImage());
    // with the host bit already clear, switching off again changes nothing
    const int stopsBefore = stopLines();
    camera->liveViewEnd();
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->cameraProperty(camId, kEvfOutputDevice), 1u);
    EXPECT_EQ(stopLines(), stopsBefore);
}

TEST_F(LiveViewTest, TheCameraSwitchingItsOutputStartsAndStopsTheLoop)
{
    ASSERT_TRUE(sim->setCameraProperty(camId, kEvfOutputDevice, 2));
    waitForFrames(2);
    EXPECT_EQ(camera->liveViewRunCount(), 1u);
    ASSERT_TRUE(sim->setCameraProperty(camId, kEvfOutputDevice, 0));
    ASSERT_TRUE(waitUntil([&] { return !camera->isLiveViewLoopRunning(); }));
    EXPECT_GE(stopLines(), 1);
    // a reading that fails answers 0
    sim->injectFault(SimOp::GetPropertyData, EDS_ERR_DEVICE_BUSY, FaultMode::Once, 1, 0, kEvfOutputDevice);
    EXPECT_EQ(camera->liveViewOutputDevice(), 0u);
}

TEST_F(LiveViewTest, RapidSwitchingLeavesOneLoopWhenOnAndNoneWhenOff)
{
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(sim->setCameraProperty(camId, kEvfOutputDevice, 2));
        ASSERT_TRUE(sim->setCameraProperty(camId, kEvfOutputDevice, 0));
    }
    ASSERT_TRUE(sim->setCameraProperty(camId, kEvfOutputDevice, 2));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_TRUE(camera->shouldDownloadLiveViewImage());
    waitForFrames(2);  // switched on last: a loop runs
    EXPECT_TRUE(camera->isLiveViewLoopRunning());
    EXPECT_GE(camera->liveViewRunCount(), 1u);
    EXPECT_LE(camera->liveViewRunCount(), 41u);

    ASSERT_TRUE(sim->setCameraProperty(camId, kEvfOutputDevice, 0));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_TRUE(camera->waitForLiveViewLoopEnd(5000));
    EXPECT_FALSE(camera->shouldDownloadLiveViewImage());
    const size_t shown = frameCount();
    QCoreApplication::processEvents();
    EXPECT_LE(frameCount(), shown + 1);  // at most the frame already handed over
}

// ---- not ready ----

TEST_F(LiveViewTest, NotReadyAnswersAreWaitedOutUntilAFrameComes)
{
    startAndWaitForFrames(1);
    sim->pauseLiveView(camId, true);
    const int fetchesBefore = sim->callCount(SimOp::DownloadEvfImage);
    ASSERT_TRUE(waitUntil([&] { return sim->callCount(SimOp::DownloadEvfImage) > fetchesBefore + 20; }));
    sim->pauseLiveView(camId, false);
    waitForFrames(2);
    EXPECT_EQ(logCount(QStringLiteral("downloading liveView image")), 0);
    EXPECT_TRUE(camera->isLiveViewLoopRunning());
}

TEST_F(LiveViewTest, FlagClearedDuringNotReadyEndsTheLoopWithTheNotReadyStatus)
{
    startAndWaitForFrames(1);
    // from now on every fetch answers "not ready", whatever the output
    sim->injectFault(SimOp::DownloadEvfImage, EDS_ERR_OBJECT_NOTREADY, FaultMode::Always);
    const int fetchesBefore = sim->callCount(SimOp::DownloadEvfImage);
    ASSERT_TRUE(waitUntil([&] { return sim->callCount(SimOp::DownloadEvfImage) > fetchesBefore + 5; }));
    ASSERT_TRUE(sim->setCameraProperty(camId, kEvfOutputDevice, 0));
    ASSERT_TRUE(waitUntil([&] { return !camera->isLiveViewLoopRunning(); })) << qPrintable(logText());
    EXPECT_EQ(logCount(QStringLiteral("stopping liveView")), 1);
    EXPECT_EQ(logCount(QStringLiteral("error 0xa102 downloading liveView image")), 1) << qPrintable(logText());
    EXPECT_FALSE(camera->shouldDownloadLiveViewImage());
}

// ---- the buffer ----

TEST_F(LiveViewTest, TheBufferIsMadeByTheFirstFrameAndKeptForLaterRuns)
{
    EXPECT_EQ(camera->liveViewBufferAddress(), nullptr);
    EXPECT_EQ(camera->liveViewBufferAllocations(), 0u);
    // frames that make no image leave the camera without a buffer of its own
    sim->pauseLiveView(camId, true);
    sim->injectLiveViewFrameFault(SimDataFault::Garbage, FaultMode::Times, 2);
    camera->liveViewBegin();
    ASSERT_TRUE(waitUntil([&] { return camera->isLiveViewLoopRunning(); }));
    sim->pauseLiveView(camId, false);
    ASSERT_TRUE(waitUntil([&] { return camera->liveViewFramesRejected() >= 2 || frameCount() > 0; }));
    waitForFrames(2);
    EXPECT_EQ(camera->liveViewFramesRejected(), 2u);
    const void* first = camera->liveViewBufferAddress();
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(camera->liveViewBufferAllocations(), 1u);
    stop();

    startAndWaitForFrames(2);
    EXPECT_EQ(camera->liveViewRunCount(), 2u);
    EXPECT_EQ(camera->liveViewBufferAddress(), first);
    EXPECT_EQ(camera->liveViewBufferAllocations(), 1u);
}

// ---- bad frames ----

TEST_F(LiveViewTest, ACorruptOrTruncatedFrameCostsOneFrame)
{
    startAndWaitForFrames(2);
    pauseAndSettle();
    const uint64_t builtBefore = camera->liveViewFramesBuilt();
    const int servedBefore = sim->liveViewFramesServed(camId);
    // a truncated frame right after a whole one: the tail of the earlier frame must not
    // complete it
    sim->injectLiveViewFrameFault(SimDataFault::Truncated);
    sim->pauseLiveView(camId, false);
    waitForFrames(1);
    sim->pauseLiveView(camId, true);
    sim->injectLiveViewFrameFault(SimDataFault::Garbage);
    sim->pauseLiveView(camId, false);
    waitForFrames(2);
    pauseAndSettle();

    EXPECT_EQ(camera->liveViewFramesRejected(), 2u);
    const uint64_t served = uint64_t(sim->liveViewFramesServed(camId) - servedBefore);
    EXPECT_EQ(camera->liveViewFramesBuilt() - builtBefore, served - 2);
    EXPECT_EQ(logCount(QStringLiteral("error creating NSImage from data")), 2);
    EXPECT_TRUE(camera->isLiveViewLoopRunning());
    EXPECT_TRUE(camera->shouldDownloadLiveViewImage());
}

TEST_F(LiveViewTest, AFloodOfBadFramesLogsABoundedNumberOfLines)
{
    sim->setLiveViewFrameRate(0);
    sim->injectLiveViewFrameFault(SimDataFault::Garbage, FaultMode::Always);
    camera->liveViewBegin();
    ASSERT_TRUE(waitUntil([&] { return camera->liveViewFramesRejected() >= 150; }, 20000));
    sim->clearFaults();
    sim->injectLiveViewFrameFault(SimDataFault::Truncated, FaultMode::Always);
    ASSERT_TRUE(waitUntil([&] { return camera->liveViewFramesRejected() >= 300; }, 20000));
    EXPECT_EQ(frameCount(), 0u);
    sim->clearFaults();
    waitForFrames(1);  // the loop went on through the flood
    stop();
    EXPECT_EQ(logCount(QStringLiteral("error creating NSImage from data")), 5);
    EXPECT_EQ(logCount(QStringLiteral("frames that could not be made into images were not logged")), 1)
        << qPrintable(logText());
    // nothing else wrote a line per bad frame (the decoder is not even asked)
    EXPECT_EQ(logCount(QStringLiteral("cannot decode")), 0);
    EXPECT_LT(logText().count(QLatin1Char('\n')), 200) << qPrintable(logText());
}

// ---- a slow main thread ----

TEST_F(LiveViewTest, TheNewestFrameReplacesOlderOnesWhileTheMainThreadIsBusy)
{
    startAndWaitForFrames(1);
    pauseAndSettle();
    QCoreApplication::processEvents();
    const size_t shownBefore = frameCount();
    const uint64_t builtBefore = camera->liveViewFramesBuilt();
    const uint64_t droppedBefore = camera->liveViewFramesDropped();

    // the main thread is busy (no events) while the camera goes on producing
    sim->setLiveViewFrameRate(0);
    sim->pauseLiveView(camId, false);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (camera->liveViewFramesBuilt() < builtBefore + 12 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    sim->pauseLiveView(camId, true);
    const int fetches = sim->callCount(SimOp::DownloadEvfImage);
    const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sim->callCount(SimOp::DownloadEvfImage) <= fetches && std::chrono::steady_clock::now() < settle)
        std::this_thread::yield();
    while (camera->liveViewFramesBuilt() + camera->liveViewFramesRejected() !=
               uint64_t(sim->liveViewFramesServed(camId)) &&
           std::chrono::steady_clock::now() < settle)
        std::this_thread::yield();
    const uint64_t built = camera->liveViewFramesBuilt() - builtBefore;
    ASSERT_GE(built, 12u);
    EXPECT_EQ(frameCount(), shownBefore);  // nothing reached the observers meanwhile

    ASSERT_TRUE(waitUntil([&] { return frameCount() > shownBefore; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(frameCount(), shownBefore + 1);  // one delivery, not a queue
    EXPECT_EQ(camera->liveViewFramesDropped() - droppedBefore, built - 1);
    const std::vector<uint8_t> newest = sim->lastLiveViewFrame(camId);
    const QByteArray shown = lastFrame().image.sourceData();
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(newest.data()), qsizetype(newest.size())), shown);
}

// ---- failure rows ----

TEST_F(LiveViewTest, AStreamFailureStopsLiveViewUntilSwitchedOnAgain)
{
    sim->injectFault(SimOp::CreateMemoryStream, EDS_ERR_MEM_ALLOC_FAILED);
    camera->liveViewBegin();
    ASSERT_TRUE(waitUntil([&] { return logCount(QStringLiteral("error 0x3 creating memStream")) == 1; }));
    ASSERT_TRUE(waitUntil([&] { return !camera->isLiveViewLoopRunning(); }));
    EXPECT_FALSE(camera->shouldDownloadLiveViewImage());
    EXPECT_EQ(frameCount(), 0u);
    // the host bit is still on; writing it again is confirmed and starts a new loop
    startAndWaitForFrames(2);
    EXPECT_EQ(camera->liveViewRunCount(), 2u);
}

TEST_F(LiveViewTest, AnImageReferenceFailureSkipsOneCycle)
{
    sim->injectFault(SimOp::CreateEvfImageRef, EDS_ERR_INTERNAL_ERROR);
    startAndWaitForFrames(2);
    EXPECT_EQ(logCount(QStringLiteral("error 0x2 creating liveView image ref")), 1);
    EXPECT_EQ(camera->liveViewRunCount(), 1u);
    EXPECT_TRUE(camera->isLiveViewLoopRunning());
}

TEST_F(LiveViewTest, ImageReferencesThatAlwaysFailEndTheRunInsteadOfSpinning)
{
    const int handles = sim->liveObjectCount();
    sim->injectFault(SimOp::CreateEvfImageRef, EDS_ERR_INTERNAL_ERROR, FaultMode::Always);
    camera->liveViewBegin();
    ASSERT_TRUE(waitUntil([&] {
        return logCount(QStringLiteral("live view stops after 100 failed image references in a row")) == 1;
    })) << qPrintable(logText());
    ASSERT_TRUE(waitUntil([&] { return !camera->isLiveViewLoopRunning(); }));
    EXPECT_EQ(logCount(QStringLiteral("error 0x2 creating liveView image ref")), 5);
    EXPECT_EQ(logCount(QStringLiteral("95 more failed live-view image references were not logged")), 1)
        << qPrintable(logText());
    // every stream of the failed cycles was released
    EXPECT_EQ(sim->callCount(SimOp::CreateMemoryStream), 100);
    EXPECT_EQ(sim->liveObjectCount(), handles);
}

TEST_F(LiveViewTest, AFailedOutputWriteStartsNothing)
{
    sim->injectFault(SimOp::SetPropertyData, EDS_ERR_DEVICE_BUSY, FaultMode::Once, 1, 0, kEvfOutputDevice);
    camera->liveViewBegin();
    ASSERT_TRUE(sim->waitForIdle());
    QCoreApplication::processEvents();
    EXPECT_EQ(logCount(QStringLiteral("EdsSetPropertyData returned error 81")), 1);
    EXPECT_EQ(logCount(QStringLiteral("EdsSetPropertyData for PropertyID 501 is set")), 1);
    EXPECT_FALSE(camera->isLiveViewLoopRunning());
    EXPECT_EQ(camera->liveViewRunCount(), 0u);
    EXPECT_EQ(sim->cameraProperty(camId, kEvfOutputDevice) & 2, 0u);
}

TEST_F(LiveViewTest, AFetchErrorStopsLiveView)
{
    startAndWaitForFrames(1);
    sim->injectFault(SimOp::DownloadEvfImage, EDS_ERR_DEVICE_BUSY);
    ASSERT_TRUE(waitUntil([&] { return !camera->isLiveViewLoopRunning(); }));
    EXPECT_EQ(logCount(QStringLiteral("error 0x81 downloading liveView image")), 1);
    EXPECT_FALSE(camera->shouldDownloadLiveViewImage());
}

// ---- unplugging and the camera's end ----

TEST_F(LiveViewTest, UnpluggingDuringLiveViewEndsTheLoopAndFreesTheCamera)
{
    startAndWaitForFrames(2);
    const int handlesBefore = sim->liveObjectCount();
    ASSERT_TRUE(sim->disconnectCamera(camId));
    ASSERT_TRUE(waitUntil([&] { return !camera->isLiveViewLoopRunning(); })) << qPrintable(logText());
    EXPECT_EQ(logCount(QStringLiteral("error 0xc1 downloading liveView image")), 1) << qPrintable(logText());
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_TRUE(waitUntil([&] { return logCount(QStringLiteral("has disappeared (was shutdown or unplugged)")) == 1; }));
    // the loop's stream and image reference were released
    EXPECT_LE(sim->liveObjectCount(), handlesBefore);

    std::weak_ptr<SNP_CanonCamera> weakCamera = camera;
    camera->unload();
    camera.reset();
    EXPECT_TRUE(waitUntil([&] { return weakCamera.expired(); }));
}

TEST_F(LiveViewTest, ClosingTheSessionEndsARunningLoop)
{
    startAndWaitForFrames(2);
    std::weak_ptr<SNP_CanonCamera> weakCamera = camera;
    ASSERT_TRUE(camera->unload());
    // the property events are gone: the loop ends on its next fetch error
    ASSERT_TRUE(camera->waitForLiveViewLoopEnd(5000));
    EXPECT_EQ(logCount(QStringLiteral("downloading liveView image")), 1) << qPrintable(logText());
    camera.reset();
    EXPECT_TRUE(waitUntil([&] { return weakCamera.expired(); }));
}

// ---- the frame's extent ----

TEST(LiveViewJpegLength, FindsTheEndOfTheStreamAndRefusesIncompleteOnes)
{
    // start, an application segment whose payload holds FF D9, a scan with a stuffed byte
    // and a restart marker, the end, then stale bytes
    std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x06, 0xFF, 0xD9, 0x00, 0x00, 0xFF, 0xDA, 0x00,
                                 0x04, 0x01, 0x02, 0x11, 0xFF, 0x00, 0x22, 0xFF, 0xD3, 0x33, 0xFF, 0xD9};
    const size_t whole = jpeg.size();
    jpeg.insert(jpeg.end(), {0xAA, 0xFF, 0xD9, 0x00});
    EXPECT_EQ(SNP_CanonCamera::liveViewJpegLength(jpeg.data(), jpeg.size()), whole);
    // cut before the end marker: incomplete
    EXPECT_EQ(SNP_CanonCamera::liveViewJpegLength(jpeg.data(), whole - 1), 0u);
    // no start marker
    std::vector<uint8_t> noise = {0x00, 0xD8, 0xFF, 0xD9};
    EXPECT_EQ(SNP_CanonCamera::liveViewJpegLength(noise.data(), noise.size()), 0u);
    // a segment length running past the data
    std::vector<uint8_t> longSegment = {0xFF, 0xD8, 0xFF, 0xE1, 0x40, 0x00, 0xFF, 0xD9};
    EXPECT_EQ(SNP_CanonCamera::liveViewJpegLength(longSegment.data(), longSegment.size()), 0u);
    // zeros after a broken-off scan
    std::vector<uint8_t> broken = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x12, 0x34};
    broken.resize(4096, 0);
    EXPECT_EQ(SNP_CanonCamera::liveViewJpegLength(broken.data(), broken.size()), 0u);
    EXPECT_EQ(SNP_CanonCamera::liveViewJpegLength(nullptr, 10), 0u);
}

}  // namespace
