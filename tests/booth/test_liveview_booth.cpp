// Live view in the booth, with the simulated camera found by the registry and made current
// as at start-up: the visitor's sequence switches the viewfinder on at screen 3 and off at
// screen 5, and the frames reach the camera picture the right way up. The screens are
// ticked by hand (their own timer is a minute long), and every wait is for frames to have
// arrived.
#include "BoothRunFixture.h"

namespace {

constexpr EdsPropertyID kEvfOutputDevice = 0x500;
constexpr int kFramesTimeoutMs = 20000;

class LiveViewBoothTest : public BoothRunTest {
protected:
    void SetUp() override
    {
        // The visitor's picture is refused, so that this test stays with live view.
        run.sim->injectFault(SimOp::TakePicture, EDS_ERR_TAKE_PICTURE_AF_NG, FaultMode::Always);
        ASSERT_TRUE(run.start(60000));
        camera = run.camera();
        picture = c->findChild<QLabel*>(QStringLiteral("_EVFView"));
        ASSERT_NE(picture, nullptr);
    }
    void TearDown() override
    {
        camera.reset(); // the booth run lets go of the cameras it made current, then of the SDK
        BoothRunTest::TearDown();
    }

    // Ticks the screen's countdown until the booth has moved on from it.
    void tickThrough(uint32_t from)
    {
        for (int i = 0; i < 40 && run.screen() == from; ++i)
            c->timerDidFire(c->findChild<QTimer*>(QStringLiteral("screenTimer")));
        ASSERT_NE(run.screen(), from);
    }
    bool framesArrive(uint64_t more = 2) const
    {
        const uint64_t wanted = camera->liveViewFramesDelivered() + more;
        return waitUntil([&] { return camera->liveViewFramesDelivered() >= wanted; }, kFramesTimeoutMs);
    }
    bool hostBit() const { return (run.sim->cameraProperty(camId, kEvfOutputDevice) & 2) != 0; }
    static int luma(QRgb p) { return (qRed(p) * 299 + qGreen(p) * 587 + qBlue(p) * 114) / 1000; }

    const int camId = run.sim->connectedCameras().front();
    SNP_CanonCameraPtr camera;
    QLabel* picture = nullptr;
};

TEST_F(LiveViewBoothTest, TheSequenceSwitchesLiveViewOnAtScreenThreeAndOffAtScreenFive)
{
    ASSERT_EQ(run.screen(), 1u);
    EXPECT_FALSE(hostBit());
    EXPECT_FALSE(camera->isLiveViewLoopRunning());
    c->nextScreen(c.get());
    EXPECT_FALSE(hostBit()); // not on the e-mail screen yet

    ASSERT_TRUE(c->acceptEmailAddresses({QStringLiteral("a@b.cd")}));
    ASSERT_EQ(run.screen(), 3u);
    EXPECT_TRUE(hostBit());
    ASSERT_TRUE(framesArrive());
    EXPECT_TRUE(camera->isLiveViewLoopRunning());

    tickThrough(3);
    ASSERT_EQ(run.screen(), 4u);
    ASSERT_TRUE(framesArrive()); // still streaming through the live countdown
    EXPECT_TRUE(hostBit());

    tickThrough(4);
    ASSERT_EQ(run.screen(), 5u);
    EXPECT_FALSE(hostBit()); // switched off before the picture is asked for
    ASSERT_TRUE(waitUntil([&] { return !camera->isLiveViewLoopRunning(); }, kFramesTimeoutMs));
    EXPECT_FALSE(camera->shouldDownloadLiveViewImage());
    EXPECT_EQ(camera->liveViewRunCount(), 1u);
}

TEST_F(LiveViewBoothTest, FramesReachTheLivePictureTheRightWayUp)
{
    const QWidget* liveView = c->findChild<QWidget*>(QStringLiteral("_liveView"));
    ASSERT_NE(liveView, nullptr);
    goToScreen3(*c, c.get());
    EXPECT_GT(picture->width(), liveView->width() / 2); // laid out in the live screen
    ASSERT_TRUE(framesArrive()); // screen 3 starts from black
    EXPECT_FALSE(picture->isHidden());
    const QImage frame = picture->grab().toImage(); // as shown: stretched over the picture
    ASSERT_EQ(frame.size(), picture->size());
    // The camera's scene: a dark clock plate in the top-left corner over a light sky, a
    // meadow below; upside down the plate would be at the bottom.
    const int w = frame.width(), h = frame.height();
    const int plate = luma(frame.pixel(qMax(1, w / 100), qMax(1, h / 60)));
    EXPECT_LT(plate, 60) << w << "x" << h;
    EXPECT_GT(luma(frame.pixel(w * 3 / 4, h / 12)), plate + 60);
    EXPECT_GT(luma(frame.pixel(qMax(1, w / 100), h - 1 - qMax(1, h / 60))), plate + 20);

    // A frame arriving while the picture is hidden shows it.
    picture->hide();
    ASSERT_TRUE(framesArrive(1));
    EXPECT_FALSE(picture->isHidden());
}

TEST_F(LiveViewBoothTest, WithoutACameraTheSequenceRunsAndThePictureStaysBlack)
{
    c->setCurrentCamera(nullptr);
    ASSERT_EQ(run.camera(), nullptr);
    c->startOver(nullptr);
    goToScreen3(*c, c.get());
    EXPECT_FALSE(hostBit());
    const QImage frame = picture->pixmap().toImage();
    ASSERT_FALSE(frame.isNull());
    EXPECT_EQ(luma(frame.pixel(frame.width() / 2, frame.height() / 2)), 0);
    tickThrough(3);
    tickThrough(4);
    EXPECT_EQ(run.screen(), 5u);
    EXPECT_EQ(camera->liveViewRunCount(), 0u);
}

} // namespace
