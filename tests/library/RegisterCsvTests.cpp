// The attendance register export and the clock format shared with the screens.

#include "library/Library.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace tallymere {
namespace {

using testing::TempDir;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

Member named(std::string id, std::string name) {
    Member m;
    m.id = std::move(id);
    m.name = std::move(name);
    return m;
}

const char* header =
    "member_id,name,status,confidence,first_seen,last_seen,sightings,needs_review,review_reason";

TEST(RegisterCsv, OneLinePerResultInStoredOrder) {
    TempDir dir;
    Library library(dir.path());
    Service service("s", "Sunday", Date{}, Date{}, {}, ProcessSettings::Mode::standard);
    EXPECT_EQ(library.csv(service, {}), std::string(header) + "\n");

    ServiceResults results;
    MemberResult anne;
    anne.memberID = "M0001";
    anne.present = true;
    anne.confidence = 0.8437f;
    anne.firstSeen = 12.4;
    anne.lastSeen = 3725;
    anne.sightings = 14;
    MemberResult reviewed = anne;
    reviewed.memberID = "M0003";
    reviewed.confidence = 0.4567f;
    reviewed.needsReview = true;
    reviewed.reviewReason = "low-confidence match";
    MemberResult bob;
    bob.memberID = "M0002";
    MemberResult gone;
    gone.memberID = "M0099";
    gone.present = true;
    gone.confidence = 1;
    gone.firstSeen = 0;
    gone.lastSeen = 0.5;
    gone.sightings = 1;
    MemberResult quoted = bob;
    quoted.memberID = "M0004";
    results.members = {anne, reviewed, gone, bob, quoted};
    service.results = results;

    const std::vector<Member> members{named("M0002", "Bob"), named("M0001", "Anne Smith"),
                                      named("M0003", "Smith, Carol"),
                                      named("M0004", "Dee \"DJ\" Jones")};
    const std::string text = library.csv(service, members);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(lines(text), (std::vector<std::string>{
                               header,
                               "M0001,\"Anne Smith\",present,0.844,0:00:12,1:02:05,14,,\"\"",
                               "M0003,\"Smith, Carol\",present,0.457,0:00:12,1:02:05,14,yes,"
                               "\"low-confidence match\"",
                               "M0099,\"M0099\",present,1.000,0:00:00,0:00:01,1,,\"\"",
                               "M0002,\"Bob\",absent,,,,0,,\"\"",
                               "M0004,\"Dee \"\"DJ\"\" Jones\",absent,,,,0,,\"\"",
                           }));
}

TEST(RegisterCsv, FormulasAreNeutralisedAndSeparatorsQuoted) {
    TempDir dir;
    Library library(dir.path());
    Service service("s", "Sunday", Date{}, Date{}, {}, ProcessSettings::Mode::standard);
    ServiceResults results;
    for (const char* id : {"M0001", "M0002", "M0003", "M0004", "M0005", "=1+1", "a,b", "M0006"}) {
        MemberResult result;
        result.memberID = id;
        results.members.push_back(result);
    }
    results.members[7].reviewReason = "say \"hi\"";
    service.results = results;
    const std::vector<Member> members{named("M0001", "=HYPERLINK(\"http://x\",\"y\")"),
                                      named("M0002", "+44 1234"), named("M0003", "-Ann"),
                                      named("M0004", "@SUM(A1)"), named("M0005", "\tTab;\nline")};
    EXPECT_EQ(lines(library.csv(service, members)),
              (std::vector<std::string>{
                  header,
                  "M0001,\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\",absent,,,,0,,\"\"",
                  "M0002,\"'+44 1234\",absent,,,,0,,\"\"",
                  "M0003,\"'-Ann\",absent,,,,0,,\"\"",
                  "M0004,\"'@SUM(A1)\",absent,,,,0,,\"\"",
                  "M0005,\"'\tTab;",
                  "line\",absent,,,,0,,\"\"",
                  "'=1+1,\"'=1+1\",absent,,,,0,,\"\"",
                  "\"a,b\",\"a,b\",absent,,,,0,,\"\"",
                  "M0006,\"M0006\",absent,,,,0,,\"say \"\"hi\"\"\"",
              }));
}

TEST(RegisterCsv, FormatClockRoundsHalvesAwayAndLeavesHoursUnbounded) {
    EXPECT_EQ(formatClock(std::nullopt), "");
    EXPECT_EQ(formatClock(0.0), "0:00:00");
    EXPECT_EQ(formatClock(0.5), "0:00:01");
    EXPECT_EQ(formatClock(0.49), "0:00:00");
    EXPECT_EQ(formatClock(59.5), "0:01:00");
    EXPECT_EQ(formatClock(2.5), "0:00:03"); // not to the even neighbour
    EXPECT_EQ(formatClock(3599.4), "0:59:59");
    EXPECT_EQ(formatClock(3599.5), "1:00:00");
    EXPECT_EQ(formatClock(3725), "1:02:05");
    EXPECT_EQ(formatClock(90000), "25:00:00");
    EXPECT_EQ(formatClock(360000), "100:00:00");
    EXPECT_EQ(formatClock(std::numeric_limits<double>::quiet_NaN()), "");
}

TEST(ServiceFigures, DurationsAndMemberReadiness) {
    EXPECT_EQ(formatDuration(3725), "1h02m");
    EXPECT_EQ(formatDuration(3600), "1h00m");
    EXPECT_EQ(formatDuration(3599.9), "59m59s");
    EXPECT_EQ(formatDuration(125), "2m5s");
    EXPECT_EQ(formatDuration(59.6), "60s");
    EXPECT_EQ(formatDuration(0.4), "0s");
    EXPECT_EQ(formatDuration(-1), "");
    EXPECT_EQ(formatDuration(std::numeric_limits<double>::infinity()), "");
    EXPECT_EQ(formatDuration(1e300), "");

    Member member;
    EXPECT_EQ(member.readiness(), "No usable photos yet");
    EXPECT_EQ(member.photoIssue(), "no usable photos");
    for (int i = 0; i < Member::minGoodPhotos; ++i) {
        Photo photo("p" + std::to_string(i), {});
        photo.checked = photo.ok = true;
        member.photos.push_back(photo);
        EXPECT_EQ(member.needsMorePhotos(), i + 1 < Member::minGoodPhotos);
        EXPECT_EQ(member.readiness(),
                  i + 1 < Member::minGoodPhotos ? "Add more photos (3+ recommended)" : "Ready");
        if (i == 0) {
            EXPECT_EQ(member.photoIssue(), "1 good photo, add more");
        } else if (i == 1) {
            EXPECT_EQ(member.photoIssue(), "2 good photos, add more");
        }
    }
    EXPECT_EQ(member.photoIssue(), "");
}

} // namespace
} // namespace tallymere
