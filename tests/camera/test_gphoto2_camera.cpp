// The camera library over the libgphoto2 SDK with the fake library: a session sends the
// pictures to the host, the initial settings are announced, a picture taken arrives as
// photo data with progress, live view streams the preview, and pulling the camera out
// unloads it, as with the simulated camera. A body that switches its capture target back
// to its card still delivers every picture; a camera that falls silent and comes back on
// another port is loaded again the booth's way and takes pictures.
#include "GPhoto2CameraSdk.h"
#include "PWNSImageFlipped.h"
#include "SNP_CanonCamera.h"
#include "SNP_Log.h"
#include "TestSupport.h"
#include "test_gphoto2_fake.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> jpegFrame()
{
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG");
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

class GPhoto2CameraTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SNP_Log::resetForTesting();
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(SNP_Log::setLogFile(dir.filePath(QStringLiteral("gphoto2.log"))));
        lib = std::make_shared<FakeLibrary>();
        lib->preview = jpegFrame();
        GPhoto2CameraSdk::Options options;
        options.watchUsb = false;
        options.eventPollMs = 5;
        options.refreshAfterEventMs = 0;
        options.refreshGapMs = 0;
        options.lookAgainMs = 10;
        sdk = std::make_shared<GPhoto2CameraSdk>(std::make_unique<FakePort>(lib), options);
        EdsSetCurrentSdk(sdk);
        EdsCameraListRef list = nullptr;
        ASSERT_EQ(sdk->EdsGetCameraList(&list), EDS_ERR_OK);
        EdsCameraRef ref = nullptr;
        ASSERT_EQ(sdk->EdsGetChildAtIndex(list, 0, &ref), EDS_ERR_OK);
        auto& center = SNP_NotificationCenter::defaultCenter();
        center.addObserver(this, SNP_CanonCameraPropertyDidChange, [this](const SNP_Notification& n) {
            std::lock_guard<std::mutex> g(m);
            changed.push_back(n.userInfo.value(SNP_CanonCameraPropertyName).toString() + "=" +
                              n.userInfo.value(SNP_CanonCameraProperty).toString());
        });
        center.addObserver(this, SNP_CanonCameraPhotoDataAvailable, [this](const SNP_Notification& n) {
            std::lock_guard<std::mutex> g(m);
            photos.push_back(n.userInfo.value(SNP_CanonCameraPhotoData).toByteArray());
            names.push_back(n.userInfo.value(SNP_CanonCameraPhotoFilename).toString());
        });
        center.addObserver(this, SNP_CanonCameraDownloadProgress, [this](const SNP_Notification& n) {
            std::lock_guard<std::mutex> g(m);
            progress.push_back(n.userInfo.value(SNP_CanonCameraDownloadProgressPercent).toUInt());
        });
        center.addObserver(this, SNP_CanonCameraLiveViewImageUpdate, [this](const SNP_Notification&) {
            std::lock_guard<std::mutex> g(m);
            frames += 1;
        });
        center.addObserver(this, SNP_CanonCameraDidUnload, [this](const SNP_Notification&) {
            std::lock_guard<std::mutex> g(m);
            unloads += 1;
        });
        camera = SNP_CanonCamera::initWithCameraRef(ref);
        sdk->EdsRelease(ref);
        sdk->EdsRelease(list);
        ASSERT_TRUE(camera);
        ASSERT_TRUE(camera->load());
        ASSERT_TRUE(sdk->waitForIdle());
    }

    void TearDown() override
    {
        EXPECT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
        SNP_CanonCamera::resetRegistryForTesting();
        if (camera) {
            camera->unload();
            EXPECT_TRUE(camera->waitForLiveViewLoopEnd(5000));
            std::weak_ptr<SNP_CanonCamera> weak = camera;
            camera.reset();
            EXPECT_TRUE(waitUntil([&] { return weak.expired(); }));
        }
        SNP_NotificationCenter::defaultCenter().removeObserver(this);
        EdsSetCurrentSdk(nullptr);
        std::weak_ptr<GPhoto2CameraSdk> weak = sdk;
        sdk.reset();
        EXPECT_TRUE(waitUntil([&] { return weak.expired(); }));
        SNP_Log::resetForTesting();
    }

    bool sawChange(const QString& entry)
    {
        std::lock_guard<std::mutex> g(m);
        return std::find(changed.begin(), changed.end(), entry) != changed.end();
    }
    int changesOf(const QString& name)
    {
        std::lock_guard<std::mutex> g(m);
        return int(std::count_if(changed.begin(), changed.end(), [&](const QString& c) { return c.startsWith(name + "="); }));
    }
    size_t photoCount()
    {
        std::lock_guard<std::mutex> g(m);
        return photos.size();
    }
    // A shot with the loaded camera, and its picture arrived.
    bool shotGivesAPicture(const SNP_CanonCameraPtr& shooter)
    {
        const size_t before = photoCount();
        shooter->takePicture();
        shooter->performNextQueuedCameraCommand();
        return waitUntil([&] { return photoCount() == before + 1; });
    }
    int logCount(const QString& text)
    {
        QFile file(dir.filePath(QStringLiteral("gphoto2.log")));
        return file.open(QIODevice::ReadOnly) ? int(QString::fromUtf8(file.readAll()).count(text)) : 0;
    }

    QTemporaryDir dir;
    std::shared_ptr<FakeLibrary> lib;
    std::shared_ptr<GPhoto2CameraSdk> sdk;
    SNP_CanonCameraPtr camera;
    std::mutex m;
    std::vector<QString> changed;
    std::vector<QByteArray> photos;
    std::vector<QString> names;
    std::vector<uint32_t> progress;
    int frames = 0;
    int unloads = 0;
};

}  // namespace

TEST_F(GPhoto2CameraTest, LoadingSendsPicturesToTheHostAndAnnouncesTheSettings)
{
    {
        std::lock_guard<std::mutex> g(lib->m);
        EXPECT_EQ(lib->widgets["capturetarget"].text, "Internal RAM");
    }
    ASSERT_TRUE(waitUntil([&] { return sawChange("ISOSpeed=ISO 100") && sawChange("Av=5.6"); }));
    EXPECT_TRUE(sawChange("Tv=1/125"));
    EXPECT_TRUE(sawChange("BatteryLevel=75 %"));
    EXPECT_TRUE(sawChange("LensName=EF24-105mm f/4L IS USM"));
    EXPECT_TRUE(camera->setStringValue(QStringLiteral("ISO 400"), 0x402));
    {
        std::lock_guard<std::mutex> g(lib->m);
        EXPECT_EQ(lib->widgets["iso"].text, "400");
    }
    EXPECT_FALSE(camera->setStringValue(QStringLiteral("ISO 6400"), 0x402));  // this camera does not offer it
}

TEST_F(GPhoto2CameraTest, PictureArrivesAsPhotoData)
{
    camera->takePicture();
    camera->performNextQueuedCameraCommand();
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> g(m);
        return photos.size() == 1;
    }));
    std::lock_guard<std::mutex> g(m);
    EXPECT_EQ(photos[0].size(), 5001);
    EXPECT_EQ(names[0], QStringLiteral("IMG_0001.JPG"));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 100u);
}

TEST_F(GPhoto2CameraTest, LiveViewStreamsThePreviewAndPullingOutUnloads)
{
    camera->liveViewBegin();
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> g(m);
        return frames >= 3;
    }));
    camera->liveViewEnd();
    EXPECT_TRUE(camera->waitForLiveViewLoopEnd(5000));
    {
        std::lock_guard<std::mutex> g(lib->m);
        lib->gone = true;
        lib->cameras.clear();
        lib->cv.notify_all();
    }
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> g(m);
        return unloads == 1;
    }));
    EXPECT_FALSE(camera->isLoaded());
}

TEST_F(GPhoto2CameraTest, BodyThatSwitchesBackToItsCardAfterEachShotStillDeliversEveryPicture)
{
    {
        std::lock_guard<std::mutex> g(lib->m);
        lib->targetBackToCard = true;
    }
    for (int shot = 1; shot <= 2; ++shot) {
        const int saveToChanges = changesOf(QStringLiteral("SaveTo"));
        ASSERT_TRUE(shotGivesAPicture(camera)) << "shot " << shot;
        // The change of capture target has been dealt with before the next shot.
        ASSERT_TRUE(waitUntil([&] { return changesOf(QStringLiteral("SaveTo")) > saveToChanges; })) << "shot " << shot;
        std::lock_guard<std::mutex> g(lib->m);
        EXPECT_EQ(lib->widgets["capturetarget"].text, "Internal RAM") << "shot " << shot;
    }
    EXPECT_EQ(logCount(QStringLiteral("switched its capture target back to the card after a shot; set to the host again")),
              2);
}

TEST_F(GPhoto2CameraTest, CameraFallingSilentComesBackOnAnotherPortAndTakesPictures)
{
    // The booth's way: a camera that went is unloaded, and the first camera of a new list is
    // loaded when none is.
    auto& center = SNP_NotificationCenter::defaultCenter();
    center.addObserver(&lib, SNP_CanonCameraDidUnload, [](const SNP_Notification& n) {
        if (const auto& gone = n.object.camera())
            gone->unload();
    });
    center.addObserver(&lib, SNP_CanonCameraListDidUpdate, [](const SNP_Notification&) {
        const auto list = SNP_CanonCamera::cameras();
        if (!SNP_CanonCamera::loadedCamera() && list && !list->isEmpty())
            list->first()->load();
    });
    SNP_CanonCamera::initialize();
    ASSERT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
    ASSERT_TRUE(waitUntil([&] { return SNP_CanonCamera::cameras().value_or(SNP_CanonCameraList()).size() == 1; }));

    lib->setSilent(true);
    ASSERT_TRUE(waitUntil([&] {
        return !SNP_CanonCamera::loadedCamera() && SNP_CanonCamera::cameras().value_or(SNP_CanonCameraList{camera}).isEmpty();
    }));
    EXPECT_FALSE(camera->isLoaded());
    {
        std::lock_guard<std::mutex> g(lib->m);
        lib->cameras[0].port = "usb:001,009";  // it re-enumerated as it woke
        lib->silent = false;
        lib->cv.notify_all();
    }
    ASSERT_TRUE(waitUntil([&] {
        const SNP_CanonCameraPtr loaded = SNP_CanonCamera::loadedCamera();
        return loaded && loaded != camera && loaded->isLoaded();
    }));
    SNP_CanonCameraPtr back = SNP_CanonCamera::loadedCamera();
    EXPECT_TRUE(shotGivesAPicture(back));
    center.removeObserver(&lib);
    back->unload();
}
