// The files and folders of the filing (SNP_FilingFiles.h).
#include "SNP_FilingFiles.h"

#include "SNP_FileAccess.h"
#include "SNP_Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace SNP_FilingFiles {

bool makeFolder(const QString& path, QString* error)
{
    std::error_code ec;
    const std::filesystem::path p(QFile::encodeName(QDir::cleanPath(path)).toStdString());
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path q = p; q.has_relative_path() && !std::filesystem::exists(q, ec); q = q.parent_path())
        missing.push_back(q);
    std::filesystem::create_directories(p, ec);
    if (!ec && std::filesystem::is_directory(p, ec)) {
        for (const std::filesystem::path& made : missing) {
            if (!SNP_FileAccess::applyToFolder(QByteArray::fromStdString(made.string())))
                SNP_Log::debugf("could not set the mode of the new folder %s: %s", made.c_str(), std::strerror(errno));
            SNP_ImagePipeline::syncFolder(QByteArray::fromStdString(made.parent_path().string()));
        }
        return true;
    }
    if (error)
        *error = ec ? QString::fromLocal8Bit(ec.message().c_str()) + QStringLiteral(" (errno %1)").arg(ec.value())
                    : QStringLiteral("not a folder");
    return false;
}

// "name" without and with its extension (the part after the last dot).
QString nameWithoutExtension(const QString& name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 ? name.left(dot) : name;
}
QString extensionOf(const QString& name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 ? name.mid(dot + 1) : QString();
}

QString uploadPathFor(const QString& filedPath, const QString& uploadFolder)
{
    const QFileInfo filed(filedPath);
    const QString uploadDayFolder = QDir::cleanPath(uploadFolder + u'/' + filed.path());
    return QDir(uploadDayFolder).filePath(
        QStringLiteral("%1Comp.%2").arg(nameWithoutExtension(filed.fileName()), extensionOf(filed.fileName())));
}

SNP_ImagePipeline::FileResult writeNewFile(const QString& path, const QByteArray& bytes)
{
    const QFileInfo info(path);
    SNP_ImagePipeline::FileResult result;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString candidate = SNP_ImagePipeline::nonCollidingPath(info.absolutePath(), info.fileName());
        if (candidate.isEmpty()) {
            result.message = QStringLiteral("no free file name for %1").arg(path);
            return result;
        }
        result = SNP_ImagePipeline::writeFileAtomically(candidate, bytes, false);
        if (result.ok || result.error != EEXIST)
            return result;
    }
    return result;
}

} // namespace SNP_FilingFiles
