#include "library/Photo.h"

#include "library/Json.h"

namespace tallymere {

void to_json(Json& json, const Photo& photo) {
    json = Json::object();
    json["id"] = photo.id;
    json["added"] = jsonDate(photo.added);
    json["checked"] = photo.checked;
    json["ok"] = photo.ok;
    json["reason"] = photo.reason;
    json["faceWidth"] = jsonFloat(photo.faceWidth);
    json["quality"] = jsonFloat(photo.quality);
    if (photo.embedding) json["embedding"] = jsonFloats(*photo.embedding);
    writeUnknownKeys(json, photo.unknownKeys);
}

void from_json(const Json& json, Photo& photo) {
    requireObject(json, "a photo");
    photo.id = readString(json, "id");
    photo.added = readDate(json, "added");
    photo.checked = readBool(json, "checked");
    photo.ok = readBool(json, "ok");
    photo.reason = readString(json, "reason");
    photo.faceWidth = readFloat(json, "faceWidth");
    photo.quality = readFloat(json, "quality");
    photo.embedding = readOptionalFloats(json, "embedding");
    photo.unknownKeys = readUnknownKeys(
        json, {"id", "added", "checked", "ok", "reason", "faceWidth", "quality", "embedding"});
}

} // namespace tallymere
