// Live-session benchmark: a live session over a 1080p HLS stream served from this machine (made
// from the shared recording with ffmpeg, looped to the length asked for), as the live page runs
// it. Every 10 seconds and at the end it prints the analysis rate beside the preview rate (frames
// a 60 Hz preview shows, and frames the stream decoded), the delay from a frame's arrival to its
// faces being published on the main thread, and the resident memory.
//
// usage: bench_live [--models DIR] [--seconds S] [--recording FILE] [--keep DIR]
//   --models   converted models folder (default: the shared test models, converted once into a
//              temporary folder with scripts/convert-models)
//   --seconds  length of the stream and of the session (default 600)
//   --recording  the recording the stream loops (default the shared one; bench_crowd --keep
//              leaves crowded ones)
//   --keep     folder in which to make (or reuse) the stream instead of a temporary one

#include "engine/FaceEngine.h"
#include "engine/ThreadWaiting.h"
#include "library/Library.h"
#include "recognition/Enroller.h"
#include "runs/LiveController.h"
#include "runs/MainThread.h"
#include "support/LocalHttpServer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

using namespace tallymere;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string quoted(const fs::path& p) {
    return "'" + p.string() + "'";
}

bool sh(const std::string& command) {
    std::cerr << "+ " << command << "\n";
    return std::system(command.c_str()) == 0;
}

double residentMiB() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("VmRSS:")) return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

double quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5)];
}

struct BenchHost final : LiveHost {
    FaceEngine& faces;
    Library& lib;
    std::vector<Member> enrolled;
    std::vector<Service> finished;

    BenchHost(FaceEngine& f, Library& l, std::vector<Member> m)
        : faces(f), lib(l), enrolled(std::move(m)) {}
    FaceEngine* engine() override { return &faces; }
    std::optional<std::string> engineError() override { return std::nullopt; }
    bool engineLoading() override { return false; }
    std::vector<Member> members() override { return enrolled; }
    Library& library() override { return lib; }
    void liveFinished(const Service& service) override { finished.push_back(service); }
};

} // namespace

int main(int argc, char** argv) {
    preferPassiveThreadWaiting(argv);
    fs::path models, keep, recording;
    int seconds = 600;
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
        } else if (a == "--seconds") {
            seconds = std::stoi(value());
        } else if (a == "--keep") {
            keep = value();
        } else if (a == "--recording") {
            recording = value();
        } else {
            std::cerr << "usage: bench_live [--models DIR] [--seconds S] [--recording FILE] "
                         "[--keep DIR]\n";
            return 2;
        }
    }

    std::random_device rd;
    const fs::path scratch =
        fs::temp_directory_path() / ("tallymere-bench-" + std::to_string(rd()));
    fs::create_directories(scratch);
    const fs::path sharedDir = TALLYMERE_SHARED_DIR;
    const fs::path clip =
        recording.empty() ? sharedDir / "faces" / "video" / "stage_clip.mp4" : recording;
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

    // The stream: the recording scaled to 1920 x 1080 at its own rate, looped.
    const fs::path hls =
        keep.empty() ? scratch / "hls"
                     : keep / ("hls-" + clip.stem().string() + "-" + std::to_string(seconds));
    if (!fs::exists(hls / "index.m3u8")) {
        fs::create_directories(hls);
        if (!sh("ffmpeg -nostdin -hide_banner -v error -y -stream_loop -1 -i " + quoted(clip) +
                " -t " + std::to_string(seconds) +
                " -map 0:v:0 -an -vf scale=1920:1080 -c:v libx264 -preset ultrafast -g 30 "
                "-f hls -hls_time 2 -hls_playlist_type vod -hls_segment_filename " +
                quoted(hls / "segment%05d.ts") + " " + quoted(hls / "index.m3u8"))) {
            std::cerr << "could not make the 1080p stream\n";
            return 1;
        }
    }
    tallymere::testing::LocalHttpServer server(hls);

    FaceEngine engine(models);
    Library library(scratch / "library");
    std::vector<Member> members;
    for (const std::string name : {"Lin-Manuel Miranda", "Barack Obama"}) {
        std::vector<fs::path> photos;
        for (const auto& f : fs::directory_iterator(sharedDir / "faces" / "people" / name))
            photos.push_back(f.path());
        Member m;
        m.id = library.nextMemberID(members);
        m.name = name;
        m.photos = library.importPhotos(photos, m.id);
        members.push_back(Enroller(engine, library).check(std::move(m)));
    }
    BenchHost host(engine, library, members);

    TaskLoop loop;
    auto live = LiveController::create(LiveSourceKind::stream(server.url("index.m3u8")),
                                       library.newServiceID(), loop.executor());

    // Figures per 10-second window and over the whole session.
    struct Window {
        int analysed = 0;
        int shown = 0;
        std::uint64_t decodedAtStart = 0;
        std::vector<double> delays;
    } window;
    std::vector<double> allDelays;
    int totalAnalysed = 0, totalShown = 0;
    double lastDelay = -1;
    std::uint64_t lastShown = 0;
    double rssStart = 0, rssMax = 0, rssEnd = 0;

    live->setOnChange([&] {
        if (live->lastDelay() != lastDelay && live->frameCount() > 0) {
            lastDelay = live->lastDelay();
            window.delays.push_back(lastDelay);
            allDelays.push_back(lastDelay);
            ++window.analysed;
            ++totalAnalysed;
        }
    });
    // The preview: at 60 Hz on the main thread, the newest frame when it is a new one.
    RepeatingTimer preview(loop.executor(), std::chrono::microseconds(16667), [&] {
        const auto [frame, produced] = live->feed().newest();
        if (frame && produced != lastShown) {
            lastShown = produced;
            ++window.shown;
            ++totalShown;
        }
    });

    std::printf("1080p HLS stream of %d s over HTTP on 127.0.0.1; detector at 1280, standard "
                "settings\n\n",
                seconds);
    std::printf("%6s %10s %10s %10s %10s %10s %10s %9s %8s\n", "time", "analysed/s", "smoothed",
                "preview/s", "decoded/s", "delay p50", "delay p95", "RSS MiB", "faces");
    const auto started = Clock::now();
    int windows = 0;
    RepeatingTimer report(loop.executor(), std::chrono::seconds(10), [&] {
        ++windows;
        const std::uint64_t decoded = live->feed().newest().second;
        const double rss = residentMiB();
        if (windows == 1) rssStart = rss;
        rssMax = std::max(rssMax, rss);
        rssEnd = rss;
        std::printf("%5ds %10.2f %10.2f %10.2f %10.2f %9.0fms %9.0fms %9.1f %8zu\n", windows * 10,
                    window.analysed / 10.0, live->analysedFPS(), window.shown / 10.0,
                    static_cast<double>(decoded - window.decodedAtStart) / 10.0,
                    quantile(window.delays, 0.5) * 1000, quantile(window.delays, 0.95) * 1000, rss,
                    live->faces().size());
        std::fflush(stdout);
        window = Window{};
        window.decodedAtStart = decoded;
        if (std::chrono::duration<double>(Clock::now() - started).count() >= seconds) {
            const auto finishing = Clock::now();
            live->finish(host, "Benchmark", [&, finishing] {
                std::printf("\nfinish (register and snapshots): %.2f s\n",
                            std::chrono::duration<double>(Clock::now() - finishing).count());
                loop.quit();
            });
        }
    });
    live->start(host);
    loop.run();
    report.invalidate();
    preview.invalidate();

    const double total = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("\nwhole session (%.0f s): analysed %.2f frames/s, preview %.2f frames/s, "
                "decoded %.2f frames/s\n",
                total, totalAnalysed / total, totalShown / total,
                static_cast<double>(live->feed().newest().second) / total);
    std::printf("delay from arrival to published faces: median %.0f ms, p95 %.0f ms, max %.0f ms "
                "(%zu frames)\n",
                quantile(allDelays, 0.5) * 1000, quantile(allDelays, 0.95) * 1000,
                quantile(allDelays, 1.0) * 1000, allDelays.size());
    // An analysis interval is the time between analysed frames on average.
    const double interval = totalAnalysed > 0 ? total / totalAnalysed : 0;
    std::printf("frames analysed per minute: %.1f; delay in analysis intervals (%.0f ms each): "
                "median %.2f, p95 %.2f, max %.2f (%s three)\n",
                60.0 * totalAnalysed / total, interval * 1000,
                interval > 0 ? quantile(allDelays, 0.5) / interval : 0,
                interval > 0 ? quantile(allDelays, 0.95) / interval : 0,
                interval > 0 ? quantile(allDelays, 1.0) / interval : 0,
                interval > 0 && quantile(allDelays, 1.0) < 3 * interval ? "under" : "NOT under");
    std::printf("resident memory: %.1f MiB after 10 s, %.1f MiB at the end, %.1f MiB at most\n",
                rssStart, rssEnd, rssMax);
    // What the session itself holds: its tracks, their best crops and kept embeddings.
    if (const AttendanceSession* session = live->session()) {
        double cropBytes = 0, embeddingBytes = 0;
        for (const auto& track : session->tracker().tracks()) {
            if (track->bestCrop) cropBytes += static_cast<double>(track->bestCrop->data.size());
            embeddingBytes +=
                4.0 * static_cast<double>(track->embSum.size() + track->idEmbSum.size());
            for (const auto& sighting : track->top)
                embeddingBytes += 4.0 * static_cast<double>(sighting.embedding.size());
        }
        std::printf("session: %zu tracks holding %.1f MiB of best crops and %.1f MiB of "
                    "embeddings\n",
                    session->tracker().tracks().size(), cropBytes / 1048576.0,
                    embeddingBytes / 1048576.0);
    }
    if (!host.finished.empty() && host.finished[0].results)
        std::printf("register: %d present, %zu visitors\n", host.finished[0].results->present(),
                    host.finished[0].results->visitors.size());
    live.reset();
    std::error_code ec;
    fs::remove_all(scratch, ec);
    return 0;
}
