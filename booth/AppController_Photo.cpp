// Photo intake and filing. A picture the camera delivers (on the camera's download thread)
// is shown in the camera picture; on the capture screen it also advances the booth, gets
// the visitor's addresses embedded into its EXIF user comment, is written into the scratch
// folder, moved into the folder of its day below the main images folder, and its composite
// with the event frame is written into the matching day folder below the upload folder.
//
// Everything after the screen change runs on the thread that delivered the picture, with
// the addresses taken at the moment the picture arrived: a visitor typing on the next pass
// cannot change whose addresses go with this picture. A picture the camera asked to hand
// over before the capture screen began (a transfer that outlasted its visitor's capture
// time-out) is not the visitor's on the capture screen now: it is shown, never filed.
//
// Files are never overwritten: the scratch file, the filed picture and the upload file
// each take a free name ("name-1.jpg" ...) when theirs is taken, and every file is written
// to a temporary name and renamed into place, so a full disk or a missing folder leaves no
// partial file.
#include "AppController.h"

#include "SNP_CanonCameraNotifications.h"
#include "SNP_ImagePipeline.h"
#include "SNP_Log.h"
#include "SNP_NSDateAdditions.h"
#include "SNP_Resources.h"
#include "SNP_XMLinEXIF.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMetaObject>
#include <QMutexLocker>
#include <QPointer>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <future>
#include <system_error>

namespace {

constexpr uint32_t kCaptureScreen = 5;
const char* const kNewPhotoName = "-[AppController newPhoto:]";
const char* const kFrameImageName = "LumoPictureFrame.png";

QMutex gHookLock;
std::function<QDateTime()> gClock;
std::function<bool(const QString&)> gOpenFile;

QDateTime now()
{
    QMutexLocker l(&gHookLock);
    return gClock ? gClock() : QDateTime::currentDateTime();
}

QString timeStampName(const QString& extension)
{
    return SNP_NSDateAdditions::stringWithUTSFormat(now(), QStringLiteral("yyyyMMddHHmmss")) + u'.' + extension;
}

// Runs fn on the main thread and waits for it (at once when already there).
template <typename Fn>
void onMainThreadAndWait(Fn&& fn)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread())
        fn();
    else
        QMetaObject::invokeMethod(app, std::forward<Fn>(fn), Qt::BlockingQueuedConnection);
}

// Creates the folder with its missing parents; an existing folder is success.
bool makeFolder(const QString& path, QString* error)
{
    std::error_code ec;
    const std::filesystem::path p(QFile::encodeName(path).toStdString());
    std::filesystem::create_directories(p, ec);
    if (!ec && std::filesystem::is_directory(p, ec))
        return true;
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

} // namespace

void AppController::setPhotoClockForTesting(std::function<QDateTime()> clock)
{
    QMutexLocker l(&gHookLock);
    gClock = std::move(clock);
}

void AppController::setOpenFileHandlerForTesting(std::function<bool(const QString&)> handler)
{
    QMutexLocker l(&gHookLock);
    gOpenFile = std::move(handler);
}

void AppController::setImageDict(const QVariantMap& dictionary)
{
    QMutexLocker l(&_imageDictLock);
    _imageDict = dictionary;
}

QVariantMap AppController::imageDict() const
{
    QMutexLocker l(&_imageDictLock);
    return _imageDict;
}

AppController::FilingResult AppController::lastFilingResult() const
{
    QMutexLocker l(&_imageDictLock);
    return _lastFiling;
}

void AppController::newPhoto(const SNP_Notification& notification)
{
    struct IntakeCounter {
        AppController* c;
        bool filing = false; // taken for the visitor on the capture screen
        ~IntakeCounter()
        {
            if (filing)
                c->_filingsInProgress.fetch_sub(1);
            c->_photoIntakeCount.fetch_add(1);
        }
    } counter{this};

    // 1. The picture and its dictionary.
    const QVariant dataValue = notification.userInfo.value(SNP_CanonCameraPhotoData);
    const QByteArray data = dataValue.toByteArray();
    setImageDict(notification.userInfo);
    {
        QMutexLocker l(&_imageDictLock);
        _lastFiling = FilingResult();
    }

    // 2. An image for the camera picture: decoded reduced in the DCT to what the screen
    //    shows, never at the camera's full size.
    //    A picture arriving on the capture screen will almost surely be filed: its
    //    re-encoding for the addresses starts at once on a thread of its own, beside the
    //    decoding for the screen and the hand-off to the main thread. Should the picture
    //    not be filed after all, the re-encoding is waited for and thrown away.
    QImage image;
    const auto header = SNP_ImagePipeline::readJpegHeader(data);
    std::future<std::optional<QByteArray>> reencoding;
    if (header && _screenNumber.load() == kCaptureScreen) {
        try {
            reencoding = std::async(std::launch::async, [data] {
                return SNP_ImagePipeline::recompressJpeg(data, SNP_ImagePipeline::kJpegQuality);
            });
        } catch (const std::system_error& e) {
            SNP_Log::debugf("cannot start the re-encoding beside the intake (%s): it follows the intake instead",
                            e.what());
        }
    }
    if (header) {
        if (auto shown = SNP_ImagePipeline::decodeJpegScaled(data, QSize(1024, 680)))
            image = *shown;
    } else if (!data.isEmpty()) {
        image.loadFromData(data); // a picture of another format, shown as it is
    }
    SNP_Log::debugf("updating image well with (%.0f, %.0f) image", header ? double(header->width) : double(image.width()),
                    header ? double(header->height) : double(image.height()));

    // 3-6. On the main thread, waiting: show the picture, schedule the progress bar's
    //      reset, and, on the capture screen only, take the visitor's addresses and move
    //      to screen 6. Checking the screen and advancing in one step keeps the capture
    //      time-out from advancing in between.
    uint32_t screen = 0;
    bool advanced = false;
    bool haveAddresses = false;
    bool earlier = false;
    qint64 earlierByMs = 0;
    QStringList addresses;
    const QVariant requestedValue = notification.userInfo.value(SNP_CanonCameraPhotoRequestTime);
    QPointer<AppController> self(this);
    onMainThreadAndWait([&] {
        if (!self)
            return;
        if (!image.isNull())
            updateDisplayImage(QVariant::fromValue(image));
        QTimer::singleShot(1000, this, [this] { clearProgressIndicator(); });
        screen = _screenNumber.load();
        if (screen != kCaptureScreen)
            return;
        if (requestedValue.isValid() && requestedValue.toLongLong() < _captureScreenStartMs) {
            earlier = true;
            earlierByMs = _captureScreenStartMs - requestedValue.toLongLong();
            return;
        }
        haveAddresses = !_emails.isEmpty();
        addresses = _emails;
        advanced = true;
        _filingsInProgress.fetch_add(1);
        counter.filing = true;
        _photoAcceptedCount.fetch_add(1);
        nextScreen(this);
    });
    if (earlier) {
        SNP_Log::debugf("the camera asked to hand over this picture %lld ms before the capture screen began: it is "
                        "not this visitor's and is not filed",
                        static_cast<long long>(earlierByMs));
        return;
    }
    if (!advanced) {
        SNP_Log::debugf("bailing out of %s because we appear to have timed out (screen number = %d)", kNewPhotoName,
                        int(screen));
        return;
    }

    // 7.
    if (!dataValue.isValid() || data.isEmpty() || !haveAddresses) {
        SNP_Log::debugf("no %s for the new picture: nothing is filed", data.isEmpty() ? "picture data" : "addresses");
        return;
    }

    // 8-9.
    const QVariantMap propertyList{{QBEmailsForUpload, addresses}};
    std::optional<QByteArray> embedded;
    if (reencoding.valid()) {
        std::optional<QByteArray> reencoded;
        try {
            reencoded = reencoding.get();
        } catch (const std::exception& e) {
            SNP_Log::debugf("the re-encoding failed: %s", e.what());
        }
        embedded = SNP_XMLinEXIF::jpegDataWithPropertyListObject(propertyList, data, reencoded.value_or(QByteArray()));
    } else {
        embedded = SNP_XMLinEXIF::jpegDataWithPropertyListObject(propertyList, data);
    }
    const QString scratchFolder = gScratchFolder();
    const QString scratchPath = QDir(scratchFolder).filePath(timeStampName(QStringLiteral("jpg")));
    SNP_Log::debugf("writing file to %s", qUtf8Printable(scratchPath));

    QString folderError;
    if (!makeFolder(scratchFolder, &folderError)) {
        SNP_Log::debugf("COULD NOT File at path: [%s] due to \"%s\"", qUtf8Printable(scratchPath),
                        qUtf8Printable(QStringLiteral("the scratch folder cannot be made: ") + folderError));
        return;
    }

    if (!embedded) {
        // The camera's bytes are no picture the addresses can go into: they are kept for
        // staff under the time-stamp name, and nothing is uploaded for them.
        SNP_Log::debugf("COULD NOT File at path: [%s] due to \"%s\"", qUtf8Printable(scratchPath),
                        "the camera's picture could not be decoded to embed the addresses");
        const auto kept = writeNewFile(scratchPath, data);
        if (kept.ok) {
            SNP_Log::debugf("kept the camera's %lld bytes at [%s] for recovery; nothing is uploaded for them",
                            static_cast<long long>(data.size()), qUtf8Printable(kept.path));
            QMutexLocker l(&_imageDictLock);
            _lastFiling.scratchPath = kept.path;
        } else {
            SNP_Log::debugf("could not keep the camera's bytes either: %s", qUtf8Printable(kept.message));
        }
        return;
    }

    // 10.
    const auto written = writeNewFile(scratchPath, *embedded);
    if (!written.ok) {
        SNP_Log::debugf("COULD NOT File at path: [%s] due to \"%s\"", qUtf8Printable(scratchPath),
                        qUtf8Printable(written.message));
        return;
    }
    const QString path = written.path;
    {
        QMutexLocker l(&_imageDictLock);
        _lastFiling.scratchPath = path;
    }

    // 11.
    SNP_Log::debugf("Wrote File at path: [%s]", qUtf8Printable(path));
    const std::optional<QVariant> readBack = SNP_XMLinEXIF::propertyListObjectForJpegAtPath(path);
    SNP_Log::debug(QStringLiteral("property list from new image:\n%1")
                       .arg(readBack ? SNP_XMLinEXIF::describe(*readBack) : QStringLiteral("(null)")));

    // 12. The composite is drawn from this picture as decoded for the screen (at least
    //     1024 x 680, more than its window needs): the filed file is not decoded again.
    if (doPostProcessImageForPath(QString(path), header ? image : QImage()))
        (void)fileHeldBackPictures(); // there is room again for what a disk fault held back
}

QStringList AppController::uploadsHeldBack() const
{
    QMutexLocker l(&_imageDictLock);
    return _uploadsHeldBack;
}

int AppController::fileHeldBackPictures()
{
    // One at a time: two intakes must not both take the same held-back picture.
    static QMutex running;
    if (!running.tryLock())
        return 0;
    struct Unlock {
        ~Unlock() { running.unlock(); }
    } unlock;
    int done = 0;
    int tried = 0;

    // Filed pictures without their upload file.
    QStringList uploads;
    {
        QMutexLocker l(&_imageDictLock);
        uploads = _uploadsHeldBack.mid(0, kHeldBackPerIntake);
    }
    for (const QString& filed : uploads) {
        ++tried;
        const bool there = QFileInfo::exists(filed);
        if (there)
            SNP_Log::debugf("making the upload file held back for [%s]", qUtf8Printable(filed));
        else
            SNP_Log::debugf("the picture [%s] held back for its upload file is gone; its upload is dropped",
                            qUtf8Printable(filed));
        const bool written = there && writeUploadForFiledPicture(filed, QImage(), false);
        const bool givenUp = there && !written && heldBackFailed(filed);
        if (givenUp)
            SNP_Log::debugf("the upload file for [%s] failed %d times; it is no longer tried", qUtf8Printable(filed),
                            kHeldBackAttempts);
        if (written || !there || givenUp) {
            QMutexLocker l(&_imageDictLock);
            _uploadsHeldBack.removeAll(filed);
            _heldBackFailures.remove(filed);
        }
        if (!written && there && !givenUp)
            return done; // still no room: the rest waits for the next visitor
        ++done;
    }

    // Pictures left in the scratch folder with their visitor's addresses.
    const QDir scratch(gScratchFolder());
    const QStringList names = scratch.entryList({QStringLiteral("*.jpg"), QStringLiteral("*.jpeg"),
                                                 QStringLiteral("*.JPG"), QStringLiteral("*.JPEG")},
                                                QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names) {
        if (tried >= kHeldBackPerIntake)
            break;
        const QString held = scratch.filePath(name);
        {
            QMutexLocker l(&_imageDictLock);
            if (_scratchLeftAlone.contains(held))
                continue;
        }
        const std::optional<QVariantMap> dictionary = SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(held);
        const QStringList addresses =
            dictionary ? dictionary->value(QBEmailsForUpload).toStringList() : QStringList();
        if (addresses.isEmpty()) {
            // Bytes kept for staff (no picture the addresses could go into): never filed.
            QMutexLocker l(&_imageDictLock);
            _scratchLeftAlone.insert(held);
            continue;
        }
        ++tried;
        SNP_Log::debugf("filing the picture held back in the scratch folder: [%s]", qUtf8Printable(held));
        if (!postProcessImage(held, QImage(), false)) {
            if (QFileInfo::exists(held) && heldBackFailed(held)) {
                SNP_Log::debugf("the picture [%s] could not be filed %d times; it stays in the scratch folder for "
                                "staff",
                                qUtf8Printable(held), kHeldBackAttempts);
                QMutexLocker l(&_imageDictLock);
                _scratchLeftAlone.insert(held);
            }
            return done;
        }
        {
            QMutexLocker l(&_imageDictLock);
            _heldBackFailures.remove(held);
        }
        ++done;
    }
    return done;
}

bool AppController::heldBackFailed(const QString& path)
{
    QMutexLocker l(&_imageDictLock);
    return ++_heldBackFailures[path] >= kHeldBackAttempts;
}

bool AppController::doPostProcessImageForPath(const QString& sourcePath, const QImage& decodedPhoto)
{
    return postProcessImage(sourcePath, decodedPhoto, true);
}

bool AppController::postProcessImage(const QString& sourcePath, const QImage& decodedPhoto, bool record)
{
    bool result = false;

    // 1-2.
    const QString path = sourcePath;
    const QString fileName = QFileInfo(path).fileName();
    SNP_Log::debugf("sourceFileName without Path = [%s]", qUtf8Printable(fileName));
    const QString mainImagesFolder = gMainImagesFolder();

    // 3. The day is the day of filing.
    const QString today = SNP_NSDateAdditions::stringWithUTSFormat(now(), QStringLiteral("yyyy-MM-dd"));
    const QString dayFolder = QDir::cleanPath(mainImagesFolder + u'/' + today);
    SNP_Log::debugf("todaysDate = [ %s]", qUtf8Printable(today));
    SNP_Log::debugf("newMainImagPath = [ %s]", qUtf8Printable(mainImagesFolder));
    SNP_Log::debugf("todaysImagesFolder = [ %s]", qUtf8Printable(dayFolder));

    // 4.
    QString error;
    if (!makeFolder(dayFolder, &error)) {
        SNP_Log::debug(QStringLiteral("FOUND ERROR while trying to create todya's folder???:\n%1").arg(error));
        return result;
    }
    SNP_Log::debugf("DidCreate folder: [%s]", qUtf8Printable(dayFolder));

    // 5. The move never replaces a picture filed earlier under the same name: the new one
    //    takes the next free name, and the composite is made from it.
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
    const QString filedPath = moved.path;
    const QString filedName = QFileInfo(filedPath).fileName();
    if (filedPath != destination)
        SNP_Log::debugf("a picture named %s is filed already; this one is filed as %s", qUtf8Printable(fileName),
                        qUtf8Printable(filedName));
    SNP_Log::debugf("didMove to path: [%s]", qUtf8Printable(filedPath));
    if (record) {
        QMutexLocker l(&_imageDictLock);
        _lastFiling.filedPath = filedPath;
    }
    result = writeUploadForFiledPicture(filedPath, decodedPhoto, record);
    if (!result) {
        // Kept in mind: its upload file is made once a later visitor's goes through.
        QMutexLocker l(&_imageDictLock);
        if (!_uploadsHeldBack.contains(filedPath) && _uploadsHeldBack.size() < kHeldBackLimit)
            _uploadsHeldBack.append(filedPath);
    }
    return result;
}

bool AppController::writeUploadForFiledPicture(const QString& filedPath, const QImage& decodedPhoto, bool record)
{
    bool result = false;
    QString error;
    const QString dayFolder = QFileInfo(filedPath).path();
    const QString filedName = QFileInfo(filedPath).fileName();
    const QString uploadFolder = gForUploadFolder();

    // 6. The upload day folder repeats the day folder's whole path below the upload folder.
    const QString uploadDayFolder = QDir::cleanPath(uploadFolder + u'/' + dayFolder);
    const QString uploadPath = QDir(uploadDayFolder).filePath(
        QStringLiteral("%1Comp.%2").arg(nameWithoutExtension(filedName), extensionOf(filedName)));
    SNP_Log::debugf(" the NewFormed forUploadPath = [%s]", qUtf8Printable(uploadDayFolder));
    SNP_Log::debugf(" the NewFormed toBeUploadedItemPath = [%s]", qUtf8Printable(uploadPath));

    // 7.
    if (!makeFolder(uploadDayFolder, &error))
        SNP_Log::debugf("Unable to create Directory at: [%s]", qUtf8Printable(uploadDayFolder));

    // 8. The frame and the filed picture.
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
        return result;

    // 9-10. Sizes; the composite takes the frame's pixel size whatever resolution it declares.
    const QSizeF photoSize(photoHeader->width, photoHeader->height);
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

    // 11-13. The photo stretched into the window, the frame over it.
    const std::optional<QImage> composite = decodedPhoto.isNull()
                                                ? SNP_ImagePipeline::makeComposite(photo, frame)
                                                : SNP_ImagePipeline::makeComposite(decodedPhoto, frame);
    if (!composite)
        SNP_Log::debug(QStringLiteral("Inside doPostProcessImageForPath has imageRep = NIL????"));

    // 14-15. The composite carries the filed picture's EXIF data (its addresses included);
    //        only the metadata of the filed picture is read for it.
    bool wrote = false;
    QString writtenPath;
    if (composite) {
        SNP_Log::debugf("iRep = [%s]", qUtf8Printable(QStringLiteral("JPEG %1x%2 pixels, %3 bytes")
                                                          .arg(photoHeader->width)
                                                          .arg(photoHeader->height)
                                                          .arg(photo.size())));
        SNP_Log::debug(QStringLiteral("plist2 is [%1]").arg(SNP_ImagePipeline::exifSummaryOfJpeg(photo)));
        const std::optional<QByteArray> jpeg = SNP_ImagePipeline::compositeJpegFromImage(*composite, photo);
        if (jpeg) {
            const auto out = writeNewFile(uploadPath, *jpeg);
            wrote = out.ok;
            writtenPath = out.path;
            if (out.ok && record) {
                QMutexLocker l(&_imageDictLock);
                _lastFiling.uploadPath = out.path;
                _lastFiling.uploaded = true;
            } else if (!out.ok) {
                SNP_Log::debug(out.message);
            }
            if (out.ok && out.path != uploadPath)
                SNP_Log::debugf("an upload file of that name exists already; this one is %s", qUtf8Printable(out.path));
        }
    }
    if (wrote)
        SNP_Log::debugf("Success in writing to resized file... to path [%s]", qUtf8Printable(writtenPath));
    else
        SNP_Log::debug(QStringLiteral("WHAT??????? Did NOT write to the resized file????"));
    result = wrote;
    return result;
}

void AppController::saveImage(QObject*)
{
    (void)processPhotoData(imageDict());
}

bool AppController::processPhotoData(const QVariantMap& dictionary)
{
    const QByteArray data = dictionary.value(SNP_CanonCameraPhotoData).toByteArray();
    const QString name = dictionary.value(SNP_CanonCameraPhotoFilename).toString();
    // The extension comes from the camera: only letters and digits are taken from it, so
    // that a name like "x./../../home/a" cannot lead the file out of /tmp.
    QString extension = extensionOf(name).toLower();
    static const QRegularExpression safeExtension(QStringLiteral("^[a-z0-9]{1,10}$"));
    if (!extension.isEmpty() && !safeExtension.match(extension).hasMatch()) {
        SNP_Log::debugf("the camera's file name \"%s\" has an unusable extension; the picture is saved as .jpg",
                        qUtf8Printable(name));
        extension = QStringLiteral("jpg");
    }
    const QString path = QStringLiteral("/tmp/") + timeStampName(extension);
    SNP_Log::debugf("saving camera image  \"%s\" to \"%s\"", qUtf8Printable(name), qUtf8Printable(path));
    // /tmp is everybody's: the file is created new (a name taken, or a link planted under
    // it, makes it take the next free name) and never written through an existing one.
    SNP_ImagePipeline::FileResult saved;
    if (!data.isEmpty())
        saved = writeNewFile(path, data);
    if (!saved.ok) {
        SNP_Log::debugf("failed to save image to path %s", qUtf8Printable(path));
        return false;
    }
    const QString savedPath = saved.path;
    std::function<bool(const QString&)> open;
    {
        QMutexLocker l(&gHookLock);
        open = gOpenFile;
    }
    if (open)
        open(savedPath);
    else
        QDesktopServices::openUrl(QUrl::fromLocalFile(savedPath));
    return true;
}
