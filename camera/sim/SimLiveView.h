// The simulated camera's viewfinder: renders the animated live-view scene (SimJpeg's
// LiveViewRenderer) one frame ahead on a thread of its own, as a camera's image processor
// does, so that handing a frame to the host costs a copy and not an encode.
#pragma once

#include "EdsSdk.h"
#include "SimJpeg.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class SimViewfinder {
public:
    SimViewfinder(int width, int height);
    ~SimViewfinder();  // joins the render thread
    SimViewfinder(const SimViewfinder&) = delete;
    SimViewfinder& operator=(const SimViewfinder&) = delete;

    int width() const { return _width; }
    int height() const { return _height; }

    // The encoded frame number frame (animation time seconds, camera clock): the one
    // rendered ahead when it is that frame, otherwise rendered now. Valid until the next
    // call. Starts rendering frame + 1 (at nextSeconds) ahead. False on encoder failure.
    bool frame(uint64_t frame, double seconds, const EdsTime& clock, double nextSeconds, const uint8_t** data,
               size_t* size);

private:
    void run();

    int _width, _height;
    std::unique_ptr<SimJpeg::LiveViewRenderer> _serving;  // the caller's; read after frame()
    std::mutex _m;
    std::condition_variable _cv;
    std::unique_ptr<SimJpeg::LiveViewRenderer> _ahead;  // the render thread's while busy
    bool _busy = false;       // the thread is rendering _aheadFrame
    bool _ready = false;      // _ahead holds _aheadFrame
    bool _aheadOk = false;
    bool _stop = false;
    uint64_t _aheadFrame = 0;
    double _aheadSeconds = 0;
    EdsTime _aheadClock{};
    std::thread _thread;
};
