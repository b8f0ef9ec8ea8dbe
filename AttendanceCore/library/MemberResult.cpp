#include "library/MemberResult.h"

#include "library/Json.h"

namespace tallymere {

void to_json(Json& json, const MemberResult& result) {
    json = Json::object();
    json["memberID"] = result.memberID;
    json["present"] = result.present;
    json["confidence"] = jsonFloat(result.confidence);
    if (result.firstSeen) json["firstSeen"] = jsonDouble(*result.firstSeen);
    if (result.lastSeen) json["lastSeen"] = jsonDouble(*result.lastSeen);
    json["sightings"] = result.sightings;
    json["needsReview"] = result.needsReview;
    json["reviewReason"] = result.reviewReason;
    if (result.evidenceFile) json["evidenceFile"] = *result.evidenceFile;
}

void from_json(const Json& json, MemberResult& result) {
    requireObject(json, "a member result");
    result.memberID = readString(json, "memberID");
    result.present = readBool(json, "present");
    result.confidence = readFloat(json, "confidence");
    result.firstSeen = readOptionalDouble(json, "firstSeen");
    result.lastSeen = readOptionalDouble(json, "lastSeen");
    result.sightings = readInt(json, "sightings");
    result.needsReview = readBool(json, "needsReview");
    result.reviewReason = readString(json, "reviewReason");
    result.evidenceFile = readOptionalString(json, "evidenceFile");
}

} // namespace tallymere
