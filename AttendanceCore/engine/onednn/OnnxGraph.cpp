#include "engine/onednn/OnnxGraph.h"

#include "engine/OneDnnRuntime.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <numeric>
#include <onnx/onnx_pb.h>
#include <set>
#include <sstream>

namespace tallymere::onednn {

void fail(const std::string& text) {
    throw OneDnnError(text);
}

namespace {

float halfToFloat(std::uint16_t h) {
    const std::uint32_t sign = std::uint32_t(h & 0x8000) << 16;
    std::uint32_t exponent = (h >> 10) & 0x1f;
    std::uint32_t mantissa = h & 0x3ff;
    std::uint32_t bits;
    if (exponent == 0) {
        if (mantissa == 0) {
            bits = sign;
        } else { // subnormal: renormalise
            exponent = 127 - 15 + 1;
            while ((mantissa & 0x400) == 0) {
                mantissa <<= 1;
                --exponent;
            }
            bits = sign | (exponent << 23) | ((mantissa & 0x3ff) << 13);
        }
    } else if (exponent == 31) {
        bits = sign | 0x7f800000 | (mantissa << 13);
    } else {
        bits = sign | ((exponent + 127 - 15) << 23) | (mantissa << 13);
    }
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

template <typename T>
std::vector<T> rawValues(const std::string& raw, std::int64_t count, const std::string& name) {
    if (raw.size() != std::size_t(count) * sizeof(T))
        fail("tensor '" + name + "' holds " + std::to_string(raw.size()) + " bytes for " +
             std::to_string(count) + " values");
    std::vector<T> values(static_cast<std::size_t>(count));
    if (count) std::memcpy(values.data(), raw.data(), raw.size());
    return values;
}

HostTensor decodeTensor(const onnx::TensorProto& proto) {
    HostTensor t;
    const std::string& name = proto.name();
    for (auto d : proto.dims()) {
        if (d < 0) fail("tensor '" + name + "' has a negative dimension");
        t.shape.push_back(d);
    }
    if (proto.data_location() == onnx::TensorProto::EXTERNAL)
        fail("tensor '" + name + "' keeps its values in an external file, which is not read");
    const std::int64_t n = t.count();
    const bool raw = proto.has_raw_data();
    auto check = [&](std::int64_t got) {
        if (got != n)
            fail("tensor '" + name + "' holds " + std::to_string(got) + " values for shape " +
                 shapeText(t.shape));
    };
    switch (proto.data_type()) {
    case onnx::TensorProto::FLOAT:
        if (raw) {
            t.floats = rawValues<float>(proto.raw_data(), n, name);
        } else {
            check(proto.float_data_size());
            t.floats.assign(proto.float_data().begin(), proto.float_data().end());
        }
        break;
    case onnx::TensorProto::DOUBLE: {
        std::vector<double> d;
        if (raw) {
            d = rawValues<double>(proto.raw_data(), n, name);
        } else {
            check(proto.double_data_size());
            d.assign(proto.double_data().begin(), proto.double_data().end());
        }
        t.floats.assign(d.begin(), d.end());
        break;
    }
    case onnx::TensorProto::FLOAT16: {
        std::vector<std::uint16_t> h;
        if (raw) {
            h = rawValues<std::uint16_t>(proto.raw_data(), n, name);
        } else {
            check(proto.int32_data_size());
            for (auto v : proto.int32_data())
                h.push_back(std::uint16_t(v));
        }
        for (auto v : h)
            t.floats.push_back(halfToFloat(v));
        break;
    }
    case onnx::TensorProto::INT64:
        t.isInt = true;
        if (raw) {
            t.ints = rawValues<std::int64_t>(proto.raw_data(), n, name);
        } else {
            check(proto.int64_data_size());
            t.ints.assign(proto.int64_data().begin(), proto.int64_data().end());
        }
        break;
    case onnx::TensorProto::INT32:
    case onnx::TensorProto::INT16:
    case onnx::TensorProto::INT8:
    case onnx::TensorProto::UINT8:
    case onnx::TensorProto::UINT16:
    case onnx::TensorProto::BOOL: {
        t.isInt = true;
        if (raw) {
            switch (proto.data_type()) {
            case onnx::TensorProto::INT32:
                for (auto v : rawValues<std::int32_t>(proto.raw_data(), n, name))
                    t.ints.push_back(v);
                break;
            case onnx::TensorProto::INT16:
                for (auto v : rawValues<std::int16_t>(proto.raw_data(), n, name))
                    t.ints.push_back(v);
                break;
            case onnx::TensorProto::UINT16:
                for (auto v : rawValues<std::uint16_t>(proto.raw_data(), n, name))
                    t.ints.push_back(v);
                break;
            case onnx::TensorProto::INT8:
                for (auto v : rawValues<std::int8_t>(proto.raw_data(), n, name))
                    t.ints.push_back(v);
                break;
            default:
                for (auto v : rawValues<std::uint8_t>(proto.raw_data(), n, name))
                    t.ints.push_back(v);
                break;
            }
        } else {
            check(proto.int32_data_size());
            t.ints.assign(proto.int32_data().begin(), proto.int32_data().end());
        }
        break;
    }
    default:
        fail("tensor '" + name + "' has element type " + std::to_string(proto.data_type()) +
             ", which is not read");
    }
    return t;
}

Attribute decodeAttribute(const onnx::AttributeProto& a) {
    Attribute out;
    out.i = a.i();
    out.f = a.f();
    out.s = a.s();
    out.ints.assign(a.ints().begin(), a.ints().end());
    out.floats.assign(a.floats().begin(), a.floats().end());
    if (a.has_t()) out.t = decodeTensor(a.t());
    return out;
}

std::vector<std::int64_t> stridesOf(const std::vector<std::int64_t>& shape) {
    std::vector<std::int64_t> s(shape.size(), 1);
    for (std::size_t k = shape.size(); k-- > 1;)
        s[k - 1] = s[k] * shape[k];
    return s;
}

HostTensor sameKind(const HostTensor& like, std::vector<std::int64_t> shape) {
    HostTensor t;
    t.isInt = like.isInt;
    t.shape = std::move(shape);
    return t;
}

void push(HostTensor& t, const HostTensor& from, std::size_t k) {
    if (t.isInt)
        t.ints.push_back(from.ints[k]);
    else
        t.floats.push_back(from.floats[k]);
}

std::int64_t normalizedAxis(std::int64_t axis, std::size_t rank, const Node& node) {
    const auto r = std::int64_t(rank);
    if (axis < -r || axis >= std::max<std::int64_t>(r, 1))
        fail("operator " + node.describe() + " has axis " + std::to_string(axis) +
             " outside a rank-" + std::to_string(rank) + " tensor");
    return axis < 0 ? axis + r : axis;
}

const HostTensor& need(const std::vector<const HostTensor*>& inputs, std::size_t k,
                       const Node& node) {
    if (k >= inputs.size() || !inputs[k])
        fail("operator " + node.describe() + " lacks input " + std::to_string(k + 1));
    return *inputs[k];
}

HostTensor elementwise(const Node& node, const HostTensor& a, const HostTensor& b) {
    const auto shape = broadcastShapes(a.shape, b.shape, node);
    const bool asInt = a.isInt && b.isInt;
    HostTensor out;
    out.isInt = asInt;
    out.shape = shape;
    const auto outStrides = stridesOf(shape);
    auto sourceIndex = [&](const HostTensor& t, std::int64_t flat) {
        // Maps an output index to the broadcast operand's index.
        const auto st = stridesOf(t.shape);
        const std::size_t offset = shape.size() - t.shape.size();
        std::int64_t index = 0;
        for (std::size_t d = 0; d < shape.size(); ++d) {
            const std::int64_t coord = (flat / outStrides[d]) % shape[d];
            if (d >= offset && t.shape[d - offset] != 1) index += coord * st[d - offset];
        }
        return std::size_t(index);
    };
    std::int64_t n = 1;
    for (auto d : shape)
        n *= d;
    for (std::int64_t k = 0; k < n; ++k) {
        const double x = a.at(sourceIndex(a, k)), y = b.at(sourceIndex(b, k));
        double r = 0;
        if (node.op == "Add")
            r = x + y;
        else if (node.op == "Sub")
            r = x - y;
        else if (node.op == "Mul")
            r = x * y;
        else if (node.op == "Div") {
            if (asInt && y == 0) fail("operator " + node.describe() + " divides by zero");
            r = asInt ? double(std::int64_t(x) / std::int64_t(y)) : x / y;
        }
        if (asInt)
            out.ints.push_back(std::int64_t(r));
        else
            out.floats.push_back(float(r));
    }
    return out;
}

HostTensor reshaped(const Node& node, const HostTensor& data, const HostTensor& shapeTensor) {
    auto target = shapeTensor.asInts();
    const bool allowZero = node.attrInt("allowzero", 0) != 0;
    std::int64_t known = 1;
    int unknown = -1;
    for (std::size_t k = 0; k < target.size(); ++k) {
        if (target[k] == 0 && !allowZero) {
            if (k >= data.shape.size())
                fail("operator " + node.describe() + " copies a dimension the input lacks");
            target[k] = data.shape[k];
        }
        if (target[k] == -1) {
            if (unknown >= 0) fail("operator " + node.describe() + " has two -1 dimensions");
            unknown = int(k);
        } else {
            known *= target[k];
        }
    }
    if (unknown >= 0) {
        if (known == 0 || data.count() % known != 0)
            fail("operator " + node.describe() + " cannot reshape " + shapeText(data.shape) +
                 " to " + shapeText(shapeTensor.asInts()));
        target[std::size_t(unknown)] = data.count() / known;
    }
    HostTensor out = data;
    out.shape = target;
    if (out.count() != data.count())
        fail("operator " + node.describe() + " cannot reshape " + shapeText(data.shape) + " to " +
             shapeText(target));
    return out;
}

HostTensor sliced(const Node& node, const HostTensor& data, std::vector<std::int64_t> starts,
                  std::vector<std::int64_t> ends, std::vector<std::int64_t> axes,
                  std::vector<std::int64_t> steps) {
    const std::size_t rank = data.shape.size();
    if (axes.empty())
        for (std::size_t k = 0; k < starts.size(); ++k)
            axes.push_back(std::int64_t(k));
    if (steps.empty()) steps.assign(starts.size(), 1);
    if (ends.size() != starts.size() || axes.size() != starts.size() ||
        steps.size() != starts.size())
        fail("operator " + node.describe() + " has slice lists of different lengths");
    std::vector<std::int64_t> begin(rank, 0), step(rank, 1), count(data.shape);
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const auto axis = std::size_t(normalizedAxis(axes[k], rank, node));
        const std::int64_t dim = data.shape[axis];
        const std::int64_t st = steps[k];
        if (st == 0) fail("operator " + node.describe() + " has a zero step");
        std::int64_t s = starts[k], e = ends[k];
        if (s < 0) s += dim;
        if (e < 0) e += dim;
        if (st > 0) {
            s = std::clamp<std::int64_t>(s, 0, dim);
            e = std::clamp<std::int64_t>(e, 0, dim);
            count[axis] = e > s ? (e - s + st - 1) / st : 0;
        } else {
            s = std::clamp<std::int64_t>(s, -1, dim - 1);
            e = std::clamp<std::int64_t>(e, -1, dim - 1);
            count[axis] = s > e ? (s - e - st - 1) / (-st) : 0;
        }
        begin[axis] = s;
        step[axis] = st;
    }
    HostTensor out = sameKind(data, count);
    const auto inStrides = stridesOf(data.shape);
    const auto outStrides = stridesOf(count);
    const std::int64_t n = out.count();
    for (std::int64_t k = 0; k < n; ++k) {
        std::int64_t index = 0;
        for (std::size_t d = 0; d < rank; ++d) {
            const std::int64_t coord = (k / outStrides[d]) % count[d];
            index += (begin[d] + coord * step[d]) * inStrides[d];
        }
        push(out, data, std::size_t(index));
    }
    return out;
}

} // namespace

std::int64_t HostTensor::count() const {
    std::int64_t n = 1;
    for (auto d : shape)
        n *= d;
    return n;
}

std::vector<std::int64_t> HostTensor::asInts() const {
    if (isInt) return ints;
    std::vector<std::int64_t> out;
    for (float v : floats)
        out.push_back(std::int64_t(v));
    return out;
}

std::vector<float> HostTensor::asFloats() const {
    if (!isInt) return floats;
    return std::vector<float>(ints.begin(), ints.end());
}

std::int64_t Node::attrInt(const std::string& key, std::int64_t fallback) const {
    auto it = attrs.find(key);
    return it == attrs.end() ? fallback : it->second.i;
}

float Node::attrFloat(const std::string& key, float fallback) const {
    auto it = attrs.find(key);
    return it == attrs.end() ? fallback : it->second.f;
}

std::string Node::attrString(const std::string& key, const std::string& fallback) const {
    auto it = attrs.find(key);
    return it == attrs.end() ? fallback : it->second.s;
}

std::vector<std::int64_t> Node::attrInts(const std::string& key,
                                         const std::vector<std::int64_t>& fallback) const {
    auto it = attrs.find(key);
    return it == attrs.end() ? fallback : it->second.ints;
}

const std::string& Node::input(std::size_t index) const {
    static const std::string none;
    return index < inputs.size() ? inputs[index] : none;
}

std::string Node::describe() const {
    return "'" + op + "'" + (name.empty() ? std::string() : " (node '" + name + "')");
}

std::string shapeText(const std::vector<std::int64_t>& shape) {
    std::string s = "[";
    for (std::size_t k = 0; k < shape.size(); ++k) {
        if (k) s += ",";
        s += shape[k] < 0 ? std::string("?") : std::to_string(shape[k]);
    }
    return s + "]";
}

std::vector<std::int64_t> broadcastShapes(const std::vector<std::int64_t>& a,
                                          const std::vector<std::int64_t>& b, const Node& node) {
    std::vector<std::int64_t> out(std::max(a.size(), b.size()));
    for (std::size_t k = 0; k < out.size(); ++k) {
        const std::int64_t x = k < out.size() - a.size() ? 1 : a[k - (out.size() - a.size())];
        const std::int64_t y = k < out.size() - b.size() ? 1 : b[k - (out.size() - b.size())];
        if (x != y && x != 1 && y != 1)
            fail("operator " + node.describe() + " cannot broadcast " + shapeText(a) + " with " +
                 shapeText(b));
        out[k] = x == 1 ? y : x;
    }
    return out;
}

Graph readOnnxGraph(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) fail("cannot read model file " + path.string());
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    onnx::ModelProto model;
    if (bytes.empty() || !model.ParseFromString(bytes))
        fail("model file " + path.string() + " is not a readable ONNX model");
    bytes.clear();
    bytes.shrink_to_fit();

    Graph graph;
    for (const auto& o : model.opset_import())
        if (o.domain().empty() || o.domain() == "ai.onnx") graph.opset = o.version();
    const auto& g = model.graph();
    for (const auto& init : g.initializer())
        graph.constants[init.name()] = decodeTensor(init);
    for (const auto& in : g.input()) {
        if (graph.constants.count(in.name())) continue; // older exports list weights as inputs
        GraphInput input{in.name(), {}};
        if (!in.type().has_tensor_type() || !in.type().tensor_type().has_shape())
            fail("input '" + in.name() + "' of " + path.filename().string() + " declares no shape");
        if (in.type().tensor_type().elem_type() != onnx::TensorProto::FLOAT)
            fail("input '" + in.name() + "' of " + path.filename().string() +
                 " is not a 32-bit float tensor");
        for (const auto& d : in.type().tensor_type().shape().dim())
            input.dims.push_back(d.has_dim_value() && d.dim_value() > 0 ? d.dim_value() : -1);
        graph.inputs.push_back(std::move(input));
    }
    for (const auto& out : g.output())
        graph.outputs.push_back(out.name());
    for (const auto& n : g.node()) {
        Node node;
        node.op = n.op_type();
        if (!n.domain().empty() && n.domain() != "ai.onnx")
            node.op = n.domain() + "." + n.op_type();
        node.name = n.name();
        node.inputs.assign(n.input().begin(), n.input().end());
        node.outputs.assign(n.output().begin(), n.output().end());
        for (const auto& a : n.attribute())
            node.attrs[a.name()] = decodeAttribute(a);
        graph.nodes.push_back(std::move(node));
    }
    if (graph.inputs.empty()) fail("model file " + path.string() + " has no input");
    return graph;
}

bool evaluatesOnHost(const std::string& op) {
    static const std::set<std::string> ops{"Constant",  "Identity", "Cast",  "Shape",  "Gather",
                                           "Unsqueeze", "Squeeze",  "Slice", "Concat", "Reshape",
                                           "Flatten",   "Add",      "Sub",   "Mul",    "Div",
                                           "Floor",     "Ceil",     "Sqrt",  "Neg",    "Transpose"};
    return ops.count(op) != 0;
}

std::vector<HostTensor>
evaluateOnHost(const Node& node, const std::vector<const HostTensor*>& inputs, std::int64_t opset) {
    const std::string& op = node.op;
    if (op == "Constant") {
        auto it = node.attrs.find("value");
        if (it != node.attrs.end() && it->second.t) return {*it->second.t};
        HostTensor t;
        if (auto f = node.attrs.find("value_float"); f != node.attrs.end()) {
            t.floats = {f->second.f};
        } else if (auto fs = node.attrs.find("value_floats"); fs != node.attrs.end()) {
            t.floats = fs->second.floats;
            t.shape = {std::int64_t(t.floats.size())};
        } else if (auto i = node.attrs.find("value_int"); i != node.attrs.end()) {
            t.isInt = true;
            t.ints = {i->second.i};
        } else if (auto is = node.attrs.find("value_ints"); is != node.attrs.end()) {
            t.isInt = true;
            t.ints = is->second.ints;
            t.shape = {std::int64_t(t.ints.size())};
        } else {
            fail("operator " + node.describe() + " has no value this runtime reads");
        }
        return {t};
    }
    const HostTensor& x = need(inputs, 0, node);
    if (op == "Identity") return {x};
    if (op == "Cast") {
        const auto to = node.attrInt("to", 1);
        HostTensor t;
        t.shape = x.shape;
        if (to == 1 || to == 10 || to == 11) {
            t.floats = x.asFloats();
        } else if (to == 6 || to == 7 || to == 5 || to == 3 || to == 2 || to == 4 || to == 9) {
            t.isInt = true;
            t.ints = x.asInts();
        } else {
            fail("operator " + node.describe() + " casts to element type " + std::to_string(to) +
                 ", which is not supported");
        }
        return {t};
    }
    if (op == "Shape") {
        HostTensor t;
        t.isInt = true;
        t.ints = x.shape;
        std::int64_t r = std::int64_t(x.shape.size());
        std::int64_t start = node.attrInt("start", 0), end = node.attrInt("end", r);
        if (start < 0) start += r;
        if (end < 0) end += r;
        start = std::clamp<std::int64_t>(start, 0, r);
        end = std::clamp<std::int64_t>(end, start, r);
        t.ints = std::vector<std::int64_t>(x.shape.begin() + start, x.shape.begin() + end);
        t.shape = {std::int64_t(t.ints.size())};
        return {t};
    }
    if (op == "Gather") {
        const HostTensor& indices = need(inputs, 1, node);
        const auto axis =
            std::size_t(normalizedAxis(node.attrInt("axis", 0), x.shape.size(), node));
        std::vector<std::int64_t> shape(x.shape.begin(), x.shape.begin() + std::ptrdiff_t(axis));
        shape.insert(shape.end(), indices.shape.begin(), indices.shape.end());
        shape.insert(shape.end(), x.shape.begin() + std::ptrdiff_t(axis) + 1, x.shape.end());
        HostTensor out = sameKind(x, shape);
        std::int64_t outer = 1, inner = 1;
        for (std::size_t d = 0; d < axis; ++d)
            outer *= x.shape[d];
        for (std::size_t d = axis + 1; d < x.shape.size(); ++d)
            inner *= x.shape[d];
        const std::int64_t dim = x.shape[axis];
        const auto idx = indices.asInts();
        for (std::int64_t o = 0; o < outer; ++o)
            for (auto i : idx) {
                if (i < 0) i += dim;
                if (i < 0 || i >= dim)
                    fail("operator " + node.describe() + " gathers index " + std::to_string(i) +
                         " outside " + std::to_string(dim));
                for (std::int64_t k = 0; k < inner; ++k)
                    push(out, x, std::size_t((o * dim + i) * inner + k));
            }
        return {out};
    }
    if (op == "Unsqueeze" || op == "Squeeze") {
        std::vector<std::int64_t> axes = node.attrInts("axes");
        if (opset >= 13 && inputs.size() > 1 && inputs[1]) axes = inputs[1]->asInts();
        HostTensor out = x;
        if (op == "Unsqueeze") {
            const std::size_t rank = x.shape.size() + axes.size();
            std::vector<bool> inserted(rank, false);
            for (auto a : axes)
                inserted[std::size_t(normalizedAxis(a, rank, node))] = true;
            out.shape.clear();
            std::size_t from = 0;
            for (std::size_t d = 0; d < rank; ++d)
                out.shape.push_back(inserted[d] ? 1 : x.shape[from++]);
        } else {
            std::vector<bool> removed(x.shape.size(), false);
            for (auto a : axes)
                removed[std::size_t(normalizedAxis(a, x.shape.size(), node))] = true;
            out.shape.clear();
            for (std::size_t d = 0; d < x.shape.size(); ++d)
                if (!(axes.empty() ? x.shape[d] == 1 : bool(removed[d])))
                    out.shape.push_back(x.shape[d]);
        }
        return {out};
    }
    if (op == "Slice") {
        if (opset < 10 || inputs.size() < 3)
            return {sliced(node, x, node.attrInts("starts"), node.attrInts("ends"),
                           node.attrInts("axes"), {})};
        return {sliced(
            node, x, need(inputs, 1, node).asInts(), need(inputs, 2, node).asInts(),
            inputs.size() > 3 && inputs[3] ? inputs[3]->asInts() : std::vector<std::int64_t>{},
            inputs.size() > 4 && inputs[4] ? inputs[4]->asInts() : std::vector<std::int64_t>{})};
    }
    if (op == "Concat") {
        const auto axis =
            std::size_t(normalizedAxis(node.attrInt("axis", 0), x.shape.size(), node));
        std::vector<std::int64_t> shape = x.shape;
        shape[axis] = 0;
        bool anyFloat = false;
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            const HostTensor& t = need(inputs, k, node);
            if (t.shape.size() != x.shape.size())
                fail("operator " + node.describe() + " joins tensors of different ranks");
            shape[axis] += t.shape[axis];
            anyFloat = anyFloat || !t.isInt;
        }
        HostTensor out;
        out.isInt = !anyFloat;
        out.shape = shape;
        std::int64_t outer = 1, inner = 1;
        for (std::size_t d = 0; d < axis; ++d)
            outer *= shape[d];
        for (std::size_t d = axis + 1; d < shape.size(); ++d)
            inner *= shape[d];
        for (std::int64_t o = 0; o < outer; ++o)
            for (const HostTensor* t : inputs) {
                const std::int64_t block = t->shape[axis] * inner;
                for (std::int64_t k = 0; k < block; ++k) {
                    const auto at = std::size_t(o * block + k);
                    if (out.isInt)
                        out.ints.push_back(t->ints[at]);
                    else
                        out.floats.push_back(float(t->at(at)));
                }
            }
        return {out};
    }
    if (op == "Reshape") {
        if (opset < 5) {
            HostTensor target;
            target.isInt = true;
            target.ints = node.attrInts("shape");
            return {reshaped(node, x, target)};
        }
        return {reshaped(node, x, need(inputs, 1, node))};
    }
    if (op == "Flatten") {
        const auto axis = normalizedAxis(node.attrInt("axis", 1), x.shape.size() + 1, node);
        std::int64_t outer = 1;
        for (std::int64_t d = 0; d < axis; ++d)
            outer *= x.shape[std::size_t(d)];
        HostTensor out = x;
        out.shape = {outer, outer ? x.count() / outer : 0};
        return {out};
    }
    if (op == "Add" || op == "Sub" || op == "Mul" || op == "Div")
        return {elementwise(node, x, need(inputs, 1, node))};
    if (op == "Floor" || op == "Ceil" || op == "Sqrt" || op == "Neg") {
        HostTensor out = x;
        if (!out.isInt)
            for (auto& v : out.floats)
                v = op == "Floor"  ? std::floor(v)
                    : op == "Ceil" ? std::ceil(v)
                    : op == "Sqrt" ? std::sqrt(v)
                                   : -v;
        else if (op == "Neg")
            for (auto& v : out.ints)
                v = -v;
        else if (op == "Sqrt")
            for (auto& v : out.ints)
                v = std::int64_t(std::sqrt(double(v)));
        return {out};
    }
    if (op == "Transpose") {
        std::vector<std::int64_t> perm = node.attrInts("perm");
        if (perm.empty())
            for (std::size_t d = x.shape.size(); d-- > 0;)
                perm.push_back(std::int64_t(d));
        if (perm.size() != x.shape.size())
            fail("operator " + node.describe() + " has a permutation of the wrong length");
        std::vector<std::int64_t> shape;
        for (auto p : perm)
            shape.push_back(x.shape[std::size_t(normalizedAxis(p, perm.size(), node))]);
        HostTensor out = sameKind(x, shape);
        const auto inStrides = stridesOf(x.shape), outStrides = stridesOf(shape);
        for (std::int64_t k = 0; k < x.count(); ++k) {
            std::int64_t index = 0;
            for (std::size_t d = 0; d < shape.size(); ++d)
                index += ((k / outStrides[d]) % shape[d]) * inStrides[std::size_t(perm[d])];
            push(out, x, std::size_t(index));
        }
        return {out};
    }
    fail("operator " + node.describe() + " cannot be evaluated at load");
}

} // namespace tallymere::onednn
