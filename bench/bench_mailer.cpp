// booth-mailer's delivery: 1,000 upload files (668 x 454 composites as the booth writes
// them, one visitor address each) taken from the upload folder and delivered to a local SMTP
// server (tests/mailer/smtp_server.py on 127.0.0.1, counting the messages without storing
// them), with the journal, the address removal and the moves to the sent folder as in the
// program. Reports messages per second (goal: at least 20) and the resident memory at the
// start, after the first 100 messages and at the end (goal: flat).
//
// The files, the journal and the log go to a temporary folder (TMPDIR).
#include "BenchMain.h"
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
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <random>

namespace {

constexpr int kFiles = 1000;

// A composite-sized picture with some noise, so that it compresses like a photograph.
QByteArray uploadPicture(const QString& address)
{
    static const QByteArray jpeg = [] {
        QImage image(668, 454, QImage::Format_RGB888);
        std::mt19937 noise(7);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y, qRgb((x + noise() % 40) & 255, (y + noise() % 40) & 255, (x ^ y) & 255));
        return SNP_ImagePipeline::encodeJpeg(image, 90).value_or(QByteArray());
    }();
    return SNP_XMLinEXIF::jpegDataWithPropertyListObject(QVariantMap{{QBEmailsForUpload, QStringList{address}}}, jpeg)
        .value_or(QByteArray());
}

bool writeUploads(const QString& folder)
{
    for (int i = 0; i < kFiles; ++i) {
        const QString path = QStringLiteral("%1/Main/2026-12-07/%2Comp.jpg").arg(folder).arg(i, 4, 10, QChar(u'0'));
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        const QByteArray bytes = uploadPicture(QStringLiteral("guest%1@example.com").arg(i));
        if (bytes.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
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
        settings.smtpUrl = QStringLiteral("smtp://127.0.0.1:%1").arg(port);
        settings.tls = SNP_MailSettings::Tls::Plain;
        settings.fromHeader = settings.fromAddress = QStringLiteral("booth@example.com");
        settings.subject = QStringLiteral("Your picture");
        settings.body = QStringLiteral("Thank you for visiting!\n");
        settings.perMinute = SNP_MailSettings::MaxPerMinute;
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
        if (summary.sent != kFiles)
            state.SkipWithError("not every message was delivered (see the log)");
        server.kill();
        server.waitForFinished();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_DeliverThousandUploads)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace

int main(int argc, char** argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const int status = runBenchmarks<QCoreApplication>(argc, argv, QStringLiteral("bench_mailer.log"));
    curl_global_cleanup();
    return status;
}
