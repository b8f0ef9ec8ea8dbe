#include "recognition/Gallery.h"

#include "library/Library.h"
#include "recognition/RowDots.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace tallymere {
namespace {

// A two-component unit vector whose dot product with (1, 0) is exactly `similarity`.
std::vector<float> withSimilarity(float similarity) {
    return {similarity, std::sqrt(1.0f - similarity * similarity)};
}

const std::vector<float> axis{1.0f, 0.0f};

std::uint32_t bits(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

float inOrderDot(const std::vector<float>& q, const std::vector<float>& e) {
    const std::size_t n = std::min(q.size(), e.size());
    float sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += q[i] * e[i];
    return sum;
}

// Values over several orders of magnitude and both signs, so that adding them in another order
// almost always changes the rounded sum.
std::vector<float> randomVector(std::mt19937& rng, std::size_t n) {
    std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-12, 6);
    std::vector<float> v(n);
    for (float& x : v)
        x = std::ldexp(mantissa(rng), exponent(rng));
    return v;
}

// ---- Gallery::of

Photo photo(const std::string& id, bool ok, std::optional<std::vector<float>> embedding) {
    Photo p(id, Date{});
    p.checked = true;
    p.ok = ok;
    p.embedding = std::move(embedding);
    return p;
}

TEST(LibraryGallery, GoodPhotosWithEmbeddingsInLibraryOrder) {
    Member two{"M0002",
               "Bea",
               Date{},
               {photo("a.jpg", true, std::vector<float>{1, 0}), photo("b.jpg", false, std::nullopt),
                photo("c.jpg", true, std::vector<float>{0, 1})}};
    Member unchecked{"M0001", "Abe", Date{}, {Photo("x.jpg", Date{})}};
    Member three{"M0003", "Cy", Date{}, {photo("d.jpg", true, std::vector<float>{0.6f, 0.8f})}};
    // Counted as good but without an embedding: listed, yet it has no rows to be scored by.
    Member bare{"M0004", "Di", Date{}, {photo("e.jpg", true, std::nullopt)}};

    const Gallery gallery = Gallery::of({two, unchecked, three, bare});
    EXPECT_EQ(gallery.memberIDs, (std::vector<std::string>{"M0002", "M0003", "M0004"}));
    ASSERT_EQ(gallery.rows.size(), 3u);
    EXPECT_EQ(gallery.rows[0], (GalleryRow{"M0002", {1, 0}}));
    EXPECT_EQ(gallery.rows[1], (GalleryRow{"M0002", {0, 1}}));
    EXPECT_EQ(gallery.rows[2], (GalleryRow{"M0003", {0.6f, 0.8f}}));
    EXPECT_TRUE(Gallery::of({}).rows.empty());

    const auto ranked = gallery.scores(std::vector<float>{1, 0}, 2);
    ASSERT_EQ(ranked.size(), 2u);
    EXPECT_EQ(ranked[0].member, "M0003");
    EXPECT_EQ(ranked[1].member, "M0002");
}

// ---- normalized

TEST(Normalized, EmptyAndZeroVectorsComeBackUnchanged) {
    EXPECT_TRUE(normalized({}).empty());
    EXPECT_EQ(normalized({0.0f, 0.0f, 0.0f}), (std::vector<float>{0.0f, 0.0f, 0.0f}));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> withNaN = normalized({nan, 1.0f});
    EXPECT_TRUE(std::isnan(withNaN[0]));
    EXPECT_EQ(withNaN[1], 1.0f);
}

TEST(Normalized, DividesByTheLength) {
    EXPECT_EQ(normalized({3.0f, 4.0f}), (std::vector<float>{0.6f, 0.8f}));
    EXPECT_EQ(normalized({0.0f, -2.0f}), (std::vector<float>{0.0f, -1.0f}));
}

TEST(Normalized, SumsSquaresInIndexOrder) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 50; ++trial) {
        const std::vector<float> v = randomVector(rng, 512);
        float sum = 0;
        for (const float x : v)
            sum += x * x;
        const float length = std::sqrt(sum);
        const std::vector<float> n = normalized(v);
        for (std::size_t i = 0; i < v.size(); ++i)
            ASSERT_EQ(bits(n[i]), bits(v[i] / length));
    }
}

// ---- Gallery::scores

TEST(GalleryScores, MeanOfTheTopKSimilaritiesAddedBestFirst) {
    Gallery gallery{{"M0001"},
                    {{"M0001", withSimilarity(0.7f)},
                     {"M0001", withSimilarity(0.5f)},
                     {"M0001", withSimilarity(0.6f)}}};
    auto two = gallery.scores(axis, 2);
    ASSERT_EQ(two.size(), 1u);
    EXPECT_EQ(two[0].member, "M0001");
    EXPECT_EQ(bits(two[0].score), bits((0.7f + 0.6f) / 2.0f));
    EXPECT_FLOAT_EQ(two[0].score, 0.65f);

    auto five = gallery.scores(axis, 5);
    ASSERT_EQ(five.size(), 1u);
    EXPECT_EQ(bits(five[0].score), bits(((0.7f + 0.6f) + 0.5f) / 3.0f));
    EXPECT_FLOAT_EQ(five[0].score, 0.6f);

    auto one = gallery.scores(axis, 1);
    EXPECT_EQ(one[0].score, 0.7f);
}

TEST(GalleryScores, RankedBestFirstWithTiesInMemberOrder) {
    Gallery gallery{{"M0001", "M0002", "M0003"},
                    {{"M0001", withSimilarity(0.5f)},
                     {"M0002", withSimilarity(0.9f)},
                     {"M0003", withSimilarity(0.5f)}}};
    auto ranked = gallery.scores(axis, 2);
    ASSERT_EQ(ranked.size(), 3u);
    EXPECT_EQ(ranked[0].member, "M0002");
    EXPECT_EQ(ranked[1].member, "M0001");
    EXPECT_EQ(ranked[2].member, "M0003");

    // The tie follows memberIDs, not the order of the rows.
    gallery.memberIDs = {"M0003", "M0002", "M0001"};
    ranked = gallery.scores(axis, 2);
    ASSERT_EQ(ranked.size(), 3u);
    EXPECT_EQ(ranked[1].member, "M0003");
    EXPECT_EQ(ranked[2].member, "M0001");
}

TEST(GalleryScores, MembersWithoutRowsAndRowsWithoutMembersAreLeftOut) {
    Gallery gallery{{"M0001", "M0002"},
                    {{"M0009", withSimilarity(0.99f)},
                     {"M0001", withSimilarity(0.3f)},
                     {"M0009", withSimilarity(0.98f)}}};
    auto ranked = gallery.scores(axis, 2);
    ASSERT_EQ(ranked.size(), 1u);
    EXPECT_EQ(ranked[0].member, "M0001");
    EXPECT_EQ(ranked[0].score, 0.3f);

    EXPECT_TRUE((Gallery{{"M0001"}, {}}).scores(axis, 2).empty());
    EXPECT_TRUE((Gallery{}).scores(axis, 2).empty());
}

TEST(GalleryScores, RowsOfOneMemberNeedNotBeAdjacent) {
    Gallery gallery{{"M0001", "M0002"},
                    {{"M0001", withSimilarity(0.2f)},
                     {"M0002", withSimilarity(0.5f)},
                     {"M0001", withSimilarity(0.8f)},
                     {"M0002", withSimilarity(0.4f)},
                     {"M0001", withSimilarity(0.6f)}}};
    auto ranked = gallery.scores(axis, 2);
    ASSERT_EQ(ranked.size(), 2u);
    EXPECT_EQ(ranked[0].member, "M0001");
    EXPECT_EQ(bits(ranked[0].score), bits((0.8f + 0.6f) / 2.0f));
    EXPECT_EQ(ranked[1].member, "M0002");
    EXPECT_EQ(bits(ranked[1].score), bits((0.5f + 0.4f) / 2.0f));
}

TEST(GalleryScores, DotProductOverTheCommonLength) {
    Gallery gallery{{"A", "B"}, {{"A", {1.0f, 2.0f, 3.0f}}, {"B", {10.0f}}}};
    auto ranked = gallery.scores(std::vector<float>{1.0f, 1.0f}, 1);
    ASSERT_EQ(ranked.size(), 2u);
    EXPECT_EQ(ranked[0].member, "B");
    EXPECT_EQ(ranked[0].score, 10.0f);
    EXPECT_EQ(ranked[1].score, 3.0f);
}

// ---- Row similarities: every kernel gives the plain in-order sum, bit for bit.

class RowSums : public ::testing::TestWithParam<rowdots::Kernel> {};

TEST_P(RowSums, EqualThePlainInOrderSumBitForBit) {
    if (!rowdots::available(GetParam())) GTEST_SKIP() << "kernel not supported on this machine";
    std::mt19937 rng(2026);
    for (std::size_t count : {1u, 7u, 8u, 15u, 16u, 17u, 33u, 250u}) {
        std::vector<GalleryRow> rows;
        for (std::size_t r = 0; r < count; ++r)
            rows.push_back({"M" + std::to_string(r), randomVector(rng, 512)});
        for (std::size_t qn : {512u, 509u, 3u}) {
            const std::vector<float> q = randomVector(rng, qn);
            std::vector<float> out(rows.size(), -99.0f);
            rowdots::compute(q, rows, out.data(), GetParam());
            for (std::size_t r = 0; r < rows.size(); ++r)
                ASSERT_EQ(bits(out[r]), bits(inOrderDot(q, rows[r].embedding)))
                    << "row " << r << " of " << count << ", query length " << qn;
        }
    }
}

TEST_P(RowSums, RowsOfDifferentLengthsMixed) {
    if (!rowdots::available(GetParam())) GTEST_SKIP() << "kernel not supported on this machine";
    std::mt19937 rng(11);
    std::vector<GalleryRow> rows;
    const std::size_t lengths[] = {512, 512, 0,   512, 100, 512, 513, 512, 512, 512, 512,
                                   512, 512, 512, 512, 512, 512, 512, 512, 512, 1,   512};
    for (std::size_t n : lengths)
        rows.push_back({"M", randomVector(rng, n)});
    const std::vector<float> q = randomVector(rng, 512);
    std::vector<float> out(rows.size());
    rowdots::compute(q, rows, out.data(), GetParam());
    for (std::size_t r = 0; r < rows.size(); ++r)
        ASSERT_EQ(bits(out[r]), bits(inOrderDot(q, rows[r].embedding))) << "row " << r;
    EXPECT_EQ(out[2], 0.0f);
}

INSTANTIATE_TEST_SUITE_P(Kernels, RowSums,
                         ::testing::Values(rowdots::Kernel::scalar, rowdots::Kernel::sse2,
                                           rowdots::Kernel::avx2),
                         [](const auto& info) {
                             switch (info.param) {
                             case rowdots::Kernel::scalar:
                                 return std::string("scalar");
                             case rowdots::Kernel::sse2:
                                 return std::string("sse2");
                             case rowdots::Kernel::avx2:
                                 return std::string("avx2");
                             }
                             return std::string("unknown");
                         });

TEST(RowSumsData, IsSensitiveToTheOrderOfAddition) {
    // Guards the tests above: with this data a sum in another order differs in most rows.
    std::mt19937 rng(2026);
    int differing = 0;
    for (int r = 0; r < 100; ++r) {
        const std::vector<float> q = randomVector(rng, 512), e = randomVector(rng, 512);
        float reversed = 0;
        for (std::size_t i = 512; i-- > 0;)
            reversed += q[i] * e[i];
        if (bits(reversed) != bits(inOrderDot(q, e))) ++differing;
    }
    EXPECT_GT(differing, 50);
}

TEST(GalleryScores, ScoresOfSingleRowMembersAreTheExactRowSums) {
    std::mt19937 rng(5);
    Gallery gallery;
    for (int r = 0; r < 1000; ++r) {
        const std::string id = "M" + std::to_string(1000 + r);
        gallery.memberIDs.push_back(id);
        gallery.rows.push_back({id, randomVector(rng, 512)});
    }
    const std::vector<float> q = randomVector(rng, 512);
    const auto ranked = gallery.scores(q, 2);
    ASSERT_EQ(ranked.size(), gallery.rows.size());
    for (std::size_t i = 1; i < ranked.size(); ++i)
        ASSERT_GE(ranked[i - 1].score, ranked[i].score);
    for (const MemberScore& entry : ranked) {
        const std::size_t r = static_cast<std::size_t>(std::stoi(entry.member.substr(1)) - 1000);
        ASSERT_EQ(bits(entry.score), bits(inOrderDot(q, gallery.rows[r].embedding)));
    }
    const std::vector<float> sims = gallery.similarities(q);
    for (std::size_t r = 0; r < sims.size(); ++r)
        ASSERT_EQ(bits(sims[r]), bits(inOrderDot(q, gallery.rows[r].embedding)));
}

// ---- hungarianMax

using Pairs = std::vector<std::pair<int, int>>;

TEST(HungarianMax, MaximisesTheTotalAndReturnsPairsInColumnOrder) {
    EXPECT_EQ(hungarianMax({{0.9f, 0.8f}, {0.85f, 0.1f}}, -1e8f), (Pairs{{1, 0}, {0, 1}}));
}

TEST(HungarianMax, MoreRowsThanColumnsIsTransposedAndInRowOrder) {
    EXPECT_EQ(hungarianMax({{0.2f}, {0.7f}, {0.4f}}, -1e8f), (Pairs{{1, 0}}));
    EXPECT_EQ(hungarianMax({{0.1f, 0.9f}, {0.8f, 0.2f}, {0.3f, 0.95f}}, -1e8f),
              (Pairs{{1, 0}, {2, 1}}));
}

TEST(HungarianMax, EmptyInputsAndTheMinimumScore) {
    EXPECT_TRUE(hungarianMax({}, 0.0f).empty());
    EXPECT_TRUE(hungarianMax({{}, {}}, 0.0f).empty());
    EXPECT_TRUE(hungarianMax({{0.9f, 0.8f}, {0.85f, 0.1f}}, 0.95f).empty());
    // A pair exactly at the minimum is kept.
    EXPECT_EQ(hungarianMax({{0.9f, 0.8f}, {0.85f, 0.1f}}, 0.8f), (Pairs{{1, 0}, {0, 1}}));
    EXPECT_EQ(hungarianMax({{0.9f, 0.8f}, {0.85f, 0.1f}}, 0.81f), (Pairs{{1, 0}}));
}

TEST(HungarianMax, EqualCandidatesGoToTheLowestColumn) {
    EXPECT_EQ(hungarianMax({{0.5f, 0.5f, 0.5f}}, -1e8f), (Pairs{{0, 0}}));
    EXPECT_EQ(hungarianMax({{0.5f}, {0.5f}, {0.5f}}, -1e8f), (Pairs{{0, 0}}));
}

TEST(HungarianMax, ForbiddenCellsAreAvoidedWherePossibleThenFiltered) {
    const float no = -1e9f;
    // Row 0 may only take column 1; the greedy best (0, 0) is forbidden.
    EXPECT_EQ(hungarianMax({{no, 0.2f}, {0.9f, 0.95f}}, -1e8f), (Pairs{{1, 0}, {0, 1}}));
    // Both rows want only column 0: one gets it, the other's forced pair is dropped.
    EXPECT_EQ(hungarianMax({{0.6f, no}, {0.7f, no}}, -1e8f), (Pairs{{1, 0}}));
}

TEST(HungarianMax, NotANumberNeverPairsAndNeverHangs) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(hungarianMax({{nan, 0.3f}, {0.4f, nan}}, -1e8f), (Pairs{{1, 0}, {0, 1}}));
    EXPECT_TRUE(hungarianMax({{nan, nan}, {nan, nan}}, -1e8f).empty());
}

// Exhaustive search over every injective pairing: best total in double precision.
double bruteForceBest(const std::vector<std::vector<float>>& s) {
    const std::size_t R = s.size(), C = s[0].size();
    const bool transposed = R > C;
    const std::size_t n = transposed ? C : R, m = transposed ? R : C;
    std::vector<std::size_t> perm(m);
    std::iota(perm.begin(), perm.end(), 0);
    double best = -std::numeric_limits<double>::infinity();
    do {
        double total = 0;
        for (std::size_t i = 0; i < n; ++i)
            total += transposed ? s[perm[i]][i] : s[i][perm[i]];
        best = std::max(best, total);
    } while (std::next_permutation(perm.begin(), perm.end()));
    return best;
}

TEST(HungarianMax, AgreesWithExhaustiveSearchOnRandomMatrices) {
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::uniform_int_distribution<int> size(1, 6);
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t R = static_cast<std::size_t>(size(rng));
        const std::size_t C = static_cast<std::size_t>(size(rng));
        std::vector<std::vector<float>> s(R, std::vector<float>(C));
        for (auto& row : s)
            for (float& x : row)
                x = value(rng);
        const Pairs pairs = hungarianMax(s, -1e8f);
        ASSERT_EQ(pairs.size(), std::min(R, C));
        std::vector<bool> rowUsed(R), columnUsed(C);
        double total = 0;
        for (std::size_t k = 0; k < pairs.size(); ++k) {
            const auto [r, c] = pairs[k];
            ASSERT_FALSE(rowUsed[r] || columnUsed[c]);
            rowUsed[r] = columnUsed[c] = true;
            total += s[r][c];
            if (k > 0) {
                // Column order, or row order when transposed.
                if (R <= C)
                    ASSERT_LT(pairs[k - 1].second, c);
                else
                    ASSERT_LT(pairs[k - 1].first, r);
            }
        }
        EXPECT_NEAR(total, bruteForceBest(s), 1e-9) << "trial " << trial;

        // The filter keeps exactly the pairs at or above the minimum.
        const float minScore = value(rng);
        Pairs expected;
        for (const auto& pair : pairs)
            if (s[pair.first][pair.second] >= minScore) expected.push_back(pair);
        EXPECT_EQ(hungarianMax(s, minScore), expected);
    }
}

} // namespace
} // namespace tallymere
