#include "recognition/RecognizerScales.h"

#include "engine/FaceEngine.h"
#include "library/Library.h"
#include "library/LibraryError.h"

namespace tallymere {

namespace {

// Enough faces for the ranges of every layer to settle; each costs a detection and a 32-bit run.
constexpr std::size_t mostScaleFaces = 64;

} // namespace

bool measureRecognizerScales(FaceEngine& engine, const Library& library,
                             const std::vector<Member>& members) {
    if (!engine.wantsRecognizerScales()) return false;
    // Every face of an accepted photo is a real face, the member's or not.
    std::vector<BGRAImage> faces;
    for (const Member& member : members)
        for (const Photo& photo : member.photos) {
            if (!photo.ok || faces.size() >= mostScaleFaces) continue;
            std::optional<BGRAImage> image;
            try {
                image = BGRAImage::load(library.photoURL(member.id, photo.id), 3000);
            } catch (const LibraryError&) {
            }
            if (!image) continue;
            for (Face& face : engine.analyze(*image, 640, 0, 1))
                if (face.crop && faces.size() < mostScaleFaces)
                    faces.push_back(std::move(*face.crop));
        }
    return engine.calibrateRecognizer(faces);
}

} // namespace tallymere
