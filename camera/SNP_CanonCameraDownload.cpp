// Picture download: the camera asks the host to take a new file (object event 0x208); the
// file is transferred into one memory block of its size, with progress reported to the
// main thread, and announced with its bytes and name by SNP_CanonCameraPhotoDataAvailable,
// delivered on the thread the SDK called us on, with the moment the camera asked for the
// transfer (a slow transfer, or one waiting behind another, can end long after it).
// Nothing is written to disk here.
#include "SNP_CanonCamera.h"

#include "SNP_Log.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QStringDecoder>
#include <QThread>

#include <chrono>
#include <cstring>
#include <limits>
#include <new>

namespace {

// The camera's file name: at most the 256 bytes of the record, cut at the first NUL.
// Empty optional when the bytes are not valid UTF-8.
std::optional<QString> fileNameOfItem(const EdsDirectoryItemInfo& info)
{
    const size_t length = ::strnlen(info.szFileName, sizeof info.szFileName);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString name = decoder.decode(QByteArrayView(info.szFileName, static_cast<qsizetype>(length)));
    if (decoder.hasError())
        return std::nullopt;
    return name;
}

// When the camera asked for this object: as the SDK noted its event, for each object on
// its own (a second file of one shot may wait behind the first one's transfer); the
// start of this handling only when the SDK cannot tell.
EdsInt64 requestTimeOfItem(EdsSdk& sdk, EdsDirectoryItemRef item)
{
    EdsInt64 requested = 0;
    if (sdk.EdsGetDirectoryItemRequestTime(item, &requested) != EDS_ERR_OK)
        requested = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    return requested;
}

// The download buffer: one block of exactly the file's size, which becomes the photo
// data without a copy. False when it cannot be had.
bool allocateDownloadBuffer(QByteArray& buffer, EdsUInt64 size)
{
    bool allocated = size <= static_cast<EdsUInt64>(std::numeric_limits<qsizetype>::max() / 2);
    if (allocated) {
        try {
            buffer = QByteArray(static_cast<qsizetype>(size), Qt::Uninitialized);
        } catch (const std::bad_alloc&) {
            allocated = false;
        }
        allocated = allocated && buffer.size() == static_cast<qsizetype>(size);
    }
    return allocated;
}

} // namespace

EdsError SNP_CanonCamera::objectEventCallback(EdsObjectEvent event, EdsBaseRef object, void* context)
{
    // The camera stays alive while its own event is handled, even if the registry lets go
    // of it meanwhile (the camera being unplugged during the transfer). An object going
    // away handles nothing (a new object for the camera, if there is one, does).
    SNP_CanonCameraPtr self = cameraForHandlerContext(context);
    if (!self) {
        SNP_Log::debugf("dropping object event %x for a camera that is going away", event);
        return EDS_ERR_OK;
    }
    const EdsError result = self->processObjectEvent(event, object);
    // Never let the last reference go inside the SDK's own callback.
    QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() != app->thread())
        QMetaObject::invokeMethod(app, [keep = std::move(self)]() mutable { keep.reset(); }, Qt::QueuedConnection);
    return result;
}

EdsError SNP_CanonCamera::processObjectEvent(EdsObjectEvent event, EdsBaseRef object)
{
    if (event == kEdsObjectEvent_DirItemRequestTransfer) {
        SNP_Log::debugf("camera %s requests that obj (%p) be downloaded", qUtf8Printable(SNP_describeCamera(this)),
                        static_cast<void*>(object));
        (void)downloadObject(object);
    } else {
        SNP_Log::debugf("received object event %x for camera %s", event, qUtf8Printable(SNP_describeCamera(this)));
    }
    return EDS_ERR_OK;
}

EdsError SNP_CanonCamera::downloadObject(EdsDirectoryItemRef item)
{
    SNP_Log::debug(QStringLiteral("should download an object"));
    EdsSdk* sdk = _sdk.get();
    if (!sdk)
        return EDS_ERR_INTERNAL_ERROR;
    const EdsInt64 requested = requestTimeOfItem(*sdk, item);

    EdsDirectoryItemInfo info;
    std::memset(&info, 0, sizeof info);
    EdsError status = sdk->EdsGetDirectoryItemInfo(item, &info);
    if (status != EDS_ERR_OK) {
        // Without the record neither size nor name can be trusted: no transfer.
        SNP_Log::debugf("error %x reading the directory item information", status);
        return status;
    }
    const EdsUInt64 size = info.size;
    const std::optional<QString> name = fileNameOfItem(info);
    SNP_Log::debugf("starting download of %llu byte file named \"%s\"", static_cast<unsigned long long>(size),
                    name ? qUtf8Printable(*name) : "(null)");

    QByteArray buffer;
    if (!allocateDownloadBuffer(buffer, size)) {
        // The camera keeps the file; the next request is served afresh.
        SNP_Log::debugf("cannot allocate %llu bytes for the download", static_cast<unsigned long long>(size));
        return EDS_ERR_MEM_ALLOC_FAILED;
    }
    return transferObject(*sdk, item, buffer, name, requested);
}

EdsError SNP_CanonCamera::transferObject(EdsSdk& sdk, EdsDirectoryItemRef item, QByteArray& buffer,
                                         const std::optional<QString>& name, EdsInt64 requested)
{
    const EdsUInt64 size = static_cast<EdsUInt64>(buffer.size());
    EdsStreamRef stream = nullptr;
    bool photoDataMade = false;
    QByteArray photoData;
    EdsError status = EDS_ERR_OK;
    do {
        status = sdk.EdsCreateMemoryStreamFromPointer(buffer.data(), size, &stream);
        if (status != EDS_ERR_OK) {
            stream = nullptr;
            SNP_Log::debugf("error %x creating memory stream", status);
            break;
        }
        const EdsError progressStatus =
            sdk.EdsSetProgressCallback(stream, &SNP_CanonCamera::progressCallback, kEdsProgressOption_Periodically, this);
        if (progressStatus != EDS_ERR_OK)
            SNP_Log::debugf("error %x registering for download progress", progressStatus);

        SNP_Log::debug(QStringLiteral("beginning download"));
        status = sdk.EdsDownload(item, size, stream);
        if (status != EDS_ERR_OK) {
            SNP_Log::debugf("error %x during download of image stream", status);
            break;
        }
        // The block becomes the photo data (shared, not copied).
        photoData = std::move(buffer);
        photoDataMade = true;

        status = sdk.EdsDownloadComplete(item);
        if (status != EDS_ERR_OK) {
            SNP_Log::debugf("error %x completing download stream", status);
            break;
        }
        SNP_Log::debug(QStringLiteral("image download complete"));
        QVariantMap userInfo;
        userInfo.insert(SNP_CanonCameraPhotoData, photoData);
        if (name)
            userInfo.insert(SNP_CanonCameraPhotoFilename, *name);
        userInfo.insert(SNP_CanonCameraPhotoRequestTime, qint64(requested));
        SNP_NotificationCenter::defaultCenter().postNotification(
            SNP_Notification{SNP_CanonCameraPhotoDataAvailable, notificationObject(), userInfo});
    } while (false);

    if (stream)
        sdk.EdsRelease(stream);
    if (!photoDataMade)
        SNP_Log::debug(QStringLiteral("error creating image data from download stream"));
    return status;
}

EdsError SNP_CanonCamera::progressCallback(EdsUInt32 percent, void* context, EdsBool* outCancel)
{
    auto* camera = static_cast<SNP_CanonCamera*>(context);
    bool cancel = false;
    if (camera) {
        SNP_NotificationCenter::defaultCenter().postNotificationOnMainThread(
            SNP_Notification{SNP_CanonCameraDownloadProgress, camera->notificationObject(),
                             QVariantMap{{SNP_CanonCameraDownloadProgressPercent, QVariant::fromValue<uint>(percent)}}},
            true);
        cancel = camera->cancelDownloadForProgress(percent);
    }
    SNP_Log::debugf("download progress (%u %%)", percent);
    if (outCancel)
        *outCancel = cancel ? 1 : 0;
    return EDS_ERR_OK;
}

bool SNP_CanonCamera::cancelDownloadForProgress(uint32_t percent)
{
    std::lock_guard<std::recursive_mutex> asking(_delegateAsking);
    SNP_CanonCameraDelegate* delegate = _delegate.load();
    return delegate ? delegate->cancelDownloadForProgress(percent) : false;
}
