#include "library/Corrections.h"

#include "library/Json.h"

namespace tallymere {

const MemberCorrection* Corrections::member(const std::string& memberID) const {
    for (const MemberCorrection& correction : members)
        if (correction.memberID == memberID) return &correction;
    return nullptr;
}

const VisitorLink* Corrections::visitor(const std::string& visitorID) const {
    for (const VisitorLink& link : visitors)
        if (link.visitorID == visitorID) return &link;
    return nullptr;
}

const VisitorLink* Corrections::visitorNamed(const std::string& memberID) const {
    for (const VisitorLink& link : visitors)
        if (link.memberID == memberID) return &link;
    return nullptr;
}

const char* decisionName(MemberCorrection::Decision decision) {
    switch (decision) {
    case MemberCorrection::Decision::present:
        return "present";
    case MemberCorrection::Decision::absent:
        return "absent";
    case MemberCorrection::Decision::confirmed:
        return "confirmed";
    }
    return "";
}

std::optional<MemberCorrection::Decision> decisionNamed(const std::string& name) {
    for (auto decision : {MemberCorrection::Decision::present, MemberCorrection::Decision::absent,
                          MemberCorrection::Decision::confirmed})
        if (name == decisionName(decision)) return decision;
    return std::nullopt;
}

void to_json(Json& json, const MemberCorrection& correction) {
    json = Json::object();
    json["memberID"] = correction.memberID;
    if (correction.decision == MemberCorrection::Decision::confirmed)
        json["confirmed"] = true;
    else
        json["present"] = correction.decision == MemberCorrection::Decision::present;
    json["decided"] = jsonDate(correction.decided);
}

void from_json(const Json& json, MemberCorrection& correction) {
    requireObject(json, "a member correction");
    correction.memberID = readString(json, "memberID");
    correction.decided = readDate(json, "decided");
    const auto present = json.find("present");
    if (present != json.end() && !present->is_null()) {
        correction.decision = readBool(json, "present") ? MemberCorrection::Decision::present
                                                        : MemberCorrection::Decision::absent;
    } else if (readBool(json, "confirmed")) {
        correction.decision = MemberCorrection::Decision::confirmed;
    } else {
        badValue("confirmed", "true when there is no \"present\"");
    }
}

void to_json(Json& json, const VisitorLink& link) {
    json = Json::object();
    json["visitorID"] = link.visitorID;
    json["memberID"] = link.memberID;
    json["decided"] = jsonDate(link.decided);
}

void from_json(const Json& json, VisitorLink& link) {
    requireObject(json, "a visitor link");
    link.visitorID = readString(json, "visitorID");
    link.memberID = readString(json, "memberID");
    link.decided = readDate(json, "decided");
}

void to_json(Json& json, const Corrections& corrections) {
    json = Json::object();
    encodeValue(json["members"], corrections.members);
    encodeValue(json["visitors"], corrections.visitors);
    writeUnknownKeys(json, corrections.unknownKeys);
}

void from_json(const Json& json, Corrections& corrections) {
    requireObject(json, "corrections");
    corrections.members = readArray<MemberCorrection>(json, "members");
    corrections.visitors = readArray<VisitorLink>(json, "visitors");
    corrections.unknownKeys = readUnknownKeys(json, {"members", "visitors"});
}

} // namespace tallymere
