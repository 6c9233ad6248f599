// A scripted SDK for tests that need exact call sequences and bytes: every call is recorded
// by name, properties hold the raw bytes and allowed codes set for them, every write is kept,
// and any recorded call can be made to fail (fail()) or held (setWhenCalled runs a hook on the
// calling thread first). Handles and handler slots are the SDK core's (EdsSdkCore.h).
//
// Threads: any; state, object and camera-added events are fired on the calling thread,
// property events are delivered on the core's callback thread.
#pragma once

#include "EdsSdkCore.h"

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <cstring>
#include <string>
#include <vector>

class FakeEdsSdk : public EdsSdkCore {
public:
    struct SentCommand {
        EdsCameraCommand command;
        EdsInt32 parameter;
    };
    struct Raw {  // a property's value
        EdsDataType type = kEdsDataType_UInt32;
        std::vector<uint8_t> bytes;
        int reportedSize = -1;  // -1: the byte count
    };
    struct Write {
        EdsBaseRef ref;
        EdsPropertyID id;
        EdsInt32 parameter;
        std::vector<uint8_t> bytes;
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
    // A camera's handler slots as they are now (empty for a handle gone).
    EdsCore::Camera handlers(EdsCameraRef ref)
    {
        std::lock_guard<std::mutex> g(core().lock);
        auto camera = core().find<EdsCore::Camera>(ref, EdsCore::Kind::Camera);
        return camera ? *camera : EdsCore::Camera("", "");
    }
    EdsError fireStateEvent(EdsCameraRef ref, EdsStateEvent event, EdsUInt32 data)
    {
        auto h = handlers(ref).state;
        return h.fn ? h.fn(event, data, h.context) : EDS_ERR_INVALID_HANDLE;
    }
    EdsError fireCameraAdded()
    {
        std::unique_lock<std::mutex> g(core().lock);
        auto h = core().added;
        g.unlock();
        return h.fn ? h.fn(h.context) : EDS_ERR_INVALID_HANDLE;
    }
    // A property change of the camera, delivered on the callback thread.
    void raisePropertyEvent(EdsCameraRef ref, EdsPropertyID id)
    {
        std::lock_guard<std::mutex> g(core().lock);
        if (auto camera = core().find<EdsCore::Camera>(ref, EdsCore::Kind::Camera))
            core().post({EdsCore::EventType::Property, camera, kEdsPropertyEvent_PropertyChanged, id, 0, nullptr, nullptr});
    }

    // f() under the lock of everything below.
    template <class F>
    auto locked(F f)
    {
        std::lock_guard<std::mutex> g(m);
        return f();
    }
    std::vector<std::string> callLog() { return locked([&] { return calls; }); }
    int count(const std::string& call) { return locked([&] { return int(std::count(calls.begin(), calls.end(), call)); }); }
    std::vector<SentCommand> sentCommands() { return locked([&] { return sent; }); }
    void setRaw(EdsPropertyID id, EdsDataType type, std::vector<uint8_t> bytes, int reportedSize = -1)
    {
        locked([&] { return (props[id] = Raw{type, std::move(bytes), reportedSize}, 0); });
    }
    // The property's allowed codes, of which the camera may claim another count.
    void setDesc(EdsPropertyID id, const std::vector<EdsInt32>& codes, std::optional<EdsInt32> claimed = {})
    {
        EdsPropertyDesc desc{};
        desc.numElements = claimed.value_or(EdsInt32(codes.size()));
        std::copy_n(codes.begin(), std::min<size_t>(codes.size(), 128), desc.propDesc);
        locked([&] { return (descs[id] = desc, 0); });
    }
    // The named call answers e from now on (EDS_ERR_OK: works again).
    void fail(const std::string& call, EdsError e) { locked([&] { return faults[call] = e; }); }
    void setWhenCalled(std::function<void(const std::string& call)> hook) { locked([&] { return (whenCalled = hook, 0); }); }

    std::mutex m;
    std::map<std::string, EdsError> faults;                    // call name -> error
    std::map<int, EdsError> childFaults;                       // index -> error (EDS_ERR_OK: a null ref)
    std::vector<int> visitedIndices;
    std::vector<EdsCapacity> capacities;
    std::map<EdsPropertyID, Raw> props;
    std::map<EdsPropertyID, EdsPropertyDesc> descs;
    std::vector<Write> writes;
    std::vector<SentCommand> sent;
    std::vector<std::string> calls;
    std::function<void(const std::string&)> whenCalled;

    EdsError EdsInitializeSDK() override { return record("EdsInitializeSDK"); }
    EdsError EdsTerminateSDK() override { return record("EdsTerminateSDK"); }
    EdsError EdsSetCameraAddedHandler(EdsCameraAddedHandler handler, void* context) override
    {
        EdsError e = record(handler ? "EdsSetCameraAddedHandler" : "clearCameraAddedHandler");
        return e ? e : EdsSdkCore::EdsSetCameraAddedHandler(handler, context);
    }
    EdsError EdsGetCameraList(EdsCameraListRef* out) override
    {
        EdsError e = record("EdsGetCameraList");
        return e ? e : EdsSdkCore::EdsGetCameraList(out);
    }
    EdsError EdsGetChildCount(EdsBaseRef ref, EdsUInt32* out) override
    {
        EdsError e = record("EdsGetChildCount");
        return e ? e : EdsSdkCore::EdsGetChildCount(ref, out);
    }
    EdsError EdsGetChildAtIndex(EdsBaseRef ref, EdsInt32 index, EdsBaseRef* out) override
    {
        std::unique_lock<std::mutex> l(m);
        visitedIndices.push_back(index);
        if (!childFaults.count(index))
            return l.unlock(), EdsSdkCore::EdsGetChildAtIndex(ref, index, out);
        *out = nullptr;
        return childFaults[index];
    }
    EdsUInt32 EdsRetain(EdsBaseRef ref) override { return record("EdsRetain"), EdsSdkCore::EdsRetain(ref); }
    EdsUInt32 EdsRelease(EdsBaseRef ref) override
    {
        std::unique_lock<std::mutex> g(core().lock);
        const bool list = core().find<EdsCore::CameraList>(ref, EdsCore::Kind::List) != nullptr;
        g.unlock();
        return record(list ? "EdsRelease(list)" : "EdsRelease"), EdsSdkCore::EdsRelease(ref);
    }
    EdsError EdsGetDeviceInfo(EdsCameraRef ref, EdsDeviceInfo* info) override
    {
        EdsError e = record("EdsGetDeviceInfo");
        return e ? e : EdsSdkCore::EdsGetDeviceInfo(ref, info);
    }
    EdsError EdsOpenSession(EdsCameraRef) override { return record("EdsOpenSession"); }
    EdsError EdsCloseSession(EdsCameraRef) override { return record("EdsCloseSession"); }
    EdsError EdsSetCameraStateEventHandler(EdsCameraRef ref, EdsStateEvent event, EdsStateEventHandler handler,
                                           void* context) override
    {
        record(handler ? "setStateHandler" : "clearStateHandler");
        return EdsSdkCore::EdsSetCameraStateEventHandler(ref, event, handler, context);
    }
    EdsError EdsSetPropertyEventHandler(EdsCameraRef ref, EdsPropertyEvent event, EdsPropertyEventHandler handler,
                                        void* context) override
    {
        record(context ? "setPropertyHandler" : "clearPropertyHandler");
        return EdsSdkCore::EdsSetPropertyEventHandler(ref, event, handler, context);
    }
    EdsError EdsSetObjectEventHandler(EdsCameraRef ref, EdsObjectEvent event, EdsObjectEventHandler handler,
                                      void* context) override
    {
        record(context ? "setObjectHandler" : "clearObjectHandler");
        return EdsSdkCore::EdsSetObjectEventHandler(ref, event, handler, context);
    }
    EdsError EdsSendCommand(EdsCameraRef, EdsCameraCommand command, EdsInt32 parameter) override
    {
        locked([&] { return (sent.push_back(SentCommand{command, parameter}), 0); });
        return record("EdsSendCommand");
    }
    EdsError EdsGetPropertySize(EdsBaseRef, EdsPropertyID id, EdsInt32, EdsDataType* type, EdsUInt32* size) override
    {
        if (EdsError e = record("EdsGetPropertySize"))
            return e;
        std::lock_guard<std::mutex> g(m);
        if (!props.count(id))
            return EDS_ERR_PROPERTIES_UNAVAILABLE;
        *type = props[id].type;
        *size = EdsUInt32(props[id].reportedSize >= 0 ? props[id].reportedSize : int(props[id].bytes.size()));
        return EDS_ERR_OK;
    }
    EdsError EdsGetPropertyData(EdsBaseRef, EdsPropertyID id, EdsInt32, EdsUInt32 size, void* out) override
    {
        if (EdsError e = record("EdsGetPropertyData"))
            return e;
        std::lock_guard<std::mutex> g(m);
        const std::vector<uint8_t>& bytes = props[id].bytes;  // a property never scripted has none
        if (!bytes.empty())
            std::memcpy(out, bytes.data(), std::min<size_t>(size, bytes.size()));
        return EDS_ERR_OK;
    }
    EdsError EdsSetPropertyData(EdsBaseRef ref, EdsPropertyID id, EdsInt32 parameter, EdsUInt32 size, const void* data) override
    {
        const auto* bytes = static_cast<const uint8_t*>(data);
        locked([&] { return (writes.push_back({ref, id, parameter, std::vector<uint8_t>(bytes, bytes + size)}), 0); });
        return record("EdsSetPropertyData");
    }
    EdsError EdsGetPropertyDesc(EdsBaseRef, EdsPropertyID id, EdsPropertyDesc* out) override
    {
        if (EdsError e = record("EdsGetPropertyDesc"))
            return e;
        std::lock_guard<std::mutex> g(m);
        return descs.count(id) ? (*out = descs[id], EDS_ERR_OK) : EDS_ERR_PROPERTIES_UNAVAILABLE;
    }
    EdsError EdsSetCapacity(EdsCameraRef, EdsCapacity capacity) override
    {
        locked([&] { return (capacities.push_back(capacity), 0); });
        return record("EdsSetCapacity");
    }
    EdsError EdsGetDirectoryItemInfo(EdsDirectoryItemRef, EdsDirectoryItemInfo*) override
    {
        return record("EdsGetDirectoryItemInfo", EDS_ERR_UNIMPLEMENTED);
    }
    EdsError EdsDownload(EdsDirectoryItemRef, EdsUInt64, EdsStreamRef) override { return EDS_ERR_UNIMPLEMENTED; }
    EdsError EdsDownloadComplete(EdsDirectoryItemRef) override { return EDS_ERR_UNIMPLEMENTED; }
    EdsError EdsDownloadEvfImage(EdsCameraRef, EdsEvfImageRef) override { return EDS_ERR_UNIMPLEMENTED; }

protected:
    // Records the call, runs the hook, then answers the call's fault or `otherwise`.
    EdsError record(const std::string& call, EdsError otherwise = EDS_ERR_OK)
    {
        auto hook = locked([&] { return (calls.push_back(call), whenCalled); });
        if (hook)
            hook(call);
        return locked([&] { return faults.count(call) && faults[call] ? faults[call] : otherwise; });
    }
};
