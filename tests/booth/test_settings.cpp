// The operator's camera settings over the simulated camera: controls found by tag (also on
// tab pages not shown), menus filled and sorted from the allowed values, values shown from
// the camera's notifications, the exposure-mode rule, the running camera clock with its
// skew, writes from the controls, and refused writes that beep and restore the control.
#include "booth/OperatorFixture.h"

#include "SNP_CanonCameraNotifications.h"

#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace {

enum : int32_t {
    kOwnerName = 4, kDateTime = 6, kFirmwareVersion = 7, kBatteryLevel = 8, kBatteryQuality = 16,
    kImageQuality = 256, kAEMode = 1024, kISOSpeed = 1026, kAv = 1029, kTv = 1030, kAvailableShots = 0x40A,
};

class SettingsTest : public OperatorFixture {};

// The clock test needs the camera clock set before the session opens.
class CameraClockTest : public OperatorFixture {
protected:
    void SetUp() override
    {
        prepare();
        sim->setClockOffset(firstId, 30.0);
        startBooth();
    }
};

}  // namespace

TEST_F(SettingsTest, ControlsAreFoundByTagAlsoOnPagesNotShown)
{
    auto* tabs = widget<QTabWidget>("_tabs");
    ASSERT_NE(tabs, nullptr);
    ASSERT_EQ(tabs->currentIndex(), 0);  // the visitor's page is shown, the operator's is not
    EXPECT_EQ(c->viewWithTag(kAv), widget<QWidget>("_avMenu"));
    EXPECT_EQ(c->viewWithTag(kOwnerName), widget<QWidget>("_ownerNameField"));
    EXPECT_EQ(c->viewWithTag(kDateTime), widget<QWidget>("_cameraClockPicker"));
    EXPECT_EQ(c->viewWithTag(0x40D), nullptr);  // no lens-name control

    // The walk into tab pages, on a tree of its own.
    QWidget root;
    auto* layout = new QVBoxLayout(&root);
    auto* inner = new QTabWidget;
    layout->addWidget(inner);
    auto* first = new QWidget;
    auto* second = new QWidget;
    inner->addTab(first, QStringLiteral("one"));
    inner->addTab(second, QStringLiteral("two"));
    auto* deep = new QLineEdit(second);
    deep->setProperty("tag", 77);
    inner->setCurrentIndex(0);
    EXPECT_EQ(c->viewWithTag(77, &root), deep);
    EXPECT_EQ(c->viewWithTag(78, &root), nullptr);
    EXPECT_EQ(c->viewWithTag(77, nullptr), nullptr);
}

TEST_F(SettingsTest, FirstCameraFillsTheControls)
{
    QComboBox* ae = menu(kAEMode);
    QComboBox* av = menu(kAv);
    QComboBox* tv = menu(kTv);
    ASSERT_TRUE(ae && av && tv);
    EXPECT_EQ(ae->currentText(), QStringLiteral("Manual Exposure"));
    EXPECT_EQ(ae->toolTip(), QStringLiteral("Manual Exposure"));
    EXPECT_EQ(av->currentText(), QStringLiteral("5.6"));
    EXPECT_EQ(tv->currentText(), QStringLiteral("1/60"));
    EXPECT_EQ(menu(kISOSpeed)->currentText(), QStringLiteral("ISO 200"));
    // Aperture values in numeric order, as the camera allows them (f/4 to f/22).
    EXPECT_EQ(titles(av).mid(0, 5), (QStringList{"4", "4.5", "5.0", "5.6", "6.3"}));
    EXPECT_EQ(titles(av).last(), QStringLiteral("22"));
    // Manual exposure: both controls enabled.
    EXPECT_TRUE(av->isEnabled());
    EXPECT_TRUE(tv->isEnabled());

    EXPECT_EQ(field(kBatteryLevel)->text(), QStringLiteral("AC Power"));
    EXPECT_EQ(field(kBatteryQuality)->text(), QStringLiteral("High"));
    EXPECT_EQ(field(kFirmwareVersion)->text(), QStringLiteral("2.1.2"));
    EXPECT_TRUE(field(kOwnerName)->text().isEmpty());
    EXPECT_EQ(menu(kImageQuality)->currentText(), QStringLiteral("L"));

    // A value for a setting without a control is logged and dropped.
    EXPECT_TRUE(logText().contains("failed to update control for tag (1037) with value EF24-105mm f/4L IS USM"));
    EXPECT_TRUE(logText().contains("updating popup Av (1029) with value 5.6"));
}

TEST_F(SettingsTest, MenusSortNumbersByValueAndKeepTheSelection)
{
    QComboBox* tv = menu(kTv);
    ASSERT_NE(tv, nullptr);
    const auto code = [](uint32_t v) { return QVariant::fromValue<quint32>(v); };
    c->updateControlWithTagWithValues(kTv, QVariantMap{{"1/125", code(0x70)}, {"1/60", code(0x68)}, {"1/1000", code(0x88)}});
    EXPECT_EQ(titles(tv), (QStringList{"1/60", "1/125", "1/1000"}));
    EXPECT_EQ(tv->currentText(), QStringLiteral("1/60"));  // still present: still selected

    tv->setCurrentIndex(tv->findText("1/1000"));
    c->updateControlWithTagWithValues(kTv, QVariantMap{{"1/250", code(0x78)}, {"1/1000", code(0x88)}, {"30\"", code(0x10)}});
    EXPECT_EQ(titles(tv), (QStringList{"1/250", "1/1000", "30\""}));
    EXPECT_EQ(tv->currentText(), QStringLiteral("1/1000"));

    // A table without the selected title selects nothing; none empties the menu.
    c->updateControlWithTagWithValues(kTv, QVariantMap{{"1/250", code(0x78)}});
    EXPECT_EQ(tv->currentIndex(), -1);
    c->updateControlWithTagWithValues(kTv, std::nullopt);
    EXPECT_EQ(tv->count(), 0);

    // Text fields are emptied by a table; a table for a tag without a control is dropped.
    c->updateControlWithTagWithValues(kFirmwareVersion, QVariantMap{{"x", code(1)}});
    EXPECT_TRUE(field(kFirmwareVersion)->text().isEmpty());
    const qsizetype mark = logMark();
    c->updateControlWithTagWithValues(0x40D, QVariantMap{{"x", code(1)}});
    EXPECT_FALSE(logSince(mark).contains("failed to update control"));
}

TEST_F(SettingsTest, ExposureModeEnablesApertureAndShutterSpeed)
{
    QComboBox* av = menu(kAv);
    QComboBox* tv = menu(kTv);
    ASSERT_TRUE(av && tv);
    struct Case {
        QVariant mode;
        bool tvOn, avOn;
    };
    const Case cases[] = {
        {QVariant::fromValue<quint32>(1), true, false}, {QVariant::fromValue<quint32>(2), false, true},
        {QVariant::fromValue<quint32>(3), true, true},  {QVariant::fromValue<quint32>(0), false, false},
        {QVariant::fromValue<quint32>(4), false, false}, {QVariant(QStringLiteral("3")), false, false},
        {QVariant(), false, false},
    };
    for (const Case& x : cases) {
        c->setEnabledForAEMode(x.mode);
        EXPECT_EQ(tv->isEnabled(), x.tvOn) << qPrintable(x.mode.toString());
        EXPECT_EQ(av->isEnabled(), x.avOn) << qPrintable(x.mode.toString());
    }

    // The camera's own change of mode reaches the controls through its notification.
    ASSERT_TRUE(sim->setCameraProperty(firstId, 0x400, 2));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(menu(kAEMode)->currentText(), QStringLiteral("Aperture Priority AE"));
    EXPECT_FALSE(tv->isEnabled());
    EXPECT_TRUE(av->isEnabled());
    EXPECT_EQ(tv->count(), 0);  // the camera allows no shutter speed now
    EXPECT_TRUE(logText().contains("SNP_CanonCameraPropertiesDidChange for camera Canon EOS 5D Mark II"));
}

TEST_F(SettingsTest, ChoosingAValueWritesItToTheCamera)
{
    QComboBox* av = menu(kAv);
    ASSERT_NE(av, nullptr);
    const qsizetype mark = logMark();
    choose(av, QStringLiteral("8"));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->cameraProperty(firstId, kAv), 0x38u);
    EXPECT_EQ(av->currentText(), QStringLiteral("8"));
    EXPECT_TRUE(logSince(mark).contains("setting value \"8\" for property 1029"));
    EXPECT_EQ(c->_beepCount, 0);

    choose(menu(kAEMode), QStringLiteral("Shutter-Speed Priority AE"));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->cameraProperty(firstId, 0x400), 1u);
    EXPECT_TRUE(menu(kTv)->isEnabled());
    EXPECT_FALSE(av->isEnabled());

    // A text typed by the operator.
    QLineEdit* owner = field(kOwnerName);
    owner->setText(QStringLiteral("Korvanex booth"));
    owner->setModified(true);
    emit owner->editingFinished();
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->cameraStringProperty(firstId, kOwnerName), "Korvanex booth");
    EXPECT_EQ(owner->text(), QStringLiteral("Korvanex booth"));
    // Leaving the field without a change writes nothing.
    const int writes = sim->callCount(SimOp::SetPropertyData);
    emit owner->editingFinished();
    EXPECT_EQ(sim->callCount(SimOp::SetPropertyData), writes);
}

TEST_F(SettingsTest, RefusedWritesBeepAndRestoreTheControl)
{
    QComboBox* tv = menu(kTv);
    ASSERT_NE(tv, nullptr);
    ASSERT_EQ(tv->currentText(), QStringLiteral("1/60"));
    sim->injectFault(SimOp::SetPropertyData, EDS_ERR_DEVICE_BUSY, FaultMode::Once, 1, 0, kTv);
    choose(tv, QStringLiteral("1/125"));
    EXPECT_EQ(c->_beepCount, 1);
    // The camera reported its value again: the menu shows it.
    EXPECT_EQ(tv->currentText(), QStringLiteral("1/60"));
    EXPECT_EQ(sim->cameraProperty(firstId, kTv), 0x68u);

    // A text for a number property without a table entry fails before the camera.
    auto* shots = new QLineEdit(widget<QWidget>("_operatorTab"));
    shots->setProperty("tag", int(kAvailableShots));
    shots->setText(QStringLiteral("1500"));
    const int writes = sim->callCount(SimOp::SetPropertyData);
    c->setCameraProperty(shots);
    EXPECT_EQ(c->_beepCount, 2);
    EXPECT_EQ(sim->callCount(SimOp::SetPropertyData), writes);
    // ... and the field shows the camera's value again, in hexadecimal (no table of its own).
    EXPECT_EQ(shots->text(), QStringLiteral("0X5DC"));
}

TEST_F(SettingsTest, BatteryTextsAndHexadecimalFallback)
{
    ASSERT_EQ(field(kBatteryLevel)->text(), QStringLiteral("AC Power"));
    ASSERT_TRUE(sim->setCameraProperty(firstId, kBatteryLevel, 80));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(field(kBatteryLevel)->text(), QStringLiteral("80 %"));

    // A property without a table of its own, shown in a control added for it.
    auto* shots = new QLineEdit(widget<QWidget>("_operatorTab"));
    shots->setProperty("tag", int(kAvailableShots));
    c->_currentCamera->updateValueForPropertyID(kAvailableShots);
    EXPECT_EQ(shots->text(), QStringLiteral("0X5DC"));  // 1500
    ASSERT_TRUE(sim->setCameraProperty(firstId, kAvailableShots, 255));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(shots->text(), QStringLiteral("0XFF"));
}

TEST_F(SettingsTest, ApertureCodesOfTheSameTextShareOneItem)
{
    QComboBox* av = menu(kAv);
    ASSERT_NE(av, nullptr);
    const int items = av->count();
    ASSERT_GE(av->findText(QStringLiteral("4.5")), 0);  // code 0x2B is allowed
    // The camera moves to 0x2C by itself: the same text, no second item.
    ASSERT_TRUE(sim->setCameraProperty(firstId, kAv, 0x2C));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(av->count(), items);
    EXPECT_EQ(av->currentText(), QStringLiteral("4.5"));
    // Choosing it writes the allowed code found in the table.
    choose(av, QStringLiteral("4.5"));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->cameraProperty(firstId, kAv), 0x2Bu);
    EXPECT_EQ(c->_beepCount, 0);
}

TEST_F(SettingsTest, ValuesWithoutAControlAreLoggedAndDropped)
{
    const qsizetype mark = logMark();
    c->updateControlWithTagWithValue(0, QStringLiteral("x"));
    c->updateControlWithTagWithValue(0x40D, QStringLiteral("EF 50mm"));
    c->updateControlWithTagWithValue(kAv, QVariant());  // a menu without a text
    const QString text = logSince(mark);
    EXPECT_TRUE(text.contains("failed to update control for tag (0) with value x"));
    EXPECT_TRUE(text.contains("failed to update control for tag (1037) with value EF 50mm"));
    EXPECT_TRUE(text.contains("no control Av (1029) to update with value (null)"));
    EXPECT_EQ(menu(kAv)->currentText(), QStringLiteral("5.6"));
}

TEST_F(SettingsTest, WithoutACurrentCameraTheControlsAreEmptyAndChoosingBeeps)
{
    c->setCurrentCamera(nullptr);
    EXPECT_EQ(c->_currentCamera, nullptr);
    EXPECT_EQ(c->_cameraClockTimer, nullptr);
    for (int32_t tag : {1024, 1029, 1030, 1031, 262, 1026, 1028, 1025, 1027, 256, 1294}) {
        QComboBox* box = menu(tag);
        ASSERT_NE(box, nullptr) << tag;
        EXPECT_EQ(box->count(), 0) << tag;
    }
    for (int32_t tag : {8, 16, 7, 1049, 4, 1048})
        EXPECT_TRUE(field(tag)->text().isEmpty()) << tag;

    QComboBox* iso = menu(kISOSpeed);
    iso->addItem(QStringLiteral("ISO 400"));
    choose(iso, QStringLiteral("ISO 400"));
    EXPECT_EQ(c->_beepCount, 1);
    EXPECT_TRUE(logText().contains("setting value \"ISO 400\" for property 1026"));
}

TEST_F(CameraClockTest, TheClockRunsWithTheCameraSkew)
{
    QDateTimeEdit* picker = clockPicker();
    ASSERT_NE(picker, nullptr);
    EXPECT_NEAR(c->_cameraClockSkew, 30.0, 1.0);
    ASSERT_NE(c->_cameraClockTimer, nullptr);
    EXPECT_TRUE(c->_cameraClockTimer->isActive());
    EXPECT_EQ(c->_cameraClockTimer->interval(), 1000);
    EXPECT_TRUE(logText().contains("setting camara clock to "));

    c->animateDatePicker(c->_cameraClockTimer);
    EXPECT_NEAR(QDateTime::currentDateTime().msecsTo(picker->dateTime()) / 1000.0, 30.0, 1.5);

    // The timer moves the display on by itself, about once a second.
    const QDateTime before = picker->dateTime();
    ASSERT_TRUE(waitUntil([&] { return picker->dateTime().secsTo(before) != 0; }, 3000));
    EXPECT_NEAR(QDateTime::currentDateTime().msecsTo(picker->dateTime()) / 1000.0, 30.0, 1.5);
    EXPECT_GE(before.secsTo(picker->dateTime()), 1);

    // Set to now: the camera takes the computer's time and reports it back.
    QTimer* oldTimer = c->_cameraClockTimer;
    click("_setCameraClockButton");
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_NEAR(sim->clockOffset(firstId), 0.0, 1.5);
    EXPECT_NEAR(c->_cameraClockSkew, 0.0, 1.5);
    EXPECT_NE(c->_cameraClockTimer, oldTimer);  // restarted by the new value
    EXPECT_NEAR(QDateTime::currentDateTime().msecsTo(picker->dateTime()) / 1000.0, 0.0, 1.5);
}

TEST_F(CameraClockTest, ThePickerWritesOnlyTheTimeTheOperatorSet)
{
    QDateTimeEdit* picker = clockPicker();
    ASSERT_NE(picker, nullptr);
    const QDateTime shown = picker->dateTime();
    const double skew = c->_cameraClockSkew;
    c->updateControlWithTagWithValue(kDateTime, QStringLiteral("tomorrow"));
    EXPECT_EQ(picker->dateTime(), shown);
    EXPECT_EQ(c->_cameraClockSkew, skew);

    // Leaving the picker without a change writes nothing, however long ago it last ran on
    // (it stands still while it has the focus).
    const int writes = sim->callCount(SimOp::SetPropertyData);
    c->animateDatePicker(c->_cameraClockTimer);
    picker->setDateTime(picker->dateTime()); // no change
    emit picker->editingFinished();
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->callCount(SimOp::SetPropertyData), writes);
    EXPECT_NEAR(sim->clockOffset(firstId), 30.0, 1.0);

    // The operator sets a time an hour back: that time is written.
    picker->setDateTime(QDateTime::currentDateTime().addSecs(-3600));
    emit picker->editingFinished();
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_NEAR(sim->clockOffset(firstId), -3600.0, 2.0);
    EXPECT_NEAR(c->_cameraClockSkew, -3600.0, 2.0);
    emit picker->editingFinished(); // once only
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->callCount(SimOp::SetPropertyData), writes + 1);
}
