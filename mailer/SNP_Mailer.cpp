#include "SNP_Mailer.h"

#include "SNP_Log.h"
#include "SNP_MailAttachment.h"
#include "SNP_UploadFolder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

constexpr qint64 kJournalTroubleWaitMs = 5000;

QString refusedText(const QList<std::pair<QString, QString>>& refused)
{
    QString text;
    for (const auto& [address, why] : refused)
        text += QStringLiteral("  %1: %2\n").arg(address, why);
    return text;
}

} // namespace

SNP_Mailer::SNP_Mailer(const SNP_MailSettings& settings, SNP_MailJournal& journal, Clock clock)
    : _settings(settings), _journal(journal), _clock(std::move(clock)), _sender(settings)
{
    if (!_clock)
        _clock = [] { return QDateTime::currentMSecsSinceEpoch(); };
    _sender.setProgressHook([this] { keepHeartbeat(); });
}

qint64 SNP_Mailer::retryDelayMs(int attempts)
{
    qint64 delay = kFirstRetryMs;
    for (int i = 1; i < attempts && delay < kLongestRetryMs; ++i)
        delay *= 2;
    return qMin(delay, kLongestRetryMs);
}

QString SNP_Mailer::timeText(qint64 msSince1970)
{
    return QDateTime::fromMSecsSinceEpoch(msSince1970).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString SNP_Mailer::uploadPath(const QString& relativePath) const
{
    return QDir(_settings.folders.upload).filePath(relativePath);
}

std::pair<int, int> SNP_Mailer::recordFolders(const SNP_MailFolders& folders, SNP_MailJournal& journal, qint64 now)
{
    std::pair<int, int> counts{0, 0};
    for (const QString& relativePath : SNP_UploadFolder::uploadFiles(folders.sent)) {
        const auto bytes = SNP_MailAttachment::readPicture(QDir(folders.sent).filePath(relativePath)).bytes;
        const QStringList addresses = bytes ? SNP_MailAttachment::addressesIn(*bytes).deliverable : QStringList();
        if (journal.addSentPicture(relativePath, addresses,
                                   QStringLiteral("in the sent folder when the journal was made anew"), now))
            ++counts.first;
    }
    for (const QString& relativePath : SNP_UploadFolder::uploadFiles(folders.failed)) {
        if (!relativePath.endsWith(QLatin1String(".txt"))
            && journal.addFailedPicture(relativePath,
                                        QStringLiteral("in the failed folder when the journal was made anew"), now))
            ++counts.second;
    }
    return counts;
}

void SNP_Mailer::resumeInterrupted()
{
    for (const SNP_MailDelivery& d : _journal.resumeInterrupted(_clock()))
        SNP_Log::debugf("Sending %s to %s again: the mailer stopped while handing it to the server, so it may "
                        "arrive twice", qUtf8Printable(d.path), qUtf8Printable(d.address));
}

void SNP_Mailer::heartbeat()
{
    _lastHeartbeat = _clock();
    _journal.writeHeartbeat(_lastHeartbeat);
}

void SNP_Mailer::keepHeartbeat()
{
    if (_lastHeartbeat > 0 && _clock() - _lastHeartbeat >= SNP_MailStatus::kHeartbeatIntervalMs)
        heartbeat();
}

int SNP_Mailer::takeNewUploads()
{
    if (!QFileInfo(_settings.folders.upload).isDir())
        return 0;
    const qint64 now = _clock();
    const QSet<QString> known = _journal.queuedPicturePaths();
    const QStringList files = SNP_UploadFolder::uploadFiles(_settings.folders.upload);
    std::erase_if(_arrivals, [&](const auto& entry) { return !files.contains(entry.first); });
    std::erase_if(_moveRetries, [&](const auto& entry) { return !files.contains(entry.first); });
    int queued = 0;
    for (const QString& relativePath : files) {
        if (!known.contains(relativePath) && !moveWaits(relativePath, now) && intake(relativePath, now))
            ++queued;
    }
    return queued;
}

bool SNP_Mailer::intake(const QString& relativePath, qint64 now)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(uploadPath(relativePath)).constData(), &info) != 0)
        return false; // gone since the listing
    Arrival& arrival = _arrivals[relativePath];
    const qint64 modifiedMs = qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
    if (arrival.size != qint64(info.st_size) || arrival.modifiedMs != modifiedMs) {
        arrival = Arrival();
        arrival.size = qint64(info.st_size);
        arrival.modifiedMs = modifiedMs;
        arrival.seenMs = now;
    }
    if (now < arrival.nextLookMs)
        return false;
    // Changed last at its modification time; one from the future counts from when it was seen.
    const qint64 changedMs = modifiedMs <= now ? modifiedMs : arrival.seenMs;
    if (now - changedMs < kSettleMs) {
        arrival.nextLookMs = changedMs + kSettleMs;
        arrival.why = QStringLiteral("still being written");
        return false;
    }

    const SNP_MailAttachment::FileBytes read = SNP_MailAttachment::readPicture(uploadPath(relativePath));
    if (!read.bytes && read.passing) {
        arrival.nextLookMs = now + retryDelayMs(++arrival.readFailures);
        arrival.why = read.why;
        SNP_Log::debugf("Cannot take %s yet: %s; trying again at %s", qUtf8Printable(relativePath),
                        qUtf8Printable(read.why), qUtf8Printable(timeText(arrival.nextLookMs)));
        return false;
    }
    QString why = read.why;
    const auto whole = read.bytes ? SNP_MailAttachment::wholeness(*read.bytes, &why)
                                  : SNP_MailAttachment::Wholeness::NotJpeg;
    if (whole == SNP_MailAttachment::Wholeness::Incomplete) {
        if (arrival.notWholeSinceMs == 0) {
            arrival.notWholeSinceMs = now;
            SNP_Log::debugf("%s is not whole: %s; waiting until %s for the rest", qUtf8Printable(relativePath),
                            qUtf8Printable(why), qUtf8Printable(timeText(now + kIncompleteWaitMs)));
        }
        arrival.why = QStringLiteral("not whole yet: ") + why;
        arrival.nextLookMs = arrival.notWholeSinceMs + kIncompleteWaitMs;
        if (now < arrival.nextLookMs)
            return false;
        why = QStringLiteral("the picture is not whole: ") + why;
    }
    if (whole != SNP_MailAttachment::Wholeness::Whole) {
        refuseUpload(relativePath, why, {});
        return false;
    }
    return queue(relativePath, *read.bytes, now);
}

bool SNP_Mailer::queue(const QString& relativePath, const QByteArray& bytes, qint64 now)
{
    const SNP_MailAttachment::Addresses addresses = SNP_MailAttachment::addressesIn(bytes);
    if (addresses.deliverable.isEmpty()) {
        refuseUpload(relativePath, addresses.problem, addresses.refused);
        return false;
    }
    if (!_journal.addPicture(relativePath, addresses.deliverable, addresses.refused, now)) {
        Arrival& arrival = _arrivals[relativePath]; // logged; the file stays and is looked at again
        arrival.nextLookMs = now + kJournalTroubleWaitMs;
        arrival.why = QStringLiteral("the journal could not record it");
        return false;
    }
    _arrivals.erase(relativePath);
    SNP_Log::debugf("Queued %s for %lld address(es)", qUtf8Printable(relativePath),
                    static_cast<long long>(addresses.deliverable.size()));
    for (const auto& [address, reason] : addresses.refused)
        SNP_Log::debugf("Not sending %s to \"%s\": %s", qUtf8Printable(relativePath), qUtf8Printable(address),
                        qUtf8Printable(reason));
    return true;
}

QList<std::pair<QString, QString>> SNP_Mailer::filesHeldUp() const
{
    QList<std::pair<QString, QString>> list;
    for (const auto& [relativePath, arrival] : _arrivals)
        list << std::pair(relativePath, arrival.why);
    for (const auto& [relativePath, retry] : _moveRetries)
        if (!_arrivals.count(relativePath))
            list << std::pair(relativePath, QStringLiteral("could not be moved yet; trying again at %1")
                                                .arg(timeText(retry.nextMs)));
    return list;
}

std::optional<qint64> SNP_Mailer::nextLookAt() const
{
    std::optional<qint64> next;
    const auto earliest = [&](qint64 at) { next = next ? qMin(*next, at) : at; };
    for (const auto& entry : _arrivals)
        earliest(entry.second.nextLookMs);
    for (const auto& entry : _moveRetries)
        earliest(entry.second.nextMs);
    return next;
}

void SNP_Mailer::refuseUpload(const QString& relativePath, const QString& reason,
                              const QList<std::pair<QString, QString>>& refused)
{
    SNP_Log::debugf("No message for %s: %s; moving it to the failed folder", qUtf8Printable(relativePath),
                    qUtf8Printable(reason));
    QString why;
    const auto moved =
        SNP_UploadFolder::moveInto(_settings.folders.upload, relativePath, _settings.folders.failed, &why);
    _arrivals.erase(relativePath); // from here on a failed move stands for it
    if (!moved) {
        moveFailed(relativePath, "failed", why);
        return;
    }
    _moveRetries.erase(relativePath);
    const qint64 now = _clock();
    QString note = QStringLiteral("booth-mailer sent no message for this picture: %1.\n").arg(reason);
    if (!refused.isEmpty())
        note += QStringLiteral("Addresses it could not send to:\n") + refusedText(refused);
    note += QStringLiteral("Taken from %1 at %2.\n").arg(uploadPath(relativePath), timeText(now));
    SNP_UploadFolder::writeNote(*moved + QStringLiteral(".txt"), note);
    _journal.addFailedPicture(relativePath, reason, now);
}

void SNP_Mailer::moveFailed(const QString& relativePath, const char* folder, const QString& why)
{
    MoveRetry& retry = _moveRetries[relativePath];
    retry.nextMs = _clock() + retryDelayMs(++retry.attempts);
    SNP_Log::debugf("Cannot move %s to the %s folder: %s; it stays in the upload folder, trying again at %s",
                    qUtf8Printable(relativePath), folder, qUtf8Printable(why), qUtf8Printable(timeText(retry.nextMs)));
}

bool SNP_Mailer::moveWaits(const QString& relativePath, qint64 now) const
{
    const auto it = _moveRetries.find(relativePath);
    return it != _moveRetries.end() && now < it->second.nextMs;
}

int SNP_Mailer::fileFinishedPictures()
{
    const qint64 now = _clock();
    int filed = 0;
    for (const SNP_MailPicture& picture : _journal.picturesToFile()) {
        if (!moveWaits(picture.path, now)) {
            filePicture(picture.id, picture.path);
            ++filed;
        }
    }
    return filed;
}

void SNP_Mailer::filePicture(qint64 id, const QString& relativePath)
{
    if (_prepared.picture == id)
        _prepared = Prepared();
    const qint64 now = _clock();
    if (!QFileInfo::exists(uploadPath(relativePath))) {
        SNP_Log::debugf("%s is no longer in the upload folder; nothing to move", qUtf8Printable(relativePath));
        _journal.finishPicture(id, QStringLiteral("gone"), QStringLiteral("no longer in the upload folder"), now);
        return;
    }
    QString why;
    const auto moved = SNP_UploadFolder::moveInto(_settings.folders.upload, relativePath, _settings.folders.sent, &why);
    if (!moved) {
        moveFailed(relativePath, "sent", why);
        return;
    }
    _moveRetries.erase(relativePath);
    _journal.finishPicture(id, QStringLiteral("sent"), QString(), now);
    SNP_Log::debugf("Moved %s to %s", qUtf8Printable(relativePath), qUtf8Printable(*moved));
}

std::optional<qint64> SNP_Mailer::rateLimitedUntil(qint64 now)
{
    while (!_recentSends.empty() && _recentSends.front() <= now - kRateWindowMs)
        _recentSends.pop_front();
    if (_recentSends.size() < _settings.perMinute)
        return std::nullopt;
    return _recentSends.front() + kRateWindowMs;
}

std::optional<qint64> SNP_Mailer::sendDue(const std::function<bool()>& stop)
{
    for (;;) {
        keepHeartbeat();
        const qint64 now = _clock();
        if (stop && stop())
            return now;
        if (_pausedUntil > now)
            return _pausedUntil;
        if (const auto until = rateLimitedUntil(now))
            return until;
        const auto due = _journal.nextDue(now);
        if (!due) {
            const auto next = _journal.nextAttemptTime();
            // Due but not found: the journal is in trouble; look again shortly.
            return next && *next <= now ? now + kJournalTroubleWaitMs : next;
        }
        if (!sendOne(*due))
            return now + kJournalTroubleWaitMs;
    }
}

const SNP_Mailer::Prepared& SNP_Mailer::prepare(const SNP_MailDelivery& d)
{
    if (_prepared.picture == d.picture)
        return _prepared;
    _prepared = Prepared();
    _prepared.picture = d.picture;
    const SNP_MailAttachment::FileBytes upload = SNP_MailAttachment::readPicture(uploadPath(d.path));
    const QStringList addresses = _journal.addressesOfPicture(d.picture);
    _prepared.why = upload.why;
    _prepared.passing = upload.passing;
    const auto composite = upload.bytes ? SNP_MailAttachment::withoutAddresses(*upload.bytes, addresses, &_prepared.why)
                                        : std::nullopt;
    if (!composite)
        return _prepared;
    if (_settings.attach != SNP_MailSettings::Attach::Composite) {
        QString why;
        SNP_MailAttachment::FileBytes picture;
        if (const auto filed = SNP_MailAttachment::filedPicturePath(d.path, &why)) {
            picture = SNP_MailAttachment::fullPicture(*filed, SNP_MailAttachment::addressesIn(*upload.bytes).listed,
                                                      addresses, int(_settings.pictureMaxSide));
            why = picture.why;
            if (picture.bytes)
                _prepared.files << SNP_MailFile::ofJpeg(*picture.bytes, QFileInfo(*filed).fileName());
        }
        // A full picture that cannot be read for a while (a passing fault) holds the message
        // back a few times; then the composite goes alone rather than never.
        if (picture.passing && d.attempts < kFullPictureAttempts) {
            _prepared.why = why;
            _prepared.passing = true;
            return _prepared;
        }
        if (!picture.bytes)
            SNP_Log::debugf("Sending %s without the full picture: %s", qUtf8Printable(d.path), qUtf8Printable(why));
    }
    if (_settings.attach != SNP_MailSettings::Attach::Picture || _prepared.files.isEmpty())
        _prepared.files << SNP_MailFile::ofJpeg(*composite, QFileInfo(d.path).fileName());
    return _prepared;
}

bool SNP_Mailer::sendOne(const SNP_MailDelivery& d)
{
    const Prepared& prepared = prepare(d);
    if (prepared.files.isEmpty() && prepared.passing) {
        retryLater(d, prepared.why, _clock());
        _prepared = Prepared(); // read again next time
        return true;
    }
    if (prepared.files.isEmpty()) {
        SNP_Log::debugf("Not sending %s to %s: %s", qUtf8Printable(d.path), qUtf8Printable(d.address),
                        qUtf8Printable(prepared.why));
        _journal.markFailed(d, prepared.why, _clock());
    } else {
        if (!_journal.markSending(d, _clock()))
            return false; // never send what the journal could not note down first
        _recentSends.push_back(_clock());
        record(d, _sender.send(d.address, prepared.files));
    }
    if (!_journal.hasWaiting(d.picture) && !moveWaits(d.path, _clock()))
        filePicture(d.picture, d.path);
    return true;
}

void SNP_Mailer::retryLater(const SNP_MailDelivery& d, const QString& why, qint64 now)
{
    const qint64 next = now + retryDelayMs(d.attempts + 1);
    _journal.markRetry(d, why, now, next);
    SNP_Log::debugf("Could not send %s to %s (attempt %d): %s; trying again at %s", qUtf8Printable(d.path),
                    qUtf8Printable(d.address), d.attempts + 1, qUtf8Printable(why), qUtf8Printable(timeText(next)));
}

void SNP_Mailer::record(const SNP_MailDelivery& d, const SNP_SmtpResult& result)
{
    const qint64 now = _clock();
    const QByteArray path = d.path.toUtf8();
    switch (result.outcome) {
    case SNP_SmtpResult::Outcome::Sent:
        _serverFailures = 0;
        _journal.markSent(d, result.reply, now);
        if (result.unconfirmed)
            SNP_Log::debugf("Sent %s to %s: %s; counted as sent, so that it does not arrive twice",
                            path.constData(), qUtf8Printable(d.address), qUtf8Printable(result.reply));
        else
            SNP_Log::debugf("Sent %s to %s: %s", path.constData(), qUtf8Printable(d.address),
                            qUtf8Printable(result.reply));
        return;
    case SNP_SmtpResult::Outcome::Refused:
        _serverFailures = 0;
        _journal.markFailed(d, result.reply, now);
        SNP_Log::debugf("The server refused %s for %s: %s; this address is given up", path.constData(),
                        qUtf8Printable(d.address), qUtf8Printable(result.reply));
        return;
    case SNP_SmtpResult::Outcome::Retry:
        break;
    }
    retryLater(d, result.reply, now);
    if (!result.serverUnreachable) {
        _serverFailures = 0;
        return;
    }
    _pausedUntil = now + retryDelayMs(++_serverFailures);
    SNP_Log::debugf("The mail server cannot be reached; no message before %s", qUtf8Printable(timeText(_pausedUntil)));
}

void SNP_Mailer::retryAllNow()
{
    _pausedUntil = 0;
    _serverFailures = 0;
    _journal.makeWaitingDue(_clock());
}
