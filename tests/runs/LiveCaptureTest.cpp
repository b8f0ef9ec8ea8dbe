// Frames from live sources: the shared recording as an HLS stream served over HTTP from this test
// and as a file URL, a URL that never plays, and capture devices that are gone or may not be
// opened.

#include "runs/FrameFeed.h"
#include "runs/LiveError.h"
#include "runs/MainThread.h"
#include "support/LiveStreams.h"
#include "support/LocalHttpServer.h"
#include "support/TestSupport.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace tallymere;
using tallymere::testing::LocalHttpServer;
using tallymere::testing::TempDir;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const char* cameraDeniedText =
    "Camera access is off. Allow your user to use the camera (the video group) and try again.";

#define REQUIRE_RECORDING()                                                                        \
    do {                                                                                           \
        if (!fs::exists(tallymere::testing::sharedRecording()))                                    \
            GTEST_SKIP() << "shared recording not found at "                                       \
                         << tallymere::testing::sharedRecording()                                  \
                         << " (set TALLYMERE_SHARED to the folder holding faces/)";                \
    } while (0)

// What a stream delivered to the main thread, and when.
struct Played {
    int delivered = 0;
    std::uint64_t produced = 0;
    double firstToEnd = 0; // seconds from the first delivered frame to the end of decoding
    int width = 0;
    int height = 0;
    bool onMainThread = true;
};

Played play(const std::string& url) {
    TaskLoop loop;
    FrameFeed feed(loop.executor());
    Played played;
    std::optional<Clock::time_point> first;
    const auto mainThread = std::this_thread::get_id();
    feed.setOnFrame([&](SharedFrame frame) {
        if (!first) first = Clock::now();
        ++played.delivered;
        played.width = frame->width;
        played.height = frame->height;
        played.onMainThread = played.onMainThread && std::this_thread::get_id() == mainThread;
    });
    feed.startStream(url);
    EXPECT_TRUE(loop.runUntil([&] { return feed.streamEnded(); }, std::chrono::seconds(40)));
    const auto ended = Clock::now();
    // The last frame is still pulled after decoding ends.
    loop.runUntil([] { return false; }, std::chrono::milliseconds(300));
    feed.stop();
    played.produced = feed.newest().second;
    if (first) played.firstToEnd = std::chrono::duration<double>(ended - *first).count();
    return played;
}

// The 9.18-second recording (275 frames) plays in about real time; the main thread gets at most
// ten frames a second, while every decoded frame is there for the preview.
void expectRealTime(const Played& played) {
    EXPECT_GT(played.firstToEnd, 8.0);
    EXPECT_LT(played.firstToEnd, 12.0);
    EXPECT_EQ(played.produced, 275u);
    EXPECT_GE(played.delivered, 45);
    EXPECT_LE(played.delivered, 95);
    EXPECT_EQ(played.width, 640);
    EXPECT_EQ(played.height, 360);
    EXPECT_TRUE(played.onMainThread);
}

TEST(LiveStream, HlsOverHttpPlaysInRealTime) {
    REQUIRE_RECORDING();
    const fs::path hls = tallymere::testing::hlsOfSharedRecording();
    ASSERT_FALSE(hls.empty());
    LocalHttpServer server(hls);
    const Played played = play(server.url("index.m3u8"));
    expectRealTime(played);
    EXPECT_GE(server.requests(), 2); // the playlist and its segments
}

TEST(LiveStream, FileUrlPlaysInRealTime) {
    REQUIRE_RECORDING();
    expectRealTime(play(tallymere::testing::sharedRecordingUrl()));
}

TEST(LiveStream, FileUrlWithEscapedCharactersIsFound) {
    REQUIRE_RECORDING();
    TempDir dir;
    const fs::path copy = dir / "Sunday service #1.mp4";
    fs::copy_file(tallymere::testing::sharedRecording(), copy);
    TaskLoop loop;
    FrameFeed feed(loop.executor());
    int delivered = 0;
    feed.setOnFrame([&](SharedFrame) { ++delivered; });
    feed.startStream("file://" + dir.path().string() + "/Sunday%20service%20%231.mp4");
    EXPECT_TRUE(loop.runUntil([&] { return delivered > 0; }, std::chrono::seconds(10)));
}

TEST(LiveStream, UrlThatNeverPlaysDeliversNothing) {
    TempDir empty;
    LocalHttpServer server(empty.path());
    for (const std::string& url :
         {server.url("missing.m3u8"), std::string("file:///nonexistent/service.mp4"),
          std::string("http://127.0.0.1:1/closed.m3u8")}) {
        SCOPED_TRACE(url);
        TaskLoop loop;
        FrameFeed feed(loop.executor());
        int delivered = 0;
        feed.setOnFrame([&](SharedFrame) { ++delivered; });
        feed.startStream(url);
        EXPECT_TRUE(loop.runUntil([&] { return feed.streamEnded(); }, std::chrono::seconds(20)));
        loop.runUntil([] { return false; }, std::chrono::milliseconds(300));
        EXPECT_EQ(delivered, 0);
        EXPECT_EQ(feed.newest().first, nullptr);
    }
}

TEST(LiveStream, StopEndsAStreamPartWay) {
    REQUIRE_RECORDING();
    TaskLoop loop;
    FrameFeed feed(loop.executor());
    int delivered = 0;
    feed.setOnFrame([&](SharedFrame) { ++delivered; });
    feed.startStream(tallymere::testing::sharedRecordingUrl());
    ASSERT_TRUE(loop.runUntil([&] { return delivered >= 3; }, std::chrono::seconds(10)));
    const auto stopping = Clock::now();
    feed.stop();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - stopping).count(), 1.0);
    const int atStop = delivered;
    loop.runUntil([] { return false; }, std::chrono::milliseconds(400));
    EXPECT_EQ(delivered, atStop);
    EXPECT_LT(feed.newest().second, 275u);
}

// Tries to start a camera as a user without special rights: tests often run as root, whose
// rights would open any file.
std::string cameraFailure(const std::string& id) {
    TaskLoop loop;
    FrameFeed feed(loop.executor());
    const bool asRoot = ::geteuid() == 0;
    if (asRoot && ::seteuid(65534) != 0) return "could not drop root rights";
    std::string text = "started";
    try {
        feed.startCamera(id);
    } catch (const LiveError& error) {
        text = error.what();
    } catch (const std::exception& error) {
        text = std::string("other error: ") + error.what();
    }
    if (asRoot && ::seteuid(0) != 0) ADD_FAILURE() << "could not restore root rights";
    return text;
}

TEST(LiveCamera, FailuresSayWhatIsWrong) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::all); // reachable for the unprivileged user
    // A device the user may not open: a node without read rights, or a fifo likewise.
    const fs::path locked = dir / "video7";
    std::ofstream(locked).put('x');
    fs::permissions(locked, fs::perms::none);
    const fs::path lockedFifo = dir / "video8";
    ASSERT_EQ(::mkfifo(lockedFifo.c_str(), 0), 0);
    // A file that can be opened but captures nothing.
    const fs::path plain = dir / "video9";
    std::ofstream(plain).put('x');
    fs::permissions(plain, fs::perms::all);

    EXPECT_EQ(cameraFailure(locked.string()), cameraDeniedText);
    EXPECT_EQ(cameraFailure(lockedFifo.string()), cameraDeniedText);
    EXPECT_EQ(cameraFailure(plain.string()), "Camera unavailable");
    // Unplugged: neither a listed camera nor a device that exists.
    EXPECT_EQ(cameraFailure("usb-0000:00:14.0-9"), "Camera unavailable");
    EXPECT_EQ(cameraFailure((dir / "video10").string()), "Camera unavailable");
    EXPECT_EQ(cameraFailure(""), "Camera unavailable");
}

} // namespace
