// The enrolment check's decisions that need no face models: which faces are candidates and in
// what order, the quality tests and their messages, group photo resolution, mislabel warnings.

#include "library/Records.h"
#include "recognition/Enroller.h"

#include <cmath>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tallymere {
namespace {

Face faceAt(float x1, float y1, float x2, float y2, float score = 0.9f) {
    Face f;
    f.box = {x1, y1, x2, y2};
    f.score = score;
    return f;
}

// A face that passes every default quality test; tests change one property at a time.
Face goodFace() {
    Face f = faceAt(100, 100, 220, 260, 0.9f);
    f.blur = 120;
    f.frontal = 0.9f;
    return f;
}

// A unit vector whose dot product with the first axis is exactly `s`.
std::vector<float> unitAt(float s, std::size_t axis = 1, std::size_t length = 512) {
    std::vector<float> v(length, 0.0f);
    v[0] = s;
    v[axis] = std::sqrt(1 - s * s);
    return v;
}

std::vector<float> axis0(std::size_t length = 512) {
    return unitAt(1.0f, 1, length);
}

Face embeddedFace(float similarityToAxis0, std::size_t axis) {
    Face f = goodFace();
    f.embedding = unitAt(similarityToAxis0, axis);
    return f;
}

// --- candidates: visibility filter, prominence rank, order ---

TEST(EnrollCandidates, FaceMostlyOutsideTheImageIsDroppedWhenAnotherLiesInside) {
    // 1000 x 800 photo; the first face has 70% of its box inside, the second is whole, the third
    // has exactly 75% inside and is kept.
    std::vector<Face> faces{faceAt(-30, 100, 70, 200), faceAt(400, 300, 500, 400),
                            faceAt(925, 600, 1025, 700)};
    std::vector<Face> ranked = Enroller::rankCandidates(faces, 1000, 800);
    ASSERT_EQ(ranked.size(), 2u);
    EXPECT_EQ(ranked[0].box, faces[1].box);
    EXPECT_EQ(ranked[1].box, faces[2].box);
}

TEST(EnrollCandidates, FacesAllCutByTheEdgeAreAllKept) {
    std::vector<Face> faces{faceAt(-60, 100, 40, 200), faceAt(950, -50, 1050, 50)};
    std::vector<Face> ranked = Enroller::rankCandidates(faces, 1000, 800);
    EXPECT_EQ(ranked.size(), 2u);
}

TEST(EnrollCandidates, BoxTooThinToHaveAnAreaDoesNotDivideByZero) {
    // A zero-area box counts as 1e-6 square pixels, so its visible fraction is 0, not NaN.
    std::vector<Face> faces{faceAt(10, 10, 10, 50), faceAt(100, 100, 200, 200)};
    std::vector<Face> ranked = Enroller::rankCandidates(faces, 400, 400);
    ASSERT_EQ(ranked.size(), 1u);
    EXPECT_EQ(ranked[0].box, faces[1].box);
}

TEST(EnrollCandidates, RankIsWidthAtTheCentreAndHalfTheWidthAtACorner) {
    // 200 x 100 image: a 40-pixel face centred on (100, 50) keeps its width.
    std::vector<Face> centred = Enroller::rankCandidates({faceAt(80, 30, 120, 70)}, 200, 100);
    ASSERT_EQ(centred.size(), 1u);
    EXPECT_FLOAT_EQ(centred[0].rank, 40.0f);

    // A face centred on the corner is three-quarters outside; alone it is kept with half its width.
    std::vector<Face> corner = Enroller::rankCandidates({faceAt(-20, -20, 20, 20)}, 200, 100);
    ASSERT_EQ(corner.size(), 1u);
    EXPECT_FLOAT_EQ(corner[0].rank, 20.0f);

    // Halfway between centre and corner: three quarters of the width.
    std::vector<Face> halfway = Enroller::rankCandidates({faceAt(30, 5, 70, 45)}, 200, 100);
    ASSERT_EQ(halfway.size(), 1u);
    EXPECT_NEAR(halfway[0].rank, 30.0f, 1e-4);
}

TEST(EnrollCandidates, OrderedByProminenceWithTiesInDetectionOrder) {
    // 200 x 100 image. A small face near the centre outranks a wider one near a corner; two faces
    // mirrored about the centre have equal ranks and keep the order the detector gave them.
    Face wideInCorner = faceAt(0, 0, 50, 50);    // rank 50 * (1 - 0.5 * 79.06 / 111.80) = 32.3
    Face smallCentred = faceAt(82, 32, 118, 68); // rank 36
    Face mirrorA = faceAt(150, 50, 190, 90);
    Face mirrorB = faceAt(10, 10, 50, 50);
    std::vector<Face> ranked =
        Enroller::rankCandidates({mirrorA, wideInCorner, mirrorB, smallCentred}, 200, 100);
    ASSERT_EQ(ranked.size(), 4u);
    EXPECT_EQ(ranked[0].box, smallCentred.box);
    EXPECT_EQ(ranked[1].box, wideInCorner.box);
    EXPECT_EQ(ranked[2].box, mirrorA.box);
    EXPECT_EQ(ranked[3].box, mirrorB.box);
    EXPECT_EQ(ranked[2].rank, ranked[3].rank);
    EXPECT_GT(ranked[0].rank, ranked[1].rank);
    EXPECT_GT(ranked[1].rank, ranked[2].rank);
}

// --- quality tests ---

TEST(EnrollQuality, AGoodFacePassesEveryTest) {
    EXPECT_EQ(Enroller::problem(goodFace(), EnrollSettings{}), "");
}

TEST(EnrollQuality, SizeIsTestedBeforeConfidenceBlurAndTurn) {
    Face f = faceAt(100, 100, 160, 180, 0.55f); // 60 px wide and unclear
    f.blur = 5;
    f.frontal = 0.1f;
    EXPECT_EQ(Enroller::problem(f, EnrollSettings{}), "Face too small (60 px; needs 80)");
}

TEST(EnrollQuality, ConfidenceIsTestedBeforeBlurAndTurn) {
    Face f = goodFace();
    f.score = 0.55f;
    f.blur = 5;
    f.frontal = 0.1f;
    EXPECT_EQ(Enroller::problem(f, EnrollSettings{}), "Face unclear or covered (confidence 0.55)");
}

TEST(EnrollQuality, BlurIsTestedBeforeTurn) {
    Face f = goodFace();
    f.blur = 12.4;
    f.frontal = 0.1f;
    EXPECT_EQ(Enroller::problem(f, EnrollSettings{}), "Too blurry (sharpness 12; needs 40)");
}

TEST(EnrollQuality, TurnedFaceIsTheLastTest) {
    Face f = goodFace();
    f.frontal = 0.3f;
    EXPECT_EQ(Enroller::problem(f, EnrollSettings{}), "Face turned too far to the side");
}

TEST(EnrollQuality, ValuesExactlyAtTheThresholdsPass) {
    const EnrollSettings cfg;
    Face f = faceAt(0, 0, cfg.minFacePx, 100, cfg.minScore);
    f.blur = cfg.minBlur;
    f.frontal = cfg.minFrontal;
    EXPECT_EQ(Enroller::problem(f, cfg), "");
}

TEST(EnrollQuality, MessagesCarryTheSettingsInUse) {
    EnrollSettings cfg;
    cfg.minFacePx = 150;
    cfg.minBlur = 75;
    Face f = goodFace(); // 120 px wide
    EXPECT_EQ(Enroller::problem(f, cfg), "Face too small (120 px; needs 150)");
    f.box.x2 = f.box.x1 + 150;
    f.blur = 74.6;
    EXPECT_EQ(Enroller::problem(f, cfg), "Too blurry (sharpness 75; needs 75)");
}

TEST(EnrollSettingsDefaults, AreTheApplicationsThresholds) {
    const EnrollSettings cfg;
    EXPECT_EQ(cfg.minFacePx, 80.0f);
    EXPECT_EQ(cfg.minScore, 0.6f);
    EXPECT_EQ(cfg.minBlur, 40.0);
    EXPECT_EQ(cfg.minFrontal, 0.35f);
    EXPECT_EQ(cfg.mislabelMargin, 0.05f);
    EXPECT_EQ(cfg.detectorSize, 640);
}

// --- group photos ---

TEST(EnrollGroup, ClearlyClosestFaceIsPickedWhereverItStands) {
    std::vector<Face> faces{embeddedFace(0.30f, 1), embeddedFace(0.10f, 2), embeddedFace(0.50f, 3)};
    auto pick = Enroller::pickGroupFace(faces, axis0());
    ASSERT_TRUE(pick);
    EXPECT_EQ(pick->index, 2u);
    EXPECT_FLOAT_EQ(pick->similarity, 0.50f);
}

TEST(EnrollGroup, LeadUnderFifteenHundredthsIsNotEnough) {
    std::vector<Face> faces{embeddedFace(0.50f, 1), embeddedFace(0.36f, 2)};
    EXPECT_FALSE(Enroller::pickGroupFace(faces, axis0()));
}

TEST(EnrollGroup, BestUnderFortyFiveHundredthsIsNotEnoughWhateverTheLead) {
    std::vector<Face> faces{embeddedFace(-0.5f, 1), embeddedFace(0.44f, 2)};
    EXPECT_FALSE(Enroller::pickGroupFace(faces, axis0()));
}

TEST(EnrollGroup, TwinsCannotBeToldApart) {
    std::vector<Face> faces{embeddedFace(0.8f, 1), embeddedFace(0.8f, 2)};
    EXPECT_FALSE(Enroller::pickGroupFace(faces, axis0()));
}

TEST(EnrollGroup, SimilarityUsesTheShorterVector) {
    // A reference shortened to 3 values still compares the faces on those values.
    std::vector<Face> faces{embeddedFace(0.1f, 1), embeddedFace(0.9f, 2)};
    auto pick = Enroller::pickGroupFace(faces, axis0(3));
    ASSERT_TRUE(pick);
    EXPECT_EQ(pick->index, 1u);
    EXPECT_FLOAT_EQ(pick->similarity, 0.9f);
}

// --- mislabel warnings ---

Photo usablePhoto(std::string id, std::vector<float> embedding) {
    Photo p;
    p.id = std::move(id);
    p.checked = true;
    p.ok = true;
    p.embedding = std::move(embedding);
    return p;
}

Member memberWith(std::string id, std::string name, std::vector<Photo> photos) {
    Member m;
    m.id = std::move(id);
    m.name = std::move(name);
    m.photos = std::move(photos);
    return m;
}

// Unit vectors near one of two directions: "a" people lie along axis 1, "b" people along axis 2.
std::vector<float> personA(float jitter) {
    std::vector<float> v(512, 0.0f);
    v[1] = 1;
    v[10] = jitter;
    return v;
}
std::vector<float> personB(float jitter) {
    std::vector<float> v(512, 0.0f);
    v[2] = 1;
    v[10] = jitter;
    return v;
}

TEST(EnrollMislabel, PhotoOfEachMemberFiledUnderTheOtherWarnsBoth) {
    std::vector<Member> members{
        memberWith("M0001", "Zoe",
                   {usablePhoto("a1", personA(0.1f)), usablePhoto("a2", personA(0.2f)),
                    usablePhoto("b9", personB(0.3f))}),
        memberWith("M0002", "Adam",
                   {usablePhoto("b1", personB(0.1f)), usablePhoto("b2", personB(0.2f)),
                    usablePhoto("a9", personA(0.3f))}),
    };
    EXPECT_THAT(
        Enroller::mislabelWarnings(members, 0.05f),
        ::testing::ElementsAre("Adam: a photo looks more like Zoe. Check it's the right person.",
                               "Zoe: a photo looks more like Adam. Check it's the right person."));
}

TEST(EnrollMislabel, IdenticalWarningsAreReportedOnce) {
    // Each member has one own photo and one of the other person's: both photos of each member
    // look more like the other member, giving the same text twice. Texts are in code-point order.
    std::vector<Member> members{
        memberWith("M0001", "Zoe",
                   {usablePhoto("a1", personA(0.1f)), usablePhoto("b9", personB(0.3f))}),
        memberWith("M0002", "Émile",
                   {usablePhoto("b1", personB(0.1f)), usablePhoto("a9", personA(0.3f))}),
    };
    EXPECT_THAT(
        Enroller::mislabelWarnings(members, 0.05f),
        ::testing::ElementsAre("Zoe: a photo looks more like Émile. Check it's the right person.",
                               "Émile: a photo looks more like Zoe. Check it's the right person."));
}

TEST(EnrollMislabel, AMemberWithOneUsablePhotoIsNeverWarned) {
    // Adam's only usable photo looks exactly like Zoe, but he has no other photo to compare with;
    // his rejected and unchecked photos do not count.
    Photo rejected = usablePhoto("x", personB(0));
    rejected.ok = false;
    Photo unembedded = usablePhoto("y", personB(0));
    unembedded.embedding.reset();
    std::vector<Member> members{
        memberWith("M0001", "Zoe",
                   {usablePhoto("a1", personA(0)), usablePhoto("a2", personA(0.1f))}),
        memberWith("M0002", "Adam", {usablePhoto("a3", personA(0)), rejected, unembedded}),
    };
    EXPECT_THAT(Enroller::mislabelWarnings(members, 0.05f), ::testing::IsEmpty());
}

TEST(EnrollMislabel, TheOtherMemberMustBeCloserByMoreThanTheMargin) {
    // Own similarity 0.5; the other member's photo at 0.54 is within the margin, at 0.56 beyond it.
    auto build = [](float otherSimilarity) {
        std::vector<float> probe = unitAt(1.0f);
        return std::vector<Member>{
            memberWith("M0001", "Zoe",
                       {usablePhoto("p", probe), usablePhoto("q", unitAt(0.5f, 3))}),
            memberWith("M0002", "Adam", {usablePhoto("r", unitAt(otherSimilarity, 4))}),
        };
    };
    EXPECT_THAT(Enroller::mislabelWarnings(build(0.54f), 0.05f), ::testing::IsEmpty());
    EXPECT_THAT(
        Enroller::mislabelWarnings(build(0.56f), 0.05f),
        ::testing::ElementsAre("Zoe: a photo looks more like Adam. Check it's the right person."));
    EXPECT_THAT(Enroller::mislabelWarnings(build(0.56f), 0.1f), ::testing::IsEmpty());
}

TEST(EnrollMislabel, FirstOfEquallyCloseLookAlikesIsNamed) {
    std::vector<float> probe = unitAt(1.0f);
    std::vector<Member> members{
        memberWith("M0001", "Zoe", {usablePhoto("p", probe), usablePhoto("q", unitAt(0.1f, 3))}),
        memberWith("M0002", "Bea", {usablePhoto("r", unitAt(0.9f, 4))}),
        memberWith("M0003", "Cal", {usablePhoto("s", unitAt(0.9f, 5))}),
    };
    EXPECT_THAT(
        Enroller::mislabelWarnings(members, 0.05f),
        ::testing::ElementsAre("Zoe: a photo looks more like Bea. Check it's the right person."));
}

TEST(EnrollMislabel, NoMembersOrNoUsablePhotosGiveNoWarnings) {
    EXPECT_THAT(Enroller::mislabelWarnings({}, 0.05f), ::testing::IsEmpty());
    EXPECT_THAT(Enroller::mislabelWarnings({memberWith("M0001", "Zoe", {})}, 0.05f),
                ::testing::IsEmpty());
}

} // namespace
} // namespace tallymere
