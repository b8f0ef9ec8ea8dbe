// Detection in 32-bit floats against detection in bfloat16 (first layers kept in 32 bits), on the
// shared photos and on sampled frames of recordings, at every detector size: whether the same faces
// are found at the 0.5 threshold, how far boxes and landmarks move, and the processor time of one
// detection each way.
//
// usage: bench_detection_precision MODELS_DIR [--video FILE]... [--frames N]
//   MODELS_DIR  converted models folder (SCRFD640/1280/1920.onnx and ArcFace.onnx)
//   --video     a recording whose frames are compared too (every second, N frames at most)

#include "engine/BGRAImage.h"
#include "engine/FaceEngine.h"
#include "engine/OneDnnRuntime.h"
#include "engine/ThreadWaiting.h"
#include "runs/FrameSource.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

using namespace tallymere;
namespace fs = std::filesystem;

namespace {

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

struct Agreement {
    int images = 0, faces = 0, countDiffers = 0;
    float worstBox = 0, worstLandmark = 0, worstScore = 0;
    double cpu32 = 0, cpu16 = 0;
};

void compare(FaceEngine& f32, FaceEngine& bf16, const BGRAImage& image, int size, Agreement& a) {
    double start = cpuSeconds();
    const auto p = f32.detect(image, size, 0.5f, 1);
    a.cpu32 += cpuSeconds() - start;
    start = cpuSeconds();
    const auto q = bf16.detect(image, size, 0.5f, 1);
    a.cpu16 += cpuSeconds() - start;
    ++a.images;
    a.faces += static_cast<int>(p.size());
    if (p.size() != q.size()) {
        ++a.countDiffers;
        return;
    }
    for (const Face& face : p) {
        // The nearest face of the other run, by box corners.
        float best = 1e30f;
        const Face* match = nullptr;
        for (const Face& other : q) {
            const float d = std::max(
                {std::fabs(face.box.x1 - other.box.x1), std::fabs(face.box.y1 - other.box.y1),
                 std::fabs(face.box.x2 - other.box.x2), std::fabs(face.box.y2 - other.box.y2)});
            if (d < best) {
                best = d;
                match = &other;
            }
        }
        a.worstBox = std::max(a.worstBox, best);
        for (std::size_t k = 0; match && k < face.kps.size(); ++k)
            a.worstLandmark = std::max({a.worstLandmark, std::fabs(face.kps[k].x - match->kps[k].x),
                                        std::fabs(face.kps[k].y - match->kps[k].y)});
        if (match) a.worstScore = std::max(a.worstScore, std::fabs(face.score - match->score));
    }
}

} // namespace

int main(int argc, char** argv) {
    preferPassiveThreadWaiting(argv);
    if (argc < 2) {
        std::cerr << "usage: bench_detection_precision MODELS_DIR [--video FILE]... [--frames N]\n";
        return 2;
    }
    const fs::path models = argv[1];
    std::vector<std::string> videos;
    int maxFrames = 30;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--video" && i + 1 < argc)
            videos.push_back(argv[++i]);
        else if (arg == "--frames" && i + 1 < argc)
            maxFrames = std::atoi(argv[++i]);
    }
    if (!oneDnnHasBf16()) {
        std::cout << "this processor has no bfloat16 instructions: nothing to compare\n";
        return 0;
    }
    setenv("TALLYMERE_RUNTIME", "onednn", 1);
    FaceEngine f32(models, 1), bf16(models, 2);

    std::vector<std::pair<std::string, BGRAImage>> images;
    const fs::path faces = fs::path(TALLYMERE_SHARED_DIR) / "faces";
    for (const auto& entry : fs::recursive_directory_iterator(faces))
        if (entry.is_regular_file() && FrameSource::isStillPath(entry.path()))
            if (auto img = BGRAImage::load(entry.path(), 3000))
                images.emplace_back(entry.path().filename().string(), std::move(*img));
    videos.insert(videos.begin(), (faces / "video" / "stage_clip.mp4").string());
    for (const auto& video : videos) {
        auto source = FrameSource::open({video}, 1.0);
        int n = 0;
        while (auto frame = source.next()) {
            images.emplace_back(fs::path(video).filename().string(), std::move(frame->image));
            if (++n >= maxFrames) break;
        }
    }
    std::printf("%zu pictures (shared photos and frames of %zu recordings)\n", images.size(),
                videos.size());
    std::printf("  size  pictures  faces  count differs  worst box px  worst landmark px  worst "
                "score  cpu ms f32  cpu ms bf16  speed-up\n");
    for (const int size : FaceEngine::detectorSizes) {
        Agreement a;
        for (const auto& [name, image] : images)
            compare(f32, bf16, image, size, a);
        std::printf("  %4d  %8d  %5d  %13d  %12.3f  %17.3f  %11.4f  %10.1f  %11.1f  %7.2fx\n", size,
                    a.images, a.faces, a.countDiffers, a.worstBox, a.worstLandmark, a.worstScore,
                    1000 * a.cpu32 / a.images, 1000 * a.cpu16 / a.images, a.cpu32 / a.cpu16);
    }
    return 0;
}
