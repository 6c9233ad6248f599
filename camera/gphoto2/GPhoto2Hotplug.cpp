#include "GPhoto2Hotplug.h"

#include "SNP_Log.h"

#ifdef HAVE_LIBUSB
#include <libusb.h>
#endif

#include <atomic>
#include <thread>

struct GPhoto2Hotplug::Impl {
    Handler handler;
    std::atomic<bool> stop{false};
    std::thread thread;
#ifdef HAVE_LIBUSB
    libusb_context* context = nullptr;
    libusb_hotplug_callback_handle callback = 0;

    static int LIBUSB_CALL changed(libusb_context*, libusb_device*, libusb_hotplug_event event, void* data)
    {
        auto* self = static_cast<Impl*>(data);
        const bool arrived = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
        SNP_Log::debugf("gphoto2: a USB device %s", arrived ? "arrived" : "left");
        if (self->handler)
            self->handler(arrived);
        return 0;  // stay registered
    }
#endif
};

GPhoto2Hotplug::GPhoto2Hotplug(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}

std::unique_ptr<GPhoto2Hotplug> GPhoto2Hotplug::start(Handler handler)
{
#ifdef HAVE_LIBUSB
    auto impl = std::make_unique<Impl>();
    impl->handler = std::move(handler);
    int r = libusb_init(&impl->context);
    if (r != 0) {
        SNP_Log::debugf("gphoto2: libusb could not start for hot-plug: %d (%s)", r, libusb_error_name(r));
        return nullptr;
    }
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        SNP_Log::debugf("gphoto2: this libusb has no hot-plug capability");
        libusb_exit(impl->context);
        return nullptr;
    }
    r = libusb_hotplug_register_callback(
        impl->context,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        LIBUSB_HOTPLUG_MATCH_ANY, &Impl::changed, impl.get(), &impl->callback);
    if (r != LIBUSB_SUCCESS) {
        SNP_Log::debugf("gphoto2: USB hot-plug registration failed: %d (%s)", r, libusb_error_name(r));
        libusb_exit(impl->context);
        return nullptr;
    }
    Impl* self = impl.get();
    impl->thread = std::thread([self] {
        while (!self->stop.load()) {
            timeval tv{0, 200000};  // look at the stop flag five times a second
            libusb_handle_events_timeout_completed(self->context, &tv, nullptr);
        }
    });
    SNP_Log::debugf("gphoto2: watching USB for cameras being plugged in and out");
    return std::unique_ptr<GPhoto2Hotplug>(new GPhoto2Hotplug(std::move(impl)));
#else
    (void)handler;
    SNP_Log::debugf("gphoto2: built without libusb: no USB hot-plug");
    return nullptr;
#endif
}

GPhoto2Hotplug::~GPhoto2Hotplug()
{
    d->stop = true;
#ifdef HAVE_LIBUSB
    if (d->thread.joinable())
        d->thread.join();
    libusb_hotplug_deregister_callback(d->context, d->callback);
    libusb_exit(d->context);
#else
    if (d->thread.joinable())
        d->thread.join();
#endif
}
