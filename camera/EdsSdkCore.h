// The machinery every implementation of the camera SDK interface (EdsSdk.h) shares, written
// once: the table of counted handles with retain and release, the handler slots of each
// camera and of the camera-added handler with their setters, the one callback thread that
// calls the handlers, the memory streams over the caller's buffer and the relay of transfer
// progress. An implementation derives from EdsSdkCore and adds only what a camera does:
// finding cameras, sessions, properties, commands, picture files and viewfinder frames.
//
// Rules the machinery keeps for every implementation:
// - A handle lives while its count is above 0; the SDK keeps a connected camera's handle
//   even at count 0, so that a camera is the same handle in every list. A list holds each
//   child it lists; a live-view image holds its stream.
// - Handlers are called on the callback thread only, one at a time, in the order their
//   events were posted, never while the SDK's lock is held.
// - Clearing a handler (null function) guarantees that no call of it is taken up once the
//   clearing call has returned. It never waits for a call already taken up: that call may
//   be waiting for the very thread that clears (a handler handing its work to the main
//   thread), and waiting would need that thread to serve other work half-way through
//   whatever it is doing. A handler's context must therefore stay valid for a call that
//   had begun (the camera library's contexts are never freed).
//
// Threads: every SDK call may come from any thread. EdsCore::Core's fields are guarded by
// its lock; a handler is called with the lock released. The callback thread keeps the core
// alive while it runs, so that an implementation may be destroyed from within a handler.
#pragma once

#include "EdsSdk.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace EdsCore {

enum class Kind { List, Camera, Item, Stream, Evf };

// A counted handle. The implementations derive their cameras and items from the kinds below.
struct Handle {
    explicit Handle(Kind k) : kind(k) {}
    virtual ~Handle() = default;
    Kind kind;
    EdsBaseRef ref = nullptr;
    EdsUInt32 count = 1;
};

template <typename Fn>
struct HandlerSlot {
    Fn fn = nullptr;
    void* context = nullptr;
    EdsUInt32 filter = 0;  // the event class ("all") or one event
};

// Where a transfer reports its progress.
struct ProgressRelay {
    EdsProgressCallback callback = nullptr;
    void* context = nullptr;
    EdsUInt32 option = kEdsProgressOption_NoReport;
    // Reports the percentage when the option asks for a report here: at every step when
    // periodic, at the last step only when "done". Answers whether the handler asked to
    // cancel.
    bool report(EdsUInt32 percent, bool last) const;
};

struct Camera : Handle {
    Camera(std::string portName, std::string modelName)
        : Handle(Kind::Camera), port(std::move(portName)), model(std::move(modelName))
    {
        count = 0;
    }
    const std::string port;   // where it is plugged in
    const std::string model;  // its device description
    bool connected = true;
    bool sessionOpen = false;
    bool sessionAtUnplug = false;  // calls on the gone camera answer "disconnected" then
    HandlerSlot<EdsStateEventHandler> state;
    HandlerSlot<EdsPropertyEventHandler> property;
    HandlerSlot<EdsObjectEventHandler> object;
    EdsCapacity capacity{};  // the host's last report
};

struct CameraList : Handle {
    CameraList() : Handle(Kind::List) {}
    std::vector<std::shared_ptr<Camera>> children;
};

// A memory stream over the caller's buffer; it does not own the buffer.
struct Stream : Handle {
    Stream() : Handle(Kind::Stream) {}
    uint8_t* buffer = nullptr;
    EdsUInt64 capacity = 0;
    EdsUInt64 position = 0;
    EdsUInt64 length = 0;
    ProgressRelay progress;
};

// A file on the camera, offered to the host.
struct Item : Handle {
    Item() : Handle(Kind::Item) {}
    // When the camera offered the file (its event came); the making of the item unless an
    // implementation knows better.
    std::chrono::steady_clock::time_point requested = std::chrono::steady_clock::now();
    std::shared_ptr<Camera> camera;
    std::string name;
    EdsUInt64 size = 0;
    EdsUInt32 dateTime = 0;
    EdsUInt64 offset = 0;  // bytes transferred so far
    bool completed = false;
    ProgressRelay progress;
};

struct EvfImage : Handle {
    EvfImage() : Handle(Kind::Evf) {}
    std::shared_ptr<Stream> stream;
};

enum class EventType { Added, State, Property, Object, Task };

struct Event {
    EventType type;
    std::shared_ptr<Camera> camera;  // null for Added
    EdsUInt32 event = 0, a = 0, b = 0;
    // Object: the item the event is about; the SDK's own reference to it is given up once
    // the handler has returned (a handler that keeps the item retains it).
    std::shared_ptr<Item> item;
    // Task: the implementation's own work on the callback thread, called with the lock held
    // (it may release it meanwhile and must hold it again when it returns).
    std::function<void(std::unique_lock<std::mutex>&)> task;
};

// A transfer from an item into a stream, checked and ready.
struct Transfer {
    std::shared_ptr<Item> item;
    std::shared_ptr<Stream> stream;
    ProgressRelay progress;  // the stream's handler, or else the item's
};

class Core {
public:
    explicit Core(uintptr_t handleBase) : _handleBase(handleBase) {}
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    mutable std::mutex lock;
    // Notified when a delivery ends, a camera goes and whenever an implementation's own
    // waiters (under lock) may go on.
    std::condition_variable idleCv;
    std::unordered_map<EdsBaseRef, std::shared_ptr<Handle>> handles;
    std::vector<std::shared_ptr<Camera>> cameras;  // connected, in the order they came
    HandlerSlot<EdsCameraAddedHandler> added;
    std::deque<Event> events;  // waiting for the callback thread

    // ---- handles (lock held) ----
    EdsBaseRef registerHandle(const std::shared_ptr<Handle>& handle);
    template <typename T>
    std::shared_ptr<T> find(EdsBaseRef ref, Kind kind) const
    {
        auto it = handles.find(ref);
        if (it == handles.end() || it->second->kind != kind)
            return nullptr;
        return std::static_pointer_cast<T>(it->second);
    }
    EdsUInt32 release(const std::shared_ptr<Handle>& handle);
    // A camera for a call that needs it connected, and with needSession its session open.
    template <typename C>
    EdsError camera(EdsBaseRef ref, bool needSession, std::shared_ptr<C>& out) const
    {
        out = find<C>(ref, Kind::Camera);
        if (!out)
            return EDS_ERR_INVALID_HANDLE;
        if (!out->connected)
            return gone(*out);
        if (needSession && !out->sessionOpen)
            return EDS_ERR_SESSION_NOT_OPEN;
        return EDS_ERR_OK;
    }
    static EdsError gone(const Camera& camera)
    {
        return camera.sessionAtUnplug ? EDS_ERR_COMM_DISCONNECTED : EDS_ERR_DEVICE_NOT_FOUND;
    }
    // A camera plugged in: its handle, and its place at the end of the connected cameras.
    void plugIn(const std::shared_ptr<Camera>& camera);
    // The camera left: its session ends and 0x301 goes to its state handler. False when it
    // had left already.
    bool unplug(const std::shared_ptr<Camera>& camera);
    // The checks every transfer makes before the first byte; fills the transfer.
    EdsError beginTransfer(EdsDirectoryItemRef itemRef, EdsUInt64 readSize, EdsStreamRef streamRef, Transfer& out);
    // The transferred bytes counted on the item and the stream.
    static void endTransfer(const Transfer& transfer, EdsUInt64 readSize);

    // ---- callback thread ----
    void post(Event event);  // lock held
    void postProperties(const std::shared_ptr<Camera>& camera, const std::vector<std::pair<EdsUInt32, EdsPropertyID>>& changes);
    // Calls the handler the event is for, if one is set (lock held on entry and exit,
    // released for the call).
    void deliver(std::unique_lock<std::mutex>& held, const Event& event);
    // Sets or clears one of a camera's three handlers.
    template <typename Fn>
    EdsError setHandler(EdsCameraRef ref, EdsUInt32 event, EdsUInt32 all, Fn handler, void* context,
                        HandlerSlot<Fn> Camera::*slot)
    {
        if ((event & 0xFFFFFF00u) != all)
            return EDS_ERR_INVALID_PARAMETER;
        std::lock_guard<std::mutex> held(lock);
        auto cam = find<Camera>(ref, Kind::Camera);
        if (!cam)
            return EDS_ERR_INVALID_HANDLE;
        if (!handler) {
            (*cam).*slot = {};
            return EDS_ERR_OK;
        }
        if (!cam->connected)
            return gone(*cam);
        (*cam).*slot = {handler, context, event};
        return EDS_ERR_OK;
    }
    // Every handler cleared and every queued event dropped (the SDK's end; lock held). A
    // handler already running is not waited for. Queued events' items are given up.
    void clearHandlersAndEvents();
    // Tests and benchmarks: waits until every queued event was delivered; false at the
    // deadline or on the callback thread. On the main thread it keeps serving queued
    // main-thread calls (handlers hand their notifications there and wait).
    bool waitForCallbacks(std::chrono::steady_clock::time_point deadline);
    bool onCallbackThread() const { return std::this_thread::get_id() == _threadId; }
    std::thread::id callbackThreadId() const { return _threadId; }

    // Starts the callback thread, which holds the core (self) until it ends.
    static void start(const std::shared_ptr<Core>& self);
    // Ends the callback thread after the event in hand; on the callback thread itself it
    // lets the thread end by itself once its handler returns.
    void stop();

private:
    void run();

    uintptr_t _handleBase;
    uintptr_t _nextHandle = 0;
    std::condition_variable _eventsCv;
    std::thread _thread;
    std::thread::id _threadId;
    bool _stopping = false;
    bool _delivering = false;
};

// True on the Qt main thread.
bool onMainThread();

// Seconds since the epoch of a camera's time read as local time (the time checked by the
// caller); none when the host's clock has no such time.
std::optional<long long> localSecondsForEdsTime(const EdsTime& time);
// The camera's time record of a moment in local time, to the whole second.
EdsTime edsTimeForLocalSeconds(long long seconds);

}  // namespace EdsCore

// The base of every SDK implementation: the SDK calls that are machinery only.
class EdsSdkCore : public EdsSdk {
public:
    ~EdsSdkCore() override;
    EdsSdkCore(const EdsSdkCore&) = delete;
    EdsSdkCore& operator=(const EdsSdkCore&) = delete;

    EdsError EdsSetCameraAddedHandler(EdsCameraAddedHandler inHandler, void* inContext) override;
    EdsError EdsGetCameraList(EdsCameraListRef* outCameraListRef) override;
    EdsError EdsGetChildCount(EdsBaseRef inRef, EdsUInt32* outCount) override;
    EdsError EdsGetChildAtIndex(EdsBaseRef inRef, EdsInt32 inIndex, EdsBaseRef* outRef) override;
    EdsUInt32 EdsRetain(EdsBaseRef inRef) override;
    EdsUInt32 EdsRelease(EdsBaseRef inRef) override;
    EdsError EdsGetDeviceInfo(EdsCameraRef inCameraRef, EdsDeviceInfo* outDeviceInfo) override;
    EdsError EdsSetCameraStateEventHandler(EdsCameraRef inCameraRef, EdsStateEvent inEvent,
                                           EdsStateEventHandler inHandler, void* inContext) override;
    EdsError EdsSetPropertyEventHandler(EdsCameraRef inCameraRef, EdsPropertyEvent inEvent,
                                        EdsPropertyEventHandler inHandler, void* inContext) override;
    EdsError EdsSetObjectEventHandler(EdsCameraRef inCameraRef, EdsObjectEvent inEvent,
                                      EdsObjectEventHandler inHandler, void* inContext) override;
    EdsError EdsSetCapacity(EdsCameraRef inCameraRef, EdsCapacity inCapacity) override;
    EdsError EdsGetDirectoryItemInfo(EdsDirectoryItemRef inDirItemRef,
                                     EdsDirectoryItemInfo* outDirItemInfo) override;
    EdsError EdsGetDirectoryItemRequestTime(EdsDirectoryItemRef inDirItemRef, EdsInt64* outSteadyMs) override;
    EdsError EdsCreateMemoryStreamFromPointer(void* inUserBuffer, EdsUInt64 inBufferSize,
                                              EdsStreamRef* outStream) override;
    EdsError EdsSetProgressCallback(EdsBaseRef inRef, EdsProgressCallback inProgressCallback,
                                    EdsUInt32 inProgressOption, void* inContext) override;
    EdsError EdsCreateEvfImageRef(EdsStreamRef inStreamRef, EdsEvfImageRef* outEvfImageRef) override;

    // Handles alive (lists, cameras, streams, items, live-view images).
    int liveObjectCount() const;
    // The current count of a handle, 0 for an invalid one (does not change it).
    EdsUInt32 refCount(EdsBaseRef ref) const;
    std::thread::id callbackThreadId() const;

protected:
    // handleBase: where this implementation's handle values begin (tells them apart in logs).
    explicit EdsSdkCore(uintptr_t handleBase);
    EdsCore::Core& core() const { return *_core; }
    // Ends the callback thread. An implementation calls it first in its destructor, before
    // anything a queued task of its own might use goes.
    void stopCallbacks();

private:
    std::shared_ptr<EdsCore::Core> _core;
};
