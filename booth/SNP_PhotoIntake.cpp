// Photo intake (SNP_PhotoIntake.h). A picture the camera delivers (on the camera's download
// thread) is shown in the camera picture; on the capture screen it also advances the booth
// and is filed with the visitor's addresses (SNP_Filing: scratch file, day folder, upload
// file).
//
// The intake crosses three threads, each with one part:
// - the camera's download thread decodes the picture for the screen and, on the capture
//   screen, starts its re-encoding for the addresses from the same decode on a thread of
//   its own beside it (decodeArrivedPhoto); afterwards it files the picture
//   (fileAcceptedPhoto);
// - the main thread, in the one step the download thread waits for, shows the picture and,
//   on the capture screen, takes it for the visitor: it takes the addresses and moves to
//   screen 6 (showPhotoAndTakeItForTheVisitor). Checking the screen and advancing in one
//   step keeps the capture time-out from advancing in between;
// - the re-encoding thread re-encodes the picture (SNP_Filing::reencodeForAddresses).
//
// Filing runs on the download thread with the addresses taken at the moment the picture
// arrived: a visitor typing on the next pass cannot change whose addresses go with this
// picture. A picture the camera asked to hand over before the capture screen began (a
// transfer that outlasted its visitor's capture time-out) is not the visitor's on the
// capture screen now: it is shown, never filed. Each file of a shot is judged by the moment
// the camera offered it.
//
// A camera set to RAW + JPEG offers two files per shot: the JPEG is the visitor's picture,
// the raw file is kept in the scratch folder for staff, without addresses, and takes no
// part in the visitor's pass (it is not shown, does not advance the screens, is never
// filed or uploaded).
#include "SNP_PhotoIntake.h"

#include "SNP_CanonCameraNotifications.h"
#include "SNP_Log.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMetaObject>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <system_error>

namespace {

constexpr uint32_t kCaptureScreen = 5;
// The least size of the picture decoded for the screen and the composite.
constexpr QSize kShownSize(1024, 680);
const char* const kNewPhotoName = "-[AppController newPhoto:]";

QMutex gOpenFileLock;  // guards gOpenFile
std::function<bool(const QString&)> gOpenFile;

SNP_Filing::Folders workingFolders()
{
    return SNP_Filing::Folders{gScratchFolder(), gMainImagesFolder(), gForUploadFolder()};
}

// The raw file of a RAW + JPEG shot: a camera file named other than as a JPEG whose bytes
// are no JPEG either. A file without a name, or a damaged ".JPG", is not one: it goes the
// visitor's way (and is kept for staff there when it cannot be filed).
bool isRawFileOfAShot(const QVariantMap& userInfo)
{
    const QString name = userInfo.value(SNP_CanonCameraPhotoFilename).toString();
    const QString extension = name.mid(name.lastIndexOf(u'.') + 1).toLower();
    if (name.isEmpty() || !name.contains(u'.') || extension == QLatin1String("jpg") ||
        extension == QLatin1String("jpeg") || extension == QLatin1String("jpe"))
        return false;
    return !SNP_ImagePipeline::readJpegHeader(userInfo.value(SNP_CanonCameraPhotoData).toByteArray());
}

void keepRawFileForStaff(const QVariantMap& userInfo)
{
    const QString name = userInfo.value(SNP_CanonCameraPhotoFilename).toString();
    const QString kept = SNP_Filing::keepCameraFileForStaff(userInfo.value(SNP_CanonCameraPhotoData).toByteArray(),
                                                            name, gScratchFolder());
    if (!kept.isEmpty())
        SNP_Log::debugf("the camera's file %s is no JPEG (the raw file of a RAW + JPEG shot): kept for staff at [%s]; "
                        "the shot's JPEG is the visitor's picture",
                        qUtf8Printable(name), qUtf8Printable(kept));
}

// Starts the re-encoding for the addresses on a thread of its own: from the picture as
// decoded already when it is, else from its bytes. None when no thread can be had (the
// filing then re-encodes after the intake instead).
SNP_Filing::Reencoding startReencoding(const QByteArray& data,
                                       std::shared_ptr<const SNP_ImagePipeline::DecodedJpeg> decoded)
{
    try {
        if (decoded)
            return std::async(std::launch::async, [decoded] { return decoded->encode(SNP_ImagePipeline::kJpegQuality); });
        return std::async(std::launch::async, [data] { return SNP_Filing::reencodeForAddresses(data); });
    } catch (const std::system_error& e) {
        SNP_Log::debugf("cannot start the re-encoding beside the intake (%s): it follows the intake instead",
                        e.what());
        return SNP_Filing::Reencoding();
    }
}

} // namespace

SNP_PhotoIntake::SNP_PhotoIntake(AppController& controller) : _controller(controller) {}

SNP_PhotoIntake::~SNP_PhotoIntake()
{
    close();
    joinHeldBackPass();
}

void SNP_PhotoIntake::setOpenFileHandlerForTesting(std::function<bool(const QString&)> handler)
{
    QMutexLocker l(&gOpenFileLock);
    gOpenFile = std::move(handler);
}

void SNP_PhotoIntake::setImageDict(const QVariantMap& dictionary)
{
    QMutexLocker l(&_imageDictLock);
    _imageDict = dictionary;
}

QVariantMap SNP_PhotoIntake::imageDict() const
{
    QMutexLocker l(&_imageDictLock);
    return _imageDict;
}

SNP_Filing::Result SNP_PhotoIntake::lastFilingResult() const
{
    QMutexLocker l(&_lastFilingLock);
    return _lastFiling;
}

void SNP_PhotoIntake::setLastFilingResult(const SNP_Filing::Result& result)
{
    QMutexLocker l(&_lastFilingLock);
    _lastFiling = result;
}

void SNP_PhotoIntake::takeArrivedPhoto(const QVariantMap& userInfo)
{
    // Counts the intake as ended however it ends, and the filing as done when it was one.
    struct IntakeCounter {
        SNP_PhotoIntake* intake;
        bool filing = false;
        ~IntakeCounter()
        {
            if (filing)
                intake->_filingsInProgress.fetch_sub(1);
            intake->_photoIntakeCount.fetch_add(1);
        }
    } counter{this};

    if (isRawFileOfAShot(userInfo)) {
        keepRawFileForStaff(userInfo);
        return;
    }
    setImageDict(userInfo);
    setLastFilingResult(SNP_Filing::Result());
    ArrivedPhoto photo = decodeArrivedPhoto(userInfo);

    const PhotoAcceptance acceptance = decideOnMainThread(photo.shown, photo.requestTime);
    counter.filing = acceptance.accepted;
    if (acceptance.closing) {
        SNP_Log::debug(QStringLiteral("the booth is closing: the picture that arrived is not filed"));
        return;
    }
    if (acceptance.earlierByMs) {
        SNP_Log::debugf("the camera asked to hand over this picture %lld ms before the capture screen began: it is "
                        "not this visitor's and is not filed",
                        static_cast<long long>(*acceptance.earlierByMs));
        return;
    }
    if (!acceptance.accepted) {
        SNP_Log::debugf("bailing out of %s because we appear to have timed out (screen number = %d)", kNewPhotoName,
                        int(acceptance.screen));
        return;
    }
    fileAcceptedPhoto(photo, acceptance.addresses, acceptance.pass);
}

SNP_PhotoIntake::PhotoAcceptance SNP_PhotoIntake::closingAcceptance()
{
    PhotoAcceptance closing;
    closing.closing = true;
    return closing;
}

// The main thread's decision comes back through a promise (the queued call that runs the
// step is Qt's, and its hand-over is invisible to the thread checker). The controller's end
// answers the steps still queued, so the intake never waits for a main thread that is
// taking the controller down; the controller in turn waits for the intake (its observer's
// removal waits for a delivery in flight), so nothing of it is used after it is gone. The
// queued call's context is the controller, whose end also drops it.
SNP_PhotoIntake::PhotoAcceptance SNP_PhotoIntake::decideOnMainThread(const QImage& shown, const QVariant& requestTime)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread())
        return showPhotoAndTakeItForTheVisitor(shown, requestTime);
    auto decided = std::make_shared<std::promise<PhotoAcceptance>>();
    std::future<PhotoAcceptance> decision = decided->get_future();
    {
        QMutexLocker l(&_intakeStepsLock);
        if (_intakeClosed)
            return closingAcceptance();
        _intakeSteps << decided;
    }
    QMetaObject::invokeMethod(
        &_controller,
        [this, decided, shown, requestTime] {
            {
                QMutexLocker l(&_intakeStepsLock);
                if (!_intakeSteps.removeOne(decided))
                    return; // answered by close()
            }
            decided->set_value(showPhotoAndTakeItForTheVisitor(shown, requestTime));
        },
        Qt::QueuedConnection);
    return decision.get();
}

void SNP_PhotoIntake::close()
{
    QList<std::shared_ptr<std::promise<PhotoAcceptance>>> waiting;
    {
        QMutexLocker l(&_intakeStepsLock);
        _intakeClosed = true;
        waiting.swap(_intakeSteps);
    }
    for (const auto& step : waiting)
        step->set_value(closingAcceptance());
}

void SNP_PhotoIntake::startHeldBackPass()
{
    if (_heldBackPass.joinable())
        return;
    _heldBackPass = std::thread([this, folders = workingFolders()] {
        if (const int filed = _filing.fileHeldBackPictures(folders))
            SNP_Log::debugf("%d pictures held back were filed at start", filed);
    });
}

void SNP_PhotoIntake::joinHeldBackPass()
{
    if (_heldBackPass.joinable())
        _heldBackPass.join();
}

SNP_PhotoIntake::ArrivedPhoto SNP_PhotoIntake::decodeArrivedPhoto(const QVariantMap& userInfo)
{
    ArrivedPhoto photo;
    photo.data = userInfo.value(SNP_CanonCameraPhotoData).toByteArray();
    photo.requestTime = userInfo.value(SNP_CanonCameraPhotoRequestTime);
    photo.header = SNP_ImagePipeline::readJpegHeader(photo.data);
    // A picture arriving on the capture screen will almost surely be filed. It is decoded
    // once, and reduced for the screen (and the composite) while it is decoded; its
    // re-encoding for the addresses then starts from the decoded picture on a thread of its
    // own, beside the hand-off to the main thread.
    if (photo.header && _controller.screenNumber() == kCaptureScreen) {
        const auto decoded = SNP_ImagePipeline::DecodedJpeg::decode(photo.data, kShownSize);
        photo.reencoding = startReencoding(photo.data, decoded);
        if (decoded)
            photo.shown = decoded->reduced();
    }
    // Otherwise decoded reduced in the DCT to what the screen shows, never at the camera's
    // full size.
    if (photo.header && photo.shown.isNull()) {
        if (auto shown = SNP_ImagePipeline::decodeJpegScaled(photo.data, kShownSize))
            photo.shown = *shown;
    } else if (!photo.header && !photo.data.isEmpty()) {
        photo.shown.loadFromData(photo.data); // a picture of another format, shown as it is
    }
    SNP_Log::debugf("updating image well with (%.0f, %.0f) image",
                    photo.header ? double(photo.header->width) : double(photo.shown.width()),
                    photo.header ? double(photo.header->height) : double(photo.shown.height()));
    return photo;
}

SNP_PhotoIntake::PhotoAcceptance SNP_PhotoIntake::showPhotoAndTakeItForTheVisitor(const QImage& shown,
                                                                                  const QVariant& requestTime)
{
    AppController* controller = &_controller;
    PhotoAcceptance acceptance;
    if (!shown.isNull())
        controller->updateDisplayImage(QVariant::fromValue(shown));
    QTimer::singleShot(1000, controller, [controller] { controller->clearProgressIndicator(); });
    acceptance.screen = controller->screenNumber();
    if (acceptance.screen != kCaptureScreen)
        return acceptance;
    const qint64 captureScreenStartMs = controller->captureScreenStartMs();
    if (requestTime.isValid() && requestTime.toLongLong() < captureScreenStartMs) {
        acceptance.earlierByMs = captureScreenStartMs - requestTime.toLongLong();
        return acceptance;
    }
    acceptance.addresses = controller->emails();
    acceptance.accepted = true;
    _filingsInProgress.fetch_add(1);
    acceptance.pass = _photoAcceptedCount.fetch_add(1) + 1;
    controller->nextScreen(controller);
    return acceptance;
}

void SNP_PhotoIntake::fileAcceptedPhoto(ArrivedPhoto& photo, const QStringList& addresses, uint64_t pass)
{
    // What the result screen may tell the visitor, as soon as the filing knows: before it
    // takes up pictures held back by an earlier disk fault.
    bool told = false;
    AppController* controller = &_controller;
    const auto tell = [controller, pass, &told](const SNP_Filing::Result& result) {
        told = true;
        const AppController::FilingVerdict verdict = filingVerdictFor(result);
        QMetaObject::invokeMethod(
            controller, [controller, pass, verdict] { controller->filingEnded(pass, verdict); }, Qt::QueuedConnection);
    };
    // The composite is drawn from this picture as decoded for the screen (at least
    // 1024 x 680, more than its window needs): the filed file is not decoded again.
    const SNP_Filing::Result result = _filing.fileVisitorPicture(photo.data, addresses, workingFolders(),
                                                                 std::move(photo.reencoding),
                                                                 photo.header ? photo.shown : QImage(), tell);
    setLastFilingResult(result);
    if (!told)
        tell(result);
}

AppController::FilingVerdict SNP_PhotoIntake::filingVerdictFor(const SNP_Filing::Result& result)
{
    using FilingVerdict = AppController::FilingVerdict;
    // A picture that did not reach its day folder is held back only when it waits in the
    // scratch folder with its addresses (not the camera's bytes kept there for staff, which
    // are never sent).
    if (result.uploaded)
        return FilingVerdict::OnItsWay;
    if (!result.filedPath.isEmpty())
        return FilingVerdict::HeldBack;
    if (result.scratchHasAddresses && QFileInfo::exists(result.scratchPath))
        return FilingVerdict::HeldBack;
    return FilingVerdict::Lost;
}

bool SNP_PhotoIntake::fileScratchPicture(const QString& path, const QImage& decodedPhoto)
{
    const SNP_Filing::Result result = _filing.fileScratchPicture(path, workingFolders(), decodedPhoto);
    setLastFilingResult(result);
    return result.uploaded;
}

bool SNP_PhotoIntake::processPhotoData(const QVariantMap& dictionary)
{
    const QString saved = SNP_Filing::saveCopyForOperator(dictionary.value(SNP_CanonCameraPhotoData).toByteArray(),
                                                          dictionary.value(SNP_CanonCameraPhotoFilename).toString());
    if (saved.isEmpty())
        return false;
    std::function<bool(const QString&)> open;
    {
        QMutexLocker l(&gOpenFileLock);
        open = gOpenFile;
    }
    if (open)
        open(saved);
    else
        QDesktopServices::openUrl(QUrl::fromLocalFile(saved));
    return true;
}
