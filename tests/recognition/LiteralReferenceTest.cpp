// The faster forms of the tracker's matching and of the grouping of unknown tracks against the
// plain algorithms they replace, kept here as they stood: same results on random inputs, with
// duplicates and exact ties.

#include "recognition/Aggregation.h"
#include "recognition/Gallery.h"
#include "recognition/Tracker.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <vector>

namespace tallymere {
namespace {

// ---- The plain grouping: one matrix, the closest pair merged step by step.

std::vector<std::vector<int>> literalClusters(const std::vector<std::shared_ptr<Track>>& unknown,
                                              float threshold) {
    const std::size_t count = unknown.size();
    std::vector<std::vector<float>> identity;
    for (const auto& track : unknown)
        identity.push_back(normalized(track->idEmbSum));
    std::vector<std::vector<std::size_t>> clusters(count);
    for (std::size_t i = 0; i < count; ++i)
        clusters[i] = {i};
    const auto linkage = [&](const std::vector<std::size_t>& a, const std::vector<std::size_t>& b) {
        float sum = 0;
        for (const std::size_t x : a)
            for (const std::size_t y : b)
                sum += x <= y ? dotCommon(identity[x], identity[y])
                              : dotCommon(identity[y], identity[x]);
        return sum / static_cast<float>(a.size() * b.size());
    };
    while (clusters.size() >= 2) {
        float best = -2.0f;
        std::size_t bestA = 0, bestB = 0;
        bool found = false;
        for (std::size_t i = 0; i < clusters.size(); ++i)
            for (std::size_t j = i + 1; j < clusters.size(); ++j)
                if (const float l = linkage(clusters[i], clusters[j]); l > best) {
                    best = l;
                    bestA = i;
                    bestB = j;
                    found = true;
                }
        if (!found || best < threshold) break;
        clusters[bestA].insert(clusters[bestA].end(), clusters[bestB].begin(),
                               clusters[bestB].end());
        clusters.erase(clusters.begin() + static_cast<std::ptrdiff_t>(bestB));
    }
    std::stable_sort(clusters.begin(), clusters.end(),
                     [](const auto& a, const auto& b) { return a.size() > b.size(); });
    std::vector<std::vector<int>> ids;
    for (const auto& cluster : clusters) {
        ids.emplace_back();
        for (const std::size_t i : cluster)
            ids.back().push_back(unknown[i]->id);
    }
    return ids;
}

std::vector<float> randomUnit(std::mt19937& rng) {
    std::normal_distribution<float> normal(0, 1);
    std::vector<float> v(512);
    for (float& x : v)
        x = normal(rng);
    return normalized(std::move(v));
}

// Unknown tracks: visitors seen several times (their faces scattered around them), strangers
// seen once, exact duplicates of the previous track, and faces shared by several tracks so that
// linkages tie exactly.
std::vector<std::shared_ptr<Track>> unknownTracks(int count, unsigned seed, float spread) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> uniform(0, 1);
    std::vector<std::vector<float>> visitors, shared;
    std::vector<std::shared_ptr<Track>> tracks;
    std::vector<float> previous;
    for (int id = 0; id < count; ++id) {
        std::vector<float> e;
        const float kind = uniform(rng);
        if (!previous.empty() && kind < 0.05f) {
            e = previous;
        } else if (kind < 0.1f) {
            if (shared.empty() || uniform(rng) < 0.3f) shared.push_back(randomUnit(rng));
            e = shared[rng() % shared.size()];
        } else if (kind < 0.3f || visitors.empty() || uniform(rng) < 0.3f) {
            e = randomUnit(rng);
            if (kind >= 0.3f) visitors.push_back(e);
        } else {
            const auto& base = visitors[rng() % visitors.size()];
            const auto noise = randomUnit(rng);
            e.resize(512);
            for (std::size_t i = 0; i < 512; ++i)
                e[i] = base[i] + spread * noise[i];
        }
        previous = e;
        auto track = std::make_shared<Track>(id, id, Box{0, 0, 60, 60});
        Face f;
        f.box = {0, 0, 60, 60};
        f.score = 0.5f + uniform(rng) / 2;
        f.embedding = e;
        track->add(f, id, id, true);
        tracks.push_back(track);
    }
    return tracks;
}

std::vector<TrackDecision> unknownDecisions(const std::vector<std::shared_ptr<Track>>& tracks) {
    std::vector<TrackDecision> decisions;
    for (const auto& t : tracks) {
        TrackDecision& d = decisions.emplace_back();
        d.trackID = t->id;
        d.sightings = d.idSightings = 5;
    }
    return decisions;
}

std::vector<std::vector<int>>
ids(const std::vector<std::vector<std::shared_ptr<Track>>>& clusters) {
    std::vector<std::vector<int>> out;
    for (const auto& c : clusters) {
        out.emplace_back();
        for (const auto& t : c)
            out.back().push_back(t->id);
    }
    return out;
}

std::vector<std::vector<int>> sortedWithin(std::vector<std::vector<int>> clusters) {
    for (auto& c : clusters)
        std::sort(c.begin(), c.end());
    return clusters;
}

TEST(ClusterUnknownsReference, GroupsAndChainsGiveTheLiteralClusters) {
    ProcessSettings s;
    // Small limits send the same inputs through every path: one matrix, separate groups each in
    // a matrix, and groups too large for one linked by chains.
    for (const unsigned seed : {1u, 2u, 3u, 4u}) {
        for (const float spread : {0.5f, 0.8f, 1.1f}) {
            const auto tracks = unknownTracks(160, seed, spread);
            const auto decisions = unknownDecisions(tracks);
            const auto expected = literalClusters(tracks, s.unknownClusterSim);
            for (const std::size_t limit : {std::size_t(1000), std::size_t(40)})
                EXPECT_EQ(ids(clusterUnknowns(tracks, decisions, s, false, limit)), expected)
                    << "seed " << seed << ", spread " << spread << ", limit " << limit;
            // Chains: the same clusters in the same order; within a cluster, tracks whose
            // linkages tie within rounding may be listed in another order.
            for (const std::size_t limit : {std::size_t(3), std::size_t(1)})
                EXPECT_EQ(sortedWithin(ids(clusterUnknowns(tracks, decisions, s, false, limit))),
                          sortedWithin(expected))
                    << "seed " << seed << ", spread " << spread << ", limit " << limit;
        }
    }
}

TEST(ClusterUnknownsReference, OneCrowdOfIdenticalFacesAndExactTies) {
    ProcessSettings s;
    // Everyone alike: one group, merged in the literal order; then pairs of identical faces at
    // equal distances, where only the rule for ties decides.
    std::vector<std::shared_ptr<Track>> same, pairs;
    std::mt19937 rng(9);
    const auto face = randomUnit(rng);
    std::vector<std::vector<float>> people;
    for (int k = 0; k < 12; ++k)
        people.push_back(randomUnit(rng));
    for (int id = 0; id < 60; ++id) {
        Face f;
        f.box = {0, 0, 60, 60};
        f.score = 0.8f;
        f.embedding = face;
        auto a = std::make_shared<Track>(id, id, f.box);
        a->add(f, id, id, true);
        same.push_back(a);
        f.embedding = people[static_cast<std::size_t>(id % 12)];
        auto b = std::make_shared<Track>(id, id, f.box);
        b->add(f, id, id, true);
        pairs.push_back(b);
    }
    for (const auto* tracks : {&same, &pairs}) {
        const auto expected = literalClusters(*tracks, s.unknownClusterSim);
        for (const std::size_t limit : {std::size_t(1000), std::size_t(4), std::size_t(1)})
            EXPECT_EQ(ids(clusterUnknowns(*tracks, unknownDecisions(*tracks), s, false, limit)),
                      expected)
                << limit;
    }
}

// ---- The plain tracker: every track ever made is a candidate, renormalised for every frame.

struct LiteralTracker {
    double maxGap;
    float minSim;
    std::vector<std::shared_ptr<Track>> tracks;

    std::vector<int> update(const std::vector<Face>& faces, double t, int frame, float minPx) {
        std::vector<Track*> candidates;
        for (const auto& track : tracks)
            if (t - track->lastT <= maxGap) candidates.push_back(track.get());
        std::vector<int> slots(faces.size(), -1);
        const auto useForID = [&](const Face& f) { return f.box.x2 - f.box.x1 >= minPx; };
        if (!candidates.empty() && !faces.empty()) {
            std::vector<std::vector<float>> cells(candidates.size(),
                                                  std::vector<float>(faces.size(), -1e9f));
            for (std::size_t r = 0; r < candidates.size(); ++r) {
                const Track& track = *candidates[r];
                const std::vector<float> appearance = normalized(track.embSum);
                const Box& b = track.lastBox;
                const float boxWidth = b.x2 - b.x1;
                const float scale = boxWidth > 1 ? boxWidth : 1;
                const float cx = (b.x1 + b.x2) / 2, cy = (b.y1 + b.y2) / 2;
                const float trackArea = (b.x2 - b.x1) * (b.y2 - b.y1);
                for (std::size_t c = 0; c < faces.size(); ++c) {
                    const Box& fb = faces[c].box;
                    const float dx = (fb.x1 + fb.x2) / 2 - cx, dy = (fb.y1 + fb.y2) / 2 - cy;
                    const float d = std::sqrt(dx * dx + dy * dy) / scale;
                    const float iw = std::max(std::min(fb.x2, b.x2) - std::max(fb.x1, b.x1), 0.0f);
                    const float ih = std::max(std::min(fb.y2, b.y2) - std::max(fb.y1, b.y1), 0.0f);
                    const float inter = iw * ih;
                    const float unionArea = (fb.x2 - fb.x1) * (fb.y2 - fb.y1) + trackArea - inter;
                    const float o = unionArea > 0 ? inter / unionArea : 0.0f;
                    const float s = faces[c].embedding.empty()
                                        ? 0.0f
                                        : dotCommon(appearance, faces[c].embedding);
                    if ((o >= 0.3f && s > 0.1f) || (s >= minSim && d < 4.0f))
                        cells[r][c] = (0.5f * o + s) + (-0.02f * d);
                }
            }
            for (const auto& [r, c] : hungarianMax(cells, -1e8f)) {
                Track& track = *candidates[static_cast<std::size_t>(r)];
                const Face& f = faces[static_cast<std::size_t>(c)];
                track.add(f, t, frame, useForID(f));
                slots[static_cast<std::size_t>(c)] = track.id;
            }
        }
        for (std::size_t c = 0; c < faces.size(); ++c) {
            if (slots[c] != -1) continue;
            auto track = std::make_shared<Track>(static_cast<int>(tracks.size()), t, faces[c].box);
            track->add(faces[c], t, frame, useForID(faces[c]));
            slots[c] = track->id;
            tracks.push_back(std::move(track));
        }
        return slots;
    }
};

TEST(TrackerReference, SameTracksAsMatchingEveryTrackEveryFrame) {
    for (const bool stills : {false, true}) {
        std::mt19937 rng(stills ? 5 : 6);
        std::uniform_real_distribution<float> uniform(0, 1);
        std::vector<std::vector<float>> people;
        std::vector<Box> seats;
        for (int k = 0; k < 40; ++k) {
            people.push_back(randomUnit(rng));
            const float x = uniform(rng) * 1800, y = uniform(rng) * 1000,
                        w = 20 + uniform(rng) * 60;
            seats.push_back({x, y, x + w, y + w});
        }
        const double maxGap = stills ? INFINITY : 6.0;
        Tracker tracker(maxGap, 0.35f);
        LiteralTracker literal{maxGap, 0.35f, {}};
        for (int frame = 0; frame < 150; ++frame) {
            std::vector<Face> faces;
            for (std::size_t k = 0; k < people.size(); ++k) {
                if (uniform(rng) < 0.6f) continue;
                Face f;
                const float jump = stills ? uniform(rng) * 300 : uniform(rng) * 6;
                f.box = {seats[k].x1 + jump, seats[k].y1, seats[k].x2 + jump, seats[k].y2};
                f.score = uniform(rng);
                f.blur = 100;
                f.frontal = uniform(rng);
                if (uniform(rng) < 0.9f) {
                    const auto noise = randomUnit(rng);
                    f.embedding.resize(512);
                    for (std::size_t i = 0; i < 512; ++i)
                        f.embedding[i] = people[k][i] + 0.8f * noise[i];
                }
                faces.push_back(std::move(f));
            }
            const double t = stills ? frame : frame * 0.25 + (frame / 50) * 10.0; // long pauses
            ASSERT_EQ(tracker.update(faces, t, frame, 24), literal.update(faces, t, frame, 24))
                << frame;
        }
        ASSERT_EQ(tracker.tracks().size(), literal.tracks.size());
        for (std::size_t i = 0; i < literal.tracks.size(); ++i) {
            const Track& a = *tracker.tracks()[i];
            const Track& b = *literal.tracks[i];
            EXPECT_EQ(a.sightings, b.sightings);
            EXPECT_EQ(a.frames, b.frames);
            EXPECT_EQ(a.idEmbSum, b.idEmbSum);
            EXPECT_EQ(a.lastT, b.lastT);
            ASSERT_EQ(a.top.size(), b.top.size());
            for (std::size_t k = 0; k < a.top.size(); ++k)
                EXPECT_EQ(a.top[k].embedding, b.top[k].embedding);
        }
        EXPECT_GT(literal.tracks.size(), 60u); // tracks did end and start again
    }
}

} // namespace
} // namespace tallymere
