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

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Large buffers kept from one picture to the next: fresh ones of tens of megabytes for each
// 24-megapixel picture cost more in page faults than the coding itself. A buffer is taken
// for one picture and comes back when that picture is done; two pictures coded at the same
// time each have their own.
constexpr size_t kKeptBuffers = 2; // a picture's planes and its encoded bytes

struct KeptBufferPool {
    std::mutex lock; // guards free
    std::vector<std::pair<std::unique_ptr<unsigned char[]>, size_t>> free;
};
KeptBufferPool gKeptBuffers;

class KeptBuffer {
public:
    // A buffer of at least size bytes: a kept one when one is large enough, else a new one
    // (null data when there is no memory for it).
    static KeptBuffer take(size_t size)
    {
        KeptBuffer taken;
        {
            std::lock_guard<std::mutex> guard(gKeptBuffers.lock);
            auto& free = gKeptBuffers.free;
            auto best = free.end();
            for (auto it = free.begin(); it != free.end(); ++it)
                if (it->second >= size && (best == free.end() || it->second < best->second))
                    best = it;
            if (best != free.end()) {
                taken._data = std::move(best->first);
                taken._capacity = best->second;
                free.erase(best);
                return taken;
            }
        }
        taken._data.reset(new (std::nothrow) unsigned char[size]);
        taken._capacity = taken._data ? size : 0;
        return taken;
    }
    KeptBuffer() = default;
    KeptBuffer(KeptBuffer&&) = default;
    KeptBuffer& operator=(KeptBuffer&& other) noexcept // what this held goes back with other
    {
        std::swap(_data, other._data);
        std::swap(_capacity, other._capacity);
        return *this;
    }
    ~KeptBuffer()
    {
        if (!_data)
            return;
        std::lock_guard<std::mutex> guard(gKeptBuffers.lock);
        auto& free = gKeptBuffers.free;
        free.emplace_back(std::move(_data), _capacity);
        if (free.size() > kKeptBuffers) // the smallest goes
            free.erase(std::min_element(free.begin(), free.end(),
                                        [](const auto& a, const auto& b) { return a.second < b.second; }));
    }
    unsigned char* data() const { return _data.get(); }

private:
    std::unique_ptr<unsigned char[]> _data;
    size_t _capacity = 0;
};

// The byte order of Format_RGB32 pixels in memory, as the decoder names it.
constexpr int kScreenPixelFormat = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? TJPF_BGRX : TJPF_XRGB;

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

// ---- one decode for the screen and the re-encoding ----

// A picture's planes as the decoder wrote them, and the planes of its reduced picture.
struct JpegPlanes {
    KeptBuffer buffer;
    int count = 0;        // 1 (grey) or 3
    int subsampling = 0;  // a TJSAMP value
    unsigned char* plane[3] = {};
    int width[3] = {};    // the plane's pixels across (tjPlaneWidth)
    int height[3] = {};   // and down (tjPlaneHeight)
    int stride[3] = {};   // bytes from one row to the next: whole blocks, as the decoder writes them

    // The reduced picture (factor 0: none asked for): its planes, and how many rows of
    // each are made.
    int factor = 0;
    int reducedWidth = 0, reducedHeight = 0;
    std::vector<unsigned char> small;
    int smallWidth[3] = {};
    int smallHeight[3] = {};
    size_t smallOffset[3] = {};
    int smallRowsMade[3] = {};
    std::vector<uint16_t> columns; // the reduction's column sums, one plane row long
};

namespace {

// The largest factor a picture is reduced by: sums of a column of up to this many 8-bit
// values fit 16 bits.
constexpr int kMaxReduction = 256;

// columns[x] += line[x] for x < count, sixteen at a time where the processor has SSE2.
void addRow(uint16_t* columns, const unsigned char* line, int count)
{
    int x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; x + 16 <= count; x += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + x));
        auto* sums = reinterpret_cast<__m128i*>(columns + x);
        _mm_storeu_si128(sums, _mm_add_epi16(_mm_loadu_si128(sums), _mm_unpacklo_epi8(bytes, zero)));
        _mm_storeu_si128(sums + 1, _mm_add_epi16(_mm_loadu_si128(sums + 1), _mm_unpackhi_epi8(bytes, zero)));
    }
#endif
    for (; x < count; ++x)
        columns[x] = static_cast<uint16_t>(columns[x] + line[x]);
}

// Makes the rows of plane i's reduced plane whose source rows are all decoded (the first
// rowsDecoded): each pixel the mean of the factor x factor square of the plane at the same
// place; squares that reach past the plane's edges are cut at them (a reduced plane may be
// padded a little further than the source's pixels reach). Called as the rows come, so
// that they are read while still in the cache.
void reduceRows(JpegPlanes& p, int i, int rowsDecoded)
{
    const int k = p.factor, fromWidth = p.width[i], fromHeight = p.height[i];
    for (int& y = p.smallRowsMade[i]; y < p.smallHeight[i]; ++y) {
        const int top = std::max(0, std::min(y * k, fromHeight - k));
        const int bottom = std::min(top + k, fromHeight);
        if (bottom > rowsDecoded)
            return;
        std::fill(p.columns.begin(), p.columns.begin() + fromWidth, uint16_t(0));
        for (int row = top; row < bottom; ++row)
            addRow(p.columns.data(), p.plane[i] + size_t(row) * size_t(p.stride[i]), fromWidth);
        unsigned char* out = p.small.data() + p.smallOffset[i] + size_t(y) * size_t(p.smallWidth[i]);
        // The squares wholly inside the row first, their means by a multiplication (a
        // division per pixel costs more than the sums); then those cut at its end.
        const uint64_t scale = (uint64_t(1) << 32) / uint64_t(k * (bottom - top));
        const int inside = std::min(p.smallWidth[i], fromWidth / k);
        const uint16_t* sums = p.columns.data();
        for (int x = 0; x < inside; ++x, sums += k) {
            uint32_t sum = 0;
            for (int c = 0; c < k; ++c)
                sum += sums[c];
            out[x] = static_cast<unsigned char>((uint64_t(sum) * scale + (uint64_t(1) << 31)) >> 32);
        }
        for (int x = inside; x < p.smallWidth[i]; ++x) {
            const int left = std::max(0, std::min(x * k, fromWidth - k));
            const int right = std::min(left + k, fromWidth);
            uint32_t sum = 0;
            for (int c = left; c < right; ++c)
                sum += p.columns[size_t(c)];
            const uint32_t n = uint32_t((right - left) * (bottom - top));
            out[x] = static_cast<unsigned char>((sum + n / 2) / n);
        }
    }
}

// libjpeg's failures end the decode through a jump back into readPlanes.
struct JpegFailure {
    jpeg_error_mgr manager; // first: libjpeg's pointer to the manager points to the whole
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void failJpeg(j_common_ptr info)
{
    auto* failure = reinterpret_cast<JpegFailure*>(info->err);
    (*info->err->format_message)(info, failure->message);
    longjmp(failure->jump, 1);
}

// Warnings (a truncated or damaged stream) count as failures: a half-grey picture is not
// filed as a good one.
void warnJpeg(j_common_ptr info, int level)
{
    if (level < 0)
        failJpeg(info);
}

// Decodes the picture's planes (libjpeg's raw data, a row group at a time) into p's
// buffer, reducing them as the rows come when a reduction is asked for. scratch takes the
// rows the decoder writes past a plane's last row. Nothing here may own anything a jump
// out of libjpeg would skip: what it needs is allocated by the caller.
bool readPlanes(const unsigned char* data, unsigned long size, JpegPlanes& p, unsigned char* scratch, char* message)
{
    jpeg_decompress_struct info;
    JpegFailure failure;
    info.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = failJpeg;
    failure.manager.emit_message = warnJpeg;
    jpeg_create_decompress(&info);
    if (setjmp(failure.jump)) {
        std::memcpy(message, failure.message, sizeof failure.message);
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_mem_src(&info, data, size);
    jpeg_read_header(&info, TRUE);
    info.raw_data_out = TRUE;
    info.dct_method = JDCT_ISLOW;
    jpeg_start_decompress(&info);
    bool laidOut = info.num_components == p.count;
    for (int i = 0; laidOut && i < p.count; ++i)
        laidOut = int(info.comp_info[i].width_in_blocks) * DCTSIZE <= p.stride[i] && info.comp_info[i].v_samp_factor <= 4;
    if (!laidOut) {
        std::snprintf(message, JMSG_LENGTH_MAX, "its components are not laid out as its subsampling says");
        jpeg_destroy_decompress(&info);
        return false;
    }
    JSAMPROW rows[3][4 * DCTSIZE];
    JSAMPARRAY groups[3] = {rows[0], rows[1], rows[2]};
    const int groupRows = info.max_v_samp_factor * DCTSIZE;
    for (int group = 0; info.output_scanline < info.output_height; ++group) {
        int decoded[3] = {};
        for (int i = 0; i < p.count; ++i) {
            const int n = info.comp_info[i].v_samp_factor * DCTSIZE;
            for (int r = 0; r < n; ++r) {
                const int row = group * n + r;
                rows[i][r] = row < p.height[i] ? p.plane[i] + size_t(row) * size_t(p.stride[i]) : scratch;
            }
            decoded[i] = std::min((group + 1) * n, p.height[i]);
        }
        if (jpeg_read_raw_data(&info, groups, JDIMENSION(groupRows)) == 0) {
            std::snprintf(message, JMSG_LENGTH_MAX, "the decoder stopped at row %u", info.output_scanline);
            jpeg_destroy_decompress(&info);
            return false;
        }
        for (int i = 0; p.factor && i < p.count; ++i)
            reduceRows(p, i, decoded[i]);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

} // namespace

DecodedJpeg::DecodedJpeg(std::unique_ptr<JpegPlanes> planes, int width, int height)
    : _planes(std::move(planes)), _width(width), _height(height)
{
}

DecodedJpeg::~DecodedJpeg() = default;

std::shared_ptr<const DecodedJpeg> DecodedJpeg::decode(const QByteArray& jpeg, QSize reducedAtLeast)
{
    if (!dataUsable(jpeg, "DecodedJpeg"))
        return nullptr;
    TjHandle tj(tjInitDecompress());
    if (!tj.handle) {
        SNP_Log::debug(QStringLiteral("DecodedJpeg: cannot start the JPEG decoder"));
        return nullptr;
    }
    const auto header = headerWith(tj.handle, jpeg, "DecodedJpeg");
    if (!header)
        return nullptr;
    const bool gray = header->colorspace == TJCS_GRAY;
    const int subsampling = gray ? TJSAMP_GRAY : header->subsampling;
    if ((!gray && header->colorspace != TJCS_YCbCr) || subsampling < 0 || subsampling >= TJ_NUMSAMP) {
        SNP_Log::debugf("DecodedJpeg: a picture of colour space %d and subsampling %d is not decoded into planes",
                        header->colorspace, header->subsampling);
        return nullptr;
    }
    auto p = std::make_unique<JpegPlanes>();
    p->count = gray ? 1 : 3;
    p->subsampling = subsampling;
    // The decoder writes whole blocks: a row of plane i is as wide as its blocks.
    const int mcuWidth = tjMCUWidth[subsampling], mcuHeight = tjMCUHeight[subsampling];
    const int blocksAcross = (header->width + mcuWidth - 1) / mcuWidth;
    size_t total = 0;
    int widest = 0;
    for (int i = 0; i < p->count; ++i) {
        p->width[i] = tjPlaneWidth(i, header->width, subsampling);
        p->height[i] = tjPlaneHeight(i, header->height, subsampling);
        const int blockColumns = i == 0 ? mcuWidth / DCTSIZE : 1; // blocks of plane i per MCU
        p->stride[i] = std::max(p->width[i], blocksAcross * blockColumns * DCTSIZE);
        if (p->width[i] <= 0 || p->height[i] <= 0 || mcuHeight <= 0) {
            SNP_Log::debugf("DecodedJpeg: a %d x %d picture is too large", header->width, header->height);
            return nullptr;
        }
        widest = std::max(widest, p->stride[i]);
        total += size_t(p->stride[i]) * size_t(p->height[i]);
    }
    p->buffer = KeptBuffer::take(total);
    if (!p->buffer.data()) {
        SNP_Log::debugf("DecodedJpeg: cannot allocate %zu bytes for a %d x %d picture", total, header->width, header->height);
        return nullptr;
    }
    unsigned char* next = p->buffer.data();
    for (int i = 0; i < p->count; ++i) {
        p->plane[i] = next;
        next += size_t(p->stride[i]) * size_t(p->height[i]);
    }

    if (!reducedAtLeast.isEmpty()) {
        const int byWidth = header->width / reducedAtLeast.width(), byHeight = header->height / reducedAtLeast.height();
        p->factor = std::clamp(std::min(byWidth, byHeight), 1, kMaxReduction);
        p->reducedWidth = header->width / p->factor;
        p->reducedHeight = header->height / p->factor;
        for (int i = 0; i < p->count; ++i) {
            p->smallWidth[i] = tjPlaneWidth(i, p->reducedWidth, subsampling);
            p->smallHeight[i] = tjPlaneHeight(i, p->reducedHeight, subsampling);
            p->smallOffset[i] = p->small.size();
            p->small.resize(p->small.size() + size_t(p->smallWidth[i]) * size_t(p->smallHeight[i]));
        }
        p->columns.resize(size_t(widest));
    }
    std::vector<unsigned char> scratch(static_cast<size_t>(widest));
    char message[JMSG_LENGTH_MAX] = {};
    if (!readPlanes(reinterpret_cast<const unsigned char*>(jpeg.constData()), static_cast<unsigned long>(jpeg.size()),
                    *p, scratch.data(), message)) {
        SNP_Log::debugf("DecodedJpeg: JPEG decoding failed: %s", message);
        return nullptr;
    }
    return std::shared_ptr<const DecodedJpeg>(new DecodedJpeg(std::move(p), header->width, header->height));
}

std::optional<QByteArray> DecodedJpeg::encode(int quality) const
{
    TjHandle tj(tjInitCompress());
    if (!tj.handle) {
        SNP_Log::debug(QStringLiteral("DecodedJpeg: cannot start the JPEG encoder"));
        return std::nullopt;
    }
    const unsigned long capacity = tjBufSize(_width, _height, _planes->subsampling);
    if (capacity == static_cast<unsigned long>(-1) || capacity > static_cast<unsigned long>(INT_MAX)) {
        SNP_Log::debugf("DecodedJpeg: a %d x %d picture is too large to encode", _width, _height);
        return std::nullopt;
    }
    const KeptBuffer out = KeptBuffer::take(capacity);
    if (!out.data()) {
        SNP_Log::debugf("DecodedJpeg: cannot allocate %lu bytes for the encoded picture", capacity);
        return std::nullopt;
    }
    const unsigned char* planes[3] = {_planes->plane[0], _planes->plane[1], _planes->plane[2]};
    unsigned char* outData = out.data();
    unsigned long outSize = capacity;
    if (tjCompressFromYUVPlanes(tj.handle, planes, _width, _planes->stride, _height, _planes->subsampling, &outData,
                                &outSize, quality, TJFLAG_NOREALLOC) != 0) {
        SNP_Log::debugf("DecodedJpeg: JPEG encoding failed: %s", qUtf8Printable(tjError(tj.handle)));
        return std::nullopt;
    }
    return QByteArray(reinterpret_cast<const char*>(outData), static_cast<qsizetype>(outSize));
}

QImage DecodedJpeg::reduced() const
{
    const JpegPlanes& p = *_planes;
    if (!p.factor)
        return QImage();
    QImage image(p.reducedWidth, p.reducedHeight, QImage::Format_RGB32);
    TjHandle tj(tjInitDecompress());
    if (image.isNull() || !tj.handle) {
        SNP_Log::debugf("DecodedJpeg: cannot make a %d x %d picture", p.reducedWidth, p.reducedHeight);
        return QImage();
    }
    const unsigned char* planes[3] = {};
    for (int i = 0; i < p.count; ++i)
        planes[i] = p.small.data() + p.smallOffset[i];
    if (tjDecodeYUVPlanes(tj.handle, planes, p.smallWidth, p.subsampling, image.bits(), p.reducedWidth,
                          static_cast<int>(image.bytesPerLine()), p.reducedHeight, kScreenPixelFormat, 0) != 0) {
        SNP_Log::debugf("DecodedJpeg: cannot convert the reduced picture: %s", qUtf8Printable(tjError(tj.handle)));
        return QImage();
    }
    return image;
}

// ---- live-view frames ----

// The frame decoder's pixel buffers: those free for the next frames, and how many were made.
struct FramePool {
    std::mutex lock; // guards free and made
    std::vector<std::pair<std::unique_ptr<uchar[]>, size_t>> free;
    int made = 0;
};

namespace {

// Free buffers kept: enough for the frame shown, the one waiting for the screen and the one
// being decoded.
constexpr size_t kFrameBuffersKept = 4;
constexpr int kMaxFrameSide = 8192;

// A frame image's buffer, lent by the pool until the image's last copy is gone.
struct FrameLease {
    std::shared_ptr<FramePool> pool;
    std::unique_ptr<uchar[]> data;
    size_t capacity = 0;
};

// The image's cleanup function: the buffer goes back to its pool (whichever thread lets go
// of the image last).
void returnFrameBuffer(void* info)
{
    std::unique_ptr<FrameLease> lease(static_cast<FrameLease*>(info));
    std::lock_guard<std::mutex> guard(lease->pool->lock);
    if (lease->pool->free.size() < kFrameBuffersKept)
        lease->pool->free.emplace_back(std::move(lease->data), lease->capacity);
}

} // namespace

FrameDecoder::FrameDecoder() : _pool(std::make_shared<FramePool>()), _handle(tjInitDecompress())
{
    if (!_handle)
        SNP_Log::debug(QStringLiteral("FrameDecoder: cannot start the JPEG decoder"));
}

FrameDecoder::~FrameDecoder()
{
    if (_handle)
        tjDestroy(static_cast<tjhandle>(_handle));
}

int FrameDecoder::buffersMade() const
{
    std::lock_guard<std::mutex> guard(_pool->lock);
    return _pool->made;
}

QSize FrameDecoder::decodedSize(QSize frameSize, QSize shownSize)
{
    if (shownSize.isEmpty() || shownSize.width() * 2 > frameSize.width() || shownSize.height() * 2 > frameSize.height())
        return frameSize;
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    QSize best = frameSize;
    for (int i = 0; factors && i < count; ++i) {
        const tjscalingfactor f = factors[i];
        if (f.num * 2 > f.denom)
            continue;
        const QSize scaled(TJSCALED(frameSize.width(), f), TJSCALED(frameSize.height(), f));
        if (scaled.width() >= shownSize.width() && scaled.height() >= shownSize.height() &&
            qint64(scaled.width()) * scaled.height() < qint64(best.width()) * best.height())
            best = scaled;
    }
    return best;
}

QImage FrameDecoder::decode(const uchar* jpeg, size_t size, QSize shownSize)
{
    if (!_handle || !jpeg || size < 4 || size > static_cast<size_t>(ULONG_MAX))
        return QImage();
    const auto handle = static_cast<tjhandle>(_handle);
    // A handle that failed on a header refuses every later picture: a bad frame gets a
    // fresh one for the frames after it.
    const auto failed = [this] {
        tjDestroy(static_cast<tjhandle>(_handle));
        _handle = tjInitDecompress();
        return QImage();
    };
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(handle, jpeg, static_cast<unsigned long>(size), &width, &height, &subsampling, &colorspace) != 0)
        return failed();
    if (width <= 0 || height <= 0 || width > kMaxFrameSide || height > kMaxFrameSide)
        return QImage(); // no viewfinder makes one; a damaged header could ask for gigabytes
    const QSize decoded = decodedSize(QSize(width, height), shownSize);
    const qsizetype bytesPerLine = qsizetype(decoded.width()) * 4;
    const size_t bytes = size_t(bytesPerLine) * size_t(decoded.height());

    auto lease = std::make_unique<FrameLease>();
    lease->pool = _pool;
    {
        std::lock_guard<std::mutex> guard(_pool->lock);
        auto& free = _pool->free;
        for (auto it = free.begin(); it != free.end(); ++it)
            if (it->second >= bytes) {
                lease->data = std::move(it->first);
                lease->capacity = it->second;
                free.erase(it);
                break;
            }
        if (!lease->data) {
            lease->data.reset(new (std::nothrow) uchar[bytes]);
            lease->capacity = lease->data ? bytes : 0;
            _pool->made += lease->data ? 1 : 0;
        }
    }
    if (!lease->data)
        return QImage();
    uchar* pixels = lease->data.get();
    // Warnings (a damaged or truncated stream) count as failures: the frame is dropped.
    if (tjDecompress2(handle, jpeg, static_cast<unsigned long>(size), pixels, decoded.width(), int(bytesPerLine),
                      decoded.height(), kScreenPixelFormat, 0) != 0) {
        returnFrameBuffer(lease.release());
        return failed();
    }
    QImage image(pixels, decoded.width(), decoded.height(), bytesPerLine, QImage::Format_RGB32, returnFrameBuffer,
                 lease.get());
    if (image.isNull()) {
        returnFrameBuffer(lease.release());
        return QImage();
    }
    lease.release(); // the image's now
    return image;
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

QString nonCollidingPath(const QString& folder, const QString& name, const std::function<bool(const QString&)>& taken)
{
    const QDir dir(folder);
    for (int n = 0; n < kMaxNameAttempts; ++n) {
        const QString candidate = dir.filePath(candidateName(name, n));
        if (taken && taken(candidate))
            continue;
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
