#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string_view>

namespace tallymere {

// The tunable numbers of one processing run. A service never edits them one by one: its mode picks
// a preset, and the record actually used is stored with the run's results.
struct ProcessSettings {
    // The processing mode chosen per service. A small class around the enumeration so that a mode
    // carries its raw value, title and detail; `Mode::quick` etc. convert to it implicitly, and
    // modes compare (and switch) as the plain enumeration.
    class Mode {
    public:
        enum Value { quick, standard, thorough };

        constexpr Mode(Value value = standard) : value_(value) {}
        constexpr operator Value() const { return value_; }

        // "quick", "standard" or "thorough": also the mode's id and its JSON form.
        std::string_view rawValue() const;
        std::string_view id() const { return rawValue(); }
        // The raw value with its first letter capitalised.
        std::string_view title() const;
        // One sentence for the mode picker.
        std::string_view detail() const;

        // Exactly the three raw values (case-sensitive); no mode for any other text.
        static std::optional<Mode> fromRawValue(std::string_view raw);

        static const std::array<Mode, 3> allCases; // quick, standard, thorough

    private:
        Value value_;
    };

    double sampleFPS = 1.0;          // frames sampled per second of recording
    int detectorSize = 1280;         // detector input size for offline runs
    int tiles = 1;                   // detector tiles for offline runs
    float minFacePx = 20;            // narrower faces are dropped before embedding
    float minEmbedFacePx = 24;       // faces at least this wide count for identification
    double trackMaxGap = 6.0;        // seconds a track may go unseen and continue
    float trackMinSim = 0.35f;       // appearance similarity that joins a face to a nearby track
    float matchThreshold = 0.40f;    // best member score needed to accept a track
    float strongThreshold = 0.55f;   // score accepted even with few sightings
    float margin = 0.06f;            // lead the best score needs over the runner-up
    int minSightings = 2;            // identifying sightings needed unless the match is strong
    int topK = 2;                    // best photo similarities averaged into a member's score
    float unknownClusterSim = 0.45f; // similarity grouping unrecognised tracks into one visitor
    double unknownMinSeconds = 3.0;  // shortest unrecognised track counted as a visitor
    // Seconds an embedded sighting vouches for a face that stays in its place: such a face is
    // not embedded again within them (0: every face is embedded).
    double reembedSeconds = 3.0;

    // reembedSeconds of live sessions, which analyse several frames a second.
    static constexpr double liveReembedSeconds = 2.0;

    // The whole record for a mode: only sampleFPS and detectorSize vary.
    static ProcessSettings preset(Mode mode);

    bool operator==(const ProcessSettings&) const = default;
};

// JSON form: an object keyed by the field names, all required on reading but "reembedSeconds",
// which results stored before it existed lack (read as 0, how those runs worked); a mode is its
// raw value. Reading failures throw LibraryError (library/LibraryError.h).
void to_json(nlohmann::json& json, const ProcessSettings& settings);
void from_json(const nlohmann::json& json, ProcessSettings& settings);
void to_json(nlohmann::json& json, const ProcessSettings::Mode& mode);
void from_json(const nlohmann::json& json, ProcessSettings::Mode& mode);

} // namespace tallymere

template <>
struct std::hash<tallymere::ProcessSettings::Mode> {
    std::size_t operator()(tallymere::ProcessSettings::Mode mode) const noexcept {
        return std::hash<int>()(static_cast<int>(mode));
    }
};
