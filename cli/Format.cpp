#include "Format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace tallymere::cli {

namespace {

std::string localTime(Date date, const char* format) {
    const std::time_t t = std::chrono::system_clock::to_time_t(date);
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

} // namespace

std::string localDateTime(Date date) {
    return localTime(date, "%Y-%m-%d %H:%M");
}

std::string percent(float confidence) {
    // A stored confidence lies in 0...1; one far outside would not fit the conversion.
    if (!std::isfinite(confidence) || std::fabs(confidence) > 1e6f) return {};
    return std::to_string(static_cast<long long>(confidence * 100.0f)) + "%";
}

std::string counted(long long count, std::string_view singular, std::string_view plural) {
    return std::to_string(count) + " " + std::string(count == 1 ? singular : plural);
}

std::string photoOutcome(const Photo& photo) {
    if (!photo.checked) return "Not checked";
    if (photo.ok) return photo.reason.empty() ? "Accepted" : "Accepted: " + photo.reason;
    return "Rejected: " + photo.reason;
}

std::string statusText(const Service& service) {
    std::string text(service.status.rawValue());
    text[0] = static_cast<char>(text[0] - 'a' + 'A');
    if (service.status == ServiceStatus::processing && std::isfinite(service.progress))
        text += " " +
                std::to_string(static_cast<int>(std::clamp(service.progress, 0.0, 1.0) * 100)) +
                "%";
    return text;
}

std::string statusWithMessage(const Service& service) {
    std::string text = statusText(service);
    if (!service.message.empty() && service.message != text) text += ": " + service.message;
    return text;
}

std::string memberName(const std::vector<Member>& members, const std::string& id) {
    for (const Member& member : members)
        if (member.id == id) return member.name;
    return id;
}

std::string defaultExportName(const Service& service) {
    return "attendance-" + localDay(service.date) + ".csv";
}

namespace {

// The code point of the bidirectional formatting character (U+200E, U+200F, U+202A to U+202E,
// U+2066 to U+2069) whose UTF-8 form starts at `i`; 0 when there is none.
unsigned bidiControl(std::string_view text, std::size_t i) {
    if (i + 2 >= text.size() || static_cast<unsigned char>(text[i]) != 0xE2) return 0;
    const auto second = static_cast<unsigned char>(text[i + 1]);
    const auto third = static_cast<unsigned char>(text[i + 2]);
    const unsigned code = 0x2000u + ((second & 0x3Fu) << 6) + (third & 0x3Fu);
    if ((second & 0xC0) != 0x80 || (third & 0xC0) != 0x80) return 0;
    const bool bidi = code == 0x200E || code == 0x200F || (code >= 0x202A && code <= 0x202E) ||
                      (code >= 0x2066 && code <= 0x2069);
    return bidi ? code : 0;
}

} // namespace

std::string printable(std::string_view text, bool keepLineFeeds) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n' && keepLineFeeds) {
            out += '\n';
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else if (c == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080...U+009F: the 8-bit controls, which terminals obey as well.
            const auto code = static_cast<unsigned char>(text[++i]);
            out += "\\u00";
            out += hex[code >> 4];
            out += hex[code & 15];
        } else if (const unsigned code = bidiControl(text, i)) {
            // Direction overrides and isolates reorder the rest of the line on a terminal, so
            // that a name could show as another text.
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += hex[(code >> shift) & 15];
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string lowerExtension(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return extension;
}

} // namespace tallymere::cli
