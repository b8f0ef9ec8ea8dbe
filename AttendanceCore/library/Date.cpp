#include "library/Date.h"

#include "library/LibraryError.h"

#include <cstdio>
#include <ctime>

namespace tallymere {

using namespace std::chrono;

Date wholeSeconds(Date date) {
    return floor<seconds>(date);
}

std::string localDay(Date date) {
    const std::time_t t = system_clock::to_time_t(date);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

std::string isoDate(Date date) {
    const auto secs = floor<seconds>(date);
    const auto day = floor<days>(secs);
    const year_month_day ymd{day};
    const hh_mm_ss<seconds> clock{secs - day};
    const int y = int(ymd.year());
    if (y < 0 || y > 9999)
        throw LibraryError("A date outside the years 0000 to 9999 cannot be saved.");
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", y, unsigned(ymd.month()),
                  unsigned(ymd.day()), int(clock.hours().count()), int(clock.minutes().count()),
                  int(clock.seconds().count()));
    return text;
}

namespace {

// Reads exactly `width` decimal digits at `pos`.
bool digits(std::string_view text, size_t pos, size_t width, int& value) {
    if (pos + width > text.size()) return false;
    value = 0;
    for (size_t i = pos; i < pos + width; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

} // namespace

std::optional<Date> parseISODate(std::string_view text) {
    // 2026-03-08T09:30:00Z
    // 0123456789012345678
    int y, mo, d, h, mi, s;
    if (text.size() < 20) return std::nullopt;
    if (!digits(text, 0, 4, y) || text[4] != '-' || !digits(text, 5, 2, mo) || text[7] != '-' ||
        !digits(text, 8, 2, d) || text[10] != 'T' || !digits(text, 11, 2, h) || text[13] != ':' ||
        !digits(text, 14, 2, mi) || text[16] != ':' || !digits(text, 17, 2, s))
        return std::nullopt;
    int offsetMinutes = 0;
    const std::string_view zone = text.substr(19);
    if (zone == "Z") {
        offsetMinutes = 0;
    } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
        int oh, om;
        if (!digits(zone, 1, 2, oh) || !digits(zone, 4, 2, om) || oh > 23 || om > 59)
            return std::nullopt;
        offsetMinutes = (zone[0] == '+' ? 1 : -1) * (oh * 60 + om);
    } else {
        return std::nullopt;
    }
    const year_month_day ymd{year{y}, month{unsigned(mo)}, day{unsigned(d)}};
    if (!ymd.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
    const auto local = sys_days{ymd} + hours{h} + minutes{mi} + seconds{s};
    const sys_seconds at = local - minutes{offsetMinutes};
    // A Date counts nanoseconds in 64 bits (the years 1678 to 2262); a moment beyond would wrap
    // round to another century.
    if (at < ceil<seconds>(Date::min()) || at > floor<seconds>(Date::max())) return std::nullopt;
    return Date{at};
}

} // namespace tallymere
