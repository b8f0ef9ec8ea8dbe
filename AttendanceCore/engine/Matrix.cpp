#include "engine/Matrix.h"

#include <bit>
#include <cstring>

namespace tallymere {

Matrix::Matrix(const Tensor& tensor) : arr(&tensor), isHalf(tensor.type == ElementType::Float16) {
    const auto& shape = tensor.shape;
    // The tensor is dense and row-major: the last stride is 1, the one before it the last length.
    if (shape.size() >= 2) {
        rows = 1;
        for (std::size_t k = 0; k + 1 < shape.size(); ++k)
            rows *= shape[k];
        rowStride = shape.back();
    } else {
        rows = 1;
        rowStride = shape.empty() ? 1 : shape.back();
    }
    colStride = 1;
}

std::int64_t Matrix::cols() const {
    return arr->shape.empty() ? 1 : arr->shape.back();
}

float Matrix::at(std::int64_t offset) const {
    if (isHalf) {
        std::uint16_t h;
        std::memcpy(&h, arr->bytes.data() + offset * 2, 2);
        return halfToFloat(h);
    }
    float f;
    std::memcpy(&f, arr->bytes.data() + offset * 4, 4);
    return f;
}

float halfToFloat(std::uint16_t h) {
    const std::uint32_t sign = std::uint32_t(h & 0x8000) << 16;
    std::uint32_t exponent = (h >> 10) & 0x1F;
    std::uint32_t mantissa = h & 0x3FF;
    std::uint32_t bits;
    if (exponent == 0x1F) {
        bits = sign | 0x7F800000u | (mantissa << 13); // infinity or NaN
    } else if (exponent != 0) {
        bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
    } else if (mantissa == 0) {
        bits = sign; // signed zero
    } else {
        // Subnormal half: normalise it.
        exponent = 113;
        while (!(mantissa & 0x400)) {
            mantissa <<= 1;
            --exponent;
        }
        bits = sign | (exponent << 23) | ((mantissa & 0x3FF) << 13);
    }
    return std::bit_cast<float>(bits);
}

} // namespace tallymere
