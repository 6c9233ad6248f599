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
int gStaffOutput = -1;

void onStopSignal(int)
{
    gStop.store(true);
    const char byte = 1;
    if (gStopPipe[1] >= 0)
        (void)!::write(gStopPipe[1], &byte, 1);
}

qint64 now() { return QDateTime::currentMSecsSinceEpoch(); }

std::optional<qint64> earliest(std::optional<qint64> a, std::optional<qint64> b)
{
    return a && b ? std::min(*a, *b) : a ? a : b;
}

QString deliveryLine(const SNP_MailDelivery& d)
{
    if (d.state == QLatin1String("waiting")) {
        const QString why = d.attempts == 0 ? QStringLiteral("not tried yet")
                                            : QStringLiteral("attempts %1, next try %2: %3")
                                                  .arg(d.attempts)
                                                  .arg(SNP_Mailer::timeText(d.nextAttempt), SNP_Log::escaped(d.reply));
        return QStringLiteral("  %1  %2  %3\n").arg(SNP_Log::escaped(d.address), SNP_Log::escaped(d.path), why);
    }
    return QStringLiteral("  %1  %2: %3\n").arg(SNP_Log::escaped(d.address), SNP_Log::escaped(d.path), SNP_Log::escaped(d.reply));
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
        text += QStringLiteral("  %1: %2 (in the failed folder)\n")
                    .arg(SNP_Log::escaped(p.path), SNP_Log::escaped(p.reason));
    return text;
}

QString lastErrorText(SNP_MailJournal& journal)
{
    const auto last = journal.lastError();
    if (!last)
        return QStringLiteral("Last error: none\n");
    return QStringLiteral("Last error: %1  %2  %3: %4\n")
        .arg(SNP_Mailer::timeText(last->updated), SNP_Log::escaped(last->address),
             SNP_Log::escaped(last->path), SNP_Log::escaped(last->reply));
}

// The upload files the mailer is not done with outside the journal, each with why.
QString heldUpText(const QList<std::pair<QString, QString>>& files)
{
    QString text = QStringLiteral("Held up in the upload folder: %1 file(s)\n").arg(files.size());
    for (const auto& [path, why] : files.mid(0, kListed))
        text += QStringLiteral("  %1: %2\n").arg(SNP_Log::escaped(path), SNP_Log::escaped(why));
    return text;
}

// The journal for serve and drain. One that cannot be written: nothing (said). A damaged
// one is renamed aside and made anew from the folders (said).
std::unique_ptr<SNP_MailJournal> openJournal(const SNP_MailFolders& folders)
{
    using Trouble = SNP_MailJournal::Opened::Trouble;
    QDir().mkpath(QFileInfo(folders.journal).path());
    SNP_MailJournal::Opened opened = SNP_MailJournal::openChecked(folders.journal);
    if (opened.trouble == Trouble::Damaged) {
        QString why;
        const auto aside = SNP_MailJournal::setAside(folders.journal, now(), &why);
        if (!aside) {
            SNP_MailerRun::tellStaff(QStringLiteral("The delivery journal %1 is damaged (%2) and cannot be set aside: %3")
                                         .arg(folders.journal, opened.reason, why));
            return nullptr;
        }
        const QString damage = opened.reason;
        opened = SNP_MailJournal::openChecked(folders.journal);
        if (opened.journal) {
            const auto [sent, failed] = SNP_Mailer::recordFolders(folders, *opened.journal, now());
            SNP_MailerRun::tellStaff(
                QStringLiteral("The delivery journal %1 was damaged (%2). It is kept as %3, and a new one was made from "
                               "the folders: %4 picture(s) in the sent folder count as sent and are not sent again, %5 "
                               "in the failed folder count as failed, and every picture in the upload folder is sent "
                               "(an address that had its message before the damage may get it twice).")
                    .arg(folders.journal, damage, *aside)
                    .arg(sent)
                    .arg(failed));
        }
    }
    if (!opened.journal)
        SNP_MailerRun::tellStaff(QStringLiteral("Cannot work without the delivery journal %1: %2")
                                     .arg(folders.journal, opened.reason));
    return std::move(opened.journal);
}

// Waits until the time (ms since 1970) or a stop signal, whichever comes first.
void sleepUntil(qint64 until)
{
    pollfd wake{gStopPipe[0], POLLIN, 0};
    while (!gStop.load() && now() < until)
        ::poll(&wake, gStopPipe[0] >= 0 ? 1 : 0, int(std::clamp<qint64>(until - now(), 0, 1000)));
}

// Answers how many upload files were queued.
int prepareRound(SNP_Mailer& mailer)
{
    const int queued = mailer.takeNewUploads();
    mailer.fileFinishedPictures();
    return queued;
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

void setStaffOutput(int fd) { gStaffOutput = fd; }

void tellStaff(const QString& message)
{
    SNP_Log::debug(message);
    const QByteArray line = "booth-mailer: " + SNP_Log::escaped(message).toUtf8() + "\n";
    if (gStaffOutput >= 0)
        (void)!::write(gStaffOutput, line.constData(), size_t(line.size()));
}

int status(const SNP_MailFolders& folders, QTextStream& out)
{
    const qint64 at = now();
    const SNP_MailStatus status = SNP_MailJournal::readStatus(folders);
    const bool uploadReadable = QFileInfo(folders.upload).isDir() && QFileInfo(folders.upload).isReadable();
    const QFileInfo journalFile(folders.journal);
    int code = 0;
    if (auto journal = status.journalFound ? SNP_MailJournal::openReadOnly(folders.journal) : nullptr) {
        const SNP_MailSummary& summary = status.summary;
        out << waitingText(*journal, summary);
        out << QStringLiteral("Not taken yet: %1 upload file(s)\n").arg(status.untaken);
        out << QStringLiteral("Sent: %1\n").arg(summary.sent) << failedText(*journal, summary)
            << lastErrorText(*journal);
    } else if (journalFile.exists() && journalFile.size() > 0) {
        out << QStringLiteral("The delivery journal %1 cannot be read: it may be damaged (booth-mailer sets a damaged "
                              "journal aside and makes a new one when it starts).\n")
                   .arg(SNP_Log::escaped(folders.journal));
        out << QStringLiteral("Not taken yet: %1 upload file(s)\n").arg(status.untaken);
        code = 2;
    } else {
        out << QStringLiteral("No delivery journal at %1: nothing has been taken from %2 yet.\n")
                   .arg(SNP_Log::escaped(folders.journal), SNP_Log::escaped(folders.upload));
        out << QStringLiteral("Not taken yet: %1 upload file(s)\n").arg(status.untaken);
    }
    if (!uploadReadable) {
        out << QStringLiteral("The upload folder %1 does not exist or cannot be read.\n").arg(SNP_Log::escaped(folders.upload));
        code = 2;
    }
    if (status.mailerAlive(at))
        out << QStringLiteral("booth-mailer is running (last sign of life at %1).\n")
                   .arg(SNP_Mailer::timeText(status.heartbeatMs));
    else if (status.heartbeatMs > 0)
        out << QStringLiteral("booth-mailer does not seem to be running: its last sign of life was at %1.\n")
                   .arg(SNP_Mailer::timeText(status.heartbeatMs));
    else
        out << QStringLiteral("booth-mailer does not seem to be running: it has left no sign of life.\n");
    return code;
}

int drain(const SNP_MailSettings& settings, int seconds, QTextStream& out)
{
    auto journal = openJournal(settings.folders);
    if (!journal)
        return 2;
    SNP_Mailer mailer(settings, *journal);
    mailer.resumeInterrupted();
    const qint64 deadline = now() + qint64(seconds) * 1000;
    // A message still going at the deadline gets one network time-out more, no longer.
    mailer.setDeadline(deadline + qint64(settings.networkTimeoutSeconds) * 1000);
    SNP_Log::debugf("Draining the queue for at most %d s", seconds);
    prepareRound(mailer);
    mailer.retryAllNow();
    const auto pastDeadline = [&] { return stopRequested() || now() >= deadline; };
    for (;;) {
        const auto nextSend = mailer.sendDue(pastDeadline);
        const int queued = prepareRound(mailer); // what arrived meanwhile, and the pictures done
        const SNP_MailSummary s = journal->summary();
        if (s.waiting == 0 && mailer.filesHeldUp().isEmpty()) {
            out << QStringLiteral("Nothing waiting: %1 sent, %2 failed.\n").arg(s.sent).arg(s.failed);
            return 0;
        }
        // Messages just queued are due at once (nextSend was answered before they were).
        if (queued > 0 && !pastDeadline())
            continue;
        const auto next = earliest(s.waiting > 0 ? nextSend : std::nullopt, mailer.nextLookAt());
        // Nothing can go before the deadline, or nothing can go at all (a message a failed
        // journal write left marked as being sent): what waits is reported.
        if (pastDeadline() || !next || *next > deadline)
            break;
        sleepUntil(*next);
    }
    out << QStringLiteral("Still waiting after the drain:\n") << waitingText(*journal, journal->summary());
    if (const auto files = mailer.filesHeldUp(); !files.isEmpty())
        out << heldUpText(files);
    return 1;
}

int serve(const SNP_MailSettings& settings)
{
    auto journal = openJournal(settings.folders);
    if (!journal)
        return 2;
    SNP_Mailer mailer(settings, *journal);
    mailer.resumeInterrupted();

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
        if (const auto at = earliest(next, mailer.nextLookAt()))
            wake.start(int(std::clamp<qint64>(*at - now(), 0, kRescanMs)));
    };
    QObject::connect(&watcher, &SNP_UploadWatcher::changed, round);
    QObject::connect(&rescan, &QTimer::timeout, round);
    QObject::connect(&wake, &QTimer::timeout, round);
    QSocketNotifier stopNotifier(gStopPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, [] { QCoreApplication::quit(); });
    // Tells the booth and --status that a mailer is at work on this journal.
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] { mailer.heartbeat(); });
    mailer.heartbeat();
    heartbeat.start(int(SNP_MailStatus::kHeartbeatIntervalMs));
    rescan.start(kRescanMs);
    QTimer::singleShot(0, round);
    SNP_Log::debugf("booth-mailer watches %s", qUtf8Printable(settings.folders.upload));
    const int status = QCoreApplication::exec();
    SNP_Log::debug(QStringLiteral("booth-mailer stops"));
    return status;
}

} // namespace SNP_MailerRun
