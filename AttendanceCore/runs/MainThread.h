#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tallymere {

// Runs a task later on the thread that owns the live state (the application's GUI thread, or the
// tool's own loop). Callable from any thread; tasks run in the order posted.
using MainExecutor = std::function<void(std::function<void()>)>;

// A tick every `interval` on the main thread until invalidated. A tick already posted when the
// timer is invalidated does not run, as long as `invalidate` is called on the main thread.
class RepeatingTimer {
public:
    RepeatingTimer(MainExecutor post, std::chrono::duration<double> interval,
                   std::function<void()> tick);
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    void invalidate();

private:
    std::shared_ptr<std::atomic<bool>> valid_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::thread thread_;
};

// A main thread for programs without a GUI: `run` executes posted tasks on the calling thread
// until `quit`.
class TaskLoop {
public:
    MainExecutor executor();
    void post(std::function<void()> task);
    // Runs tasks until `quit` is called (by a task or another thread).
    void run();
    // Runs the tasks posted so far and those they post, until `until` holds or `limit` passes;
    // whether it held. For tests.
    bool runUntil(const std::function<bool()>& until, std::chrono::duration<double> limit);
    void quit();

private:
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        std::deque<std::function<void()>> tasks;
        bool quitting = false;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

} // namespace tallymere
