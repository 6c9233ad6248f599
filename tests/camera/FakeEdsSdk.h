// A scripted SDK for tests that need exact call sequences: cameras are plain handles,
// every call is recorded, and single calls can be made to fail or to block.
#pragma once

#include "EdsSdk.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class FakeEdsSdk : public EdsSdk {
public:
    struct Handle {
        int id;
    };
    struct SentCommand {
        EdsCameraRef camera;
        EdsCameraCommand command;
        EdsInt32 parameter;
    };
    struct StateHandler {
        EdsStateEventHandler handler = nullptr;
        void* context = nullptr;
    };

    ~FakeEdsSdk() override
    {
        for (auto* h : _allHandles)
            delete h;
    }

    // A new camera handle with a device description; appended to the connected list.
    EdsCameraRef addCamera(const std::string& description)
    {
        std::lock_guard<std::mutex> g(m);
        EdsCameraRef ref = newHandle();
        descriptions[ref] = description;
        connected.push_back(ref);
        return ref;
    }
    void disconnectAll()
    {
        std::lock_guard<std::mutex> g(m);
        connected.clear();
    }
    int refCount(EdsBaseRef ref)
    {
        std::lock_guard<std::mutex> g(m);
        return refs[ref];
    }
    StateHandler stateHandler(EdsCameraRef ref)
    {
        std::lock_guard<std::mutex> g(m);
        return stateHandlers[ref];
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
    std::map<EdsBaseRef, int> refs;
    std::map<EdsCameraRef, std::string> descriptions;
    std::vector<EdsCameraRef> connected;
    std::map<EdsCameraRef, StateHandler> stateHandlers;
    std::map<EdsCameraRef, void*> propertyContexts, objectContexts;
    std::set<EdsCameraRef> openSessions;
    std::vector<SentCommand> sent;
    std::vector<std::string> calls;
    EdsBaseRef lastList = nullptr;
    bool listGateClosed = false;
    int blockedInList = 0;

    EdsError EdsInitializeSDK() override { return record("EdsInitializeSDK"); }
    EdsError EdsTerminateSDK() override { return record("EdsTerminateSDK"); }
    EdsError EdsSetCameraAddedHandler(EdsCameraAddedHandler, void*) override
    {
        return record("EdsSetCameraAddedHandler");
    }
    EdsError EdsGetCameraList(EdsCameraListRef* out) override
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
        EdsBaseRef list = newHandle();
        refs[list] = 1;
        lastList = list;
        *out = list;
        return EDS_ERR_OK;
    }
    EdsError EdsGetChildCount(EdsBaseRef, EdsUInt32* out) override
    {
        std::lock_guard<std::mutex> g(m);
        calls.push_back("EdsGetChildCount");
        if (EdsError e = fault("EdsGetChildCount"))
            return e;
        *out = EdsUInt32(connected.size());
        return EDS_ERR_OK;
    }
    EdsError EdsGetChildAtIndex(EdsBaseRef, EdsInt32 index, EdsBaseRef* out) override
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
        if (index < 0 || size_t(index) >= connected.size())
            return EDS_ERR_INVALID_INDEX;
        *out = connected[size_t(index)];
        ++refs[*out];
        return EDS_ERR_OK;
    }
    EdsUInt32 EdsRetain(EdsBaseRef ref) override
    {
        std::lock_guard<std::mutex> g(m);
        calls.push_back("EdsRetain");
        return EdsUInt32(++refs[ref]);
    }
    EdsUInt32 EdsRelease(EdsBaseRef ref) override
    {
        std::lock_guard<std::mutex> g(m);
        calls.push_back(ref == lastList ? "EdsRelease(list)" : "EdsRelease");
        return EdsUInt32(--refs[ref]);
    }
    EdsError EdsGetDeviceInfo(EdsCameraRef ref, EdsDeviceInfo* info) override
    {
        std::lock_guard<std::mutex> g(m);
        calls.push_back("EdsGetDeviceInfo");
        if (deviceInfoFaults.count(ref))
            return EDS_ERR_DEVICE_NOT_FOUND;
        std::memset(info, 0, sizeof(*info));
        std::strncpy(info->szDeviceDescription, descriptions[ref].c_str(), sizeof(info->szDeviceDescription) - 1);
        info->deviceSubType = 7;
        return EDS_ERR_OK;
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
    EdsError EdsSetCameraStateEventHandler(EdsCameraRef ref, EdsStateEvent, EdsStateEventHandler handler,
                                           void* context) override
    {
        std::lock_guard<std::mutex> g(m);
        calls.push_back(handler ? "setStateHandler" : "clearStateHandler");
        stateHandlers[ref] = StateHandler{handler, context};
        return EDS_ERR_OK;
    }
    EdsError EdsSetPropertyEventHandler(EdsCameraRef ref, EdsPropertyEvent, EdsPropertyEventHandler,
                                        void* context) override
    {
        std::lock_guard<std::mutex> g(m);
        calls.push_back(context ? "setPropertyHandler" : "clearPropertyHandler");
        propertyContexts[ref] = context;
        return EDS_ERR_OK;
    }
    EdsError EdsSetObjectEventHandler(EdsCameraRef ref, EdsObjectEvent, EdsObjectEventHandler, void* context) override
    {
        std::lock_guard<std::mutex> g(m);
        calls.push_back(context ? "setObjectHandler" : "clearObjectHandler");
        objectContexts[ref] = context;
        return EDS_ERR_OK;
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
    EdsBaseRef newHandle()
    {
        auto* h = new Handle{int(_allHandles.size())};
        _allHandles.push_back(h);
        return reinterpret_cast<EdsBaseRef>(h);
    }
    EdsError fault(const std::string& call)
    {
        auto it = faults.find(call);
        return it == faults.end() ? EDS_ERR_OK : it->second;
    }
    EdsError record(const std::string& call, EdsError otherwise = EDS_ERR_OK)
    {
        std::lock_guard<std::mutex> g(m);
        calls.push_back(call);
        if (EdsError e = fault(call))
            return e;
        return otherwise;
    }
    std::vector<Handle*> _allHandles;
};
