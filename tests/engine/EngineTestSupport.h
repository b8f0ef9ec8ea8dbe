#pragma once

#include "engine/BGRAImage.h"
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

inline std::string quoted(const std::filesystem::path& p) {
    std::string s = "'";
    for (const char c : p.string())
        s += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return s + "'";
}

// Runs a shell command with its output kept in `log`; returns the exit status.
inline int runCommand(const std::string& command, std::string* log = nullptr) {
    const TempDir dir;
    const auto out = dir / "out.txt";
    const int status = std::system((command + " >" + quoted(out) + " 2>&1").c_str());
    if (log) {
        std::ifstream in(out);
        *log = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return status == -1 ? -1 : WEXITSTATUS(status);
}

inline std::uint64_t contentHash(const std::vector<std::filesystem::path>& files) {
    std::uint64_t h = 1469598103934665603ull;
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        for (std::istreambuf_iterator<char> it(in), end; it != end; ++it) {
            h ^= static_cast<unsigned char>(*it);
            h *= 1099511628211ull;
        }
        h ^= 0xff;
        h *= 1099511628211ull;
    }
    return h;
}

// A folder made once per build and reused by every test process (each test runs in its own
// process): keyed by the contents of the files it is made from, built in a scratch folder and
// moved into place whole, so concurrent test processes never see half of it.
inline std::filesystem::path
cachedFolder(const std::string& name, const std::vector<std::filesystem::path>& inputs,
             const std::function<bool(const std::filesystem::path&)>& make) {
    namespace fs = std::filesystem;
    const fs::path root = fs::path(TALLYMERE_BINARY_DIR) / "test-cache" / "engine";
    std::ostringstream key;
    key << name << "-" << std::hex << contentHash(inputs);
    const fs::path target = root / key.str();
    if (fs::exists(target)) return target;
    fs::create_directories(root);
    std::random_device rd;
    const fs::path scratch = root / (key.str() + ".making-" + std::to_string(rd()));
    fs::create_directories(scratch);
    if (!make(scratch)) {
        fs::remove_all(scratch);
        return {};
    }
    std::error_code ec;
    fs::rename(scratch, target, ec);
    if (ec) fs::remove_all(scratch); // another process finished first
    return target;
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
