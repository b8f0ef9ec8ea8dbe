// Detection in 32-bit floats against detection in bfloat16, inside the network only (first layers
// and output layers in 32 bits) and throughout, on the shared photos and on sampled frames of
// recordings, at every detector size: whether the same faces are found at the 0.5 threshold, how
// far boxes and landmarks move (in the picture's pixels, and in the detector input's), and the
// processor time of one detection each way. Then what compute units 1 choose.
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
    float worstInputPx = 0; // the worst box or landmark move in detector-input pixels
    double cpu32 = 0, cpu16 = 0;
};

void compare(FaceEngine& f32, FaceEngine& bf16, const BGRAImage& image, int size, Agreement& a) {
    double start = cpuSeconds();
    const auto p = f32.detect(image, size, 0.5f, 1);
    a.cpu32 += cpuSeconds() - start;
    start = cpuSeconds();
    const auto q = bf16.detect(image, size, 0.5f, 1);
    a.cpu16 += cpuSeconds() - start;
    const float scale = image.letterboxGeometry(size).scale;
    float worstHere = 0;
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
        worstHere = std::max(worstHere, best);
        for (std::size_t k = 0; match && k < face.kps.size(); ++k) {
            const float d = std::max(std::fabs(face.kps[k].x - match->kps[k].x),
                                     std::fabs(face.kps[k].y - match->kps[k].y));
            a.worstLandmark = std::max(a.worstLandmark, d);
            worstHere = std::max(worstHere, d);
        }
        if (match) a.worstScore = std::max(a.worstScore, std::fabs(face.score - match->score));
    }
    a.worstInputPx = std::max(a.worstInputPx, worstHere * scale);
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
    FaceEngine f32(models, 0), bf16(models, 0);

    std::vector<std::pair<std::string, BGRAImage>> images;
    const fs::path faces = fs::path(TALLYMERE_SHARED_DIR) / "faces";
    for (const auto& entry : fs::recursive_directory_iterator(faces))
        if (entry.is_regular_file() && FrameSource::isStillPath(entry.path()))
            if (auto img = BGRAImage::load(entry.path(), 3000))
                images.emplace_back("photos", std::move(*img));
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
    const std::pair<Precision, const char*> candidates[] = {{Precision::Interior, "interior"},
                                                            {Precision::Reduced, "reduced"}};
    for (const auto& [precision, precisionName] : candidates) {
        bf16.overrideDetectorPrecision(precision);
        std::printf("bfloat16 %s\n", precisionName);
        std::printf("  size  source                 pictures  faces  count differs  worst box px  "
                    "worst landmark px  worst input px  worst score  cpu ms f32  cpu ms bf16  "
                    "speed-up\n");
        for (const int size : FaceEngine::detectorSizes) {
            // Photos as one source, each recording as its own.
            std::vector<std::string> sources;
            for (const auto& entry : images)
                if (std::find(sources.begin(), sources.end(), entry.first) == sources.end())
                    sources.push_back(entry.first);
            Agreement all;
            auto print = [&](const std::string& source, const Agreement& a) {
                std::printf("  %4d  %-22s %8d  %5d  %13d  %12.3f  %17.3f  %14.3f  %11.4f  %10.1f  "
                            "%11.1f  %7.2fx\n",
                            size, source.c_str(), a.images, a.faces, a.countDiffers, a.worstBox,
                            a.worstLandmark, a.worstInputPx, a.worstScore,
                            1000 * a.cpu32 / a.images, 1000 * a.cpu16 / a.images,
                            a.cpu32 / a.cpu16);
            };
            for (const auto& source : sources) {
                Agreement a;
                for (const auto& [name, image] : images)
                    if (name == source) compare(f32, bf16, image, size, a);
                print(source, a);
                all.images += a.images;
                all.faces += a.faces;
                all.countDiffers += a.countDiffers;
                all.worstBox = std::max(all.worstBox, a.worstBox);
                all.worstLandmark = std::max(all.worstLandmark, a.worstLandmark);
                all.worstInputPx = std::max(all.worstInputPx, a.worstInputPx);
                all.worstScore = std::max(all.worstScore, a.worstScore);
                all.cpu32 += a.cpu32;
                all.cpu16 += a.cpu16;
            }
            print("all", all);
        }
    }
    const Precision chosen = FaceEngine::detectorPrecision(1);
    std::printf("compute units 1 choose: %s\n", chosen == Precision::Full       ? "32-bit"
                                                : chosen == Precision::Interior ? "bfloat16 inside"
                                                                                : "bfloat16");
    return 0;
}
