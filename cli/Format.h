#pragma once

#include "library/Date.h"
#include "library/Records.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace tallymere::cli {

// Local date and time as "YYYY-MM-DD HH:MM".
std::string localDateTime(Date date);

// A confidence as a whole percentage, truncated: 0.879 gives "87%".
std::string percent(float confidence);

// "1 photo", "2 photos".
std::string counted(long long count, std::string_view singular, std::string_view plural);

// How the enrolment check left a photo: "Accepted", "Accepted: <note>", "Rejected: <reason>" or
// "Not checked".
std::string photoOutcome(const Photo& photo);

// The status with its first letter capitalised, and for a running service its progress.
std::string statusText(const Service& service);

// statusText followed by ": " and the message, when there is one that says more.
std::string statusWithMessage(const Service& service);

// The name of the member with that id, or the id itself when no member has it.
std::string memberName(const std::vector<Member>& members, const std::string& id);

// "attendance-YYYY-MM-DD.csv" from the service's date.
std::string defaultExportName(const Service& service);

// Text from a record or a file name as a terminal can show it safely: line breaks, tabs, escape
// sequences and other control characters are written as \n, \t, \x1b and the like (\u0085 for
// the 8-bit controls), so a name cannot break a table or command the terminal. With
// `keepLineFeeds`, line feeds stay (for messages of several lines).
std::string printable(std::string_view text, bool keepLineFeeds = false);

// A file's extension without the dot, in lower case ("JPG" -> "jpg"), as the library's extension
// sets hold them.
std::string lowerExtension(const std::filesystem::path& path);

} // namespace tallymere::cli
