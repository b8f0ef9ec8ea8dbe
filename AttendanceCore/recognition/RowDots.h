#pragma once

// The gallery's hot loop: one dot product per gallery row. The vector forms work on several rows
// at once (one row per lane) so that every row's sum is still the plain in-order single-precision
// sum, bit for bit; they only differ in speed.

#include "recognition/Gallery.h"

#include <span>

namespace tallymere::rowdots {

enum class Kernel { scalar, sse2, avx2 };

// Whether this machine can run the kernel (scalar always can).
bool available(Kernel kernel);
// The fastest kernel this machine can run.
Kernel best();

// out[r] = sum over i < min(|q|, |rows[r].embedding|) of q[i] * rows[r].embedding[i], added in
// index order starting from 0, in single precision. `out` holds rows.size() values. A kernel the
// machine cannot run falls back to the scalar one.
void compute(std::span<const float> q, std::span<const GalleryRow> rows, float* out, Kernel kernel);

} // namespace tallymere::rowdots
