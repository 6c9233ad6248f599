// The files and folders of the filing (SNP_Filing), shared by its parts: folders made and
// flushed to disk, new files under a free name, the parts of a file name, and where the
// upload file of a filed picture goes. No state; any thread.
#pragma once

#include "SNP_ImagePipeline.h"

#include <QByteArray>
#include <QString>

namespace SNP_FilingFiles {

// Creates the folder with its missing parents; an existing folder is success. The folder
// each new one is made in is flushed to disk after, so that a power cut cannot take back a
// new day folder holding a picture already reported filed (the file's own folder is
// flushed when the file is placed).
bool makeFolder(const QString& path, QString* error);

// "name" without and with its extension (the part after the last dot).
QString nameWithoutExtension(const QString& name);
QString extensionOf(const QString& name);

// The upload file's path for a filed picture: the day folder's whole path repeated below
// the upload folder, and the name with "Comp" before its extension.
QString uploadPathFor(const QString& filedPath, const QString& uploadFolder);

// Writes bytes under path, or under the first free "name-N.ext" beside it when a file of
// that name is there already. The written path, or the failure's message.
SNP_ImagePipeline::FileResult writeNewFile(const QString& path, const QByteArray& bytes);

} // namespace SNP_FilingFiles
