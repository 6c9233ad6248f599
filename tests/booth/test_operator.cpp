// The current camera and the operator's commands, driven through the panel's widgets over
// the simulated camera: the camera menu follows the registry, the first camera is loaded,
// another camera is chosen in the menu, an unplugged camera stops being current, the
// progress bar around a refused picture, and the command, zoom, lens, live-view and
// folder buttons.
#include "booth/OperatorFixture.h"

#include "SNP_CanonCameraNotifications.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>

namespace {

constexpr int32_t kAEMode = 1024;
constexpr int32_t kBatteryLevel = 8;
constexpr int32_t kFirmwareVersion = 7;

class OperatorTest : public OperatorFixture {
protected:
    QComboBox* cameras() const { return c->_camerasButton; }
    // Waits until a command started on its own thread has reached the camera.
    bool waitForCommands(int count)
    {
        return waitUntil([&] { return sim->callCount(SimOp::SendCommand) >= count; });
    }
};

// Start-up before any camera is listed.
class OperatorStartTest : public OperatorFixture {
protected:
    void SetUp() override { prepare(); }
};

}  // namespace

TEST_F(OperatorStartTest, MenuStartsEmptyThenTheFirstCameraIsLoaded)
{
    c = std::make_unique<AppController>();
    ASSERT_NE(c->_camerasButton, nullptr);
    ASSERT_NE(c->_progress, nullptr);
    c->awakeFromNib();
    // The scan runs on its own thread; its notification has not been served yet.
    ASSERT_EQ(c->_camerasButton->count(), 1);
    EXPECT_EQ(c->_camerasButton->itemText(0), QStringLiteral("No Cameras available"));
    EXPECT_EQ(c->_currentCamera, nullptr);

    ASSERT_TRUE(waitUntil([&] { return c->_currentCamera != nullptr; }, 10000));
    ASSERT_TRUE(sim->waitForIdle());
    ASSERT_EQ(c->_camerasButton->count(), 1);
    EXPECT_EQ(c->_camerasButton->itemText(0), QStringLiteral("Canon EOS 5D Mark II"));
    EXPECT_EQ(c->_camerasButton->itemData(0).value<SNP_CanonCameraPtr>(), c->_currentCamera);
    EXPECT_TRUE(c->_currentCamera->isLoaded());
    EXPECT_EQ(c->_currentCamera->delegate(), static_cast<SNP_CanonCameraDelegate*>(c.get()));
    const QString text = logText();
    EXPECT_TRUE(text.contains("SNP_CanonCameraListDidUpdate!"));
    EXPECT_TRUE(text.contains("now cameras = (Canon EOS 5D Mark II)"));
    EXPECT_TRUE(text.contains("setting current camera to Canon EOS 5D Mark II"));
    EXPECT_TRUE(text.contains("SNP_CanonCameraDidLoad!"));
    EXPECT_TRUE(text.contains("set current camera to \"Canon EOS 5D Mark II\"!!"));
    EXPECT_EQ(menu(kAEMode)->currentText(), QStringLiteral("Manual Exposure"));
}

TEST_F(OperatorTest, MenuFollowsTheRegistryAndAnEmptyListKeepsTheCamera)
{
    const SNP_CanonCameraPtr first = c->_currentCamera;
    const int second = sim->connectCamera("Canon EOS 7D");
    ASSERT_GT(second, 0);
    ASSERT_TRUE(waitUntil([&] { return cameras()->count() == 2; }, 10000));
    // In the registry's order, each item carrying its camera.
    const std::optional<SNP_CanonCameraList> list = SNP_CanonCamera::cameras();
    ASSERT_TRUE(list && list->size() == 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(cameras()->itemText(i), list->at(i)->description());
        EXPECT_EQ(cameras()->itemData(i).value<SNP_CanonCameraPtr>(), list->at(i));
    }
    EXPECT_GE(cameras()->findText(QStringLiteral("Canon EOS 5D Mark II")), 0);
    EXPECT_GE(cameras()->findText(QStringLiteral("Canon EOS 7D")), 0);
    EXPECT_EQ(c->_currentCamera, first);  // a list update keeps a current camera
    EXPECT_TRUE(logText().contains("SNP_CanonCameraAdded!"));

    // An empty list: one item, the controls refreshed from the camera, which stays current.
    c->updateCameraPopupWithCameras({});
    ASSERT_EQ(cameras()->count(), 1);
    EXPECT_EQ(cameras()->itemText(0), QStringLiteral("No Cameras available"));
    EXPECT_EQ(c->_currentCamera, first);
    EXPECT_TRUE(first->isLoaded());
    EXPECT_EQ(menu(kAEMode)->currentText(), QStringLiteral("Manual Exposure"));
    EXPECT_GT(menu(kAEMode)->count(), 1);
}

TEST_F(OperatorTest, ChoosingAnotherCameraUnloadsTheFirstAndRefillsTheControls)
{
    const SNP_CanonCameraPtr first = c->_currentCamera;
    const int second = sim->connectCamera("Canon EOS 7D");
    ASSERT_TRUE(waitUntil([&] { return cameras()->count() == 2; }, 10000));

    // What the controls hold when each camera notification has been handled.
    struct Seen {
        int aeItems = -1;
        int aeIndex = -2;
        QString battery = QStringLiteral("?");
    };
    Seen atUnload, atLoad;
    SNP_NotificationCenter::defaultCenter().addObserver(&atUnload, SNP_CanonCameraDidUnload,
                                                        [&](const SNP_Notification&) {
                                                            atUnload = {menu(kAEMode)->count(), menu(kAEMode)->currentIndex(),
                                                                        field(kBatteryLevel)->text()};
                                                        });
    SNP_NotificationCenter::defaultCenter().addObserver(&atLoad, SNP_CanonCameraDidLoad, [&](const SNP_Notification&) {
        atLoad = {menu(kAEMode)->count(), menu(kAEMode)->currentIndex(), field(kBatteryLevel)->text()};
    });

    const qsizetype mark = logMark();
    choose(cameras(), QStringLiteral("Canon EOS 7D"));
    ASSERT_TRUE(sim->waitForIdle());
    SNP_NotificationCenter::defaultCenter().removeObserver(&atUnload);
    SNP_NotificationCenter::defaultCenter().removeObserver(&atLoad);

    ASSERT_NE(c->_currentCamera, nullptr);
    EXPECT_EQ(c->_currentCamera->description(), QStringLiteral("Canon EOS 7D"));
    EXPECT_FALSE(first->isLoaded());
    EXPECT_TRUE(sim->isSessionOpen(second));
    EXPECT_FALSE(sim->isSessionOpen(firstId));

    // Two "setting current camera" lines: the chosen camera, then none while the first goes.
    const QString text = logSince(mark);
    EXPECT_TRUE(text.contains("choose a camera!!"));
    const qsizetype chosen = text.indexOf("setting current camera to Canon EOS 7D");
    const qsizetype none = text.indexOf("setting current camera to (null)");
    const qsizetype loaded = text.indexOf("set current camera to \"Canon EOS 7D\"!!");
    ASSERT_GE(chosen, 0);
    ASSERT_GT(none, chosen);
    ASSERT_GT(loaded, none);
    EXPECT_EQ(text.count("setting current camera to"), 2);

    // Emptied when the first camera went, then refilled by the second one.
    EXPECT_EQ(atUnload.aeItems, 0);
    EXPECT_TRUE(atUnload.battery.isEmpty());
    EXPECT_EQ(atLoad.aeIndex, -1);  // choices back, nothing selected before the camera reports
    EXPECT_GT(atLoad.aeItems, 0);
    EXPECT_EQ(menu(kAEMode)->currentText(), QStringLiteral("Manual Exposure"));
    EXPECT_EQ(field(kBatteryLevel)->text(), QStringLiteral("AC Power"));
    EXPECT_EQ(field(kFirmwareVersion)->text(), QStringLiteral("2.1.2"));
}

TEST_F(OperatorTest, UnpluggedCameraStopsBeingCurrent)
{
    ASSERT_NE(c->_cameraClockTimer, nullptr);
    const qsizetype mark = logMark();
    ASSERT_TRUE(sim->disconnectCamera(firstId));
    ASSERT_TRUE(waitUntil([&] { return c->_currentCamera == nullptr; }, 10000));
    ASSERT_TRUE(waitUntil([&] { return cameras()->itemText(0) == QStringLiteral("No Cameras available"); }, 10000));
    EXPECT_EQ(cameras()->count(), 1);
    EXPECT_EQ(c->_cameraClockTimer, nullptr);
    EXPECT_EQ(menu(kAEMode)->count(), 0);
    EXPECT_TRUE(field(kBatteryLevel)->text().isEmpty());
    EXPECT_TRUE(logSince(mark).contains("SNP_CanonCameraDisappeared: Canon EOS 5D Mark II"));
}

TEST_F(OperatorTest, ProgressBarAroundARefusedPicture)
{
    QProgressBar* progress = c->_progress;
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(progress->value(), 0);
    sim->injectFault(SimOp::SendCommand, EDS_ERR_DEVICE_BUSY, FaultMode::Once, 1, 0, 0);
    const qsizetype mark = logMark();
    click("_takePictureButton");
    EXPECT_EQ(progress->value(), 5);  // set before the command is queued
    ASSERT_TRUE(waitUntil([&] { return progress->value() == 0; }));
    EXPECT_TRUE(waitUntil([&] { return logSince(mark).contains("received command error notification:"); }));
    EXPECT_TRUE(logSince(mark).contains("take a picture!"));
    EXPECT_EQ(sim->picturesTaken(firstId), 0);

    // A refused shutter command leaves the bar as it is.
    progress->setValue(42);
    sim->injectFault(SimOp::SendCommand, EDS_ERR_DEVICE_BUSY, FaultMode::Once, 1, 0, 4);
    click("_pressShutterHalfButton");
    ASSERT_TRUE(waitUntil([&] { return logSince(mark).count("received command error notification:") == 2; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(progress->value(), 42);
    EXPECT_TRUE(logSince(mark).contains("press shutter halfway!"));

    c->clearProgressIndicator();
    EXPECT_EQ(progress->value(), 0);
}

TEST_F(OperatorTest, SaveLastPictureButtonSavesTheLastPictureForTheOperator)
{
    QString opened;
    AppController::setOpenFileHandlerForTesting([&](const QString& path) {
        opened = path;
        return true;
    });
    const QByteArray bytes("\xff\xd8 the camera's bytes \xff\xd9");
    c->setImageDict({{SNP_CanonCameraPhotoData, bytes}, {SNP_CanonCameraPhotoFilename, QStringLiteral("IMG_1.JPG")}});
    click("_saveLastPictureButton");
    AppController::setOpenFileHandlerForTesting(nullptr);
    ASSERT_TRUE(opened.startsWith("/tmp/") && opened.endsWith(".jpg")) << qPrintable(opened);
    QFile saved(opened);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), bytes);
    saved.remove();
}

TEST_F(OperatorTest, WithoutACurrentCameraButtonsReachNoCamera)
{
    c->setCurrentCamera(nullptr);
    ASSERT_EQ(c->_currentCamera, nullptr);
    const int commands = sim->callCount(SimOp::SendCommand);
    const int writes = sim->callCount(SimOp::SetPropertyData);
    click("_takePictureButton");
    EXPECT_EQ(c->_progress->value(), 5);
    click("_pressShutterFullButton");
    click("_releaseShutterButton");
    click("_zoom5Button");
    click("_focusNear1Button");
    click("_setCameraClockButton");
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->callCount(SimOp::SendCommand), commands);
    EXPECT_EQ(sim->callCount(SimOp::SetPropertyData), writes);
}

TEST_F(OperatorTest, CommandAndZoomButtonsReachTheCamera)
{
    int commands = sim->callCount(SimOp::SendCommand);
    click("_pressShutterHalfButton");
    ASSERT_TRUE(waitForCommands(++commands));
    click("_releaseShutterButton");
    ASSERT_TRUE(waitForCommands(++commands));
    click("_focusNear2Button");
    ASSERT_TRUE(waitForCommands(++commands));
    click("_focusFar3Button");
    ASSERT_TRUE(waitForCommands(++commands));
    EXPECT_TRUE(logText().contains("sending parameter 0X2 for DriveLensEvf"));
    EXPECT_TRUE(logText().contains("sending parameter 0X8003 for DriveLensEvf"));
    EXPECT_FALSE(logText().contains("bad parameter"));

    click("_zoom5Button");
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->cameraProperty(firstId, 0x507), 5u);
    click("_zoom10Button");
    EXPECT_EQ(sim->cameraProperty(firstId, 0x507), 10u);
    click("_zoom1Button");
    EXPECT_EQ(sim->cameraProperty(firstId, 0x507), 1u);
}

TEST_F(OperatorTest, LiveViewButtonsShowAndStopTheFrames)
{
    QLabel* evf = c->_EVFView;
    ASSERT_NE(evf, nullptr);
    evf->hide();
    click("_liveViewOnButton");
    ASSERT_TRUE(waitUntil([&] { return !evf->isHidden() && !evf->pixmap().isNull(); }, 10000));
    EXPECT_TRUE(logText().contains("liveViewBegin!"));
    click("_liveViewOffButton");
    EXPECT_TRUE(logText().contains("liveViewEnd!"));
    ASSERT_TRUE(waitUntil([&] { return !c->_currentCamera->shouldDownloadLiveViewImage(); }, 10000));
}

TEST_F(OperatorTest, FolderButtonsOpenTheirPanels)
{
    const std::pair<const char*, QString> buttons[] = {
        {"_scratchFolderButton", QStringLiteral("Choose the Canon Scratch folder")},
        {"_mainImagesFolderButton", QStringLiteral("Choose the Main Images folder")},
        {"_forUploadFolderButton", QStringLiteral("Choose the HTTP ForUpload folder")},
    };
    for (const auto& [name, title] : buttons) {
        click(name);
        QFileDialog* panel = nullptr;
        ASSERT_TRUE(waitUntil([&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<QFileDialog*>(w);
                if (dialog && dialog->isVisible() && dialog->windowTitle() == title)
                    panel = dialog;
            }
            return panel != nullptr;
        })) << name;
        const QString before = gScratchFolder() + gMainImagesFolder() + gForUploadFolder();
        panel->reject();
        QCoreApplication::processEvents();
        EXPECT_EQ(gScratchFolder() + gMainImagesFolder() + gForUploadFolder(), before);
    }
}
