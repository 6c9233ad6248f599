// booth-mailer's delivery to a local SMTP server (tests/mailer/smtp_server.py on 127.0.0.1,
// counting the messages without storing them), with the journal, the address removal and
// the moves to the sent folder as in the program:
//
// BM_DeliverThousandUploads: 1,000 upload files (668 x 454 composites as the booth writes
//   them, one visitor address each). Messages per second (goal: at least 20) and the
//   resident memory at the start, after the first 100 messages and at the end (goal: flat).
// BM_FullPicturesAgainstSmtplib: 200 messages, 50 visitors with four addresses each, every
//   message carrying the visitor's 24-megapixel picture and the composite (what the mailer
//   sends by default), against Python's smtplib sending the same messages to the same
//   server (bench/smtplib_sender.py: what peer booths use). The two take turns, BENCH_ROUNDS
//   rounds (5 unless set), and the medians are printed side by side: messages per second
//   (goal: the mailer at least 1.5 x smtplib), CPU per message and resident memory (goal:
//   flat, one picture in memory at a time).
//
//   build/bench/bench_mailer --benchmark_filter=FullPictures
//
// The files, the journal and the log go to a temporary folder (TMPDIR; the full pictures
// take about 0.6 GB).
#include "BenchFigures.h"
#include "BenchMain.h"
#include "BenchPicture.h"
#include "SNP_ImagePipeline.h"
#include "SNP_MailJournal.h"
#include "SNP_Mailer.h"
#include "SNP_XMLinEXIF.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>

namespace {

constexpr int kFiles = 1000;

// A composite-sized picture with some noise, so that it compresses like a photograph.
const QByteArray& compositePicture()
{
    static const QByteArray jpeg = [] {
        QImage image(668, 454, QImage::Format_RGB888);
        std::mt19937 noise(7);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y, qRgb((x + noise() % 40) & 255, (y + noise() % 40) & 255, (x ^ y) & 255));
        return SNP_ImagePipeline::encodeJpeg(image, 90).value_or(QByteArray());
    }();
    return jpeg;
}

QByteArray uploadPicture(const QString& address)
{
    return SNP_XMLinEXIF::jpegDataWithPropertyListObject(QVariantMap{{QBEmailsForUpload, QStringList{address}}},
                                                         compositePicture())
        .value_or(QByteArray());
}

bool writeUploads(const QString& folder)
{
    for (int i = 0; i < kFiles; ++i) {
        const QString path = QStringLiteral("%1/Main/2026-12-07/%2Comp.jpg").arg(folder).arg(i, 4, 10, QChar(u'0'));
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        const QByteArray bytes = uploadPicture(QStringLiteral("guest%1@example.com").arg(i));
        // Placed a minute ago: settled when the mailer looks.
        if (bytes.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush()
            || !file.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime))
            return false;
    }
    return true;
}

// The test server on a free port; its port, or 0.
int startServer(QProcess& server, const QString& folder)
{
    QDir().mkpath(folder);
    const QString python = QFileInfo::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    server.start(python, {MAILER_TEST_SERVER, folder, "--discard"});
    if (!server.waitForReadyRead(15000))
        return 0;
    const QByteArray line = server.readLine().trimmed();
    return line.startsWith("PORT ") ? line.mid(5).toInt() : 0;
}

// The settings for the local server: no TLS, no rate limit.
void localServer(SNP_MailSettings& settings, int port)
{
    settings.smtpUrl = QStringLiteral("smtp://127.0.0.1:%1").arg(port);
    settings.tls = SNP_MailSettings::Tls::Plain;
    settings.fromHeader = settings.fromAddress = QStringLiteral("booth@example.com");
    settings.subject = QStringLiteral("Your picture");
    settings.body = QStringLiteral("Thank you for visiting!\n");
    settings.perMinute = SNP_MailSettings::MaxPerMinute;
}

void BM_DeliverThousandUploads(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir dir;
        QProcess server;
        const int port = startServer(server, dir.filePath("server"));
        SNP_MailSettings settings;
        settings.folders = SNP_MailSettings::foldersForUpload(dir.filePath("upload"));
        if (port == 0 || !writeUploads(settings.folders.upload)) {
            state.SkipWithError("no test server or no upload files");
            break;
        }
        localServer(settings, port);
        auto journal = SNP_MailJournal::open(settings.folders.journal);
        SNP_Mailer mailer(settings, *journal);
        const double rssStart = residentMiB();
        double rssAfter100 = 0;
        int handed = 0;
        QElapsedTimer timer;
        timer.start();
        state.ResumeTiming();

        mailer.takeNewUploads();
        while (mailer.sendDue([&] {
            if (++handed == 101)
                rssAfter100 = residentMiB();
            return false;
        })) {
        }

        state.PauseTiming();
        const double seconds = timer.elapsed() / 1000.0;
        const SNP_MailSummary summary = journal->summary();
        state.counters["messages_sent"] = double(summary.sent);
        state.counters["messages_per_s"] = double(summary.sent) / seconds;
        state.counters["rss_start_MiB"] = rssStart;
        state.counters["rss_after_100_MiB"] = rssAfter100;
        state.counters["rss_end_MiB"] = residentMiB();
        server.kill();
        server.waitForFinished();
        if (summary.sent != kFiles) {
            state.SkipWithError("not every message was delivered (see the log)");
            break;
        }
        state.ResumeTiming();
    }
}
BENCHMARK(BM_DeliverThousandUploads)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// ---- full pictures against smtplib ----

constexpr int kVisitors = 50;
constexpr int kAddressesEach = 4;
constexpr int kPictureWidth = 6000;
constexpr int kPictureHeight = 4000;

bool writeWithAddresses(const QString& path, const QByteArray& jpeg, const QStringList& addresses)
{
    const auto bytes =
        SNP_XMLinEXIF::jpegDataWithPropertyListObject(QVariantMap{{QBEmailsForUpload, addresses}}, jpeg);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return bytes && file.open(QIODevice::WriteOnly) && file.write(*bytes) == bytes->size();
}

// The booth's folders as filing leaves them for 50 visitors: each filed picture in the day
// folder with the visitor's four addresses, its composite under the upload folder. The
// messages the peer sends go into a manifest; the upload files' times are set a minute
// back, so that the mailer finds them settled.
struct FullPictureFolders {
    QTemporaryDir dir;
    SNP_MailSettings settings;
    QStringList uploads; // relative to the upload folder
    QString manifest;
    double pictureMB = 0;

    bool make()
    {
        settings.folders = SNP_MailSettings::foldersForUpload(dir.filePath("upload"));
        const QString day = dir.filePath("main/2026-12-07");
        const QByteArray picture = bench::cameraPicture(kPictureWidth, kPictureHeight);
        pictureMB = double(picture.size()) / 1e6;
        const QByteArray& composite = compositePicture();
        QJsonArray pictures;
        for (int v = 0; v < kVisitors; ++v) {
            QStringList addresses;
            for (int a = 0; a < kAddressesEach; ++a)
                addresses << QStringLiteral("visitor%1.%2@example.com").arg(v).arg(a);
            const QString name = QStringLiteral("2026120710%1").arg(v, 4, 10, QChar(u'0'));
            const QString filed = QStringLiteral("%1/%2.jpg").arg(day, name);
            const QString relative = QStringLiteral("%1/%2Comp.jpg").arg(day.mid(1), name);
            const QString upload = QDir(settings.folders.upload).filePath(relative);
            if (!writeWithAddresses(filed, picture, addresses) || !writeWithAddresses(upload, composite, addresses))
                return false;
            QFile placed(upload);
            if (!placed.open(QIODevice::ReadOnly)
                || !placed.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime))
                return false;
            uploads << relative;
            pictures.append(QJsonObject{{"to", QJsonArray::fromStringList(addresses)},
                                        {"files", QJsonArray{QJsonArray{filed, QFileInfo(filed).fileName()},
                                                             QJsonArray{upload, QFileInfo(upload).fileName()}}}});
        }
        manifest = dir.filePath("manifest.json");
        QFile file(manifest);
        return file.open(QIODevice::WriteOnly)
               && file.write(QJsonDocument(QJsonObject{{"from", "booth@example.com"}, {"subject", "Your picture"},
                                                       {"body", "Thank you for visiting!\n"},
                                                       {"pictures", pictures}})
                                 .toJson()) > 0;
    }

    // Puts the sent pictures back into the upload folder and forgets the journal.
    void reset()
    {
        for (const QString& relative : uploads)
            QFile::rename(QDir(settings.folders.sent).filePath(relative),
                          QDir(settings.folders.upload).filePath(relative));
        for (const char* suffix : {"", "-wal", "-shm"})
            QFile::remove(settings.folders.journal + suffix);
    }
};

struct Contender {
    std::vector<double> perSecond, cpuMsPerMessage, rssStart, rssMiddle, rssEnd, rssPeak;
    bool failed = false;
};

void runMailer(FullPictureFolders& folders, Contender& result)
{
    folders.reset();
    auto journal = SNP_MailJournal::open(folders.settings.folders.journal);
    if (!journal) {
        result.failed = true;
        return;
    }
    SNP_Mailer mailer(folders.settings, *journal);
    resetPeakResident();
    const double rssStart = residentMiB();
    double rssMiddle = 0;
    int handed = 0;
    const double cpu = bench::cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    mailer.takeNewUploads();
    while (mailer.sendDue([&] {
        if (++handed == kVisitors * kAddressesEach / 2)
            rssMiddle = residentMiB();
        return false;
    })) {
    }
    mailer.fileFinishedPictures();
    const double seconds = timer.nsecsElapsed() / 1e9;
    const qint64 sent = journal->summary().sent;
    if (sent != kVisitors * kAddressesEach) {
        std::printf("booth-mailer sent %lld of %d messages\n", static_cast<long long>(sent),
                     kVisitors * kAddressesEach);
        result.failed = true;
    }
    result.perSecond.push_back(double(sent) / seconds);
    result.cpuMsPerMessage.push_back((bench::cpuSeconds() - cpu) * 1000 / double(qMax<qint64>(sent, 1)));
    result.rssStart.push_back(rssStart);
    result.rssMiddle.push_back(rssMiddle);
    result.rssEnd.push_back(residentMiB());
    result.rssPeak.push_back(statusKiB("VmHWM") / 1024.0);
}

void runSmtplib(FullPictureFolders& folders, int port, Contender& result)
{
    folders.reset(); // the files where the manifest names them
    QProcess peer;
    const QString python = QFileInfo::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    peer.start(python, {MAILER_PEER_SENDER, QString::number(port), folders.manifest});
    if (!peer.waitForFinished(30 * 60 * 1000)) {
        result.failed = true;
        return;
    }
    // SENT <n> WALL <s> CPU <s> MAXRSS_KIB <k>
    const QList<QByteArray> words = peer.readAllStandardOutput().simplified().split(' ');
    if (words.size() != 8 || words[1].toInt() != kVisitors * kAddressesEach) {
        std::printf("smtplib_sender.py: %s\n", peer.readAllStandardError().constData());
        result.failed = true;
        return;
    }
    const double sent = words[1].toDouble();
    result.perSecond.push_back(sent / words[3].toDouble());
    result.cpuMsPerMessage.push_back(words[5].toDouble() * 1000 / sent);
    result.rssPeak.push_back(words[7].toDouble() / 1024);
}

void BM_FullPicturesAgainstSmtplib(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        FullPictureFolders folders;
        QProcess server;
        const int port = startServer(server, folders.dir.filePath("server"));
        if (port == 0 || !folders.make()) {
            state.SkipWithError("no test server or no pictures");
            break;
        }
        localServer(folders.settings, port);
        const int rounds = qMax(1, qEnvironmentVariableIntValue("BENCH_ROUNDS") ?: 5);
        Contender mailer, smtplib;
        for (int round = 0; round < rounds; ++round) {
            // Each goes first in every other round.
            if (round % 2 == 0) {
                runMailer(folders, mailer);
                runSmtplib(folders, port, smtplib);
            } else {
                runSmtplib(folders, port, smtplib);
                runMailer(folders, mailer);
            }
        }
        server.kill();
        server.waitForFinished();
        if (mailer.failed || smtplib.failed) {
            state.SkipWithError("not every message was delivered (see the log)");
            break;
        }
        const double ratio = bench::median(mailer.perSecond) / bench::median(smtplib.perSecond);
        std::printf("\n%d messages (%d visitors x %d addresses), each with a %.1f MB picture and the composite; "
                    "%d rounds, medians\n",
                    kVisitors * kAddressesEach, kVisitors, kAddressesEach, folders.pictureMB, rounds);
        std::printf("%-28s %14s %14s\n", "", "booth-mailer", "smtplib");
        std::printf("%-28s %14.2f %14.2f   (%.2fx)\n", "messages per second", bench::median(mailer.perSecond),
                    bench::median(smtplib.perSecond), ratio);
        std::printf("%-28s %14.2f %14.2f\n", "CPU ms per message", bench::median(mailer.cpuMsPerMessage),
                    bench::median(smtplib.cpuMsPerMessage));
        std::printf("%-28s %14.1f %14s\n", "resident MiB at start", bench::median(mailer.rssStart), "");
        std::printf("%-28s %14.1f %14s\n", "resident MiB at half", bench::median(mailer.rssMiddle), "");
        std::printf("%-28s %14.1f %14s\n", "resident MiB at the end", bench::median(mailer.rssEnd), "");
        std::printf("%-28s %14.1f %14.1f\n\n", "resident MiB, peak", bench::median(mailer.rssPeak),
                    bench::median(smtplib.rssPeak));
        std::fflush(stdout);
        state.counters["mailer_msgs_per_s"] = bench::median(mailer.perSecond);
        state.counters["smtplib_msgs_per_s"] = bench::median(smtplib.perSecond);
        state.counters["rate_ratio"] = ratio;
        state.counters["mailer_cpu_ms_per_msg"] = bench::median(mailer.cpuMsPerMessage);
        state.counters["smtplib_cpu_ms_per_msg"] = bench::median(smtplib.cpuMsPerMessage);
        state.counters["mailer_rss_peak_MiB"] = bench::median(mailer.rssPeak);
        state.counters["smtplib_rss_peak_MiB"] = bench::median(smtplib.rssPeak);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FullPicturesAgainstSmtplib)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

} // namespace

int main(int argc, char** argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const int status = runBenchmarks<QCoreApplication>(argc, argv, QStringLiteral("bench_mailer.log"));
    curl_global_cleanup();
    return status;
}
