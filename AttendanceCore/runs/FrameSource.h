#pragma once

#include "engine/BGRAImage.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallymere {

// The sampling rule of a recording: a decoded frame at time t is kept when it reaches the next
// grid point (within a microsecond); after a kept frame the grid moves past t, so a gap in the
// video never yields a burst of frames.
class FrameSampler {
public:
    explicit FrameSampler(double fps) : interval_(1.0 / fps) {}
    // Whether the frame at `t` is kept; advances the grid when it is.
    bool take(double t);
    double nextTime() const { return next_; }
    double interval() const { return interval_; }

private:
    static constexpr int maxGridSteps = 1'000'000;
    double interval_;
    double next_ = 0.0;
};

// A recording as one stream of sampled, upright frames: either a video file, decoded frame by
// frame and sampled at a fixed rate, or a set of still photos, one "second" apart.
class FrameSource {
public:
    struct Frame {
        int index = 0;     // position among all decoded frames of the file (or among the stills)
        double time = 0.0; // seconds from the start of the recording
        BGRAImage image;
    };

    // Stills when every path has a photo extension (an empty list included), otherwise a video
    // read from the first path only. Fails with ProcessError (no video, unreadable) or with the
    // decoder's own error (std::system_error) when the file cannot be opened at all.
    static FrameSource open(const std::vector<std::string>& paths, double fps);

    FrameSource(FrameSource&&) noexcept;
    FrameSource& operator=(FrameSource&&) noexcept;
    ~FrameSource();

    // Seconds of video; for stills, the number of still files.
    double duration() const;
    // truncate(duration * fps) + 1 for a video, the number of files for stills; absent for a
    // video whose length the file does not state.
    std::optional<int> expectedFrames() const;
    bool isStill() const;

    // The next sampled frame, or nothing at the end. Fails with ProcessError::unreadable when
    // decoding breaks off part-way, and with ProcessError::cancelled as soon as `isCancelled`,
    // asked after every decoded frame that is not kept, says so. Not to be called concurrently.
    std::optional<Frame> next(const std::function<bool()>& isCancelled = {});

    // Whether a path names a still photo (its extension, lowercased, is a photo extension).
    static bool isStillPath(const std::filesystem::path& path);

    // Longest side of a still as it is analysed.
    static constexpr int maxStillSide = 6000;

    class Reader;

private:
    explicit FrameSource(std::unique_ptr<Reader> reader);
    std::unique_ptr<Reader> reader_;
};

} // namespace tallymere
