// One message to one address through libcurl's SMTP: the subject and body from the
// settings, the pictures as JPEG attachments (libcurl's MIME interface, read straight from
// the caller's base64 lines as they go out: no copy or encoding per message).
//
// The connection is protected as the settings say (SNP_MailSettings::Tls; certificates
// verified against the system's store), authenticated when a user is set, and kept open
// between messages while they succeed; after any failure the next message starts on a new
// connection, so that no half-finished transaction is carried over. Only the recipient
// named in send() is ever in the envelope or the headers.
//
// A result tells the mailer what to do with the address: Sent; Retry (a 4xx reply, a
// refused or dropped connection, a time-out: serverUnreachable says whether the server
// itself was the problem rather than this address); Refused (a 5xx reply to the
// recipient or to the message: the address is given up). The server's last reply line,
// or libcurl's error text, goes with it. A message the server took whole (its data to the
// end) but whose answer never came in full, before a time-out or the deadline, counts as
// Sent, unconfirmed: the server has it, and sending it again would deliver it twice.
//
// Threads: one sender belongs to one thread at a time; send() blocks while the message is
// handed over: a connection takes at most 30 s (or the network time-out when shorter), a
// transfer that moves no byte for the network time-out is abandoned, and so is a server
// answer that takes longer; no transfer goes on past the deadline. The progress hook is
// called on that thread, about once a second, while a message is handed over.
#pragma once

#include "SNP_MailSettings.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

typedef void CURL;

struct SNP_SmtpResult {
    enum class Outcome { Sent, Retry, Refused };
    Outcome outcome = Outcome::Retry;
    bool serverUnreachable = false;
    bool unconfirmed = false; // Sent without the server's final answer
    QString reply;
};

// An attachment ready to go: a JPEG in base64 lines, made once and sent to every address
// as it is, and the file name the visitor sees.
struct SNP_MailFile {
    static SNP_MailFile ofJpeg(const QByteArray& jpeg, const QString& name);
    QByteArray base64; // lines of 76 characters, each ended by CRLF
    QString name;
};

class SNP_SmtpSender {
public:
    explicit SNP_SmtpSender(const SNP_MailSettings& settings);
    ~SNP_SmtpSender();
    SNP_SmtpSender(const SNP_SmtpSender&) = delete;
    SNP_SmtpSender& operator=(const SNP_SmtpSender&) = delete;

    SNP_SmtpResult send(const QString& to, const QList<SNP_MailFile>& files);
    // Closes the connection kept open between messages (sending QUIT).
    void disconnect();
    // No transfer goes on past this time (ms since 1970; 0: none): one still going is
    // abandoned then.
    void setDeadline(qint64 msSince1970) { _deadline = msSince1970; }
    void setProgressHook(std::function<void()> hook) { _progressHook = std::move(hook); }

    // A header text as it may stand in a header: line breaks removed, and in RFC 2047's
    // encoded form when it is not plain ASCII.
    static QByteArray encodedHeaderText(const QString& text);

private:
    CURL* handle();

    SNP_MailSettings _settings;
    CURL* _curl = nullptr;
    qint64 _deadline = 0;
    std::function<void()> _progressHook;
};
