// The visitor's screen sequence without a camera, the screen timer fired by hand: the
// first two screens and the go button that starts no pass without a camera, the
// countdowns, the end of the capture screen (the photo, or the time-out with the sorry
// screen), rejected entries typed on the keys and corrected, the "quit" toggle with and
// without the operator PIN, and nothing of a visitor kept for the next.
#include "BoothRunFixture.h"

#include <QGuiApplication>

#include <cmath>

namespace {

class ScreensTest : public BoothRunFixture {
protected:
    void SetUp() override
    {
        BoothRunFixture::SetUp();
        start(false);
        c->setOverlayWindow();
    }
    // Fills the keyboard's fields and presses its accept key.
    void enter(const QStringList& texts)
    {
        for (int i = 0; i < texts.size(); ++i)
            view.keyboard()->emailField(i)->setText(texts[i]);
        view.click("key_accept");
    }
};

TEST_F(ScreensTest, TheGoButtonKeyboardAndExitKeyOfTheFirstScreens)
{
    for (const char* hidden : {"_EVFView", "_badEmail", "_keyboard", "overlayContentView", "_cameraNotReadyNotice"})
        EXPECT_FALSE(view.shown(hidden)) << hidden;
    EXPECT_TRUE(view.shown("_goButton"));
    EXPECT_FALSE(view.get<QLabel>("_liveView")->pixmap().isNull());
    // No camera: the go button says so and starts no pass.
    view.go()->click();
    EXPECT_EQ(c->screenNumber(), 1u);
    EXPECT_TRUE(view.shown("_cameraNotReadyNotice"));

    c->nextScreen(view.go());
    EXPECT_EQ(c->screenNumber(), 2u);
    EXPECT_FALSE(view.shown("_goButton"));
    EXPECT_TRUE(view.shown("_keyboard"));
    EXPECT_EQ(view.timer("screenTimer"), nullptr); // the first screens wait for the visitor
    view.click("key_exit"); // back on screen 1 the notice has gone (the rest: NothingOfAVisitor…)
    EXPECT_FALSE(view.shown("_cameraNotReadyNotice"));
}

TEST_F(ScreensTest, TheTouchCountdownThenTheLiveCountdownOfNine)
{
    // A stored 0, no value and one beyond the maximum all count the default 83 seconds.
    const std::pair<const char*, int> cases[] = {{nullptr, 83}, {"0", 83}, {"999999999", 83}, {"5", 5}};
    for (const auto& [stored, seconds] : cases) {
        SCOPED_TRACE(stored ? stored : "no value");
        if (stored)
            setDefault("touchScreenCountValue", stored);
        c->startOver(nullptr);
        goToScreen3(*c, view.go()); // the go button's step, as it is with a camera
        EXPECT_EQ(view.text("_touchCountdownField"), QString::number(seconds));
        EXPECT_TRUE(view.shown("overlayContentView"));
        EXPECT_FALSE(view.shown("_keyboard"));
        EXPECT_EQ(view.timer("screenTimer")->interval(), 1000);
        // Seconds 1 to n show n down to 1; the next one starts screen 4.
        QStringList shown, expected;
        for (int second = 1; second <= seconds; ++second) {
            tick();
            ASSERT_EQ(c->screenNumber(), 3u) << second;
            shown << view.text("_touchCountdownField");
            expected << QString::number(seconds + 1 - second);
        }
        EXPECT_EQ(shown, expected);
        tick();
        EXPECT_EQ(c->screenNumber(), 4u);
        EXPECT_FALSE(view.shown("_touchCountdownField"));
        QStringList live;
        for (int second = 1; second <= 9; ++second) {
            tick();
            ASSERT_EQ(c->screenNumber(), 4u);
            live << view.text("_liveCountdownField1") + view.text("_liveCountdownField2");
        }
        EXPECT_EQ(live, (QStringList{"99", "88", "77", "66", "55", "44", "33", "22", "11"}));
        tick();
        EXPECT_EQ(c->screenNumber(), 5u);
        EXPECT_FALSE(view.shown("_liveCountdownField1") || view.shown("_liveCountdownField2"));
    }
}

TEST_F(ScreensTest, TheCaptureEndsWithThePhotoOrOnTheSorryScreenAfterSixteenSeconds)
{
    // The sorry screen's picture, green, to tell it from the thanks.
    QImage sorry(40, 30, QImage::Format_RGB32);
    sorry.fill(Qt::green);
    ASSERT_TRUE(sorry.save(dir.filePath("touch7.png")));
    setDefault("resourceFolder", dir.path());
    setDefault("touchScreenCountValue", 1);
    for (const bool photo : {true, false}) {
        SCOPED_TRACE(photo ? "a photo 3 s into the capture" : "no photo");
        goToScreen3(*c, view.go());
        for (int i = 0; i < 12; ++i)
            tick();
        ASSERT_EQ(c->screenNumber(), 5u);
        if (photo) {
            for (int i = 0; i < 3; ++i)
                tick();
            c->nextScreen(nullptr); // what photo intake does: screen 6 at once
        } else {
            for (int second = 1; second <= 15; ++second) {
                tick();
                ASSERT_EQ(c->screenNumber(), 5u) << second;
            }
            tick();
            EXPECT_TRUE(c->showingSorryScreen());
            const QImage shown = view.get<QLabel>("_touchView")->pixmap().toImage();
            EXPECT_EQ(shown.pixelColor(shown.width() / 2, shown.height() / 2), QColor(Qt::green));
            EXPECT_FALSE(view.shown("_EVFView") || view.shown("overlayContentView"));
        }
        EXPECT_EQ(c->screenNumber(), 6u);
        // Three seconds of result screen, whatever was left of the capture's time-out.
        tick();
        tick();
        EXPECT_EQ(c->screenNumber(), 6u);
        tick();
        EXPECT_EQ(c->screenNumber(), 1u);
        EXPECT_FALSE(view.timer("screenTimer")->isActive());
        EXPECT_FALSE(view.shown("_EVFView") || view.shown("overlayContentView"));
        EXPECT_TRUE(c->emails().isEmpty());
    }
}

TEST_F(ScreensTest, ExpirationDelaysCountWholeSecondsAndNeverWrapRound)
{
    // Ticks until the screen changes: 2.9 seconds count 2, nothing below zero or not a
    // number counts none, and a huge delay does not end at once.
    const std::pair<double, int> cases[] = {{2.9, 3}, {-4, 1}, {std::nan(""), 1}, {1e12, 10}};
    for (const auto& [delay, ticks] : cases) {
        c->startOver(nullptr);
        c->startTimerWithExpirationDelay(delay);
        int n = 0;
        while (c->screenNumber() == 1u && n < 10) {
            tick();
            ++n;
        }
        EXPECT_EQ(n, ticks) << delay;
    }
    view.timer("screenTimer")->stop();
}

TEST_F(ScreensTest, ARejectedEntryShowsTheNoticeAndComesBackForCorrection)
{
    struct Case { QStringList keys; const char* notice; QStringList given; };
    const Case cases[] = {
        {{}, "<NO Email Entered...>", {}},
        // Typed in capitals, the keys type lower case; the domain key moves on to the next field.
        {{"A", "@", "b", ".de", "b", "a", "d", "@", ".com"}, "<bad@.com>", {"a@b.de"}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.notice);
        c->nextScreen(view.go());
        view.type(row.keys);
        view.click("key_accept");
        EXPECT_EQ(c->screenNumber(), 1u);
        EXPECT_EQ(view.text("_badEmailItemText"), QString::fromLatin1(row.notice));
        EXPECT_TRUE(view.shown("_badEmail") && view.shown("_goButton"));
        EXPECT_TRUE(view.shown("_keyboard")); // under the notice, with the valid addresses kept
        EXPECT_EQ(fieldTexts(view.keyboard()), (row.given + QStringList(4 - row.given.size(), QString())));
        EXPECT_TRUE(c->emails().isEmpty());
        EXPECT_FALSE(view.timer("screenTimer") && view.timer("screenTimer")->isActive());

        view.go()->click(); // touching the notice returns to the keyboard
        ASSERT_EQ(c->screenNumber(), 2u);
        EXPECT_FALSE(view.shown("_goButton"));
        view.type({"x", "@", "y", ".com"});
        view.click("key_accept");
        EXPECT_EQ(c->screenNumber(), 3u);
        EXPECT_FALSE(view.shown("_badEmailItemText"));
        EXPECT_EQ(c->emails(), row.given + QStringList{"x@y.com"});
        c->startOver(nullptr);
        view.timer("screenTimer")->stop();
    }
}

TEST_F(ScreensTest, QuitWithoutAPinTogglesKioskModeAndIsRejected)
{
    c->nextScreen(view.go());
    EXPECT_FALSE(c->acceptEmailAddresses({QStringLiteral("QuIt")}));
    EXPECT_EQ(view.text("_badEmailItemText"), QStringLiteral("<QuIt>"));
    EXPECT_TRUE(c->inKioskMode());
    EXPECT_FALSE(view.get("_liveWindow")->isVisible()); // one screen: the live content waits for screen 3
    c->nextScreen(view.go());
    EXPECT_FALSE(c->acceptEmailAddresses({QStringLiteral("quit")}));
    EXPECT_FALSE(c->inKioskMode());
    EXPECT_TRUE(view.get("_liveWindow")->isVisible());
}

TEST_F(ScreensTest, QuitInKioskModeAsksForTheOperatorPin)
{
    setDefault("operatorPin", "2468");
    qint64 now = 1000000;
    c->_steadyClockMs = [&] { return now; };
    c->toggleFullScreen(c.get());
    ASSERT_TRUE(c->inKioskMode());
    const auto quitThenPin = [&](const QString& pin) {
        c->nextScreen(view.go());
        enter({QStringLiteral("quit")});
        if (!view.shown("_pinPrompt"))
            return false;
        EXPECT_EQ(view.keyboard()->emailField(0)->echoMode(), QLineEdit::Password);
        enter({pin});
        EXPECT_EQ(c->screenNumber(), 1u);
        EXPECT_EQ(fieldTexts(view.keyboard()), QStringList(4, QString()));
        return true;
    };

    // Wrong: back to screen 1, still in kiosk mode. Five wrong in a row lock "quit".
    for (int wrong = 1; wrong <= AppController::kWrongPinLimit; ++wrong) {
        ASSERT_TRUE(quitThenPin(QStringLiteral("1111"))) << wrong;
        EXPECT_TRUE(c->inKioskMode());
    }
    EXPECT_TRUE(c->quitLocked());
    EXPECT_FALSE(quitThenPin(QStringLiteral("2468")));                  // no PIN asked:
    EXPECT_EQ(view.text("_badEmailItemText"), QStringLiteral("<quit>")); // an address like any other
    c->startOver(nullptr);

    // Five minutes later the right PIN leaves kiosk mode.
    now += 5 * 60 * 1000;
    EXPECT_FALSE(c->quitLocked());
    ASSERT_TRUE(quitThenPin(QStringLiteral("2468")));
    EXPECT_FALSE(c->inKioskMode());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(view.keyboard()->emailField(0)->echoMode(), QLineEdit::Normal);
}

TEST_F(ScreensTest, NothingOfAVisitorStaysForTheNext)
{
    setDefault("keyboardIdleSeconds", 3);
    c->_screenTimerInterval = 5; // a short second, which the keyboard idle time counts in
    const QStringList typed{QStringLiteral("a@b.cd"), QStringLiteral("Bad@b.cd")};
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"exit key", [&] { view.click("key_exit"); }},
        {"no key on the e-mail screen", [] {}},
        {"rejected, then no touch", [&] {
             enter(typed);
             EXPECT_EQ(fieldTexts(view.keyboard()).first(), typed.first()); // given back for correction
         }},
        {"a whole pass", [&] {
             enter({typed.first()});
             ASSERT_EQ(c->screenNumber(), 3u);
             view.keyboard()->emailField(0)->setText(typed.first()); // left behind somehow
             while (c->screenNumber() != 1)
                 tick();
         }},
    };
    for (const auto& [how, leave] : cases) {
        SCOPED_TRACE(how);
        c->nextScreen(view.go());
        ASSERT_EQ(c->screenNumber(), 2u);
        view.keyboard()->emailField(1)->setText(typed.first());
        leave();
        ASSERT_TRUE(waitUntil([&] { return c->screenNumber() == 1u && view.keyboard()->isHidden(); }));
        EXPECT_TRUE(view.shown("_goButton"));
        EXPECT_EQ(fieldTexts(view.keyboard()), QStringList(4, QString()));
        EXPECT_TRUE(c->emails().isEmpty());
    }

    // A key restarts the idle time; 0 seconds: the e-mail screen waits for ever.
    c->nextScreen(view.go());
    QTimer* idle = view.timer("keyboardIdleTimer");
    idle->stop();
    view.type({"a"});
    EXPECT_TRUE(idle->isActive());
    c->startOver(nullptr);
    setDefault("keyboardIdleSeconds", 0);
    c->nextScreen(view.go());
    EXPECT_FALSE(idle->isActive());
}

} // namespace
