#include "library/Visitor.h"

#include "library/Json.h"

namespace tallymere {

void to_json(Json& json, const Visitor& visitor) {
    json = Json::object();
    json["id"] = visitor.id;
    json["imageFile"] = visitor.imageFile;
    json["firstSeen"] = jsonDouble(visitor.firstSeen);
    json["sightings"] = visitor.sightings;
}

void from_json(const Json& json, Visitor& visitor) {
    requireObject(json, "a visitor");
    visitor.id = readString(json, "id");
    visitor.imageFile = readString(json, "imageFile");
    visitor.firstSeen = readDouble(json, "firstSeen");
    visitor.sightings = readInt(json, "sightings");
}

} // namespace tallymere
