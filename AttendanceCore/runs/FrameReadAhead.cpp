#include "runs/FrameReadAhead.h"

#include "runs/ProcessError.h"

#include <chrono>
#include <utility>

namespace tallymere {

FrameReadAhead::FrameReadAhead(FrameSource& source, std::size_t depth)
    : source_(source), depth_(depth) {
    if (depth_ > 0) reader_ = std::thread([this] { read(); });
}

FrameReadAhead::~FrameReadAhead() {
    stop();
}

void FrameReadAhead::stop() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    interrupted_ = true;
    changed_.notify_all();
    if (reader_.joinable()) reader_.join();
}

void FrameReadAhead::read() {
    for (;;) {
        {
            std::unique_lock guard(lock_);
            changed_.wait(guard, [this] { return stopping_ || ready_.size() < depth_; });
            if (stopping_) return;
        }
        try {
            std::optional<FrameSource::Frame> frame =
                source_.next([this] { return interrupted_.load(); });
            std::lock_guard guard(lock_);
            if (frame) {
                ready_.push_back(std::move(*frame));
            } else {
                ended_ = true;
            }
        } catch (...) {
            std::lock_guard guard(lock_);
            failure_ = std::current_exception();
            ended_ = true;
        }
        changed_.notify_all();
        std::lock_guard guard(lock_);
        if (ended_) return;
    }
}

std::optional<FrameSource::Frame> FrameReadAhead::next(const std::function<bool()>& isCancelled) {
    if (depth_ == 0) {
        if (stopping_) return std::nullopt;
        return source_.next(isCancelled);
    }
    std::unique_lock guard(lock_);
    const auto arrived = [this] { return !ready_.empty() || ended_ || stopping_; };
    while (!changed_.wait_for(guard, std::chrono::milliseconds(100), arrived)) {
        if (isCancelled && isCancelled()) {
            guard.unlock();
            stop();
            throw ProcessError::cancelled();
        }
    }
    if (!ready_.empty()) {
        FrameSource::Frame frame = std::move(ready_.front());
        ready_.pop_front();
        guard.unlock();
        changed_.notify_all();
        return frame;
    }
    if (failure_) std::rethrow_exception(failure_);
    return std::nullopt;
}

} // namespace tallymere
