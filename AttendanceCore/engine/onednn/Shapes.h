#pragma once

// Shapes of activations and the geometry of windows, worked out on the host from the graph alone:
// what the program's fusion decisions and each plan's primitives are sized by.

#include "engine/onednn/OnnxGraph.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tallymere::onednn {

using Dims = std::vector<std::int64_t>;

// Row-major strides of `shape`.
Dims stridesOf(const Dims& shape);

std::int64_t product(const Dims& d);

// The spatial dimensions of an N, C, ... shape.
Dims spatial(const Dims& d);

// ---------------------------------------------------------------------------------------------
// Geometry of convolution and pooling windows

struct WindowParams {
    Dims kernel, strides, dilations, pads; // pads: begins then ends, as ONNX writes them
    std::string autoPad = "NOTSET";
    bool ceilMode = false;
};

struct Window {
    Dims padL, padR, out;
};

// Padding and output size of a window over spatial dimensions `in`; throws naming `node` when the
// window does not fit.
Window windowFor(const WindowParams& p, const Dims& in, const Node& node);

WindowParams convParams(const Node& node, const Dims& weightShape);
WindowParams poolParams(const Node& node, const Dims& in);

// ---------------------------------------------------------------------------------------------
// Shapes of activations

// The value of a tensor known without running (nullptr for a computed one).
using StaticLookup = std::function<const HostTensor*(const std::string&)>;

// The shape of an activation (nullptr for a value known without running).
using ShapeLookup = std::function<const Dims*(const std::string&)>;

// Runs a host node that depends on the shapes of activations: a Shape node reads the shape of its
// input, an activation's or a known tensor's; any other input is a known tensor.
std::vector<HostTensor> evaluateWithShapes(const Node& node, const ShapeLookup& shapes,
                                           const StaticLookup& statics, std::int64_t opset);

// Output shape of a node that runs as a primitive, from its inputs' shapes; throws naming the
// node when it takes a form this runtime does not run.
Dims inferShape(const Node& node, const std::vector<Dims>& in, const StaticLookup& statics,
                std::int64_t opset);

} // namespace tallymere::onednn
