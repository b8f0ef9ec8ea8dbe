#include "engine/Face.h"

#include <algorithm>

namespace tallymere {

float Face::quality() const {
    const float w = width();
    const float s = w / 112.0f > 1.0f ? 1.0f : 0.4f + 0.6f * (w / 112.0f);
    const float sharp = static_cast<float>(std::min(1.0, blur / 150.0));
    return s * score * (0.5f + 0.5f * sharp) * (0.3f + 0.7f * frontal);
}

} // namespace tallymere
