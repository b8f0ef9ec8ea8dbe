// Processing-run benchmark: the offline run over the shared recording and over a long 1080p test
// recording (made with ffmpeg here, never stored), in each processing mode. Prints, per run, the
// real-time factor (recording seconds per wall second), the share of wall time spent in model
// inference, decoding, image preparation and recognition logic, and the peak resident memory.
//
// usage: bench_runs [--models DIR] [--minutes M] [--modes quick,standard,thorough] [--no-shared]
//                   [--no-long] [--keep DIR] [--video FILE]...
//   --models   converted models folder (default: the shared test models, converted once into a
//              temporary folder with scripts/convert-models)
//   --minutes  length of the long 1080p recording (default 10)
//   --keep     folder in which to make (or reuse) the long recording instead of a temporary one
//   --video    a recording of your own to run as well (may be given more than once)
//
// The run is the service processor's loop exactly (decoding ahead on its own thread, analysis,
// session), with a clock around each step. Inference inside detection and embedding is measured
// by running the same models on inputs of the same shapes as many times as the run did; image
// preparation is the rest of detection and embedding (letterboxing, input planes, alignment,
// sharpness, decoding of the model outputs). Decoding is measured by a separate pass that only
// pulls the frame source (every frame decoded, kept frames converted to BGRA); in the run it
// overlaps the analysis, so the run's own wait for frames is shown beside it.

#include "engine/FaceEngine.h"
#include "engine/ModelRuntime.h"
#include "engine/ThreadWaiting.h"
#include "library/Library.h"
#include "library/ProcessSettings.h"
#include "runs/AttendanceSession.h"
#include "runs/FrameReadAhead.h"
#include "runs/FrameSource.h"
#include "runs/ServiceProcessor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace tallymere;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Processor time of the whole process (every thread), or of the calling thread, in seconds: less
// disturbed than wall time when other programs share the machine.
double cpuSeconds(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}
double threadCpu() {
    return cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
}

std::string quoted(const fs::path& p) {
    return "'" + p.string() + "'";
}

bool sh(const std::string& command) {
    std::cerr << "+ " << command << "\n";
    return std::system(command.c_str()) == 0;
}

// Peak resident memory of this process in MiB, since the last reset.
double peakMiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0;
}
void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

struct Figures {
    std::string video, mode;
    double recording = 0; // seconds of recording
    int frames = 0, faces = 0;
    double wall = 0, inference = 0, detectEmbed = 0, recognition = 0, waitForFrames = 0;
    double decodePass = 0;
    double peak = 0;
    // Processor seconds: the whole run, decoding alone, inference, recognition logic.
    double cpuRun = 0, cpuDecode = 0, cpuInference = 0, cpuRecognition = 0;
};

// Median of `n` timed calls.
struct Timed {
    double wall = 0, cpu = 0;
};
template <typename F>
Timed medianSeconds(int n, F f) {
    std::vector<double> wall, cpu;
    for (int i = 0; i < n; ++i) {
        const auto start = Clock::now();
        const double c = cpuSeconds();
        f();
        wall.push_back(since(start));
        cpu.push_back(cpuSeconds() - c);
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

Figures runOnce(FaceEngine& engine, const Library& library, const std::vector<Member>& members,
                const fs::path& video, ProcessSettings::Mode mode) {
    const ProcessSettings s = ProcessSettings::preset(mode);
    Figures f;
    f.video = video.filename().string();
    f.mode = std::string(mode.rawValue());

    // Decoding alone.
    {
        auto start = Clock::now();
        const double c = cpuSeconds();
        auto source = FrameSource::open({video.string()}, s.sampleFPS);
        while (source.next()) {
        }
        f.decodePass = since(start);
        f.cpuDecode = cpuSeconds() - c;
    }

    // The run, as the service processor does it, with a clock around each step.
    resetPeak();
    std::vector<int> batches;
    int frameWidth = 0, frameHeight = 0;
    const auto start = Clock::now();
    const double cpuStart = cpuSeconds();
    auto source = FrameSource::open({video.string()}, s.sampleFPS);
    AttendanceSession session(members, library, s, source.isStill());
    {
        FrameReadAhead frames(source, ServiceProcessor::defaultReadAhead);
        for (;;) {
            auto t0 = Clock::now();
            auto frame = frames.next();
            f.waitForFrames += since(t0);
            if (!frame) break;
            if (frameWidth == 0) {
                frameWidth = frame->image.width;
                frameHeight = frame->image.height;
            }
            t0 = Clock::now();
            std::vector<Face> faces = engine.detect(frame->image, s.detectorSize, 0.5f, s.tiles);
            std::erase_if(faces, [&](const Face& x) { return x.width() < s.minFacePx; });
            engine.embed(frame->image, faces);
            f.detectEmbed += since(t0);
            if (!faces.empty()) batches.push_back(static_cast<int>(faces.size()));
            f.faces += static_cast<int>(faces.size());
            t0 = Clock::now();
            const double c = threadCpu();
            session.ingest(faces, frame->time, frame->index);
            f.cpuRecognition += threadCpu() - c;
            f.recognition += since(t0);
            ++f.frames;
        }
    }
    const fs::path serviceDir = library.serviceDir("bench");
    auto t0 = Clock::now();
    const double c = threadCpu();
    session.finish(serviceDir, source.duration(), since(start), false);
    f.cpuRecognition += threadCpu() - c;
    f.recognition += since(t0);
    f.wall = since(start);
    f.cpuRun = cpuSeconds() - cpuStart;
    f.peak = peakMiB();
    f.recording = source.duration();

    // Inference: the same models on inputs of the same shapes, as often as the run used them.
    const int side = FaceEngine::effectiveDetectorSize(s.detectorSize);
    const int passes = s.tiles >= 2 ? 1 + s.tiles * s.tiles : 1;
    std::vector<float> detInput(static_cast<std::size_t>(3) * side * side, 0.0f);
    Model& detector = engine.detector(s.detectorSize);
    const Timed perDetect = medianSeconds(5, [&] {
        detector.run({{"image", {1, 3, side, side}, detInput.data()}});
    });
    f.inference = perDetect.wall * passes * f.frames;
    f.cpuInference = perDetect.cpu * passes * f.frames;
    // Frames smaller than the detector size are searched a second time without enlargement.
    const int unenlarged =
        frameWidth > 0
            ? FaceEngine::unenlargedDetectorSize(BGRAImage(frameWidth, frameHeight), s.detectorSize)
            : side;
    if (unenlarged != side) {
        std::vector<float> input(static_cast<std::size_t>(3) * unenlarged * unenlarged, 0.0f);
        Model& second = engine.detector(unenlarged);
        const Timed perPass = medianSeconds(5, [&] {
            second.run({{"image", {1, 3, unenlarged, unenlarged}, input.data()}});
        });
        f.inference += perPass.wall * f.frames;
        f.cpuInference += perPass.cpu * f.frames;
    }
    // The recogniser as the engine loads it (compute units 2 by default).
    static std::unique_ptr<Model> recognizer = loadModel(engine.modelsDir() / "ArcFace.onnx", 2);
    std::map<int, Timed> perBatch;
    for (int b : batches) {
        if (!perBatch.count(b)) {
            std::vector<float> input(static_cast<std::size_t>(b) * 3 * 112 * 112, 0.5f);
            perBatch[b] = medianSeconds(3, [&] {
                recognizer->run({{"image", {b, 3, 112, 112}, input.data()}});
            });
        }
        f.inference += perBatch[b].wall;
        f.cpuInference += perBatch[b].cpu;
    }
    return f;
}

void print(const Figures& f) {
    const double prep = std::max(0.0, f.detectEmbed - f.inference);
    auto pct = [&](double x) { return 100.0 * x / f.wall; };
    std::printf("%s %s: %.1f s of recording, %d frames, %d faces; wall %.1f s, real-time factor "
                "%.2f; peak memory %.0f MiB\n",
                f.video.c_str(), f.mode.c_str(), f.recording, f.frames, f.faces, f.wall,
                f.recording / f.wall, f.peak);
    std::printf("  wall:      inference %5.1f%%  image preparation %5.1f%%  recognition %5.1f%%  "
                "waiting for frames %5.1f%%  (decoding alone %.1f s, overlapped)\n",
                pct(f.inference), pct(prep), pct(f.recognition), pct(f.waitForFrames),
                f.decodePass);
    const double cpuPrep =
        std::max(0.0, f.cpuRun - f.cpuInference - f.cpuDecode - f.cpuRecognition);
    auto cpct = [&](double x) { return 100.0 * x / f.cpuRun; };
    std::printf("  processor: %.1f s in all; inference %5.1f%%  decoding %5.1f%%  image "
                "preparation %5.1f%%  recognition %5.1f%%; outside inference +%.1f%% over "
                "inference\n",
                f.cpuRun, cpct(f.cpuInference), cpct(f.cpuDecode), cpct(cpuPrep),
                cpct(f.cpuRecognition), 100.0 * (f.cpuRun - f.cpuInference) / f.cpuInference);
    std::fflush(stdout);
}

// A long 1080p recording: ten seconds of the shared clip (or a test pattern) scaled up and
// encoded once, then repeated without re-encoding.
fs::path makeLongVideo(const fs::path& folder, int minutes, const fs::path& clip) {
    const fs::path out = folder / ("long-1080p-" + std::to_string(minutes) + "min.mp4");
    if (fs::exists(out)) return out;
    const fs::path chunk = folder / "chunk-1080p.mp4";
    const std::string input = fs::exists(clip)
                                  ? "-i " + quoted(clip)
                                  : std::string("-f lavfi -i testsrc2=size=1920x1080:rate=30");
    if (!fs::exists(chunk) &&
        !sh("ffmpeg -nostdin -v error -y " + input +
            " -t 10 -vf scale=1920:1080:flags=bicubic -an -c:v libx264 -preset veryfast -crf 23 "
            "-pix_fmt yuv420p " +
            quoted(chunk)))
        return {};
    if (!sh("ffmpeg -nostdin -v error -y -stream_loop -1 -i " + quoted(chunk) + " -t " +
            std::to_string(minutes * 60) + " -c copy " + quoted(out)))
        return {};
    return out;
}

} // namespace

int main(int argc, char** argv) {
    preferPassiveThreadWaiting(argv);
    fs::path models, keep;
    std::vector<fs::path> ownVideos;
    int minutes = 10;
    bool shared = true, longVideo = true;
    std::vector<ProcessSettings::Mode> modes(ProcessSettings::Mode::allCases.begin(),
                                             ProcessSettings::Mode::allCases.end());
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << a << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--models") {
            models = value();
        } else if (a == "--minutes") {
            minutes = std::stoi(value());
        } else if (a == "--keep") {
            keep = value();
        } else if (a == "--video") {
            ownVideos.push_back(value());
        } else if (a == "--no-shared") {
            shared = false;
        } else if (a == "--no-long") {
            longVideo = false;
        } else if (a == "--modes") {
            modes.clear();
            std::stringstream list(value());
            for (std::string m; std::getline(list, m, ',');) {
                auto mode = ProcessSettings::Mode::fromRawValue(m);
                if (!mode) {
                    std::cerr << "unknown mode " << m << "\n";
                    return 2;
                }
                modes.push_back(*mode);
            }
        } else {
            std::cerr << "usage: bench_runs [--models DIR] [--minutes M] [--modes LIST] "
                         "[--no-shared] [--no-long] [--keep DIR] [--video FILE]...\n";
            return 2;
        }
    }

    std::random_device rd;
    const fs::path scratch =
        fs::temp_directory_path() / ("tallymere-bench-" + std::to_string(rd()));
    fs::create_directories(scratch);
    const fs::path sharedDir = TALLYMERE_SHARED_DIR;
    const fs::path clip = sharedDir / "faces" / "video" / "stage_clip.mp4";
    if (models.empty()) {
        models = scratch / "models";
        const fs::path src = sharedDir / "models";
        if (!sh("/usr/bin/python3 " +
                quoted(fs::path(TALLYMERE_SOURCE_DIR) / "scripts/convert-models") + " --out " +
                quoted(models) + " --detector " + quoted(src / "scrfd_2.5g_kps.onnx") +
                " --det-channels rgb --det-mean 127.5 --det-std 128 --recognizer " +
                quoted(src / "fr_feature.onnx") +
                " --rec-channels bgr --rec-mean 127.5 --rec-std 127.5 >/dev/null")) {
            std::cerr << "could not convert the shared models; pass --models DIR\n";
            return 1;
        }
    }

    FaceEngine engine(models);
    Library library(scratch / "library");
    // Six members with unrelated embeddings: matching costs as with a real gallery of that size.
    std::vector<Member> members;
    std::mt19937 rng(7);
    std::normal_distribution<float> normal;
    for (int m = 0; m < 6; ++m) {
        Member member;
        member.id = "M000" + std::to_string(m + 1);
        member.name = "Member " + std::to_string(m + 1);
        for (int p = 0; p < 2; ++p) {
            Photo photo("p" + std::to_string(p) + ".jpg", {});
            photo.ok = photo.checked = true;
            std::vector<float> e(512);
            for (float& x : e)
                x = normal(rng);
            photo.embedding = normalized(e);
            member.photos.push_back(photo);
        }
        members.push_back(member);
    }
    {
        // Warm-up: load every detector the chosen modes need.
        BGRAImage blank(64, 64);
        for (auto mode : modes)
            engine.detect(blank, ProcessSettings::preset(mode).detectorSize, 0.5f, 1);
    }
    std::printf("models: %s (runtime %s), read-ahead %zu frames, %u hardware threads\n",
                models.string().c_str(), engine.detector(640).runtimeName().c_str(),
                ServiceProcessor::defaultReadAhead, std::thread::hardware_concurrency());

    std::vector<fs::path> videos;
    if (shared && fs::exists(clip)) videos.push_back(clip);
    if (longVideo) {
        const fs::path folder = keep.empty() ? scratch : keep;
        fs::create_directories(folder);
        const fs::path made = makeLongVideo(folder, minutes, clip);
        if (made.empty()) {
            std::cerr << "could not make the long recording\n";
            return 1;
        }
        videos.push_back(made);
    }
    videos.insert(videos.end(), ownVideos.begin(), ownVideos.end());
    for (const auto& video : videos)
        for (auto mode : modes)
            print(runOnce(engine, library, members, video, mode));

    std::error_code ec;
    fs::remove_all(scratch, ec);
    return 0;
}
