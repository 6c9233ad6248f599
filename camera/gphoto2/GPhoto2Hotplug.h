// USB hot-plug for the libgphoto2 camera SDK: libusb's hot-plug callbacks on a thread of
// their own. Every arrival or departure of a USB device is passed on; the SDK then looks
// for cameras again. Needs a libusb with hot-plug capability (Linux has it).
#pragma once

#include <functional>
#include <memory>

class GPhoto2Hotplug {
public:
    // Called on the watcher's thread: true for an arrival, false for a departure.
    using Handler = std::function<void(bool arrived)>;

    // Null (with a log line) when this build has no libusb, libusb cannot start or has no
    // hot-plug capability.
    static std::unique_ptr<GPhoto2Hotplug> start(Handler handler);
    ~GPhoto2Hotplug();

    GPhoto2Hotplug(const GPhoto2Hotplug&) = delete;
    GPhoto2Hotplug& operator=(const GPhoto2Hotplug&) = delete;

    struct Impl;

private:
    explicit GPhoto2Hotplug(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};
