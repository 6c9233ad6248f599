// The camera tests' one fixture, over any SDK: a log file of its own, every notification
// recorded with the thread it came on, and a tear-down that unloads the camera and waits
// until the camera objects and the SDK are gone (queued hand-offs hold them a while). Over
// the simulated camera, its first camera is loaded as `camera` and its faults are cleared
// before the tear-down.
//
// Threads: the test runs on the main thread; notifications may be recorded from any thread.
#pragma once

#include "SNP_CanonCamera.h"
#include "SNP_Log.h"
#include "SimCameraSdk.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

struct Received {
    QString name;
    QVariantMap userInfo;
    const void* object = nullptr;
    bool onMainThread = false;
};

template <class Sdk>
class CameraFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        SNP_Log::resetForTesting();
        ASSERT_TRUE(dir.isValid());
        logPath = dir.filePath(QStringLiteral("camera.log"));
        QFile::remove(logPath);  // a table's next row starts with an empty log
        ASSERT_TRUE(SNP_Log::setLogFile(logPath));
        sdk = std::make_shared<Sdk>();
        weakSdk = sdk;
        EdsSetCurrentSdk(sdk);
        clearReceived();
        SNP_NotificationCenter::defaultCenter().addObserver(this, QString(), [this](const SNP_Notification& n) {
            std::lock_guard<std::mutex> g(receivedLock);
            received.push_back({n.name, n.userInfo, n.object.identity(), QThread::currentThread() == qApp->thread()});
        });
        if constexpr (kSimulated)
            loadFirstCamera();
    }
    void TearDown() override
    {
        if constexpr (kSimulated)
            sdk->clearFaults();
        SNP_NotificationCenter::defaultCenter().removeObserver(this);
        EXPECT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
        SNP_CanonCamera::resetRegistryForTesting();
        if (SNP_CanonCameraPtr loaded = SNP_CanonCamera::loadedCamera())
            loaded->unload();
        if (camera) {
            EXPECT_TRUE(camera->waitForLiveViewLoopEnd(5000));
            std::weak_ptr<SNP_CanonCamera> gone = camera;
            camera.reset();
            EXPECT_TRUE(waitUntil([&] { return gone.expired(); }));  // the loop's reference goes on this thread
        }
        EdsSetCurrentSdk(nullptr);
        sdk.reset();
        EXPECT_TRUE(waitUntil([&] { return weakSdk.expired(); }));
        if (HasFailure())
            std::printf("--- log ---\n%s\n", qUtf8Printable(logText()));
        SNP_Log::resetForTesting();
    }

    // A fresh SDK, log and record, for the next row of a table.
    void fresh()
    {
        TearDown();
        SetUp();
    }
    // Runs f on a thread of its own, as an SDK callback runs, serving the main thread
    // meanwhile (a notification posted there waits for it).
    static void onSdkThread(const std::function<void()>& f)
    {
        std::atomic<bool> done{false};
        std::thread t([&] { f(), done = true; });
        EXPECT_TRUE(waitUntil([&] { return done.load(); }));
        t.join();
    }
    // Runs pending main-thread hand-offs.
    static void drain()
    {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
    void startRegistry()
    {
        SNP_CanonCamera::initialize();
        ASSERT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
        drain();
    }
    void updateAndWait()
    {
        SNP_CanonCamera::updateCameraList();
        ASSERT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
        drain();
    }
    static SNP_CanonCameraList registry()
    {
        std::optional<SNP_CanonCameraList> list = SNP_CanonCamera::cameras();
        EXPECT_TRUE(list.has_value());
        return list.value_or(SNP_CanonCameraList());
    }
    // The simulated camera's first camera as `camera`, loaded and settled.
    void loadFirstCamera()
    {
        camId = sdk->connectedCameras().front();
        camera = SNP_CanonCamera::initWithCameraRef(sdk->cameraRef(camId));
        ASSERT_TRUE(camera && camera->load());
        ASSERT_TRUE(sdk->waitForIdle());
    }

    std::vector<Received> receivedNamed(const QString& name = QString())
    {
        std::lock_guard<std::mutex> g(receivedLock);
        std::vector<Received> out;
        for (const Received& r : received)
            if (name.isNull() || r.name == name)
                out.push_back(r);
        return out;
    }
    int countReceived(const QString& name) { return int(receivedNamed(name).size()); }
    // The property changes received for the property called name, in order.
    std::vector<Received> changesOf(const char* name)
    {
        std::vector<Received> changes = receivedNamed(SNP_CanonCameraPropertyDidChange);
        std::erase_if(changes, [&](const Received& r) {
            return r.userInfo.value(SNP_CanonCameraPropertyName).toString() != QLatin1String(name);
        });
        return changes;
    }
    void clearReceived()
    {
        std::lock_guard<std::mutex> g(receivedLock);
        received.clear();
    }
    QString logText() const
    {
        std::fflush(nullptr);
        QFile file(logPath);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    static constexpr bool kSimulated = std::is_base_of_v<SimCameraSdk, Sdk>;
    QTemporaryDir dir;
    QString logPath;
    std::shared_ptr<Sdk> sdk;
    std::weak_ptr<Sdk> weakSdk;
    SNP_CanonCameraPtr camera;
    int camId = 0;
    std::mutex receivedLock;
    std::vector<Received> received;
};
