// Small helpers shared by the tests.
#pragma once
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <condition_variable>
#include <functional>
#include <mutex>

// Runs the event loop until the condition holds or the time-out passes; answers the condition.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::yieldCurrentThread();
    }
    return true;
}

// A one-way gate between threads: wait() blocks until another thread has called open(), or
// until the time-out (then false). Tests hold a thread at a chosen moment with it.
class TestGate {
public:
    void open()
    {
        {
            std::lock_guard<std::mutex> g(_m);
            _open = true;
        }
        _cv.notify_all();
    }
    bool wait(int timeoutMs = 5000)
    {
        std::unique_lock<std::mutex> l(_m);
        return _cv.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return _open; });
    }

private:
    std::mutex _m;
    std::condition_variable _cv;
    bool _open = false;
};
