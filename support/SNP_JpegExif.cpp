#include "SNP_JpegExif.h"

#include "SNP_ExifIO.h"
#include "SNP_Log.h"

#include <QStringList>

namespace SNP_ImagePipeline {

std::optional<QByteArray> exifBlockOfJpeg(const QByteArray& jpeg)
{
    auto contents = SNP_ExifIO::readExif(jpeg, "exifBlockOfJpeg");
    if (!contents)
        return std::nullopt;
    if (contents->exif.empty())
        return QByteArray();
    return SNP_ExifIO::guarded("exifBlockOfJpeg", "cannot encode the EXIF data", [&]() -> std::optional<QByteArray> {
        Exiv2::Blob blob;
        Exiv2::ExifParser::encode(blob, contents->byteOrder, contents->exif);
        return QByteArray(reinterpret_cast<const char*>(blob.data()), static_cast<qsizetype>(blob.size()));
    });
}

std::optional<QByteArray> jpegWithExifBlock(const QByteArray& jpeg, const QByteArray& exifBlock)
{
    SNP_ExifIO::ExifContents contents;
    if (!exifBlock.isEmpty()) {
        const bool decoded = SNP_ExifIO::guarded("jpegWithExifBlock", "cannot read the EXIF block", [&] {
            contents.byteOrder = Exiv2::ExifParser::decode(contents.exif, reinterpret_cast<const Exiv2::byte*>(exifBlock.constData()),
                                                           static_cast<uint32_t>(exifBlock.size()));
            return true;
        });
        if (!decoded)
            return std::nullopt;
        if (contents.byteOrder == Exiv2::invalidByteOrder) {
            SNP_Log::debug(QStringLiteral("jpegWithExifBlock: the EXIF block is not a TIFF structure"));
            return std::nullopt;
        }
    }
    return SNP_ExifIO::writeExif(jpeg, contents, "jpegWithExifBlock");
}

QString exifSummaryOfJpeg(const QByteArray& jpeg, int maxValueLength)
{
    const auto contents = SNP_ExifIO::readExif(jpeg, "exifSummaryOfJpeg");
    if (!contents)
        return QStringLiteral("(null)");
    QStringList lines;
    try {
        for (const auto& datum : contents->exif) {
            QString value = QString::fromStdString(datum.toString());
            if (maxValueLength >= 0 && value.size() > maxValueLength)
                value = value.left(maxValueLength) + QStringLiteral("...");
            value.replace(u'\n', u' ');
            lines << QStringLiteral("%1 = %2").arg(QString::fromStdString(datum.key()), value);
        }
    } catch (...) {
        lines << QStringLiteral("(unreadable entries)");
    }
    return QStringLiteral("{\n    ") + lines.join(QStringLiteral(";\n    ")) + QStringLiteral("\n}");
}

} // namespace SNP_ImagePipeline
