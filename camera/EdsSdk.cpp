// The process-wide choice of camera SDK implementation, and the factory by name.
//
// Threads: any thread may ask for or make the choice; one lock guards it.
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
std::mutex& sdkChoiceLock()
{
    static std::mutex lock;
    return lock;
}
// The choice: none made yet (the simulated camera is made on first use), an SDK, or none at
// all (made, with a null SDK).
struct SdkChoice {
    bool made = false;
    std::shared_ptr<EdsSdk> sdk;
};
SdkChoice& sdkChoice()
{
    static SdkChoice choice;
    return choice;
}

// Makes the choice, and lets the previous implementation (if this was its last reference)
// go outside the lock: its callback thread may itself be asking for the current SDK.
void choose(bool made, std::shared_ptr<EdsSdk> sdk)
{
    std::shared_ptr<EdsSdk> previous;
    {
        std::lock_guard<std::mutex> guard(sdkChoiceLock());
        previous = std::move(sdkChoice().sdk);
        sdkChoice() = SdkChoice{made, std::move(sdk)};
    }
    previous.reset();
}
}  // namespace

std::shared_ptr<EdsSdk> EdsCurrentSdk()
{
    std::lock_guard<std::mutex> guard(sdkChoiceLock());
    SdkChoice& choice = sdkChoice();
    if (!choice.made) {
        SNP_Log::debug(QStringLiteral("no camera SDK chosen; using the simulated camera"));
        choice = SdkChoice{true, std::make_shared<SimCameraSdk>()};
    }
    return choice.sdk;
}

void EdsSetCurrentSdk(std::shared_ptr<EdsSdk> sdk)
{
    const bool made = sdk != nullptr;
    choose(made, std::move(sdk));
}

bool EdsChooseSdk(const std::string& name)
{
    std::shared_ptr<EdsSdk> sdk = EdsCreateSdk(name);
    const bool had = sdk != nullptr;
    if (!had)
        SNP_Log::debugf("camera backend \"%s\" cannot be used; running without a camera", name.c_str());
    choose(true, std::move(sdk));
    return had;
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
