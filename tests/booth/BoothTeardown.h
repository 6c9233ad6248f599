// A booth run whole over the simulated camera (BoothRun), and its take-down in the order its
// parts need (takeDownBooth): the camera's queued work first, then the controller, the
// camera registry, the cameras' live-view loops and last the SDK, which queued main-thread
// hand-offs and cameras still hold for a moment. With them the files below a folder and the
// addresses a picture carries, for these tests and the filing tests. Shared by the tests
// that run the booth whole and by the soak harness; no gtest in here.
//
// Threads: everything on the main thread; the simulated camera's threads are waited for.
#pragma once

#include "AppController.h"
#include "SNP_CanonCamera.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SNP_Rehearsal.h"
#include "SNP_XMLinEXIF.h"
#include "SimCameraSdk.h"
#include "../TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

// The booth's log and user defaults below root, read with these arguments.
inline void placeBooth(const QString& root, const QStringList& arguments)
{
    SNP_Log::resetForTesting();
    qputenv("BOOTH_LOG_FILE", QFile::encodeName(root + "/booth.log"));
    SNP_Preferences::setStoreFileForTesting(root + "/booth.ini");
    SNP_Preferences::setArguments(arguments);
}

// The visitor's addresses a filed picture or upload file carries; none for a file without.
inline QStringList addressesIn(const QString& path)
{
    const auto plist = SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(path);
    return plist ? plist->value(QBEmailsForUpload).toStringList() : QStringList();
}

// Every file below the folder, temporary (dot) names included, relative to it and sorted.
inline QStringList filesBelow(const QString& folder)
{
    QStringList files;
    const auto kinds = QDir::Files | QDir::Hidden | QDir::System;
    for (QDirIterator it(folder, kinds, QDirIterator::Subdirectories); it.hasNext();)
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

// False when something did not come to rest in time. cameras: cameras the caller held on
// to besides the booth's current one (an unplugged camera, say), moved in: a copy left
// with the caller would keep the SDK alive.
inline bool takeDownBooth(std::unique_ptr<AppController>& controller, std::shared_ptr<SimCameraSdk>& sim,
                          std::vector<SNP_CanonCameraPtr> cameras = {})
{
    bool ok = true;
    if (sim) {
        sim->clearFaults();
        sim->releaseStalledDownloads();
        ok = sim->waitForIdle();
    }
    if (controller)
        cameras.push_back(controller->currentCamera());
    controller.reset();
    ok = SNP_CanonCamera::waitForCameraListUpdates(5000) && ok;
    SNP_CanonCamera::resetRegistryForTesting();
    for (SNP_CanonCameraPtr& camera : cameras)
        ok = (!camera || camera->waitForLiveViewLoopEnd(5000)) && ok;
    cameras.clear();
    EdsSetCurrentSdk(nullptr);
    const std::weak_ptr<SimCameraSdk> weak = std::exchange(sim, nullptr);
    ok = waitUntil([&] { return weak.expired(); }, 5000) && ok;
    SNP_Preferences::setStoreFileForTesting(QString());
    SNP_Preferences::setArguments(QStringList{QStringLiteral("booth")});
    return ok;
}

// The booth with its folders, settings and log below root, a touch countdown of one and the
// simulated camera as the current SDK.
class BoothRun {
public:
    explicit BoothRun(const QString& rootFolder)
        : root(rootFolder), scratch(root + "/scratch"), mainImages(root + "/main"), upload(root + "/upload")
    {
        placeBooth(root, {"booth", "-touchScreenCountValue", "1", "-scratchFolder", scratch, "-mainImagesFolder",
                          mainImages, "-forUploadFolder", upload});
        sim->setPictureSize(640, 480);
        EdsSetCurrentSdk(sim);
    }
    ~BoothRun() { stop(); }

    // Woken and launched with a screen second of tickMs; false when no camera became current
    // (looked for only withCamera).
    bool start(int tickMs, bool withCamera = true)
    {
        c = std::make_unique<AppController>();
        c->setScreenTickMs(tickMs);
        c->awakeFromNib();
        c->show();
        c->applicationDidFinishLaunching();
        if (withCamera && (!waitUntil([&] { return camera() != nullptr; }, 15000) || !sim->waitForIdle()))
            return false;
        cameras.push_back(camera());
        return true;
    }
    bool stop()
    {
        const bool ok = !sim || takeDownBooth(c, sim, std::move(cameras));
        SNP_Log::resetForTesting();
        return ok;
    }

    uint32_t screen() const { return c->screenNumber(); }
    SNP_CanonCameraPtr camera() const { return c->currentCamera(); }

    // One visitor's pass with the keyboard's keys. With holdCapture the capture screen waits
    // for the picture however long the camera takes (up to the pass's time-out), so that a
    // slow machine does not turn a good pass into a missed picture.
    SNP_Rehearsal::Outcome pass(const QStringList& addresses, bool holdCapture = true, const QString& snapshots = {})
    {
        const QMetaObject::Connection hold = holdCapture ? holdScreen(5) : QMetaObject::Connection();
        const SNP_Rehearsal::Outcome outcome = SNP_Rehearsal::rehearse(*c, addresses, 60000, snapshots);
        QObject::disconnect(hold);
        return outcome;
    }

    // Every visit to the screen stops its countdown until the condition holds (looked at
    // every few milliseconds; without one, until the booth moves on by itself), then lets
    // it run on. Disconnect the answer to end it.
    QMetaObject::Connection holdScreen(uint32_t held, std::function<bool()> until = {})
    {
        return QObject::connect(c.get(), &AppController::screenShown, c.get(), [this, held, until](uint32_t shown) {
            QTimer* screenTimer = c->findChild<QTimer*>(QStringLiteral("screenTimer"));
            if (shown != held || !screenTimer)
                return;
            screenTimer->stop();
            auto* look = new QTimer(c.get());
            QObject::connect(look, &QTimer::timeout, look, [this, look, screenTimer, held, until] {
                if (screen() == held && !(until && until()))
                    return;
                look->stop();
                look->deleteLater();
                if (screen() == held)
                    screenTimer->start();
            });
            look->start(2);
        });
    }

    // Every file below the three folders, temporary (dot) names included, relative to root.
    QStringList files() const { return filesBelow(root).filter(QRegularExpression("^(scratch|main|upload)/")); }

    const QString root, scratch, mainImages, upload;
    std::shared_ptr<SimCameraSdk> sim = std::make_shared<SimCameraSdk>();
    std::unique_ptr<AppController> c;
    std::vector<SNP_CanonCameraPtr> cameras; // every camera the booth made current, for the take-down
};
