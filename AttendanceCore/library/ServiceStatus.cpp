#include "library/ServiceStatus.h"

#include "library/Json.h"

namespace tallymere {

const std::array<ServiceStatus, 5> ServiceStatus::allCases{queued, processing, done, failed,
                                                           cancelled};

std::string_view ServiceStatus::rawValue() const {
    switch (value_) {
    case queued:
        return "queued";
    case processing:
        return "processing";
    case done:
        return "done";
    case failed:
        return "failed";
    case cancelled:
        return "cancelled";
    }
    return "queued";
}

std::optional<ServiceStatus> ServiceStatus::fromRawValue(std::string_view raw) {
    for (ServiceStatus status : allCases)
        if (status.rawValue() == raw) return status;
    return std::nullopt;
}

void to_json(Json& json, const ServiceStatus& status) {
    json = std::string(status.rawValue());
}

void from_json(const Json& json, ServiceStatus& status) {
    if (!json.is_string()) throw LibraryError("A service status must be a string.");
    const auto found = ServiceStatus::fromRawValue(json.get_ref<const std::string&>());
    if (!found) throw LibraryError("Unknown service status \"" + json.get<std::string>() + "\".");
    status = *found;
}

} // namespace tallymere
