// What the mailer's tests share: a real SMTP server of our own on 127.0.0.1
// (smtp_server.py on aiosmtpd) whose stored messages are read back as a mail client reads
// them; upload pictures as the booth writes them (camera EXIF, the visitor's addresses in
// the user comment, linked into place), with the filed picture each was made from; a
// small tmpfs; and root's power over file modes put aside, for files nobody may read.
//
// Threads: the test's own; the server is a process of its own.
#pragma once

#include "../support/JpegFixtures.h"
#include "SNP_MailJournal.h"
#include "SNP_MailSettings.h"
#include "SNP_XMLinEXIF.h"
#include "TestPaths.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace mailfixtures {

// One message as the server parsed it.
struct Message {
    QStringList recipients;     // the envelope's
    QJsonObject headers;        // name -> list of values
    QString body;
    QJsonArray attachments;     // of {filename, content_type, file}
    QStringList header(const char* name) const { return headers.value(QLatin1String(name)).toVariant().toStringList(); }
};

class SmtpServer {
public:
    static constexpr const char* kUser = "booth";
    static constexpr const char* kPassword = "s3cret";

    explicit SmtpServer(const QString& folder) : _folder(folder) { QDir().mkpath(folder); }
    ~SmtpServer() { stop(); }

    // Starts on the port (0: a free one); false when it did not come up.
    bool start(int port = 0)
    {
        // The system's Python, which has aiosmtpd, before any other on the path.
        _process.start(QFileInfo::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3",
                       {BOOTH_SOURCE_DIR "/tests/mailer/smtp_server.py", _folder, "--port",
                        QString::number(port), "--user", kUser, "--password", kPassword});
        if (!waitUntil([&] { return _process.canReadLine() || _process.state() == QProcess::NotRunning; }, 15000))
            return false;
        const QByteArray line = _process.readLine().trimmed();
        _port = line.startsWith("PORT ") ? line.mid(5).toInt() : 0;
        return _port > 0;
    }
    void stop()
    {
        _process.kill();
        _process.waitForFinished(5000);
    }
    int port() const { return _port; }
    QString url() const { return QStringLiteral("smtp://127.0.0.1:%1").arg(_port); }

    // {"temporary": [...], "permanent": [...], "drop": [...], "hold": [...], "trickle": [...]}
    // (smtp_server.py)
    void setControl(const QJsonObject& control) const
    {
        fixtures::writeFile(_folder + "/control.json", QJsonDocument(control).toJson());
    }

    QList<Message> messages() const
    {
        QList<Message> list;
        for (const QString& name : QDir(_folder).entryList({"msg-*.json"}, QDir::Files, QDir::Name)) {
            const QJsonObject o = QJsonDocument::fromJson(fixtures::readFile(_folder + "/" + name)).object();
            list << Message{o.value("rcpt_tos").toVariant().toStringList(), o.value("headers").toObject(),
                            o.value("body").toString(), o.value("attachments").toArray()};
        }
        return list;
    }
    // Messages per envelope recipient.
    QMap<QString, int> counts() const
    {
        QMap<QString, int> counts;
        for (const Message& m : messages())
            for (const QString& r : m.recipients)
                ++counts[r];
        return counts;
    }

private:
    QString _folder;
    QProcess _process;
    int _port = 0;
};

// A camera picture of the size with the addresses in its user comment (none: no property list).
inline QByteArray pictureWith(const QStringList& addresses, int width = 320, int height = 200)
{
    const QByteArray camera = fixtures::cameraJpeg(fixtures::patternImage(width, height));
    return addresses.isEmpty() ? camera
                               : SNP_XMLinEXIF::jpegDataWithPropertyListObject(
                                     QVariantMap{{QBEmailsForUpload, addresses}}, camera)
                                     .value_or(QByteArray());
}

// An upload picture as the booth writes it: the camera picture's EXIF with the addresses
// in the user comment, written beside and linked into place, a minute ago. Answers its
// path, empty when it could not be written.
inline QString putUpload(const QString& uploadFolder, const QString& relativePath, const QStringList& addresses)
{
    const QString path = QDir(uploadFolder).filePath(relativePath);
    const QString temporary = QFileInfo(path).path() + "/." + QFileInfo(path).fileName() + ".part";
    const QByteArray bytes = pictureWith(addresses);
    const bool placed = QDir().mkpath(QFileInfo(path).path()) && !bytes.isEmpty()
                        && fixtures::writeFile(temporary, bytes)
                        && ::link(QFile::encodeName(temporary), QFile::encodeName(path)) == 0;
    QFile::remove(temporary);
    QFile placedFile(path);
    return placed && placedFile.open(QIODevice::ReadOnly)
                   && placedFile.setFileTime(QDateTime::currentDateTime().addSecs(-60),
                                             QFileDevice::FileModificationTime)
               ? path
               : QString();
}

// A visitor's picture filed as the booth files it, dayFolder/name.jpg (640 x 400, the
// addresses in it), and its upload file (the composite) below the upload folder. Answers
// the upload file's path relative to the upload folder, empty when it could not be written.
inline QString putVisit(const QString& uploadFolder, const QString& dayFolder, const QString& name,
                        const QStringList& addresses)
{
    const QString relative = dayFolder.mid(1) + "/" + name + "Comp.jpg";
    const bool filed = QDir().mkpath(dayFolder)
                       && fixtures::writeFile(dayFolder + "/" + name + ".jpg", pictureWith(addresses, 640, 400));
    return filed && !putUpload(uploadFolder, relative, addresses).isEmpty() ? relative : QString();
}

// A tmpfs of the given size ("1m") mounted on the folder while it lasts; error is the
// errno of the mount where mounting is not allowed, 0 when mounted.
struct SmallTmpfs {
    SmallTmpfs(const QString& path, const char* size) : folder(QFile::encodeName(path))
    {
        QDir().mkpath(path);
        error = ::mount("tmpfs", folder.constData(), "tmpfs", 0, (QByteArray("size=") + size).constData()) ? errno : 0;
    }
    ~SmallTmpfs()
    {
        if (!error)
            ::umount2(folder.constData(), MNT_DETACH);
    }
    QByteArray folder;
    int error = 0;
};

// Root reads and writes any file whatever its mode. While one of these lasts, the calling
// thread does not (its effective capabilities lose the file-access override); without root
// the modes hold anyway. dropForChild() does the same for a program about to be started
// (QProcess::setChildProcessModifier), for good.
class WithoutRootFileAccess {
public:
    WithoutRootFileAccess() { set(false); }
    ~WithoutRootFileAccess() { set(true); }
    static void dropForChild()
    {
        ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
        ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
    }

private:
    static void set(bool allowed)
    {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        if (::syscall(SYS_capget, &header, data) != 0)
            return;
        const __u32 override = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
        data[0].effective = allowed ? data[0].effective | (data[0].permitted & override) : data[0].effective & ~override;
        ::syscall(SYS_capset, &header, data);
    }
};

} // namespace mailfixtures
