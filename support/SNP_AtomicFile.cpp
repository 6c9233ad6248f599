#include "SNP_AtomicFile.h"

#include "SNP_FileAccess.h"
#include "SNP_Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SNP_ImagePipeline {

namespace {

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

FileResult failure(int error, const QString& message)
{
    FileResult result;
    result.ok = false;
    result.error = error;
    result.message = message;
    SNP_Log::debug(message);
    return result;
}

bool writeAll(int fd, const char* data, size_t size, int* error)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            *error = errno;
            return false;
        }
        if (written == 0) {
            *error = EIO;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

std::atomic<bool> gNoReplaceRenameRefused{false};

// Gives the file `from` the name `to` in the same file system without ever replacing a file
// of that name (EEXIST then). A rename, so that the file arrives whole in one step and a
// watcher sees it arrive (inotify IN_MOVED_TO: an uploader's "a finished file is here").
// Where the file system refuses the no-replace rename (some network file systems), a link
// and the removal of the old name do the same, only without that event. 0, or -1 with errno
// (ENOTSUP: the file system offers neither, so nothing can be placed there without the risk
// of replacing a file).
int renameNoReplace(const char* from, const char* to)
{
    if (!gNoReplaceRenameRefused.load()) {
        if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
            return 0;
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
            return -1;
    }
    if (::link(from, to) != 0) {
        if (errno == EPERM)
            errno = ENOTSUP;
        return -1;
    }
    ::unlink(from);
    return 0;
}

// "base-N.ext" for N > 0, "base.ext" for 0.
QString candidateName(const QString& name, int n)
{
    if (n == 0)
        return name;
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot <= 0)
        return QStringLiteral("%1-%2").arg(name).arg(n);
    return QStringLiteral("%1-%2%3").arg(name.left(dot)).arg(n).arg(name.mid(dot));
}

constexpr int kMaxNameAttempts = 10000;

std::mutex gTemporaryLockingLock;  // a temporary file's creation and its lock are one step
std::mutex gPlacementHookLock;  // guards gPlacementHook
std::function<void(const QByteArray&, const QByteArray&)> gPlacementHook;
}  // namespace

void setPlacementHookForTesting(std::function<void(const QByteArray&, const QByteArray&)> hook)
{
    std::lock_guard<std::mutex> guard(gPlacementHookLock);
    gPlacementHook = std::move(hook);
}

FileResult writeFileAtomically(const QString& path, const QByteArray& bytes, bool replace)
{
    if (path.isEmpty())
        return failure(EINVAL, QStringLiteral("writeFileAtomically: no path given"));
    const QFileInfo info(path);
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    QByteArray tempName = folder + "/." + QFile::encodeName(info.fileName()) + ".XXXXXX";

    // Locked until it is in place (through a descriptor of its own, read-only, so that the
    // file is closed for writing before it is renamed; the lock ends with that descriptor,
    // or with the process): whoever clears up what a power cut left under temporary names
    // knows it is still being written (openLeftoverTemporaryFile).
    int fd = -1;
    int lockFd = -1;
    {
        std::lock_guard<std::mutex> guard(gTemporaryLockingLock);
        fd = ::mkostemp(tempName.data(), O_CLOEXEC);
        if (fd >= 0) {
            lockFd = ::open(tempName.constData(), O_RDONLY | O_CLOEXEC);
            if (lockFd >= 0)
                ::flock(lockFd, LOCK_EX);
        }
    }
    const auto unlock = [&] {
        if (lockFd >= 0)
            ::close(lockFd);
    };
    if (fd < 0) {
        const int error = errno;
        return failure(error, QStringLiteral("cannot create a temporary file in \"%1\": %2 (errno %3)")
                                  .arg(QFile::decodeName(folder), errnoText(error)).arg(error));
    }
    int error = 0;
    const char* step = nullptr;
    if (!SNP_FileAccess::applyToFile(fd)) {
        error = errno;
        step = "set the mode of";
    } else if (!writeAll(fd, bytes.constData(), static_cast<size_t>(bytes.size()), &error)) {
        step = "write";
    } else if (::fsync(fd) != 0) {
        error = errno;
        step = "flush";
    }
    if (::close(fd) != 0 && !step) {
        error = errno;
        step = "close";
    }
    if (!step) {
        {
            std::lock_guard<std::mutex> guard(gPlacementHookLock);
            if (gPlacementHook)
                gPlacementHook(tempName, target);
        }
        const int placed = replace ? ::rename(tempName.constData(), target.constData())
                                   : renameNoReplace(tempName.constData(), target.constData());
        if (placed != 0) {
            error = errno;
            step = "rename into place";
        }
    }
    if (step) {
        ::unlink(tempName.constData());
        unlock();
        return failure(error, QStringLiteral("could not %1 file \"%2\": %3 (errno %4)")
                                  .arg(QString::fromLatin1(step), QFile::decodeName(target), errnoText(error)).arg(error));
    }
    unlock();
    syncFolder(folder);
    FileResult result;
    result.ok = true;
    result.path = QFile::decodeName(target);
    return result;
}

int openLeftoverTemporaryFile(const QByteArray& path)
{
    int fd = -1;
    {
        std::lock_guard<std::mutex> guard(gTemporaryLockingLock);
        fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return -1; // its writer is at work
        }
    }
    if (fd < 0)
        return -1;
    struct stat opened {}, named {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || ::lstat(path.constData(), &named) != 0 ||
        named.st_ino != opened.st_ino || named.st_dev != opened.st_dev) {
        ::close(fd); // placed meanwhile, or no file of ours
        return -1;
    }
    return fd;
}

void setNoReplaceRenameRefusedForTesting(bool refused)
{
    gNoReplaceRenameRefused.store(refused);
}

QString nonCollidingPath(const QString& folder, const QString& name, const std::function<bool(const QString&)>& taken)
{
    const QDir dir(folder);
    for (int n = 0; n < kMaxNameAttempts; ++n) {
        const QString candidate = dir.filePath(candidateName(name, n));
        if (taken && taken(candidate))
            continue;
        struct stat st {};
        if (::lstat(QFile::encodeName(candidate).constData(), &st) != 0 && errno == ENOENT)
            return candidate;
    }
    return QString();
}

FileResult moveFileNoClobber(const QString& from, const QString& toFolder, const QString& name)
{
    if (from.isEmpty() || toFolder.isEmpty() || name.isEmpty() || name.contains(u'/'))
        return failure(EINVAL, QStringLiteral("moveFileNoClobber: bad arguments (\"%1\", \"%2\", \"%3\")").arg(from, toFolder, name));
    const QByteArray source = QFile::encodeName(QFileInfo(from).absoluteFilePath());
    struct stat st {};
    if (::lstat(source.constData(), &st) != 0) {
        const int error = errno;
        return failure(error, QStringLiteral("cannot move \"%1\": %2 (errno %3)").arg(from, errnoText(error)).arg(error));
    }
    if (!S_ISREG(st.st_mode))
        return failure(EINVAL, QStringLiteral("cannot move \"%1\": not a regular file").arg(from));

    const QDir dir(toFolder);
    QByteArray contents; // read only when the move has to copy across file systems
    bool copying = false;
    for (int n = 0; n < kMaxNameAttempts; ++n) {
        const QString candidate = dir.absoluteFilePath(candidateName(name, n));
        const QByteArray target = QFile::encodeName(candidate);
        if (!copying) {
            const int rc = renameNoReplace(source.constData(), target.constData());
            if (rc != 0 && errno == ENOTSUP)
                errno = EXDEV; // no way to give the file a second name here: copy it
            if (rc == 0) {
                syncFolder(QFile::encodeName(dir.absolutePath()));
                FileResult result;
                result.ok = true;
                result.path = candidate;
                return result;
            }
            const int error = errno;
            if (error == EEXIST)
                continue;
            if (error != EXDEV)
                return failure(error, QStringLiteral("cannot move \"%1\" to \"%2\": %3 (errno %4)")
                                          .arg(from, candidate, errnoText(error)).arg(error));
            QFile file(from);
            if (!file.open(QIODevice::ReadOnly))
                return failure(EIO, QStringLiteral("cannot read \"%1\" to copy it: %2").arg(from, file.errorString()));
            contents = file.readAll();
            if (contents.size() != st.st_size)
                return failure(EIO, QStringLiteral("cannot copy \"%1\": read %2 of its %3 bytes")
                                        .arg(from).arg(contents.size()).arg(qint64(st.st_size)));
            copying = true;
        }
        const FileResult written = writeFileAtomically(candidate, contents, false);
        struct stat copied {};
        if (written.ok && (::lstat(target.constData(), &copied) != 0 || copied.st_size != st.st_size)) {
            // Never the case for a copy written whole; the original stays all the same.
            ::unlink(target.constData());
            return failure(EIO, QStringLiteral("the copy of \"%1\" at \"%2\" does not have the original's size; "
                                               "the original is kept").arg(from, candidate));
        }
        if (written.ok) {
            // The copy keeps the mode and group of the file moved.
            if (::chown(target.constData(), uid_t(-1), st.st_gid) != 0 ||
                ::chmod(target.constData(), st.st_mode & 07777) != 0)
                SNP_Log::debugf("could not give \"%s\" the mode of \"%s\": %s", target.constData(), source.constData(),
                                std::strerror(errno));
            if (::unlink(source.constData()) != 0)
                SNP_Log::debugf("copied \"%s\" but could not remove it: %s", source.constData(), std::strerror(errno));
            return written;
        }
        if (written.error != EEXIST)
            return written;
    }
    return failure(EEXIST, QStringLiteral("cannot move \"%1\": no free name for \"%2\" in \"%3\"").arg(from, name, toFolder));
}

namespace {
std::mutex gFolderSyncedObserverLock;  // guards gFolderSyncedObserver
std::function<void(const QByteArray&)> gFolderSyncedObserver;
}  // namespace

void setFolderSyncedObserverForTesting(std::function<void(const QByteArray&)> observer)
{
    std::lock_guard<std::mutex> guard(gFolderSyncedObserverLock);
    gFolderSyncedObserver = std::move(observer);
}

void syncFolder(const QByteArray& folder)
{
    {
        std::lock_guard<std::mutex> guard(gFolderSyncedObserverLock);
        if (gFolderSyncedObserver)
            gFolderSyncedObserver(folder);
    }
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        if (::fsync(fd) != 0)
            SNP_Log::debugf("could not flush the folder \"%s\" to disk: %s", folder.constData(), std::strerror(errno));
        ::close(fd);
    }
}

} // namespace SNP_ImagePipeline
