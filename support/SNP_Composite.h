// The composite of a photo with the event frame: the photo window, the frame image loaded
// from its file, the composite drawn, and the composite encoded as JPEG carrying the EXIF
// data of the filed picture.
//
// State: none. Threads: any thread, several at once (the drawing is QPainter on a QImage).
// Failures are results (an empty optional), each logged through SNP_Log; no exception
// leaves these functions.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QRectF>
#include <QSizeF>
#include <QString>

#include <optional>

namespace SNP_ImagePipeline {

// The photo window inside the composite.
inline constexpr int kPhotoWindowWidth = 568;
inline constexpr int kPhotoWindowHeight = 354;

// Photo window for a composite of the given size: 568 x 354, centred, computed in single
// precision so that a half pixel is kept ((999 - 568) / 2 = 215.5). Being centred, the
// window is at the same place whether counted from the top or the bottom edge.
QRectF photoWindowForCompositeSize(QSizeF compositeSize);

// The frame image from a file, at its pixel size whatever resolution the file declares.
std::optional<QImage> loadFrameImage(const QString& path);

// The composite: an image of the frame's pixel size, the photo stretched (no aspect kept,
// nothing cropped) into the photo window, then the frame drawn over it source-over at full
// opacity. The photo is decoded reduced in the DCT to just above the window size.
std::optional<QImage> makeComposite(const QByteArray& photoJpeg, const QImage& frame);
// As above for a photo already decoded (at any size: it is stretched into the window).
std::optional<QImage> makeComposite(const QImage& photo, const QImage& frame);

// The composite encoded as JPEG (quality 90) carrying the EXIF data of exifSourceJpeg
// (the filed picture, with the addresses in its user comment). The pixel-dimension tags
// are set to the composite's size and the orientation to upright, as the composite is
// drawn upright; every other entry is kept as it is. A source without EXIF data gives a
// composite without EXIF data.
std::optional<QByteArray> compositeJpeg(const QByteArray& photoJpeg, const QImage& frame,
                                        const QByteArray& exifSourceJpeg);

// As compositeJpeg, for a composite already drawn (makeComposite).
std::optional<QByteArray> compositeJpegFromImage(const QImage& composite, const QByteArray& exifSourceJpeg);

} // namespace SNP_ImagePipeline
