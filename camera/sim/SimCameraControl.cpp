// The simulated camera's control side: cameras plugged in and out, camera-side changes,
// fault injection and what tests and benchmarks inspect (SimCameraSdk.h).
#include "SimCameraSdkImpl.h"

#include "SNP_Log.h"

#include <algorithm>

using namespace SimDetail;

int SimCameraSdk::connectCamera(const std::string& model)
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = std::make_shared<Cam>(d->nextCameraId++, model);
    d->core.plugIn(cam);
    d->core.post(Event{EventType::Added, nullptr, 0, 0, 0, nullptr, nullptr});
    SNP_Log::debugf("simulated camera: %s plugged in (camera %d)", model.c_str(), cam->id);
    return cam->id;
}

bool SimCameraSdk::disconnectCamera(int id)
{
    std::lock_guard<std::mutex> guard(d->m);
    for (const auto& cam : d->core.cameras)
        if (asCam(cam)->id == id) {
            SNP_Log::debugf("simulated camera: camera %d unplugged", id);
            d->core.unplug(std::shared_ptr<Camera>(cam));
            return true;
        }
    return false;
}

std::vector<int> SimCameraSdk::connectedCameras() const
{
    std::lock_guard<std::mutex> guard(d->m);
    std::vector<int> ids;
    for (const auto& cam : d->core.cameras)
        ids.push_back(asCam(cam)->id);
    return ids;
}

int SimCameraSdk::cameraId(EdsCameraRef ref) const
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->core.find<Cam>(ref, Kind::Camera);
    return cam ? cam->id : -1;
}

EdsCameraRef SimCameraSdk::cameraRef(int id) const
{
    std::lock_guard<std::mutex> guard(d->m);
    for (const auto& cam : d->core.cameras)
        if (asCam(cam)->id == id)
            return cam->ref;
    return nullptr;
}

bool SimCameraSdk::isSessionOpen(int id) const
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->camById(id);
    return cam && cam->sessionOpen;
}

bool SimCameraSdk::setCameraProperty(int id, EdsPropertyID property, EdsUInt32 value, bool announce)
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->camById(id);
    SimPropertyEvents ev;
    if (!cam || !cam->body.force(property, value, ev))
        return false;
    if (announce)
        d->core.postProperties(cam, ev);
    return true;
}

bool SimCameraSdk::setCameraStringProperty(int id, EdsPropertyID property, const std::string& text, bool announce)
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->camById(id);
    if (!cam || !cam->body.forceText(property, text))
        return false;
    if (announce)
        d->core.postProperties(cam, {{kEdsPropertyEvent_PropertyChanged, property}});
    return true;
}

EdsUInt32 SimCameraSdk::cameraProperty(int id, EdsPropertyID property) const
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->camById(id);
    return cam ? cam->body.number(property) : 0;
}

std::string SimCameraSdk::cameraStringProperty(int id, EdsPropertyID property) const
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->camById(id);
    return cam ? cam->body.text(property) : std::string();
}

void SimCameraSdk::setClockOffset(int id, double seconds)
{
    std::lock_guard<std::mutex> guard(d->m);
    if (auto cam = d->camById(id))
        cam->body.setClockOffset(seconds);
}

double SimCameraSdk::clockOffset(int id) const
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->camById(id);
    return cam ? cam->body.clockOffset() : 0;
}

bool SimCameraSdk::raiseStateEvent(int id, EdsStateEvent event, EdsUInt32 data)
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->camById(id);
    if (!cam)
        return false;
    d->core.post(Event{EventType::State, cam, event, data, 0, nullptr, nullptr});
    return true;
}

bool SimCameraSdk::raiseObjectEvent(int id, EdsObjectEvent event)
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->camById(id);
    if (!cam)
        return false;
    d->core.post(Event{EventType::Object, cam, event, 0, 0, nullptr, nullptr});
    return true;
}

int SimCameraSdk::picturesTaken(int id) const
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->camById(id);
    return cam ? cam->pictures : 0;
}

std::vector<uint8_t> SimCameraSdk::lastPicture(int id) const
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->camById(id);
    return cam && cam->lastPicture ? *cam->lastPicture : std::vector<uint8_t>();
}

// -- viewfinder (SimLiveView) --
bool SimCameraSdk::pauseLiveView(int id, bool paused)
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->camById(id);
    if (!cam)
        return false;
    cam->evfPaused = paused;
    return true;
}

std::vector<uint8_t> SimCameraSdk::lastLiveViewFrame(int id) const
{
    std::shared_ptr<Cam> cam;
    {
        std::lock_guard<std::mutex> guard(d->m);
        cam = d->camById(id);
    }
    if (!cam)
        return {};
    std::lock_guard<std::mutex> render(cam->evfLock);
    return cam->lastFrameBytes;
}
// -- end viewfinder --

int SimCameraSdk::liveViewFramesServed(int id) const
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->camById(id);
    return cam ? cam->framesServed : 0;
}

EdsCapacity SimCameraSdk::hostCapacity(int id) const
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->camById(id);
    return cam ? cam->capacity : EdsCapacity{};
}

void SimCameraSdk::setPictureSize(int width, int height)
{
    std::lock_guard<std::mutex> guard(d->m);
    d->pictureWidth = std::clamp(width, 64, 6000);
    d->pictureHeight = std::clamp(height, 64, 4000);
}

double SimCameraSdk::liveViewRenderCpuSeconds()
{
    return SimViewfinder::renderCpuSeconds();
}

void SimCameraSdk::setLiveViewFrameRate(double framesPerSecond)
{
    std::lock_guard<std::mutex> guard(d->m);
    d->liveFps = std::max(0.0, framesPerSecond);
}

void SimCameraSdk::setLiveViewSize(int width, int height)
{
    std::lock_guard<std::mutex> guard(d->m);
    d->liveWidth = std::clamp(width, 1024, 4096);
    d->liveHeight = std::clamp(height, 680, 2736);
}

void SimCameraSdk::setPictureFileSize(EdsUInt64 bytes)
{
    std::lock_guard<std::mutex> guard(d->m);
    d->pictureFileSize = std::min<EdsUInt64>(bytes, 256ULL * 1024 * 1024);
}

void SimCameraSdk::setTransferRate(EdsUInt64 bytesPerSecond)
{
    std::lock_guard<std::mutex> guard(d->m);
    d->transferRate = bytesPerSecond;
}

void SimCameraSdk::injectFault(SimOp op, EdsError status, FaultMode mode, int times, int delayMs, EdsUInt32 selector)
{
    std::lock_guard<std::mutex> guard(d->m);
    d->faults.push_back(Fault{op, status, remainingFor(mode, times), std::max(0, delayMs), selector});
}

void SimCameraSdk::injectDelay(SimOp op, int delayMs, FaultMode mode, int times)
{
    injectFault(op, EDS_ERR_OK, mode, times, delayMs);
}

void SimCameraSdk::injectLiveViewFrameFault(SimDataFault kind, FaultMode mode, int times)
{
    std::lock_guard<std::mutex> guard(d->m);
    d->frameFaults.push_back({kind, remainingFor(mode, times)});
}

void SimCameraSdk::injectPictureFault(SimDataFault kind, FaultMode mode, int times)
{
    std::lock_guard<std::mutex> guard(d->m);
    d->pictureFaults.push_back({kind, remainingFor(mode, times)});
}

void SimCameraSdk::unplugDuringNextDownload(int percent)
{
    std::lock_guard<std::mutex> guard(d->m);
    d->unplugAtPercent = std::clamp(percent, 0, 99);
}

void SimCameraSdk::stallNextDownload(int percent)
{
    std::lock_guard<std::mutex> guard(d->m);
    d->stallAtPercent = std::clamp(percent, 0, 99);
}

void SimCameraSdk::releaseStalledDownloads()
{
    std::lock_guard<std::mutex> guard(d->m);
    d->stallRelease += 1;
    d->core.idleCv.notify_all();
}

int SimCameraSdk::stalledDownloads() const
{
    std::lock_guard<std::mutex> guard(d->m);
    return d->stalled;
}

void SimCameraSdk::clearFaults()
{
    std::lock_guard<std::mutex> guard(d->m);
    d->faults.clear();
    d->frameFaults.clear();
    d->pictureFaults.clear();
    d->unplugAtPercent = -1;
    d->stallAtPercent = -1;
}

bool SimCameraSdk::waitForIdle(int timeoutMs)
{
    return d->core.waitForCallbacks(Clock::now() + std::chrono::milliseconds(timeoutMs));
}

int SimCameraSdk::callCount(SimOp op) const
{
    return d->calls[static_cast<size_t>(op)].load();
}

void SimCameraSdk::resetCallCounts()
{
    for (auto& c : d->calls)
        c = 0;
}
