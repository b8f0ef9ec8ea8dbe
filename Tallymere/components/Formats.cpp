#include "Formats.h"

#include "library/Library.h"

#include <QLocale>
#include <cmath>
#include <optional>

namespace tallymere {

QString Formats::clock(const QVariant& seconds) {
    if (!seconds.isValid() || seconds.isNull()) return {};
    bool ok = false;
    const double value = seconds.toDouble(&ok);
    if (!ok) return {};
    return QString::fromStdString(formatClock(std::optional<double>(value)));
}

QString Formats::dur(double seconds) {
    return QString::fromStdString(formatDuration(seconds));
}

QString Formats::shortDate(const QDateTime& date) {
    if (!date.isValid()) return {};
    return QLocale().toString(date.toLocalTime().date(), QLocale::ShortFormat);
}

QString Formats::exportName(const QDateTime& date) {
    return QStringLiteral("attendance-") + date.toLocalTime().date().toString(Qt::ISODate) +
           QStringLiteral(".csv");
}

} // namespace tallymere
