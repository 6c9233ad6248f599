// The simulated camera's viewfinder: renders the animated live-view scene (SimJpeg's
// LiveViewRenderer) one frame ahead on a thread of its own, as a camera's image processor
// does, so that handing a frame to the host costs a copy and not an encode.
//
// Served as fast as the host asks (replay), frames come from a loop of kReplayFrames
// frames rendered once, in the background, from the first request on: like a camera's,
// their making then costs the host nothing, and the host's side alone is measured. The
// picture still moves from frame to frame; the clock shows the time of the first request.
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
    static constexpr size_t kReplayFrames = 64;
    // CPU time every viewfinder of the process has spent rendering frames, on whatever
    // thread (benchmarks count the camera's own work apart from the host's).
    static double renderCpuSeconds();
    // Frame number frame (counted from 1) of the replay loop, rendered by then; at
    // animation time frame * period. False on encoder failure.
    bool replayFrame(uint64_t frame, double period, const EdsTime& clock, const uint8_t** data, size_t* size);

private:
    void run();
    // _serving or _ahead renders, its CPU time counted.
    static bool render(SimJpeg::LiveViewRenderer& renderer, uint64_t frame, double seconds, const EdsTime& clock);

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
    // replay loop: entries below _replayDone are complete and never change again
    std::vector<std::vector<uint8_t>> _replay;
    bool _replayStarted = false;
    bool _replayFailed = false;
    size_t _replayDone = 0;
    double _replayPeriod = 0;
    EdsTime _replayClock{};
    std::thread _thread;
};
