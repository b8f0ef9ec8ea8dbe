#pragma once

#include "engine/ModelRuntime.h"

#include <cstdint>

namespace tallymere {

// A read-only view of one model output as a table of 32-bit floats: one row per element of all
// dimensions but the last. The tensor must outlive the view; indices are not checked.
struct Matrix {
    const Tensor* arr = nullptr;
    std::int64_t rows = 1;
    std::int64_t rowStride = 1;
    std::int64_t colStride = 1;
    bool isHalf = false;

    explicit Matrix(const Tensor& tensor);

    // Columns in one row (the last dimension; 1 for a scalar).
    std::int64_t cols() const;
    // Element (i, j), converted from 16-bit float when the output holds those.
    float operator()(std::int64_t i, std::int64_t j) const {
        return at(rowStride * i + colStride * j);
    }
    // The element at an element offset from the start of the data.
    float at(std::int64_t offset) const;
};

// IEEE 754 half precision to single precision.
float halfToFloat(std::uint16_t h);

} // namespace tallymere
