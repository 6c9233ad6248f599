// Live view, end to end over the simulated camera:
//
// - BM_BareDecode: decoding the viewfinder's JPEG frames into displayable images, nothing
//   else (the frames are fetched once beforehand).
// - BM_LiveViewLoop: the camera's frame loop with the viewfinder serving frames as fast as
//   it can: fetch, decode, hand-over to the main thread, observed there. Reports the loop's
//   frame rate and its ratio to the bare decode rate of the same kind of frames, measured
//   in the same run (goal: at least 0.9).
// - BM_LiveViewSoak: the loop at the camera's 30 frames per second with the main thread
//   scaling every frame for the screen, as the booth does; reports CPU time per frame and
//   the resident memory at the start, after the first part and at the end. Its length is
//   5 seconds, or LIVEVIEW_SOAK_SECONDS (600 for the ten-minute figure); with a long run it
//   prints the resident memory every LIVEVIEW_SOAK_REPORT seconds (default 60) on the
//   standard output (the standard error goes to the log file).
#include "BenchMain.h"
#include "PWNSImageFlipped.h"
#include "SNP_CanonCamera.h"
#include "SNP_Log.h"
#include "SimCameraSdk.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QImage>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

void pump(int ms = 5)
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, ms);
}

// A simulated camera with an open session, observed for live-view frames.
struct LiveRig {
    LiveRig(double framesPerSecond)
    {
        sim = std::make_shared<SimCameraSdk>();
        sim->setLiveViewFrameRate(framesPerSecond);
        camId = sim->connectedCameras().front();
        EdsSetCurrentSdk(sim);
        camera = SNP_CanonCamera::initWithCameraRef(sim->cameraRef(camId));
        camera->load();
        sim->waitForIdle();
        SNP_NotificationCenter::defaultCenter().addObserver(this, SNP_CanonCameraLiveViewImageUpdate,
                                                            [this](const SNP_Notification& n) {
                                                                if (onFrame)
                                                                    onFrame(n);
                                                                shown.fetch_add(1);
                                                            });
    }
    ~LiveRig()
    {
        SNP_NotificationCenter::defaultCenter().removeObserver(this);
        camera->liveViewEnd();
        QDeadlineTimer deadline(5000);
        while (camera->isLiveViewLoopRunning() && !deadline.hasExpired())
            pump();
        camera->unload();
        camera->waitForLiveViewLoopEnd(5000);
        std::weak_ptr<SNP_CanonCamera> weak = camera;
        camera.reset();
        deadline.setRemainingTime(5000);
        while (!weak.expired() && !deadline.hasExpired())
            pump();
        EdsSetCurrentSdk(nullptr);
    }
    bool start()
    {
        camera->liveViewBegin();
        QDeadlineTimer deadline(10000);
        while (shown.load() < 3 && !deadline.hasExpired())
            pump();
        return shown.load() >= 3;
    }

    std::shared_ptr<SimCameraSdk> sim;
    int camId = 0;
    SNP_CanonCameraPtr camera;
    std::atomic<uint64_t> shown{0};
    std::function<void(const SNP_Notification&)> onFrame;
};

// Frames as the viewfinder serves them, each cut to its JPEG stream.
std::vector<QByteArray> sampleFrames(int count)
{
    auto sim = std::make_shared<SimCameraSdk>();
    sim->setLiveViewFrameRate(0);
    EdsCameraRef cam = sim->cameraRef(sim->connectedCameras().front());
    sim->EdsOpenSession(cam);
    const uint32_t on = 2;
    sim->EdsSetPropertyData(cam, 0x500, 0, sizeof on, &on);
    std::vector<uint8_t> buffer(SNP_CanonCamera::kLiveViewStreamSize);
    std::vector<QByteArray> frames;
    for (int i = 0; i < count; ++i) {
        EdsStreamRef stream = nullptr;
        EdsEvfImageRef image = nullptr;
        sim->EdsCreateMemoryStreamFromPointer(buffer.data(), buffer.size(), &stream);
        sim->EdsCreateEvfImageRef(stream, &image);
        if (sim->EdsDownloadEvfImage(cam, image) == EDS_ERR_OK) {
            const size_t length = SNP_CanonCamera::liveViewJpegLength(buffer.data(), buffer.size());
            if (length)
                frames.emplace_back(reinterpret_cast<const char*>(buffer.data()), qsizetype(length));
        }
        sim->EdsRelease(image);
        sim->EdsRelease(stream);
    }
    sim->EdsCloseSession(cam);
    sim->waitForIdle();
    return frames;
}

const std::vector<QByteArray>& frames()
{
    static const std::vector<QByteArray> sample = sampleFrames(60);
    return sample;
}

// Decode rate (frames per second) of the sampled frames over about the given time.
double bareDecodeRate(int ms)
{
    const auto& sample = frames();
    QElapsedTimer timer;
    timer.start();
    uint64_t n = 0;
    while (timer.elapsed() < ms) {
        PWNSImageFlipped image = PWNSImageFlipped::imageWithData(sample[n % sample.size()]);
        benchmark::DoNotOptimize(image.constBits());
        ++n;
    }
    return n / (timer.nsecsElapsed() / 1e9);
}

void BM_BareDecode(benchmark::State& state)
{
    const auto& sample = frames();
    if (sample.empty()) {
        state.SkipWithError("no frames");
        return;
    }
    size_t i = 0;
    for (auto _ : state) {
        PWNSImageFlipped image = PWNSImageFlipped::imageWithData(sample[i++ % sample.size()]);
        benchmark::DoNotOptimize(image.constBits());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["frame_kB"] = sample.front().size() / 1024.0;
}
BENCHMARK(BM_BareDecode)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LiveViewLoop(benchmark::State& state)
{
    const double decodeRate = bareDecodeRate(1500);
    LiveRig rig(0);
    if (!rig.start()) {
        state.SkipWithError("no frames");
        return;
    }
    const uint64_t builtBefore = rig.camera->liveViewFramesBuilt();
    const uint64_t shownBefore = rig.shown.load();
    const double cpuBefore = cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    for (auto _ : state) {
        // one iteration: the main thread until the next frame has been shown
        const uint64_t target = rig.shown.load() + 1;
        while (rig.shown.load() < target)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    const uint64_t built = rig.camera->liveViewFramesBuilt() - builtBefore;
    const uint64_t shown = rig.shown.load() - shownBefore;
    const double loopRate = built / seconds;
    state.SetItemsProcessed(int64_t(shown));
    state.counters["loop_fps"] = loopRate;
    state.counters["shown_fps"] = shown / seconds;
    state.counters["decode_fps"] = decodeRate;
    state.counters["loop_vs_decode"] = decodeRate > 0 ? loopRate / decodeRate : 0;
    state.counters["dropped"] = double(rig.camera->liveViewFramesDropped());
    state.counters["cpu_ms_per_frame"] = built ? (cpuSeconds() - cpuBefore) * 1000.0 / built : 0;
}
BENCHMARK(BM_LiveViewLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_LiveViewSoak(benchmark::State& state)
{
    const int seconds = qEnvironmentVariableIsSet("LIVEVIEW_SOAK_SECONDS")
                            ? qEnvironmentVariableIntValue("LIVEVIEW_SOAK_SECONDS")
                            : 5;
    const int report = qEnvironmentVariableIsSet("LIVEVIEW_SOAK_REPORT")
                           ? qMax(1, qEnvironmentVariableIntValue("LIVEVIEW_SOAK_REPORT"))
                           : 60;
    for (auto _ : state) {
        LiveRig rig(30);
        // the booth's main-thread work per frame: the frame scaled to the live picture
        rig.onFrame = [](const SNP_Notification& n) {
            QImage frame;
            if (PWNSImageFlipped::imageFromVariant(n.userInfo.value(SNP_CanonCameraLiveViewImage), &frame)) {
                QImage scaled = frame.scaled(1045, 697, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
                benchmark::DoNotOptimize(scaled.constBits());
            }
        };
        if (!rig.start()) {
            state.SkipWithError("no frames");
            return;
        }
        const double rssStart = residentMiB();
        double rssFirstPart = rssStart, rssPeakAfterFirstPart = 0;
        const double cpuStart = cpuSeconds();
        const uint64_t builtStart = rig.camera->liveViewFramesBuilt();
        QElapsedTimer timer;
        timer.start();
        const qint64 firstPartMs = qMin<qint64>(60000, seconds * 1000 / 5);
        qint64 nextReport = qint64(report) * 1000;
        bool firstPartDone = false;
        while (timer.elapsed() < qint64(seconds) * 1000) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            if (!firstPartDone && timer.elapsed() >= firstPartMs) {
                firstPartDone = true;
                rssFirstPart = residentMiB();
            }
            if (firstPartDone)
                rssPeakAfterFirstPart = std::max(rssPeakAfterFirstPart, residentMiB());
            if (seconds > report && timer.elapsed() >= nextReport) {
                std::fprintf(stdout, "soak %llds: rss %.1f MiB, frames %llu, cpu %.2f ms/frame\n",
                             static_cast<long long>(timer.elapsed() / 1000), residentMiB(),
                             static_cast<unsigned long long>(rig.camera->liveViewFramesBuilt() - builtStart),
                             (cpuSeconds() - cpuStart) * 1000.0 /
                                 qMax<uint64_t>(1, rig.camera->liveViewFramesBuilt() - builtStart));
                std::fflush(stdout);
                nextReport += qint64(report) * 1000;
            }
        }
        const uint64_t built = rig.camera->liveViewFramesBuilt() - builtStart;
        const double elapsed = timer.nsecsElapsed() / 1e9;
        state.counters["seconds"] = elapsed;
        state.counters["fps"] = built / elapsed;
        state.counters["cpu_ms_per_frame"] = built ? (cpuSeconds() - cpuStart) * 1000.0 / built : 0;
        state.counters["rss_start_MiB"] = rssStart;
        state.counters["rss_after_first_part_MiB"] = rssFirstPart;
        state.counters["rss_peak_later_MiB"] = rssPeakAfterFirstPart;
        state.counters["rss_end_MiB"] = residentMiB();
        state.counters["dropped"] = double(rig.camera->liveViewFramesDropped());
        state.counters["rejected"] = double(rig.camera->liveViewFramesRejected());
    }
}
BENCHMARK(BM_LiveViewSoak)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv)
{
    return runBenchmarks<QCoreApplication>(argc, argv, QStringLiteral("bench_liveview.log"));
}
