#pragma once

#include "engine/BGRAImage.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

struct AVFrame;
struct SwsContext;

namespace tallymere {

// Decoded video frames to tightly packed BGRA, with the colours a player shows: a frame that
// states no YUV matrix is taken as BT.709 when high-definition, BT.601 otherwise. Keeps its
// converter and buffer between frames of one stream.
class BgraConverter {
public:
    BgraConverter();
    ~BgraConverter();
    BgraConverter(BgraConverter&&) noexcept;
    BgraConverter& operator=(BgraConverter&&) noexcept;

    // Nothing when the frame has no picture or cannot be converted.
    std::optional<BGRAImage> convert(const AVFrame* frame);
    // Whether frames of this pixel format (an AVPixelFormat) can be converted at all.
    static bool canConvert(int pixelFormat);

private:
    struct ScalerFreer {
        void operator()(SwsContext* s) const;
    };
    std::unique_ptr<SwsContext, ScalerFreer> scaler_;
    std::vector<std::uint8_t> scratch_;
};

} // namespace tallymere
