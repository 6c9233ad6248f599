// A scripted SDK for tests that need exact call sequences: every call is recorded, and
// single calls can be made to fail or to block (setWhenCalled holds the calling thread at
// a call). Handles and handler slots are the SDK core's (EdsSdkCore.h); state, object and
// camera-added events are fired on the calling thread, property events are delivered on
// the core's callback thread.
#pragma once

#include "EdsSdkCore.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class FakeEdsSdk : public EdsSdkCore {
public:
    struct SentCommand {
        EdsCameraRef camera;
        EdsCameraCommand command;
        EdsInt32 parameter;
    };
    struct StateHandler {
        EdsStateEventHandler handler = nullptr;
        void* context = nullptr;
    };

    FakeEdsSdk() : EdsSdkCore(0x7C000000) {}
    ~FakeEdsSdk() override { stopCallbacks(); }

    // A new camera handle with a device description; appended to the connected list.
    EdsCameraRef addCamera(const std::string& description)
    {
        auto camera = std::make_shared<EdsCore::Camera>("usb:fake", description);
        std::lock_guard<std::mutex> g(core().lock);
        core().plugIn(camera);
        return camera->ref;
    }
    // The cameras are no longer listed (their handles stay, without a shutdown event).
    void disconnectAll()
    {
        std::lock_guard<std::mutex> g(core().lock);
        core().cameras.clear();
    }
    int refCount(EdsBaseRef ref) { return int(EdsSdkCore::refCount(ref)); }
    StateHandler stateHandler(EdsCameraRef ref)
    {
        std::lock_guard<std::mutex> g(core().lock);
        auto camera = core().find<EdsCore::Camera>(ref, EdsCore::Kind::Camera);
        return camera ? StateHandler{camera->state.fn, camera->state.context} : StateHandler{};
    }
    void* propertyContext(EdsCameraRef ref)
    {
        std::lock_guard<std::mutex> g(core().lock);
        auto camera = core().find<EdsCore::Camera>(ref, EdsCore::Kind::Camera);
        return camera ? camera->property.context : nullptr;
    }
    void* objectContext(EdsCameraRef ref)
    {
        std::lock_guard<std::mutex> g(core().lock);
        auto camera = core().find<EdsCore::Camera>(ref, EdsCore::Kind::Camera);
        return camera ? camera->object.context : nullptr;
    }
    std::vector<std::string> callLog()
    {
        std::lock_guard<std::mutex> g(m);
        return calls;
    }
    int count(const std::string& call)
    {
        std::lock_guard<std::mutex> g(m);
        int n = 0;
        for (const auto& c : calls)
            n += c == call;
        return n;
    }
    std::vector<SentCommand> sentCommands()
    {
        std::lock_guard<std::mutex> g(m);
        return sent;
    }
    // Blocks EdsGetCameraList until openListGate().
    void closeListGate()
    {
        std::lock_guard<std::mutex> g(m);
        listGateClosed = true;
    }
    void openListGate()
    {
        {
            std::lock_guard<std::mutex> g(m);
            listGateClosed = false;
        }
        cv.notify_all();
    }
    bool waitForListCallsBlocked(int n)
    {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, std::chrono::seconds(5), [&] { return blockedInList >= n; });
    }
    // Calls the state handler registered for ref, on the calling thread.
    EdsError fireStateEvent(EdsCameraRef ref, EdsStateEvent event, EdsUInt32 data)
    {
        StateHandler h = stateHandler(ref);
        return h.handler ? h.handler(event, data, h.context) : EDS_ERR_INVALID_HANDLE;
    }

    // Calls the object handler registered for ref (without an item), on the calling thread.
    EdsError fireObjectEvent(EdsCameraRef ref, EdsObjectEvent event)
    {
        EdsObjectEventHandler handler = nullptr;
        void* context = nullptr;
        {
            std::lock_guard<std::mutex> g(core().lock);
            if (auto camera = core().find<EdsCore::Camera>(ref, EdsCore::Kind::Camera)) {
                handler = camera->object.fn;
                context = camera->object.context;
            }
        }
        return handler ? handler(event, nullptr, context) : EDS_ERR_INVALID_HANDLE;
    }
    // Calls the camera-added handler, on the calling thread.
    EdsError fireCameraAdded()
    {
        EdsCameraAddedHandler handler = nullptr;
        void* context = nullptr;
        {
            std::lock_guard<std::mutex> g(core().lock);
            handler = core().added.fn;
            context = core().added.context;
        }
        return handler ? handler(context) : EDS_ERR_INVALID_HANDLE;
    }
    // A property change (0x101) of the camera, delivered on the callback thread.
    void raisePropertyEvent(EdsCameraRef ref, EdsPropertyID id)
    {
        std::lock_guard<std::mutex> g(core().lock);
        if (auto camera = core().find<EdsCore::Camera>(ref, EdsCore::Kind::Camera))
            core().post(EdsCore::Event{EdsCore::EventType::Property, camera, kEdsPropertyEvent_PropertyChanged, id, 0,
                                       nullptr, nullptr});
    }
    // Called with the name of each recorded call (as the call log has it), on the calling
    // thread, before the call does its work; null: nothing.
    void setWhenCalled(std::function<void(const std::string& call)> hook)
    {
        std::lock_guard<std::mutex> g(m);
        whenCalled = std::move(hook);
    }

    // Fault injection.
    std::mutex m;
    std::condition_variable cv;
    std::map<std::string, EdsError> faults;           // call name -> error
    std::map<int, EdsError> childFaults;              // index -> error for EdsGetChildAtIndex
    std::set<int> nullChildren;                       // indices answered with a null ref
    std::map<EdsCameraCommand, EdsError> commandFaults;
    std::set<EdsCameraRef> deviceInfoFaults;
    std::vector<int> visitedIndices;
    std::vector<EdsCapacity> capacities;
    std::set<EdsCameraRef> openSessions;
    std::vector<SentCommand> sent;
    std::vector<std::string> calls;
    EdsBaseRef lastList = nullptr;
    std::function<void(const std::string&)> whenCalled;
    bool listGateClosed = false;
    int blockedInList = 0;

    EdsError EdsInitializeSDK() override { return record("EdsInitializeSDK"); }
    EdsError EdsTerminateSDK() override { return record("EdsTerminateSDK"); }
    EdsError EdsSetCameraAddedHandler(EdsCameraAddedHandler handler, void* context) override
    {
        if (EdsError e = record(handler ? "EdsSetCameraAddedHandler" : "clearCameraAddedHandler"))
            return e;
        return EdsSdkCore::EdsSetCameraAddedHandler(handler, context);
    }
    EdsError EdsGetCameraList(EdsCameraListRef* out) override
    {
        {
            std::unique_lock<std::mutex> l(m);
            calls.push_back("EdsGetCameraList");
            if (listGateClosed) {
                ++blockedInList;
                cv.notify_all();
                cv.wait(l, [&] { return !listGateClosed; });
            }
            if (EdsError e = fault("EdsGetCameraList"))
                return e;
        }
        EdsError e = EdsSdkCore::EdsGetCameraList(out);
        std::lock_guard<std::mutex> g(m);
        lastList = e == EDS_ERR_OK ? *out : nullptr;
        return e;
    }
    EdsError EdsGetChildCount(EdsBaseRef ref, EdsUInt32* out) override
    {
        if (EdsError e = record("EdsGetChildCount"))
            return e;
        return EdsSdkCore::EdsGetChildCount(ref, out);
    }
    EdsError EdsGetChildAtIndex(EdsBaseRef ref, EdsInt32 index, EdsBaseRef* out) override
    {
        {
            std::lock_guard<std::mutex> g(m);
            calls.push_back("EdsGetChildAtIndex");
            visitedIndices.push_back(index);
            if (childFaults.count(index))
                return childFaults[index];
            if (nullChildren.count(index)) {
                *out = nullptr;
                return EDS_ERR_OK;
            }
        }
        return EdsSdkCore::EdsGetChildAtIndex(ref, index, out);
    }
    EdsUInt32 EdsRetain(EdsBaseRef ref) override
    {
        (void)record("EdsRetain");
        return EdsSdkCore::EdsRetain(ref);
    }
    EdsUInt32 EdsRelease(EdsBaseRef ref) override
    {
        bool list;
        {
            std::lock_guard<std::mutex> g(core().lock);
            list = core().find<EdsCore::CameraList>(ref, EdsCore::Kind::List) != nullptr;
        }
        {
            std::lock_guard<std::mutex> g(m);
            calls.push_back(list ? "EdsRelease(list)" : "EdsRelease");
        }
        return EdsSdkCore::EdsRelease(ref);
    }
    EdsError EdsGetDeviceInfo(EdsCameraRef ref, EdsDeviceInfo* info) override
    {
        {
            std::lock_guard<std::mutex> g(m);
            calls.push_back("EdsGetDeviceInfo");
            if (deviceInfoFaults.count(ref))
                return EDS_ERR_DEVICE_NOT_FOUND;
        }
        EdsError e = EdsSdkCore::EdsGetDeviceInfo(ref, info);
        if (e == EDS_ERR_OK)
            info->deviceSubType = 7;
        return e;
    }
    EdsError EdsOpenSession(EdsCameraRef ref) override
    {
        std::lock_guard<std::mutex> g(m);
        calls.push_back("EdsOpenSession");
        if (EdsError e = fault("EdsOpenSession"))
            return e;
        openSessions.insert(ref);
        return EDS_ERR_OK;
    }
    EdsError EdsCloseSession(EdsCameraRef ref) override
    {
        std::lock_guard<std::mutex> g(m);
        calls.push_back("EdsCloseSession");
        if (EdsError e = fault("EdsCloseSession"))
            return e;
        openSessions.erase(ref);
        return EDS_ERR_OK;
    }
    EdsError EdsSetCameraStateEventHandler(EdsCameraRef ref, EdsStateEvent event, EdsStateEventHandler handler,
                                           void* context) override
    {
        (void)record(handler ? "setStateHandler" : "clearStateHandler");
        return EdsSdkCore::EdsSetCameraStateEventHandler(ref, event, handler, context);
    }
    EdsError EdsSetPropertyEventHandler(EdsCameraRef ref, EdsPropertyEvent event, EdsPropertyEventHandler handler,
                                        void* context) override
    {
        (void)record(context ? "setPropertyHandler" : "clearPropertyHandler");
        return EdsSdkCore::EdsSetPropertyEventHandler(ref, event, handler, context);
    }
    EdsError EdsSetObjectEventHandler(EdsCameraRef ref, EdsObjectEvent event, EdsObjectEventHandler handler,
                                      void* context) override
    {
        (void)record(context ? "setObjectHandler" : "clearObjectHandler");
        return EdsSdkCore::EdsSetObjectEventHandler(ref, event, handler, context);
    }
    EdsError EdsSendCommand(EdsCameraRef ref, EdsCameraCommand command, EdsInt32 parameter) override
    {
        std::lock_guard<std::mutex> g(m);
        calls.push_back("EdsSendCommand");
        sent.push_back(SentCommand{ref, command, parameter});
        cv.notify_all();
        if (commandFaults.count(command))
            return commandFaults[command];
        return EDS_ERR_OK;
    }
    EdsError EdsGetPropertySize(EdsBaseRef, EdsPropertyID, EdsInt32, EdsDataType*, EdsUInt32*) override
    {
        return record("EdsGetPropertySize", EDS_ERR_DEVICEPROP_NOT_SUPPORTED);
    }
    EdsError EdsGetPropertyData(EdsBaseRef, EdsPropertyID, EdsInt32, EdsUInt32, void*) override
    {
        return record("EdsGetPropertyData", EDS_ERR_DEVICEPROP_NOT_SUPPORTED);
    }
    EdsError EdsSetPropertyData(EdsBaseRef, EdsPropertyID, EdsInt32, EdsUInt32, const void*) override
    {
        return record("EdsSetPropertyData");
    }
    EdsError EdsGetPropertyDesc(EdsBaseRef, EdsPropertyID, EdsPropertyDesc*) override
    {
        return record("EdsGetPropertyDesc", EDS_ERR_DEVICEPROP_NOT_SUPPORTED);
    }
    EdsError EdsSetCapacity(EdsCameraRef, EdsCapacity capacity) override
    {
        std::lock_guard<std::mutex> g(m);
        calls.push_back("EdsSetCapacity");
        capacities.push_back(capacity);
        return fault("EdsSetCapacity");
    }
    EdsError EdsGetDirectoryItemInfo(EdsDirectoryItemRef, EdsDirectoryItemInfo*) override
    {
        return record("EdsGetDirectoryItemInfo", EDS_ERR_UNIMPLEMENTED);
    }
    EdsError EdsCreateMemoryStreamFromPointer(void*, EdsUInt64, EdsStreamRef*) override
    {
        return record("EdsCreateMemoryStreamFromPointer", EDS_ERR_UNIMPLEMENTED);
    }
    EdsError EdsSetProgressCallback(EdsBaseRef, EdsProgressCallback, EdsUInt32, void*) override
    {
        return record("EdsSetProgressCallback", EDS_ERR_UNIMPLEMENTED);
    }
    EdsError EdsDownload(EdsDirectoryItemRef, EdsUInt64, EdsStreamRef) override
    {
        return record("EdsDownload", EDS_ERR_UNIMPLEMENTED);
    }
    EdsError EdsDownloadComplete(EdsDirectoryItemRef) override { return record("EdsDownloadComplete"); }
    EdsError EdsCreateEvfImageRef(EdsStreamRef, EdsEvfImageRef*) override
    {
        return record("EdsCreateEvfImageRef", EDS_ERR_UNIMPLEMENTED);
    }
    EdsError EdsDownloadEvfImage(EdsCameraRef, EdsEvfImageRef) override
    {
        return record("EdsDownloadEvfImage", EDS_ERR_UNIMPLEMENTED);
    }

private:
    EdsError fault(const std::string& call)
    {
        auto it = faults.find(call);
        return it == faults.end() ? EDS_ERR_OK : it->second;
    }
    EdsError record(const std::string& call, EdsError otherwise = EDS_ERR_OK)
    {
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard<std::mutex> g(m);
            calls.push_back(call);
            hook = whenCalled;
        }
        if (hook)
            hook(call);
        std::lock_guard<std::mutex> g(m);
        if (EdsError e = fault(call))
            return e;
        return otherwise;
    }
};
