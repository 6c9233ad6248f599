#include "SNP_FrameDecoder.h"

#include "SNP_JpegInternal.h"
#include "SNP_Log.h"

#include <turbojpeg.h>

#include <climits>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace SNP_ImagePipeline {

using detail::kScreenPixelFormat;

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

} // namespace SNP_ImagePipeline
