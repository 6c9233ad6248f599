// A 24-megapixel picture's road from its arrival to the upload file, in the booth itself:
//
// - BM_Floor: one full-size decode plus one full-size encode (quality 90) of the same
//   picture with libjpeg-turbo, nothing else: what filing cannot go below, since the
//   addresses go into a picture written again at quality 90.
// - BM_PhotoToUploadFile: the booth's intake of the picture on the capture screen (shown,
//   addresses embedded, scratch file, day folder, composite with the frame, upload file),
//   with the log on. Reports its ratio to the floor measured in the same run (goal: at
//   most 1.5).
// - BM_PeakMemoryOfOneFiling: the resident memory the same intake adds at its peak (the
//   kernel's high-water mark reset just before; goal: at most 250 MB).
//
// The files go to a temporary folder (TMPDIR), the log to it as well (BENCH_FILING_LOG=PATH
// keeps a copy).
#include "AppController.h"
#include "BenchMain.h"
#include "SNP_CanonCameraNotifications.h"
#include "SNP_ImagePipeline.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SNP_XMLinEXIF.h"
#include "SimJpeg.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cstdio>
#include <fstream>
#include <algorithm>
#include <chrono>
#include <random>
#include <string>

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

double statusKiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0)
            return std::stod(line.substr(key.size()));
    return 0;
}

bool resetPeakResident()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return bool(clear);
}

// A camera picture of 24 megapixels: the simulated camera's scene with fine grain over it
// (so that it costs what a photograph costs to code), with the camera's EXIF block.
const QByteArray& cameraPicture()
{
    static const QByteArray picture = [] {
        QImage scene(kWidth, kHeight, QImage::Format_RGB888);
        const auto base = SimJpeg::basePicture(kWidth, kHeight);
        if (base)
            scene.loadFromData(base->data(), int(base->size()), "JPEG");
        if (scene.isNull() || scene.width() != kWidth) {
            scene = QImage(kWidth, kHeight, QImage::Format_RGB888);
            scene.fill(QColor(90, 120, 160));
        }
        scene = scene.convertToFormat(QImage::Format_RGB888);
        std::mt19937 random(7);
        for (int y = 0; y < kHeight; ++y) {
            uchar* row = scene.scanLine(y);
            for (int x = 0; x < kWidth * 3; ++x)
                row[x] = uchar(std::clamp(int(row[x]) + int(random() % 17) - 8, 0, 255));
        }
        std::vector<uint8_t> jpeg =
            SimJpeg::encodeRgb(scene.constBits(), kWidth, kHeight, 90); // rows of RGB888 are packed at 6000
        SimJpeg::ExifFields exif;
        exif.model = "Canon EOS 5D Mark II";
        exif.dateTimeOriginal = "2026:12:07 10:00:00";
        exif.width = kWidth;
        exif.height = kHeight;
        SimJpeg::writeExif(jpeg, exif);
        return QByteArray(reinterpret_cast<const char*>(jpeg.data()), qsizetype(jpeg.size()));
    }();
    return picture;
}

double gFloorSeconds = 0;

void BM_Floor(benchmark::State& state)
{
    const QByteArray& jpeg = cameraPicture();
    tjhandle decoder = tjInitDecompress();
    tjhandle encoder = tjInitCompress();
    std::vector<unsigned char> pixels(size_t(kWidth) * kHeight * 3);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    int width = 0, height = 0, subsampling = TJSAMP_420, colorspace = 0;
    tjDecompressHeader3(decoder, reinterpret_cast<const unsigned char*>(jpeg.constData()), (unsigned long)jpeg.size(),
                        &width, &height, &subsampling, &colorspace);
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (tjDecompress2(decoder, reinterpret_cast<const unsigned char*>(jpeg.constData()), (unsigned long)jpeg.size(),
                          pixels.data(), kWidth, 0, kHeight, TJPF_RGB, 0) != 0 ||
            tjCompress2(encoder, pixels.data(), kWidth, 0, kHeight, TJPF_RGB, &out, &outSize, subsampling, 90, 0) != 0) {
            state.SkipWithError("libjpeg-turbo failed");
            break;
        }
        benchmark::DoNotOptimize(outSize);
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    tjFree(out);
    tjDestroy(decoder);
    tjDestroy(encoder);
    if (state.iterations() > 0)
        gFloorSeconds = total / double(state.iterations());
    state.counters["MB"] = double(jpeg.size()) / 1e6;
}
BENCHMARK(BM_Floor)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// The booth with its folders below a temporary folder and a frame image of its own size.
struct Booth {
    QTemporaryDir dir;
    std::unique_ptr<AppController> c;
    int pass = 0;

    Booth()
    {
        qputenv("BOOTH_LOG_FILE", dir.filePath("booth.log").toUtf8());
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
    // One picture on the capture screen, delivered as the camera's download does; answers
    // whether the upload file was written.
    bool file(const QByteArray& jpeg)
    {
        ++pass;
        c->setEmails({QStringLiteral("visitor%1@example.org").arg(pass)});
        c->_screenNumber.store(5);
        SNP_Notification n{SNP_CanonCameraPhotoDataAvailable, SNP_NotificationObject::nil(),
                           QVariantMap{{SNP_CanonCameraPhotoData, jpeg},
                                       {SNP_CanonCameraPhotoFilename, QStringLiteral("IMG_0001.JPG")}}};
        c->newPhoto(n);
        return c->lastFilingResult().uploaded;
    }
    // Keeps the temporary folder from filling up over many iterations.
    void removeFiles()
    {
        for (const char* folder : {"scratch", "main", "upload"})
            QDir(dir.filePath(folder)).removeRecursively();
    }
};

void BM_PhotoToUploadFile(benchmark::State& state)
{
    const QByteArray& jpeg = cameraPicture();
    Booth booth;
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const bool uploaded = booth.file(jpeg);
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!uploaded) {
            state.SkipWithError("no upload file was written (see the log)");
            break;
        }
        state.PauseTiming();
        booth.removeFiles();
        QCoreApplication::processEvents();
        state.ResumeTiming();
    }
    if (state.iterations() > 0 && gFloorSeconds > 0) {
        const double perPicture = total / double(state.iterations());
        state.counters["floor_ms"] = gFloorSeconds * 1000;
        state.counters["ratio_to_floor"] = perPicture / gFloorSeconds;
    }
}
BENCHMARK(BM_PhotoToUploadFile)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);

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
