#pragma once

#include "library/ProcessSettings.h"
#include "library/Records.h"
#include "runs/AttendanceSession.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tallymere {

class FaceEngine;
class Library;

// One progress report of a run.
struct Progress {
    int done = 0;             // frames processed so far
    std::optional<int> total; // frames expected, when the source gives a count
    double elapsed = 0;       // seconds since the run started
    std::string message;      // one-line status text

    bool operator==(const Progress&) const = default;
};

// The offline run over a service's recording: sampled frames are analysed for faces and fed to an
// attendance session, which at the end writes the snapshots and returns the register.
class ServiceProcessor {
public:
    // Frames decoded ahead of the analysis by default.
    static constexpr std::size_t defaultReadAhead = 3;

    // `engine` and `library` must outlive the processor. `readAhead` frames are decoded on a thread
    // of their own while earlier frames are analysed (0: decode on the run's thread); the results
    // are the same either way.
    ServiceProcessor(FaceEngine& engine, const Library& library,
                     std::size_t readAhead = defaultReadAhead);

    // Processes `service.sourcePaths` with `settings` against `members`. `progress` is called on
    // the calling thread at most every 0.25 s and once at the end ("Matching"); `isCancelled` is
    // asked before each frame. Fails with ProcessError (unreadable, no video, no members,
    // cancelled), the decoder's or the file system's error, or the engine's error; a failed or
    // cancelled run writes nothing.
    ServiceResults run(const Service& service, const std::vector<Member>& members,
                       const ProcessSettings& settings,
                       const std::function<void(const Progress&)>& progress,
                       const std::function<bool()>& isCancelled);

    // The faces found and embedded by the latest run that got through every frame.
    const EmbeddingCount& lastEmbeddingCount() const { return embeddingCount_; }

    // "n/T frames", with " · ~m min left" or " · s s left" once four frames are done.
    static std::string progressText(int done, std::optional<int> total, double elapsed);

private:
    FaceEngine& engine_;
    const Library& library_;
    std::size_t readAhead_;
    EmbeddingCount embeddingCount_;
};

// The stored steps of a service through the processing queue, the same from every front end.
void markQueued(Service& service);     // "Waiting to start"
void markProcessing(Service& service); // taken from the queue: "Preparing face models"
// A run's progress as a service shows it: 0 without a total, else done / total, never above 0.99
// before the run has finished; the report's message.
void markProgress(Service& service, const Progress& report);
// New results replace the old; the operator's decisions about members are kept, the visitors named
// as members are not.
void markFinished(Service& service, ServiceResults results);
void markCancelled(Service& service);
void markFailed(Service& service, const std::string& message);

} // namespace tallymere
