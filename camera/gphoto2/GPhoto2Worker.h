// The one thread that owns libgphoto2: it runs the jobs handed to it one at a time, in
// order, then the jobs whose time has come, and between jobs the polling of open cameras.
// Every call into libgphoto2 is made on it, so that the library never sees two threads.
//
// Threads: start, stop and the hand-over calls from any thread; run() waits for its job
// (and runs it at once when called on the worker itself, which would otherwise wait on
// itself).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

class GPhoto2Worker {
public:
    GPhoto2Worker() = default;
    ~GPhoto2Worker() { stop(); }
    GPhoto2Worker(const GPhoto2Worker&) = delete;
    GPhoto2Worker& operator=(const GPhoto2Worker&) = delete;

    // poll: the work between jobs; answers whether there was any (then the worker goes on
    // at once). idle: called whenever the worker has nothing to do, before it waits.
    void start(std::function<bool()> poll, std::function<void()> idle);
    // Ends the thread after the job in hand; the jobs still queued are dropped, and their
    // callers in run() get ifStopped.
    void stop();

    // Runs fn on the worker and answers its result; ifStopped when the worker stops before
    // it could run fn (or had stopped), so that no caller waits for good.
    template <typename R>
    R run(std::function<R()> fn, R ifStopped)
    {
        if (onWorkerThread())
            return fn();
        auto task = std::make_shared<std::packaged_task<R()>>(std::move(fn));
        std::future<R> result = task->get_future();
        // The job alone holds the task: a job dropped unrun breaks the promise.
        if (!post([task = std::move(task)] { (*task)(); }))
            return ifStopped;
        try {
            return result.get();
        } catch (const std::future_error&) { // dropped by stop(): never run
            return ifStopped;
        }
    }
    // False (the job dropped) once the worker is stopping.
    bool post(std::function<void()> job);
    void later(int delayMs, std::function<void()> job);

    // No job queued, timed or running.
    bool idle() const;
    bool onWorkerThread() const { return std::this_thread::get_id() == _threadId; }
    std::thread::id threadId() const { return _threadId; }

private:
    using Clock = std::chrono::steady_clock;
    void loop(const std::function<bool()>& poll, const std::function<void()>& idle);

    mutable std::mutex _lock;  // guards the jobs and the flags
    std::condition_variable _wake;
    std::deque<std::function<void()>> _jobs;
    std::vector<std::pair<Clock::time_point, std::function<void()>>> _timed;
    bool _working = false;
    bool _stopping = false;
    std::thread _thread;
    std::thread::id _threadId;
};
