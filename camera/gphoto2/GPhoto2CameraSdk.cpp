#include "GPhoto2CameraSdk.h"

#include "GPhoto2Hotplug.h"
#include "GPhoto2Translate.h"
#include "GPhoto2Worker.h"
#include "SNP_CanonCameraNames.h"
#include "SNP_Log.h"

#include <QCoreApplication>

#include <algorithm>
#include <limits>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>

using namespace GPhoto2;
using namespace EdsCore;

namespace {

using Clock = std::chrono::steady_clock;

enum : EdsPropertyID { kPropSaveTo = 0xB, kPropEvfOutputDevice = 0x500, kPropEvfMode = 0x501 };

struct Cam : Camera {
    explicit Cam(const GPDetected& d) : Camera(d.port, d.model), detected(d) {}
    GPDetected detected;
    // under the SDK lock
    EdsUInt32 saveTo = kEdsSaveTo_Camera;  // last known save destination
    EdsUInt32 hostWants = 0;               // the save destination the host last wrote (0: none)
    EdsUInt32 evfOutput = 0;               // last known viewfinder outputs
    EdsUInt32 evfMode = 0;
    // worker only
    std::unique_ptr<GPhoto2Device> device;
    WidgetSnapshot snapshot;
    Clock::time_point lastRefresh{};
    bool refreshWanted = false;
    Clock::time_point refreshDue{};
    int shutter = 0;
    int unanswered = 0;  // calls in a row the camera did not answer
};

std::shared_ptr<Cam> asCam(const std::shared_ptr<Camera>& camera)
{
    return std::static_pointer_cast<Cam>(camera);
}

// A file the camera announced, fetched from it at the first transfer.
struct CameraFile : Item {
    std::string folder;
    std::shared_ptr<std::vector<uint8_t>> data;  // the file once fetched
    bool inCameraRam = false;  // taken to the camera's memory only: removed once downloaded
};

const char* propName(EdsPropertyID id)
{
    return cStrForPropertyID(id);
}

// A file the worker fetches for a download on another thread: the worker reports progress
// and the end as they come, the downloading thread passes cancels back.
struct Fetch {
    std::mutex m;
    std::condition_variable cv;
    int percent = 0;
    bool done = false;
    bool cancel = false;
    EdsError result = EDS_ERR_OK;
};

// The downloading thread: reports the fetch's progress until the worker is done, and
// answers how it ended (a cancel asked for during it: EDS_ERR_OPERATION_CANCELLED).
EdsError waitForFetch(Fetch& fetch, const Transfer& transfer)
{
    int reported = 0;
    std::unique_lock<std::mutex> lock(fetch.m);
    while (true) {
        fetch.cv.wait(lock, [&] { return fetch.done || fetch.percent > reported; });
        if (fetch.percent > reported && !fetch.done) {
            reported = fetch.percent;
            lock.unlock();
            const bool cancel = transfer.progress.report(static_cast<EdsUInt32>(reported), false);
            lock.lock();
            if (cancel)
                fetch.cancel = true;
            continue;
        }
        if (fetch.done)
            break;
    }
    if (fetch.result != EDS_ERR_OK)
        return fetch.result;
    if (fetch.cancel)
        return EDS_ERR_OPERATION_CANCELLED;
    return EDS_ERR_OK;
}

}  // namespace

struct GPhoto2CameraSdk::Impl {
    Impl(Core& c, std::unique_ptr<GPhoto2Port> p, const Options& o) : core(c), m(c.lock), port(std::move(p)), options(o)
    {
    }

    Core& core;     // handles, cameras and the callback thread
    std::mutex& m;  // the core's lock, which guards the cameras' shared fields too
    std::unique_ptr<GPhoto2Port> port;  // worker only
    Options options;

    GPhoto2Worker worker;
    std::unique_ptr<GPhoto2Hotplug> hotplug;

    // Cameras closed because they stopped answering while on the bus (worker only): their
    // ports stay out of the camera list until they answer again.
    std::vector<GPDetected> awaited;
    bool lookAgainScheduled = false;

    // Between the worker's jobs: each open camera's events. Answers whether one was open.
    bool pollOpenCameras()
    {
        std::vector<std::shared_ptr<Cam>> open;
        {
            std::lock_guard<std::mutex> guard(m);
            for (const auto& cam : core.cameras)
                if (cam->sessionOpen)
                    open.push_back(asCam(cam));
        }
        for (const auto& cam : open)
            pollCamera(cam);
        return !open.empty();
    }

    // ---- the opening of the calls on one camera ----
    using CameraJob = std::function<EdsError(const std::shared_ptr<Cam>&)>;
    using CameraCheck = std::function<EdsError(Cam&)>;

    // Finds the camera under the lock (connected, with needSession its session open; then
    // check, when given, under the same lock), and runs job on the worker; a job the
    // worker drops answers EDS_ERR_COMM_DISCONNECTED.
    EdsError onWorker(EdsBaseRef ref, bool needSession, CameraJob job, const CameraCheck& check = {})
    {
        std::shared_ptr<Cam> cam;
        {
            std::lock_guard<std::mutex> guard(m);
            if (EdsError e = core.camera(ref, needSession, cam))
                return e;
            if (check)
                if (EdsError e = check(*cam))
                    return e;
        }
        return worker.run<EdsError>([cam, job = std::move(job)] { return job(cam); }, EDS_ERR_COMM_DISCONNECTED);
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
        takeDetected(found, announce);
    }

    static bool samePlace(const GPDetected& a, const GPDetected& b) { return a.port == b.port && a.model == b.model; }
    bool isAwaited(const GPDetected& f) const
    {
        return std::any_of(awaited.begin(), awaited.end(), [&](const GPDetected& a) { return samePlace(a, f); });
    }

    // The cameras detected now: new ones are plugged in (announced with announce), gone
    // ones unplugged. A camera awaited to answer again is not taken.
    void takeDetected(const std::vector<GPDetected>& found, bool announce)
    {
        std::vector<std::shared_ptr<Cam>> goneCams;
        int newCams = 0;
        {
            std::lock_guard<std::mutex> guard(m);
            for (const auto& camera : core.cameras) {
                std::shared_ptr<Cam> cam = asCam(camera);
                bool present = std::any_of(found.begin(), found.end(),
                                           [&](const GPDetected& f) { return samePlace(f, cam->detected); });
                if (!present)
                    goneCams.push_back(cam);
            }
            for (const GPDetected& f : found) {
                bool known = std::any_of(core.cameras.begin(), core.cameras.end(), [&](const std::shared_ptr<Camera>& c) {
                    return samePlace(asCam(c)->detected, f);
                });
                if (known || isAwaited(f))
                    continue;
                core.plugIn(std::make_shared<Cam>(f));
                newCams += 1;
                SNP_Log::debugf("gphoto2: found %s on %s", f.model.c_str(), f.port.c_str());
            }
            if (announce && newCams > 0)
                core.post(Event{EventType::Added, nullptr, 0, 0, 0, nullptr, nullptr});
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
            core.unplug(cam);
        }
        cam->device.reset();
        cam->snapshot.clear();
    }

    // A libgphoto2 failure on an open camera (worker). A camera no longer on the bus is
    // unplugged at once; one still on it is closed once it has left enough calls in a row
    // unanswered (atOnce: this one is enough), and tried again until it answers.
    void noteFailure(const std::shared_ptr<Cam>& cam, int r, bool atOnce = false)
    {
        if (!isNoAnswerResult(r)) {
            cam->unanswered = 0;
            return;
        }
        cam->unanswered += 1;
        std::vector<GPDetected> found;
        const bool listed = port->autodetect(found) >= 0;
        const bool onBus = !listed || std::any_of(found.begin(), found.end(), [&](const GPDetected& f) {
                               return f.port == cam->detected.port;
                           });
        if (!onBus) {
            unplug(cam, gpResultName(r));
            return;
        }
        if (!atOnce && cam->unanswered < options.unansweredBeforeClosing)
            return;
        SNP_Log::debugf("gphoto2: %s on %s left %d calls in a row unanswered (the last: %d, %s); it is closed and "
                        "tried again every %d ms until it answers",
                        cam->detected.model.c_str(), cam->detected.port.c_str(), cam->unanswered, r, gpResultName(r),
                        options.lookAgainMs);
        unplug(cam, "it stopped answering");
        if (!isAwaited(cam->detected))
            awaited.push_back(cam->detected);
        scheduleLookAgain();
    }

    void scheduleLookAgain()
    {
        if (lookAgainScheduled)
            return;
        lookAgainScheduled = true;
        worker.later(options.lookAgainMs, [this] { lookAgain(); });
    }

    // Tries the cameras that stopped answering (worker). One that answers again on its port,
    // or that left the bus (a camera that re-enumerated is listed on its new port), is no
    // longer awaited; the cameras detected now are taken, and the new ones announced.
    void lookAgain()
    {
        lookAgainScheduled = false;
        if (awaited.empty())
            return;
        std::vector<GPDetected> found;
        int r = port->autodetect(found);
        if (r < 0) {
            SNP_Log::debugf("gphoto2: camera detection failed with %d (%s)", r, gpResultName(r));
            scheduleLookAgain();
            return;
        }
        for (auto it = awaited.begin(); it != awaited.end();) {
            const bool onBus =
                std::any_of(found.begin(), found.end(), [&](const GPDetected& f) { return samePlace(f, *it); });
            if (onBus && !answers(*it)) {
                ++it;
                continue;
            }
            if (onBus)
                SNP_Log::debugf("gphoto2: %s on %s answers again", it->model.c_str(), it->port.c_str());
            else
                SNP_Log::debugf("gphoto2: %s left %s; it is taken wherever it is detected again", it->model.c_str(),
                                it->port.c_str());
            it = awaited.erase(it);
        }
        takeDetected(found, true);
        if (!awaited.empty())
            scheduleLookAgain();
    }

    // Whether the camera opens (worker); the trial session is closed again at once.
    bool answers(const GPDetected& detected)
    {
        std::unique_ptr<GPhoto2Device> trial;
        const int r = port->open(detected, trial);
        return r >= 0 && trial;
    }

    // ---- events (worker) ----
    void pollCamera(const std::shared_ptr<Cam>& cam)
    {
        if (!cam->device)
            return;
        // Every event the camera has now, each with the moment it came: the files of one shot
        // are announced together, each with the moment the camera offered it, never held
        // back by the transfer of an earlier one.
        std::vector<std::pair<GPEvent, Clock::time_point>> events;
        for (int i = 0; i < std::max(1, options.eventsPerRound); ++i) {
            GPEvent ev;
            int r = cam->device->waitForEvent(i == 0 ? options.eventPollMs : 0, ev);
            if (r < 0) {
                SNP_Log::debugf("gphoto2: waiting for events of %s failed with %d (%s)", cam->detected.model.c_str(),
                                r, gpResultName(r));
                noteFailure(cam, r);
                break;
            }
            cam->unanswered = 0;
            if (ev.type == GPEventType::Timeout)
                break;
            events.emplace_back(ev, Clock::now());
        }
        bool shot = false;
        for (const auto& [ev, came] : events) {
            if (!cam->device)
                return;
            shot = takeEvent(cam, ev, came) || shot;
        }
        if (shot && cam->device)
            keepPicturesComingToTheHost(cam);
        const auto now = Clock::now();
        if (cam->device && ((cam->refreshWanted && now >= cam->refreshDue) ||
                            now - cam->lastRefresh >= std::chrono::milliseconds(options.refreshIntervalMs)))
            refresh(cam, true);
    }

    // One camera event: a new file is offered to the host (or announced), anything else
    // may mean changed settings. Answers whether it was a new file.
    bool takeEvent(const std::shared_ptr<Cam>& cam, const GPEvent& ev, Clock::time_point came)
    {
        EdsUInt32 saveTo, wanted;
        {
            std::lock_guard<std::mutex> guard(m);
            saveTo = cam->saveTo;
            // The host's wish decides where a new file goes: a camera that switched its
            // capture target back to its card still has its picture taken to the host.
            wanted = cam->hostWants ? cam->hostWants : cam->saveTo;
        }
        TranslatedEvent t = translateEvent(ev, wanted);
        if (t.kind == TranslatedEvent::Kind::Object) {
            std::shared_ptr<CameraFile> item;
            if (ev.type == GPEventType::FileAdded) {
                item = newItem(cam, ev, saveTo, came);
                if (!item)
                    return true;
            }
            SNP_Log::debugf("gphoto2: %s: %s/%s -> object event %x", cam->detected.model.c_str(), ev.folder.c_str(),
                            ev.name.c_str(), t.event);
            std::lock_guard<std::mutex> guard(m);
            core.post(Event{EventType::Object, cam, t.event, 0, 0, item, nullptr});
        } else if (t.kind == TranslatedEvent::Kind::PropertyRefresh && !cam->refreshWanted) {
            cam->refreshWanted = true;
            cam->refreshDue = std::max(Clock::now() + std::chrono::milliseconds(options.refreshAfterEventMs),
                                       cam->lastRefresh + std::chrono::milliseconds(options.refreshGapMs));
        }
        return ev.type == GPEventType::FileAdded;
    }

    // After a shot, while the host wants the pictures: a capture target the camera switched
    // back to its card is set to the host again (worker).
    void keepPicturesComingToTheHost(const std::shared_ptr<Cam>& cam)
    {
        {
            std::lock_guard<std::mutex> guard(m);
            if (cam->hostWants != kEdsSaveTo_Host)
                return;
        }
        GPWidget target;
        int r = findWidget(cam, *mappingFor(kPropSaveTo), target);
        if (r < 0) {
            noteFailure(cam, r);
            return;
        }
        const std::optional<EdsUInt32> now = numberForWidget(kPropSaveTo, target);
        GPWidget host;
        if (!now || *now != kEdsSaveTo_Camera || widgetForNumber(kPropSaveTo, kEdsSaveTo_Host, target, host) != EDS_ERR_OK)
            return;
        r = cam->device->setWidget(host);
        if (r < 0) {
            SNP_Log::debugf("gphoto2: %s switched its capture target back to the card and could not be set to the "
                            "host again: %d (%s)",
                            cam->detected.model.c_str(), r, gpResultName(r));
            noteFailure(cam, r);
            return;
        }
        SNP_Log::debugf("gphoto2: %s switched its capture target back to the card after a shot; set to the host again",
                        cam->detected.model.c_str());
        std::lock_guard<std::mutex> guard(m);
        cam->saveTo = kEdsSaveTo_Host;
        core.post(Event{EventType::Property, cam, kEdsPropertyEvent_PropertyChanged, kPropSaveTo, 0, nullptr, nullptr});
    }

    std::shared_ptr<CameraFile> newItem(const std::shared_ptr<Cam>& cam, const GPEvent& ev, EdsUInt32 saveTo,
                                        Clock::time_point came)
    {
        auto item = std::make_shared<CameraFile>();
        item->requested = came;
        item->camera = cam;
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
                noteFailure(cam, r);
                return nullptr;
            }
            item->data = data;
            size = data->size();
        }
        item->size = size;
        std::lock_guard<std::mutex> guard(m);
        core.registerHandle(item);
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
            const int r = findWidget(cam, *mapping, w);
            if (r >= 0) {
                now[id] = w;
            } else if (isNoAnswerResult(r)) {
                // A camera that does not answer is not asked for the rest: this comparison
                // is its periodic sign of life.
                noteFailure(cam, r);
                return;
            }
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
        core.postProperties(cam, changes);
    }

    int findWidget(const std::shared_ptr<Cam>& cam, const PropertyMapping& mapping, GPWidget& out)
    {
        int last = kGPErrorNotSupported;
        for (const std::string& name : mapping.widgets) {
            last = cam->device->getWidget(name, out);
            if (last >= 0)
                return last;
            if (isNoAnswerResult(last))
                return last;
        }
        return last;
    }

    // ---- download ----
    // Hands the fetch of the item's file to the worker (any thread). A fetch the worker
    // drops (it stops first, or refuses it while stopping) ends the wait as a lost
    // connection: the guard lives only in the job, so it goes with it.
    void fetchFile(const std::shared_ptr<CameraFile>& item, const std::shared_ptr<Fetch>& fetch)
    {
        std::shared_ptr<Cam> cam = asCam(item->camera);
        std::shared_ptr<void> dropped(nullptr, [fetch](void*) {
            std::lock_guard<std::mutex> g(fetch->m);
            if (!fetch->done) {
                fetch->result = EDS_ERR_COMM_DISCONNECTED;
                fetch->done = true;
                fetch->cv.notify_all();
            }
        });
        worker.post([this, item, cam, fetch, dropped = std::move(dropped)] { readFile(cam, item, fetch); });
    }

    // Reads the item's file from the camera, reporting progress to the fetch (worker); the
    // file is kept on the item.
    void readFile(const std::shared_ptr<Cam>& cam, const std::shared_ptr<CameraFile>& item,
                  const std::shared_ptr<Fetch>& fetch)
    {
        auto data = std::make_shared<std::vector<uint8_t>>();
        int r = cam->device ? cam->device->fileGet(item->folder, item->name, *data,
                                                   [fetch](uint64_t done, uint64_t total) {
                                                       std::lock_guard<std::mutex> g(fetch->m);
                                                       if (total > 0)
                                                           fetch->percent = static_cast<int>(
                                                               std::min<uint64_t>(99, done * 100 / total));
                                                       fetch->cv.notify_all();
                                                       return fetch->cancel;
                                                   })
                            : kGPErrorIOUsbFind;
        EdsError result = EDS_ERR_OK;
        if (r < 0) {
            SNP_Log::debugf("gphoto2: reading %s/%s failed with %d (%s)", item->folder.c_str(), item->name.c_str(), r,
                            gpResultName(r));
            noteFailure(cam, r);
            result = edsErrorFor(r);
        } else {
            std::lock_guard<std::mutex> guard(m);
            item->data = data;
        }
        std::lock_guard<std::mutex> g(fetch->m);
        fetch->result = result;
        fetch->done = true;
        fetch->cv.notify_all();
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
            if (mapping->kind == PropKind::Output && !isNoAnswerResult(r)) {
                std::lock_guard<std::mutex> guard(m);
                return number(cam->evfOutput);  // no output switch: the SDK keeps the state
            }
            SNP_Log::debugf("gphoto2: %s has no widget for property 0x%x (%s): %d (%s)", cam->detected.model.c_str(),
                            id, propName(id), r, gpResultName(r));
            noteFailure(cam, r);
            return isNoAnswerResult(r) ? edsErrorFor(r) : EDS_ERR_NOT_SUPPORTED;
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
        if (mapping->kind == PropKind::Local) {
            if (number > 1)
                return EDS_ERR_INVALID_DEVICEPROP_VALUE;
            return announceWrite(cam, *mapping, id, number);
        }
        GPWidget current;
        int r = cam->device ? findWidget(cam, *mapping, current) : kGPErrorIOUsbFind;
        if (r < 0) {
            if (mapping->kind == PropKind::Output && !isNoAnswerResult(r))
                return announceWrite(cam, *mapping, id, number);  // no output switch: the preview needs none
            SNP_Log::debugf("gphoto2: %s has no widget for property 0x%x (%s): %d (%s)", cam->detected.model.c_str(),
                            id, propName(id), r, gpResultName(r));
            noteFailure(cam, r);
            return isNoAnswerResult(r) ? edsErrorFor(r) : EDS_ERR_NOT_SUPPORTED;
        }
        GPWidget value = current;
        if (EdsError e = widgetValue(id, *mapping, data, number, current, value))
            return e;
        r = cam->device->setWidget(value);
        if (r < 0) {
            SNP_Log::debugf("gphoto2: writing widget %s for property %s failed with %d (%s)", current.name.c_str(),
                            propName(id), r, gpResultName(r));
            noteFailure(cam, r);
            return edsErrorFor(r);
        }
        GPWidget after;
        if (mapping->kind != PropKind::Date && cam->device->getWidget(current.name, after) >= 0)
            cam->snapshot[id] = after;  // announced here, not again by the next comparison
        return announceWrite(cam, *mapping, id, number);
    }

    // An accepted write: the SDK's own state of the property taken, and 0x101 posted.
    EdsError announceWrite(const std::shared_ptr<Cam>& cam, const PropertyMapping& mapping, EdsPropertyID id,
                           EdsUInt32 number)
    {
        std::lock_guard<std::mutex> guard(m);
        if (mapping.kind == PropKind::SaveTo)
            cam->saveTo = cam->hostWants = number;
        else if (mapping.kind == PropKind::Output)
            cam->evfOutput = number;
        else if (mapping.kind == PropKind::Local && id == kPropEvfMode)
            cam->evfMode = number;
        core.post(Event{EventType::Property, cam, kEdsPropertyEvent_PropertyChanged, id, 0, nullptr, nullptr});
        return EDS_ERR_OK;
    }

    // The widget's new value for the bytes written (number: a numeric property's code),
    // made from its current state.
    static EdsError widgetValue(EdsPropertyID id, const PropertyMapping& mapping, const std::vector<uint8_t>& data,
                                EdsUInt32 number, const GPWidget& current, GPWidget& value)
    {
        if (mapping.kind == PropKind::Text) {
            if (current.readOnly)
                return EDS_ERR_NOT_SUPPORTED;
            const char* text = reinterpret_cast<const char*>(data.data());
            const size_t length = strnlen(text, data.size());
            if (data.empty() || length == data.size())
                return EDS_ERR_DEVICE_INVALID_PARAMETER;  // no NUL inside
            value.text.assign(text, length);
            return EDS_ERR_OK;
        }
        if (mapping.kind == PropKind::Date) {
            if (current.readOnly)
                return EDS_ERR_NOT_SUPPORTED;
            return dateWidgetValue(data, value);
        }
        if (EdsError e = widgetForNumber(id, number, current, value)) {
            SNP_Log::debugf("gphoto2: %x for value 0x%x of property %s (widget %s)", e, number, propName(id),
                            current.name.c_str());
            return e;
        }
        return EDS_ERR_OK;
    }

    // A date widget's value for the camera's time record written.
    static EdsError dateWidgetValue(const std::vector<uint8_t>& data, GPWidget& value)
    {
        if (data.size() != sizeof(EdsTime))
            return EDS_ERR_INVALID_LENGTH;
        EdsTime t;
        std::memcpy(&t, data.data(), sizeof t);
        std::optional<long long> secs = epochForEdsTime(t);
        if (!secs)
            return EDS_ERR_DEVICE_INVALID_PARAMETER;
        // libgphoto2 keeps a date widget's value in an int: a time past 2038-01-19
        // cannot be given to the camera, and is refused rather than wrapped to 1901.
        if (*secs > std::numeric_limits<int>::max() || *secs < std::numeric_limits<int>::min()) {
            SNP_Log::debugf("gphoto2: the camera's clock cannot be set to %u-%02u-%02u: libgphoto2 takes dates "
                            "up to 2038-01-19 only",
                            t.year, t.month, t.day);
            return EDS_ERR_DEVICE_INVALID_PARAMETER;
        }
        value.integer = static_cast<int>(*secs);
        return EDS_ERR_OK;
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
            if (mapping->kind == PropKind::Output && !isNoAnswerResult(r)) {
                out->access = 1;
                return EDS_ERR_OK;
            }
            noteFailure(cam, r);
            return isNoAnswerResult(r) ? edsErrorFor(r) : EDS_ERR_NOT_SUPPORTED;
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
            if (r < 0 && !isNoAnswerResult(r)) {
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
            noteFailure(cam, r);
            return edsErrorFor(r);
        }
        cam->shutter = plan.shutterAfter;
        return EDS_ERR_OK;
    }
};

// =======================================================================================

GPhoto2CameraSdk::GPhoto2CameraSdk(std::unique_ptr<GPhoto2Port> port) : GPhoto2CameraSdk(std::move(port), Options{}) {}

GPhoto2CameraSdk::GPhoto2CameraSdk(std::unique_ptr<GPhoto2Port> port, const Options& options)
    : EdsSdkCore(0x6B000000), d(std::make_unique<Impl>(core(), std::move(port), options))
{
    d->worker.start([this] { return d->pollOpenCameras(); }, [this] { d->core.idleCv.notify_all(); });
}

GPhoto2CameraSdk::~GPhoto2CameraSdk()
{
    d->hotplug.reset();
    d->worker.stop();
    {
        std::lock_guard<std::mutex> guard(d->m);
        for (const auto& cam : d->core.cameras)
            asCam(cam)->device.reset();  // the worker has ended: no other user
    }
    stopCallbacks();
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
    d->worker.run<int>([this] {
        std::vector<std::shared_ptr<Camera>> all;
        {
            std::lock_guard<std::mutex> guard(d->m);
            all = d->core.cameras;
            for (const auto& cam : all)
                cam->sessionOpen = false;
        }
        for (const auto& cam : all) {
            asCam(cam)->device.reset();
            asCam(cam)->snapshot.clear();
        }
        d->awaited.clear();
        return 0;
    }, 0);
    std::lock_guard<std::mutex> guard(d->m);
    d->core.clearHandlersAndEvents();
    return EDS_ERR_OK;
}

EdsError GPhoto2CameraSdk::EdsGetCameraList(EdsCameraListRef* outCameraListRef)
{
    if (outCameraListRef && d->port)
        d->worker.run<int>([this] {
            d->rescan(false);
            return 0;
        }, 0);
    return EdsSdkCore::EdsGetCameraList(outCameraListRef);
}

// ---- camera and session ----

EdsError GPhoto2CameraSdk::EdsOpenSession(EdsCameraRef inCameraRef)
{
    auto notOpen = [](Cam& cam) -> EdsError { return cam.sessionOpen ? EDS_ERR_SESSION_ALREADY_OPEN : EDS_ERR_OK; };
    return d->onWorker(inCameraRef, false, [this](const std::shared_ptr<Cam>& cam) -> EdsError {
        {
            std::lock_guard<std::mutex> guard(d->m);
            if (!cam->connected)
                return Core::gone(*cam);
            if (cam->sessionOpen)
                return EDS_ERR_SESSION_ALREADY_OPEN;
        }
        std::unique_ptr<GPhoto2Device> device;
        int r = d->port->open(cam->detected, device);
        if (r < 0 || !device) {
            SNP_Log::debugf("gphoto2: opening %s on %s failed with %d (%s)", cam->detected.model.c_str(),
                            cam->detected.port.c_str(), r, gpResultName(r));
            if (r < 0)
                d->noteFailure(cam, r, true);  // a camera that does not answer is tried again
            return r < 0 ? edsErrorFor(r) : EDS_ERR_INTERNAL_ERROR;
        }
        cam->device = std::move(device);
        cam->shutter = 0;
        cam->unanswered = 0;
        {
            std::lock_guard<std::mutex> guard(d->m);
            cam->hostWants = 0;
        }
        d->refresh(cam, false);
        std::lock_guard<std::mutex> guard(d->m);
        if (!cam->connected)
            return Core::gone(*cam);  // it stopped answering at once
        cam->sessionOpen = true;
        return EDS_ERR_OK;
    }, notOpen);
}

EdsError GPhoto2CameraSdk::EdsCloseSession(EdsCameraRef inCameraRef)
{
    auto open = [](Cam& cam) -> EdsError { return cam.sessionOpen ? EDS_ERR_OK : EDS_ERR_SESSION_NOT_OPEN; };
    return d->onWorker(inCameraRef, false, [this](const std::shared_ptr<Cam>& cam) -> EdsError {
        {
            std::lock_guard<std::mutex> guard(d->m);
            if (!cam->sessionOpen)
                return cam->connected ? EDS_ERR_SESSION_NOT_OPEN : Core::gone(*cam);
            cam->sessionOpen = false;
            if (cam->evfOutput & 2) {
                // The camera takes its viewfinder back from the host.
                cam->evfOutput &= ~2u;
                d->core.post(Event{EventType::Property, cam, kEdsPropertyEvent_PropertyChanged, kPropEvfOutputDevice,
                                   0, nullptr, nullptr});
            }
        }
        cam->device.reset();
        cam->snapshot.clear();
        cam->shutter = 0;
        return EDS_ERR_OK;
    }, open);
}

// ---- commands and properties ----

EdsError GPhoto2CameraSdk::EdsSendCommand(EdsCameraRef inCameraRef, EdsCameraCommand inCommand, EdsInt32 inParam)
{
    return d->onWorker(inCameraRef, true, [this, inCommand, inParam](const std::shared_ptr<Cam>& cam) {
        return d->command(cam, inCommand, static_cast<EdsUInt32>(inParam));
    });
}

EdsError GPhoto2CameraSdk::EdsGetPropertySize(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32,
                                              EdsDataType* outDataType, EdsUInt32* outSize)
{
    if (!outDataType || !outSize)
        return EDS_ERR_INVALID_POINTER;
    return d->onWorker(inRef, true, [this, inPropertyID, outDataType, outSize](const std::shared_ptr<Cam>& cam) {
        return d->readProperty(cam, inPropertyID, outDataType, outSize, nullptr);
    });
}

EdsError GPhoto2CameraSdk::EdsGetPropertyData(EdsBaseRef inRef, EdsPropertyID inPropertyID, EdsInt32,
                                              EdsUInt32 inPropertySize, void* outPropertyData)
{
    if (!outPropertyData)
        return EDS_ERR_INVALID_POINTER;
    std::vector<uint8_t> data;
    EdsError e = d->onWorker(inRef, true, [this, inPropertyID, &data](const std::shared_ptr<Cam>& cam) {
        return d->readProperty(cam, inPropertyID, nullptr, nullptr, &data);
    });
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
    const auto* bytes = static_cast<const uint8_t*>(inPropertyData);
    std::vector<uint8_t> data(bytes, bytes + inPropertySize);
    return d->onWorker(inRef, true, [this, inPropertyID, &data](const std::shared_ptr<Cam>& cam) {
        return d->writeProperty(cam, inPropertyID, data);
    });
}

EdsError GPhoto2CameraSdk::EdsGetPropertyDesc(EdsBaseRef inRef, EdsPropertyID inPropertyID,
                                              EdsPropertyDesc* outPropertyDesc)
{
    if (!outPropertyDesc)
        return EDS_ERR_INVALID_POINTER;
    return d->onWorker(inRef, true, [this, inPropertyID, outPropertyDesc](const std::shared_ptr<Cam>& cam) {
        return d->describeProperty(cam, inPropertyID, outPropertyDesc);
    });
}

// ---- download ----

EdsError GPhoto2CameraSdk::EdsDownload(EdsDirectoryItemRef inDirItemRef, EdsUInt64 inReadSize, EdsStreamRef outStream)
{
    Transfer transfer;
    {
        std::lock_guard<std::mutex> guard(d->m);
        if (EdsError e = d->core.beginTransfer(inDirItemRef, inReadSize, outStream, transfer))
            return e;
    }
    auto item = std::static_pointer_cast<CameraFile>(transfer.item);

    if (!item->data) {
        auto fetch = std::make_shared<Fetch>();
        d->fetchFile(item, fetch);
        if (EdsError e = waitForFetch(*fetch, transfer))
            return e;
    }

    std::unique_lock<std::mutex> lock(d->m);
    std::shared_ptr<std::vector<uint8_t>> data = item->data;
    if (!item->camera->connected)
        return EDS_ERR_COMM_DISCONNECTED;
    if (!data || data->size() < item->offset + inReadSize) {
        SNP_Log::debugf("gphoto2: %s has %zu bytes, %llu were announced", item->name.c_str(), data ? data->size() : 0,
                        static_cast<unsigned long long>(item->size));
        return EDS_ERR_INCOMPLETE_TRANSFER;
    }
    std::memcpy(transfer.stream->buffer + transfer.stream->position, data->data() + item->offset, inReadSize);
    Core::endTransfer(transfer, inReadSize);
    lock.unlock();
    (void)transfer.progress.report(100, true);  // the bytes are here: a cancel comes too late
    return EDS_ERR_OK;
}

EdsError GPhoto2CameraSdk::EdsDownloadComplete(EdsDirectoryItemRef inDirItemRef)
{
    std::shared_ptr<CameraFile> item;
    {
        std::lock_guard<std::mutex> guard(d->m);
        item = d->core.find<CameraFile>(inDirItemRef, Kind::Item);
        if (!item)
            return EDS_ERR_INVALID_HANDLE;
        if (!item->camera->connected)
            return EDS_ERR_COMM_DISCONNECTED;
        if (item->completed)
            return EDS_ERR_OK;
        item->completed = true;
    }
    if (item->inCameraRam) {
        d->worker.run<int>([item] {
            const std::shared_ptr<Cam> cam = asCam(item->camera);
            if (!cam->device)
                return 0;
            int r = cam->device->fileDelete(item->folder, item->name);
            if (r < 0)
                SNP_Log::debugf("gphoto2: could not remove %s/%s from the camera's memory: %d (%s)",
                                item->folder.c_str(), item->name.c_str(), r, gpResultName(r));
            return 0;
        }, 0);
    }
    return EDS_ERR_OK;
}

// ---- live view ----

EdsError GPhoto2CameraSdk::EdsDownloadEvfImage(EdsCameraRef inCameraRef, EdsEvfImageRef inEvfImageRef)
{
    std::shared_ptr<Stream> stream;
    auto sentToHost = [this, inEvfImageRef, &stream](Cam& cam) -> EdsError {
        auto evf = d->core.find<EvfImage>(inEvfImageRef, Kind::Evf);
        if (!evf)
            return EDS_ERR_INVALID_HANDLE;
        if (!(cam.evfOutput & 2))
            return EDS_ERR_DEVICE_INVALID;  // the viewfinder is not sent to the host
        stream = evf->stream;
        return EDS_ERR_OK;
    };
    std::vector<uint8_t> frame;
    EdsError e = d->onWorker(inCameraRef, true, [this, &frame](const std::shared_ptr<Cam>& cam) -> EdsError {
        if (!cam->device)
            return EDS_ERR_DEVICE_NOT_FOUND;
        int r = cam->device->capturePreview(frame);
        if (r < 0) {
            SNP_Log::debugf("gphoto2: preview of %s failed with %d (%s)", cam->detected.model.c_str(), r,
                            gpResultName(r));
            d->noteFailure(cam, r);
            return edsErrorFor(r);
        }
        return frame.empty() ? EDS_ERR_OBJECT_NOTREADY : EDS_ERR_OK;
    }, sentToHost);
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
            d->worker.later(delay, [this] { d->rescan(true); });
    } else {
        d->worker.later(0, [this] { d->rescan(true); });
    }
}

bool GPhoto2CameraSdk::waitForIdle(int timeoutMs)
{
    if (d->core.onCallbackThread() || d->worker.onWorkerThread())
        return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // The worker: every queued and timed job done.
    while (true) {
        if (d->worker.idle())
            break;
        if (Clock::now() >= deadline)
            return false;
        if (onMainThread())
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        std::unique_lock<std::mutex> lock(d->m);
        d->core.idleCv.wait_for(lock, std::chrono::milliseconds(2));
    }
    return d->core.waitForCallbacks(deadline);
}

std::thread::id GPhoto2CameraSdk::workerThreadId() const
{
    return d->worker.threadId();
}
