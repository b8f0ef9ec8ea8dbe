#pragma once

#include "library/Corrections.h"
#include "library/Date.h"
#include "library/ProcessSettings.h"
#include "library/ServiceResults.h"
#include "library/ServiceStatus.h"
#include "library/UnknownKeys.h"

#include <cstddef>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tallymere {

// One occasion at which attendance is taken, from a recording, still images or live. Built from
// id, label, date, created, sourcePaths and mode it is a new queued service: no live source, no
// progress, no message, no results.
struct Service {
    Service() = default;
    Service(std::string id, std::string label, Date date, Date created,
            std::vector<std::string> sourcePaths, ProcessSettings::Mode mode)
        : id(std::move(id)), label(std::move(label)), date(date), created(created),
          sourcePaths(std::move(sourcePaths)), mode(mode) {}

    std::string id; // date, time and a random suffix; also the name of its folder
    std::string label;
    Date date{};                           // of the service itself
    Date created{};                        // when the record was made
    std::vector<std::string> sourcePaths;  // absolute paths; empty for a live service
    std::optional<std::string> liveSource; // camera name or stream host of a live service
    ProcessSettings::Mode mode = ProcessSettings::Mode::standard;
    ServiceStatus status = ServiceStatus::queued;
    double progress = 0; // fraction done, 0 to 1
    std::string message; // short text shown with the status
    std::optional<ServiceResults> results;
    // The operator's decisions on the register; stored only when there are any.
    Corrections corrections;
    UnknownKeys unknownKeys{}; // a newer version's fields, kept

    // Services are the same for a list when id, status, progress, message and label agree;
    // results, dates and sources are not compared.
    bool operator==(const Service& other) const;
};

// JSON form keyed by the field names. A source path is stored as it stands when it is UTF-8 text;
// otherwise (file names on Linux are bytes) as a "file://" URI with its other bytes
// percent-escaped, which reading turns back into the same bytes.
void to_json(nlohmann::json& json, const Service& service);
void from_json(const nlohmann::json& json, Service& service);

// Whether the bytes are well-formed UTF-8.
bool isUTF8(std::string_view text);

// A file path for people to read: UTF-8 as it stands, every other byte as "\xHH".
std::string readablePath(std::string_view path);

} // namespace tallymere

// A service hashes by its id alone.
template <>
struct std::hash<tallymere::Service> {
    std::size_t operator()(const tallymere::Service& service) const noexcept {
        return std::hash<std::string>()(service.id);
    }
};
