#pragma once

#include "library/MemberResult.h"
#include "library/ProcessSettings.h"
#include "recognition/TrackDecision.h"
#include "recognition/Tracker.h"

#include <cstddef>
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

// The least identifying sightings an unrecognised track needs to count as a visitor.
int minimumEvidence(const ProcessSettings& s, bool stillImages);

// Groups the unrecognised tracks seen well and long enough by appearance (average linkage), each
// group one visitor; largest group first, equal sizes in their order of first appearance.
//
// Up to `literalUpTo` such tracks the closest pair of clusters is merged step by step in one
// matrix. Above it the tracks are first split into groups that can never merge (no pair reaching
// the threshold), in time growing with the square of the tracks and memory growing with the
// tracks; each group is then merged the same way, or, when it is itself larger than
// `literalUpTo`, by nearest-neighbour chains from summed vectors. Only that last case may differ,
// where two linkages tie within rounding (the same clusters, in the same order, can then list
// their tracks in another order): such ties go to the pair already chained, then to the cluster
// with the earliest first track.
std::vector<std::vector<std::shared_ptr<Track>>>
clusterUnknowns(const std::vector<std::shared_ptr<Track>>& tracks,
                const std::vector<TrackDecision>& decisions, const ProcessSettings& s,
                bool stillImages, std::size_t literalUpTo = 1000);

} // namespace tallymere
