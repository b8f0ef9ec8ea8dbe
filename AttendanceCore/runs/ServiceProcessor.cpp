#include "runs/ServiceProcessor.h"

#include "engine/FaceEngine.h"
#include "library/Library.h"
#include "recognition/RecognizerScales.h"
#include "runs/AttendanceSession.h"
#include "runs/FrameReadAhead.h"
#include "runs/FrameSource.h"
#include "runs/ProcessError.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace tallymere {

namespace {

using Clock = std::chrono::steady_clock;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// Reports go to a caller that rewrites the stored service each time: at most one per 0.25 s.
constexpr double reportInterval = 0.25;

} // namespace

ServiceProcessor::ServiceProcessor(FaceEngine& engine, const Library& library,
                                   std::size_t readAhead)
    : engine_(engine), library_(library), readAhead_(readAhead) {}

std::string ServiceProcessor::progressText(int done, std::optional<int> total, double elapsed) {
    std::string text = std::to_string(done);
    if (total) text += "/" + std::to_string(*total);
    text += " frames";
    if (total && done >= 4) {
        const double remaining =
            (elapsed / done) * std::max(0.0, static_cast<double>(*total) - done);
        if (remaining >= 60)
            text +=
                " \u00b7 ~" + std::to_string(static_cast<long long>(remaining / 60)) + " min left";
        else
            text += " \u00b7 " + std::to_string(static_cast<long long>(remaining)) + " s left";
    }
    return text;
}

ServiceResults ServiceProcessor::run(const Service& service, const std::vector<Member>& members,
                                     const ProcessSettings& settings,
                                     const std::function<void(const Progress&)>& progress,
                                     const std::function<bool()>& isCancelled) {
    const Clock::time_point start = Clock::now();
    std::optional<Clock::time_point> lastReport;
    int processed = 0;

    FrameSource source = FrameSource::open(service.sourcePaths, settings.sampleFPS);
    measureRecognizerScales(engine_, library_, members);
    AttendanceSession attendance(members, library_, settings, source.isStill(),
                                 engine_.modelName());
    // A service id that cannot name a folder fails here, before any work, not after it.
    const std::filesystem::path serviceDir = library_.serviceDir(service.id);
    const std::optional<int> total = source.expectedFrames();
    const bool stillImages = source.isStill();

    {
        FrameReadAhead frames(source, readAhead_);
        while (auto frame = frames.next(isCancelled)) {
            if (isCancelled && isCancelled()) throw ProcessError::cancelled();
            std::vector<Face> faces = attendance.analyze(engine_, frame->image, frame->time,
                                                         settings.detectorSize, settings.tiles);
            attendance.ingest(faces, frame->time, frame->index);
            ++processed;
            const Clock::time_point now = Clock::now();
            if (!lastReport || secondsBetween(*lastReport, now) > reportInterval) {
                lastReport = now;
                const double elapsed = secondsBetween(start, now);
                if (progress)
                    progress(Progress{processed, total, elapsed,
                                      progressText(processed, total, elapsed)});
            }
        }
    } // the reading thread has finished with the source here

    // Photos of which not one could be decoded give no register: everyone absent would be a
    // wrong result, not an empty service.
    if (stillImages && processed == 0) {
        std::vector<std::string> names;
        for (const std::string& path : service.sourcePaths)
            names.push_back(std::filesystem::path(path).filename().string());
        throw ProcessError::unreadablePhotos(names);
    }

    embeddingCount_ = attendance.embeddingCount();
    if (progress)
        progress(Progress{processed, processed, secondsBetween(start, Clock::now()), "Matching"});
    return attendance.finish(serviceDir, source.duration(), secondsBetween(start, Clock::now()),
                             stillImages);
}

void markQueued(Service& service) {
    service.status = ServiceStatus::queued;
    service.progress = 0;
    service.message = "Waiting to start";
}

void markProcessing(Service& service) {
    service.status = ServiceStatus::processing;
    service.message = "Preparing face models";
}

void markProgress(Service& service, const Progress& report) {
    service.progress =
        !report.total || *report.total < 1
            ? 0.0
            : std::min(static_cast<double>(report.done) / static_cast<double>(*report.total), 0.99);
    service.message = report.message;
}

void markFinished(Service& service, ServiceResults results) {
    service.status = ServiceStatus::done;
    service.progress = 1.0;
    service.message = "Finished";
    service.results = std::move(results);
    // The operator's decisions about members are facts about who attended and stand; the
    // visitors they named are found afresh, so those links go.
    service.corrections.visitors.clear();
}

void markCancelled(Service& service) {
    service.status = ServiceStatus::cancelled;
    service.message = "Cancelled";
}

void markFailed(Service& service, const std::string& message) {
    service.status = ServiceStatus::failed;
    service.message = message;
}

} // namespace tallymere
