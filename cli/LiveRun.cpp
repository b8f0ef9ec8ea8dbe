#include "LiveRun.h"

#include "Access.h"
#include "Errors.h"
#include "Format.h"
#include "ServiceRun.h"
#include "Table.h"
#include "library/Library.h"
#include "runs/FrameFeed.h"
#include "runs/LiveController.h"
#include "runs/MainThread.h"
#include "runs/ProcessError.h"

#include <cmath>
#include <csignal>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tallymere::cli {

namespace fs = std::filesystem;

namespace {

volatile std::sig_atomic_t interrupts = 0;

extern "C" void countInterrupt(int) {
    interrupts = interrupts + 1;
    static const char first[] = "\nStopping and saving; press Ctrl-C again to discard\n";
    static const char second[] = "\nDiscarding\n";
    // write() is safe in a signal handler; its result cannot be acted on here.
    if (interrupts == 1) {
        [[maybe_unused]] const auto w = ::write(STDERR_FILENO, first, sizeof first - 1);
    } else if (interrupts == 2) {
        [[maybe_unused]] const auto w = ::write(STDERR_FILENO, second, sizeof second - 1);
        // A third Ctrl-C ends the process at once.
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
    }
}

void catchInterrupts() {
    struct sigaction action {};
    action.sa_handler = countInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// The application model's part in a live session, for the tool: the loaded engine, the members
// and library of the workspace, and the finished service put first among the services.
class ToolHost final : public LiveHost {
public:
    ToolHost(OpenLibrary& workspace, FaceEngine& engine) : workspace_(workspace), engine_(engine) {}

    FaceEngine* engine() override { return &engine_; }
    std::optional<std::string> engineError() override { return std::nullopt; }
    bool engineLoading() override { return false; }
    std::vector<Member> members() override { return usableMembers(workspace_); }
    Library& library() override { return workspace_.library(); }
    void liveFinished(const Service& service) override { saved = service; }

    std::optional<Service> saved;

private:
    OpenLibrary& workspace_;
    FaceEngine& engine_;
};

// The status line: elapsed time, faces in view and the analysis rate.
std::string statusLine(const LiveController& live, double elapsed) {
    std::ostringstream line;
    line << formatClock(elapsed) << " · "
         << counted(static_cast<long long>(live.faces().size()), "face", "faces") << " in view · "
         << std::fixed << std::setprecision(1) << live.analysedFPS() << " frames/s analysed · "
         << counted(static_cast<long long>(live.presence().size()), "member", "members")
         << " present";
    return line.str();
}

} // namespace

std::string fileUrl(const fs::path& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string url = "file://";
    for (const unsigned char c : fs::absolute(path).lexically_normal().string()) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 15];
        }
    }
    return url;
}

LiveSourceKind resolveLiveSource(const std::string& source) {
    if (source.empty()) throw UsageError("live needs a camera or a stream URL");
    if (isStreamAddress(source, StreamAddressRule::commandLine))
        return LiveSourceKind::stream(source);
    for (const CameraInfo& camera : availableCameras())
        if (camera.id == source || camera.path == source)
            return LiveSourceKind::camera(camera.id, camera.name);
    std::error_code ec;
    const auto status = fs::status(source, ec);
    if (fs::is_regular_file(status)) return LiveSourceKind::stream(fileUrl(source));
    if (fs::exists(status)) return LiveSourceKind::camera(source, source);
    throw CommandError("No camera or stream " + source +
                       ". \"tallymere-cli cameras\" lists the cameras; a stream is a URL "
                       "(http://, https://, rtsp:// or file://).");
}

int listCameras() {
    const std::vector<CameraInfo> cameras = availableCameras();
    if (cameras.empty()) {
        std::cout << "No cameras found. Plug one in, or check that /dev/video* exists.\n";
        return exitOk;
    }
    Table table({{"ID"}, {"NAME"}, {"DEVICE"}});
    for (const CameraInfo& camera : cameras)
        table.add({camera.id, camera.name, camera.path});
    table.print(std::cout);
    return exitOk;
}

int liveService(const fs::path& root, const LiveRequest& request) {
    const LiveSourceKind source = resolveLiveSource(request.source);
    if (request.stopAfter && !(*request.stopAfter > 0 && std::isfinite(*request.stopAfter)))
        throw UsageError("--stop-after needs a positive number of seconds");

    interrupts = 0;
    catchInterrupts();
    CommandLibrary workspace(root);
    // A live session is a run like `process`: one at a time in a library.
    auto lock = LibraryLock::acquire(
        workspace.library().root(), LibraryLock::Range::processing, LibraryLock::Kind::exclusive,
        [] {
            std::cerr << "Another run is processing a service in this library; waiting for it "
                         "to finish (Ctrl-C to give up)\n";
        },
        [] { return interrupts != 0; });
    if (!lock) {
        std::cerr << "Cancelled; nothing was saved.\n";
        return exitCancelled;
    }
    const LibraryLock access = writeAccess(workspace.library().root());
    workspace.reloadServices();
    workspace.repairInterrupted();
    if (workspace.recognisableCount() == 0)
        throw CommandError(std::string(ProcessError::noMembers().what()) +
                           " Use \"tallymere-cli add-member NAME PHOTO...\".");
    const std::unique_ptr<FaceEngine> loaded = loadEngine();
    FaceEngine& engine = *loaded;
    if (interrupts) {
        std::cerr << "Cancelled; nothing was saved.\n";
        return exitCancelled;
    }

    TaskLoop loop;
    ToolHost host(workspace, engine);
    auto live = LiveController::create(source, workspace.library().newServiceID(), loop.executor());
    live->setLabel(request.label);
    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    std::cerr << "Live from " << source.title() << " as service " << live->serviceID() << " \""
              << request.label << "\". Ctrl-C stops and saves";
    if (request.stopAfter)
        std::cerr << "; it stops by itself after " << formatDuration(*request.stopAfter);
    std::cerr << ".\nRecogniser: " << engine.recognizerPrecision() << "\n";

    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> runningSince;
    std::set<std::string> announced;
    bool lineDrawn = false;
    auto clearLine = [&] {
        if (lineDrawn) std::cerr << "\r\033[K" << std::flush;
        lineDrawn = false;
    };
    int status = exitOk;
    bool finishing = false;

    live->setOnChange([&] {
        if (live->state().kind == LiveController::State::Kind::running && !runningSince)
            runningSince = Clock::now();
        for (const LivePresence& present : live->presence()) {
            if (!announced.insert(present.memberID).second) continue;
            clearLine();
            std::cout << formatClock(present.firstSeen) << "  "
                      << memberName(usableMembers(workspace), present.memberID) << " ("
                      << present.memberID << ") recognised · " << percent(present.score) << "\n"
                      << std::flush;
        }
    });

    int ticks = 0;
    RepeatingTimer watch(loop.executor(), std::chrono::milliseconds(100), [&] {
        const auto kind = live->state().kind;
        if (interrupts >= 2) {
            live->discard();
            status = exitCancelled;
            loop.quit();
            return;
        }
        if (kind == LiveController::State::Kind::failed) {
            status = exitFailed;
            loop.quit();
            return;
        }
        if (finishing || kind != LiveController::State::Kind::running) return;
        const double elapsed =
            runningSince ? std::chrono::duration<double>(Clock::now() - *runningSince).count() : 0;
        if (interrupts >= 1 || (request.stopAfter && elapsed >= *request.stopAfter)) {
            finishing = true;
            clearLine();
            std::cerr << "Saving the session…\n";
            live->finish(host, live->label(), [&] {
                if (interrupts < 2) {
                    status = live->state().kind == LiveController::State::Kind::idle ? exitOk
                                                                                     : exitFailed;
                    loop.quit();
                }
            });
            return;
        }
        // The status line: redrawn every second on a terminal, every 5 seconds in a log.
        ++ticks;
        if (terminal && ticks % 10 == 0) {
            std::cerr << "\r\033[K" << statusLine(*live, elapsed) << std::flush;
            lineDrawn = true;
        } else if (!terminal && ticks % 50 == 0) {
            std::cerr << statusLine(*live, elapsed) << "\n";
        }
    });

    live->start(host);
    loop.run();
    watch.invalidate();
    clearLine();

    const std::string serviceID = live->serviceID();
    const LiveController::State state = live->state();
    if (status == exitCancelled) {
        // Going, the controller waits for a save under way and removes what it wrote.
        live.reset();
        std::cerr << "Discarded; nothing was saved.\n";
        return exitCancelled;
    }
    if (status == exitFailed || !host.saved) {
        live.reset();
        throw CommandError(state.message.empty() ? "The live session ended without a register."
                                                 : state.message);
    }
    live.reset();
    std::error_code ec;
    if (!fs::exists(workspace.library().serviceDir(serviceID) / "service.json", ec))
        throw CommandError("Couldn't save the live session as service " + serviceID + " in " +
                           workspace.library().servicesDir().string() + ".");
    printSummary(*host.saved, usableMembers(workspace));
    return exitOk;
}

} // namespace tallymere::cli
