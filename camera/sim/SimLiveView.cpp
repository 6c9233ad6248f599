#include "SimLiveView.h"

SimViewfinder::SimViewfinder(int width, int height)
    : _width(width & ~1), _height(height & ~1),
      _serving(std::make_unique<SimJpeg::LiveViewRenderer>(width, height)),
      _ahead(std::make_unique<SimJpeg::LiveViewRenderer>(width, height))
{
    _thread = std::thread([this] { run(); });
}

SimViewfinder::~SimViewfinder()
{
    {
        std::lock_guard<std::mutex> guard(_m);
        _stop = true;
    }
    _cv.notify_all();
    _thread.join();
}

void SimViewfinder::run()
{
    std::unique_lock<std::mutex> lock(_m);
    for (;;) {
        _cv.wait(lock, [this] { return _stop || _busy; });
        if (_stop)
            return;
        SimJpeg::LiveViewRenderer* renderer = _ahead.get();
        const uint64_t frame = _aheadFrame;
        const double seconds = _aheadSeconds;
        const EdsTime clock = _aheadClock;
        lock.unlock();
        const bool ok = renderer->render(frame, seconds, clock);
        lock.lock();
        _aheadOk = ok;
        _busy = false;
        _ready = true;
        _cv.notify_all();
    }
}

bool SimViewfinder::frame(uint64_t frame, double seconds, const EdsTime& clock, double nextSeconds,
                          const uint8_t** data, size_t* size)
{
    std::unique_lock<std::mutex> lock(_m);
    bool ok;
    if ((_busy || _ready) && _aheadFrame == frame) {
        _cv.wait(lock, [this] { return !_busy; });  // nearly done: wait for it
        std::swap(_serving, _ahead);
        ok = _aheadOk;
        _ready = false;
    } else {
        _cv.wait(lock, [this] { return !_busy; });  // the ahead renderer must be idle
        _ready = false;
        lock.unlock();
        ok = _serving->render(frame, seconds, clock);
        lock.lock();
    }
    // the next frame, rendered while the host takes this one
    _aheadFrame = frame + 1;
    _aheadSeconds = nextSeconds;
    _aheadClock = clock;
    _busy = true;
    _cv.notify_all();
    *data = ok ? _serving->data() : nullptr;
    *size = ok ? _serving->size() : 0;
    return ok;
}
