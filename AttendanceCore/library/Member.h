#pragma once

#include "library/Date.h"
#include "library/Photo.h"
#include "library/UnknownKeys.h"

#include <cstddef>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

namespace tallymere {

// An enrolled person. Referred to everywhere else by `id` ("M" and at least four digits).
struct Member {
    std::string id;
    std::string name;
    Date created{};
    std::vector<Photo> photos; // in the order they were added
    UnknownKeys unknownKeys{}; // a newer version's fields, kept

    // The good photos a member should have: fewer are recognised less reliably.
    static constexpr int minGoodPhotos = 3;

    // Photos that passed the enrolment check.
    int goodPhotos() const;
    // Only a member with at least one good photo can be recognised.
    bool isRecognisable() const { return goodPhotos() != 0; }
    bool needsMorePhotos() const { return goodPhotos() < minGoodPhotos; }
    // How ready the member is to be recognised: "No usable photos yet", "Ready" or "Add more
    // photos (3+ recommended)".
    std::string readiness() const;
    // What the members page lists for a member with too few good photos: "no usable photos" or
    // "2 good photos, add more"; empty when the member has enough.
    std::string photoIssue() const;

    bool operator==(const Member&) const = default;
};

void to_json(nlohmann::json& json, const Member& member);
void from_json(const nlohmann::json& json, Member& member);

} // namespace tallymere

template <>
struct std::hash<tallymere::Member> {
    std::size_t operator()(const tallymere::Member& member) const noexcept {
        return std::hash<std::string>()(member.id);
    }
};
