#include "library/Member.h"

#include "library/Json.h"

#include <algorithm>

namespace tallymere {

int Member::goodPhotos() const {
    return int(std::count_if(photos.begin(), photos.end(), [](const Photo& p) { return p.ok; }));
}

std::string Member::readiness() const {
    const int good = goodPhotos();
    if (good == 0) return "No usable photos yet";
    if (good >= minGoodPhotos) return "Ready";
    return "Add more photos (" + std::to_string(minGoodPhotos) + "+ recommended)";
}

std::string Member::photoIssue() const {
    const int good = goodPhotos();
    if (!needsMorePhotos()) return {};
    if (good == 0) return "no usable photos";
    return std::to_string(good) + " good photo" + (good == 1 ? "" : "s") + ", add more";
}

void to_json(Json& json, const Member& member) {
    json = Json::object();
    json["id"] = member.id;
    json["name"] = member.name;
    json["created"] = jsonDate(member.created);
    encodeValue(json["photos"], member.photos);
    writeUnknownKeys(json, member.unknownKeys);
}

void from_json(const Json& json, Member& member) {
    requireObject(json, "a member");
    member.id = readString(json, "id");
    member.name = readString(json, "name");
    member.created = readDate(json, "created");
    member.photos = readArray<Photo>(json, "photos");
    member.unknownKeys = readUnknownKeys(json, {"id", "name", "created", "photos"});
}

} // namespace tallymere
