#pragma once

#include "engine/BGRAImage.h"
#include "engine/Face.h"
#include "engine/Geometry.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace tallymere {

// One person followed across sampled frames. Shared by the tracker and the run that reads it; the
// tracker changes the fields, and once the track is closed the run may free what it no longer
// needs.
class Track {
public:
    static constexpr std::size_t embeddingSize = 512;
    // The most identifying sightings kept for the identity vote.
    static constexpr std::size_t maxTop = 12;

    struct Sighting {
        float weight = 0;
        std::vector<float> embedding;
        int number = 0; // which of the track's sightings it was (1, 2, ...)

        bool operator==(const Sighting&) const = default;
    };

    // A track as created by its first sighting, before that sighting is added.
    Track(int id, double t, Box box);

    const int id;
    double firstT;
    double lastT;
    // Media time of the latest sighting that carried an embedding; minus infinity before one.
    double lastEmbeddedT = -std::numeric_limits<double>::infinity();
    Box lastBox;
    int sightings = 0;
    int idSightings = 0; // identifying sightings that carried an embedding
    std::vector<float> embSum = std::vector<float>(embeddingSize, 0.0f); // all sightings, weighted
    std::vector<float> appearance; // normalized(embSum), what continuations are matched against
    std::vector<float> idEmbSum = std::vector<float>(embeddingSize, 0.0f); // identifying only
    std::vector<Sighting> top; // best-weighted identifying sightings, at most maxTop
    float bestQuality = -1;    // weight of the sighting whose crop is bestCrop
    std::optional<BGRAImage> bestCrop;
    // bestCrop encoded as the snapshot JPEG once the track is closed, when the run that owns the
    // track frees the pixels; empty until then.
    std::vector<std::uint8_t> bestCropJPEG;
    std::set<int> frames; // indices of the frames the track was seen in

    // Records one sighting at media time t in frame `frame`; `useForID` says whether the face was
    // large enough to count for identification. A face without an embedding extends the track and
    // its frames but adds nothing to the sums.
    void add(const Face& face, double t, int frame, bool useForID);

    // The weight a face's sighting would carry: its quality, never below a floor.
    static float weightOf(const Face& face);

    // The normalised identity sum; nothing before the first identifying sighting.
    std::optional<std::vector<float>> idEmbedding() const;
};

// Chains the faces of successive frames into tracks. One per run, never reset.
class Tracker {
public:
    // maxGap: seconds a track may go unseen and still be continued (infinite for still images);
    // minSim: appearance similarity that allows a continuation on appearance and proximity.
    // stillImages: the frames are separate photos, where the place of a face says nothing about
    // who it is, so a face continues a track on appearance alone (similarity at least minSim),
    // scored by that similarity.
    // onPosition: a face that comes without an embedding continues the track it pairs with on
    // position alone (see positionMatches); never for still images.
    Tracker(double maxGap, float minSim, bool stillImages = false, bool onPosition = false);

    const double maxGap;
    const float minSim;
    const bool stillImages;
    const bool onPosition;

    // For each face of a frame at media time t, the id of the open track it continues on position
    // alone, or -1: the face overlaps the track's last box with IoU at least 0.6, and neither the
    // face nor the track has another candidate with IoU at least 0.3. All -1 unless onPosition.
    std::vector<int> positionMatches(const std::vector<Face>& faces, double t) const;

    // Every track so far, in creation order (ids 0, 1, 2, ...).
    const std::vector<std::shared_ptr<Track>>& tracks() const { return tracks_; }

    // Whether the track can still be continued: seen within maxGap of the latest frame. Times
    // only move forward, so a track that cannot be continued never changes again.
    bool isOpen(const Track& track) const;

    // The ids of the tracks that the latest update found can no longer be continued.
    const std::vector<int>& closed() const { return closed_; }

    // Frees what only the tracker needed of a track that can no longer be continued (its
    // appearance sums); nothing a decision, the register or the visitors read.
    void release(Track& track) const;

    // Associates the faces of one frame (media time t, non-decreasing between calls) with tracks,
    // creating tracks as needed; faces at least minEmbedPx wide count for identification. Returns,
    // for each face in order, the id of its track.
    std::vector<int> update(const std::vector<Face>& faces, double t, int frame, float minEmbedPx);

private:
    std::vector<std::shared_ptr<Track>> tracks_;
    // The tracks that may still be continued, in creation order; the others are never candidates
    // again, so a long run does not look at them for every frame.
    std::vector<Track*> open_;
    std::vector<int> closed_;
    double latestT_ = -std::numeric_limits<double>::infinity();
    int next_ = 0;
};

} // namespace tallymere
