#include "Formats.h"

#include "library/Library.h"

#include <QLocale>
#include <cmath>
#include <memory>
#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
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
    return shortDate(date, QLocale());
}

QString Formats::shortDate(const QDateTime& date, const QLocale& locale) {
    if (!date.isValid()) return {};
    // Qt's formats are numeric or long; the locale's medium date is ICU's.
    const QString name = locale.language() == QLocale::C ? QStringLiteral("en_US") : locale.name();
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::DateFormat> format(icu::DateFormat::createDateInstance(
        icu::DateFormat::kMedium, icu::Locale(name.toStdString().c_str())));
    if (!format) return locale.toString(date.toLocalTime().date(), QLocale::ShortFormat);
    // The local calendar day, at noon in the format's own time zone.
    format->adoptTimeZone(icu::TimeZone::createTimeZone("UTC"));
    const QDate day = date.toLocalTime().date();
    const UDate at =
        static_cast<UDate>(QDateTime(day, QTime(12, 0), Qt::UTC).toMSecsSinceEpoch());
    icu::UnicodeString text;
    format->format(at, text, status);
    if (U_FAILURE(status)) return locale.toString(day, QLocale::ShortFormat);
    return QString(reinterpret_cast<const QChar*>(text.getBuffer()), text.length());
}

QString Formats::exportName(const QDateTime& date) {
    return QStringLiteral("attendance-") + date.toLocalTime().date().toString(Qt::ISODate) +
           QStringLiteral(".csv");
}

} // namespace tallymere
