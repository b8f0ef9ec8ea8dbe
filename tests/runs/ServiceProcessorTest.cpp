#include "runs/ServiceProcessor.h"

#include "MediaFiles.h"
#include "runs/FrameReadAhead.h"
#include "runs/FrameSource.h"
#include "runs/ProcessError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace tallymere;
using tallymere::testing::ffmpeg;
using tallymere::testing::TempDir;

TEST(ServiceProcessor, ProgressTextCountsFramesAndEstimatesTheTimeLeft) {
    EXPECT_EQ(ServiceProcessor::progressText(7, std::nullopt, 100), "7 frames");
    // No estimate before four frames, as in a run over three stills.
    EXPECT_EQ(ServiceProcessor::progressText(1, 3, 0.5), "1/3 frames");
    EXPECT_EQ(ServiceProcessor::progressText(3, 3, 9), "3/3 frames");
    // 100 of 1000 in 50 s: 450 s left.
    EXPECT_EQ(ServiceProcessor::progressText(100, 1000, 50), "100/1000 frames \u00b7 ~7 min left");
    EXPECT_EQ(ServiceProcessor::progressText(120, 3601, 30), "120/3601 frames \u00b7 ~14 min left");
    EXPECT_EQ(ServiceProcessor::progressText(3590, 3601, 718), "3590/3601 frames \u00b7 2 s left");
    EXPECT_EQ(ServiceProcessor::progressText(4, 5, 239.6), "4/5 frames \u00b7 59 s left");
    EXPECT_EQ(ServiceProcessor::progressText(4, 5, 240), "4/5 frames \u00b7 ~1 min left");
    // More frames than expected: nothing left.
    EXPECT_EQ(ServiceProcessor::progressText(10, 5, 3), "10/5 frames \u00b7 0 s left");
}

namespace {

struct Pulled {
    std::vector<int> indices;
    std::vector<double> times;
    std::vector<BGRAImage> images;
    std::string failure; // the text of the failure that ended the pulling, if any
};

template <typename Next>
Pulled pullAll(Next next) {
    Pulled p;
    try {
        while (auto frame = next()) {
            p.indices.push_back(frame->index);
            p.times.push_back(frame->time);
            p.images.push_back(std::move(frame->image));
        }
    } catch (const std::exception& e) {
        p.failure = e.what();
    }
    return p;
}

void expectSame(const Pulled& a, const Pulled& b) {
    EXPECT_EQ(a.indices, b.indices);
    EXPECT_EQ(a.times, b.times);
    EXPECT_TRUE(a.images == b.images);
    EXPECT_EQ(a.failure, b.failure);
}

} // namespace

TEST(ServiceSteps, ProgressIsZeroWithoutATotalAndCappedBelowOneUntilFinished) {
    Service service("s", "Sunday", {}, {}, {}, ProcessSettings::Mode::standard);
    const auto progress = [&](Progress report) {
        markProgress(service, report);
        return service.progress;
    };
    EXPECT_EQ(progress({3, std::nullopt, 1.0, "3 frames"}), 0.0);
    EXPECT_EQ(service.message, "3 frames");
    EXPECT_EQ(progress({3, 0, 1.0, ""}), 0.0);
    EXPECT_EQ(progress({1, 4, 1.0, ""}), 0.25);
    EXPECT_EQ(progress({100, 100, 1.0, "Matching"}), 0.99);
    EXPECT_EQ(progress({120, 100, 1.0, ""}), 0.99);
    // Processed again: the operator's decisions about members stand, visitor links go.
    service.corrections.members = {{"M0001", MemberCorrection::Decision::absent, {}}};
    service.corrections.visitors = {{"V1", "M0002", {}}};
    markFinished(service, ServiceResults{});
    EXPECT_EQ(service.progress, 1.0);
    EXPECT_EQ(service.status, ServiceStatus::done);
    EXPECT_EQ(service.corrections.members.size(), 1u);
    EXPECT_TRUE(service.corrections.visitors.empty());
}

TEST(FrameReadAhead, GivesExactlyTheFramesAndFailureOfTheSourceItself) {
    TempDir dir;
    auto good = dir / "good.mp4";
    ffmpeg("-f lavfi -i testsrc2=size=96x64:rate=25 -t 6 -c:v libx264 -pix_fmt yuv420p "
           "-movflags +faststart '" +
           good.string() + "'");
    auto bytes = tallymere::testing::readBytes(good);
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() * 2 / 3), bytes.end(), 0);
    auto broken = dir / "broken.mp4";
    tallymere::testing::writeBytes(broken, bytes);

    for (const auto& file : {good, broken}) {
        SCOPED_TRACE(file.filename().string());
        auto direct = FrameSource::open({file.string()}, 4.0);
        const Pulled expected = pullAll([&] { return direct.next(); });
        EXPECT_FALSE(expected.indices.empty());
        EXPECT_EQ(expected.failure.empty(), file == good);
        for (std::size_t depth : {0u, 1u, 3u}) {
            auto source = FrameSource::open({file.string()}, 4.0);
            FrameReadAhead ahead(source, depth);
            expectSame(pullAll([&] { return ahead.next(); }), expected);
        }
    }

    // Stopping half-way (a cancelled run) ends the reading thread without reading on.
    auto source = FrameSource::open({good.string()}, 25.0);
    {
        FrameReadAhead ahead(source, 2);
        ASSERT_TRUE(ahead.next());
    }
    auto rest = source.next();
    ASSERT_TRUE(rest);
    EXPECT_LE(rest->index, 3); // one taken, at most two more read ahead
}
