#pragma once

#include "runs/FrameSource.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace tallymere {

// Pulls a frame source on a thread of its own, up to `depth` frames ahead of the caller, so that
// decoding overlaps the analysis of earlier frames. The caller sees exactly the frames, and the
// failure, that pulling the source directly would give, in the same order. With depth 0 the
// source is pulled on the caller's thread.
class FrameReadAhead {
public:
    FrameReadAhead(FrameSource& source, std::size_t depth);
    ~FrameReadAhead();
    FrameReadAhead(const FrameReadAhead&) = delete;
    FrameReadAhead& operator=(const FrameReadAhead&) = delete;

    // The next frame, nothing at the end, or the source's failure once the frames before it have
    // been taken. `isCancelled` is asked at least every 0.1 s while the frame is awaited (on the
    // calling thread); when it says so, reading stops and this fails with ProcessError::cancelled.
    std::optional<FrameSource::Frame> next(const std::function<bool()>& isCancelled = {});

    // Stops reading and waits for the reading thread; the source is then the caller's again.
    void stop();

private:
    void read();

    FrameSource& source_;
    const std::size_t depth_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<FrameSource::Frame> ready_;
    std::exception_ptr failure_;
    bool ended_ = false;
    bool stopping_ = false;
    std::atomic<bool> interrupted_{false}; // tells the source, mid-decode, to give up
    std::thread reader_;
};

} // namespace tallymere
