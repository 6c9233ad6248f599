// A fake of the libgphoto2 entry points (GPhoto2Port.h) for the tests of the libgphoto2
// camera SDK: one camera body with EOS-like widgets, a picture per capture, an event queue,
// a preview frame, pulling out, falling silent on the bus (the cameras opened before then
// stay hung), switching its capture target back to the card after a shot; it records
// every call and whether two ever overlapped.
#pragma once

#include "GPhoto2Port.h"

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <chrono>
#include <condition_variable>
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
    std::vector<uint8_t> preview;
    bool gone = false;         // the camera was pulled out
    bool silent = false;       // on the bus but answering nothing (asleep, hung): time-outs
    int generation = 0;        // counts the times it fell silent; a camera opened before is hung
    bool targetBackToCard = false;  // after a shot the body sets its capture target to the card
    bool sizeUnknown = false;  // file info without size
    bool holdForCancel = false;  // a transfer keeps asking at its first quarter until cancelled
    int pictures = 0;
    int opens = 0;
    int openAttempts = 0;
    std::vector<std::string> deleted;
    std::vector<std::string> writes;  // "name=value"
    // call discipline
    std::atomic<int> inCall{0};
    std::atomic<bool> overlapped{false};
    std::set<std::thread::id> threads;
    int calls = 0;
    std::atomic<int> callDelayUs{0};

    FakeLibrary()
    {
        auto radio = [&](const std::string& name, const std::string& value, std::vector<std::string> choices) {
            GPWidget w;
            w.name = name;
            w.type = GPWidgetType::Radio;
            w.text = value;
            w.choices = std::move(choices);
            widgets[name] = w;
        };
        auto text = [&](const std::string& name, const std::string& value, bool ro) {
            GPWidget w;
            w.name = name;
            w.type = GPWidgetType::Text;
            w.text = value;
            w.readOnly = ro;
            widgets[name] = w;
        };
        radio("iso", "100", {"Auto", "100", "200", "400", "800", "1600"});
        radio("aperture", "5.6", {"4", "4.5", "5", "5.6", "8"});
        radio("shutterspeed", "1/125", {"bulb", "30", "1/60", "1/125", "1/250"});
        radio("capturetarget", "Memory card", {"Internal RAM", "Memory card"});
        radio("output", "TFT", {"TFT", "PC", "TFT + PC", "Off"});
        radio("eosremoterelease", "None",
              {"None", "Press Half", "Press Full", "Release Half", "Release Full", "Immediate"});
        radio("manualfocusdrive", "None", {"Near 1", "Near 2", "Near 3", "None", "Far 1", "Far 2", "Far 3"});
        text("ownername", "", false);
        text("lensname", "EF24-105mm f/4L IS USM", true);
        text("batterylevel", "75%", true);
        text("eoszoom", "1", false);
        GPWidget date;
        date.name = "datetime";
        date.type = GPWidgetType::Date;
        date.integer = 1700000000;
        widgets["datetime"] = date;
        preview = {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3, 4, 0xFF, 0xD9};
    }

    // Every library call goes through here.
    struct Call {
        FakeLibrary& lib;
        explicit Call(FakeLibrary& l) : lib(l)
        {
            if (lib.inCall.fetch_add(1) != 0)
                lib.overlapped = true;
            {
                std::lock_guard<std::mutex> g(lib.m);
                lib.threads.insert(std::this_thread::get_id());
                lib.calls += 1;
            }
            if (int us = lib.callDelayUs.load())
                std::this_thread::sleep_for(std::chrono::microseconds(us));  // widens any overlap window
        }
        ~Call() { lib.inCall.fetch_sub(1); }
    };

    void push(const GPEvent& e)
    {
        std::lock_guard<std::mutex> g(m);
        events.push_back(e);
        cv.notify_all();
    }

    // Falls silent (true) or answers again (false).
    void setSilent(bool on)
    {
        std::lock_guard<std::mutex> g(m);
        if (on && !silent)
            generation += 1;
        silent = on;
        cv.notify_all();
    }

    // What a call on a camera opened in that generation answers first (m held): 0 to go on.
    int refusal(int openedIn) const
    {
        if (gone)
            return kGPErrorIO;
        if (silent)
            return kGPErrorTimeout;
        return openedIn == generation ? kGPOk : kGPErrorIO;
    }

    void newPicture()  // m held
    {
        pictures += 1;
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04d.JPG", pictures);
        std::vector<uint8_t> bytes(5000 + pictures);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(i * 7 + pictures);
        files[std::string("/store_00020001/DCIM/100CANON/") + name] = bytes;
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

    int getWidget(const std::string& name, GPWidget& out) override
    {
        FakeLibrary::Call call(*_lib);
        std::lock_guard<std::mutex> g(_lib->m);
        if (int r = _lib->refusal(_generation))
            return r;
        auto it = _lib->widgets.find(name);
        if (it == _lib->widgets.end())
            return kGPErrorBadParameters;
        out = it->second;
        return kGPOk;
    }
    int setWidget(const GPWidget& value) override
    {
        FakeLibrary::Call call(*_lib);
        std::lock_guard<std::mutex> g(_lib->m);
        if (int r = _lib->refusal(_generation))
            return r;
        auto it = _lib->widgets.find(value.name);
        if (it == _lib->widgets.end() || it->second.readOnly)
            return kGPErrorBadParameters;
        GPWidget& w = it->second;
        if (!w.choices.empty() && std::find(w.choices.begin(), w.choices.end(), value.text) == w.choices.end())
            return kGPErrorBadParameters;
        w.text = value.text;
        w.integer = value.integer;
        w.number = value.number;
        _lib->writes.push_back(value.name + "=" + (w.type == GPWidgetType::Date ? std::to_string(w.integer) : w.text));
        if (value.name == "eosremoterelease" && value.text == "Press Full")
            _lib->newPicture();
        return kGPOk;
    }
    int triggerCapture() override
    {
        FakeLibrary::Call call(*_lib);
        std::lock_guard<std::mutex> g(_lib->m);
        if (int r = _lib->refusal(_generation))
            return r;
        _lib->newPicture();
        return kGPOk;
    }
    int waitForEvent(int timeoutMs, GPEvent& out) override
    {
        FakeLibrary::Call call(*_lib);
        std::unique_lock<std::mutex> g(_lib->m);
        _lib->cv.wait_for(g, std::chrono::milliseconds(timeoutMs),
                          [&] { return _lib->refusal(_generation) != kGPOk || !_lib->events.empty(); });
        if (int r = _lib->refusal(_generation))
            return r;
        if (_lib->events.empty()) {
            out = GPEvent{};
            return kGPOk;
        }
        out = _lib->events.front();
        _lib->events.pop_front();
        return kGPOk;
    }
    int fileSize(const std::string& folder, const std::string& name, uint64_t& size) override
    {
        FakeLibrary::Call call(*_lib);
        std::lock_guard<std::mutex> g(_lib->m);
        if (int r = _lib->refusal(_generation))
            return r;
        auto it = _lib->files.find(folder + "/" + name);
        if (it == _lib->files.end())
            return kGPErrorFileNotFound;
        size = _lib->sizeUnknown ? 0 : it->second.size();
        return kGPOk;
    }
    int fileGet(const std::string& folder, const std::string& name, std::vector<uint8_t>& data,
                const GPProgress& progress) override
    {
        FakeLibrary::Call call(*_lib);
        std::vector<uint8_t> bytes;
        {
            std::lock_guard<std::mutex> g(_lib->m);
            if (int r = _lib->refusal(_generation))
                return r;
            auto it = _lib->files.find(folder + "/" + name);
            if (it == _lib->files.end())
                return kGPErrorFileNotFound;
            bytes = it->second;
        }
        bool hold;
        {
            std::lock_guard<std::mutex> g(_lib->m);
            hold = _lib->holdForCancel;
        }
        for (int q = 1; q <= 4 && progress; ++q) {
            if (progress(bytes.size() * q / 4, bytes.size()))
                return kGPErrorCancel;
            // As a slow transfer would: the host's cancel reaches the library a moment later.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            while (hold && q == 1 && std::chrono::steady_clock::now() < deadline) {
                if (progress(bytes.size() / 4, bytes.size()))
                    return kGPErrorCancel;
                std::this_thread::yield();
            }
        }
        data = bytes;
        return kGPOk;
    }
    int fileDelete(const std::string& folder, const std::string& name) override
    {
        FakeLibrary::Call call(*_lib);
        std::lock_guard<std::mutex> g(_lib->m);
        if (int r = _lib->refusal(_generation))
            return r;
        _lib->deleted.push_back(folder + "/" + name);
        return _lib->files.erase(folder + "/" + name) ? kGPOk : kGPErrorFileNotFound;
    }
    int capturePreview(std::vector<uint8_t>& data) override
    {
        FakeLibrary::Call call(*_lib);
        std::lock_guard<std::mutex> g(_lib->m);
        if (int r = _lib->refusal(_generation))
            return r;
        data = _lib->preview;
        return kGPOk;
    }

private:
    std::shared_ptr<FakeLibrary> _lib;
    int _generation;
};

class FakePort : public GPhoto2Port {
public:
    explicit FakePort(std::shared_ptr<FakeLibrary> lib) : _lib(std::move(lib)) {}
    int autodetect(std::vector<GPDetected>& out) override
    {
        FakeLibrary::Call call(*_lib);
        std::lock_guard<std::mutex> g(_lib->m);
        out = _lib->cameras;
        return kGPOk;
    }
    int open(const GPDetected& camera, std::unique_ptr<GPhoto2Device>& out) override
    {
        FakeLibrary::Call call(*_lib);
        std::lock_guard<std::mutex> g(_lib->m);
        _lib->openAttempts += 1;
        bool present = std::any_of(_lib->cameras.begin(), _lib->cameras.end(),
                                   [&](const GPDetected& c) { return c.port == camera.port; });
        if (!present)
            return kGPErrorIOUsbFind;
        if (_lib->silent)
            return kGPErrorTimeout;
        _lib->opens += 1;
        out = std::make_unique<FakeDevice>(_lib, _lib->generation);
        return kGPOk;
    }

private:
    std::shared_ptr<FakeLibrary> _lib;
};

