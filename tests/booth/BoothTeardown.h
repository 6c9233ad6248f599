// Taking down a booth that ran over the simulated camera, in the order its parts need:
// the camera's queued work first, then the controller, the camera registry, the cameras'
// live-view loops and last the SDK, which queued main-thread hand-offs and cameras still
// hold for a moment. Shared by the tests that run the booth whole and by the soak harness.
#pragma once

#include "AppController.h"
#include "SNP_CanonCamera.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SimCameraSdk.h"
#include "../TestSupport.h"

#include <memory>
#include <vector>

// False when something did not come to rest in time. cameras: cameras the caller held on
// to besides the booth's current one (an unplugged camera, say), moved in: a copy left
// with the caller (or in a braced list, which lives until the call returns) would keep
// the SDK alive.
inline bool takeDownBooth(std::unique_ptr<AppController>& controller, std::shared_ptr<SimCameraSdk>& sim,
                          std::vector<SNP_CanonCameraPtr> cameras = {})
{
    bool ok = true;
    if (sim) {
        sim->clearFaults();
        sim->releaseStalledDownloads();
        ok = sim->waitForIdle() && ok;
    }
    if (controller && controller->_currentCamera)
        cameras.push_back(controller->_currentCamera);
    controller.reset();
    ok = SNP_CanonCamera::waitForCameraListUpdates(5000) && ok;
    SNP_CanonCamera::resetRegistryForTesting();
    for (SNP_CanonCameraPtr& camera : cameras) {
        if (camera)
            ok = camera->waitForLiveViewLoopEnd(5000) && ok;
        camera.reset();
    }
    EdsSetCurrentSdk(nullptr);
    std::weak_ptr<SimCameraSdk> weak = sim;
    sim.reset();
    ok = waitUntil([&] { return weak.expired(); }, 5000) && ok;
    SNP_Preferences::setStoreFileForTesting(QString());
    SNP_Preferences::setArguments(QStringList{QStringLiteral("booth")});
    return ok;
}
