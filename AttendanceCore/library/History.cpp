#include "library/History.h"

#include "library/Register.h"

#include <algorithm>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unordered_set>

namespace tallymere {

namespace {

bool sameLabel(const std::string& a, const std::string& b) {
    if (a == b) return true;
    return icu::UnicodeString::fromUTF8(a).caseCompare(icu::UnicodeString::fromUTF8(b),
                                                       U_FOLD_CASE_DEFAULT) == 0;
}

bool isFinished(const Service& service) {
    return service.status == ServiceStatus::done && service.results.has_value();
}

} // namespace

bool RegisterFilter::counts(const Service& service) const {
    return isFinished(service) && (label.empty() || sameLabel(service.label, label));
}

std::vector<const Service*> countedRegisters(const std::vector<Service>& services,
                                             const RegisterFilter& filter) {
    std::vector<const Service*> counted;
    for (const Service& service : services)
        if (filter.counts(service)) counted.push_back(&service);
    std::stable_sort(counted.begin(), counted.end(), [](const Service* a, const Service* b) {
        if (a->date != b->date) return a->date < b->date;
        return a->created < b->created;
    });
    return counted;
}

std::vector<std::string> registerLabels(const std::vector<Service>& services) {
    std::vector<std::string> labels;
    const std::vector<const Service*> counted = countedRegisters(services);
    for (auto it = counted.rbegin(); it != counted.rend(); ++it) {
        const std::string& label = (*it)->label;
        if (label.empty()) continue;
        if (std::none_of(labels.begin(), labels.end(),
                         [&](const std::string& known) { return sameLabel(known, label); }))
            labels.push_back(label);
    }
    return labels;
}

// ---- A member's history

int MemberHistory::attended() const {
    return int(std::count_if(registers.begin(), registers.end(),
                             [](const Attendance& a) { return a.attended; }));
}

int MemberHistory::absenceRun() const {
    int run = 0;
    for (auto it = registers.rbegin(); it != registers.rend() && !it->attended; ++it)
        ++run;
    return run;
}

std::optional<Date> MemberHistory::lastSeen() const {
    for (auto it = registers.rbegin(); it != registers.rend(); ++it)
        if (it->attended) return it->date;
    return std::nullopt;
}

MemberHistory MemberHistory::recent(std::size_t count) const {
    MemberHistory last{memberID, {}};
    const std::size_t skip = registers.size() > count ? registers.size() - count : 0;
    last.registers.assign(registers.begin() + std::ptrdiff_t(skip), registers.end());
    return last;
}

// ---- Every member's history

AttendanceHistory::AttendanceHistory(const std::vector<Service>& services,
                                     const std::vector<Member>& members,
                                     const RegisterFilter& filter) {
    members_.reserve(members.size());
    histories_.reserve(members.size());
    for (const Member& member : members)
        members_.push_back({member.id, member.name});
    const std::vector<const Service*> counted = countedRegisters(services, filter);
    registerCount_ = counted.size();
    for (const Service* service : counted) {
        // The names only order the lines, which a history does not need.
        for (const RegisterLine& line : correctedRegister(*service, {}).lines) {
            const MemberResult& result = line.result;
            MemberHistory& history = histories_[result.memberID];
            if (history.memberID.empty()) {
                history.memberID = result.memberID;
                history.registers.reserve(counted.size());
            }
            history.registers.push_back({service, service->date, result.present,
                                         line.correction.has_value() || line.visitor.has_value(),
                                         result.needsReview});
        }
    }
}

const MemberHistory& AttendanceHistory::member(const std::string& memberID) const {
    static const MemberHistory none;
    const auto found = histories_.find(memberID);
    return found == histories_.end() ? none : found->second;
}

std::vector<FollowUp> AttendanceHistory::followUp(int missed) const {
    std::vector<FollowUp> away;
    std::unordered_set<std::string> listed;
    for (const Enrolled& enrolled : members_) {
        // A member id the list holds twice (only a hand edit makes that) is one person to call.
        if (!listed.insert(enrolled.id).second) continue;
        const MemberHistory& history = member(enrolled.id);
        const int run = history.absenceRun();
        if (run >= std::max(missed, 1))
            away.push_back({enrolled.id, enrolled.name, run, history.lastSeen()});
    }
    // The list is stored sorted by name, so a stable sort keeps names in order within a run.
    std::stable_sort(away.begin(), away.end(), [](const FollowUp& a, const FollowUp& b) {
        return a.absenceRun > b.absenceRun;
    });
    return away;
}

// ---- The trend

std::vector<TrendPoint> attendanceTrend(const std::vector<Service>& services,
                                        const RegisterFilter& filter) {
    std::vector<TrendPoint> trend;
    for (const Service* service : countedRegisters(services, filter)) {
        const Register shown = correctedRegister(*service, {});
        trend.push_back({service->id, service->label, service->date, shown.present(),
                         int(shown.visitors.size()), 0, 0});
    }
    const auto average = [&](std::size_t end, std::size_t span) {
        const std::size_t begin = end + 1 > span ? end + 1 - span : 0;
        double sum = 0;
        for (std::size_t i = begin; i <= end; ++i)
            sum += trend[i].present;
        return sum / double(end + 1 - begin);
    };
    for (std::size_t i = 0; i < trend.size(); ++i) {
        trend[i].average4 = average(i, 4);
        trend[i].average12 = average(i, 12);
    }
    return trend;
}

std::optional<double> recentChange(const std::vector<TrendPoint>& trend) {
    if (trend.empty() || trend.back().average12 <= 0) return std::nullopt;
    return trend.back().average4 / trend.back().average12 - 1;
}

} // namespace tallymere
