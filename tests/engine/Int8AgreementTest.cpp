// The recogniser in 8 bits against 32 bits on the shared recogniser: scales measured on the faces
// of the shared photos (as the engine measures them on the members' accepted photos), compared on
// those faces and on the faces of the shared recording; and the engine's choice of precision and
// its stored scales.

#include "EngineTestSupport.h"
#include "engine/FaceEngine.h"
#include "engine/OneDnnRuntime.h"
#include "runs/FrameSource.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <iterator>
#include <regex>

namespace tallymere {
namespace {

namespace fs = std::filesystem;

struct Faces {
    std::vector<float> planes; // one 3 x 112 x 112 block per face
    std::int64_t count = 0;

    void add(const BGRAImage& crop) {
        const std::size_t n = 112 * 112, base = planes.size();
        planes.resize(base + 3 * n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t c = 0; c < 3; ++c)
                planes[base + c * n + i] = crop.data[4 * i + c];
        ++count;
    }
    TensorInput input() const { return {"image", {count, 3, 112, 112}, planes.data()}; }
};

std::vector<fs::path> sharedPhotos() {
    std::vector<fs::path> photos;
    for (const auto& entry : fs::recursive_directory_iterator(testing::sharedFaces())) {
        const auto ext = entry.path().extension().string();
        if (entry.is_regular_file() && (ext == ".jpg" || ext == ".jpeg" || ext == ".png"))
            photos.push_back(entry.path());
    }
    std::sort(photos.begin(), photos.end());
    return photos;
}

std::vector<float> embeddings(Model& model, const Faces& faces) {
    const Tensor t = model.run({faces.input()}).at("embedding");
    std::vector<float> v(t.bytes.size() / sizeof(float));
    std::memcpy(v.data(), t.bytes.data(), t.bytes.size());
    return v;
}

double cosine(const float* a, const float* b) {
    double dot = 0, na = 0, nb = 0;
    for (int k = 0; k < 512; ++k) {
        dot += double(a[k]) * b[k];
        na += double(a[k]) * a[k];
        nb += double(b[k]) * b[k];
    }
    return dot / std::sqrt(na * nb);
}

TEST(Int8Agreement, EmbeddingsAgreeWithThirtyTwoBits) {
    TALLYMERE_REQUIRE_SHARED();
    if (!oneDnnHasInt8()) GTEST_SKIP() << "this processor has no 8-bit dot-product instructions";
    const fs::path models = testing::convertedModels() / "real";
    const fs::path recognizer = models / "ArcFace.onnx";
    FaceEngine engine(models, 0);
    Faces photos, recording;
    for (const fs::path& photo : sharedPhotos())
        for (const Face& face : engine.analyze(*BGRAImage::load(photo, 1920), 640, 0, 1))
            photos.add(*face.crop);
    auto source = FrameSource::open({(testing::sharedFaces() / "video" / "stage_clip.mp4")}, 2);
    while (auto frame = source.next())
        for (const Face& face : engine.analyze(frame->image, 640, 20, 1))
            recording.add(*face.crop);
    ASSERT_GE(photos.count, 20);
    ASSERT_GE(recording.count, 20);

    const ActivationRanges ranges = measureOneDnnRanges(recognizer, {photos.input()});
    auto fp32 = loadOneDnnModel(recognizer, Precision::Full);
    auto int8 = loadOneDnnModel(recognizer, ranges);
    for (const Faces* faces : {&photos, &recording}) {
        const auto want = embeddings(*fp32, *faces), got = embeddings(*int8, *faces);
        double sum = 0, worst = 1;
        for (std::int64_t i = 0; i < faces->count; ++i) {
            const double c = cosine(&got[std::size_t(i) * 512], &want[std::size_t(i) * 512]);
            sum += c;
            worst = std::min(worst, c);
        }
        const double mean = sum / double(faces->count);
        EXPECT_GE(mean, 0.99);
        EXPECT_GE(worst, 0.97);
        std::cout << "[ 8 bits ] " << (faces == &photos ? "photos" : "recording") << ", "
                  << faces->count << " faces: cosine to 32 bits " << mean << " mean, " << worst
                  << " lowest\n";
    }
}

// Runs with "TALLYMERE_PRECISION" set (or unset for nullptr), as the process would be started.
template <typename Work>
void withPrecision(const char* precision, const Work& work) {
    const char* before = std::getenv("TALLYMERE_PRECISION");
    const std::string saved = before ? before : "";
    if (precision)
        setenv("TALLYMERE_PRECISION", precision, 1);
    else
        unsetenv("TALLYMERE_PRECISION");
    work();
    if (before)
        setenv("TALLYMERE_PRECISION", saved.c_str(), 1);
    else
        unsetenv("TALLYMERE_PRECISION");
}

std::vector<BGRAImage> photoFaces(FaceEngine& engine) {
    std::vector<BGRAImage> crops;
    for (const fs::path& photo : sharedPhotos())
        for (Face& face : engine.analyze(*BGRAImage::load(photo, 1920), 640, 0, 1))
            crops.push_back(std::move(*face.crop));
    return crops;
}

TEST(Int8Agreement, EnginePicksItsPrecisionAndKeepsItsScales) {
    TALLYMERE_REQUIRE_SHARED();
    const char* runtime = std::getenv("TALLYMERE_RUNTIME");
    if (runtime && std::string(runtime) == "opencv")
        GTEST_SKIP() << "8 bits is the oneDNN runtime's";
    testing::TempDir dir;
    const fs::path models = dir / "models";
    fs::copy(testing::convertedModels() / "real", models);
    const std::string reduced = oneDnnHasBf16() ? "bfloat16" : "32-bit floats";

    withPrecision("fp32", [&] {
        FaceEngine engine(models);
        EXPECT_EQ(engine.recognizerPrecision(), "32-bit floats");
        EXPECT_FALSE(engine.wantsRecognizerScales());
    });
    withPrecision("bf16", [&] { EXPECT_EQ(FaceEngine(models).recognizerPrecision(), reduced); });
    withPrecision(nullptr, [&] {
        EXPECT_EQ(FaceEngine(models, 0).recognizerPrecision(), "32-bit floats");
        EXPECT_EQ(FaceEngine(models).wantsRecognizerScales(), oneDnnHasInt8());
    });
    withPrecision("int8", [&] {
        FaceEngine engine(models);
        EXPECT_EQ(engine.recognizerPrecision(), reduced);
        ASSERT_TRUE(engine.wantsRecognizerScales());
        std::vector<BGRAImage> faces = photoFaces(engine);
        ASSERT_GE(faces.size(), FaceEngine::minScaleFaces);
        const std::vector<BGRAImage> tooFew(faces.begin(),
                                            faces.begin() + FaceEngine::minScaleFaces - 1);
        EXPECT_FALSE(engine.calibrateRecognizer(tooFew));
        EXPECT_EQ(engine.recognizerPrecision(), reduced);
        EXPECT_FALSE(fs::exists(models / FaceEngine::scalesFile));

        ASSERT_TRUE(engine.calibrateRecognizer(faces));
        EXPECT_EQ(engine.recognizerPrecision(), "8-bit integers");
        EXPECT_FALSE(engine.wantsRecognizerScales());
        EXPECT_FALSE(engine.calibrateRecognizer(faces));
        EXPECT_TRUE(fs::exists(models / FaceEngine::scalesFile));
        // The stored scales serve the next engine on this folder, and give its embeddings.
        FaceEngine next(models);
        EXPECT_EQ(next.recognizerPrecision(), "8-bit integers");
        EXPECT_FALSE(next.wantsRecognizerScales());
        const auto image = BGRAImage::load(sharedPhotos().front(), 1920);
        auto a = engine.analyze(*image, 640, 0, 1), b = next.analyze(*image, 640, 0, 1);
        ASSERT_FALSE(a.empty());
        EXPECT_EQ(a.front().embedding, b.front().embedding);
    });
    // Scales measured on another model are never used: the engine waits for new ones.
    std::ifstream in(models / FaceEngine::scalesFile);
    const std::string stored((std::istreambuf_iterator<char>(in)), {});
    std::ofstream(models / FaceEngine::scalesFile)
        << std::regex_replace(stored, std::regex("\"model\": *\"[^\"]*\""), "\"model\": \"0:0\"");
    withPrecision("int8", [&] {
        FaceEngine engine(models);
        EXPECT_EQ(engine.recognizerPrecision(), reduced);
        EXPECT_TRUE(engine.wantsRecognizerScales());
    });
}

} // namespace
} // namespace tallymere
