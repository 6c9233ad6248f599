#include "SimCameraSdkImpl.h"

#include "SNP_Log.h"

#include <algorithm>
#include <cstring>
#include <random>

using namespace SimDetail;

namespace {

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

// The picture file a capture makes: the base picture with its EXIF data, padded, damaged
// when a fault asks for it.
std::shared_ptr<std::vector<uint8_t>> makePictureFile(const Capture& c)
{
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
    return file;
}

// The raw file of a shot: a few kilobytes that start like a camera's raw file (TIFF, "CR"),
// no picture anything here decodes.
std::shared_ptr<std::vector<uint8_t>> makeRawFile(const Capture& c)
{
    auto file = std::make_shared<std::vector<uint8_t>>(8192);
    const uint8_t head[] = {'I', 'I', 0x2A, 0x00, 0x10, 0x00, 0x00, 0x00, 'C', 'R', 0x02, 0x00};
    std::copy(std::begin(head), std::end(head), file->begin());
    for (size_t i = sizeof head; i < file->size(); ++i)
        (*file)[i] = static_cast<uint8_t>(i * 13 + c.dateTime);
    return file;
}

// On the callback thread (lock held on entry and exit): the camera writes the shot's files
// and asks the host to take each (or files them on its card), the raw file first. Both
// were offered at the moment of the shot, however long the first one's transfer takes.
// Uses the core and the camera only, so that it may outlive the SDK object when a handler
// destroys it.
void deliverCapture(Core& core, std::unique_lock<std::mutex>& held, const std::shared_ptr<Cam>& cam,
                    const Capture& c)
{
    held.unlock();
    std::vector<std::pair<std::shared_ptr<std::vector<uint8_t>>, std::string>> files;
    if (c.raw)
        files.emplace_back(makeRawFile(c), c.name.substr(0, c.name.rfind('.')) + ".CR2");
    if (c.jpeg)
        files.emplace_back(makePictureFile(c), c.name);
    held.lock();
    cam->captureBusy = false;
    if (!cam->connected || files.back().first->empty())
        return;
    cam->pictures += 1;
    cam->lastPicture = files.back().first;
    std::vector<std::shared_ptr<PictureFile>> items;
    for (const auto& [file, name] : files) {
        auto item = std::make_shared<PictureFile>();
        item->camera = cam;
        item->data = file;
        item->size = file->size();
        item->name = name;
        item->dateTime = c.dateTime;
        item->requested = c.requested;
        core.registerHandle(item);
        items.push_back(item);
    }
    for (const auto& item : items) {
        if (cam->connected) {
            cam->captureBusy = true;  // until the host has answered the request
            core.deliver(held, Event{EventType::Object, cam,
                                     c.toHost ? kEdsObjectEvent_DirItemRequestTransfer : kEdsObjectEvent_DirItemCreated,
                                     0, 0, item, nullptr});
            cam->captureBusy = false;
        }
        core.release(item);  // the SDK's own reference; a handler that wants the item longer retains it
    }
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

EdsError SimCameraSdk::Impl::takePicture(const std::shared_ptr<Cam>& cam, std::optional<EdsError> injected)
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
    c->requested = std::chrono::steady_clock::now();
    // Image quality: the main image's type in bits 20-23, a second image's in bits 4-7
    // (1 JPEG; 2, 4 and 6 raw).
    const EdsUInt32 quality = cam->body.number(kPropImageQuality);
    const EdsUInt32 mainType = (quality >> 20) & 0xF;
    c->raw = mainType == 2 || mainType == 4 || mainType == 6;
    c->jpeg = !c->raw || ((quality >> 4) & 0xF) == 1;
    EdsUInt32 saveTo = cam->body.number(kPropSaveTo);
    c->toHost = (saveTo & kEdsSaveTo_Host) != 0;
    if (saveTo & kEdsSaveTo_Camera) {
        SimPropertyEvents ev;
        EdsUInt32 shots = cam->body.number(kPropAvailableShots);
        if (shots > 0 && cam->body.force(kPropAvailableShots, shots - 1, ev))
            core.postProperties(cam, ev);
    }
    Core* corePtr = &core;
    core.post(Event{EventType::Task, cam, 0, 0, 0, nullptr,
                    [corePtr, cam, c](std::unique_lock<std::mutex>& held) { deliverCapture(*corePtr, held, cam, *c); }});
    return EDS_ERR_OK;
}

// =======================================================================================

SimCameraSdk::SimCameraSdk(bool connectDefaultCamera) : EdsSdkCore(0x5A000000), d(std::make_unique<Impl>(core()))
{
    if (connectDefaultCamera) {
        std::lock_guard<std::mutex> guard(d->m);
        core().plugIn(std::make_shared<Cam>(d->nextCameraId++, kDefaultModel));
    }
}

SimCameraSdk::~SimCameraSdk()
{
    {
        std::lock_guard<std::mutex> guard(d->m);
        d->stallRelease += 1;  // a stalled download ends
        d->core.idleCv.notify_all();
    }
    stopCallbacks();
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
    for (const auto& [ref, handle] : d->core.handles)
        if (handle->kind == Kind::Camera)
            static_cast<Cam*>(handle.get())->sessionOpen = false;
    for (const Event& e : d->core.events)
        if (e.type == EventType::Task && e.camera)
            asCam(e.camera)->captureBusy = false;  // a capture that will not come
    d->core.clearHandlersAndEvents();
    return EDS_ERR_OK;
}

EdsError SimCameraSdk::EdsSetCameraAddedHandler(EdsCameraAddedHandler inHandler, void* inContext)
{
    return d->answer(SimOp::SetCameraAddedHandler,
                     [&] { return EdsSdkCore::EdsSetCameraAddedHandler(inHandler, inContext); });
}

EdsError SimCameraSdk::EdsGetCameraList(EdsCameraListRef* outCameraListRef)
{
    return d->answer(SimOp::GetCameraList, [&] { return EdsSdkCore::EdsGetCameraList(outCameraListRef); });
}

EdsError SimCameraSdk::EdsGetChildCount(EdsBaseRef inRef, EdsUInt32* outCount)
{
    return d->answer(SimOp::GetChildCount, [&] { return EdsSdkCore::EdsGetChildCount(inRef, outCount); });
}

EdsError SimCameraSdk::EdsGetChildAtIndex(EdsBaseRef inRef, EdsInt32 inIndex, EdsBaseRef* outRef)
{
    return d->answer(SimOp::GetChildAtIndex, [&] { return EdsSdkCore::EdsGetChildAtIndex(inRef, inIndex, outRef); });
}

EdsUInt32 SimCameraSdk::EdsRetain(EdsBaseRef inRef)
{
    d->calls[static_cast<size_t>(SimOp::Retain)]++;
    return EdsSdkCore::EdsRetain(inRef);
}

EdsUInt32 SimCameraSdk::EdsRelease(EdsBaseRef inRef)
{
    d->calls[static_cast<size_t>(SimOp::Release)]++;
    return EdsSdkCore::EdsRelease(inRef);
}

// ---- camera and session ----

EdsError SimCameraSdk::EdsGetDeviceInfo(EdsCameraRef inCameraRef, EdsDeviceInfo* outDeviceInfo)
{
    return d->answer(SimOp::GetDeviceInfo, [&] { return EdsSdkCore::EdsGetDeviceInfo(inCameraRef, outDeviceInfo); });
}

EdsError SimCameraSdk::EdsOpenSession(EdsCameraRef inCameraRef)
{
    if (auto f = d->fault(SimOp::OpenSession))
        return *f;
    std::lock_guard<std::mutex> guard(d->m);
    std::shared_ptr<Cam> cam;
    if (EdsError e = d->core.camera(inCameraRef, false, cam))
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
    if (EdsError e = d->core.camera(inCameraRef, false, cam))
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
        d->core.postProperties(cam, ev);
    }
    return EDS_ERR_OK;
}

// ---- handlers ----

EdsError SimCameraSdk::EdsSetCameraStateEventHandler(EdsCameraRef inCameraRef, EdsStateEvent inEvent,
                                                     EdsStateEventHandler inHandler, void* inContext)
{
    return d->answer(SimOp::SetStateEventHandler, [&] {
        return EdsSdkCore::EdsSetCameraStateEventHandler(inCameraRef, inEvent, inHandler, inContext);
    });
}

EdsError SimCameraSdk::EdsSetPropertyEventHandler(EdsCameraRef inCameraRef, EdsPropertyEvent inEvent,
                                                  EdsPropertyEventHandler inHandler, void* inContext)
{
    return d->answer(SimOp::SetPropertyEventHandler, [&] {
        return EdsSdkCore::EdsSetPropertyEventHandler(inCameraRef, inEvent, inHandler, inContext);
    });
}

EdsError SimCameraSdk::EdsSetObjectEventHandler(EdsCameraRef inCameraRef, EdsObjectEvent inEvent,
                                                EdsObjectEventHandler inHandler, void* inContext)
{
    return d->answer(SimOp::SetObjectEventHandler, [&] {
        return EdsSdkCore::EdsSetObjectEventHandler(inCameraRef, inEvent, inHandler, inContext);
    });
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
    if (EdsError e = d->core.camera(inCameraRef, true, cam))
        return e;
    if (capturing) {
        lock.unlock();
        captureFault = d->fault(SimOp::TakePicture);
        lock.lock();
        if (!cam->connected)
            return Core::gone(*cam);
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
    if (EdsError e = d->core.camera(inRef, true, cam))
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
    if (EdsError e = d->core.camera(inRef, true, cam))
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
    if (EdsError e = d->core.camera(inRef, true, cam))
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
    d->core.postProperties(cam, ev);
    return EDS_ERR_OK;
}

EdsError SimCameraSdk::EdsGetPropertyDesc(EdsBaseRef inRef, EdsPropertyID inPropertyID,
                                          EdsPropertyDesc* outPropertyDesc)
{
    if (auto f = d->fault(SimOp::GetPropertyDesc, inPropertyID))
        return *f;
    std::lock_guard<std::mutex> guard(d->m);
    std::shared_ptr<Cam> cam;
    if (EdsError e = d->core.camera(inRef, true, cam))
        return e;
    return cam->body.desc(inPropertyID, outPropertyDesc);
}

EdsError SimCameraSdk::EdsSetCapacity(EdsCameraRef inCameraRef, EdsCapacity inCapacity)
{
    return d->answer(SimOp::SetCapacity, [&] { return EdsSdkCore::EdsSetCapacity(inCameraRef, inCapacity); });
}

// ---- download ----

EdsError SimCameraSdk::EdsGetDirectoryItemInfo(EdsDirectoryItemRef inDirItemRef, EdsDirectoryItemInfo* outDirItemInfo)
{
    return d->answer(SimOp::GetDirectoryItemInfo,
                     [&] { return EdsSdkCore::EdsGetDirectoryItemInfo(inDirItemRef, outDirItemInfo); });
}

EdsError SimCameraSdk::EdsCreateMemoryStreamFromPointer(void* inUserBuffer, EdsUInt64 inBufferSize,
                                                        EdsStreamRef* outStream)
{
    return d->answer(SimOp::CreateMemoryStream,
                     [&] { return EdsSdkCore::EdsCreateMemoryStreamFromPointer(inUserBuffer, inBufferSize, outStream); });
}

EdsError SimCameraSdk::EdsSetProgressCallback(EdsBaseRef inRef, EdsProgressCallback inProgressCallback,
                                              EdsUInt32 inProgressOption, void* inContext)
{
    return d->answer(SimOp::SetProgressCallback, [&] {
        return EdsSdkCore::EdsSetProgressCallback(inRef, inProgressCallback, inProgressOption, inContext);
    });
}

// The bytes go over in ten steps, at the transfer rate set, with a progress report after
// each; an unplug or a stall set for the next download happens on the way.
EdsError SimCameraSdk::EdsDownload(EdsDirectoryItemRef inDirItemRef, EdsUInt64 inReadSize, EdsStreamRef outStream)
{
    if (auto f = d->fault(SimOp::Download))
        return *f;
    std::unique_lock<std::mutex> lock(d->m);
    Transfer transfer;
    if (EdsError e = d->core.beginTransfer(inDirItemRef, inReadSize, outStream, transfer))
        return e;
    std::shared_ptr<Cam> cam = asCam(transfer.item->camera);
    const int unplugAt = d->unplugAtPercent;
    const int stallAt = d->stallAtPercent;
    d->unplugAtPercent = -1;
    d->stallAtPercent = -1;
    const EdsUInt64 rate = d->transferRate;
    std::shared_ptr<const std::vector<uint8_t>> data = std::static_pointer_cast<PictureFile>(transfer.item)->data;
    const EdsUInt64 offset = transfer.item->offset;
    uint8_t* target = transfer.stream->buffer + transfer.stream->position;
    lock.unlock();

    EdsUInt64 done = 0;
    for (int step = 1; step <= 10; ++step) {
        const EdsUInt64 upTo = inReadSize * static_cast<EdsUInt64>(step) / 10;
        const int percent = step * 10;
        if (unplugAt >= 0 && percent > unplugAt) {
            lock.lock();
            SNP_Log::debugf("simulated camera: unplugged during a download at %d %%", unplugAt);
            d->core.unplug(cam);
            return EDS_ERR_COMM_DISCONNECTED;
        }
        if (stallAt >= 0 && percent > stallAt) {
            lock.lock();
            const uint64_t generation = d->stallRelease;
            d->stalled += 1;
            d->core.idleCv.notify_all();
            d->core.idleCv.wait(lock, [&] { return !cam->connected || d->stallRelease != generation; });
            d->stalled -= 1;
            return cam->connected ? EDS_ERR_INCOMPLETE_TRANSFER : EDS_ERR_COMM_DISCONNECTED;
        }
        if (upTo > done) {
            std::memcpy(target + done, data->data() + offset + done, upTo - done);
            if (rate > 0) {
                auto wait = std::chrono::microseconds((upTo - done) * 1000000 / rate);
                lock.lock();
                d->core.idleCv.wait_for(lock, wait, [&] { return !cam->connected; });
                lock.unlock();
            }
            done = upTo;
        }
        lock.lock();
        const bool connected = cam->connected;
        lock.unlock();
        if (!connected)
            return EDS_ERR_COMM_DISCONNECTED;
        if (transfer.progress.report(static_cast<EdsUInt32>(percent), step == 10))
            return EDS_ERR_OPERATION_CANCELLED;
    }
    lock.lock();
    Core::endTransfer(transfer, inReadSize);
    return EDS_ERR_OK;
}

EdsError SimCameraSdk::EdsDownloadComplete(EdsDirectoryItemRef inDirItemRef)
{
    if (auto f = d->fault(SimOp::DownloadComplete))
        return *f;
    std::lock_guard<std::mutex> guard(d->m);
    auto item = d->core.find<Item>(inDirItemRef, Kind::Item);
    if (!item)
        return EDS_ERR_INVALID_HANDLE;
    if (!item->camera->connected)
        return EDS_ERR_COMM_DISCONNECTED;
    item->completed = true;
    return EDS_ERR_OK;
}

// ---- live view ----

EdsError SimCameraSdk::EdsCreateEvfImageRef(EdsStreamRef inStreamRef, EdsEvfImageRef* outEvfImageRef)
{
    return d->answer(SimOp::CreateEvfImageRef, [&] { return EdsSdkCore::EdsCreateEvfImageRef(inStreamRef, outEvfImageRef); });
}

EdsError SimCameraSdk::EdsDownloadEvfImage(EdsCameraRef inCameraRef, EdsEvfImageRef inEvfImageRef)
{
    if (auto f = d->fault(SimOp::DownloadEvfImage))
        return *f;
    std::unique_lock<std::mutex> lock(d->m);
    std::shared_ptr<Cam> cam;
    if (EdsError e = d->core.camera(inCameraRef, true, cam))
        return e;
    auto evf = d->core.find<EvfImage>(inEvfImageRef, Kind::Evf);
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

