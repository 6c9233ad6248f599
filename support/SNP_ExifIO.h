// Internal to the support library: EXIF reading and writing on JPEG bytes with Exiv2.
// Only the support library's EXIF users (SNP_JpegExif, SNP_Composite, SNP_JpegCodec's
// scaledJpeg, SNP_XMLinEXIF) and the fuzzers include this; Exiv2 does not appear in any
// public header. Every Exiv2 exception is caught here and turned into a result.
//
// State: Exiv2's message handler, installed once per process. Threads: any thread.
#pragma once

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include "SNP_Log.h"

#include <QByteArray>
#include <QString>

#include <exception>
#include <optional>

namespace SNP_ExifIO {

struct ExifContents {
    Exiv2::ExifData exif;
    Exiv2::ByteOrder byteOrder = Exiv2::littleEndian;
};

// The EXIF data of a JPEG read from its bytes (no pixel decoded). Empty optional, with a
// log line naming the context, when Exiv2 cannot read the data as an image; an empty
// ExifData when the picture has none.
std::optional<ExifContents> readExif(const QByteArray& jpeg, const char* context);

// The JPEG with its metadata replaced by the EXIF data (empty: no EXIF block).
std::optional<QByteArray> writeExif(const QByteArray& jpeg, const ExifContents& contents,
                                    const char* context);

// Routes Exiv2's own messages into the log (warnings and errors only); idempotent.
void installExiv2LogHandler();

// Runs step, a piece of work with Exiv2, and gives back what it returns. An exception it
// throws is logged as "<context>: <failure>: <the exception's message>" (without the
// message when it is no std::exception) and gives a default result instead (an empty
// optional, false).
template <typename Step>
auto guarded(const char* context, const char* failure, Step&& step) -> decltype(step())
{
    try {
        return step();
    } catch (const std::exception& e) {
        SNP_Log::debugf("%s: %s: %s", context, failure, e.what());
    } catch (...) {
        SNP_Log::debugf("%s: %s", context, failure);
    }
    return decltype(step()){};
}

} // namespace SNP_ExifIO
