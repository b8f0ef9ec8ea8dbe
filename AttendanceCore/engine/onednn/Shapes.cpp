#include "engine/onednn/Shapes.h"

#include <algorithm>
#include <cmath>

namespace tallymere::onednn {

Dims stridesOf(const Dims& shape) {
    Dims s(shape.size(), 1);
    for (std::size_t k = shape.size(); k-- > 1;)
        s[k - 1] = s[k] * shape[k];
    return s;
}

std::int64_t product(const Dims& d) {
    std::int64_t n = 1;
    for (auto v : d)
        n *= v;
    return n;
}

Dims spatial(const Dims& d) {
    return Dims(d.begin() + 2, d.end());
}

Window windowFor(const WindowParams& p, const Dims& in, const Node& node) {
    const std::size_t n = in.size();
    Window w{Dims(n, 0), Dims(n, 0), Dims(n, 0)};
    for (std::size_t k = 0; k < n; ++k) {
        const std::int64_t stride = p.strides.empty() ? 1 : p.strides[k];
        const std::int64_t dil = p.dilations.empty() ? 1 : p.dilations[k];
        const std::int64_t extent = (p.kernel[k] - 1) * dil + 1;
        if (stride <= 0 || dil <= 0 || p.kernel[k] <= 0)
            fail("operator " + node.describe() + " has a non-positive window parameter");
        if (p.autoPad == "SAME_UPPER" || p.autoPad == "SAME_LOWER") {
            w.out[k] = (in[k] + stride - 1) / stride;
            const std::int64_t total =
                std::max<std::int64_t>(0, (w.out[k] - 1) * stride + extent - in[k]);
            w.padL[k] = p.autoPad == "SAME_UPPER" ? total / 2 : total - total / 2;
            w.padR[k] = total - w.padL[k];
        } else {
            if (p.autoPad == "NOTSET" && !p.pads.empty()) {
                if (p.pads.size() != 2 * n)
                    fail("operator " + node.describe() + " has pads of the wrong length");
                w.padL[k] = p.pads[k];
                w.padR[k] = p.pads[k + n];
            }
            const std::int64_t span = in[k] + w.padL[k] + w.padR[k] - extent;
            if (span < 0)
                fail("operator " + node.describe() + " has a window larger than its input");
            w.out[k] = (p.ceilMode ? (span + stride - 1) / stride : span / stride) + 1;
            // A last window that would start inside the right padding only is dropped.
            if (p.ceilMode && (w.out[k] - 1) * stride >= in[k] + w.padL[k]) --w.out[k];
            // oneDNN wants the right padding that produces exactly this output size.
            if (p.ceilMode) w.padR[k] = (w.out[k] - 1) * stride + extent - in[k] - w.padL[k];
        }
    }
    return w;
}

WindowParams convParams(const Node& node, const Dims& weightShape) {
    WindowParams p;
    p.kernel = node.attrInts("kernel_shape", Dims(weightShape.begin() + 2, weightShape.end()));
    p.strides = node.attrInts("strides");
    p.dilations = node.attrInts("dilations");
    p.pads = node.attrInts("pads");
    p.autoPad = node.attrString("auto_pad", "NOTSET");
    return p;
}

WindowParams poolParams(const Node& node, const Dims& in) {
    WindowParams p;
    if (node.op == "GlobalAveragePool") {
        p.kernel = Dims(in.begin() + 2, in.end());
        return p;
    }
    p.kernel = node.attrInts("kernel_shape");
    p.strides = node.attrInts("strides");
    p.dilations = node.attrInts("dilations");
    p.pads = node.attrInts("pads");
    p.autoPad = node.attrString("auto_pad", "NOTSET");
    p.ceilMode = node.attrInt("ceil_mode", 0) != 0;
    if (p.kernel.size() + 2 != in.size())
        fail("operator " + node.describe() + " has a kernel that does not fit its input");
    return p;
}

namespace {

// Output scale of a nearest-neighbour Resize along each axis; only whole-number enlargements are
// run, for which the supported coordinate modes all pick the same source pixels.
Dims resizeFactors(const Node& node, const Dims& in, const HostTensor* scales,
                   const HostTensor* sizes) {
    if (node.attrString("mode", "nearest") != "nearest")
        fail("operator " + node.describe() + " uses mode '" + node.attrString("mode", "") +
             "'; only nearest-neighbour resizing is supported");
    const std::string coord = node.attrString("coordinate_transformation_mode", "half_pixel");
    const std::string rounding = node.attrString("nearest_mode", "round_prefer_floor");
    const bool asymmetric =
        coord == "asymmetric" && (rounding == "floor" || rounding == "round_prefer_floor");
    const bool halfPixel = (coord == "half_pixel" || coord == "pytorch_half_pixel") &&
                           (rounding == "round_prefer_floor" || rounding == "round_prefer_ceil");
    if (!asymmetric && !halfPixel)
        fail("operator " + node.describe() + " uses coordinates '" + coord + "' with rounding '" +
             rounding + "', which is not supported");
    Dims factors(in.size(), 1);
    for (std::size_t k = 0; k < in.size(); ++k) {
        if (sizes && sizes->count() == std::int64_t(in.size())) {
            const auto out = sizes->asInts()[k];
            if (out % in[k] != 0)
                fail("operator " + node.describe() +
                     " resizes by a fraction; only whole-number "
                     "enlargements are supported");
            factors[k] = out / in[k];
        } else if (scales && scales->count() == std::int64_t(in.size())) {
            const double s = scales->at(k);
            if (s < 1 || std::abs(s - std::round(s)) > 1e-6)
                fail("operator " + node.describe() + " resizes by " + std::to_string(s) +
                     "; only whole-number enlargements are supported");
            factors[k] = std::int64_t(std::round(s));
        } else {
            fail("operator " + node.describe() + " has no usable scales or sizes");
        }
    }
    if (factors[0] != 1 || factors[1] != 1)
        fail("operator " + node.describe() + " resizes the batch or channel axis");
    return factors;
}

Dims reshapeTarget(const Node& node, const Dims& in, const StaticLookup& statics,
                   std::int64_t opset) {
    // The host evaluator reshapes by shape alone, so an empty tensor of this shape suffices.
    HostTensor data;
    data.shape = in;
    std::vector<const HostTensor*> args{&data};
    for (std::size_t k = 1; k < node.inputs.size(); ++k) {
        const HostTensor* t = node.inputs[k].empty() ? nullptr : statics(node.inputs[k]);
        if (!node.inputs[k].empty() && !t)
            fail("operator " + node.describe() + " takes its shape from a computed tensor");
        args.push_back(t);
    }
    return evaluateOnHost(node, args, opset).front().shape;
}

} // namespace

Dims inferShape(const Node& node, const std::vector<Dims>& in, const StaticLookup& statics,
                std::int64_t opset) {
    const std::string& op = node.op;
    auto requireRank = [&](std::size_t rank) {
        if (in[0].size() != rank)
            fail("operator " + node.describe() + " needs a rank-" + std::to_string(rank) +
                 " input, got " + shapeText(in[0]));
    };
    if (op == "Relu" || op == "Sigmoid" || op == "PRelu" || op == "BatchNormalization" ||
        op == "Identity")
        return in[0];
    if (op == "Conv") {
        requireRank(4);
        const HostTensor* w = statics(node.input(1));
        if (!w) fail("operator " + node.describe() + " takes its weights from a computed tensor");
        if (w->shape.size() != 4)
            fail("operator " + node.describe() + " has weights that are not 4-D");
        const auto group = node.attrInt("group", 1);
        if (group <= 0 || in[0][1] != w->shape[1] * group || w->shape[0] % group != 0)
            fail("operator " + node.describe() + " has weights " + shapeText(w->shape) +
                 " that do not fit input " + shapeText(in[0]));
        const Window win = windowFor(convParams(node, w->shape), spatial(in[0]), node);
        return {in[0][0], w->shape[0], win.out[0], win.out[1]};
    }
    if (op == "MaxPool" || op == "AveragePool" || op == "GlobalAveragePool") {
        requireRank(4);
        const Window win = windowFor(poolParams(node, in[0]), spatial(in[0]), node);
        return {in[0][0], in[0][1], win.out[0], win.out[1]};
    }
    if (op == "Add" || op == "Mul") {
        Dims other = in.size() > 1 ? in[1] : Dims{};
        return broadcastShapes(in[0], other, node);
    }
    if (op == "Resize") {
        requireRank(4);
        const HostTensor* scales = nullptr;
        const HostTensor* sizes = nullptr;
        if (opset < 11) {
            scales = statics(node.input(1));
        } else {
            scales = node.input(2).empty() ? nullptr : statics(node.input(2));
            sizes = node.input(3).empty() ? nullptr : statics(node.input(3));
        }
        const Dims f = resizeFactors(node, in[0], scales, sizes);
        Dims out = in[0];
        for (std::size_t k = 0; k < out.size(); ++k)
            out[k] *= f[k];
        return out;
    }
    if (op == "Concat") {
        Dims out = in[0];
        const std::int64_t rank = std::int64_t(out.size());
        std::int64_t axis = node.attrInt("axis", 0);
        if (axis < 0) axis += rank;
        if (axis < 0 || axis >= rank) fail("operator " + node.describe() + " has a bad axis");
        out[std::size_t(axis)] = 0;
        for (const auto& d : in) {
            if (d.size() != out.size())
                fail("operator " + node.describe() + " joins tensors of different ranks");
            for (std::size_t k = 0; k < d.size(); ++k)
                if (k != std::size_t(axis) && d[k] != in[0][k])
                    fail("operator " + node.describe() + " joins " + shapeText(in[0]) + " and " +
                         shapeText(d));
            out[std::size_t(axis)] += d[std::size_t(axis)];
        }
        return out;
    }
    if (op == "Transpose") {
        Dims perm = node.attrInts("perm");
        if (perm.empty())
            for (std::size_t d = in[0].size(); d-- > 0;)
                perm.push_back(std::int64_t(d));
        if (perm.size() != in[0].size())
            fail("operator " + node.describe() + " has a permutation of the wrong length");
        Dims out;
        std::vector<bool> seen(perm.size(), false);
        for (auto p : perm) {
            if (p < 0 || p >= std::int64_t(perm.size()) || seen[std::size_t(p)])
                fail("operator " + node.describe() + " has an invalid permutation");
            seen[std::size_t(p)] = true;
            out.push_back(in[0][std::size_t(p)]);
        }
        return out;
    }
    if (op == "Reshape" || op == "Flatten" || op == "Squeeze" || op == "Unsqueeze")
        return reshapeTarget(node, in[0], statics, opset);
    if (op == "Gemm" || op == "MatMul") {
        requireRank(2);
        const HostTensor* b = statics(node.input(1));
        if (!b) fail("operator " + node.describe() + " multiplies by a computed tensor");
        if (b->shape.size() != 2)
            fail("operator " + node.describe() + " has a weight matrix that is not 2-D");
        if (op == "Gemm" && node.attrInt("transA", 0) != 0)
            fail("operator " + node.describe() + " transposes its input");
        const bool transB = op == "Gemm" && node.attrInt("transB", 0) != 0;
        const std::int64_t k = transB ? b->shape[1] : b->shape[0];
        const std::int64_t n = transB ? b->shape[0] : b->shape[1];
        if (k != in[0][1])
            fail("operator " + node.describe() + " multiplies " + shapeText(in[0]) + " by " +
                 shapeText(b->shape));
        return {in[0][0], n};
    }
    fail("operator " + node.describe() + " is not supported by the oneDNN runtime");
}

std::vector<HostTensor> evaluateWithShapes(const Node& node, const ShapeLookup& shapes,
                                           const StaticLookup& statics, std::int64_t opset) {
    std::vector<HostTensor> shapeArgs;
    shapeArgs.reserve(node.inputs.size());
    std::vector<const HostTensor*> args;
    for (const auto& name : node.inputs) {
        if (name.empty()) {
            args.push_back(nullptr);
        } else if (node.op == "Shape") {
            HostTensor t;
            if (const Dims* shape = shapes(name)) {
                t.shape = *shape;
            } else if (const HostTensor* c = statics(name)) {
                t.shape = c->shape;
            } else {
                fail("operator " + node.describe() + " reads '" + name +
                     "', which nothing computes");
            }
            shapeArgs.push_back(t);
            args.push_back(&shapeArgs.back());
        } else {
            args.push_back(statics(name));
        }
    }
    return evaluateOnHost(node, args, opset);
}

} // namespace tallymere::onednn
