#include "Format.h"

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

std::string localDay(Date date) {
    return localTime(date, "%Y-%m-%d");
}

std::string duration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) return {};
    char text[64];
    if (seconds >= 3600) {
        const long long whole = static_cast<long long>(seconds);
        std::snprintf(text, sizeof text, "%lldh%02lldm", whole / 3600, whole % 3600 / 60);
    } else if (seconds >= 60) {
        const long long whole = static_cast<long long>(seconds);
        std::snprintf(text, sizeof text, "%lldm%llds", whole / 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%llds", static_cast<long long>(std::round(seconds)));
    }
    return text;
}

std::string percent(float confidence) {
    if (!std::isfinite(confidence)) return {};
    return std::to_string(static_cast<long long>(confidence * 100.0f)) + "%";
}

std::string counted(long long count, std::string_view singular, std::string_view plural) {
    return std::to_string(count) + " " + std::string(count == 1 ? singular : plural);
}

std::string_view memberStatus(const Member& member) {
    const int good = member.goodPhotos();
    if (good == 0) return "No usable photos yet";
    if (good >= 3) return "Ready";
    return "Add more photos (3+ recommended)";
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
        text += " " + std::to_string(static_cast<int>(service.progress * 100)) + "%";
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

std::string lowerExtension(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return extension;
}

} // namespace tallymere::cli
