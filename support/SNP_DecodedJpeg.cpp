#include "SNP_DecodedJpeg.h"

#include "SNP_JpegInternal.h"
#include "SNP_Log.h"

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

namespace SNP_ImagePipeline {

using namespace detail;

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

} // namespace SNP_ImagePipeline
