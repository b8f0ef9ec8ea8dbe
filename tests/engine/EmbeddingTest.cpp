#include "EngineTestSupport.h"
#include "engine/Affine.h"
#include "engine/FaceEngine.h"

#include <cmath>

// Embedding with the synthetic recogniser of make_test_models.py: a face's raw embedding is the
// mean colour of its aligned crop (blue, green, red) times weights[c][j] = cos(0.37 j + 1.3 c).

namespace tallymere {
namespace {

using testing::solidImage;
using testing::syntheticModels;

constexpr int kWidth = 300, kHeight = 120;

// Three 100 x 120 panels of different colours side by side.
BGRAImage panels() {
    BGRAImage img(kWidth, kHeight);
    const std::uint8_t colours[3][3] = {{200, 30, 10}, {20, 180, 60}, {90, 40, 230}};
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            std::uint8_t* p = img.data.data() + (static_cast<std::size_t>(y) * kWidth + x) * 4;
            const auto* c = colours[x / 100];
            p[0] = c[0];
            p[1] = c[1];
            p[2] = c[2];
            p[3] = 255;
        }
    return img;
}

// A face whose landmarks are the template at half size placed at (x, y).
Face faceAt(float x, float y, float score = 0.9f) {
    Face f;
    for (const Point p : arcfaceTemplate)
        f.kps.push_back({x + p.x * 0.5f, y + p.y * 0.5f});
    f.box = {x, y, x + 56, y + 56};
    f.score = score;
    f.rank = 0.25f;
    return f;
}

// The embedding the synthetic recogniser gives for a crop, normalised as the engine does.
std::vector<float> expectedEmbedding(const BGRAImage& crop) {
    double sum[3] = {0, 0, 0};
    for (std::size_t i = 0; i < crop.data.size(); i += 4)
        for (int c = 0; c < 3; ++c)
            sum[c] += crop.data[i + c];
    const double n = static_cast<double>(crop.width) * crop.height;
    std::vector<double> v(512);
    double len = 0;
    for (int j = 0; j < 512; ++j) {
        for (int c = 0; c < 3; ++c)
            v[j] += sum[c] / n * std::cos(0.37 * j + 1.3 * c);
        len += v[j] * v[j];
    }
    std::vector<float> out(512);
    for (int j = 0; j < 512; ++j)
        out[j] = static_cast<float>(v[j] / std::sqrt(len));
    return out;
}

float length(const std::vector<float>& v) {
    double s = 0;
    for (const float x : v)
        s += double(x) * x;
    return static_cast<float>(std::sqrt(s));
}

void expectClose(const std::vector<float>& a, const std::vector<float>& b, float tol) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_NEAR(a[i], b[i], tol) << "element " << i;
}

TEST(Embedding, OneBatchInFaceOrderWithMeasurements) {
    FaceEngine engine(syntheticModels() / "decode");
    const BGRAImage img = panels();
    std::vector<Face> faces = {faceAt(220, 30, 0.7f), faceAt(20, 30), faceAt(120, 30, 0.8f)};
    const std::vector<Face> before = faces;
    engine.embed(img, faces);
    ASSERT_EQ(faces.size(), 3u);
    for (std::size_t i = 0; i < faces.size(); ++i) {
        const Face& f = faces[i];
        EXPECT_EQ(f.box, before[i].box);
        EXPECT_EQ(f.kps, before[i].kps);
        EXPECT_EQ(f.score, before[i].score);
        EXPECT_EQ(f.rank, before[i].rank);
        ASSERT_TRUE(f.crop);
        EXPECT_EQ(f.crop->width, 112);
        EXPECT_EQ(f.crop->height, 112);
        const Affine m = Affine::similarity(before[i].kps, arcfaceTemplate);
        EXPECT_EQ(*f.crop, img.warpAffine(112, 112, m));
        EXPECT_EQ(f.blur, f.crop->laplacianVariance());
        EXPECT_EQ(f.frontal, frontalScore(f.kps));
        ASSERT_EQ(f.embedding.size(), 512u);
        EXPECT_NEAR(length(f.embedding), 1.0f, 1e-5);
        expectClose(f.embedding, expectedEmbedding(*f.crop), 1e-5f);
    }
    // Each face got its own panel's colour: the embeddings differ.
    EXPECT_GT(std::fabs(faces[0].embedding[1] - faces[1].embedding[1]), 0.01f);

    // The same faces one at a time give the same vectors.
    for (std::size_t i = 0; i < before.size(); ++i) {
        std::vector<Face> one = {before[i]};
        engine.embed(img, one);
        expectClose(one[0].embedding, faces[i].embedding, 1e-6f);
    }
}

TEST(Embedding, FlatOrWideOutputsAreCutIntoEqualChunks) {
    const BGRAImage img = panels();
    const std::vector<Face> faces = {faceAt(20, 30), faceAt(120, 30), faceAt(220, 30)};
    FaceEngine reference(syntheticModels() / "decode");
    std::vector<Face> expected = faces;
    reference.embed(img, expected);
    // [1, N x 512], and [N, 600] of which the first 512 of each row count.
    for (const char* scenario : {"flat", "wide"}) {
        FaceEngine engine(syntheticModels() / scenario);
        std::vector<Face> got = faces;
        engine.embed(img, got);
        for (std::size_t i = 0; i < got.size(); ++i)
            expectClose(got[i].embedding, expected[i].embedding, 1e-6f);
    }
}

TEST(Embedding, AllZeroOutputGivesAZeroVector) {
    FaceEngine engine(syntheticModels() / "zero");
    std::vector<Face> faces = {faceAt(20, 30)};
    engine.embed(panels(), faces);
    ASSERT_EQ(faces[0].embedding.size(), 512u);
    for (const float x : faces[0].embedding)
        ASSERT_EQ(x, 0.0f);
}

TEST(Embedding, TooFewValuesPerFaceIsRefusedAndNothingChanges) {
    FaceEngine engine(syntheticModels() / "short");
    const std::vector<Face> before = {faceAt(20, 30), faceAt(120, 30)};
    std::vector<Face> faces = before;
    try {
        engine.embed(panels(), faces);
        FAIL() << "a 256-value recogniser was accepted";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("512"), std::string::npos) << e.what();
    }
    ASSERT_EQ(faces.size(), 2u);
    EXPECT_TRUE(faces[0].embedding.empty());
    EXPECT_FALSE(faces[1].crop);
    EXPECT_EQ(faces[1].kps, before[1].kps);

    // An empty list never reaches the model, so it does not fail.
    std::vector<Face> none;
    engine.embed(panels(), none);
    EXPECT_TRUE(none.empty());
}

TEST(Embedding, FaceAtTheEdgeIsEmbeddedWithBlackAround) {
    FaceEngine engine(syntheticModels() / "decode");
    std::vector<Face> faces = {faceAt(-30, -25)};
    engine.embed(panels(), faces);
    ASSERT_TRUE(faces[0].crop);
    const auto& crop = *faces[0].crop;
    EXPECT_EQ(crop.data[0], 0);
    EXPECT_EQ(crop.data[3], 255);
    const std::size_t last = crop.data.size() - 4;
    EXPECT_EQ(crop.data[last], 200); // the first panel's blue
    EXPECT_EQ(faces[0].embedding.size(), 512u);
    expectClose(faces[0].embedding, expectedEmbedding(crop), 1e-5f);
}

TEST(Analyze, KeepsFacesAtLeastMinFaceWideAndEmbedsThem) {
    FaceEngine engine(syntheticModels() / "single");
    // 800 x 800 letterboxes at 640 with scale 0.8; the one row is 16 letterbox pixels wide.
    const BGRAImage img = solidImage(800, 800, 50, 100, 150);
    const auto detected = engine.detect(img, 640, 0.5f, 1);
    ASSERT_EQ(detected.size(), 1u);
    const float w = detected[0].width();
    EXPECT_NEAR(w, 20.0f, 1e-4);

    const auto kept = engine.analyze(img, 640, w, 1);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].box, detected[0].box);
    EXPECT_EQ(kept[0].embedding.size(), 512u);
    EXPECT_TRUE(kept[0].crop);
    EXPECT_TRUE(engine.analyze(img, 640, std::nextafter(w, 100.0f), 1).empty());
    // With tiles the duplicates of the tiles come too.
    EXPECT_EQ(engine.analyze(img, 640, 0, 2).size(), engine.detect(img, 640, 0.5f, 2).size());
}

} // namespace
} // namespace tallymere
