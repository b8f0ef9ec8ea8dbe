#include "recognition/Aggregation.h"

#include "recognition/Gallery.h"
#include "recognition/RowDots.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <span>
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

// Average linkage of the tracks `members` (indices into `identity`, ascending), merging the
// closest pair of clusters while its linkage reaches `threshold`. Clusters come back in the order
// of their first track, each listing the earlier cluster's tracks before the later one's at every
// merge.
std::vector<std::vector<std::size_t>> linkLiterally(const std::vector<std::vector<float>>& identity,
                                                    const std::vector<std::size_t>& members,
                                                    float threshold) {
    const std::size_t count = members.size();

    // Every dot product between two identity vectors, computed once; the linkage sums below add
    // them in exactly the order a fresh computation would.
    std::vector<float> dot(count * count);
    for (std::size_t x = 0; x < count; ++x)
        for (std::size_t y = 0; y < count; ++y)
            dot[x * count + y] =
                x <= y ? dotCommon(identity[members[x]], identity[members[y]]) : dot[y * count + x];

    // Clusters as lists of positions in `members`, one per track to begin with.
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
        if (!found || best < threshold) break;

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
    for (auto& cluster : clusters)
        for (std::size_t& position : cluster)
            position = members[position];
    return clusters;
}

// The tracks split into groups joined by any pair at least as similar as `threshold` (less a
// rounding allowance): the average of a pair of clusters never exceeds their closest pair, so
// tracks of different groups can never end up in one cluster. Each group ascending, groups in the
// order of their first track. Memory grows with the tracks, not with their pairs.
std::vector<std::vector<std::size_t>>
mergeableGroups(const std::vector<std::vector<float>>& identity, float threshold) {
    const std::size_t count = identity.size();
    std::vector<GalleryRow> rows(count);
    for (std::size_t i = 0; i < count; ++i)
        rows[i].embedding = identity[i];
    std::vector<std::size_t> parent(count);
    for (std::size_t i = 0; i < count; ++i)
        parent[i] = i;
    const auto root = [&](std::size_t i) {
        while (parent[i] != i)
            i = parent[i] = parent[parent[i]];
        return i;
    };
    const float joining = threshold - 1e-4f;
    const rowdots::Kernel kernel = rowdots::best();
    // Rows in blocks small enough to stay in the processor's cache while every earlier track is
    // compared with them.
    constexpr std::size_t block = 64;
    std::vector<float> dots(block);
    for (std::size_t first = 0; first < count; first += block) {
        const std::size_t end = std::min(first + block, count);
        for (std::size_t x = 0; x + 1 < end; ++x) {
            const std::size_t from = std::max(first, x + 1);
            const std::span<const GalleryRow> later(rows.data() + from, end - from);
            rowdots::compute(identity[x], later, dots.data(), kernel);
            for (std::size_t k = 0; k < later.size(); ++k) {
                if (!(dots[k] >= joining)) continue;
                const std::size_t a = root(x), b = root(from + k);
                if (a != b) parent[std::max(a, b)] = std::min(a, b);
            }
        }
    }
    std::vector<std::vector<std::size_t>> groups;
    std::vector<std::size_t> groupOf(count, count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t r = root(i);
        if (groupOf[r] == count) {
            groupOf[r] = groups.size();
            groups.emplace_back();
        }
        groups[groupOf[r]].push_back(i);
    }
    return groups;
}

// The same clusters as linkLiterally for a group too large for its matrices, by the nearest-
// neighbour chain: average linkage is reducible, so chaining each cluster to its closest and
// merging mutual closest pairs gives the same merges as always taking the closest pair overall.
// Linkages are computed from the clusters' summed identity vectors (in double precision), so a
// result can differ only where two linkages tie within rounding; ties go to the pair already in
// the chain, then to the cluster with the earliest first track. Memory grows with the group.
std::vector<std::vector<std::size_t>> linkByChain(const std::vector<std::vector<float>>& identity,
                                                  const std::vector<std::size_t>& members,
                                                  float threshold) {
    struct Cluster {
        std::vector<double> sum;
        std::vector<std::size_t> tracks; // in the order the literal merges would list them
        bool active = true;
        bool settled = false; // nothing reaches the threshold with it any more
    };
    std::vector<Cluster> clusters;
    clusters.reserve(members.size() * 2);
    for (const std::size_t m : members) {
        Cluster c;
        c.sum.assign(identity[m].begin(), identity[m].end());
        c.tracks = {m};
        clusters.push_back(std::move(c));
    }
    const auto linkage = [&](const Cluster& a, const Cluster& b) {
        double dot = 0;
        const std::size_t n = std::min(a.sum.size(), b.sum.size());
        for (std::size_t i = 0; i < n; ++i)
            dot += a.sum[i] * b.sum[i];
        return dot / (static_cast<double>(a.tracks.size()) * static_cast<double>(b.tracks.size()));
    };
    std::vector<std::size_t> chain;
    std::size_t nextStart = 0;
    for (;;) {
        if (chain.empty()) {
            while (nextStart < clusters.size() &&
                   (!clusters[nextStart].active || clusters[nextStart].settled))
                ++nextStart;
            if (nextStart == clusters.size()) break;
            chain.push_back(nextStart);
        }
        const std::size_t top = chain.back();
        const std::size_t previous = chain.size() >= 2 ? chain[chain.size() - 2] : clusters.size();
        std::size_t best = clusters.size();
        double bestLink = 0;
        for (std::size_t k = 0; k < clusters.size(); ++k) {
            if (k == top || !clusters[k].active || clusters[k].settled) continue;
            const double l = linkage(clusters[top], clusters[k]);
            const bool better =
                best == clusters.size() || l > bestLink ||
                (l == bestLink && best != previous &&
                 (k == previous || clusters[k].tracks.front() < clusters[best].tracks.front()));
            if (better) {
                best = k;
                bestLink = l;
            }
        }
        if (best == clusters.size() || bestLink < static_cast<double>(threshold)) {
            // Merges only lower a cluster's best linkage, so this one is final.
            clusters[top].settled = true;
            chain.clear();
            continue;
        }
        if (best != previous) {
            chain.push_back(best);
            continue;
        }
        chain.pop_back();
        chain.pop_back();
        Cluster& a = clusters[top];
        Cluster& b = clusters[best];
        Cluster merged;
        const bool aFirst = a.tracks.front() < b.tracks.front();
        const Cluster& first = aFirst ? a : b;
        const Cluster& second = aFirst ? b : a;
        merged.tracks = first.tracks;
        merged.tracks.insert(merged.tracks.end(), second.tracks.begin(), second.tracks.end());
        merged.sum = first.sum;
        for (std::size_t i = 0; i < merged.sum.size() && i < second.sum.size(); ++i)
            merged.sum[i] += second.sum[i];
        a.active = b.active = false;
        std::vector<double>().swap(a.sum);
        std::vector<double>().swap(b.sum);
        clusters.push_back(std::move(merged));
        nextStart = std::min(nextStart, clusters.size() - 1);
    }
    std::vector<std::vector<std::size_t>> result;
    for (auto& c : clusters)
        if (c.active) result.push_back(std::move(c.tracks));
    std::sort(result.begin(), result.end(),
              [](const auto& a, const auto& b) { return a.front() < b.front(); });
    return result;
}

} // namespace

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
                bool stillImages, std::size_t literalUpTo) {
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

    std::vector<std::vector<std::size_t>> clusters;
    if (unknown.size() <= literalUpTo) {
        std::vector<std::size_t> all(unknown.size());
        for (std::size_t i = 0; i < all.size(); ++i)
            all[i] = i;
        clusters = linkLiterally(identity, all, s.unknownClusterSim);
    } else {
        // Tracks of different groups never merge, and the merges within a group do not depend
        // on the other groups, so each group is linked on its own; the clusters then stand in
        // the order of their first track, as they would in one list.
        for (const auto& group : mergeableGroups(identity, s.unknownClusterSim)) {
            auto linked = group.size() <= literalUpTo
                              ? linkLiterally(identity, group, s.unknownClusterSim)
                              : linkByChain(identity, group, s.unknownClusterSim);
            for (auto& cluster : linked)
                clusters.push_back(std::move(cluster));
        }
        std::sort(clusters.begin(), clusters.end(),
                  [](const auto& a, const auto& b) { return a.front() < b.front(); });
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
