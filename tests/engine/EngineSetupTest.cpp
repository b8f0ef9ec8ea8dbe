#include "EngineTestSupport.h"
#include "engine/FaceEngine.h"
#include "engine/ModelsLocation.h"

#include <cstdlib>
#include <fstream>
#include <thread>

// Finding the models directory, the engine's error, loading and caching detectors.

namespace tallymere {
namespace {

namespace fs = std::filesystem;
using testing::solidImage;
using testing::syntheticModels;
using testing::TempDir;

void touch(const fs::path& p) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "x";
}

TEST(ModelsDirectorySearch, EnvironmentAloneThenBuildTreeUserFolderAndShare) {
    const TempDir dir;
    const fs::path exe = dir / "prefix" / "bin";
    const fs::path user = dir / "data" / "tallymere" / "models";
    const fs::path share = dir / "prefix" / "share" / "tallymere" / "models";
    const auto search = [&](const char* variable) {
        return ModelsLocation::search(variable, (dir / "data").c_str(), "/home/u", exe);
    };
    // The environment's folder is the only one, used as it stands.
    touch(share / "ArcFace.onnx");
    ModelsLocation found = search("/no/such/models");
    EXPECT_EQ(found.searched, std::vector<fs::path>{"/no/such/models"});
    EXPECT_EQ(found.directory, "/no/such/models");
    EXPECT_EQ(found.userFolder, "/no/such/models");
    EXPECT_FALSE(found.found);
    // An empty variable counts as unset.
    found = search("");
    EXPECT_EQ(found.searched, (std::vector<fs::path>{user, share, "/usr/share/tallymere/models"}));
    EXPECT_EQ(found.directory, share);
    EXPECT_TRUE(found.found);
    // The user's folder before the installed one.
    touch(user / "ArcFace.onnx");
    EXPECT_EQ(search(nullptr).directory, user);
    // A build tree's models before both, and named only there.
    touch(dir / "prefix" / "Compiled" / "ArcFace.onnx");
    found = search(nullptr);
    EXPECT_EQ(found.directory, dir / "prefix" / "Compiled");
    EXPECT_EQ(found.searched.size(), 4u);
    EXPECT_EQ(found.userFolder, user);
}

TEST(ModelsDirectorySearch, UserFolderFollowsTheDataHomeAndNothingFoundNamesEveryFolder) {
    const fs::path exe = "/usr/bin";
    // No data home, or a relative one: ~/.local/share. The program's own share folder is
    // /usr/share, named once.
    for (const char* dataHome : {static_cast<const char*>(nullptr), "", "relative/data"}) {
        const ModelsLocation none = ModelsLocation::search(nullptr, dataHome, "/home/u", exe);
        EXPECT_FALSE(none.found);
        EXPECT_EQ(none.directory, "/home/u/.local/share/tallymere/models");
        EXPECT_EQ(none.missingText(),
                  "Face models not found in /home/u/.local/share/tallymere/models or "
                  "/usr/share/tallymere/models. Get them with: tallymere-cli get-models");
    }
    const ModelsLocation elsewhere =
        ModelsLocation::search(nullptr, "/data", nullptr, "/opt/t/bin");
    EXPECT_EQ(elsewhere.missingText(),
              "Face models not found in /data/tallymere/models, /opt/t/share/tallymere/models or "
              "/usr/share/tallymere/models. Get them with: tallymere-cli get-models");
}

TEST(ModelsDirectorySearch, BuildTreeWalksUpAtMostSixLevels) {
    const TempDir dir;
    const fs::path exe = dir / "a" / "b" / "c" / "d" / "e" / "f";
    fs::create_directories(exe);
    const auto directory = [&] {
        return ModelsLocation::search(nullptr, (dir / "data").c_str(), nullptr, exe).directory;
    };
    // "Compiled" beside the top folder "a" is seven levels up from f: not found.
    touch(dir / "Compiled" / "ArcFace.onnx");
    EXPECT_EQ(directory(), dir / "data" / "tallymere" / "models");
    // In "a", six levels up counting f itself: found.
    touch(dir / "a" / "Compiled" / "ArcFace.onnx");
    EXPECT_EQ(directory(), dir / "a" / "Compiled");
    // The nearest wins; a "Compiled" without the recogniser does not count.
    touch(dir / "a" / "b" / "c" / "d" / "Compiled" / "SCRFD640.onnx");
    touch(dir / "a" / "b" / "c" / "Compiled" / "ArcFace.onnx");
    EXPECT_EQ(directory(), dir / "a" / "b" / "c" / "Compiled");
}

TEST(ModelsDirectorySearch, DefaultReadsTheEnvironment) {
    ::setenv("ATTENDANCE_MODELS", "/somewhere/models", 1);
    const fs::path chosen = FaceEngine::defaultModelsDirectory();
    ::unsetenv("ATTENDANCE_MODELS");
    EXPECT_EQ(chosen, fs::path("/somewhere/models"));
}

TEST(EngineCreation, MissingRecogniserIsTheEngineError) {
    const TempDir dir;
    touch(dir / "SCRFD640.onnx");
    try {
        FaceEngine engine(dir.path());
        FAIL() << "created without models";
    } catch (const EngineError& e) {
        EXPECT_EQ(std::string(e.what()), "Face models not found in " + dir.path().string());
        EXPECT_EQ(e.modelsDirectory(), dir.path());
    }
    // The environment's directory is used as it stands, without falling back elsewhere; the
    // searching engine's text says how to get the models.
    ::setenv("ATTENDANCE_MODELS", (dir / "nothing").c_str(), 1);
    try {
        FaceEngine engine;
        FAIL() << "created without models";
    } catch (const EngineError& e) {
        EXPECT_EQ(std::string(e.what()), "Face models not found in " + (dir / "nothing").string() +
                                             ". Get them with: tallymere-cli get-models");
        EXPECT_EQ(e.modelsDirectory(), dir / "nothing");
    }
    ::unsetenv("ATTENDANCE_MODELS");
}

TEST(EngineCreation, UnreadableRecogniserPassesTheRuntimeErrorOn) {
    try {
        FaceEngine engine(syntheticModels() / "badrec");
        FAIL() << "loaded a garbage recogniser";
    } catch (const EngineError&) {
        FAIL() << "a present but unreadable model is not 'models not found'";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()), "");
    }
}

TEST(EngineCreation, ModelNameAndDirectory) {
    EXPECT_EQ(modelName, "InsightFace buffalo_l (SCRFD-10G + ArcFace R50) \xC2\xB7 ONNX");
    FaceEngine engine(syntheticModels() / "single", 2);
    EXPECT_EQ(engine.modelsDir(), syntheticModels() / "single");
}

TEST(EngineCreation, ModelNameComesFromTheFolderManifest) {
    const TempDir dir;
    const std::string fallback(modelName);
    EXPECT_EQ(FaceEngine::readModelName(dir.path()), fallback); // converted before manifests
    EXPECT_EQ(FaceEngine(syntheticModels() / "single", 2).modelName(), fallback);
    const auto manifest = [&](const std::string& text) {
        std::ofstream(dir / "models.json") << text;
        return FaceEngine::readModelName(dir.path());
    };
    EXPECT_EQ(manifest("{\"name\": \"scrfd_2.5g_kps + fr_feature \u00b7 ONNX\"}"),
              "scrfd_2.5g_kps + fr_feature \u00b7 ONNX");
    EXPECT_EQ(manifest("{\"name\": \"\"}"), fallback);
    EXPECT_EQ(manifest("{\"name\": 7}"), fallback);
    EXPECT_EQ(manifest("[\"name\"]"), fallback);
    EXPECT_EQ(manifest("{\"name\": \"cut"), fallback);
}

TEST(DetectorCache, MissingSizeFailsEachTimeWithoutHarmingOthers) {
    FaceEngine engine(syntheticModels() / "no1920");
    const BGRAImage img = solidImage(64, 64, 0, 0, 0);
    EXPECT_ANY_THROW(engine.detectOnce(img, 1920, 0.5f));
    EXPECT_ANY_THROW(engine.detect(img, 1700, 0.5f, 2));
    EXPECT_EQ(engine.detectOnce(img, 1280, 0.5f).size(), 1u);
    EXPECT_ANY_THROW(engine.detectOnce(img, 1920, 0.5f));
}

TEST(DetectorCache, CorruptFilesFailAndAreRetried) {
    FaceEngine engine(syntheticModels() / "corrupt");
    const BGRAImage img = solidImage(64, 64, 0, 0, 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            engine.detectOnce(img, 640, 0.5f);
            ADD_FAILURE() << "garbage detector ran";
        } catch (const EngineError&) {
            ADD_FAILURE() << "a corrupt model is the runtime's error, not missing models";
        } catch (const std::exception&) {
        }
        EXPECT_ANY_THROW(engine.detectOnce(img, 1280, 0.5f)); // truncated file
    }
}

TEST(DetectorCache, OneModelPerSizeSharedByConcurrentFirstUses) {
    FaceEngine engine(syntheticModels() / "single");
    Model* seen[4] = {};
    std::vector<std::thread> threads;
    for (int k = 0; k < 4; ++k)
        threads.emplace_back([&, k] { seen[k] = &engine.detector(k % 2 ? 1300 : 1280); });
    for (auto& t : threads)
        t.join();
    for (int k = 1; k < 4; ++k)
        EXPECT_EQ(seen[k], seen[0]);
    EXPECT_NE(&engine.detector(640), seen[0]);
    EXPECT_EQ(&engine.detector(900), &engine.detector(640));
}

TEST(DetectorCache, ConcurrentDetectionGivesTheSerialResult) {
    // Each model takes one forward pass at a time; callers on many threads all get the right
    // answer.
    FaceEngine engine(syntheticModels() / "decode");
    const BGRAImage img = solidImage(1920, 1080, 0, 0, 0);
    const auto expected = engine.detectOnce(img, 640, 0.5f);
    std::vector<std::vector<Face>> results(6);
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < results.size(); ++k)
        threads.emplace_back([&, k] {
            for (int r = 0; r < 3; ++r)
                results[k] = engine.detectOnce(img, 640, 0.5f);
        });
    for (auto& t : threads)
        t.join();
    for (const auto& r : results) {
        ASSERT_EQ(r.size(), expected.size());
        for (std::size_t i = 0; i < r.size(); ++i)
            EXPECT_EQ(r[i].box, expected[i].box);
    }
}

} // namespace
} // namespace tallymere
