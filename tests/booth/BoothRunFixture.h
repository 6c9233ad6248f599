// The booth's windows for a test: a controller with its user defaults and log in a
// temporary folder, woken over the simulated camera (with a camera or without), and
// BoothView, which finds the widgets a visitor or the operator sees by their object names
// instead of reaching into the controller. Shared by the start-up, configuration, screen,
// kiosk, operator, settings and mail-line tests. BoothRunTest: a booth run whole (BoothRun)
// for the rehearsal, live-view and camera-fault tests.
// Threads: the test's main thread only.
#pragma once

#include "BoothTeardown.h"
#include "SNP_KeyboardView.h"

#include "../support/JpegFixtures.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// Tags of the operator's camera controls, as the camera numbers its properties.
enum : int32_t {
    kOwnerName = 4, kDateTime = 6, kFirmwareVersion = 7, kBatteryLevel = 8, kBatteryQuality = 16,
    kAEMode = 1024, kISOSpeed = 1026, kAv = 1029, kTv = 1030, kAvailableShots = 0x40A,
};

struct BoothView {
    AppController* c = nullptr;

    template <typename T = QWidget>
    T* get(const char* name) const
    {
        T* found = c->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    bool shown(const char* name) const { return !get(name)->isHidden(); }
    QString text(const char* name) const { return get<QLabel>(name)->text(); }
    QPushButton* go() const { return get<QPushButton>("_goButton"); }
    SNP_KeyboardView* keyboard() const { return get<SNP_KeyboardView>("_keyboard"); }
    QTimer* timer(const char* name) const { return c->findChild<QTimer*>(QString::fromLatin1(name)); }
    QComboBox* menu(int32_t tag) const { return qobject_cast<QComboBox*>(c->viewWithTag(tag)); }
    QLineEdit* field(int32_t tag) const { return qobject_cast<QLineEdit*>(c->viewWithTag(tag)); }
    void click(const char* name) const { get<QAbstractButton>(name)->click(); }
    QDateTimeEdit* clock() const { return get<QDateTimeEdit>("_cameraClockPicker"); }
    // Seconds the camera clock picker shows ahead of the computer's clock.
    double clockAhead() const { return QDateTime::currentDateTime().msecsTo(clock()->dateTime()) / 1000.0; }
    static QStringList titles(const QComboBox* box)
    {
        QStringList out;
        for (int i = 0; i < box->count(); ++i)
            out << box->itemText(i);
        return out;
    }
    // The operator picks an item, as a click in the open menu does.
    static void choose(QComboBox* box, const QString& title)
    {
        const int index = box->findText(title);
        ASSERT_GE(index, 0) << qPrintable(title);
        box->setCurrentIndex(index);
        emit box->activated(index);
    }
    // The visitor types with the on-screen keys (a domain ending such as ".com" is one key).
    void type(const QStringList& keys) const
    {
        for (const QString& key : keys)
            keyboard()->keyButtonForText(key)->click();
    }
};

// What the keyboard's four address fields hold.
inline QStringList fieldTexts(const SNP_KeyboardView* keyboard)
{
    QStringList texts;
    for (QLineEdit* field : keyboard->emailFields())
        texts << field->text();
    return texts;
}

// From screen 1 to the touch countdown (screen 3) with one valid address, the first step
// taken with the sender given (the go button, say).
inline void goToScreen3(AppController& c, QObject* sender)
{
    c.nextScreen(sender);
    ASSERT_EQ(c.screenNumber(), 2u);
    ASSERT_TRUE(c.acceptEmailAddresses({QStringLiteral("a@b.cd")}));
    ASSERT_EQ(c.screenNumber(), 3u);
}

class BoothRunFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        placeBooth(dir.path(), {"booth"});
        SNP_Log::setLogFile(logPath);
    }
    void TearDown() override
    {
        EXPECT_TRUE(takeDownBooth(c, sim));
        SNP_Log::resetForTesting();
        AppController::setWatchdogPeriod(std::chrono::milliseconds(1000));
    }

    // The controller as start-up leaves it, not yet woken.
    void build()
    {
        c = std::make_unique<AppController>();
        view.c = c.get();
    }
    // The booth woken over the simulated camera (one made here unless the test made its
    // own); with a camera, once it is current and its clock is shown.
    void start(bool camera = true)
    {
        wake(camera);
        if (camera)
            waitForCamera();
    }
    void wake(bool camera = true)
    {
        if (!sim)
            sim = std::make_shared<SimCameraSdk>(camera);
        EdsSetCurrentSdk(sim);
        if (camera)
            firstId = sim->connectedCameras().front();
        build();
        c->awakeFromNib();
    }
    void waitForCamera()
    {
        ASSERT_TRUE(waitUntil([&] { return c->currentCamera() != nullptr; }, 10000));
        ASSERT_TRUE(sim->waitForIdle());
        ASSERT_TRUE(waitUntil([&] { return std::abs(view.clockAhead()) < 3600 * 24; }));
    }
    void setDefault(const char* key, const QVariant& value)
    {
        auto store = SNP_Preferences::store();
        store->setValue(QString::fromLatin1(key), value);
        store->sync();
    }
    QString logText() const { return QString::fromUtf8(fixtures::readFile(logPath)); }
    qsizetype logMark() const { return logText().size(); }
    QString logSince(qsizetype mark) const { return logText().mid(mark); }
    // One second of the screens, as the screen timer gives it.
    void tick() { c->timerDidFire(view.timer("screenTimer")); }

    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("booth.log"));
    std::shared_ptr<SimCameraSdk> sim;
    int firstId = 0;
    std::unique_ptr<AppController> c;
    BoothView view;
};

// A booth run whole (BoothRun) in a temporary folder, taken down after the test.
class BoothRunTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(run.stop()); }

    QTemporaryDir dir;
    BoothRun run{dir.path()};
    std::shared_ptr<SimCameraSdk>& sim = run.sim;
    std::unique_ptr<AppController>& c = run.c;
};
