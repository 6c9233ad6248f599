// Filing of a visitor's picture (SNP_Filing.h).
#include "SNP_Filing.h"

#include "SNP_FileAccess.h"
#include "SNP_Log.h"
#include "SNP_NSDateAdditions.h"
#include "SNP_Resources.h"
#include "SNP_XMLinEXIF.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <cmath>
#include <filesystem>
#include <system_error>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

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

// Creates the folder with its missing parents; an existing folder is success. The folder
// each new one is made in is flushed to disk after, so that a power cut cannot take back a
// new day folder holding a picture already reported filed (the file's own folder is
// flushed when the file is placed).
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

bool existsUnfollowed(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool sameBytes(const QString& a, const QString& b)
{
    QFile fa(a), fb(b);
    return fa.open(QIODevice::ReadOnly) && fb.open(QIODevice::ReadOnly) && fa.size() == fb.size() &&
           fa.readAll() == fb.readAll();
}

// A JPEG that decodes to its end.
bool isWholeJpeg(const QByteArray& bytes)
{
    return bytes.endsWith("\xff\xd9") && SNP_ImagePipeline::decodeJpegScaled(bytes, QSize(1, 1)).has_value();
}

// The upload file's path for a filed picture: the day folder's whole path repeated below
// the upload folder, and the name with "Comp" before its extension.
QString uploadPathFor(const QString& filedPath, const QString& uploadFolder)
{
    const QFileInfo filed(filedPath);
    const QString uploadDayFolder = QDir::cleanPath(uploadFolder + u'/' + filed.path());
    return QDir(uploadDayFolder).filePath(
        QStringLiteral("%1Comp.%2").arg(nameWithoutExtension(filed.fileName()), extensionOf(filed.fileName())));
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

// Writes bytes under path, or under the first free "name-N.ext" beside it when a file of
// that name is there already. The written path, or the failure's message.
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

// Size in points of an image whose file declares its resolution (72 dpi when it does not).
// Files keep their resolution in whole dots per metre (72 dpi is stored as 2835): a
// value that is within a twentieth of a whole dpi count is taken as that count.
double dotsPerInch(int dotsPerMeter)
{
    if (dotsPerMeter <= 0)
        return 72.0;
    const double dpi = dotsPerMeter * 0.0254;
    return std::abs(dpi - std::round(dpi)) < 0.05 ? std::round(dpi) : dpi;
}

QSizeF sizeInPoints(const QImage& image)
{
    return QSizeF(image.width() * 72.0 / dotsPerInch(image.dotsPerMeterX()),
                  image.height() * 72.0 / dotsPerInch(image.dotsPerMeterY()));
}

// The sizes of the photo and the frame, as the booth has always logged them.
void logCompositeSizes(const QSizeF& photoSize, const QImage& frame)
{
    const QSizeF frameSize = sizeInPoints(frame);
    for (int i = 0; i < 2; ++i) {
        SNP_Log::debugf("sourceImageSize (%2.2f,%2.2f)", photoSize.width(), photoSize.height());
        SNP_Log::debugf("korvanexImageSize (%2.2f,%2.2f)", frameSize.width(), frameSize.height());
    }
    SNP_Log::debugLines(QStringLiteral("2010-02-02 Array of reps for korvanexImage:\n(\n    QImage %1x%2 pixels, %3x%4 dpi\n)")
                       .arg(frame.width())
                       .arg(frame.height())
                       .arg(dotsPerInch(frame.dotsPerMeterX()), 0, 'f', 0)
                       .arg(dotsPerInch(frame.dotsPerMeterY()), 0, 'f', 0));
    SNP_Log::debugf("curRepSize of korvanexImage at index 0 is (%2.2f,%2.2f)", frameSize.width(), frameSize.height());
    SNP_Log::debugf("curRepSize of korvanexImage at index 0 is (%i,%i) Pixels", frame.width(), frame.height());
    SNP_Log::debugf("curRepSize of korvanexImage at index 0 is (%i,%i) Pixels", frame.width(), frame.height());
    SNP_Log::debugf("Forcing the Pixel size of compositeImage to (%i,%i) Pixels", frame.width(), frame.height());
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

bool SNP_Filing::writeUploadForFiledPicture(const QString& filedPath, const Folders& folders,
                                            const QImage& decodedPhoto, Result* result)
{
    const QString uploadPath = uploadPathFor(filedPath, folders.forUpload);
    const QString uploadDayFolder = QFileInfo(uploadPath).path();
    SNP_Log::debugf(" the NewFormed forUploadPath = [%s]", qUtf8Printable(uploadDayFolder));
    SNP_Log::debugf(" the NewFormed toBeUploadedItemPath = [%s]", qUtf8Printable(uploadPath));

    // A folder that cannot be made makes the write below fail, which says why.
    QString error;
    if (!makeFolder(uploadDayFolder, &error))
        SNP_Log::debugf("Unable to create Directory at: [%s]", qUtf8Printable(uploadDayFolder));

    const QImage frame = SNP_Resources::imageNamed(QString::fromLatin1(SNP_Resources::kFrameImageName));
    QByteArray photo;
    {
        QFile file(filedPath);
        if (file.open(QIODevice::ReadOnly))
            photo = file.readAll();
    }
    const auto photoHeader = SNP_ImagePipeline::readJpegHeader(photo);
    if (!photoHeader)
        SNP_Log::debug(QStringLiteral("???? sourceImage is nil???"));
    if (frame.isNull())
        SNP_Log::debug(QStringLiteral("???? korvanexImage is nil???"));
    if (!photoHeader || frame.isNull())
        return false;

    // The composite takes the frame's pixel size whatever resolution the frame declares;
    // the photo is stretched into its window, the frame drawn over it.
    logCompositeSizes(QSizeF(photoHeader->width, photoHeader->height), frame);
    const std::optional<QImage> composite = decodedPhoto.isNull()
                                                ? SNP_ImagePipeline::makeComposite(photo, frame)
                                                : SNP_ImagePipeline::makeComposite(decodedPhoto, frame);
    if (!composite)
        SNP_Log::debug(QStringLiteral("Inside doPostProcessImageForPath has imageRep = NIL????"));

    // The composite carries the filed picture's EXIF data (its addresses included); only
    // the metadata of the filed picture is read for it.
    bool wrote = false;
    QString writtenPath;
    if (composite) {
        SNP_Log::debugf("iRep = [%s]", qUtf8Printable(QStringLiteral("JPEG %1x%2 pixels, %3 bytes")
                                                          .arg(photoHeader->width)
                                                          .arg(photoHeader->height)
                                                          .arg(photo.size())));
        SNP_Log::debugLines(QStringLiteral("plist2 is [%1]").arg(SNP_ImagePipeline::exifSummaryOfJpeg(photo)));
        if (const std::optional<QByteArray> jpeg = SNP_ImagePipeline::compositeJpegFromImage(*composite, photo)) {
            const auto out = writeNewFile(uploadPath, *jpeg);
            wrote = out.ok;
            writtenPath = out.path;
            if (!out.ok)
                SNP_Log::debug(out.message);
            if (out.ok && out.path != uploadPath)
                SNP_Log::debugf("an upload file of that name exists already; this one is %s", qUtf8Printable(out.path));
        }
    }
    if (wrote) {
        SNP_Log::debugf("Success in writing to resized file... to path [%s]", qUtf8Printable(writtenPath));
        if (result)
            result->uploadPath = writtenPath;
    } else {
        SNP_Log::debug(QStringLiteral("WHAT??????? Did NOT write to the resized file????"));
    }
    return wrote;
}

int SNP_Filing::uploadsHeldBackCount() const { return _uploadsHeldBackCount.load(); }

void SNP_Filing::countUploadsHeldBack()
{
    int held = 0;
    for (const QList<PendingUpload>& folder : _heldBack.uploads)
        for (const PendingUpload& pending : folder)
            held += pending.inFlight ? 0 : 1;
    _uploadsHeldBackCount.store(held);
}

QStringList SNP_Filing::uploadsHeldBack() const
{
    QMutexLocker l(&_heldBackLock);
    QStringList held;
    for (const QList<PendingUpload>& folder : _heldBack.uploads)
        for (const PendingUpload& pending : folder)
            if (!pending.inFlight)
                held << pending.filed;
    return held;
}

int SNP_Filing::fileHeldBackPictures(const Folders& folders)
{
    // One pass at a time: two filings must not both take the same held-back picture.
    if (!_heldBackPassLock.tryLock())
        return 0;
    clearUpAfterInterruption(folders);
    int done = 0;
    int tried = 0;
    if (fileHeldBackUploads(folders, &done, &tried))
        fileHeldBackScratchPictures(folders, &done, &tried);
    _heldBackPassLock.unlock();
    return done;
}

// Filed pictures without their upload file. False when one still fails: the rest waits
// for the next visitor.
bool SNP_Filing::fileHeldBackUploads(const Folders& folders, int* done, int* tried)
{
    QList<PendingUpload> uploads;
    {
        QMutexLocker l(&_heldBackLock);
        for (const PendingUpload& pending : pendingUploads(folders.scratch))
            if (!pending.inFlight && uploads.size() < kHeldBackPerIntake)
                uploads << pending;
    }
    bool goOn = true;
    for (const PendingUpload& pending : uploads) {
        ++*tried;
        const QString& filed = pending.filed;
        const bool there = QFileInfo::exists(filed);
        // (a damaged record naming the filed picture as its own scratch copy must not remove it)
        const bool scratchThere = pending.scratch != filed && QFileInfo::exists(pending.scratch);
        const QString uploadPath = uploadPathFor(filed, folders.forUpload);
        bool written = false, givenUp = false;
        if (!there && scratchThere) {
            SNP_Log::debugf("the picture [%s] was not filed before the interruption; it is filed from the scratch folder",
                            qUtf8Printable(pending.scratch));
        } else if (!there) {
            SNP_Log::debugf("the picture [%s] held back for its upload file is gone; its upload is dropped",
                            qUtf8Printable(filed));
        } else {
            // A copy across file systems cut before its source was removed leaves the
            // picture in both places: the scratch copy goes.
            if (scratchThere && claimScratchFile(pending.scratch)) {
                if (sameBytes(pending.scratch, filed) && QFile::remove(pending.scratch))
                    SNP_Log::debugf("the scratch file [%s] was filed already as [%s]; it is removed",
                                    qUtf8Printable(pending.scratch), qUtf8Printable(filed));
                releaseScratchFile(pending.scratch);
            }
            if (existsUnfollowed(uploadPath)) {
                SNP_Log::debugf("the upload file [%s] was written before the interruption", qUtf8Printable(uploadPath));
                written = true;
            } else {
                SNP_Log::debugf("making the upload file held back for [%s]", qUtf8Printable(filed));
                written = writeUploadForFiledPicture(filed, folders, QImage(), nullptr);
            }
        }
        QMutexLocker l(&_heldBackLock);
        if (there && !written) {
            for (PendingUpload& entry : pendingUploads(folders.scratch))
                if (entry.filed == filed)
                    givenUp = ++entry.attempts >= kHeldBackAttempts;
            if (givenUp)
                SNP_Log::debugf("the upload file for [%s] failed %d times; it is no longer tried", qUtf8Printable(filed),
                                kHeldBackAttempts);
        }
        if (written || !there || givenUp) {
            dropPendingUpload(folders.scratch, filed);
        } else {
            saveRecord(folders.scratch); // the attempt counted
            goOn = false;
            break;
        }
        ++*done;
    }
    return goOn;
}

// Pictures left in the scratch folder with their visitor's addresses.
void SNP_Filing::fileHeldBackScratchPictures(const Folders& folders, int* done, int* tried)
{
    const QDir scratch(folders.scratch);
    const QStringList names = scratch.entryList({QStringLiteral("*.jpg"), QStringLiteral("*.jpeg"),
                                                 QStringLiteral("*.JPG"), QStringLiteral("*.JPEG")},
                                                QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names) {
        if (*tried >= kHeldBackPerIntake)
            break;
        const QString held = scratch.filePath(name);
        {
            QMutexLocker l(&_heldBackLock);
            if (_heldBack.scratchLeftAlone.contains(held))
                continue;
        }
        // A picture another filing has written and not yet moved is not held back.
        if (!claimScratchFile(held))
            continue;
        const std::optional<QVariantMap> dictionary = SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(held);
        const QStringList addresses =
            dictionary ? dictionary->value(QBEmailsForUpload).toStringList() : QStringList();
        if (addresses.isEmpty()) {
            // Bytes kept for staff (no picture the addresses could go into): never filed.
            releaseScratchFile(held);
            QMutexLocker l(&_heldBackLock);
            _heldBack.scratchLeftAlone.insert(held);
            continue;
        }
        ++*tried;
        SNP_Log::debugf("filing the picture held back in the scratch folder: [%s]", qUtf8Printable(held));
        const bool uploaded = fileClaimedScratchPicture(held, folders, QImage()).uploaded;
        releaseScratchFile(held);
        QMutexLocker l(&_heldBackLock);
        if (!uploaded) {
            if (QFileInfo::exists(held) && ++_heldBack.scratchFailures[held] >= kHeldBackAttempts) {
                SNP_Log::debugf("the picture [%s] could not be filed %d times; it stays in the scratch folder for "
                                "staff",
                                qUtf8Printable(held), kHeldBackAttempts);
                _heldBack.scratchLeftAlone.insert(held);
            }
            return;
        }
        _heldBack.scratchFailures.remove(held);
        ++*done;
    }
}

// What a cut left under temporary names (".name.XXXXXX", see writeFileAtomically): in the
// scratch folder and the upload folder a whole picture is put under its name (a scratch
// picture is then filed like any held back), anything else removed; in the day folders
// (a copy across file systems whose source is still in the scratch folder) it is removed.
// Files still being written are left alone.
void SNP_Filing::clearUpAfterInterruption(const Folders& folders)
{
    static const QRegularExpression temporary(QStringLiteral("^\\.(.+)\\.[A-Za-z0-9]{6}$"));
    enum class Kind { Scratch, DayFolders, Upload };
    const auto clearUp = [&](const QString& folder, Kind kind) {
        if (folder.isEmpty() || !QFileInfo(folder).isDir())
            return;
        QDirIterator it(folder, {QStringLiteral(".*")}, QDir::Files | QDir::Hidden | QDir::System,
                        kind == Kind::Scratch ? QDirIterator::NoIteratorFlags : QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QRegularExpressionMatch match = temporary.match(it.fileName());
            if (!match.hasMatch())
                continue;
            const int fd = SNP_ImagePipeline::openLeftoverTemporaryFile(QFile::encodeName(path));
            if (fd < 0)
                continue;
            struct stat st {};
            const bool linked = ::fstat(fd, &st) == 0 && st.st_nlink > 1; // linked into place already
            QByteArray bytes;
            QFile file;
            if (!linked && kind != Kind::DayFolders && file.open(fd, QIODevice::ReadOnly))
                bytes = file.readAll();
            const QString dir = QFileInfo(path).path(), name = match.captured(1);
            const bool whole = !bytes.isEmpty() && isWholeJpeg(bytes);
            const bool place = whole && (kind == Kind::Scratch || !existsUnfollowed(QDir(dir).filePath(name)));
            const char* what = linked ? "already placed"
                               : kind == Kind::DayFolders ? "copied (its picture is still in the scratch folder)"
                               : whole ? "already placed" : "incomplete";
            if (place) {
                const auto placed = SNP_ImagePipeline::moveFileNoClobber(path, dir, name);
                if (placed.ok)
                    SNP_Log::debugf("the whole picture an interruption left at [%s] is put in its place: [%s]",
                                    qUtf8Printable(path), qUtf8Printable(placed.path));
            } else if (::unlink(QFile::encodeName(path).constData()) == 0) {
                SNP_Log::debugf("removed the %s file an interruption left at [%s] (%lld bytes)", what,
                                qUtf8Printable(path), static_cast<long long>(st.st_size));
                SNP_ImagePipeline::syncFolder(QFile::encodeName(dir));
            }
            file.close();
            ::close(fd);
        }
    };
    clearUp(folders.scratch, Kind::Scratch);
    clearUp(folders.mainImages, Kind::DayFolders);
    clearUp(folders.forUpload, Kind::Upload);
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

QList<SNP_Filing::PendingUpload>& SNP_Filing::pendingUploads(const QString& scratchFolder)
{
    const auto found = _heldBack.uploads.find(scratchFolder);
    if (found != _heldBack.uploads.end())
        return *found;
    QList<PendingUpload>& pending = _heldBack.uploads[scratchFolder];
    QFile file(QDir(scratchFolder).filePath(QString::fromLatin1(kRecordName)));
    if (!file.exists())
        return pending;
    QJsonParseError error{};
    const QJsonDocument document =
        file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll(), &error) : QJsonDocument();
    if (!document.isObject()) {
        SNP_Log::debugf("the record of uploads held back [%s] cannot be read (%s): the filed pictures it named get "
                        "no upload file by themselves",
                        qUtf8Printable(file.fileName()),
                        qUtf8Printable(file.isOpen() ? error.errorString() : file.errorString()));
        return pending;
    }
    for (const QJsonValue& value : document.object().value(QStringLiteral("uploads")).toArray()) {
        const QJsonObject entry = value.toObject();
        PendingUpload upload;
        upload.filed = entry.value(QStringLiteral("filed")).toString();
        upload.scratch = entry.value(QStringLiteral("scratch")).toString();
        upload.attempts = entry.value(QStringLiteral("attempts")).toInt();
        if (!upload.filed.isEmpty() && pending.size() < kHeldBackLimit)
            pending << upload;
    }
    if (!pending.isEmpty())
        SNP_Log::debugf("%lld filed pictures wait for their upload file (from [%s])",
                        static_cast<long long>(pending.size()), qUtf8Printable(file.fileName()));
    countUploadsHeldBack();
    return pending;
}

bool SNP_Filing::saveRecord(const QString& scratchFolder)
{
    const QString path = QDir(scratchFolder).filePath(QString::fromLatin1(kRecordName));
    const QList<PendingUpload>& pending = pendingUploads(scratchFolder);
    countUploadsHeldBack();
    if (pending.isEmpty()) {
        if (::unlink(QFile::encodeName(path).constData()) == 0)
            SNP_ImagePipeline::syncFolder(QFile::encodeName(scratchFolder));
        return !existsUnfollowed(path);
    }
    QJsonArray uploads;
    for (const PendingUpload& upload : pending)
        uploads.append(QJsonObject{{QStringLiteral("filed"), upload.filed},
                                   {QStringLiteral("scratch"), upload.scratch},
                                   {QStringLiteral("attempts"), upload.attempts}});
    const auto written = SNP_ImagePipeline::writeFileAtomically(
        path, QJsonDocument(QJsonObject{{QStringLiteral("uploads"), uploads}}).toJson(), true);
    if (!written.ok)
        SNP_Log::debugf("could not write the record of uploads held back: %s", qUtf8Printable(written.message));
    return written.ok;
}

bool SNP_Filing::recordPendingUpload(const QString& scratchFolder, const QString& filed, const QString& scratch)
{
    QMutexLocker l(&_heldBackLock);
    QList<PendingUpload>& pending = pendingUploads(scratchFolder);
    if (pending.size() >= kHeldBackLimit) {
        SNP_Log::debugf("%d filed pictures wait for their upload file already", kHeldBackLimit);
        return false;
    }
    PendingUpload upload;
    upload.filed = filed;
    upload.scratch = scratch;
    upload.inFlight = true;
    pending << upload;
    if (saveRecord(scratchFolder))
        return true;
    pending.removeLast();
    return false;
}

void SNP_Filing::updatePendingUpload(const QString& scratchFolder, const QString& filed, const QString& newFiled)
{
    for (PendingUpload& pending : pendingUploads(scratchFolder))
        if (pending.filed == filed)
            pending.filed = newFiled;
    saveRecord(scratchFolder);
}

void SNP_Filing::dropPendingUpload(const QString& scratchFolder, const QString& filed)
{
    QList<PendingUpload>& pending = pendingUploads(scratchFolder);
    const qsizetype before = pending.size();
    pending.removeIf([&](const PendingUpload& upload) { return upload.filed == filed; });
    if (pending.size() != before)
        saveRecord(scratchFolder);
    else
        countUploadsHeldBack();
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
