#include "SimCameraSdk.h"

#include "SNP_Log.h"
#include "SimCamera.h"
#include "SimJpeg.h"
#include "SimLiveView.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <unordered_map>

namespace {

using Clock = std::chrono::steady_clock;

enum class Kind { List, Camera, Item, Stream, Evf };

struct Obj {
    explicit Obj(Kind k) : kind(k) {}
    virtual ~Obj() = default;
    Kind kind;
    EdsBaseRef ref = nullptr;
    EdsUInt32 count = 1;
};

template <typename Fn>
struct Slot {
    Fn fn = nullptr;
    void* context = nullptr;
    EdsUInt32 filter = 0;
};

struct Cam : Obj {
    Cam(int i, const std::string& model) : Obj(Kind::Camera), id(i), body(model) { count = 0; }
    int id;
    SimCamera body;
    bool connected = true;
    bool sessionOpen = false;
    bool sessionAtUnplug = false;
    Slot<EdsStateEventHandler> state;
    Slot<EdsPropertyEventHandler> property;
    Slot<EdsObjectEventHandler> object;
    bool captureBusy = false;
    EdsUInt32 shutter = 0;
    bool bulb = false;
    int fileNumber = 0;
    int pictures = 0;
    std::shared_ptr<const std::vector<uint8_t>> lastPicture;
    EdsCapacity capacity{};
    int lensPosition = 0;
    // live view
    Clock::time_point evfStart{};
    uint64_t lastFrame = 0;
    uint64_t fastFrame = 0;
    int framesServed = 0;
    std::mutex evfLock;  // the viewfinder; never held while calling out
    // -- viewfinder (SimLiveView) --
    std::unique_ptr<SimViewfinder> viewfinder;  // renders one frame ahead on its own thread
    bool evfPaused = false;                     // tests: no new frames while set
    std::vector<uint8_t> lastFrameBytes;        // the latest frame as served (under evfLock)
    // -- end viewfinder --
};

struct List : Obj {
    List() : Obj(Kind::List) {}
    std::vector<std::shared_ptr<Cam>> children;
};

struct Stream : Obj {
    Stream() : Obj(Kind::Stream) {}
    uint8_t* buffer = nullptr;
    EdsUInt64 capacity = 0;
    EdsUInt64 position = 0;
    EdsUInt64 length = 0;
    EdsProgressCallback progress = nullptr;
    void* progressContext = nullptr;
    EdsUInt32 progressOption = kEdsProgressOption_NoReport;
};

struct Item : Obj {
    Item() : Obj(Kind::Item) {}
    std::shared_ptr<Cam> cam;
    std::shared_ptr<const std::vector<uint8_t>> data;
    std::string name;
    EdsUInt32 dateTime = 0;
    EdsUInt64 offset = 0;
    bool completed = false;
    EdsProgressCallback progress = nullptr;
    void* progressContext = nullptr;
    EdsUInt32 progressOption = kEdsProgressOption_NoReport;
};

struct Evf : Obj {
    Evf() : Obj(Kind::Evf) {}
    std::shared_ptr<Stream> stream;
};

struct Capture {
    SimJpeg::ExifFields exif;
    int width = 0, height = 0;
    std::optional<SimDataFault> fault;
    std::string name;
    EdsUInt32 dateTime = 0;
    bool toHost = true;
    EdsUInt64 fileSize = 0;  // at least this many bytes (filler segments)
};

// Pads a JPEG file to at least size bytes with APP15 segments after its leading APPn
// segments (EXIF first), as a camera's previews and maker data make its files large.
void padPicture(std::vector<uint8_t>& file, EdsUInt64 size)
{
    if (file.size() < 4 || file.size() >= size)
        return;
    size_t at = 2;
    while (at + 4 <= file.size() && file[at] == 0xFF && file[at + 1] >= 0xE0 && file[at + 1] <= 0xEF)
        at += 2 + ((size_t(file[at + 2]) << 8) | file[at + 3]);
    if (at > file.size())
        return;
    std::vector<uint8_t> filler;
    EdsUInt64 missing = size - file.size();
    filler.reserve(size_t(missing) + 4);
    while (missing > 0) {
        const size_t payload = size_t(std::min<EdsUInt64>(65533, missing > 4 ? missing - 4 : 0));
        const size_t length = payload + 2; // the length field counts itself
        filler.insert(filler.end(), {0xFF, 0xEF, uint8_t(length >> 8), uint8_t(length & 0xFF)});
        for (size_t i = 0; i < payload; ++i)
            filler.push_back(uint8_t(i * 31));
        missing -= std::min<EdsUInt64>(missing, payload + 4);
    }
    file.insert(file.begin() + std::ptrdiff_t(at), filler.begin(), filler.end());
}

enum class EventType { Added, State, Property, Object, Capture };

struct Event {
    EventType type;
    std::shared_ptr<Cam> cam;
    EdsUInt32 event = 0, a = 0, b = 0;
    std::shared_ptr<Capture> capture;
};

struct Fault {
    SimOp op;
    EdsError status;
    int remaining;  // -1: always
    int delayMs;
    EdsUInt32 selector;
};

struct DataFault {
    SimDataFault kind;
    int remaining;
};

bool onMainThread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

bool takeDataFault(std::vector<DataFault>& faults, SimDataFault& kind)
{
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if (it->remaining == 0)
            continue;
        kind = it->kind;
        if (it->remaining > 0 && --it->remaining == 0)
            faults.erase(it);
        return true;
    }
    return false;
}

enum : EdsPropertyID { kPropSaveTo = 0xB, kPropAvailableShots = 0x40A, kPropEvfOutputDevice = 0x500 };
constexpr EdsUInt32 kEvfHostBit = 2;

}  // namespace

const char* simOpName(SimOp op)
{
    static const char* names[] = {
        "EdsInitializeSDK", "EdsTerminateSDK", "EdsSetCameraAddedHandler", "EdsGetCameraList", "EdsGetChildCount",
        "EdsGetChildAtIndex", "EdsRetain", "EdsRelease", "EdsGetDeviceInfo", "EdsOpenSession", "EdsCloseSession",
        "EdsSetCameraStateEventHandler", "EdsSetPropertyEventHandler", "EdsSetObjectEventHandler", "EdsSendCommand",
        "take picture", "EdsGetPropertySize", "EdsGetPropertyData", "EdsSetPropertyData", "EdsGetPropertyDesc",
        "EdsSetCapacity", "EdsGetDirectoryItemInfo", "EdsCreateMemoryStreamFromPointer", "EdsSetProgressCallback",
        "EdsDownload", "EdsDownloadComplete", "EdsCreateEvfImageRef", "EdsDownloadEvfImage"};
    static_assert(sizeof(names) / sizeof(names[0]) == static_cast<size_t>(SimOp::Count));
    int i = static_cast<int>(op);
    return i >= 0 && i < static_cast<int>(SimOp::Count) ? names[i] : "unknown operation";
}

struct SimCameraSdk::Impl {
    mutable std::mutex m;
    std::condition_variable eventsCv;    // new events, stop
    std::condition_variable idleCv;      // delivery finished, transfer released, camera unplugged
    std::deque<Event> events;
    bool delivering = false;
    bool stop = false;
    std::thread thread;
    std::thread::id threadId;
    // the handler being called now: camera (null for the added handler) and type
    const Cam* inFlightCam = nullptr;
    std::optional<EventType> inFlightType;

    std::unordered_map<EdsBaseRef, std::shared_ptr<Obj>> objects;
    uintptr_t nextHandle = 0;
    std::vector<std::shared_ptr<Cam>> cams;  // connected, in plug order
    int nextCameraId = 1;
    Slot<EdsCameraAddedHandler> added;

    int pictureWidth = 1920, pictureHeight = 1280;
    EdsUInt64 pictureFileSize = 0;
    double liveFps = 30.0;
    int liveWidth = 1024, liveHeight = 680;
    EdsUInt64 transferRate = 0;

    std::vector<Fault> faults;
    std::vector<DataFault> frameFaults, pictureFaults;
    int unplugAtPercent = -1;
    int stallAtPercent = -1;
    uint64_t stallRelease = 0;
    int stalled = 0;

    std::array<std::atomic<int>, static_cast<size_t>(SimOp::Count)> calls{};

    // ---- handles (all with m held) ----
    EdsBaseRef registerObject(const std::shared_ptr<Obj>& obj)
    {
        nextHandle += 1;
        obj->ref = reinterpret_cast<EdsBaseRef>(static_cast<uintptr_t>(0x5A000000) + nextHandle * 0x40);
        objects[obj->ref] = obj;
        return obj->ref;
    }

    template <typename T>
    std::shared_ptr<T> find(EdsBaseRef ref, Kind kind) const
    {
        auto it = objects.find(ref);
        if (it == objects.end() || it->second->kind != kind)
            return nullptr;
        return std::static_pointer_cast<T>(it->second);
    }

    void drop(const std::shared_ptr<Obj>& obj)
    {
        if (obj->kind == Kind::Camera && static_cast<Cam*>(obj.get())->connected)
            return;  // the SDK keeps a connected camera's handle
        objects.erase(obj->ref);
        if (obj->kind == Kind::List) {
            for (auto& child : static_cast<List*>(obj.get())->children)
                release(child);
        } else if (obj->kind == Kind::Evf) {
            if (auto& s = static_cast<Evf*>(obj.get())->stream)
                release(s);
        }
    }

    EdsUInt32 release(const std::shared_ptr<Obj>& obj)
    {
        if (obj->count == 0)
            return 0;
        if (--obj->count == 0)
            drop(obj);
        return obj->count;
    }

    static EdsError gone(const Cam& cam) { return cam.sessionAtUnplug ? EDS_ERR_COMM_DISCONNECTED : EDS_ERR_DEVICE_NOT_FOUND; }

    // A camera for a call that needs it connected (and optionally a session).
    EdsError camera(EdsBaseRef ref, bool needSession, std::shared_ptr<Cam>& out) const
    {
        out = find<Cam>(ref, Kind::Camera);
        if (!out)
            return EDS_ERR_INVALID_HANDLE;
        if (!out->connected)
            return gone(*out);
        if (needSession && !out->sessionOpen)
            return EDS_ERR_SESSION_NOT_OPEN;
        return EDS_ERR_OK;
    }

    std::shared_ptr<Cam> camById(int id) const
    {
        for (const auto& c : cams)
            if (c->id == id)
                return c;
        for (const auto& [ref, obj] : objects)
            if (obj->kind == Kind::Camera && static_cast<Cam*>(obj.get())->id == id)
                return std::static_pointer_cast<Cam>(obj);
        return nullptr;
    }

    // ---- faults ----
    std::optional<EdsError> fault(SimOp op, EdsUInt32 selector = kSimAnySelector)
    {
        calls[static_cast<size_t>(op)]++;
        EdsError status = EDS_ERR_OK;
        int delay = 0;
        bool hit = false;
        {
            std::lock_guard<std::mutex> guard(m);
            for (auto it = faults.begin(); it != faults.end(); ++it) {
                if (it->op != op || (it->selector != kSimAnySelector && it->selector != selector))
                    continue;
                status = it->status;
                delay = it->delayMs;
                hit = true;
                if (it->remaining > 0 && --it->remaining == 0)
                    faults.erase(it);
                break;
            }
        }
        if (!hit)
            return std::nullopt;
        if (delay > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        if (status == EDS_ERR_OK)
            return std::nullopt;
        SNP_Log::debugf("simulated camera: %s answers injected status %x", simOpName(op), status);
        return status;
    }

    // ---- events ----
    void post(Event e)
    {
        events.push_back(std::move(e));
        eventsCv.notify_all();
    }

    void postProperty(const std::shared_ptr<Cam>& cam, const SimPropertyEvents& list)
    {
        for (const auto& [event, id] : list)
            post(Event{EventType::Property, cam, event, id, 0, nullptr});
    }

    // Waits (m held through lock) until no handler of this camera and type is running;
    // on the Qt main thread it keeps serving queued main-thread calls meanwhile.
    void waitNotInFlight(std::unique_lock<std::mutex>& lock, const Cam* cam, std::optional<EventType> type)
    {
        if (std::this_thread::get_id() == threadId)
            return;
        auto busy = [&] { return inFlightType && (!type || (*inFlightType == *type && inFlightCam == cam)); };
        const bool main = onMainThread();
        while (busy()) {
            if (!main) {
                idleCv.wait(lock);
                continue;
            }
            idleCv.wait_for(lock, std::chrono::milliseconds(2));
            if (!busy())
                break;
            lock.unlock();
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            lock.lock();
        }
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(m);
        while (true) {
            eventsCv.wait(lock, [&] { return stop || !events.empty(); });
            if (stop)
                break;
            Event e = std::move(events.front());
            events.pop_front();
            delivering = true;
            if (e.type == EventType::Capture)
                capture(lock, e);
            else
                deliver(lock, e.type, e.cam, e.event, e.a, e.b, nullptr);
            delivering = false;
            idleCv.notify_all();
        }
    }

    // Calls the handler for the event (m held on entry and exit, released for the call).
    void deliver(std::unique_lock<std::mutex>& lock, EventType type, const std::shared_ptr<Cam>& cam, EdsUInt32 event,
                 EdsUInt32 a, EdsUInt32 b, EdsBaseRef ref)
    {
        auto accepts = [](EdsUInt32 filter, EdsUInt32 all, EdsUInt32 ev) { return filter == all || filter == ev; };
        std::function<void()> call;
        switch (type) {
        case EventType::Added:
            if (added.fn) {
                auto fn = added.fn;
                void* ctx = added.context;
                call = [fn, ctx] { fn(ctx); };
            }
            break;
        case EventType::State:
            if (cam->state.fn && accepts(cam->state.filter, kEdsStateEvent_All, event)) {
                auto fn = cam->state.fn;
                void* ctx = cam->state.context;
                call = [fn, ctx, event, a] { fn(event, a, ctx); };
            }
            break;
        case EventType::Property:
            if (cam->property.fn && accepts(cam->property.filter, kEdsPropertyEvent_All, event)) {
                auto fn = cam->property.fn;
                void* ctx = cam->property.context;
                call = [fn, ctx, event, a, b] { fn(event, a, b, ctx); };
            }
            break;
        case EventType::Object:
            if (cam->object.fn && accepts(cam->object.filter, kEdsObjectEvent_All, event)) {
                auto fn = cam->object.fn;
                void* ctx = cam->object.context;
                call = [fn, ctx, event, ref] { fn(event, ref, ctx); };
            }
            break;
        case EventType::Capture:
            break;
        }
        if (!call)
            return;
        inFlightCam = type == EventType::Added ? nullptr : cam.get();
        inFlightType = type;
        lock.unlock();
        call();
        lock.lock();
        inFlightCam = nullptr;
        inFlightType.reset();
        idleCv.notify_all();
    }

    // The camera writes the picture and asks the host to take it (or files it on its card).
    void capture(std::unique_lock<std::mutex>& lock, const Event& e)
    {
        std::shared_ptr<Cam> cam = e.cam;
        const Capture& c = *e.capture;
        lock.unlock();
        std::shared_ptr<const std::vector<uint8_t>> base = SimJpeg::basePicture(c.width, c.height);
        auto file = std::make_shared<std::vector<uint8_t>>();
        if (base) {
            *file = *base;
            if (!SimJpeg::writeExif(*file, c.exif))
                SNP_Log::debugf("simulated camera: picture %s has no EXIF data", c.name.c_str());
            padPicture(*file, c.fileSize);
        }
        if (c.fault && !file->empty()) {
            if (*c.fault == SimDataFault::Truncated) {
                file->resize(file->size() / 2);
            } else {
                std::mt19937 noise(static_cast<unsigned>(file->size()));
                for (auto& byte : *file)
                    byte = static_cast<uint8_t>(noise());
                (*file)[0] = 0x00;  // never a JPEG start marker
            }
        }
        lock.lock();
        cam->captureBusy = false;
        if (!cam->connected || file->empty())
            return;
        cam->pictures += 1;
        cam->lastPicture = file;
        auto item = std::make_shared<Item>();
        item->cam = cam;
        item->data = file;
        item->name = c.name;
        item->dateTime = c.dateTime;
        EdsBaseRef ref = registerObject(item);
        cam->captureBusy = true;  // until the host has answered the request
        deliver(lock, EventType::Object, cam,
                c.toHost ? kEdsObjectEvent_DirItemRequestTransfer : kEdsObjectEvent_DirItemCreated, 0, 0, ref);
        cam->captureBusy = false;
        release(item);  // the SDK's own reference; a handler that wants the item longer retains it
    }

    // ---- commands (m held) ----
    EdsError takePicture(const std::shared_ptr<Cam>& cam, std::optional<EdsError> injected)
    {
        if (injected)
            return *injected;
        if (cam->captureBusy)
            return EDS_ERR_DEVICE_BUSY;
        cam->captureBusy = true;
        auto c = std::make_shared<Capture>();
        c->exif = cam->body.exifNow();
        c->width = pictureWidth;
        c->height = pictureHeight;
        c->fileSize = pictureFileSize;
        c->exif.width = pictureWidth;
        c->exif.height = pictureHeight;
        SimDataFault kind;
        if (takeDataFault(pictureFaults, kind))
            c->fault = kind;
        cam->fileNumber = cam->fileNumber % 9999 + 1;
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04d.JPG", cam->fileNumber);
        c->name = name;
        c->dateTime = static_cast<EdsUInt32>(cam->body.clockSeconds());
        EdsUInt32 saveTo = cam->body.number(kPropSaveTo);
        c->toHost = (saveTo & kEdsSaveTo_Host) != 0;
        if (saveTo & kEdsSaveTo_Camera) {
            SimPropertyEvents ev;
            EdsUInt32 shots = cam->body.number(kPropAvailableShots);
            if (shots > 0 && cam->body.force(kPropAvailableShots, shots - 1, ev))
                postProperty(cam, ev);
        }
        post(Event{EventType::Capture, cam, 0, 0, 0, c});
        return EDS_ERR_OK;
    }

    void unplug(const std::shared_ptr<Cam>& cam)
    {
        if (!cam->connected)
            return;
        cam->connected = false;
        cam->sessionAtUnplug = cam->sessionOpen;
        cam->sessionOpen = false;
        cams.erase(std::remove(cams.begin(), cams.end(), cam), cams.end());
        post(Event{EventType::State, cam, kEdsStateEvent_Shutdown, 0, 0, nullptr});
        if (cam->count == 0)
            objects.erase(cam->ref);
        idleCv.notify_all();
    }
};

// =======================================================================================

SimCameraSdk::SimCameraSdk(bool connectDefaultCamera) : d(std::make_unique<Impl>())
{
    if (connectDefaultCamera) {
        std::lock_guard<std::mutex> guard(d->m);
        auto cam = std::make_shared<Cam>(d->nextCameraId++, kDefaultModel);
        d->registerObject(cam);
        d->cams.push_back(cam);
    }
    std::lock_guard<std::mutex> guard(d->m);
    d->thread = std::thread([this] { d->run(); });
    d->threadId = d->thread.get_id();
}

SimCameraSdk::~SimCameraSdk()
{
    {
        std::lock_guard<std::mutex> guard(d->m);
        d->stop = true;
        d->stallRelease += 1;
        d->eventsCv.notify_all();
        d->idleCv.notify_all();
    }
    if (std::this_thread::get_id() == d->threadId) {
        // The last reference went in a handler: the thread ends by itself once the handler
        // returns, but it still uses the state, which must outlive it.
        d->thread.detach();
        Impl* leaked = d.release();
        (void)leaked;
        return;
    }
    if (d->thread.joinable())
        d->thread.join();
}

// ---- SDK lifecycle and list ----

EdsError SimCameraSdk::EdsInitializeSDK()
{
    if (auto f = d->fault(SimOp::InitializeSDK))
        return *f;
    return EDS_ERR_OK;
}

EdsError SimCameraSdk::EdsTerminateSDK()
{
    if (auto f = d->fault(SimOp::TerminateSDK))
        return *f;
    std::unique_lock<std::mutex> lock(d->m);
    d->added = {};
    for (const auto& [ref, obj] : d->objects) {
        if (obj->kind != Kind::Camera)
            continue;
        auto* cam = static_cast<Cam*>(obj.get());
        cam->sessionOpen = false;
        cam->state = {};
        cam->property = {};
        cam->object = {};
    }
    for (const Event& e : d->events)
        if (e.type == EventType::Capture && e.cam)
            e.cam->captureBusy = false;
    d->events.clear();
    d->waitNotInFlight(lock, nullptr, std::nullopt);
    return EDS_ERR_OK;
}

EdsError SimCameraSdk::EdsSetCameraAddedHandler(EdsCameraAddedHandler inHandler, void* inContext)
{
    if (auto f = d->fault(SimOp::SetCameraAddedHandler))
        return *f;
    std::unique_lock<std::mutex> lock(d->m);
    d->added = {inHandler, inHandler ? inContext : nullptr, 0};
    if (!inHandler)
        d->waitNotInFlight(lock, nullptr, EventType::Added);
    return EDS_ERR_OK;
}

EdsError SimCameraSdk::EdsGetCameraList(EdsCameraListRef* outCameraListRef)
{
    if (auto f = d->fault(SimOp::GetCameraList))
        return *f;
    if (!outCameraListRef)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(d->m);
    auto list = std::make_shared<List>();
    for (const auto& cam : d->cams) {
        cam->count += 1;  // the list holds each child
        list->children.push_back(cam);
    }
    *outCameraListRef = d->registerObject(list);
    return EDS_ERR_OK;
}

EdsError SimCameraSdk::EdsGetChildCount(EdsBaseRef inRef, EdsUInt32* outCount)
{
    if (auto f = d->fault(SimOp::GetChildCount))
        return *f;
    if (!outCount)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(d->m);
    if (auto list = d->find<List>(inRef, Kind::List)) {
        *outCount = static_cast<EdsUInt32>(list->children.size());
        return EDS_ERR_OK;
    }
    if (d->find<Cam>(inRef, Kind::Camera)) {
        *outCount = 0;  // the card's volumes are not offered
        return EDS_ERR_OK;
    }
    return EDS_ERR_INVALID_HANDLE;
}

EdsError SimCameraSdk::EdsGetChildAtIndex(EdsBaseRef inRef, EdsInt32 inIndex, EdsBaseRef* outRef)
{
    if (auto f = d->fault(SimOp::GetChildAtIndex))
        return *f;
    if (!outRef)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(d->m);
    auto list = d->find<List>(inRef, Kind::List);
    if (!list)
        return EDS_ERR_INVALID_HANDLE;
    if (inIndex < 0 || static_cast<size_t>(inIndex) >= list->children.size())
        return EDS_ERR_INVALID_INDEX;
    auto& child = list->children[static_cast<size_t>(inIndex)];
    child->count += 1;
    *outRef = child->ref;
    return EDS_ERR_OK;
}

EdsUInt32 SimCameraSdk::EdsRetain(EdsBaseRef inRef)
{
    d->calls[static_cast<size_t>(SimOp::Retain)]++;
    std::lock_guard<std::mutex> guard(d->m);
    auto it = d->objects.find(inRef);
    if (it == d->objects.end())
        return 0;
    return ++it->second->count;
}

EdsUInt32 SimCameraSdk::EdsRelease(EdsBaseRef inRef)
{
    d->calls[static_cast<size_t>(SimOp::Release)]++;
    std::lock_guard<std::mutex> guard(d->m);
    auto it = d->objects.find(inRef);
    if (it == d->objects.end())
        return 0;
    std::shared_ptr<Obj> obj = it->second;
    return d->release(obj);
}

// ---- camera and session ----

EdsError SimCameraSdk::EdsGetDeviceInfo(EdsCameraRef inCameraRef, EdsDeviceInfo* outDeviceInfo)
{
    if (auto f = d->fault(SimOp::GetDeviceInfo))
        return *f;
    if (!outDeviceInfo)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(d->m);
    std::shared_ptr<Cam> cam;
    if (EdsError e = d->camera(inCameraRef, false, cam))
        return e;
    std::memset(outDeviceInfo, 0, sizeof *outDeviceInfo);
    std::snprintf(outDeviceInfo->szPortName, sizeof outDeviceInfo->szPortName, "usb:001,%03d", 3 + cam->id);
    std::snprintf(outDeviceInfo->szDeviceDescription, sizeof outDeviceInfo->szDeviceDescription, "%s",
                  cam->body.model().c_str());
    outDeviceInfo->deviceSubType = 1;
    return EDS_ERR_OK;
}

EdsError SimCameraSdk::EdsOpenSession(EdsCameraRef inCameraRef)
{
    if (auto f = d->fault(SimOp::OpenSession))
        return *f;
    std::lock_guard<std::mutex> guard(d->m);
    std::shared_ptr<Cam> cam;
    if (EdsError e = d->camera(inCameraRef, false, cam))
        return e;
    if (cam->sessionOpen)
        return EDS_ERR_SESSION_ALREADY_OPEN;
    cam->sessionOpen = true;
    return EDS_ERR_OK;
}

EdsError SimCameraSdk::EdsCloseSession(EdsCameraRef inCameraRef)
{
    if (auto f = d->fault(SimOp::CloseSession))
        return *f;
    std::lock_guard<std::mutex> guard(d->m);
    std::shared_ptr<Cam> cam;
    if (EdsError e = d->camera(inCameraRef, false, cam))
        return e;
    if (!cam->sessionOpen)
        return EDS_ERR_SESSION_NOT_OPEN;
    cam->sessionOpen = false;
    cam->shutter = 0;
    cam->bulb = false;
    // The camera takes its viewfinder back from the host.
    EdsUInt32 output = cam->body.number(kPropEvfOutputDevice);
    if (output & kEvfHostBit) {
        SimPropertyEvents ev;
        cam->body.force(kPropEvfOutputDevice, output & ~kEvfHostBit, ev);
        d->postProperty(cam, ev);
    }
    return EDS_ERR_OK;
}

// ---- handlers ----

EdsError SimCameraSdk::EdsSetCameraStateEventHandler(EdsCameraRef inCameraRef, EdsStateEvent inEvent,
                                                     EdsStateEventHandler inHandler, void* inContext)
{
    if (auto f = d->fault(SimOp::SetStateEventHandler))
        return *f;
    if ((inEvent & 0xFFFFFF00u) != kEdsStateEvent_All)
        return EDS_ERR_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock(d->m);
    auto cam = d->find<Cam>(inCameraRef, Kind::Camera);
    if (!cam)
        return EDS_ERR_INVALID_HANDLE;
    if (!inHandler) {
        cam->state = {};
        d->waitNotInFlight(lock, cam.get(), EventType::State);
        return EDS_ERR_OK;
    }
    if (!cam->connected)
        return Impl::gone(*cam);
    cam->state = {inHandler, inContext, inEvent};
    return EDS_ERR_OK;
}

EdsError SimCameraSdk::EdsSetPropertyEventHandler(EdsCameraRef inCameraRef, EdsPropertyEvent inEvent,
                                                  EdsPropertyEventHandler inHandler, void* inContext)
{
    if (auto f = d->fault(SimOp::SetPropertyEventHandler))
        return *f;
    if ((inEvent & 0xFFFFFF00u) != kEdsPropertyEvent_All)
        return EDS_ERR_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock(d->m);
    auto cam = d->find<Cam>(inCameraRef, Kind::Camera);
    if (!cam)
        return EDS_ERR_INVALID_HANDLE;
    if (!inHandler) {
        cam->property = {};
        d->waitNotInFlight(lock, cam.get(), EventType::Property);
        return EDS_ERR_OK;
    }
    if (!cam->connected)
        return Impl::gone(*cam);
    cam->property = {inHandler, inContext, inEvent};
    return EDS_ERR_OK;
}

EdsError SimCameraSdk::EdsSetObjectEventHandler(EdsCameraRef inCameraRef, EdsObjectEvent inEvent,
                                                EdsObjectEventHandler inHandler, void* inContext)
{
    if (auto f = d->fault(SimOp::SetObjectEventHandler))
        return *f;
    if ((inEvent & 0xFFFFFF00u) != kEdsObjectEvent_All)
        return EDS_ERR_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock(d->m);
    auto cam = d->find<Cam>(inCameraRef, Kind::Camera);
    if (!cam)
        return EDS_ERR_INVALID_HANDLE;
    if (!inHandler) {
        cam->object = {};
        d->waitNotInFlight(lock, cam.get(), EventType::Object);
        return EDS_ERR_OK;
    }
    if (!cam->connected)
        return Impl::gone(*cam);
    cam->object = {inHandler, inContext, inEvent};
    return EDS_ERR_OK;
}

// ---- commands ----

EdsError SimCameraSdk::EdsSendCommand(EdsCameraRef inCameraRef, EdsCameraCommand inCommand, EdsInt32 inParam)
{
    if (auto f = d->fault(SimOp::SendCommand, inCommand))
        return *f;
    const auto param = static_cast<EdsUInt32>(inParam);
    const bool fullPress = inCommand == kEdsCameraCommand_PressShutterButton && (param == 3 || param == 0x10003);
    const bool capturing = inCommand == kEdsCameraCommand_TakePicture || inCommand == kEdsCameraCommand_BulbEnd || fullPress;
    std::optional<EdsError> captureFault;
    std::unique_lock<std::mutex> lock(d->m);
    std::shared_ptr<Cam> cam;
    if (EdsError e = d->camera(inCameraRef, true, cam))
        return e;
    if (capturing) {
        lock.unlock();
        captureFault = d->fault(SimOp::TakePicture);
        lock.lock();
        if (!cam->connected)
            return Impl::gone(*cam);
    }
    switch (inCommand) {
    case kEdsCameraCommand_TakePicture:
        return d->takePicture(cam, captureFault);
    case kEdsCameraCommand_ExtendShutDownTimer:
    case kEdsCameraCommand_DoClickWBEvf:
        return EDS_ERR_OK;
    case kEdsCameraCommand_BulbStart:
        if (cam->body.number(0x400) != 4 || cam->bulb)
            return EDS_ERR_DEVICE_INVALID_PARAMETER;
        cam->bulb = true;
        return EDS_ERR_OK;
    case kEdsCameraCommand_BulbEnd:
        if (!cam->bulb)
            return EDS_ERR_DEVICE_INVALID_PARAMETER;
        cam->bulb = false;
        return d->takePicture(cam, captureFault);
    case kEdsCameraCommand_PressShutterButton:
        switch (param) {
        case 0:
            cam->shutter = 0;
            return EDS_ERR_OK;
        case 1:
        case 0x10001:
            if (cam->shutter == 0)
                cam->shutter = 1;
            return EDS_ERR_OK;
        case 3:
        case 0x10003: {
            if (cam->shutter == 3)
                return EDS_ERR_OK;  // held down: one picture per press
            EdsError e = d->takePicture(cam, captureFault);
            if (e == EDS_ERR_OK)
                cam->shutter = 3;
            return e;
        }
        default:
            return EDS_ERR_DEVICE_INVALID_PARAMETER;
        }
    case kEdsCameraCommand_DoEvfAf:
        return param <= 1 ? EDS_ERR_OK : EDS_ERR_DEVICE_INVALID_PARAMETER;
    case kEdsCameraCommand_DriveLensEvf: {
        static const int steps[] = {1, 3, 9};
        if (param >= 1 && param <= 3)
            cam->lensPosition -= steps[param - 1];  // near
        else if (param >= 0x8001 && param <= 0x8003)
            cam->lensPosition += steps[param - 0x8001];  // far
        else
            return EDS_ERR_DEVICE_INVALID_PARAMETER;
        return EDS_ERR_OK;
    }
    default:
        return EDS_ERR_UNKNOWN_COMMAND;
    }
}

// ---- properties ----

EdsError SimCameraSdk::EdsGetPropertySize(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32 inParam,
                                          EdsDataType* outDataType, EdsUInt32* outSize)
{
    if (auto f = d->fault(SimOp::GetPropertySize, inPropertyID))
        return *f;
    if (!outDataType || !outSize)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(d->m);
    std::shared_ptr<Cam> cam;
    if (EdsError e = d->camera(inRef, true, cam))
        return e;
    return cam->body.size(inPropertyID, outDataType, outSize);
}

EdsError SimCameraSdk::EdsGetPropertyData(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32 inParam,
                                          EdsUInt32 inPropertySize, void* outPropertyData)
{
    if (auto f = d->fault(SimOp::GetPropertyData, inPropertyID))
        return *f;
    std::lock_guard<std::mutex> guard(d->m);
    std::shared_ptr<Cam> cam;
    if (EdsError e = d->camera(inRef, true, cam))
        return e;
    return cam->body.get(inPropertyID, inParam, inPropertySize, outPropertyData);
}

EdsError SimCameraSdk::EdsSetPropertyData(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32 inParam,
                                          EdsUInt32 inPropertySize, const void* inPropertyData)
{
    if (auto f = d->fault(SimOp::SetPropertyData, inPropertyID))
        return *f;
    std::lock_guard<std::mutex> guard(d->m);
    std::shared_ptr<Cam> cam;
    if (EdsError e = d->camera(inRef, true, cam))
        return e;
    const EdsUInt32 outputBefore = cam->body.number(kPropEvfOutputDevice);
    SimPropertyEvents ev;
    EdsError e = cam->body.set(inPropertyID, inParam, inPropertySize, inPropertyData, ev);
    if (e != EDS_ERR_OK)
        return e;
    if (inPropertyID == kPropEvfOutputDevice) {
        const EdsUInt32 outputAfter = cam->body.number(kPropEvfOutputDevice);
        if ((outputAfter & kEvfHostBit) && !(outputBefore & kEvfHostBit)) {
            cam->evfStart = Clock::now();  // the viewfinder starts streaming to the host
            cam->lastFrame = 0;
        }
    }
    d->postProperty(cam, ev);
    return EDS_ERR_OK;
}

EdsError SimCameraSdk::EdsGetPropertyDesc(EdsBaseRef inRef, EdsPropertyID inPropertyID,
                                          EdsPropertyDesc* outPropertyDesc)
{
    if (auto f = d->fault(SimOp::GetPropertyDesc, inPropertyID))
        return *f;
    std::lock_guard<std::mutex> guard(d->m);
    std::shared_ptr<Cam> cam;
    if (EdsError e = d->camera(inRef, true, cam))
        return e;
    return cam->body.desc(inPropertyID, outPropertyDesc);
}

EdsError SimCameraSdk::EdsSetCapacity(EdsCameraRef inCameraRef, EdsCapacity inCapacity)
{
    if (auto f = d->fault(SimOp::SetCapacity))
        return *f;
    std::lock_guard<std::mutex> guard(d->m);
    std::shared_ptr<Cam> cam;
    if (EdsError e = d->camera(inCameraRef, true, cam))
        return e;
    if (inCapacity.bytesPerSector <= 0 || inCapacity.numberOfFreeClusters < 0)
        return EDS_ERR_INVALID_PARAMETER;
    cam->capacity = inCapacity;
    return EDS_ERR_OK;
}

// ---- download ----

EdsError SimCameraSdk::EdsGetDirectoryItemInfo(EdsDirectoryItemRef inDirItemRef, EdsDirectoryItemInfo* outDirItemInfo)
{
    if (auto f = d->fault(SimOp::GetDirectoryItemInfo))
        return *f;
    if (!outDirItemInfo)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(d->m);
    auto item = d->find<Item>(inDirItemRef, Kind::Item);
    if (!item)
        return EDS_ERR_INVALID_HANDLE;
    if (!item->cam->connected)
        return EDS_ERR_COMM_DISCONNECTED;
    std::memset(outDirItemInfo, 0, sizeof *outDirItemInfo);
    outDirItemInfo->size = item->data->size();
    outDirItemInfo->isFolder = 0;
    outDirItemInfo->format = 1;  // JPEG
    outDirItemInfo->dateTime = item->dateTime;
    std::snprintf(outDirItemInfo->szFileName, sizeof outDirItemInfo->szFileName, "%s", item->name.c_str());
    return EDS_ERR_OK;
}

EdsError SimCameraSdk::EdsCreateMemoryStreamFromPointer(void* inUserBuffer, EdsUInt64 inBufferSize,
                                                        EdsStreamRef* outStream)
{
    if (auto f = d->fault(SimOp::CreateMemoryStream))
        return *f;
    if (!outStream || (!inUserBuffer && inBufferSize > 0))
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(d->m);
    auto stream = std::make_shared<Stream>();
    stream->buffer = static_cast<uint8_t*>(inUserBuffer);
    stream->capacity = inBufferSize;
    *outStream = d->registerObject(stream);
    return EDS_ERR_OK;
}

EdsError SimCameraSdk::EdsSetProgressCallback(EdsBaseRef inRef, EdsProgressCallback inProgressCallback,
                                              EdsUInt32 inProgressOption, void* inContext)
{
    if (auto f = d->fault(SimOp::SetProgressCallback))
        return *f;
    if (inProgressOption > kEdsProgressOption_Periodically)
        return EDS_ERR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(d->m);
    if (auto stream = d->find<Stream>(inRef, Kind::Stream)) {
        stream->progress = inProgressCallback;
        stream->progressContext = inContext;
        stream->progressOption = inProgressCallback ? inProgressOption : kEdsProgressOption_NoReport;
        return EDS_ERR_OK;
    }
    if (auto item = d->find<Item>(inRef, Kind::Item)) {
        item->progress = inProgressCallback;
        item->progressContext = inContext;
        item->progressOption = inProgressCallback ? inProgressOption : kEdsProgressOption_NoReport;
        return EDS_ERR_OK;
    }
    return EDS_ERR_INVALID_HANDLE;
}

EdsError SimCameraSdk::EdsDownload(EdsDirectoryItemRef inDirItemRef, EdsUInt64 inReadSize, EdsStreamRef outStream)
{
    if (auto f = d->fault(SimOp::Download))
        return *f;
    std::unique_lock<std::mutex> lock(d->m);
    auto item = d->find<Item>(inDirItemRef, Kind::Item);
    auto stream = d->find<Stream>(outStream, Kind::Stream);
    if (!item || !stream)
        return EDS_ERR_INVALID_HANDLE;
    std::shared_ptr<Cam> cam = item->cam;
    if (!cam->connected)
        return EDS_ERR_COMM_DISCONNECTED;
    if (item->completed)
        return EDS_ERR_OPERATION_REFUSED;
    const EdsUInt64 remaining = item->data->size() - item->offset;
    if (inReadSize > remaining)
        return EDS_ERR_INVALID_LENGTH;
    if (inReadSize > stream->capacity - stream->position)
        return EDS_ERR_STREAM_WRITE_ERROR;  // the caller's buffer is smaller than the transfer
    EdsProgressCallback progress = stream->progress ? stream->progress : item->progress;
    void* context = stream->progress ? stream->progressContext : item->progressContext;
    EdsUInt32 option = stream->progress ? stream->progressOption : item->progressOption;
    const int unplugAt = d->unplugAtPercent;
    const int stallAt = d->stallAtPercent;
    d->unplugAtPercent = -1;
    d->stallAtPercent = -1;
    const EdsUInt64 rate = d->transferRate;
    std::shared_ptr<const std::vector<uint8_t>> data = item->data;
    const EdsUInt64 offset = item->offset;
    uint8_t* target = stream->buffer + stream->position;
    lock.unlock();

    EdsUInt64 done = 0;
    for (int step = 1; step <= 10; ++step) {
        const EdsUInt64 upTo = inReadSize * static_cast<EdsUInt64>(step) / 10;
        const int percent = step * 10;
        if (unplugAt >= 0 && percent > unplugAt) {
            lock.lock();
            SNP_Log::debugf("simulated camera: unplugged during a download at %d %%", unplugAt);
            d->unplug(cam);
            return EDS_ERR_COMM_DISCONNECTED;
        }
        if (stallAt >= 0 && percent > stallAt) {
            lock.lock();
            const uint64_t generation = d->stallRelease;
            d->stalled += 1;
            d->idleCv.notify_all();
            d->idleCv.wait(lock, [&] { return !cam->connected || d->stallRelease != generation; });
            d->stalled -= 1;
            return cam->connected ? EDS_ERR_INCOMPLETE_TRANSFER : EDS_ERR_COMM_DISCONNECTED;
        }
        if (upTo > done) {
            std::memcpy(target + done, data->data() + offset + done, upTo - done);
            if (rate > 0) {
                auto wait = std::chrono::microseconds((upTo - done) * 1000000 / rate);
                lock.lock();
                d->idleCv.wait_for(lock, wait, [&] { return !cam->connected; });
                lock.unlock();
            }
            done = upTo;
        }
        lock.lock();
        const bool connected = cam->connected;
        lock.unlock();
        if (!connected)
            return EDS_ERR_COMM_DISCONNECTED;
        if (progress && (option == kEdsProgressOption_Periodically || (option == kEdsProgressOption_Done && step == 10))) {
            EdsBool cancel = 0;
            progress(static_cast<EdsUInt32>(percent), context, &cancel);
            if (cancel)
                return EDS_ERR_OPERATION_CANCELLED;
        }
    }
    lock.lock();
    item->offset += inReadSize;
    stream->position += inReadSize;
    stream->length = std::max(stream->length, stream->position);
    return EDS_ERR_OK;
}

EdsError SimCameraSdk::EdsDownloadComplete(EdsDirectoryItemRef inDirItemRef)
{
    if (auto f = d->fault(SimOp::DownloadComplete))
        return *f;
    std::lock_guard<std::mutex> guard(d->m);
    auto item = d->find<Item>(inDirItemRef, Kind::Item);
    if (!item)
        return EDS_ERR_INVALID_HANDLE;
    if (!item->cam->connected)
        return EDS_ERR_COMM_DISCONNECTED;
    item->completed = true;
    return EDS_ERR_OK;
}

// ---- live view ----

EdsError SimCameraSdk::EdsCreateEvfImageRef(EdsStreamRef inStreamRef, EdsEvfImageRef* outEvfImageRef)
{
    if (auto f = d->fault(SimOp::CreateEvfImageRef))
        return *f;
    if (!outEvfImageRef)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(d->m);
    auto stream = d->find<Stream>(inStreamRef, Kind::Stream);
    if (!stream)
        return EDS_ERR_INVALID_HANDLE;
    auto evf = std::make_shared<Evf>();
    evf->stream = stream;
    stream->count += 1;
    *outEvfImageRef = d->registerObject(evf);
    return EDS_ERR_OK;
}

EdsError SimCameraSdk::EdsDownloadEvfImage(EdsCameraRef inCameraRef, EdsEvfImageRef inEvfImageRef)
{
    if (auto f = d->fault(SimOp::DownloadEvfImage))
        return *f;
    std::unique_lock<std::mutex> lock(d->m);
    std::shared_ptr<Cam> cam;
    if (EdsError e = d->camera(inCameraRef, true, cam))
        return e;
    auto evf = d->find<Evf>(inEvfImageRef, Kind::Evf);
    if (!evf)
        return EDS_ERR_INVALID_HANDLE;
    if (!(cam->body.number(kPropEvfOutputDevice) & kEvfHostBit))
        return EDS_ERR_DEVICE_INVALID;  // the viewfinder is not sent to the host
    uint64_t frame;
    double seconds;
    // -- viewfinder (SimLiveView): animation time is the frame's own time, so that the
    // frame rendered ahead is the one served --
    if (cam->evfPaused)
        return EDS_ERR_OBJECT_NOTREADY;
    const double period = 1.0 / (d->liveFps > 0 ? d->liveFps : 30.0);  // per frame when as fast as possible
    const bool replay = d->liveFps <= 0;
    if (d->liveFps > 0) {
        const double now = std::chrono::duration<double>(Clock::now() - cam->evfStart).count();
        frame = static_cast<uint64_t>(now * d->liveFps);
        if (frame <= cam->lastFrame)
            return EDS_ERR_OBJECT_NOTREADY;
        cam->lastFrame = frame;
    } else {
        frame = ++cam->fastFrame;
    }
    seconds = static_cast<double>(frame) * period;
    // -- end viewfinder --
    const EdsTime clock = cam->body.clock();
    SimDataFault damage{};
    const bool damaged = takeDataFault(d->frameFaults, damage);
    std::shared_ptr<Stream> stream = evf->stream;
    const int width = std::max(1024, d->liveWidth), height = std::max(680, d->liveHeight);
    lock.unlock();

    std::lock_guard<std::mutex> render(cam->evfLock);
    // -- viewfinder (SimLiveView) --
    if (!cam->viewfinder || cam->viewfinder->width() != (width & ~1) || cam->viewfinder->height() != (height & ~1))
        cam->viewfinder = std::make_unique<SimViewfinder>(width, height);
    const uint8_t* jpeg = nullptr;
    size_t jpegSize = 0;
    const bool rendered = replay ? cam->viewfinder->replayFrame(frame, period, clock, &jpeg, &jpegSize)
                                 : cam->viewfinder->frame(frame, seconds, clock, seconds + period, &jpeg, &jpegSize);
    if (!rendered)
        return EDS_ERR_INTERNAL_ERROR;
    EdsUInt64 size = jpegSize;
    if (size > stream->capacity)
        return EDS_ERR_STREAM_WRITE_ERROR;
    if (damaged && damage == SimDataFault::Truncated)
        size /= 3;  // the frame breaks off
    std::memcpy(stream->buffer, jpeg, size);
    // -- end viewfinder --
    if (damaged) {
        if (damage == SimDataFault::Garbage) {
            std::mt19937 noise(static_cast<unsigned>(frame));
            for (EdsUInt64 i = 0; i < size; ++i)
                stream->buffer[i] = static_cast<uint8_t>(noise());
            stream->buffer[0] = 0x00;
        }
    }
    lock.lock();
    stream->position = size;
    stream->length = size;
    cam->framesServed += 1;
    cam->lastFrameBytes.assign(stream->buffer, stream->buffer + size);  // viewfinder (SimLiveView)
    if (d->liveFps > 0) {
        // the next frame is due in the period after this one was handed over
        const double now = std::chrono::duration<double>(Clock::now() - cam->evfStart).count();
        cam->lastFrame = std::max(cam->lastFrame, static_cast<uint64_t>(now * d->liveFps));
    }
    return EDS_ERR_OK;
}

// =======================================================================================
// control side

int SimCameraSdk::connectCamera(const std::string& model)
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = std::make_shared<Cam>(d->nextCameraId++, model);
    d->registerObject(cam);
    d->cams.push_back(cam);
    d->post(Event{EventType::Added, nullptr, 0, 0, 0, nullptr});
    SNP_Log::debugf("simulated camera: %s plugged in (camera %d)", model.c_str(), cam->id);
    return cam->id;
}

bool SimCameraSdk::disconnectCamera(int id)
{
    std::lock_guard<std::mutex> guard(d->m);
    for (const auto& cam : d->cams)
        if (cam->id == id) {
            SNP_Log::debugf("simulated camera: camera %d unplugged", id);
            d->unplug(std::shared_ptr<Cam>(cam));
            return true;
        }
    return false;
}

std::vector<int> SimCameraSdk::connectedCameras() const
{
    std::lock_guard<std::mutex> guard(d->m);
    std::vector<int> ids;
    for (const auto& cam : d->cams)
        ids.push_back(cam->id);
    return ids;
}

int SimCameraSdk::cameraId(EdsCameraRef ref) const
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->find<Cam>(ref, Kind::Camera);
    return cam ? cam->id : -1;
}

EdsCameraRef SimCameraSdk::cameraRef(int id) const
{
    std::lock_guard<std::mutex> guard(d->m);
    for (const auto& cam : d->cams)
        if (cam->id == id)
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
        d->postProperty(cam, ev);
    return true;
}

bool SimCameraSdk::setCameraStringProperty(int id, EdsPropertyID property, const std::string& text, bool announce)
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->camById(id);
    if (!cam || !cam->body.forceText(property, text))
        return false;
    if (announce)
        d->postProperty(cam, {{kEdsPropertyEvent_PropertyChanged, property}});
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
    d->post(Event{EventType::State, cam, event, data, 0, nullptr});
    return true;
}

bool SimCameraSdk::raiseObjectEvent(int id, EdsObjectEvent event)
{
    std::lock_guard<std::mutex> guard(d->m);
    auto cam = d->camById(id);
    if (!cam)
        return false;
    d->post(Event{EventType::Object, cam, event, 0, 0, nullptr});
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
    int remaining = mode == FaultMode::Always ? -1 : mode == FaultMode::Once ? 1 : std::max(1, times);
    d->faults.push_back(Fault{op, status, remaining, std::max(0, delayMs), selector});
}

void SimCameraSdk::injectDelay(SimOp op, int delayMs, FaultMode mode, int times)
{
    injectFault(op, EDS_ERR_OK, mode, times, delayMs);
}

void SimCameraSdk::injectLiveViewFrameFault(SimDataFault kind, FaultMode mode, int times)
{
    std::lock_guard<std::mutex> guard(d->m);
    d->frameFaults.push_back({kind, mode == FaultMode::Always ? -1 : mode == FaultMode::Once ? 1 : std::max(1, times)});
}

void SimCameraSdk::injectPictureFault(SimDataFault kind, FaultMode mode, int times)
{
    std::lock_guard<std::mutex> guard(d->m);
    d->pictureFaults.push_back({kind, mode == FaultMode::Always ? -1 : mode == FaultMode::Once ? 1 : std::max(1, times)});
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
    d->idleCv.notify_all();
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
    if (std::this_thread::get_id() == d->threadId)
        return false;  // the callback thread cannot wait for itself
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const bool main = onMainThread();
    std::unique_lock<std::mutex> lock(d->m);
    auto idle = [&] { return d->events.empty() && !d->delivering; };
    while (!idle()) {
        if (Clock::now() >= deadline)
            return false;
        if (!main) {
            d->idleCv.wait_until(lock, deadline);
            continue;
        }
        d->idleCv.wait_for(lock, std::chrono::milliseconds(2));
        if (idle())
            break;
        lock.unlock();
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        lock.lock();
    }
    return true;
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

int SimCameraSdk::liveObjectCount() const
{
    std::lock_guard<std::mutex> guard(d->m);
    return static_cast<int>(d->objects.size());
}

EdsUInt32 SimCameraSdk::refCount(EdsBaseRef ref) const
{
    std::lock_guard<std::mutex> guard(d->m);
    auto it = d->objects.find(ref);
    return it == d->objects.end() ? 0 : it->second->count;
}

std::thread::id SimCameraSdk::callbackThreadId() const
{
    return d->threadId;
}
