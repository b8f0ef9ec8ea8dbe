#pragma once

#include "engine/Face.h"
#include "engine/FaceEngine.h"
#include "engine/Geometry.h"
#include "library/ProcessSettings.h"
#include "library/Records.h"
#include "library/Register.h"
#include "recognition/Gallery.h"
#include "recognition/TrackDecision.h"
#include "recognition/Tracker.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tallymere {

class Library;

// A face as the live page draws it: its track, its box and a quick label.
struct LiveFace {
    int id = 0; // the track id
    Box box;
    std::optional<std::string> memberID;
    float score = 0; // the track's best gallery score, or 0

    bool operator==(const LiveFace&) const = default;
};

// A member present so far in a live session.
struct LivePresence {
    std::string memberID;
    float score = 0;      // the best decision score of the member's tracks
    double firstSeen = 0; // seconds

    bool operator==(const LivePresence&) const = default;
};

// How many faces a run found, and how many of them it embedded.
struct EmbeddingCount {
    long faces = 0;
    long embedded = 0;

    bool operator==(const EmbeddingCount&) const = default;
};

// The state of one run, offline or live: the gallery of enrolled members, the tracker fed with the
// embedded faces of every sampled frame, and a cache of on-screen labels. `finish` turns the tracks
// into the register, writes the snapshots and returns the results. No lock: one thread at a time.
class AttendanceSession {
public:
    // Fails with ProcessError::noMembers when no member has a usable photo embedding. With
    // `stillImages` the tracker never ends a track for a gap in time. `library` must outlive the
    // session. `model` describes the face models for the results (the engine's modelName()).
    AttendanceSession(std::vector<Member> members, const Library& library,
                      const ProcessSettings& settings, bool stillImages,
                      std::string model = std::string(modelName));

    AttendanceSession(const AttendanceSession&) = delete;
    AttendanceSession& operator=(const AttendanceSession&) = delete;

    const ProcessSettings settings;
    const std::string model;

    const Gallery& gallery() const { return gallery_; }
    const std::vector<Member>& members() const { return members_; }
    const Library& library() const { return library_; }
    const Tracker& tracker() const { return tracker_; }
    int frames() const { return frames_; }
    double lastT() const { return lastT_; }
    const EmbeddingCount& embeddingCount() const { return embeddingCount_; }

    // Which of one frame's aligned faces (time `t`, before ingesting it) need an embedding: all
    // but those that continue a track on position alone while the track is well identified
    // (enough identifying sightings, one embedded less than `reembedSeconds` ago), that are no
    // better in quality than the track's best and that look like its last embedded sighting.
    std::vector<bool> needsEmbedding(const std::vector<Face>& faces, double t) const;

    // Finds the faces of one frame at `size` with `tiles` and embeds those that need it, in one
    // batch; with `reembedSeconds` 0, exactly the engine's analyze. The engine's errors pass
    // through.
    std::vector<Face> analyze(FaceEngine& engine, const BGRAImage& image, double t, int size,
                              int tiles);

    // Tracks the embedded faces of one frame (time `t`, non-decreasing between calls; `frame` its
    // index) and returns one on-screen face per input face, in order.
    std::vector<LiveFace> ingest(const std::vector<Face>& faces, double t, int frame);

    // The members recognised so far with their best score and first time seen, earliest first.
    std::vector<LivePresence> presence() const;

    // Decides every track, aggregates the register, groups unrecognised faces into visitors,
    // replaces the "evidence" and "visitors" folders of `serviceDir` with this run's snapshots and
    // returns the results. Fails with the file system's error when a folder cannot be created.
    ServiceResults finish(const std::filesystem::path& serviceDir, double duration,
                          double processingSeconds, bool stillImages) const;

private:
    // The quick identity shown for a track (no track: no member, score 0), cached per track until
    // the track gains identifying sightings.
    std::pair<std::optional<std::string>, float> label(const Track* track);

    struct Label {
        std::optional<std::string> memberID;
        float score = 0;
        int idSightings = 0;
    };

    // The latest decision of a track and the sighting count it was made at: the gallery and the
    // settings are fixed for the session, so it holds until the track changes.
    struct Decided {
        int sightings = -1;
        TrackDecision decision;
        VoteMemo memo;
    };

    // Brings the decisions of the tracks that changed since they were last decided up to date;
    // returns every track's decision, in track order.
    const std::vector<Decided>& decideChanged() const;
    void decideIfChanged(std::size_t index) const;
    // Decides the tracks the last frame closed for good and frees what only tracking and
    // deciding them needed: sums, retained sightings, and the crop's pixels (kept as its JPEG).
    void settleClosed();

    Gallery gallery_;
    std::vector<Member> members_;
    const Library& library_;
    Tracker tracker_;
    int frames_ = 0;
    double lastT_ = 0;
    EmbeddingCount embeddingCount_;
    // The look of each open track's latest embedded sighting, while faces may be left unembedded.
    std::unordered_map<int, std::vector<float>> looks_;
    std::unordered_map<int, Label> labels_;
    mutable std::vector<Decided> decided_; // by track id
};

} // namespace tallymere
