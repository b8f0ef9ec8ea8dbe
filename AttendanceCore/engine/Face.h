#pragma once

#include "engine/BGRAImage.h"
#include "engine/Geometry.h"

#include <optional>
#include <vector>

namespace tallymere {

// One detected face; filled further by embedding.
struct Face {
    Box box;
    std::vector<Point> kps; // five landmarks in the order of the alignment template
    float score = 0;
    std::vector<float> embedding;  // empty after detection; 512 unit-length values after embedding
    std::optional<BGRAImage> crop; // the aligned 112 x 112 face after embedding
    double blur = 0;
    float frontal = 0;
    float rank = 0;

    float width() const { return box.x2 - box.x1; }
    float height() const { return box.y2 - box.y1; }
    Point center() const { return {(box.x1 + box.x2) / 2, (box.y1 + box.y2) / 2}; }
    float quality() const;
};

} // namespace tallymere
