#pragma once

#include "engine/BGRAImage.h"
#include "engine/Face.h"
#include "engine/Geometry.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace tallymere {

// One person followed across sampled frames. Shared by the tracker and the run that reads it; the
// run reads the fields, only the tracker changes them.
class Track {
public:
    static constexpr std::size_t embeddingSize = 512;
    // The most identifying sightings kept for the identity vote.
    static constexpr std::size_t maxTop = 12;

    struct Sighting {
        float weight = 0;
        std::vector<float> embedding;

        bool operator==(const Sighting&) const = default;
    };

    // A track as created by its first sighting, before that sighting is added.
    Track(int id, double t, Box box);

    const int id;
    double firstT;
    double lastT;
    Box lastBox;
    int sightings = 0;
    int idSightings = 0; // identifying sightings that carried an embedding
    std::vector<float> embSum = std::vector<float>(embeddingSize, 0.0f); // all sightings, weighted
    std::vector<float> idEmbSum = std::vector<float>(embeddingSize, 0.0f); // identifying only
    std::vector<Sighting> top; // best-weighted identifying sightings, at most maxTop
    float bestQuality = -1;    // weight of the sighting whose crop is bestCrop
    std::optional<BGRAImage> bestCrop;
    std::set<int> frames; // indices of the frames the track was seen in

    // Records one sighting at media time t in frame `frame`; `useForID` says whether the face was
    // large enough to count for identification.
    void add(const Face& face, double t, int frame, bool useForID);

    // The normalised identity sum; nothing before the first identifying sighting.
    std::optional<std::vector<float>> idEmbedding() const;
};

// Chains the faces of successive frames into tracks. One per run, never reset.
class Tracker {
public:
    // maxGap: seconds a track may go unseen and still be continued (infinite for still images);
    // minSim: appearance similarity that allows a continuation on appearance and proximity.
    Tracker(double maxGap, float minSim);

    const double maxGap;
    const float minSim;

    // Every track so far, in creation order (ids 0, 1, 2, ...).
    const std::vector<std::shared_ptr<Track>>& tracks() const { return tracks_; }

    // Associates the faces of one frame (media time t, non-decreasing between calls) with tracks,
    // creating tracks as needed; faces at least minEmbedPx wide count for identification. Returns,
    // for each face in order, the id of its track.
    std::vector<int> update(const std::vector<Face>& faces, double t, int frame, float minEmbedPx);

private:
    std::vector<std::shared_ptr<Track>> tracks_;
    int next_ = 0;
};

} // namespace tallymere
