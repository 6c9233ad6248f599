// The mailer's settings, read from the booth's user defaults (SNP_Preferences: the same
// store, and the same "-KEY VALUE" overrides for one run).
//
// Keys: "forUploadFolder" (the booth's own), "mailSmtpUrl", "mailUser", "mailPasswordFile",
// "mailFrom", "mailSubject", "mailBodyFile", "mailPerMinute", "mailSentFolder",
// "mailFailedFolder", "mailAttach", "mailPictureMaxSide". The delivery journal lies beside
// the sent folder: the sent folder's path with ".sqlite" added. Every text is taken as
// written, commas and all (SNP_Preferences).
//
// What keeps a visitor's data where it belongs: the SMTP server is reached over TLS
// (smtps://, or smtp:// with STARTTLS required) unless it is on this machine; the password
// comes from a file that only its owner can read; the sent and failed folders may not lie
// inside the upload folder (the mailer would take its own output for new uploads); every
// header text is stripped of line breaks. A missing or unreadable upload folder stops the
// mailer before it makes anything.
//
// Threads: plain values; load() and configuredFolders() read the user defaults, which lock, so any
// thread may call them.
#pragma once

#include "SNP_PreferenceKeys.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>


// The folders the mailer works in, all absolute.
struct SNP_MailFolders {
    QString upload;
    QString sent;
    QString failed;
    QString journal; // the SQLite file
};

struct SNP_MailSettings {
    // How the connection to the SMTP server is protected.
    enum class Tls {
        Implicit,  // smtps://
        Required,  // smtp:// with STARTTLS, refused without it
        Plain,     // smtp:// to this machine (loopback): no TLS, nothing leaves the machine
    };

    // What each message carries: "both" (the default), "composite" or "picture".
    enum class Attach {
        Both,       // the visitor's full picture and the framed composite (the upload file)
        Composite,  // the upload file alone
        Picture,    // the full picture alone (the composite when the picture cannot be had)
    };

    static constexpr uint32_t DefaultPerMinute = 30;
    static constexpr uint32_t MaxPerMinute = 100000;
    static constexpr uint32_t MaxPictureSide = 65500; // JPEG's own limit
    static constexpr uint32_t DefaultNetworkTimeoutSeconds = 60;

    SNP_MailFolders folders;
    QString smtpUrl;
    Tls tls = Tls::Required;
    QString user;           // empty: no authentication
    QByteArray password;
    QString fromHeader;     // as configured, e.g. "Photo booth <booth@example.com>"
    QString fromAddress;    // the address alone, for the envelope
    QString subject;
    QString body;
    uint32_t perMinute = DefaultPerMinute;
    Attach attach = Attach::Both;
    uint32_t pictureMaxSide = 0; // the full picture's longer side in pixels; 0: as taken
    // A connection, a transfer without progress or a server answer given up after this; a
    // drain's last message may take this long past its deadline.
    uint32_t networkTimeoutSeconds = DefaultNetworkTimeoutSeconds;

    // Every setting from the user defaults. Nothing when one of them stops the mailer from
    // sending safely; each reason is then in *problems, written for staff.
    static std::optional<SNP_MailSettings> load(QStringList* problems);

    // The folders alone (enough for reading the journal), from the user defaults.
    static SNP_MailFolders configuredFolders();
    // The folders for a given upload folder (the booth's current one), with the sent and
    // failed folders from the user defaults or their defaults next to it.
    static SNP_MailFolders foldersForUpload(const QString& uploadFolder);

    // The protection a mailSmtpUrl value asks for; nothing, with the reason, when the URL
    // is not an smtp:// or smtps:// URL with a host, or carries a user or password.
    static std::optional<Tls> tlsForUrl(const QString& url, QString* why);
    static bool isLoopbackHost(const QString& host);
    // The password in the file (without its line end); nothing, with the reason, when the
    // file cannot be read, is no plain file, is empty, or group or others may read it.
    static std::optional<QByteArray> passwordFromFile(const QString& path, QString* why);
    // The address in a From value ("Name <address>" or a bare address); nothing, with the
    // reason, when it holds no address the booth's address check takes.
    static std::optional<QString> addressInFrom(const QString& from, QString* why);
    // The text with line breaks and other control characters turned into blanks.
    static QString headerSafe(const QString& text);
};
