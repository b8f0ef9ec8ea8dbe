#pragma once

#include "FollowUpModel.h"
#include "TrendModel.h"
#include "library/History.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tallymere {

class MemberListModel;
class ServiceListModel;

// Attendance over time as the screens show it, kept in step with the members and services lists:
// each member's history (the member page's strip and figures), the members to follow up (the
// home page's card, the members page's "Away") and the trend (the services page's chart). The
// histories are made again only when a register may have changed, not on a running service's
// progress, and the lists a little later, once for a burst of changes.
class AttendanceOverTime : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Attendance over time belongs to the application model.")
    Q_PROPERTY(tallymere::FollowUpModel* followUp READ followUp CONSTANT)
    Q_PROPERTY(tallymere::TrendModel* trend READ trend CONSTANT)

public:
    // How many registers the member page shows.
    static constexpr std::size_t recentRegisters = 12;

    AttendanceOverTime(const ServiceListModel& services, const MemberListModel& members,
                       QString libraryRoot, QString settingsFile, QObject* parent = nullptr);

    FollowUpModel* followUp() { return &followUp_; }
    TrendModel* trend() { return &trend_; }

    // Every member's history over all finished services.
    const AttendanceHistory& history() const;

    // The member page's attendance: {registers: the last 12 registers, oldest first, each
    // {serviceID, label, date, attended, mark: "present", "absent", "corrected" or "review"},
    // attended (of those), shown, total (registers in all), absenceRun, lastSeen (a date, or
    // undefined when never)}.
    Q_INVOKABLE QVariantMap memberHistory(const QString& memberID) const;

    // Makes the follow-up list and the trend again now rather than after the pause.
    void refreshNow();

private:
    // What of a service can change its register or where it stands among the registers.
    struct RegisterKey {
        std::string id;
        std::string label;
        Date date;
        Date created;
        int status;
        bool hasResults;
        Corrections corrections;
        bool operator==(const RegisterKey&) const = default;
    };
    // What the histories are made from: where the services are (the histories point into that
    // list), every service's key, and the members' ids and names.
    struct Basis {
        const Service* list = nullptr;
        std::vector<RegisterKey> services;
        std::vector<std::pair<std::string, std::string>> members;
        bool operator==(const Basis&) const = default;
    };
    std::vector<RegisterKey> serviceKeys() const;
    Basis basis() const;
    void servicesMayHaveChanged();
    void membersChanged();

    const ServiceListModel& services_;
    const MemberListModel& members_;
    FollowUpModel followUp_;
    TrendModel trend_;
    std::vector<RegisterKey> keys_; // of the lists last made
    // Made when first asked for after a change. A view's binding may ask on the very signal of
    // the change, before this object hears it, so the basis is compared on each use.
    mutable std::optional<AttendanceHistory> history_;
    mutable Basis historyBasis_;
    QTimer refresh_;
};

} // namespace tallymere
