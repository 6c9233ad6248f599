// Internal to the support library's JPEG files (SNP_JpegCodec, SNP_DecodedJpeg,
// SNP_FrameDecoder); libjpeg-turbo does not appear in any public header. Holds what they
// share: a turbojpeg handle that is destroyed with its scope, the checks before a decode,
// and the large buffers kept from one picture to the next.
//
// State: the kept buffers, a process-wide pool of at most two behind a lock. Threads: all
// of it may be used on any thread, several at once.
#pragma once

#include "SNP_JpegCodec.h"

#include <QByteArray>
#include <QString>

#include <turbojpeg.h>

#include <cstddef>
#include <memory>
#include <optional>

namespace SNP_ImagePipeline::detail {

struct TjHandle {
    explicit TjHandle(tjhandle h) : handle(h) {}
    ~TjHandle() { if (handle) tjDestroy(handle); }
    TjHandle(const TjHandle&) = delete;
    TjHandle& operator=(const TjHandle&) = delete;
    tjhandle handle;
};

// A large buffer kept from one picture to the next: fresh ones of tens of megabytes for each
// 24-megapixel picture cost more in page faults than the coding itself. A buffer is taken
// for one picture and comes back when that picture is done; two pictures coded at the same
// time each have their own.
class KeptBuffer {
public:
    // A buffer of at least size bytes: a kept one when one is large enough, else a new one
    // (null data when there is no memory for it).
    static KeptBuffer take(size_t size);
    KeptBuffer() = default;
    KeptBuffer(KeptBuffer&&) = default;
    KeptBuffer& operator=(KeptBuffer&& other) noexcept; // what this held goes back with other
    ~KeptBuffer();
    unsigned char* data() const { return _data.get(); }

private:
    std::unique_ptr<unsigned char[]> _data;
    size_t _capacity = 0;
};

// The byte order of Format_RGB32 pixels in memory, as the decoder names it.
inline constexpr int kScreenPixelFormat = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? TJPF_BGRX : TJPF_XRGB;

// The handle's last error, for a log line.
QString tjError(tjhandle handle);

// Whether the bytes may be JPEG data at all (they start with SOI and their size fits the
// decoder); logged with the context when not.
bool dataUsable(const QByteArray& jpeg, const char* context);

// Reads the header with a handle the caller keeps for the decode.
std::optional<JpegHeader> headerWith(tjhandle handle, const QByteArray& jpeg, const char* context);

} // namespace SNP_ImagePipeline::detail
