#include "recognition/TrackDecision.h"

#include "library/Json.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace tallymere {

namespace {

// Sightings after which the track's own best sightings must agree, and the least share that do.
constexpr int voteFromSightings = 3;
constexpr float leastVote = 0.5f;

std::string twoDigits(float value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(value));
    return text;
}

TrackDecision withoutCandidate(TrackDecision decision) {
    decision.memberID.reset();
    decision.score = 0;
    decision.runnerUp.reset();
    decision.runnerUpScore = -1;
    decision.vote = 0;
    decision.reason = "face too small to identify";
    return decision;
}

// The member a retained sighting matches best on its own, if any.
std::optional<std::string> ownBest(const Track::Sighting& sighting, const Gallery& gallery,
                                   const ProcessSettings& s, VoteMemo* memo) {
    if (memo)
        for (const auto& [number, member] : memo->ownBest)
            if (number == sighting.number) return member;
    const std::vector<MemberScore> own = gallery.scores(sighting.embedding, s.topK);
    std::optional<std::string> member;
    if (!own.empty()) member = own[0].member;
    if (memo) memo->ownBest.emplace_back(sighting.number, member);
    return member;
}

TrackDecision decideOne(const Track& track, const Gallery& gallery, const ProcessSettings& s,
                        VoteMemo* memo) {
    TrackDecision decision;
    decision.trackID = track.id;
    decision.sightings = track.sightings;
    decision.idSightings = track.idSightings;
    decision.firstT = track.firstT;
    decision.lastT = track.lastT;

    if (track.idSightings < 1 || gallery.rows.empty()) return withoutCandidate(decision);
    const std::vector<MemberScore> ranking = gallery.scores(normalized(track.idEmbSum), s.topK);
    if (ranking.empty()) return withoutCandidate(decision);

    const std::string& best = ranking[0].member;
    const float S = ranking[0].score;
    const bool hasRunnerUp = ranking.size() > 1;
    const float S2 = hasRunnerUp ? ranking[1].score : -1.0f;

    // Each retained sighting on its own; the weights play no part.
    float vote = 0;
    if (!track.top.empty()) {
        int agreeing = 0;
        for (const Track::Sighting& sighting : track.top) {
            if (ownBest(sighting, gallery, s, memo) == best) ++agreeing;
        }
        // Sightings that left the retained few are never counted again.
        if (memo)
            std::erase_if(memo->ownBest, [&](const auto& entry) {
                return std::none_of(
                    track.top.begin(), track.top.end(),
                    [&](const Track::Sighting& k) { return k.number == entry.first; });
            });
        vote = static_cast<float>(agreeing) / static_cast<float>(track.top.size());
    }

    decision.score = S;
    if (hasRunnerUp) decision.runnerUp = ranking[1].member;
    decision.runnerUpScore = S2;
    decision.vote = vote;

    if (S < s.matchThreshold) {
        decision.reason = "best match " + best + " " + twoDigits(S) + " below threshold " +
                          twoDigits(s.matchThreshold);
    } else if (S - S2 < s.margin) {
        decision.reason = "ambiguous: " + best + " " + twoDigits(S) + " vs " +
                          (hasRunnerUp ? ranking[1].member : std::string()) + " " + twoDigits(S2);
    } else if (track.idSightings < s.minSightings && S < s.strongThreshold) {
        decision.reason =
            "only " + std::to_string(track.idSightings) + " sighting(s) and not a strong match";
    } else if (track.idSightings >= voteFromSightings && vote < leastVote) {
        decision.reason = "inconsistent sightings (vote " + twoDigits(vote) + ")";
    } else {
        decision.memberID = best;
        decision.reason = "match";
    }
    return decision;
}

} // namespace

void to_json(Json& json, const TrackDecision& decision) {
    json = Json::object();
    json["trackID"] = decision.trackID;
    if (decision.memberID) json["memberID"] = *decision.memberID;
    json["score"] = jsonFloat(decision.score);
    if (decision.runnerUp) json["runnerUp"] = *decision.runnerUp;
    json["runnerUpScore"] = jsonFloat(decision.runnerUpScore);
    json["vote"] = jsonFloat(decision.vote);
    json["sightings"] = decision.sightings;
    json["idSightings"] = decision.idSightings;
    json["firstT"] = jsonDouble(decision.firstT);
    json["lastT"] = jsonDouble(decision.lastT);
    json["reason"] = decision.reason;
}

void from_json(const Json& json, TrackDecision& decision) {
    requireObject(json, "a track decision");
    decision.trackID = readInt(json, "trackID");
    decision.memberID = readOptionalString(json, "memberID");
    decision.score = readFloat(json, "score");
    decision.runnerUp = readOptionalString(json, "runnerUp");
    decision.runnerUpScore = readFloat(json, "runnerUpScore");
    decision.vote = readFloat(json, "vote");
    decision.sightings = readInt(json, "sightings");
    decision.idSightings = readInt(json, "idSightings");
    decision.firstT = readDouble(json, "firstT");
    decision.lastT = readDouble(json, "lastT");
    decision.reason = readString(json, "reason");
}

std::vector<TrackDecision> decide(const std::vector<std::shared_ptr<Track>>& tracks,
                                  const Gallery& gallery, const ProcessSettings& s) {
    std::vector<TrackDecision> decisions;
    decisions.reserve(tracks.size());
    for (const auto& track : tracks)
        decisions.push_back(decideOne(*track, gallery, s, nullptr));
    return decisions;
}

TrackDecision decide(const Track& track, const Gallery& gallery, const ProcessSettings& s,
                     VoteMemo* memo) {
    return decideOne(track, gallery, s, memo);
}

} // namespace tallymere
