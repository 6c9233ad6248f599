// A 24-megapixel picture's road from its arrival to the upload file, in the booth itself,
// against the floor, the contenders side by side from one run:
//
// - the floor: one full-size decode plus one full-size encode (quality 90) of the same
//   picture with libjpeg-turbo, nothing else: what filing cannot go below, since the
//   addresses go into a picture written again at quality 90;
// - the filing: the booth's intake of the picture on the capture screen, delivered on a
//   thread of its own as the camera delivers it while the main thread runs its event loop
//   (shown, addresses embedded, scratch file, day folder, composite with the frame, upload
//   file), with the log on.
//
// Each is measured quiet and with the other core busy (a second process spinning on it),
// wall clock and CPU time over all threads, in rounds that take turns (BENCH_ROUNDS,
// default 7); the medians are printed with the filing's ratio to the floor in the same
// conditions (goals: CPU at most 1.15x, busy wall clock at most 1.3x), and when the
// picture was shown. Then the resident memory one filing adds at its peak (the kernel's
// high-water mark reset just before; goal: at most 250 MB).
//
// The files go to a temporary folder (TMPDIR), the log to it as well (BENCH_FILING_LOG=PATH
// keeps a copy).
#include "AppController.h"
#include "BenchFigures.h"
#include "BenchMain.h"
#include "BenchPicture.h"
#include "SNP_CanonCameraNotifications.h"
#include "SNP_ImagePipeline.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SNP_XMLinEXIF.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cstdio>
#include <algorithm>
#include <string>
#include <thread>

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

// The camera picture of 24 megapixels, made once.
const QByteArray& cameraPicture()
{
    static const QByteArray picture = bench::cameraPicture(kWidth, kHeight);
    return picture;
}

// libjpeg-turbo alone, with its handles and buffers kept from one picture to the next.
struct Floor {
    Floor()
    {
        const QByteArray& jpeg = cameraPicture();
        int colorspace = 0;
        tjDecompressHeader3(decoder, reinterpret_cast<const unsigned char*>(jpeg.constData()), (unsigned long)jpeg.size(),
                            &width, &height, &subsampling, &colorspace);
        pixels.resize(size_t(width) * size_t(height) * 3);
    }
    ~Floor()
    {
        tjFree(out);
        tjDestroy(decoder);
        tjDestroy(encoder);
    }
    bool run()
    {
        const QByteArray& jpeg = cameraPicture();
        return tjDecompress2(decoder, reinterpret_cast<const unsigned char*>(jpeg.constData()), (unsigned long)jpeg.size(),
                             pixels.data(), width, 0, height, TJPF_RGB, 0) == 0 &&
               tjCompress2(encoder, pixels.data(), width, 0, height, TJPF_RGB, &out, &outSize, subsampling, 90, 0) == 0;
    }

    tjhandle decoder = tjInitDecompress();
    tjhandle encoder = tjInitCompress();
    std::vector<unsigned char> pixels;
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    int width = 0, height = 0, subsampling = TJSAMP_420;
};

// Notes when the main thread has run the intake's step (the picture put into the camera
// picture, the booth moved on): the intake queues that step on the controller and waits
// for it; a call of our own queued behind it runs as soon as the step is done.
class StepWatcher : public QObject {
public:
    StepWatcher(QObject* controller, double* at) : _controller(controller), _at(at)
    {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~StepWatcher() override { QCoreApplication::instance()->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!_seen && watched == _controller && event->type() == QEvent::MetaCall) {
            _seen = true;
            QMetaObject::invokeMethod(watched, [at = _at] { *at = bench::wallSeconds(); }, Qt::QueuedConnection);
        }
        return false;
    }

private:
    QObject* _controller;
    double* _at;
    bool _seen = false;
};

// The booth with its folders below a temporary folder and a frame image of its own size.
struct Booth {
    QTemporaryDir dir;
    std::unique_ptr<AppController> c;
    int pass = 0;

    Booth()
    {
        qputenv("BOOTH_LOG_FILE", dir.filePath("booth.log").toUtf8());
        SNP_Log::resetForTesting(); // the benchmarks' own log was open
        SNP_Log::setLogFile(dir.filePath("booth.log"));
        QDir().mkpath(dir.filePath("resources"));
        QImage frame(1000, 700, QImage::Format_ARGB32);
        frame.fill(Qt::white);
        QPainter p(&frame);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.fillRect(SNP_ImagePipeline::photoWindowForCompositeSize(QSizeF(1000, 700)), Qt::transparent);
        p.end();
        frame.save(dir.filePath("resources/LumoPictureFrame.png"));
        SNP_Preferences::setStoreFileForTesting(dir.filePath("booth.ini"));
        SNP_Preferences::setArguments(QStringList{"booth", "-resourceFolder", dir.filePath("resources"),
                                                  "-scratchFolder", dir.filePath("scratch"), "-mainImagesFolder",
                                                  dir.filePath("main"), "-forUploadFolder", dir.filePath("upload")});
        c = std::make_unique<AppController>();
        // The camera picture at its size on a 1920 x 1080 live screen, so that showing the
        // picture costs what it costs at the booth.
        c->liveView()->resize(1920, 1080);
        c->resizeLiveViewToFit();
        AppController::setPhotoClockForTesting([this] {
            return QDateTime(QDate(2026, 12, 7), QTime(10, 0, 0)).addSecs(pass);
        });
    }
    ~Booth()
    {
        c.reset();
        // BENCH_FILING_LOG=PATH keeps the log (its time stamps show each step's share).
        if (const QString keep = qEnvironmentVariable("BENCH_FILING_LOG"); !keep.isEmpty()) {
            QFile::remove(keep);
            QFile::copy(dir.filePath("booth.log"), keep);
        }
        SNP_Log::resetForTesting(); // the next booth opens a log in its own folder
        AppController::setPhotoClockForTesting(nullptr);
        SNP_Preferences::setStoreFileForTesting(QString());
        SNP_Preferences::setArguments(QStringList{"booth"});
    }
    // One picture on the capture screen, delivered on a thread of its own as the camera's
    // download delivers it while this (the main) thread runs its event loop; answers
    // whether the upload file was written, and when the picture was shown (seconds after
    // its arrival).
    bool file(const QByteArray& jpeg, double* shownAfter = nullptr)
    {
        ++pass;
        c->setEmails({QStringLiteral("visitor%1@example.org").arg(pass)});
        c->setScreenNumberForTesting(5);
        SNP_Notification n{SNP_CanonCameraPhotoDataAvailable, SNP_NotificationObject::nil(),
                           QVariantMap{{SNP_CanonCameraPhotoData, jpeg},
                                       {SNP_CanonCameraPhotoFilename, QStringLiteral("IMG_0001.JPG")}}};
        const double arrived = bench::wallSeconds();
        double shown = 0;
        QEventLoop loop;
        {
            const StepWatcher watcher(c.get(), &shown);
            std::thread camera([&] {
                c->newPhoto(n);
                QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
            });
            loop.exec();
            camera.join();
        }
        if (shownAfter)
            *shownAfter = shown > 0 ? shown - arrived : 0;
        return c->lastFilingResult().uploaded;
    }
    // Keeps the temporary folder from filling up over many iterations.
    void removeFiles()
    {
        for (const char* folder : {"scratch", "main", "upload"})
            QDir(dir.filePath(folder)).removeRecursively();
    }
};

// One contender's figures in one condition, per round.
struct Figures {
    std::vector<double> wall, cpu, shown;
    void add(double w, double c, double s = 0)
    {
        wall.push_back(w * 1000);
        cpu.push_back(c * 1000);
        shown.push_back(s * 1000);
    }
};

bool measureFloor(Floor& floor, Figures& figures)
{
    const double wall = bench::wallSeconds(), cpu = bench::cpuSeconds();
    const bool ok = floor.run();
    figures.add(bench::wallSeconds() - wall, bench::cpuSeconds() - cpu);
    return ok;
}

bool measureFiling(Booth& booth, Figures& figures)
{
    const QByteArray& jpeg = cameraPicture();
    double shown = 0;
    const double wall = bench::wallSeconds(), cpu = bench::cpuSeconds();
    const bool ok = booth.file(jpeg, &shown);
    figures.add(bench::wallSeconds() - wall, bench::cpuSeconds() - cpu, shown);
    booth.removeFiles();
    QCoreApplication::processEvents();
    return ok;
}

// The filing against the floor, quiet and with the other core busy.
void BM_FilingAgainstTheFloor(benchmark::State& state)
{
    const int rounds = qEnvironmentVariableIsSet("BENCH_ROUNDS") ? std::max(1, qEnvironmentVariableIntValue("BENCH_ROUNDS")) : 7;
    const std::string loadBefore = bench::loadAverages();
    Floor floor;
    Booth booth;
    Figures floorQuiet, floorBusy, filingQuiet, filingBusy, warmUp;
    for (auto _ : state) {
        if (!measureFloor(floor, warmUp) || !measureFiling(booth, warmUp)) { // first use: frame image, codecs, log
            state.SkipWithError("the floor or the filing failed (see the log)");
            return;
        }
        for (int round = 0; round < rounds; ++round) {
            bool ok = measureFloor(floor, floorQuiet) && measureFiling(booth, filingQuiet);
            {
                const bench::BusyCore busy;
                ok = measureFloor(floor, floorBusy) && measureFiling(booth, filingBusy) && ok;
            }
            if (!ok) {
                state.SkipWithError("the floor or the filing failed (see the log)");
                return;
            }
        }
    }
    using bench::median;
    std::printf("\nFiling a %dx%d picture of %.1f MB against the floor (ms, medians of %d rounds; load %s before, %s after)\n",
                kWidth, kHeight, cameraPicture().size() / 1e6, rounds, loadBefore.c_str(), bench::loadAverages().c_str());
    std::printf("  %-34s %10s %10s %12s %12s\n", "", "quiet wall", "quiet CPU", "busy wall", "busy CPU");
    const auto row = [](const char* name, const Figures& quiet, const Figures& busy) {
        std::printf("  %-34s %10.1f %10.1f %12.1f %12.1f\n", name, median(quiet.wall), median(quiet.cpu),
                    median(busy.wall), median(busy.cpu));
    };
    row("floor: libjpeg-turbo decode+encode", floorQuiet, floorBusy);
    row("the booth's filing", filingQuiet, filingBusy);
    std::printf("  %-34s %9.2fx %9.2fx %11.2fx %11.2fx\n", "filing / floor", median(filingQuiet.wall) / median(floorQuiet.wall),
                median(filingQuiet.cpu) / median(floorQuiet.cpu), median(filingBusy.wall) / median(floorBusy.wall),
                median(filingBusy.cpu) / median(floorBusy.cpu));
    std::printf("  goals: CPU at most 1.15x the floor's; with the other core busy, wall clock at most 1.3x the floor's\n");
    std::printf("  the picture shown %.1f ms after its arrival quiet, %.1f ms with the other core busy\n\n",
                median(filingQuiet.shown), median(filingBusy.shown));
    std::fflush(stdout);
    state.counters["floor_cpu_ms"] = median(floorQuiet.cpu);
    state.counters["filing_cpu_ms"] = median(filingQuiet.cpu);
    state.counters["cpu_ratio"] = median(filingQuiet.cpu) / median(floorQuiet.cpu);
    state.counters["busy_wall_ratio"] = median(filingBusy.wall) / median(floorBusy.wall);
    state.counters["shown_ms"] = median(filingQuiet.shown);
}
BENCHMARK(BM_FilingAgainstTheFloor)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

void BM_PeakMemoryOfOneFiling(benchmark::State& state)
{
    const QByteArray& jpeg = cameraPicture();
    Booth booth;
    booth.file(jpeg); // first use: the frame image, the codecs and the log are set up
    booth.removeFiles();
    double added = 0;
    for (auto _ : state) {
        QCoreApplication::processEvents();
        if (!resetPeakResident()) {
            state.SkipWithError("the peak resident memory cannot be reset (/proc/self/clear_refs)");
            break;
        }
        const double before = statusKiB("VmRSS");
        const bool uploaded = booth.file(jpeg);
        const double peak = statusKiB("VmHWM");
        if (!uploaded) {
            state.SkipWithError("no upload file was written (see the log)");
            break;
        }
        added = std::max(added, (peak - before) / 1024.0);
        booth.removeFiles();
    }
    state.counters["peak_added_MiB"] = added;
    state.counters["picture_MB"] = double(jpeg.size()) / 1e6;
}
BENCHMARK(BM_PeakMemoryOfOneFiling)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

int main(int argc, char** argv)
{
    return runBenchmarks<QApplication>(argc, argv, QStringLiteral("bench_filing.log"));
}
