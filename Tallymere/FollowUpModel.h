#pragma once

#include "library/History.h"

#include <QAbstractListModel>
#include <QString>
#include <QStringList>
#include <QtQml/qqmlregistration.h>
#include <vector>

namespace tallymere {

// The members to follow up, as the home page's card and the members page's "Away" filter list
// them: away from at least `missed` services in a row, the longest absence first. The operator's
// choice of `missed` is remembered in the application's settings file, when it has one.
class FollowUpModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The follow-up list belongs to the application model.")
    Q_PROPERTY(int count READ rowCount NOTIFY listChanged)
    Q_PROPERTY(int missed READ missed WRITE setMissed NOTIFY missedChanged)
    Q_PROPERTY(int fewestMissed READ fewestMissed CONSTANT)
    Q_PROPERTY(int mostMissed READ mostMissed CONSTANT)
    // Only the services with this label count; "" counts all.
    Q_PROPERTY(QString label READ label WRITE setLabel NOTIFY labelChanged)
    // The ids of the listed members, in list order.
    Q_PROPERTY(QStringList memberIDs READ memberIDs NOTIFY listChanged)

public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        NameRole,
        AbsenceRunRole,
        LastSeenRole,      // the date last seen; invalid when never
        ThumbnailPathRole, // the member's best face, "" before a check found one
    };
    Q_ENUM(Role)

    // `settingsFile`: where the choice of `missed` is kept; "" keeps it for this run only.
    FollowUpModel(QString libraryRoot, QString settingsFile, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    int missed() const { return missed_; }
    // Kept within fewestMissed and mostMissed.
    void setMissed(int missed);
    int fewestMissed() const { return fewestMissedServices; }
    int mostMissed() const { return mostMissedServices; }
    QString label() const { return label_; }
    void setLabel(const QString& label);
    QStringList memberIDs() const;

    // Shows `members` in place of the list.
    void show(std::vector<FollowUp> members);
    const std::vector<FollowUp>& records() const { return members_; }

Q_SIGNALS:
    void listChanged();
    void missedChanged();
    void labelChanged();

private:
    std::vector<FollowUp> members_;
    int missed_ = defaultMissedServices;
    QString label_;
    QString root_;
    QString settingsFile_;
};

} // namespace tallymere
