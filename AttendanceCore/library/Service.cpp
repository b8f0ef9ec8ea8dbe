#include "library/Service.h"

#include "library/Json.h"

#include <cstdio>

namespace tallymere {

namespace {

// Marks a stored source path written as a file URI: every path whose bytes are not UTF-8 (JSON
// text must be), and any that would itself read as one.
constexpr std::string_view fileURI = "file://";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Length of the UTF-8 sequence starting at text[i], or 0 when it is not a valid one (overlong
// forms, surrogates and values above U+10FFFF are not).
std::size_t sequenceAt(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return length;
}

std::string storedPath(const std::string& path) {
    if (isUTF8(path) && !path.starts_with(fileURI)) return path;
    std::string out(fileURI);
    for (const char c : path) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
            std::string_view("/-._~").find(c) != std::string_view::npos) {
            out += c;
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", u);
            out += escape;
        }
    }
    return out;
}

// The path a stored text names: file URIs decoded byte for byte, anything else as it stands.
std::string pathFromStored(const std::string& text) {
    if (!text.starts_with(fileURI)) return text;
    std::string path;
    for (std::size_t i = fileURI.size(); i < text.size(); ++i) {
        if (text[i] != '%') {
            path += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0) return text; // not one this library wrote
        path += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return path;
}

} // namespace

bool isUTF8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = sequenceAt(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string readablePath(std::string_view path) {
    std::string out;
    for (std::size_t i = 0; i < path.size();) {
        const std::size_t length = sequenceAt(path, i);
        if (length == 0) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(path[i]));
            out += escape;
            ++i;
        } else {
            out.append(path.substr(i, length));
            i += length;
        }
    }
    return out;
}

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
    Json& paths = json["sourcePaths"] = Json::array();
    for (const std::string& path : service.sourcePaths)
        paths.push_back(storedPath(path));
    if (service.liveSource) json["liveSource"] = *service.liveSource;
    encodeValue(json["mode"], service.mode);
    encodeValue(json["status"], service.status);
    json["progress"] = jsonDouble(service.progress);
    json["message"] = service.message;
    if (service.results) encodeValue(json["results"], *service.results);
    if (!service.corrections.empty()) encodeValue(json["corrections"], service.corrections);
    writeUnknownKeys(json, service.unknownKeys);
}

void from_json(const Json& json, Service& service) {
    requireObject(json, "a service");
    service.id = readString(json, "id");
    service.label = readString(json, "label");
    service.date = readDate(json, "date");
    service.created = readDate(json, "created");
    service.sourcePaths = readStrings(json, "sourcePaths");
    for (std::string& path : service.sourcePaths)
        path = pathFromStored(path);
    service.liveSource = readOptionalString(json, "liveSource");
    decodeValue(requireKey(json, "mode"), service.mode);
    decodeValue(requireKey(json, "status"), service.status);
    service.progress = readDouble(json, "progress");
    service.message = readString(json, "message");
    service.unknownKeys =
        readUnknownKeys(json, {"id", "label", "date", "created", "sourcePaths", "liveSource",
                               "mode", "status", "progress", "message", "results", "corrections"});
    service.results.reset();
    if (const auto found = json.find("results"); found != json.end() && !found->is_null()) {
        ServiceResults results;
        decodeValue(*found, results);
        service.results = std::move(results);
    }
    service.corrections = {};
    if (const auto found = json.find("corrections"); found != json.end() && !found->is_null())
        decodeValue(*found, service.corrections);
}

} // namespace tallymere
