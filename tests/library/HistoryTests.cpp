// Attendance over time on hand-made registers: a member's history, follow-up, the trend and the
// report.

#include "library/History.h"
#include "library/Report.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace tallymere {
namespace {

using namespace std::chrono;

// Noon UTC of the given day of March 2026, so the local day is that day in every zone near UTC.
Date day(int d) {
    return sys_days{year{2026} / March / d} + hours(12);
}

// A finished service on day `d` whose register lists `present` and `absent`.
Service service(std::string id, int d, const std::vector<std::string>& present,
                const std::vector<std::string>& absent, std::string label = "Sunday",
                Date created = {}) {
    Service s(std::move(id), std::move(label), day(d), created == Date{} ? day(d) : created, {},
              ProcessSettings::Mode::standard);
    s.status = ServiceStatus::done;
    ServiceResults results;
    for (const auto& id : present)
        results.members.push_back({id, true, 0.9f, 1.0, 2.0, 3, false, "", std::nullopt});
    for (const auto& id : absent)
        results.members.push_back({id, false, 0, std::nullopt, std::nullopt, 0, false, "", {}});
    s.results = results;
    return s;
}

Member member(std::string id, std::string name) {
    Member m;
    m.id = std::move(id);
    m.name = std::move(name);
    return m;
}

std::string marks(const MemberHistory& history) {
    std::string text;
    for (const Attendance& a : history.registers)
        text += a.attended ? 'P' : 'a';
    return text;
}

// Ann is on every register; Ben enrolled after the first two; Dee was deleted since; day 8 holds
// two services, the later-created one second; a failed service and a weekday meeting are there
// too.
std::vector<Service> library() {
    std::vector<Service> services{
        service("s5", 15, {"M2"}, {"M1", "D9"}),
        service("s1", 1, {"M1", "D9"}, {}),
        service("s2", 3, {"M1"}, {"D9"}),
        service("s4b", 8, {}, {"M1", "M2", "D9"}, "Sunday", day(9)),
        service("s4a", 8, {"M2"}, {"M1", "D9"}, "Sunday", day(8)),
        service("s3", 5, {}, {"M1", "M2", "D9"}),
        service("w1", 10, {"M1"}, {"M2"}, "Wednesday prayer"),
    };
    Service failed = service("f", 20, {"M1", "M2"}, {});
    failed.status = ServiceStatus::failed;
    services.push_back(failed);
    Service queued("q", "Sunday", day(22), day(22), {}, ProcessSettings::Mode::standard);
    services.push_back(queued);
    return services;
}

TEST(History, RegistersInOrderAbsenceRunAndLastSeen) {
    const std::vector<Service> services = library();
    const std::vector<Member> members{member("M1", "Ann"), member("M2", "Ben")};
    const AttendanceHistory all(services, members);
    EXPECT_EQ(all.registerCount(), 7u);

    // Ann: P P a a(8, first) a(8, second) P(weekday) a: the weekday presence ends a run.
    const MemberHistory& ann = all.member("M1");
    EXPECT_EQ(marks(ann), "PPaaaPa");
    EXPECT_EQ(ann.registers[3].service->id, "s4a");
    EXPECT_EQ(ann.registers[4].service->id, "s4b");
    EXPECT_EQ(ann.attended(), 3);
    EXPECT_EQ(ann.absenceRun(), 1);
    EXPECT_EQ(ann.lastSeen(), day(10));

    // Ben is only on the registers made after he was enrolled.
    const MemberHistory& ben = all.member("M2");
    EXPECT_EQ(marks(ben), "aPaaP");
    EXPECT_EQ(ben.absenceRun(), 0);
    EXPECT_EQ(ben.lastSeen(), day(15));
    EXPECT_EQ(marks(ben.recent(2)), "aP");
    EXPECT_EQ(marks(ben.recent(20)), "aPaaP");

    // A deleted member keeps a history; a stranger has none.
    EXPECT_EQ(all.member("D9").absenceRun(), 5);
    EXPECT_TRUE(all.member("M7").registers.empty());
    EXPECT_FALSE(all.member("M7").lastSeen());

    // Sunday services alone, in any case: Ann is away from the last four.
    const AttendanceHistory sundays(services, members, {"sUNDAY"});
    EXPECT_EQ(sundays.registerCount(), 6u);
    EXPECT_EQ(marks(sundays.member("M1")), "PPaaaa");
    EXPECT_EQ(sundays.member("M1").absenceRun(), 4);
    EXPECT_EQ(sundays.member("M1").lastSeen(), day(3));
    EXPECT_EQ(registerLabels(services), (std::vector<std::string>{"Sunday", "Wednesday prayer"}));
}

TEST(History, CorrectionsCountAndFollowUpOrder) {
    std::vector<Service> services = library();
    std::vector<Member> members{member("M3", "Abe"), member("M5", "Al"), member("M1", "Ann"),
                                member("M2", "Ben")};
    services.push_back(service("s6", 17, {}, {"M5", "M3"}));
    services.push_back(service("s7", 18, {}, {"M3", "M5"}));
    services.push_back(service("s8", 19, {"M3"}, {"M5"}));
    // The last register marks Abe absent against the run's finding, and Ann present.
    services.back().results->members.push_back(
        {"M1", false, 0, std::nullopt, std::nullopt, 0, true, "unsure", std::nullopt});
    services.back().corrections.members = {{"M3", MemberCorrection::Decision::absent, day(19)},
                                           {"M1", MemberCorrection::Decision::present, day(19)}};

    const AttendanceHistory sundays(services, members, {"Sunday"});
    const MemberHistory& abe = sundays.member("M3");
    EXPECT_EQ(marks(abe), "aaa");
    EXPECT_TRUE(abe.registers.back().corrected);
    EXPECT_FALSE(abe.registers.front().corrected);
    EXPECT_EQ(sundays.member("M1").absenceRun(), 0);
    EXPECT_FALSE(sundays.member("M1").registers.back().needsReview);

    // Abe and Al are away from 3, in name order; Ben (a P a P) and Ann are not, and the deleted
    // D9 is never listed.
    std::vector<FollowUp> away = sundays.followUp(2);
    ASSERT_EQ(away.size(), 2u);
    EXPECT_EQ(away[0].memberID, "M3");
    EXPECT_EQ(away[0].absenceRun, 3);
    EXPECT_FALSE(away[0].lastSeen);
    EXPECT_EQ(away[1].name, "Al");

    // Without the decision Ann is away from s5 and s8 (the weekday meeting saw her), with
    // Sundays alone from the five since day 3: the longest run comes first.
    services.back().corrections.members.pop_back();
    away = AttendanceHistory(services, members).followUp(2);
    ASSERT_EQ(away.size(), 3u);
    EXPECT_EQ(away[2].name, "Ann");
    EXPECT_EQ(away[2].absenceRun, 2);
    EXPECT_EQ(away[2].lastSeen, day(10));
    away = AttendanceHistory(services, members, {"Sunday"}).followUp(3);
    ASSERT_EQ(away.size(), 3u);
    EXPECT_EQ(away[0].name, "Ann");
    EXPECT_EQ(away[0].absenceRun, 5);
    EXPECT_EQ(away[0].lastSeen, day(3));
    EXPECT_TRUE(AttendanceHistory(services, members).followUp(4).empty());
}

TEST(History, TrendAveragesAndChange) {
    std::vector<Service> services;
    for (int i = 1; i <= 14; ++i) {
        std::vector<std::string> present;
        for (int p = 0; p < i; ++p)
            present.push_back("M" + std::to_string(p));
        services.push_back(service("s" + std::to_string(i), i, present, {}));
    }
    services.back().results->visitors = {{"V1", "v.jpg", 1, 2}, {"V2", "w.jpg", 1, 2}};
    services.back().corrections.visitors = {{"V2", "M0", day(14)}};
    const std::vector<TrendPoint> trend = attendanceTrend(services);
    ASSERT_EQ(trend.size(), 14u);
    EXPECT_EQ(trend[0].present, 1);
    EXPECT_DOUBLE_EQ(trend[0].average4, 1);
    EXPECT_DOUBLE_EQ(trend[2].average4, 2);     // (1+2+3)/3
    EXPECT_DOUBLE_EQ(trend[13].average4, 12.5); // 11..14
    EXPECT_DOUBLE_EQ(trend[13].average12, 8.5); // 3..14
    EXPECT_EQ(trend[13].visitors, 1);           // the other one was named
    EXPECT_DOUBLE_EQ(*recentChange(trend), 12.5 / 8.5 - 1);
    EXPECT_FALSE(recentChange({}));
    EXPECT_TRUE(attendanceTrend(services, {"Other"}).empty());
}

TEST(Report, ColumnsRangeAndQuoting) {
    std::vector<Service> services = library();
    services.push_back(service("x", 12, {"M4"}, {"M1"}, "=SUM(A1)"));
    const std::vector<Member> members{member("M1", "Ann, \"the elder\""), member("M2", "Ben"),
                                      member("M4", "-Zed")};
    std::istringstream all(attendanceReport(services, members, {"2026-03-05", "2026-03-12", {}}));
    std::vector<std::string> lines;
    for (std::string line; std::getline(all, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "member_id,name,2026-03-05 Sunday,2026-03-08 Sunday,2026-03-08 Sunday,"
                        "2026-03-10 Wednesday prayer,2026-03-12 =SUM(A1),attended,registers,rate");
    EXPECT_EQ(lines[1],
              "M1,\"Ann, \"\"the elder\"\"\",absent,absent,absent,present,absent,1,5,20%");
    EXPECT_EQ(lines[2], "M2,\"Ben\",absent,present,absent,absent,,1,4,25%");
    EXPECT_EQ(lines[3], "M4,\"'-Zed\",,,,,present,1,1,100%");
    EXPECT_EQ(lines[4], "D9,\"D9\",absent,absent,absent,,,0,3,0%");

    // The label filter, and a member on none of the covered registers.
    std::istringstream weekday(attendanceReport(services, members, {"", "", {"wednesday PRAYER"}}));
    lines.clear();
    for (std::string line; std::getline(weekday, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "member_id,name,2026-03-10 Wednesday prayer,attended,registers,rate");
    EXPECT_EQ(lines[3], "M4,\"'-Zed\",,0,0,");
}

} // namespace
} // namespace tallymere
