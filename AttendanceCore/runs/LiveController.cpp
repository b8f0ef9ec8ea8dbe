#include "runs/LiveController.h"

#include "engine/FaceEngine.h"
#include "library/Library.h"
#include "recognition/RecognizerScales.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <utility>

namespace tallymere {

namespace {

double secondsBetween(LiveController::Clock::time_point from,
                      LiveController::Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

} // namespace

std::shared_ptr<LiveController> LiveController::create(LiveSourceKind source, std::string serviceID,
                                                       MainExecutor main) {
    return std::shared_ptr<LiveController>(
        new LiveController(std::move(source), std::move(serviceID), std::move(main)));
}

LiveController::LiveController(LiveSourceKind source, std::string serviceID, MainExecutor main)
    : source_(std::move(source)), serviceID_(std::move(serviceID)), main_(std::move(main)),
      work_(std::make_unique<SerialQueue>("live.analysis")),
      feed_(std::make_unique<FrameFeed>(main_)) {}

LiveController::~LiveController() {
    // The feed first, so no frame arrives while the rest goes.
    feed_->stop();
    if (clock_) clock_->invalidate();
    if (engineWait_) engineWait_->invalidate();
    // A finish that was discarded leaves nothing behind, even when the controller goes first.
    work_.reset();
    if (discarded_ && !finishDir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(finishDir_, ignored);
    }
}

void LiveController::changed() {
    if (onChange_) onChange_();
}

void LiveController::setState(State state) {
    state_ = std::move(state);
    changed();
}

void LiveController::setLabel(std::string label) {
    label_ = std::move(label);
    changed();
}

void LiveController::start(LiveHost& host) {
    if (state_.kind != State::Kind::idle || session_) return; // started once only
    setState({State::Kind::starting, {}});
    auto ready = [&host] { return host.engine() || host.engineError() || !host.engineLoading(); };
    if (ready()) {
        startWithEngine(host);
        return;
    }
    std::weak_ptr<LiveController> weak = weak_from_this();
    engineWait_ = std::make_unique<RepeatingTimer>(main_, std::chrono::milliseconds(200),
                                                   [weak, &host, ready] {
                                                       auto self = weak.lock();
                                                       if (!self || !ready()) return;
                                                       self->engineWait_->invalidate();
                                                       self->startWithEngine(host);
                                                   });
}

void LiveController::startWithEngine(LiveHost& host) {
    // A discard while waiting for the engine ends the start.
    if (state_.kind != State::Kind::starting) return;
    engine_ = host.engine();
    if (!engine_) {
        setState(State::failed(host.engineError().value_or("Face models unavailable")));
        return;
    }
    try {
        ProcessSettings settings = ProcessSettings::preset(ProcessSettings::Mode::standard);
        settings.reembedSeconds = ProcessSettings::liveReembedSeconds;
        session_ =
            std::make_unique<AttendanceSession>(host.members(), host.library(), settings, false);
    } catch (const std::exception& error) {
        setState(State::failed(error.what()));
        return;
    }
    // A recogniser still waiting for its 8-bit scales measures them on the members' accepted
    // photos before the first frame, as a processed service does; they are stored beside the
    // model, so this happens once. Frames arriving meanwhile are dropped as any are while busy.
    if (engine_->wantsRecognizerScales())
        work_->async([engine = engine_, library = &host.library(), members = host.members()] {
            try {
                measureRecognizerScales(*engine, *library, members);
            } catch (const std::exception&) {
                // The recogniser keeps its other precision; the session runs on.
            }
        });

    // The delivering thread only claims the busy flag and hands the frame on; everything else
    // happens on the main thread. The controller is held weakly, so a discarded controller goes.
    std::weak_ptr<LiveController> weak = weak_from_this();
    feed_->setOnFrame([weak, busy = busy_, main = main_](SharedFrame frame) {
        if (!busy->setIfClear()) return; // dropped: one frame in analysis at a time
        const auto arrival = Clock::now();
        main([weak, busy, frame = std::move(frame), arrival]() mutable {
            if (auto self = weak.lock())
                self->accept(std::move(frame), arrival);
            else
                busy->clear();
        });
    });

    if (source_.isCamera()) {
        try {
            feed_->startCamera(source_.id);
        } catch (const std::exception& error) {
            setState(State::failed(error.what()));
            return;
        }
    } else {
        feed_->startStream(source_.url);
    }

    started_ = Clock::now();
    state_ = {State::Kind::running, {}};
    clock_ = std::make_unique<RepeatingTimer>(main_, std::chrono::seconds(1), [weak] {
        auto self = weak.lock();
        if (!self || self->state_.kind != State::Kind::running) return;
        // A stream that ended before its first picture will never give one.
        if (self->feed_->streamEnded() && !self->receivedPicture()) {
            self->failWithoutPicture();
            return;
        }
        self->elapsed_ = secondsBetween(self->started_, Clock::now());
        self->changed();
    });
    changed();
}

void LiveController::accept(SharedFrame frame, Clock::time_point arrival) {
    if (state_.kind != State::Kind::running || !engine_ || !session_) {
        busy_->clear();
        return;
    }
    const auto now = Clock::now();
    const double t = secondsBetween(started_, now);
    const int n = frameCount_++;
    const bool presenceDue =
        !lastPresence_ || now - *lastPresence_ > std::chrono::duration<double>(1.0);

    AttendanceSession* session = session_.get();
    FaceEngine* engine = engine_;
    std::weak_ptr<LiveController> weak = weak_from_this();
    work_->async([=, busy = busy_, main = main_] {
        std::vector<Face> found;
        try {
            found = session->analyze(*engine, *frame, t, 1280, 1);
        } catch (const std::exception&) {
            // A frame whose detection fails is a frame without faces; the session still sees it.
        }
        auto live = std::make_shared<std::vector<LiveFace>>(session->ingest(found, t, n));
        std::shared_ptr<std::vector<LivePresence>> present;
        if (presenceDue) present = std::make_shared<std::vector<LivePresence>>(session->presence());
        const double latency = secondsBetween(arrival, Clock::now());
        const Size size{static_cast<double>(frame->width), static_cast<double>(frame->height)};
        main([weak, busy, live, present, latency, size, arrival] {
            auto self = weak.lock();
            if (!self) {
                busy->clear();
                return;
            }
            self->faces_ = std::move(*live);
            self->frameSize_ = size;
            if (present) {
                self->presence_ = std::move(*present);
                self->lastPresence_ = Clock::now();
            }
            self->analysedFPS_ = 0.2 * (1.0 / std::max(latency, 0.01)) + 0.8 * self->analysedFPS_;
            self->lastDelay_ = secondsBetween(arrival, Clock::now());
            busy->clear();
            self->changed();
        });
    });
}

void LiveController::finish(LiveHost& host, const std::string& label,
                            std::function<void()> completion) {
    if (!session_ || state_.kind == State::Kind::finishing) {
        if (completion) completion();
        return;
    }
    discarded_ = false;
    // A session that never saw its source has no register to save: everyone would be absent.
    if (!receivedPicture()) {
        // A start that failed already said why; that stays the reason.
        if (state_.kind == State::Kind::failed) {
            feed_->stop();
            if (clock_) clock_->invalidate();
        } else {
            failWithoutPicture();
        }
        if (completion) completion();
        return;
    }
    setState({State::Kind::finishing, {}});
    feed_->stop();
    if (clock_) clock_->invalidate();
    const double duration = secondsBetween(started_, Clock::now());
    std::filesystem::path serviceDir;
    try {
        serviceDir = host.library().serviceDir(serviceID_);
    } catch (const std::exception& error) {
        setState(State::failed(error.what()));
        if (completion) completion();
        return;
    }

    finishDir_ = serviceDir;
    AttendanceSession* session = session_.get();
    std::weak_ptr<LiveController> weak = weak_from_this();
    LiveHost* owner = &host;
    // On the analysis thread, so after any frame already queued there.
    work_->async([=, main = main_] {
        auto outcome = std::make_shared<std::optional<ServiceResults>>();
        auto failure = std::make_shared<std::string>();
        try {
            *outcome = session->finish(serviceDir, duration, duration, false);
        } catch (const std::exception& error) {
            *failure = error.what();
        }
        main([weak, owner, label, outcome, failure, completion, serviceDir] {
            auto self = weak.lock();
            if (!self) return;
            if (self->discarded_) {
                // Discarded while saving: the snapshots already written go too.
                std::error_code ignored;
                std::filesystem::remove_all(serviceDir, ignored);
            } else if (!*outcome) {
                self->setState(State::failed(*failure));
            } else {
                const Date now = std::chrono::system_clock::now();
                Service service(self->serviceID_, label, now, now, {},
                                ProcessSettings::Mode::standard);
                service.liveSource = self->source_.title();
                service.status = ServiceStatus::done;
                service.progress = 1.0;
                service.message = "Finished";
                service.results = std::move(**outcome);
                try {
                    owner->library().save(service);
                } catch (const std::exception&) {
                    // As the application does with every save: the session's outcome stands.
                }
                self->finishDir_.clear();
                owner->liveFinished(service);
                self->setState({State::Kind::idle, {}});
            }
            if (completion) completion();
        });
    });
}

bool LiveController::receivedPicture() const {
    return frameCount_ > 0 || feed_->newest().second > 0;
}

void LiveController::failWithoutPicture() {
    const bool ended = feed_->streamEnded();
    const std::string problem = feed_->streamProblem();
    feed_->stop();
    if (clock_) clock_->invalidate();
    std::string cause;
    if (!problem.empty())
        cause = problem;
    else if (ended)
        cause = "it ended before its first picture";
    else
        cause = "none arrived in " + std::to_string(std::lround(elapsed_)) + " seconds";
    // Lower case after the colon, as the rest of the sentence.
    if (!cause.empty() && std::isupper(static_cast<unsigned char>(cause[0])) &&
        (cause.size() < 2 || !std::isupper(static_cast<unsigned char>(cause[1]))))
        cause[0] = char(std::tolower(static_cast<unsigned char>(cause[0])));
    setState(State::failed("No picture came from " + source_.title() + ": " + cause + "."));
}

void LiveController::discard() {
    discarded_ = true;
    feed_->stop();
    if (clock_) clock_->invalidate();
    if (engineWait_) engineWait_->invalidate();
    setState({State::Kind::idle, {}});
}

} // namespace tallymere
