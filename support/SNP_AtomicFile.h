// Placing files on disk: written whole under a temporary name and renamed into place,
// moved without ever replacing a file, folders flushed so that a name reported written
// survives a power cut, and free "name-N.ext" names found.
//
// State: a lock that makes a temporary file's creation and its flock() one step (so that
// openLeftoverTemporaryFile never takes a file still being written for a leftover), and
// the test switches below (each behind a lock or atomic). Threads: any thread, several at
// once; the test hooks are called on the writing thread. Failures are results: a
// FileResult with ok == false (logged through SNP_Log), or -1 and an empty path where said
// (not logged); no exception leaves these functions.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

namespace SNP_ImagePipeline {

struct FileResult {
    bool ok = false;
    int error = 0;   // errno of the failing call, 0 on success
    QString path;    // the file written or moved to (on success)
    QString message; // what failed, for the log and the caller
};

// Writes the bytes to a temporary file in the target's folder (".name.XXXXXX", locked with
// flock() until it is in place, with the mode and group of SNP_FileAccess), flushes it to
// disk, then renames it into place: over the target (replace == true), or only when no file has that
// name (replace == false: EEXIST when one does; where the file system refuses that rename,
// a link does the same). The file arrives whole under its name in one step, as an
// inotify IN_MOVED_TO; the folder is flushed after, so a file reported written survives a
// power cut. On any failure the temporary file is removed and nothing is left at the
// target that was not there before.
FileResult writeFileAtomically(const QString& path, const QByteArray& bytes, bool replace = true);

// A temporary file of writeFileAtomically that nobody is writing any more (its writer
// died with a power cut or a kill), opened for reading and locked: the caller may place or
// remove it, then closes the descriptor. -1 when it is still being written, gone, placed
// meanwhile, or not a regular file.
int openLeftoverTemporaryFile(const QByteArray& path);

// Called with the temporary file and the target once the file is written and flushed, just
// before it is renamed into place (null: nothing), on the writing thread: to stop a write
// there in tests.
void setPlacementHookForTesting(std::function<void(const QByteArray& temporary, const QByteArray& target)> hook);

// Makes the placement behave as on a file system that refuses the no-replace rename (the
// link is used instead), to test that path on any file system.
void setNoReplaceRenameRefusedForTesting(bool refused);

// Flushes the folder's entries to disk (its file-system path): without it a power cut can
// take back a name made in it that was already reported as written.
void syncFolder(const QByteArray& folder);
// Called with each folder syncFolder flushes (null: none), on the flushing thread, to test
// which names are made durable.
void setFolderSyncedObserverForTesting(std::function<void(const QByteArray&)> observer);

// "name.ext" in the folder when no file has that name, else "name-1.ext", "name-2.ext" ...
// (checked only; moveFileNoClobber settles races). taken, when given, rules out more
// paths (those the caller has promised elsewhere).
QString nonCollidingPath(const QString& folder, const QString& name,
                         const std::function<bool(const QString&)>& taken = {});

// Moves the file into the folder under the name, or under the first free "name-N.ext"
// when a file of that name is there already: an existing file is never replaced. Works
// across file systems (copied and placed as by writeFileAtomically, with the source's mode
// and group, then the source removed). The folder is flushed after the move.
FileResult moveFileNoClobber(const QString& from, const QString& toFolder, const QString& name);

} // namespace SNP_ImagePipeline
