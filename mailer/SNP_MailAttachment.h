// What the mailer takes from an upload picture and what it sends of it: the visitor's
// addresses from the property list in the EXIF user comment, whether the picture is whole,
// and the pictures to attach with that comment removed, so that no address travels in an
// attachment: the upload file itself (the framed composite) and the visitor's full picture,
// the filed picture the booth made the upload file from.
//
// An address is sent to only when the booth's own check (SNP_Log::validateEmailAddress)
// takes it and it is a plain address: no quoted local part, no blank, comma, angle
// bracket, parenthesis, semicolon, backslash or control character, so that it reads as
// one address alone in the envelope and in the To header. A list of more than kMaxAddresses
// entries is not the booth's: nothing is sent for it.
//
// The filed picture: the booth writes the upload file for the filed picture F/N.ext (F the
// day folder's absolute path) as F/NComp.ext below the upload folder, or NComp-1.ext,
// NComp-2.ext ... when that name was taken, so the filed picture's path follows from the
// upload file's path relative to the upload folder. It is attached only when it is a plain
// file there (a symbolic link is not followed), whole, and carries the same address list
// as the upload file.
//
// Threads: plain functions without shared state; any thread.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>
#include <utility>

namespace SNP_MailAttachment {

constexpr qint64 kMaxUploadBytes = 64 * 1024 * 1024;
constexpr int kMaxAddresses = 4;

// A file's bytes, or why they could not be had; passing says whether trying again later
// may help (a read error, a file not readable for now) or not (no plain file, too large).
struct FileBytes {
    std::optional<QByteArray> bytes;
    QString why;
    bool passing = false;
};

// The bytes of a plain file (a symbolic link is not followed) of at most kMaxUploadBytes.
FileBytes readPicture(const QString& path);

// Whether the bytes are a JPEG picture whole to its end. Its header must read
// (libjpeg-turbo); then a picture ending with the end-of-image marker is whole, as after the
// header those two bytes can only be the picture's end, so that a file cut short or still
// being written never passes. Any other is decoded at an eighth of its size to find out, a
// warning such as "Premature end of JPEG file" counting as a failure.
enum class Wholeness { Whole, NotJpeg, Incomplete };
Wholeness wholeness(const QByteArray& jpeg, QString* why);

struct Addresses {
    QStringList deliverable;                   // in the order typed, each once
    QList<std::pair<QString, QString>> refused; // address and why
    QString problem;                           // why there is no address list to send to
    QVariant listed;                           // the list as the picture carries it
};

// The visitor's addresses embedded in the picture.
Addresses addressesIn(const QByteArray& jpeg);

// Whether a message may be sent to the address; the reason when not.
bool isDeliverable(const QString& address, QString* why);

// The picture to attach: the user comment removed, every other EXIF entry and the pixels
// kept. Nothing, with the reason, when that fails or when any of the addresses can still
// be found anywhere in the bytes.
std::optional<QByteArray> withoutAddresses(const QByteArray& jpeg, const QStringList& addresses, QString* why);

// The path of the filed picture the upload file (its path relative to the upload folder)
// was made from; nothing, with the reason, when the upload file's name is not one the
// booth gives.
std::optional<QString> filedPicturePath(const QString& uploadRelativePath, QString* why);

// The full picture to attach for an upload file: the filed picture, whole, carrying the
// list the upload file carries (uploadList: Addresses::listed), without its addresses and
// scaled down to maxSide pixels on its longer side when maxSide > 0 (EXIF data kept).
// No bytes, with the reason, when it cannot be attached; passing when only a read error
// stood in the way.
FileBytes fullPicture(const QString& filedPath, const QVariant& uploadList, const QStringList& addresses,
                      int maxSide);

} // namespace SNP_MailAttachment
