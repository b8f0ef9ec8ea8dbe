#include "recognition/Aggregation.h"

#include "recognition/Gallery.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <unordered_map>

namespace tallymere {

namespace {

// Below this best score a present member is flagged for a second look.
constexpr float lowConfidence = 0.45f;

const char* const lookalikeReason = "matched to two different faces in the same frame (lookalike?)";
const char* const lowConfidenceReason = "low-confidence match";

std::unordered_map<int, std::shared_ptr<Track>>
tracksByID(const std::vector<std::shared_ptr<Track>>& tracks) {
    std::unordered_map<int, std::shared_ptr<Track>> byID;
    for (const auto& track : tracks)
        byID.try_emplace(track->id, track);
    return byID;
}

bool shareAFrame(const Track& a, const Track& b) {
    auto i = a.frames.begin();
    auto j = b.frames.begin();
    while (i != a.frames.end() && j != b.frames.end()) {
        if (*i == *j) return true;
        if (*i < *j)
            ++i;
        else
            ++j;
    }
    return false;
}

// The least identifying sightings an unrecognised track needs to count as a visitor.
int minimumEvidence(const ProcessSettings& s, bool stillImages) {
    int n = s.minSightings;
    if (!stillImages) {
        // Rounded half away from zero, kept within the range of int.
        const double seconds = std::round(s.unknownMinSeconds * s.sampleFPS);
        int bySeconds = 0;
        if (seconds >= static_cast<double>(INT_MAX))
            bySeconds = INT_MAX;
        else if (seconds > static_cast<double>(INT_MIN))
            bySeconds = static_cast<int>(seconds);
        else if (!std::isnan(seconds))
            bySeconds = INT_MIN;
        n = std::max(n, bySeconds);
    }
    return n;
}

} // namespace

Aggregation aggregate(const std::vector<std::string>& memberIDs,
                      const std::vector<std::shared_ptr<Track>>& tracks,
                      const std::vector<TrackDecision>& decisions) {
    const auto byID = tracksByID(tracks);

    Aggregation out;
    std::unordered_map<std::string, std::size_t> resultOf;
    out.members.reserve(memberIDs.size());
    for (const std::string& id : memberIDs) {
        resultOf.try_emplace(id, out.members.size());
        MemberResult result;
        result.memberID = id;
        out.members.push_back(std::move(result));
    }
    std::vector<std::vector<const Track*>> accepted(out.members.size());

    for (const TrackDecision& decision : decisions) {
        if (!decision.memberID) continue;
        const auto member = resultOf.find(*decision.memberID);
        if (member == resultOf.end()) continue;
        const auto track = byID.find(decision.trackID);
        if (track == byID.end()) continue;

        MemberResult& result = out.members[member->second];
        result.present = true;
        result.sightings += decision.sightings;
        result.firstSeen =
            result.firstSeen ? std::min(*result.firstSeen, decision.firstT) : decision.firstT;
        result.lastSeen =
            result.lastSeen ? std::max(*result.lastSeen, decision.lastT) : decision.lastT;
        // Strictly greater: among equal best scores the earliest decision's track stays.
        if (decision.score > result.confidence) {
            result.confidence = decision.score;
            out.bestTracks[result.memberID] = track->second;
        }
        accepted[member->second].push_back(track->second.get());
    }

    // One person cannot be two faces in the same frame: a lookalike was matched as well.
    for (std::size_t m = 0; m < out.members.size(); ++m) {
        const auto& list = accepted[m];
        bool shared = false;
        for (std::size_t i = 0; i < list.size() && !shared; ++i)
            for (std::size_t j = i + 1; j < list.size() && !shared; ++j)
                shared = shareAFrame(*list[i], *list[j]);
        if (shared) {
            out.members[m].needsReview = true;
            out.members[m].reviewReason = lookalikeReason;
        }
    }

    for (MemberResult& result : out.members) {
        if (result.present && result.confidence < lowConfidence && !result.needsReview) {
            result.needsReview = true;
            result.reviewReason = lowConfidenceReason;
        }
    }
    return out;
}

std::vector<std::vector<std::shared_ptr<Track>>>
clusterUnknowns(const std::vector<std::shared_ptr<Track>>& tracks,
                const std::vector<TrackDecision>& decisions, const ProcessSettings& s,
                bool stillImages) {
    const int n = minimumEvidence(s, stillImages);
    const auto byID = tracksByID(tracks);

    std::vector<std::shared_ptr<Track>> unknown;
    std::vector<std::vector<float>> identity;
    for (const TrackDecision& decision : decisions) {
        if (decision.memberID || decision.idSightings < n) continue;
        const auto track = byID.find(decision.trackID);
        if (track == byID.end() || track->second->idSightings < 1) continue;
        unknown.push_back(track->second);
        identity.push_back(normalized(track->second->idEmbSum));
    }
    const std::size_t count = unknown.size();

    // Every dot product between two identity vectors, computed once; the linkage sums below add
    // them in exactly the order a fresh computation would.
    std::vector<float> dot(count * count);
    for (std::size_t x = 0; x < count; ++x)
        for (std::size_t y = 0; y < count; ++y)
            dot[x * count + y] = x <= y ? dotCommon(identity[x], identity[y]) : dot[y * count + x];

    // Clusters as lists of indices into `unknown`, one per track to begin with.
    std::vector<std::vector<std::size_t>> clusters(count);
    for (std::size_t i = 0; i < count; ++i)
        clusters[i] = {i};

    // Average linkage of A (earlier in the list) with B: the dot products summed with A's tracks
    // outer and B's inner, over |A| x |B|.
    const auto linkage = [&](const std::vector<std::size_t>& a, const std::vector<std::size_t>& b) {
        float sum = 0;
        for (const std::size_t x : a)
            for (const std::size_t y : b)
                sum += dot[x * count + y];
        return sum / static_cast<float>(a.size() * b.size());
    };

    // link[i][j] for i < j: the linkage of clusters i and j as they stand; only pairs involving
    // a merged cluster change.
    std::vector<std::vector<float>> link(count, std::vector<float>(count, 0.0f));
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t j = i + 1; j < count; ++j)
            link[i][j] = linkage(clusters[i], clusters[j]);

    while (clusters.size() >= 2) {
        float best = -2.0f;
        std::size_t bestA = 0, bestB = 0;
        bool found = false;
        for (std::size_t i = 0; i < clusters.size(); ++i)
            for (std::size_t j = i + 1; j < clusters.size(); ++j)
                if (link[i][j] > best) {
                    best = link[i][j];
                    bestA = i;
                    bestB = j;
                    found = true;
                }
        if (!found || best < s.unknownClusterSim) break;

        clusters[bestA].insert(clusters[bestA].end(), clusters[bestB].begin(),
                               clusters[bestB].end());
        clusters.erase(clusters.begin() + static_cast<std::ptrdiff_t>(bestB));
        link.erase(link.begin() + static_cast<std::ptrdiff_t>(bestB));
        for (auto& row : link)
            row.erase(row.begin() + static_cast<std::ptrdiff_t>(bestB));
        for (std::size_t k = 0; k < clusters.size(); ++k) {
            if (k < bestA) link[k][bestA] = linkage(clusters[k], clusters[bestA]);
            if (k > bestA) link[bestA][k] = linkage(clusters[bestA], clusters[k]);
        }
    }

    std::stable_sort(clusters.begin(), clusters.end(),
                     [](const auto& a, const auto& b) { return a.size() > b.size(); });
    std::vector<std::vector<std::shared_ptr<Track>>> result;
    result.reserve(clusters.size());
    for (const auto& cluster : clusters) {
        std::vector<std::shared_ptr<Track>> members;
        members.reserve(cluster.size());
        for (const std::size_t index : cluster)
            members.push_back(unknown[index]);
        result.push_back(std::move(members));
    }
    return result;
}

} // namespace tallymere
