// The oneDNN runtime against the OpenCV runtime on the shared models, converted as the application
// uses them, over every photo in the shared faces: raw detector outputs and face embeddings.

#include "EngineTestSupport.h"
#include "engine/FaceEngine.h"
#include "engine/OneDnnRuntime.h"
#include "engine/OpenCvModel.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <iostream>

namespace tallymere {
namespace {

namespace fs = std::filesystem;

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

// Blue, green and red planes of raw 0-255 values, as the converted models take them.
void appendPlanes(const BGRAImage& image, std::vector<float>& out) {
    const std::size_t n = std::size_t(image.width) * std::size_t(image.height);
    const std::size_t base = out.size();
    out.resize(base + 3 * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t c = 0; c < 3; ++c)
            out[base + c * n + i] = image.data[4 * i + c];
}

std::vector<float> floats(const Tensor& t) {
    std::vector<float> v(t.bytes.size() / sizeof(float));
    std::memcpy(v.data(), t.bytes.data(), t.bytes.size());
    return v;
}

TEST(OneDnnAgreement, DetectorOutputsMatchOpenCvOnSharedPhotos) {
    TALLYMERE_REQUIRE_SHARED();
    const fs::path converted = testing::convertedModels();
    ASSERT_FALSE(converted.empty());
    for (const fs::path& file :
         {converted / "real" / "SCRFD640.onnx", converted / "small" / "SCRFD640.onnx"}) {
        OpenCvModel reference(file);
        auto model = loadOneDnnModel(file, 1);
        double worst = 0;
        for (const fs::path& photo : sharedPhotos()) {
            const auto image = BGRAImage::load(photo, 1920);
            ASSERT_TRUE(image) << photo;
            const auto boxed = image->letterboxed(640);
            ASSERT_TRUE(boxed);
            std::vector<float> input;
            appendPlanes(boxed->first, input);
            const std::vector<TensorInput> in{{"image", {1, 3, 640, 640}, input.data()}};
            const auto want = reference.run(in);
            const auto got = model->run(in);
            ASSERT_EQ(got.size(), 9u);
            for (const auto& [name, tensor] : want) {
                ASSERT_TRUE(got.count(name)) << name;
                ASSERT_EQ(got.at(name).shape, tensor.shape) << name;
                const auto a = floats(got.at(name)), b = floats(tensor);
                // Scores are probabilities; distances are in strides: compare on the output's
                // scale.
                double scale = 1, diff = 0;
                for (std::size_t k = 0; k < a.size(); ++k) {
                    scale = std::max(scale, double(std::abs(b[k])));
                    diff = std::max(diff, double(std::abs(a[k] - b[k])));
                }
                worst = std::max(worst, diff / scale);
                EXPECT_LE(diff / scale, 1e-4) << file << " " << photo << " " << name;
            }
        }
        std::cout << "[ detector ] " << file.parent_path().filename().string()
                  << ": largest difference to OpenCV " << worst << " of the output's scale\n";
    }
}

TEST(OneDnnAgreement, EmbeddingsMatchOpenCvOnEverySharedFace) {
    TALLYMERE_REQUIRE_SHARED();
    const fs::path converted = testing::convertedModels();
    ASSERT_FALSE(converted.empty());
    const fs::path recognizer = converted / "real" / "ArcFace.onnx";
    OpenCvModel reference(recognizer);
    auto fp32 = loadOneDnnModel(recognizer, 1);
    auto bf16 = loadOneDnnModel(recognizer, 2);
    FaceEngine engine(converted / "real");
    double worst32 = 1, worst16 = 1;
    int faces = 0;
    for (const fs::path& photo : sharedPhotos()) {
        const auto image = BGRAImage::load(photo, 1920);
        ASSERT_TRUE(image) << photo;
        const auto found = engine.analyze(*image, 640, 0, 1);
        if (found.empty()) continue;
        // One batch per photo, as the engine embeds.
        std::vector<float> input;
        for (const Face& face : found)
            appendPlanes(*face.crop, input);
        const auto n = std::int64_t(found.size());
        const std::vector<TensorInput> in{{"image", {n, 3, 112, 112}, input.data()}};
        const auto want = floats(reference.run(in).at("embedding"));
        const auto got32 = floats(fp32->run(in).at("embedding"));
        const auto got16 = floats(bf16->run(in).at("embedding"));
        ASSERT_EQ(got32.size(), want.size());
        ASSERT_EQ(got16.size(), want.size());
        const std::size_t chunk = want.size() / found.size();
        for (std::size_t i = 0; i < found.size(); ++i) {
            auto cosine = [&](const std::vector<float>& v) {
                double dot = 0, a = 0, b = 0;
                for (std::size_t k = i * chunk; k < i * chunk + 512; ++k) {
                    dot += double(v[k]) * want[k];
                    a += double(v[k]) * v[k];
                    b += double(want[k]) * want[k];
                }
                return dot / std::sqrt(a * b);
            };
            const double c32 = cosine(got32), c16 = cosine(got16);
            EXPECT_GE(c32, 0.99999) << photo << " face " << i;
            EXPECT_GE(c16, 0.999) << photo << " face " << i;
            worst32 = std::min(worst32, c32);
            worst16 = std::min(worst16, c16);
            ++faces;
        }
    }
    EXPECT_GE(faces, 15);
    std::cout << "[ embedding ] " << faces << " faces: lowest cosine to OpenCV " << worst32
              << " (32-bit), " << worst16
              << (oneDnnHasBf16() ? " (bfloat16)" : " (no bfloat16 here)") << "\n";
}

TEST(OneDnnAgreement, DetectionAtComputeUnitsOneKeepsEveryFaceInPlace) {
    TALLYMERE_REQUIRE_SHARED();
    const fs::path converted = testing::convertedModels();
    ASSERT_FALSE(converted.empty());
    const char* runtime = std::getenv("TALLYMERE_RUNTIME");
    if (runtime && std::string(runtime) == "opencv")
        GTEST_SKIP() << "compares the oneDNN runtime's precisions";
    FaceEngine exact(converted / "real", 0), engine(converted / "real", 1);
    // 1920 is like 640 and costs the most.
    for (const int size : {640, 1280}) {
        const bool mixed = FaceEngine::detectorPrecision(1) != Precision::Full;
        int faces = 0;
        for (const fs::path& photo : sharedPhotos()) {
            const auto image = BGRAImage::load(photo, 1920);
            ASSERT_TRUE(image) << photo;
            const auto want = exact.detectOnce(*image, size, 0.5f);
            const auto got = engine.detectOnce(*image, size, 0.5f);
            ASSERT_EQ(got.size(), want.size()) << photo << " at " << size;
            faces += int(want.size());
            for (std::size_t i = 0; i < want.size(); ++i) {
                const float limit = mixed ? 1.0f : 0.0f, kpsLimit = mixed ? 1.5f : 0.0f;
                EXPECT_NEAR(got[i].box.x1, want[i].box.x1, limit) << photo << " at " << size;
                EXPECT_NEAR(got[i].box.y1, want[i].box.y1, limit) << photo << " at " << size;
                EXPECT_NEAR(got[i].box.x2, want[i].box.x2, limit) << photo << " at " << size;
                EXPECT_NEAR(got[i].box.y2, want[i].box.y2, limit) << photo << " at " << size;
                for (std::size_t k = 0; k < want[i].kps.size(); ++k) {
                    EXPECT_NEAR(got[i].kps[k].x, want[i].kps[k].x, kpsLimit) << photo;
                    EXPECT_NEAR(got[i].kps[k].y, want[i].kps[k].y, kpsLimit) << photo;
                }
            }
        }
        EXPECT_GT(faces, 0);
    }
}

} // namespace
} // namespace tallymere
