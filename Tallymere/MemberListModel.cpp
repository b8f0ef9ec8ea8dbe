#include "MemberListModel.h"

#include "QtDate.h"

#include <QDateTime>
#include <QFileInfo>
#include <chrono>

namespace tallymere {

MemberListModel::MemberListModel(QString libraryRoot, QObject* parent)
    : QAbstractListModel(parent), root(std::move(libraryRoot)) {}

int MemberListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(members.size());
}

QVariant MemberListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= rowCount()) return {};
    const Member& m = members[static_cast<std::size_t>(index.row())];
    const QString id = QString::fromStdString(m.id);
    const QString folder = root + "/members/" + id;
    switch (role) {
    case IdRole:
        return id;
    case Qt::DisplayRole:
    case NameRole:
        return QString::fromStdString(m.name);
    case CreatedRole:
        return toQDateTime(m.created);
    case PhotoCountRole:
        return static_cast<int>(m.photos.size());
    case GoodPhotosRole:
        return m.goodPhotos();
    case RecognisableRole:
        return m.isRecognisable();
    case CheckingRole:
        return checking.count(m.id) != 0;
    case ThumbnailPathRole: {
        const QString face = folder + "/face.jpg";
        return QFileInfo::exists(face) ? face : QString();
    }
    case PhotosRole: {
        QVariantList photos;
        for (const Photo& p : m.photos)
            photos.append(QVariantMap{{"id", QString::fromStdString(p.id)},
                                      {"path", folder + "/" + QString::fromStdString(p.id)},
                                      {"checked", p.checked},
                                      {"ok", p.ok},
                                      {"reason", QString::fromStdString(p.reason)},
                                      {"faceWidth", p.faceWidth},
                                      {"quality", p.quality}});
        return photos;
    }
    case NeedsMorePhotosRole:
        return m.needsMorePhotos();
    case ReadinessRole:
        return QString::fromStdString(m.readiness());
    case PhotoIssueRole:
        return QString::fromStdString(m.photoIssue());
    default:
        return {};
    }
}

QHash<int, QByteArray> MemberListModel::roleNames() const {
    return {{IdRole, "memberID"},           {NameRole, "name"},
            {CreatedRole, "created"},       {PhotoCountRole, "photoCount"},
            {GoodPhotosRole, "goodPhotos"}, {RecognisableRole, "recognisable"},
            {CheckingRole, "checking"},     {ThumbnailPathRole, "thumbnailPath"},
            {PhotosRole, "photos"},         {NeedsMorePhotosRole, "needsMorePhotos"},
            {ReadinessRole, "readiness"},   {PhotoIssueRole, "photoIssue"}};
}

int MemberListModel::indexOf(const std::string& id) const {
    for (std::size_t i = 0; i < members.size(); ++i)
        if (members[i].id == id) return static_cast<int>(i);
    return -1;
}

void MemberListModel::reset(std::vector<Member> all) {
    beginResetModel();
    members = std::move(all);
    endResetModel();
    Q_EMIT countChanged();
}

void MemberListModel::sync(std::vector<Member> all) {
    // The usual change touches one member: rows are replaced, appended or removed in place, so
    // views keep their place; any other difference resets the list.
    const auto sameIDs = [](const std::vector<Member>& a, std::size_t skipA,
                            const std::vector<Member>& b) {
        for (std::size_t i = 0, j = 0; i < a.size(); ++i) {
            if (i == skipA) continue;
            if (j >= b.size() || a[i].id != b[j++].id) return false;
        }
        return true;
    };
    if (all.size() == members.size() && sameIDs(members, members.size(), all)) {
        for (std::size_t i = 0; i < all.size(); ++i)
            if (!(members[i] == all[i])) replace(static_cast<int>(i), std::move(all[i]));
        return;
    }
    if (all.size() == members.size() + 1 && sameIDs(all, all.size() - 1, members)) {
        for (std::size_t i = 0; i < members.size(); ++i)
            if (!(members[i] == all[i])) replace(static_cast<int>(i), std::move(all[i]));
        append(std::move(all.back()));
        return;
    }
    if (all.size() + 1 == members.size()) {
        for (std::size_t gone = 0; gone < members.size(); ++gone) {
            if (!sameIDs(members, gone, all)) continue;
            removeAt(static_cast<int>(gone));
            for (std::size_t i = 0; i < all.size(); ++i)
                if (!(members[i] == all[i])) replace(static_cast<int>(i), std::move(all[i]));
            return;
        }
    }
    reset(std::move(all));
}

void MemberListModel::append(Member member) {
    const int row = rowCount();
    beginInsertRows({}, row, row);
    members.push_back(std::move(member));
    endInsertRows();
    Q_EMIT countChanged();
}

void MemberListModel::replace(int row, Member member) {
    if (row < 0 || row >= rowCount()) return;
    members[static_cast<std::size_t>(row)] = std::move(member);
    const QModelIndex changed = index(row);
    Q_EMIT dataChanged(changed, changed);
}

void MemberListModel::removeAt(int row) {
    if (row < 0 || row >= rowCount()) return;
    beginRemoveRows({}, row, row);
    members.erase(members.begin() + row);
    endRemoveRows();
    Q_EMIT countChanged();
}

void MemberListModel::setChecking(const std::string& id, bool isChecking) {
    if (isChecking ? !checking.insert(id).second : checking.erase(id) == 0) return;
    const int row = indexOf(id);
    if (row >= 0) Q_EMIT dataChanged(index(row), index(row), {CheckingRole});
}

void MemberListModel::thumbnailChanged(const std::string& id) {
    const int row = indexOf(id);
    if (row >= 0) Q_EMIT dataChanged(index(row), index(row), {ThumbnailPathRole});
}

QVariantMap MemberListModel::toMap(int row) const {
    QVariantMap map;
    if (row < 0 || row >= rowCount()) return map;
    const QModelIndex at = index(row);
    const auto names = roleNames();
    for (auto it = names.begin(); it != names.end(); ++it)
        map.insert(QString::fromUtf8(it.value()), data(at, it.key()));
    return map;
}

} // namespace tallymere
