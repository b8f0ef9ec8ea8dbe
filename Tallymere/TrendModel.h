#pragma once

#include "library/History.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>
#include <vector>

namespace tallymere {

// Attendance per finished service over time, for the services page's chart: one row per service,
// oldest first, in columns a chart's model mapper reads (the date as milliseconds since 1970, then
// present members, visitors, and the 4- and 12-service averages of present members).
class TrendModel : public QAbstractTableModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The trend belongs to the application model.")
    Q_PROPERTY(int count READ count NOTIFY trendChanged)
    // Only the services with this label count; "" counts all.
    Q_PROPERTY(QString label READ label WRITE setLabel NOTIFY labelChanged)
    // The labels to choose from, the most recently used first.
    Q_PROPERTY(QStringList labels READ labels NOTIFY trendChanged)
    Q_PROPERTY(QDateTime firstDate READ firstDate NOTIFY trendChanged)
    Q_PROPERTY(QDateTime lastDate READ lastDate NOTIFY trendChanged)
    // The largest figure on the chart (present or visitors), for the value axis.
    Q_PROPERTY(int highest READ highest NOTIFY trendChanged)
    // The latest averages; 0 without services.
    Q_PROPERTY(double average4 READ average4 NOTIFY trendChanged)
    Q_PROPERTY(double average12 READ average12 NOTIFY trendChanged)
    // recentChange as a fraction (0.05 is 5% more); undefined when there is none.
    Q_PROPERTY(QVariant change READ change NOTIFY trendChanged)

public:
    enum Column { DateColumn, PresentColumn, VisitorsColumn, Average4Column, Average12Column };
    Q_ENUM(Column)

    explicit TrendModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    int count() const { return rowCount(); }
    QString label() const { return label_; }
    void setLabel(const QString& label);
    QStringList labels() const { return labels_; }
    QDateTime firstDate() const;
    QDateTime lastDate() const;
    int highest() const;
    double average4() const { return points_.empty() ? 0 : points_.back().average4; }
    double average12() const { return points_.empty() ? 0 : points_.back().average12; }
    QVariant change() const;

    // The service nearest to `milliseconds` (a point's date on the chart) as
    // {serviceID, label, date, present, visitors, average4, average12}; empty without services.
    Q_INVOKABLE QVariantMap pointNear(double milliseconds) const;

    // Shows `points` in place of the chart's, with the labels to offer.
    void show(std::vector<TrendPoint> points, QStringList labels);

Q_SIGNALS:
    void trendChanged();
    void labelChanged();

private:
    std::vector<TrendPoint> points_;
    QStringList labels_;
    QString label_;
};

} // namespace tallymere
