// Whole standard-mode runs on a crowded 1080p recording, once per model runtime, side by side.
//
// The recording is made here: every face found in the shared people and group photos is cropped,
// and the crops are laid out as a grid of 8 x 6 = 48 faces on a 1920 x 1080 frame. Each face
// drifts within its cell on its own slow path, so the tracker follows moving faces as it would in
// a real congregation. The frames are encoded with ffmpeg (H.264) into a scratch folder.
//
// Everyone in the shared people folder is enrolled under each runtime; then the service processor
// runs the recording with the standard settings, exactly as the tool does. Per run it prints the
// wall time, the real-time factor (recording seconds per wall second), processor time, and the
// register in short, so that the runtimes' registers can be compared. Then, with the oneDNN
// runtime, it runs the recording with every face embedded (reembedSeconds 0) and with the
// standard interval, alternating, and prints the median wall time of each, the share of faces
// embedded and whether the registers agree.
//
// usage: bench_crowd [--seconds S] [--runs N] [--skip-r50] [--skip-opencv] [--grid CxR]
//                    [--keep DIR]
//   --seconds  length of the recording (default 20)
//   --runs     runs of each interval (default 3)
//   --skip-r50 only the shared test models; otherwise also with the recogniser replaced by a
//              random-weight IResNet-50 of the product recogniser's shape (bench/make_iresnet50.py)
//   --keep     folder in which to make (or reuse) the recording and converted models
//   --grid     columns x rows of faces, e.g. 16x14 (default 8x6)
//   --skip-opencv  only the oneDNN runtime (OpenCV's takes minutes with the IResNet-50)

#include "engine/BGRAImage.h"
#include "engine/FaceEngine.h"
#include "engine/ThreadWaiting.h"
#include "library/Library.h"
#include "library/ProcessSettings.h"
#include "recognition/Enroller.h"
#include "runs/ServiceProcessor.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace tallymere;
namespace fs = std::filesystem;

namespace {

constexpr int frameWidth = 1920, frameHeight = 1080, fps = 25;
// The grid (--grid); the crops leave a fifth of each cell to drift in.
int columns = 8, rows = 6;
int cellWidth = 0, cellHeight = 0, cropWidth = 0, cropHeight = 0;

void setGrid(int c, int r) {
    columns = c;
    rows = r;
    cellWidth = frameWidth / columns;
    cellHeight = frameHeight / rows;
    // 4:3 crops as wide as fits four fifths of the cell either way (192 x 144 in 8 x 6).
    cropWidth = std::min(cellWidth * 4 / 5, cellHeight * 4 / 5 * 4 / 3) / 4 * 4;
    cropHeight = cropWidth * 3 / 4;
}

std::string quoted(const fs::path& p) {
    return "'" + p.string() + "'";
}

bool sh(const std::string& command) {
    std::cout << "  $ " << command << "\n" << std::flush;
    return std::system((command + " >/dev/null").c_str()) == 0;
}

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

std::vector<fs::path> sortedFiles(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// A head-and-shoulders crop around each clearly visible face of the shared photos.
std::vector<cv::Mat> faceCrops(FaceEngine& engine, const fs::path& faces) {
    std::vector<fs::path> photos = sortedFiles(faces / "groups");
    for (const auto& person : fs::directory_iterator(faces / "people"))
        for (const auto& f : sortedFiles(person.path()))
            photos.push_back(f);
    std::vector<cv::Mat> crops;
    for (const auto& photo : photos) {
        const auto image = BGRAImage::load(photo, 2048);
        if (!image) continue;
        const cv::Mat source = image->mat();
        for (const Face& face : engine.detect(*image, 640, 0.5f, 1)) {
            if (face.width() < 40) continue;
            // The face takes about 45% of the crop's width, a little above its middle.
            const float w = face.width() / 0.45f, h = w * cropHeight / cropWidth;
            const auto c = face.center();
            const cv::Rect want(int(c.x - w / 2), int(c.y - h * 0.45f), int(w), int(h));
            cv::Mat padded;
            const cv::Rect inside = want & cv::Rect(0, 0, source.cols, source.rows);
            cv::copyMakeBorder(source(inside), padded, inside.y - want.y,
                               want.y + want.height - inside.y - inside.height, inside.x - want.x,
                               want.x + want.width - inside.x - inside.width, cv::BORDER_REPLICATE);
            cv::Mat crop;
            cv::resize(padded, crop, {cropWidth, cropHeight}, 0, 0, cv::INTER_AREA);
            crops.push_back(crop);
        }
    }
    return crops;
}

// How far a face drifts from its cell's middle either way: an eighth of the crop, as much as the
// cell leaves room for. Faces sway by a like share of their size whatever the grid (in a dense
// grid the cells are wider than the 4:3 crops, and drifting across all of that spare room would
// move 36-pixel faces by half their width).
double drift(int cell, int crop) {
    return std::min((cell - crop) / 2.0, crop / 8.0);
}

// The crowded recording: each cell shows one crop (every other repeat mirrored), drifting on a
// slow elliptical path of its own.
bool makeCrowd(const std::vector<cv::Mat>& crops, const fs::path& out, int seconds) {
    const std::string command =
        "ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt bgra -s " + std::to_string(frameWidth) +
        "x" + std::to_string(frameHeight) + " -r " + std::to_string(fps) +
        " -i - -an -c:v libx264 -preset veryfast -crf 20 -pix_fmt yuv420p " + quoted(out);
    std::cout << "  $ " << command << "\n" << std::flush;
    FILE* pipe = popen(command.c_str(), "w");
    if (!pipe) return false;
    std::vector<cv::Mat> mirrored(crops.size());
    for (std::size_t i = 0; i < crops.size(); ++i)
        cv::flip(crops[i], mirrored[i], 1);
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> phase(0, 2 * M_PI), period(6, 14);
    struct Path {
        double phaseX, phaseY, periodX, periodY;
    };
    std::vector<Path> paths(columns * rows);
    for (auto& p : paths)
        p = {phase(rng), phase(rng), period(rng), period(rng)};
    cv::Mat frame(frameHeight, frameWidth, CV_8UC4);
    bool ok = true;
    for (int n = 0; ok && n < seconds * fps; ++n) {
        const double t = double(n) / fps;
        frame.setTo(cv::Scalar(40, 40, 40, 255));
        for (int k = 0; k < columns * rows; ++k) {
            const Path& p = paths[k];
            const double dx =
                drift(cellWidth, cropWidth) * std::sin(2 * M_PI * t / p.periodX + p.phaseX);
            const double dy =
                drift(cellHeight, cropHeight) * std::sin(2 * M_PI * t / p.periodY + p.phaseY);
            const int x =
                (k % columns) * cellWidth + (cellWidth - cropWidth) / 2 + int(std::lround(dx));
            const int y =
                (k / columns) * cellHeight + (cellHeight - cropHeight) / 2 + int(std::lround(dy));
            const std::size_t which = std::size_t(k) % crops.size();
            const bool mirror = (std::size_t(k) / crops.size()) % 2 == 1;
            (mirror ? mirrored : crops)[which].copyTo(frame(cv::Rect(x, y, cropWidth, cropHeight)));
        }
        ok = std::fwrite(frame.data, frame.total() * frame.elemSize(), 1, pipe) == 1;
    }
    return pclose(pipe) == 0 && ok;
}

struct Outcome {
    std::string runtime, precision;
    double wall = 0, cpu = 0, recording = 0;
    int frames = 0;
    EmbeddingCount faces;
    std::map<std::string, std::string> flags; // name -> review reason of a flagged member
    std::map<std::string, std::pair<bool, int>> members; // name -> present, sightings
    int visitors = 0;
};

// One runtime: enrol everyone, then one standard-mode run of the recording (with `reembedSeconds`
// when given).
Outcome runWith(const std::string& runtime, const fs::path& models, const fs::path& faces,
                const fs::path& recording, const fs::path& scratch,
                std::optional<double> reembedSeconds = {}) {
    setenv("TALLYMERE_RUNTIME", runtime.c_str(), 1);
    Outcome o;
    o.runtime = runtime;
    FaceEngine engine(models);
    if (engine.wantsRecognizerScales()) {
        // The people folder's ten faces are too few for 8-bit scales; a congregation's accepted
        // photos would give them. Every shared photo's faces stand in for those.
        std::vector<BGRAImage> crops;
        for (const auto& entry : fs::recursive_directory_iterator(faces))
            if (const auto ext = entry.path().extension();
                ext == ".jpg" || ext == ".jpeg" || ext == ".png")
                if (auto image = BGRAImage::load(entry.path(), 1920))
                    for (Face& face : engine.analyze(*image, 640, 0, 1))
                        crops.push_back(std::move(*face.crop));
        engine.calibrateRecognizer(crops);
    }
    o.precision = engine.recognizerPrecision();
    ProcessSettings settings = ProcessSettings::preset(ProcessSettings::Mode::standard);
    if (reembedSeconds) settings.reembedSeconds = *reembedSeconds;
    // The tool loads its detector before the run starts; so does the benchmark.
    engine.detect(BGRAImage(64, 64), settings.detectorSize, 0.5f, 1);
    const fs::path libraryDir = scratch / ("library-" + runtime);
    fs::remove_all(libraryDir);
    Library library(libraryDir);
    std::vector<Member> members;
    for (const auto& folder : fs::directory_iterator(faces / "people")) {
        Member m;
        m.id = library.nextMemberID(members);
        m.name = folder.path().filename().string();
        m.photos = library.importPhotos(sortedFiles(folder.path()), m.id);
        members.push_back(Enroller(engine, library).check(std::move(m)));
    }
    const Service service("20261208-100000-c0de", "Crowd", {}, {}, {recording.string()},
                          ProcessSettings::Mode::standard);
    ServiceProcessor processor(engine, library);
    const auto start = std::chrono::steady_clock::now();
    const double cpu = cpuSeconds();
    const ServiceResults r = processor.run(service, members, settings, {}, {});
    o.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    o.cpu = cpuSeconds() - cpu;
    o.recording = r.durationSeconds;
    o.frames = r.framesAnalysed;
    o.faces = processor.lastEmbeddingCount();
    for (const auto& m : r.members) {
        const auto it = std::find_if(members.begin(), members.end(),
                                     [&](const Member& x) { return x.id == m.memberID; });
        const std::string name = it == members.end() ? m.memberID : it->name;
        o.members[name] = {m.present, m.sightings};
        if (m.needsReview) o.flags[name] = m.reviewReason;
    }
    o.visitors = int(r.visitors.size());
    return o;
}

void report(const std::string& label, const std::vector<Outcome>& outcomes) {
    std::printf("\n%s: standard mode, %.0f s of 1080p recording, %d frames analysed\n",
                label.c_str(), outcomes.front().recording, outcomes.front().frames);
    std::printf("  %-8s %10s %12s %14s %10s  %s\n", "runtime", "wall s", "real-time x",
                "processor s", "speed-up", "recogniser");
    for (const auto& o : outcomes)
        std::printf("  %-8s %10.1f %12.2f %14.1f %9.2fx  %s\n", o.runtime.c_str(), o.wall,
                    o.recording / o.wall, o.cpu, outcomes.front().wall / o.wall,
                    o.precision.c_str());
    for (const auto& o : outcomes) {
        std::printf("  %s register:", o.runtime.c_str());
        for (const auto& [name, seen] : o.members)
            std::printf(" %s %s (%d),", name.c_str(), seen.first ? "present" : "absent",
                        seen.second);
        std::printf(" %d visitors\n", o.visitors);
    }
    bool same = true;
    for (const auto& o : outcomes) {
        if (o.visitors != outcomes.front().visitors) same = false;
        for (const auto& [name, seen] : o.members)
            if (outcomes.front().members.at(name) != seen) same = false;
    }
    std::printf("  same register (members present, sightings, visitors) in every runtime: %s\n",
                same ? "yes" : "NO");
    std::fflush(stdout);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Every face embedded against the standard interval, `runs` times each, alternating so that the
// machine's moods fall on both alike.
void compareIntervals(const std::string& label, const fs::path& models, const fs::path& faces,
                      const fs::path& recording, const fs::path& scratch, int runs) {
    const double standard = ProcessSettings::preset(ProcessSettings::Mode::standard).reembedSeconds;
    std::vector<double> intervals{0.0, standard};
    std::map<double, std::vector<Outcome>> outcomes;
    for (int run = 0; run < runs; ++run)
        for (const double interval : intervals)
            outcomes[interval].push_back(
                runWith("onednn", models, faces, recording, scratch, interval));
    std::printf("\n%s: oneDNN (recogniser: %s), every face embedded against reembedSeconds %.1f, "
                "%d runs each\n",
                label.c_str(), outcomes[0.0].front().precision.c_str(), standard, runs);
    std::printf("  %-16s %12s %12s %16s %10s\n", "reembedSeconds", "median wall s", "real-time x",
                "faces embedded", "speed-up");
    std::vector<double> wall0;
    for (const auto& o : outcomes[0.0])
        wall0.push_back(o.wall);
    for (const double interval : intervals) {
        std::vector<double> walls;
        for (const auto& o : outcomes[interval])
            walls.push_back(o.wall);
        const Outcome& first = outcomes[interval].front();
        std::printf("  %-16.1f %12.1f %12.2f %9ld/%ld %4.0f%% %9.2fx\n", interval, median(walls),
                    first.recording / median(walls), first.faces.embedded, first.faces.faces,
                    100.0 * static_cast<double>(first.faces.embedded) /
                        static_cast<double>(std::max(1L, first.faces.faces)),
                    median(wall0) / median(walls));
    }
    const Outcome &all = outcomes[0.0].front(), &some = outcomes[standard].front();
    bool presence = true;
    for (const auto& [name, seen] : all.members)
        if (some.members.at(name).first != seen.first) presence = false;
    const double visitorGap =
        std::abs(some.visitors - all.visitors) / std::max(1.0, static_cast<double>(all.visitors));
    std::printf("  members present and absent the same: %s; review flags the same: %s; visitors "
                "%d against %d (%.1f%%)\n",
                presence ? "yes" : "NO", some.flags == all.flags ? "yes" : "NO", some.visitors,
                all.visitors, 100.0 * visitorGap);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    preferPassiveThreadWaiting(argv);
    int seconds = 20;
    int runs = 3;
    bool skipR50 = false, skipOpenCv = false;
    int gridColumns = 8, gridRows = 6;
    fs::path keep;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) {
            seconds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--skip-r50") {
            skipR50 = true;
        } else if (a == "--grid" && i + 1 < argc &&
                   std::sscanf(argv[i + 1], "%dx%d", &gridColumns, &gridRows) == 2 &&
                   gridColumns > 0 && gridRows > 0) {
            ++i;
        } else if (a == "--skip-opencv") {
            skipOpenCv = true;
        } else if (a == "--keep" && i + 1 < argc) {
            keep = argv[++i];
        } else {
            std::cerr << "usage: bench_crowd [--seconds S] [--runs N] [--skip-r50] [--skip-opencv] "
                         "[--grid CxR] [--keep DIR]\n";
            return 2;
        }
    }
    setGrid(gridColumns, gridRows);
    const fs::path shared = TALLYMERE_SHARED_DIR, source = TALLYMERE_SOURCE_DIR;
    if (!fs::exists(shared / "models" / "fr_feature.onnx") || !fs::exists(shared / "faces")) {
        std::cerr << "shared models and faces not found in " << shared << "\n";
        return 1;
    }
    const fs::path scratch =
        keep.empty() ? fs::temp_directory_path() /
                           ("tallymere-bench-crowd-" + std::to_string(std::random_device{}()))
                     : keep;
    fs::create_directories(scratch);
    const std::string py = "/usr/bin/python3 ",
                      convert = py + quoted(source / "scripts/convert-models");
    const fs::path real = scratch / "real", r50 = scratch / "r50";
    std::cout << "Preparing models and the recording in " << scratch << "\n";
    bool ok = fs::exists(real / "ArcFace.onnx") ||
              sh(convert + " --out " + quoted(real) + " --detector " +
                 quoted(shared / "models/scrfd_2.5g_kps.onnx") +
                 " --det-channels rgb --det-mean 127.5 --det-std 128 --recognizer " +
                 quoted(shared / "models/fr_feature.onnx") +
                 " --rec-channels bgr --rec-mean 127.5 --rec-std 127.5");
    if (ok && !skipR50 && !fs::exists(r50 / "ArcFace.onnx")) {
        ok = sh(py + quoted(source / "bench/make_iresnet50.py") + " " +
                quoted(scratch / "iresnet50.onnx")) &&
             sh(convert + " --out " + quoted(r50) + " --detector " +
                quoted(shared / "models/scrfd_2.5g_kps.onnx") +
                " --det-channels rgb --det-mean 127.5 --det-std 128 --recognizer " +
                quoted(scratch / "iresnet50.onnx") +
                " --rec-channels rgb --rec-mean 127.5 --rec-std 127.5");
    }
    const fs::path recording =
        scratch / ("crowd-" + std::to_string(seconds) + "s-" + std::to_string(columns) + "x" +
                   std::to_string(rows) + ".mp4");
    std::size_t faceCount = 0;
    if (ok && !fs::exists(recording)) {
        setenv("TALLYMERE_RUNTIME", "onednn", 1);
        FaceEngine engine(real);
        const auto crops = faceCrops(engine, shared / "faces");
        faceCount = crops.size();
        ok = !crops.empty() && makeCrowd(crops, recording, seconds);
        if (!ok) fs::remove(recording);
    }
    if (!ok) {
        std::cerr << "could not prepare the models or the recording\n";
        return 1;
    }
    std::printf("Recording: %s, %d x %d faces drifting%s; %u hardware threads\n",
                recording.filename().c_str(), columns, rows,
                faceCount ? (" (" + std::to_string(faceCount) + " distinct crops)").c_str() : "",
                std::thread::hardware_concurrency());

    std::vector<std::pair<std::string, fs::path>> setups{
        {"SCRFD-2.5GF + shared test recogniser", real}};
    if (!skipR50)
        setups.push_back({"SCRFD-2.5GF + IResNet-50 (random weights, ArcFace R50 shape)", r50});
    for (const auto& [label, models] : setups) {
        std::vector<Outcome> outcomes;
        for (const char* runtime : {"opencv", "onednn"})
            if (!skipOpenCv || std::string(runtime) != "opencv")
                outcomes.push_back(runWith(runtime, models, shared / "faces", recording, scratch));
        report(label, outcomes);
        compareIntervals(label, models, shared / "faces", recording, scratch, runs);
    }
    if (keep.empty()) fs::remove_all(scratch);
    return 0;
}
