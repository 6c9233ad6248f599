#include "SNP_JpegCodec.h"

#include "SNP_DecodedJpeg.h"
#include "SNP_ExifIO.h"
#include "SNP_JpegInternal.h"
#include "SNP_Log.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace SNP_ImagePipeline {

using namespace detail;

namespace {

struct TjBuffer {
    ~TjBuffer() { if (data) tjFree(data); }
    unsigned char* data = nullptr;
    unsigned long size = 0;
};

// Decodes into an RGB888 QImage of the given (scaled) size. Warnings (a truncated or
// damaged stream) count as failures: a half-grey picture is not filed as a good one.
std::optional<QImage> decodeInto(tjhandle handle, const QByteArray& jpeg, int width, int height, const char* context)
{
    QImage image(width, height, QImage::Format_RGB888);
    if (image.isNull()) {
        SNP_Log::debugf("%s: cannot allocate a %d x %d picture", context, width, height);
        return std::nullopt;
    }
    if (tjDecompress2(handle, reinterpret_cast<const unsigned char*>(jpeg.constData()),
                      static_cast<unsigned long>(jpeg.size()), image.bits(), width,
                      static_cast<int>(image.bytesPerLine()), height, TJPF_RGB, 0) != 0) {
        SNP_Log::debugf("%s: JPEG decoding failed: %s", context, qUtf8Printable(tjError(handle)));
        return std::nullopt;
    }
    return image;
}

// The smallest of the decoder's reductions (none of its enlargements) of the picture that is
// still at least minSize in both directions; the full size when none is.
QSize smallestReductionAtLeast(const JpegHeader& header, QSize minSize)
{
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    int bestWidth = header.width;
    int bestHeight = header.height;
    for (int i = 0; factors && i < count; ++i) {
        const tjscalingfactor f = factors[i];
        if (f.num > f.denom)
            continue; // enlargements are of no use here
        const int w = TJSCALED(header.width, f);
        const int h = TJSCALED(header.height, f);
        if (w >= minSize.width() && h >= minSize.height() && static_cast<qint64>(w) * h < static_cast<qint64>(bestWidth) * bestHeight) {
            bestWidth = w;
            bestHeight = h;
        }
    }
    return QSize(bestWidth, bestHeight);
}

// Decodes the picture at full size, or with minSize reduced in the DCT
// (smallestReductionAtLeast); logged with the context on failure, except a decoder that
// cannot be started.
std::optional<QImage> decodeReducedTo(const QByteArray& jpeg, std::optional<QSize> minSize, const char* context)
{
    if (!dataUsable(jpeg, context))
        return std::nullopt;
    TjHandle tj(tjInitDecompress());
    if (!tj.handle)
        return std::nullopt;
    const auto header = headerWith(tj.handle, jpeg, context);
    if (!header)
        return std::nullopt;
    const QSize size = minSize ? smallestReductionAtLeast(*header, *minSize) : QSize(header->width, header->height);
    return decodeInto(tj.handle, jpeg, size.width(), size.height(), context);
}

} // namespace

std::optional<JpegHeader> readJpegHeader(const QByteArray& jpeg)
{
    if (!dataUsable(jpeg, "readJpegHeader"))
        return std::nullopt;
    TjHandle tj(tjInitDecompress());
    if (!tj.handle) {
        SNP_Log::debug(QStringLiteral("readJpegHeader: cannot start the JPEG decoder"));
        return std::nullopt;
    }
    return headerWith(tj.handle, jpeg, "readJpegHeader");
}

std::optional<QImage> decodeJpeg(const QByteArray& jpeg)
{
    return decodeReducedTo(jpeg, std::nullopt, "decodeJpeg");
}

std::optional<QImage> decodeJpegScaled(const QByteArray& jpeg, QSize minSize)
{
    return decodeReducedTo(jpeg, minSize, "decodeJpegScaled");
}

std::optional<QByteArray> encodeJpeg(const QImage& source, int quality, int subsampling)
{
    if (source.isNull()) {
        SNP_Log::debug(QStringLiteral("encodeJpeg: no picture to encode"));
        return std::nullopt;
    }
    const QImage image = source.format() == QImage::Format_RGB888 ? source : source.convertToFormat(QImage::Format_RGB888);
    TjHandle tj(tjInitCompress());
    if (!tj.handle) {
        SNP_Log::debug(QStringLiteral("encodeJpeg: cannot start the JPEG encoder"));
        return std::nullopt;
    }
    TjBuffer out;
    if (tjCompress2(tj.handle, image.constBits(), image.width(), static_cast<int>(image.bytesPerLine()), image.height(),
                    TJPF_RGB, &out.data, &out.size, subsampling < 0 ? TJSAMP_420 : subsampling, quality, 0) != 0) {
        SNP_Log::debugf("encodeJpeg: JPEG encoding failed: %s", qUtf8Printable(tjError(tj.handle)));
        return std::nullopt;
    }
    return QByteArray(reinterpret_cast<const char*>(out.data), static_cast<qsizetype>(out.size));
}

std::optional<QByteArray> recompressJpeg(const QByteArray& jpeg, int quality)
{
    if (!dataUsable(jpeg, "recompressJpeg"))
        return std::nullopt;
    TjHandle decoder(tjInitDecompress());
    if (!decoder.handle) {
        SNP_Log::debug(QStringLiteral("recompressJpeg: cannot start the JPEG codec"));
        return std::nullopt;
    }
    const auto header = headerWith(decoder.handle, jpeg, "recompressJpeg");
    if (!header)
        return std::nullopt;
    if (header->colorspace == TJCS_CMYK || header->colorspace == TJCS_YCCK) {
        SNP_Log::debug(QStringLiteral("recompressJpeg: CMYK pictures are not handled"));
        return std::nullopt;
    }
    if (header->colorspace == TJCS_YCbCr || header->colorspace == TJCS_GRAY) {
        const auto decoded = DecodedJpeg::decode(jpeg);
        return decoded ? decoded->encode(quality) : std::nullopt;
    }

    // An RGB-coded file: through RGB pixels.
    TjHandle encoder(tjInitCompress());
    if (!encoder.handle) {
        SNP_Log::debug(QStringLiteral("recompressJpeg: cannot start the JPEG codec"));
        return std::nullopt;
    }
    const size_t bufferSize = static_cast<size_t>(header->width) * static_cast<size_t>(header->height) * 3;
    const int subsampling = header->subsampling >= 0 && header->subsampling < TJ_NUMSAMP && header->subsampling != TJSAMP_GRAY
                                ? header->subsampling : TJSAMP_420;
    const unsigned long outCapacity = tjBufSize(header->width, header->height, subsampling);
    if (outCapacity == static_cast<unsigned long>(-1) || outCapacity > static_cast<unsigned long>(INT_MAX)) {
        SNP_Log::debugf("recompressJpeg: a %d x %d picture is too large", header->width, header->height);
        return std::nullopt;
    }
    const KeptBuffer pixels = KeptBuffer::take(bufferSize);
    const KeptBuffer out = KeptBuffer::take(outCapacity);
    if (!pixels.data() || !out.data()) {
        SNP_Log::debugf("recompressJpeg: cannot allocate %zu bytes for a %d x %d picture", bufferSize, header->width, header->height);
        return std::nullopt;
    }
    if (tjDecompress2(decoder.handle, reinterpret_cast<const unsigned char*>(jpeg.constData()),
                      static_cast<unsigned long>(jpeg.size()), pixels.data(), header->width, 0, header->height, TJPF_RGB, 0) != 0) {
        SNP_Log::debugf("recompressJpeg: JPEG decoding failed: %s", qUtf8Printable(tjError(decoder.handle)));
        return std::nullopt;
    }
    unsigned char* outData = out.data();
    unsigned long outSize = outCapacity;
    if (tjCompress2(encoder.handle, pixels.data(), header->width, 0, header->height, TJPF_RGB, &outData, &outSize, subsampling,
                    quality, TJFLAG_NOREALLOC) != 0) {
        SNP_Log::debugf("recompressJpeg: JPEG encoding failed: %s", qUtf8Printable(tjError(encoder.handle)));
        return std::nullopt;
    }
    return QByteArray(reinterpret_cast<const char*>(outData), static_cast<qsizetype>(outSize));
}

std::optional<QByteArray> scaledJpeg(const QByteArray& jpeg, int maxSide)
{
    const auto header = readJpegHeader(jpeg);
    if (!header || maxSide <= 0)
        return std::nullopt;
    if (std::max(header->width, header->height) <= maxSide)
        return jpeg;
    const QSize size = QSize(header->width, header->height).scaled(maxSide, maxSide, Qt::KeepAspectRatio);
    const auto decoded = decodeJpegScaled(jpeg, size);
    if (!decoded)
        return std::nullopt;
    const auto encoded = encodeJpeg(decoded->size() == size ? *decoded
                                        : decoded->scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation),
                                    kJpegQuality);
    auto contents = SNP_ExifIO::readExif(jpeg, "scaledJpeg");
    if (!encoded || !contents)
        return std::nullopt;
    try {
        for (const auto& [key, value] : {std::pair("Exif.Photo.PixelXDimension", size.width()),
                                         std::pair("Exif.Photo.PixelYDimension", size.height())}) {
            auto it = contents->exif.findKey(Exiv2::ExifKey(key));
            if (it != contents->exif.end()) {
                contents->exif.erase(it);
                contents->exif[key] = static_cast<uint32_t>(value);
            }
        }
    } catch (...) {
        SNP_Log::debug(QStringLiteral("scaledJpeg: cannot update the EXIF data"));
        return std::nullopt;
    }
    return contents->exif.empty() ? encoded : SNP_ExifIO::writeExif(*encoded, *contents, "scaledJpeg");
}

} // namespace SNP_ImagePipeline
