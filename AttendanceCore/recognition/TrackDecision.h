#pragma once

#include "library/ProcessSettings.h"
#include "recognition/Gallery.h"
#include "recognition/Tracker.h"

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tallymere {

// The judgement of one track: which member it is, if any, and why.
struct TrackDecision {
    int trackID = 0;
    std::optional<std::string> memberID; // present exactly when the track was accepted
    float score = 0;                     // best member score; 0 without a candidate
    std::optional<std::string> runnerUp; // second-ranked member, if any
    float runnerUpScore = -1;            // its score; -1 without one
    float vote = 0; // share of the retained best sightings whose own best match is the best member
    int sightings = 0;
    int idSightings = 0;
    double firstT = 0;
    double lastT = 0;
    std::string reason; // "match" when accepted, otherwise why not

    bool operator==(const TrackDecision&) const = default;
};

// JSON form keyed by the field names; "memberID" and "runnerUp" are left out when absent. Reading
// is strict (every other key required) and throws LibraryError.
void to_json(nlohmann::json& json, const TrackDecision& decision);
void from_json(const nlohmann::json& json, TrackDecision& decision);

// The own best member of each retained sighting that a track's vote has counted (none when the
// gallery gave none), by sighting number. Kept by a caller that decides the same track again, so
// that only its new sightings are scored; the decision is the same with it or without.
struct VoteMemo {
    std::vector<std::pair<int, std::optional<std::string>>> ownBest;
};

// The decision of one track against `gallery` with the thresholds of `s`.
TrackDecision decide(const Track& track, const Gallery& gallery, const ProcessSettings& s,
                     VoteMemo* memo = nullptr);

// One decision per track, in the order of `tracks`, against `gallery` with the thresholds of `s`.
// Reads the tracks and changes nothing.
std::vector<TrackDecision> decide(const std::vector<std::shared_ptr<Track>>& tracks,
                                  const Gallery& gallery, const ProcessSettings& s);

} // namespace tallymere
