#include "recognition/RowDots.h"

#include <algorithm>
#include <cstddef>

#if defined(__x86_64__) || defined(__i386__)
#define TALLYMERE_X86 1
#include <immintrin.h>
#endif

namespace tallymere::rowdots {

namespace {

std::size_t commonLength(std::span<const float> q, const GalleryRow& row) {
    return std::min(q.size(), row.embedding.size());
}

float dotInOrder(const float* a, const float* b, std::size_t n) {
    float sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += a[i] * b[i];
    return sum;
}

void computeScalar(std::span<const float> q, std::span<const GalleryRow> rows, float* out) {
    for (std::size_t r = 0; r < rows.size(); ++r)
        out[r] = dotInOrder(q.data(), rows[r].embedding.data(), commonLength(q, rows[r]));
}

// True when rows [first, first + count) all share the common length n with q.
bool uniform(std::span<const float> q, std::span<const GalleryRow> rows, std::size_t first,
             std::size_t count, std::size_t& n) {
    n = commonLength(q, rows[first]);
    for (std::size_t k = 1; k < count; ++k)
        if (commonLength(q, rows[first + k]) != n) return false;
    return true;
}

#ifdef TALLYMERE_X86

// Four rows per vector: the products of four components of four rows are transposed so that each
// lane adds its own row's products one component after the other.
struct Sse2Group {
    const float* e[4];
    __m128 acc = _mm_setzero_ps();

    void step(const float* q, std::size_t i) {
        const __m128 qv = _mm_loadu_ps(q + i);
        __m128 p0 = _mm_mul_ps(qv, _mm_loadu_ps(e[0] + i));
        __m128 p1 = _mm_mul_ps(qv, _mm_loadu_ps(e[1] + i));
        __m128 p2 = _mm_mul_ps(qv, _mm_loadu_ps(e[2] + i));
        __m128 p3 = _mm_mul_ps(qv, _mm_loadu_ps(e[3] + i));
        _MM_TRANSPOSE4_PS(p0, p1, p2, p3);
        acc = _mm_add_ps(acc, p0);
        acc = _mm_add_ps(acc, p1);
        acc = _mm_add_ps(acc, p2);
        acc = _mm_add_ps(acc, p3);
    }
    void tail(const float* q, std::size_t i) {
        const __m128 p =
            _mm_mul_ps(_mm_set1_ps(q[i]), _mm_set_ps(e[3][i], e[2][i], e[1][i], e[0][i]));
        acc = _mm_add_ps(acc, p);
    }
};

void computeSse2(std::span<const float> q, std::span<const GalleryRow> rows, float* out) {
    std::size_t r = 0;
    std::size_t n = 0;
    while (r < rows.size()) {
        if (r + 8 <= rows.size() && uniform(q, rows, r, 8, n)) {
            Sse2Group a, b;
            for (int k = 0; k < 4; ++k) {
                a.e[k] = rows[r + k].embedding.data();
                b.e[k] = rows[r + 4 + k].embedding.data();
            }
            std::size_t i = 0;
            for (; i + 4 <= n; i += 4) {
                a.step(q.data(), i);
                b.step(q.data(), i);
            }
            for (; i < n; ++i) {
                a.tail(q.data(), i);
                b.tail(q.data(), i);
            }
            _mm_storeu_ps(out + r, a.acc);
            _mm_storeu_ps(out + r + 4, b.acc);
            r += 8;
        } else {
            out[r] = dotInOrder(q.data(), rows[r].embedding.data(), commonLength(q, rows[r]));
            ++r;
        }
    }
}

// Eight rows per vector, as above with an 8 x 8 transpose.
struct Avx2Group {
    const float* e[8];
    __m256 acc;

    __attribute__((target("avx2"))) void start() { acc = _mm256_setzero_ps(); }

    __attribute__((target("avx2"))) void step(const float* q, std::size_t i) {
        const __m256 qv = _mm256_loadu_ps(q + i);
        const __m256 p0 = _mm256_mul_ps(qv, _mm256_loadu_ps(e[0] + i));
        const __m256 p1 = _mm256_mul_ps(qv, _mm256_loadu_ps(e[1] + i));
        const __m256 p2 = _mm256_mul_ps(qv, _mm256_loadu_ps(e[2] + i));
        const __m256 p3 = _mm256_mul_ps(qv, _mm256_loadu_ps(e[3] + i));
        const __m256 p4 = _mm256_mul_ps(qv, _mm256_loadu_ps(e[4] + i));
        const __m256 p5 = _mm256_mul_ps(qv, _mm256_loadu_ps(e[5] + i));
        const __m256 p6 = _mm256_mul_ps(qv, _mm256_loadu_ps(e[6] + i));
        const __m256 p7 = _mm256_mul_ps(qv, _mm256_loadu_ps(e[7] + i));
        const __m256 t0 = _mm256_unpacklo_ps(p0, p1);
        const __m256 t1 = _mm256_unpackhi_ps(p0, p1);
        const __m256 t2 = _mm256_unpacklo_ps(p2, p3);
        const __m256 t3 = _mm256_unpackhi_ps(p2, p3);
        const __m256 t4 = _mm256_unpacklo_ps(p4, p5);
        const __m256 t5 = _mm256_unpackhi_ps(p4, p5);
        const __m256 t6 = _mm256_unpacklo_ps(p6, p7);
        const __m256 t7 = _mm256_unpackhi_ps(p6, p7);
        const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
        const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
        const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
        const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
        const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
        const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
        const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
        const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
        // Lane r of component k holds row r's product for component i + k.
        acc = _mm256_add_ps(acc, _mm256_permute2f128_ps(u0, u4, 0x20));
        acc = _mm256_add_ps(acc, _mm256_permute2f128_ps(u1, u5, 0x20));
        acc = _mm256_add_ps(acc, _mm256_permute2f128_ps(u2, u6, 0x20));
        acc = _mm256_add_ps(acc, _mm256_permute2f128_ps(u3, u7, 0x20));
        acc = _mm256_add_ps(acc, _mm256_permute2f128_ps(u0, u4, 0x31));
        acc = _mm256_add_ps(acc, _mm256_permute2f128_ps(u1, u5, 0x31));
        acc = _mm256_add_ps(acc, _mm256_permute2f128_ps(u2, u6, 0x31));
        acc = _mm256_add_ps(acc, _mm256_permute2f128_ps(u3, u7, 0x31));
    }

    __attribute__((target("avx2"))) void tail(const float* q, std::size_t i) {
        const __m256 ev =
            _mm256_set_ps(e[7][i], e[6][i], e[5][i], e[4][i], e[3][i], e[2][i], e[1][i], e[0][i]);
        acc = _mm256_add_ps(acc, _mm256_mul_ps(_mm256_set1_ps(q[i]), ev));
    }
};

__attribute__((target("avx2"))) void computeAvx2(std::span<const float> q,
                                                 std::span<const GalleryRow> rows, float* out) {
    std::size_t r = 0;
    std::size_t n = 0;
    while (r < rows.size()) {
        // Two independent groups per pass keep two addition chains in flight.
        if (r + 16 <= rows.size() && uniform(q, rows, r, 16, n)) {
            Avx2Group a, b;
            a.start();
            b.start();
            for (int k = 0; k < 8; ++k) {
                a.e[k] = rows[r + k].embedding.data();
                b.e[k] = rows[r + 8 + k].embedding.data();
            }
            std::size_t i = 0;
            for (; i + 8 <= n; i += 8) {
                a.step(q.data(), i);
                b.step(q.data(), i);
            }
            for (; i < n; ++i) {
                a.tail(q.data(), i);
                b.tail(q.data(), i);
            }
            _mm256_storeu_ps(out + r, a.acc);
            _mm256_storeu_ps(out + r + 8, b.acc);
            r += 16;
        } else if (r + 8 <= rows.size() && uniform(q, rows, r, 8, n)) {
            Avx2Group a;
            a.start();
            for (int k = 0; k < 8; ++k)
                a.e[k] = rows[r + k].embedding.data();
            std::size_t i = 0;
            for (; i + 8 <= n; i += 8)
                a.step(q.data(), i);
            for (; i < n; ++i)
                a.tail(q.data(), i);
            _mm256_storeu_ps(out + r, a.acc);
            r += 8;
        } else {
            out[r] = dotInOrder(q.data(), rows[r].embedding.data(), commonLength(q, rows[r]));
            ++r;
        }
    }
}

bool hasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

#endif

} // namespace

bool available(Kernel kernel) {
    switch (kernel) {
    case Kernel::scalar:
        return true;
#ifdef TALLYMERE_X86
    case Kernel::sse2:
        return true;
    case Kernel::avx2:
        return hasAvx2();
#else
    case Kernel::sse2:
    case Kernel::avx2:
        return false;
#endif
    }
    return false;
}

Kernel best() {
    if (available(Kernel::avx2)) return Kernel::avx2;
    if (available(Kernel::sse2)) return Kernel::sse2;
    return Kernel::scalar;
}

void compute(std::span<const float> q, std::span<const GalleryRow> rows, float* out,
             Kernel kernel) {
    if (!available(kernel)) kernel = Kernel::scalar;
#ifdef TALLYMERE_X86
    if (kernel == Kernel::avx2) return computeAvx2(q, rows, out);
    if (kernel == Kernel::sse2) return computeSse2(q, rows, out);
#endif
    computeScalar(q, rows, out);
}

} // namespace tallymere::rowdots
