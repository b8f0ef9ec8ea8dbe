#pragma once

#include "engine/BGRAImage.h"
#include "support/ModelCache.h"
#include "support/TestSupport.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace tallymere::testing {

inline std::filesystem::path sourceDir() {
    return TALLYMERE_SOURCE_DIR;
}

inline std::filesystem::path modelGenerator() {
    return sourceDir() / "tests" / "engine" / "make_test_models.py";
}
inline std::filesystem::path converter() {
    return sourceDir() / "scripts" / "convert-models";
}

// The synthetic models of make_test_models.py, one folder per scenario.
inline std::filesystem::path syntheticModels() {
    static const std::filesystem::path dir =
        cachedFolder("synthetic", {modelGenerator()}, [](const std::filesystem::path& out) {
            std::string log;
            const int rc = runCommand(
                "/usr/bin/python3 " + quoted(modelGenerator()) + " " + quoted(out), &log);
            EXPECT_EQ(rc, 0) << log;
            return rc == 0;
        });
    return dir;
}

// The shared source models converted by scripts/convert-models: "real" holds the SCRFD-2.5GF
// detector at every size and the recogniser; "small" the SCRFD-0.5GF detector at 640 from its
// fixed file, "dynamic" the same from a copy with free height and width (both with the
// recogniser of "real").
inline std::filesystem::path convertedModels() {
    const auto models = sharedModels();
    static const std::filesystem::path dir = cachedFolder(
        "converted",
        {converter(), modelGenerator(), models / "scrfd_2.5g_kps.onnx",
         models / "scrfd_500m_kps.onnx", models / "fr_feature.onnx"},
        [&](const std::filesystem::path& out) {
            const std::string py = "/usr/bin/python3 ";
            const std::string det = " --det-channels rgb --det-mean 127.5 --det-std 128";
            const std::vector<std::string> commands = {
                py + quoted(converter()) + " --out " + quoted(out / "real") + " --detector " +
                    quoted(models / "scrfd_2.5g_kps.onnx") + det + " --recognizer " +
                    quoted(models / "fr_feature.onnx") +
                    " --rec-channels bgr --rec-mean 127.5 --rec-std 127.5",
                py + quoted(converter()) + " --out " + quoted(out / "small") + " --detector " +
                    quoted(models / "scrfd_500m_kps.onnx") + det + " --sizes 640",
                py + quoted(modelGenerator()) + " --dynamic " +
                    quoted(models / "scrfd_500m_kps.onnx") + " " + quoted(out / "dynamic.onnx"),
                py + quoted(converter()) + " --out " + quoted(out / "dynamic") + " --detector " +
                    quoted(out / "dynamic.onnx") + det + " --sizes 640",
            };
            for (const auto& c : commands) {
                std::string log;
                const int rc = runCommand(c, &log);
                EXPECT_EQ(rc, 0) << c << "\n" << log;
                if (rc != 0) return false;
            }
            // The detector-only folders share the recogniser so that an engine opens on them.
            for (const char* folder : {"small", "dynamic"})
                std::filesystem::copy_file(out / "real" / "ArcFace.onnx",
                                           out / folder / "ArcFace.onnx");
            return true;
        });
    return dir;
}

// A solid image of one colour.
inline BGRAImage solidImage(int w, int h, std::uint8_t b, std::uint8_t g, std::uint8_t r,
                            std::uint8_t a = 255) {
    BGRAImage img(w, h);
    for (std::size_t i = 0; i < img.data.size(); i += 4) {
        img.data[i] = b;
        img.data[i + 1] = g;
        img.data[i + 2] = r;
        img.data[i + 3] = a;
    }
    return img;
}

// An image of pseudo-random bytes (alpha included).
inline BGRAImage noiseImage(int w, int h, unsigned seed = 7) {
    BGRAImage img(w, h);
    std::mt19937 rng(seed);
    for (auto& v : img.data)
        v = static_cast<std::uint8_t>(rng() & 0xFF);
    return img;
}

} // namespace tallymere::testing
