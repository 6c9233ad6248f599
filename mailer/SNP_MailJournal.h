// The delivery journal: an SQLite file (Qt SQL's QSQLITE driver) beside the sent folder
// that remembers, for every upload picture the mailer has taken, each of its addresses with
// the state of its message.
//
// Tables:
//   pictures   (id, path relative to the upload folder, state, reason, found, finished)
//              state "queued" while the file is in the upload folder, "sent" once it has
//              moved to the sent folder, "failed" when it carried no usable address and
//              moved to the failed folder, "gone" when it vanished before it was filed.
//   deliveries (picture, address, state, attempts, reply, created, updated, next_attempt)
//              one row per picture and address; state "waiting", "sending" (being handed
//              to the server right now), "sent" or "failed"; reply is the server's last
//              answer or the error that stood for it.
// Times are milliseconds since 1970 (UTC).
//
// Crash safety: a row is marked "sending" and committed before its message goes to the
// server, and marked "sent" only after the server took it; a row still "sending" when the
// journal is opened was interrupted and is handed back by resumeInterrupted() to be sent
// again. The file is in WAL mode, so the booth's read-only look (readSummary) never waits
// for the mailer, and is made readable by its owner only (it holds visitors' addresses).
//
// Damage: the mailer checks the whole file when it opens it. A damaged journal is renamed
// aside with the time in its name and a new one is made from the folders (the mailer's
// recordFolders): what is in the sent folder counts as sent, the upload folder's files are
// taken anew.
//
// Threads: one journal object belongs to the thread that opened it (a Qt SQL connection
// may not cross threads); readSummary opens and closes a connection of its own on the
// calling thread.
#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include "SNP_MailSettings.h"

#include <memory>
#include <optional>

class QSqlQuery;

struct SNP_MailDelivery {
    qint64 picture = 0;
    QString path;       // the picture, relative to the upload folder
    QString address;
    QString state;
    int attempts = 0;
    QString reply;
    qint64 created = 0;
    qint64 updated = 0;
    qint64 nextAttempt = 0;
};

struct SNP_MailPicture {
    qint64 id = 0;
    QString path;
    QString state;
    QString reason;
    qint64 finished = 0;
};

// Messages per state: waiting counts those being sent as well; failed counts the pictures
// without a usable address as well.
struct SNP_MailSummary {
    qint64 waiting = 0;
    qint64 sent = 0;
    qint64 failed = 0;
};

// What the booth and --status tell staff about the mailer: the journal's counts, the upload
// files the mailer has not taken yet, and whether a mailer is running (it writes a heartbeat
// into the journal every kHeartbeatIntervalMs while it serves).
struct SNP_MailStatus {
    static constexpr qint64 kHeartbeatIntervalMs = 20 * 1000;
    static constexpr qint64 kAliveWithinMs = 60 * 1000; // a heartbeat older than this: not running

    bool journalFound = false;  // the journal exists and could be read
    SNP_MailSummary summary;    // its counts (zero without a journal)
    qint64 untaken = 0;         // upload files the journal does not know yet
    qint64 heartbeatMs = 0;     // the running mailer's last heartbeat (ms since 1970; 0: none)
    QString lastError;          // the latest failure's reply, or empty

    bool mailerAlive(qint64 nowMs) const
    {
        return heartbeatMs > 0 && nowMs - heartbeatMs < kAliveWithinMs;
    }
};

class SNP_MailJournal {
public:
    // How opening the journal for the mailer went: a journal, or why not.
    struct Opened {
        enum class Trouble { None, Unwritable, Damaged };
        std::unique_ptr<SNP_MailJournal> journal;
        Trouble trouble = Trouble::None;
        QString reason;
    };

    // Opens (creating when missing) the journal for the mailer and checks it: Damaged when
    // it is no SQLite database, is cut short or fails SQLite's integrity check; Unwritable
    // when it (or its folder) cannot be written, or another program holds it. Logged.
    static Opened openChecked(const QString& path);
    // As openChecked, the journal alone.
    static std::unique_ptr<SNP_MailJournal> open(const QString& path);
    // Renames a damaged journal and its WAL files aside, to the path with
    // ".damaged-yyyyMMdd-HHmmss" added; answers that name, or nothing with the reason.
    static std::optional<QString> setAside(const QString& path, qint64 now, QString* why);
    // Opens an existing journal read-only; nothing when it is missing or unreadable.
    static std::unique_ptr<SNP_MailJournal> openReadOnly(const QString& path);
    // The counts of an existing journal, read-only; nothing when it is missing or unreadable.
    static std::optional<SNP_MailSummary> readSummary(const QString& path);
    // The status of the mailer of these folders (read-only; the upload folder is listed to
    // count what has not been taken). Without a journal only the untaken files are counted.
    static SNP_MailStatus readStatus(const SNP_MailFolders& folders);
    ~SNP_MailJournal();

    SNP_MailSummary summary();
    // The running mailer says it is alive (SNP_MailStatus::kHeartbeatIntervalMs).
    bool writeHeartbeat(qint64 now);
    // The last heartbeat written (ms since 1970), 0 when none.
    qint64 heartbeat();

    // ---- pictures ----
    // The paths of the pictures still in the upload folder as far as the journal knows.
    QSet<QString> queuedPicturePaths();
    // Records a new picture with its addresses (each to be sent) and the addresses refused
    // before sending (address, reason), in one transaction. Answers the picture's id.
    std::optional<qint64> addPicture(const QString& path, const QStringList& addresses,
                                     const QList<std::pair<QString, QString>>& refused, qint64 now);
    // Records a picture that carried no usable address (already moved to the failed folder).
    bool addFailedPicture(const QString& path, const QString& reason, qint64 now);
    // Records a picture found in the sent folder, its addresses as sent.
    bool addSentPicture(const QString& path, const QStringList& addresses, const QString& reply, qint64 now);
    // Queued pictures none of whose addresses waits any more: ready to move.
    QList<SNP_MailPicture> picturesToFile();
    bool finishPicture(qint64 id, const QString& state, const QString& reason, qint64 now);
    QStringList addressesOfPicture(qint64 id);
    // Whether any address of the picture still waits (or is being sent).
    bool hasWaiting(qint64 id);
    QList<SNP_MailPicture> failedPictures(int limit);

    // ---- deliveries ----
    // The waiting row due first (next attempt at or before now), oldest first.
    std::optional<SNP_MailDelivery> nextDue(qint64 now);
    // The earliest next attempt of any waiting row.
    std::optional<qint64> nextAttemptTime();
    bool markSending(const SNP_MailDelivery& d, qint64 now);
    bool markSent(const SNP_MailDelivery& d, const QString& reply, qint64 now);
    // One more failed attempt; the row waits until nextAttempt.
    bool markRetry(const SNP_MailDelivery& d, const QString& reply, qint64 now, qint64 nextAttempt);
    bool markFailed(const SNP_MailDelivery& d, const QString& reply, qint64 now);
    // Rows left "sending" by an interrupted run, made waiting and due now; answers them.
    QList<SNP_MailDelivery> resumeInterrupted(qint64 now);
    // Makes every waiting row due now.
    bool makeWaitingDue(qint64 now);
    // Rows in a state, oldest first (waiting) or newest first (others), at most limit.
    QList<SNP_MailDelivery> deliveries(const QString& state, int limit);
    // The latest failure (a waiting row that failed before, or a failed one), if any.
    std::optional<SNP_MailDelivery> lastError();

private:
    explicit SNP_MailJournal(const QString& connectionName);
    Opened::Trouble check(QString* reason);
    Opened::Trouble createSchema(QString* reason);
    bool exec(QSqlQuery& query, const char* what);
    bool setDeliveryState(const SNP_MailDelivery& d, const QString& state, const QString& reply, qint64 now,
                          qint64 nextAttempt, int attempts);
    QList<SNP_MailDelivery> selectDeliveries(const QString& where, const QVariantList& values);

    QString _connectionName;
};
