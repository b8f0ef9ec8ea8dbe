#include "runs/MainThread.h"

#include <utility>

namespace tallymere {

RepeatingTimer::RepeatingTimer(MainExecutor post, std::chrono::duration<double> interval,
                               std::function<void()> tick)
    : valid_(std::make_shared<std::atomic<bool>>(true)) {
    auto valid = valid_;
    auto shared = std::make_shared<std::function<void()>>(std::move(tick));
    const auto step = std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval);
    thread_ = std::thread([this, post = std::move(post), step, valid, shared] {
        auto next = std::chrono::steady_clock::now() + step;
        std::unique_lock guard(lock_);
        for (;;) {
            if (changed_.wait_until(guard, next, [this] { return stopping_; })) return;
            post([valid, shared] {
                if (*valid) (*shared)();
            });
            next += step;
            // After a stall the timer goes on from now rather than ticking to catch up.
            const auto now = std::chrono::steady_clock::now();
            if (next < now) next = now + step;
        }
    });
}

RepeatingTimer::~RepeatingTimer() {
    invalidate();
}

void RepeatingTimer::invalidate() {
    *valid_ = false;
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

MainExecutor TaskLoop::executor() {
    return [state = state_](std::function<void()> task) {
        {
            std::lock_guard guard(state->lock);
            state->tasks.push_back(std::move(task));
        }
        state->changed.notify_one();
    };
}

void TaskLoop::post(std::function<void()> task) {
    executor()(std::move(task));
}

void TaskLoop::run() {
    runUntil([] { return false; }, std::chrono::hours(24 * 365 * 100));
}

bool TaskLoop::runUntil(const std::function<bool()>& until, std::chrono::duration<double> limit) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit);
    for (;;) {
        if (until()) return true;
        std::function<void()> task;
        {
            std::unique_lock guard(state_->lock);
            if (!state_->changed.wait_until(
                    guard, deadline, [this] { return state_->quitting || !state_->tasks.empty(); }))
                return until();
            if (state_->quitting) {
                state_->quitting = false;
                return until();
            }
            task = std::move(state_->tasks.front());
            state_->tasks.pop_front();
        }
        task();
    }
}

void TaskLoop::quit() {
    {
        std::lock_guard guard(state_->lock);
        state_->quitting = true;
    }
    state_->changed.notify_all();
}

} // namespace tallymere
