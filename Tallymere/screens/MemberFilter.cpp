#include "MemberFilter.h"

#include "MemberListModel.h"

namespace tallymere {

MemberFilter::MemberFilter(QObject* parent) : QSortFilterProxyModel(parent) {
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(this, signal, this, &MemberFilter::countChanged);
    connect(this, &QAbstractItemModel::modelReset, this, &MemberFilter::countChanged);
    connect(this, &QAbstractItemModel::layoutChanged, this, &MemberFilter::countChanged);
}

void MemberFilter::setQuery(const QString& query) {
    if (query == query_) return;
    query_ = query;
    invalidateFilter();
    Q_EMIT queryChanged();
    Q_EMIT countChanged();
}

void MemberFilter::setOnlyListed(bool only) {
    if (only == onlyListed_) return;
    onlyListed_ = only;
    invalidateFilter();
    Q_EMIT listedChanged();
    Q_EMIT countChanged();
}

void MemberFilter::setListed(const QStringList& ids) {
    if (ids == listed_) return;
    listed_ = ids;
    if (onlyListed_) invalidateFilter();
    Q_EMIT listedChanged();
    Q_EMIT countChanged();
}

bool MemberFilter::matches(const QString& name, const QString& id, const QString& query) {
    if (query.isEmpty()) return true;
    return name.contains(query, Qt::CaseInsensitive) || id.contains(query, Qt::CaseInsensitive);
}

bool MemberFilter::filterAcceptsRow(int row, const QModelIndex& parent) const {
    const QModelIndex at = sourceModel()->index(row, 0, parent);
    if (onlyListed_ && !listed_.contains(at.data(MemberListModel::IdRole).toString())) return false;
    if (query_.isEmpty()) return true;
    return matches(at.data(MemberListModel::NameRole).toString(),
                   at.data(MemberListModel::IdRole).toString(), query_);
}

} // namespace tallymere
