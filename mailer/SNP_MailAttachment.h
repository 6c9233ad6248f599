// What the mailer takes from an upload picture and what it sends of it: the visitor's
// addresses from the property list in the EXIF user comment, and the picture itself with
// that comment removed, so that no address travels in an attachment.
//
// An address is sent to only when the booth's own check (SNP_Log::validateEmailAddress)
// takes it and it is a plain address: no quoted local part, no blank, comma, angle
// bracket, parenthesis, semicolon, backslash or control character, so that it reads as
// one address alone in the envelope and in the To header.
//
// Threads: plain functions without shared state; any thread.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

namespace SNP_MailAttachment {

constexpr qint64 kMaxUploadBytes = 64 * 1024 * 1024;

struct Addresses {
    QStringList deliverable;                   // in the order typed, each once
    QList<std::pair<QString, QString>> refused; // address and why
    QString problem;                           // why there is no address list at all
};

// The bytes of an upload file; nothing, with the reason, when it cannot be read or is
// larger than kMaxUploadBytes.
std::optional<QByteArray> readUpload(const QString& path, QString* why);

// The visitor's addresses embedded in the picture.
Addresses addressesIn(const QByteArray& jpeg);

// Whether a message may be sent to the address; the reason when not.
bool isDeliverable(const QString& address, QString* why);

// The picture to attach: the user comment removed, every other EXIF entry and the pixels
// kept. Nothing, with the reason, when that fails or when any of the addresses can still
// be found anywhere in the bytes.
std::optional<QByteArray> withoutAddresses(const QByteArray& jpeg, const QStringList& addresses, QString* why);

} // namespace SNP_MailAttachment
