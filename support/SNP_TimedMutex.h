// A lock that can be waited for with a time limit, built from a plain mutex and a
// condition variable. Unlike std::timed_mutex it may be released by a thread other than
// the one that took it (a camera lock taken for a command can be given back by the thread
// that finishes it), and every step goes through calls that thread checkers see.
// Meets the Lockable and TimedLockable requirements, so std::unique_lock works with it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class SNP_TimedMutex {
public:
    SNP_TimedMutex() = default;
    SNP_TimedMutex(const SNP_TimedMutex&) = delete;
    SNP_TimedMutex& operator=(const SNP_TimedMutex&) = delete;

    void lock()
    {
        std::unique_lock<std::mutex> guard(_state);
        _released.wait(guard, [this] { return !_held; });
        _held = true;
    }
    bool try_lock()
    {
        std::lock_guard<std::mutex> guard(_state);
        if (_held)
            return false;
        _held = true;
        return true;
    }
    template <typename Rep, typename Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& timeout)
    {
        return try_lock_until(std::chrono::steady_clock::now() + timeout);
    }
    template <typename Clock, typename Duration>
    bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline)
    {
        std::unique_lock<std::mutex> guard(_state);
        if (!_released.wait_until(guard, deadline, [this] { return !_held; }))
            return false;
        _held = true;
        return true;
    }
    void unlock()
    {
        {
            std::lock_guard<std::mutex> guard(_state);
            _held = false;
        }
        _released.notify_one();
    }

private:
    std::mutex _state;
    std::condition_variable _released;
    bool _held = false;
};
