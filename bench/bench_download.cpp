// A live download of a 24 MB picture file from the simulated camera, with its progress
// reports handed to the main thread as the booth receives them:
//
// - BM_Download24MB/<rate>: the camera's transfer request, the transfer into memory and
//   the photo notification, the main thread running its event loop and handling every
//   progress report by moving a progress bar and painting it at once. <rate> is the
//   camera's transfer speed in MB/s (0: as fast as memory allows). Reports
//   - steps_missing: progress steps of the transfer that did not reach the main thread
//     (goal: 0), and steps_out_of_order;
//   - handling_ms_max: the longest the main thread spent on one report;
//   - blocked_ms_max: the longest one report held the transfer (from the camera's
//     progress call until it returned);
//   - handoff_ms_max and handoff_ms_mean: blocked minus handling per report, the cost of
//     the hand-off itself (goal: small against the handling; the transfer waits for the
//     main thread's handling and not for more);
//   - transfer_ms: the whole download, request to photo notification.
#include "BenchMain.h"
#include "SNP_CanonCamera.h"
#include "SNP_CanonCameraNotifications.h"
#include "SNP_Log.h"
#include "SimCameraSdk.h"

#include <QApplication>
#include <QEventLoop>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr EdsUInt64 kFileSize = 24'000'000;

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// The simulated camera with every progress callback timed: the camera library's callback
// runs inside ours, so its duration is how long that report held the transfer.
class TimedProgressSdk : public SimCameraSdk {
public:
    struct Call {
        EdsUInt32 percent;
        Clock::duration held;
    };

    EdsError EdsSetProgressCallback(EdsBaseRef ref, EdsProgressCallback callback, EdsUInt32 option,
                                    void* context) override
    {
        if (!callback)
            return SimCameraSdk::EdsSetProgressCallback(ref, nullptr, option, context);
        std::lock_guard<std::mutex> g(_lock);
        auto& target = _targets[ref];
        target = Target{this, callback, context};
        return SimCameraSdk::EdsSetProgressCallback(ref, &TimedProgressSdk::timed, option, &target);
    }

    std::vector<Call> takeCalls()
    {
        std::lock_guard<std::mutex> g(_lock);
        std::vector<Call> calls;
        calls.swap(_calls);
        return calls;
    }

private:
    struct Target {
        TimedProgressSdk* sdk = nullptr;
        EdsProgressCallback callback = nullptr;
        void* context = nullptr;
    };

    static EdsError timed(EdsUInt32 percent, void* context, EdsBool* cancel)
    {
        auto* target = static_cast<Target*>(context);
        const auto start = Clock::now();
        const EdsError result = target->callback(percent, target->context, cancel);
        const auto held = Clock::now() - start;
        std::lock_guard<std::mutex> g(target->sdk->_lock);
        target->sdk->_calls.push_back(Call{percent, held});
        return result;
    }

    std::mutex _lock;
    std::map<EdsBaseRef, Target> _targets; // node-based: the addresses handed out stay valid
    std::vector<Call> _calls;
};

void BM_Download24MB(benchmark::State& state)
{
    auto sim = std::make_shared<TimedProgressSdk>();
    sim->setPictureSize(6000, 4000);
    sim->setPictureFileSize(kFileSize);
    sim->setTransferRate(EdsUInt64(state.range(0)) * 1'000'000);
    EdsSetCurrentSdk(sim);
    const int camId = sim->connectedCameras().front();
    SNP_CanonCameraPtr camera = SNP_CanonCamera::initWithCameraRef(sim->cameraRef(camId));
    if (!camera || !camera->load() || !sim->waitForIdle()) {
        state.SkipWithError("the simulated camera did not load");
        return;
    }

    QProgressBar bar;
    bar.resize(600, 24);
    bar.show();
    struct Handled {
        EdsUInt32 percent;
        Clock::duration took;
    };
    std::vector<Handled> handled; // main thread only
    std::atomic<qint64> photoBytes{-1};
    auto& center = SNP_NotificationCenter::defaultCenter();
    center.addObserver(&bar, SNP_CanonCameraDownloadProgress, [&](const SNP_Notification& n) {
        const auto start = Clock::now();
        const EdsUInt32 percent = n.userInfo.value(SNP_CanonCameraDownloadProgressPercent).toUInt();
        bar.setValue(int(percent));
        bar.repaint();
        handled.push_back(Handled{percent, Clock::now() - start});
    });
    QEventLoop loop; // the main thread waits in an event loop, as the booth's does
    center.addObserver(&bar, SNP_CanonCameraPhotoDataAvailable, [&](const SNP_Notification& n) {
        photoBytes.store(n.userInfo.value(SNP_CanonCameraPhotoData).toByteArray().size());
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });

    double handlingMax = 0, blockedMax = 0, handoffMax = 0, handoffSum = 0, transferSum = 0;
    int64_t missing = 0, outOfOrder = 0, reports = 0;
    for (auto _ : state) {
        handled.clear();
        sim->takeCalls();
        photoBytes.store(-1);
        const auto start = Clock::now();
        camera->takePicture();
        camera->performNextQueuedCameraCommand();
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
        timeout.start(60000);
        if (photoBytes.load() < 0)
            loop.exec();
        const auto took = Clock::now() - start;
        if (photoBytes.load() < qint64(kFileSize)) {
            state.SkipWithError("no photo of 24 MB arrived");
            break;
        }
        transferSum += ms(took);
        const std::vector<TimedProgressSdk::Call> calls = sim->takeCalls();
        // Every step the transfer reported reached the main thread, in order.
        for (size_t i = 0; i < calls.size(); ++i) {
            if (i >= handled.size() || handled[i].percent != calls[i].percent) {
                ++missing;
                continue;
            }
            if (i > 0 && handled[i].percent <= handled[i - 1].percent)
                ++outOfOrder;
            const double handling = ms(handled[i].took);
            const double blocked = ms(calls[i].held);
            handlingMax = std::max(handlingMax, handling);
            blockedMax = std::max(blockedMax, blocked);
            handoffMax = std::max(handoffMax, blocked - handling);
            handoffSum += blocked - handling;
            ++reports;
        }
        if (calls.empty())
            ++missing;
        sim->waitForIdle();
    }
    center.removeObserver(&bar);
    camera->unload();
    camera.reset();
    sim->waitForIdle();
    EdsSetCurrentSdk(nullptr);

    state.counters["steps_missing"] = double(missing);
    state.counters["steps_out_of_order"] = double(outOfOrder);
    state.counters["handling_ms_max"] = handlingMax;
    state.counters["blocked_ms_max"] = blockedMax;
    state.counters["handoff_ms_max"] = handoffMax;
    state.counters["handoff_ms_mean"] = reports ? handoffSum / double(reports) : 0;
    state.counters["transfer_ms"] = state.iterations() ? transferSum / double(state.iterations()) : 0;
    state.counters["MB"] = double(kFileSize) / 1e6;
}
// As fast as memory allows, and at about a USB 2.0 camera's speed.
BENCHMARK(BM_Download24MB)->Arg(0)->Arg(30)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

} // namespace

int main(int argc, char** argv)
{
    return runBenchmarks<QApplication>(argc, argv, QStringLiteral("bench_download.log"));
}
