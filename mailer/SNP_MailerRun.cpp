#include "SNP_MailerRun.h"

#include "SNP_Log.h"
#include "SNP_MailJournal.h"
#include "SNP_Mailer.h"
#include "SNP_UploadFolder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int kListed = 20;                 // lines per list in a report
constexpr qint64 kKeepConnectionMs = 10000; // an idle connection is closed when the next message is further off

std::atomic<bool> gStop{false};
int gStopPipe[2] = {-1, -1};

void onStopSignal(int)
{
    gStop.store(true);
    const char byte = 1;
    if (gStopPipe[1] >= 0)
        (void)!::write(gStopPipe[1], &byte, 1);
}

qint64 now() { return QDateTime::currentMSecsSinceEpoch(); }

QString deliveryLine(const SNP_MailDelivery& d)
{
    if (d.state == QLatin1String("waiting")) {
        const QString why = d.attempts == 0 ? QStringLiteral("not tried yet")
                                            : QStringLiteral("attempts %1, next try %2: %3")
                                                  .arg(d.attempts)
                                                  .arg(SNP_Mailer::timeText(d.nextAttempt), d.reply);
        return QStringLiteral("  %1  %2  %3\n").arg(d.address, d.path, why);
    }
    return QStringLiteral("  %1  %2: %3\n").arg(d.address, d.path, d.reply);
}

QString listed(const QList<SNP_MailDelivery>& rows, qint64 total)
{
    QString text;
    for (const SNP_MailDelivery& d : rows)
        text += deliveryLine(d);
    if (total > rows.size())
        text += QStringLiteral("  ... and %1 more\n").arg(total - rows.size());
    return text;
}

QString waitingText(SNP_MailJournal& journal, const SNP_MailSummary& summary)
{
    const QList<SNP_MailDelivery> waiting = journal.deliveries(QStringLiteral("waiting"), kListed);
    QString text = QStringLiteral("Waiting: %1").arg(summary.waiting);
    if (!waiting.isEmpty())
        text += QStringLiteral(" (oldest since %1)").arg(SNP_Mailer::timeText(waiting.front().created));
    return text + u'\n' + listed(waiting, summary.waiting);
}

QString failedText(SNP_MailJournal& journal, const SNP_MailSummary& summary)
{
    QString text = QStringLiteral("Failed: %1\n").arg(summary.failed);
    text += listed(journal.deliveries(QStringLiteral("failed"), kListed), 0);
    for (const SNP_MailPicture& p : journal.failedPictures(kListed))
        text += QStringLiteral("  %1: %2 (in the failed folder)\n").arg(p.path, p.reason);
    return text;
}

QString lastErrorText(SNP_MailJournal& journal)
{
    const auto last = journal.lastError();
    if (!last)
        return QStringLiteral("Last error: none\n");
    return QStringLiteral("Last error: %1  %2  %3: %4\n")
        .arg(SNP_Mailer::timeText(last->updated), last->address, last->path, last->reply);
}

std::unique_ptr<SNP_MailJournal> openJournal(const SNP_MailFolders& folders)
{
    QDir().mkpath(QFileInfo(folders.journal).path());
    auto journal = SNP_MailJournal::open(folders.journal);
    if (!journal)
        SNP_Log::debugf("booth-mailer cannot work without its delivery journal %s", qUtf8Printable(folders.journal));
    return journal;
}

// Waits until the time (ms since 1970) or a stop signal, whichever comes first.
void sleepUntil(qint64 until)
{
    pollfd wake{gStopPipe[0], POLLIN, 0};
    while (!gStop.load() && now() < until)
        ::poll(&wake, gStopPipe[0] >= 0 ? 1 : 0, int(std::clamp<qint64>(until - now(), 0, 1000)));
}

void prepareRound(SNP_Mailer& mailer)
{
    mailer.takeNewUploads();
    mailer.fileFinishedPictures();
}

} // namespace

namespace SNP_MailerRun {

void installStopSignals()
{
    if (gStopPipe[0] < 0 && ::pipe2(gStopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        gStopPipe[0] = gStopPipe[1] = -1;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool stopRequested() { return gStop.load(); }

int status(const SNP_MailFolders& folders, QTextStream& out)
{
    auto journal = SNP_MailJournal::openReadOnly(folders.journal);
    if (!journal) {
        out << QStringLiteral("No delivery journal at %1: nothing has been taken from %2 yet.\n")
                   .arg(folders.journal, folders.upload);
        return 0;
    }
    const SNP_MailSummary summary = journal->summary();
    out << waitingText(*journal, summary) << QStringLiteral("Sent: %1\n").arg(summary.sent)
        << failedText(*journal, summary) << lastErrorText(*journal);
    return 0;
}

int drain(const SNP_MailSettings& settings, int seconds, QTextStream& out)
{
    auto journal = openJournal(settings.folders);
    if (!journal)
        return 2;
    SNP_Mailer mailer(settings, *journal);
    mailer.resumeInterrupted();
    const qint64 deadline = now() + qint64(seconds) * 1000;
    SNP_Log::debugf("Draining the queue for at most %d s", seconds);
    prepareRound(mailer);
    mailer.retryAllNow();
    for (;;) {
        const auto next = mailer.sendDue(stopRequested);
        const SNP_MailSummary s = journal->summary();
        if (s.waiting == 0) {
            if (mailer.takeNewUploads() == 0) {
                out << QStringLiteral("Nothing waiting: %1 sent, %2 failed.\n").arg(s.sent).arg(s.failed);
                return 0;
            }
            if (now() < deadline) // these arrived while the others were sent
                continue;
            break;
        }
        // Nothing can go before the deadline, or nothing can go at all (a message a failed
        // journal write left marked as being sent): what waits is reported.
        if (gStop.load() || !next || *next > deadline)
            break;
        sleepUntil(*next);
        prepareRound(mailer);
    }
    out << QStringLiteral("Still waiting after the drain:\n") << waitingText(*journal, journal->summary());
    return 1;
}

int serve(const SNP_MailSettings& settings)
{
    auto journal = openJournal(settings.folders);
    if (!journal)
        return 2;
    SNP_Mailer mailer(settings, *journal);
    mailer.resumeInterrupted();
    if (!QFileInfo(settings.folders.upload).isDir())
        SNP_Log::debugf("The upload folder %s does not exist yet; looking again every %d s",
                        qUtf8Printable(settings.folders.upload), kRescanMs / 1000);

    SNP_UploadWatcher watcher(settings.folders.upload);
    QTimer rescan, wake;
    wake.setSingleShot(true);
    auto round = [&] {
        watcher.watchFolders(); // first: a file put into a new day folder after the scan is still announced
        prepareRound(mailer);
        const auto next = mailer.sendDue(stopRequested);
        if (gStop.load()) {
            QCoreApplication::quit();
            return;
        }
        if (!next || *next - now() > kKeepConnectionMs)
            mailer.disconnect();
        if (next)
            wake.start(int(std::clamp<qint64>(*next - now(), 0, kRescanMs)));
    };
    QObject::connect(&watcher, &SNP_UploadWatcher::changed, round);
    QObject::connect(&rescan, &QTimer::timeout, round);
    QObject::connect(&wake, &QTimer::timeout, round);
    QSocketNotifier stopNotifier(gStopPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, [] { QCoreApplication::quit(); });
    // Tells the booth and --status that a mailer is at work on this journal.
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] { journal->writeHeartbeat(now()); });
    journal->writeHeartbeat(now());
    heartbeat.start(int(SNP_MailStatus::kHeartbeatIntervalMs));
    rescan.start(kRescanMs);
    QTimer::singleShot(0, round);
    SNP_Log::debugf("booth-mailer watches %s", qUtf8Printable(settings.folders.upload));
    const int status = QCoreApplication::exec();
    SNP_Log::debug(QStringLiteral("booth-mailer stops"));
    return status;
}

} // namespace SNP_MailerRun
