#include "library/Json.h"

#include "library/Service.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

namespace tallymere {

namespace {

[[noreturn]] void nonFinite() {
    throw LibraryError("A number that is infinite or not a number cannot be saved.");
}

} // namespace

Json jsonFloat(float value) {
    if (!std::isfinite(value)) nonFinite();
    // The shortest text for the float, read as a double: the writer then prints that double in
    // its own shortest form, which is the same short text (0.35f is written 0.35, not
    // 0.3499999940395355), and it reads back as the same float.
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    *end = '\0';
    return Json(std::strtod(text, nullptr));
}

Json jsonDouble(double value) {
    if (!std::isfinite(value)) nonFinite();
    return Json(value);
}

Json jsonDate(Date date) {
    return Json(isoDate(date));
}

Json jsonFloats(const std::vector<float>& values) {
    Json array = Json::array();
    for (float value : values)
        array.push_back(jsonFloat(value));
    return array;
}

void requireObject(const Json& json, std::string_view what) {
    if (!json.is_object())
        throw LibraryError("Expected a JSON object for " + std::string(what) + ".");
}

void badValue(const char* key, std::string_view expected) {
    throw LibraryError("The value of \"" + std::string(key) + "\" is not " + std::string(expected) +
                       ".");
}

const Json& requireKey(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end()) throw LibraryError("Missing key \"" + std::string(key) + "\".");
    return *found;
}

std::string readString(const Json& object, const char* key) {
    const Json& value = requireKey(object, key);
    if (!value.is_string()) badValue(key, "a string");
    return value.get<std::string>();
}

bool readBool(const Json& object, const char* key) {
    const Json& value = requireKey(object, key);
    if (!value.is_boolean()) badValue(key, "true or false");
    return value.get<bool>();
}

int readInt(const Json& object, const char* key) {
    const Json& value = requireKey(object, key);
    constexpr auto lowest = std::numeric_limits<int>::min();
    constexpr auto highest = std::numeric_limits<int>::max();
    if (value.is_number_unsigned()) {
        const auto n = value.get<std::uint64_t>();
        if (n > std::uint64_t(highest)) badValue(key, "an integer in range");
        return int(n);
    }
    if (value.is_number_integer()) {
        const auto n = value.get<std::int64_t>();
        if (n < lowest || n > highest) badValue(key, "an integer in range");
        return int(n);
    }
    if (value.is_number_float()) {
        // 2.0 is still a whole number; 2.5 is not an integer.
        const double n = value.get<double>();
        if (n != std::floor(n) || n < double(lowest) || n > double(highest))
            badValue(key, "an integer");
        return int(n);
    }
    badValue(key, "an integer");
}

double readDouble(const Json& object, const char* key) {
    const Json& value = requireKey(object, key);
    if (!value.is_number()) badValue(key, "a number");
    return value.get<double>();
}

namespace {

float toFloat(const Json& value, const char* key) {
    if (!value.is_number()) badValue(key, "a number");
    const double n = value.get<double>();
    // Halfway between the largest float and the next power of two is where rounding would give
    // infinity; the written form of the largest float itself lies a little above it.
    static const double limit = std::ldexp(1.0 - std::ldexp(1.0, -25), 128);
    if (std::fabs(n) >= limit) badValue(key, "a number within single precision");
    return float(n);
}

} // namespace

float readFloat(const Json& object, const char* key) {
    return toFloat(requireKey(object, key), key);
}

Date readDate(const Json& object, const char* key) {
    const Json& value = requireKey(object, key);
    if (!value.is_string()) badValue(key, "a date");
    const auto date = parseISODate(value.get_ref<const std::string&>());
    if (!date)
        badValue(key, "a date in the form 2026-03-08T09:30:00Z between the years 1678 and 2262");
    return *date;
}

std::vector<std::string> readStrings(const Json& object, const char* key) {
    const Json& value = requireKey(object, key);
    if (!value.is_array()) badValue(key, "an array of strings");
    std::vector<std::string> result;
    result.reserve(value.size());
    for (const Json& element : value) {
        if (!element.is_string()) badValue(key, "an array of strings");
        result.push_back(element.get<std::string>());
    }
    return result;
}

std::optional<std::string> readOptionalString(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) return std::nullopt;
    if (!found->is_string()) badValue(key, "a string");
    return found->get<std::string>();
}

std::optional<double> readOptionalDouble(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) return std::nullopt;
    if (!found->is_number()) badValue(key, "a number");
    return found->get<double>();
}

std::optional<std::vector<float>> readOptionalFloats(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) return std::nullopt;
    if (!found->is_array()) badValue(key, "an array of numbers");
    std::vector<float> result;
    result.reserve(found->size());
    for (const Json& element : *found)
        result.push_back(toFloat(element, key));
    return result;
}

UnknownKeys readUnknownKeys(const Json& object, std::initializer_list<std::string_view> known) {
    UnknownKeys keys;
    for (const auto& [key, value] : object.items()) {
        bool isKnown = false;
        for (std::string_view name : known)
            isKnown = isKnown || key == name;
        if (!isKnown) keys.emplace(key, value.dump(-1, ' ', false, Json::error_handler_t::replace));
    }
    return keys;
}

void writeUnknownKeys(Json& object, const UnknownKeys& keys) {
    for (const auto& [key, text] : keys)
        if (!object.contains(key)) object[key] = Json::parse(text);
}

std::string jsonText(const Json& json) {
    try {
        // Strict on text: a string that is not valid UTF-8 is refused rather than mangled.
        return json.dump(2, ' ', false, Json::error_handler_t::strict) + "\n";
    } catch (const nlohmann::json::exception&) {
        throw LibraryError("The record holds text that is not valid UTF-8 and cannot be saved.");
    }
}

Json parseJSON(std::string_view text, std::string_view fileName) {
    const std::string name(fileName);
    if (!isUTF8(text)) throw LibraryError(name + " is not UTF-8 text.");
    try {
        return Json::parse(text.begin(), text.end());
    } catch (const nlohmann::json::parse_error& error) {
        // The parser counts the bytes it read up to and including the one it stopped at.
        const size_t at = std::min<size_t>(error.byte > 0 ? error.byte - 1 : 0, text.size());
        const std::string_view before = text.substr(0, at);
        const size_t line = 1 + size_t(std::count(before.begin(), before.end(), '\n'));
        const size_t lineStart = before.rfind('\n');
        const size_t column = at - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
        throw LibraryError(name + " is not valid JSON (line " + std::to_string(line) + ", column " +
                           std::to_string(column) + ").");
    } catch (const nlohmann::json::exception&) {
        throw LibraryError(name + " is not valid JSON.");
    }
}

} // namespace tallymere
