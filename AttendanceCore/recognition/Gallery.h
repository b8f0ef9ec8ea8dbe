#pragma once

#include "library/Member.h"

#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tallymere {

// One good enrolment photo: its member and its embedding (512 unit-length values).
struct GalleryRow {
    std::string member;
    std::vector<float> embedding;

    bool operator==(const GalleryRow&) const = default;
};

// A member's score for one query: the mean of its best photo similarities.
struct MemberScore {
    std::string member;
    float score = 0;

    bool operator==(const MemberScore&) const = default;
};

// The enrolled embeddings one run matches against, built once per run from the members
// (Gallery::of).
struct Gallery {
    // The recognisable members in library order; this order breaks ties between equal scores.
    std::vector<std::string> memberIDs;
    // One row per good photo with an embedding; rows of members not in memberIDs are not scored.
    std::vector<GalleryRow> rows;

    // The gallery of the members' accepted photos that have embeddings, in member and photo order.
    static Gallery of(const std::vector<Member>& members);

    // The members ranked for query `q`, best first: each member's score is the mean of its `topK`
    // best photo similarities (topK >= 1). Members without rows are left out.
    std::vector<MemberScore> scores(std::span<const float> q, int topK) const;

    // One similarity per row, in row order: the dot product of `q` and the row's embedding over
    // their common length, summed in single precision in index order.
    std::vector<float> similarities(std::span<const float> q) const;

    bool operator==(const Gallery&) const = default;
};

// Similarity of two embeddings: the single-precision dot product over their common length, summed
// in index order.
float dotCommon(const std::vector<float>& a, const std::vector<float>& b);

// The vector divided by its length (single precision, squares summed in index order). An empty
// vector, a zero vector, or one whose squared length is not a number comes back unchanged.
std::vector<float> normalized(std::vector<float> v);

// The one-to-one pairing of rows with columns of the rectangular score matrix `s` that maximises
// the total score, without the pairs scored below `minScore` (or not a number). Pairs are
// (row, column) of `s`, in column order when rows <= columns, otherwise in row order.
std::vector<std::pair<int, int>> hungarianMax(const std::vector<std::vector<float>>& s,
                                              float minScore);

} // namespace tallymere
