#include "library/ProcessSettings.h"

#include "library/Json.h"

namespace tallymere {

const std::array<ProcessSettings::Mode, 3> ProcessSettings::Mode::allCases{quick, standard,
                                                                           thorough};

std::string_view ProcessSettings::Mode::rawValue() const {
    switch (value_) {
    case quick:
        return "quick";
    case standard:
        return "standard";
    case thorough:
        return "thorough";
    }
    return "standard";
}

std::string_view ProcessSettings::Mode::title() const {
    switch (value_) {
    case quick:
        return "Quick";
    case standard:
        return "Standard";
    case thorough:
        return "Thorough";
    }
    return "Standard";
}

std::string_view ProcessSettings::Mode::detail() const {
    switch (value_) {
    case quick:
        return "1 frame every 2 seconds. Fine for seated congregations.";
    case standard:
        return "1 frame per second. Recommended.";
    case thorough:
        return "2 frames per second at higher resolution. Finds smaller faces; about 3× slower.";
    }
    return "";
}

std::optional<ProcessSettings::Mode> ProcessSettings::Mode::fromRawValue(std::string_view raw) {
    for (Mode mode : allCases)
        if (mode.rawValue() == raw) return mode;
    return std::nullopt;
}

ProcessSettings ProcessSettings::preset(Mode mode) {
    ProcessSettings settings;
    switch (mode) {
    case Mode::quick:
        settings.sampleFPS = 0.5;
        break;
    case Mode::standard:
        break;
    case Mode::thorough:
        settings.sampleFPS = 2.0;
        settings.detectorSize = 1920;
        break;
    }
    return settings;
}

void to_json(Json& json, const ProcessSettings& s) {
    json = Json::object();
    json["sampleFPS"] = jsonDouble(s.sampleFPS);
    json["detectorSize"] = s.detectorSize;
    json["tiles"] = s.tiles;
    json["minFacePx"] = jsonFloat(s.minFacePx);
    json["minEmbedFacePx"] = jsonFloat(s.minEmbedFacePx);
    json["trackMaxGap"] = jsonDouble(s.trackMaxGap);
    json["trackMinSim"] = jsonFloat(s.trackMinSim);
    json["matchThreshold"] = jsonFloat(s.matchThreshold);
    json["strongThreshold"] = jsonFloat(s.strongThreshold);
    json["margin"] = jsonFloat(s.margin);
    json["minSightings"] = s.minSightings;
    json["topK"] = s.topK;
    json["unknownClusterSim"] = jsonFloat(s.unknownClusterSim);
    json["unknownMinSeconds"] = jsonDouble(s.unknownMinSeconds);
    json["reembedSeconds"] = jsonDouble(s.reembedSeconds);
}

void from_json(const Json& json, ProcessSettings& s) {
    requireObject(json, "processing settings");
    s.sampleFPS = readDouble(json, "sampleFPS");
    s.detectorSize = readInt(json, "detectorSize");
    s.tiles = readInt(json, "tiles");
    s.minFacePx = readFloat(json, "minFacePx");
    s.minEmbedFacePx = readFloat(json, "minEmbedFacePx");
    s.trackMaxGap = readDouble(json, "trackMaxGap");
    s.trackMinSim = readFloat(json, "trackMinSim");
    s.matchThreshold = readFloat(json, "matchThreshold");
    s.strongThreshold = readFloat(json, "strongThreshold");
    s.margin = readFloat(json, "margin");
    s.minSightings = readInt(json, "minSightings");
    s.topK = readInt(json, "topK");
    s.unknownClusterSim = readFloat(json, "unknownClusterSim");
    s.unknownMinSeconds = readDouble(json, "unknownMinSeconds");
    s.reembedSeconds = readOptionalDouble(json, "reembedSeconds").value_or(0.0);
}

void to_json(Json& json, const ProcessSettings::Mode& mode) {
    json = std::string(mode.rawValue());
}

void from_json(const Json& json, ProcessSettings::Mode& mode) {
    if (!json.is_string()) throw LibraryError("A processing mode must be a string.");
    const auto found = ProcessSettings::Mode::fromRawValue(json.get_ref<const std::string&>());
    if (!found) throw LibraryError("Unknown processing mode \"" + json.get<std::string>() + "\".");
    mode = *found;
}

} // namespace tallymere
