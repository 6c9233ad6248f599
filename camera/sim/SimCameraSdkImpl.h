// The simulated camera's state, shared by its SDK calls (SimCameraSdk.cpp) and its control
// side for tests and benchmarks (SimCameraControl.cpp). Private to camera/sim.
//
// Threads: everything here is guarded by the core's lock (Impl::m), as the cameras are;
// a camera's viewfinder has a lock of its own (Cam::evfLock), never held while calling out.
#pragma once

#include "SimCameraSdk.h"

#include "SNP_Log.h"
#include "SimCamera.h"
#include "SimJpeg.h"
#include "SimLiveView.h"

#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace SimDetail {

using namespace EdsCore;
using Clock = std::chrono::steady_clock;

struct Cam : Camera {
    Cam(int i, const std::string& model) : Camera(portName(i), model), id(i), body(model) {}
    static std::string portName(int id)
    {
        char port[32];
        std::snprintf(port, sizeof port, "usb:001,%03d", 3 + id);
        return port;
    }
    int id;
    SimCamera body;
    bool captureBusy = false;
    EdsUInt32 shutter = 0;
    bool bulb = false;
    int fileNumber = 0;
    int pictures = 0;
    std::shared_ptr<const std::vector<uint8_t>> lastPicture;
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

inline std::shared_ptr<Cam> asCam(const std::shared_ptr<Camera>& camera)
{
    return std::static_pointer_cast<Cam>(camera);
}

// A picture file on the camera's card.
struct PictureFile : Item {
    std::shared_ptr<const std::vector<uint8_t>> data;
};

struct Capture {
    SimJpeg::ExifFields exif;
    int width = 0, height = 0;
    std::optional<SimDataFault> fault;
    std::string name;
    EdsUInt32 dateTime = 0;
    bool toHost = true;
    EdsUInt64 fileSize = 0;  // at least this many bytes (filler segments)
    // The files the image quality asks for: a raw file (offered first, as "....CR2") and
    // the JPEG; both when it says RAW + JPEG.
    bool raw = false;
    bool jpeg = true;
    std::chrono::steady_clock::time_point requested;  // when the shot was taken
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

inline int remainingFor(FaultMode mode, int times)
{
    return mode == FaultMode::Always ? -1 : mode == FaultMode::Once ? 1 : std::max(1, times);
}

enum : EdsPropertyID {
    kPropSaveTo = 0xB, kPropImageQuality = 0x100, kPropAvailableShots = 0x40A, kPropEvfOutputDevice = 0x500
};
inline constexpr EdsUInt32 kEvfHostBit = 2;

}  // namespace SimDetail

// The simulation's own state, guarded by the core's lock (m) like the cameras it holds.
struct SimCameraSdk::Impl {
    explicit Impl(EdsCore::Core& c) : core(c), m(c.lock) {}

    EdsCore::Core& core;
    std::mutex& m;
    int nextCameraId = 1;

    int pictureWidth = 1920, pictureHeight = 1280;
    EdsUInt64 pictureFileSize = 0;
    double liveFps = 30.0;
    int liveWidth = 1024, liveHeight = 680;
    EdsUInt64 transferRate = 0;

    std::vector<SimDetail::Fault> faults;
    std::vector<SimDetail::DataFault> frameFaults, pictureFaults;
    int unplugAtPercent = -1;
    int stallAtPercent = -1;
    uint64_t stallRelease = 0;
    int stalled = 0;

    std::array<std::atomic<int>, static_cast<size_t>(SimOp::Count)> calls{};

    // A connected camera, or one gone that is still referenced (m held).
    std::shared_ptr<SimDetail::Cam> camById(int id) const
    {
        for (const auto& c : core.cameras)
            if (SimDetail::asCam(c)->id == id)
                return SimDetail::asCam(c);
        for (const auto& [ref, handle] : core.handles)
            if (handle->kind == EdsCore::Kind::Camera && static_cast<SimDetail::Cam*>(handle.get())->id == id)
                return std::static_pointer_cast<SimDetail::Cam>(handle);
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

    // The call the core answers, unless a fault injected for it answers first.
    template <typename Call>
    EdsError answer(SimOp op, Call call)
    {
        if (auto f = fault(op))
            return *f;
        return call();
    }

    // ---- commands (m held) ----
    // A capture queued for the callback thread, unless injected fails it or the camera is busy.
    EdsError takePicture(const std::shared_ptr<SimDetail::Cam>& cam, std::optional<EdsError> injected);
};
