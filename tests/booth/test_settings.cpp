// The operator's camera settings over the simulated camera: controls found by tag (also on
// the tab page not shown), menus filled and sorted from the allowed values, values shown from
// the camera's notifications, the exposure-mode rule, the running camera clock with its
// skew, writes from the controls, and refused writes that beep and restore the control.
#include "BoothRunFixture.h"

#include <QTabWidget>

namespace {

class SettingsTest : public BoothRunFixture {
protected:
    void SetUp() override
    {
        BoothRunFixture::SetUp();
        sim = std::make_shared<SimCameraSdk>();
        sim->setClockOffset(sim->connectedCameras().front(), 30.0); // the camera clock 30 s ahead
        start();
    }
    QVariant code(uint32_t value) const { return QVariant::fromValue<quint32>(value); }
    // A control for the number of shots left, which the panel has none for (no table of
    // its own: shown in hexadecimal).
    QLineEdit* addShotsField()
    {
        auto* shots = new QLineEdit(view.get("_operatorTab"));
        shots->setProperty("tag", int(kAvailableShots));
        return shots;
    }
};

}  // namespace

TEST_F(SettingsTest, TheFirstCameraFillsTheControlsAndValuesWithoutOneAreLogged)
{
    QComboBox* av = view.menu(kAv);
    EXPECT_EQ(view.menu(kAEMode)->currentText(), QStringLiteral("Manual Exposure"));
    EXPECT_EQ(av->currentText(), QStringLiteral("5.6"));
    EXPECT_EQ(view.menu(kTv)->currentText(), QStringLiteral("1/60"));
    EXPECT_EQ(view.menu(kISOSpeed)->currentText(), QStringLiteral("ISO 200"));
    // Aperture values as the camera allows them (f/4 up), in numeric order; the controls are
    // found by their tags also on the operator's page, which is not the one shown.
    EXPECT_EQ(BoothView::titles(av).mid(0, 5), (QStringList{"4", "4.5", "5.0", "5.6", "6.3"}));
    EXPECT_EQ(view.get<QTabWidget>("_tabs")->currentIndex(), 0);
    EXPECT_EQ(view.field(kBatteryQuality)->text(), QStringLiteral("High"));
    EXPECT_EQ(view.field(kFirmwareVersion)->text(), QStringLiteral("2.1.2"));

    // A value for a setting without a control (the lens name) is logged and dropped; so
    // is one without a tag, and a menu keeps its selection for a value without a text.
    EXPECT_TRUE(logText().contains("failed to update control for tag (1037) with value EF24-105mm f/4L IS USM"));
    const qsizetype mark = logMark();
    c->updateControlWithTagWithValue(0, QStringLiteral("x"));
    c->updateControlWithTagWithValue(kAv, QVariant());
    EXPECT_TRUE(logSince(mark).contains("failed to update control for tag (0) with value x"));
    EXPECT_EQ(av->currentText(), QStringLiteral("5.6"));
}

TEST_F(SettingsTest, MenusSortNumbersByValueAndKeepTheSelection)
{
    QComboBox* tv = view.menu(kTv);
    c->updateControlWithTagWithValues(kTv, QVariantMap{{"1/125", code(0x70)}, {"1/60", code(0x68)}, {"1/1000", code(0x88)}});
    EXPECT_EQ(BoothView::titles(tv), (QStringList{"1/60", "1/125", "1/1000"}));
    EXPECT_EQ(tv->currentText(), QStringLiteral("1/60")); // still present: still selected
    tv->setCurrentIndex(tv->findText("1/1000"));
    c->updateControlWithTagWithValues(kTv, QVariantMap{{"1/250", code(0x78)}, {"1/1000", code(0x88)}, {"30\"", code(0x10)}});
    EXPECT_EQ(BoothView::titles(tv), (QStringList{"1/250", "1/1000", "30\""}));
    EXPECT_EQ(tv->currentText(), QStringLiteral("1/1000"));
    // A table without the selected title selects nothing; none empties the menu; a table
    // empties a text field.
    c->updateControlWithTagWithValues(kTv, QVariantMap{{"1/250", code(0x78)}});
    EXPECT_EQ(tv->currentIndex(), -1);
    c->updateControlWithTagWithValues(kTv, std::nullopt);
    EXPECT_EQ(tv->count(), 0);
    c->updateControlWithTagWithValues(kFirmwareVersion, QVariantMap{{"x", code(1)}});
    EXPECT_TRUE(view.field(kFirmwareVersion)->text().isEmpty());
}

TEST_F(SettingsTest, ExposureModeEnablesApertureAndShutterSpeed)
{
    QComboBox* av = view.menu(kAv);
    QComboBox* tv = view.menu(kTv);
    struct Case { QVariant mode; bool tvOn, avOn; };
    const Case cases[] = {
        {code(1), true, false}, {code(2), false, true}, {code(3), true, true}, {code(0), false, false},
        {code(4), false, false}, {QVariant(QStringLiteral("3")), false, false}, {QVariant(), false, false},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(qPrintable(row.mode.toString()));
        c->setEnabledForAEMode(row.mode);
        EXPECT_EQ(tv->isEnabled(), row.tvOn);
        EXPECT_EQ(av->isEnabled(), row.avOn);
    }
    // The camera's own change of mode reaches the controls through its notification.
    ASSERT_TRUE(sim->setCameraProperty(firstId, 0x400, 2));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(view.menu(kAEMode)->currentText(), QStringLiteral("Aperture Priority AE"));
    EXPECT_FALSE(tv->isEnabled());
    EXPECT_TRUE(av->isEnabled());
    EXPECT_EQ(tv->count(), 0); // the camera allows no shutter speed now
}

TEST_F(SettingsTest, ChoosingAValueWritesItToTheCamera)
{
    QComboBox* av = view.menu(kAv);
    BoothView::choose(av, QStringLiteral("8"));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->cameraProperty(firstId, kAv), 0x38u);
    EXPECT_EQ(av->currentText(), QStringLiteral("8"));
    BoothView::choose(view.menu(kAEMode), QStringLiteral("Shutter-Speed Priority AE"));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->cameraProperty(firstId, 0x400), 1u);
    EXPECT_EQ(c->beepCount(), 0);

    // A text typed by the operator; leaving the field without a change writes nothing.
    QLineEdit* owner = view.field(kOwnerName);
    owner->setText(QStringLiteral("Korvanex booth"));
    owner->setModified(true);
    emit owner->editingFinished();
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->cameraStringProperty(firstId, kOwnerName), "Korvanex booth");
    const int writes = sim->callCount(SimOp::SetPropertyData);
    emit owner->editingFinished();
    EXPECT_EQ(sim->callCount(SimOp::SetPropertyData), writes);
}

TEST_F(SettingsTest, RefusedWritesBeepAndRestoreTheControl)
{
    QComboBox* tv = view.menu(kTv);
    ASSERT_EQ(tv->currentText(), QStringLiteral("1/60"));
    sim->injectFault(SimOp::SetPropertyData, EDS_ERR_DEVICE_BUSY, FaultMode::Once, 1, 0, kTv);
    BoothView::choose(tv, QStringLiteral("1/125"));
    EXPECT_EQ(c->beepCount(), 1);
    EXPECT_EQ(tv->currentText(), QStringLiteral("1/60")); // the camera reported its value again
    EXPECT_EQ(sim->cameraProperty(firstId, kTv), 0x68u);

    // A text for a number property without a table entry fails before the camera, and the
    // field shows the camera's value again.
    QLineEdit* shots = addShotsField();
    shots->setText(QStringLiteral("1500"));
    const int writes = sim->callCount(SimOp::SetPropertyData);
    c->setCameraProperty(shots);
    EXPECT_EQ(c->beepCount(), 2);
    EXPECT_EQ(sim->callCount(SimOp::SetPropertyData), writes);
    EXPECT_EQ(shots->text(), QStringLiteral("0X5DC"));
}

TEST_F(SettingsTest, DisplayedValuesFollowTheCamera)
{
    // Camera-side changes as the controls show them: the battery's texts, a value without
    // a table in hexadecimal, and an aperture code that shares its text with the allowed
    // one (no second item; choosing it writes the allowed code).
    addShotsField();
    const int apertures = view.menu(kAv)->count();
    struct Case { EdsPropertyID property; EdsUInt32 value; int32_t tag; const char* shown; };
    const Case cases[] = {
        {kBatteryLevel, 0xFFFFFFFF, kBatteryLevel, "AC Power"},
        {kBatteryLevel, 80, kBatteryLevel, "80 %"},
        {kAvailableShots, 255, kAvailableShots, "0XFF"},
        {kAv, 0x2C, kAv, "4.5"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.shown);
        ASSERT_TRUE(sim->setCameraProperty(firstId, row.property, row.value));
        ASSERT_TRUE(sim->waitForIdle());
        QWidget* control = c->viewWithTag(row.tag);
        const auto* menu = qobject_cast<QComboBox*>(control);
        EXPECT_EQ(menu ? menu->currentText() : qobject_cast<QLineEdit*>(control)->text(), row.shown);
    }
    EXPECT_EQ(view.menu(kAv)->count(), apertures);
    BoothView::choose(view.menu(kAv), QStringLiteral("4.5"));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->cameraProperty(firstId, kAv), 0x2Bu);
}

TEST_F(SettingsTest, TheClockRunsWithTheCameraSkewAndWritesOnlyTheOperatorsTime)
{
    QDateTimeEdit* picker = view.clock();
    EXPECT_NEAR(view.clockAhead(), 30.0, 1.5);
    // It moves on by itself, keeping the skew.
    const QDateTime before = picker->dateTime();
    ASSERT_TRUE(waitUntil([&] { return before.secsTo(picker->dateTime()) >= 1; }, 3000));
    EXPECT_NEAR(view.clockAhead(), 30.0, 1.5);
    // A value that is no date changes nothing.
    c->updateControlWithTagWithValue(kDateTime, QStringLiteral("tomorrow"));
    EXPECT_NEAR(view.clockAhead(), 30.0, 1.5);

    // Leaving the picker without a change writes nothing.
    const int writes = sim->callCount(SimOp::SetPropertyData);
    picker->setDateTime(picker->dateTime());
    emit picker->editingFinished();
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->callCount(SimOp::SetPropertyData), writes);
    EXPECT_NEAR(sim->clockOffset(firstId), 30.0, 1.0);
    // The operator sets a time an hour back: that time is written, once.
    picker->setDateTime(QDateTime::currentDateTime().addSecs(-3600));
    emit picker->editingFinished();
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_NEAR(sim->clockOffset(firstId), -3600.0, 2.0);
    emit picker->editingFinished();
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->callCount(SimOp::SetPropertyData), writes + 1);
    EXPECT_TRUE(waitUntil([&] { return std::abs(view.clockAhead() + 3600.0) < 2.0; }));

    // Set to now: the camera takes the computer's time and the picker shows it.
    view.click("_setCameraClockButton");
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_NEAR(sim->clockOffset(firstId), 0.0, 1.5);
    EXPECT_TRUE(waitUntil([&] { return std::abs(view.clockAhead()) < 1.5; }));
}
