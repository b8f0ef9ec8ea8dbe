#pragma once

#include "engine/Geometry.h"

#include <array>
#include <span>

namespace tallymere {

// A 2 x 3 transform taking (x, y) to (a*x + b*y + tx, c*x + d*y + ty).
struct Affine {
    float a = 1;
    float b = 0;
    float tx = 0;
    float c = 0;
    float d = 1;
    float ty = 0;

    bool operator==(const Affine&) const = default;

    // Least-squares rotation + uniform scale + translation taking `from` onto `to`. Pairs are taken
    // up to the shorter list; both means divide by the number of `from` points.
    static Affine similarity(std::span<const Point> from, std::span<const Point> to);

    Point apply(Point p) const { return {a * p.x + b * p.y + tx, c * p.x + d * p.y + ty}; }
    Affine inverted() const;
};

// The five-point ArcFace alignment template for a 112 x 112 crop: the eyes, the nose tip and the
// mouth corners, each pair with the smaller x first.
inline constexpr std::array<Point, 5> arcfaceTemplate{{{38.2946f, 51.6963f},
                                                       {73.5318f, 51.5014f},
                                                       {56.0252f, 71.7366f},
                                                       {41.5493f, 92.3655f},
                                                       {70.7299f, 92.2041f}}};

// A mutable copy of the template for benchmarking tools to experiment with; the engine never reads
// it.
extern std::array<Point, 5> arcfaceTemplateForBench;

} // namespace tallymere
