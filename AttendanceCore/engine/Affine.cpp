#include "engine/Affine.h"

#include <algorithm>

namespace tallymere {

std::array<Point, 5> arcfaceTemplateForBench = arcfaceTemplate;

Affine Affine::similarity(std::span<const Point> from, std::span<const Point> to) {
    const std::size_t pairs = std::min(from.size(), to.size());
    if (from.empty()) return {};
    const float n = static_cast<float>(from.size());
    Point mp, mq;
    for (std::size_t i = 0; i < pairs; ++i) {
        mp.x += from[i].x;
        mp.y += from[i].y;
        mq.x += to[i].x;
        mq.y += to[i].y;
    }
    mp = {mp.x / n, mp.y / n};
    mq = {mq.x / n, mq.y / n};

    float s1 = 0, s2 = 0, s3 = 0;
    for (std::size_t i = 0; i < pairs; ++i) {
        const float ux = from[i].x - mp.x, uy = from[i].y - mp.y;
        const float vx = to[i].x - mq.x, vy = to[i].y - mq.y;
        s1 += ux * vx + uy * vy;
        s2 += ux * vy - uy * vx;
        s3 += ux * ux + uy * uy;
    }
    const float A = s1 / s3, B = s2 / s3;
    return {A, -B, mq.x - (A * mp.x - B * mp.y), B, A, mq.y - (B * mp.x + A * mp.y)};
}

Affine Affine::inverted() const {
    const float det = a * d - b * c;
    Affine r;
    r.a = d / det;
    r.b = -b / det;
    r.c = -c / det;
    r.d = a / det;
    r.tx = -(tx * r.a + ty * r.b);
    r.ty = -(tx * r.c + ty * r.d);
    return r;
}

} // namespace tallymere
