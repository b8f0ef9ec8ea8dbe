#pragma once

#include "library/Date.h"
#include "library/UnknownKeys.h"

#include <cstddef>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tallymere {

// One enrolment photo of a member. Built from `id` and `added` alone it is a freshly imported,
// unchecked photo: not checked, not ok, no reason, no face, no embedding.
struct Photo {
    Photo() = default;
    Photo(std::string id, Date added) : id(std::move(id)), added(added) {}

    std::string id; // the file name inside the member's folder
    Date added{};   // when it was imported
    bool checked = false;
    bool ok = false;     // passed the enrolment check; its embedding is used for recognition
    std::string reason;  // why it was rejected, or the note on which face of a group was picked
    float faceWidth = 0; // width of the face the check settled on, 0 when none
    float quality = 0;   // quality of that face, 0 when none
    std::optional<std::vector<float>> embedding; // present when ok
    UnknownKeys unknownKeys{};                   // a newer version's fields, kept

    bool operator==(const Photo&) const = default;
};

void to_json(nlohmann::json& json, const Photo& photo);
void from_json(const nlohmann::json& json, Photo& photo);

} // namespace tallymere

// Equal photos have equal ids, so the id alone is a valid hash.
template <>
struct std::hash<tallymere::Photo> {
    std::size_t operator()(const tallymere::Photo& photo) const noexcept {
        return std::hash<std::string>()(photo.id);
    }
};
