#include "TrendModel.h"

#include "QtDate.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace tallymere {

TrendModel::TrendModel(QObject* parent) : QAbstractTableModel(parent) {}

int TrendModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(points_.size());
}

int TrendModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Average12Column + 1;
}

QVariant TrendModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || role != Qt::DisplayRole) return {};
    const TrendPoint& p = points_[static_cast<std::size_t>(index.row())];
    switch (index.column()) {
    case DateColumn:
        return double(msecsSinceEpoch(p.date));
    case PresentColumn:
        return p.present;
    case VisitorsColumn:
        return p.visitors;
    case Average4Column:
        return p.average4;
    case Average12Column:
        return p.average12;
    default:
        return {};
    }
}

void TrendModel::setLabel(const QString& label) {
    if (label == label_) return;
    label_ = label;
    Q_EMIT labelChanged();
}

QDateTime TrendModel::firstDate() const {
    if (points_.empty()) return {};
    return toQDateTime(points_.front().date);
}

QDateTime TrendModel::lastDate() const {
    if (points_.empty()) return {};
    return toQDateTime(points_.back().date);
}

int TrendModel::highest() const {
    int most = 0;
    for (const TrendPoint& p : points_)
        most = std::max({most, p.present, p.visitors});
    return most;
}

QVariant TrendModel::change() const {
    const auto change = recentChange(points_);
    return change ? QVariant(*change) : QVariant();
}

QVariantMap TrendModel::pointNear(double at) const {
    if (points_.empty()) return {};
    const auto nearest = std::min_element(
        points_.begin(), points_.end(), [at](const TrendPoint& a, const TrendPoint& b) {
            return std::fabs(double(msecsSinceEpoch(a.date)) - at) <
                   std::fabs(double(msecsSinceEpoch(b.date)) - at);
        });
    return {{"serviceID", QString::fromStdString(nearest->serviceID)},
            {"label", QString::fromStdString(nearest->label)},
            {"date", toQDateTime(nearest->date)},
            {"present", nearest->present},
            {"visitors", nearest->visitors},
            {"average4", nearest->average4},
            {"average12", nearest->average12}};
}

void TrendModel::show(std::vector<TrendPoint> points, QStringList labels) {
    beginResetModel();
    points_ = std::move(points);
    labels_ = std::move(labels);
    endResetModel();
    Q_EMIT trendChanged();
}

} // namespace tallymere
