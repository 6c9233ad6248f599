// JPEG decoding (full size or reduced in the DCT) and encoding of whole pictures with
// libjpeg-turbo, re-encoding at another quality, and the picture scaled down for mail with
// its EXIF data carried over.
//
// State: recompressJpeg takes its large buffers from the pool SNP_JpegInternal keeps from
// one picture to the next (behind a lock); the other functions keep nothing. Threads: any
// thread, several at once. Failures are results (an empty optional), each logged through
// SNP_Log unless said otherwise; no exception leaves these functions.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>

#include <optional>

namespace SNP_ImagePipeline {

// JPEG quality the booth encodes with (the 0.9 compression factor of the filing steps).
inline constexpr int kJpegQuality = 90;

struct JpegHeader {
    int width = 0;
    int height = 0;
    int subsampling = 0; // a TJSAMP value
    int colorspace = 0;  // a TJCS value
};

// Width, height and sampling of a JPEG, from its header only.
std::optional<JpegHeader> readJpegHeader(const QByteArray& jpeg);

// Decodes the whole picture at full size into an RGB888 image.
std::optional<QImage> decodeJpeg(const QByteArray& jpeg);

// Decodes the picture reduced in the DCT (1/8, 1/4, 3/8, 1/2 ... of the full size): the
// smallest reduction that is still at least minSize in both directions (the full size
// when the picture is smaller than that). Far cheaper than a full decode.
std::optional<QImage> decodeJpegScaled(const QByteArray& jpeg, QSize minSize);

// Encodes an image as a baseline JPEG without metadata. subsampling < 0: 4:2:0.
std::optional<QByteArray> encodeJpeg(const QImage& image, int quality, int subsampling = -1);

// Decodes the picture and encodes it again at the given quality with its own chroma
// subsampling, holding only one full-size buffer (through DecodedJpeg when the file is
// coded in YCbCr or grey). No metadata is carried over.
std::optional<QByteArray> recompressJpeg(const QByteArray& jpeg, int quality);

// The picture scaled down so that its longer side is maxSide pixels (reduced in the DCT,
// then smooth-scaled), encoded at quality 90 with the source's EXIF data, the pixel
// dimension tags set to the new size; the source itself when it is no larger.
std::optional<QByteArray> scaledJpeg(const QByteArray& jpeg, int maxSide);

} // namespace SNP_ImagePipeline
