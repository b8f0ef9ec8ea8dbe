// Recognition speed: gallery scoring, track decisions, tracker update and visitor clustering, each
// beside a plain scalar reference measured in the same run. Prints figures; asserts nothing about
// time, but checks that each fast path gives the reference's answer.

#include "recognition/Aggregation.h"
#include "recognition/Gallery.h"
#include "recognition/RowDots.h"
#include "recognition/TrackDecision.h"
#include "recognition/Tracker.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace tallymere;

namespace {

constexpr std::size_t dims = 512;

// Median wall time in milliseconds of `reps` runs of `work`.
double medianMs(int reps, const std::function<void()>& work) {
    std::vector<double> times;
    for (int r = 0; r < reps; ++r) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const auto end = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void report(const char* what, double fast, double reference) {
    std::printf("%-58s %10.3f ms   reference %10.3f ms   x%.1f\n", what, fast, reference,
                reference / fast);
}

std::vector<float> randomUnit(std::mt19937& rng) {
    std::normal_distribution<float> n(0.0f, 1.0f);
    std::vector<float> v(dims);
    for (float& x : v)
        x = n(rng);
    return normalized(std::move(v));
}

// `base` plus noise of the given size, normalised: another photo of the same person.
std::vector<float> near(const std::vector<float>& base, float noise, std::mt19937& rng) {
    std::normal_distribution<float> n(0.0f, noise);
    std::vector<float> v = base;
    for (float& x : v)
        x += n(rng);
    return normalized(std::move(v));
}

// ---- Plain references: the algorithms written out directly, one row and one value at a time.

std::vector<MemberScore> referenceScores(const Gallery& g, const std::vector<float>& q, int topK) {
    std::map<std::string, std::vector<float>> lists;
    for (const GalleryRow& row : g.rows) {
        const std::size_t n = std::min(q.size(), row.embedding.size());
        float sum = 0;
        for (std::size_t i = 0; i < n; ++i)
            sum += q[i] * row.embedding[i];
        lists[row.member].push_back(sum);
    }
    std::vector<MemberScore> out;
    for (const std::string& id : g.memberIDs) {
        auto found = lists.find(id);
        if (found == lists.end() || found->second.empty()) continue;
        std::vector<float> list = found->second;
        std::stable_sort(list.begin(), list.end(), std::greater<float>());
        const std::size_t k = std::min<std::size_t>(std::size_t(topK), list.size());
        float sum = 0;
        for (std::size_t i = 0; i < k; ++i)
            sum += list[i];
        out.push_back({id, sum / float(k)});
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const MemberScore& a, const MemberScore& b) { return a.score > b.score; });
    return out;
}

// The best score and the vote of a track, ranked with the reference scoring.
std::pair<float, float> referenceScoreAndVote(const Track& t, const Gallery& g,
                                              const ProcessSettings& s) {
    if (t.idSightings < 1 || g.rows.empty()) return {0.0f, 0.0f};
    const auto ranking = referenceScores(g, normalized(t.idEmbSum), s.topK);
    if (ranking.empty()) return {0.0f, 0.0f};
    int agree = 0;
    for (const auto& sighting : t.top) {
        const auto own = referenceScores(g, sighting.embedding, s.topK);
        if (!own.empty() && own[0].member == ranking[0].member) ++agree;
    }
    return {ranking[0].score, t.top.empty() ? 0.0f : float(agree) / float(t.top.size())};
}

// Average linkage recomputed from the embeddings at every step, as first written down.
std::vector<std::vector<int>> referenceCluster(const std::vector<std::shared_ptr<Track>>& unknown,
                                               float threshold) {
    std::vector<std::vector<float>> e;
    for (const auto& t : unknown)
        e.push_back(normalized(t->idEmbSum));
    std::vector<std::vector<int>> clusters;
    for (std::size_t i = 0; i < unknown.size(); ++i)
        clusters.push_back({int(i)});
    while (clusters.size() >= 2) {
        float best = -2;
        std::size_t a = 0, b = 0;
        for (std::size_t i = 0; i < clusters.size(); ++i)
            for (std::size_t j = i + 1; j < clusters.size(); ++j) {
                float sum = 0;
                for (int x : clusters[i])
                    for (int y : clusters[j]) {
                        float d = 0;
                        for (std::size_t k = 0; k < dims; ++k)
                            d += e[x][k] * e[y][k];
                        sum += d;
                    }
                const float link = sum / float(clusters[i].size() * clusters[j].size());
                if (link > best) {
                    best = link;
                    a = i;
                    b = j;
                }
            }
        if (best < threshold) break;
        clusters[a].insert(clusters[a].end(), clusters[b].begin(), clusters[b].end());
        clusters.erase(clusters.begin() + std::ptrdiff_t(b));
    }
    std::stable_sort(clusters.begin(), clusters.end(),
                     [](const auto& x, const auto& y) { return x.size() > y.size(); });
    return clusters;
}

// The tracker's update with the appearance vector normalised for every cell, and a plain
// cell loop; same answers, the straightforward cost.
std::vector<std::vector<float>> referenceCells(const std::vector<std::shared_ptr<Track>>& tracks,
                                               const std::vector<Face>& faces, double t,
                                               double maxGap, float minSim) {
    std::vector<std::vector<float>> cells;
    for (const auto& track : tracks) {
        if (t - track->lastT > maxGap) continue;
        std::vector<float> row;
        for (const Face& f : faces) {
            const std::vector<float> a = normalized(track->embSum);
            const Box& tb = track->lastBox;
            const float w = std::max(tb.x2 - tb.x1, 1.0f);
            const float dx = (f.box.x1 + f.box.x2) / 2 - (tb.x1 + tb.x2) / 2;
            const float dy = (f.box.y1 + f.box.y2) / 2 - (tb.y1 + tb.y2) / 2;
            const float d = std::sqrt(dx * dx + dy * dy) / w;
            const float iw = std::max(std::min(f.box.x2, tb.x2) - std::max(f.box.x1, tb.x1), 0.f);
            const float ih = std::max(std::min(f.box.y2, tb.y2) - std::max(f.box.y1, tb.y1), 0.f);
            const float inter = iw * ih;
            const float uni = (f.box.x2 - f.box.x1) * (f.box.y2 - f.box.y1) +
                              (tb.x2 - tb.x1) * (tb.y2 - tb.y1) - inter;
            const float o = uni > 0 ? inter / uni : 0;
            float s = 0;
            for (std::size_t i = 0; i < std::min(a.size(), f.embedding.size()); ++i)
                s += a[i] * f.embedding[i];
            const bool ok = (o >= 0.3f && s > 0.1f) || (s >= minSim && d < 4);
            row.push_back(ok ? (0.5f * o + s) + (-0.02f * d) : -1e9f);
        }
        cells.push_back(row);
    }
    return cells;
}

Face makeFace(float x, float y, std::vector<float> embedding, float score) {
    Face f;
    f.box = {x, y, x + 60, y + 60};
    f.score = score;
    f.blur = 120;
    f.frontal = 0.9f;
    f.embedding = std::move(embedding);
    return f;
}

} // namespace

int main() {
    std::mt19937 rng(42);
    bool allAgree = true;

    // 2,000 members with 5 good photos each.
    std::vector<std::vector<float>> people;
    Gallery gallery;
    for (int m = 0; m < 2000; ++m) {
        char id[16];
        std::snprintf(id, sizeof id, "M%04d", m + 1);
        gallery.memberIDs.push_back(id);
        people.push_back(randomUnit(rng));
        for (int p = 0; p < 5; ++p)
            gallery.rows.push_back({id, near(people.back(), 0.03f, rng)});
    }
    std::printf("gallery: %zu members, %zu rows of %zu values; row kernel in use: %s\n\n",
                gallery.memberIDs.size(), gallery.rows.size(), dims,
                rowdots::best() == rowdots::Kernel::avx2   ? "avx2"
                : rowdots::best() == rowdots::Kernel::sse2 ? "sse2"
                                                           : "scalar");

    // ---- scores
    const std::vector<float> query = near(people[1234], 0.05f, rng);
    std::vector<MemberScore> fast, slow;
    const double tFast = medianMs(41, [&] { fast = gallery.scores(query, 2); });
    const double tSlow = medianMs(11, [&] { slow = referenceScores(gallery, query, 2); });
    allAgree &= fast == slow;
    report("scores, 10,000 rows (topK 2)", tFast, tSlow);

    std::vector<float> out(gallery.rows.size());
    const double tScalar = medianMs(
        21, [&] { rowdots::compute(query, gallery.rows, out.data(), rowdots::Kernel::scalar); });
    for (const auto kernel : {rowdots::Kernel::sse2, rowdots::Kernel::avx2}) {
        if (!rowdots::available(kernel)) continue;
        const double t =
            medianMs(41, [&] { rowdots::compute(query, gallery.rows, out.data(), kernel); });
        report(kernel == rowdots::Kernel::avx2 ? "  row dot products only, avx2 kernel"
                                               : "  row dot products only, sse2 kernel",
               t, tScalar);
    }

    // ---- decide: 500 tracks with 12 retained sightings each (13 rankings per track).
    ProcessSettings settings;
    std::vector<std::shared_ptr<Track>> tracks;
    for (int i = 0; i < 500; ++i) {
        auto track = std::make_shared<Track>(i, i, Box{0, 0, 100, 100});
        const auto& person = people[std::size_t(i * 3) % people.size()];
        for (int k = 0; k < 14; ++k)
            track->add(makeFace(0, 0, near(person, 0.08f, rng), 0.5f + 0.03f * float(k % 7)), k, k,
                       true);
        tracks.push_back(track);
    }
    std::vector<TrackDecision> decisions;
    const double tDecide = medianMs(1, [&] { decisions = decide(tracks, gallery, settings); });
    const int referenceTracks = 50;
    const double tDecideRef = medianMs(1, [&] {
        for (int i = 0; i < referenceTracks; ++i)
            (void)referenceScoreAndVote(*tracks[std::size_t(i)], gallery, settings);
    });
    for (int i = 0; i < referenceTracks; ++i) {
        const auto [score, vote] =
            referenceScoreAndVote(*tracks[std::size_t(i)], gallery, settings);
        allAgree &=
            decisions[std::size_t(i)].score == score && decisions[std::size_t(i)].vote == vote;
    }
    report("decide, 500 tracks x 13 rankings", tDecide, tDecideRef * 500.0 / referenceTracks);
    std::printf("%-58s (reference timed on %d tracks and scaled to 500)\n", "", referenceTracks);

    // ---- update: a frame of 40 faces against 60 live tracks.
    std::vector<Face> first, frame;
    for (int i = 0; i < 60; ++i)
        first.push_back(makeFace(float(i % 10) * 150, float(i / 10) * 150,
                                 near(people[std::size_t(i)], 0.05f, rng), 0.8f));
    for (int i = 0; i < 40; ++i)
        frame.push_back(makeFace(float(i % 10) * 150 + 5, float(i / 10) * 150 + 3,
                                 near(people[std::size_t(i)], 0.05f, rng), 0.8f));
    std::vector<std::unique_ptr<Tracker>> trackers;
    for (int r = 0; r < 101; ++r) {
        trackers.push_back(std::make_unique<Tracker>(6.0, 0.35f));
        trackers.back()->update(first, 0, 0, 24);
    }
    std::size_t next = 0;
    std::vector<int> slots;
    const double tUpdate =
        medianMs(101, [&] { slots = trackers[next++]->update(frame, 1, 1, 24); });
    Tracker fresh(6.0, 0.35f);
    fresh.update(first, 0, 0, 24);
    const double tUpdateRef = medianMs(101, [&] {
        const auto cells = referenceCells(fresh.tracks(), frame, 1, 6.0, 0.35f);
        (void)hungarianMax(cells, -1e8f);
    });
    {
        const auto pairs =
            hungarianMax(referenceCells(fresh.tracks(), frame, 1, 6.0, 0.35f), -1e8f);
        std::vector<int> expected(frame.size(), -1);
        for (const auto& [r, c] : pairs)
            expected[std::size_t(c)] = r; // all 60 are candidates
        for (std::size_t c = 0; c < frame.size(); ++c)
            allAgree &= expected[c] == -1 ? slots[c] >= 60 : slots[c] == expected[c];
    }
    report("update, 40 faces x 60 live tracks", tUpdate, tUpdateRef);

    // ---- clusterUnknowns: 300 unknown tracks of 100 visitors.
    std::vector<std::shared_ptr<Track>> unknown;
    std::vector<TrackDecision> unknownDecisions;
    for (int i = 0; i < 300; ++i) {
        auto track = std::make_shared<Track>(i, i, Box{0, 0, 100, 100});
        const auto visitor = normalized(people[std::size_t(1000 + i % 100)]);
        for (int k = 0; k < 4; ++k)
            track->add(makeFace(0, 0, near(visitor, 0.04f, rng), 0.7f), k, k, true);
        unknown.push_back(track);
        TrackDecision d;
        d.trackID = i;
        d.idSightings = track->idSightings;
        d.sightings = track->sightings;
        unknownDecisions.push_back(d);
    }
    std::vector<std::vector<std::shared_ptr<Track>>> clusters;
    const double tCluster = medianMs(
        5, [&] { clusters = clusterUnknowns(unknown, unknownDecisions, settings, false); });
    std::vector<std::vector<int>> referenceClusters;
    const double tClusterRef = medianMs(
        1, [&] { referenceClusters = referenceCluster(unknown, settings.unknownClusterSim); });
    std::vector<std::vector<int>> got;
    for (const auto& c : clusters) {
        got.emplace_back();
        for (const auto& t : c)
            got.back().push_back(t->id);
    }
    allAgree &= got == referenceClusters;
    report("clusterUnknowns, 300 unknown tracks", tCluster, tClusterRef);
    std::printf("%-58s (%zu clusters)\n", "", clusters.size());

    std::printf("\nresults equal to the references: %s\n", allAgree ? "yes" : "NO");
    return allAgree ? 0 : 1;
}
