#include "SNP_Mailer.h"

#include "SNP_Log.h"
#include "SNP_MailAttachment.h"
#include "SNP_UploadFolder.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

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

void SNP_Mailer::resumeInterrupted()
{
    for (const SNP_MailDelivery& d : _journal.resumeInterrupted(_clock()))
        SNP_Log::debugf("Sending %s to %s again: the mailer stopped while handing it to the server, so it may "
                        "arrive twice", qUtf8Printable(d.path), qUtf8Printable(d.address));
}

int SNP_Mailer::takeNewUploads()
{
    if (!QFileInfo(_settings.folders.upload).isDir())
        return 0;
    const QSet<QString> known = _journal.queuedPicturePaths();
    int queued = 0;
    for (const QString& relativePath : SNP_UploadFolder::uploadFiles(_settings.folders.upload)) {
        if (!known.contains(relativePath) && intake(relativePath))
            ++queued;
    }
    return queued;
}

bool SNP_Mailer::intake(const QString& relativePath)
{
    QString why;
    const auto bytes = SNP_MailAttachment::readUpload(uploadPath(relativePath), &why);
    SNP_MailAttachment::Addresses addresses;
    if (bytes)
        addresses = SNP_MailAttachment::addressesIn(*bytes);
    else
        addresses.problem = why;
    if (addresses.deliverable.isEmpty()) {
        refuseUpload(relativePath, addresses.problem, addresses.refused);
        return false;
    }
    if (!_journal.addPicture(relativePath, addresses.deliverable, addresses.refused, _clock()))
        return false; // logged; the file stays and is looked at again with the next scan
    SNP_Log::debugf("Queued %s for %lld address(es)", qUtf8Printable(relativePath),
                    static_cast<long long>(addresses.deliverable.size()));
    for (const auto& [address, reason] : addresses.refused)
        SNP_Log::debugf("Not sending %s to \"%s\": %s", qUtf8Printable(relativePath), qUtf8Printable(address),
                        qUtf8Printable(reason));
    return true;
}

void SNP_Mailer::refuseUpload(const QString& relativePath, const QString& reason,
                              const QList<std::pair<QString, QString>>& refused)
{
    SNP_Log::debugf("No message for %s: %s; moving it to the failed folder", qUtf8Printable(relativePath),
                    qUtf8Printable(reason));
    const auto moved = SNP_UploadFolder::moveInto(_settings.folders.upload, relativePath, _settings.folders.failed);
    if (!moved)
        return; // logged; tried again with the next scan
    const qint64 now = _clock();
    QString note = QStringLiteral("booth-mailer sent no message for this picture: %1.\n").arg(reason);
    if (!refused.isEmpty())
        note += QStringLiteral("Addresses it could not send to:\n") + refusedText(refused);
    note += QStringLiteral("Taken from %1 at %2.\n").arg(uploadPath(relativePath), timeText(now));
    SNP_UploadFolder::writeNote(*moved + QStringLiteral(".txt"), note);
    _journal.addFailedPicture(relativePath, reason, now);
}

int SNP_Mailer::fileFinishedPictures()
{
    const QList<SNP_MailPicture> finished = _journal.picturesToFile();
    for (const SNP_MailPicture& picture : finished)
        filePicture(picture.id, picture.path);
    return int(finished.size());
}

void SNP_Mailer::filePicture(qint64 id, const QString& relativePath)
{
    if (_attachment.picture == id)
        _attachment = Attachment();
    const qint64 now = _clock();
    if (!QFileInfo::exists(uploadPath(relativePath))) {
        SNP_Log::debugf("%s is no longer in the upload folder; nothing to move", qUtf8Printable(relativePath));
        _journal.finishPicture(id, QStringLiteral("gone"), QStringLiteral("no longer in the upload folder"), now);
        return;
    }
    if (const auto moved = SNP_UploadFolder::moveInto(_settings.folders.upload, relativePath, _settings.folders.sent)) {
        _journal.finishPicture(id, QStringLiteral("sent"), QString(), now);
        SNP_Log::debugf("Moved %s to %s", qUtf8Printable(relativePath), qUtf8Printable(*moved));
    }
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

std::optional<QByteArray> SNP_Mailer::attachmentFor(const SNP_MailDelivery& d, QString* why)
{
    if (_attachment.picture != d.picture) {
        _attachment = Attachment();
        _attachment.picture = d.picture;
        const auto bytes = SNP_MailAttachment::readUpload(uploadPath(d.path), &_attachment.why);
        if (bytes)
            _attachment.bytes = SNP_MailAttachment::withoutAddresses(*bytes, _journal.addressesOfPicture(d.picture),
                                                                     &_attachment.why);
    }
    *why = _attachment.why;
    return _attachment.bytes;
}

bool SNP_Mailer::sendOne(const SNP_MailDelivery& d)
{
    QString why;
    const auto attachment = attachmentFor(d, &why);
    if (!attachment) {
        SNP_Log::debugf("Not sending %s to %s: %s", qUtf8Printable(d.path), qUtf8Printable(d.address),
                        qUtf8Printable(why));
        _journal.markFailed(d, why, _clock());
    } else {
        if (!_journal.markSending(d, _clock()))
            return false; // never send what the journal could not note down first
        _recentSends.push_back(_clock());
        record(d, _sender.send(d.address, *attachment, QFileInfo(d.path).fileName()));
    }
    if (!_journal.hasWaiting(d.picture))
        filePicture(d.picture, d.path);
    return true;
}

void SNP_Mailer::record(const SNP_MailDelivery& d, const SNP_SmtpResult& result)
{
    const qint64 now = _clock();
    const QByteArray path = d.path.toUtf8();
    switch (result.outcome) {
    case SNP_SmtpResult::Outcome::Sent:
        _serverFailures = 0;
        _journal.markSent(d, result.reply, now);
        SNP_Log::debugf("Sent %s to %s: %s", path.constData(), qUtf8Printable(d.address), qUtf8Printable(result.reply));
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
    const qint64 next = now + retryDelayMs(d.attempts + 1);
    _journal.markRetry(d, result.reply, now, next);
    SNP_Log::debugf("Could not send %s to %s (attempt %d): %s; trying again at %s", path.constData(), qUtf8Printable(d.address),
                    d.attempts + 1, qUtf8Printable(result.reply), qUtf8Printable(timeText(next)));
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
