#include "SNP_JpegInternal.h"

#include "SNP_Log.h"

#include <algorithm>
#include <climits>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace SNP_ImagePipeline::detail {

namespace {

constexpr size_t kKeptBuffers = 2; // a picture's planes and its encoded bytes

struct KeptBufferPool {
    std::mutex lock; // guards free
    std::vector<std::pair<std::unique_ptr<unsigned char[]>, size_t>> free;
};
KeptBufferPool gKeptBuffers;

} // namespace

KeptBuffer KeptBuffer::take(size_t size)
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

KeptBuffer& KeptBuffer::operator=(KeptBuffer&& other) noexcept
{
    std::swap(_data, other._data);
    std::swap(_capacity, other._capacity);
    return *this;
}

KeptBuffer::~KeptBuffer()
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

} // namespace SNP_ImagePipeline::detail
