#include "FollowUpModel.h"

#include "QtDate.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSettings>
#include <algorithm>
#include <chrono>

namespace tallymere {

namespace {

constexpr const char* missedKey = "followUp/missedServices";

} // namespace

FollowUpModel::FollowUpModel(QString libraryRoot, QString settingsFile, QObject* parent)
    : QAbstractListModel(parent), root_(std::move(libraryRoot)),
      settingsFile_(std::move(settingsFile)) {
    if (settingsFile_.isEmpty()) return;
    bool ok = false;
    const int stored = QSettings(settingsFile_, QSettings::IniFormat).value(missedKey).toInt(&ok);
    if (ok) missed_ = std::clamp(stored, fewestMissedServices, mostMissedServices);
}

int FollowUpModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(members_.size());
}

QVariant FollowUpModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= rowCount()) return {};
    const FollowUp& m = members_[static_cast<std::size_t>(index.row())];
    switch (role) {
    case IdRole:
        return QString::fromStdString(m.memberID);
    case Qt::DisplayRole:
    case NameRole:
        return QString::fromStdString(m.name);
    case AbsenceRunRole:
        return m.absenceRun;
    case LastSeenRole: {
        if (!m.lastSeen) return QDateTime();
        return toQDateTime(*m.lastSeen);
    }
    case ThumbnailPathRole: {
        const QString face = root_ + "/members/" + QString::fromStdString(m.memberID) + "/face.jpg";
        return QFileInfo::exists(face) ? face : QString();
    }
    default:
        return {};
    }
}

QHash<int, QByteArray> FollowUpModel::roleNames() const {
    return {{IdRole, "memberID"},
            {NameRole, "name"},
            {AbsenceRunRole, "absenceRun"},
            {LastSeenRole, "lastSeen"},
            {ThumbnailPathRole, "thumbnailPath"}};
}

void FollowUpModel::setMissed(int missed) {
    missed = std::clamp(missed, fewestMissedServices, mostMissedServices);
    if (missed == missed_) return;
    missed_ = missed;
    if (!settingsFile_.isEmpty())
        QSettings(settingsFile_, QSettings::IniFormat).setValue(missedKey, missed);
    Q_EMIT missedChanged();
}

void FollowUpModel::setLabel(const QString& label) {
    if (label == label_) return;
    label_ = label;
    Q_EMIT labelChanged();
}

QStringList FollowUpModel::memberIDs() const {
    QStringList ids;
    for (const FollowUp& m : members_)
        ids << QString::fromStdString(m.memberID);
    return ids;
}

void FollowUpModel::show(std::vector<FollowUp> members) {
    const auto same = [](const FollowUp& a, const FollowUp& b) {
        return a.memberID == b.memberID && a.name == b.name && a.absenceRun == b.absenceRun &&
               a.lastSeen == b.lastSeen;
    };
    if (std::equal(members.begin(), members.end(), members_.begin(), members_.end(), same)) return;
    beginResetModel();
    members_ = std::move(members);
    endResetModel();
    Q_EMIT listChanged();
}

} // namespace tallymere
