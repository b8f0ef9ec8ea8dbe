#include "runs/AttendanceSession.h"

#include "engine/FaceEngine.h"
#include "library/Library.h"
#include "recognition/Aggregation.h"
#include "recognition/TrackDecision.h"
#include "runs/ProcessError.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <system_error>

namespace tallymere {

namespace {

// Tracks looked up when labelling faces on screen: the most recent ones are enough, and the
// lookup stays cheap however long the session runs.
constexpr std::size_t labelWindow = 400;

constexpr double snapshotQuality = 0.9;

// The likeness of looks above which a face left in its place is taken for the one last embedded
// there. Measured on aligned crops from one sampled frame to the next: one person drifting in a
// seat 0.99 and above, two people swapping places 0.73 and below.
constexpr float sameLook = 0.9f;

bool hasCrop(const Track& track) {
    return track.bestCrop || !track.bestCropJPEG.empty();
}

// The track's best crop as a snapshot; a closed track's was encoded the same way already.
bool writeCrop(const Track& track, const std::filesystem::path& path) {
    if (track.bestCrop) return track.bestCrop->writeJPEG(path, snapshotQuality);
    return BGRAImage::writeFile(path, track.bestCropJPEG);
}

// The side of a face's look: its aligned crop in grey, averaged over blocks of that many pixels.
constexpr int lookSide = 16;

// A face's look: its aligned crop shrunk to lookSide x lookSide grey levels, less their mean, at
// unit length; empty without a crop. Two looks of one person in one place from one sampled frame
// to the next agree almost exactly, those of two people far less.
std::vector<float> lookOf(const Face& face) {
    if (!face.crop || face.crop->width < lookSide || face.crop->height < lookSide) return {};
    const BGRAImage& crop = *face.crop;
    std::vector<float> look(static_cast<std::size_t>(lookSide) * lookSide, 0.0f);
    for (int y = 0; y < crop.height; ++y) {
        const std::uint8_t* row = crop.data.data() + static_cast<std::size_t>(y) * crop.width * 4;
        const int ly = y * lookSide / crop.height;
        for (int x = 0; x < crop.width; ++x) {
            const std::uint8_t* p = row + static_cast<std::size_t>(x) * 4;
            look[static_cast<std::size_t>(ly * lookSide + x * lookSide / crop.width)] +=
                0.114f * p[0] + 0.587f * p[1] + 0.299f * p[2];
        }
    }
    float mean = 0;
    for (const float v : look)
        mean += v;
    mean /= static_cast<float>(look.size());
    float sumSq = 0;
    for (float& v : look) {
        v -= mean;
        sumSq += v * v;
    }
    if (!(sumSq > 0)) return {};
    const float norm = std::sqrt(sumSq);
    for (float& v : look)
        v /= norm;
    return look;
}

float likeness(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.empty() || a.size() != b.size()) return -1;
    float sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        sum += a[i] * b[i];
    return sum;
}

} // namespace

AttendanceSession::AttendanceSession(std::vector<Member> members, const Library& library,
                                     const ProcessSettings& settings, bool stillImages,
                                     std::string model)
    : settings(settings), model(std::move(model)), gallery_(Gallery::of(members)),
      members_(std::move(members)), library_(library),
      tracker_(stillImages ? std::numeric_limits<double>::infinity() : settings.trackMaxGap,
               settings.trackMinSim, stillImages, !stillImages && settings.reembedSeconds > 0) {
    if (gallery_.rows.empty()) throw ProcessError::noMembers();
}

std::vector<LiveFace> AttendanceSession::ingest(const std::vector<Face>& faces, double t,
                                                int frame) {
    const std::vector<int> ids = tracker_.update(faces, t, frame, settings.minEmbedFacePx);
    if (tracker_.onPosition)
        for (std::size_t i = 0; i < faces.size() && i < ids.size(); ++i)
            if (!faces[i].embedding.empty()) looks_[ids[i]] = lookOf(faces[i]);
    ++frames_;
    lastT_ = t;
    settleClosed();

    const auto& tracks = tracker_.tracks();
    const std::size_t first = tracks.size() > labelWindow ? tracks.size() - labelWindow : 0;
    std::unordered_map<int, const Track*> recent;
    recent.reserve(tracks.size() - first);
    for (std::size_t i = first; i < tracks.size(); ++i)
        recent.emplace(tracks[i]->id, tracks[i].get());

    std::vector<LiveFace> out;
    const std::size_t n = std::min(faces.size(), ids.size());
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        auto found = recent.find(ids[i]);
        auto [member, score] = label(found == recent.end() ? nullptr : found->second);
        out.push_back(LiveFace{ids[i], faces[i].box, std::move(member), score});
    }
    return out;
}

std::vector<bool> AttendanceSession::needsEmbedding(const std::vector<Face>& faces,
                                                    double t) const {
    std::vector<bool> needed(faces.size(), true);
    if (!(settings.reembedSeconds > 0)) return needed;
    // Skipped sightings add no identifying sightings, so a track is left to earn those a visitor
    // needs before any is skipped.
    const int wellIdentified = std::max(3, minimumEvidence(settings, false));
    const std::vector<int> matches = tracker_.positionMatches(faces, t);
    for (std::size_t i = 0; i < faces.size(); ++i) {
        if (matches[i] < 0) continue;
        const Track& track = *tracker_.tracks()[static_cast<std::size_t>(matches[i])];
        // A better view than any so far is embedded, so that the best sightings reach the vote.
        needed[i] = track.idSightings < wellIdentified ||
                    !(t - track.lastEmbeddedT < settings.reembedSeconds) ||
                    Track::weightOf(faces[i]) > track.bestQuality;
        // Someone else who took the place in an instant (a cut, a swap) does not look the same.
        if (!needed[i]) {
            auto look = looks_.find(track.id);
            const float l = look == looks_.end() ? -1 : likeness(lookOf(faces[i]), look->second);
            needed[i] = !(l >= sameLook);
        }
    }
    return needed;
}

std::vector<Face> AttendanceSession::analyze(FaceEngine& engine, const BGRAImage& image, double t,
                                             int size, int tiles) {
    std::vector<Face> faces;
    if (settings.reembedSeconds > 0) {
        faces = engine.find(image, size, settings.minFacePx, tiles);
        engine.align(image, faces);
        const std::vector<bool> needed = needsEmbedding(faces, t);
        engine.embedAligned(faces, needed);
    } else {
        faces = engine.analyze(image, size, settings.minFacePx, tiles);
    }
    embeddingCount_.faces += static_cast<long>(faces.size());
    for (const Face& face : faces)
        if (!face.embedding.empty()) ++embeddingCount_.embedded;
    return faces;
}

std::pair<std::optional<std::string>, float> AttendanceSession::label(const Track* track) {
    if (!track || track->idSightings < 1) return {std::nullopt, 0.0f};
    if (auto cached = labels_.find(track->id);
        cached != labels_.end() && cached->second.idSightings == track->idSightings)
        return {cached->second.memberID, cached->second.score};

    const std::vector<float> e = normalized(track->idEmbSum);
    const std::vector<MemberScore> top = gallery_.scores(e, settings.topK);
    std::optional<std::string> member;
    float score = 0;
    if (!top.empty()) {
        score = top[0].score;
        const float runnerUp = top.size() >= 2 ? top[1].score : -1.0f;
        if (score >= settings.matchThreshold && score - runnerUp >= settings.margin &&
            (track->idSightings >= settings.minSightings || score >= settings.strongThreshold))
            member = top[0].member;
    }
    labels_[track->id] = Label{member, score, track->idSightings};
    return {std::move(member), score};
}

const std::vector<AttendanceSession::Decided>& AttendanceSession::decideChanged() const {
    const auto& tracks = tracker_.tracks();
    if (decided_.size() < tracks.size()) decided_.resize(tracks.size());
    for (std::size_t i = 0; i < tracks.size(); ++i)
        decideIfChanged(i);
    return decided_;
}

void AttendanceSession::decideIfChanged(std::size_t index) const {
    const Track& track = *tracker_.tracks()[index];
    Decided& entry = decided_[index];
    if (entry.sightings == track.sightings) return;
    entry.decision = decide(track, gallery_, settings, &entry.memo);
    entry.sightings = track.sightings;
}

void AttendanceSession::settleClosed() {
    if (tracker_.closed().empty()) return;
    if (decided_.size() < tracker_.tracks().size()) decided_.resize(tracker_.tracks().size());
    for (const int id : tracker_.closed()) {
        const auto index = static_cast<std::size_t>(id);
        if (index >= tracker_.tracks().size()) continue;
        Track& track = *tracker_.tracks()[index];
        // Its decision is final: the retained sightings were only there for the vote.
        decideIfChanged(index);
        std::vector<Track::Sighting>().swap(track.top);
        decided_[index].memo = {};
        tracker_.release(track);
        looks_.erase(id);
        if (track.bestCrop) {
            if (auto jpeg = track.bestCrop->encodeJPEG(snapshotQuality)) {
                track.bestCropJPEG = std::move(*jpeg);
                track.bestCrop.reset();
            }
        }
    }
}

std::vector<LivePresence> AttendanceSession::presence() const {
    std::vector<LivePresence> entries; // in order of each member's first accepted decision
    std::unordered_map<std::string, std::size_t> slot;
    for (const Decided& entry : decideChanged()) {
        const TrackDecision& d = entry.decision;
        if (!d.memberID) continue;
        auto [it, added] = slot.emplace(*d.memberID, entries.size());
        if (added) {
            entries.push_back(LivePresence{*d.memberID, d.score, d.firstT});
        } else {
            LivePresence& entry = entries[it->second];
            entry.score = std::max(entry.score, d.score);
            entry.firstSeen = std::min(entry.firstSeen, d.firstT);
        }
    }
    std::stable_sort(
        entries.begin(), entries.end(),
        [](const LivePresence& a, const LivePresence& b) { return a.firstSeen < b.firstSeen; });
    return entries;
}

ServiceResults AttendanceSession::finish(const std::filesystem::path& serviceDir, double duration,
                                         double processingSeconds, bool stillImages) const {
    namespace fs = std::filesystem;
    const auto& tracks = tracker_.tracks();
    std::vector<TrackDecision> decisions;
    decisions.reserve(tracks.size());
    for (const Decided& entry : decideChanged())
        decisions.push_back(entry.decision);
    Aggregation aggregation = aggregate(gallery_.memberIDs, tracks, decisions);
    const auto clusters = clusterUnknowns(tracks, decisions, settings, stillImages);

    // This run's snapshots replace those of an earlier run of the same service.
    const fs::path evidenceDir = serviceDir / "evidence";
    const fs::path visitorsDir = serviceDir / "visitors";
    std::error_code ignored;
    fs::remove_all(evidenceDir, ignored);
    fs::remove_all(visitorsDir, ignored);
    fs::create_directories(evidenceDir);
    fs::create_directories(visitorsDir);

    for (MemberResult& result : aggregation.members) {
        if (!result.present) continue;
        auto best = aggregation.bestTracks.find(result.memberID);
        if (best == aggregation.bestTracks.end() || !hasCrop(*best->second)) continue;
        // The id becomes a file name; one that is not a plain name gets no snapshot rather than
        // a file outside the folder.
        if (!Library::isPlainName(result.memberID)) continue;
        const std::string name = result.memberID + ".jpg";
        // A picture that could not be written is not recorded: the register would show a
        // missing file.
        if (writeCrop(*best->second, evidenceDir / name)) result.evidenceFile = "evidence/" + name;
    }

    std::vector<Visitor> visitors;
    for (std::size_t k = 0; k < clusters.size(); ++k) {
        const auto& cluster = clusters[k];
        if (cluster.empty()) continue;
        const Track* best = cluster.front().get();
        for (const auto& track : cluster)
            if (track->bestQuality > best->bestQuality) best = track.get();
        if (!hasCrop(*best)) continue;
        char name[48];
        std::snprintf(name, sizeof name, "visitor_%03zu.jpg", k);
        // A visitor is known by its picture; without one written there is nothing to show.
        if (!writeCrop(*best, visitorsDir / name)) continue;
        Visitor visitor;
        visitor.id = "V" + std::to_string(k);
        visitor.imageFile = std::string("visitors/") + name;
        visitor.firstSeen = cluster.front()->firstT;
        for (const auto& track : cluster) {
            visitor.firstSeen = std::min(visitor.firstSeen, track->firstT);
            visitor.sightings += track->sightings;
        }
        visitors.push_back(std::move(visitor));
    }

    sortForRegister(aggregation.members, members_);

    ServiceResults results;
    results.members = std::move(aggregation.members);
    results.visitors = std::move(visitors);
    results.framesAnalysed = frames_;
    results.durationSeconds = duration;
    results.processingSeconds = processingSeconds;
    results.membersEnrolled = static_cast<int>(gallery_.memberIDs.size());
    results.model = model;
    results.settings = settings;
    return results;
}

} // namespace tallymere
