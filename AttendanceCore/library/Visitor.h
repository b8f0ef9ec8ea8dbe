#pragma once

#include <cstddef>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <string>

namespace tallymere {

// An estimated person who attended but matched no member.
struct Visitor {
    std::string id;        // within its service
    std::string imageFile; // picture of the face, relative to the service's folder
    double firstSeen = 0;  // seconds from the start of the recording or session
    int sightings = 0;

    bool operator==(const Visitor&) const = default;
};

void to_json(nlohmann::json& json, const Visitor& visitor);
void from_json(const nlohmann::json& json, Visitor& visitor);

} // namespace tallymere

template <>
struct std::hash<tallymere::Visitor> {
    std::size_t operator()(const tallymere::Visitor& visitor) const noexcept {
        return std::hash<std::string>()(visitor.id);
    }
};
