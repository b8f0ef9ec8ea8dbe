#pragma once

#include "library/Corrections.h"
#include "library/Member.h"
#include "library/MemberResult.h"
#include "library/Service.h"
#include "library/Visitor.h"

#include <optional>
#include <vector>

namespace tallymere {

// One member's line of a register as it is shown, counted and exported: the automatic result
// with the operator's decision about it applied.
struct RegisterLine {
    MemberResult result;
    // The confidence to show: that of an automatic identification; none for an absent member and
    // for one the operator marked present.
    std::optional<float> confidence;
    std::optional<MemberCorrection> correction; // the operator's decision on this line
    std::optional<Visitor> visitor;             // the visitor the operator named as this member
};

// The register of a service: every line of its results (present first, each group by name) and
// the visitors still counted as visitors.
struct Register {
    std::vector<RegisterLine> lines;
    std::vector<Visitor> visitors;

    int present() const;
    int absent() const;
    int needsReview() const;
};

// The review reasons of lines the operator decided.
inline constexpr const char* confirmedReason = "confirmed by operator";
inline constexpr const char* markedPresentReason = "marked present by operator";
inline constexpr const char* markedAbsentReason = "marked absent by operator";

// The register of `service` with its corrections applied; empty for a service without results.
// A member marked present who was absent has no confidence and no times, unless a visitor was
// named as them: then the visitor's first sighting, sightings and snapshot are the evidence. A
// member marked absent loses confidence, times, sightings and snapshot. A decided line needs no
// review. A named visitor is no longer a visitor. `members` gives the names that order the lines
// again when a decision moved one between present and absent.
Register correctedRegister(const Service& service, const std::vector<Member>& members);

// Member results ordered for the register: present before absent, then by name in code-point
// order of the canonically composed (NFC) names; ids without a member sort with the empty name.
void sortForRegister(std::vector<MemberResult>& results, const std::vector<Member>& members);

} // namespace tallymere
