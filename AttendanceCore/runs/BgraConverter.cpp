#include "runs/BgraConverter.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace tallymere {

void BgraConverter::ScalerFreer::operator()(SwsContext* s) const {
    sws_freeContext(s);
}

BgraConverter::BgraConverter() = default;
BgraConverter::~BgraConverter() = default;
BgraConverter::BgraConverter(BgraConverter&&) noexcept = default;
BgraConverter& BgraConverter::operator=(BgraConverter&&) noexcept = default;

bool BgraConverter::canConvert(int pixelFormat) {
    return sws_isSupportedInput(static_cast<AVPixelFormat>(pixelFormat)) > 0;
}

std::optional<BGRAImage> BgraConverter::convert(const AVFrame* f) {
    if (f->width <= 0 || f->height <= 0 || !f->data[0]) return std::nullopt;
    const auto format = static_cast<AVPixelFormat>(f->format);
    scaler_.reset(sws_getCachedContext(scaler_.release(), f->width, f->height, format, f->width,
                                       f->height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr,
                                       nullptr));
    if (!scaler_) return std::nullopt;
    // The matrix is set for every frame: the cached converter can be made anew, even at the same
    // address, and one left with its default matrix gives a frame other colours than the frames
    // beside it.
    int space = f->colorspace;
    if (space == AVCOL_SPC_UNSPECIFIED || space == AVCOL_SPC_RESERVED)
        space = f->height >= 720 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
    const auto* desc = av_pix_fmt_desc_get(format);
    const bool isRGB = desc && (desc->flags & AV_PIX_FMT_FLAG_RGB);
    const bool fullRange = f->color_range == AVCOL_RANGE_JPEG || format == AV_PIX_FMT_YUVJ420P ||
                           format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P;
    if (!isRGB)
        sws_setColorspaceDetails(scaler_.get(), sws_getCoefficients(space), fullRange ? 1 : 0,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    // The converter's vector code may write a little past a row's end: padded rows first, then
    // packed tightly.
    const std::size_t stride = (static_cast<std::size_t>(f->width) * 4 + 63) / 64 * 64;
    scratch_.resize(stride * (static_cast<std::size_t>(f->height) + 1) + 64);
    std::uint8_t* dst[4] = {scratch_.data(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {static_cast<int>(stride), 0, 0, 0};
    if (sws_scale(scaler_.get(), f->data, f->linesize, 0, f->height, dst, dstStride) != f->height)
        return std::nullopt;
    return BGRAImage(f->width, f->height, scratch_.data(), stride);
}

} // namespace tallymere
