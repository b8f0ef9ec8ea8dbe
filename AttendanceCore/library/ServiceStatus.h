#pragma once

#include <array>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string_view>

namespace tallymere {

// The processing state of a service. Like ProcessSettings::Mode, a small class around the
// enumeration so that a status carries its raw value; `ServiceStatus::done` etc. convert to it and
// statuses compare (and switch) as the plain enumeration.
class ServiceStatus {
public:
    enum Value { queued, processing, done, failed, cancelled };

    constexpr ServiceStatus(Value value = queued) : value_(value) {}
    constexpr operator Value() const { return value_; }

    // "queued", "processing", "done", "failed" or "cancelled": also the JSON form.
    std::string_view rawValue() const;
    // Exactly the five raw values (case-sensitive); no status for any other text.
    static std::optional<ServiceStatus> fromRawValue(std::string_view raw);

    static const std::array<ServiceStatus, 5> allCases;

private:
    Value value_;
};

void to_json(nlohmann::json& json, const ServiceStatus& status);
void from_json(const nlohmann::json& json, ServiceStatus& status);

} // namespace tallymere
