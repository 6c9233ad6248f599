// One message to one address through libcurl's SMTP: the subject and body from the
// settings, the picture as a JPEG attachment (libcurl's MIME interface).
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
// or libcurl's error text, goes with it.
//
// Threads: one sender belongs to one thread at a time; send() blocks while the message is
// handed over (connection time-out 30 s; a transfer that moves no byte for 60 s is
// abandoned).
#pragma once

#include "SNP_MailSettings.h"

#include <QByteArray>
#include <QString>

typedef void CURL;

struct SNP_SmtpResult {
    enum class Outcome { Sent, Retry, Refused };
    Outcome outcome = Outcome::Retry;
    bool serverUnreachable = false;
    QString reply;
};

class SNP_SmtpSender {
public:
    explicit SNP_SmtpSender(const SNP_MailSettings& settings);
    ~SNP_SmtpSender();
    SNP_SmtpSender(const SNP_SmtpSender&) = delete;
    SNP_SmtpSender& operator=(const SNP_SmtpSender&) = delete;

    SNP_SmtpResult send(const QString& to, const QByteArray& jpeg, const QString& fileName);
    // Closes the connection kept open between messages (sending QUIT).
    void disconnect();

    // A header text as it may stand in a header: line breaks removed, and in RFC 2047's
    // encoded form when it is not plain ASCII.
    static QByteArray encodedHeaderText(const QString& text);

private:
    CURL* handle();

    SNP_MailSettings _settings;
    CURL* _curl = nullptr;
};
