#include "GPhoto2CameraSdk.h"

#include "GPhoto2Hotplug.h"
#include "GPhoto2Translate.h"
#include "SNP_CanonCameraNames.h"
#include "SNP_Log.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <unordered_map>

using namespace GPhoto2;

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

enum : EdsPropertyID { kPropSaveTo = 0xB, kPropEvfOutputDevice = 0x500, kPropEvfMode = 0x501 };

struct Cam : Obj {
    explicit Cam(const GPDetected& d) : Obj(Kind::Camera), detected(d) { count = 0; }
    GPDetected detected;
    // under the SDK lock
    bool connected = true;
    bool sessionOpen = false;
    bool sessionAtUnplug = false;
    Slot<EdsStateEventHandler> state;
    Slot<EdsPropertyEventHandler> property;
    Slot<EdsObjectEventHandler> object;
    EdsCapacity capacity{};
    EdsUInt32 saveTo = kEdsSaveTo_Camera;  // last known save destination
    EdsUInt32 evfOutput = 0;               // last known viewfinder outputs
    EdsUInt32 evfMode = 0;
    // worker only
    std::unique_ptr<GPhoto2Device> device;
    WidgetSnapshot snapshot;
    Clock::time_point lastRefresh{};
    bool refreshWanted = false;
    Clock::time_point refreshDue{};
    int shutter = 0;
    int ioErrors = 0;
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
    std::string folder, name;
    EdsUInt64 size = 0;
    std::shared_ptr<std::vector<uint8_t>> data;  // the file once fetched
    EdsUInt64 offset = 0;
    bool completed = false;
    bool inCameraRam = false;  // taken to the camera's memory only: removed once downloaded
    EdsUInt32 dateTime = 0;
    EdsProgressCallback progress = nullptr;
    void* progressContext = nullptr;
    EdsUInt32 progressOption = kEdsProgressOption_NoReport;
};

struct Evf : Obj {
    Evf() : Obj(Kind::Evf) {}
    std::shared_ptr<Stream> stream;
};

enum class EventType { Added, State, Property, Object };

struct Event {
    EventType type;
    std::shared_ptr<Cam> cam;
    EdsUInt32 event = 0, a = 0, b = 0;
    std::shared_ptr<Item> item;  // object events about a new file
};

bool onMainThread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

const char* propName(EdsPropertyID id)
{
    return cStrForPropertyID(id);
}

}  // namespace

struct GPhoto2CameraSdk::Impl {
    explicit Impl(std::unique_ptr<GPhoto2Port> p, const Options& o) : port(std::move(p)), options(o) {}

    std::unique_ptr<GPhoto2Port> port;  // worker only
    Options options;

    // ---- shared state (m) ----
    mutable std::mutex m;
    std::condition_variable idleCv;
    std::unordered_map<EdsBaseRef, std::shared_ptr<Obj>> objects;
    uintptr_t nextHandle = 0;
    std::vector<std::shared_ptr<Cam>> cams;  // connected, in detection order
    Slot<EdsCameraAddedHandler> added;

    // ---- callback thread (m) ----
    std::condition_variable eventsCv;
    std::deque<Event> events;
    bool delivering = false;
    bool stopCallbacks = false;
    std::thread callbackThread;
    std::thread::id callbackId;
    const Cam* inFlightCam = nullptr;
    std::optional<EventType> inFlightType;

    // ---- worker thread (wm) ----
    std::mutex wm;
    std::condition_variable workCv;
    std::deque<std::function<void()>> jobs;
    std::vector<std::pair<Clock::time_point, std::function<void()>>> timed;
    bool working = false;
    bool stopWorker = false;
    std::thread worker;
    std::thread::id workerId;

    std::unique_ptr<GPhoto2Hotplug> hotplug;

    // ================= handles (m held) =================
    EdsBaseRef registerObject(const std::shared_ptr<Obj>& obj)
    {
        nextHandle += 1;
        obj->ref = reinterpret_cast<EdsBaseRef>(static_cast<uintptr_t>(0x6B000000) + nextHandle * 0x40);
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
            return;  // a connected camera's handle stays
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

    // ================= callback thread =================
    void post(Event e)
    {
        events.push_back(std::move(e));
        eventsCv.notify_all();
    }

    void postLocked(Event e)
    {
        std::lock_guard<std::mutex> guard(m);
        post(std::move(e));
    }

    void waitNotInFlight(std::unique_lock<std::mutex>& lock, const Cam* cam, std::optional<EventType> type)
    {
        if (std::this_thread::get_id() == callbackId)
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

    void runCallbacks()
    {
        std::unique_lock<std::mutex> lock(m);
        while (true) {
            eventsCv.wait(lock, [&] { return stopCallbacks || !events.empty(); });
            if (stopCallbacks)
                break;
            Event e = std::move(events.front());
            events.pop_front();
            delivering = true;
            deliver(lock, e);
            if (e.item)
                release(e.item);  // the SDK's own reference; a handler that keeps the item retains it
            delivering = false;
            idleCv.notify_all();
        }
    }

    void deliver(std::unique_lock<std::mutex>& lock, const Event& e)
    {
        auto accepts = [](EdsUInt32 filter, EdsUInt32 all, EdsUInt32 ev) { return filter == all || filter == ev; };
        std::function<void()> call;
        const std::shared_ptr<Cam>& cam = e.cam;
        const EdsUInt32 event = e.event, a = e.a, b = e.b;
        switch (e.type) {
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
                EdsBaseRef ref = e.item ? e.item->ref : nullptr;
                call = [fn, ctx, event, ref] { fn(event, ref, ctx); };
            }
            break;
        }
        if (!call)
            return;
        inFlightCam = e.type == EventType::Added ? nullptr : cam.get();
        inFlightType = e.type;
        lock.unlock();
        call();
        lock.lock();
        inFlightCam = nullptr;
        inFlightType.reset();
        idleCv.notify_all();
    }

    // ================= worker thread =================
    void runWorker()
    {
        std::unique_lock<std::mutex> lock(wm);
        while (!stopWorker) {
            if (!jobs.empty()) {
                auto job = std::move(jobs.front());
                jobs.pop_front();
                working = true;
                lock.unlock();
                job();
                lock.lock();
                working = false;
                continue;
            }
            const auto now = Clock::now();
            auto due = std::find_if(timed.begin(), timed.end(), [&](const auto& t) { return t.first <= now; });
            if (due != timed.end()) {
                auto job = std::move(due->second);
                timed.erase(due);
                working = true;
                lock.unlock();
                job();
                lock.lock();
                working = false;
                continue;
            }
            std::vector<std::shared_ptr<Cam>> open = openCameras();
            if (!open.empty()) {
                lock.unlock();
                for (const auto& cam : open)
                    pollCamera(cam);
                lock.lock();
                continue;
            }
            idleCv.notify_all();
            if (timed.empty()) {
                workCv.wait(lock);
            } else {
                auto next = std::min_element(timed.begin(), timed.end(),
                                             [](const auto& x, const auto& y) { return x.first < y.first; });
                workCv.wait_until(lock, next->first);
            }
        }
    }

    std::vector<std::shared_ptr<Cam>> openCameras()
    {
        std::lock_guard<std::mutex> guard(m);
        std::vector<std::shared_ptr<Cam>> open;
        for (const auto& cam : cams)
            if (cam->sessionOpen)
                open.push_back(cam);
        return open;
    }

    // Runs fn on the worker and answers its result (directly when already on the worker).
    template <typename R>
    R onWorker(std::function<R()> fn)
    {
        if (std::this_thread::get_id() == workerId)
            return fn();
        auto task = std::make_shared<std::packaged_task<R()>>(std::move(fn));
        std::future<R> result = task->get_future();
        {
            std::lock_guard<std::mutex> guard(wm);
            jobs.push_back([task] { (*task)(); });
        }
        workCv.notify_all();
        return result.get();
    }

    void later(int delayMs, std::function<void()> fn)
    {
        {
            std::lock_guard<std::mutex> guard(wm);
            timed.emplace_back(Clock::now() + std::chrono::milliseconds(delayMs), std::move(fn));
        }
        workCv.notify_all();
    }

    // ---- camera list (worker) ----
    void rescan(bool announce)
    {
        std::vector<GPDetected> found;
        int r = port->autodetect(found);
        if (r < 0) {
            SNP_Log::debugf("gphoto2: camera detection failed with %d (%s)", r, gpResultName(r));
            return;
        }
        std::vector<std::shared_ptr<Cam>> goneCams;
        int newCams = 0;
        {
            std::lock_guard<std::mutex> guard(m);
            for (const auto& cam : cams) {
                bool present = std::any_of(found.begin(), found.end(), [&](const GPDetected& f) {
                    return f.port == cam->detected.port && f.model == cam->detected.model;
                });
                if (!present)
                    goneCams.push_back(cam);
            }
            for (const GPDetected& f : found) {
                bool known = std::any_of(cams.begin(), cams.end(), [&](const std::shared_ptr<Cam>& c) {
                    return c->detected.port == f.port && c->detected.model == f.model;
                });
                if (known)
                    continue;
                auto cam = std::make_shared<Cam>(f);
                registerObject(cam);
                cams.push_back(cam);
                newCams += 1;
                SNP_Log::debugf("gphoto2: found %s on %s", f.model.c_str(), f.port.c_str());
            }
            if (announce && newCams > 0)
                post(Event{EventType::Added, nullptr, 0, 0, 0, nullptr});
        }
        for (const auto& cam : goneCams)
            unplug(cam, "it is no longer detected");
    }

    // The camera left: its session ends, 0x301 goes to its state handler (worker).
    void unplug(const std::shared_ptr<Cam>& cam, const char* why)
    {
        {
            std::lock_guard<std::mutex> guard(m);
            if (!cam->connected)
                return;
            SNP_Log::debugf("gphoto2: %s on %s has gone (%s)", cam->detected.model.c_str(), cam->detected.port.c_str(),
                            why);
            cam->connected = false;
            cam->sessionAtUnplug = cam->sessionOpen;
            cam->sessionOpen = false;
            cams.erase(std::remove(cams.begin(), cams.end(), cam), cams.end());
            post(Event{EventType::State, cam, kEdsStateEvent_Shutdown, 0, 0, nullptr});
            if (cam->count == 0)
                objects.erase(cam->ref);
            idleCv.notify_all();
        }
        cam->device.reset();
        cam->snapshot.clear();
    }

    // A libgphoto2 failure on an open camera: is the camera still there? (worker)
    void checkFailure(const std::shared_ptr<Cam>& cam, int r)
    {
        if (!isDisconnectResult(r)) {
            cam->ioErrors = 0;
            return;
        }
        cam->ioErrors += 1;
        std::vector<GPDetected> found;
        const bool listed = port->autodetect(found) >= 0;
        const bool present = listed && std::any_of(found.begin(), found.end(), [&](const GPDetected& f) {
                                 return f.port == cam->detected.port;
                             });
        if ((listed && !present) || cam->ioErrors >= 3)
            unplug(cam, gpResultName(r));
    }

    // ---- events (worker) ----
    void pollCamera(const std::shared_ptr<Cam>& cam)
    {
        if (!cam->device)
            return;
        GPEvent ev;
        int r = cam->device->waitForEvent(options.eventPollMs, ev);
        if (r < 0) {
            SNP_Log::debugf("gphoto2: waiting for events of %s failed with %d (%s)", cam->detected.model.c_str(), r,
                            gpResultName(r));
            checkFailure(cam, r);
            return;
        }
        cam->ioErrors = 0;
        EdsUInt32 saveTo;
        {
            std::lock_guard<std::mutex> guard(m);
            saveTo = cam->saveTo;
        }
        TranslatedEvent t = translateEvent(ev, saveTo);
        const auto now = Clock::now();
        if (t.kind == TranslatedEvent::Kind::Object) {
            std::shared_ptr<Item> item;
            if (ev.type == GPEventType::FileAdded)
                item = newItem(cam, ev, saveTo);
            if (ev.type == GPEventType::FileAdded && !item)
                return;
            SNP_Log::debugf("gphoto2: %s: %s/%s -> object event %x", cam->detected.model.c_str(), ev.folder.c_str(),
                            ev.name.c_str(), t.event);
            postLocked(Event{EventType::Object, cam, t.event, 0, 0, item});
        } else if (t.kind == TranslatedEvent::Kind::PropertyRefresh && !cam->refreshWanted) {
            cam->refreshWanted = true;
            cam->refreshDue = std::max(now + std::chrono::milliseconds(options.refreshAfterEventMs),
                                       cam->lastRefresh + std::chrono::milliseconds(options.refreshGapMs));
        }
        if ((cam->refreshWanted && now >= cam->refreshDue) ||
            now - cam->lastRefresh >= std::chrono::milliseconds(options.refreshIntervalMs))
            refresh(cam, true);
    }

    std::shared_ptr<Item> newItem(const std::shared_ptr<Cam>& cam, const GPEvent& ev, EdsUInt32 saveTo)
    {
        auto item = std::make_shared<Item>();
        item->cam = cam;
        item->folder = ev.folder;
        item->name = ev.name;
        item->inCameraRam = saveTo == kEdsSaveTo_Host;
        item->dateTime = static_cast<EdsUInt32>(std::time(nullptr));
        uint64_t size = 0;
        int r = cam->device->fileSize(ev.folder, ev.name, size);
        if (r < 0 || size == 0) {
            // The camera does not say how big the file is: take it now to know.
            auto data = std::make_shared<std::vector<uint8_t>>();
            r = cam->device->fileGet(ev.folder, ev.name, *data, nullptr);
            if (r < 0) {
                SNP_Log::debugf("gphoto2: could not read new file %s/%s: %d (%s)", ev.folder.c_str(), ev.name.c_str(),
                                r, gpResultName(r));
                checkFailure(cam, r);
                return nullptr;
            }
            item->data = data;
            size = data->size();
        }
        item->size = size;
        std::lock_guard<std::mutex> guard(m);
        registerObject(item);
        return item;
    }

    // Reads the watched widgets; with announce, posts what changed (worker).
    void refresh(const std::shared_ptr<Cam>& cam, bool announce)
    {
        cam->refreshWanted = false;
        cam->lastRefresh = Clock::now();
        if (!cam->device)
            return;
        WidgetSnapshot now;
        for (EdsPropertyID id : mappedProperties()) {
            const PropertyMapping* mapping = mappingFor(id);
            if (mapping->kind == PropKind::Date || mapping->kind == PropKind::Local)
                continue;
            GPWidget w;
            if (findWidget(cam, *mapping, w) >= 0)
                now[id] = w;
        }
        PropertyEvents changes = diffSnapshots(cam->snapshot, now);
        cam->snapshot = std::move(now);
        std::lock_guard<std::mutex> guard(m);
        if (auto it = cam->snapshot.find(kPropSaveTo); it != cam->snapshot.end()) {
            if (auto v = numberForWidget(kPropSaveTo, it->second))
                if (!(cam->saveTo == kEdsSaveTo_Both && *v == kEdsSaveTo_Camera))
                    cam->saveTo = *v;
        }
        if (!announce)
            return;
        for (const auto& [event, id] : changes)
            post(Event{EventType::Property, cam, event, id, 0, nullptr});
    }

    int findWidget(const std::shared_ptr<Cam>& cam, const PropertyMapping& mapping, GPWidget& out)
    {
        int last = kGPErrorNotSupported;
        for (const std::string& name : mapping.widgets) {
            last = cam->device->getWidget(name, out);
            if (last >= 0)
                return last;
            if (isDisconnectResult(last))
                return last;
        }
        return last;
    }

    // ---- properties (worker) ----
    EdsError readProperty(const std::shared_ptr<Cam>& cam, EdsPropertyID id, EdsDataType* type, EdsUInt32* size,
                          std::vector<uint8_t>* data)
    {
        const PropertyMapping* mapping = mappingFor(id);
        if (!mapping) {
            SNP_Log::debugf("gphoto2: property 0x%x (%s) is not served by libgphoto2", id, propName(id));
            return EDS_ERR_NOT_SUPPORTED;
        }
        auto number = [&](EdsUInt32 v) {
            if (type)
                *type = mapping->type;
            if (size)
                *size = 4;
            if (data) {
                data->resize(4);
                std::memcpy(data->data(), &v, 4);
            }
            return EDS_ERR_OK;
        };
        if (mapping->kind == PropKind::Local) {
            std::lock_guard<std::mutex> guard(m);
            return number(id == kPropEvfMode ? cam->evfMode : 0);
        }
        GPWidget w;
        int r = cam->device ? findWidget(cam, *mapping, w) : kGPErrorIOUsbFind;
        if (r < 0) {
            if (mapping->kind == PropKind::Output && !isDisconnectResult(r)) {
                std::lock_guard<std::mutex> guard(m);
                return number(cam->evfOutput);  // no output switch: the SDK keeps the state
            }
            SNP_Log::debugf("gphoto2: %s has no widget for property 0x%x (%s): %d (%s)", cam->detected.model.c_str(),
                            id, propName(id), r, gpResultName(r));
            checkFailure(cam, r);
            return isDisconnectResult(r) ? edsErrorFor(r) : EDS_ERR_NOT_SUPPORTED;
        }
        switch (mapping->kind) {
        case PropKind::Text: {
            if (type)
                *type = kEdsDataType_String;
            if (size)
                *size = static_cast<EdsUInt32>(w.text.size() + 1);
            if (data)
                data->assign(w.text.c_str(), w.text.c_str() + w.text.size() + 1);
            return EDS_ERR_OK;
        }
        case PropKind::Date: {
            if (type)
                *type = kEdsDataType_Time;
            if (size)
                *size = sizeof(EdsTime);
            if (data) {
                EdsTime t = edsTimeForEpoch(w.integer);
                data->resize(sizeof t);
                std::memcpy(data->data(), &t, sizeof t);
            }
            return EDS_ERR_OK;
        }
        default: {
            if (!data)
                return number(0);
            std::optional<EdsUInt32> v = numberForWidget(id, w);
            if (!v) {
                SNP_Log::debugf("gphoto2: value \"%s\" of widget %s has no code for property %s", w.text.c_str(),
                                w.name.c_str(), propName(id));
                return EDS_ERR_PROPERTIES_UNAVAILABLE;
            }
            std::lock_guard<std::mutex> guard(m);
            if (mapping->kind == PropKind::SaveTo) {
                if (cam->saveTo == kEdsSaveTo_Both && *v == kEdsSaveTo_Camera)
                    v = kEdsSaveTo_Both;
                cam->saveTo = *v;
            } else if (mapping->kind == PropKind::Output) {
                cam->evfOutput = *v;
            }
            return number(*v);
        }
        }
    }

    EdsError writeProperty(const std::shared_ptr<Cam>& cam, EdsPropertyID id, const std::vector<uint8_t>& data)
    {
        const PropertyMapping* mapping = mappingFor(id);
        if (!mapping) {
            SNP_Log::debugf("gphoto2: property 0x%x (%s) is not served by libgphoto2", id, propName(id));
            return EDS_ERR_NOT_SUPPORTED;
        }
        EdsUInt32 number = 0;
        const bool numeric = mapping->kind != PropKind::Text && mapping->kind != PropKind::Date;
        if (numeric) {
            if (data.size() != 4)
                return EDS_ERR_INVALID_LENGTH;
            std::memcpy(&number, data.data(), 4);
        }
        auto announce = [&] {
            std::lock_guard<std::mutex> guard(m);
            if (mapping->kind == PropKind::SaveTo)
                cam->saveTo = number;
            else if (mapping->kind == PropKind::Output)
                cam->evfOutput = number;
            else if (mapping->kind == PropKind::Local && id == kPropEvfMode)
                cam->evfMode = number;
            post(Event{EventType::Property, cam, kEdsPropertyEvent_PropertyChanged, id, 0, nullptr});
            return EDS_ERR_OK;
        };
        if (mapping->kind == PropKind::Local) {
            if (number > 1)
                return EDS_ERR_INVALID_DEVICEPROP_VALUE;
            return announce();
        }
        GPWidget current;
        int r = cam->device ? findWidget(cam, *mapping, current) : kGPErrorIOUsbFind;
        if (r < 0) {
            if (mapping->kind == PropKind::Output && !isDisconnectResult(r))
                return announce();  // no output switch: the preview needs none
            SNP_Log::debugf("gphoto2: %s has no widget for property 0x%x (%s): %d (%s)", cam->detected.model.c_str(),
                            id, propName(id), r, gpResultName(r));
            checkFailure(cam, r);
            return isDisconnectResult(r) ? edsErrorFor(r) : EDS_ERR_NOT_SUPPORTED;
        }
        GPWidget value = current;
        if (mapping->kind == PropKind::Text) {
            if (current.readOnly)
                return EDS_ERR_NOT_SUPPORTED;
            const char* text = reinterpret_cast<const char*>(data.data());
            const size_t length = strnlen(text, data.size());
            if (data.empty() || length == data.size())
                return EDS_ERR_DEVICE_INVALID_PARAMETER;  // no NUL inside
            value.text.assign(text, length);
        } else if (mapping->kind == PropKind::Date) {
            if (current.readOnly)
                return EDS_ERR_NOT_SUPPORTED;
            if (data.size() != sizeof(EdsTime))
                return EDS_ERR_INVALID_LENGTH;
            EdsTime t;
            std::memcpy(&t, data.data(), sizeof t);
            std::optional<long long> secs = epochForEdsTime(t);
            if (!secs)
                return EDS_ERR_DEVICE_INVALID_PARAMETER;
            value.integer = static_cast<int>(*secs);
        } else if (EdsError e = widgetForNumber(id, number, current, value)) {
            SNP_Log::debugf("gphoto2: %x for value 0x%x of property %s (widget %s)", e, number, propName(id),
                            current.name.c_str());
            return e;
        }
        r = cam->device->setWidget(value);
        if (r < 0) {
            SNP_Log::debugf("gphoto2: writing widget %s for property %s failed with %d (%s)", current.name.c_str(),
                            propName(id), r, gpResultName(r));
            checkFailure(cam, r);
            return edsErrorFor(r);
        }
        GPWidget after;
        if (mapping->kind != PropKind::Date && cam->device->getWidget(current.name, after) >= 0)
            cam->snapshot[id] = after;  // announced here, not again by the next comparison
        return announce();
    }

    EdsError describeProperty(const std::shared_ptr<Cam>& cam, EdsPropertyID id, EdsPropertyDesc* out)
    {
        const PropertyMapping* mapping = mappingFor(id);
        if (!mapping) {
            SNP_Log::debugf("gphoto2: property 0x%x (%s) is not served by libgphoto2", id, propName(id));
            return EDS_ERR_NOT_SUPPORTED;
        }
        std::memset(out, 0, sizeof *out);
        if (mapping->kind == PropKind::Local) {
            out->access = 1;
            out->form = 1;
            out->numElements = 2;
            out->propDesc[0] = 0;
            out->propDesc[1] = 1;
            return EDS_ERR_OK;
        }
        GPWidget w;
        int r = cam->device ? findWidget(cam, *mapping, w) : kGPErrorIOUsbFind;
        if (r < 0) {
            if (mapping->kind == PropKind::Output && !isDisconnectResult(r)) {
                out->access = 1;
                return EDS_ERR_OK;
            }
            checkFailure(cam, r);
            return isDisconnectResult(r) ? edsErrorFor(r) : EDS_ERR_NOT_SUPPORTED;
        }
        *out = descForWidget(id, w);
        return EDS_ERR_OK;
    }

    // ---- commands (worker) ----
    EdsError command(const std::shared_ptr<Cam>& cam, EdsCameraCommand command, EdsUInt32 param)
    {
        if (!cam->device)
            return EDS_ERR_DEVICE_NOT_FOUND;
        CommandPlan plan = planCommand(command, param, cam->shutter);
        int r = kGPOk;
        switch (plan.kind) {
        case CommandPlan::Kind::Done:
            break;
        case CommandPlan::Kind::Fail:
            return plan.error;
        case CommandPlan::Kind::Trigger:
            r = cam->device->triggerCapture();
            break;
        case CommandPlan::Kind::SetRadio:
        case CommandPlan::Kind::SetToggle: {
            GPWidget w;
            r = cam->device->getWidget(plan.widget, w);
            if (r < 0 && !isDisconnectResult(r)) {
                if (plan.triggerIfMissing) {
                    r = cam->device->triggerCapture();
                    break;
                }
                SNP_Log::debugf("gphoto2: %s has no widget %s for command %x", cam->detected.model.c_str(),
                                plan.widget.c_str(), command);
                return EDS_ERR_NOT_SUPPORTED;
            }
            if (r < 0)
                break;
            if (plan.kind == CommandPlan::Kind::SetRadio) {
                if (!w.choices.empty() &&
                    std::find(w.choices.begin(), w.choices.end(), plan.value) == w.choices.end()) {
                    SNP_Log::debugf("gphoto2: widget %s offers no \"%s\"", plan.widget.c_str(), plan.value.c_str());
                    return EDS_ERR_NOT_SUPPORTED;
                }
                w.text = plan.value;
            } else {
                w.integer = plan.toggle;
            }
            r = cam->device->setWidget(w);
            break;
        }
        }
        if (r < 0) {
            SNP_Log::debugf("gphoto2: command %x (parameter %x) failed with %d (%s)", command, param, r,
                            gpResultName(r));
            checkFailure(cam, r);
            return edsErrorFor(r);
        }
        cam->shutter = plan.shutterAfter;
        return EDS_ERR_OK;
    }
};

// =======================================================================================

GPhoto2CameraSdk::GPhoto2CameraSdk(std::unique_ptr<GPhoto2Port> port) : GPhoto2CameraSdk(std::move(port), Options{}) {}

GPhoto2CameraSdk::GPhoto2CameraSdk(std::unique_ptr<GPhoto2Port> port, const Options& options)
    : d(std::make_unique<Impl>(std::move(port), options))
{
    {
        std::lock_guard<std::mutex> guard(d->m);
        d->callbackThread = std::thread([this] { d->runCallbacks(); });
        d->callbackId = d->callbackThread.get_id();
    }
    std::lock_guard<std::mutex> guard(d->wm);
    d->worker = std::thread([this] { d->runWorker(); });
    d->workerId = d->worker.get_id();
}

GPhoto2CameraSdk::~GPhoto2CameraSdk()
{
    d->hotplug.reset();
    {
        std::lock_guard<std::mutex> guard(d->wm);
        d->stopWorker = true;
    }
    d->workCv.notify_all();
    if (d->worker.joinable())
        d->worker.join();
    {
        std::lock_guard<std::mutex> guard(d->m);
        for (const auto& cam : d->cams)
            cam->device.reset();  // the worker has ended: no other user
        d->stopCallbacks = true;
        d->eventsCv.notify_all();
        d->idleCv.notify_all();
    }
    if (std::this_thread::get_id() == d->callbackId) {
        // The last reference went in a handler: the callback thread ends by itself once
        // the handler returns, and it still uses the state.
        d->callbackThread.detach();
        Impl* kept = d.release();
        (void)kept;
        return;
    }
    if (d->callbackThread.joinable())
        d->callbackThread.join();
}

// ---- SDK lifecycle and list ----

EdsError GPhoto2CameraSdk::EdsInitializeSDK()
{
    if (!d->port) {
        SNP_Log::debugf("gphoto2: this build has no libgphoto2");
        return EDS_ERR_NOT_SUPPORTED;
    }
    if (d->options.watchUsb && !d->hotplug) {
        d->hotplug = GPhoto2Hotplug::start([this](bool arrived) { usbDeviceChanged(arrived); });
        if (!d->hotplug)
            SNP_Log::debugf("gphoto2: no USB hot-plug; cameras plugged in later are found at the next camera list");
    }
    return EDS_ERR_OK;
}

EdsError GPhoto2CameraSdk::EdsTerminateSDK()
{
    d->hotplug.reset();
    d->onWorker<int>([this] {
        std::vector<std::shared_ptr<Cam>> all;
        {
            std::lock_guard<std::mutex> guard(d->m);
            all = d->cams;
            for (const auto& cam : all)
                cam->sessionOpen = false;
        }
        for (const auto& cam : all) {
            cam->device.reset();
            cam->snapshot.clear();
        }
        return 0;
    });
    std::unique_lock<std::mutex> lock(d->m);
    d->added = {};
    for (const auto& [ref, obj] : d->objects) {
        if (obj->kind != Kind::Camera)
            continue;
        auto* cam = static_cast<Cam*>(obj.get());
        cam->state = {};
        cam->property = {};
        cam->object = {};
    }
    for (const Event& e : d->events)
        if (e.item)
            d->release(e.item);
    d->events.clear();
    d->waitNotInFlight(lock, nullptr, std::nullopt);
    return EDS_ERR_OK;
}

EdsError GPhoto2CameraSdk::EdsSetCameraAddedHandler(EdsCameraAddedHandler inHandler, void* inContext)
{
    std::unique_lock<std::mutex> lock(d->m);
    d->added = {inHandler, inHandler ? inContext : nullptr, 0};
    if (!inHandler)
        d->waitNotInFlight(lock, nullptr, EventType::Added);
    return EDS_ERR_OK;
}

EdsError GPhoto2CameraSdk::EdsGetCameraList(EdsCameraListRef* outCameraListRef)
{
    if (!outCameraListRef)
        return EDS_ERR_INVALID_POINTER;
    if (d->port)
        d->onWorker<int>([this] {
            d->rescan(false);
            return 0;
        });
    std::lock_guard<std::mutex> guard(d->m);
    auto list = std::make_shared<List>();
    for (const auto& cam : d->cams) {
        cam->count += 1;
        list->children.push_back(cam);
    }
    *outCameraListRef = d->registerObject(list);
    return EDS_ERR_OK;
}

EdsError GPhoto2CameraSdk::EdsGetChildCount(EdsBaseRef inRef, EdsUInt32* outCount)
{
    if (!outCount)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(d->m);
    if (auto list = d->find<List>(inRef, Kind::List)) {
        *outCount = static_cast<EdsUInt32>(list->children.size());
        return EDS_ERR_OK;
    }
    if (d->find<Cam>(inRef, Kind::Camera)) {
        *outCount = 0;
        return EDS_ERR_OK;
    }
    return EDS_ERR_INVALID_HANDLE;
}

EdsError GPhoto2CameraSdk::EdsGetChildAtIndex(EdsBaseRef inRef, EdsInt32 inIndex, EdsBaseRef* outRef)
{
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

EdsUInt32 GPhoto2CameraSdk::EdsRetain(EdsBaseRef inRef)
{
    std::lock_guard<std::mutex> guard(d->m);
    auto it = d->objects.find(inRef);
    if (it == d->objects.end())
        return 0;
    return ++it->second->count;
}

EdsUInt32 GPhoto2CameraSdk::EdsRelease(EdsBaseRef inRef)
{
    std::lock_guard<std::mutex> guard(d->m);
    auto it = d->objects.find(inRef);
    if (it == d->objects.end())
        return 0;
    std::shared_ptr<Obj> obj = it->second;
    return d->release(obj);
}

// ---- camera and session ----

EdsError GPhoto2CameraSdk::EdsGetDeviceInfo(EdsCameraRef inCameraRef, EdsDeviceInfo* outDeviceInfo)
{
    if (!outDeviceInfo)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(d->m);
    std::shared_ptr<Cam> cam;
    if (EdsError e = d->camera(inCameraRef, false, cam))
        return e;
    std::memset(outDeviceInfo, 0, sizeof *outDeviceInfo);
    std::snprintf(outDeviceInfo->szPortName, sizeof outDeviceInfo->szPortName, "%s", cam->detected.port.c_str());
    std::snprintf(outDeviceInfo->szDeviceDescription, sizeof outDeviceInfo->szDeviceDescription, "%s",
                  cam->detected.model.c_str());
    outDeviceInfo->deviceSubType = 1;
    return EDS_ERR_OK;
}

EdsError GPhoto2CameraSdk::EdsOpenSession(EdsCameraRef inCameraRef)
{
    std::shared_ptr<Cam> cam;
    {
        std::lock_guard<std::mutex> guard(d->m);
        if (EdsError e = d->camera(inCameraRef, false, cam))
            return e;
        if (cam->sessionOpen)
            return EDS_ERR_SESSION_ALREADY_OPEN;
    }
    return d->onWorker<EdsError>([this, cam]() -> EdsError {
        {
            std::lock_guard<std::mutex> guard(d->m);
            if (!cam->connected)
                return Impl::gone(*cam);
            if (cam->sessionOpen)
                return EDS_ERR_SESSION_ALREADY_OPEN;
        }
        std::unique_ptr<GPhoto2Device> device;
        int r = d->port->open(cam->detected, device);
        if (r < 0 || !device) {
            SNP_Log::debugf("gphoto2: opening %s on %s failed with %d (%s)", cam->detected.model.c_str(),
                            cam->detected.port.c_str(), r, gpResultName(r));
            return r < 0 ? edsErrorFor(r) : EDS_ERR_INTERNAL_ERROR;
        }
        cam->device = std::move(device);
        cam->shutter = 0;
        cam->ioErrors = 0;
        d->refresh(cam, false);
        std::lock_guard<std::mutex> guard(d->m);
        cam->sessionOpen = true;
        return EDS_ERR_OK;
    });
}

EdsError GPhoto2CameraSdk::EdsCloseSession(EdsCameraRef inCameraRef)
{
    std::shared_ptr<Cam> cam;
    {
        std::lock_guard<std::mutex> guard(d->m);
        if (EdsError e = d->camera(inCameraRef, false, cam))
            return e;
        if (!cam->sessionOpen)
            return EDS_ERR_SESSION_NOT_OPEN;
    }
    return d->onWorker<EdsError>([this, cam]() -> EdsError {
        {
            std::lock_guard<std::mutex> guard(d->m);
            if (!cam->sessionOpen)
                return cam->connected ? EDS_ERR_SESSION_NOT_OPEN : Impl::gone(*cam);
            cam->sessionOpen = false;
            if (cam->evfOutput & 2) {
                // The camera takes its viewfinder back from the host.
                cam->evfOutput &= ~2u;
                d->post(Event{EventType::Property, cam, kEdsPropertyEvent_PropertyChanged, kPropEvfOutputDevice, 0,
                              nullptr});
            }
        }
        cam->device.reset();
        cam->snapshot.clear();
        cam->shutter = 0;
        return EDS_ERR_OK;
    });
}

// ---- handlers ----

namespace {
template <typename Fn>
EdsError setHandler(GPhoto2CameraSdk::Impl& d, EdsCameraRef ref, EdsUInt32 event, EdsUInt32 all, Fn handler,
                    void* context, Slot<Fn> Cam::*slot, EventType type)
{
    if ((event & 0xFFFFFF00u) != all)
        return EDS_ERR_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock(d.m);
    auto cam = d.find<Cam>(ref, Kind::Camera);
    if (!cam)
        return EDS_ERR_INVALID_HANDLE;
    if (!handler) {
        (*cam).*slot = {};
        d.waitNotInFlight(lock, cam.get(), type);
        return EDS_ERR_OK;
    }
    if (!cam->connected)
        return GPhoto2CameraSdk::Impl::gone(*cam);
    (*cam).*slot = {handler, context, event};
    return EDS_ERR_OK;
}
}  // namespace

EdsError GPhoto2CameraSdk::EdsSetCameraStateEventHandler(EdsCameraRef inCameraRef, EdsStateEvent inEvent,
                                                         EdsStateEventHandler inHandler, void* inContext)
{
    return setHandler(*d, inCameraRef, inEvent, kEdsStateEvent_All, inHandler, inContext, &Cam::state,
                      EventType::State);
}

EdsError GPhoto2CameraSdk::EdsSetPropertyEventHandler(EdsCameraRef inCameraRef, EdsPropertyEvent inEvent,
                                                      EdsPropertyEventHandler inHandler, void* inContext)
{
    return setHandler(*d, inCameraRef, inEvent, kEdsPropertyEvent_All, inHandler, inContext, &Cam::property,
                      EventType::Property);
}

EdsError GPhoto2CameraSdk::EdsSetObjectEventHandler(EdsCameraRef inCameraRef, EdsObjectEvent inEvent,
                                                    EdsObjectEventHandler inHandler, void* inContext)
{
    return setHandler(*d, inCameraRef, inEvent, kEdsObjectEvent_All, inHandler, inContext, &Cam::object,
                      EventType::Object);
}

// ---- commands and properties ----

EdsError GPhoto2CameraSdk::EdsSendCommand(EdsCameraRef inCameraRef, EdsCameraCommand inCommand, EdsInt32 inParam)
{
    std::shared_ptr<Cam> cam;
    {
        std::lock_guard<std::mutex> guard(d->m);
        if (EdsError e = d->camera(inCameraRef, true, cam))
            return e;
    }
    return d->onWorker<EdsError>(
        [this, cam, inCommand, inParam] { return d->command(cam, inCommand, static_cast<EdsUInt32>(inParam)); });
}

EdsError GPhoto2CameraSdk::EdsGetPropertySize(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32,
                                              EdsDataType* outDataType, EdsUInt32* outSize)
{
    if (!outDataType || !outSize)
        return EDS_ERR_INVALID_POINTER;
    std::shared_ptr<Cam> cam;
    {
        std::lock_guard<std::mutex> guard(d->m);
        if (EdsError e = d->camera(inRef, true, cam))
            return e;
    }
    return d->onWorker<EdsError>(
        [this, cam, inPropertyID, outDataType, outSize] { return d->readProperty(cam, inPropertyID, outDataType, outSize, nullptr); });
}

EdsError GPhoto2CameraSdk::EdsGetPropertyData(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32,
                                              EdsUInt32 inPropertySize, void* outPropertyData)
{
    if (!outPropertyData)
        return EDS_ERR_INVALID_POINTER;
    std::shared_ptr<Cam> cam;
    {
        std::lock_guard<std::mutex> guard(d->m);
        if (EdsError e = d->camera(inRef, true, cam))
            return e;
    }
    std::vector<uint8_t> data;
    EdsError e = d->onWorker<EdsError>(
        [this, cam, inPropertyID, &data] { return d->readProperty(cam, inPropertyID, nullptr, nullptr, &data); });
    if (e != EDS_ERR_OK)
        return e;
    if (inPropertySize < data.size())
        return EDS_ERR_INVALID_LENGTH;
    std::memcpy(outPropertyData, data.data(), data.size());
    return EDS_ERR_OK;
}

EdsError GPhoto2CameraSdk::EdsSetPropertyData(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32,
                                              EdsUInt32 inPropertySize, const void* inPropertyData)
{
    if (!inPropertyData)
        return EDS_ERR_INVALID_POINTER;
    std::shared_ptr<Cam> cam;
    {
        std::lock_guard<std::mutex> guard(d->m);
        if (EdsError e = d->camera(inRef, true, cam))
            return e;
    }
    const auto* bytes = static_cast<const uint8_t*>(inPropertyData);
    std::vector<uint8_t> data(bytes, bytes + inPropertySize);
    return d->onWorker<EdsError>([this, cam, inPropertyID, &data] { return d->writeProperty(cam, inPropertyID, data); });
}

EdsError GPhoto2CameraSdk::EdsGetPropertyDesc(EdsBaseRef inRef, EdsPropertyID inPropertyID,
                                              EdsPropertyDesc* outPropertyDesc)
{
    if (!outPropertyDesc)
        return EDS_ERR_INVALID_POINTER;
    std::shared_ptr<Cam> cam;
    {
        std::lock_guard<std::mutex> guard(d->m);
        if (EdsError e = d->camera(inRef, true, cam))
            return e;
    }
    return d->onWorker<EdsError>(
        [this, cam, inPropertyID, outPropertyDesc] { return d->describeProperty(cam, inPropertyID, outPropertyDesc); });
}

EdsError GPhoto2CameraSdk::EdsSetCapacity(EdsCameraRef inCameraRef, EdsCapacity inCapacity)
{
    std::lock_guard<std::mutex> guard(d->m);
    std::shared_ptr<Cam> cam;
    if (EdsError e = d->camera(inCameraRef, true, cam))
        return e;
    if (inCapacity.bytesPerSector <= 0 || inCapacity.numberOfFreeClusters < 0)
        return EDS_ERR_INVALID_PARAMETER;
    cam->capacity = inCapacity;  // libgphoto2 needs no report of the host's room
    return EDS_ERR_OK;
}

// ---- download ----

EdsError GPhoto2CameraSdk::EdsGetDirectoryItemInfo(EdsDirectoryItemRef inDirItemRef,
                                                   EdsDirectoryItemInfo* outDirItemInfo)
{
    if (!outDirItemInfo)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(d->m);
    auto item = d->find<Item>(inDirItemRef, Kind::Item);
    if (!item)
        return EDS_ERR_INVALID_HANDLE;
    if (!item->cam->connected)
        return EDS_ERR_COMM_DISCONNECTED;
    std::memset(outDirItemInfo, 0, sizeof *outDirItemInfo);
    outDirItemInfo->size = item->size;
    outDirItemInfo->format = 1;
    outDirItemInfo->dateTime = item->dateTime;
    std::snprintf(outDirItemInfo->szFileName, sizeof outDirItemInfo->szFileName, "%s", item->name.c_str());
    return EDS_ERR_OK;
}

EdsError GPhoto2CameraSdk::EdsCreateMemoryStreamFromPointer(void* inUserBuffer, EdsUInt64 inBufferSize,
                                                            EdsStreamRef* outStream)
{
    if (!outStream || (!inUserBuffer && inBufferSize > 0))
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(d->m);
    auto stream = std::make_shared<Stream>();
    stream->buffer = static_cast<uint8_t*>(inUserBuffer);
    stream->capacity = inBufferSize;
    *outStream = d->registerObject(stream);
    return EDS_ERR_OK;
}

EdsError GPhoto2CameraSdk::EdsSetProgressCallback(EdsBaseRef inRef, EdsProgressCallback inProgressCallback,
                                                  EdsUInt32 inProgressOption, void* inContext)
{
    if (inProgressOption > kEdsProgressOption_Periodically)
        return EDS_ERR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(d->m);
    const EdsUInt32 option = inProgressCallback ? inProgressOption : kEdsProgressOption_NoReport;
    if (auto stream = d->find<Stream>(inRef, Kind::Stream)) {
        stream->progress = inProgressCallback;
        stream->progressContext = inContext;
        stream->progressOption = option;
        return EDS_ERR_OK;
    }
    if (auto item = d->find<Item>(inRef, Kind::Item)) {
        item->progress = inProgressCallback;
        item->progressContext = inContext;
        item->progressOption = option;
        return EDS_ERR_OK;
    }
    return EDS_ERR_INVALID_HANDLE;
}

EdsError GPhoto2CameraSdk::EdsDownload(EdsDirectoryItemRef inDirItemRef, EdsUInt64 inReadSize, EdsStreamRef outStream)
{
    std::shared_ptr<Item> item;
    std::shared_ptr<Stream> stream;
    EdsProgressCallback progress;
    void* context;
    EdsUInt32 option;
    {
        std::lock_guard<std::mutex> guard(d->m);
        item = d->find<Item>(inDirItemRef, Kind::Item);
        stream = d->find<Stream>(outStream, Kind::Stream);
        if (!item || !stream)
            return EDS_ERR_INVALID_HANDLE;
        if (!item->cam->connected)
            return EDS_ERR_COMM_DISCONNECTED;
        if (item->completed)
            return EDS_ERR_OPERATION_REFUSED;
        if (inReadSize > item->size - item->offset)
            return EDS_ERR_INVALID_LENGTH;
        if (inReadSize > stream->capacity - stream->position)
            return EDS_ERR_STREAM_WRITE_ERROR;
        progress = stream->progress ? stream->progress : item->progress;
        context = stream->progress ? stream->progressContext : item->progressContext;
        option = stream->progress ? stream->progressOption : item->progressOption;
    }

    // The worker fetches; this thread reports progress as it comes and passes cancels back.
    struct Transfer {
        std::mutex m;
        std::condition_variable cv;
        int percent = 0;
        bool done = false;
        bool cancel = false;
        EdsError result = EDS_ERR_OK;
    };
    auto transfer = std::make_shared<Transfer>();
    if (!item->data) {
        std::shared_ptr<Cam> cam = item->cam;
        {
            std::lock_guard<std::mutex> guard(d->wm);
            d->jobs.push_back([this, item, cam, transfer] {
                auto data = std::make_shared<std::vector<uint8_t>>();
                int r = cam->device ? cam->device->fileGet(item->folder, item->name, *data,
                                                           [transfer](uint64_t done, uint64_t total) {
                                                               std::lock_guard<std::mutex> g(transfer->m);
                                                               if (total > 0)
                                                                   transfer->percent = static_cast<int>(
                                                                       std::min<uint64_t>(99, done * 100 / total));
                                                               transfer->cv.notify_all();
                                                               return transfer->cancel;
                                                           })
                                    : kGPErrorIOUsbFind;
                EdsError result = EDS_ERR_OK;
                if (r < 0) {
                    SNP_Log::debugf("gphoto2: reading %s/%s failed with %d (%s)", item->folder.c_str(),
                                    item->name.c_str(), r, gpResultName(r));
                    d->checkFailure(cam, r);
                    result = edsErrorFor(r);
                } else {
                    std::lock_guard<std::mutex> guard(d->m);
                    item->data = data;
                }
                std::lock_guard<std::mutex> g(transfer->m);
                transfer->result = result;
                transfer->done = true;
                transfer->cv.notify_all();
            });
        }
        d->workCv.notify_all();
        int reported = 0;
        std::unique_lock<std::mutex> lock(transfer->m);
        while (true) {
            transfer->cv.wait(lock, [&] { return transfer->done || transfer->percent > reported; });
            if (transfer->percent > reported && !transfer->done) {
                reported = transfer->percent;
                lock.unlock();
                EdsBool cancel = 0;
                if (progress && option == kEdsProgressOption_Periodically)
                    progress(static_cast<EdsUInt32>(reported), context, &cancel);
                lock.lock();
                if (cancel)
                    transfer->cancel = true;
                continue;
            }
            if (transfer->done)
                break;
        }
        if (transfer->result != EDS_ERR_OK)
            return transfer->result;
        if (transfer->cancel)
            return EDS_ERR_OPERATION_CANCELLED;
    }

    std::unique_lock<std::mutex> lock(d->m);
    std::shared_ptr<std::vector<uint8_t>> data = item->data;
    if (!item->cam->connected)
        return EDS_ERR_COMM_DISCONNECTED;
    if (!data || data->size() < item->offset + inReadSize) {
        SNP_Log::debugf("gphoto2: %s has %zu bytes, %llu were announced", item->name.c_str(), data ? data->size() : 0,
                        static_cast<unsigned long long>(item->size));
        return EDS_ERR_INCOMPLETE_TRANSFER;
    }
    std::memcpy(stream->buffer + stream->position, data->data() + item->offset, inReadSize);
    item->offset += inReadSize;
    stream->position += inReadSize;
    stream->length = std::max(stream->length, stream->position);
    lock.unlock();
    if (progress && option != kEdsProgressOption_NoReport) {
        EdsBool cancel = 0;
        progress(100, context, &cancel);
    }
    return EDS_ERR_OK;
}

EdsError GPhoto2CameraSdk::EdsDownloadComplete(EdsDirectoryItemRef inDirItemRef)
{
    std::shared_ptr<Item> item;
    {
        std::lock_guard<std::mutex> guard(d->m);
        item = d->find<Item>(inDirItemRef, Kind::Item);
        if (!item)
            return EDS_ERR_INVALID_HANDLE;
        if (!item->cam->connected)
            return EDS_ERR_COMM_DISCONNECTED;
        if (item->completed)
            return EDS_ERR_OK;
        item->completed = true;
    }
    if (item->inCameraRam) {
        d->onWorker<int>([item] {
            if (!item->cam->device)
                return 0;
            int r = item->cam->device->fileDelete(item->folder, item->name);
            if (r < 0)
                SNP_Log::debugf("gphoto2: could not remove %s/%s from the camera's memory: %d (%s)",
                                item->folder.c_str(), item->name.c_str(), r, gpResultName(r));
            return 0;
        });
    }
    return EDS_ERR_OK;
}

// ---- live view ----

EdsError GPhoto2CameraSdk::EdsCreateEvfImageRef(EdsStreamRef inStreamRef, EdsEvfImageRef* outEvfImageRef)
{
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

EdsError GPhoto2CameraSdk::EdsDownloadEvfImage(EdsCameraRef inCameraRef, EdsEvfImageRef inEvfImageRef)
{
    std::shared_ptr<Cam> cam;
    std::shared_ptr<Stream> stream;
    {
        std::lock_guard<std::mutex> guard(d->m);
        if (EdsError e = d->camera(inCameraRef, true, cam))
            return e;
        auto evf = d->find<Evf>(inEvfImageRef, Kind::Evf);
        if (!evf)
            return EDS_ERR_INVALID_HANDLE;
        if (!(cam->evfOutput & 2))
            return EDS_ERR_DEVICE_INVALID;  // the viewfinder is not sent to the host
        stream = evf->stream;
    }
    std::vector<uint8_t> frame;
    EdsError e = d->onWorker<EdsError>([this, cam, &frame]() -> EdsError {
        if (!cam->device)
            return EDS_ERR_DEVICE_NOT_FOUND;
        int r = cam->device->capturePreview(frame);
        if (r < 0) {
            SNP_Log::debugf("gphoto2: preview of %s failed with %d (%s)", cam->detected.model.c_str(), r,
                            gpResultName(r));
            d->checkFailure(cam, r);
            return edsErrorFor(r);
        }
        return frame.empty() ? EDS_ERR_OBJECT_NOTREADY : EDS_ERR_OK;
    });
    if (e != EDS_ERR_OK)
        return e;
    std::lock_guard<std::mutex> guard(d->m);
    if (frame.size() > stream->capacity)
        return EDS_ERR_STREAM_WRITE_ERROR;
    std::memcpy(stream->buffer, frame.data(), frame.size());
    stream->position = frame.size();
    stream->length = frame.size();
    return EDS_ERR_OK;
}

// ---- hot-plug and tests ----

void GPhoto2CameraSdk::usbDeviceChanged(bool arrived)
{
    if (!d->port)
        return;
    if (arrived) {
        for (int delay : d->options.rescanDelaysMs)
            d->later(delay, [this] { d->rescan(true); });
    } else {
        d->later(0, [this] { d->rescan(true); });
    }
}

bool GPhoto2CameraSdk::waitForIdle(int timeoutMs)
{
    if (std::this_thread::get_id() == d->callbackId || std::this_thread::get_id() == d->workerId)
        return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // The worker: every queued and timed job done.
    while (true) {
        {
            std::lock_guard<std::mutex> guard(d->wm);
            if (d->jobs.empty() && d->timed.empty() && !d->working)
                break;
        }
        if (Clock::now() >= deadline)
            return false;
        if (onMainThread())
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        std::unique_lock<std::mutex> lock(d->m);
        d->idleCv.wait_for(lock, std::chrono::milliseconds(2));
    }
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

std::thread::id GPhoto2CameraSdk::workerThreadId() const
{
    return d->workerId;
}

std::thread::id GPhoto2CameraSdk::callbackThreadId() const
{
    return d->callbackId;
}

int GPhoto2CameraSdk::liveObjectCount() const
{
    std::lock_guard<std::mutex> guard(d->m);
    return static_cast<int>(d->objects.size());
}
