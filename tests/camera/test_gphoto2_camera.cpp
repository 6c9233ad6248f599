// The camera library over the libgphoto2 SDK with the fake library, as the booth uses it:
// loading sends the pictures to the host and announces the settings, a picture arrives
// whole as photo data with progress, live view streams the preview, and a camera that falls
// silent and comes back on another port is loaded again and takes pictures.
#include "GPhoto2CameraSdk.h"
#include "SNP_CanonCamera.h"
#include "SNP_Log.h"
#include "TestSupport.h"
#include "test_gphoto2_fake.h"

#include <QBuffer>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class GPhoto2CameraTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SNP_Log::resetForTesting();
        ASSERT_TRUE(SNP_Log::setLogFile(dir.filePath(QStringLiteral("gphoto2.log"))));
        QBuffer frame;
        frame.open(QIODevice::WriteOnly);
        QImage(64, 48, QImage::Format_RGB32).save(&frame, "JPG");
        lib->preview.assign(frame.data().begin(), frame.data().end());
        sdk = std::make_shared<GPhoto2CameraSdk>(std::make_unique<FakePort>(lib), quickOptions());
        EdsSetCurrentSdk(sdk);
        for (const QString& name : {SNP_CanonCameraPropertyDidChange, SNP_CanonCameraPhotoDataAvailable,
                                    SNP_CanonCameraDownloadProgress, SNP_CanonCameraLiveViewImageUpdate})
            SNP_NotificationCenter::defaultCenter().addObserver(this, name, [this](const SNP_Notification& n) {
                std::lock_guard<std::mutex> g(m);
                seen.emplace_back(n.name, n.userInfo);  // not the object: it would keep the camera
            });
        SNP_CanonCamera::initialize();
        ASSERT_TRUE(waitUntil([&] { return bool(camera = SNP_CanonCamera::cameras().value_or(SNP_CanonCameraList()).value(0)); }));
        ASSERT_TRUE(camera->load());
        ASSERT_TRUE(sdk->waitForIdle());
    }
    void TearDown() override
    {
        SNP_NotificationCenter::defaultCenter().removeObserver(this);
        EXPECT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
        SNP_CanonCameraPtr reloaded = SNP_CanonCamera::loadedCamera();
        SNP_CanonCamera::resetRegistryForTesting();
        for (const SNP_CanonCameraPtr& loaded : {camera, reloaded})
            if (loaded)
                loaded->unload();
        reloaded.reset();
        std::weak_ptr<SNP_CanonCamera> weak = camera;
        camera.reset();
        EXPECT_TRUE(waitUntil([&] { return weak.expired(); }));
        EdsSetCurrentSdk(nullptr);
        std::weak_ptr<GPhoto2CameraSdk> weakSdk = sdk;
        sdk.reset();
        EXPECT_TRUE(waitUntil([&] { return weakSdk.expired(); }));
        SNP_Log::resetForTesting();
    }

    // The notifications of that name so far: their user info.
    std::vector<QVariantMap> seenOf(const QString& name)
    {
        std::lock_guard<std::mutex> g(m);
        std::vector<QVariantMap> of;
        for (const auto& [what, info] : seen)
            if (what == name)
                of.push_back(info);
        return of;
    }
    bool sawChange(const QString& property, const QString& value)
    {
        for (const QVariantMap& info : seenOf(SNP_CanonCameraPropertyDidChange))
            if (info.value(SNP_CanonCameraPropertyName) == property && info.value(SNP_CanonCameraProperty) == value)
                return true;
        return false;
    }
    // A shot with the camera, and its picture arrived.
    bool shotGivesAPicture(const SNP_CanonCameraPtr& shooter)
    {
        const size_t before = seenOf(SNP_CanonCameraPhotoDataAvailable).size();
        shooter->takePicture();
        shooter->performNextQueuedCameraCommand();
        return waitUntil([&] { return seenOf(SNP_CanonCameraPhotoDataAvailable).size() == before + 1; });
    }

    QTemporaryDir dir;
    std::shared_ptr<FakeLibrary> lib = std::make_shared<FakeLibrary>();
    std::shared_ptr<GPhoto2CameraSdk> sdk;
    SNP_CanonCameraPtr camera;
    std::mutex m;  // guards seen
    std::vector<std::pair<QString, QVariantMap>> seen;
};

}  // namespace

// A visitor's shot, live view, then the camera falls silent and comes back on another port:
// the booth's way (a camera that went is unloaded, the first camera of a new list loaded
// when none is) loads it again, and it takes pictures.
TEST_F(GPhoto2CameraTest, ShotsAndLiveViewAndACameraThatFallsSilentAndComesBack)
{
    EXPECT_EQ(lib->widget("capturetarget"), "Internal RAM");
    ASSERT_TRUE(waitUntil([&] { return sawChange("ISOSpeed", "ISO 100") && sawChange("BatteryLevel", "75 %"); }));
    ASSERT_TRUE(shotGivesAPicture(camera));
    const std::vector<uint8_t> expected = FakeLibrary::picture(1);
    const QVariantMap photo = seenOf(SNP_CanonCameraPhotoDataAvailable).at(0);
    EXPECT_EQ(photo.value(SNP_CanonCameraPhotoData).toByteArray(), QByteArray(reinterpret_cast<const char*>(expected.data()), expected.size()));
    EXPECT_EQ(photo.value(SNP_CanonCameraPhotoFilename).toString(), "IMG_0001.JPG");
    EXPECT_EQ(seenOf(SNP_CanonCameraDownloadProgress).back().value(SNP_CanonCameraDownloadProgressPercent).toUInt(), 100u);
    camera->liveViewBegin();
    ASSERT_TRUE(waitUntil([&] { return seenOf(SNP_CanonCameraLiveViewImageUpdate).size() >= 3; }));
    camera->liveViewEnd();
    EXPECT_TRUE(camera->waitForLiveViewLoopEnd(5000));

    auto& center = SNP_NotificationCenter::defaultCenter();
    center.addObserver(this, SNP_CanonCameraDidUnload, [](const SNP_Notification& n) {
        if (const auto& gone = n.object.camera())
            gone->unload();
    });
    center.addObserver(this, SNP_CanonCameraListDidUpdate, [](const SNP_Notification&) {
        const auto list = SNP_CanonCamera::cameras();
        if (!SNP_CanonCamera::loadedCamera() && list && !list->isEmpty())
            list->first()->load();
    });
    lib->setSilent(true);
    ASSERT_TRUE(waitUntil([&] { return !camera->isLoaded() && SNP_CanonCamera::cameras().value_or(SNP_CanonCameraList{camera}).isEmpty(); }));
    lib->with([&] {
        lib->cameras[0].port = "usb:001,009";  // it re-enumerated as it woke
        lib->silent = false;
    });
    ASSERT_TRUE(waitUntil([&] {
        const SNP_CanonCameraPtr loaded = SNP_CanonCamera::loadedCamera();
        return loaded && loaded != camera && loaded->isLoaded();
    }));
    EXPECT_TRUE(shotGivesAPicture(SNP_CanonCamera::loadedCamera()));
}
