#include "recognition/TrackDecision.h"

#include "library/Json.h"
#include "library/LibraryError.h"

#include <cmath>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace tallymere {
namespace {

std::vector<float> axis(std::size_t k, std::size_t n = 512) {
    std::vector<float> e(n, 0.0f);
    e[k] = 1.0f;
    return e;
}

// A row whose dot product with axis 0 is exactly `similarity`.
std::vector<float> withSimilarity(float similarity) {
    return {similarity, std::sqrt(1.0f - similarity * similarity)};
}

// A track whose identity vector is axis 0, with the given identifying sightings and retained
// best sightings.
std::shared_ptr<Track> trackWith(int id, int idSightings,
                                 std::vector<std::vector<float>> top = {}) {
    auto track = std::make_shared<Track>(id, 10.0 + id, Box{0, 0, 100, 100});
    track->lastT = 20.0 + id;
    track->sightings = idSightings + 2;
    track->idSightings = idSightings;
    if (idSightings > 0) {
        track->idEmbSum = axis(0);
        track->idEmbSum[0] = 0.7f; // any positive weight normalises back to axis 0
    }
    for (auto& embedding : top)
        track->top.push_back({0.5f, std::move(embedding)});
    return track;
}

// Members whose single rows score exactly the given values against axis 0.
Gallery galleryScoring(std::vector<std::pair<std::string, float>> members) {
    Gallery gallery;
    for (const auto& [id, score] : members) {
        gallery.memberIDs.push_back(id);
        gallery.rows.push_back({id, withSimilarity(score)});
    }
    return gallery;
}

TrackDecision decideOne(std::shared_ptr<Track> track, const Gallery& gallery,
                        const ProcessSettings& s = {}) {
    const auto decisions = decide({std::move(track)}, gallery, s);
    EXPECT_EQ(decisions.size(), 1u);
    return decisions.at(0);
}

void expectNoCandidate(const TrackDecision& decision) {
    EXPECT_FALSE(decision.memberID.has_value());
    EXPECT_EQ(decision.score, 0.0f);
    EXPECT_FALSE(decision.runnerUp.has_value());
    EXPECT_EQ(decision.runnerUpScore, -1.0f);
    EXPECT_EQ(decision.vote, 0.0f);
    EXPECT_EQ(decision.reason, "face too small to identify");
}

TEST(Decide, WithoutIdentifyingSightingsOrGalleryThereIsNoCandidate) {
    const Gallery gallery = galleryScoring({{"M0001", 0.9f}});
    auto small = trackWith(4, 0);
    small->idEmbSum = axis(0); // even with evidence in the sum, no identifying sighting decides
    const TrackDecision decision = decideOne(small, gallery);
    expectNoCandidate(decision);
    EXPECT_EQ(decision.trackID, 4);
    EXPECT_EQ(decision.sightings, 2);
    EXPECT_EQ(decision.idSightings, 0);
    EXPECT_EQ(decision.firstT, 14.0);
    EXPECT_EQ(decision.lastT, 24.0);

    expectNoCandidate(decideOne(trackWith(0, 3), Gallery{}));
    // Rows but no recognisable member: the ranking is empty.
    expectNoCandidate(decideOne(trackWith(0, 3), Gallery{{}, {{"M0001", withSimilarity(0.9f)}}}));
}

TEST(Decide, SingleMemberHasNoRunnerUpSoTheMarginCannotReject) {
    const TrackDecision decision = decideOne(trackWith(0, 2), galleryScoring({{"M0001", 0.40f}}));
    EXPECT_EQ(decision.memberID, "M0001");
    EXPECT_EQ(decision.reason, "match");
    EXPECT_EQ(decision.score, 0.40f);
    EXPECT_FALSE(decision.runnerUp.has_value());
    EXPECT_EQ(decision.runnerUpScore, -1.0f);
}

TEST(Decide, BelowThresholdComesFirstEvenWhenAmbiguous) {
    const TrackDecision decision =
        decideOne(trackWith(0, 5), galleryScoring({{"M0003", 0.3701f}, {"M0007", 0.372f}}));
    EXPECT_FALSE(decision.memberID.has_value());
    EXPECT_EQ(decision.reason, "best match M0007 0.37 below threshold 0.40");
    EXPECT_EQ(decision.runnerUp, "M0003");
    EXPECT_EQ(decision.runnerUpScore, 0.3701f);
}

TEST(Decide, ReasonNumbersArePrintfRoundedFromTheSinglePrecisionValue) {
    ProcessSettings s;
    s.matchThreshold = 0.7f;
    // 0.625 is exact in binary: printf rounds the tie to even.
    const TrackDecision decision =
        decideOne(trackWith(0, 5), galleryScoring({{"M0001", 0.625f}}), s);
    EXPECT_EQ(decision.reason, "best match M0001 0.62 below threshold 0.70");
}

TEST(Decide, MarginRejectsEvenAboveTheStrongThreshold) {
    const TrackDecision decision =
        decideOne(trackWith(0, 5), galleryScoring({{"M0001", 0.58f}, {"M0002", 0.62f}}));
    EXPECT_FALSE(decision.memberID.has_value());
    EXPECT_EQ(decision.reason, "ambiguous: M0002 0.62 vs M0001 0.58");
    EXPECT_EQ(decision.score, 0.62f);
    EXPECT_EQ(decision.runnerUp, "M0001");
    EXPECT_EQ(decision.runnerUpScore, 0.58f);

    // A lead of 0.5 - 0.44 is 0.06000000238 in single precision: not below the margin.
    const TrackDecision lead =
        decideOne(trackWith(0, 2), galleryScoring({{"M0001", 0.5f}, {"M0002", 0.44f}}));
    EXPECT_EQ(lead.reason, "match");
}

TEST(Decide, FewSightingsNeedAStrongMatch) {
    const Gallery weak = galleryScoring({{"M0001", 0.50f}, {"M0002", 0.1f}});
    const TrackDecision decision = decideOne(trackWith(0, 1), weak);
    EXPECT_FALSE(decision.memberID.has_value());
    EXPECT_EQ(decision.reason, "only 1 sighting(s) and not a strong match");

    EXPECT_EQ(decideOne(trackWith(0, 2), weak).memberID, "M0001");
    const Gallery strong = galleryScoring({{"M0001", 0.56f}, {"M0002", 0.1f}});
    EXPECT_EQ(decideOne(trackWith(0, 1), strong).memberID, "M0001");
    // Exactly the strong threshold is strong.
    EXPECT_EQ(decideOne(trackWith(0, 1), galleryScoring({{"M0001", 0.55f}})).memberID, "M0001");
}

TEST(Decide, VoteCountsFromThreeSightings) {
    // Axis 0 is M0001's, axis 1 M0002's.
    Gallery gallery{{"M0001", "M0002"}, {{"M0001", axis(0)}, {"M0002", axis(1)}}};

    const TrackDecision two = decideOne(trackWith(0, 2, {axis(1), axis(1)}), gallery);
    EXPECT_EQ(two.vote, 0.0f);
    EXPECT_EQ(two.memberID, "M0001");

    const TrackDecision three = decideOne(trackWith(0, 3, {axis(0), axis(1), axis(1)}), gallery);
    EXPECT_EQ(three.vote, 1.0f / 3.0f);
    EXPECT_FALSE(three.memberID.has_value());
    EXPECT_EQ(three.reason, "inconsistent sightings (vote 0.33)");

    // Half is enough.
    const TrackDecision half =
        decideOne(trackWith(0, 4, {axis(0), axis(1), axis(0), axis(1)}), gallery);
    EXPECT_EQ(half.vote, 0.5f);
    EXPECT_EQ(half.memberID, "M0001");

    // No retained sightings: vote 0, rejected once there are three identifying sightings.
    const TrackDecision none = decideOne(trackWith(0, 3), gallery);
    EXPECT_EQ(none.vote, 0.0f);
    EXPECT_EQ(none.reason, "inconsistent sightings (vote 0.00)");

    // A zero sighting ties every member at 0, so its best match is the first member listed.
    const TrackDecision zero = decideOne(trackWith(0, 3, {std::vector<float>(512, 0.0f)}), gallery);
    EXPECT_EQ(zero.vote, 1.0f);
}

TEST(Decide, OneDecisionPerTrackInOrder) {
    const Gallery gallery = galleryScoring({{"M0001", 0.9f}});
    const auto decisions = decide({trackWith(5, 2), trackWith(2, 0), trackWith(9, 3)}, gallery, {});
    ASSERT_EQ(decisions.size(), 3u);
    EXPECT_EQ(decisions[0].trackID, 5);
    EXPECT_EQ(decisions[1].trackID, 2);
    EXPECT_EQ(decisions[2].trackID, 9);
    EXPECT_EQ(decisions[1].reason, "face too small to identify");
}

TEST(TrackDecisionJSON, RoundTripsAndLeavesOutAbsentNames) {
    TrackDecision accepted{3, "M0001", 0.62f, "M0002", 0.4f, 0.75f, 9, 4, 1.5, 30.25, "match"};
    const Json json = [&] {
        Json j;
        to_json(j, accepted);
        return j;
    }();
    EXPECT_EQ(json.at("memberID"), "M0001");
    EXPECT_EQ(json.at("score").get<double>(), 0.62);
    EXPECT_EQ(json.size(), 11u);
    TrackDecision back;
    from_json(parseJSON(jsonText(json)), back);
    EXPECT_EQ(back, accepted);

    TrackDecision rejected{
        4, std::nullopt, 0, std::nullopt, -1, 0, 1, 0, 2, 2, "face too small to identify"};
    Json j;
    to_json(j, rejected);
    EXPECT_FALSE(j.contains("memberID"));
    EXPECT_FALSE(j.contains("runnerUp"));
    from_json(j, back);
    EXPECT_EQ(back, rejected);

    j["memberID"] = nullptr;
    from_json(j, back);
    EXPECT_FALSE(back.memberID.has_value());
}

TEST(TrackDecisionJSON, ReadingIsStrict) {
    TrackDecision decision{3, "M0001", 0.62f, std::nullopt, -1, 1, 9, 4, 1.5, 30.25, "match"};
    Json good;
    to_json(good, decision);
    for (const char* key : {"trackID", "score", "runnerUpScore", "vote", "sightings", "idSightings",
                            "firstT", "lastT", "reason"}) {
        Json missing = good;
        missing.erase(key);
        TrackDecision out;
        EXPECT_THROW(from_json(missing, out), LibraryError) << key;
    }
    Json wrong = good;
    wrong["score"] = "high";
    TrackDecision out;
    EXPECT_THROW(from_json(wrong, out), LibraryError);
    wrong = good;
    wrong["memberID"] = 7;
    EXPECT_THROW(from_json(wrong, out), LibraryError);
}

} // namespace
} // namespace tallymere
