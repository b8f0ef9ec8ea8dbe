#pragma once

#include "library/Date.h"
#include "library/Member.h"
#include "library/Service.h"

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tallymere {

// Attendance over time, read from the registers the library already keeps: each register counts
// as the operator corrected it (correctedRegister), so a decision made today changes a member's
// history and who is to be followed up as well as the register itself.

// Which registers count: the finished services with results, all of them or only those with one
// label (a congregation may follow its Sunday services apart from a weekday meeting).
struct RegisterFilter {
    std::string label; // empty: every service; else the label, ignoring case

    bool counts(const Service& service) const;
};

// The services whose registers count, ordered by service date, then by creation time (oldest
// first).
std::vector<const Service*> countedRegisters(const std::vector<Service>& services,
                                             const RegisterFilter& filter = {});

// The labels of the finished services with results, each once, the most recent first: what a
// label filter offers.
std::vector<std::string> registerLabels(const std::vector<Service>& services);

// One register a member is on, as their history shows it. It points at its service in the list
// the history was made from (a history holds 150,000 of these for a large library, so its id and
// label are not copied into each), and is valid while that list is unchanged.
struct Attendance {
    const Service* service = nullptr;
    Date date{};              // the service's
    bool attended = false;    // the corrected line's present
    bool corrected = false;   // the operator decided the line or named a visitor as the member
    bool needsReview = false; // still to be double-checked
};

// A member's registers, oldest first: the finished services whose register lists the member (one
// enrolled after a service is not on it, and that service says nothing about them).
struct MemberHistory {
    std::string memberID;
    std::vector<Attendance> registers;

    int attended() const;
    // How many of the most recent registers in a row the member is absent from.
    int absenceRun() const;
    // The date of the latest register the member attended; none when there is none.
    std::optional<Date> lastSeen() const;
    // The same member over their last `count` registers only.
    MemberHistory recent(std::size_t count) const;
};

// A member to follow up: away from their `absenceRun` most recent registers.
struct FollowUp {
    std::string memberID;
    std::string name;
    int absenceRun = 0;
    std::optional<Date> lastSeen;
};

// The absence run that puts a member on the follow-up list, and the range the operator may
// choose it from.
inline constexpr int defaultMissedServices = 3;
inline constexpr int fewestMissedServices = 2;
inline constexpr int mostMissedServices = 8;

// Every member's history, made in one pass over the counted registers.
class AttendanceHistory {
public:
    // `members` are the enrolled members in list order (sorted by name as stored); registers may
    // also hold members deleted since, whose histories are kept under their ids. The histories
    // point into `services`, which must outlive them unchanged.
    AttendanceHistory(const std::vector<Service>& services, const std::vector<Member>& members,
                      const RegisterFilter& filter = {});

    // The member's history; an empty one for a member on no counted register.
    const MemberHistory& member(const std::string& memberID) const;
    // How many registers count.
    std::size_t registerCount() const { return registerCount_; }

    // The enrolled members whose absence run is at least `missed`, the longest run first, then
    // by name. A deleted member is nobody to call, so is never listed.
    std::vector<FollowUp> followUp(int missed = defaultMissedServices) const;

private:
    std::unordered_map<std::string, MemberHistory> histories_;
    struct Enrolled {
        std::string id;
        std::string name;
    };
    std::vector<Enrolled> members_; // in list order
    std::size_t registerCount_ = 0;
};

// One finished service on the attendance chart.
struct TrendPoint {
    std::string serviceID;
    std::string label;
    Date date{};
    int present = 0;  // members present on the corrected register
    int visitors = 0; // the visitors still counted as visitors
    // The mean of present members over this service and up to 3 (11) counted ones before it.
    double average4 = 0;
    double average12 = 0;
};

// The counted registers, oldest first, with their figures.
std::vector<TrendPoint> attendanceTrend(const std::vector<Service>& services,
                                        const RegisterFilter& filter = {});

// How the last 4 services compare with the last 12: the latest 4-service average over the latest
// 12-service average, less one (0.05 is 5% more). None without services or with no one present.
std::optional<double> recentChange(const std::vector<TrendPoint>& trend);

} // namespace tallymere
