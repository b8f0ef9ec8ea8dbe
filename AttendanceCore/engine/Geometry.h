#pragma once

namespace tallymere {

// A point in pixels of the image it refers to: x to the right, y down, no half-pixel offset.
struct Point {
    float x = 0;
    float y = 0;
    bool operator==(const Point&) const = default;
};

// A face rectangle (x1, y1) top-left to (x2, y2) bottom-right, in image pixels.
struct Box {
    float x1 = 0;
    float y1 = 0;
    float x2 = 0;
    float y2 = 0;
    bool operator==(const Box&) const = default;
};

} // namespace tallymere
