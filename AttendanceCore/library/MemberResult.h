#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

namespace tallymere {

// The attendance outcome for one member in one service.
struct MemberResult {
    std::string memberID;
    bool present = false;
    float confidence = 0;
    std::optional<double> firstSeen; // seconds from the start; absent if never seen
    std::optional<double> lastSeen;
    int sightings = 0;
    bool needsReview = false;
    std::string reviewReason; // empty unless needsReview
    std::optional<std::string>
        evidenceFile; // relative to the service's folder, when a snapshot exists

    bool operator==(const MemberResult&) const = default;
};

void to_json(nlohmann::json& json, const MemberResult& result);
void from_json(const nlohmann::json& json, MemberResult& result);

} // namespace tallymere
