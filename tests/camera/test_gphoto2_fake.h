// A fake of the libgphoto2 entry points (GPhoto2Port.h) for the tests of the libgphoto2
// camera SDK: one camera body with EOS-like widgets, a picture per capture, an event queue,
// a preview frame, pulling out, falling silent on the bus (a camera opened before then
// stays hung), switching its capture target back to the card after a shot; it records
// which threads called it, whether two calls ever overlapped and the cameras closed.
#pragma once

#include "GPhoto2CameraSdk.h"
#include "GPhoto2Port.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// What the fake library knows and records. Shared by the fake port and its devices.
struct FakeLibrary {
    std::mutex m;
    std::condition_variable cv;
    std::vector<GPDetected> cameras{{"Canon EOS 5D Mark II", "usb:001,004"}};
    std::map<std::string, GPWidget> widgets;
    std::deque<GPEvent> events;
    std::map<std::string, std::vector<uint8_t>> files;  // "folder/name"
    std::vector<uint8_t> preview{0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3, 4, 0xFF, 0xD9};
    bool gone = false;              // pulled out
    bool silent = false;            // on the bus but answering nothing (asleep, hung): time-outs
    int generation = 0;             // times it fell silent; a camera opened before is hung
    bool targetBackToCard = false;  // after a shot the body sets its capture target to the card
    bool sizeUnknown = false;       // file info without size
    bool holdForCancel = false;     // a transfer keeps asking at its first quarter until cancelled
    int pictures = 0, openAttempts = 0, closed = 0;
    // call discipline
    std::atomic<int> inCall{0};
    std::atomic<bool> overlapped{false};
    std::set<std::thread::id> threads;
    std::atomic<int> callDelayUs{0};

    FakeLibrary()
    {
        auto add = [&](const std::string& name, const std::string& value, std::vector<std::string> choices = {},
                       GPWidgetType type = GPWidgetType::Radio, bool readOnly = false) {
            widgets[name] = GPWidget{name, type, readOnly, value, 0, 0, 0, 0, 0, std::move(choices)};
        };
        add("iso", "100", {"Auto", "100", "200", "400", "800", "1600"});
        add("aperture", "5.6", {"4", "4.5", "5", "5.6", "8"});
        add("shutterspeed", "1/125", {"bulb", "30", "1/60", "1/125", "1/250"});
        add("capturetarget", "Memory card", {"Internal RAM", "Memory card"});
        add("output", "TFT", {"TFT", "PC", "TFT + PC", "Off"});
        add("eosremoterelease", "None", {"None", "Press Half", "Press Full", "Release Half", "Release Full"});
        add("manualfocusdrive", "None", {"Near 1", "None", "Far 1"});
        add("ownername", "", {}, GPWidgetType::Text);
        add("lensname", "EF24-105mm f/4L IS USM", {}, GPWidgetType::Text, true);
        add("batterylevel", "75%", {}, GPWidgetType::Text, true);
        add("datetime", "", {}, GPWidgetType::Date);
    }

    template <typename F>
    auto with(F f)  // f under the lock
    {
        std::lock_guard<std::mutex> g(m);
        cv.notify_all();
        return f();
    }
    // Every library call goes through here.
    struct Call {
        FakeLibrary& lib;
        explicit Call(FakeLibrary& l) : lib(l)
        {
            if (lib.inCall.fetch_add(1) != 0)
                lib.overlapped = true;
            lib.with([&] { lib.threads.insert(std::this_thread::get_id()); });
            if (int us = lib.callDelayUs.load())
                std::this_thread::sleep_for(std::chrono::microseconds(us));  // widens any overlap window
        }
        ~Call() { lib.inCall.fetch_sub(1); }
    };

    void push(const GPEvent& e) { with([&] { events.push_back(e); }); }
    void pullOut() { with([&] { gone = true, cameras.clear(); }); }
    void setSilent(bool on) { with([&] { generation += on && !silent, silent = on; }); }
    std::string widget(const std::string& name) { return with([&] { return widgets[name].text; }); }

    // What a call on a camera opened in that generation answers first (m held): 0 to go on.
    int refusal(int openedIn) const
    {
        return gone ? kGPErrorIO : silent ? kGPErrorTimeout : openedIn == generation ? kGPOk : kGPErrorIO;
    }

    // The bytes of the n-th picture.
    static std::vector<uint8_t> picture(int n)
    {
        std::vector<uint8_t> bytes(5000 + n);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(i * 7 + n);
        return bytes;
    }
    void newPicture()  // m held
    {
        pictures += 1;
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04d.JPG", pictures);
        files[std::string("/store_00020001/DCIM/100CANON/") + name] = picture(pictures);
        events.push_back(GPEvent{GPEventType::FileAdded, "/store_00020001/DCIM/100CANON", name, ""});
        if (targetBackToCard) {
            widgets["capturetarget"].text = "Memory card";
            events.push_back(GPEvent{GPEventType::Unknown, "", "", "PTP Property d11c changed"});
        }
        cv.notify_all();
    }
};

class FakeDevice : public GPhoto2Device {
public:
    FakeDevice(std::shared_ptr<FakeLibrary> lib, int generation) : _lib(std::move(lib)), _generation(generation) {}
    ~FakeDevice() override { _lib->with([&] { _lib->closed += 1; }); }

    int getWidget(const std::string& name, GPWidget& out) override
    {
        return answer([&] {
            auto it = _lib->widgets.find(name);
            return it == _lib->widgets.end() ? kGPErrorBadParameters : (out = it->second, kGPOk);
        });
    }
    int setWidget(const GPWidget& value) override
    {
        return answer([&] {
            auto it = _lib->widgets.find(value.name);
            if (it == _lib->widgets.end() || it->second.readOnly)
                return kGPErrorBadParameters;
            GPWidget& w = it->second;
            if (!w.choices.empty() && std::find(w.choices.begin(), w.choices.end(), value.text) == w.choices.end())
                return kGPErrorBadParameters;
            w.text = value.text, w.integer = value.integer, w.number = value.number;
            return kGPOk;
        });
    }
    int triggerCapture() override { return answer([&] { return _lib->newPicture(), kGPOk; }); }
    int waitForEvent(int timeoutMs, GPEvent& out) override
    {
        FakeLibrary::Call call(*_lib);
        std::unique_lock<std::mutex> g(_lib->m);
        _lib->cv.wait_for(g, std::chrono::milliseconds(timeoutMs),
                          [&] { return _lib->refusal(_generation) != kGPOk || !_lib->events.empty(); });
        if (int r = _lib->refusal(_generation))
            return r;
        out = GPEvent{};
        if (!_lib->events.empty()) {
            out = _lib->events.front();
            _lib->events.pop_front();
        }
        return kGPOk;
    }
    int fileSize(const std::string& folder, const std::string& name, uint64_t& size) override
    {
        return onFile(folder, name, [&](auto& it) { size = _lib->sizeUnknown ? 0 : it->second.size(); });
    }
    int fileGet(const std::string& folder, const std::string& name, std::vector<uint8_t>& data,
                const GPProgress& progress) override
    {
        std::vector<uint8_t> bytes;
        bool hold = false;
        const int r = onFile(folder, name, [&](auto& it) { bytes = it->second, hold = _lib->holdForCancel; });
        for (int q = 1; r == kGPOk && q <= 4 && progress; ++q) {
            // As a slow transfer would: the host's cancel reaches the library a moment later.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            do {
                if (progress(bytes.size() * q / 4, bytes.size()))
                    return kGPErrorCancel;
            } while (hold && q == 1 && std::chrono::steady_clock::now() < deadline);
        }
        data = bytes;
        return r;
    }
    int fileDelete(const std::string& folder, const std::string& name) override
    {
        return onFile(folder, name, [&](auto& it) { _lib->files.erase(it); });
    }
    int capturePreview(std::vector<uint8_t>& data) override { return answer([&] { return data = _lib->preview, kGPOk; }); }

private:
    // One library call: f under the lock, unless the camera does not answer.
    template <typename F>
    int answer(F f)
    {
        FakeLibrary::Call call(*_lib);
        std::lock_guard<std::mutex> g(_lib->m);
        const int r = _lib->refusal(_generation);
        return r ? r : f();
    }
    // One library call on a file of the card: f with it, when it is there.
    template <typename F>
    int onFile(const std::string& folder, const std::string& name, F f)
    {
        return answer([&] {
            auto it = _lib->files.find(folder + "/" + name);
            return it == _lib->files.end() ? kGPErrorFileNotFound : (f(it), kGPOk);
        });
    }
    std::shared_ptr<FakeLibrary> _lib;
    int _generation;
};

class FakePort : public GPhoto2Port {
public:
    explicit FakePort(std::shared_ptr<FakeLibrary> lib) : _lib(std::move(lib)) {}
    int autodetect(std::vector<GPDetected>& out) override
    {
        FakeLibrary::Call call(*_lib);
        return _lib->with([&] { return out = _lib->cameras, kGPOk; });
    }
    int open(const GPDetected& camera, std::unique_ptr<GPhoto2Device>& out) override
    {
        FakeLibrary::Call call(*_lib);
        std::lock_guard<std::mutex> g(_lib->m);
        _lib->openAttempts += 1;
        if (std::none_of(_lib->cameras.begin(), _lib->cameras.end(), [&](const GPDetected& c) { return c.port == camera.port; }))
            return kGPErrorIOUsbFind;
        if (_lib->silent)
            return kGPErrorTimeout;
        out = std::make_unique<FakeDevice>(_lib, _lib->generation);
        return kGPOk;
    }

private:
    std::shared_ptr<FakeLibrary> _lib;
};

// SDK options for the fake: no USB watching, quick polls and look-agains, a comparison of
// the settings right after an event and otherwise none within a test.
inline GPhoto2CameraSdk::Options quickOptions(int refreshGapMs = 0)
{
    return {.eventPollMs = 5, .refreshIntervalMs = 60000, .refreshAfterEventMs = 0, .refreshGapMs = refreshGapMs,
            .rescanDelaysMs = {0}, .watchUsb = false, .lookAgainMs = 10};
}
