#pragma once

#include "support/TestSupport.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace tallymere::testing {

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
    const fs::path root = fs::path(TALLYMERE_BINARY_DIR) / "test-cache";
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
// The shared source models converted by scripts/convert-models into the form the engine reads:
// the detector `detectorFile` of the shared models folder at `sizes` (comma-separated) and the
// shared recogniser, with the pre-processing the models folder's README gives. Made once per
// build and shared by every test process; throws when the conversion fails.
inline std::filesystem::path convertedSharedModels(const std::string& detectorFile,
                                                   const std::string& sizes) {
    namespace fs = std::filesystem;
    const fs::path models = sharedModels();
    const fs::path converter = fs::path(TALLYMERE_SOURCE_DIR) / "scripts" / "convert-models";
    std::string name = "shared-" + fs::path(detectorFile).stem().string() + "-" + sizes;
    for (char& c : name)
        if (c == ',') c = '_';
    const fs::path dir = cachedFolder(
        name, {converter, models / detectorFile, models / "fr_feature.onnx"},
        [&](const fs::path& out) {
            std::string log;
            const int rc = runCommand(
                "/usr/bin/python3 " + quoted(converter) + " --out " + quoted(out) + " --sizes " +
                    sizes + " --detector " + quoted(models / detectorFile) +
                    " --det-channels rgb --det-mean 127.5 --det-std 128 --recognizer " +
                    quoted(models / "fr_feature.onnx") +
                    " --rec-channels bgr --rec-mean 127.5 --rec-std 127.5",
                &log);
            if (rc != 0) ADD_FAILURE() << "converting the shared test models failed:\n" << log;
            return rc == 0;
        });
    if (dir.empty()) throw std::runtime_error("converting the shared test models failed");
    return dir;
}

} // namespace tallymere::testing
