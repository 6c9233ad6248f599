// The visitor's screen sequence without a camera, the screen timer fired by hand: the
// first two screens and the go button that starts no pass without a camera, the
// countdowns (the live screen counting with the touch screen), the end of the capture
// screen (the photo, or the time-out with the sorry screen), rejected entries typed on the
// keys and corrected where they stand, "Did you mean ...?", the operator PIN and the panel
// going back to kiosk mode by itself, and nothing of a visitor kept for the next.
#include "BoothRunFixture.h"

#include <QGuiApplication>
#include <QRegularExpression>

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

TEST_F(ScreensTest, OneCountdownOnBothScreensThenTheLiveCountdownOfNine)
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
        // Seconds 1 to n show n down to 1, on the live screen as on the touch screen; the
        // next one starts screen 4.
        const auto both = [&] {
            return view.text("_touchCountdownField") + " " + view.text("_liveCountdownField1") + " " +
                   view.text("_liveCountdownField2");
        };
        EXPECT_EQ(both(), QStringLiteral("%1 %1 %1").arg(seconds));
        EXPECT_TRUE(view.shown("_liveCountdownField1") && view.shown("_liveCountdownField2"));
        QStringList shown, expected;
        for (int second = 1; second <= seconds; ++second) {
            tick();
            ASSERT_EQ(c->screenNumber(), 3u) << second;
            shown << both();
            expected << QStringLiteral("%1 %1 %1").arg(seconds + 1 - second);
        }
        EXPECT_EQ(shown, expected);
        tick();
        EXPECT_EQ(c->screenNumber(), 4u);
        EXPECT_FALSE(view.shown("_touchCountdownField"));
        EXPECT_EQ(view.text("_liveCountdownField1") + view.text("_liveCountdownField2"), "99");
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

TEST_F(ScreensTest, ARejectedEntryStaysInItsFieldToBeCorrected)
{
    struct Case { QStringList keys; const char* notice; QStringList given; QStringList correction, accepted; };
    const QStringList deleteFour{"key_delete", "key_delete", "key_delete", "key_delete"};
    const Case cases[] = {
        {{}, "<NO Email Entered...>", {}, {"x", "@", "y", ".com"}, {"x@y.com"}},
        // Typed in capitals, the keys type lower case; the domain key moves on to the next
        // field. The rejected address comes back where it was, the focus on it.
        {{"A", "@", "b", ".de", "b", "a", "d", "@", ".com"}, "<bad@.com>", {"a@b.de", "bad@.com"},
         deleteFour + QStringList{"y", ".com"}, {"a@b.de", "bad@y.com"}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.notice);
        c->nextScreen(view.go());
        view.type(row.keys);
        view.click("key_accept");
        EXPECT_EQ(c->screenNumber(), 1u);
        EXPECT_EQ(view.text("_badEmailItemText"), QString::fromLatin1(row.notice));
        EXPECT_TRUE(view.shown("_badEmail") && view.shown("_goButton"));
        EXPECT_TRUE(view.shown("_keyboard")); // under the notice, with every address kept
        EXPECT_EQ(fieldTexts(view.keyboard()), (row.given + QStringList(4 - row.given.size(), QString())));
        EXPECT_TRUE(c->emails().isEmpty());
        EXPECT_FALSE(view.timer("screenTimer") && view.timer("screenTimer")->isActive());

        view.go()->click(); // touching the notice returns to the keyboard
        ASSERT_EQ(c->screenNumber(), 2u);
        EXPECT_FALSE(view.shown("_goButton"));
        view.type(row.correction);
        view.click("key_accept");
        EXPECT_EQ(c->screenNumber(), 3u);
        EXPECT_FALSE(view.shown("_badEmailItemText"));
        EXPECT_EQ(c->emails(), row.accepted);
        c->startOver(nullptr);
        view.timer("screenTimer")->stop();
    }
}

TEST_F(ScreensTest, AnAddressOneSlipFromACommonDomainIsQuestioned)
{
    // An event's own list adds to the stock one.
    ASSERT_TRUE(fixtures::writeFile(dir.filePath("maildomains.txt"), "# the event's sponsor\nkorvanex.de\n"));
    setDefault("resourceFolder", dir.path());
    struct Case { QStringList typed; QList<std::pair<QString, bool>> asked; QStringList accepted; };
    const Case cases[] = {
        {{"anna@gmail.con"}, {{"anna@gmail.com", true}}, {"anna@gmail.com"}},
        {{"ben@gmial.com"}, {{"ben@gmail.com", false}}, {"ben@gmial.com"}},           // kept as typed
        {{"c@hotmial.de", "d@web.de", "e@outlok.com"}, {{"c@hotmail.de", true}, {"e@outlook.com", true}},
         {"c@hotmail.de", "d@web.de", "e@outlook.com"}},
        {{"f@korvanex.dr"}, {{"f@korvanex.de", true}}, {"f@korvanex.de"}},
        {{"g@gmail.com", "h@example.org", "i@t-online.de", "j@gmx.net"}, {}, {"g@gmail.com", "h@example.org", "i@t-online.de", "j@gmx.net"}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(qPrintable(row.typed.join(' ')));
        c->nextScreen(view.go());
        enter(row.typed);
        if (!row.asked.isEmpty()) { // nothing typed is lost while the question shows
            EXPECT_EQ(fieldTexts(view.keyboard()).mid(0, row.typed.size()), row.typed);
        }
        for (const auto& [suggestion, take] : row.asked) {
            ASSERT_TRUE(view.shown("_addressQuestion")) << qPrintable(suggestion);
            EXPECT_EQ(c->screenNumber(), 2u);
            EXPECT_EQ(view.text("_addressQuestionText"), QStringLiteral("Did you mean %1?").arg(suggestion));
            view.click(take ? "_takeSuggestionButton" : "_keepAddressButton");
        }
        EXPECT_FALSE(view.shown("_addressQuestion"));
        EXPECT_EQ(c->screenNumber(), 3u);
        EXPECT_EQ(c->emails(), row.accepted);
        c->startOver(nullptr);
        view.timer("screenTimer")->stop();
    }
}

TEST_F(ScreensTest, ThePanelIsForStaffOnly)
{
    // The first start made a PIN of six digits, stored it and said so in the log once.
    const QString pin = SNP_Preferences::store()->value("operatorPin").toString();
    EXPECT_TRUE(QRegularExpression("^[0-9]{6}$").match(pin).hasMatch()) << qPrintable(pin);
    EXPECT_EQ(logText().count("the operator PIN is " + pin), 1);
    c.reset();
    build();
    EXPECT_EQ(SNP_Preferences::store()->value("operatorPin").toString(), pin);
    EXPECT_EQ(logText().count("the operator PIN is "), 1);
    c->awakeFromNib();

    qint64 now = 1000000;
    c->setQuitLockClockForTesting([&] { return now; });
    // What is typed to open the panel is never shown as an address, nor kept for the next visitor.
    const auto typeThenAccept = [&](const QString& word) {
        c->nextScreen(view.go());
        enter({QStringLiteral("a@b.cd"), word});
        const bool asked = view.shown("_pinPrompt");
        if (!asked) {
            EXPECT_EQ(c->screenNumber(), 1u);
            EXPECT_FALSE(view.shown("_badEmail"));
            EXPECT_EQ(fieldTexts(view.keyboard()), QStringList(4, QString()));
        }
        return asked;
    };
    const auto quitThenPin = [&](const QString& typed) {
        if (!typeThenAccept(QStringLiteral("quit")))
            return false;
        EXPECT_EQ(view.keyboard()->emailField(0)->echoMode(), QLineEdit::Password);
        enter({typed});
        EXPECT_EQ(c->screenNumber(), 1u);
        EXPECT_EQ(fieldTexts(view.keyboard()), QStringList(4, QString()));
        return true;
    };

    // Outside kiosk mode (staff on the Visitor tab) "quit" goes back to it at once.
    EXPECT_FALSE(typeThenAccept(QStringLiteral("QuIt")));
    ASSERT_TRUE(c->inKioskMode());
    EXPECT_FALSE(typeThenAccept(pin)); // the PIN typed as an address

    // Wrong: back to screen 1, still in kiosk mode. Five wrong in a row lock "quit", which
    // is then dropped without a word.
    for (int wrong = 1; wrong <= AppController::kWrongPinLimit; ++wrong) {
        ASSERT_TRUE(quitThenPin(QStringLiteral("1111"))) << wrong;
        EXPECT_TRUE(c->inKioskMode());
    }
    EXPECT_TRUE(c->quitLocked());
    EXPECT_FALSE(quitThenPin(pin));

    // Five minutes later the right PIN leaves kiosk mode; the panel goes back to it after
    // operatorIdleSeconds without a touch (here seconds of 5 ms), unless that is 0.
    now += 5 * 60 * 1000;
    EXPECT_FALSE(c->quitLocked());
    setDefault("operatorIdleSeconds", 4);
    c->setScreenTickMs(5);
    ASSERT_TRUE(quitThenPin(pin));
    EXPECT_FALSE(c->inKioskMode());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(view.keyboard()->emailField(0)->echoMode(), QLineEdit::Normal);
    EXPECT_TRUE(waitUntil([&] { return c->inKioskMode(); }));
    EXPECT_TRUE(logText().contains("no touch for 4 seconds on the operator panel: back to kiosk mode"));
    setDefault("operatorIdleSeconds", 0);
    ASSERT_TRUE(quitThenPin(pin));
    EXPECT_FALSE(view.timer("operatorIdleTimer")->isActive());
    EXPECT_FALSE(c->inKioskMode());
}

TEST_F(ScreensTest, NothingOfAVisitorStaysForTheNext)
{
    setDefault("keyboardIdleSeconds", 3);
    c->setScreenTickMs(5); // a short second, which the keyboard idle time counts in
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
