// The machinery shared by the SDK implementations (EdsSdkCore.h).
#include "EdsSdkCore.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace EdsCore {

using Clock = std::chrono::steady_clock;

bool onMainThread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

std::optional<long long> localSecondsForEdsTime(const EdsTime& t)
{
    struct tm local {};
    local.tm_year = static_cast<int>(t.year) - 1900;
    local.tm_mon = static_cast<int>(t.month) - 1;
    local.tm_mday = static_cast<int>(t.day);
    local.tm_hour = static_cast<int>(t.hour);
    local.tm_min = static_cast<int>(t.minute);
    local.tm_sec = static_cast<int>(t.second);
    local.tm_isdst = -1;
    const time_t secs = mktime(&local);
    if (secs == static_cast<time_t>(-1))
        return std::nullopt;
    return static_cast<long long>(secs);
}

EdsTime edsTimeForLocalSeconds(long long seconds)
{
    const time_t secs = static_cast<time_t>(seconds);
    struct tm local {};
    localtime_r(&secs, &local);
    EdsTime t{};
    t.year = static_cast<EdsUInt32>(local.tm_year + 1900);
    t.month = static_cast<EdsUInt32>(local.tm_mon + 1);
    t.day = static_cast<EdsUInt32>(local.tm_mday);
    t.hour = static_cast<EdsUInt32>(local.tm_hour);
    t.minute = static_cast<EdsUInt32>(local.tm_min);
    t.second = static_cast<EdsUInt32>(std::min(59, local.tm_sec));  // no leap second
    return t;
}

bool ProgressRelay::report(EdsUInt32 percent, bool last) const
{
    if (!callback || !(option == kEdsProgressOption_Periodically || (last && option == kEdsProgressOption_Done)))
        return false;
    EdsBool cancel = 0;
    callback(percent, context, &cancel);
    return cancel != 0;
}

// ---- handles ----

EdsBaseRef Core::registerHandle(const std::shared_ptr<Handle>& handle)
{
    _nextHandle += 1;
    handle->ref = reinterpret_cast<EdsBaseRef>(_handleBase + _nextHandle * 0x40);
    handles[handle->ref] = handle;
    return handle->ref;
}

EdsUInt32 Core::release(const std::shared_ptr<Handle>& handle)
{
    if (handle->count == 0)
        return 0;
    if (--handle->count > 0)
        return handle->count;
    if (handle->kind == Kind::Camera && static_cast<Camera*>(handle.get())->connected)
        return 0;  // the SDK keeps a connected camera's handle
    handles.erase(handle->ref);
    if (handle->kind == Kind::List) {
        for (auto& child : static_cast<CameraList*>(handle.get())->children)
            release(child);
    } else if (handle->kind == Kind::Evf) {
        if (auto& stream = static_cast<EvfImage*>(handle.get())->stream)
            release(stream);
    }
    return 0;
}

void Core::plugIn(const std::shared_ptr<Camera>& camera)
{
    registerHandle(camera);
    cameras.push_back(camera);
}

bool Core::unplug(const std::shared_ptr<Camera>& camera)
{
    if (!camera->connected)
        return false;
    camera->connected = false;
    camera->sessionAtUnplug = camera->sessionOpen;
    camera->sessionOpen = false;
    cameras.erase(std::remove(cameras.begin(), cameras.end(), camera), cameras.end());
    post(Event{EventType::State, camera, kEdsStateEvent_Shutdown, 0, 0, nullptr, nullptr});
    if (camera->count == 0)
        handles.erase(camera->ref);
    idleCv.notify_all();
    return true;
}

EdsError Core::beginTransfer(EdsDirectoryItemRef itemRef, EdsUInt64 readSize, EdsStreamRef streamRef, Transfer& out)
{
    out.item = find<Item>(itemRef, Kind::Item);
    out.stream = find<Stream>(streamRef, Kind::Stream);
    if (!out.item || !out.stream)
        return EDS_ERR_INVALID_HANDLE;
    if (!out.item->camera->connected)
        return EDS_ERR_COMM_DISCONNECTED;
    if (out.item->completed)
        return EDS_ERR_OPERATION_REFUSED;
    if (readSize > out.item->size - out.item->offset)
        return EDS_ERR_INVALID_LENGTH;
    if (readSize > out.stream->capacity - out.stream->position)
        return EDS_ERR_STREAM_WRITE_ERROR;  // the caller's buffer is smaller than the transfer
    out.progress = out.stream->progress.callback ? out.stream->progress : out.item->progress;
    return EDS_ERR_OK;
}

void Core::endTransfer(const Transfer& transfer, EdsUInt64 readSize)
{
    transfer.item->offset += readSize;
    transfer.stream->position += readSize;
    transfer.stream->length = std::max(transfer.stream->length, transfer.stream->position);
}

// ---- callback thread ----

void Core::post(Event event)
{
    events.push_back(std::move(event));
    _eventsCv.notify_all();
}

void Core::postProperties(const std::shared_ptr<Camera>& camera,
                          const std::vector<std::pair<EdsUInt32, EdsPropertyID>>& changes)
{
    for (const auto& [event, id] : changes)
        post(Event{EventType::Property, camera, event, id, 0, nullptr, nullptr});
}

void Core::deliver(std::unique_lock<std::mutex>& held, const Event& e)
{
    auto accepts = [](EdsUInt32 filter, EdsUInt32 all, EdsUInt32 ev) { return filter == all || filter == ev; };
    std::function<void()> call;
    const Camera* cam = e.camera.get();
    const EdsUInt32 event = e.event, a = e.a, b = e.b;
    switch (e.type) {
    case EventType::Added:
        if (added.fn)
            call = [fn = added.fn, ctx = added.context] { fn(ctx); };
        break;
    case EventType::State:
        if (cam->state.fn && accepts(cam->state.filter, kEdsStateEvent_All, event))
            call = [fn = cam->state.fn, ctx = cam->state.context, event, a] { fn(event, a, ctx); };
        break;
    case EventType::Property:
        if (cam->property.fn && accepts(cam->property.filter, kEdsPropertyEvent_All, event))
            call = [fn = cam->property.fn, ctx = cam->property.context, event, a, b] { fn(event, a, b, ctx); };
        break;
    case EventType::Object:
        if (cam->object.fn && accepts(cam->object.filter, kEdsObjectEvent_All, event)) {
            EdsBaseRef ref = e.item ? e.item->ref : nullptr;
            call = [fn = cam->object.fn, ctx = cam->object.context, event, ref] { fn(event, ref, ctx); };
        }
        break;
    case EventType::Task:
        break;
    }
    if (!call)
        return;
    held.unlock();
    call();
    held.lock();
    idleCv.notify_all();
}

void Core::clearHandlersAndEvents()
{
    added = {};
    for (const auto& [ref, handle] : handles) {
        if (handle->kind != Kind::Camera)
            continue;
        auto* cam = static_cast<Camera*>(handle.get());
        cam->state = {};
        cam->property = {};
        cam->object = {};
    }
    for (const Event& e : events)
        if (e.item)
            release(e.item);
    events.clear();
}

bool Core::waitForCallbacks(Clock::time_point deadline)
{
    if (onCallbackThread())
        return false;  // the callback thread cannot wait for itself
    const bool main = onMainThread();
    std::unique_lock<std::mutex> held(lock);
    auto idle = [&] { return events.empty() && !_delivering; };
    while (!idle()) {
        if (Clock::now() >= deadline)
            return false;
        if (!main) {
            idleCv.wait_until(held, deadline);
            continue;
        }
        idleCv.wait_for(held, std::chrono::milliseconds(2));
        if (idle())
            break;
        held.unlock();
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        held.lock();
    }
    return true;
}

void Core::start(const std::shared_ptr<Core>& self)
{
    std::lock_guard<std::mutex> guard(self->lock);
    self->_thread = std::thread([self] { self->run(); });
    self->_threadId = self->_thread.get_id();
}

void Core::stop()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        if (_stopping)
            return;
        _stopping = true;
        _eventsCv.notify_all();
        idleCv.notify_all();
    }
    if (onCallbackThread()) {
        // Destroyed from within a handler: the thread ends by itself once the handler has
        // returned, and its hold on the core keeps the core until then.
        _thread.detach();
        return;
    }
    if (_thread.joinable())
        _thread.join();
}

void Core::run()
{
    std::unique_lock<std::mutex> held(lock);
    while (true) {
        _eventsCv.wait(held, [&] { return _stopping || !events.empty(); });
        if (_stopping)
            break;
        Event e = std::move(events.front());
        events.pop_front();
        _delivering = true;
        if (e.type == EventType::Task)
            e.task(held);
        else
            deliver(held, e);
        if (e.item)
            release(e.item);
        _delivering = false;
        idleCv.notify_all();
    }
}

}  // namespace EdsCore

// =======================================================================================

using namespace EdsCore;

EdsSdkCore::EdsSdkCore(uintptr_t handleBase) : _core(std::make_shared<Core>(handleBase))
{
    Core::start(_core);
}

EdsSdkCore::~EdsSdkCore()
{
    stopCallbacks();
}

void EdsSdkCore::stopCallbacks()
{
    _core->stop();
}

EdsError EdsSdkCore::EdsSetCameraAddedHandler(EdsCameraAddedHandler inHandler, void* inContext)
{
    std::lock_guard<std::mutex> guard(_core->lock);
    _core->added = {inHandler, inHandler ? inContext : nullptr, 0};
    return EDS_ERR_OK;
}

EdsError EdsSdkCore::EdsGetCameraList(EdsCameraListRef* outCameraListRef)
{
    if (!outCameraListRef)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(_core->lock);
    auto list = std::make_shared<CameraList>();
    for (const auto& cam : _core->cameras) {
        cam->count += 1;  // the list holds each child
        list->children.push_back(cam);
    }
    *outCameraListRef = _core->registerHandle(list);
    return EDS_ERR_OK;
}

EdsError EdsSdkCore::EdsGetChildCount(EdsBaseRef inRef, EdsUInt32* outCount)
{
    if (!outCount)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(_core->lock);
    if (auto list = _core->find<CameraList>(inRef, Kind::List)) {
        *outCount = static_cast<EdsUInt32>(list->children.size());
        return EDS_ERR_OK;
    }
    if (_core->find<Camera>(inRef, Kind::Camera)) {
        *outCount = 0;  // the card's volumes are not offered
        return EDS_ERR_OK;
    }
    return EDS_ERR_INVALID_HANDLE;
}

EdsError EdsSdkCore::EdsGetChildAtIndex(EdsBaseRef inRef, EdsInt32 inIndex, EdsBaseRef* outRef)
{
    if (!outRef)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(_core->lock);
    auto list = _core->find<CameraList>(inRef, Kind::List);
    if (!list)
        return EDS_ERR_INVALID_HANDLE;
    if (inIndex < 0 || static_cast<size_t>(inIndex) >= list->children.size())
        return EDS_ERR_INVALID_INDEX;
    auto& child = list->children[static_cast<size_t>(inIndex)];
    child->count += 1;
    *outRef = child->ref;
    return EDS_ERR_OK;
}

EdsUInt32 EdsSdkCore::EdsRetain(EdsBaseRef inRef)
{
    std::lock_guard<std::mutex> guard(_core->lock);
    auto it = _core->handles.find(inRef);
    if (it == _core->handles.end())
        return 0;
    return ++it->second->count;
}

EdsUInt32 EdsSdkCore::EdsRelease(EdsBaseRef inRef)
{
    std::lock_guard<std::mutex> guard(_core->lock);
    auto it = _core->handles.find(inRef);
    if (it == _core->handles.end())
        return 0;
    std::shared_ptr<Handle> handle = it->second;
    return _core->release(handle);
}

EdsError EdsSdkCore::EdsGetDeviceInfo(EdsCameraRef inCameraRef, EdsDeviceInfo* outDeviceInfo)
{
    if (!outDeviceInfo)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(_core->lock);
    std::shared_ptr<Camera> cam;
    if (EdsError e = _core->camera(inCameraRef, false, cam))
        return e;
    std::memset(outDeviceInfo, 0, sizeof *outDeviceInfo);
    std::snprintf(outDeviceInfo->szPortName, sizeof outDeviceInfo->szPortName, "%s", cam->port.c_str());
    std::snprintf(outDeviceInfo->szDeviceDescription, sizeof outDeviceInfo->szDeviceDescription, "%s",
                  cam->model.c_str());
    outDeviceInfo->deviceSubType = 1;
    return EDS_ERR_OK;
}

EdsError EdsSdkCore::EdsSetCameraStateEventHandler(EdsCameraRef inCameraRef, EdsStateEvent inEvent,
                                                   EdsStateEventHandler inHandler, void* inContext)
{
    return _core->setHandler(inCameraRef, inEvent, kEdsStateEvent_All, inHandler, inContext, &Camera::state);
}

EdsError EdsSdkCore::EdsSetPropertyEventHandler(EdsCameraRef inCameraRef, EdsPropertyEvent inEvent,
                                                EdsPropertyEventHandler inHandler, void* inContext)
{
    return _core->setHandler(inCameraRef, inEvent, kEdsPropertyEvent_All, inHandler, inContext, &Camera::property);
}

EdsError EdsSdkCore::EdsSetObjectEventHandler(EdsCameraRef inCameraRef, EdsObjectEvent inEvent,
                                              EdsObjectEventHandler inHandler, void* inContext)
{
    return _core->setHandler(inCameraRef, inEvent, kEdsObjectEvent_All, inHandler, inContext, &Camera::object);
}

EdsError EdsSdkCore::EdsSetCapacity(EdsCameraRef inCameraRef, EdsCapacity inCapacity)
{
    std::lock_guard<std::mutex> guard(_core->lock);
    std::shared_ptr<Camera> cam;
    if (EdsError e = _core->camera(inCameraRef, true, cam))
        return e;
    if (inCapacity.bytesPerSector <= 0 || inCapacity.numberOfFreeClusters < 0)
        return EDS_ERR_INVALID_PARAMETER;
    cam->capacity = inCapacity;
    return EDS_ERR_OK;
}

EdsError EdsSdkCore::EdsGetDirectoryItemInfo(EdsDirectoryItemRef inDirItemRef, EdsDirectoryItemInfo* outDirItemInfo)
{
    if (!outDirItemInfo)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(_core->lock);
    auto item = _core->find<Item>(inDirItemRef, Kind::Item);
    if (!item)
        return EDS_ERR_INVALID_HANDLE;
    if (!item->camera->connected)
        return EDS_ERR_COMM_DISCONNECTED;
    std::memset(outDirItemInfo, 0, sizeof *outDirItemInfo);
    outDirItemInfo->size = item->size;
    outDirItemInfo->isFolder = 0;
    outDirItemInfo->format = 1;  // JPEG
    outDirItemInfo->dateTime = item->dateTime;
    std::snprintf(outDirItemInfo->szFileName, sizeof outDirItemInfo->szFileName, "%s", item->name.c_str());
    return EDS_ERR_OK;
}

EdsError EdsSdkCore::EdsGetDirectoryItemRequestTime(EdsDirectoryItemRef inDirItemRef, EdsInt64* outSteadyMs)
{
    if (!outSteadyMs)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(_core->lock);
    auto item = _core->find<Item>(inDirItemRef, Kind::Item);
    if (!item)
        return EDS_ERR_INVALID_HANDLE;
    *outSteadyMs = std::chrono::duration_cast<std::chrono::milliseconds>(item->requested.time_since_epoch()).count();
    return EDS_ERR_OK;
}

EdsError EdsSdkCore::EdsCreateMemoryStreamFromPointer(void* inUserBuffer, EdsUInt64 inBufferSize,
                                                      EdsStreamRef* outStream)
{
    if (!outStream || (!inUserBuffer && inBufferSize > 0))
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(_core->lock);
    auto stream = std::make_shared<Stream>();
    stream->buffer = static_cast<uint8_t*>(inUserBuffer);
    stream->capacity = inBufferSize;
    *outStream = _core->registerHandle(stream);
    return EDS_ERR_OK;
}

EdsError EdsSdkCore::EdsSetProgressCallback(EdsBaseRef inRef, EdsProgressCallback inProgressCallback,
                                            EdsUInt32 inProgressOption, void* inContext)
{
    if (inProgressOption > kEdsProgressOption_Periodically)
        return EDS_ERR_INVALID_PARAMETER;
    const ProgressRelay relay{inProgressCallback, inContext,
                              inProgressCallback ? inProgressOption : kEdsProgressOption_NoReport};
    std::lock_guard<std::mutex> guard(_core->lock);
    if (auto stream = _core->find<Stream>(inRef, Kind::Stream)) {
        stream->progress = relay;
        return EDS_ERR_OK;
    }
    if (auto item = _core->find<Item>(inRef, Kind::Item)) {
        item->progress = relay;
        return EDS_ERR_OK;
    }
    return EDS_ERR_INVALID_HANDLE;
}

EdsError EdsSdkCore::EdsCreateEvfImageRef(EdsStreamRef inStreamRef, EdsEvfImageRef* outEvfImageRef)
{
    if (!outEvfImageRef)
        return EDS_ERR_INVALID_POINTER;
    std::lock_guard<std::mutex> guard(_core->lock);
    auto stream = _core->find<Stream>(inStreamRef, Kind::Stream);
    if (!stream)
        return EDS_ERR_INVALID_HANDLE;
    auto evf = std::make_shared<EvfImage>();
    evf->stream = stream;
    stream->count += 1;
    *outEvfImageRef = _core->registerHandle(evf);
    return EDS_ERR_OK;
}

int EdsSdkCore::liveObjectCount() const
{
    std::lock_guard<std::mutex> guard(_core->lock);
    return static_cast<int>(_core->handles.size());
}

EdsUInt32 EdsSdkCore::refCount(EdsBaseRef ref) const
{
    std::lock_guard<std::mutex> guard(_core->lock);
    auto it = _core->handles.find(ref);
    return it == _core->handles.end() ? 0 : it->second->count;
}

std::thread::id EdsSdkCore::callbackThreadId() const
{
    return _core->callbackThreadId();
}
