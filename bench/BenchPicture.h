// The camera picture the filing and mailer benchmarks work on: the simulated camera's scene
// at the given size with fine grain over it, so that it codes like a photograph (about
// 10 MB at 24 megapixels), with the camera's EXIF block. Made anew at each call.
#pragma once

#include "SimJpeg.h"

#include <QByteArray>
#include <QColor>
#include <QImage>

#include <algorithm>
#include <random>
#include <vector>

namespace bench {

inline QByteArray cameraPicture(int width, int height)
{
    QImage scene(width, height, QImage::Format_RGB888);
    if (const auto base = SimJpeg::basePicture(width, height))
        scene.loadFromData(base->data(), int(base->size()), "JPEG");
    if (scene.width() != width) {
        scene = QImage(width, height, QImage::Format_RGB888);
        scene.fill(QColor(90, 120, 160));
    }
    scene = scene.convertToFormat(QImage::Format_RGB888);
    std::mt19937 random(7);
    for (int y = 0; y < height; ++y) {
        uchar* row = scene.scanLine(y);
        for (int x = 0; x < width * 3; ++x)
            row[x] = uchar(std::clamp(int(row[x]) + int(random() % 17) - 8, 0, 255));
    }
    std::vector<uint8_t> jpeg = SimJpeg::encodeRgb(scene.constBits(), width, height, 90);
    SimJpeg::ExifFields exif;
    exif.model = "Canon EOS 5D Mark II";
    exif.dateTimeOriginal = "2026:12:07 10:00:00";
    exif.width = width;
    exif.height = height;
    SimJpeg::writeExif(jpeg, exif);
    return QByteArray(reinterpret_cast<const char*>(jpeg.data()), qsizetype(jpeg.size()));
}

} // namespace bench
