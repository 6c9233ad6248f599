// EXIF blocks of JPEG files read, summed up for the log and written, without touching a
// pixel (Exiv2 on the bytes, through SNP_ExifIO).
//
// State: none of their own (SNP_ExifIO routes Exiv2's messages into the log once per
// process). Threads: any thread, several at once. Failures are results (an empty optional),
// each logged through SNP_Log; no exception leaves these functions.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace SNP_ImagePipeline {

// The EXIF block of a JPEG, as the bytes of its TIFF structure (without the "Exif\0\0"
// marker); read with Exiv2 from the bytes, no pixel is decoded. Empty optional when the
// data is no readable image; an empty QByteArray when the picture carries no EXIF data.
std::optional<QByteArray> exifBlockOfJpeg(const QByteArray& jpeg);

// The EXIF entries of a JPEG as "key = value" lines, for log lines; values longer than
// maxValueLength characters are cut. No pixel is decoded.
QString exifSummaryOfJpeg(const QByteArray& jpeg, int maxValueLength = 80);

// Replaces the metadata of a JPEG by the given EXIF block (TIFF structure bytes); an
// empty block removes EXIF data. Pixels are not touched.
std::optional<QByteArray> jpegWithExifBlock(const QByteArray& jpeg, const QByteArray& exifBlock);

} // namespace SNP_ImagePipeline
