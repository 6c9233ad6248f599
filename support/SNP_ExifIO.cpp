#include "SNP_ExifIO.h"

#include "SNP_Log.h"

#include <mutex>

namespace SNP_ExifIO {

namespace {
void exiv2LogHandler(int level, const char* message)
{
    QString text = QString::fromLocal8Bit(message).trimmed();
    SNP_Log::debug(QStringLiteral("Exiv2 (%1): %2").arg(level).arg(text));
}
} // namespace

void installExiv2LogHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::XmpParser::initialize();
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::error);
        Exiv2::LogMsg::setHandler(exiv2LogHandler);
    });
}

std::optional<ExifContents> readExif(const QByteArray& jpeg, const char* context)
{
    installExiv2LogHandler();
    if (jpeg.isEmpty()) {
        SNP_Log::debugf("%s: no image data", context);
        return std::nullopt;
    }
    return guarded(context, "cannot read the image's metadata", [&]() -> std::optional<ExifContents> {
        auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(jpeg.constData()),
                                               static_cast<long>(jpeg.size()));
        if (!image.get()) {
            SNP_Log::debugf("%s: the data is not an image", context);
            return std::nullopt;
        }
        image->readMetadata();
        ExifContents contents;
        contents.exif = image->exifData();
        contents.byteOrder = image->byteOrder() == Exiv2::invalidByteOrder ? Exiv2::littleEndian : image->byteOrder();
        return contents;
    });
}

std::optional<QByteArray> writeExif(const QByteArray& jpeg, const ExifContents& contents, const char* context)
{
    installExiv2LogHandler();
    return guarded(context, "cannot write the image's metadata", [&]() -> std::optional<QByteArray> {
        auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(jpeg.constData()),
                                               static_cast<long>(jpeg.size()));
        if (!image.get() || image->imageType() != Exiv2::ImageType::jpeg) {
            SNP_Log::debugf("%s: the data is not a JPEG image", context);
            return std::nullopt;
        }
        image->setByteOrder(contents.byteOrder);
        image->setExifData(contents.exif);
        image->writeMetadata();
        Exiv2::BasicIo& io = image->io();
        const long size = io.size();
        if (io.open() != 0) {
            SNP_Log::debugf("%s: cannot reopen the written image", context);
            return std::nullopt;
        }
        QByteArray result(static_cast<qsizetype>(size), Qt::Uninitialized);
        const long read = io.read(reinterpret_cast<Exiv2::byte*>(result.data()), size);
        io.close();
        if (read != size) {
            SNP_Log::debugf("%s: short read of the written image", context);
            return std::nullopt;
        }
        return result;
    });
}

} // namespace SNP_ExifIO
