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
    if (!std::isfinite(seconds) || seconds < 0) return {};
    if (seconds >= 3600) {
        const auto whole = static_cast<long long>(seconds);
        return QString::asprintf("%lldh%02lldm", whole / 3600, whole % 3600 / 60);
    }
    if (seconds >= 60) {
        const auto whole = static_cast<long long>(seconds);
        return QStringLiteral("%1m%2s").arg(whole / 60).arg(whole % 60);
    }
    return QStringLiteral("%1s").arg(static_cast<long long>(std::lround(seconds)));
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
