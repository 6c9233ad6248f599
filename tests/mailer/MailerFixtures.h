// What the mailer's tests share: a real SMTP server of our own on 127.0.0.1
// (smtp_server.py on aiosmtpd) whose stored messages are read back as a mail client reads
// them, and upload pictures as the booth writes them (camera EXIF, the visitor's addresses
// in the user comment, linked into place).
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

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace mailfixtures {

// One message as the server parsed it.
struct Message {
    QStringList recipients;                 // the envelope's
    QJsonObject headers;                    // name -> list of values
    QString body;
    QList<QJsonObject> attachments;         // filename, content_type, file
    QStringList header(const char* name) const
    {
        QStringList values;
        for (const QJsonValue& v : headers.value(QLatin1String(name)).toArray())
            values << v.toString();
        return values;
    }
};

class SmtpServer {
public:
    static constexpr const char* kUser = "booth";
    static constexpr const char* kPassword = "s3cret";

    explicit SmtpServer(const QString& folder) : _folder(folder) { QDir().mkpath(folder); }
    ~SmtpServer() { stop(); }

    // Starts on the port (0: a free one); false when it did not come up.
    bool start(int port = 0, const QStringList& extra = {})
    {
        const QString python = QFileInfo::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
        _process.start(python, QStringList{BOOTH_SOURCE_DIR "/tests/mailer/smtp_server.py", _folder, "--port",
                                           QString::number(port), "--user", kUser, "--password", kPassword}
                                   + extra);
        if (!waitUntil([&] { return _process.canReadLine() || _process.state() == QProcess::NotRunning; }, 15000))
            return false;
        const QByteArray line = _process.readLine().trimmed();
        _port = line.startsWith("PORT ") ? line.mid(5).toInt() : 0;
        return _port > 0;
    }
    void stop()
    {
        if (_process.state() == QProcess::NotRunning)
            return;
        _process.kill();
        _process.waitForFinished(5000);
    }
    int port() const { return _port; }
    QString url() const { return QStringLiteral("smtp://127.0.0.1:%1").arg(_port); }

    // {"temporary": [...], "permanent": [...], "drop": [...], "hold": [...]}
    void setControl(const QJsonObject& control) const
    {
        fixtures::writeFile(_folder + "/control.json", QJsonDocument(control).toJson());
    }

    QList<Message> messages() const
    {
        QList<Message> list;
        for (const QString& name : QDir(_folder).entryList({"msg-*.json"}, QDir::Files, QDir::Name)) {
            const QJsonObject o = QJsonDocument::fromJson(fixtures::readFile(_folder + "/" + name)).object();
            Message m;
            for (const QJsonValue& v : o.value("rcpt_tos").toArray())
                m.recipients << v.toString();
            m.headers = o.value("headers").toObject();
            m.body = o.value("body").toString();
            for (const QJsonValue& v : o.value("attachments").toArray())
                m.attachments << v.toObject();
            list << m;
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

// A port nothing listens on at the moment (for a server that is down, then comes up).
inline int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

// An upload picture as the booth writes it: the camera picture's EXIF with the addresses
// in the user comment, written beside and linked into place. Answers its path.
inline QString putUpload(const QString& uploadFolder, const QString& relativePath, const QStringList& addresses,
                         const QImage& picture = fixtures::patternImage(320, 200))
{
    const QString path = QDir(uploadFolder).filePath(relativePath);
    QDir().mkpath(QFileInfo(path).path());
    const QByteArray camera = fixtures::cameraJpeg(picture);
    const QByteArray bytes = addresses.isEmpty()
        ? camera
        : SNP_XMLinEXIF::jpegDataWithPropertyListObject(QVariantMap{{QBEmailsForUpload, addresses}}, camera)
              .value_or(QByteArray());
    const QString temporary = QFileInfo(path).path() + "/." + QFileInfo(path).fileName() + ".part";
    if (bytes.isEmpty() || !fixtures::writeFile(temporary, bytes) || ::link(QFile::encodeName(temporary),
                                                                            QFile::encodeName(path)) != 0)
        return QString();
    QFile::remove(temporary);
    return path;
}

} // namespace mailfixtures
