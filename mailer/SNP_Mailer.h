// The mailer's work on the upload folder, one step at a time: take new upload files into
// the journal, send the messages that are due, move finished pictures to the sent folder.
// The program (SNP_MailerRun) decides when each step runs; tests drive them directly with
// a clock of their own.
//
// For each upload picture, one message per address, to that address alone, with the
// picture attached without its addresses (SNP_MailAttachment). Each (picture, address)
// pair is sent once: it is marked "sending" in the journal before it goes to the server
// and "sent" after. A failure the server may get over (a 4xx reply, no connection, a
// dropped one) is tried again after 30 s, doubling up to 30 min per address; when the
// server itself cannot be reached, the whole queue waits as long, so that a dead network
// costs one attempt per wait and not one per message. A 5xx reply gives the address up
// with the server's reply; the other addresses of the picture go on. At most
// mailPerMinute messages go out in any 60 seconds.
//
// A file without a usable address is moved to the failed folder with a note beside it
// (its name with ".txt" added) saying why.
//
// Threads: one mailer and its journal belong to one thread; every call blocks while it
// works (sendDue() for as long as it sends).
#pragma once

#include "SNP_MailJournal.h"
#include "SNP_MailSettings.h"
#include "SNP_SmtpSender.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <functional>
#include <optional>

class SNP_Mailer {
public:
    using Clock = std::function<qint64()>; // milliseconds since 1970

    static constexpr qint64 kFirstRetryMs = 30 * 1000;
    static constexpr qint64 kLongestRetryMs = 30 * 60 * 1000;
    static constexpr qint64 kRateWindowMs = 60 * 1000;

    // clock empty: the system clock.
    SNP_Mailer(const SNP_MailSettings& settings, SNP_MailJournal& journal, Clock clock = {});

    // The wait after the given number of failed attempts: 30 s, 60 s, ... at most 30 min.
    static qint64 retryDelayMs(int attempts);
    static QString timeText(qint64 msSince1970);

    // Messages a crash left half-handed to the server are made due again, each logged.
    void resumeInterrupted();
    // Takes the upload files the journal does not know yet. Answers how many were queued
    // for sending (those without a usable address go to the failed folder instead).
    int takeNewUploads();
    // Moves the pictures none of whose addresses waits any more to the sent folder.
    int fileFinishedPictures();
    // Sends due messages until none is due, the rate limit or a server pause says wait,
    // or stop (asked before each message) says so. Answers when more can be sent (ms
    // since 1970); nothing when no message waits.
    std::optional<qint64> sendDue(const std::function<bool()>& stop = {});
    // Every waiting message due now, the server pause forgotten (for --drain).
    void retryAllNow();
    // Closes the connection kept open to the server (when the queue is idle).
    void disconnect() { _sender.disconnect(); }

private:
    bool intake(const QString& relativePath);
    void refuseUpload(const QString& relativePath, const QString& reason,
                      const QList<std::pair<QString, QString>>& refused);
    bool sendOne(const SNP_MailDelivery& d);
    std::optional<QByteArray> attachmentFor(const SNP_MailDelivery& d, QString* why);
    void record(const SNP_MailDelivery& d, const SNP_SmtpResult& result);
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
    struct Attachment {
        qint64 picture = -1;
        std::optional<QByteArray> bytes;
        QString why;
    } _attachment;                    // the picture being sent, ready to attach
};
