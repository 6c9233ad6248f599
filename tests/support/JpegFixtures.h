// Test pictures made at test time: JPEGs from QImages, with camera-like EXIF entries added
// through Exiv2; and LoggedTest, the support tests' one fixture (also used by the filing and
// mailer tests): a temporary folder with its own log file to look for log lines.
#pragma once

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include "SNP_ImagePipeline.h"
#include "SNP_Log.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <cstdio>

namespace fixtures {

// A picture with some structure (so that recompression changes bytes): a colour gradient
// with a grid.
inline QImage patternImage(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool grid = (x % 37 == 0) || (y % 29 == 0);
            image.setPixel(x, y, qRgb(grid ? 255 : x * 255 / qMax(1, width - 1), grid ? 255 : y * 255 / qMax(1, height - 1),
                                      ((x + y) * 7) & 0xFF));
        }
    return image;
}

inline QImage solidImage(int width, int height, QColor color)
{
    QImage image(width, height, QImage::Format_RGB888);
    image.fill(color);
    return image;
}

// A camera-like JPEG: the picture at quality 95 with the EXIF entries of a camera (Make,
// Model, ExposureTime, DateTimeOriginal) and, when given, a user comment of these raw
// bytes (header included).
inline QByteArray cameraJpeg(const QImage& picture, const QByteArray* rawUserComment = nullptr)
{
    const auto encoded = SNP_ImagePipeline::encodeJpeg(picture, 95);
    if (!encoded)
        return QByteArray();
    Exiv2::ExifData exif;
    exif["Exif.Image.Make"] = "Canon";
    exif["Exif.Image.Model"] = "Canon EOS 5D Mark II";
    exif["Exif.Image.Orientation"] = static_cast<uint16_t>(1);
    exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 125);
    exif["Exif.Photo.DateTimeOriginal"] = "2010:02:02 14:30:05";
    exif["Exif.Photo.PixelXDimension"] = static_cast<uint32_t>(0);
    if (rawUserComment) {
        const Exiv2::DataValue value(reinterpret_cast<const Exiv2::byte*>(rawUserComment->constData()),
                                     static_cast<long>(rawUserComment->size()));
        exif.add(Exiv2::ExifKey("Exif.Photo.UserComment"), &value);
    }
    auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(encoded->constData()), static_cast<long>(encoded->size()));
    image->setExifData(exif);
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    QByteArray out(static_cast<qsizetype>(io.size()), Qt::Uninitialized);
    io.open();
    io.read(reinterpret_cast<Exiv2::byte*>(out.data()), static_cast<long>(out.size()));
    io.close();
    return out;
}

inline Exiv2::ExifData exifOf(const QByteArray& jpeg)
{
    auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(jpeg.constData()), static_cast<long>(jpeg.size()));
    image->readMetadata();
    return image->exifData();
}

inline std::string exifString(const Exiv2::ExifData& exif, const char* key)
{
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    return it == exif.end() ? std::string() : it->toString();
}

inline QByteArray rawUserComment(const QByteArray& jpeg)
{
    const Exiv2::ExifData exif = exifOf(jpeg);
    const auto it = exif.findKey(Exiv2::ExifKey("Exif.Photo.UserComment"));
    if (it == exif.end())
        return QByteArray();
    QByteArray raw(static_cast<qsizetype>(it->size()), '\0');
    it->copy(reinterpret_cast<Exiv2::byte*>(raw.data()), Exiv2::littleEndian);
    return raw;
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A test with its own temporary folder and its own log file.
class LoggedTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        logPath = dir.filePath("test.log");
        ASSERT_TRUE(SNP_Log::setLogFile(logPath));
    }
    // Standard error goes into the log file while it is open; a failed test's log is
    // printed on standard output.
    void TearDown() override
    {
        if (HasFailure())
            std::printf("--- log of the failed test ---\n%s\n", qUtf8Printable(logText()));
        SNP_Log::resetForTesting();
    }
    QString logText() const
    {
        std::fflush(nullptr); // the log file is a buffered stream
        return QString::fromUtf8(readFile(logPath));
    }
    QString path(const QString& name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    QString logPath;
};

} // namespace fixtures
