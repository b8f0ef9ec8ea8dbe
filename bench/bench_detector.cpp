// The engine's whole detect call (letterbox, forward pass, decoding) at each detector size, on a
// 1080p frame: median wall-clock milliseconds of repeated calls after one warm-up. Written to be
// run beside another runtime's forward pass by bench/versus-onnxruntime.
//
// usage: bench_detector MODELS_DIR [--size N]... [--seconds S]
//   MODELS_DIR  converted models folder (SCRFD640/1280/1920.onnx and ArcFace.onnx)
//   --size      a detector size (default 640, 1280 and 1920)
//   --seconds   about how long each size is timed (default 3)
// Prints one line per size: "detect SIZE MS CALLS PRECISION".

#include "engine/BGRAImage.h"
#include "engine/FaceEngine.h"
#include "engine/ThreadWaiting.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace tallymere;
namespace fs = std::filesystem;

namespace {

const char* precisionName(Precision p) {
    switch (p) {
    case Precision::Full:
        return "fp32";
    case Precision::Interior:
        return "bf16-interior";
    case Precision::Reduced:
        return "bf16";
    }
    return "?";
}

} // namespace

int main(int argc, char** argv) {
    preferPassiveThreadWaiting(argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_detector MODELS_DIR [--size N]... [--seconds S]\n");
        return 2;
    }
    std::vector<int> sizes;
    double seconds = 3;
    for (int k = 2; k + 1 < argc; k += 2) {
        const std::string a = argv[k];
        if (a == "--size") sizes.push_back(std::atoi(argv[k + 1]));
        if (a == "--seconds") seconds = std::atof(argv[k + 1]);
    }
    if (sizes.empty()) sizes = {640, 1280, 1920};
    const fs::path photo = fs::path(TALLYMERE_SHARED_DIR) / "faces" / "sizes" / "obama-1080p.jpg";
    const auto image = BGRAImage::load(photo, 1920);
    if (!image) {
        std::fprintf(stderr, "cannot read %s\n", photo.c_str());
        return 1;
    }
    FaceEngine engine(fs::path(argv[1]), std::nullopt);
    for (const int size : sizes) {
        std::size_t found = engine.detect(*image, size, 0.5f, 1).size();
        std::vector<double> ms;
        double total = 0;
        while (ms.size() < 5 || (total < seconds * 1000 && ms.size() < 200)) {
            const auto t0 = std::chrono::steady_clock::now();
            found = engine.detect(*image, size, 0.5f, 1).size();
            ms.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                    .count());
            total += ms.back();
        }
        std::sort(ms.begin(), ms.end());
        std::printf("detect %d %.2f %zu %s faces=%zu\n", size, ms[ms.size() / 2], ms.size(),
                    precisionName(FaceEngine::detectorPrecision(1)), found);
        std::fflush(stdout);
    }
    return 0;
}
