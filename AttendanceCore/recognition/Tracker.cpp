#include "recognition/Tracker.h"

#include "recognition/Gallery.h"

#include <algorithm>
#include <cmath>

namespace tallymere {

namespace {

constexpr float forbidden = -1e9f;
constexpr float keepAbove = -1e8f;

void addWeighted(std::vector<float>& sum, float w, const std::vector<float>& embedding) {
    const std::size_t n = std::min(sum.size(), embedding.size());
    for (std::size_t i = 0; i < n; ++i)
        sum[i] += w * embedding[i];
}

Point centre(const Box& box) {
    return {(box.x1 + box.x2) / 2, (box.y1 + box.y2) / 2};
}

float area(const Box& box) {
    return (box.x2 - box.x1) * (box.y2 - box.y1);
}

float iou(const Box& a, const Box& b) {
    const float iw = std::max(std::min(a.x2, b.x2) - std::max(a.x1, b.x1), 0.0f);
    const float ih = std::max(std::min(a.y2, b.y2) - std::max(a.y1, b.y1), 0.0f);
    const float inter = iw * ih;
    const float unionArea = area(a) + area(b) - inter;
    return unionArea > 0 ? inter / unionArea : 0.0f;
}

// A face and a track this close are the same person on position alone, when neither has another
// candidate at least `nearby`.
constexpr float samePlace = 0.6f;
constexpr float nearby = 0.3f;

} // namespace

Track::Track(int id, double t, Box box) : id(id), firstT(t), lastT(t), lastBox(box) {}

float Track::weightOf(const Face& face) {
    // Never weightless, so that every sighting counts a little (a quality that is not a number
    // counts as the floor too).
    const float quality = face.quality();
    return quality > 0.001f ? quality : 0.001f;
}

void Track::add(const Face& face, double t, int frame, bool useForID) {
    lastT = t;
    lastBox = face.box;
    ++sightings;
    frames.insert(frame);

    const float w = weightOf(face);

    if (!face.embedding.empty()) {
        lastEmbeddedT = t;
        addWeighted(embSum, w, face.embedding);
        appearance = normalized(embSum);
        if (useForID) {
            ++idSightings;
            addWeighted(idEmbSum, w, face.embedding);
            top.push_back({w, face.embedding, sightings});
            if (top.size() > maxTop) {
                std::stable_sort(top.begin(), top.end(), [](const Sighting& a, const Sighting& b) {
                    return a.weight > b.weight;
                });
                top.pop_back();
            }
        }
    }

    if (w > bestQuality && face.crop) {
        bestQuality = w;
        bestCrop = face.crop;
    }
}

std::optional<std::vector<float>> Track::idEmbedding() const {
    if (idSightings <= 0) return std::nullopt;
    return normalized(idEmbSum);
}

Tracker::Tracker(double maxGap, float minSim, bool stillImages, bool onPosition)
    : maxGap(maxGap), minSim(minSim), stillImages(stillImages), onPosition(onPosition) {}

bool Tracker::isOpen(const Track& track) const {
    return !(latestT_ - track.lastT > maxGap);
}

void Tracker::release(Track& track) const {
    if (isOpen(track)) return;
    std::vector<float>().swap(track.embSum);
    std::vector<float>().swap(track.appearance);
}

std::vector<int> Tracker::positionMatches(const std::vector<Face>& faces, double t) const {
    std::vector<int> matches(faces.size(), -1);
    if (!onPosition || stillImages || faces.empty()) return matches;
    std::vector<const Track*> candidates;
    for (const Track* track : open_)
        if (t - track->lastT <= maxGap) candidates.push_back(track);

    std::vector<int> facesNear(candidates.size(), 0); // per track: faces at least `nearby`
    std::vector<int> tracksNear(faces.size(), 0);     // per face: tracks at least `nearby`
    std::vector<int> close(faces.size(), -1);         // per face: a track at least `samePlace`
    for (std::size_t r = 0; r < candidates.size(); ++r)
        for (std::size_t c = 0; c < faces.size(); ++c) {
            const float o = iou(faces[c].box, candidates[r]->lastBox);
            if (!(o >= nearby)) continue;
            ++facesNear[r];
            ++tracksNear[c];
            if (o >= samePlace) close[c] = static_cast<int>(r);
        }
    for (std::size_t c = 0; c < faces.size(); ++c) {
        if (close[c] < 0 || tracksNear[c] != 1) continue;
        const auto r = static_cast<std::size_t>(close[c]);
        if (facesNear[r] == 1) matches[c] = candidates[r]->id;
    }
    return matches;
}

std::vector<int> Tracker::update(const std::vector<Face>& faces, double t, int frame,
                                 float minEmbedPx) {
    // A track too long unseen for this frame is too long unseen for every later one.
    closed_.clear();
    if (t >= latestT_)
        std::erase_if(open_, [&](const Track* track) {
            if (!(t - track->lastT > maxGap)) return false;
            closed_.push_back(track->id);
            return true;
        });
    latestT_ = std::max(latestT_, t);
    std::vector<Track*> candidates;
    for (Track* track : open_)
        if (t - track->lastT <= maxGap) candidates.push_back(track);

    std::vector<int> slots(faces.size(), -1);
    const auto useForID = [&](const Face& face) { return face.box.x2 - face.box.x1 >= minEmbedPx; };

    // A face that comes without an embedding was left unembedded because its place alone says
    // whose it is; it takes that track out of the contest.
    if (onPosition && !stillImages) {
        const std::vector<int> matches = positionMatches(faces, t);
        for (std::size_t c = 0; c < faces.size(); ++c) {
            if (matches[c] < 0 || !faces[c].embedding.empty()) continue;
            Track& track = *tracks_[static_cast<std::size_t>(matches[c])];
            track.add(faces[c], t, frame, useForID(faces[c]));
            slots[c] = track.id;
            std::erase(candidates, &track);
        }
    }

    if (!candidates.empty() && !faces.empty()) {
        std::vector<std::vector<float>> cells(candidates.size(),
                                              std::vector<float>(faces.size(), forbidden));
        for (std::size_t r = 0; r < candidates.size(); ++r) {
            const Track& track = *candidates[r];
            const float boxWidth = track.lastBox.x2 - track.lastBox.x1;
            const float scale = boxWidth > 1 ? boxWidth : 1;
            const Point trackCentre = centre(track.lastBox);
            const float trackArea = area(track.lastBox);
            for (std::size_t c = 0; c < faces.size(); ++c) {
                if (slots[c] != -1) continue;
                const Face& face = faces[c];
                if (stillImages) {
                    if (face.embedding.empty()) continue;
                    const float s = dotCommon(track.appearance, face.embedding);
                    if (s >= minSim) cells[r][c] = s;
                    continue;
                }
                const Point faceCentre = centre(face.box);
                const float dx = faceCentre.x - trackCentre.x;
                const float dy = faceCentre.y - trackCentre.y;
                const float d = std::sqrt(dx * dx + dy * dy) / scale;

                const float iw = std::max(std::min(face.box.x2, track.lastBox.x2) -
                                              std::max(face.box.x1, track.lastBox.x1),
                                          0.0f);
                const float ih = std::max(std::min(face.box.y2, track.lastBox.y2) -
                                              std::max(face.box.y1, track.lastBox.y1),
                                          0.0f);
                const float inter = iw * ih;
                const float unionArea = area(face.box) + trackArea - inter;
                const float o = unionArea > 0 ? inter / unionArea : 0.0f;

                // Appearance only matters near the track; far away the pair is ruled out
                // whatever it scores.
                if (!(o >= 0.3f) && !(d < 4.0f)) continue;
                const float s =
                    face.embedding.empty() ? 0.0f : dotCommon(track.appearance, face.embedding);

                if ((o >= 0.3f && s > 0.1f) || (s >= minSim && d < 4.0f))
                    cells[r][c] = (0.5f * o + s) + (-0.02f * d);
            }
        }
        for (const auto& [r, c] : hungarianMax(cells, keepAbove)) {
            Track& track = *candidates[static_cast<std::size_t>(r)];
            const Face& face = faces[static_cast<std::size_t>(c)];
            track.add(face, t, frame, useForID(face));
            slots[static_cast<std::size_t>(c)] = track.id;
        }
    }

    for (std::size_t c = 0; c < faces.size(); ++c) {
        if (slots[c] != -1) continue;
        auto track = std::make_shared<Track>(next_++, t, faces[c].box);
        track->add(faces[c], t, frame, useForID(faces[c]));
        slots[c] = track->id;
        open_.push_back(track.get());
        tracks_.push_back(std::move(track));
    }
    return slots;
}

} // namespace tallymere
