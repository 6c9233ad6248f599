// The upload folder as the mailer sees it: the files the booth has put into it (in its
// day folders, at any depth), a watch on every folder of the tree, and moving a file out
// into the same relative place under the sent or failed folder.
//
// Only plain files count: names beginning with "." (the booth's temporary files before
// they are linked into place) are skipped, and so are symbolic links, files or folders, so
// that nothing outside the upload folder can ever be attached to a message.
//
// Threads: everything on the thread that created the watcher (it delivers its signal
// there); the free functions on any thread.
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <optional>

namespace SNP_UploadFolder {

// The plain, non-hidden files below root, as paths relative to it, sorted.
QStringList uploadFiles(const QString& root);
// The folders below root (root included) that are not hidden and not links.
QStringList folders(const QString& root);

// Moves root/relativePath to destinationRoot/relativePath, creating the folders on the
// way. A file already there is never replaced: the moved file then gets "-1", "-2", ...
// before its extension. A move to another file system copies the file under a temporary
// name, flushes it, checks its size and renames it into place before the original is
// removed (SNP_ImagePipeline::moveFileNoClobber). Answers the new path; nothing, with the
// reason, when the move failed: the file is then where it was, and nothing of it is left
// at the destination.
std::optional<QString> moveInto(const QString& root, const QString& relativePath, const QString& destinationRoot,
                                QString* why);

// Writes text to path (a new file beside a failed picture); false, logged, on failure.
bool writeNote(const QString& path, const QString& text);

} // namespace SNP_UploadFolder

// Watches the upload folder and every folder below it. A change anywhere (a file linked or
// renamed into place, a new day folder) is reported once through changed(), shortly after
// it happened so that a burst of changes gives one report.
class SNP_UploadWatcher : public QObject {
    Q_OBJECT
public:
    explicit SNP_UploadWatcher(const QString& root, QObject* parent = nullptr);
    // Watches the folders that exist now; call it before each scan, so that a file put into
    // a new day folder after the scan is still announced.
    void watchFolders();

Q_SIGNALS:
    void changed();

private:
    QString _root;
    QFileSystemWatcher _watcher;
    QTimer _settle;
};
