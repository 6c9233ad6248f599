// Live view over the simulated camera: switching the viewfinder output (other bits kept),
// one frame loop per camera, the not-ready wait and its end, the buffer kept across runs,
// bad frames costing one frame each with bounded logging, the newest frame winning over a
// slow main thread, every failure row, and unplugging while frames stream.
#include "PWNSImageFlipped.h"
#include "SimCameraSdk.h"
#include "camera/CameraFixture.h"

#include <chrono>
#include <thread>

namespace {

constexpr EdsPropertyID kEvfOutputDevice = 0x500;
constexpr EdsPropertyID kEvfMode = 0x501;

class LiveViewTest : public CameraFixture<SimCameraSdk> {
protected:
    size_t frameCount() { return size_t(countReceived(SNP_CanonCameraLiveViewImageUpdate)); }
    // Waits until n more frames have been shown (switching live view on first if asked).
    void waitForFrames(size_t n, bool begin = false)
    {
        const size_t before = frameCount();
        if (begin)
            camera->liveViewBegin();
        ASSERT_TRUE(waitUntil([&] { return frameCount() >= before + n; }));
    }
    void waitForLoopEnd() { ASSERT_TRUE(waitUntil([&] { return !camera->isLiveViewLoopRunning(); })); }
    // The loop has dealt with every frame served, with nothing in flight. The main thread
    // stays busy meanwhile (no events).
    bool settled()
    {
        const int fetches = sdk->callCount(SimOp::DownloadEvfImage);
        const auto done = [&] {
            return sdk->callCount(SimOp::DownloadEvfImage) > fetches &&
                   camera->liveViewFramesBuilt() + camera->liveViewFramesRejected() ==
                       uint64_t(sdk->liveViewFramesServed(camId));
        };
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
             !done() && std::chrono::steady_clock::now() < end;)
            std::this_thread::yield();
        return done();
    }
    void pauseAndSettle()
    {
        sdk->pauseLiveView(camId, true);
        ASSERT_TRUE(settled());
    }
};

// Frames reach the main thread as flipped images (that they hold exactly the frame served is
// the newest-frame test's), decoded for the size they are shown at. Switching on keeps the output's other bits; switching on again
// writes again but starts no second loop; switching off clears only the host bit.
TEST_F(LiveViewTest, FramesAndSwitchingTheOutput)
{
    ASSERT_TRUE(sdk->setCameraProperty(camId, kEvfOutputDevice, 1, false));
    EXPECT_EQ(camera->liveViewOutputDevice(), 1u);
    waitForFrames(3, true);
    EXPECT_EQ(sdk->cameraProperty(camId, kEvfOutputDevice), 3u);
    const auto lastFrame = [&] {
        return receivedNamed(SNP_CanonCameraLiveViewImageUpdate).back().userInfo.value(SNP_CanonCameraLiveViewImage)
            .value<PWNSImageFlipped>();
    };
    EXPECT_TRUE(receivedNamed(SNP_CanonCameraLiveViewImageUpdate).back().onMainThread);
    EXPECT_TRUE(lastFrame().isFlippedVertically());
    EXPECT_EQ(lastFrame().size(), QSize(1024, 680));
    camera->setLiveViewShownSize(QSize(300, 200));  // shown at less than half its size: reduced by the decoder
    waitForFrames(3);  // past the frame waiting for the main thread and the one being decoded
    EXPECT_EQ(lastFrame().size(), QSize(384, 255));
    const int writes = sdk->callCount(SimOp::SetPropertyData);
    camera->liveViewBegin();
    ASSERT_TRUE(sdk->waitForIdle());  // the confirming event has been handled
    waitForFrames(2);
    EXPECT_GT(sdk->callCount(SimOp::SetPropertyData), writes);
    onSdkThread([&] { camera->downloadLiveViewImage(); });  // a loop started by hand returns at once
    EXPECT_EQ(camera->liveViewRunCount(), 1u);
    for (int twice = 0; twice < 2; ++twice) {  // the second time with the host bit already clear
        camera->liveViewEnd();
        waitForLoopEnd();
        EXPECT_EQ(sdk->cameraProperty(camId, kEvfOutputDevice), 1u);
        EXPECT_EQ(sdk->cameraProperty(camId, kEvfMode), 1u);  // never reset here
    }
    ASSERT_TRUE(sdk->waitForIdle());  // the switching's own events read the output device too
    sdk->injectFault(SimOp::GetPropertyData, EDS_ERR_DEVICE_BUSY, FaultMode::Once, 1, 0, kEvfOutputDevice);
    EXPECT_EQ(camera->liveViewOutputDevice(), 0u);  // a reading that fails answers 0
}

// The camera switching its output, however quickly, starts a loop and stops it.
TEST_F(LiveViewTest, RapidSwitchingLeavesOneLoopWhenOnAndNoneWhenOff)
{
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(sdk->setCameraProperty(camId, kEvfOutputDevice, 2));
        ASSERT_TRUE(sdk->setCameraProperty(camId, kEvfOutputDevice, 0));
    }
    ASSERT_TRUE(sdk->setCameraProperty(camId, kEvfOutputDevice, 2));
    ASSERT_TRUE(sdk->waitForIdle());
    waitForFrames(2);  // switched on last: a loop runs
    EXPECT_TRUE(camera->isLiveViewLoopRunning());
    ASSERT_TRUE(sdk->setCameraProperty(camId, kEvfOutputDevice, 0));
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_TRUE(camera->waitForLiveViewLoopEnd(5000));
    EXPECT_FALSE(camera->shouldDownloadLiveViewImage());
    const size_t shown = frameCount();
    QCoreApplication::processEvents();
    EXPECT_LE(frameCount(), shown + 1);  // at most the frame already handed over
}

// Switched off while every fetch answers "not ready": the loop ends all the same. (Waiting
// out "not ready" while switched on is what every paused run below does.)
TEST_F(LiveViewTest, SwitchedOffWhileNotReadyEndsTheLoop)
{
    waitForFrames(1, true);
    sdk->injectFault(SimOp::DownloadEvfImage, EDS_ERR_OBJECT_NOTREADY, FaultMode::Always);
    const int fetches = sdk->callCount(SimOp::DownloadEvfImage);
    ASSERT_TRUE(waitUntil([&] { return sdk->callCount(SimOp::DownloadEvfImage) > fetches + 5; }));
    ASSERT_TRUE(sdk->setCameraProperty(camId, kEvfOutputDevice, 0));
    waitForLoopEnd();
    EXPECT_FALSE(camera->shouldDownloadLiveViewImage());
}

// A corrupt or truncated frame costs that frame only (a truncated one right after a whole one
// is not completed by the earlier frame's tail); the buffer is made by the first good frame
// and kept for later runs.
TEST_F(LiveViewTest, BadFramesCostOneFrameEachAndTheBufferIsMadeOnce)
{
    EXPECT_EQ(camera->liveViewBufferAddress(), nullptr);
    sdk->pauseLiveView(camId, true);
    camera->liveViewBegin();
    ASSERT_TRUE(waitUntil([&] { return camera->isLiveViewLoopRunning(); }));
    for (SimDataFault fault : {SimDataFault::Garbage, SimDataFault::Truncated, SimDataFault::Garbage}) {
        // Counted on the loop's side: a frame of the round before may still be on its way
        // to the main thread, and must not pass for this round's good frame.
        const uint64_t rejected = camera->liveViewFramesRejected(), built = camera->liveViewFramesBuilt();
        sdk->injectLiveViewFrameFault(fault);
        sdk->pauseLiveView(camId, false);
        ASSERT_TRUE(waitUntil([&] {
            return camera->liveViewFramesRejected() > rejected && camera->liveViewFramesBuilt() > built;
        }));
        pauseAndSettle();
        EXPECT_EQ(camera->liveViewFramesRejected(), rejected + 1);
        EXPECT_EQ(camera->liveViewFramesBuilt(), uint64_t(sdk->liveViewFramesServed(camId)) - camera->liveViewFramesRejected());
    }
    EXPECT_EQ(camera->liveViewFramesRejected(), 3u);
    const void* first = camera->liveViewBufferAddress();
    camera->liveViewEnd();
    waitForLoopEnd();
    sdk->pauseLiveView(camId, false);
    waitForFrames(2, true);
    EXPECT_EQ(camera->liveViewRunCount(), 2u);
    EXPECT_EQ(camera->liveViewBufferAddress(), first);
    EXPECT_EQ(camera->liveViewBufferAllocations(), 1u);
}

TEST_F(LiveViewTest, AFloodOfBadFramesLogsABoundedNumberOfLines)
{
    sdk->setLiveViewFrameRate(0);
    sdk->injectLiveViewFrameFault(SimDataFault::Garbage, FaultMode::Always);
    camera->liveViewBegin();
    ASSERT_TRUE(waitUntil([&] { return camera->liveViewFramesRejected() >= 300; }, 20000));
    EXPECT_EQ(frameCount(), 0u);
    sdk->clearFaults();
    waitForFrames(1);  // the loop went on through the flood
    camera->liveViewEnd();
    waitForLoopEnd();
    EXPECT_LT(logText().count(QLatin1Char('\n')), 200);
}

TEST_F(LiveViewTest, TheNewestFrameReplacesOlderOnesWhileTheMainThreadIsBusy)
{
    waitForFrames(1, true);
    pauseAndSettle();
    QCoreApplication::processEvents();
    const size_t shownBefore = frameCount();
    const uint64_t builtBefore = camera->liveViewFramesBuilt(), droppedBefore = camera->liveViewFramesDropped();
    // The main thread is busy (no events) while the camera goes on producing.
    sdk->setLiveViewFrameRate(0);
    sdk->pauseLiveView(camId, false);
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         camera->liveViewFramesBuilt() < builtBefore + 12 && std::chrono::steady_clock::now() < end;)
        std::this_thread::yield();
    sdk->pauseLiveView(camId, true);
    ASSERT_TRUE(settled());
    const uint64_t built = camera->liveViewFramesBuilt() - builtBefore;
    ASSERT_GE(built, 12u);
    EXPECT_EQ(frameCount(), shownBefore);  // nothing reached the observers meanwhile
    ASSERT_TRUE(waitUntil([&] { return frameCount() > shownBefore; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(frameCount(), shownBefore + 1);  // one delivery, not a queue
    EXPECT_EQ(camera->liveViewFramesDropped() - droppedBefore, built - 1);
    const std::vector<uint8_t> newest = sdk->lastLiveViewFrame(camId);  // the whole JPEG, not the 2 MiB buffer
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(newest.data()), qsizetype(newest.size())),
              receivedNamed(SNP_CanonCameraLiveViewImageUpdate).back().userInfo.value(SNP_CanonCameraLiveViewImage)
                  .value<PWNSImageFlipped>().sourceData());
}

// How each failing call ends live view, or not, giving back every stream and image reference
// it took (image references that always fail end the run instead of spinning); switching on
// again always starts a loop.
TEST_F(LiveViewTest, FailureRows)
{
    const struct {
        const char* name;
        SimOp op;
        EdsError error;
        FaultMode mode;
        bool whileRunning;  // the fault comes after the first frames, else before the start
        bool loopGoesOn;
        uint64_t runs;  // loops run when the fault has had its effect
    } rows[] = {
        {"no memory stream", SimOp::CreateMemoryStream, EDS_ERR_MEM_ALLOC_FAILED, FaultMode::Once, false, false, 1},
        {"an image reference fails once", SimOp::CreateEvfImageRef, EDS_ERR_INTERNAL_ERROR, FaultMode::Once, false, true, 1},
        {"image references always fail", SimOp::CreateEvfImageRef, EDS_ERR_INTERNAL_ERROR, FaultMode::Always, false, false, 1},
        {"a fetch fails", SimOp::DownloadEvfImage, EDS_ERR_DEVICE_BUSY, FaultMode::Once, true, false, 1},
        {"the output write fails", SimOp::SetPropertyData, EDS_ERR_DEVICE_BUSY, FaultMode::Once, false, false, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        const int handles = sdk->liveObjectCount();
        if (row.whileRunning)
            waitForFrames(1, true);
        const EdsUInt32 selector = row.op == SimOp::SetPropertyData ? kEvfOutputDevice : kSimAnySelector;
        sdk->injectFault(row.op, row.error, row.mode, 1, 0, selector);
        if (!row.whileRunning)
            camera->liveViewBegin();
        ASSERT_TRUE(sdk->waitForIdle());
        if (row.loopGoesOn)
            waitForFrames(2);
        else
            waitForLoopEnd();
        EXPECT_EQ(camera->shouldDownloadLiveViewImage(), row.loopGoesOn);
        EXPECT_EQ(camera->liveViewRunCount(), row.runs);
        if (!row.runs) {
            EXPECT_EQ(sdk->cameraProperty(camId, kEvfOutputDevice) & 2, 0u);  // host bit clear
        }
        if (row.loopGoesOn)
            continue;
        EXPECT_EQ(sdk->liveObjectCount(), handles);
        sdk->clearFaults();
        waitForFrames(2, true);
    }
}

TEST_F(LiveViewTest, UnpluggingOrClosingTheSessionEndsTheLoopAndFreesTheCamera)
{
    for (const bool unplug : {false, true}) {
        SCOPED_TRACE(unplug ? "unplugged" : "session closed");
        fresh();
        waitForFrames(2, true);
        const int handles = sdk->liveObjectCount();
        // Closed: the property events are gone, and the loop ends on a fetch error.
        ASSERT_TRUE(unplug ? sdk->disconnectCamera(camId) : camera->unload());
        ASSERT_TRUE(camera->waitForLiveViewLoopEnd(5000));
        ASSERT_TRUE(sdk->waitForIdle());
        EXPECT_LE(sdk->liveObjectCount(), handles);  // the loop's stream and image reference were released
        std::weak_ptr<SNP_CanonCamera> gone = camera;
        camera->unload();
        camera.reset();
        EXPECT_TRUE(waitUntil([&] { return gone.expired(); }));
    }
}

TEST(LiveViewJpegLength, FindsTheEndOfTheStreamAndRefusesIncompleteOnes)
{
    // Start, an application segment whose payload holds FF D9, a scan with a stuffed byte
    // and a restart marker, the end, then stale bytes.
    std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x06, 0xFF, 0xD9, 0x00, 0x00, 0xFF, 0xDA, 0x00,
                                 0x04, 0x01, 0x02, 0x11, 0xFF, 0x00, 0x22, 0xFF, 0xD3, 0x33, 0xFF, 0xD9};
    const size_t whole = jpeg.size();
    jpeg.insert(jpeg.end(), {0xAA, 0xFF, 0xD9, 0x00});
    const std::vector<uint8_t> noStart{0x00, 0xD8, 0xFF, 0xD9}, longSegment{0xFF, 0xD8, 0xFF, 0xE1, 0x40, 0x00, 0xFF, 0xD9};
    std::vector<uint8_t> broken = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x12, 0x34};
    broken.resize(4096, 0);  // zeros after a broken-off scan
    const struct {
        const char* name;
        const uint8_t* data;
        size_t size, length;
    } rows[] = {
        {"whole, then stale bytes", jpeg.data(), jpeg.size(), whole},
        {"cut before the end marker", jpeg.data(), whole - 1, 0},
        {"no start marker", noStart.data(), noStart.size(), 0},
        {"a segment running past the data", longSegment.data(), longSegment.size(), 0},
        {"zeros after a broken-off scan", broken.data(), broken.size(), 0},
        {"no data", nullptr, 10, 0},
    };
    for (const auto& row : rows)
        EXPECT_EQ(SNP_CanonCamera::liveViewJpegLength(row.data, row.size), row.length) << row.name;
}

}  // namespace
