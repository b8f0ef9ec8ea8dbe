#include "recognition/Aggregation.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace tallymere {
namespace {

std::shared_ptr<Track> track(int id, std::set<int> frames = {}) {
    auto t = std::make_shared<Track>(id, 0.0, Box{0, 0, 100, 100});
    t->frames = std::move(frames);
    return t;
}

TrackDecision accepted(int trackID, const std::string& member, float score, double firstT,
                       double lastT, int sightings) {
    TrackDecision d;
    d.trackID = trackID;
    d.memberID = member;
    d.score = score;
    d.firstT = firstT;
    d.lastT = lastT;
    d.sightings = sightings;
    d.idSightings = sightings;
    d.reason = "match";
    return d;
}

TEST(Aggregate, MemberWithoutAcceptedTrackIsAbsent) {
    const auto tracks = std::vector{track(0)};
    TrackDecision rejected = accepted(0, "M0001", 0.3f, 1, 2, 5);
    rejected.memberID.reset();
    const Aggregation out = aggregate({"M0001"}, tracks, {rejected});
    ASSERT_EQ(out.members.size(), 1u);
    const MemberResult& r = out.members[0];
    EXPECT_EQ(r.memberID, "M0001");
    EXPECT_FALSE(r.present);
    EXPECT_EQ(r.confidence, 0.0f);
    EXPECT_FALSE(r.firstSeen.has_value());
    EXPECT_FALSE(r.lastSeen.has_value());
    EXPECT_EQ(r.sightings, 0);
    EXPECT_FALSE(r.needsReview);
    EXPECT_EQ(r.reviewReason, "");
    EXPECT_FALSE(r.evidenceFile.has_value());
    EXPECT_TRUE(out.bestTracks.empty());
}

TEST(Aggregate, SeveralTracksOfOneMemberMerge) {
    const auto tracks = std::vector{track(0, {1, 2}), track(1, {30, 31}), track(2, {5})};
    const Aggregation out =
        aggregate({"M0002", "M0001"}, tracks,
                  {accepted(0, "M0001", 0.62f, 10, 40, 7), accepted(1, "M0001", 0.58f, 300, 320, 4),
                   accepted(2, "M0002", 0.9f, 5, 6, 2)});
    ASSERT_EQ(out.members.size(), 2u);
    EXPECT_EQ(out.members[0].memberID, "M0002"); // the order of memberIDs
    const MemberResult& r = out.members[1];
    EXPECT_TRUE(r.present);
    EXPECT_EQ(r.confidence, 0.62f);
    EXPECT_EQ(r.firstSeen, 10.0);
    EXPECT_EQ(r.lastSeen, 320.0);
    EXPECT_EQ(r.sightings, 11);
    EXPECT_FALSE(r.needsReview);
    EXPECT_EQ(out.bestTracks.at("M0001"), tracks[0]);
    EXPECT_EQ(out.bestTracks.at("M0002"), tracks[2]);
}

TEST(Aggregate, BestTrackIsTheHighestScoreEarliestOnTies) {
    const auto tracks = std::vector{track(0), track(1), track(2)};
    const Aggregation out =
        aggregate({"M0001"}, tracks,
                  {accepted(2, "M0001", 0.5f, 100, 110, 1), accepted(0, "M0001", 0.7f, 50, 60, 1),
                   accepted(1, "M0001", 0.7f, 5, 8, 1)});
    EXPECT_EQ(out.bestTracks.at("M0001"), tracks[0]);
    EXPECT_EQ(out.members[0].firstSeen, 5.0);
    EXPECT_EQ(out.members[0].lastSeen, 110.0);
}

TEST(Aggregate, DecisionsForUnknownMembersOrTracksAreIgnored) {
    const auto tracks = std::vector{track(0)};
    const Aggregation out =
        aggregate({"M0001"}, tracks,
                  {accepted(0, "M0009", 0.9f, 1, 2, 3), accepted(7, "M0001", 0.9f, 1, 2, 3)});
    EXPECT_FALSE(out.members[0].present);
    EXPECT_TRUE(out.bestTracks.empty());
    EXPECT_TRUE(aggregate({}, tracks, {accepted(0, "M0001", 0.9f, 1, 2, 3)}).members.empty());
}

TEST(Aggregate, TwoTracksInOneFrameAreALookalikeWhateverTheConfidence) {
    const auto tracks = std::vector{track(0, {3, 17, 20}), track(1, {17, 40}), track(2, {50})};
    for (const float score : {0.9f, 0.42f}) {
        const Aggregation out =
            aggregate({"M0001"}, tracks,
                      {accepted(0, "M0001", score, 1, 2, 3), accepted(1, "M0001", score, 1, 2, 3)});
        EXPECT_TRUE(out.members[0].needsReview);
        EXPECT_EQ(out.members[0].reviewReason,
                  "matched to two different faces in the same frame (lookalike?)");
    }
    // Any pair sharing a frame is enough, not just the first two.
    auto shared = std::vector{track(0, {1}), track(1, {2}), track(2, {3, 1})};
    const Aggregation out =
        aggregate({"M0001"}, shared,
                  {accepted(0, "M0001", 0.9f, 1, 2, 3), accepted(1, "M0001", 0.9f, 1, 2, 3),
                   accepted(2, "M0001", 0.9f, 1, 2, 3)});
    EXPECT_TRUE(out.members[0].needsReview);

    const Aggregation apart =
        aggregate({"M0001"}, tracks,
                  {accepted(0, "M0001", 0.9f, 1, 2, 3), accepted(2, "M0001", 0.9f, 1, 2, 3)});
    EXPECT_FALSE(apart.members[0].needsReview);
}

TEST(Aggregate, LowConfidenceBelowFortyFiveHundredths) {
    const auto tracks = std::vector{track(0), track(1)};
    const Aggregation exact = aggregate({"M0001"}, tracks, {accepted(0, "M0001", 0.45f, 1, 2, 3)});
    EXPECT_FALSE(exact.members[0].needsReview);
    EXPECT_EQ(exact.members[0].reviewReason, "");

    const Aggregation low =
        aggregate({"M0001"}, tracks, {accepted(0, "M0001", std::nextafter(0.45f, 0.0f), 1, 2, 3)});
    EXPECT_TRUE(low.members[0].needsReview);
    EXPECT_EQ(low.members[0].reviewReason, "low-confidence match");

    // The best accepted score counts, not the first.
    const Aggregation raised =
        aggregate({"M0001"}, tracks,
                  {accepted(0, "M0001", 0.41f, 1, 2, 3), accepted(1, "M0001", 0.6f, 5, 6, 3)});
    EXPECT_FALSE(raised.members[0].needsReview);
}

// ---- Visitors

// An unrecognised track whose identity vector is `direction` (normalised).
std::shared_ptr<Track> unknownTrack(int id, std::vector<float> direction, int idSightings = 5) {
    auto t = std::make_shared<Track>(id, double(id), Box{0, 0, 100, 100});
    direction.resize(512, 0.0f);
    t->idEmbSum = direction;
    t->idSightings = idSightings;
    t->sightings = idSightings;
    return t;
}

std::vector<TrackDecision> unknownDecisions(const std::vector<std::shared_ptr<Track>>& tracks) {
    std::vector<TrackDecision> decisions;
    for (const auto& t : tracks) {
        TrackDecision d;
        d.trackID = t->id;
        d.idSightings = t->idSightings;
        d.sightings = t->sightings;
        d.reason = "best match M0001 0.20 below threshold 0.40";
        decisions.push_back(d);
    }
    return decisions;
}

std::vector<std::vector<int>>
ids(const std::vector<std::vector<std::shared_ptr<Track>>>& clusters) {
    std::vector<std::vector<int>> out;
    for (const auto& cluster : clusters) {
        out.emplace_back();
        for (const auto& t : cluster)
            out.back().push_back(t->id);
    }
    return out;
}

using Ids = std::vector<std::vector<int>>;

TEST(ClusterUnknowns, NoneOrOneTrack) {
    const ProcessSettings s;
    EXPECT_TRUE(clusterUnknowns({}, {}, s, false).empty());
    const auto one = std::vector{unknownTrack(0, {1, 0})};
    EXPECT_EQ(ids(clusterUnknowns(one, unknownDecisions(one), s, false)), (Ids{{0}}));
}

TEST(ClusterUnknowns, MergesWhileTheAverageLinkageReachesTheThreshold) {
    // Tracks 1 and 2 are 0.9 alike; each is 0.3 alike to track 0.
    const float c = std::sqrt(0.95f), sn = std::sqrt(0.05f); // cos 2t = 0.9
    const float x = 0.3f / c, z = std::sqrt(1 - x * x);
    const auto tracks = std::vector{unknownTrack(0, {x, 0, z}), unknownTrack(1, {c, sn, 0}),
                                    unknownTrack(2, {c, -sn, 0})};
    const ProcessSettings s;
    // The pair merges; its linkage with track 0 is 0.3: the pair comes first (larger).
    EXPECT_EQ(ids(clusterUnknowns(tracks, unknownDecisions(tracks), s, false)), (Ids{{1, 2}, {0}}));

    ProcessSettings loose;
    loose.unknownClusterSim = 0.25f;
    EXPECT_EQ(ids(clusterUnknowns(tracks, unknownDecisions(tracks), loose, false)),
              (Ids{{0, 1, 2}}));
}

TEST(ClusterUnknowns, MergedTracksFollowAndOtherClustersKeepTheirPlaces) {
    const auto tracks = std::vector{unknownTrack(0, {1, 0, 0}), unknownTrack(1, {0, 1, 0}),
                                    unknownTrack(2, {0, 0, 1}), unknownTrack(3, {0, 1, 0})};
    EXPECT_EQ(ids(clusterUnknowns(tracks, unknownDecisions(tracks), {}, false)),
              (Ids{{1, 3}, {0}, {2}}));
}

TEST(ClusterUnknowns, EqualLinkagesMergeTheFirstPair) {
    // Track 1 lies between tracks 0 and 2 (equally alike to both); 0 and 2 are unlike.
    const auto tracks = std::vector{unknownTrack(0, {1, 0, 0}), unknownTrack(1, {1, 0.5f, 1}),
                                    unknownTrack(2, {0, 0, 1})};
    EXPECT_EQ(ids(clusterUnknowns(tracks, unknownDecisions(tracks), {}, false)),
              (Ids{{0, 1}, {2}}));
}

TEST(ClusterUnknowns, MinimumEvidenceDependsOnSamplingAndStills) {
    const auto tracks = std::vector{unknownTrack(0, {1, 0}, 2), unknownTrack(1, {0, 1}, 3)};
    const auto decisions = unknownDecisions(tracks);
    const ProcessSettings standard = ProcessSettings::preset(ProcessSettings::Mode::standard);
    EXPECT_EQ(ids(clusterUnknowns(tracks, decisions, standard, false)), (Ids{{1}}));
    EXPECT_EQ(ids(clusterUnknowns(tracks, decisions, standard, true)), (Ids{{0}, {1}}));
    const ProcessSettings quick = ProcessSettings::preset(ProcessSettings::Mode::quick);
    EXPECT_EQ(ids(clusterUnknowns(tracks, decisions, quick, false)), (Ids{{0}, {1}}));
    const ProcessSettings thorough = ProcessSettings::preset(ProcessSettings::Mode::thorough);
    EXPECT_TRUE(clusterUnknowns(tracks, decisions, thorough, false).empty());

    // 2.5 rounds away from zero to 3.
    ProcessSettings half;
    half.sampleFPS = 0.5;
    half.unknownMinSeconds = 5;
    EXPECT_EQ(ids(clusterUnknowns(tracks, decisions, half, false)), (Ids{{1}}));
}

TEST(ClusterUnknowns, OnlyUnnamedTracksWithIdentifyingSightings) {
    auto tracks =
        std::vector{unknownTrack(0, {1, 0}), unknownTrack(1, {0, 1}), unknownTrack(2, {1, 1})};
    auto decisions = unknownDecisions(tracks);
    decisions[0].memberID = "M0001"; // accepted: not a visitor
    tracks[2]->idSightings = 0;      // the track itself was never seen at identifying size
    decisions.push_back(decisions[1]);
    decisions.back().trackID = 99; // names no track
    EXPECT_EQ(ids(clusterUnknowns(tracks, decisions, {}, true)), (Ids{{1}}));
}

} // namespace
} // namespace tallymere
