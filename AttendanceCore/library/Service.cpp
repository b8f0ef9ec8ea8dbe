#include "library/Service.h"

#include "library/Json.h"

namespace tallymere {

bool Service::operator==(const Service& other) const {
    return id == other.id && status == other.status && progress == other.progress &&
           message == other.message && label == other.label;
}

void to_json(Json& json, const Service& service) {
    json = Json::object();
    json["id"] = service.id;
    json["label"] = service.label;
    json["date"] = jsonDate(service.date);
    json["created"] = jsonDate(service.created);
    json["sourcePaths"] = service.sourcePaths;
    if (service.liveSource) json["liveSource"] = *service.liveSource;
    encodeValue(json["mode"], service.mode);
    encodeValue(json["status"], service.status);
    json["progress"] = jsonDouble(service.progress);
    json["message"] = service.message;
    if (service.results) encodeValue(json["results"], *service.results);
    writeUnknownKeys(json, service.unknownKeys);
}

void from_json(const Json& json, Service& service) {
    requireObject(json, "a service");
    service.id = readString(json, "id");
    service.label = readString(json, "label");
    service.date = readDate(json, "date");
    service.created = readDate(json, "created");
    service.sourcePaths = readStrings(json, "sourcePaths");
    service.liveSource = readOptionalString(json, "liveSource");
    decodeValue(requireKey(json, "mode"), service.mode);
    decodeValue(requireKey(json, "status"), service.status);
    service.progress = readDouble(json, "progress");
    service.message = readString(json, "message");
    service.unknownKeys =
        readUnknownKeys(json, {"id", "label", "date", "created", "sourcePaths", "liveSource",
                               "mode", "status", "progress", "message", "results"});
    service.results.reset();
    if (const auto found = json.find("results"); found != json.end() && !found->is_null()) {
        ServiceResults results;
        decodeValue(*found, results);
        service.results = std::move(results);
    }
}

} // namespace tallymere
