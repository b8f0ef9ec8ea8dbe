#include "AttendanceOverTime.h"

#include "MemberListModel.h"
#include "QtDate.h"
#include "ServiceListModel.h"

#include <QDateTime>
#include <QVariantList>
#include <chrono>

namespace tallymere {

namespace {

const char* mark(const Attendance& a) {
    if (a.corrected) return "corrected";
    if (a.needsReview) return "review";
    return a.attended ? "present" : "absent";
}

} // namespace

AttendanceOverTime::AttendanceOverTime(const ServiceListModel& services,
                                       const MemberListModel& members, QString libraryRoot,
                                       QString settingsFile, QObject* parent)
    : QObject(parent), services_(services), members_(members),
      followUp_(std::move(libraryRoot), std::move(settingsFile)) {
    refresh_.setSingleShot(true);
    refresh_.setInterval(0);
    connect(&refresh_, &QTimer::timeout, this, &AttendanceOverTime::refreshNow);
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(&services, signal, this, &AttendanceOverTime::servicesMayHaveChanged);
    connect(&services, &QAbstractItemModel::modelReset, this,
            &AttendanceOverTime::servicesMayHaveChanged);
    connect(&services, &QAbstractItemModel::dataChanged, this,
            &AttendanceOverTime::servicesMayHaveChanged);
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(&members, signal, this, &AttendanceOverTime::membersChanged);
    connect(&members, &QAbstractItemModel::modelReset, this, &AttendanceOverTime::membersChanged);
    connect(&members, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex&, const QModelIndex&, const QList<int>& roles) {
                // Only a rename reaches the lists; a photo being checked does not.
                if (roles.isEmpty() || roles.contains(MemberListModel::NameRole)) membersChanged();
            });
    connect(&followUp_, &FollowUpModel::missedChanged, this, &AttendanceOverTime::refreshNow);
    connect(&followUp_, &FollowUpModel::labelChanged, this, &AttendanceOverTime::refreshNow);
    connect(&trend_, &TrendModel::labelChanged, this, &AttendanceOverTime::refreshNow);
    servicesMayHaveChanged();
}

std::vector<AttendanceOverTime::RegisterKey> AttendanceOverTime::serviceKeys() const {
    std::vector<RegisterKey> keys;
    keys.reserve(services_.records().size());
    for (const Service& s : services_.records())
        keys.push_back({s.id, s.label, s.date, s.created, int(s.status), s.results.has_value(),
                        s.corrections});
    return keys;
}

AttendanceOverTime::Basis AttendanceOverTime::basis() const {
    Basis basis{services_.records().data(), serviceKeys(), {}};
    basis.members.reserve(members_.records().size());
    for (const Member& m : members_.records())
        basis.members.emplace_back(m.id, m.name);
    return basis;
}

void AttendanceOverTime::servicesMayHaveChanged() {
    std::vector<RegisterKey> keys = serviceKeys();
    if (keys == keys_) return;
    keys_ = std::move(keys);
    refresh_.start();
}

void AttendanceOverTime::membersChanged() {
    refresh_.start();
}

const AttendanceHistory& AttendanceOverTime::history() const {
    Basis now = basis();
    if (!history_ || !(now == historyBasis_)) {
        history_.emplace(services_.records(), members_.records());
        historyBasis_ = std::move(now);
    }
    return *history_;
}

void AttendanceOverTime::refreshNow() {
    refresh_.stop();
    const std::vector<Service>& services = services_.records();
    const std::vector<Member>& members = members_.records();
    const RegisterFilter followed{followUp_.label().toStdString()};
    followUp_.show(
        followed.label.empty()
            ? history().followUp(followUp_.missed())
            : AttendanceHistory(services, members, followed).followUp(followUp_.missed()));
    QStringList labels;
    for (const std::string& label : registerLabels(services))
        labels << QString::fromStdString(label);
    trend_.show(attendanceTrend(services, {trend_.label().toStdString()}), labels);
}

QVariantMap AttendanceOverTime::memberHistory(const QString& memberID) const {
    const MemberHistory& all = history().member(memberID.toStdString());
    const MemberHistory recent = all.recent(recentRegisters);
    QVariantList registers;
    for (const Attendance& a : recent.registers)
        registers.append(QVariantMap{{"serviceID", QString::fromStdString(a.service->id)},
                                     {"label", QString::fromStdString(a.service->label)},
                                     {"date", toQDateTime(a.date)},
                                     {"attended", a.attended},
                                     {"mark", QString::fromLatin1(mark(a))}});
    const auto lastSeen = all.lastSeen();
    return {{"registers", registers},
            {"attended", recent.attended()},
            {"shown", int(recent.registers.size())},
            {"total", int(all.registers.size())},
            {"absenceRun", all.absenceRun()},
            {"lastSeen", lastSeen ? QVariant(toQDateTime(*lastSeen)) : QVariant()}};
}

} // namespace tallymere
