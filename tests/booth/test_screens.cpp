// The visitor's screen sequence: the screen table, its timings (driven by firing the
// screen timer by hand), the accept check with rejection and correction, the "quit"
// toggle, the exit key and the capture time-out.
#include "AppController.h"
#include "SNP_Preferences.h"
#include "TestSupport.h"

#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

class ScreensTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(_dir.isValid());
        qputenv("BOOTH_LOG_FILE", _dir.filePath("booth.log").toUtf8());
        SNP_Preferences::setStoreFileForTesting(_dir.filePath("booth.ini"));
        SNP_Preferences::setArguments(QStringList{QStringLiteral("booth")});
        c = std::make_unique<AppController>();
        c->setGoButton();
        c->setOverlayWindow();
        c->_screenNumber = 0;
        c->nextScreen(nullptr);
    }
    void TearDown() override
    {
        c.reset();
        SNP_Preferences::setStoreFileForTesting(QString());
    }

    void setTouchCount(int value)
    {
        auto store = SNP_Preferences::store();
        store->setValue(QStringLiteral("touchScreenCountValue"), value);
        store->sync();
    }
    // One second of the screen timer.
    void tick() { c->timerDidFire(c->_screenTimer); }
    uint32_t screen() const { return c->_screenNumber.load(); }
    QWidget* keyboard() const { return c->findChild<QWidget*>(QStringLiteral("_keyboard")); }
    // From screen 1 to screen 3 with one valid address.
    void goToScreen3()
    {
        c->nextScreen(c->_goButton);
        ASSERT_EQ(screen(), 2u);
        ASSERT_TRUE(c->acceptEmailAddresses({QStringLiteral("a@b.cd")}));
        ASSERT_EQ(screen(), 3u);
    }

    QTemporaryDir _dir;
    std::unique_ptr<AppController> c;
};

TEST_F(ScreensTest, ScreenOneAndTwoEntryActions)
{
    EXPECT_EQ(screen(), 1u);
    EXPECT_FALSE(c->_goButton->isHidden());
    EXPECT_TRUE(c->_EVFView->isHidden());
    EXPECT_TRUE(c->_badEmail->isHidden());
    EXPECT_TRUE(keyboard()->isHidden());
    ASSERT_NE(c->_overlayContentView, nullptr);
    EXPECT_TRUE(c->_overlayContentView->isHidden());
    EXPECT_FALSE(c->_touchView->pixmap().isNull()); // touch1
    EXPECT_FALSE(c->_liveView->pixmap().isNull());  // live1
    EXPECT_EQ(c->_screenTimer, nullptr);            // no timer on the first screens

    c->nextScreen(c->_goButton);
    EXPECT_EQ(screen(), 2u);
    EXPECT_TRUE(c->_goButton->isHidden());
    EXPECT_FALSE(keyboard()->isHidden());
    EXPECT_EQ(c->_screenTimer, nullptr);
}

TEST_F(ScreensTest, TouchCountdownOfFiveLastsSixSecondsThenLiveCountdownTen)
{
    setTouchCount(5);
    goToScreen3();
    EXPECT_EQ(c->_emails, QStringList{QStringLiteral("a@b.cd")});
    EXPECT_EQ(c->_touchCountdownField->text(), QStringLiteral("5"));
    EXPECT_FALSE(c->_touchCountdownField->isHidden());
    EXPECT_FALSE(c->_liveCountdownField1->isHidden());
    EXPECT_EQ(c->_liveCountdownField1->text(), QStringLiteral("9"));
    EXPECT_EQ(c->_liveCountdownField2->text(), QStringLiteral("9"));
    EXPECT_FALSE(c->_overlayContentView->isHidden());
    EXPECT_TRUE(keyboard()->isHidden());
    const QImage evf = c->_EVFView->pixmap().toImage();
    ASSERT_EQ(evf.size(), QSize(100, 100));
    EXPECT_EQ(evf.pixelColor(50, 50), QColor(Qt::black));
    ASSERT_NE(c->_screenTimer, nullptr);
    EXPECT_TRUE(c->_screenTimer->isActive());
    EXPECT_EQ(c->_screenTimer->interval(), 1000);

    // Seconds 1 to 5 show 5, 4, 3, 2, 1; second 6 starts screen 4.
    QStringList shown;
    for (int second = 1; second <= 5; ++second) {
        tick();
        ASSERT_EQ(screen(), 3u) << "second " << second;
        shown << c->_touchCountdownField->text();
    }
    EXPECT_EQ(shown, (QStringList{"5", "4", "3", "2", "1"}));
    tick();
    EXPECT_EQ(screen(), 4u);
    EXPECT_TRUE(c->_touchCountdownField->isHidden());

    QStringList live1, live2;
    for (int second = 1; second <= 9; ++second) {
        tick();
        ASSERT_EQ(screen(), 4u) << "second " << second;
        live1 << c->_liveCountdownField1->text();
        live2 << c->_liveCountdownField2->text();
    }
    EXPECT_EQ(live1, (QStringList{"9", "8", "7", "6", "5", "4", "3", "2", "1"}));
    EXPECT_EQ(live2, live1);
    tick();
    EXPECT_EQ(screen(), 5u);
    EXPECT_TRUE(c->_liveCountdownField1->isHidden());
    EXPECT_TRUE(c->_liveCountdownField2->isHidden());
}

TEST_F(ScreensTest, TouchCountdownDefaultsTo83)
{
    goToScreen3(); // key absent
    EXPECT_EQ(c->_touchCountdownField->text(), QStringLiteral("83"));
    for (int second = 1; second <= 83; ++second)
        tick();
    EXPECT_EQ(screen(), 3u);
    tick();
    EXPECT_EQ(screen(), 4u);

    setTouchCount(0); // a stored 0 means the default as well
    c->startOver(nullptr);
    goToScreen3();
    EXPECT_EQ(c->_touchCountdownField->text(), QStringLiteral("83"));
    EXPECT_EQ(c->_countdown, 83u);
}

TEST_F(ScreensTest, CaptureTimesOutAfterSixteenSecondsAndResultAfterThree)
{
    setTouchCount(1);
    goToScreen3();
    for (int i = 0; i < 2; ++i)
        tick();
    ASSERT_EQ(screen(), 4u);
    for (int i = 0; i < 10; ++i)
        tick();
    ASSERT_EQ(screen(), 5u);
    EXPECT_EQ(c->_countdown, 15u);
    for (int second = 1; second <= 15; ++second) {
        tick();
        ASSERT_EQ(screen(), 5u) << "second " << second;
    }
    tick();
    EXPECT_EQ(screen(), 6u);
    EXPECT_FALSE(c->_EVFView->isHidden());
    tick();
    tick();
    EXPECT_EQ(screen(), 6u);
    tick();
    EXPECT_EQ(screen(), 1u);
    EXPECT_FALSE(c->_screenTimer->isActive()); // the last tick stopped it
    EXPECT_TRUE(c->_EVFView->isHidden());
    EXPECT_TRUE(c->_overlayContentView->isHidden());
    // The addresses stay until the next accepted entry.
    EXPECT_EQ(c->_emails, QStringList{QStringLiteral("a@b.cd")});
}

TEST_F(ScreensTest, PhotoDuringCaptureReplacesTheTimeOut)
{
    setTouchCount(1);
    goToScreen3();
    for (int i = 0; i < 12; ++i)
        tick();
    ASSERT_EQ(screen(), 5u);
    for (int i = 0; i < 3; ++i)
        tick();
    c->nextScreen(nullptr); // the photo has arrived
    EXPECT_EQ(screen(), 6u);
    EXPECT_EQ(c->_countdown, 2u);
    for (int i = 0; i < 3; ++i)
        tick();
    EXPECT_EQ(screen(), 1u);
}

TEST_F(ScreensTest, TheRealTimerDrivesTheScreens)
{
    setTouchCount(2);
    c->_screenTimerInterval = 5;
    goToScreen3();
    EXPECT_TRUE(waitUntil([&] { return screen() == 4u; }, 5000));
    EXPECT_TRUE(waitUntil([&] { return screen() == 1u; }, 10000));
    EXPECT_FALSE(c->_screenTimer->isActive());
}

TEST_F(ScreensTest, TimerDelayConversion)
{
    c->startTimerWithExpirationDelay(2.9);
    EXPECT_EQ(c->_countdown, 2u);
    c->startTimerWithExpirationDelay(-4);
    EXPECT_EQ(c->_countdown, 0u);
    c->startTimerWithExpirationDelay(std::nan(""));
    EXPECT_EQ(c->_countdown, 0u);
    c->startTimerWithExpirationDelay(1e12);
    EXPECT_EQ(c->_countdown, std::numeric_limits<uint32_t>::max());
    c->_screenTimer->stop();
}

TEST_F(ScreensTest, RejectedAddressShowsNoticeAndTouchReturnsToKeyboard)
{
    c->nextScreen(c->_goButton);
    const QStringList typed{QStringLiteral("a@b.cd"), QStringLiteral("Bad@b.cd")};
    EXPECT_FALSE(c->acceptEmailAddresses(typed));
    EXPECT_EQ(screen(), 1u);
    EXPECT_EQ(c->_badEmailItemText->text(), QStringLiteral("<Bad@b.cd>"));
    EXPECT_FALSE(c->_badEmailItemText->isHidden());
    EXPECT_FALSE(c->_badEmail->isHidden());
    EXPECT_FALSE(c->_goButton->isHidden());
    EXPECT_FALSE(keyboard()->isHidden()); // stays under the notice
    EXPECT_TRUE(c->_emails.isEmpty());     // the first address is not stored
    EXPECT_EQ(c->_screenTimer, nullptr);

    c->_goButton->click(); // correction
    EXPECT_EQ(screen(), 2u);
    EXPECT_TRUE(c->_goButton->isHidden());
    EXPECT_FALSE(keyboard()->isHidden());

    EXPECT_TRUE(c->acceptEmailAddresses({QStringLiteral("a@b.cd"), QStringLiteral("x@y.zz")}));
    EXPECT_EQ(screen(), 3u);
    EXPECT_TRUE(c->_badEmailItemText->isHidden());
    EXPECT_EQ(c->_emails.size(), 2);
    c->_screenTimer->stop();
}

TEST_F(ScreensTest, EmptyEntryIsRejected)
{
    c->nextScreen(c->_goButton);
    EXPECT_FALSE(c->acceptEmailAddresses({}));
    EXPECT_EQ(c->_badEmailItemText->text(), QStringLiteral("<NO Email Entered...>"));
    EXPECT_FALSE(c->_badEmail->isHidden());
    EXPECT_FALSE(c->_goButton->isHidden());
    EXPECT_EQ(screen(), 1u);
}

TEST_F(ScreensTest, QuitTogglesKioskModeAndIsRejected)
{
    // Offscreen has one screen: the live content swaps windows.
    c->nextScreen(c->_goButton);
    EXPECT_FALSE(c->acceptEmailAddresses({QStringLiteral("QuIt")}));
    EXPECT_EQ(c->_badEmailItemText->text(), QStringLiteral("<QuIt>"));
    ASSERT_NE(c->_fullWindow, nullptr);
    EXPECT_TRUE(c->_fullWindow->isVisible());
    c->nextScreen(c->_goButton);
    EXPECT_FALSE(c->acceptEmailAddresses({QStringLiteral("quit")}));
    EXPECT_FALSE(c->_fullWindow->isVisible());
    EXPECT_TRUE(c->_liveWindow->isVisible());
}

TEST_F(ScreensTest, ExitKeyStartsOver)
{
    c->nextScreen(c->_goButton);
    ASSERT_EQ(screen(), 2u);
    c->startOver(keyboard());
    EXPECT_EQ(screen(), 1u);
    EXPECT_TRUE(keyboard()->isHidden());
    EXPECT_FALSE(c->_goButton->isHidden());
}

TEST_F(ScreensTest, GoButtonTouchAdvances)
{
    c->_goButton->click();
    EXPECT_EQ(screen(), 2u);
}

} // namespace
