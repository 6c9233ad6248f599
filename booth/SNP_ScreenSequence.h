// The visitor's screen sequence without its widgets: which screen is shown, which one
// follows it, how many seconds of the screens each counts down before the next, the
// countdown's value and the one repeating screen timer that ticks it, one tick per
// tickMs(). The start and e-mail screens wait for the visitor; the touch countdown lasts
// the operator's count, the live countdown 9 seconds, the capture at most 15 and the result
// screen 2 (after its picture's filing has ended, when a picture came). What a screen
// shows is its delegate's work. Main thread only, except screenNumber(), which photo intake
// reads on the camera's download thread.
#pragma once

#include <QPointer>

#include <atomic>
#include <cstdint>
#include <optional>

class QObject;
class QTimer;

// The screens, by the numbers the booth shows them under (and names its pictures after).
enum class SNP_Screen : uint32_t {
    Start = 1,
    Email = 2,
    TouchCountdown = 3,
    LiveCountdown = 4,
    Capture = 5,
    Result = 6,
};

// Told about each screen change and each tick of a countdown.
class SNP_ScreenSequenceDelegate {
public:
    // The operator's touch countdown in seconds, asked once at every change of screen.
    virtual uint32_t touchCountdownSeconds() = 0;
    // The screen is now shown: its entry actions. seconds: how long it counts down (0 for a
    // screen that waits).
    virtual void enterScreen(SNP_Screen screen, uint32_t seconds) = 0;
    // The entry actions are done and the screen's countdown runs.
    virtual void screenEntered(SNP_Screen screen) = 0;
    // A tick of the countdown, which shows remaining before it goes down by one.
    virtual void countdownTick(SNP_Screen screen, uint32_t remaining) = 0;

protected:
    ~SNP_ScreenSequenceDelegate() = default;
};

class SNP_ScreenSequence {
public:
    static constexpr uint32_t kScreenCount = 6;
    static constexpr uint32_t kLiveCountdownSeconds = 9;
    static constexpr uint32_t kCaptureTimeoutSeconds = 15;
    static constexpr uint32_t kResultSeconds = 2;

    // The screen timer, named "screenTimer", is made on first use as a child of timerOwner.
    SNP_ScreenSequence(SNP_ScreenSequenceDelegate& delegate, QObject* timerOwner);
    ~SNP_ScreenSequence();
    SNP_ScreenSequence(const SNP_ScreenSequence&) = delete;
    SNP_ScreenSequence& operator=(const SNP_ScreenSequence&) = delete;

    // The screen after screen (1 after the last, and after 0, before the first).
    static SNP_Screen following(uint32_t screen);
    // How many seconds the screen counts down: none for the screens that wait for the visitor.
    static std::optional<uint32_t> countdownSeconds(SNP_Screen screen, uint32_t touchCountdownSeconds);

    // The screen shown (0 before the first); set, it is as though the sequence had reached
    // it, without the screen's entry actions.
    uint32_t screenNumber() const { return _screen.load(); }
    SNP_Screen screen() const { return SNP_Screen(_screen.load()); }
    void setScreenNumber(uint32_t screen) { _screen.store(screen); }

    // Enters the next screen: its entry actions, then its countdown (a screen that waits
    // leaves the screen timer as it is).
    void advance();
    // Enters the first screen.
    void startOver();
    // Called from the entry actions: the screen waits for an event of its own instead of
    // its countdown (the result screen for its picture's filing); the screen timer stops.
    void holdScreen();
    // The held screen's wait is over: its own countdown starts.
    void startScreenCountdown();

    // Replaces the countdown: the whole seconds of delay (none below zero or not a number,
    // at most the largest count), one per tick, then the next screen.
    void startCountdown(double delay);
    // The screen timer's tick: the next screen once the countdown is over (the firing timer,
    // if any, stopped first), else one second of it.
    void tick(QTimer* firing);
    // One second of the countdown: the delegate shows it, then it goes down by one.
    void countDown();
    bool countingDown() const;

    // A second of the screens in milliseconds (1000 unless set above zero), from the next
    // countdown on.
    int tickMs() const { return _tickMs > 0 ? _tickMs : 1000; }
    void setTickMs(int milliseconds) { _tickMs = milliseconds; }

private:
    SNP_ScreenSequenceDelegate& _delegate;
    QObject* _timerOwner;
    QPointer<QTimer> _timer;
    std::atomic<uint32_t> _screen{0};
    uint32_t _countdown = 0;
    int _tickMs = 1000;
    uint32_t _heldScreen = 0; // the screen holdScreen() held (0: none)
};
