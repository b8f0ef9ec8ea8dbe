// Times the engine's image operations, detection and embedding on the shared test models and
// photos, and for detection and embedding the share spent inside the models' forward passes.
//
// Each figure is a median of wall-clock time and of the process's processor time (all threads).
// On a machine shared with other work the processor time is the steadier measure, so the shares
// of the forward passes are computed from it.
//
// usage: bench_engine [MODELS_DIR...]
// Each MODELS_DIR is a converted models folder; without one the shared source models are converted
// with scripts/convert-models (SCRFD-0.5GF and SCRFD-2.5GF) into a temporary folder first.

#include "engine/Affine.h"
#include "engine/FaceEngine.h"
#include "engine/ThreadWaiting.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace tallymere;

namespace {

struct Timing {
    double wall = 0; // ms
    double cpu = 0;  // ms of processor time, all threads
};

double cpuNow() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

Timing once(const std::function<void()>& work) {
    const double c0 = cpuNow();
    const auto w0 = std::chrono::steady_clock::now();
    work();
    return {
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - w0).count(),
        cpuNow() - c0};
}

Timing median(std::vector<Timing> t) {
    std::vector<double> w, c;
    for (const auto& x : t) {
        w.push_back(x.wall);
        c.push_back(x.cpu);
    }
    std::sort(w.begin(), w.end());
    std::sort(c.begin(), c.end());
    return {w[w.size() / 2], c[c.size() / 2]};
}

Timing measure(const std::function<void()>& work, int reps) {
    work(); // first runs allocate
    std::vector<Timing> t;
    for (int r = 0; r < reps; ++r)
        t.push_back(once(work));
    return median(t);
}

void row(const std::string& what, Timing t, const std::string& extra = "") {
    std::printf("| %-44s | %9.2f | %9.2f | %-48s |\n", what.c_str(), t.wall, t.cpu, extra.c_str());
}

// The forward passes' share of the processor time, and what the rest adds to them.
std::string shares(double forward, double whole) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "forward %.1f%%, outside adds %.1f%%", 100 * forward / whole,
                  100 * (whole - forward) / forward);
    return buf;
}

std::string quoted(const fs::path& p) {
    return "'" + p.string() + "'";
}

bool convert(const fs::path& out, const fs::path& detector) {
    const fs::path shared = TALLYMERE_SHARED_DIR;
    const std::string cmd = "/usr/bin/python3 " +
                            quoted(fs::path(TALLYMERE_SOURCE_DIR) / "scripts" / "convert-models") +
                            " --out " + quoted(out) + " --detector " + quoted(detector) +
                            " --det-channels rgb --det-mean 127.5 --det-std 128 --recognizer " +
                            quoted(shared / "models" / "fr_feature.onnx") +
                            " --rec-channels bgr --rec-mean 127.5 --rec-std 127.5 >/dev/null";
    return std::system(cmd.c_str()) == 0;
}

// The model input the engine builds from pictures: blue, green and red planes of each
// `side` x `side` picture, one after the other.
std::vector<float> planes(const std::vector<BGRAImage>& pictures) {
    std::vector<float> out;
    for (const BGRAImage& p : pictures) {
        const std::size_t n = static_cast<std::size_t>(p.width) * p.height, at = out.size();
        out.resize(at + 3 * n);
        for (std::size_t i = 0; i < n; ++i)
            for (int c = 0; c < 3; ++c)
                out[at + c * n + i] = p.data[4 * i + c];
    }
    return out;
}

// Medians of `whole` and of the forward pass alone on the same input the engine feeds it, timed
// in alternation so that a busy machine slows both alike.
std::pair<Timing, Timing> withForward(const std::function<void()>& whole, const fs::path& model,
                                      std::vector<std::int64_t> shape,
                                      const std::vector<float>& input, int reps) {
    const auto m = loadModel(model, 1);
    const auto forward = [&] { m->run({{"image", shape, input.data()}}); };
    whole();
    forward();
    std::vector<Timing> a, b;
    for (int r = 0; r < reps; ++r) {
        a.push_back(once(whole));
        b.push_back(once(forward));
    }
    return {median(a), median(b)};
}

void benchImages(const BGRAImage& frame, const Face& face) {
    // A 4000 x 3000 JPEG made from a real photo.
    const fs::path tmp = fs::temp_directory_path() / "tallymere-bench-4000x3000.jpg";
    cv::Mat big;
    cv::resize(frame.mat(), big, cv::Size(4000, 3000), 0, 0, cv::INTER_CUBIC);
    cv::cvtColor(big, big, cv::COLOR_BGRA2BGR);
    cv::imwrite(tmp.string(), big, {cv::IMWRITE_JPEG_QUALITY, 90});
    row("load 4000x3000 JPEG, maxSide 3000", measure([&] { BGRAImage::load(tmp, 3000); }, 5));
    row("load 4000x3000 JPEG, maxSide 1000 (reduced)",
        measure([&] { BGRAImage::load(tmp, 1000); }, 5));
    fs::remove(tmp);

    row("letterboxed 1920x1080 to 1280", measure([&] { frame.letterboxed(1280); }, 20));
    const Affine m = Affine::similarity(face.kps, arcfaceTemplate);
    row("warpAffine 112x112 + laplacianVariance",
        measure([&] { frame.warpAffine(112, 112, m).laplacianVariance(); }, 200));
}

void benchDetection(FaceEngine& engine, const BGRAImage& frame, const std::string& label) {
    for (const int size : {640, 1280, 1920}) {
        const auto input = planes({frame.letterboxed(size)->first});
        const auto [total, forward] =
            withForward([&] { engine.detect(frame, size, 0.5f, 1); },
                        engine.modelsDir() / ("SCRFD" + std::to_string(size) + ".onnx"),
                        {1, 3, size, size}, input, 7);
        row(label + " detect " + std::to_string(size), total, shares(forward.cpu, total.cpu));
    }
    const auto input = planes({frame.letterboxed(640)->first});
    const auto [tiled, forward640] =
        withForward([&] { engine.detect(frame, 640, 0.5f, 2); },
                    engine.modelsDir() / "SCRFD640.onnx", {1, 3, 640, 640}, input, 5);
    row(label + " detect 640, tiles 2 (5 passes)", tiled, shares(5 * forward640.cpu, tiled.cpu));
}

void benchEmbedding(FaceEngine& engine, const BGRAImage& frame, const Face& face) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> jitter(-3, 3);
    auto faces = [&](int n) {
        std::vector<Face> list;
        for (int i = 0; i < n; ++i) {
            Face f = face;
            for (Point& p : f.kps)
                p = {p.x + jitter(rng), p.y + jitter(rng)};
            list.push_back(f);
        }
        return list;
    };
    Timing single;
    for (const int n : {1, 8, 32}) {
        const auto list = faces(n);
        std::vector<BGRAImage> crops;
        for (const Face& f : list)
            crops.push_back(frame.warpAffine(112, 112, Affine::similarity(f.kps, arcfaceTemplate)));
        const auto input = planes(crops);
        const auto [total, forward] = withForward(
            [&] {
                auto copy = list;
                engine.embed(frame, copy);
            },
            engine.modelsDir() / "ArcFace.onnx", {n, 3, 112, 112}, input, n == 32 ? 5 : 9);
        char extra[128];
        std::snprintf(extra, sizeof extra, "%.0f faces/s; %s", 1000.0 * n / total.wall,
                      shares(forward.cpu, total.cpu).c_str());
        row("embed " + std::to_string(n) + (n == 1 ? " face" : " faces (one batch)"), total, extra);
        if (n == 1) single = total;
        if (n == 8) {
            // Eight separate calls, timed as such rather than multiplied.
            const auto one = faces(1);
            const Timing separate = measure(
                [&] {
                    for (int k = 0; k < 8; ++k) {
                        auto copy = one;
                        engine.embed(frame, copy);
                    }
                },
                5);
            char cmp[96];
            std::snprintf(cmp, sizeof cmp, "%.0f faces/s; 8 x one call: %.1f ms CPU",
                          8000.0 / separate.wall, 8 * single.cpu);
            row("embed 8 faces as 8 single calls", separate, cmp);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    preferPassiveThreadWaiting(argv);
    const fs::path shared = TALLYMERE_SHARED_DIR;
    std::vector<std::pair<std::string, fs::path>> folders;
    std::unique_ptr<fs::path, void (*)(fs::path*)> scratch(nullptr, [](fs::path* p) {
        std::error_code ec;
        fs::remove_all(*p, ec);
        delete p;
    });
    if (argc > 1) {
        for (int i = 1; i < argc; ++i)
            folders.push_back({fs::path(argv[i]).filename(), argv[i]});
    } else {
        scratch.reset(new fs::path(fs::temp_directory_path() /
                                   ("tallymere-bench-models-" + std::to_string(::getpid()))));
        std::printf("converting the shared models into %s ...\n", scratch->c_str());
        for (const auto& [label, file] : {std::pair{"SCRFD-0.5GF", "scrfd_500m_kps.onnx"},
                                          std::pair{"SCRFD-2.5GF", "scrfd_2.5g_kps.onnx"}}) {
            const fs::path out = *scratch / label;
            if (!convert(out, shared / "models" / file)) {
                std::fprintf(stderr, "conversion of %s failed\n", file);
                return 1;
            }
            folders.push_back({label, out});
        }
    }

    const auto frame = BGRAImage::load(shared / "faces" / "sizes" / "obama-1080p.jpg", 3000);
    if (!frame) {
        std::fprintf(stderr, "shared photos not found under %s\n", shared.c_str());
        return 1;
    }
    std::printf("%u hardware threads, OpenCV %s with %d threads\n\n",
                std::thread::hardware_concurrency(), CV_VERSION, cv::getNumThreads());
    std::printf("| %-44s | %9s | %9s | %-48s |\n", "operation", "wall ms", "CPU ms", "notes");
    std::printf("|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(11, '-').c_str(),
                std::string(11, '-').c_str(), std::string(50, '-').c_str());

    bool imagesDone = false;
    for (const auto& [label, dir] : folders) {
        FaceEngine engine(dir);
        const auto faces = engine.detect(*frame, 640, 0.5f, 1);
        if (faces.empty()) {
            std::fprintf(stderr, "no face found in the benchmark frame with %s\n", dir.c_str());
            return 1;
        }
        if (!imagesDone) {
            benchImages(*frame, faces[0]);
            benchEmbedding(engine, *frame, faces[0]);
            imagesDone = true;
        }
        benchDetection(engine, *frame, label);
    }
    return 0;
}
