#pragma once

#include "engine/BGRAImage.h"
#include "runs/MainThread.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tallymere {

// A video capture device as the new-service sheet lists it.
struct CameraInfo {
    std::string id;   // stable: the device's bus position, or its path when it states none
    std::string name; // the driver's name for the card
    std::string path; // "/dev/videoN"

    bool operator==(const CameraInfo&) const = default;
};

// The /dev/video* nodes that capture video, in node order. A node that exists but cannot be
// opened for lack of rights is listed under its path, so that choosing it says what to do.
std::vector<CameraInfo> availableCameras();

// One decoded frame, shared without copying between the feed, the analysis and the preview.
using SharedFrame = std::shared_ptr<const BGRAImage>;

// Gets BGRA frames from a camera or a stream. A camera delivers every frame it captures on the
// feed's "camera.frames" thread, dropping frames that arrive while the previous one is still being
// delivered. A stream is decoded on a thread of its own at the stream's own pace and muted; the
// newest decoded frame is pulled every 0.1 seconds on the main thread and delivered there.
class FrameFeed {
public:
    using FrameHandler = std::function<void(SharedFrame)>;

    explicit FrameFeed(MainExecutor main);
    ~FrameFeed();
    FrameFeed(const FrameFeed&) = delete;
    FrameFeed& operator=(const FrameFeed&) = delete;

    // The receiver of every delivered frame, called on the delivering thread.
    void setOnFrame(FrameHandler handler);

    // Opens the camera with that listed id, or at that device path, at its best mode (largest
    // picture, then highest frame rate) and starts delivering. Fails with LiveError::noCamera when
    // there is no such capture device, LiveError::cameraDenied when the user may not open it, or
    // the capture library's error (std::system_error) when it will not start.
    void startCamera(const std::string& id);

    // Starts decoding the URL (HLS playlists and direct videos over HTTP(S), RTSP, file URLs).
    // Never fails: a stream that cannot be played delivers no frames.
    void startStream(const std::string& url);

    // Stops delivering and ends the feed's threads. The newest frame stays available.
    void stop();

    // The newest frame the source produced (captured or decoded, delivered or not) and how many
    // frames it has produced so far; for previews, which show every frame.
    std::pair<SharedFrame, std::uint64_t> newest() const;

    // Hands a frame to the receiver as a source would, on the calling thread; for sources made
    // by the program itself (tests, synthetic feeds).
    void deliver(SharedFrame frame);

    // Whether a stream's decoding has ended (it could not be played, or it reached its end).
    bool streamEnded() const { return streamEnded_; }
    // Why an ended stream could not be played, in the media library's words ("No such file or
    // directory", "Connection refused"); "" while it plays or when it played to its end.
    std::string streamProblem() const;

    class Capture;

private:
    void keepNewest(const SharedFrame& frame);

    MainExecutor main_;
    mutable std::mutex lock_;
    FrameHandler onFrame_;
    SharedFrame newest_;
    std::uint64_t produced_ = 0;
    std::uint64_t pulled_ = 0;
    std::string streamProblem_;
    std::unique_ptr<Capture> capture_;
    std::unique_ptr<RepeatingTimer> pullTimer_;
    std::atomic<bool> streamEnded_ = false;
};

} // namespace tallymere
