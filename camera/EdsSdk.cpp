// The process-wide choice of camera SDK implementation, and the factory by name.
#include "EdsSdk.h"

#include "SNP_Log.h"
#include "sim/SimCameraSdk.h"

#include <mutex>

#ifdef HAVE_GPHOTO2
// Provided by camera/gphoto2; weak so that a build without that part still links (the
// name then answers null).
__attribute__((weak)) std::shared_ptr<EdsSdk> EdsCreateGPhoto2Sdk();
#endif

namespace {
std::mutex& sdkLock()
{
    static std::mutex lock;
    return lock;
}
std::shared_ptr<EdsSdk>& sdkSlot()
{
    static std::shared_ptr<EdsSdk> sdk;
    return sdk;
}
}  // namespace

std::shared_ptr<EdsSdk> EdsCurrentSdk()
{
    std::lock_guard<std::mutex> guard(sdkLock());
    std::shared_ptr<EdsSdk>& sdk = sdkSlot();
    if (!sdk) {
        SNP_Log::debug(QStringLiteral("no camera SDK chosen; using the simulated camera"));
        sdk = std::make_shared<SimCameraSdk>();
    }
    return sdk;
}

void EdsSetCurrentSdk(std::shared_ptr<EdsSdk> sdk)
{
    std::shared_ptr<EdsSdk> previous;
    {
        std::lock_guard<std::mutex> guard(sdkLock());
        previous = std::move(sdkSlot());
        sdkSlot() = std::move(sdk);
    }
    // The previous implementation (if this was its last reference) goes here, outside the
    // lock: its callback thread may itself be asking for the current SDK.
    previous.reset();
}

std::shared_ptr<EdsSdk> EdsCreateSdk(const std::string& name)
{
    if (name == "sim")
        return std::make_shared<SimCameraSdk>();
    if (name == "gphoto2") {
#ifdef HAVE_GPHOTO2
        if (&EdsCreateGPhoto2Sdk)
            return EdsCreateGPhoto2Sdk();
        SNP_Log::debugf("camera backend \"gphoto2\" is not part of this build");
        return nullptr;
#else
        SNP_Log::debugf("camera backend \"gphoto2\" is not available in this build");
        return nullptr;
#endif
    }
    SNP_Log::debugf("unknown camera backend \"%s\"", name.c_str());
    return nullptr;
}
