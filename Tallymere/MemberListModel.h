#pragma once

#include "library/Member.h"

#include <QAbstractListModel>
#include <QtQml/qqmlregistration.h>
#include <set>
#include <string>
#include <vector>

namespace tallymere {

// The members in the order loaded and added. Changes touch one row at a time; whether a member's
// photos are being checked is a role of its own so that a spinner appears without a reload.
class MemberListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The members belong to the application model.")
    Q_PROPERTY(int count READ rowCount NOTIFY countChanged)

public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        NameRole,
        CreatedRole,
        PhotoCountRole,
        GoodPhotosRole,
        RecognisableRole,
        CheckingRole,
        ThumbnailPathRole, // the file of the member's best face, "" before any check found one
        PhotosRole,        // list of {id, path, checked, ok, reason, faceWidth, quality}
        NeedsMorePhotosRole,
        ReadinessRole,  // the member's readiness text, as the tool prints it
        PhotoIssueRole, // what the members page lists when photos are missing, else ""
    };
    Q_ENUM(Role)

    MemberListModel(QString libraryRoot, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    const std::vector<Member>& records() const { return members; }
    int indexOf(const std::string& id) const;

    void reset(std::vector<Member> all);
    // Makes the list `all`, changing only the rows that differ where it can.
    void sync(std::vector<Member> all);
    void append(Member member);
    void replace(int row, Member member);
    void removeAt(int row);
    // Marks or clears the member's "being checked" state in its row.
    void setChecking(const std::string& id, bool checking);
    // Tells the views that the member's thumbnail file changed.
    void thumbnailChanged(const std::string& id);

    // One member as the window reads it: the roles by name.
    QVariantMap toMap(int row) const;

Q_SIGNALS:
    void countChanged();

private:
    std::vector<Member> members;
    std::set<std::string> checking;
    QString root;
};

} // namespace tallymere
