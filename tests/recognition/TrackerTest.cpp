#include "recognition/Tracker.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <vector>

namespace tallymere {
namespace {

constexpr float minEmbedPx = 24;

// A unit embedding along `axis` with a small tag in another component, both in 512 values.
std::vector<float> embeddingAlong(std::size_t axis, float tag = 0, std::size_t tagAxis = 511) {
    std::vector<float> e(512, 0.0f);
    e[axis] = 1.0f;
    e[tagAxis] += tag;
    return e;
}

// Cosine `similarity` with the first axis (exactly, for a track whose appearance is that axis).
std::vector<float> similarTo0(float similarity) {
    std::vector<float> e(512, 0.0f);
    e[0] = similarity;
    e[1] = std::sqrt(1.0f - similarity * similarity);
    return e;
}

// A face whose quality is exactly `weight` (wider than 112 px, sharp, frontal).
Face face(Box box, std::vector<float> embedding, float weight = 0.8f) {
    Face f;
    f.box = box;
    f.score = weight;
    f.blur = 150;
    f.frontal = 1;
    f.embedding = std::move(embedding);
    return f;
}

Box boxAt(float x, float y, float width = 120) {
    return {x, y, x + width, y + width};
}

BGRAImage crop(std::uint8_t shade) {
    BGRAImage image(2, 2);
    std::fill(image.data.begin(), image.data.end(), shade);
    return image;
}

TEST(Tracker, FacesOfTheFirstFrameStartTracksInFaceOrder) {
    Tracker tracker(6, 0.35f);
    EXPECT_TRUE(tracker.update({}, 0, 0, minEmbedPx).empty());
    const auto ids = tracker.update({face(boxAt(0, 0), embeddingAlong(0)),
                                     face(boxAt(500, 0), embeddingAlong(1)),
                                     face(boxAt(1000, 0), embeddingAlong(2))},
                                    0.5, 3, minEmbedPx);
    EXPECT_EQ(ids, (std::vector<int>{0, 1, 2}));
    ASSERT_EQ(tracker.tracks().size(), 3u);
    const Track& first = *tracker.tracks()[0];
    EXPECT_EQ(first.id, 0);
    EXPECT_EQ(first.firstT, 0.5);
    EXPECT_EQ(first.lastT, 0.5);
    EXPECT_EQ(first.sightings, 1);
    EXPECT_EQ(first.idSightings, 1);
    EXPECT_EQ(first.frames, (std::set<int>{3}));
}

TEST(Tracker, OverlapWithModestSimilarityJoinsBelowMinSim) {
    Tracker tracker(6, 0.35f);
    tracker.update({face(boxAt(100, 100), embeddingAlong(0))}, 0, 0, minEmbedPx);
    EXPECT_EQ(tracker.update({face(boxAt(102, 100), similarTo0(0.2f))}, 1, 1, minEmbedPx),
              (std::vector<int>{0}));
    EXPECT_EQ(tracker.tracks()[0]->sightings, 2);
    EXPECT_EQ(tracker.tracks()[0]->lastT, 1.0);
    EXPECT_EQ(tracker.tracks()[0]->lastBox, boxAt(102, 100));
}

TEST(Tracker, SimilarityMustExceedOneTenthForTheOverlapClause) {
    {
        Tracker tracker(6, 0.35f);
        tracker.update({face(boxAt(100, 100), embeddingAlong(0))}, 0, 0, minEmbedPx);
        EXPECT_EQ(tracker.update({face(boxAt(100, 100), similarTo0(0.1f))}, 1, 1, minEmbedPx),
                  (std::vector<int>{1}));
    }
    {
        // With minSim 0.1 the same face joins on the second clause (d = 0 < 4).
        Tracker tracker(6, 0.1f);
        tracker.update({face(boxAt(100, 100), embeddingAlong(0))}, 0, 0, minEmbedPx);
        EXPECT_EQ(tracker.update({face(boxAt(100, 100), similarTo0(0.1f))}, 1, 1, minEmbedPx),
                  (std::vector<int>{0}));
    }
}

TEST(Tracker, DistanceInTrackWidthsMustStayBelowFour) {
    // Track box 120 wide; a face centred 480 px away is exactly 4 widths off and not overlapping.
    Tracker tracker(6, 0.35f);
    tracker.update({face(boxAt(0, 0), embeddingAlong(0))}, 0, 0, minEmbedPx);
    EXPECT_EQ(tracker.update({face(boxAt(480, 0), embeddingAlong(0))}, 1, 1, minEmbedPx),
              (std::vector<int>{1}));
    // Track 1 now ends at x 480; 479 px further is under 4 widths.
    EXPECT_EQ(tracker.update({face(boxAt(959, 0), embeddingAlong(0))}, 2, 2, minEmbedPx),
              (std::vector<int>{1}));
}

TEST(Tracker, GapOfExactlyMaxGapContinuesLongerStartsAnew) {
    Tracker tracker(6, 0.35f);
    tracker.update({face(boxAt(0, 0), embeddingAlong(0))}, 10, 0, minEmbedPx);
    EXPECT_EQ(tracker.update({face(boxAt(0, 0), embeddingAlong(0))}, 16, 1, minEmbedPx),
              (std::vector<int>{0}));
    EXPECT_EQ(tracker.update({face(boxAt(0, 0), embeddingAlong(0))}, 22.5, 2, minEmbedPx),
              (std::vector<int>{1}));
    // The dormant track never comes back.
    EXPECT_EQ(tracker.update(
                  {face(boxAt(500, 0), embeddingAlong(1)), face(boxAt(0, 0), embeddingAlong(0))},
                  23, 3, minEmbedPx),
              (std::vector<int>{2, 1}));
    EXPECT_EQ(tracker.tracks()[0]->lastT, 16.0);
}

TEST(Tracker, InfiniteGapForStillImages) {
    Tracker tracker(std::numeric_limits<double>::infinity(), 0.35f);
    tracker.update({face(boxAt(0, 0), embeddingAlong(0))}, 0, 0, minEmbedPx);
    // Much later, nearby (d < 4) and alike: continues.
    EXPECT_EQ(tracker.update({face(boxAt(200, 0), embeddingAlong(0))}, 1e6, 1, minEmbedPx),
              (std::vector<int>{0}));
    // Unlike and not overlapping: new.
    EXPECT_EQ(tracker.update({face(boxAt(200, 0), embeddingAlong(1))}, 2e6, 2, minEmbedPx),
              (std::vector<int>{1}));
}

TEST(Tracker, StillImagesPairOnAppearanceAloneScoredBySimilarity) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    // Two people sat in the same place in two photos: the overlap that joins a moving face to
    // its track says nothing here.
    Tracker photos(inf, 0.35f, true);
    photos.update({face(boxAt(100, 100), embeddingAlong(0))}, 0, 0, minEmbedPx);
    EXPECT_EQ(photos.update({face(boxAt(100, 100), similarTo0(0.2f))}, 1, 1, minEmbedPx),
              (std::vector<int>{1}));
    // The same person across the photo from where they were: one track.
    EXPECT_EQ(photos.update({face(boxAt(2000, 900), embeddingAlong(0))}, 2, 2, minEmbedPx),
              (std::vector<int>{0}));
    // A recording keeps joining overlapping faces of modest likeness.
    Tracker recording(inf, 0.35f);
    recording.update({face(boxAt(100, 100), embeddingAlong(0))}, 0, 0, minEmbedPx);
    EXPECT_EQ(recording.update({face(boxAt(100, 100), similarTo0(0.2f))}, 1, 1, minEmbedPx),
              (std::vector<int>{0}));
}

TEST(Tracker, FarAwayFacesStartNewTracksHoweverAlike) {
    Tracker tracker(6, 0.35f);
    tracker.update({face(boxAt(0, 0), embeddingAlong(0))}, 0, 0, minEmbedPx);
    EXPECT_EQ(tracker.update({face(boxAt(2000, 0), embeddingAlong(0))}, 1, 1, minEmbedPx),
              (std::vector<int>{1}));
}

TEST(Tracker, TheBetterOfTwoQualifyingFacesTakesTheTrack) {
    Tracker tracker(6, 0.35f);
    tracker.update({face(boxAt(100, 100), embeddingAlong(0))}, 0, 0, minEmbedPx);
    // Both qualify; the second is both closer and more alike.
    const auto ids = tracker.update(
        {face(boxAt(150, 100), similarTo0(0.6f)), face(boxAt(101, 100), similarTo0(0.9f))}, 1, 1,
        minEmbedPx);
    EXPECT_EQ(ids, (std::vector<int>{1, 0}));
}

TEST(Tracker, AssignmentMaximisesTheTotalOverTheFrame) {
    Tracker tracker(6, 0.35f);
    tracker.update({face(boxAt(0, 0), embeddingAlong(0)), face(boxAt(300, 0), embeddingAlong(1))},
                   0, 0, minEmbedPx);
    // The two people swapped places: appearance decides, not position.
    const auto ids = tracker.update(
        {face(boxAt(0, 0), embeddingAlong(1)), face(boxAt(300, 0), embeddingAlong(0))}, 1, 1,
        minEmbedPx);
    EXPECT_EQ(ids, (std::vector<int>{1, 0}));
}

TEST(Tracker, FacesWithoutEmbeddingAlwaysStartTracksWithPositiveMinSim) {
    Tracker tracker(6, 0.35f);
    Face bare = face(boxAt(0, 0), {});
    tracker.update({bare}, 0, 0, minEmbedPx);
    EXPECT_EQ(tracker.update({bare}, 1, 1, minEmbedPx), (std::vector<int>{1}));
    const Track& track = *tracker.tracks()[0];
    EXPECT_EQ(track.sightings, 1);
    EXPECT_EQ(track.idSightings, 0);
    EXPECT_TRUE(track.top.empty());
    EXPECT_FALSE(track.idEmbedding().has_value());

    // With minSim 0 the same place suffices (s = 0 >= 0 and d < 4).
    Tracker permissive(6, 0.0f);
    permissive.update({bare}, 0, 0, minEmbedPx);
    EXPECT_EQ(permissive.update({bare}, 1, 1, minEmbedPx), (std::vector<int>{0}));
}

TEST(Tracker, AFaceWithoutEmbeddingContinuesOnPositionOnlyWhenThePairingIsUnambiguous) {
    // IoU of two 120 px boxes shifted by dx: (120 - dx) / (120 + dx).
    const Box start = boxAt(100, 100);
    const auto firstFrame = [&](std::vector<Face> faces) {
        auto tracker = std::make_unique<Tracker>(6, 0.35f, false, true);
        tracker->update(faces, 0, 0, minEmbedPx);
        return tracker;
    };
    {
        auto tracker = firstFrame({face(start, embeddingAlong(0))});
        const Face bare = face(boxAt(130, 100), {}); // IoU 0.6 exactly
        EXPECT_EQ(tracker->positionMatches({bare}, 1), (std::vector<int>{0}));
        EXPECT_EQ(tracker->update({bare}, 1, 1, minEmbedPx), (std::vector<int>{0}));
        const Track& track = *tracker->tracks()[0];
        // A sighting without an embedding: the track and its frames grow, its evidence does not.
        EXPECT_EQ(track.sightings, 2);
        EXPECT_EQ(track.idSightings, 1);
        EXPECT_EQ(track.frames, (std::set<int>{0, 1}));
        EXPECT_EQ(track.lastBox, bare.box);
        EXPECT_EQ(track.lastEmbeddedT, 0.0);
        EXPECT_EQ(track.embSum[0], 0.8f);
        EXPECT_EQ(track.idEmbSum[0], 0.8f);
        EXPECT_EQ(track.top.size(), 1u);
    }
    {
        auto tracker = firstFrame({face(start, embeddingAlong(0))});
        const Face bare = face(boxAt(131, 100), {}); // IoU just under 0.6
        EXPECT_EQ(tracker->positionMatches({bare}, 1), (std::vector<int>{-1}));
        EXPECT_EQ(tracker->update({bare}, 1, 1, minEmbedPx), (std::vector<int>{1}));
    }
    {
        // A second track within IoU 0.3 of the face: ambiguous.
        auto tracker =
            firstFrame({face(start, embeddingAlong(0)), face(boxAt(160, 100), embeddingAlong(1))});
        const Face bare = face(boxAt(110, 100), {});
        EXPECT_EQ(tracker->positionMatches({bare}, 1), (std::vector<int>{-1}));
    }
    {
        // A second face within IoU 0.3 of the track: ambiguous for both faces.
        auto tracker = firstFrame({face(start, embeddingAlong(0))});
        const std::vector<Face> faces{face(start, {}), face(boxAt(150, 100), {})};
        EXPECT_EQ(tracker->positionMatches(faces, 1), (std::vector<int>{-1, -1}));
        // Beyond the gap the track is no candidate at all.
        EXPECT_EQ(tracker->positionMatches({face(start, {})}, 6.5), (std::vector<int>{-1}));
    }
    {
        // Someone else sat down in the same place and was embedded: appearance still decides.
        auto tracker = firstFrame({face(start, embeddingAlong(0))});
        EXPECT_EQ(tracker->update({face(start, similarTo0(0.05f))}, 1, 1, minEmbedPx),
                  (std::vector<int>{1}));
    }
    // Without the setting, and for still images whatever it says, place alone never continues.
    for (const bool still : {false, true}) {
        Tracker tracker(6, 0.35f, still, still);
        tracker.update({face(start, embeddingAlong(0))}, 0, 0, minEmbedPx);
        EXPECT_EQ(tracker.positionMatches({face(start, {})}, 1), (std::vector<int>{-1}));
        EXPECT_EQ(tracker.update({face(start, {})}, 1, 1, minEmbedPx), (std::vector<int>{1}));
    }
}

TEST(Track, OnlyFacesAtIdentifyingSizeFeedTheIdentityEvidence) {
    Tracker tracker(6, 0.35f);
    // 23.9 px: below the identifying size; it still starts the track and feeds embSum.
    Face small = face(boxAt(0, 0, 23.9f), embeddingAlong(0));
    small.crop = crop(1);
    tracker.update({small}, 0, 0, minEmbedPx);
    const Track& track = *tracker.tracks()[0];
    EXPECT_EQ(track.sightings, 1);
    EXPECT_EQ(track.idSightings, 0);
    EXPECT_TRUE(track.top.empty());
    EXPECT_EQ(track.idEmbSum, std::vector<float>(512, 0.0f));
    EXPECT_GT(track.embSum[0], 0.0f);
    EXPECT_TRUE(track.bestCrop.has_value());
    EXPECT_FALSE(track.idEmbedding().has_value());

    // Exactly the identifying size counts.
    tracker.update({face(boxAt(0, 0, 24.0f), embeddingAlong(0))}, 1, 1, minEmbedPx);
    EXPECT_EQ(track.sightings, 2);
    EXPECT_EQ(track.idSightings, 1);
    EXPECT_EQ(track.top.size(), 1u);
    ASSERT_TRUE(track.idEmbedding().has_value());
    EXPECT_EQ((*track.idEmbedding())[0], 1.0f);
}

TEST(Track, WeightsAreQualityWithAFloorOfOneThousandth) {
    Track track(0, 0, boxAt(0, 0));
    const std::vector<float> e = embeddingAlong(0, 0.5f, 1);
    track.add(face(boxAt(0, 0), e, 0.0f), 0, 0, true);
    EXPECT_EQ(track.embSum[0], 0.001f);
    EXPECT_EQ(track.embSum[1], 0.001f * 0.5f);
    EXPECT_EQ(track.top[0].weight, 0.001f);
    track.add(face(boxAt(0, 0), e, -0.5f), 1, 1, true);
    EXPECT_EQ(track.top[1].weight, 0.001f);
    EXPECT_EQ(track.idEmbSum[0], 0.001f + 0.001f);
    track.add(face(boxAt(0, 0), e, 0.25f), 2, 2, true);
    EXPECT_EQ(track.top[2].weight, 0.25f);
    EXPECT_EQ(track.embSum[0], (0.001f + 0.001f) + 0.25f);
    EXPECT_EQ(track.frames, (std::set<int>{0, 1, 2}));
}

TEST(Track, AFaceWithoutEmbeddingAddsNoEvidenceEvenForID) {
    Track track(0, 0, boxAt(0, 0));
    track.add(face(boxAt(0, 0), {}), 0, 0, true);
    EXPECT_EQ(track.sightings, 1);
    EXPECT_EQ(track.idSightings, 0);
    EXPECT_TRUE(track.top.empty());
    EXPECT_EQ(track.embSum, std::vector<float>(512, 0.0f));
}

TEST(Track, TopKeepsTheTwelveBestDroppingTheLastArrivedOfTheLowest) {
    Track track(0, 0, boxAt(0, 0));
    // Weights in arrival order; the tag (component 511) identifies each sighting.
    const float weights[] = {0.5f, 0.9f,  0.3f, 0.7f,  0.3f,  0.8f, 0.6f,
                             0.4f, 0.95f, 0.3f, 0.55f, 0.65f, 0.3f};
    for (int i = 0; i < 12; ++i)
        track.add(face(boxAt(0, 0), embeddingAlong(0, float(i + 1)), weights[i]), i, i, true);
    ASSERT_EQ(track.top.size(), 12u);
    // Until the first overflow the list stays in arrival order.
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(track.top[i].embedding[511], float(i + 1));

    track.add(face(boxAt(0, 0), embeddingAlong(0, 13.0f), weights[12]), 12, 12, true);
    ASSERT_EQ(track.top.size(), 12u);
    // Sorted by weight, equal weights in arrival order; the last of the four 0.3s (the 13th) went.
    const float expectedTags[] = {9, 2, 6, 4, 12, 7, 11, 1, 8, 3, 5, 10};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(track.top[i].embedding[511], expectedTags[i]) << i;
    EXPECT_EQ(track.idSightings, 13);

    // A 14th with a higher weight pushes out the last remaining lowest (tag 10).
    track.add(face(boxAt(0, 0), embeddingAlong(0, 14.0f), 0.99f), 13, 13, true);
    EXPECT_EQ(track.top[0].embedding[511], 14.0f);
    EXPECT_EQ(track.top[11].embedding[511], 5.0f);
}

TEST(Track, BestCropFollowsTheStrictlyHighestWeightWithACrop) {
    Track track(0, 0, boxAt(0, 0));
    Face first = face(boxAt(0, 0), embeddingAlong(0), 0.0f); // weight 0.001 still beats -1
    first.crop = crop(1);
    track.add(first, 0, 0, true);
    EXPECT_EQ(track.bestQuality, 0.001f);
    EXPECT_EQ(track.bestCrop, crop(1));

    track.add(face(boxAt(0, 0), embeddingAlong(0), 0.9f), 1, 1, true); // no crop: no change
    EXPECT_EQ(track.bestQuality, 0.001f);

    Face better = face(boxAt(0, 0), embeddingAlong(0), 0.5f);
    better.crop = crop(2);
    track.add(better, 2, 2, true);
    EXPECT_EQ(track.bestQuality, 0.5f);
    EXPECT_EQ(track.bestCrop, crop(2));

    Face equal = better;
    equal.crop = crop(3);
    track.add(equal, 3, 3, true);
    EXPECT_EQ(track.bestCrop, crop(2));
}

} // namespace
} // namespace tallymere
