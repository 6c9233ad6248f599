// Who may read the pictures and upload files the booth writes: their owner only (files
// 0600, new folders 0700), or, when the user default "uploaderGroup" names a group, the
// owner and that group (files 0640, new folders 0750, both given the group), so that an
// uploader running as another user of the group can take them. An unknown group, or one
// the booth's user is not in (it could not give its files to it), is logged once and taken
// as none.
//
// Threads: configure() runs once at start on the main thread; everything else may run on
// any thread (the values are atomics).
#pragma once

#include <QString>

#include <sys/types.h>

namespace SNP_FileAccess {

// Reads "uploaderGroup" from the user defaults (logs what it found).
void configure();
// The group by name (empty: none); false, with a log line, for a group the system does
// not know or this user is not in, which is then taken as none.
bool setUploaderGroup(const QString& name);

mode_t fileMode();
mode_t folderMode();
// The uploader's group, or (gid_t)-1 when none is set.
gid_t group();

// Gives an open file its mode and group; false (errno set) when that fails.
bool applyToFile(int fd);
// Gives a folder the booth has just made its mode and group; false (errno set) on failure.
bool applyToFolder(const QByteArray& path);

} // namespace SNP_FileAccess
