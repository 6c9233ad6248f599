// The visitor's screen sequence: the screen table, its timings (driven by firing the
// screen timer by hand), the accept check with rejection and correction, the "quit"
// toggle with the operator PIN, the exit key, the capture time-out with the sorry screen,
// the go button without a camera, and nothing of a visitor kept for the next.
#include "AppController.h"
#include "BoothTeardown.h"
#include "SNP_KeyboardView.h"
#include "SNP_Preferences.h"
#include "TestSupport.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
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
        sim = std::make_shared<SimCameraSdk>(false); // no camera
        EdsSetCurrentSdk(sim);
        c = std::make_unique<AppController>();
        c->awakeFromNib(); // screen 1
        c->setOverlayWindow();
    }
    void TearDown() override { EXPECT_TRUE(takeDownBooth(c, sim)); }

    void setDefault(const char* key, const QVariant& value)
    {
        auto store = SNP_Preferences::store();
        store->setValue(QString::fromLatin1(key), value);
        store->sync();
    }
    void setTouchCount(int value) { setDefault("touchScreenCountValue", value); }
    // Types into the keyboard's fields and presses its accept key.
    void typeAndAccept(const QStringList& texts)
    {
        for (int i = 0; i < texts.size(); ++i)
            c->_keyboard->emailField(i)->setText(texts[i]);
        c->_keyboard->acceptAndContinue(nullptr);
    }
    QStringList fieldTexts() const
    {
        QStringList texts;
        for (QLineEdit* field : c->_keyboard->emailFields())
            texts << field->text();
        return texts;
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
    std::shared_ptr<SimCameraSdk> sim;
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
    // No picture came: the sorry screen, the camera picture and its frame blanked.
    EXPECT_TRUE(c->showingSorryScreen());
    EXPECT_EQ(c->_pictureNumber, 7u);
    EXPECT_TRUE(c->_EVFView->isHidden());
    EXPECT_TRUE(c->_overlayContentView->isHidden());
    tick();
    tick();
    EXPECT_EQ(screen(), 6u);
    tick();
    EXPECT_EQ(screen(), 1u);
    EXPECT_FALSE(c->_screenTimer->isActive()); // the last tick stopped it
    EXPECT_TRUE(c->_EVFView->isHidden());
    EXPECT_TRUE(c->_overlayContentView->isHidden());
    EXPECT_TRUE(c->_emails.isEmpty()); // nothing of the visitor is kept
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
    // Without an operator PIN "quit" toggles at once (offscreen has one screen).
    c->nextScreen(c->_goButton);
    EXPECT_FALSE(c->acceptEmailAddresses({QStringLiteral("QuIt")}));
    EXPECT_EQ(c->_badEmailItemText->text(), QStringLiteral("<QuIt>"));
    EXPECT_TRUE(c->inKioskMode());
    EXPECT_TRUE(c->window()->isFullScreen());
    EXPECT_FALSE(c->_liveWindow->isVisible()); // the live content waits for screen 3
    c->nextScreen(c->_goButton);
    EXPECT_FALSE(c->acceptEmailAddresses({QStringLiteral("quit")}));
    EXPECT_FALSE(c->inKioskMode());
    EXPECT_TRUE(c->_liveWindow->isVisible());
}

TEST_F(ScreensTest, QuitInKioskModeAsksForTheOperatorPin)
{
    setDefault("operatorPin", "2468");
    qint64 now = 1000000;
    c->_steadyClockMs = [&] { return now; };
    c->toggleFullScreen(c.get());
    ASSERT_TRUE(c->inKioskMode());
    const auto quitThenPin = [&](const QString& pin) {
        c->nextScreen(c->_goButton);
        typeAndAccept({QStringLiteral("quit")});
        if (!c->_pinEntry)
            return false;
        EXPECT_EQ(c->_keyboard->emailField(0)->echoMode(), QLineEdit::Password);
        EXPECT_FALSE(c->_pinPrompt->isHidden());
        typeAndAccept({pin});
        EXPECT_EQ(screen(), 1u);
        EXPECT_EQ(fieldTexts(), QStringList(4, QString()));
        return true;
    };

    // Wrong: back to screen 1, still in kiosk mode. Five wrong in a row lock "quit".
    for (int wrong = 1; wrong <= AppController::kWrongPinLimit; ++wrong) {
        ASSERT_TRUE(quitThenPin(QStringLiteral("1111"))) << wrong;
        EXPECT_TRUE(c->inKioskMode());
    }
    EXPECT_TRUE(c->quitLocked());
    c->nextScreen(c->_goButton);
    typeAndAccept({QStringLiteral("quit")});
    EXPECT_FALSE(c->_pinEntry);                                      // no PIN asked:
    EXPECT_EQ(c->_badEmailItemText->text(), QStringLiteral("<quit>")); // an address like any other
    c->startOver(nullptr);

    // Five minutes later the right PIN leaves kiosk mode.
    now += 5 * 60 * 1000;
    EXPECT_FALSE(c->quitLocked());
    ASSERT_TRUE(quitThenPin(QStringLiteral("2468")));
    EXPECT_FALSE(c->inKioskMode());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(c->_keyboard->emailField(0)->echoMode(), QLineEdit::Normal);
}

TEST_F(ScreensTest, NothingOfAVisitorStaysForTheNext)
{
    setDefault("keyboardIdleSeconds", 3);
    c->_screenTimerInterval = 5; // the screens' second
    const QStringList typed{QStringLiteral("a@b.cd"), QStringLiteral("Bad@b.cd")};
    struct Case {
        const char* how;
        std::function<void()> leave;
    };
    const Case cases[] = {
        {"exit key", [&] { c->_keyboard->exitKeyAction(nullptr); }},
        {"no key on the e-mail screen", [] {}},
        {"rejected, then no touch", [&] {
             typeAndAccept(typed);
             EXPECT_EQ(fieldTexts().first(), typed.first()); // given back for correction
         }},
        {"a whole pass", [&] {
             typeAndAccept({typed.first()});
             ASSERT_EQ(screen(), 3u);
             c->_keyboard->emailField(0)->setText(typed.first()); // left behind somehow
             while (screen() != 1)
                 tick();
         }},
    };
    for (const Case& leaving : cases) {
        SCOPED_TRACE(leaving.how);
        c->nextScreen(c->_goButton);
        ASSERT_EQ(screen(), 2u);
        c->_keyboard->emailField(1)->setText(typed.first());
        leaving.leave();
        ASSERT_TRUE(waitUntil([&] { return screen() == 1u && c->_keyboard->isHidden(); }));
        EXPECT_EQ(fieldTexts(), QStringList(4, QString()));
        EXPECT_TRUE(c->_emails.isEmpty());
    }

    // A key restarts the idle time; 0 seconds: the e-mail screen waits for ever.
    c->nextScreen(c->_goButton);
    c->_keyboardIdleTimer->stop();
    c->_keyboard->keyButtonForText(QStringLiteral("a"))->click();
    EXPECT_TRUE(c->_keyboardIdleTimer->isActive());
    c->startOver(nullptr);
    setDefault("keyboardIdleSeconds", 0);
    c->nextScreen(c->_goButton);
    EXPECT_FALSE(c->_keyboardIdleTimer->isActive());
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

TEST_F(ScreensTest, WithoutACameraTheGoButtonSaysTheCameraIsNotReady)
{
    ASSERT_EQ(c->_currentCamera, nullptr);
    c->_goButton->click();
    EXPECT_EQ(screen(), 1u);
    EXPECT_FALSE(c->_cameraNotReadyNotice->isHidden());
    EXPECT_TRUE(c->_keyboard->isHidden());
}

} // namespace
