#include "SNP_Log.h"

#include "SNP_NSDateAdditions.h"
#include "SNP_NSStringAdditions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr mode_t kFileMode = 0600; // the log holds visitors' addresses
const char* const kLogDatePattern = "[yyyy/MM/dd HH:mm:ss.SSS Z]";

std::atomic<FILE*> _gLogFileHandle{nullptr};
std::atomic<bool> _gShouldLogToStdErr{false};
std::atomic<bool> _gShouldLogAppName{false};
std::atomic<int> _gSeenSignal{0};

// Guards the early buffer, the application name and the opening/closing of the file.
QMutex& stateLock()
{
    static QMutex lock;
    return lock;
}
std::optional<QString>& earlyBuffer()
{
    static std::optional<QString> buffer{QString()};
    return buffer;
}
QString& applicationNameStorage()
{
    static QString name;
    return name;
}
QString& openLogPath()
{
    static QString path;
    return path;
}
int gSavedStdErr = -1; // standard error as it was before it was pointed at the log file

QString currentApplicationName()
{
    QMutexLocker locker(&stateLock());
    QString& name = applicationNameStorage();
    if (name.isEmpty()) {
        if (QCoreApplication::instance())
            name = QCoreApplication::applicationName();
        if (name.isEmpty())
            name = QFileInfo(SNP_Base::pathToSelf()).fileName();
    }
    return name;
}

// Reports a refused or failed file operation on standard error even when standard-error
// logging is off (the log file being the thing that failed).
void reportOnStdErr(const QString& message)
{
    if (_gShouldLogToStdErr.load()) {
        SNP_Log::debug(message);
        return;
    }
    const QByteArray line = QStringLiteral("ERROR: %1\n").arg(message).toUtf8();
    fputs(line.constData(), stderr);
}

enum class OpenResult { Opened, Missing, Refused, Failed };

// Opens path without following a symbolic link and only when it is a regular file with a
// single name, owned by this user. O_NONBLOCK keeps a planted FIFO from blocking the open;
// it is cleared again.
OpenResult openRegularFile(const QString& path, int flags, mode_t mode, int* outFd, int* outErrno)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) {
        *outErrno = errno;
        if (errno == ENOENT)
            return OpenResult::Missing;
        return errno == ELOOP ? OpenResult::Refused : OpenResult::Failed;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink > 1 || info.st_uid != geteuid()) {
        *outErrno = EPERM;
        ::close(fd);
        return OpenResult::Refused;
    }
    const int fl = fcntl(fd, F_GETFL);
    if (fl >= 0)
        fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    *outFd = fd;
    return OpenResult::Opened;
}

// Reads the whole regular file at path; a missing file reads as empty.
bool readWholeFile(const QString& path, QByteArray* out, bool* refused)
{
    int fd = -1, error = 0;
    *refused = false;
    switch (openRegularFile(path, O_RDONLY, 0, &fd, &error)) {
    case OpenResult::Missing:
        out->clear();
        return true;
    case OpenResult::Refused:
        *refused = true;
        return false;
    case OpenResult::Failed:
        return false;
    case OpenResult::Opened:
        break;
    }
    out->clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        out->append(buffer, qsizetype(n));
    }
    ::close(fd);
    return true;
}

bool writeAll(int fd, const QByteArray& bytes)
{
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

// Writes bytes to path through a new temporary file in the same folder and a rename, so
// that whatever is at path (a planted link included) is replaced and never written through.
bool replaceFileSafely(const QString& path, const QByteArray& bytes)
{
    QByteArray templ = QFile::encodeName(path) + ".XXXXXX";
    const int fd = mkstemp(templ.data());
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, kFileMode) == 0 && writeAll(fd, bytes);
    ok = (::close(fd) == 0) && ok;
    if (ok)
        ok = ::rename(templ.constData(), QFile::encodeName(path).constData()) == 0;
    if (!ok)
        ::unlink(templ.constData());
    return ok;
}

// Qt's own messages (a warning with a file name in it, say) are written as log lines,
// escaped like any other, instead of raw onto standard error, which is the log file.
QtMessageHandler gPreviousMessageHandler = nullptr;
void qtMessageToLog(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    switch (type) {
    case QtDebugMsg: SNP_Log::logLevel(1, message); break;
    case QtInfoMsg: SNP_Log::logLevel(0, message); break;
    case QtWarningMsg: SNP_Log::logLevel(4, message); break;
    case QtCriticalMsg: SNP_Log::logLevel(3, message); break;
    case QtFatalMsg: SNP_Log::logLevel(3, message); std::abort();
    }
}

} // namespace

QString SNP_Log::defaultLogFilePath()
{
    const QString overridden = qEnvironmentVariable("BOOTH_LOG_FILE");
    return overridden.isEmpty() ? QStringLiteral("/tmp/BTHK_LiveView.log") : overridden;
}

QString SNP_Log::oldLogFilePath(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    const QString extension = dot > 0 ? name.mid(dot + 1) : QString();
    const QString base = extension.isEmpty() ? path : path.left(path.size() - extension.size() - 1);
    return base + QStringLiteral("_old.%1").arg(extension.isEmpty() ? QStringLiteral("log") : extension);
}

QString SNP_Log::logFilePath()
{
    QMutexLocker locker(&stateLock());
    return openLogPath();
}

bool SNP_Log::setLogFile(const QString& path)
{
    QString standardised = path;
    if (standardised.startsWith(QLatin1String("~/")))
        standardised = QDir::homePath() + standardised.mid(1);
    if (!standardised.isEmpty())
        standardised = QDir::cleanPath(standardised);
    if (!standardised.isEmpty())
        rollLogFileIfNecessary(standardised);
    if (_gLogFileHandle.load() || standardised.isEmpty())
        return false;

    int fd = -1, error = 0;
    const OpenResult result = openRegularFile(standardised, O_WRONLY | O_APPEND | O_CREAT, kFileMode, &fd, &error);
    if (result != OpenResult::Opened) {
        if (result == OpenResult::Refused)
            reportOnStdErr(QStringLiteral("Refusing log file at %1: it is a symbolic link, not a plain file or not this "
                                          "user's own")
                               .arg(standardised));
        debugf("Failed to open log file at %s; error %d \"%s\"", qUtf8Printable(standardised), error,
               strerror(error));
        return false;
    }
    FILE* file = fdopen(fd, "a");
    if (!file) {
        error = errno;
        ::close(fd);
        debugf("Failed to open log file at %s; error %d \"%s\"", qUtf8Printable(standardised), error,
               strerror(error));
        return false;
    }
    fchmod(fd, kFileMode);

    QMutexLocker locker(&stateLock());
    if (earlyBuffer() && !earlyBuffer()->isEmpty()) {
        const QByteArray bytes = earlyBuffer()->toUtf8();
        fwrite(bytes.constData(), 1, size_t(bytes.size()), file);
        fflush(file);
    }
    earlyBuffer().reset();
    setbuf(file, nullptr);
    if (!_gShouldLogToStdErr.load()) {
        // Anything else the process writes to standard error lands in the log as well.
        fflush(stderr);
        if (gSavedStdErr < 0)
            gSavedStdErr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        dup2(fd, STDERR_FILENO);
    }
    openLogPath() = standardised;
    _gLogFileHandle.store(file);
    gPreviousMessageHandler = qInstallMessageHandler(qtMessageToLog);
    return true;
}

void SNP_Log::rollLogFileIfNecessary(const QString& path)
{
    rollLogFile(path, QString(), kRollThreshold);
}

void SNP_Log::rollLogFile(const QString& path, const QString& oldPathIn, uint32_t threshold)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    if (lstat(native.constData(), &info) != 0 || quint64(info.st_size) < quint64(threshold))
        return;
    if (!S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        reportOnStdErr(QStringLiteral("Refusing to roll log file %1: it is a symbolic link, not a plain file or not "
                                      "this user's own")
                           .arg(path));
        return;
    }
    debug(QStringLiteral("Rolling log file."));
    const QString oldPath = oldPathIn.isEmpty() ? oldLogFilePath(path) : oldPathIn;

    QByteArray current, old;
    bool refused = false;
    if (!readWholeFile(path, &current, &refused)) {
        if (refused)
            reportOnStdErr(QStringLiteral("Refusing to roll log file %1: it is a symbolic link, not a plain file or "
                                          "not this user's own")
                               .arg(path));
        else
            debugf("Error reading log file %s", qUtf8Printable(path));
        return;
    }
    if (!readWholeFile(oldPath, &old, &refused)) {
        if (!refused) {
            debugf("Error writing old log file to %s", qUtf8Printable(oldPath));
            return;
        }
        // A link or special file where the old file belongs is replaced, never followed.
        reportOnStdErr(QStringLiteral("Replacing old log file %1: it is a symbolic link, not a plain file or not "
                                      "this user's own")
                           .arg(oldPath));
        old.clear();
    }
    old.append(current);
    if (old.size() > kOldFileCap) {
        const qsizetype from = old.size() - kOldFileCap - 1;
        const qsizetype newline = old.indexOf('\n', from);
        old.remove(0, newline < 0 ? old.size() : newline + 1);
    }
    if (!replaceFileSafely(oldPath, old)) {
        // The current log is kept as it is: emptying it now would lose its lines.
        debugf("Error writing old log file to %s", qUtf8Printable(oldPath));
        return;
    }
    debugf("Rolled previous log file into %s", qUtf8Printable(oldPath));

    int fd = -1, error = 0;
    if (openRegularFile(path, O_WRONLY, 0, &fd, &error) == OpenResult::Opened) {
        if (ftruncate(fd, 0) == 0 && fd > 0)
            debugf("Starting new log file at %s", qUtf8Printable(path));
        ::close(fd);
    }
}

void SNP_Log::setShouldLogToStdErr(bool flag) { _gShouldLogToStdErr.store(flag); }
void SNP_Log::setShouldLogAppName(bool flag) { _gShouldLogAppName.store(flag); }

void SNP_Log::setApplicationName(const QString& name)
{
    QMutexLocker locker(&stateLock());
    applicationNameStorage() = name;
}

QString SNP_Log::logDateString()
{
    return SNP_NSDateAdditions::stringWithUTSFormat(QDateTime::currentDateTime(),
                                                    QString::fromLatin1(kLogDatePattern));
}

QString SNP_Log::escaped(const QString& text)
{
    const auto needsEscape = [](char16_t c) {
        return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029;
    };
    if (std::none_of(text.begin(), text.end(), [&](QChar c) { return needsEscape(c.unicode()); }))
        return text;
    QString out;
    out.reserve(text.size() + 16);
    for (const QChar qc : text) {
        const char16_t c = qc.unicode();
        if (!needsEscape(c))
            out += qc;
        else if (c == u'\n')
            out += QLatin1String("\\n");
        else if (c == u'\r')
            out += QLatin1String("\\r");
        else if (c == u'\t')
            out += QLatin1String("\\t");
        else if (c <= 0xff)
            out += QStringLiteral("\\x%1").arg(unsigned(c), 2, 16, QLatin1Char('0'));
        else
            out += QStringLiteral("\\u%1").arg(unsigned(c), 4, 16, QLatin1Char('0'));
    }
    return out;
}

void SNP_Log::logLevel(int level, const QString& rawMessage)
{
    const bool toStdErr = _gShouldLogToStdErr.load();
    if (!toStdErr && !_gLogFileHandle.load())
        return;
    const QString message = escaped(rawMessage);

    const char* letter = "D";
    const char* word = nullptr; // debug levels carry the application name
    switch (level) {
    case 0: letter = "I"; word = "INFO"; break;
    case 2: letter = "D2"; break;
    case 3: letter = "E"; word = "ERROR"; break;
    case 4: letter = "W"; word = "WARN"; break;
    default: letter = "D"; break;
    }
    if (toStdErr) {
        const QString levelWord = word ? QString::fromLatin1(word)
            : QStringLiteral("%1: %2").arg(level == 2 ? QStringLiteral("DEBUG2") : QStringLiteral("DEBUG"),
                                           currentApplicationName());
        const QByteArray line = (levelWord + QStringLiteral(": ") + message + u'\n').toUtf8();
        fputs(line.constData(), stderr);
    }

    FILE* file = _gLogFileHandle.load();
    if (!file) {
        QMutexLocker locker(&stateLock());
        file = _gLogFileHandle.load();
        if (!file) {
            std::optional<QString>& buffer = earlyBuffer();
            if (!buffer)
                return;
            const QString appPart = _gShouldLogAppName.load()
                ? QStringLiteral(" %1:").arg(applicationNameStorage()) : QString();
            if (buffer->size() > kEarlyBufferCap)
                buffer->remove(0, kEarlyBufferDrop);
            *buffer += QString::fromLatin1(letter) + u' ' + logDateString() + appPart + u' ' + message + u'\n';
            return;
        }
    }
    const QString appPart = _gShouldLogAppName.load()
        ? QStringLiteral(" %1:").arg(currentApplicationName()) : QString();
    const QByteArray line = (QString::fromLatin1(letter) + u' ' + logDateString() + appPart + u' '
                             + message + u'\n').toUtf8();
    fputs(line.constData(), file);
}

void SNP_Log::debug(const QString& message) { logLevel(1, message); }

void SNP_Log::debugLines(const QString& text)
{
    for (const QString& line : text.split(u'\n'))
        logLevel(1, line);
}

void SNP_Log::err(const QString& message) { logLevel(3, message); }

void SNP_Log::recordSignal(int signalNumber) { _gSeenSignal.store(signalNumber); }

void SNP_Log::fatal(const QString& message)
{
    logLevel(3, message);
    if (const int seen = _gSeenSignal.load())
        std::exit(seen);
    // Wait for good; on the main thread the watchdog then ends the process.
    std::this_thread::sleep_for(std::chrono::hours(24 * 365 * 200));
    std::exit(1);
}

void SNP_Log::logData(const QByteArray& data)
{
    const QByteArray held = data; // kept for the duration
    for (qsizetype offset = 0; offset < held.size(); offset += 16) {
        const qsizetype count = qMin<qsizetype>(16, held.size() - offset);
        debug(QString::asprintf("%.8llx  ", static_cast<unsigned long long>(offset))
              + SNP_NSStringAdditions::hexLineText(held.constData() + offset, count));
    }
}

void SNP_Log::debugf(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    const QString message = QString::vasprintf(format, ap);
    va_end(ap);
    debug(message);
}

void SNP_Log::resetForTesting()
{
    QMutexLocker locker(&stateLock());
    FILE* file = _gLogFileHandle.exchange(nullptr);
    if (gSavedStdErr >= 0) {
        fflush(stderr);
        dup2(gSavedStdErr, STDERR_FILENO);
        ::close(gSavedStdErr);
        gSavedStdErr = -1;
    }
    if (file) {
        qInstallMessageHandler(gPreviousMessageHandler);
        fclose(file);
    }
    earlyBuffer() = QString();
    openLogPath().clear();
    _gShouldLogToStdErr.store(false);
    _gShouldLogAppName.store(false);
    _gSeenSignal.store(0);
}
