// The libgphoto2 worker thread (GPhoto2Worker.h).
#include "GPhoto2Worker.h"

#include <algorithm>

void GPhoto2Worker::start(std::function<bool()> poll, std::function<void()> idle)
{
    std::lock_guard<std::mutex> guard(_lock);
    _thread = std::thread([this, poll = std::move(poll), idle = std::move(idle)] { loop(poll, idle); });
    _threadId = _thread.get_id();
}

void GPhoto2Worker::stop()
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        _stopping = true;
    }
    _wake.notify_all();
    if (_thread.joinable())
        _thread.join();
    // What was still queued is dropped here, not when the worker goes: a caller of run()
    // learns at once that its job will never run.
    std::deque<std::function<void()>> dropped;
    std::vector<std::pair<Clock::time_point, std::function<void()>>> droppedTimed;
    {
        std::lock_guard<std::mutex> guard(_lock);
        dropped.swap(_jobs);
        droppedTimed.swap(_timed);
    }
}

bool GPhoto2Worker::post(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        if (_stopping)
            return false;
        _jobs.push_back(std::move(job));
    }
    _wake.notify_all();
    return true;
}

void GPhoto2Worker::later(int delayMs, std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        if (_stopping)
            return;
        _timed.emplace_back(Clock::now() + std::chrono::milliseconds(delayMs), std::move(job));
    }
    _wake.notify_all();
}

bool GPhoto2Worker::idle() const
{
    std::lock_guard<std::mutex> guard(_lock);
    return _jobs.empty() && _timed.empty() && !_working;
}

void GPhoto2Worker::loop(const std::function<bool()>& poll, const std::function<void()>& idle)
{
    std::unique_lock<std::mutex> held(_lock);
    while (!_stopping) {
        std::function<void()> job;
        if (!_jobs.empty()) {
            job = std::move(_jobs.front());
            _jobs.pop_front();
        } else {
            const auto now = Clock::now();
            auto due = std::find_if(_timed.begin(), _timed.end(), [&](const auto& t) { return t.first <= now; });
            if (due != _timed.end()) {
                job = std::move(due->second);
                _timed.erase(due);
            }
        }
        if (job) {
            _working = true;
            held.unlock();
            job();
            held.lock();
            _working = false;
            continue;
        }
        held.unlock();
        const bool polled = poll();
        held.lock();
        if (polled || !_jobs.empty() || _stopping)
            continue;  // a job may have come while the cameras were polled
        idle();
        if (_timed.empty()) {
            _wake.wait(held);
        } else {
            auto next = std::min_element(_timed.begin(), _timed.end(),
                                         [](const auto& x, const auto& y) { return x.first < y.first; });
            _wake.wait_until(held, next->first);
        }
    }
}
