// The upload file of a filed picture (SNP_Filing.h): its composite with the event frame,
// carrying the filed picture's EXIF data, written into the matching day folder below the
// upload folder under a free name.
#include "SNP_Filing.h"

#include "SNP_FilingFiles.h"
#include "SNP_Log.h"
#include "SNP_Resources.h"

#include <QFile>
#include <QFileInfo>

#include <cmath>

using SNP_FilingFiles::makeFolder;
using SNP_FilingFiles::uploadPathFor;
using SNP_FilingFiles::writeNewFile;

namespace {

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
