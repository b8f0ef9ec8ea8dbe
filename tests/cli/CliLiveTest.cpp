// tallymere-cli live and cameras: the command line and the library's lock without models, then
// whole live sessions with the shared test models, from the shared recording served by the test
// as an HLS stream and as a file URL, stopped by the time limit or by Ctrl-C, saved or discarded.

#include "CliRunner.h"
#include "Errors.h"
#include "LiveRun.h"
#include "library/Library.h"
#include "library/LibraryLock.h"
#include "runs/ProcessError.h"
#include "support/LiveStreams.h"
#include "support/LocalHttpServer.h"
#include "support/ModelCache.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <csignal>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>

using namespace tallymere;
using tallymere::testing::CliProcess;
using tallymere::testing::CliResult;
using tallymere::testing::runCli;
using tallymere::testing::sharedFaces;
using tallymere::testing::TempDir;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

std::string show(const CliResult& r) {
    return "status " + std::to_string(r.status) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

struct LiveJob {
    TempDir dir;
    fs::path root = dir / "library";
    fs::path models;

    explicit LiveJob(fs::path modelsDir = {}) : models(std::move(modelsDir)) {
        if (models.empty()) {
            models = dir / "no-models";
            fs::create_directories(models);
        }
    }
    std::map<std::string, std::string> environment() const {
        return {{"ATTENDANCE_MODELS", models.string()}, {"TALLYMERE_LIBRARY", ""}};
    }
    CliResult cli(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"--library", root.string()});
        return runCli(arguments, environment());
    }
    CliProcess start(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"--library", root.string()});
        return CliProcess(arguments, environment());
    }
    std::vector<Service> services() const { return Library(root).loadServices(); }
    std::vector<fs::path> serviceFolders() const {
        std::vector<fs::path> folders;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(root / "services", ec))
            folders.push_back(e.path());
        return folders;
    }
};

TEST(CliLive, SourceIsAUrlACameraOrAFile) {
    using tallymere::cli::resolveLiveSource;
    EXPECT_EQ(resolveLiveSource("rtsp://192.168.1.20:554/stream1"),
              LiveSourceKind::stream("rtsp://192.168.1.20:554/stream1"));
    EXPECT_EQ(resolveLiveSource("file:///srv/a.mp4"), LiveSourceKind::stream("file:///srv/a.mp4"));
    // A recording given as a path plays as its file URL, escaped where a URL needs it.
    TempDir dir;
    const fs::path file = dir / "Sunday service #1.mp4";
    std::ofstream(file).put('x');
    const LiveSourceKind played = resolveLiveSource(file.string());
    EXPECT_EQ(played.url, "file://" + dir.path().string() + "/Sunday%20service%20%231.mp4");
    EXPECT_EQ(played.title(), "Sunday service #1.mp4");
    EXPECT_THROW(resolveLiveSource((dir / "missing").string()), tallymere::cli::CommandError);
}

TEST(CliLive, CommandLineAndLock) {
    LiveJob f;
    for (const std::vector<std::string>& wrong :
         std::vector<std::vector<std::string>>{{"live"},
                                               {"live", "rtsp://cam/1", "--stop-after", "abc"},
                                               {"live", "rtsp://cam/1", "--stop-after", "0"},
                                               {"live", "rtsp://cam/1", "--stop-after", "-3"},
                                               {"live", "rtsp://cam/1", "--label", " "},
                                               {"live", "a", "b"}}) {
        const CliResult r = f.cli(wrong);
        EXPECT_EQ(r.status, 2) << show(r);
        EXPECT_THAT(r.err, HasSubstr("Usage: tallymere-cli [--library DIR] live")) << show(r);
    }
    CliResult r = f.cli({"live", (f.dir / "nothing-here").string()});
    EXPECT_EQ(r.status, 1) << show(r);
    EXPECT_THAT(r.err, HasSubstr("No camera or stream"));
    EXPECT_THAT(r.err, HasSubstr("tallymere-cli cameras"));

    // Nobody to recognise: nothing starts and nothing is written.
    r = f.cli({"live", "rtsp://127.0.0.1:1/stream"});
    EXPECT_EQ(r.status, 1) << show(r);
    EXPECT_THAT(r.err, HasSubstr(ProcessError::noMembers().what()));
    EXPECT_TRUE(f.serviceFolders().empty());

    // As `process`: refused at once while the application has the library ...
    {
        auto application = LibraryLock::tryAcquire(f.root, LibraryLock::Range::library,
                                                   LibraryLock::Kind::exclusive);
        ASSERT_TRUE(application);
        application->recordHolder(LibraryLock::applicationName);
        r = f.cli({"live", "rtsp://127.0.0.1:1/stream"});
        EXPECT_EQ(r.status, 1) << show(r);
        EXPECT_THAT(r.err, HasSubstr("The library is open in Tallymere (process " +
                                     std::to_string(::getpid()) + ")"));
    }
    // ... and waits while another run processes a service; Ctrl-C gives up.
    {
        auto processing = LibraryLock::tryAcquire(f.root, LibraryLock::Range::processing,
                                                  LibraryLock::Kind::exclusive);
        ASSERT_TRUE(processing);
        CliProcess waiting = f.start({"live", "rtsp://127.0.0.1:1/stream"});
        ASSERT_TRUE(waiting.waitForError("waiting for it to finish"));
        waiting.signal(SIGINT);
        r = waiting.finish();
        EXPECT_EQ(r.status, 130) << show(r);
        EXPECT_THAT(r.err, HasSubstr("Cancelled; nothing was saved."));
    }

    r = f.cli({"cameras"});
    EXPECT_EQ(r.status, 0) << show(r);
    EXPECT_FALSE(r.out.empty());
}

// Lin-Manuel Miranda and Barack Obama enrolled through the tool.
void enrol(const LiveJob& f) {
    for (const std::string name : {"Lin-Manuel Miranda", "Barack Obama"}) {
        std::vector<std::string> arguments{"add-member", name};
        std::vector<std::string> photos;
        for (const auto& p : fs::directory_iterator(sharedFaces() / "people" / name))
            photos.push_back(p.path().string());
        std::sort(photos.begin(), photos.end());
        arguments.insert(arguments.end(), photos.begin(), photos.end());
        const CliResult r = f.cli(arguments);
        ASSERT_EQ(r.status, 0) << show(r);
    }
}

fs::path convertedModels() {
    return tallymere::testing::convertedSharedModels("scrfd_2.5g_kps.onnx", "640,1280");
}

TEST(CliLive, HlsStreamStopsAfterTheLimitAndSaves) {
    TALLYMERE_REQUIRE_SHARED();
    const fs::path hls = tallymere::testing::hlsOfSharedRecording();
    ASSERT_FALSE(hls.empty());
    tallymere::testing::LocalHttpServer server(hls);
    LiveJob f(convertedModels());
    ASSERT_NO_FATAL_FAILURE(enrol(f));

    const auto started = std::chrono::steady_clock::now();
    const CliResult r =
        f.cli({"live", server.url("index.m3u8"), "--label", "Sunday live", "--stop-after", "10"});
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_EQ(r.status, 0) << show(r);
    EXPECT_GE(took, 10.0);
    EXPECT_THAT(r.err, HasSubstr("Live from 127.0.0.1 as service"));
    EXPECT_THAT(r.err, HasSubstr("frames/s analysed")); // the status line
    // The member printed when first recognised, with the time first seen.
    EXPECT_THAT(r.out, ::testing::ContainsRegex("0:00:0[0-9]  Lin-Manuel Miranda \\(M0001\\) "
                                                "recognised"));
    EXPECT_THAT(r.out, HasSubstr("\"Sunday live\": done"));

    const auto services = f.services();
    ASSERT_EQ(services.size(), 1u);
    const Service& service = services[0];
    EXPECT_EQ(service.liveSource, "127.0.0.1");
    EXPECT_EQ(service.status, ServiceStatus::done);
    EXPECT_EQ(service.label, "Sunday live");
    ASSERT_TRUE(service.results);
    const auto& members = service.results->members;
    EXPECT_TRUE(std::any_of(members.begin(), members.end(), [](const MemberResult& m) {
        return m.memberID == "M0001" && m.present;
    }));
    const CliResult shown = f.cli({"show", "latest"});
    EXPECT_THAT(shown.out, HasSubstr("live from 127.0.0.1"));
}

TEST(CliLive, ASourceThatNeverGivesAPictureFailsAndSavesNothing) {
    TALLYMERE_REQUIRE_SHARED();
    LiveJob f(convertedModels());
    Member anne;
    anne.id = "M0001";
    anne.name = "Anne";
    Photo photo("p.jpg", Date{});
    photo.checked = photo.ok = true;
    photo.embedding = std::vector<float>(512, 0.0f);
    (*photo.embedding)[0] = 1;
    anne.photos = {photo};
    Library(f.root).saveMembers({anne});
    const fs::path notes = f.dir / "notes.txt";
    std::ofstream(notes) << "not a video\n";
    const std::pair<std::string, std::string> cases[] = {
        {"file://" + (f.dir / "missing.mp4").string(),
         "No picture came from missing.mp4: no such file or directory."},
        {"file://" + notes.string(), "No picture came from notes.txt: "},
    };
    for (const auto& [source, text] : cases) {
        const CliResult r = f.cli({"live", source, "--stop-after", "20"});
        EXPECT_EQ(r.status, 1) << show(r);
        EXPECT_THAT(r.err, HasSubstr("tallymere-cli: " + text)) << show(r);
    }
    EXPECT_TRUE(f.services().empty());
}

TEST(CliLive, CtrlCSavesAndASecondDiscards) {
    TALLYMERE_REQUIRE_SHARED();
    LiveJob f(convertedModels());
    ASSERT_NO_FATAL_FAILURE(enrol(f));
    const std::string url = tallymere::testing::sharedRecordingUrl();
    {
        CliProcess live = f.start({"live", url});
        ASSERT_TRUE(live.waitForError("Ctrl-C stops and saves"));
        std::this_thread::sleep_for(std::chrono::seconds(5));
        live.signal(SIGINT);
        const CliResult r = live.finish();
        ASSERT_EQ(r.status, 0) << show(r);
        EXPECT_THAT(r.err, HasSubstr("Stopping and saving; press Ctrl-C again to discard"));
        ASSERT_EQ(f.services().size(), 1u);
        EXPECT_EQ(f.services()[0].liveSource, "stage_clip.mp4");
        EXPECT_EQ(f.services()[0].label, "Live");
    }
    const auto before = f.serviceFolders();
    {
        CliProcess live = f.start({"live", url});
        ASSERT_TRUE(live.waitForError("Ctrl-C stops and saves"));
        std::this_thread::sleep_for(std::chrono::seconds(3));
        // Two stop requests together: Ctrl-C and a termination request (two signals of one kind
        // sent at once would merge into one).
        live.signal(SIGINT);
        live.signal(SIGTERM);
        const CliResult r = live.finish();
        EXPECT_EQ(r.status, 130) << show(r);
        EXPECT_THAT(r.err, HasSubstr("Discarded; nothing was saved."));
    }
    EXPECT_EQ(f.serviceFolders(), before);
    EXPECT_EQ(f.services().size(), 1u);
}

} // namespace
