#pragma once

#include <QDateTime>
#include <QLocale>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

namespace tallymere {

// The texts the screens make from numbers and dates: times within a recording, durations, service
// dates and the register's default file name. Pure functions, reachable from QML as `Formats`.
class Formats : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    explicit Formats(QObject* parent = nullptr) : QObject(parent) {}

    // Seconds into a recording as "h:mm:ss"; "" for no value (undefined, null or not a number).
    Q_INVOKABLE static QString clock(const QVariant& seconds);
    // A duration: "1h02m" from an hour up, "2m5s" from a minute up, else whole seconds ("60s" for
    // 59.6). "" for a negative or non-finite value.
    Q_INVOKABLE static QString dur(double seconds);
    // A service date as the locale abbreviates it with a month name, no time ("10 Mar 2024" in
    // en_GB, "Mar 10, 2024" in en_US).
    Q_INVOKABLE static QString shortDate(const QDateTime& date);
    static QString shortDate(const QDateTime& date, const QLocale& locale);
    // "attendance-" + the date as yyyy-MM-dd (local calendar day) + ".csv".
    Q_INVOKABLE static QString exportName(const QDateTime& date);
};

} // namespace tallymere
