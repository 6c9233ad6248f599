// Live view over the simulated camera, the contenders side by side from one run:
//
// - Decoding: the camera's frame loop at full speed (fetch, decode, hand-over to the main
//   thread, observed there) against libjpeg-turbo's bare decode of the same frames (a kept
//   handle and buffer, straight into the pixel format screens draw) and, for comparison,
//   Qt's own decode of them. Frames per second, medians of rounds in which the contenders
//   take turns. Goal: the loop at least 0.9x the bare decode.
// - The 30 fps soak: the booth whole on one 1920 x 1080 screen (Qt's offscreen platform),
//   held on its countdown screen with the simulated camera's live view at 30 frames a
//   second, every frame drawn as the booth draws it. CPU time per frame shown over all
//   threads, with the simulated camera's own rendering of its frames counted apart, and
//   per thread; resident memory at the start, after the first fifth and at the end. Goal:
//   the booth's CPU at most 2.5 ms a frame.
//
//   bench_liveview [ROUNDS]   (default 5; 0: the soak alone)
//
// LIVEVIEW_SOAK_SECONDS sets the soak's length (default 20; 600 for the ten-minute
// figure); with a long soak the resident memory is printed every LIVEVIEW_SOAK_REPORT
// seconds (default 60). The booth's log goes to a temporary folder.
#include "BenchFigures.h"
#include "BenchMain.h"
#include "BoothTeardown.h"
#include "PWNSImageFlipped.h"
#include "SNP_CanonCamera.h"
#include "SNP_Log.h"
#include "SimCameraSdk.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>

#include <turbojpeg.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

void pump(int ms = 5)
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, ms);
}

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

// What a contender did: frames per second, and CPU time per frame over all threads (the
// figure that holds when other work shares the machine).
struct Rate {
    double fps = 0;
    double cpuMsPerFrame = 0;
};

// libjpeg-turbo alone.
Rate bareDecodeRate(const std::vector<QByteArray>& frames, double seconds)
{
    tjhandle tj = tjInitDecompress();
    std::vector<unsigned char> pixels;
    const int format = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? TJPF_BGRX : TJPF_XRGB;
    const double start = bench::wallSeconds(), cpu = bench::cpuSeconds();
    uint64_t n = 0;
    while (bench::wallSeconds() - start < seconds) {
        const QByteArray& frame = frames[n++ % frames.size()];
        const auto* data = reinterpret_cast<const unsigned char*>(frame.constData());
        int width = 0, height = 0, subsampling = 0, colorspace = 0;
        tjDecompressHeader3(tj, data, (unsigned long)frame.size(), &width, &height, &subsampling, &colorspace);
        pixels.resize(size_t(width) * height * 4);
        tjDecompress2(tj, data, (unsigned long)frame.size(), pixels.data(), width, width * 4, height, format, 0);
    }
    const Rate rate{double(n) / (bench::wallSeconds() - start), (bench::cpuSeconds() - cpu) * 1000 / double(n)};
    tjDestroy(tj);
    return rate;
}

// Qt's JPEG decoder (what the loop used before it decoded with libjpeg-turbo).
Rate qtDecodeRate(const std::vector<QByteArray>& frames, double seconds)
{
    const double start = bench::wallSeconds(), cpu = bench::cpuSeconds();
    uint64_t n = 0;
    while (bench::wallSeconds() - start < seconds) {
        QImage image;
        image.loadFromData(frames[n++ % frames.size()], "JPEG");
    }
    return Rate{double(n) / (bench::wallSeconds() - start), (bench::cpuSeconds() - cpu) * 1000 / double(n)};
}

// A simulated camera serving frames as fast as they are asked for, with an open session;
// the main thread observes its live-view frames.
struct LoopRig {
    LoopRig()
    {
        sim->setLiveViewFrameRate(0);
        EdsSetCurrentSdk(sim);
        camera = SNP_CanonCamera::initWithCameraRef(sim->cameraRef(sim->connectedCameras().front()));
        camera->load();
        sim->waitForIdle();
        SNP_NotificationCenter::defaultCenter().addObserver(this, SNP_CanonCameraLiveViewImageUpdate,
                                                            [this](const SNP_Notification&) { shown.fetch_add(1); });
    }
    ~LoopRig()
    {
        SNP_NotificationCenter::defaultCenter().removeObserver(this);
        camera->unload();
        camera->waitForLiveViewLoopEnd(5000);
        std::weak_ptr<SNP_CanonCamera> weak = camera;
        camera.reset();
        QDeadlineTimer deadline(5000);
        while (!weak.expired() && !deadline.hasExpired())
            pump();
        EdsSetCurrentSdk(nullptr);
    }
    // The frames the loop makes over about the given time.
    Rate loopRate(double seconds)
    {
        camera->liveViewBegin();
        QDeadlineTimer deadline(10000);
        while (shown.load() < 3 && !deadline.hasExpired())
            pump();
        const uint64_t before = camera->liveViewFramesBuilt();
        const double start = bench::wallSeconds(), cpu = bench::cpuSeconds();
        while (bench::wallSeconds() - start < seconds)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents); // every frame wakes it
        const double frames = double(std::max<uint64_t>(1, camera->liveViewFramesBuilt() - before));
        const Rate rate{frames / (bench::wallSeconds() - start), (bench::cpuSeconds() - cpu) * 1000 / frames};
        camera->liveViewEnd();
        deadline.setRemainingTime(10000);
        while (camera->isLiveViewLoopRunning() && !deadline.hasExpired())
            pump();
        shown = 0;
        return rate;
    }

    std::shared_ptr<SimCameraSdk> sim = std::make_shared<SimCameraSdk>();
    SNP_CanonCameraPtr camera;
    std::atomic<uint64_t> shown{0};
};

void decodingContest(int rounds)
{
    const std::vector<QByteArray> frames = sampleFrames(60);
    if (frames.empty()) {
        std::printf("decoding: the simulated camera served no frames\n");
        return;
    }
    const QImage first = QImage::fromData(frames.front(), "JPEG");
    std::vector<Rate> bare, qt, loop;
    {
        LoopRig rig;
        for (int round = 0; round < rounds; ++round) {
            bare.push_back(bareDecodeRate(frames, 1.0));
            qt.push_back(qtDecodeRate(frames, 1.0));
            loop.push_back(rig.loopRate(2.0));
        }
    }
    const auto fps = [](const std::vector<Rate>& rates) {
        std::vector<double> v;
        for (const Rate& r : rates)
            v.push_back(r.fps);
        return bench::median(v);
    };
    const auto cpu = [](const std::vector<Rate>& rates) {
        std::vector<double> v;
        for (const Rate& r : rates)
            v.push_back(r.cpuMsPerFrame);
        return bench::median(v);
    };
    const double floor = fps(bare), floorCpu = cpu(bare);
    std::printf("\nDecoding %dx%d live-view frames of %.1f kB (medians of %d rounds; load %s)\n", first.width(),
                first.height(), frames.front().size() / 1024.0, rounds, bench::loadAverages().c_str());
    std::printf("  %-46s %8s %8s %14s %8s\n", "", "fps", "vs bare", "CPU ms/frame", "vs bare");
    const auto row = [&](const char* name, const std::vector<Rate>& rates, const char* goal) {
        std::printf("  %-46s %8.0f %7.2fx %14.3f %7.2fx%s\n", name, fps(rates), fps(rates) / floor, cpu(rates),
                    cpu(rates) / floorCpu, goal);
    };
    row("libjpeg-turbo bare decode (the floor)", bare, "");
    row("Qt's decode", qt, "");
    row("the camera's frame loop, fetch to main thread", loop, "   (goal: at least 0.90x the fps)");
    std::printf("  (CPU over all threads: the loop's includes the simulated camera's hand-over and the main thread)\n");
}

// CPU time of one 500-microsecond sleep on this machine, which the frame loop takes after
// every "not ready" answer (the cost of waking up, which a virtual machine makes dear).
double cpuMsPerNotReadyWait()
{
    timespec start{}, end{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    constexpr int kWaits = 400;
    for (int i = 0; i < kWaits; ++i)
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    return (double(end.tv_sec - start.tv_sec) * 1e3 + double(end.tv_nsec - start.tv_nsec) / 1e6) / kWaits;
}

// The booth on its countdown screen with live view, for the given time.
void soak(int seconds, int reportSeconds)
{
    const double waitMs = cpuMsPerNotReadyWait();
    QTemporaryDir dir;
    BoothRun run(dir.path());
    if (!run.start(1000)) {
        std::printf("soak: the booth found no camera\n");
        return;
    }
    AppController& c = *run.c;
    c.nextScreen(&c);
    if (!c.acceptEmailAddresses({QStringLiteral("visitor@example.org")}) || run.screen() != 3) {
        std::printf("soak: the booth did not reach its countdown screen\n");
        return;
    }
    if (QTimer* screenTimer = c.findChild<QTimer*>(QStringLiteral("screenTimer")))
        screenTimer->stop(); // held on the countdown screen
    SNP_CanonCameraPtr camera = run.camera();
    QDeadlineTimer warmUp(2000);
    while (!warmUp.hasExpired())
        pump(50);
    const QLabel* picture = c.findChild<QLabel*>(QStringLiteral("_EVFView"));
    const QSize shown = picture ? picture->size() : QSize();
    const QSize frameSize = picture ? picture->pixmap().size() : QSize();

    const double rssStart = residentMiB();
    double rssFirstPart = rssStart, rssPeakLater = 0;
    const auto threadsBefore = bench::cpuSecondsByThreadName();
    const double cpuStart = bench::cpuSeconds(), renderStart = SimCameraSdk::liveViewRenderCpuSeconds();
    const uint64_t shownStart = camera->liveViewFramesDelivered(), builtStart = camera->liveViewFramesBuilt();
    const int fetchesStart = run.sim->callCount(SimOp::DownloadEvfImage);
    const double start = bench::wallSeconds();
    // The booth's own event loop; the memory is looked at once a second.
    QEventLoop loop;
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] {
        const double elapsed = bench::wallSeconds() - start;
        if (elapsed >= seconds)
            loop.quit();
        const double rss = residentMiB();
        if (elapsed < std::min(60.0, seconds / 5.0))
            rssFirstPart = rss;
        else
            rssPeakLater = std::max(rssPeakLater, rss);
        if (seconds > reportSeconds && int(elapsed) % reportSeconds == 0) {
            std::printf("soak %.0fs: rss %.1f MiB, frames %llu\n", elapsed, rss,
                        static_cast<unsigned long long>(camera->liveViewFramesDelivered() - shownStart));
            std::fflush(stdout);
        }
    });
    sample.start(1000);
    loop.exec();
    const double elapsed = bench::wallSeconds() - start;
    const double cpu = bench::cpuSeconds() - cpuStart;
    const double render = SimCameraSdk::liveViewRenderCpuSeconds() - renderStart;
    const uint64_t frames = std::max<uint64_t>(1, camera->liveViewFramesDelivered() - shownStart);
    const uint64_t built = camera->liveViewFramesBuilt() - builtStart;
    const int fetches = run.sim->callCount(SimOp::DownloadEvfImage) - fetchesStart;
    const auto threadsAfter = bench::cpuSecondsByThreadName();

    std::printf("\nThe 30 fps soak: %.0f s, %llu frames shown (%.1f fps), %llu made; frames of %dx%d drawn at %dx%d "
                "(load %s)\n",
                elapsed, static_cast<unsigned long long>(frames), frames / elapsed,
                static_cast<unsigned long long>(built), frameSize.width(), frameSize.height(), shown.width(),
                shown.height(), bench::loadAverages().c_str());
    std::printf("  CPU per frame shown, all threads           %6.2f ms\n", cpu * 1000 / frames);
    std::printf("    the simulated camera's own rendering     %6.2f ms\n", render * 1000 / frames);
    std::printf("    the booth (all the rest)                 %6.2f ms   (goal: at most 2.50 ms)\n",
                (cpu - render) * 1000 / frames);
    const double fetchesPerFrame = double(fetches) / double(std::max<uint64_t>(1, built));
    std::printf("      of which about %.2f ms the %.1f waits of 500 us between \"not ready\" answers a frame\n"
                "      (%.1f us of CPU a wait on this machine)\n",
                (fetchesPerFrame - 1) * waitMs, fetchesPerFrame - 1, waitMs * 1000);
    std::printf("  per thread (CPU per frame shown; the camera's rendering is in \"sim viewfinder\"):\n");
    for (const auto& [name, after] : threadsAfter) {
        const auto before = threadsBefore.find(name);
        const double used = after - (before == threadsBefore.end() ? 0 : before->second);
        if (used * 1000 / frames >= 0.01)
            std::printf("    %-40s %6.2f ms\n", name.c_str(), used * 1000 / frames);
    }
    std::printf("  resident memory: %.1f MiB at the start, %.1f after the first part, peak %.1f later, %.1f at the end\n",
                rssStart, rssFirstPart, rssPeakLater, residentMiB());
    run.stop();
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(0, std::atoi(argv[1])) : 5;
    const int seconds = qEnvironmentVariableIsSet("LIVEVIEW_SOAK_SECONDS")
                            ? qEnvironmentVariableIntValue("LIVEVIEW_SOAK_SECONDS")
                            : 20;
    const int report = qEnvironmentVariableIsSet("LIVEVIEW_SOAK_REPORT")
                           ? std::max(1, qEnvironmentVariableIntValue("LIVEVIEW_SOAK_REPORT"))
                           : 60;
    // One 1920 x 1080 screen on Qt's offscreen platform, unless QT_QPA_PLATFORM says otherwise.
    QTemporaryDir dir;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        QFile screens(dir.filePath("screens.json"));
        if (screens.open(QIODevice::WriteOnly))
            screens.write(R"({"screens": [{"name": "1-screen", "x": 0, "y": 0, "width": 1920, "height": 1080}]})");
        screens.close();
        qputenv("QT_QPA_PLATFORM", QFile::encodeName("offscreen:configfile=" + screens.fileName()));
    }
    QApplication app(argc, argv);
    SNP_Log::setLogFile(dir.filePath("bench_liveview.log"));
    if (rounds > 0)
        decodingContest(rounds);
    std::fflush(stdout);
    soak(seconds, report);
    return 0;
}
