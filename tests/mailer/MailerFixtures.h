// What the mailer's tests share: a real SMTP server of our own on 127.0.0.1
// (smtp_server.py on aiosmtpd) whose stored messages are read back as a mail client reads
// them, and upload pictures as the booth writes them (camera EXIF, the visitor's addresses
// in the user comment, linked into place).
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

    // {"temporary": [...], "permanent": [...], "drop": [...], "hold": [...]} (smtp_server.py)
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

// An upload picture as the booth writes it: the camera picture's EXIF with the addresses
// in the user comment (none: no property list), written beside and linked into place.
// Answers its path, empty when it could not be written.
inline QString putUpload(const QString& uploadFolder, const QString& relativePath, const QStringList& addresses)
{
    const QString path = QDir(uploadFolder).filePath(relativePath);
    const QString temporary = QFileInfo(path).path() + "/." + QFileInfo(path).fileName() + ".part";
    const QByteArray camera = fixtures::cameraJpeg(fixtures::patternImage(320, 200));
    const QVariantMap comment{{QBEmailsForUpload, addresses}};
    const QByteArray bytes = addresses.isEmpty()
        ? camera
        : SNP_XMLinEXIF::jpegDataWithPropertyListObject(comment, camera).value_or(QByteArray());
    const bool placed = QDir().mkpath(QFileInfo(path).path()) && !bytes.isEmpty()
                        && fixtures::writeFile(temporary, bytes)
                        && ::link(QFile::encodeName(temporary), QFile::encodeName(path)) == 0;
    QFile::remove(temporary);
    return placed ? path : QString();
}

} // namespace mailfixtures
