// The screen sequence without a window: which screen follows which and how many ticks
// each lasts (a countdown of n seconds shows n down to 1, and its next tick enters the next
// screen); the screens that wait for the visitor start no countdown, and a held result
// screen waits until its own countdown is started.
#include "SNP_ScreenSequence.h"

#include <QObject>
#include <QTimer>

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Recorder : SNP_ScreenSequenceDelegate {
    SNP_ScreenSequence* sequence = nullptr;
    bool holdResult = false;
    std::vector<SNP_Screen> entered;
    std::vector<uint32_t> shown; // the countdown's values, tick by tick

    uint32_t touchCountdownSeconds() override { return 3; }
    void enterScreen(SNP_Screen screen, uint32_t) override
    {
        entered.push_back(screen);
        if (holdResult && screen == SNP_Screen::Result)
            sequence->holdScreen();
    }
    void screenEntered(SNP_Screen) override {}
    void countdownTick(SNP_Screen, uint32_t remaining) override { shown.push_back(remaining); }
};

TEST(ScreenSequence, EachScreenLastsItsTicksThenTheNextFollows)
{
    using S = SNP_Screen;
    struct Row { S screen; bool held; S next; int ticks; }; // 0 ticks: waits for the visitor
    const Row rows[] = {
        {S::Start, false, S::Email, 0},          {S::Email, false, S::TouchCountdown, 0},
        {S::TouchCountdown, false, S::LiveCountdown, 4}, {S::LiveCountdown, false, S::Capture, 10},
        {S::Capture, false, S::Result, 16},      {S::Result, false, S::Start, 3},
        {S::Result, true, S::Start, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << uint32_t(row.screen) << (row.held ? " held" : ""));
        QObject owner;
        Recorder delegate;
        SNP_ScreenSequence sequence(delegate, &owner);
        delegate.sequence = &sequence;
        delegate.holdResult = row.held;
        sequence.setTickMs(5);
        sequence.setScreenNumber(uint32_t(row.screen) - 1);
        sequence.advance();
        if (row.held) {
            EXPECT_FALSE(sequence.countingDown());
            sequence.startScreenCountdown();
        }
        if (row.ticks > 0) {
            const QTimer* timer = owner.findChild<QTimer*>(QStringLiteral("screenTimer"));
            ASSERT_NE(timer, nullptr);
            EXPECT_EQ(timer->interval(), 5);
        }
        int ticks = 0;
        for (; sequence.countingDown() && sequence.screen() == row.screen && ticks < 100; ++ticks)
            sequence.tick(owner.findChild<QTimer*>(QStringLiteral("screenTimer")));
        if (ticks == 0)
            sequence.advance(); // the visitor's step
        EXPECT_EQ(ticks, row.ticks);
        EXPECT_EQ(delegate.entered, (std::vector<S>{row.screen, row.next}));
        std::vector<uint32_t> countdown;
        for (int value = row.ticks - 1; value >= 1; --value)
            countdown.push_back(uint32_t(value));
        EXPECT_EQ(delegate.shown, countdown);
    }
}

} // namespace
