#include "EngineTestSupport.h"
#include "engine/FaceEngine.h"
#include "engine/Matrix.h"

#include <cmath>
#include <cstring>
#include <limits>

// Detection on the synthetic detectors of make_test_models.py, whose outputs are fixed rows at
// known anchors; overlap suppression, frontal score, quality and the output reader.

namespace tallymere {
namespace {

using testing::solidImage;
using testing::syntheticModels;

Face boxFace(float x1, float y1, float x2, float y2, float score) {
    Face f;
    f.box = {x1, y1, x2, y2};
    f.score = score;
    return f;
}

void expectBox(const Face& f, float x1, float y1, float x2, float y2) {
    EXPECT_NEAR(f.box.x1, x1, 1e-3);
    EXPECT_NEAR(f.box.y1, y1, 1e-3);
    EXPECT_NEAR(f.box.x2, x2, 1e-3);
    EXPECT_NEAR(f.box.y2, y2, 1e-3);
}

TEST(Nms, IntersectionOverUnionAtTheThreshold) {
    // Inside a 100 x 1 box, a 40 x 1 box overlaps by exactly 0.4 and a 41 x 1 box by 0.41.
    auto kept = nms({boxFace(0, 0, 100, 1, 0.9f), boxFace(0, 0, 40, 1, 0.8f)}, 0.4f, false);
    EXPECT_EQ(kept.size(), 2u);
    kept = nms({boxFace(0, 0, 100, 1, 0.9f), boxFace(0, 0, 41, 1, 0.8f)}, 0.4f, false);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].box.x2, 100);
    // The higher score wins wherever it stands in the input.
    kept = nms({boxFace(0, 0, 41, 1, 0.5f), boxFace(0, 0, 100, 1, 0.6f)}, 0.4f, false);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].box.x2, 100);
}

TEST(Nms, EqualScoresKeepInputOrderAndTheEarlierWins) {
    Face a = boxFace(0, 0, 10, 10, 0.7f), b = boxFace(1, 1, 11, 11, 0.7f);
    a.rank = 1;
    b.rank = 2;
    auto kept =
        nms({a, b, boxFace(50, 50, 60, 60, 0.7f), boxFace(80, 80, 90, 90, 0.9f)}, 0.4f, false);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0].box.x1, 80);
    EXPECT_EQ(kept[1].rank, 1);
    EXPECT_EQ(kept[2].box.x1, 50);
}

TEST(Nms, OverlapOfTheSmallerBox) {
    // A 10 x 10 box half inside a big one stays; 51% inside goes.
    const Face big = boxFace(0, 0, 100, 100, 0.9f);
    EXPECT_EQ(nms({big, boxFace(95, 0, 105, 10, 0.95f)}, 0.5f, true).size(), 2u);
    const auto kept = nms({big, boxFace(94.9f, 0, 104.9f, 10, 0.8f)}, 0.5f, true);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].box.x2, 100);
    // A partial face fully inside a larger kept one is removed although its union share is small.
    EXPECT_EQ(nms({big, boxFace(10, 10, 30, 30, 0.6f)}, 0.5f, true).size(), 1u);
    EXPECT_EQ(nms({big, boxFace(10, 10, 30, 30, 0.6f)}, 0.5f, false).size(), 2u);
}

// Close candidates of nearly equal scores give one mean face whichever scores higher, so that a
// rounding of their scores cannot move the face by the distance between them; a faint or a
// looser candidate moves nothing.
TEST(Nms, NearDuplicatesAreAveragedSoThatANearTieGivesOneFace) {
    Face a = boxFace(0, 0, 100, 100, 0.5207f), b = boxFace(2, 2, 102, 102, 0.5203f); // IoU 0.92
    a.kps = {{10, 10}};
    b.kps = {{12, 12}};
    EXPECT_EQ(nms({a, b}, 0.4f, false)[0].box.x1, 0); // the winner alone
    const auto aWins = nms({a, b}, 0.4f, false, nearDuplicate);
    b.score = 0.5211f;
    EXPECT_EQ(nms({a, b}, 0.4f, false)[0].box.x1, 2);
    const auto bWins = nms({a, b}, 0.4f, false, nearDuplicate);
    ASSERT_EQ(aWins.size(), 1u);
    ASSERT_EQ(bWins.size(), 1u);
    EXPECT_NEAR(aWins[0].box.x1, 1, 0.01);
    EXPECT_NEAR(bWins[0].box.x1, 1, 0.01);
    EXPECT_NEAR(aWins[0].kps[0].y, 11, 0.01);
    EXPECT_EQ(bWins[0].score, 0.5211f);

    // A tenth below the kept score, or overlapping by 0.8 or less, a candidate counts for nothing.
    const Face faint = boxFace(2, 2, 102, 102, 0.42f), loose = boxFace(10, 10, 110, 110, 0.52f);
    for (const Face& other : {faint, loose}) {
        const auto kept = nms({boxFace(0, 0, 100, 100, 0.52f), other}, 0.4f, false, nearDuplicate);
        ASSERT_EQ(kept.size(), 1u);
        expectBox(kept[0], 0, 0, 100, 100);
    }
}

TEST(Nms, DegenerateBoxesNeverSuppressByUnion) {
    // Two identical empty boxes: union 0, so neither drops the other.
    EXPECT_EQ(nms({boxFace(5, 5, 5, 5, 0.9f), boxFace(5, 5, 5, 5, 0.8f)}, 0.4f, false).size(), 2u);
    EXPECT_TRUE(nms({}, 0.4f, false).empty());
}

TEST(FrontalScore, NoseBetweenTheEyes) {
    EXPECT_EQ(frontalScore({{0, 0}, {10, 0}, {5, 8}, {2, 12}, {8, 12}}), 1.0f);
    EXPECT_FLOAT_EQ(frontalScore({{0, 0}, {10, 0}, {7.5f, 8}}), 0.5f);
    EXPECT_EQ(frontalScore({{0, 0}, {10, 0}, {10, 8}}), 0.0f);  // level with an eye
    EXPECT_EQ(frontalScore({{0, 0}, {10, 0}, {-20, 8}}), 0.0f); // beyond: clamped to 0
    EXPECT_EQ(frontalScore({{4, 4}, {4, 4}, {4, 9}}), 0.0f);    // eyes coincide
    // Only horizontal offsets count, and the distance is the true one between the eyes.
    EXPECT_FLOAT_EQ(frontalScore({{0, 0}, {6, 8}, {5, 100}}), 1.0f - 2.0f * 2.0f / 10.0f);
    EXPECT_EQ(frontalScore({}), 0.0f);
}

TEST(FaceQuality, SizeScoreSharpnessAndPose) {
    Face wide = boxFace(0, 0, 224, 224, 0.9f);
    wide.blur = 300;
    wide.frontal = 1;
    EXPECT_FLOAT_EQ(wide.quality(), 0.9f);
    Face small = boxFace(10, 10, 66, 66, 1.0f);
    EXPECT_FLOAT_EQ(small.quality(), 0.7f * 0.5f * 0.3f);
    // Exactly 112 wide is not "over 112": 0.4 + 0.6.
    Face edge = boxFace(0, 0, 112, 50, 1.0f);
    edge.blur = 75;
    EXPECT_FLOAT_EQ(edge.quality(), 1.0f * 0.75f * 0.3f);
}

TEST(Matrix, RowsAndStridesOverAnyRank) {
    Tensor t;
    t.shape = {1, 12800, 4};
    t.bytes.resize(12800 * 4 * 4);
    const Matrix m(t);
    EXPECT_EQ(m.rows, 12800);
    EXPECT_EQ(m.rowStride, 4);
    EXPECT_EQ(m.colStride, 1);
    EXPECT_EQ(m.cols(), 4);
    EXPECT_FALSE(m.isHalf);

    Tensor vec;
    vec.shape = {5};
    vec.bytes.resize(20);
    const float five[5] = {1, 2, 3, 4, 5};
    std::memcpy(vec.bytes.data(), five, 20);
    const Matrix v(vec);
    EXPECT_EQ(v.rows, 1);
    EXPECT_EQ(v.rowStride, 5);
    EXPECT_EQ(v(0, 3), 4.0f);

    Tensor scalar;
    scalar.bytes.resize(4);
    EXPECT_EQ(Matrix(scalar).rows, 1);
    EXPECT_EQ(Matrix(scalar).rowStride, 1);

    Tensor table;
    table.shape = {2, 3, 2};
    table.bytes.resize(48);
    float values[12];
    for (int i = 0; i < 12; ++i)
        values[i] = static_cast<float>(i);
    std::memcpy(table.bytes.data(), values, 48);
    const Matrix tm(table);
    EXPECT_EQ(tm.rows, 6);
    EXPECT_EQ(tm(4, 1), 9.0f);
}

TEST(Matrix, ReadsHalfPrecision) {
    Tensor t;
    t.type = ElementType::Float16;
    t.shape = {2, 3};
    const std::uint16_t halves[6] = {0x3C00, 0xC100, 0x7BFF, 0x0001, 0x7C00, 0x8000};
    t.bytes.resize(12);
    std::memcpy(t.bytes.data(), halves, 12);
    const Matrix m(t);
    EXPECT_TRUE(m.isHalf);
    EXPECT_EQ(m(0, 0), 1.0f);
    EXPECT_EQ(m(0, 1), -2.5f);
    EXPECT_EQ(m(0, 2), 65504.0f);
    EXPECT_EQ(m(1, 0), std::ldexp(1.0f, -24));
    EXPECT_EQ(m(1, 1), std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::signbit(m(1, 2)));
    EXPECT_TRUE(std::isnan(halfToFloat(0x7E00)));
    EXPECT_EQ(halfToFloat(0x0400), std::ldexp(1.0f, -14)); // smallest normal
    EXPECT_EQ(halfToFloat(0x03FF), std::ldexp(1023.0f, -24));
}

class SyntheticDetector : public ::testing::Test {
protected:
    static std::filesystem::path folder(const std::string& scenario) {
        return syntheticModels() / scenario;
    }
};

TEST_F(SyntheticDetector, DecodesRowsAtTheirAnchorsInImagePixels) {
    FaceEngine engine(folder("decode"));
    // 1920 x 1080 letterboxes to 640 x 360: scale 1/3.
    const auto faces = engine.detectOnce(solidImage(1920, 1080, 0, 0, 0), 640, 0.5f);
    ASSERT_EQ(faces.size(), 4u);
    // Stride 8, cell (20, 10), second anchor: centre (160, 80); distances 1, 2, 3, 4 strides.
    EXPECT_FLOAT_EQ(faces[0].score, 0.9f);
    expectBox(faces[0], 456, 192, 552, 336);
    ASSERT_EQ(faces[0].kps.size(), 5u);
    EXPECT_NEAR(faces[0].kps[0].x, (160 + 4) * 3, 1e-3);
    EXPECT_NEAR(faces[0].kps[0].y, (80 - 4) * 3, 1e-3);
    EXPECT_NEAR(faces[0].kps[2].x, (160 + 8) * 3, 1e-3);
    EXPECT_NEAR(faces[0].kps[4].y, (80 + 12) * 3, 1e-3);
    EXPECT_TRUE(faces[0].embedding.empty());
    EXPECT_FALSE(faces[0].crop);
    // The equal-score pair with one box is one face, its landmarks halfway between the two
    // rows' (offsets of 2 and 12 pixels).
    EXPECT_FLOAT_EQ(faces[1].score, 0.8f);
    expectBox(faces[1], 1392, 1392, 1488, 1488);
    EXPECT_NEAR(faces[1].kps[3].x, (480 + 7) * 3, 1e-3);
    // Stride 32, cell (15, 2): centre (480, 64), two strides each way.
    EXPECT_FLOAT_EQ(faces[2].score, 0.7f);
    expectBox(faces[2], 1248, 0, 1632, 384);
    // A score equal to the threshold is kept; it lies inside the previous box but by union
    // overlaps it little.
    EXPECT_FLOAT_EQ(faces[3].score, 0.5f);
    expectBox(faces[3], 1392, 192, 1488, 288);

    // Lower threshold: the 0.4999 row joins (stride 32, cell (3, 7), centre (96, 224)); the row
    // whose score is not a number never does.
    const auto more = engine.detectOnce(solidImage(1920, 1080, 0, 0, 0), 640, 0.4f);
    ASSERT_EQ(more.size(), 5u);
    EXPECT_FLOAT_EQ(more[4].score, 0.4999f);
    expectBox(more[4], 64 * 3, 192 * 3, 128 * 3, 256 * 3);
    EXPECT_EQ(engine.detectOnce(solidImage(1920, 1080, 0, 0, 0), 640, 0.95f).size(), 0u);
}

TEST_F(SyntheticDetector, PortraitImagesScaleByHeight) {
    FaceEngine engine(folder("decode"));
    // 540 x 1280 letterboxes to 270 x 640: scale 0.5.
    const auto faces = engine.detectOnce(solidImage(540, 1280, 0, 0, 0), 640, 0.5f);
    ASSERT_EQ(faces.size(), 4u);
    expectBox(faces[0], 152 * 2, 64 * 2, 184 * 2, 112 * 2);
}

TEST_F(SyntheticDetector, NearestSupportedSizeIsUsed) {
    EXPECT_EQ(FaceEngine::effectiveDetectorSize(640), 640);
    EXPECT_EQ(FaceEngine::effectiveDetectorSize(800), 640);
    EXPECT_EQ(FaceEngine::effectiveDetectorSize(960), 640);
    EXPECT_EQ(FaceEngine::effectiveDetectorSize(961), 1280);
    EXPECT_EQ(FaceEngine::effectiveDetectorSize(1600), 1280);
    EXPECT_EQ(FaceEngine::effectiveDetectorSize(1601), 1920);
    EXPECT_EQ(FaceEngine::effectiveDetectorSize(100), 640);
    EXPECT_EQ(FaceEngine::effectiveDetectorSize(-5), 640);
    EXPECT_EQ(FaceEngine::effectiveDetectorSize(5000), 1920);

    // On a 640 x 640 image the scale is size / 640, so the box of the one row (centre (160, 80),
    // one stride each way) tells which model ran.
    FaceEngine engine(folder("single"));
    const BGRAImage img = solidImage(640, 640, 9, 9, 9);
    for (const auto& [requested, model] : {std::pair{960, 640}, std::pair{961, 1280},
                                           std::pair{1600, 1280}, std::pair{1601, 1920}}) {
        const auto faces = engine.detectOnce(img, requested, 0.5f);
        ASSERT_EQ(faces.size(), 1u) << requested;
        const float scale = model / 640.0f;
        expectBox(faces[0], 152 / scale, 72 / scale, 168 / scale, 88 / scale);
    }
}

TEST_F(SyntheticDetector, TilesAreShiftedToTheirPlaceInTheImage) {
    FaceEngine engine(folder("single"));
    const BGRAImage img = solidImage(1920, 1080, 0, 0, 0);
    // Whole image at scale 1/3; each of the four 1152 x 648 tiles at scale 360 / 648. Equal
    // scores keep the order: whole image, then tiles row by row.
    const auto faces = engine.detect(img, 640, 0.5f, 2);
    ASSERT_EQ(faces.size(), 5u);
    expectBox(faces[0], 456, 216, 504, 264);
    const float s = 648.0f / 360.0f;
    const std::pair<float, float> origins[] = {{0, 0}, {768, 0}, {0, 432}, {768, 432}};
    for (int k = 0; k < 4; ++k) {
        const auto [x0, y0] = origins[k];
        expectBox(faces[k + 1], x0 + 152 * s, y0 + 72 * s, x0 + 168 * s, y0 + 88 * s);
        EXPECT_NEAR(faces[k + 1].kps[0].x, x0 + (160 + 4) * s, 1e-3);
        EXPECT_NEAR(faces[k + 1].kps[0].y, y0 + (80 - 4) * s, 1e-3);
    }
    // One tile or none is the whole-image pass alone.
    EXPECT_EQ(engine.detect(img, 640, 0.5f, 1).size(), 1u);
    EXPECT_EQ(engine.detect(img, 640, 0.5f, 0).size(), 1u);
    // A 3 x 3 grid adds nine tiles.
    EXPECT_EQ(engine.detect(img, 640, 0.5f, 3).size(), 10u);
}

TEST_F(SyntheticDetector, EmptyImageFindsNothing) {
    FaceEngine engine(folder("single"));
    EXPECT_TRUE(engine.detectOnce(BGRAImage(), 640, 0.5f).empty());
}

} // namespace
} // namespace tallymere
