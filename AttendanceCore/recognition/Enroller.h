#pragma once

#include "engine/BGRAImage.h"
#include "engine/Face.h"
#include "library/Member.h"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tallymere {

class FaceEngine;
class Library;

// Thresholds of the enrolment check. The application always uses the defaults.
struct EnrollSettings {
    float minFacePx = 80;         // smallest accepted face width, in pixels of the loaded photo
    float minScore = 0.6f;        // smallest accepted detector confidence
    double minBlur = 40;          // smallest accepted sharpness of the aligned face
    float minFrontal = 0.35f;     // smallest accepted frontality
    float mislabelMargin = 0.05f; // margin of the mislabel check
    int detectorSize = 640;       // detector input size for enrolment photos
};

// Examines a member's photos: finds the member's face in each, measures it, embeds it, accepts or
// rejects the photo with a message the operator can act on, and keeps "face.jpg" pointing at the
// best face. One is made for each check; it holds no state of its own.
class Enroller {
public:
    Enroller(FaceEngine& engine, const Library& library, EnrollSettings settings = {});

    // The image in the orientation in which faces were found (the photo itself, or the first of
    // the three turns that yields a face) and its candidate faces, most prominent first. Throws
    // the engine's errors.
    std::pair<BGRAImage, std::vector<Face>> candidates(const BGRAImage& image);

    // Empty when the embedded face passes every quality test, else the first failing test's
    // message.
    std::string problem(const Face& face) const;

    // The member with every photo re-examined, in stored order; writes or removes the member's
    // "face.jpg". Never throws: every failure ends up in a photo's reason. Nothing is saved.
    Member check(Member member);

    // Texts naming members with a photo that looks more like another member than like their own
    // other photos, each once, in ascending order.
    static std::vector<std::string>
    mislabelWarnings(const std::vector<Member>& members,
                     float margin = EnrollSettings{}.mislabelMargin);

    // The pure steps of the check, usable without face models.

    // Drops faces sticking out of a width x height image by more than a quarter of their box
    // (unless that would drop them all), fills each face's prominence rank and orders the faces
    // by it, most prominent first (stable).
    static std::vector<Face> rankCandidates(std::vector<Face> faces, int width, int height);

    // The quality tests of `problem` with explicit thresholds.
    static std::string problem(const Face& face, const EnrollSettings& cfg);

    // For the embedded faces of a group photo and the member's reference embedding: the index of
    // the face that is clearly the member and its similarity, or nothing when no face is both
    // close enough (0.45) and clearly ahead of the next (by 0.15).
    struct GroupPick {
        std::size_t index = 0;
        float similarity = 0;
    };
    static std::optional<GroupPick> pickGroupFace(const std::vector<Face>& faces,
                                                  const std::vector<float>& reference);

private:
    // Fraction of the face box that lies inside a width x height image.
    static float visibleFraction(const Face& face, int width, int height);

    FaceEngine& engine;
    EnrollSettings cfg;
    const Library& library;
};

} // namespace tallymere
