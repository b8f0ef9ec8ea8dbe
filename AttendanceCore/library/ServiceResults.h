#pragma once

#include "library/MemberResult.h"
#include "library/ProcessSettings.h"
#include "library/Visitor.h"

#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

namespace tallymere {

// The outcome of processing a service.
struct ServiceResults {
    std::vector<MemberResult> members; // present members first, each group by name
    std::vector<Visitor> visitors;
    int framesAnalysed = 0;
    double durationSeconds = 0;   // length of the recording or live session
    double processingSeconds = 0; // time spent processing
    int membersEnrolled = 0;      // recognisable members the run matched against
    std::string model;            // the face models used
    ProcessSettings settings;     // the numbers that produced these results

    // Counts over `members`.
    int present() const;
    int absent() const;
    int needsReview() const;

    bool operator==(const ServiceResults&) const = default;
};

void to_json(nlohmann::json& json, const ServiceResults& results);
void from_json(const nlohmann::json& json, ServiceResults& results);

} // namespace tallymere
