#include "library/ServiceResults.h"

#include "library/Json.h"

#include <algorithm>

namespace tallymere {

int ServiceResults::present() const {
    return int(std::count_if(members.begin(), members.end(),
                             [](const MemberResult& r) { return r.present; }));
}

int ServiceResults::absent() const {
    return int(members.size()) - present();
}

int ServiceResults::needsReview() const {
    return int(std::count_if(members.begin(), members.end(),
                             [](const MemberResult& r) { return r.needsReview; }));
}

void to_json(Json& json, const ServiceResults& results) {
    json = Json::object();
    encodeValue(json["members"], results.members);
    encodeValue(json["visitors"], results.visitors);
    json["framesAnalysed"] = results.framesAnalysed;
    json["durationSeconds"] = jsonDouble(results.durationSeconds);
    json["processingSeconds"] = jsonDouble(results.processingSeconds);
    json["membersEnrolled"] = results.membersEnrolled;
    json["model"] = results.model;
    encodeValue(json["settings"], results.settings);
}

void from_json(const Json& json, ServiceResults& results) {
    requireObject(json, "service results");
    results.members = readArray<MemberResult>(json, "members");
    results.visitors = readArray<Visitor>(json, "visitors");
    results.framesAnalysed = readInt(json, "framesAnalysed");
    results.durationSeconds = readDouble(json, "durationSeconds");
    results.processingSeconds = readDouble(json, "processingSeconds");
    results.membersEnrolled = readInt(json, "membersEnrolled");
    results.model = readString(json, "model");
    decodeValue(requireKey(json, "settings"), results.settings);
}

} // namespace tallymere
