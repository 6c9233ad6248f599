// A JPEG picture decoded once into its planes (DecodedJpeg), from which both the picture
// encoded again for filing and the picture reduced for the screen are made.
//
// State: each DecodedJpeg holds its full-size planes in a buffer taken from the pool
// SNP_JpegInternal keeps from one picture to the next (behind a lock); the buffer goes
// back to the pool when the last reference to the DecodedJpeg is gone. Threads: see the
// class. Failures are results (null, an empty optional or a null image), each logged
// through SNP_Log; no exception leaves these functions.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>

#include <memory>
#include <optional>

namespace SNP_ImagePipeline {

struct JpegPlanes;

// A JPEG picture decoded once into its planes as the file codes them (luma and the two
// chroma planes at the file's own subsampling, or the one plane of a grey picture), before
// any colour conversion. The picture encoded again and the picture reduced for the screen
// both come from this one decode; encoding from the planes also spares the colour
// conversion and chroma resampling of a round trip through RGB. The full-size planes live
// in a buffer kept from one picture to the next.
//
// Threads: made on one thread, then read-only: several threads may use one at once (the
// booth encodes it on one while it takes the reduced picture on another).
class DecodedJpeg {
public:
    // None (logged) when the data is no whole JPEG picture, or one coded otherwise than in
    // YCbCr or grey (RGB- or CMYK-coded files go through recompressJpeg's RGB route). With
    // reducedAtLeast the picture is also reduced for the screen while it is decoded, each
    // row group as it comes (see reduced()).
    static std::shared_ptr<const DecodedJpeg> decode(const QByteArray& jpeg, QSize reducedAtLeast = QSize());
    ~DecodedJpeg();
    DecodedJpeg(const DecodedJpeg&) = delete;
    DecodedJpeg& operator=(const DecodedJpeg&) = delete;

    QSize size() const { return QSize(_width, _height); }
    // Encoded again at the quality with the file's own subsampling; no metadata.
    std::optional<QByteArray> encode(int quality) const;
    // The picture reduced by the largest whole factor (up to 256) that keeps it at least
    // reducedAtLeast in both directions (the full size when it is smaller): each pixel the
    // mean of a square of the planes' pixels, converted as a decoder converts, into the
    // 32-bit format screens draw (Format_RGB32). A null image when no reduction was asked
    // for or it cannot be made (logged).
    QImage reduced() const;

private:
    DecodedJpeg(std::unique_ptr<JpegPlanes> planes, int width, int height);
    std::unique_ptr<JpegPlanes> _planes;
    int _width = 0;
    int _height = 0;
};

} // namespace SNP_ImagePipeline
