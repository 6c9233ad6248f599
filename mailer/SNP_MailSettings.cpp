#include "SNP_MailSettings.h"

#include "SNP_Log.h"
#include "SNP_Preferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 kMaxBodyBytes = 1 << 20;
constexpr qint64 kMaxPasswordBytes = 4096;

QString defaultSubject() { return QStringLiteral("Your picture from the photo booth"); }

QString defaultBody()
{
    return QStringLiteral("Hello,\n\nthank you for visiting our photo booth! Your picture is attached.\n\n"
                          "Have a wonderful day.\n");
}

QString textSetting(const char* key)
{
    return SNP_Preferences::text(QString::fromLatin1(key)).value_or(QString()).trimmed();
}

bool isInside(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(folder.endsWith(u'/') ? folder : folder + u'/');
}

QString bodyFromFile(const QString& path)
{
    if (path.isEmpty())
        return defaultBody();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxBodyBytes) {
        SNP_Log::debugf("Cannot use the mail body file %s (%s); using the default text", qUtf8Printable(path),
                        file.size() > kMaxBodyBytes ? "larger than 1 MiB" : qUtf8Printable(file.errorString()));
        return defaultBody();
    }
    return QString::fromUtf8(file.readAll());
}

void checkFolders(const SNP_MailFolders& folders, QStringList* problems)
{
    if (!QFileInfo(folders.upload).isDir() || ::access(QFile::encodeName(folders.upload).constData(), R_OK | X_OK) != 0)
        *problems << QStringLiteral("The upload folder %1 does not exist or cannot be read: set forUploadFolder to "
                                    "the booth's upload folder (the booth makes it when it files its first "
                                    "picture; until then the mailer's service tries again every 10 s).")
                         .arg(folders.upload);
    for (const QString& folder : {folders.sent, folders.failed}) {
        if (isInside(folder, folders.upload))
            *problems << QStringLiteral("The folder %1 lies inside the upload folder %2: pictures put there would "
                                        "be taken for new uploads. Choose a folder outside it.")
                             .arg(folder, folders.upload);
    }
}

void loadServer(SNP_MailSettings& s, QStringList* problems)
{
    s.smtpUrl = textSetting(PrefKeyMailSmtpUrl);
    QString why;
    if (const auto tls = SNP_MailSettings::tlsForUrl(s.smtpUrl, &why))
        s.tls = *tls;
    else
        *problems << why;

    s.user = textSetting(PrefKeyMailUser);
    const QString passwordFile = textSetting(PrefKeyMailPasswordFile);
    if (s.user.isEmpty()) {
        if (!passwordFile.isEmpty())
            SNP_Log::debug(QStringLiteral("mailPasswordFile is set but mailUser is not: no authentication"));
        return;
    }
    if (passwordFile.isEmpty()) {
        *problems << QStringLiteral("mailUser is set but mailPasswordFile is not: give the path of a file "
                                    "holding the password (chmod 600).");
        return;
    }
    if (const auto password = SNP_MailSettings::passwordFromFile(passwordFile, &why))
        s.password = *password;
    else
        *problems << why;
}

void loadMessage(SNP_MailSettings& s, QStringList* problems)
{
    s.fromHeader = SNP_MailSettings::headerSafe(textSetting(PrefKeyMailFrom));
    QString why;
    if (const auto address = SNP_MailSettings::addressInFrom(s.fromHeader, &why))
        s.fromAddress = *address;
    else
        *problems << why;
    const QString subject = SNP_MailSettings::headerSafe(textSetting(PrefKeyMailSubject)).simplified();
    s.subject = subject.isEmpty() ? defaultSubject() : subject.left(200);
    s.body = bodyFromFile(textSetting(PrefKeyMailBodyFile));
    s.perMinute = SNP_Preferences::wholeNumber(QString::fromLatin1(PrefKeyMailPerMinute),
                                               SNP_MailSettings::DefaultPerMinute, SNP_MailSettings::MaxPerMinute);
    if (s.perMinute == 0) {
        SNP_Log::debugf("mailPerMinute 0 would never send; using %u", SNP_MailSettings::DefaultPerMinute);
        s.perMinute = SNP_MailSettings::DefaultPerMinute;
    }
}

void loadAttachments(SNP_MailSettings& s)
{
    const QString attach = textSetting(PrefKeyMailAttach).toLower();
    if (attach == QLatin1String("composite"))
        s.attach = SNP_MailSettings::Attach::Composite;
    else if (attach == QLatin1String("picture"))
        s.attach = SNP_MailSettings::Attach::Picture;
    else if (!attach.isEmpty() && attach != QLatin1String("both"))
        SNP_Log::debugf("mailAttach \"%s\" is not both, composite or picture; using both", qUtf8Printable(attach));
    s.pictureMaxSide = SNP_Preferences::wholeNumber(QString::fromLatin1(PrefKeyMailPictureMaxSide), 0,
                                                    SNP_MailSettings::MaxPictureSide);
}

} // namespace

SNP_MailFolders SNP_MailSettings::foldersForUpload(const QString& uploadFolder)
{
    SNP_MailFolders folders;
    folders.upload = QDir::cleanPath(uploadFolder);
    folders.sent = SNP_Preferences::folder(QString::fromLatin1(PrefKeyMailSentFolder), folders.upload + "-sent");
    folders.failed = SNP_Preferences::folder(QString::fromLatin1(PrefKeyMailFailedFolder), folders.upload + "-failed");
    folders.journal = folders.sent + QStringLiteral(".sqlite");
    return folders;
}

SNP_MailFolders SNP_MailSettings::configuredFolders()
{
    return foldersForUpload(SNP_Preferences::folder(QString::fromLatin1(PrefKeyForUploadFolder),
                                                    QString::fromLatin1(SNP_Preferences::DefaultForUploadFolder)));
}

std::optional<SNP_MailSettings> SNP_MailSettings::load(QStringList* problems)
{
    SNP_MailSettings s;
    const qsizetype before = problems->size();
    s.folders = configuredFolders();
    checkFolders(s.folders, problems);
    loadServer(s, problems);
    loadMessage(s, problems);
    loadAttachments(s);
    if (problems->size() > before)
        return std::nullopt;
    return s;
}

bool SNP_MailSettings::isLoopbackHost(const QString& host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || host == QLatin1String("::1"))
        return true;
    const QStringList parts = host.split(u'.');
    if (parts.size() != 4 || parts.front() != QLatin1String("127"))
        return false;
    for (const QString& part : parts) {
        bool ok = false;
        const int number = part.toInt(&ok);
        if (!ok || number < 0 || number > 255 || part.size() > 3)
            return false;
    }
    return true;
}

std::optional<SNP_MailSettings::Tls> SNP_MailSettings::tlsForUrl(const QString& url, QString* why)
{
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    if (url.isEmpty() || !parsed.isValid() || (scheme != QLatin1String("smtp") && scheme != QLatin1String("smtps"))
        || parsed.host().isEmpty()) {
        *why = QStringLiteral("mailSmtpUrl \"%1\" is not smtp://HOST:PORT or smtps://HOST:PORT").arg(headerSafe(url));
        return std::nullopt;
    }
    if (!parsed.userName().isEmpty() || !parsed.password().isEmpty()) {
        *why = QStringLiteral("mailSmtpUrl carries a user or password: put the user in mailUser and the password "
                              "in the file named by mailPasswordFile");
        return std::nullopt;
    }
    if (scheme == QLatin1String("smtps"))
        return Tls::Implicit;
    return isLoopbackHost(parsed.host()) ? Tls::Plain : Tls::Required;
}

std::optional<QByteArray> SNP_MailSettings::passwordFromFile(const QString& path, QString* why)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *why = QStringLiteral("Cannot read the password file %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
        return std::nullopt;
    }
    struct stat info {};
    QByteArray bytes(kMaxPasswordBytes + 1, Qt::Uninitialized);
    ssize_t got = -1;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        *why = QStringLiteral("Refusing the password file %1: it is not a plain file").arg(path);
    else if (info.st_mode & (S_IRGRP | S_IROTH | S_IWGRP | S_IWOTH))
        *why = QStringLiteral("Refusing the password file %1: group or others may read or change it "
                              "(chmod 600 %1)").arg(path);
    else
        got = ::read(fd, bytes.data(), size_t(bytes.size()));
    ::close(fd);
    if (got < 0) {
        if (why->isEmpty())
            *why = QStringLiteral("Cannot read the password file %1").arg(path);
        return std::nullopt;
    }
    bytes.truncate(got);
    while (bytes.endsWith('\n') || bytes.endsWith('\r'))
        bytes.chop(1);
    if (bytes.isEmpty() || got > kMaxPasswordBytes) {
        *why = QStringLiteral("Refusing the password file %1: it is empty or longer than 4 KiB").arg(path);
        return std::nullopt;
    }
    return bytes;
}

std::optional<QString> SNP_MailSettings::addressInFrom(const QString& from, QString* why)
{
    const qsizetype open = from.lastIndexOf(u'<');
    const qsizetype close = from.lastIndexOf(u'>');
    const QString address = (open >= 0 && close > open) ? from.mid(open + 1, close - open - 1).trimmed()
                                                         : from.trimmed();
    if (from.isEmpty() || !SNP_Log::validateEmailAddress(address.toLower())) {
        *why = QStringLiteral("mailFrom \"%1\" holds no valid sender address (\"Name <address>\" or an address)")
                   .arg(from);
        return std::nullopt;
    }
    return address;
}

QString SNP_MailSettings::headerSafe(const QString& text)
{
    QString safe = text;
    for (QChar& c : safe) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = u' ';
    }
    return safe;
}
