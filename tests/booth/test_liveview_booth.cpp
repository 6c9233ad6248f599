// Live view in the booth, with the simulated camera found by the registry and made current
// as at start-up: the visitor's sequence switches the viewfinder on at screen 3 and off at
// screen 5, and the frames reach _EVFView the right way up.
#include "AppController.h"
#include "BoothTeardown.h"
#include "SNP_CanonCamera.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SimCameraSdk.h"
#include "TestSupport.h"

#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

constexpr EdsPropertyID kEvfOutputDevice = 0x500;

class LiveViewBoothTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        qputenv("BOOTH_LOG_FILE", dir.filePath("booth.log").toUtf8());
        SNP_Preferences::setStoreFileForTesting(dir.filePath("booth.ini"));
        SNP_Preferences::setArguments(QStringList{QStringLiteral("booth")});
        auto store = SNP_Preferences::store();
        store->setValue(QStringLiteral("touchScreenCountValue"), 1);
        store->sync();

        sim = std::make_shared<SimCameraSdk>();
        camId = sim->connectedCameras().front();
        // the visitor's picture is refused, so that this test stays with live view
        sim->injectFault(SimOp::TakePicture, EDS_ERR_TAKE_PICTURE_AF_NG, FaultMode::Always);
        EdsSetCurrentSdk(sim);

        c = std::make_unique<AppController>();
        c->awakeFromNib();
        c->setOverlayWindow();
        ASSERT_TRUE(waitUntil([&] { return c->_currentCamera != nullptr; }, 10000));
        ASSERT_TRUE(sim->waitForIdle());
        camera = c->_currentCamera;
    }

    void TearDown() override
    {
        std::vector<SNP_CanonCameraPtr> held;
        held.push_back(std::move(camera));
        EXPECT_TRUE(takeDownBooth(c, sim, std::move(held)));
    }

    uint32_t screen() const { return c->_screenNumber.load(); }
    void tick() { c->timerDidFire(c->_screenTimer); }
    void goToScreen3()
    {
        c->nextScreen(c->_goButton);
        ASSERT_EQ(screen(), 2u);
        ASSERT_TRUE(c->acceptEmailAddresses({QStringLiteral("a@b.cd")}));
        ASSERT_EQ(screen(), 3u);
    }
    bool hostBit() const { return (sim->cameraProperty(camId, kEvfOutputDevice) & 2) != 0; }
    QImage shown() const { return c->_EVFView->pixmap().toImage(); }
    static int luma(QRgb p) { return (qRed(p) * 299 + qGreen(p) * 587 + qBlue(p) * 114) / 1000; }

    QTemporaryDir dir;
    std::shared_ptr<SimCameraSdk> sim;
    int camId = 0;
    std::unique_ptr<AppController> c;
    SNP_CanonCameraPtr camera;
};

TEST_F(LiveViewBoothTest, TheSequenceSwitchesLiveViewOnAtScreenThreeAndOffAtScreenFive)
{
    ASSERT_EQ(screen(), 1u);
    EXPECT_FALSE(hostBit());
    EXPECT_FALSE(camera->isLiveViewLoopRunning());
    c->nextScreen(c->_goButton);
    EXPECT_FALSE(hostBit());  // not on the e-mail screen yet

    ASSERT_TRUE(c->acceptEmailAddresses({QStringLiteral("a@b.cd")}));
    ASSERT_EQ(screen(), 3u);
    EXPECT_TRUE(hostBit());
    ASSERT_TRUE(waitUntil([&] { return camera->liveViewFramesDelivered() >= 2; }));
    EXPECT_TRUE(camera->isLiveViewLoopRunning());

    for (int i = 0; i < 20 && screen() == 3; ++i)
        tick();
    ASSERT_EQ(screen(), 4u);
    // still streaming through the live countdown
    const uint64_t atFour = camera->liveViewFramesDelivered();
    ASSERT_TRUE(waitUntil([&] { return camera->liveViewFramesDelivered() >= atFour + 2; }));
    EXPECT_TRUE(hostBit());

    for (int i = 0; i < 20 && screen() == 4; ++i)
        tick();
    ASSERT_EQ(screen(), 5u);
    EXPECT_FALSE(hostBit());  // switched off before the picture is asked for
    ASSERT_TRUE(waitUntil([&] { return !camera->isLiveViewLoopRunning(); }));
    EXPECT_FALSE(camera->shouldDownloadLiveViewImage());
    EXPECT_EQ(camera->liveViewRunCount(), 1u);
}

TEST_F(LiveViewBoothTest, FramesReachTheLivePictureTheRightWayUp)
{
    ASSERT_NE(c->_EVFView, nullptr);
    ASSERT_NE(c->_liveView, nullptr);
    c->_liveView->resize(1920, 1080);  // the live screen; screen 3 lays the picture out in it
    goToScreen3();
    EXPECT_GT(c->_EVFView->width(), 1000);
    // screen 3 starts from black
    ASSERT_TRUE(waitUntil([&] { return camera->liveViewFramesDelivered() >= 2; }));
    EXPECT_FALSE(c->_EVFView->isHidden());
    const QImage picture = shown();
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(picture.size(), c->_EVFView->size());
    // the camera's scene: a dark clock plate in the top-left corner over a light sky, a
    // meadow below; upside down the plate would be at the bottom
    const int w = picture.width(), h = picture.height();
    const int plate = luma(picture.pixel(qMax(1, w / 100), qMax(1, h / 60)));
    const int sky = luma(picture.pixel(w * 3 / 4, h / 12));
    const int bottomLeft = luma(picture.pixel(qMax(1, w / 100), h - 1 - qMax(1, h / 60)));
    EXPECT_LT(plate, 60) << w << "x" << h;
    EXPECT_GT(sky, plate + 60) << w << "x" << h << " plate " << plate;
    EXPECT_GT(bottomLeft, plate + 20);

    // a frame arriving while the picture is hidden shows it
    c->_EVFView->hide();
    const uint64_t delivered = camera->liveViewFramesDelivered();
    ASSERT_TRUE(waitUntil([&] { return camera->liveViewFramesDelivered() > delivered; }));
    EXPECT_FALSE(c->_EVFView->isHidden());
}

TEST_F(LiveViewBoothTest, WithoutACameraTheSequenceRunsAndThePictureStaysBlack)
{
    c->setCurrentCamera(nullptr);
    ASSERT_EQ(c->_currentCamera, nullptr);
    c->_screenNumber = 0;
    c->nextScreen(nullptr);
    goToScreen3();
    EXPECT_FALSE(hostBit());
    const QImage picture = shown();
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(luma(picture.pixel(picture.width() / 2, picture.height() / 2)), 0);
    for (int i = 0; i < 40 && screen() != 5; ++i)
        tick();
    EXPECT_EQ(screen(), 5u);
    EXPECT_EQ(camera->liveViewRunCount(), 0u);
}

}  // namespace
