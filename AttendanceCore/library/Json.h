#pragma once

// The one JSON form of every stored record: pretty-printed, keys sorted at every level (the object
// type keeps them in byte order), dates in whole-second UTC, numbers in the shortest text that
// reads back to the same value at the field's precision. Reading is strict and all-or-nothing: a
// missing required key, a value of the wrong JSON type or an unknown enumeration text fails the
// whole document with a LibraryError. Unknown keys are kept by the records that carry UnknownKeys
// and written back with them.

#include "library/Date.h"
#include "library/LibraryError.h"
#include "library/UnknownKeys.h"

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallymere {

using Json = nlohmann::json;

// ---- Writing values. A non-finite number cannot be stored: these throw LibraryError.

// The shortest decimal that reads back as the same 32-bit value (0.35f gives 0.35).
Json jsonFloat(float value);
// The shortest decimal that reads back as the same 64-bit value.
Json jsonDouble(double value);
Json jsonDate(Date date);
Json jsonFloats(const std::vector<float>& values);

// ---- Reading the members of an object. `json` must be an object (see requireObject).

void requireObject(const Json& json, std::string_view what);
std::string readString(const Json& object, const char* key);
bool readBool(const Json& object, const char* key);
// An integer; a number with a fraction, or one outside the range of int, fails.
int readInt(const Json& object, const char* key);
// Any JSON number that fits a 32-bit float.
float readFloat(const Json& object, const char* key);
double readDouble(const Json& object, const char* key);
Date readDate(const Json& object, const char* key);
std::vector<std::string> readStrings(const Json& object, const char* key);

// Optional members: missing or null gives no value; anything else must be well formed.
std::optional<std::string> readOptionalString(const Json& object, const char* key);
std::optional<double> readOptionalDouble(const Json& object, const char* key);
std::optional<std::vector<float>> readOptionalFloats(const Json& object, const char* key);

// The keys of `object` not among `known`, with their values' JSON text.
UnknownKeys readUnknownKeys(const Json& object, std::initializer_list<std::string_view> known);
// Adds the kept keys to an encoded record; a key the record itself wrote keeps its new value.
void writeUnknownKeys(Json& object, const UnknownKeys& keys);

// The value of a required key (throws when missing).
const Json& requireKey(const Json& object, const char* key);
// Throws the decoding error for a value of `key` that is not what it should be.
[[noreturn]] void badValue(const char* key, std::string_view expected);

// ---- Whole values: records use their to_json/from_json (found by ADL); arrays hold records.

template <class T>
void encodeValue(Json& json, const T& value) {
    to_json(json, value);
}

template <class T>
void encodeValue(Json& json, const std::vector<T>& values) {
    json = Json::array();
    for (const T& value : values) {
        Json element;
        encodeValue(element, value);
        json.push_back(std::move(element));
    }
}

template <class T>
void decodeValue(const Json& json, T& value) {
    from_json(json, value);
}

template <class T>
void decodeValue(const Json& json, std::vector<T>& values) {
    if (!json.is_array()) throw LibraryError("Expected a JSON array.");
    values.clear();
    values.reserve(json.size());
    for (const Json& element : json) {
        T value{};
        decodeValue(element, value);
        values.push_back(std::move(value));
    }
}

template <class T>
std::vector<T> readArray(const Json& object, const char* key) {
    const Json& value = requireKey(object, key);
    if (!value.is_array()) badValue(key, "an array");
    std::vector<T> result;
    decodeValue(value, result);
    return result;
}

// The stored text of a value (pretty-printed, sorted keys, ends with a line feed).
std::string jsonText(const Json& json);
// Parses strict JSON text. Text that is not UTF-8 or not JSON throws LibraryError saying so in
// the library's words: "<fileName> is not valid JSON (line 3, column 7)." or "<fileName> is not
// UTF-8 text."
Json parseJSON(std::string_view text, std::string_view fileName = "The record");

template <class T>
std::string encodeJSON(const T& value) {
    Json json;
    encodeValue(json, value);
    return jsonText(json);
}

template <class T>
T decodeJSON(std::string_view text, std::string_view fileName = "The record") {
    T value{};
    try {
        decodeValue(parseJSON(text, fileName), value);
    } catch (const nlohmann::json::exception&) {
        // The JSON library's own text names itself and its exception; the user gets the file's.
        throw LibraryError(std::string(fileName) + " holds a value of the wrong kind.");
    }
    return value;
}

} // namespace tallymere
