#include "SNP_Composite.h"

#include "SNP_ExifIO.h"
#include "SNP_JpegCodec.h"
#include "SNP_Log.h"

#include <QImageReader>
#include <QPainter>

namespace SNP_ImagePipeline {

QRectF photoWindowForCompositeSize(QSizeF compositeSize)
{
    const float width = static_cast<float>(compositeSize.width());
    const float height = static_cast<float>(compositeSize.height());
    const float x = (width - static_cast<float>(kPhotoWindowWidth)) / 2.0f;
    const float y = (height - static_cast<float>(kPhotoWindowHeight)) / 2.0f;
    return QRectF(x, y, kPhotoWindowWidth, kPhotoWindowHeight);
}

std::optional<QImage> loadFrameImage(const QString& path)
{
    QImageReader reader(path);
    QImage frame = reader.read();
    if (frame.isNull()) {
        SNP_Log::debugf("loadFrameImage: cannot load the frame image \"%s\": %s", qUtf8Printable(path),
                        qUtf8Printable(reader.errorString()));
        return std::nullopt;
    }
    return frame;
}

std::optional<QImage> makeComposite(const QByteArray& photoJpeg, const QImage& frame)
{
    if (frame.isNull()) {
        SNP_Log::debug(QStringLiteral("makeComposite: no frame image"));
        return std::nullopt;
    }
    const auto photo = decodeJpegScaled(photoJpeg, QSize(kPhotoWindowWidth, kPhotoWindowHeight));
    if (!photo) {
        SNP_Log::debug(QStringLiteral("makeComposite: the photo cannot be decoded"));
        return std::nullopt;
    }
    return makeComposite(*photo, frame);
}

std::optional<QImage> makeComposite(const QImage& photo, const QImage& frame)
{
    if (frame.isNull()) {
        SNP_Log::debug(QStringLiteral("makeComposite: no frame image"));
        return std::nullopt;
    }
    if (photo.isNull()) {
        SNP_Log::debug(QStringLiteral("makeComposite: no photo"));
        return std::nullopt;
    }
    // The composite has the frame's pixel size, whatever resolution the frame declares.
    QImage composite(frame.width(), frame.height(), QImage::Format_ARGB32_Premultiplied);
    if (composite.isNull()) {
        SNP_Log::debugf("makeComposite: cannot allocate a %d x %d composite", frame.width(), frame.height());
        return std::nullopt;
    }
    composite.fill(Qt::transparent);
    {
        QPainter painter(&composite);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.setOpacity(1.0);
        painter.drawImage(photoWindowForCompositeSize(QSizeF(composite.size())), photo, QRectF(photo.rect()));
        painter.drawImage(QRectF(0, 0, composite.width(), composite.height()), frame, QRectF(frame.rect()));
    }
    // Areas neither the photo nor the frame cover are transparent; flattened they are black.
    return composite.convertToFormat(QImage::Format_RGB888);
}

std::optional<QByteArray> compositeJpeg(const QByteArray& photoJpeg, const QImage& frame, const QByteArray& exifSourceJpeg)
{
    const auto composite = makeComposite(photoJpeg, frame);
    if (!composite)
        return std::nullopt;
    return compositeJpegFromImage(*composite, exifSourceJpeg);
}

std::optional<QByteArray> compositeJpegFromImage(const QImage& composite, const QByteArray& exifSourceJpeg)
{
    if (composite.isNull()) {
        SNP_Log::debug(QStringLiteral("compositeJpeg: no composite"));
        return std::nullopt;
    }
    const QSize size = composite.size();
    const auto encoded = encodeJpeg(composite, kJpegQuality);
    if (!encoded)
        return std::nullopt;
    auto contents = SNP_ExifIO::readExif(exifSourceJpeg, "compositeJpeg");
    if (!contents)
        return std::nullopt;
    if (contents->exif.empty())
        return encoded;
    const bool updated = SNP_ExifIO::guarded("compositeJpeg", "cannot update the EXIF data", [&] {
        auto& exif = contents->exif;
        const auto setLong = [&](const char* key, uint32_t value) {
            auto it = exif.findKey(Exiv2::ExifKey(key));
            if (it != exif.end())
                exif.erase(it);
            exif[key] = value;
        };
        setLong("Exif.Photo.PixelXDimension", static_cast<uint32_t>(size.width()));
        setLong("Exif.Photo.PixelYDimension", static_cast<uint32_t>(size.height()));
        auto orientation = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        if (orientation != exif.end())
            *orientation = static_cast<uint16_t>(1);
        return true;
    });
    if (!updated)
        return std::nullopt;
    return SNP_ExifIO::writeExif(*encoded, *contents, "compositeJpeg");
}

} // namespace SNP_ImagePipeline
