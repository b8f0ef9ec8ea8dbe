#include "EngineTestSupport.h"
#include "engine/Affine.h"
#include "engine/FaceEngine.h"

#include <cmath>
#include <map>
#include <set>
#include <thread>

// The shared source models converted by scripts/convert-models, run on the shared photos; and the
// model scripts themselves.

namespace tallymere {
namespace {

namespace fs = std::filesystem;
using testing::convertedModels;
using testing::quoted;
using testing::runCommand;
using testing::sharedFaces;
using testing::sharedModels;
using testing::syntheticModels;
using testing::TempDir;

FaceEngine& realEngine() {
    static FaceEngine engine(convertedModels() / "real");
    return engine;
}

BGRAImage photo(const fs::path& relative) {
    auto img = BGRAImage::load(sharedFaces() / relative, 3000);
    EXPECT_TRUE(img) << relative;
    return img ? std::move(*img) : BGRAImage();
}

float similarity(const Face& a, const Face& b) {
    float s = 0;
    for (std::size_t k = 0; k < a.embedding.size(); ++k)
        s += a.embedding[k] * b.embedding[k];
    return s;
}

struct Portrait {
    const char* person;
    const char* file;
    // Eyes, nose tip and mouth corners in the photo's pixels, checked by eye on an annotated copy.
    Point kps[5];
};

const Portrait portraits[] = {
    {"Alex Lacamoire",
     "lacamoire1.jpg",
     {{375, 290}, {509, 293}, {443, 381}, {362, 418}, {518, 421}}},
    {"Alex Lacamoire",
     "lacamoire2.png",
     {{229, 193}, {296, 189}, {274, 234}, {228, 258}, {299, 254}}},
    {"Barack Obama", "obama.jpg", {{443, 214}, {549, 211}, {500, 277}, {442, 321}, {552, 317}}},
    {"Barack Obama", "obama2.jpg", {{254, 371}, {368, 379}, {279, 445}, {246, 516}, {350, 524}}},
    {"Joe Biden", "biden.jpg", {{528, 326}, {652, 347}, {595, 404}, {522, 459}, {619, 477}}},
    {"Kit Harington",
     "harington1.jpeg",
     {{716, 140}, {771, 142}, {740, 169}, {721, 198}, {762, 199}}},
    {"Kit Harington",
     "harington2.jpeg",
     {{340, 154}, {407, 147}, {359, 197}, {359, 238}, {410, 232}}},
    {"Lin-Manuel Miranda",
     "miranda1.png",
     {{354, 268}, {478, 270}, {431, 350}, {365, 411}, {463, 412}}},
    {"Rose Leslie", "leslie1.jpg", {{684, 198}, {800, 188}, {742, 254}, {702, 310}, {796, 302}}},
    {"Rose Leslie", "leslie2.jpg", {{244, 247}, {364, 250}, {307, 313}, {247, 366}, {354, 368}}},
};

// Faces of every portrait, detected and embedded once per test process.
const std::vector<Face>& portraitFaces() {
    static const std::vector<Face> faces = [] {
        std::vector<Face> all;
        for (const auto& p : portraits) {
            const BGRAImage img = photo(fs::path("people") / p.person / p.file);
            auto found = realEngine().analyze(img, 640, 0, 1);
            EXPECT_EQ(found.size(), 1u) << p.file;
            all.push_back(found.empty() ? Face() : found[0]);
        }
        return all;
    }();
    return faces;
}

class RealModels : public ::testing::Test {
protected:
    void SetUp() override {
        TALLYMERE_REQUIRE_SHARED();
        ASSERT_FALSE(convertedModels().empty()) << "model conversion failed";
    }
};

TEST_F(RealModels, EachPortraitHasOneFaceWithLandmarksInPlace) {
    const auto& faces = portraitFaces();
    for (std::size_t i = 0; i < std::size(portraits); ++i) {
        const Face& f = faces[i];
        ASSERT_EQ(f.kps.size(), 5u) << portraits[i].file;
        EXPECT_GT(f.score, 0.6f) << portraits[i].file;
        const float tolerance = std::max(3.0f, 0.03f * f.width());
        for (int k = 0; k < 5; ++k) {
            const Point want = portraits[i].kps[k];
            EXPECT_LT(std::hypot(f.kps[k].x - want.x, f.kps[k].y - want.y), tolerance)
                << portraits[i].file << " landmark " << k << " at (" << f.kps[k].x << ", "
                << f.kps[k].y << ")";
        }
        // The box holds its landmarks.
        for (const Point p : f.kps) {
            EXPECT_GT(p.x, f.box.x1);
            EXPECT_LT(p.x, f.box.x2);
            EXPECT_GT(p.y, f.box.y1);
            EXPECT_LT(p.y, f.box.y2);
        }
    }
}

TEST_F(RealModels, SamePersonScoresHigherThanAnyoneElse) {
    const auto& faces = portraitFaces();
    const std::size_t n = std::size(portraits);
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(faces[i].embedding.size(), 512u);
        float bestOther = -1;
        for (std::size_t j = 0; j < n; ++j)
            if (std::string(portraits[j].person) != portraits[i].person)
                bestOther = std::max(bestOther, similarity(faces[i], faces[j]));
        for (std::size_t j = 0; j < n; ++j) {
            if (j == i || std::string(portraits[j].person) != portraits[i].person) continue;
            EXPECT_GT(similarity(faces[i], faces[j]), bestOther + 0.15f)
                << portraits[i].file << " with " << portraits[j].file;
        }
        EXPECT_LT(bestOther, 0.35f) << portraits[i].file;
    }
}

TEST_F(RealModels, GroupPhotosHaveTheirCountsAndTheirPeople) {
    const auto& faces = portraitFaces();
    auto bestMatch = [&](const Face& f) {
        std::size_t best = 0;
        for (std::size_t j = 1; j < std::size(portraits); ++j)
            if (similarity(f, faces[j]) > similarity(f, faces[best])) best = j;
        return std::pair{std::string(portraits[best].person), similarity(f, faces[best])};
    };
    struct Group {
        const char* file;
        std::multiset<std::string> people; // "" for someone not enrolled
    };
    const Group groups[] = {{"two_people.jpg", {"Barack Obama", "Joe Biden"}},
                            {"obama_and_biden.jpg", {"Barack Obama", "Joe Biden", ""}}};
    for (const auto& g : groups) {
        const BGRAImage img = photo(fs::path("groups") / g.file);
        for (const int tiles : {1, 2}) {
            const auto found = realEngine().analyze(img, 640, 0, tiles);
            EXPECT_EQ(found.size(), g.people.size()) << g.file << " tiles " << tiles;
            if (tiles != 1) continue;
            std::multiset<std::string> seen;
            for (const Face& f : found) {
                const auto [person, score] = bestMatch(f);
                seen.insert(score > 0.4f ? person : "");
            }
            EXPECT_EQ(seen, g.people) << g.file;
        }
    }
}

TEST_F(RealModels, TheSamePhotoAtFourSizesGivesTheSameFace) {
    const Point* reference = nullptr;
    std::vector<Point> first;
    for (const char* file :
         {"obama-240p.jpg", "obama-480p.jpg", "obama-720p.jpg", "obama-1080p.jpg"}) {
        const BGRAImage img = photo(fs::path("sizes") / file);
        const auto faces = realEngine().detect(img, 640, 0.5f, 1);
        ASSERT_EQ(faces.size(), 1u) << file;
        // Landmarks as fractions of the width agree within one percent of it.
        std::vector<Point> relative;
        for (const Point p : faces[0].kps)
            relative.push_back({p.x / img.width, p.y / img.width});
        if (!reference) {
            first = relative;
            reference = first.data();
            continue;
        }
        for (int k = 0; k < 5; ++k) {
            EXPECT_NEAR(relative[k].x, reference[k].x, 0.01) << file << " landmark " << k;
            EXPECT_NEAR(relative[k].y, reference[k].y, 0.01) << file << " landmark " << k;
        }
    }
}

TEST_F(RealModels, LargerDetectorSizesFindTheSameFaces) {
    const BGRAImage img = photo("groups/two_people.jpg");
    const auto at640 = realEngine().detect(img, 640, 0.5f, 1);
    const auto at1280 = realEngine().detect(img, 1280, 0.5f, 1);
    ASSERT_EQ(at640.size(), 2u);
    ASSERT_EQ(at1280.size(), 2u);
    for (const Face& a : at640) {
        float best = 1e9f;
        for (const Face& b : at1280)
            best = std::min(best, std::hypot(a.kps[2].x - b.kps[2].x, a.kps[2].y - b.kps[2].y));
        EXPECT_LT(best, 0.05f * a.width());
    }
}

TEST_F(RealModels, DynamicShapeDetectorConvertsLikeTheFixedOne) {
    FaceEngine fixed(convertedModels() / "small");
    FaceEngine dynamic(convertedModels() / "dynamic");
    const BGRAImage img = photo("people/Barack Obama/obama.jpg");
    const auto a = fixed.detectOnce(img, 640, 0.5f);
    const auto b = dynamic.detectOnce(img, 640, 0.5f);
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), a.size());
    EXPECT_EQ(a[0].box, b[0].box);
    EXPECT_EQ(a[0].kps, b[0].kps);
    // The small detector agrees with the larger one about where the face is.
    EXPECT_LT(std::hypot(a[0].kps[2].x - 500, a[0].kps[2].y - 277), 0.05f * a[0].width());
}

TEST_F(RealModels, ConcurrentCallsGiveTheSerialResults) {
    // One forward pass at a time per model: threads sharing the engine get exactly the results
    // of serial calls.
    const char* files[] = {"people/Barack Obama/obama.jpg", "people/Rose Leslie/leslie1.jpg",
                           "people/Kit Harington/harington2.jpeg", "groups/two_people.jpg"};
    std::vector<BGRAImage> images;
    std::vector<std::vector<Face>> serial;
    for (const char* f : files) {
        images.push_back(photo(f));
        serial.push_back(realEngine().analyze(images.back(), 640, 0, 1));
    }
    std::vector<std::vector<Face>> parallel(images.size());
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < images.size(); ++k)
        threads.emplace_back([&, k] {
            for (int r = 0; r < 2; ++r)
                parallel[k] = realEngine().analyze(images[k], 640, 0, 1);
        });
    for (auto& t : threads)
        t.join();
    for (std::size_t k = 0; k < images.size(); ++k) {
        ASSERT_EQ(parallel[k].size(), serial[k].size()) << files[k];
        for (std::size_t i = 0; i < serial[k].size(); ++i) {
            EXPECT_EQ(parallel[k][i].box, serial[k][i].box) << files[k];
            EXPECT_EQ(parallel[k][i].embedding, serial[k][i].embedding) << files[k];
        }
    }
}

// The portrait of Barack Obama enlarged 1.2 times onto a 1280 x 720 frame, face in the middle:
// a close-up about 280 pixels wide, as a camera near a speaker films it. (The small test detector
// knows smaller faces than the product's: it loses this one once the frame is enlarged 1.5 times.)
BGRAImage closeUp(int width = 1280, int height = 720, float zoom = 1.2f) {
    const BGRAImage portrait = photo("people/Barack Obama/obama.jpg");
    const Affine place{zoom, 0, width / 2.0f - 500 * zoom, 0, zoom, height / 2.0f - 277 * zoom};
    return portrait.warpAffine(width, height, place);
}

TEST_F(RealModels, ACloseUpIsFoundAtEveryDetectorSize) {
    const BGRAImage frame = closeUp();
    for (const int size : {640, 1280, 1920}) {
        const auto faces = realEngine().analyze(frame, size, 20, 1);
        ASSERT_EQ(faces.size(), 1u) << "detector size " << size;
        EXPECT_GT(faces[0].width(), 250) << size;
        // The nose where the portrait's nose was put.
        EXPECT_LT(std::hypot(faces[0].kps[2].x - 640, faces[0].kps[2].y - 360),
                  0.05f * faces[0].width())
            << size;
    }
    // Enlarged 1.5 times, the close-up is beyond what the detector knows: only the second pass at
    // the frame's own size finds it.
    EXPECT_TRUE(realEngine().detectOnce(frame, 1920, 0.5f).empty());
    EXPECT_EQ(FaceEngine::unenlargedDetectorSize(frame, 1920), 1280);
    EXPECT_EQ(FaceEngine::unenlargedDetectorSize(frame, 1280), 1280);
    EXPECT_EQ(FaceEngine::unenlargedDetectorSize(closeUp(960, 540), 1920), 640);
    EXPECT_EQ(FaceEngine::unenlargedDetectorSize(closeUp(400, 300), 1280), 640);
}

TEST_F(RealModels, FramesAtOrAboveTheDetectorSizeAreSearchedOnce) {
    // A 1280 x 720 frame at 1280 and a 1920 x 1080 one at 1920: exactly one pass, as before.
    for (const auto& [frame, size] :
         {std::pair{closeUp(), 1280}, std::pair{photo("sizes/obama-1080p.jpg"), 1920},
          std::pair{photo("groups/two_people.jpg"), 640}}) {
        ASSERT_GE(std::max(frame.width, frame.height), size);
        const auto once = realEngine().detectOnce(frame, size, 0.5f);
        const auto found = realEngine().detect(frame, size, 0.5f, 1);
        ASSERT_EQ(found.size(), once.size()) << size;
        for (std::size_t i = 0; i < once.size(); ++i) {
            EXPECT_EQ(found[i].box, once[i].box);
            EXPECT_EQ(found[i].kps, once[i].kps);
            EXPECT_EQ(found[i].score, once[i].score);
        }
    }
}

class ModelScripts : public ::testing::Test {
protected:
    void SetUp() override { TALLYMERE_REQUIRE_SHARED(); }
    static std::string converter() { return "/usr/bin/python3 " + quoted(testing::converter()); }
};

TEST_F(ModelScripts, GetModelsConvertsALocalPack) {
    // A stand-in for buffalo_l.zip: the small detector with free height and width (the form of
    // det_10g.onnx) and the test recogniser, in the pack's sub-folder.
    const TempDir dir;
    std::string log;
    const std::string makeZip = "/usr/bin/python3 -c 'import sys, zipfile\n"
                                "z = zipfile.ZipFile(sys.argv[1], \"w\")\n"
                                "z.write(sys.argv[2], \"buffalo_l/det_10g.onnx\")\n"
                                "z.write(sys.argv[3], \"buffalo_l/w600k_r50.onnx\")\n"
                                "z.writestr(\"buffalo_l/genderage.onnx\", b\"unused\")\n"
                                "z.close()' " +
                                quoted(dir / "buffalo_l.zip") + " " +
                                quoted(convertedModels() / "dynamic.onnx") + " " +
                                quoted(sharedModels() / "fr_feature.onnx");
    ASSERT_EQ(runCommand(makeZip, &log), 0) << log;
    const fs::path out = dir / "models";
    ASSERT_EQ(runCommand("/usr/bin/python3 " +
                             quoted(testing::sourceDir() / "scripts" / "get-models") + " " +
                             quoted(dir / "buffalo_l.zip") + " --out " + quoted(out),
                         &log),
              0)
        << log;
    for (const char* name : {"ArcFace.onnx", "SCRFD640.onnx", "SCRFD1280.onnx", "SCRFD1920.onnx"})
        EXPECT_TRUE(fs::exists(out / name)) << name;
    EXPECT_FALSE(fs::exists(out / "genderage.onnx"));

    FaceEngine engine(out);
    EXPECT_EQ(engine.modelName(), modelName); // the pack is buffalo_l
    const BGRAImage img = photo("people/Barack Obama/obama.jpg");
    EXPECT_EQ(engine.detect(img, 640, 0.5f, 1).size(), 1u);
    // The largest size on a photo whose faces stay moderate when magnified.
    const auto big = engine.analyze(photo("groups/obama_and_biden.jpg"), 1920, 0, 1);
    ASSERT_GE(big.size(), 1u);
    EXPECT_EQ(big[0].embedding.size(), 512u);

    // A zip without the models is refused with a clear message.
    ASSERT_EQ(runCommand("/usr/bin/python3 -c 'import zipfile; zipfile.ZipFile(\"" +
                         (dir / "empty.zip").string() + "\", \"w\").close()'"),
              0);
    EXPECT_NE(runCommand("/usr/bin/python3 " +
                             quoted(testing::sourceDir() / "scripts" / "get-models") + " " +
                             quoted(dir / "empty.zip") + " --out " + quoted(dir / "none"),
                         &log),
              0);
    EXPECT_NE(log.find("det_10g.onnx"), std::string::npos) << log;
}

TEST_F(ModelScripts, ConverterRefusesWhatCannotWork) {
    const TempDir dir;
    std::string log;
    // Pre-processing must be stated.
    EXPECT_NE(runCommand(converter() + " --out " + quoted(dir / "a") + " --detector " +
                             quoted(sharedModels() / "scrfd_500m_kps.onnx"),
                         &log),
              0);
    EXPECT_NE(log.find("--det-channels"), std::string::npos) << log;

    // A recogniser with 256 values per face fails its check and leaves no file behind.
    EXPECT_NE(runCommand(converter() + " --out " + quoted(dir / "b") + " --recognizer " +
                             quoted(syntheticModels() / "short" / "ArcFace.onnx") +
                             " --rec-channels bgr --rec-mean 0 --rec-std 1",
                         &log),
              0);
    EXPECT_NE(log.find("512"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(dir / "b" / "ArcFace.onnx"));
    EXPECT_TRUE(fs::is_empty(dir / "b"));

    // A recogniser is no detector.
    EXPECT_NE(runCommand(converter() + " --out " + quoted(dir / "c") + " --detector " +
                             quoted(sharedModels() / "fr_feature.onnx") +
                             " --det-channels rgb --det-mean 127.5 --det-std 128",
                         &log),
              0);
    EXPECT_NE(log.find("9 outputs"), std::string::npos) << log;

    // Garbage is reported as unreadable.
    EXPECT_NE(runCommand(converter() + " --out " + quoted(dir / "d") + " --recognizer " +
                             quoted(syntheticModels() / "badrec" / "ArcFace.onnx") +
                             " --rec-channels rgb --rec-mean 0 --rec-std 1",
                         &log),
              0);
    EXPECT_NE(log.find("cannot read"), std::string::npos) << log;
}

TEST_F(ModelScripts, ConvertedRecogniserTakesRawBGRAndAnyBatch) {
    // The test recogniser already takes "image": its conversion keeps working, with the input
    // renamed out of the way, and a channel swap with normalisation folded in front. A solid
    // colour c then reaches the original model as (c - mean) / std in the chosen order.
    const TempDir dir;
    std::string log;
    ASSERT_EQ(runCommand(converter() + " --out " + quoted(dir.path()) + " --recognizer " +
                             quoted(syntheticModels() / "decode" / "ArcFace.onnx") +
                             " --rec-channels rgb --rec-mean 10 --rec-std 2",
                         &log),
              0)
        << log;
    FaceEngine converted(dir.path());
    FaceEngine original(syntheticModels() / "decode");
    // The manifest names what was converted, and a later detector conversion keeps that entry.
    EXPECT_EQ(converted.modelName(), "unknown detector + ArcFace \u00b7 ONNX");
    ASSERT_EQ(runCommand(converter() + " --out " + quoted(dir.path()) + " --sizes 640 --detector " +
                             quoted(sharedModels() / "scrfd_500m_kps.onnx") +
                             " --det-channels rgb --det-mean 127.5 --det-std 128",
                         &log),
              0)
        << log;
    EXPECT_EQ(FaceEngine::readModelName(dir.path()), "scrfd_500m_kps + ArcFace \u00b7 ONNX");
    // Blue 30, green 70, red 110: the converted model sees (50, 30, 10) in the original's
    // channel slots; the original sees the raw values.
    BGRAImage raw = testing::solidImage(200, 200, 30, 70, 110);
    BGRAImage swapped = testing::solidImage(200, 200, 50, 30, 10);
    Face face;
    for (const Point p : arcfaceTemplate)
        face.kps.push_back({p.x + 40, p.y + 40});
    std::vector<Face> a = {face, face}, b = {face};
    converted.embed(raw, a);
    original.embed(swapped, b);
    ASSERT_EQ(a[1].embedding.size(), 512u);
    for (int k = 0; k < 512; ++k) {
        ASSERT_NEAR(a[0].embedding[k], b[0].embedding[k], 1e-5) << k;
        ASSERT_EQ(a[1].embedding[k], a[0].embedding[k]) << k;
    }
}

} // namespace
} // namespace tallymere
