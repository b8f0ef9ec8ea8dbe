#pragma once

#include "library/Records.h"
#include "runs/AtomicFlag.h"
#include "runs/AttendanceSession.h"
#include "runs/FrameFeed.h"
#include "runs/LiveSourceKind.h"
#include "runs/MainThread.h"
#include "runs/SerialQueue.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallymere {

class FaceEngine;
class Library;

// What a live session needs of its owner (the application's model, or the tool). Called on the
// main thread only; the owner outlives the controller's start and finish.
class LiveHost {
public:
    virtual ~LiveHost() = default;
    // The shared engine once it has loaded; none while loading or after loading failed.
    virtual FaceEngine* engine() = 0;
    // Why the engine failed to load; none while loading or when it loaded.
    virtual std::optional<std::string> engineError() = 0;
    // Whether the engine is still being loaded (the controller waits for it meanwhile).
    virtual bool engineLoading() = 0;
    virtual std::vector<Member> members() = 0;
    virtual Library& library() = 0;
    // A live session was saved as this finished service (already written): put it at the front
    // of the services and let the controller go. The controller is kept alive until it returns.
    virtual void liveFinished(const Service& service) = 0;
};

// One live session: takes frames from its feed, analyses one at a time on the "live.analysis"
// thread (frames arriving meanwhile are dropped), and publishes the faces, the members present,
// the elapsed time and the analysis rate on the main thread. Every member function is called on
// the main thread; changes are announced there through the change handler.
class LiveController : public std::enable_shared_from_this<LiveController> {
public:
    struct State {
        enum class Kind { idle, starting, running, finishing, failed };
        Kind kind = Kind::idle;
        std::string message; // failed only

        static State failed(std::string message) { return {Kind::failed, std::move(message)}; }
        bool operator==(const State&) const = default;
    };

    struct Size {
        double width = 16;
        double height = 9;
        bool operator==(const Size&) const = default;
    };

    using Clock = std::chrono::steady_clock;

    // `main` posts to the main thread; the controller posts there what it publishes.
    static std::shared_ptr<LiveController> create(LiveSourceKind source, std::string serviceID,
                                                  MainExecutor main);
    ~LiveController();
    LiveController(const LiveController&) = delete;
    LiveController& operator=(const LiveController&) = delete;

    // ---- What the live page shows
    const LiveSourceKind& source() const { return source_; }
    const std::string& label() const { return label_; }
    void setLabel(std::string label);
    const State& state() const { return state_; }
    // Faces of the most recently analysed frame, in its pixels.
    const std::vector<LiveFace>& faces() const { return faces_; }
    // Pixel size of the most recently analysed frame (16 by 9 before the first).
    Size frameSize() const { return frameSize_; }
    // Members recognised so far, as last refreshed.
    const std::vector<LivePresence>& presence() const { return presence_; }
    // Seconds since capture started, refreshed once a second.
    double elapsed() const { return elapsed_; }
    // Frames analysed per second, smoothed.
    double analysedFPS() const { return analysedFPS_; }

    FrameFeed& feed() { return *feed_; }
    const std::string& serviceID() const { return serviceID_; }
    // Called on the main thread after any of the shown fields changed.
    void setOnChange(std::function<void()> handler) { onChange_ = std::move(handler); }

    // ---- Figures for checks and measurements
    // Whether a frame is being analysed (frames arriving now are dropped).
    bool analysing() const { return busy_->isSet(); }
    // Frames accepted for analysis so far.
    int frameCount() const { return frameCount_; }
    // When the members present were last refreshed; none before the first analysed frame.
    std::optional<Clock::time_point> lastPresence() const { return lastPresence_; }
    // Seconds from the arrival of the most recently published frame to its faces being published.
    double lastDelay() const { return lastDelay_; }
    // The session, once started; read it only while no frame is in analysis.
    const AttendanceSession* session() const { return session_.get(); }

    // Waits for the engine (looking every 0.2 seconds), creates the session, starts the feed and
    // the clock: `running`, or `failed` with the reason. Only an `idle` controller that never
    // ran starts.
    void start(LiveHost& host);
    // Stops the feed and turns the session into a finished service (see LiveHost::liveFinished),
    // then `idle`; or `failed` when the session's finish fails, nothing saved. A session that
    // never received a picture saves nothing: it fails with "No picture came from <source>:
    // <cause>.", as it does on its own once a stream ends before its first picture. Does nothing
    // without a session. `completion` runs on the main thread when done (also when nothing
    // happens).
    void finish(LiveHost& host, const std::string& label, std::function<void()> completion = {});
    // Stops the feed and the clock and becomes `idle`; nothing is written (a finish under way
    // saves nothing and removes what it wrote).
    void discard();

private:
    LiveController(LiveSourceKind source, std::string serviceID, MainExecutor main);

    void changed();
    void setState(State state);
    void startWithEngine(LiveHost& host);
    // Whether the source ever produced a frame.
    bool receivedPicture() const;
    // Stops the feed and fails naming the source and why it gave no picture.
    void failWithoutPicture();
    // A frame accepted by the delivering thread, now on the main thread.
    void accept(SharedFrame frame, Clock::time_point arrival);

    const LiveSourceKind source_;
    const std::string serviceID_;
    MainExecutor main_;
    std::function<void()> onChange_;
    std::string label_ = "Live";
    State state_;
    std::vector<LiveFace> faces_;
    Size frameSize_;
    std::vector<LivePresence> presence_;
    double elapsed_ = 0;
    double analysedFPS_ = 0;
    double lastDelay_ = 0;

    std::unique_ptr<AttendanceSession> session_;
    FaceEngine* engine_ = nullptr;
    // Declared after the session, so the analysis thread has ended before the session goes.
    std::unique_ptr<SerialQueue> work_;
    std::shared_ptr<AtomicFlag> busy_ = std::make_shared<AtomicFlag>();
    Clock::time_point started_ = Clock::now();
    int frameCount_ = 0;
    std::optional<Clock::time_point> lastPresence_;
    bool discarded_ = false;
    std::filesystem::path finishDir_; // the folder a finish under way writes into
    std::unique_ptr<RepeatingTimer> clock_;
    std::unique_ptr<RepeatingTimer> engineWait_;
    // Declared last, so its threads end first.
    std::unique_ptr<FrameFeed> feed_;
};

} // namespace tallymere
