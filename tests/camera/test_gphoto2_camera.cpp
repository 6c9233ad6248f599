// The camera library over the libgphoto2 SDK with the fake library, as the booth uses it:
// loading sends the pictures to the host and announces the settings, a picture arrives
// whole as photo data with progress, live view streams the preview, and a camera that falls
// silent and comes back on another port is loaded again and takes pictures.
#include "camera/CameraFixture.h"
#include "test_gphoto2_fake.h"

#include <QBuffer>
#include <QImage>

namespace {

// The SDK over the fake library, made as the fixture makes every SDK: without arguments.
struct FakeLibraryHolder {
    std::shared_ptr<FakeLibrary> lib = std::make_shared<FakeLibrary>();
};
struct FakeGPhoto2Sdk : FakeLibraryHolder, GPhoto2CameraSdk {
    FakeGPhoto2Sdk() : GPhoto2CameraSdk(std::make_unique<FakePort>(lib), quickOptions()) {}
};

class GPhoto2CameraTest : public CameraFixture<FakeGPhoto2Sdk> {
protected:
    void SetUp() override
    {
        CameraFixture::SetUp();
        lib = sdk->lib;
        QBuffer frame;
        frame.open(QIODevice::WriteOnly);
        QImage(64, 48, QImage::Format_RGB32).save(&frame, "JPG");
        lib->with([&] { lib->preview.assign(frame.data().begin(), frame.data().end()); });
        SNP_CanonCamera::initialize();
        ASSERT_TRUE(waitUntil([&] { return bool(camera = SNP_CanonCamera::cameras().value_or(SNP_CanonCameraList()).value(0)); }));
        ASSERT_TRUE(camera->load());
        ASSERT_TRUE(sdk->waitForIdle());
    }

    bool sawChange(const char* property, const QString& value)
    {
        const std::vector<Received> changes = changesOf(property);
        return std::any_of(changes.begin(), changes.end(),
                           [&](const Received& r) { return r.userInfo.value(SNP_CanonCameraProperty) == value; });
    }
    // A shot with the camera, and its picture arrived.
    bool shotGivesAPicture(const SNP_CanonCameraPtr& shooter)
    {
        const int before = countReceived(SNP_CanonCameraPhotoDataAvailable);
        shooter->takePicture();
        shooter->performNextQueuedCameraCommand();
        return waitUntil([&] { return countReceived(SNP_CanonCameraPhotoDataAvailable) == before + 1; });
    }

    std::shared_ptr<FakeLibrary> lib;
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
    const QVariantMap photo = receivedNamed(SNP_CanonCameraPhotoDataAvailable).at(0).userInfo;
    EXPECT_EQ(photo.value(SNP_CanonCameraPhotoData).toByteArray(), QByteArray(reinterpret_cast<const char*>(expected.data()), expected.size()));
    EXPECT_EQ(photo.value(SNP_CanonCameraPhotoFilename).toString(), "IMG_0001.JPG");
    EXPECT_EQ(receivedNamed(SNP_CanonCameraDownloadProgress).back().userInfo.value(SNP_CanonCameraDownloadProgressPercent).toUInt(),
              100u);
    camera->liveViewBegin();
    ASSERT_TRUE(waitUntil([&] { return countReceived(SNP_CanonCameraLiveViewImageUpdate) >= 3; }));
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
