// The current camera and the operator's commands, driven through the panel's widgets over
// the simulated camera: the camera menu follows the registry (also while it is busy), the
// first listed camera is loaded, another camera is chosen in the menu, the progress bar
// around a refused picture, the command, zoom, lens and live-view buttons, and without a
// camera empty controls and buttons that reach none. (An
// unplugged camera: test_faults_camera; the save button's picture: test_photo.)
#include "BoothRunFixture.h"

#include "SNP_CanonCameraNotifications.h"

#include <QProgressBar>

namespace {

using OperatorStartTest = BoothRunFixture;

class OperatorTest : public BoothRunFixture {
protected:
    void SetUp() override
    {
        BoothRunFixture::SetUp();
        start();
    }
    QComboBox* cameras() const { return view.get<QComboBox>("_camerasButton"); }
    QProgressBar* progress() const { return view.get<QProgressBar>("_progress"); }
};

} // namespace

TEST_F(OperatorStartTest, TheMenuStartsEmptyThenTheFirstListedCameraIsLoaded)
{
    for (const int connected : {1, 2}) {
        SCOPED_TRACE(connected);
        SNP_Preferences::setStoreFileForTesting(dir.filePath(QStringLiteral("booth.ini")));
        sim = std::make_shared<SimCameraSdk>();
        if (connected == 2) {
            ASSERT_GT(sim->connectCamera("Canon EOS 7D"), 0);
        }
        wake();
        QComboBox* menu = view.get<QComboBox>("_camerasButton");
        // The scan runs on its own thread; its notification has not been served yet.
        EXPECT_EQ(BoothView::titles(menu), QStringList{"No Cameras available"});
        EXPECT_EQ(c->currentCamera(), nullptr);
        waitForCamera();
        EXPECT_EQ(c->currentCamera(), SNP_CanonCamera::cameras().value().first());
        EXPECT_TRUE(c->currentCamera()->isLoaded());
        EXPECT_EQ(c->currentCamera()->delegate(), static_cast<SNP_CanonCameraDelegate*>(c.get()));
        // In the registry's order, each item carrying its camera.
        ASSERT_EQ(menu->count(), connected);
        for (int i = 0; i < connected; ++i) {
            EXPECT_EQ(menu->itemText(i), SNP_CanonCamera::cameras()->at(i)->description());
            EXPECT_EQ(menu->itemData(i).value<SNP_CanonCameraPtr>(), SNP_CanonCamera::cameras()->at(i));
        }
        // The load line names the camera in quotes.
        EXPECT_TRUE(logText().contains("set current camera to \"" + c->currentCamera()->description() + "\"!!"));
        ASSERT_TRUE(takeDownBooth(c, sim));
    }
}

TEST_F(OperatorTest, TheMenuFollowsTheRegistryAndAnEmptyListKeepsTheCamera)
{
    const SNP_CanonCameraPtr first = c->currentCamera();
    ASSERT_GT(sim->connectCamera("Canon EOS 7D"), 0);
    ASSERT_TRUE(waitUntil([&] { return cameras()->count() == 2; }, 10000));
    EXPECT_EQ(c->currentCamera(), first); // a list update keeps the current camera

    // An empty list: one item, the controls refreshed from the camera, which stays current.
    c->updateCameraPopupWithCameras({});
    EXPECT_EQ(BoothView::titles(cameras()), QStringList{"No Cameras available"});
    EXPECT_EQ(c->currentCamera(), first);
    EXPECT_TRUE(first->isLoaded());
    EXPECT_EQ(view.menu(kAEMode)->currentText(), QStringLiteral("Manual Exposure"));
    EXPECT_GT(view.menu(kAEMode)->count(), 1);

    // A list update while the registry is busy with one of its own leaves the menu as it
    // is (that update posts again); the next one fills it.
    const auto post = [] {
        SNP_NotificationCenter::defaultCenter().postNotification(SNP_CanonCameraListDidUpdate,
                                                                 SNP_NotificationObject::nil());
    };
    {
        const auto busy = SNP_CanonCamera::lockRegistryForTesting();
        post();
    }
    EXPECT_EQ(BoothView::titles(cameras()), QStringList{"No Cameras available"});
    post();
    EXPECT_EQ(cameras()->count(), 2);
}

TEST_F(OperatorTest, ChoosingAnotherCameraUnloadsTheFirstAndRefillsTheControls)
{
    const int second = sim->connectCamera("Canon EOS 7D");
    ASSERT_TRUE(waitUntil([&] { return cameras()->count() == 2; }, 10000));

    // What the controls hold when each camera notification has been handled.
    struct Seen { int aeItems = -1; int aeIndex = -2; QString battery = QStringLiteral("?"); };
    Seen atUnload, atLoad;
    const auto record = [&](Seen* seen, const QString& name) {
        SNP_NotificationCenter::defaultCenter().addObserver(seen, name, [&, seen](const SNP_Notification&) {
            *seen = {view.menu(kAEMode)->count(), view.menu(kAEMode)->currentIndex(), view.field(kBatteryLevel)->text()};
        });
    };
    record(&atUnload, SNP_CanonCameraDidUnload);
    record(&atLoad, SNP_CanonCameraDidLoad);
    const qsizetype mark = logMark();
    BoothView::choose(cameras(), QStringLiteral("Canon EOS 7D"));
    ASSERT_TRUE(sim->waitForIdle());
    SNP_NotificationCenter::defaultCenter().removeObserver(&atUnload);
    SNP_NotificationCenter::defaultCenter().removeObserver(&atLoad);

    ASSERT_NE(c->currentCamera(), nullptr);
    EXPECT_EQ(c->currentCamera()->description(), QStringLiteral("Canon EOS 7D"));
    EXPECT_TRUE(sim->isSessionOpen(second));
    EXPECT_FALSE(sim->isSessionOpen(firstId));
    // Two "setting current camera" lines: the chosen camera, then none while the first goes.
    const QString text = logSince(mark);
    const qsizetype chosen = text.indexOf("setting current camera to Canon EOS 7D");
    ASSERT_GE(chosen, 0);
    EXPECT_GT(text.indexOf("setting current camera to (null)"), chosen);
    EXPECT_EQ(text.count("setting current camera to"), 2);

    // Emptied when the first camera went, then refilled by the second one.
    EXPECT_EQ(atUnload.aeItems, 0);
    EXPECT_TRUE(atUnload.battery.isEmpty());
    EXPECT_EQ(atLoad.aeIndex, -1); // choices back, nothing selected before the camera reports
    EXPECT_GT(atLoad.aeItems, 0);
    EXPECT_EQ(view.menu(kAEMode)->currentText(), QStringLiteral("Manual Exposure"));
    EXPECT_EQ(view.field(kBatteryLevel)->text(), QStringLiteral("AC Power"));
}

TEST_F(OperatorTest, TheProgressBarAroundARefusedPicture)
{
    EXPECT_EQ(progress()->value(), 0);
    sim->injectFault(SimOp::SendCommand, EDS_ERR_DEVICE_BUSY, FaultMode::Once, 1, 0, 0);
    view.click("_takePictureButton");
    EXPECT_EQ(progress()->value(), 5); // set before the command is queued
    ASSERT_TRUE(waitUntil([&] { return progress()->value() == 0; }));
    EXPECT_EQ(sim->picturesTaken(firstId), 0);

    // A refused shutter command leaves the bar as it is.
    progress()->setValue(42);
    const int commands = sim->callCount(SimOp::SendCommand);
    sim->injectFault(SimOp::SendCommand, EDS_ERR_DEVICE_BUSY, FaultMode::Once, 1, 0, 4);
    view.click("_pressShutterHalfButton");
    ASSERT_TRUE(waitUntil([&] { return sim->callCount(SimOp::SendCommand) > commands; }));
    ASSERT_TRUE(sim->waitForIdle());
    QCoreApplication::processEvents();
    EXPECT_EQ(progress()->value(), 42);
    c->clearProgressIndicator();
    EXPECT_EQ(progress()->value(), 0);
}

TEST_F(OperatorTest, WithoutACurrentCameraTheControlsAreEmptyAndNothingReachesACamera)
{
    c->setCurrentCamera(nullptr);
    for (int32_t tag : {1024, 1029, 1030, 1031, 262, 1026, 1028, 1025, 1027, 256, 1294})
        EXPECT_EQ(view.menu(tag)->count(), 0) << tag;
    for (int32_t tag : {8, 16, 7, 1049, 4, 1048})
        EXPECT_TRUE(view.field(tag)->text().isEmpty()) << tag;
    QComboBox* iso = view.menu(kISOSpeed); // choosing a setting beeps
    iso->addItem(QStringLiteral("ISO 400"));
    BoothView::choose(iso, QStringLiteral("ISO 400"));
    EXPECT_EQ(c->beepCount(), 1);
    const int commands = sim->callCount(SimOp::SendCommand);
    const int writes = sim->callCount(SimOp::SetPropertyData);
    view.click("_takePictureButton");
    EXPECT_EQ(progress()->value(), 5);
    for (const char* button : {"_pressShutterFullButton", "_releaseShutterButton", "_zoom5Button",
                               "_focusNear1Button", "_setCameraClockButton", "_liveViewOnButton"})
        view.click(button);
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->callCount(SimOp::SendCommand), commands);
    EXPECT_EQ(sim->callCount(SimOp::SetPropertyData), writes);
}

TEST_F(OperatorTest, CommandZoomAndLiveViewButtonsReachTheCamera)
{
    for (const char* button : {"_pressShutterHalfButton", "_releaseShutterButton", "_focusNear1Button",
                               "_focusNear2Button", "_focusNear3Button", "_focusFar1Button", "_focusFar2Button",
                               "_focusFar3Button"}) {
        const int commands = sim->callCount(SimOp::SendCommand);
        view.click(button);
        EXPECT_TRUE(waitUntil([&] { return sim->callCount(SimOp::SendCommand) == commands + 1; })) << button;
    }
    for (const auto& [button, zoom] : {std::pair{"_zoom5Button", 5u}, {"_zoom10Button", 10u}, {"_zoom1Button", 1u}}) {
        view.click(button);
        ASSERT_TRUE(sim->waitForIdle());
        EXPECT_EQ(sim->cameraProperty(firstId, 0x507), zoom);
    }
    // Live view on shows the camera's frames; off stops them.
    QLabel* evf = view.get<QLabel>("_EVFView");
    evf->hide();
    view.click("_liveViewOnButton");
    ASSERT_TRUE(waitUntil([&] { return !evf->isHidden() && !evf->pixmap().isNull(); }, 10000));
    view.click("_liveViewOffButton");
    EXPECT_TRUE(waitUntil([&] { return !c->currentCamera()->shouldDownloadLiveViewImage(); }, 10000));
}
