// Filing of a visitor's picture (SNP_Filing.h).
#include "SNP_Filing.h"

#include "SNP_Log.h"
#include "SNP_NSDateAdditions.h"
#include "SNP_Resources.h"
#include "SNP_XMLinEXIF.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QRegularExpression>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <system_error>
#include <vector>

namespace {

const char* const kFrameImageName = "LumoPictureFrame.png";

QMutex gClockLock;  // guards gClock
std::function<QDateTime()> gClock;

QString timeStampName(const QString& extension)
{
    return SNP_NSDateAdditions::stringWithUTSFormat(SNP_Filing::now(), QStringLiteral("yyyyMMddHHmmss")) + u'.' +
           extension;
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
        for (const std::filesystem::path& made : missing)
            SNP_ImagePipeline::syncFolder(QByteArray::fromStdString(made.parent_path().string()));
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
    SNP_Log::debug(QStringLiteral("2010-02-02 Array of reps for korvanexImage:\n(\n    QImage %1x%2 pixels, %3x%4 dpi\n)")
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
                                                  const QImage& decodedPhoto)
{
    Result result;
    if (picture.isEmpty() || addresses.isEmpty()) {
        SNP_Log::debugf("no %s for the new picture: nothing is filed", picture.isEmpty() ? "picture data" : "addresses");
        return result;
    }

    const std::optional<QByteArray> embedded = embedAddresses(picture, addresses, reencoding);
    const QString scratchPath = QDir(folders.scratch).filePath(timeStampName(QStringLiteral("jpg")));
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

    const auto written = writeNewFile(scratchPath, *embedded);
    if (!written.ok) {
        SNP_Log::debugf("COULD NOT File at path: [%s] due to \"%s\"", qUtf8Printable(scratchPath),
                        qUtf8Printable(written.message));
        return result;
    }
    const QString path = written.path;
    SNP_Log::debugf("Wrote File at path: [%s]", qUtf8Printable(path));
    // Read back from the file written, so that the log shows what the file carries.
    const std::optional<QVariant> readBack = SNP_XMLinEXIF::propertyListObjectForJpegAtPath(path);
    SNP_Log::debug(QStringLiteral("property list from new image:\n%1")
                       .arg(readBack ? SNP_XMLinEXIF::describe(*readBack) : QStringLiteral("(null)")));

    result = fileScratchPicture(path, folders, decodedPhoto);
    result.scratchPath = path;
    if (result.uploaded) // there is room again for what a disk fault held back
        result.heldBackFiled = fileHeldBackPictures(folders);
    return result;
}

SNP_Filing::Result SNP_Filing::fileScratchPicture(const QString& path, const Folders& folders,
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
        SNP_Log::debug(QStringLiteral("FOUND ERROR while trying to create todya's folder???:\n%1").arg(error));
        return result;
    }
    SNP_Log::debugf("DidCreate folder: [%s]", qUtf8Printable(dayFolder));

    // The move never replaces a picture filed earlier under the same name: the new one
    // takes the next free name, and the composite is made from it.
    const QString destination = QDir(dayFolder).filePath(fileName);
    SNP_Log::debugf("The NEW Destination Path is: [%s]", qUtf8Printable(destination));
    const auto moved = SNP_ImagePipeline::moveFileNoClobber(path, dayFolder, fileName);
    if (!moved.ok) {
        SNP_Log::debug(QStringLiteral("UNABLE to Move the item.."));
        SNP_Log::debugf("Error in Moving the item: [%s]", qUtf8Printable(moved.message));
        // The picture stays in the scratch folder; no upload is made from whatever file
        // might stand at the destination.
        return result;
    }
    result.filedPath = moved.path;
    if (moved.path != destination)
        SNP_Log::debugf("a picture named %s is filed already; this one is filed as %s", qUtf8Printable(fileName),
                        qUtf8Printable(QFileInfo(moved.path).fileName()));
    SNP_Log::debugf("didMove to path: [%s]", qUtf8Printable(moved.path));
    result.uploaded = writeUploadForFiledPicture(moved.path, folders, decodedPhoto, &result);
    if (!result.uploaded) {
        // Kept in mind: its upload file is made once a later visitor's goes through.
        QMutexLocker l(&_heldBackLock);
        if (!_heldBack.uploads.contains(moved.path) && _heldBack.uploads.size() < kHeldBackLimit)
            _heldBack.uploads.append(moved.path);
    }
    return result;
}

bool SNP_Filing::writeUploadForFiledPicture(const QString& filedPath, const Folders& folders,
                                            const QImage& decodedPhoto, Result* result)
{
    const QString dayFolder = QFileInfo(filedPath).path();
    const QString filedName = QFileInfo(filedPath).fileName();

    // The upload day folder repeats the day folder's whole path below the upload folder.
    const QString uploadDayFolder = QDir::cleanPath(folders.forUpload + u'/' + dayFolder);
    const QString uploadPath = QDir(uploadDayFolder).filePath(
        QStringLiteral("%1Comp.%2").arg(nameWithoutExtension(filedName), extensionOf(filedName)));
    SNP_Log::debugf(" the NewFormed forUploadPath = [%s]", qUtf8Printable(uploadDayFolder));
    SNP_Log::debugf(" the NewFormed toBeUploadedItemPath = [%s]", qUtf8Printable(uploadPath));

    // A folder that cannot be made makes the write below fail, which says why.
    QString error;
    if (!makeFolder(uploadDayFolder, &error))
        SNP_Log::debugf("Unable to create Directory at: [%s]", qUtf8Printable(uploadDayFolder));

    const QImage frame = SNP_Resources::imageNamed(QString::fromLatin1(kFrameImageName));
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
        SNP_Log::debug(QStringLiteral("plist2 is [%1]").arg(SNP_ImagePipeline::exifSummaryOfJpeg(photo)));
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

QStringList SNP_Filing::uploadsHeldBack() const
{
    QMutexLocker l(&_heldBackLock);
    return _heldBack.uploads;
}

int SNP_Filing::fileHeldBackPictures(const Folders& folders)
{
    // One pass at a time: two filings must not both take the same held-back picture.
    if (!_heldBackPassLock.tryLock())
        return 0;
    int done = 0;
    int tried = 0;
    if (fileHeldBackUploads(folders, &done, &tried))
        fileHeldBackScratchPictures(folders, &done, &tried);
    _heldBackPassLock.unlock();
    return done;
}

bool SNP_Filing::heldBackFailed(const QString& path)
{
    QMutexLocker l(&_heldBackLock);
    return ++_heldBack.failures[path] >= kHeldBackAttempts;
}

void SNP_Filing::forgetHeldBack(const QString& path)
{
    QMutexLocker l(&_heldBackLock);
    _heldBack.uploads.removeAll(path);
    _heldBack.failures.remove(path);
}

// Filed pictures without their upload file. False when one still fails: the rest waits
// for the next visitor.
bool SNP_Filing::fileHeldBackUploads(const Folders& folders, int* done, int* tried)
{
    QStringList uploads;
    {
        QMutexLocker l(&_heldBackLock);
        uploads = _heldBack.uploads.mid(0, kHeldBackPerIntake);
    }
    for (const QString& filed : uploads) {
        ++*tried;
        const bool there = QFileInfo::exists(filed);
        if (there)
            SNP_Log::debugf("making the upload file held back for [%s]", qUtf8Printable(filed));
        else
            SNP_Log::debugf("the picture [%s] held back for its upload file is gone; its upload is dropped",
                            qUtf8Printable(filed));
        const bool written = there && writeUploadForFiledPicture(filed, folders, QImage(), nullptr);
        const bool givenUp = there && !written && heldBackFailed(filed);
        if (givenUp)
            SNP_Log::debugf("the upload file for [%s] failed %d times; it is no longer tried", qUtf8Printable(filed),
                            kHeldBackAttempts);
        if (written || !there || givenUp)
            forgetHeldBack(filed);
        if (!written && there && !givenUp)
            return false;
        ++*done;
    }
    return true;
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
        const std::optional<QVariantMap> dictionary = SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(held);
        const QStringList addresses =
            dictionary ? dictionary->value(QBEmailsForUpload).toStringList() : QStringList();
        if (addresses.isEmpty()) {
            // Bytes kept for staff (no picture the addresses could go into): never filed.
            QMutexLocker l(&_heldBackLock);
            _heldBack.scratchLeftAlone.insert(held);
            continue;
        }
        ++*tried;
        SNP_Log::debugf("filing the picture held back in the scratch folder: [%s]", qUtf8Printable(held));
        if (!fileScratchPicture(held, folders).uploaded) {
            if (QFileInfo::exists(held) && heldBackFailed(held)) {
                SNP_Log::debugf("the picture [%s] could not be filed %d times; it stays in the scratch folder for "
                                "staff",
                                qUtf8Printable(held), kHeldBackAttempts);
                QMutexLocker l(&_heldBackLock);
                _heldBack.scratchLeftAlone.insert(held);
            }
            return;
        }
        {
            QMutexLocker l(&_heldBackLock);
            _heldBack.failures.remove(held);
        }
        ++*done;
    }
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
    const QString extension =
        extensionOf(cameraFileName).isEmpty() ? QString() : safeExtensionOf(cameraFileName, QStringLiteral("jpg"));
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
