// Filing of a visitor's picture (SNP_Filing.h): the clock and the step hook of the tests,
// the picture with its addresses into the scratch folder and from there into the folder of
// its day, the claims on scratch files, and the camera files kept for staff or copied for
// the operator. The upload file is made in SNP_FilingUpload.cpp, the pictures held back are
// taken up in SNP_FilingHeldBack.cpp; the folders and free names are SNP_FilingFiles.
#include "SNP_Filing.h"

#include "SNP_FilingFiles.h"
#include "SNP_Log.h"
#include "SNP_NSDateAdditions.h"
#include "SNP_XMLinEXIF.h"

#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QRegularExpression>

using SNP_FilingFiles::extensionOf;
using SNP_FilingFiles::makeFolder;
using SNP_FilingFiles::writeNewFile;

namespace {

QMutex gClockLock;  // guards gClock
std::function<QDateTime()> gClock;
QMutex gStepHookLock;  // guards gStepHook
std::function<void(const char*, const QString&)> gStepHook;

void step(const char* name, const QString& path)
{
    std::function<void(const char*, const QString&)> hook;
    {
        QMutexLocker l(&gStepHookLock);
        hook = gStepHook;
    }
    if (hook)
        hook(name, path);
}

// The time stamp, with the extension when there is one (never a name ending in a dot).
QString timeStampName(const QString& extension)
{
    const QString stamp = SNP_NSDateAdditions::stringWithUTSFormat(SNP_Filing::now(), QStringLiteral("yyyyMMddHHmmss"));
    return extension.isEmpty() ? stamp : stamp + u'.' + extension;
}

// A visitor's property list as the log shows it: the addresses masked (the accepted
// addresses are logged once, when the visitor accepts them).
QString describeMasked(const std::optional<QVariant>& propertyList)
{
    if (!propertyList)
        return QStringLiteral("(null)");
    QVariantMap map = propertyList->toMap();
    if (!map.contains(QBEmailsForUpload))
        return SNP_XMLinEXIF::describe(*propertyList);
    map.insert(QBEmailsForUpload, SNP_Log::maskedAddresses(map.value(QBEmailsForUpload).toStringList()));
    return SNP_XMLinEXIF::describe(map);
}

} // namespace

void SNP_Filing::setClockForTesting(std::function<QDateTime()> clock)
{
    QMutexLocker l(&gClockLock);
    gClock = std::move(clock);
}

QDateTime SNP_Filing::now()
{
    QMutexLocker l(&gClockLock);
    return gClock ? gClock() : QDateTime::currentDateTime();
}

void SNP_Filing::setStepHookForTesting(std::function<void(const char*, const QString&)> hook)
{
    QMutexLocker l(&gStepHookLock);
    gStepHook = std::move(hook);
}

std::optional<QByteArray> SNP_Filing::reencodeForAddresses(const QByteArray& picture)
{
    return SNP_ImagePipeline::recompressJpeg(picture, SNP_ImagePipeline::kJpegQuality);
}

// The picture with its addresses embedded: re-encoded (by the re-encoding started
// beforehand, when there is one), its EXIF data kept.
static std::optional<QByteArray> embedAddresses(const QByteArray& picture, const QStringList& addresses,
                                                SNP_Filing::Reencoding& reencoding)
{
    const QVariantMap propertyList{{QBEmailsForUpload, addresses}};
    if (!reencoding.valid())
        return SNP_XMLinEXIF::jpegDataWithPropertyListObject(propertyList, picture);
    std::optional<QByteArray> reencoded;
    try {
        reencoded = reencoding.get();
    } catch (const std::exception& e) {
        SNP_Log::debugf("the re-encoding failed: %s", e.what());
    }
    return SNP_XMLinEXIF::jpegDataWithPropertyListObject(propertyList, picture, reencoded.value_or(QByteArray()));
}

SNP_Filing::Result SNP_Filing::fileVisitorPicture(const QByteArray& picture, const QStringList& addresses,
                                                  const Folders& folders, Reencoding reencoding,
                                                  const QImage& decodedPhoto, const OwnFiled& ownFiled)
{
    Result result;
    if (picture.isEmpty() || addresses.isEmpty()) {
        SNP_Log::debugf("no %s for the new picture: nothing is filed", picture.isEmpty() ? "picture data" : "addresses");
        return result;
    }

    const std::optional<QByteArray> embedded = embedAddresses(picture, addresses, reencoding);
    const QString scratchName = timeStampName(QStringLiteral("jpg"));
    const QString scratchPath = QDir(folders.scratch).filePath(scratchName);
    SNP_Log::debugf("writing file to %s", qUtf8Printable(scratchPath));

    QString folderError;
    if (!makeFolder(folders.scratch, &folderError)) {
        SNP_Log::debugf("COULD NOT File at path: [%s] due to \"%s\"", qUtf8Printable(scratchPath),
                        qUtf8Printable(QStringLiteral("the scratch folder cannot be made: ") + folderError));
        return result;
    }

    if (!embedded) {
        // The camera's bytes are no picture the addresses can go into: they are kept for
        // staff under the time-stamp name, and nothing is uploaded for them.
        SNP_Log::debugf("COULD NOT File at path: [%s] due to \"%s\"", qUtf8Printable(scratchPath),
                        "the camera's picture could not be decoded to embed the addresses");
        const auto kept = writeNewFile(scratchPath, picture);
        if (kept.ok) {
            SNP_Log::debugf("kept the camera's %lld bytes at [%s] for recovery; nothing is uploaded for them",
                            static_cast<long long>(picture.size()), qUtf8Printable(kept.path));
            result.scratchPath = kept.path;
        } else {
            SNP_Log::debugf("could not keep the camera's bytes either: %s", qUtf8Printable(kept.message));
        }
        return result;
    }

    const auto written = writeClaimedScratchFile(folders.scratch, scratchName, *embedded);
    if (!written.ok) {
        SNP_Log::debugf("COULD NOT File at path: [%s] due to \"%s\"", qUtf8Printable(scratchPath),
                        qUtf8Printable(written.message));
        return result;
    }
    const QString path = written.path;
    SNP_Log::debugf("Wrote File at path: [%s]", qUtf8Printable(path));
    step("scratch file written", path);
    // Read back from the file written, so that the log shows what the file carries.
    SNP_Log::debugLines(QStringLiteral("property list from new image:\n%1")
                            .arg(describeMasked(SNP_XMLinEXIF::propertyListObjectForJpegAtPath(path))));

    result = fileClaimedScratchPicture(path, folders, decodedPhoto);
    releaseScratchFile(path);
    result.scratchPath = path;
    result.scratchHasAddresses = true;
    if (result.uploaded) { // there is room again for what a disk fault held back
        if (ownFiled)
            ownFiled(result);
        result.heldBackFiled = fileHeldBackPictures(folders);
    }
    return result;
}

SNP_Filing::Result SNP_Filing::fileScratchPicture(const QString& path, const Folders& folders,
                                                  const QImage& decodedPhoto)
{
    if (!claimScratchFile(path)) {
        SNP_Log::debugf("the picture [%s] is being filed already", qUtf8Printable(path));
        return Result();
    }
    Result result = fileClaimedScratchPicture(path, folders, decodedPhoto);
    releaseScratchFile(path);
    return result;
}

SNP_Filing::Result SNP_Filing::fileClaimedScratchPicture(const QString& path, const Folders& folders,
                                                         const QImage& decodedPhoto)
{
    Result result;
    const QString fileName = QFileInfo(path).fileName();
    SNP_Log::debugf("sourceFileName without Path = [%s]", qUtf8Printable(fileName));

    // The day is the day of filing, not of the picture's name.
    const QString today = SNP_NSDateAdditions::stringWithUTSFormat(now(), QStringLiteral("yyyy-MM-dd"));
    const QString dayFolder = QDir::cleanPath(folders.mainImages + u'/' + today);
    SNP_Log::debugf("todaysDate = [ %s]", qUtf8Printable(today));
    SNP_Log::debugf("newMainImagPath = [ %s]", qUtf8Printable(folders.mainImages));
    SNP_Log::debugf("todaysImagesFolder = [ %s]", qUtf8Printable(dayFolder));

    QString error;
    if (!makeFolder(dayFolder, &error)) {
        SNP_Log::debugLines(QStringLiteral("FOUND ERROR while trying to create todya's folder???:\n%1").arg(error));
        return result;
    }
    SNP_Log::debugf("DidCreate folder: [%s]", qUtf8Printable(dayFolder));

    // The move never replaces a picture filed earlier under the same name: the new one
    // takes the next free name, and the composite is made from it.
    const QString destination = QDir(dayFolder).filePath(fileName);
    SNP_Log::debugf("The NEW Destination Path is: [%s]", qUtf8Printable(destination));
    // Recorded before it leaves the scratch folder: a cut from here on leaves the record
    // that its upload file is still to be made. Without the record it stays where it is.
    const QString intended = SNP_ImagePipeline::nonCollidingPath(dayFolder, fileName);
    if (intended.isEmpty() || !recordPendingUpload(folders.scratch, intended, path)) {
        SNP_Log::debug(QStringLiteral("UNABLE to Move the item.."));
        SNP_Log::debugf("Error in Moving the item: [%s]",
                        "the record of uploads held back cannot be written: the picture stays in the scratch folder");
        return result;
    }
    step("recorded", path);
    const auto moved = SNP_ImagePipeline::moveFileNoClobber(path, dayFolder, fileName);
    if (!moved.ok) {
        SNP_Log::debug(QStringLiteral("UNABLE to Move the item.."));
        SNP_Log::debugf("Error in Moving the item: [%s]", qUtf8Printable(moved.message));
        // The picture stays in the scratch folder; no upload is made from whatever file
        // might stand at the destination.
        QMutexLocker l(&_heldBackLock);
        dropPendingUpload(folders.scratch, intended);
        return result;
    }
    if (moved.path != intended) {
        QMutexLocker l(&_heldBackLock);
        updatePendingUpload(folders.scratch, intended, moved.path);
    }
    result.filedPath = moved.path;
    if (moved.path != destination)
        SNP_Log::debugf("a picture named %s is filed already; this one is filed as %s", qUtf8Printable(fileName),
                        qUtf8Printable(QFileInfo(moved.path).fileName()));
    SNP_Log::debugf("didMove to path: [%s]", qUtf8Printable(moved.path));
    step("filed", moved.path);
    result.uploaded = writeUploadForFiledPicture(moved.path, folders, decodedPhoto, &result);
    if (result.uploaded)
        step("upload file written", result.uploadPath);
    QMutexLocker l(&_heldBackLock);
    if (result.uploaded) {
        dropPendingUpload(folders.scratch, moved.path);
    } else {
        // Its upload file is made once a later visitor's goes through (or at the next start).
        for (PendingUpload& pending : pendingUploads(folders.scratch))
            if (pending.filed == moved.path)
                pending.inFlight = false;
        countUploadsHeldBack();
    }
    return result;
}

SNP_ImagePipeline::FileResult SNP_Filing::writeClaimedScratchFile(const QString& folder, const QString& name,
                                                                  const QByteArray& bytes)
{
    SNP_ImagePipeline::FileResult result;
    result.message = QStringLiteral("no free file name for %1 in %2").arg(name, folder);
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString candidate;
        {
            QMutexLocker l(&_scratchClaimsLock);
            candidate = SNP_ImagePipeline::nonCollidingPath(
                folder, name, [this](const QString& path) { return _scratchClaims.contains(path); });
            if (candidate.isEmpty())
                return result;
            _scratchClaims.insert(candidate);
        }
        result = SNP_ImagePipeline::writeFileAtomically(candidate, bytes, false);
        if (result.ok)
            return result;
        releaseScratchFile(candidate);
        if (result.error != EEXIST)
            return result;
    }
    return result;
}

bool SNP_Filing::claimScratchFile(const QString& path)
{
    QMutexLocker l(&_scratchClaimsLock);
    if (_scratchClaims.contains(path))
        return false;
    _scratchClaims.insert(path);
    return true;
}

void SNP_Filing::releaseScratchFile(const QString& path)
{
    QMutexLocker l(&_scratchClaimsLock);
    _scratchClaims.remove(path);
}

// The extension of the camera's file name, in lower case. It comes from the camera: only
// letters and digits are taken, so that a name like "x./../../home/a" cannot lead a file
// out of its folder; otherwise (or without one) the fallback.
static QString safeExtensionOf(const QString& cameraFileName, const QString& fallback)
{
    const QString extension = extensionOf(cameraFileName).toLower();
    static const QRegularExpression safeExtension(QStringLiteral("^[a-z0-9]{1,10}$"));
    if (safeExtension.match(extension).hasMatch())
        return extension;
    if (!extension.isEmpty())
        SNP_Log::debugf("the camera's file name \"%s\" has an unusable extension; .%s is used",
                        qUtf8Printable(cameraFileName), qUtf8Printable(fallback));
    return fallback;
}

QString SNP_Filing::keepCameraFileForStaff(const QByteArray& bytes, const QString& cameraFileName,
                                           const QString& scratchFolder)
{
    QString error;
    if (bytes.isEmpty() || !makeFolder(scratchFolder, &error)) {
        SNP_Log::debugf("could not keep the camera's file %s for staff: %s", qUtf8Printable(cameraFileName),
                        bytes.isEmpty() ? "no bytes" : qUtf8Printable(error));
        return QString();
    }
    const QString path = QDir(scratchFolder).filePath(timeStampName(safeExtensionOf(cameraFileName, QStringLiteral("raw"))));
    const auto kept = writeNewFile(path, bytes);
    if (!kept.ok) {
        SNP_Log::debugf("could not keep the camera's file %s for staff: %s", qUtf8Printable(cameraFileName),
                        qUtf8Printable(kept.message));
        return QString();
    }
    return kept.path;
}

QString SNP_Filing::saveCopyForOperator(const QByteArray& picture, const QString& cameraFileName)
{
    // A camera file without an extension is named as what it is: a JPEG, or nothing.
    const QString extension = !extensionOf(cameraFileName).isEmpty() ? safeExtensionOf(cameraFileName, QStringLiteral("jpg"))
                              : SNP_ImagePipeline::readJpegHeader(picture) ? QStringLiteral("jpg")
                                                                            : QString();
    const QString path = QStringLiteral("/tmp/") + timeStampName(extension);
    SNP_Log::debugf("saving camera image  \"%s\" to \"%s\"", qUtf8Printable(cameraFileName), qUtf8Printable(path));
    // /tmp is everybody's: the file is created new (a name taken, or a link planted under
    // it, makes it take the next free name) and never written through an existing one.
    SNP_ImagePipeline::FileResult saved;
    if (!picture.isEmpty())
        saved = writeNewFile(path, picture);
    if (!saved.ok) {
        SNP_Log::debugf("failed to save image to path %s", qUtf8Printable(path));
        return QString();
    }
    return saved.path;
}
