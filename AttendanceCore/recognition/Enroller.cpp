#include "recognition/Enroller.h"

#include "engine/FaceEngine.h"
#include "library/Library.h"
#include "library/LibraryError.h"
#include "library/Photo.h"
#include "recognition/Gallery.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

namespace tallymere {

namespace {

// Photos are decoded no larger than this on their longest side.
constexpr int maxPhotoSide = 3000;
constexpr float detectionThreshold = 0.5f;
constexpr float minVisibleFraction = 0.75f;
// A second face at least this prominent relative to the first makes the photo ambiguous.
constexpr float groupRankRatio = 0.75f;
constexpr std::size_t maxGroupFaces = 6;
constexpr float groupMinSimilarity = 0.45f;
constexpr float groupMinLead = 0.15f;
constexpr double faceJPEGQuality = 0.9;
constexpr std::size_t embeddingLength = 512;

std::string format(const char* pattern, double a) {
    char text[160];
    std::snprintf(text, sizeof text, pattern, a);
    return text;
}

std::string format(const char* pattern, double a, double b) {
    char text[160];
    std::snprintf(text, sizeof text, pattern, a, b);
    return text;
}

// Dot product over the shorter of the two vectors, summed in index order.
float similarity(const std::vector<float>& a, const std::vector<float>& b) {
    const std::size_t n = std::min(a.size(), b.size());
    float sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += a[i] * b[i];
    return sum;
}

std::string analyseFailure(const std::exception& error) {
    return std::string("Couldn't analyse: ") + error.what();
}

// The running values of one check.
struct Tally {
    std::vector<std::vector<float>> accepted;
    float bestQuality = -1;
    std::optional<BGRAImage> bestCrop;
};

void markFailed(Photo& photo, std::string message) {
    photo.checked = true;
    photo.ok = false;
    photo.reason = std::move(message);
    photo.faceWidth = 0;
    photo.quality = 0;
    photo.embedding.reset();
}

void markWithFace(Photo& photo, const Face& face, std::string text, const EnrollSettings& cfg,
                  Tally& tally) {
    std::string trouble = Enroller::problem(face, cfg);
    photo.checked = true;
    photo.ok = trouble.empty();
    photo.reason = photo.ok ? std::move(text) : std::move(trouble);
    photo.faceWidth = face.width();
    photo.quality = face.quality();
    if (!photo.ok) {
        photo.embedding.reset();
        return;
    }
    photo.embedding = face.embedding;
    tally.accepted.push_back(face.embedding);
    const float quality = face.quality();
    if (quality > tally.bestQuality) {
        tally.bestQuality = quality;
        tally.bestCrop = face.crop;
    }
}

// A group photo waiting for the member's reference embedding.
struct Deferred {
    std::size_t photo;
    std::vector<Face> faces;
};

} // namespace

Enroller::Enroller(FaceEngine& engine, const Library& library, EnrollSettings settings)
    : engine(engine), cfg(settings), library(library) {}

float Enroller::visibleFraction(const Face& face, int width, int height) {
    const Box& b = face.box;
    float area = (b.x2 - b.x1) * (b.y2 - b.y1);
    if (!(area > 1e-6f)) area = 1e-6f;
    const float w = static_cast<float>(width);
    const float h = static_cast<float>(height);
    const float visibleW = std::max(0.0f, std::min(b.x2, w) - std::max(b.x1, 0.0f));
    const float visibleH = std::max(0.0f, std::min(b.y2, h) - std::max(b.y1, 0.0f));
    return visibleW * visibleH / area;
}

std::vector<Face> Enroller::rankCandidates(std::vector<Face> faces, int width, int height) {
    std::vector<Face> kept;
    for (const Face& face : faces)
        if (visibleFraction(face, width, height) >= minVisibleFraction) kept.push_back(face);
    // Faces cut by the edge still count when there is nothing better.
    if (kept.empty()) kept = std::move(faces);

    const float cx = static_cast<float>(width) / 2;
    const float cy = static_cast<float>(height) / 2;
    const float halfDiagonal = std::sqrt(cx * cx + cy * cy);
    for (Face& face : kept) {
        const Point c = face.center();
        const float d = std::sqrt((c.x - cx) * (c.x - cx) + (c.y - cy) * (c.y - cy));
        face.rank = face.width() * (1 - 0.5f * d / halfDiagonal);
    }
    std::stable_sort(kept.begin(), kept.end(),
                     [](const Face& a, const Face& b) { return a.rank > b.rank; });
    return kept;
}

std::pair<BGRAImage, std::vector<Face>> Enroller::candidates(const BGRAImage& image) {
    std::vector<Face> faces = engine.detectOnce(image, cfg.detectorSize, detectionThreshold);
    if (!faces.empty()) {
        std::vector<Face> ranked = rankCandidates(std::move(faces), image.width, image.height);
        return {image, std::move(ranked)};
    }
    // Photos taken sideways or upside down: the first turn that shows a face is the photo from
    // here on, so widths and crops are measured upright.
    for (int turn = 0; turn < 3; ++turn) {
        BGRAImage turned = turn == 0   ? image.rotated90(true)
                           : turn == 1 ? image.rotated90(false)
                                       : image.rotated180();
        faces = engine.detectOnce(turned, cfg.detectorSize, detectionThreshold);
        if (!faces.empty()) {
            std::vector<Face> ranked =
                rankCandidates(std::move(faces), turned.width, turned.height);
            return {std::move(turned), std::move(ranked)};
        }
    }
    return {image, {}};
}

std::string Enroller::problem(const Face& face, const EnrollSettings& cfg) {
    if (face.width() < cfg.minFacePx)
        return format("Face too small (%.0f px; needs %.0f)", face.width(), cfg.minFacePx);
    if (face.score < cfg.minScore)
        return format("Face unclear or covered (confidence %.2f)", face.score);
    if (face.blur < cfg.minBlur)
        return format("Too blurry (sharpness %.0f; needs %.0f)", face.blur, cfg.minBlur);
    if (face.frontal < cfg.minFrontal) return "Face turned too far to the side";
    return {};
}

std::string Enroller::problem(const Face& face) const {
    return problem(face, cfg);
}

std::optional<Enroller::GroupPick> Enroller::pickGroupFace(const std::vector<Face>& faces,
                                                           const std::vector<float>& reference) {
    if (faces.empty()) return std::nullopt;
    std::vector<GroupPick> order;
    order.reserve(faces.size());
    for (std::size_t i = 0; i < faces.size(); ++i)
        order.push_back({i, similarity(faces[i].embedding, reference)});
    std::stable_sort(order.begin(), order.end(), [](const GroupPick& a, const GroupPick& b) {
        return a.similarity > b.similarity;
    });
    const float best = order[0].similarity;
    // A lone face has nobody to be confused with.
    const float lead = order.size() > 1 ? best - order[1].similarity : best + 1;
    if (best >= groupMinSimilarity && lead >= groupMinLead) return order[0];
    return std::nullopt;
}

Member Enroller::check(Member member) {
    Tally tally;
    std::vector<Deferred> deferred;

    // Pass 1: single-person photos are settled at once; group photos wait for the reference.
    for (std::size_t i = 0; i < member.photos.size(); ++i) {
        Photo& photo = member.photos[i];
        try {
            // An id that cannot name a file leaves nothing to open.
            std::optional<BGRAImage> loaded;
            std::string refusal;
            try {
                loaded =
                    BGRAImage::load(library.photoURL(member.id, photo.id), maxPhotoSide, &refusal);
            } catch (const LibraryError&) {
            }
            if (!loaded) {
                markFailed(photo, refusal.empty() ? "Couldn't open this image" : refusal);
                continue;
            }
            std::pair<BGRAImage, std::vector<Face>> found;
            try {
                found = candidates(*loaded);
            } catch (const std::exception& error) {
                markFailed(photo, analyseFailure(error));
                continue;
            }
            loaded.reset();
            auto& [image, faces] = found;
            if (faces.empty()) {
                markFailed(photo, "No face found");
                continue;
            }
            if (faces.size() >= 2 && faces[1].rank >= groupRankRatio * faces[0].rank) {
                faces.resize(std::min(faces.size(), maxGroupFaces));
                try {
                    engine.embed(image, faces);
                } catch (const std::exception& error) {
                    markFailed(photo, analyseFailure(error));
                    continue;
                }
                deferred.push_back({i, std::move(faces)});
                continue;
            }
            std::vector<Face> first{std::move(faces[0])};
            try {
                engine.embed(image, first);
            } catch (const std::exception& error) {
                markFailed(photo, analyseFailure(error));
                continue;
            }
            markWithFace(photo, first[0], "", cfg, tally);
        } catch (const std::exception& error) {
            // Anything else (running out of memory on a huge photo) stays with this photo too.
            markFailed(photo, analyseFailure(error));
        } catch (...) {
            markFailed(photo, "Couldn't analyse: unknown error");
        }
    }

    // Pass 2: the member's reference is the normalised sum of the photos accepted so far.
    std::optional<std::vector<float>> reference;
    if (!tally.accepted.empty()) {
        std::vector<float> sum(embeddingLength, 0.0f);
        for (const std::vector<float>& e : tally.accepted) {
            if (e.size() < sum.size()) sum.resize(e.size());
            for (std::size_t k = 0; k < sum.size(); ++k)
                sum[k] += e[k];
        }
        reference = normalized(sum);
    }

    // Pass 3: each group photo is settled by the face that matches the member's other photos.
    for (Deferred& group : deferred) {
        Photo& photo = member.photos[group.photo];
        const std::string count = std::to_string(group.faces.size());
        if (!reference) {
            markFailed(photo,
                       count + " faces and no photo of just this member to tell which is them");
            continue;
        }
        std::optional<GroupPick> pick = pickGroupFace(group.faces, *reference);
        if (!pick) {
            markFailed(photo, count + " faces; couldn't tell which one is them");
            continue;
        }
        markWithFace(photo, group.faces[pick->index],
                     format("Group photo: picked the face matching their other photos (%.0f%%)",
                            pick->similarity * 100.0f),
                     cfg, tally);
    }

    // The face picture follows the best accepted face; a failed write or removal is harmless.
    std::filesystem::path thumb;
    try {
        thumb = library.thumbURL(member.id);
    } catch (const LibraryError&) {
        return member; // an id that cannot name a folder has no face picture
    }
    std::error_code ignored;
    // Only a folder of the library's own gets the picture: a planted link would take the write
    // elsewhere. A picture file that is a link is replaced, never written through.
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(thumb.parent_path(), ignored)))
        return member;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(thumb, ignored)))
        std::filesystem::remove(thumb, ignored);
    if (tally.bestCrop)
        tally.bestCrop->writeJPEG(thumb, faceJPEGQuality);
    else
        std::filesystem::remove(thumb, ignored);
    return member;
}

std::vector<std::string> Enroller::mislabelWarnings(const std::vector<Member>& members,
                                                    float margin) {
    struct Sample {
        const std::string* member;
        const std::vector<float>* embedding;
    };
    std::vector<Sample> samples;
    std::map<std::string, std::string> names;
    for (const Member& m : members) {
        names.emplace(m.id, m.name); // with a repeated id the first name stands
        for (const Photo& p : m.photos)
            if (p.ok && p.embedding) samples.push_back({&m.id, &*p.embedding});
    }

    auto nameOf = [&](const std::string& id) -> const std::string& {
        auto it = names.find(id);
        return it == names.end() ? id : it->second;
    };

    std::set<std::string> texts;
    for (std::size_t s = 0; s < samples.size(); ++s) {
        float own = -1;
        float other = -1;
        const std::string* lookAlike = nullptr;
        for (std::size_t t = 0; t < samples.size(); ++t) {
            if (t == s) continue;
            const float sim = similarity(*samples[s].embedding, *samples[t].embedding);
            if (*samples[t].member == *samples[s].member) {
                own = std::max(own, sim);
            } else if (sim > other) {
                other = sim;
                lookAlike = samples[t].member;
            }
        }
        if (own > -1 && lookAlike && own + margin < other)
            texts.insert(nameOf(*samples[s].member) + ": a photo looks more like " +
                         nameOf(*lookAlike) + ". Check it's the right person.");
    }
    return {texts.begin(), texts.end()};
}

} // namespace tallymere
