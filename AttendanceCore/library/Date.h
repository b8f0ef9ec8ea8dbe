#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tallymere {

// Calendar dates in records (when a member was created, when a service took place).
using Date = std::chrono::system_clock::time_point;

// The stored form: UTC with whole seconds, e.g. "2026-03-08T09:30:00Z". Fractions of a second are
// dropped (towards the past). Throws LibraryError for a year outside 0000-9999, which the form
// cannot hold.
std::string isoDate(Date date);

// Reads "YYYY-MM-DDTHH:MM:SS" followed by "Z" or a "+HH:MM"/"-HH:MM" offset; anything else (a date
// without a time, fractions, free text, an impossible day, a moment outside the years 1678 to 2262
// that a Date holds) gives no value.
std::optional<Date> parseISODate(std::string_view text);

// The local calendar day of a date as "YYYY-MM-DD" (how exports name and head services).
std::string localDay(Date date);

// A date without the fraction of a second that the stored form does not keep.
Date wholeSeconds(Date date);

} // namespace tallymere
