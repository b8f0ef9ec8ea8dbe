#pragma once

#include "library/Date.h"
#include "library/UnknownKeys.h"

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tallymere {

// The operator's decision about one member's line of a register. It stands beside the automatic
// result, which it never changes, so the automatic decision can always be restored.
struct MemberCorrection {
    enum class Decision { present, absent, confirmed };

    std::string memberID;
    Decision decision = Decision::confirmed;
    Date decided{}; // when the operator made it

    bool operator==(const MemberCorrection&) const = default;
};

// The operator's word that a visitor of a register is in fact a member.
struct VisitorLink {
    std::string visitorID;
    std::string memberID;
    Date decided{};

    bool operator==(const VisitorLink&) const = default;
};

// Every correction the operator made to one service's register.
struct Corrections {
    std::vector<MemberCorrection> members; // at most one per member
    std::vector<VisitorLink> visitors;     // at most one per visitor
    UnknownKeys unknownKeys{};             // a newer version's fields, kept

    bool empty() const { return members.empty() && visitors.empty() && unknownKeys.empty(); }
    const MemberCorrection* member(const std::string& memberID) const;
    const VisitorLink* visitor(const std::string& visitorID) const;
    // The visitor named as that member, if any.
    const VisitorLink* visitorNamed(const std::string& memberID) const;

    bool operator==(const Corrections&) const = default;
};

// "present", "absent" or "confirmed".
const char* decisionName(MemberCorrection::Decision decision);
std::optional<MemberCorrection::Decision> decisionNamed(const std::string& name);

// A member correction is stored as {"memberID", "decided", and "present": true or false, or
// "confirmed": true}; a visitor link as {"visitorID", "memberID", "decided"}.
void to_json(nlohmann::json& json, const MemberCorrection& correction);
void from_json(const nlohmann::json& json, MemberCorrection& correction);
void to_json(nlohmann::json& json, const VisitorLink& link);
void from_json(const nlohmann::json& json, VisitorLink& link);
void to_json(nlohmann::json& json, const Corrections& corrections);
void from_json(const nlohmann::json& json, Corrections& corrections);

} // namespace tallymere
