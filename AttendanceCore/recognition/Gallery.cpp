#include "recognition/Gallery.h"

#include "library/Member.h"
#include "recognition/RowDots.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string_view>
#include <unordered_map>

namespace tallymere {

namespace {

// Descending, stable: a member's similarity lists are short, so insertion sort without allocation.
void sortDescending(std::vector<float>& values) {
    if (values.size() > 32) {
        std::stable_sort(values.begin(), values.end(), [](float a, float b) { return a > b; });
        return;
    }
    for (std::size_t i = 1; i < values.size(); ++i) {
        const float value = values[i];
        std::size_t j = i;
        while (j > 0 && value > values[j - 1]) {
            values[j] = values[j - 1];
            --j;
        }
        values[j] = value;
    }
}

} // namespace

Gallery Gallery::of(const std::vector<Member>& members) {
    Gallery gallery;
    for (const Member& member : members)
        for (const Photo& photo : member.photos)
            // An empty embedding array (only possible in a hand-edited file) is no embedding.
            if (photo.ok && photo.embedding && !photo.embedding->empty())
                gallery.rows.push_back({member.id, *photo.embedding});
    for (const Member& member : members)
        if (member.goodPhotos() != 0) gallery.memberIDs.push_back(member.id);
    return gallery;
}

std::vector<float> Gallery::similarities(std::span<const float> q) const {
    std::vector<float> out(rows.size());
    rowdots::compute(q, rows, out.data(), rowdots::best());
    return out;
}

std::vector<MemberScore> Gallery::scores(std::span<const float> q, int topK) const {
    if (rows.empty() || memberIDs.empty()) return {};
    const std::size_t k = static_cast<std::size_t>(std::max(topK, 1));

    // Each distinct member id gets the slot of its first place in memberIDs.
    std::unordered_map<std::string_view, int> slotOf;
    slotOf.reserve(memberIDs.size() * 2);
    std::vector<std::size_t> slotOfIndex(memberIDs.size());
    for (std::size_t i = 0; i < memberIDs.size(); ++i)
        slotOfIndex[i] = static_cast<std::size_t>(
            slotOf.try_emplace(memberIDs[i], static_cast<int>(i)).first->second);

    // The slot of every row (-1 for a member that is not scored); rows of one member usually
    // follow each other, so the previous row's answer is tried first.
    const std::size_t slots = memberIDs.size();
    std::vector<int> rowSlot(rows.size());
    std::vector<int> counts(slots + 1, 0);
    std::string_view lastMember;
    int lastSlot = -1;
    bool haveLast = false;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (!haveLast || rows[r].member != lastMember) {
            const auto found = slotOf.find(rows[r].member);
            lastSlot = found == slotOf.end() ? -1 : found->second;
            lastMember = rows[r].member;
            haveLast = true;
        }
        rowSlot[r] = lastSlot;
        if (lastSlot >= 0) ++counts[static_cast<std::size_t>(lastSlot) + 1];
    }

    std::vector<float> sims(rows.size());
    rowdots::compute(q, rows, sims.data(), rowdots::best());

    // Group the similarities by slot, keeping row order within each member.
    for (std::size_t i = 1; i <= slots; ++i)
        counts[i] += counts[i - 1];
    std::vector<float> grouped(static_cast<std::size_t>(counts[slots]));
    {
        std::vector<int> fill(counts.begin(), counts.end() - 1);
        for (std::size_t r = 0; r < rows.size(); ++r)
            if (rowSlot[r] >= 0) grouped[static_cast<std::size_t>(fill[rowSlot[r]]++)] = sims[r];
    }

    // Scores with their place in memberIDs; sorted as plain pairs, then named.
    std::vector<std::pair<float, std::size_t>> ranked;
    ranked.reserve(memberIDs.size());
    std::vector<float> list;
    for (std::size_t i = 0; i < memberIDs.size(); ++i) {
        const std::size_t slot = slotOfIndex[i];
        const auto begin = grouped.begin() + counts[slot];
        const auto end = grouped.begin() + counts[slot + 1];
        if (begin == end) continue;
        list.assign(begin, end);
        sortDescending(list);
        const std::size_t take = std::min(k, list.size());
        float sum = 0;
        for (std::size_t j = 0; j < take; ++j)
            sum += list[j];
        ranked.emplace_back(sum / static_cast<float>(take), i);
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<MemberScore> result;
    result.reserve(ranked.size());
    for (const auto& [score, i] : ranked)
        result.push_back({memberIDs[i], score});
    return result;
}

std::vector<float> normalized(std::vector<float> v) {
    if (v.empty()) return v;
    float sum = 0;
    for (const float x : v)
        sum += x * x;
    if (!(sum > 0)) return v;
    const float length = std::sqrt(sum);
    for (float& x : v)
        x = x / length;
    return v;
}

std::vector<std::pair<int, int>> hungarianMax(const std::vector<std::vector<float>>& s,
                                              float minScore) {
    const std::size_t R = s.size();
    if (R == 0) return {};
    const std::size_t C = s[0].size();
    if (C == 0) return {};

    // A missing cell of a short row reads as not a number.
    const auto score = [&](std::size_t row, std::size_t column) {
        return column < s[row].size() ? s[row][column] : std::numeric_limits<float>::quiet_NaN();
    };

    const bool transposed = R > C;
    const std::size_t n = transposed ? C : R;
    const std::size_t m = transposed ? R : C;

    // Work costs, 1-based. Cells that are not finite numbers are priced like forbidden pairings
    // (far beyond any real score) so that the search always finds a finite step and ends.
    constexpr double bound = 1e12;
    std::vector<double> cost((n + 1) * (m + 1), 0.0);
    for (std::size_t i = 1; i <= n; ++i)
        for (std::size_t j = 1; j <= m; ++j) {
            const float value = transposed ? score(j - 1, i - 1) : score(i - 1, j - 1);
            double c = std::isnan(value) ? bound : -static_cast<double>(value);
            c = std::clamp(c, -bound, bound);
            cost[i * (m + 1) + j] = c;
        }

    constexpr double inf = std::numeric_limits<double>::infinity();
    std::vector<double> u(n + 1, 0.0), v(m + 1, 0.0), minv(m + 1);
    std::vector<std::size_t> p(m + 1, 0), way(m + 1, 0);
    std::vector<char> used(m + 1);
    for (std::size_t i = 1; i <= n; ++i) {
        p[0] = i;
        std::size_t j0 = 0;
        std::fill(minv.begin(), minv.end(), inf);
        std::fill(used.begin(), used.end(), 0);
        do {
            used[j0] = 1;
            const std::size_t i0 = p[j0];
            double delta = inf;
            std::size_t j1 = 0;
            for (std::size_t j = 1; j <= m; ++j) {
                if (used[j]) continue;
                const double cur = cost[i0 * (m + 1) + j] - u[i0] - v[j];
                if (cur < minv[j]) {
                    minv[j] = cur;
                    way[j] = j0;
                }
                if (minv[j] < delta) {
                    delta = minv[j];
                    j1 = j;
                }
            }
            for (std::size_t j = 0; j <= m; ++j) {
                if (used[j]) {
                    u[p[j]] += delta;
                    v[j] -= delta;
                } else {
                    minv[j] -= delta;
                }
            }
            j0 = j1;
        } while (p[j0] != 0);
        do {
            const std::size_t j1 = way[j0];
            p[j0] = p[j1];
            j0 = j1;
        } while (j0 != 0);
    }

    std::vector<std::pair<int, int>> pairs;
    for (std::size_t j = 1; j <= m; ++j) {
        if (p[j] == 0) continue;
        const std::size_t row = transposed ? j - 1 : p[j] - 1;
        const std::size_t column = transposed ? p[j] - 1 : j - 1;
        if (score(row, column) >= minScore)
            pairs.emplace_back(static_cast<int>(row), static_cast<int>(column));
    }
    return pairs;
}

float dotCommon(const std::vector<float>& a, const std::vector<float>& b) {
    const std::size_t n = std::min(a.size(), b.size());
    float sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += a[i] * b[i];
    return sum;
}

} // namespace tallymere
