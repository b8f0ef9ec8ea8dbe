#include "runs/FrameSource.h"

#include "MediaFiles.h"
#include "runs/ProcessError.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

using namespace tallymere;
using tallymere::testing::ffmpeg;
using tallymere::testing::readBytes;
using tallymere::testing::TempDir;

namespace {

struct Kept {
    int index;
    double time;
    bool operator==(const Kept&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Kept& k) {
    return os << "(" << k.index << ", " << k.time << ")";
}

std::vector<Kept> drain(FrameSource& source) {
    std::vector<Kept> kept;
    while (auto frame = source.next())
        kept.push_back({frame->index, frame->time});
    return kept;
}

std::vector<Kept> drain(const std::filesystem::path& file, double fps) {
    auto source = FrameSource::open({file.string()}, fps);
    return drain(source);
}

// Blue, green, red, alpha of pixel (x, y).
std::array<int, 4> pixel(const BGRAImage& image, int x, int y) {
    const auto* p = &image.data[(static_cast<std::size_t>(y) * image.width + x) * 4];
    return {p[0], p[1], p[2], p[3]};
}

bool isRed(const BGRAImage& image, int x, int y) {
    auto [b, g, r, a] = pixel(image, x, y);
    return r > 180 && g < 70 && b < 70 && a == 255;
}

// A 64 x 48 recording, 30 frames per second, 10 s long.
std::filesystem::path plainVideo(const TempDir& dir, const std::string& name = "plain.mp4") {
    auto file = dir / name;
    ffmpeg("-f lavfi -i color=c=0x3366CC:size=64x48:rate=30 -t 10 -c:v libx264 -pix_fmt yuv420p '" +
           file.string() + "'");
    return file;
}

} // namespace

TEST(FrameSampler, KeepsTheFirstFrameAtOrJustAfterEachGridPoint) {
    FrameSampler sampler(1.0);
    EXPECT_TRUE(sampler.take(0.0));
    EXPECT_FALSE(sampler.take(0.5));
    EXPECT_TRUE(sampler.take(0.9999995)); // within a microsecond of 1.0
    EXPECT_FALSE(sampler.take(1.999998)); // two microseconds short of 2.0
    EXPECT_TRUE(sampler.take(2.0));
    // A gap: the frame after it is kept once, and the grid moves past it without a burst.
    EXPECT_TRUE(sampler.take(7.25));
    EXPECT_DOUBLE_EQ(sampler.nextTime(), 8.0);
    EXPECT_FALSE(sampler.take(7.5));
    EXPECT_TRUE(sampler.take(8.0));
}

TEST(FrameSource, VideoAtThirtyFramesSampledAtOneAndTwoPerSecond) {
    TempDir dir;
    auto file = plainVideo(dir);

    auto source = FrameSource::open({file.string()}, 1.0);
    EXPECT_FALSE(source.isStill());
    EXPECT_DOUBLE_EQ(source.duration(), 10.0);
    EXPECT_EQ(source.expectedFrames(), 11);
    auto first = source.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->image.width, 64);
    EXPECT_EQ(first->image.height, 48);
    ASSERT_EQ(first->image.data.size(), 64u * 48u * 4u);
    auto [b, g, r, a] = pixel(first->image, 30, 20); // 0x3366CC in blue, green, red order
    EXPECT_NEAR(b, 0xCC, 6);
    EXPECT_NEAR(g, 0x66, 6);
    EXPECT_NEAR(r, 0x33, 6);
    EXPECT_EQ(a, 255);

    std::vector<Kept> kept{{first->index, first->time}};
    for (auto k : drain(source))
        kept.push_back(k);
    std::vector<Kept> expected;
    for (int s = 0; s < 10; ++s)
        expected.push_back({s * 30, static_cast<double>(s)});
    EXPECT_EQ(kept, expected);
    EXPECT_FALSE(source.next()); // stays at the end

    auto twice = FrameSource::open({file.string()}, 2.0);
    EXPECT_EQ(twice.expectedFrames(), 21);
    auto halves = drain(twice);
    ASSERT_EQ(halves.size(), 20u);
    EXPECT_EQ(halves[1], (Kept{15, 0.5}));
    EXPECT_EQ(halves[19], (Kept{285, 9.5}));
}

TEST(FrameSource, VariableFrameRateAndGapsKeepFileIndicesWithoutBursts) {
    TempDir dir;
    // 20 frames 0.1 s apart, then frames 0.25 s apart from 2 s.
    auto vfr = dir / "vfr.mp4";
    ffmpeg("-f lavfi -i testsrc2=size=64x48:rate=30 -t 4 -vf "
           "\"settb=1/1000,setpts='if(lt(N,20),N*100,2000+(N-20)*250)'\" -vsync vfr "
           "-enc_time_base 1/1000 -video_track_timescale 1000 -c:v libx264 -pix_fmt yuv420p '" +
           vfr.string() + "'");
    EXPECT_EQ(drain(vfr, 1.0), (std::vector<Kept>{{0, 0.0}, {10, 1.0}, {20, 2.0}, {24, 3.0}}));

    // 30 frames per second with the frames from 2 s to 5 s cut out.
    auto gap = dir / "gap.mp4";
    ffmpeg("-f lavfi -i testsrc2=size=64x48:rate=30 -t 10 -vf \"select='not(between(t,2,5))'\" "
           "-vsync vfr -c:v libx264 -pix_fmt yuv420p '" +
           gap.string() + "'");
    EXPECT_EQ(drain(gap, 1.0), (std::vector<Kept>{{0, 0.0},
                                                  {30, 1.0},
                                                  {60, 151.0 / 30.0},
                                                  {89, 6.0},
                                                  {119, 7.0},
                                                  {149, 8.0},
                                                  {179, 9.0}}));

    // Frames at 0, 0.9999995, 1.5, 1.999998, 2 and 3 s: a microsecond's tolerance, no more.
    auto near = dir / "near.mp4";
    ffmpeg("-f lavfi -i testsrc2=size=64x48:rate=30 -frames:v 6 -vf "
           "\"settb=1/10000000,setpts='if(eq(N,0),0,if(eq(N,1),9999995,if(eq(N,2),15000000,"
           "if(eq(N,3),19999980,if(eq(N,4),20000000,30000000)))))'\" -vsync vfr "
           "-enc_time_base 1/10000000 -video_track_timescale 10000000 -c:v libx264 "
           "-pix_fmt yuv420p '" +
           near.string() + "'");
    EXPECT_EQ(drain(near, 1.0), (std::vector<Kept>{{0, 0.0}, {1, 0.9999995}, {4, 2.0}, {5, 3.0}}));
}

TEST(FrameSampler, ATimeFarAheadMovesTheGridInOneStep) {
    FrameSampler sampler(2.0);
    EXPECT_TRUE(sampler.take(0.0));
    // Four trillion intervals ahead: one step, not four trillion.
    EXPECT_TRUE(sampler.take(1e12 + 1.0));
    EXPECT_DOUBLE_EQ(sampler.nextTime(), 1e12 + 1.5);
    EXPECT_FALSE(sampler.take(1e12 + 1.2));
    EXPECT_TRUE(sampler.take(1e12 + 1.5));
    // So far ahead that half a second is lost in the time's rounding: the grid still moves past.
    EXPECT_TRUE(sampler.take(1e18));
    EXPECT_GT(sampler.nextTime(), 1e18);
    EXPECT_FALSE(sampler.take(1e18));
}

TEST(FrameSource, TimeStampsJumpingFarAheadAreSampledWithoutSpinning) {
    TempDir dir;
    // Ten frames 0.1 s apart, then ten more a trillion seconds later.
    auto jump = dir / "jump.mkv";
    ffmpeg("-f lavfi -i testsrc2=size=64x48:rate=10 -frames:v 20 -vf "
           "\"settb=1/1000,setpts='if(lt(N,10),N*100,1e15+N*100)'\" -vsync passthrough "
           "-c:v libx264 -pix_fmt yuv420p '" +
           jump.string() + "'");
    // Read on a thread of its own, so that a reader stuck in the sampler fails the test instead of
    // hanging it.
    auto result = std::make_shared<std::promise<std::vector<Kept>>>();
    auto done = result->get_future();
    std::thread([result, jump] {
        try {
            result->set_value(drain(jump, 2.0));
        } catch (...) {
            result->set_exception(std::current_exception());
        }
    }).detach();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(60)), std::future_status::ready)
        << "the frame source did not get past the jump";
    EXPECT_EQ(done.get(),
              (std::vector<Kept>{{0, 0.0}, {5, 0.5}, {10, 1e12 + 1.0}, {15, 1e12 + 1.5}}));
}

TEST(FrameSource, CancellingIsNoticedWhileFramesAreDecodedButNotKept) {
    TempDir dir;
    auto file = plainVideo(dir);
    // One frame every 1000 s: after the first frame the whole file is decoded without a kept one.
    auto source = FrameSource::open({file.string()}, 0.001);
    ASSERT_TRUE(source.next());
    int asked = 0;
    try {
        source.next([&] { return ++asked == 5; });
        ADD_FAILURE() << "the source read on after being cancelled";
    } catch (const ProcessError& e) {
        EXPECT_EQ(e.kind(), ProcessError::Kind::cancelled);
    }
    EXPECT_EQ(asked, 5);
    // Left alone, the rest of the file holds no kept frame.
    EXPECT_FALSE(source.next());
}

// A grey baseline JPEG of `width` x `height` pixels that all have the same value: every 8 x 8
// block is two bits (no change from the last block, end of block), so a 16000 x 16000 picture is
// 2 MB that decodes to a quarter of a gigabyte, and to a gigabyte once turned into colour pixels.
std::vector<char> flatJpeg(int width, int height) {
    std::vector<unsigned char> b{0xFF, 0xD8};
    auto segment = [&](unsigned char marker, std::vector<unsigned char> body) {
        const std::size_t length = body.size() + 2;
        b.insert(b.end(), {0xFF, marker, static_cast<unsigned char>(length >> 8),
                           static_cast<unsigned char>(length & 0xFF)});
        b.insert(b.end(), body.begin(), body.end());
    };
    std::vector<unsigned char> quant{0x00};
    quant.resize(65, 1);
    segment(0xDB, quant);
    segment(0xC0,
            {8, static_cast<unsigned char>(height >> 8), static_cast<unsigned char>(height & 0xFF),
             static_cast<unsigned char>(width >> 8), static_cast<unsigned char>(width & 0xFF), 1, 1,
             0x11, 0});
    // One code of one bit in each table: "0" is a difference of 0, and the end of the block.
    for (const unsigned char table : {0x00, 0x10}) {
        std::vector<unsigned char> huffman{table, 1};
        huffman.resize(17, 0);
        huffman.push_back(0x00);
        segment(0xC4, huffman);
    }
    segment(0xDA, {1, 1, 0x00, 0, 63, 0});
    const std::size_t blocks = static_cast<std::size_t>((width + 7) / 8) * ((height + 7) / 8);
    b.resize(b.size() + blocks / 2, 0x00); // a quarter byte a block, twice over
    b.insert(b.end(), {0xFF, 0xD9});
    return {b.begin(), b.end()};
}

// A Motion-JPEG recording of two such pictures.
std::filesystem::path flatMotionJpeg(const TempDir& dir, const std::string& name, int side) {
    auto picture = flatJpeg(side, side);
    std::vector<char> bytes = picture;
    bytes.insert(bytes.end(), picture.begin(), picture.end());
    tallymere::testing::writeBytes(dir / name, bytes);
    return dir / name;
}

// Peak resident memory of this process in MiB since the last reset.
double peakMiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

TEST(FrameSource, FramesBeyondThePixelLimitAreRefusedBeforeTheyAreDecoded) {
    TempDir dir;
    // Within the limit the crafted pictures decode as declared.
    {
        auto file = flatMotionJpeg(dir, "fine.mjpeg", 2000);
        auto source = FrameSource::open({file.string()}, 1.0);
        auto frame = source.next();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->image.width, 2000);
        EXPECT_EQ(frame->image.height, 2000);
    }
    // 16000 x 16000 is 256 megapixels, beyond the limit: refused, and nothing near its size is
    // ever allocated.
    auto bomb = flatMotionJpeg(dir, "bomb.mjpeg", 16000);
    std::ofstream("/proc/self/clear_refs") << "5";
    const double before = peakMiB();
    try {
        auto source = FrameSource::open({bomb.string()}, 1.0);
        while (auto frame = source.next())
            ADD_FAILURE() << "a frame of " << frame->image.width << " x " << frame->image.height
                          << " was decoded";
        ADD_FAILURE() << "the recording was read to its end";
    } catch (const ProcessError& e) {
        EXPECT_EQ(e.kind(), ProcessError::Kind::unreadable);
        // The container states no size here: the decoder refuses the picture with its own words.
        EXPECT_FALSE(e.detail().empty());
    }
    EXPECT_LT(peakMiB() - before, 100.0);
}

// Every frame's presentation time, in presentation order, as the ffmpeg tools decode the file
// whole; and the frames the sampling rule keeps among them.
std::vector<Kept> keptByFullDecoding(const std::filesystem::path& file, double fps) {
    const TempDir dir;
    const auto out = dir / "times.txt";
    const std::string command = "ffprobe -v error -select_streams v:0 -show_entries "
                                "frame=best_effort_timestamp_time -of csv=p=0 '" +
                                file.string() + "' > '" + out.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(out);
    std::vector<Kept> kept;
    FrameSampler sampler(fps);
    int index = 0;
    for (std::string line; std::getline(in, line);) {
        std::replace(line.begin(), line.end(), ',', ' ');
        std::istringstream fields(line);
        for (double t = 0; fields >> t; ++index)
            if (sampler.take(t)) kept.push_back({index, t});
    }
    return kept;
}

TEST(FrameSource, SkippingUnneededFramesKeepsTheIndicesAndTimesOfDecodingThemAll) {
    TempDir dir;
    // B-frames, also referenced ones (a pyramid), and an open group of pictures.
    auto bframes = dir / "bframes.mp4";
    ffmpeg("-f lavfi -i testsrc2=size=160x120:rate=30 -t 12 -c:v libx264 -bf 8 -b-pyramid normal "
           "-x264-params open-gop=1 -pix_fmt yuv420p '" +
           bframes.string() + "'");
    // Variable frame rate: 25 frames a second, then 10, then a gap of 3 s, then 30.
    auto vfr = dir / "vfr.mkv";
    ffmpeg("-f lavfi -i testsrc2=size=160x120:rate=30 -t 10 -vf "
           "\"settb=1/1000,setpts='if(lt(N,100),N*40,if(lt(N,150),4000+(N-100)*100,"
           "12000+(N-150)*33))'\" -vsync vfr -c:v libx264 -bf 3 -pix_fmt yuv420p '" +
           vfr.string() + "'");
    // A stream whose codec cannot skip frames: everything decoded, as before.
    auto mpeg4 = dir / "plain.avi";
    ffmpeg("-f lavfi -i testsrc2=size=160x120:rate=30 -t 5 -c:v mpeg4 -bf 2 '" + mpeg4.string() +
           "'");
    for (const auto& file : {bframes, vfr, mpeg4}) {
        for (const double fps : {0.5, 1.0, 2.0, 7.3, 60.0}) {
            SCOPED_TRACE(file.filename().string() + " at " + std::to_string(fps));
            const auto expected = keptByFullDecoding(file, fps);
            const auto kept = drain(file, fps);
            ASSERT_EQ(kept.size(), expected.size());
            for (std::size_t i = 0; i < kept.size(); ++i) {
                EXPECT_EQ(kept[i].index, expected[i].index) << i;
                EXPECT_NEAR(kept[i].time, expected[i].time, 0.000001) << i;
            }
        }
    }
}

TEST(FrameSource, DecodingARecordingTwiceGivesTheSamePictures) {
    // A slow zoom over a photo, high-definition and full-range, converted frame after frame by
    // a reused converter that is made anew for each such frame: every frame must be converted
    // the same way each time. (Converters that lost their colour matrix gave some frames other
    // colours, differently on each run.)
    TALLYMERE_REQUIRE_SHARED();
    TempDir dir;
    const auto file = dir / "zoom-720p.mp4";
    const auto photo = tallymere::testing::sharedFaces() / "groups" / "two_people.jpg";
    ffmpeg("-loop 1 -i '" + photo.string() +
           "' -t 6 -r 25 -vf \"scale=2560:-2,zoompan=z='1+0.004*on':x='iw/2-(iw/zoom/2)':"
           "y='ih/2-(ih/zoom/2)':d=1:s=1280x720:fps=25\" -c:v libx264 -preset veryfast -crf 20 "
           "-pix_fmt yuvj444p '" +
           file.string() + "'");
    auto decodeAll = [&] {
        std::vector<std::vector<std::uint8_t>> frames;
        auto source = FrameSource::open({file.string()}, 100.0);
        while (auto frame = source.next())
            frames.push_back(std::move(frame->image.data));
        return frames;
    };
    const auto first = decodeAll();
    ASSERT_EQ(first.size(), 150u);
    for (int pass = 0; pass < 2; ++pass) {
        const auto again = decodeAll();
        ASSERT_EQ(again.size(), first.size());
        for (std::size_t k = 0; k < first.size(); ++k)
            EXPECT_TRUE(again[k] == first[k]) << "frame " << k << " differs on pass " << pass;
    }
}

TEST(FrameSource, DisplayRotationTurnsFramesUpright) {
    TempDir dir;
    // 64 x 48 black with a red square in the top-left corner of the stored frames.
    auto stored = dir / "stored.mp4";
    ffmpeg(
        "-f lavfi -i \"color=black:size=64x48:rate=30,drawbox=x=0:y=0:w=16:h=16:color=red:t=fill\" "
        "-t 1 -c:v libx264 -pix_fmt yuv420p '" +
        stored.string() + "'");

    struct Case {
        int a, b, c, d;
        int width, height;
        std::pair<int, int> red; // where the square ends up
    };
    const std::vector<std::pair<std::string, Case>> cases{
        {"none", {1, 0, 0, 1, 64, 48, {4, 4}}},
        // A phone held upright: stored landscape, shown turned a quarter clockwise.
        {"portrait", {0, 1, -1, 0, 48, 64, {43, 4}}},
        {"counter", {0, -1, 1, 0, 48, 64, {4, 59}}},
        {"upside-down", {-1, 0, 0, -1, 64, 48, {59, 43}}},
    };
    for (const auto& [name, c] : cases) {
        SCOPED_TRACE(name);
        auto file = dir / (name + ".mp4");
        std::filesystem::copy_file(stored, file);
        ASSERT_TRUE(tallymere::testing::setTrackTransform(file, c.a, c.b, c.c, c.d));
        auto source = FrameSource::open({file.string()}, 1.0);
        auto frame = source.next();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->image.width, c.width);
        EXPECT_EQ(frame->image.height, c.height);
        EXPECT_TRUE(isRed(frame->image, c.red.first, c.red.second));
        int redCorners = 0;
        for (auto [x, y] : {std::pair{4, 4}, std::pair{c.width - 5, 4}, std::pair{4, c.height - 5},
                            std::pair{c.width - 5, c.height - 5}})
            redCorners += isRed(frame->image, x, y);
        EXPECT_EQ(redCorners, 1);
    }
}

TEST(FrameSource, StillsYieldOnePhotoPerSecondSkippingUndecodableOnes) {
    TempDir dir;
    auto a = dir / "a.JPG"; // an upper-case extension still counts
    auto b = dir / "b.png";
    auto c = dir / "c.bmp";
    auto big = dir / "big.png";
    ffmpeg("-f lavfi -i color=red:size=40x30 -frames:v 1 -f mjpeg '" + a.string() + "'");
    ffmpeg("-f lavfi -i color=blue:size=20x10 -frames:v 1 '" + c.string() + "'");
    ffmpeg("-f lavfi -i color=green:size=7000x700 -frames:v 1 '" + big.string() + "'");
    tallymere::testing::writeBytes(b, {'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'});

    auto source = FrameSource::open({a.string(), b.string(), c.string(), big.string()}, 1.0);
    EXPECT_TRUE(source.isStill());
    EXPECT_DOUBLE_EQ(source.duration(), 4.0);
    EXPECT_EQ(source.expectedFrames(), 4);
    std::vector<std::tuple<int, double, int, int>> frames;
    while (auto f = source.next())
        frames.emplace_back(f->index, f->time, f->image.width, f->image.height);
    EXPECT_EQ(frames, (std::vector<std::tuple<int, double, int, int>>{
                          {0, 0.0, 40, 30}, {2, 2.0, 20, 10}, {3, 3.0, 6000, 600}}));

    auto empty = FrameSource::open({}, 1.0);
    EXPECT_TRUE(empty.isStill());
    EXPECT_DOUBLE_EQ(empty.duration(), 0.0);
    EXPECT_EQ(empty.expectedFrames(), 0);
    EXPECT_FALSE(empty.next());

    EXPECT_TRUE(FrameSource::isStillPath("/x/photo.HeIc"));
    EXPECT_TRUE(FrameSource::isStillPath("scan.tiff"));
    EXPECT_FALSE(FrameSource::isStillPath("talk.mp4"));
    EXPECT_FALSE(FrameSource::isStillPath("jpg"));
}

TEST(FrameSource, AVideoIsReadFromTheFirstPathOnly) {
    TempDir dir;
    auto talk = plainVideo(dir, "talk.mp4");
    auto extra = dir / "extra.mp4";
    ffmpeg("-f lavfi -i color=white:size=32x32:rate=10 -t 30 -c:v libx264 -pix_fmt yuv420p '" +
           extra.string() + "'");
    auto source = FrameSource::open({talk.string(), extra.string()}, 1.0);
    EXPECT_DOUBLE_EQ(source.duration(), 10.0);
    EXPECT_EQ(drain(source).size(), 10u);

    // A photo first makes the whole list a recording read from that photo.
    auto photo = dir / "a.jpg";
    ffmpeg("-f lavfi -i color=red:size=40x30 -frames:v 1 -f mjpeg '" + photo.string() + "'");
    auto mixed = FrameSource::open({photo.string(), talk.string()}, 1.0);
    EXPECT_FALSE(mixed.isStill());
    auto frame = mixed.next();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->image.width, 40);
    EXPECT_FALSE(mixed.next());
}

TEST(FrameSource, FilesThatAreNotRecordingsFailClearly) {
    TempDir dir;
    auto expectOpenFails = [](const std::filesystem::path& file) -> std::string {
        try {
            auto source = FrameSource::open({file.string()}, 1.0);
            while (source.next()) {
            }
        } catch (const std::system_error& e) {
            return e.what();
        } catch (const ProcessError& e) {
            return e.what();
        }
        ADD_FAILURE() << file << " was read as a recording";
        return {};
    };

    // Each failure names the recording.
    EXPECT_EQ(expectOpenFails(dir / "missing.mp4"),
              "Couldn't read the recording missing.mp4: No such file or directory");

    auto empty = dir / "empty.mp4";
    tallymere::testing::writeBytes(empty, {});
    EXPECT_EQ(expectOpenFails(empty),
              "Couldn't read the recording empty.mp4: Invalid data found when processing input");

    auto text = dir / "notes.mov";
    std::string words = "This is a text file that somebody renamed to look like a film.\n";
    std::vector<char> bytes;
    for (int i = 0; i < 200; ++i)
        bytes.insert(bytes.end(), words.begin(), words.end());
    tallymere::testing::writeBytes(text, bytes);
    EXPECT_FALSE(expectOpenFails(text).empty());

    // An ordinary MP4 keeps its index at the end: cut short, it has none.
    auto whole = plainVideo(dir, "whole.mp4");
    auto cut = readBytes(whole);
    cut.resize(cut.size() / 2);
    auto truncated = dir / "truncated.mp4";
    tallymere::testing::writeBytes(truncated, cut);
    EXPECT_EQ(expectOpenFails(truncated), "Couldn't read the recording truncated.mp4: Invalid data "
                                          "found when processing input");

    auto audio = dir / "sermon.m4a";
    ffmpeg("-f lavfi -i sine=frequency=440:duration=1 -c:a aac '" + audio.string() + "'");
    try {
        FrameSource::open({audio.string()}, 1.0);
        ADD_FAILURE() << "an audio file was read as a recording";
    } catch (const ProcessError& e) {
        EXPECT_EQ(e.kind(), ProcessError::Kind::noVideoTrack);
        EXPECT_STREQ(e.what(), "This file has no video in it.");
    }
}

TEST(FrameSource, ARecordingThatStopsDecodingHalfWayFailsWithTheDecodersText) {
    TempDir dir;
    // The index first, then the frames; the last third of the file is wiped.
    auto good = dir / "good.mp4";
    ffmpeg("-f lavfi -i testsrc2=size=64x48:rate=30 -t 10 -c:v libx264 -pix_fmt yuv420p "
           "-movflags +faststart '" +
           good.string() + "'");
    auto bytes = readBytes(good);
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() * 2 / 3), bytes.end(), 0);
    auto broken = dir / "broken.mp4";
    tallymere::testing::writeBytes(broken, bytes);

    auto source = FrameSource::open({broken.string()}, 1.0);
    int frames = 0;
    try {
        while (source.next())
            ++frames;
        ADD_FAILURE() << "a broken recording was read to the end";
    } catch (const ProcessError& e) {
        EXPECT_EQ(e.kind(), ProcessError::Kind::unreadable);
        EXPECT_EQ(std::string(e.what()), "Couldn't read the recording broken.mp4: " + e.detail());
        EXPECT_EQ(e.detail(), "Invalid data found when processing input");
    }
    EXPECT_GE(frames, 1); // the start was read
    EXPECT_LT(frames, 10);
    EXPECT_THROW(source.next(), ProcessError); // and it stays failed
}

TEST(ProcessError, DescriptionsAreTheTextsShownToTheUser) {
    EXPECT_STREQ(ProcessError::unreadable("decode failed").what(),
                 "Couldn't read the recording: decode failed");
    EXPECT_EQ(ProcessError::unreadable("decode failed").detail(), "decode failed");
    EXPECT_STREQ(ProcessError::unreadable("decode failed", "a.mp4").what(),
                 "Couldn't read the recording a.mp4: decode failed");
    EXPECT_STREQ(ProcessError::noVideoTrack().what(), "This file has no video in it.");
    EXPECT_STREQ(
        ProcessError::noMembers().what(),
        "No members are recognisable yet. Add members with at least one good photo first.");
    EXPECT_STREQ(ProcessError::cancelled().what(), "Cancelled");
    EXPECT_EQ(ProcessError::cancelled().kind(), ProcessError::Kind::cancelled);
}
