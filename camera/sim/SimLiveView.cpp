#include "SimLiveView.h"

#include <atomic>

#include <pthread.h>
#include <time.h>

namespace {

std::atomic<int64_t> gRenderCpuNs{0};

int64_t threadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

} // namespace

double SimViewfinder::renderCpuSeconds()
{
    return double(gRenderCpuNs.load()) / 1e9;
}

bool SimViewfinder::render(SimJpeg::LiveViewRenderer& renderer, uint64_t frame, double seconds, const EdsTime& clock)
{
    const int64_t start = threadCpuNs();
    const bool ok = renderer.render(frame, seconds, clock);
    gRenderCpuNs.fetch_add(threadCpuNs() - start);
    return ok;
}

SimViewfinder::SimViewfinder(int width, int height)
    : _width(width & ~1), _height(height & ~1),
      _serving(std::make_unique<SimJpeg::LiveViewRenderer>(width, height)),
      _ahead(std::make_unique<SimJpeg::LiveViewRenderer>(width, height))
{
    _thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "sim viewfinder");
        run();
    });
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
        _cv.wait(lock, [this] { return _stop || _busy || (_replayStarted && _replayDone < kReplayFrames); });
        if (_stop)
            return;
        if (!_busy) {
            // the next frame of the replay loop
            const size_t index = _replayDone;
            const double seconds = static_cast<double>(index + 1) * _replayPeriod;
            const EdsTime clock = _replayClock;
            lock.unlock();
            const bool ok = render(*_ahead, index + 1, seconds, clock);
            std::vector<uint8_t> bytes;
            if (ok)
                bytes.assign(_ahead->data(), _ahead->data() + _ahead->size());
            lock.lock();
            _replay[index] = std::move(bytes);
            _replayFailed = _replayFailed || !ok;
            _replayDone = index + 1;
            _cv.notify_all();
            continue;
        }
        SimJpeg::LiveViewRenderer* renderer = _ahead.get();
        const uint64_t frame = _aheadFrame;
        const double seconds = _aheadSeconds;
        const EdsTime clock = _aheadClock;
        lock.unlock();
        const bool ok = render(*renderer, frame, seconds, clock);
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
        ok = render(*_serving, frame, seconds, clock);
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

bool SimViewfinder::replayFrame(uint64_t frame, double period, const EdsTime& clock, const uint8_t** data,
                                size_t* size)
{
    std::unique_lock<std::mutex> lock(_m);
    if (!_replayStarted) {
        _replayStarted = true;
        _replay.assign(kReplayFrames, {});
        _replayPeriod = period;
        _replayClock = clock;
        _cv.notify_all();
    }
    const size_t index = static_cast<size_t>((frame == 0 ? 0 : frame - 1) % kReplayFrames);
    _cv.wait(lock, [&] { return _stop || _replayDone > index; });
    if (_stop || _replay[index].empty()) {
        *data = nullptr;
        *size = 0;
        return false;
    }
    *data = _replay[index].data();  // complete: never written again
    *size = _replay[index].size();
    return true;
}
