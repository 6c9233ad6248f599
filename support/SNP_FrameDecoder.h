// Live-view frames decoded for the screen (FrameDecoder).
//
// State: each FrameDecoder keeps its own decoder handle and a pool of pixel buffers that
// come back from one frame to the next (behind a lock, as images let go on any thread
// return them). Threads: see the class. A frame that cannot be decoded is a null image,
// not logged (the caller counts its bad frames); no exception leaves these functions.
#pragma once

#include <QImage>
#include <QSize>

#include <cstddef>
#include <memory>

namespace SNP_ImagePipeline {

struct FramePool;

// Decodes live-view frames one after another for the screen: straight into the 32-bit
// format screens draw (Format_RGB32, no conversion after the decoder), reduced by the
// decoder itself (its DCT scaling) when the frame is shown at half its size or less, into
// pixel buffers reused from frame to frame. A frame's buffer comes back for a later frame
// once the last copy of its image is gone.
//
// Threads: decode() on one thread at a time (the frame loop's); the images it makes may be
// used, copied and let go on any thread, also after the decoder has gone.
class FrameDecoder {
public:
    FrameDecoder();
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;

    // The frame for a picture shown at shownSize pixels (empty: not known, the frame's own
    // size). A null image when the bytes are no whole JPEG picture (damaged, truncated) or
    // one wider or taller than 8192 pixels; not logged, as the caller counts its bad frames.
    QImage decode(const uchar* jpeg, size_t size, QSize shownSize);
    // The size a frame of frameSize is decoded at when shown at shownSize: the smallest of
    // the decoder's reductions (1/2, 3/8, 1/4, 1/8 ...) still at least shownSize in both
    // directions when shownSize is at most half the frame, else the frame's own size.
    static QSize decodedSize(QSize frameSize, QSize shownSize);
    // Pixel buffers made so far (reused ones not counted again).
    int buffersMade() const;

private:
    std::shared_ptr<FramePool> _pool;
    void* _handle = nullptr; // the decoder's tjhandle
};

} // namespace SNP_ImagePipeline
