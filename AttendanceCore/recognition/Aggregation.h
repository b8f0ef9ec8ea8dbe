#pragma once

#include "library/MemberResult.h"
#include "recognition/ProcessSettings.h"
#include "recognition/TrackDecision.h"
#include "recognition/Tracker.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tallymere {

// The register of a run before its snapshots are written.
struct Aggregation {
    // One result per member id passed in, in that order.
    std::vector<MemberResult> members;
    // Each present member's best track: the one of its highest-scoring accepted decision.
    std::map<std::string, std::shared_ptr<Track>> bestTracks;
};

// Merges the accepted decisions of each member into its result, with the review flags. Decisions
// naming no listed member or no known track are ignored.
Aggregation aggregate(const std::vector<std::string>& memberIDs,
                      const std::vector<std::shared_ptr<Track>>& tracks,
                      const std::vector<TrackDecision>& decisions);

// Groups the unrecognised tracks seen well and long enough by appearance (average linkage), each
// group one visitor; largest group first, equal sizes in their order of first appearance.
std::vector<std::vector<std::shared_ptr<Track>>>
clusterUnknowns(const std::vector<std::shared_ptr<Track>>& tracks,
                const std::vector<TrackDecision>& decisions, const ProcessSettings& s,
                bool stillImages);

} // namespace tallymere
