#include "SNP_ImagePipeline.h"

#include "SNP_ExifIO.h"
#include "SNP_FileAccess.h"
#include "SNP_Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>
#include <QStringList>

#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SNP_ImagePipeline {

namespace {

struct TjHandle {
    explicit TjHandle(tjhandle h) : handle(h) {}
    ~TjHandle() { if (handle) tjDestroy(handle); }
    TjHandle(const TjHandle&) = delete;
    TjHandle& operator=(const TjHandle&) = delete;
    tjhandle handle;
};

struct TjBuffer {
    ~TjBuffer() { if (data) tjFree(data); }
    unsigned char* data = nullptr;
    unsigned long size = 0;
};

// The full-size buffers recompressJpeg keeps between pictures.
struct KeptBuffers {
    std::mutex lock;
    std::unique_ptr<unsigned char[]> pixels;
    size_t pixelCapacity = 0;
    TjBuffer out; // out.size: its capacity
};
KeptBuffers gKept;

QString tjError(tjhandle handle)
{
    return QString::fromLocal8Bit(tjGetErrorStr2(handle));
}

bool dataUsable(const QByteArray& jpeg, const char* context)
{
    if (jpeg.size() < 4 || static_cast<unsigned char>(jpeg[0]) != 0xFF || static_cast<unsigned char>(jpeg[1]) != 0xD8) {
        SNP_Log::debugf("%s: not JPEG data (%lld bytes)", context, static_cast<long long>(jpeg.size()));
        return false;
    }
    if (static_cast<unsigned long long>(jpeg.size()) > static_cast<unsigned long long>(ULONG_MAX)) {
        SNP_Log::debugf("%s: JPEG data too large", context);
        return false;
    }
    return true;
}

// Reads the header with a handle the caller keeps for the decode.
std::optional<JpegHeader> headerWith(tjhandle handle, const QByteArray& jpeg, const char* context)
{
    JpegHeader header;
    if (tjDecompressHeader3(handle, reinterpret_cast<const unsigned char*>(jpeg.constData()),
                            static_cast<unsigned long>(jpeg.size()), &header.width, &header.height,
                            &header.subsampling, &header.colorspace) != 0) {
        SNP_Log::debugf("%s: cannot read the JPEG header: %s", context, qUtf8Printable(tjError(handle)));
        return std::nullopt;
    }
    if (header.width <= 0 || header.height <= 0) {
        SNP_Log::debugf("%s: JPEG header gives an empty picture", context);
        return std::nullopt;
    }
    return header;
}

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

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

FileResult failure(int error, const QString& message)
{
    FileResult result;
    result.ok = false;
    result.error = error;
    result.message = message;
    SNP_Log::debug(message);
    return result;
}

bool writeAll(int fd, const char* data, size_t size, int* error)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            *error = errno;
            return false;
        }
        if (written == 0) {
            *error = EIO;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

std::atomic<bool> gNoReplaceRenameRefused{false};

// Gives the file `from` the name `to` in the same file system without ever replacing a file
// of that name (EEXIST then). A rename, so that the file arrives whole in one step and a
// watcher sees it arrive (inotify IN_MOVED_TO: an uploader's "a finished file is here").
// Where the file system refuses the no-replace rename (some network file systems), a link
// and the removal of the old name do the same, only without that event. 0, or -1 with errno
// (ENOTSUP: the file system offers neither, so nothing can be placed there without the risk
// of replacing a file).
int renameNoReplace(const char* from, const char* to)
{
    if (!gNoReplaceRenameRefused.load()) {
        if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
            return 0;
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
            return -1;
    }
    if (::link(from, to) != 0) {
        if (errno == EPERM)
            errno = ENOTSUP;
        return -1;
    }
    ::unlink(from);
    return 0;
}

// "base-N.ext" for N > 0, "base.ext" for 0.
QString candidateName(const QString& name, int n)
{
    if (n == 0)
        return name;
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot <= 0)
        return QStringLiteral("%1-%2").arg(name).arg(n);
    return QStringLiteral("%1-%2%3").arg(name.left(dot)).arg(n).arg(name.mid(dot));
}

constexpr int kMaxNameAttempts = 10000;

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
    if (!dataUsable(jpeg, "decodeJpeg"))
        return std::nullopt;
    TjHandle tj(tjInitDecompress());
    if (!tj.handle)
        return std::nullopt;
    const auto header = headerWith(tj.handle, jpeg, "decodeJpeg");
    if (!header)
        return std::nullopt;
    return decodeInto(tj.handle, jpeg, header->width, header->height, "decodeJpeg");
}

std::optional<QImage> decodeJpegScaled(const QByteArray& jpeg, QSize minSize)
{
    if (!dataUsable(jpeg, "decodeJpegScaled"))
        return std::nullopt;
    TjHandle tj(tjInitDecompress());
    if (!tj.handle)
        return std::nullopt;
    const auto header = headerWith(tj.handle, jpeg, "decodeJpegScaled");
    if (!header)
        return std::nullopt;

    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    int bestWidth = header->width;
    int bestHeight = header->height;
    for (int i = 0; factors && i < count; ++i) {
        const tjscalingfactor f = factors[i];
        if (f.num > f.denom)
            continue; // enlargements are of no use here
        const int w = TJSCALED(header->width, f);
        const int h = TJSCALED(header->height, f);
        if (w >= minSize.width() && h >= minSize.height() && static_cast<qint64>(w) * h < static_cast<qint64>(bestWidth) * bestHeight) {
            bestWidth = w;
            bestHeight = h;
        }
    }
    return decodeInto(tj.handle, jpeg, bestWidth, bestHeight, "decodeJpegScaled");
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
    TjHandle encoder(tjInitCompress());
    if (!decoder.handle || !encoder.handle) {
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
    const bool gray = header->colorspace == TJCS_GRAY;
    const int pixelFormat = gray ? TJPF_GRAY : TJPF_RGB;
    const size_t pixelSize = gray ? 1 : 3;
    const size_t bufferSize = static_cast<size_t>(header->width) * static_cast<size_t>(header->height) * pixelSize;

    const int subsampling = gray ? TJSAMP_GRAY
                                 : (header->subsampling >= 0 && header->subsampling < TJ_NUMSAMP && header->subsampling != TJSAMP_GRAY
                                        ? header->subsampling : TJSAMP_420);
    const unsigned long outCapacity = tjBufSize(header->width, header->height, subsampling);
    if (outCapacity == static_cast<unsigned long>(-1)) {
        SNP_Log::debugf("recompressJpeg: a %d x %d picture is too large", header->width, header->height);
        return std::nullopt;
    }

    // The full-size buffers are kept from one picture to the next: fresh ones of 72 MB for
    // each 24-megapixel picture cost more in page faults than the coding itself. A second
    // picture coded at the same time uses buffers of its own.
    std::unique_lock<std::mutex> keptLock(gKept.lock, std::try_to_lock);
    std::unique_ptr<unsigned char[]> ownPixels;
    TjBuffer ownOut;
    unsigned char* pixels = nullptr;
    unsigned char* outData = nullptr;
    if (keptLock.owns_lock()) {
        if (gKept.pixelCapacity < bufferSize) {
            gKept.pixels.reset();
            gKept.pixelCapacity = 0;
            gKept.pixels.reset(new (std::nothrow) unsigned char[bufferSize]);
            if (gKept.pixels)
                gKept.pixelCapacity = bufferSize;
        }
        if (gKept.out.size < outCapacity) {
            if (gKept.out.data)
                tjFree(gKept.out.data);
            gKept.out.data = tjAlloc(static_cast<int>(qMin<unsigned long>(outCapacity, INT_MAX)));
            gKept.out.size = gKept.out.data ? outCapacity : 0;
        }
        pixels = gKept.pixels.get();
        outData = gKept.out.data;
    } else {
        ownPixels.reset(new (std::nothrow) unsigned char[bufferSize]);
        ownOut.data = tjAlloc(static_cast<int>(qMin<unsigned long>(outCapacity, INT_MAX)));
        pixels = ownPixels.get();
        outData = ownOut.data;
    }
    if (!pixels || !outData || outCapacity > static_cast<unsigned long>(INT_MAX)) {
        SNP_Log::debugf("recompressJpeg: cannot allocate %zu bytes for a %d x %d picture", bufferSize, header->width, header->height);
        return std::nullopt;
    }
    if (tjDecompress2(decoder.handle, reinterpret_cast<const unsigned char*>(jpeg.constData()),
                      static_cast<unsigned long>(jpeg.size()), pixels, header->width, 0, header->height, pixelFormat, 0) != 0) {
        SNP_Log::debugf("recompressJpeg: JPEG decoding failed: %s", qUtf8Printable(tjError(decoder.handle)));
        return std::nullopt;
    }
    unsigned long outSize = outCapacity;
    if (tjCompress2(encoder.handle, pixels, header->width, 0, header->height, pixelFormat, &outData, &outSize, subsampling,
                    quality, TJFLAG_NOREALLOC) != 0) {
        SNP_Log::debugf("recompressJpeg: JPEG encoding failed: %s", qUtf8Printable(tjError(encoder.handle)));
        return std::nullopt;
    }
    return QByteArray(reinterpret_cast<const char*>(outData), static_cast<qsizetype>(outSize));
}

std::optional<QByteArray> exifBlockOfJpeg(const QByteArray& jpeg)
{
    auto contents = SNP_ExifIO::readExif(jpeg, "exifBlockOfJpeg");
    if (!contents)
        return std::nullopt;
    if (contents->exif.empty())
        return QByteArray();
    try {
        Exiv2::Blob blob;
        Exiv2::ExifParser::encode(blob, contents->byteOrder, contents->exif);
        return QByteArray(reinterpret_cast<const char*>(blob.data()), static_cast<qsizetype>(blob.size()));
    } catch (const std::exception& e) {
        SNP_Log::debugf("exifBlockOfJpeg: cannot encode the EXIF data: %s", e.what());
    } catch (...) {
        SNP_Log::debug(QStringLiteral("exifBlockOfJpeg: cannot encode the EXIF data"));
    }
    return std::nullopt;
}

std::optional<QByteArray> jpegWithExifBlock(const QByteArray& jpeg, const QByteArray& exifBlock)
{
    SNP_ExifIO::ExifContents contents;
    if (!exifBlock.isEmpty()) {
        try {
            contents.byteOrder = Exiv2::ExifParser::decode(contents.exif, reinterpret_cast<const Exiv2::byte*>(exifBlock.constData()),
                                                           static_cast<uint32_t>(exifBlock.size()));
        } catch (const std::exception& e) {
            SNP_Log::debugf("jpegWithExifBlock: cannot read the EXIF block: %s", e.what());
            return std::nullopt;
        } catch (...) {
            SNP_Log::debug(QStringLiteral("jpegWithExifBlock: cannot read the EXIF block"));
            return std::nullopt;
        }
        if (contents.byteOrder == Exiv2::invalidByteOrder) {
            SNP_Log::debug(QStringLiteral("jpegWithExifBlock: the EXIF block is not a TIFF structure"));
            return std::nullopt;
        }
    }
    return SNP_ExifIO::writeExif(jpeg, contents, "jpegWithExifBlock");
}

QRectF photoWindowForCompositeSize(QSizeF compositeSize)
{
    const float width = static_cast<float>(compositeSize.width());
    const float height = static_cast<float>(compositeSize.height());
    const float x = (width - static_cast<float>(kPhotoWindowWidth)) / 2.0f;
    const float y = (height - static_cast<float>(kPhotoWindowHeight)) / 2.0f;
    return QRectF(x, y, kPhotoWindowWidth, kPhotoWindowHeight);
}

std::optional<QImage> loadFrameImage(const QString& path)
{
    QImageReader reader(path);
    QImage frame = reader.read();
    if (frame.isNull()) {
        SNP_Log::debugf("loadFrameImage: cannot load the frame image \"%s\": %s", qUtf8Printable(path),
                        qUtf8Printable(reader.errorString()));
        return std::nullopt;
    }
    return frame;
}

std::optional<QImage> makeComposite(const QByteArray& photoJpeg, const QImage& frame)
{
    if (frame.isNull()) {
        SNP_Log::debug(QStringLiteral("makeComposite: no frame image"));
        return std::nullopt;
    }
    const auto photo = decodeJpegScaled(photoJpeg, QSize(kPhotoWindowWidth, kPhotoWindowHeight));
    if (!photo) {
        SNP_Log::debug(QStringLiteral("makeComposite: the photo cannot be decoded"));
        return std::nullopt;
    }
    return makeComposite(*photo, frame);
}

std::optional<QImage> makeComposite(const QImage& photo, const QImage& frame)
{
    if (frame.isNull()) {
        SNP_Log::debug(QStringLiteral("makeComposite: no frame image"));
        return std::nullopt;
    }
    if (photo.isNull()) {
        SNP_Log::debug(QStringLiteral("makeComposite: no photo"));
        return std::nullopt;
    }
    // The composite has the frame's pixel size, whatever resolution the frame declares.
    QImage composite(frame.width(), frame.height(), QImage::Format_ARGB32_Premultiplied);
    if (composite.isNull()) {
        SNP_Log::debugf("makeComposite: cannot allocate a %d x %d composite", frame.width(), frame.height());
        return std::nullopt;
    }
    composite.fill(Qt::transparent);
    {
        QPainter painter(&composite);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.setOpacity(1.0);
        painter.drawImage(photoWindowForCompositeSize(QSizeF(composite.size())), photo, QRectF(photo.rect()));
        painter.drawImage(QRectF(0, 0, composite.width(), composite.height()), frame, QRectF(frame.rect()));
    }
    // Areas neither the photo nor the frame cover are transparent; flattened they are black.
    return composite.convertToFormat(QImage::Format_RGB888);
}

std::optional<QByteArray> compositeJpeg(const QByteArray& photoJpeg, const QImage& frame, const QByteArray& exifSourceJpeg)
{
    const auto composite = makeComposite(photoJpeg, frame);
    if (!composite)
        return std::nullopt;
    return compositeJpegFromImage(*composite, exifSourceJpeg);
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

std::optional<QByteArray> compositeJpegFromImage(const QImage& composite, const QByteArray& exifSourceJpeg)
{
    if (composite.isNull()) {
        SNP_Log::debug(QStringLiteral("compositeJpeg: no composite"));
        return std::nullopt;
    }
    const QSize size = composite.size();
    const auto encoded = encodeJpeg(composite, kJpegQuality);
    if (!encoded)
        return std::nullopt;
    auto contents = SNP_ExifIO::readExif(exifSourceJpeg, "compositeJpeg");
    if (!contents)
        return std::nullopt;
    if (contents->exif.empty())
        return encoded;
    try {
        auto& exif = contents->exif;
        const auto setLong = [&](const char* key, uint32_t value) {
            auto it = exif.findKey(Exiv2::ExifKey(key));
            if (it != exif.end())
                exif.erase(it);
            exif[key] = value;
        };
        setLong("Exif.Photo.PixelXDimension", static_cast<uint32_t>(size.width()));
        setLong("Exif.Photo.PixelYDimension", static_cast<uint32_t>(size.height()));
        auto orientation = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        if (orientation != exif.end())
            *orientation = static_cast<uint16_t>(1);
    } catch (const std::exception& e) {
        SNP_Log::debugf("compositeJpeg: cannot update the EXIF data: %s", e.what());
        return std::nullopt;
    } catch (...) {
        SNP_Log::debug(QStringLiteral("compositeJpeg: cannot update the EXIF data"));
        return std::nullopt;
    }
    return SNP_ExifIO::writeExif(*encoded, *contents, "compositeJpeg");
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

namespace {
std::mutex gTemporaryLockingLock;  // a temporary file's creation and its lock are one step
std::mutex gPlacementHookLock;  // guards gPlacementHook
std::function<void(const QByteArray&, const QByteArray&)> gPlacementHook;
}  // namespace

void setPlacementHookForTesting(std::function<void(const QByteArray&, const QByteArray&)> hook)
{
    std::lock_guard<std::mutex> guard(gPlacementHookLock);
    gPlacementHook = std::move(hook);
}

FileResult writeFileAtomically(const QString& path, const QByteArray& bytes, bool replace)
{
    if (path.isEmpty())
        return failure(EINVAL, QStringLiteral("writeFileAtomically: no path given"));
    const QFileInfo info(path);
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    QByteArray tempName = folder + "/." + QFile::encodeName(info.fileName()) + ".XXXXXX";

    // Locked until it is in place (through a descriptor of its own, read-only, so that the
    // file is closed for writing before it is renamed; the lock ends with that descriptor,
    // or with the process): whoever clears up what a power cut left under temporary names
    // knows it is still being written (openLeftoverTemporaryFile).
    int fd = -1;
    int lockFd = -1;
    {
        std::lock_guard<std::mutex> guard(gTemporaryLockingLock);
        fd = ::mkostemp(tempName.data(), O_CLOEXEC);
        if (fd >= 0) {
            lockFd = ::open(tempName.constData(), O_RDONLY | O_CLOEXEC);
            if (lockFd >= 0)
                ::flock(lockFd, LOCK_EX);
        }
    }
    const auto unlock = [&] {
        if (lockFd >= 0)
            ::close(lockFd);
    };
    if (fd < 0) {
        const int error = errno;
        return failure(error, QStringLiteral("cannot create a temporary file in \"%1\": %2 (errno %3)")
                                  .arg(QFile::decodeName(folder), errnoText(error)).arg(error));
    }
    int error = 0;
    const char* step = nullptr;
    if (!SNP_FileAccess::applyToFile(fd)) {
        error = errno;
        step = "set the mode of";
    } else if (!writeAll(fd, bytes.constData(), static_cast<size_t>(bytes.size()), &error)) {
        step = "write";
    } else if (::fsync(fd) != 0) {
        error = errno;
        step = "flush";
    }
    if (::close(fd) != 0 && !step) {
        error = errno;
        step = "close";
    }
    if (!step) {
        {
            std::lock_guard<std::mutex> guard(gPlacementHookLock);
            if (gPlacementHook)
                gPlacementHook(tempName, target);
        }
        const int placed = replace ? ::rename(tempName.constData(), target.constData())
                                   : renameNoReplace(tempName.constData(), target.constData());
        if (placed != 0) {
            error = errno;
            step = "rename into place";
        }
    }
    if (step) {
        ::unlink(tempName.constData());
        unlock();
        return failure(error, QStringLiteral("could not %1 file \"%2\": %3 (errno %4)")
                                  .arg(QString::fromLatin1(step), QFile::decodeName(target), errnoText(error)).arg(error));
    }
    unlock();
    syncFolder(folder);
    FileResult result;
    result.ok = true;
    result.path = QFile::decodeName(target);
    return result;
}

int openLeftoverTemporaryFile(const QByteArray& path)
{
    int fd = -1;
    {
        std::lock_guard<std::mutex> guard(gTemporaryLockingLock);
        fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return -1; // its writer is at work
        }
    }
    if (fd < 0)
        return -1;
    struct stat opened {}, named {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || ::lstat(path.constData(), &named) != 0 ||
        named.st_ino != opened.st_ino || named.st_dev != opened.st_dev) {
        ::close(fd); // placed meanwhile, or no file of ours
        return -1;
    }
    return fd;
}

void setNoReplaceRenameRefusedForTesting(bool refused)
{
    gNoReplaceRenameRefused.store(refused);
}

QString nonCollidingPath(const QString& folder, const QString& name)
{
    const QDir dir(folder);
    for (int n = 0; n < kMaxNameAttempts; ++n) {
        const QString candidate = dir.filePath(candidateName(name, n));
        struct stat st {};
        if (::lstat(QFile::encodeName(candidate).constData(), &st) != 0 && errno == ENOENT)
            return candidate;
    }
    return QString();
}

FileResult moveFileNoClobber(const QString& from, const QString& toFolder, const QString& name)
{
    if (from.isEmpty() || toFolder.isEmpty() || name.isEmpty() || name.contains(u'/'))
        return failure(EINVAL, QStringLiteral("moveFileNoClobber: bad arguments (\"%1\", \"%2\", \"%3\")").arg(from, toFolder, name));
    const QByteArray source = QFile::encodeName(QFileInfo(from).absoluteFilePath());
    struct stat st {};
    if (::lstat(source.constData(), &st) != 0) {
        const int error = errno;
        return failure(error, QStringLiteral("cannot move \"%1\": %2 (errno %3)").arg(from, errnoText(error)).arg(error));
    }
    if (!S_ISREG(st.st_mode))
        return failure(EINVAL, QStringLiteral("cannot move \"%1\": not a regular file").arg(from));

    const QDir dir(toFolder);
    QByteArray contents; // read only when the move has to copy across file systems
    bool copying = false;
    for (int n = 0; n < kMaxNameAttempts; ++n) {
        const QString candidate = dir.absoluteFilePath(candidateName(name, n));
        const QByteArray target = QFile::encodeName(candidate);
        if (!copying) {
            const int rc = renameNoReplace(source.constData(), target.constData());
            if (rc != 0 && errno == ENOTSUP)
                errno = EXDEV; // no way to give the file a second name here: copy it
            if (rc == 0) {
                syncFolder(QFile::encodeName(dir.absolutePath()));
                FileResult result;
                result.ok = true;
                result.path = candidate;
                return result;
            }
            const int error = errno;
            if (error == EEXIST)
                continue;
            if (error != EXDEV)
                return failure(error, QStringLiteral("cannot move \"%1\" to \"%2\": %3 (errno %4)")
                                          .arg(from, candidate, errnoText(error)).arg(error));
            QFile file(from);
            if (!file.open(QIODevice::ReadOnly))
                return failure(EIO, QStringLiteral("cannot read \"%1\" to copy it: %2").arg(from, file.errorString()));
            contents = file.readAll();
            if (contents.size() != st.st_size)
                return failure(EIO, QStringLiteral("cannot copy \"%1\": read %2 of its %3 bytes")
                                        .arg(from).arg(contents.size()).arg(qint64(st.st_size)));
            copying = true;
        }
        const FileResult written = writeFileAtomically(candidate, contents, false);
        struct stat copied {};
        if (written.ok && (::lstat(target.constData(), &copied) != 0 || copied.st_size != st.st_size)) {
            // Never the case for a copy written whole; the original stays all the same.
            ::unlink(target.constData());
            return failure(EIO, QStringLiteral("the copy of \"%1\" at \"%2\" does not have the original's size; "
                                               "the original is kept").arg(from, candidate));
        }
        if (written.ok) {
            // The copy keeps the mode and group of the file moved.
            if (::chown(target.constData(), uid_t(-1), st.st_gid) != 0 ||
                ::chmod(target.constData(), st.st_mode & 07777) != 0)
                SNP_Log::debugf("could not give \"%s\" the mode of \"%s\": %s", target.constData(), source.constData(),
                                std::strerror(errno));
            if (::unlink(source.constData()) != 0)
                SNP_Log::debugf("copied \"%s\" but could not remove it: %s", source.constData(), std::strerror(errno));
            return written;
        }
        if (written.error != EEXIST)
            return written;
    }
    return failure(EEXIST, QStringLiteral("cannot move \"%1\": no free name for \"%2\" in \"%3\"").arg(from, name, toFolder));
}

namespace {
std::mutex gFolderSyncedObserverLock;  // guards gFolderSyncedObserver
std::function<void(const QByteArray&)> gFolderSyncedObserver;
}  // namespace

void setFolderSyncedObserverForTesting(std::function<void(const QByteArray&)> observer)
{
    std::lock_guard<std::mutex> guard(gFolderSyncedObserverLock);
    gFolderSyncedObserver = std::move(observer);
}

void syncFolder(const QByteArray& folder)
{
    {
        std::lock_guard<std::mutex> guard(gFolderSyncedObserverLock);
        if (gFolderSyncedObserver)
            gFolderSyncedObserver(folder);
    }
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        if (::fsync(fd) != 0)
            SNP_Log::debugf("could not flush the folder \"%s\" to disk: %s", folder.constData(), std::strerror(errno));
        ::close(fd);
    }
}

} // namespace SNP_ImagePipeline

// ---------------------------------------------------------------------------------------
// Exiv2 access shared with SNP_XMLinEXIF.

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
    try {
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
    } catch (const std::exception& e) {
        SNP_Log::debugf("%s: cannot read the image's metadata: %s", context, e.what());
    } catch (...) {
        SNP_Log::debugf("%s: cannot read the image's metadata", context);
    }
    return std::nullopt;
}

std::optional<QByteArray> writeExif(const QByteArray& jpeg, const ExifContents& contents, const char* context)
{
    installExiv2LogHandler();
    try {
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
    } catch (const std::exception& e) {
        SNP_Log::debugf("%s: cannot write the image's metadata: %s", context, e.what());
    } catch (...) {
        SNP_Log::debugf("%s: cannot write the image's metadata", context);
    }
    return std::nullopt;
}

} // namespace SNP_ExifIO
