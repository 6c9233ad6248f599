// The mailer's work on the upload folder, one step at a time: take new upload files into
// the journal, send the messages that are due, move finished pictures to the sent folder.
// The program (SNP_MailerRun) decides when each step runs; tests drive them directly with
// a clock of their own.
//
// An upload file is taken once it is whole and no longer being written: unchanged (size
// and modification time) for kSettleMs, and a JPEG that decodes to its end. One that does
// not decode to its end waits kIncompleteWaitMs in case the rest is still arriving, then
// goes to the failed folder. A file that cannot be read for now (a read error, no read
// permission) is looked at again after 30 s, doubling up to 30 min, and so is a move to the
// sent or failed folder that failed (a full disk): the file stays where it was meanwhile.
//
// For each upload picture, one message per address, to that address alone, with the
// pictures the settings ask for (mailAttach): the visitor's full picture (the filed
// picture the upload file was made from, SNP_MailAttachment) and the composite, both
// without their addresses; when the full picture cannot be had, the composite goes alone
// and the log says why. A picture's files are read and prepared once for all its
// addresses. Each (picture, address) pair is sent once: it is marked "sending" in the
// journal before it goes to the server and "sent" after. A failure the server may get over
// (a 4xx reply, no connection, a dropped one) or a picture that cannot be read for now is
// tried again after 30 s, doubling up to 30 min per address; when the server itself cannot
// be reached, the whole queue waits as long, so that a dead network costs one attempt per
// wait and not one per message. A 5xx reply gives the address up with the server's reply;
// the other addresses of the picture go on. At most mailPerMinute messages go out in any
// 60 seconds.
//
// A file that cannot be a picture to send (not a JPEG, no usable address, more than four
// addresses, never whole) is moved to the failed folder with a note beside it (its name
// with ".txt" added) saying why.
//
// Once heartbeat() has been called (a serving mailer calls it on a timer), the mailer also
// writes its heartbeat into the journal every SNP_MailStatus::kHeartbeatIntervalMs while
// sendDue() works, a long message going out included, so that a busy mailer never looks
// stopped.
//
// Threads: one mailer and its journal belong to one thread; every call blocks while it
// works (sendDue() for as long as it sends).
#pragma once

#include "SNP_MailJournal.h"
#include "SNP_MailSettings.h"
#include "SNP_SmtpSender.h"

#include <QList>
#include <QString>

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <utility>

class SNP_Mailer {
public:
    using Clock = std::function<qint64()>; // milliseconds since 1970

    static constexpr qint64 kFirstRetryMs = 30 * 1000;
    static constexpr qint64 kLongestRetryMs = 30 * 60 * 1000;
    static constexpr qint64 kRateWindowMs = 60 * 1000;
    // Tries a message waits for its full picture to become readable before the composite
    // goes without it.
    static constexpr int kFullPictureAttempts = 3;
    static constexpr qint64 kSettleMs = 2000;
    static constexpr qint64 kIncompleteWaitMs = 5 * 60 * 1000;

    // clock empty: the system clock.
    SNP_Mailer(const SNP_MailSettings& settings, SNP_MailJournal& journal, Clock clock = {});

    // The wait after the given number of failed attempts: 30 s, 60 s, ... at most 30 min.
    static qint64 retryDelayMs(int attempts);
    static QString timeText(qint64 msSince1970);
    // For a journal made anew after the old one was damaged: the pictures in the sent
    // folder recorded as sent to their addresses (so never sent again), those in the failed
    // folder as failed. Answers how many of each.
    static std::pair<int, int> recordFolders(const SNP_MailFolders& folders, SNP_MailJournal& journal, qint64 now);

    // Messages a crash left half-handed to the server are made due again, each logged.
    void resumeInterrupted();
    // Takes the upload files the journal does not know yet and that are whole. Answers how
    // many were queued for sending (those that cannot be sent go to the failed folder).
    int takeNewUploads();
    // The upload files the mailer is not done with though no message of theirs waits: seen
    // but not taken yet, or not moved out yet; each with why.
    QList<std::pair<QString, QString>> filesHeldUp() const;
    // Moves the pictures none of whose addresses waits any more to the sent folder.
    int fileFinishedPictures();
    // Sends due messages until none is due, the rate limit or a server pause says wait,
    // or stop (asked before each message) says so. Answers when more can be sent (ms
    // since 1970); nothing when no message waits.
    std::optional<qint64> sendDue(const std::function<bool()>& stop = {});
    // When an upload file not taken yet or a file that could not be moved is to be looked
    // at again (ms since 1970); nothing when there is none.
    std::optional<qint64> nextLookAt() const;
    // Every waiting message due now, the server pause forgotten (for --drain).
    void retryAllNow();
    // Closes the connection kept open to the server (when the queue is idle).
    void disconnect() { _sender.disconnect(); }
    // No message goes on past this time (ms since 1970 by the system clock; 0: none).
    void setDeadline(qint64 msSince1970) { _sender.setDeadline(msSince1970); }
    // Writes the heartbeat now (and from then on while sendDue() works).
    void heartbeat();

private:
    // An upload file seen but not taken yet.
    struct Arrival {
        qint64 size = -1;
        qint64 modifiedMs = 0;
        qint64 seenMs = 0;          // when it was first seen as it is now
        qint64 notWholeSinceMs = 0; // 0: not found incomplete yet
        int readFailures = 0;
        qint64 nextLookMs = 0;
        QString why;
    };
    // A move that failed, tried again later.
    struct MoveRetry {
        int attempts = 0;
        qint64 nextMs = 0;
    };
    // A picture's files, ready to attach for each of its addresses.
    struct Prepared {
        qint64 picture = -1;
        QList<SNP_MailFile> files; // empty: none can be sent, for the reason why
        QString why;
        bool passing = false;      // the reason may go away (a read error)
    };

    void keepHeartbeat();
    bool intake(const QString& relativePath, qint64 now);
    bool queue(const QString& relativePath, const QByteArray& bytes, qint64 now);
    void refuseUpload(const QString& relativePath, const QString& reason,
                      const QList<std::pair<QString, QString>>& refused);
    void moveFailed(const QString& relativePath, const char* folder, const QString& why);
    bool moveWaits(const QString& relativePath, qint64 now) const;
    bool sendOne(const SNP_MailDelivery& d);
    const Prepared& prepare(const SNP_MailDelivery& d);
    void record(const SNP_MailDelivery& d, const SNP_SmtpResult& result);
    // The message is due again after its back-off; logged with why.
    void retryLater(const SNP_MailDelivery& d, const QString& why, qint64 now);
    std::optional<qint64> rateLimitedUntil(qint64 now);
    void filePicture(qint64 id, const QString& relativePath);
    QString uploadPath(const QString& relativePath) const;

    SNP_MailSettings _settings;
    SNP_MailJournal& _journal;
    Clock _clock;
    SNP_SmtpSender _sender;
    std::deque<qint64> _recentSends;  // times of the messages of the last minute
    qint64 _pausedUntil = 0;          // the server could not be reached: nothing before this
    int _serverFailures = 0;          // in a row
    qint64 _lastHeartbeat = 0;
    std::map<QString, Arrival> _arrivals;     // by path relative to the upload folder
    std::map<QString, MoveRetry> _moveRetries; // by path relative to the upload folder
    Prepared _prepared;                       // the picture being sent
};
