#include "SNP_MailJournal.h"

#include "SNP_Log.h"
#include "SNP_UploadFolder.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kSchemaVersion = 1;

const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS pictures ("
    " id INTEGER PRIMARY KEY, path TEXT NOT NULL, state TEXT NOT NULL, reason TEXT,"
    " found INTEGER NOT NULL, finished INTEGER)",
    "CREATE UNIQUE INDEX IF NOT EXISTS pictures_queued ON pictures(path) WHERE state = 'queued'",
    "CREATE TABLE IF NOT EXISTS deliveries ("
    " picture INTEGER NOT NULL REFERENCES pictures(id), address TEXT NOT NULL, state TEXT NOT NULL,"
    " attempts INTEGER NOT NULL DEFAULT 0, reply TEXT, created INTEGER NOT NULL, updated INTEGER NOT NULL,"
    " next_attempt INTEGER NOT NULL, PRIMARY KEY (picture, address))",
    "CREATE INDEX IF NOT EXISTS deliveries_due ON deliveries(state, next_attempt)",
    // One row: the running mailer's heartbeat (ms since 1970) and process.
    "CREATE TABLE IF NOT EXISTS mailer (id INTEGER PRIMARY KEY CHECK (id = 1), heartbeat INTEGER NOT NULL,"
    " pid INTEGER NOT NULL)",
};

const char* const kDeliveryColumns =
    "SELECT d.picture, p.path, d.address, d.state, d.attempts, d.reply, d.created, d.updated, d.next_attempt "
    "FROM deliveries d JOIN pictures p ON p.id = d.picture ";

QString newConnectionName()
{
    static QAtomicInteger<int> counter;
    return QStringLiteral("SNP_MailJournal-%1").arg(counter.fetchAndAddRelaxed(1));
}

SNP_MailDelivery deliveryFrom(const QSqlQuery& q)
{
    SNP_MailDelivery d;
    d.picture = q.value(0).toLongLong();
    d.path = q.value(1).toString();
    d.address = q.value(2).toString();
    d.state = q.value(3).toString();
    d.attempts = q.value(4).toInt();
    d.reply = q.value(5).toString();
    d.created = q.value(6).toLongLong();
    d.updated = q.value(7).toLongLong();
    d.nextAttempt = q.value(8).toLongLong();
    return d;
}

using Trouble = SNP_MailJournal::Opened::Trouble;

// SQLite's primary result codes that say the file is no (whole) database.
constexpr int kSqliteCorrupt = 11;
constexpr int kSqliteNotADatabase = 26;

Trouble troubleOf(const QSqlError& error)
{
    const int code = error.nativeErrorCode().toInt() & 0xff;
    return code == kSqliteCorrupt || code == kSqliteNotADatabase ? Trouble::Damaged : Trouble::Unwritable;
}

// Opens a connection under the name; false (removed again, with the reason) when it does not open.
bool openConnection(const QString& name, const QString& path, bool readOnly, QSqlError* error = nullptr)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(readOnly ? QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=200")
                                      : QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        if (db.open())
            return true;
        if (error)
            *error = db.lastError();
    }
    QSqlDatabase::removeDatabase(name);
    return false;
}

} // namespace

SNP_MailJournal::SNP_MailJournal(const QString& connectionName) : _connectionName(connectionName) {}

SNP_MailJournal::~SNP_MailJournal()
{
    {
        QSqlDatabase db = QSqlDatabase::database(_connectionName, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(_connectionName);
}

SNP_MailJournal::Opened SNP_MailJournal::openChecked(const QString& path)
{
    Opened opened;
    // Visitors' addresses: for the owner's eyes only. Made before SQLite opens it, so that
    // the WAL files it adds get the same mode.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        opened.trouble = Trouble::Unwritable;
        opened.reason = QString::fromLocal8Bit(std::strerror(errno));
    } else {
        ::close(fd);
        const QString name = newConnectionName();
        QSqlError error;
        if (!openConnection(name, path, false, &error)) {
            opened.trouble = troubleOf(error);
            opened.reason = error.text();
        } else {
            opened.journal.reset(new SNP_MailJournal(name));
            opened.trouble = opened.journal->check(&opened.reason);
        }
    }
    if (opened.trouble != Trouble::None) {
        opened.journal.reset();
        SNP_Log::debugf("The delivery journal %s %s: %s", qUtf8Printable(path),
                        opened.trouble == Trouble::Damaged ? "is damaged" : "cannot be written",
                        qUtf8Printable(opened.reason));
    }
    return opened;
}

std::unique_ptr<SNP_MailJournal> SNP_MailJournal::open(const QString& path)
{
    return openChecked(path).journal;
}

std::optional<QString> SNP_MailJournal::setAside(const QString& path, qint64 now, QString* why)
{
    const QString aside =
        path + QDateTime::fromMSecsSinceEpoch(now).toString(QStringLiteral("'.damaged-'yyyyMMdd-HHmmss"));
    for (const char* part : {"-wal", "-shm", ""}) {
        const QByteArray from = QFile::encodeName(path + QLatin1String(part));
        if (::rename(from.constData(), QFile::encodeName(aside + QLatin1String(part)).constData()) != 0
            && errno != ENOENT) {
            *why = QStringLiteral("cannot rename %1: %2").arg(QFile::decodeName(from),
                                                             QString::fromLocal8Bit(std::strerror(errno)));
            return std::nullopt;
        }
    }
    return aside;
}

std::unique_ptr<SNP_MailJournal> SNP_MailJournal::openReadOnly(const QString& path)
{
    if (!QFileInfo(path).isFile())
        return nullptr;
    const QString name = newConnectionName();
    if (!openConnection(name, path, true))
        return nullptr;
    return std::unique_ptr<SNP_MailJournal>(new SNP_MailJournal(name));
}

std::optional<SNP_MailSummary> SNP_MailJournal::readSummary(const QString& path)
{
    auto journal = openReadOnly(path);
    if (!journal)
        return std::nullopt;
    QSqlQuery probe(QSqlDatabase::database(journal->_connectionName));
    if (!probe.exec(QStringLiteral("SELECT COUNT(*) FROM pictures")))
        return std::nullopt;
    return journal->summary();
}

SNP_MailStatus SNP_MailJournal::readStatus(const SNP_MailFolders& folders)
{
    SNP_MailStatus status;
    QSet<QString> known;
    if (auto journal = openReadOnly(folders.journal)) {
        QSqlQuery probe(QSqlDatabase::database(journal->_connectionName));
        if (probe.exec(QStringLiteral("SELECT COUNT(*) FROM pictures"))) {
            status.journalFound = true;
            status.summary = journal->summary();
            status.heartbeatMs = journal->heartbeat();
            if (const auto last = journal->lastError())
                status.lastError = last->reply;
            known = journal->queuedPicturePaths();
        }
    }
    if (QFileInfo(folders.upload).isDir())
        for (const QString& file : SNP_UploadFolder::uploadFiles(folders.upload))
            if (!known.contains(file))
                ++status.untaken;
    return status;
}

bool SNP_MailJournal::writeHeartbeat(qint64 now)
{
    QSqlQuery q(QSqlDatabase::database(_connectionName));
    q.prepare(QStringLiteral("INSERT OR REPLACE INTO mailer (id, heartbeat, pid) VALUES (1, ?, ?)"));
    q.addBindValue(now);
    q.addBindValue(qint64(::getpid()));
    return exec(q, "write the heartbeat");
}

qint64 SNP_MailJournal::heartbeat()
{
    QSqlQuery q(QSqlDatabase::database(_connectionName));
    if (q.exec(QStringLiteral("SELECT heartbeat FROM mailer WHERE id = 1")) && q.next())
        return q.value(0).toLongLong();
    return 0; // none yet, or a journal of a mailer without heartbeats
}

bool SNP_MailJournal::exec(QSqlQuery& query, const char* what)
{
    if (query.exec())
        return true;
    SNP_Log::debugf("Delivery journal: cannot %s: %s", what, qUtf8Printable(query.lastError().text()));
    return false;
}

SNP_MailJournal::Opened::Trouble SNP_MailJournal::check(QString* reason)
{
    QSqlQuery q(QSqlDatabase::database(_connectionName));
    // The whole file is read: a journal cut short or overwritten shows here, not in the
    // middle of a delivery.
    if (!q.exec(QStringLiteral("PRAGMA integrity_check(1)")) || !q.next()) {
        *reason = q.lastError().text();
        return troubleOf(q.lastError());
    }
    if (q.value(0).toString() != QLatin1String("ok")) {
        *reason = QStringLiteral("SQLite's integrity check: %1").arg(q.value(0).toString());
        return Trouble::Damaged;
    }
    q.finish();
    const Trouble trouble = createSchema(reason);
    if (trouble != Trouble::None)
        return trouble;
    // Whether it can be written at all (a read-only file opens for reading all the same).
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        *reason = q.lastError().text();
        return troubleOf(q.lastError());
    }
    q.exec(QStringLiteral("ROLLBACK"));
    return Trouble::None;
}

SNP_MailJournal::Opened::Trouble SNP_MailJournal::createSchema(QString* reason)
{
    QSqlDatabase db = QSqlDatabase::database(_connectionName);
    QSqlQuery q(db);
    const auto failed = [&] {
        *reason = q.lastError().text();
        return troubleOf(q.lastError());
    };
    // WAL: readers (the booth's status line, --status) never block the mailer, and a
    // committed row survives the process being killed.
    for (const char* pragma : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", "PRAGMA foreign_keys=ON"})
        if (!q.exec(QString::fromLatin1(pragma)))
            return failed();
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next())
        return failed();
    const int version = q.value(0).toInt();
    if (version > kSchemaVersion) {
        *reason = QStringLiteral("written by a newer mailer (version %1); not touching it").arg(version);
        return Trouble::Unwritable;
    }
    for (const char* statement : kSchema)
        if (!q.exec(QString::fromLatin1(statement)))
            return failed();
    if (!q.exec(QStringLiteral("PRAGMA user_version = %1").arg(kSchemaVersion)))
        return failed();
    return Trouble::None;
}

SNP_MailSummary SNP_MailJournal::summary()
{
    SNP_MailSummary s;
    QSqlQuery q(QSqlDatabase::database(_connectionName));
    if (q.exec(QStringLiteral("SELECT state, COUNT(*) FROM deliveries GROUP BY state"))) {
        while (q.next()) {
            const QString state = q.value(0).toString();
            const qint64 count = q.value(1).toLongLong();
            if (state == QLatin1String("sent"))
                s.sent += count;
            else if (state == QLatin1String("failed"))
                s.failed += count;
            else
                s.waiting += count;
        }
    }
    if (q.exec(QStringLiteral("SELECT COUNT(*) FROM pictures WHERE state = 'failed'")) && q.next())
        s.failed += q.value(0).toLongLong();
    return s;
}

QSet<QString> SNP_MailJournal::queuedPicturePaths()
{
    QSet<QString> paths;
    QSqlQuery q(QSqlDatabase::database(_connectionName));
    if (q.exec(QStringLiteral("SELECT path FROM pictures WHERE state = 'queued'")))
        while (q.next())
            paths.insert(q.value(0).toString());
    return paths;
}

std::optional<qint64> SNP_MailJournal::addPicture(const QString& path, const QStringList& addresses,
                                                  const QList<std::pair<QString, QString>>& refused, qint64 now)
{
    QSqlDatabase db = QSqlDatabase::database(_connectionName);
    db.transaction();
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO pictures (path, state, found) VALUES (?, 'queued', ?)"));
    q.addBindValue(path);
    q.addBindValue(now);
    bool ok = exec(q, "record a picture");
    const qint64 id = q.lastInsertId().toLongLong();
    auto addRow = [&](const QString& address, const char* state, const QString& reply) {
        QSqlQuery row(db);
        row.prepare(QStringLiteral("INSERT OR IGNORE INTO deliveries (picture, address, state, reply, created, "
                                   "updated, next_attempt) VALUES (?, ?, ?, ?, ?, ?, ?)"));
        for (const QVariant& v : {QVariant(id), QVariant(address), QVariant(QString::fromLatin1(state)),
                                  QVariant(reply), QVariant(now), QVariant(now), QVariant(now)})
            row.addBindValue(v);
        return exec(row, "record an address");
    };
    for (const QString& address : addresses)
        ok = ok && addRow(address, "waiting", QString());
    for (const auto& [address, reason] : refused)
        ok = ok && addRow(address, "failed", reason);
    if (!ok || !db.commit()) {
        db.rollback();
        return std::nullopt;
    }
    return id;
}

bool SNP_MailJournal::addFailedPicture(const QString& path, const QString& reason, qint64 now)
{
    QSqlQuery q(QSqlDatabase::database(_connectionName));
    q.prepare(QStringLiteral("INSERT INTO pictures (path, state, reason, found, finished) VALUES (?, 'failed', ?, ?, ?)"));
    for (const QVariant& v : {QVariant(path), QVariant(reason), QVariant(now), QVariant(now)})
        q.addBindValue(v);
    return exec(q, "record a failed picture");
}

bool SNP_MailJournal::addSentPicture(const QString& path, const QStringList& addresses, const QString& reply,
                                     qint64 now)
{
    QSqlDatabase db = QSqlDatabase::database(_connectionName);
    db.transaction();
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO pictures (path, state, found, finished) VALUES (?, 'sent', ?, ?)"));
    for (const QVariant& v : {QVariant(path), QVariant(now), QVariant(now)})
        q.addBindValue(v);
    bool ok = exec(q, "record a sent picture");
    const qint64 id = q.lastInsertId().toLongLong();
    for (const QString& address : addresses) {
        QSqlQuery row(db);
        row.prepare(QStringLiteral("INSERT OR IGNORE INTO deliveries (picture, address, state, attempts, reply, "
                                   "created, updated, next_attempt) VALUES (?, ?, 'sent', 1, ?, ?, ?, ?)"));
        for (const QVariant& v : {QVariant(id), QVariant(address), QVariant(reply), QVariant(now), QVariant(now),
                                  QVariant(now)})
            row.addBindValue(v);
        ok = ok && exec(row, "record a sent address");
    }
    if (!ok || !db.commit()) {
        db.rollback();
        return false;
    }
    return true;
}

QList<SNP_MailPicture> SNP_MailJournal::picturesToFile()
{
    QList<SNP_MailPicture> pictures;
    QSqlQuery q(QSqlDatabase::database(_connectionName));
    if (!q.exec(QStringLiteral("SELECT id, path FROM pictures p WHERE state = 'queued' AND NOT EXISTS "
                               "(SELECT 1 FROM deliveries d WHERE d.picture = p.id AND d.state IN "
                               "('waiting', 'sending')) ORDER BY id")))
        return pictures;
    while (q.next()) {
        SNP_MailPicture p;
        p.id = q.value(0).toLongLong();
        p.path = q.value(1).toString();
        p.state = QStringLiteral("queued");
        pictures << p;
    }
    return pictures;
}

bool SNP_MailJournal::finishPicture(qint64 id, const QString& state, const QString& reason, qint64 now)
{
    QSqlQuery q(QSqlDatabase::database(_connectionName));
    q.prepare(QStringLiteral("UPDATE pictures SET state = ?, reason = ?, finished = ? WHERE id = ?"));
    for (const QVariant& v : {QVariant(state), QVariant(reason), QVariant(now), QVariant(id)})
        q.addBindValue(v);
    return exec(q, "record a filed picture");
}

QStringList SNP_MailJournal::addressesOfPicture(qint64 id)
{
    QStringList addresses;
    QSqlQuery q(QSqlDatabase::database(_connectionName));
    q.prepare(QStringLiteral("SELECT address FROM deliveries WHERE picture = ?"));
    q.addBindValue(id);
    if (exec(q, "read a picture's addresses"))
        while (q.next())
            addresses << q.value(0).toString();
    return addresses;
}

bool SNP_MailJournal::hasWaiting(qint64 id)
{
    QSqlQuery q(QSqlDatabase::database(_connectionName));
    q.prepare(QStringLiteral("SELECT 1 FROM deliveries WHERE picture = ? AND state IN ('waiting', 'sending') LIMIT 1"));
    q.addBindValue(id);
    // When the journal cannot answer, the picture stays where it is.
    return !exec(q, "look for a picture's waiting addresses") || q.next();
}

QList<SNP_MailPicture> SNP_MailJournal::failedPictures(int limit)
{
    QList<SNP_MailPicture> pictures;
    QSqlQuery q(QSqlDatabase::database(_connectionName));
    q.prepare(QStringLiteral("SELECT id, path, state, reason, finished FROM pictures WHERE state = 'failed' "
                             "ORDER BY finished DESC LIMIT ?"));
    q.addBindValue(limit);
    if (!exec(q, "read the failed pictures"))
        return pictures;
    while (q.next())
        pictures << SNP_MailPicture{q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString(),
                                    q.value(3).toString(), q.value(4).toLongLong()};
    return pictures;
}

QList<SNP_MailDelivery> SNP_MailJournal::selectDeliveries(const QString& where, const QVariantList& values)
{
    QList<SNP_MailDelivery> rows;
    QSqlQuery q(QSqlDatabase::database(_connectionName));
    q.prepare(QString::fromLatin1(kDeliveryColumns) + where);
    for (const QVariant& v : values)
        q.addBindValue(v);
    if (exec(q, "read deliveries"))
        while (q.next())
            rows << deliveryFrom(q);
    return rows;
}

std::optional<SNP_MailDelivery> SNP_MailJournal::nextDue(qint64 now)
{
    const auto rows = selectDeliveries(
        QStringLiteral("WHERE d.state = 'waiting' AND d.next_attempt <= ? "
                       "ORDER BY d.next_attempt, d.picture, d.address LIMIT 1"),
        {now});
    if (rows.isEmpty())
        return std::nullopt;
    return rows.front();
}

std::optional<qint64> SNP_MailJournal::nextAttemptTime()
{
    QSqlQuery q(QSqlDatabase::database(_connectionName));
    if (q.exec(QStringLiteral("SELECT MIN(next_attempt) FROM deliveries WHERE state = 'waiting'")) && q.next()
        && !q.value(0).isNull())
        return q.value(0).toLongLong();
    return std::nullopt;
}

bool SNP_MailJournal::setDeliveryState(const SNP_MailDelivery& d, const QString& state, const QString& reply,
                                       qint64 now, qint64 nextAttempt, int attempts)
{
    QSqlQuery q(QSqlDatabase::database(_connectionName));
    q.prepare(QStringLiteral("UPDATE deliveries SET state = ?, reply = ?, updated = ?, next_attempt = ?, attempts = ? "
                             "WHERE picture = ? AND address = ?"));
    for (const QVariant& v : {QVariant(state), QVariant(reply), QVariant(now), QVariant(nextAttempt),
                              QVariant(attempts), QVariant(d.picture), QVariant(d.address)})
        q.addBindValue(v);
    return exec(q, "record a delivery's state");
}

bool SNP_MailJournal::markSending(const SNP_MailDelivery& d, qint64 now)
{
    return setDeliveryState(d, QStringLiteral("sending"), d.reply, now, d.nextAttempt, d.attempts);
}

bool SNP_MailJournal::markSent(const SNP_MailDelivery& d, const QString& reply, qint64 now)
{
    return setDeliveryState(d, QStringLiteral("sent"), reply, now, d.nextAttempt, d.attempts + 1);
}

bool SNP_MailJournal::markRetry(const SNP_MailDelivery& d, const QString& reply, qint64 now, qint64 nextAttempt)
{
    return setDeliveryState(d, QStringLiteral("waiting"), reply, now, nextAttempt, d.attempts + 1);
}

bool SNP_MailJournal::markFailed(const SNP_MailDelivery& d, const QString& reply, qint64 now)
{
    return setDeliveryState(d, QStringLiteral("failed"), reply, now, d.nextAttempt, d.attempts + 1);
}

QList<SNP_MailDelivery> SNP_MailJournal::resumeInterrupted(qint64 now)
{
    const auto rows = selectDeliveries(QStringLiteral("WHERE d.state = 'sending'"), {});
    for (const SNP_MailDelivery& d : rows)
        setDeliveryState(d, QStringLiteral("waiting"), d.reply, now, now, d.attempts);
    return rows;
}

bool SNP_MailJournal::makeWaitingDue(qint64 now)
{
    QSqlQuery q(QSqlDatabase::database(_connectionName));
    q.prepare(QStringLiteral("UPDATE deliveries SET next_attempt = ? WHERE state = 'waiting' AND next_attempt > ?"));
    q.addBindValue(now);
    q.addBindValue(now);
    return exec(q, "make the waiting messages due");
}

QList<SNP_MailDelivery> SNP_MailJournal::deliveries(const QString& state, int limit)
{
    const bool waiting = state == QLatin1String("waiting");
    return selectDeliveries(QStringLiteral("WHERE d.state = ? ORDER BY %1 LIMIT ?")
                                .arg(waiting ? QStringLiteral("d.created, d.picture, d.address")
                                             : QStringLiteral("d.updated DESC")),
                            {state, limit});
}

std::optional<SNP_MailDelivery> SNP_MailJournal::lastError()
{
    const auto rows = selectDeliveries(
        QStringLiteral("WHERE d.state = 'failed' OR (d.state = 'waiting' AND d.attempts > 0) "
                       "ORDER BY d.updated DESC LIMIT 1"),
        {});
    if (rows.isEmpty())
        return std::nullopt;
    return rows.front();
}
