#include "SNP_UploadFolder.h"

#include "SNP_ImagePipeline.h"
#include "SNP_Log.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <filesystem>
#include <system_error>

namespace {

constexpr int kSettleMs = 100;

bool isHidden(const QString& relativePath)
{
    for (const QString& part : relativePath.split(u'/'))
        if (part.startsWith(u'.'))
            return true;
    return false;
}

// Walks below root without following links; calls visit for each entry of the wanted kind.
template <class Visit>
void walk(const QString& root, QDir::Filters kind, Visit visit)
{
    QDirIterator it(root, kind | QDir::NoDotAndDotDot | QDir::NoSymLinks | QDir::Hidden,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        it.next();
        const QString relative = base.relativeFilePath(it.filePath());
        if (!isHidden(relative) && !it.fileInfo().isSymLink())
            visit(relative);
    }
}

// destination, or the same with "-N" before the extension, whichever is free first.
QString freeName(const QString& destination)
{
    if (!QFileInfo::exists(destination))
        return destination;
    const QFileInfo info(destination);
    const QString stem = info.path() + u'/' + info.completeBaseName();
    const QString suffix = info.suffix().isEmpty() ? QString() : u'.' + info.suffix();
    for (int n = 1;; ++n) {
        const QString candidate = QStringLiteral("%1-%2%3").arg(stem).arg(n).arg(suffix);
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
}

} // namespace

QStringList SNP_UploadFolder::uploadFiles(const QString& root)
{
    QStringList files;
    walk(root, QDir::Files, [&](const QString& relative) { files << relative; });
    files.sort();
    return files;
}

QStringList SNP_UploadFolder::folders(const QString& root)
{
    QStringList found{root};
    walk(root, QDir::Dirs, [&](const QString& relative) { found << QDir(root).filePath(relative); });
    return found;
}

std::optional<QString> SNP_UploadFolder::moveInto(const QString& root, const QString& relativePath,
                                                  const QString& destinationRoot, QString* why)
{
    const QString source = QDir(root).filePath(relativePath);
    const QFileInfo wanted(QDir(destinationRoot).filePath(relativePath));
    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(wanted.path()).toStdString(), error);
    if (error) {
        *why = QStringLiteral("cannot create the folder %1: %2")
                   .arg(wanted.path(), QString::fromLocal8Bit(error.message().c_str()));
        return std::nullopt;
    }
    const SNP_ImagePipeline::FileResult moved =
        SNP_ImagePipeline::moveFileNoClobber(source, wanted.path(), wanted.fileName());
    if (!moved.ok) {
        *why = moved.message;
        return std::nullopt;
    }
    return moved.path;
}

bool SNP_UploadFolder::writeNote(const QString& path, const QString& text)
{
    QSaveFile file(freeName(path));
    if (file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0 && file.commit())
        return true;
    SNP_Log::debugf("Cannot write %s: %s", qUtf8Printable(path), qUtf8Printable(file.errorString()));
    return false;
}

SNP_UploadWatcher::SNP_UploadWatcher(const QString& root, QObject* parent) : QObject(parent), _root(root)
{
    _settle.setSingleShot(true);
    _settle.setInterval(kSettleMs);
    connect(&_settle, &QTimer::timeout, this, &SNP_UploadWatcher::changed);
    connect(&_watcher, &QFileSystemWatcher::directoryChanged, &_settle, qOverload<>(&QTimer::start));
    watchFolders();
}

void SNP_UploadWatcher::watchFolders()
{
    if (!QFileInfo(_root).isDir())
        return;
    const QStringList watched = _watcher.directories();
    QStringList missing;
    for (const QString& folder : SNP_UploadFolder::folders(_root))
        if (!watched.contains(folder))
            missing << folder;
    if (!missing.isEmpty())
        _watcher.addPaths(missing);
}
