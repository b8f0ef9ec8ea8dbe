#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace tallymere::testing {

// The folder of shared test material (models, photos, video) beside the checkout.
inline std::filesystem::path sharedDir() {
    if (const char* env = std::getenv("TALLYMERE_SHARED")) return env;
    return TALLYMERE_SHARED_DIR;
}

inline std::filesystem::path sharedModels() { return sharedDir() / "models"; }
inline std::filesystem::path sharedFaces() { return sharedDir() / "faces"; }

// Skips the current test with a clear message when the shared material is absent.
#define TALLYMERE_REQUIRE_SHARED()                                                                 \
    do {                                                                                           \
        if (!std::filesystem::exists(::tallymere::testing::sharedModels() / "fr_feature.onnx") ||   \
            !std::filesystem::exists(::tallymere::testing::sharedFaces()))                         \
            GTEST_SKIP() << "shared test models and faces not found at "                           \
                         << ::tallymere::testing::sharedDir()                                      \
                         << " (set TALLYMERE_SHARED to the folder holding models/ and faces/)";    \
    } while (0)

// A fresh temporary folder removed with everything in it when the object goes.
class TempDir {
public:
    TempDir() {
        std::random_device rd;
        auto base = std::filesystem::temp_directory_path();
        for (;;) {
            path_ = base / ("tallymere-test-" + std::to_string(rd()));
            if (std::filesystem::create_directory(path_)) break;
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

} // namespace tallymere::testing
