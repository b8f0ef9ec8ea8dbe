#include "runs/FrameReadAhead.h"

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
            std::optional<FrameSource::Frame> frame = source_.next();
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

std::optional<FrameSource::Frame> FrameReadAhead::next() {
    if (depth_ == 0) {
        if (stopping_) return std::nullopt;
        return source_.next();
    }
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return !ready_.empty() || ended_ || stopping_; });
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
