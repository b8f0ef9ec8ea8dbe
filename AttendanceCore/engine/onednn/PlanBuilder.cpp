#include "engine/onednn/PlanBuilder.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace tallymere::onednn {

using dnnl::memory;
using DataType = memory::data_type;
using Tag = memory::format_tag;

namespace {

memory::desc plainDesc(const Dims& dims, DataType type) {
    const Dims strides = stridesOf(dims);
    return memory::desc(memory::dims(dims.begin(), dims.end()), type,
                        memory::dims(strides.begin(), strides.end()));
}

memory::desc anyDesc(const Dims& dims, DataType type) {
    return memory::desc(memory::dims(dims.begin(), dims.end()), type, Tag::any);
}

Dims dimsOf(const memory::desc& d) {
    auto dims = d.dims();
    return Dims(dims.begin(), dims.end());
}

dnnl::primitive_attr userScratchpad() {
    dnnl::primitive_attr attr;
    attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
    return attr;
}

bool is8Bits(DataType type) {
    return type == DataType::s8 || type == DataType::u8;
}

// A read-only tensor made at plan time from host values, converted to `type` and `desc`'s layout.
memory constantMemory(const std::vector<float>& values, const Dims& dims,
                      const memory::desc& want) {
    memory::desc source = plainDesc(dims, DataType::f32);
    memory src(source, cpuEngine());
    std::memcpy(src.get_data_handle(), values.data(), values.size() * sizeof(float));
    if (source == want) return src;
    memory dst(want, cpuEngine());
    dnnl::reorder(src, dst).execute(threadStream(), src, dst);
    threadStream().wait();
    return dst;
}

} // namespace

PlanBuilder::PlanBuilder(const Graph& graph, Program& program, DataType type, bool mixed,
                         Plan& plan, const std::vector<Dims>& inputShapes, const Ranges* ranges,
                         bool observing)
    : graph_(graph), program_(program), type_(type), mixed_(mixed), plan_(plan),
      inputShapes_(inputShapes), ranges_(ranges), observing_(observing) {}

const HostTensor* PlanBuilder::staticValue(const std::string& name) const {
    if (auto it = graph_.constants.find(name); it != graph_.constants.end()) return &it->second;
    if (auto it = statics_.find(name); it != statics_.end()) return &it->second;
    return nullptr;
}

const PlanBuilder::Value& PlanBuilder::value(const std::string& name, const Node& node) const {
    auto it = values_.find(name);
    if (it == values_.end())
        fail("operator " + node.describe() + " reads '" + name +
             "' as data, which the oneDNN runtime supports only for computed tensors");
    return it->second;
}

// Layers that read a handful of channels (raw pixels, a mean colour) stay in 32-bit floats even
// in bfloat16 models: they cost next to nothing, and 8 significant bits would blur 0-255 inputs.
// A model in mixed precision also computes its first layers in 32 bits: rounding the finest
// feature maps is what moves a detector's boxes and landmarks. With the first four layers kept,
// landmarks moved by up to a pixel on a 1080p recording; with eight (a quarter of the work of the
// detectors here), by a fifth of one.
DataType PlanBuilder::precisionFor(const Op& op, std::int64_t inputChannels) const {
    constexpr int firstLayersInFullPrecision = 8;
    if (inputChannels <= 4) return DataType::f32;
    if (in8Bits(op, inputChannels)) return DataType::s8;
    if (mixed_ && op.depth <= firstLayersInFullPrecision) return DataType::f32;
    return type_;
}

// A layer computes in 8 bits when the model has a range for what it reads.
bool PlanBuilder::in8Bits(const Op& op, std::int64_t inputChannels) const {
    if (!ranges_ || observing_ || inputChannels <= 4 || op.kind == OpKind::Single) return false;
    // Depthwise convolutions stay out: each output channel sums a handful of products, and in
    // 8 bits they alone took the shared recogniser's worst face to a cosine of 0.91 against
    // 32 bits. They cost little arithmetic.
    if (op.node->op == "Conv" && op.group > 1) return false;
    auto it = ranges_->find(op.input);
    return it != ranges_->end() && std::isfinite(it->second) && it->second > 0;
}

// The scale of a computed tensor in 8 bits.
float PlanBuilder::scaleOf(const std::string& name) const {
    return ranges_->at(name) / 127.0f;
}

// The layers that write a model's outputs keep 32-bit results in mixed precision: a detector's
// offsets rounded to 8 significant bits move boxes of large faces by several pixels.
DataType PlanBuilder::resultPrecision(const Op& op, DataType computed) const {
    return mixed_ && op.writesOutput ? DataType::f32 : computed;
}

int PlanBuilder::newRoot(const memory::desc& desc) {
    plan_.roots.push_back(Root{desc.get_size(), INT_MAX, -1, 0});
    return int(plan_.roots.size()) - 1;
}

MemRef PlanBuilder::freshRef(const memory::desc& desc) {
    MemRef r;
    r.kind = MemRef::Kind::Arena;
    r.index = newRoot(desc);
    r.desc = desc;
    return r;
}

void PlanBuilder::bind(const std::string& name, Dims shape, MemRef ref) {
    if (ref.kind == MemRef::Kind::Arena) rootNames_[ref.index].push_back(name);
    observe(ref, name);
    values_[name] = Value{std::move(shape), std::move(ref)};
}

bool PlanBuilder::isPlain(const MemRef& ref) const {
    return ref.desc == plainDesc(dimsOf(ref.desc), ref.desc.data_type());
}

void PlanBuilder::addExec(dnnl::primitive primitive, std::vector<std::pair<int, MemRef>> args,
                          const dnnl::primitive_desc_base& pd) {
    const int index = int(plan_.execs.size());
    const memory::desc scratch = pd.scratchpad_desc();
    if (scratch.get_size() > 0) {
        MemRef r;
        r.kind = MemRef::Kind::Scratch;
        r.desc = scratch;
        args.emplace_back(DNNL_ARG_SCRATCHPAD, r);
        plan_.scratchBytes = std::max(plan_.scratchBytes, scratch.get_size());
    }
    for (const auto& [arg, ref] : args)
        if (ref.kind == MemRef::Kind::Arena) {
            Root& root = plan_.roots[std::size_t(ref.index)];
            root.first = std::min(root.first, index);
            root.last = std::max(root.last, index);
        }
    plan_.execs.push_back(Exec{std::move(primitive), std::move(args)});
}

void PlanBuilder::copyInto(const MemRef& from, const MemRef& to) {
    auto attr = userScratchpad();
    if (from.scale != to.scale) attr.set_output_scales(0, {from.scale / to.scale});
    dnnl::reorder::primitive_desc pd(cpuEngine(), from.desc, cpuEngine(), to.desc, attr);
    addExec(dnnl::reorder(pd), {{DNNL_ARG_FROM, from}, {DNNL_ARG_TO, to}}, pd);
}

MemRef PlanBuilder::ensure(const std::string& name, const memory::desc& want, float scale) {
    const Value& v = values_.at(name);
    if (v.ref.desc == want && v.ref.scale == scale) return v.ref;
    for (const auto& [key, ref] : converted_)
        if (key.first == name && key.second == want && ref.scale == scale) return ref;
    MemRef to = freshRef(want);
    to.scale = scale;
    copyInto(v.ref, to);
    converted_.push_back({{name, want}, to});
    return to;
}

const memory& PlanBuilder::reorderedWeights(Op& op, const memory::desc& want, const Dims& dims) {
    for (const auto& [desc, mem] : op.reordered)
        if (desc == want) return mem;
    if (!is8Bits(want.data_type())) {
        op.reordered.emplace_back(want, constantMemory(op.weights, dims, want));
        return op.reordered.back().second;
    }
    // Signed 8 bits per output channel, rounded here; the reorder adds what the processor's
    // kernels need besides (the compensation for signed inputs).
    const std::vector<float> scales = weightScales(op);
    const std::size_t per = op.weights.size() / scales.size();
    memory plain(plainDesc(dims, DataType::s8), cpuEngine());
    auto* q = static_cast<std::int8_t*>(plain.get_data_handle());
    for (std::size_t k = 0; k < op.weights.size(); ++k)
        q[k] =
            std::int8_t(std::lround(std::clamp(op.weights[k] / scales[k / per], -127.0f, 127.0f)));
    memory dst(want, cpuEngine());
    dnnl::reorder(plain, dst).execute(threadStream(), plain, dst);
    threadStream().wait();
    op.reordered.emplace_back(want, dst);
    return op.reordered.back().second;
}

// Each output channel's weights in 8 bits: its largest magnitude maps to 127.
std::vector<float> PlanBuilder::weightScales(const Op& op) const {
    const std::size_t channels = std::size_t(op.weightShape[0]);
    const std::size_t per = op.weights.size() / channels;
    std::vector<float> scales(channels);
    for (std::size_t o = 0; o < channels; ++o) {
        float largest = 0;
        for (std::size_t j = 0; j < per; ++j)
            largest = std::max(largest, std::abs(op.weights[o * per + j]));
        scales[o] = largest > 0 ? largest / 127.0f : 1.0f;
    }
    return scales;
}

dnnl::post_ops PlanBuilder::postOps(const Op& op, std::size_t count,
                                    std::vector<std::pair<int, MemRef>>& args, const Dims& out) {
    dnnl::post_ops ops;
    int index = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const PostOp& p = op.postOps[k];
        switch (p.kind) {
        case PostKind::Relu:
            ops.append_eltwise(1.0f, dnnl::algorithm::eltwise_relu, 0.0f, 0.0f);
            break;
        case PostKind::Sigmoid:
            ops.append_eltwise(1.0f, dnnl::algorithm::eltwise_logistic, 0.0f, 0.0f);
            break;
        case PostKind::Linear:
            ops.append_eltwise(1.0f, dnnl::algorithm::eltwise_linear, p.alpha, p.beta);
            break;
        case PostKind::Sum:
            ops.append_sum(1.0f);
            break;
        case PostKind::PRelu: {
            const HostTensor* slope = staticValue(p.operand);
            const bool perChannel = slope->count() > 1;
            ops.append_prelu(perChannel ? 1 << 1 : 0);
            Dims dims(out.size(), 1);
            if (perChannel) dims[1] = out[1];
            MemRef r;
            r.kind = MemRef::Kind::Constant;
            r.desc = plainDesc(dims, DataType::f32);
            r.constant = constantMemory(slope->asFloats(), dims, r.desc);
            args.emplace_back(DNNL_ARG_ATTR_MULTIPLE_POST_OP(index) | DNNL_ARG_WEIGHTS, r);
            break;
        }
        }
        ++index;
    }
    return ops;
}

// In 8 bits a convolution reads a signed 8-bit tensor, with weights per output channel, and
// writes its result in the model's other precision (32-bit floats where it writes a model
// output): also rounding results to 8 bits lowered the shared recording's mean cosine to 32 bits
// from 0.9909 to 0.9896 and lost a low-confidence member from its register. Where oneDNN has no
// fast 8-bit kernel for the layer, it runs in the other precision altogether.
PlanBuilder::LayerNumbers PlanBuilder::numbersFor(const Op& op, std::int64_t inputChannels,
                                                  bool allow8Bits) const {
    LayerNumbers n{};
    n.type = precisionFor(op, inputChannels);
    n.int8 = is8Bits(n.type) && allow8Bits;
    if (is8Bits(n.type) && !n.int8) n.type = type_;
    n.dstType = n.int8 ? (op.writesOutput ? DataType::f32 : type_) : resultPrecision(op, n.type);
    n.srcScale = n.int8 ? scaleOf(op.input) : 1.0f;
    n.bias = op.bias;
    if (n.int8) {
        n.outputScales = weightScales(op);
        for (std::size_t o = 0; o < n.outputScales.size(); ++o) {
            n.bias[o] /= n.srcScale * n.outputScales[o];
            n.outputScales[o] *= n.srcScale;
        }
    }
    return n;
}

// Whether everything that reads `name` is a layer computing in 8 bits that takes it as its input.
bool PlanBuilder::readOnlyIn8Bits(const std::string& name) const {
    if (!ranges_ || observing_ || !ranges_->count(name) ||
        std::find(graph_.outputs.begin(), graph_.outputs.end(), name) != graph_.outputs.end())
        return false;
    bool read = false;
    for (std::size_t s = std::size_t(step_) + 1; s < program_.steps.size(); ++s) {
        const Step& step = program_.steps[s];
        const Node* node = step.staticNode ? step.staticNode : step.op->node;
        const Op* op = step.op.get();
        const bool asInput = op && op->kind != OpKind::Single && op->input == name;
        if (asInput) {
            const std::int64_t channels = op->weightShape[1] * op->group;
            if (!in8Bits(*op, channels)) return false;
            read = true;
        }
        if (op)
            for (const PostOp& p : op->postOps)
                if (p.operand == name) return false;
        if (!asInput &&
            std::find(node->inputs.begin(), node->inputs.end(), name) != node->inputs.end())
            return false;
    }
    return read;
}

// A batch normalisation in front of 8-bit layers only (as in each residual block of a
// recogniser) writes their 8-bit input itself, scaling each channel on the way, rather than
// rounding its input to 8 bits, computing, and rounding its result again.
bool PlanBuilder::buildScaling(Op& op) {
    const Value& x = value(op.input, *op.node);
    const Dims& in = x.shape;
    const float scale = scaleOf(op.output);
    Dims dims(in.size(), 1);
    dims[1] = in[1];
    std::vector<float> factor(op.weights.size()), shift(op.bias.size());
    for (std::size_t c = 0; c < factor.size(); ++c) {
        factor[c] = op.weights[c] / scale;
        shift[c] = op.bias[c] / scale;
    }
    const memory::desc perChannel = plainDesc(dims, DataType::f32);
    // In the input's layout: the readers ask for theirs, and a 4-d activation is usually in it.
    memory::desc out = x.ref.desc;
    out.data.data_type = dnnl_s8;
    dnnl::binary::desc desc(dnnl::algorithm::binary_mul, x.ref.desc, perChannel, out);
    dnnl::post_ops ops;
    ops.append_binary(dnnl::algorithm::binary_add, perChannel);
    auto attr = userScratchpad();
    attr.set_post_ops(ops);
    dnnl::binary::primitive_desc pd;
    try {
        pd = dnnl::binary::primitive_desc(desc, attr, cpuEngine());
    } catch (const dnnl::error&) {
        return false; // no such kernel here: the normalisation computes as any other layer
    }
    if (std::string(pd.impl_info_str()).rfind("ref", 0) == 0) return false;
    MemRef mul, add;
    mul.kind = add.kind = MemRef::Kind::Constant;
    mul.desc = add.desc = perChannel;
    mul.constant = constantMemory(factor, dims, perChannel);
    add.constant = constantMemory(shift, dims, perChannel);
    MemRef dst = freshRef(pd.dst_desc());
    dst.scale = scale;
    addExec(dnnl::binary(pd),
            {{DNNL_ARG_SRC_0, x.ref},
             {DNNL_ARG_SRC_1, mul},
             {DNNL_ARG_ATTR_MULTIPLE_POST_OP(0) | DNNL_ARG_SRC_1, add},
             {DNNL_ARG_DST, dst}},
            pd);
    bind(op.output, in, dst);
    return true;
}

void PlanBuilder::buildConvolution(Op& op, bool allow8Bits) {
    const Node& node = *op.node;
    const Value& x = value(op.input, node);
    const Dims& in = x.shape;
    if (in.size() != 4 || in[1] != op.weightShape[1] * op.group)
        fail("operator " + node.describe() + " cannot take input " + shapeText(in));
    if (allow8Bits && node.op == "BatchNormalization" && op.postOps.empty() &&
        readOnlyIn8Bits(op.output) && buildScaling(op))
        return;
    const Window win = windowFor(op.window, spatial(in), node);
    const Dims out{in[0], op.weightShape[0], win.out[0], win.out[1]};
    auto [type, dstType, int8, srcScale, outputScales, bias] = numbersFor(op, in[1], allow8Bits);

    Dims wdims = op.weightShape;
    if (op.group > 1)
        wdims = {op.group, op.weightShape[0] / op.group, op.weightShape[1], op.weightShape[2],
                 op.weightShape[3]};
    Dims strides = op.window.strides.empty() ? Dims{1, 1} : op.window.strides;
    Dims dilations{0, 0};
    if (!op.window.dilations.empty())
        dilations = {op.window.dilations[0] - 1, op.window.dilations[1] - 1};
    auto md = [](const Dims& d) { return memory::dims(d.begin(), d.end()); };
    dnnl::convolution_forward::desc desc(
        dnnl::prop_kind::forward_inference, dnnl::algorithm::convolution_direct, anyDesc(in, type),
        anyDesc(wdims, type), plainDesc({out[1]}, DataType::f32), anyDesc(out, dstType),
        md(strides), md(dilations), md(win.padL), md(win.padR));
    // Fuse every following operation where oneDNN has a fast kernel for that combination
    // (2.6 has none for a convolution followed by PReLU); otherwise fuse up to the first PReLU,
    // or nothing, and run the rest as their own primitives on the result.
    std::vector<std::size_t> attempts{op.postOps.size()};
    for (std::size_t k = 0; k < op.postOps.size(); ++k)
        if (op.postOps[k].kind == PostKind::PRelu) {
            attempts.push_back(k);
            break;
        }
    if (attempts.back() != 0) attempts.push_back(0);
    std::vector<std::pair<int, MemRef>> args;
    dnnl::convolution_forward::primitive_desc pd;
    std::size_t fused = 0;
    for (std::size_t count : attempts) {
        args.clear();
        auto attr = userScratchpad();
        attr.set_post_ops(postOps(op, count, args, out));
        if (int8) attr.set_output_scales(1 << 1, outputScales);
        pd = dnnl::convolution_forward::primitive_desc(desc, attr, cpuEngine());
        fused = count;
        if (std::string(pd.impl_info_str()).rfind("ref", 0) != 0) break;
    }
    if (int8 && std::string(pd.impl_info_str()).rfind("ref", 0) == 0)
        return buildConvolution(op, false);

    MemRef src = ensure(op.input, pd.src_desc(), srcScale);
    MemRef weights;
    weights.kind = MemRef::Kind::Constant;
    weights.desc = pd.weights_desc();
    weights.constant = reorderedWeights(op, pd.weights_desc(), wdims);
    MemRef biasRef;
    biasRef.kind = MemRef::Kind::Constant;
    biasRef.desc = plainDesc({out[1]}, DataType::f32);
    biasRef.constant = constantMemory(bias, {out[1]}, biasRef.desc);

    MemRef dst;
    auto sum = std::find_if(op.postOps.begin(), op.postOps.begin() + std::ptrdiff_t(fused),
                            [](const PostOp& p) { return p.kind == PostKind::Sum; });
    if (sum != op.postOps.begin() + std::ptrdiff_t(fused)) {
        // The convolution adds onto its destination: reuse the addend's memory when nothing
        // reads the addend afterwards, otherwise start from a copy of it.
        const Value& addend = value(sum->operand, node);
        bool inPlace = addend.ref.kind == MemRef::Kind::Arena && addend.ref.desc == pd.dst_desc() &&
                       !(src.kind == MemRef::Kind::Arena && src.index == addend.ref.index);
        if (inPlace)
            for (const auto& name : rootNames_[addend.ref.index]) {
                auto it = program_.lastReader.find(name);
                if (it != program_.lastReader.end() && it->second > step_) inPlace = false;
            }
        if (inPlace) {
            dst = addend.ref;
        } else {
            dst = freshRef(pd.dst_desc());
            copyInto(addend.ref, dst);
        }
    } else {
        dst = freshRef(pd.dst_desc());
    }
    args.emplace_back(DNNL_ARG_SRC, src);
    args.emplace_back(DNNL_ARG_WEIGHTS, weights);
    args.emplace_back(DNNL_ARG_BIAS, biasRef);
    args.emplace_back(DNNL_ARG_DST, dst);
    addExec(dnnl::convolution_forward(pd), std::move(args), pd);
    for (std::size_t k = fused; k < op.postOps.size(); ++k)
        applyAfter(op.postOps[k], dst, out);
    bind(op.output, out, dst);
}

void PlanBuilder::observe(const MemRef& ref, const std::string& name) {
    if (!observing_ || ref.kind != MemRef::Kind::Arena || plan_.execs.empty()) return;
    // Read right after the primitive that wrote it; the tensor's memory stays its own until then.
    const int exec = int(plan_.execs.size()) - 1;
    Root& root = plan_.roots[std::size_t(ref.index)];
    root.last = std::max(root.last, exec);
    root.first = std::min(root.first, exec);
    plan_.observations.push_back({exec, ref.index, ref.desc.get_size(), name});
}

// One post-operation that could not be fused, run in place on the convolution's result.
void PlanBuilder::applyAfter(const PostOp& p, const MemRef& dst, const Dims& out) {
    switch (p.kind) {
    case PostKind::Relu:
    case PostKind::Sigmoid:
    case PostKind::Linear: {
        const auto alg = p.kind == PostKind::Relu      ? dnnl::algorithm::eltwise_relu
                         : p.kind == PostKind::Sigmoid ? dnnl::algorithm::eltwise_logistic
                                                       : dnnl::algorithm::eltwise_linear;
        const float alpha = p.kind == PostKind::Linear ? p.alpha : 0.0f;
        const float beta = p.kind == PostKind::Linear ? p.beta : 0.0f;
        dnnl::eltwise_forward::desc desc(dnnl::prop_kind::forward_inference, alg, dst.desc, alpha,
                                         beta);
        dnnl::eltwise_forward::primitive_desc pd(desc, userScratchpad(), cpuEngine());
        addExec(dnnl::eltwise_forward(pd), {{DNNL_ARG_SRC, dst}, {DNNL_ARG_DST, dst}}, pd);
        break;
    }
    case PostKind::PRelu: {
        const HostTensor* slope = staticValue(p.operand);
        Dims dims(out.size(), 1);
        if (slope->count() > 1) dims[1] = out[1];
        dnnl::prelu_forward::desc desc(dnnl::prop_kind::forward_inference, dst.desc,
                                       anyDesc(dims, dst.desc.data_type()));
        dnnl::prelu_forward::primitive_desc pd(desc, userScratchpad(), cpuEngine());
        MemRef w;
        w.kind = MemRef::Kind::Constant;
        w.desc = pd.query_md(dnnl::query::weights_md, 0);
        w.constant = constantMemory(slope->asFloats(), dims, w.desc);
        addExec(dnnl::prelu_forward(pd),
                {{DNNL_ARG_SRC, dst}, {DNNL_ARG_WEIGHTS, w}, {DNNL_ARG_DST, dst}}, pd);
        break;
    }
    case PostKind::Sum: {
        const MemRef addend = ensure(p.operand, dst.desc);
        dnnl::binary::desc desc(dnnl::algorithm::binary_add, dst.desc, addend.desc, dst.desc);
        dnnl::binary::primitive_desc pd(desc, userScratchpad(), cpuEngine());
        addExec(dnnl::binary(pd),
                {{DNNL_ARG_SRC_0, dst}, {DNNL_ARG_SRC_1, addend}, {DNNL_ARG_DST, dst}}, pd);
        break;
    }
    }
}

void PlanBuilder::buildInnerProduct(Op& op, bool allow8Bits) {
    const Node& node = *op.node;
    const Value& x = value(op.input, node);
    if (x.shape.size() != 2 || x.shape[1] != op.weightShape[1])
        fail("operator " + node.describe() + " cannot take input " + shapeText(x.shape));
    const Dims out{x.shape[0], op.weightShape[0]};
    auto [type, dstType, int8, srcScale, outputScales, bias] =
        numbersFor(op, x.shape[1], allow8Bits);
    dnnl::inner_product_forward::desc desc(
        dnnl::prop_kind::forward_inference, plainDesc(x.shape, type), anyDesc(op.weightShape, type),
        plainDesc({out[1]}, DataType::f32), plainDesc(out, dstType));
    std::vector<std::pair<int, MemRef>> args;
    auto attr = userScratchpad();
    attr.set_post_ops(postOps(op, op.postOps.size(), args, out));
    if (int8) attr.set_output_scales(1 << 1, outputScales);
    dnnl::inner_product_forward::primitive_desc pd(desc, attr, cpuEngine());
    if (int8 && std::string(pd.impl_info_str()).rfind("ref", 0) == 0)
        return buildInnerProduct(op, false);
    MemRef src = ensure(op.input, pd.src_desc(), srcScale);
    MemRef weights;
    weights.kind = MemRef::Kind::Constant;
    weights.desc = pd.weights_desc();
    weights.constant = reorderedWeights(op, pd.weights_desc(), op.weightShape);
    MemRef biasRef;
    biasRef.kind = MemRef::Kind::Constant;
    biasRef.desc = plainDesc({out[1]}, DataType::f32);
    biasRef.constant = constantMemory(bias, {out[1]}, biasRef.desc);
    MemRef dst = freshRef(pd.dst_desc());
    args.emplace_back(DNNL_ARG_SRC, src);
    args.emplace_back(DNNL_ARG_WEIGHTS, weights);
    args.emplace_back(DNNL_ARG_BIAS, biasRef);
    args.emplace_back(DNNL_ARG_DST, dst);
    addExec(dnnl::inner_product_forward(pd), std::move(args), pd);
    bind(op.output, out, dst);
}

void PlanBuilder::buildSingle(const Node& node) {
    const std::string& op = node.op;
    const std::string& outName = node.outputs[0];
    StaticLookup lookup = [this](const std::string& name) { return staticValue(name); };

    if (op == "Add" || op == "Mul") {
        const auto alg = op == "Add" ? dnnl::algorithm::binary_add : dnnl::algorithm::binary_mul;
        std::string a = node.input(0), b = node.input(1);
        if (!values_.count(a)) std::swap(a, b);
        const Value& va = value(a, node);
        Dims out;
        MemRef src1;
        Dims bShape;
        if (values_.count(b)) {
            bShape = values_.at(b).shape;
            out = broadcastShapes(va.shape, bShape, node);
            if (va.shape != out) {
                std::swap(a, b);
                bShape = values_.at(b).shape;
            }
        } else {
            const HostTensor* c = staticValue(b);
            if (!c)
                fail("operator " + node.describe() + " reads '" + b + "', which nothing computes");
            bShape = c->shape;
            out = broadcastShapes(va.shape, bShape, node);
        }
        const Value& first = value(a, node);
        if (first.shape != out)
            fail("operator " + node.describe() +
                 " broadcasts both operands, which is not supported");
        Dims padded(out.size() - bShape.size(), 1);
        padded.insert(padded.end(), bShape.begin(), bShape.end());
        const memory::desc srcDesc = first.ref.desc;
        if (values_.count(b)) {
            const Value& vb = values_.at(b);
            if (vb.shape == out) {
                src1 = ensure(b, srcDesc);
            } else {
                src1 = ensure(b, plainDesc(vb.shape, srcDesc.data_type()));
                src1.desc = plainDesc(padded, srcDesc.data_type());
            }
        } else {
            src1.kind = MemRef::Kind::Constant;
            src1.desc = plainDesc(padded, srcDesc.data_type());
            src1.constant = constantMemory(staticValue(b)->asFloats(), padded, src1.desc);
        }
        dnnl::binary::desc desc(alg, srcDesc, src1.desc, srcDesc);
        dnnl::binary::primitive_desc pd(desc, userScratchpad(), cpuEngine());
        MemRef dst = freshRef(pd.dst_desc());
        addExec(dnnl::binary(pd),
                {{DNNL_ARG_SRC_0, first.ref}, {DNNL_ARG_SRC_1, src1}, {DNNL_ARG_DST, dst}}, pd);
        bind(outName, out, dst);
        return;
    }

    const Value& x = value(node.input(0), node);
    std::vector<Dims> inShapes{x.shape};
    if (op == "Concat")
        for (std::size_t k = 1; k < node.inputs.size(); ++k)
            inShapes.push_back(value(node.input(k), node).shape);
    const Dims out = inferShape(node, inShapes, lookup, graph_.opset);
    const memory::desc& xd = x.ref.desc;

    if (op == "Relu" || op == "Sigmoid") {
        dnnl::eltwise_forward::desc desc(dnnl::prop_kind::forward_inference,
                                         op == "Relu" ? dnnl::algorithm::eltwise_relu
                                                      : dnnl::algorithm::eltwise_logistic,
                                         xd, 0.0f, 0.0f);
        dnnl::eltwise_forward::primitive_desc pd(desc, userScratchpad(), cpuEngine());
        MemRef dst = freshRef(pd.dst_desc());
        addExec(dnnl::eltwise_forward(pd), {{DNNL_ARG_SRC, x.ref}, {DNNL_ARG_DST, dst}}, pd);
        bind(outName, out, dst);
    } else if (op == "PRelu") {
        const HostTensor* slope = staticValue(node.input(1));
        if (!slope)
            fail("operator " + node.describe() + " takes its slopes from a computed tensor");
        Dims dims(out.size() - slope->shape.size(), 1);
        dims.insert(dims.end(), slope->shape.begin(), slope->shape.end());
        broadcastShapes(out, dims, node);
        dnnl::prelu_forward::desc desc(dnnl::prop_kind::forward_inference, xd,
                                       anyDesc(dims, xd.data_type()));
        dnnl::prelu_forward::primitive_desc pd(desc, userScratchpad(), cpuEngine());
        MemRef w;
        w.kind = MemRef::Kind::Constant;
        w.desc = pd.query_md(dnnl::query::weights_md, 0);
        w.constant = constantMemory(slope->asFloats(), dims, w.desc);
        MemRef dst = freshRef(pd.dst_desc());
        addExec(dnnl::prelu_forward(pd),
                {{DNNL_ARG_SRC, x.ref}, {DNNL_ARG_WEIGHTS, w}, {DNNL_ARG_DST, dst}}, pd);
        bind(outName, out, dst);
    } else if (op == "MaxPool" || op == "AveragePool" || op == "GlobalAveragePool") {
        const WindowParams p = poolParams(node, x.shape);
        const Window win = windowFor(p, spatial(x.shape), node);
        auto alg = dnnl::algorithm::pooling_max;
        if (op != "MaxPool")
            alg = node.attrInt("count_include_pad", 0)
                      ? dnnl::algorithm::pooling_avg_include_padding
                      : dnnl::algorithm::pooling_avg_exclude_padding;
        if (op == "MaxPool" && node.outputs.size() > 1 && !node.outputs[1].empty())
            fail("operator " + node.describe() + " asks for indices, which are not supported");
        Dims strides = p.strides.empty() ? Dims(p.kernel.size(), 1) : p.strides;
        Dims dil(p.kernel.size(), 0);
        if (!p.dilations.empty())
            for (std::size_t k = 0; k < dil.size(); ++k)
                dil[k] = p.dilations[k] - 1;
        auto md = [](const Dims& d) { return memory::dims(d.begin(), d.end()); };
        dnnl::pooling_v2_forward::desc desc(dnnl::prop_kind::forward_inference, alg, xd,
                                            anyDesc(out, xd.data_type()), md(strides), md(p.kernel),
                                            md(dil), md(win.padL), md(win.padR));
        dnnl::pooling_v2_forward::primitive_desc pd(desc, userScratchpad(), cpuEngine());
        MemRef dst = freshRef(pd.dst_desc());
        addExec(dnnl::pooling_v2_forward(pd), {{DNNL_ARG_SRC, x.ref}, {DNNL_ARG_DST, dst}}, pd);
        bind(outName, out, dst);
    } else if (op == "Resize") {
        dnnl::resampling_forward::desc desc(dnnl::prop_kind::forward_inference,
                                            dnnl::algorithm::resampling_nearest, xd,
                                            anyDesc(out, xd.data_type()));
        dnnl::resampling_forward::primitive_desc pd(desc, userScratchpad(), cpuEngine());
        MemRef dst = freshRef(pd.dst_desc());
        addExec(dnnl::resampling_forward(pd), {{DNNL_ARG_SRC, x.ref}, {DNNL_ARG_DST, dst}}, pd);
        bind(outName, out, dst);
    } else if (op == "Concat") {
        std::int64_t axis = node.attrInt("axis", 0);
        if (axis < 0) axis += std::int64_t(out.size());
        std::vector<memory::desc> srcs;
        std::vector<std::pair<int, MemRef>> args;
        for (std::size_t k = 0; k < node.inputs.size(); ++k) {
            const Value& v = value(node.input(k), node);
            MemRef r = v.ref;
            if (r.desc.data_type() != xd.data_type())
                r = ensure(node.input(k), plainDesc(v.shape, xd.data_type()));
            srcs.push_back(r.desc);
            args.emplace_back(DNNL_ARG_MULTIPLE_SRC + int(k), r);
        }
        dnnl::concat::primitive_desc pd(int(axis), srcs, cpuEngine(), userScratchpad());
        MemRef dst = freshRef(pd.dst_desc());
        args.emplace_back(DNNL_ARG_DST, dst);
        addExec(dnnl::concat(pd), std::move(args), pd);
        bind(outName, out, dst);
    } else if (op == "Transpose") {
        // One reorder writes the source, whatever its layout, straight into the permuted order.
        Dims perm = node.attrInts("perm");
        if (perm.empty())
            for (std::size_t d = x.shape.size(); d-- > 0;)
                perm.push_back(std::int64_t(d));
        const Dims outStrides = stridesOf(out);
        Dims viewStrides(out.size());
        for (std::size_t d = 0; d < out.size(); ++d)
            viewStrides[std::size_t(perm[d])] = outStrides[d];
        MemRef dst = freshRef(plainDesc(out, xd.data_type()));
        MemRef view = dst;
        view.desc = memory::desc(memory::dims(x.shape.begin(), x.shape.end()), xd.data_type(),
                                 memory::dims(viewStrides.begin(), viewStrides.end()));
        copyInto(x.ref, view);
        bind(outName, out, dst);
    } else if (op == "Reshape" || op == "Flatten" || op == "Squeeze" || op == "Unsqueeze" ||
               op == "Identity") {
        // Row-major data is reinterpreted in place; other layouts are made row-major first.
        MemRef ref =
            isPlain(x.ref) ? x.ref : ensure(node.input(0), plainDesc(x.shape, xd.data_type()));
        ref.desc = plainDesc(out, xd.data_type());
        bind(outName, out, ref);
    } else if (op == "BatchNormalization") {
        fail("operator " + node.describe() + " on a rank-" + std::to_string(x.shape.size()) +
             " tensor follows no convolution or matrix product, which is not supported");
    } else {
        fail("operator " + node.describe() + " is not supported by the oneDNN runtime");
    }
}

void PlanBuilder::buildOp(Op& op) {
    switch (op.kind) {
    case OpKind::Conv:
        buildConvolution(op);
        break;
    case OpKind::InnerProduct:
        buildInnerProduct(op);
        break;
    case OpKind::Single:
        buildSingle(*op.node);
        break;
    }
}

void PlanBuilder::build() {
    const Graph& graph = graph_;
    for (std::size_t k = 0; k < graph.inputs.size(); ++k) {
        MemRef r;
        r.kind = MemRef::Kind::Input;
        r.index = int(k);
        r.desc = plainDesc(inputShapes_[k], DataType::f32);
        bind(graph.inputs[k].name, inputShapes_[k], r);
    }
    const ShapeLookup shapeOf = [this](const std::string& name) -> const Dims* {
        auto it = values_.find(name);
        return it == values_.end() ? nullptr : &it->second.shape;
    };
    const StaticLookup lookup = [this](const std::string& name) { return staticValue(name); };
    for (std::size_t s = 0; s < program_.steps.size(); ++s) {
        step_ = int(s);
        Step& step = program_.steps[s];
        if (step.staticNode) {
            const Node& node = *step.staticNode;
            auto results = evaluateWithShapes(node, shapeOf, lookup, graph.opset);
            for (std::size_t k = 0; k < node.outputs.size() && k < results.size(); ++k)
                statics_[node.outputs[k]] = std::move(results[k]);
            continue;
        }
        buildOp(*step.op);
    }

    // Outputs are written as row-major 32-bit floats straight into the caller's tensors.
    for (std::size_t k = 0; k < graph.outputs.size(); ++k) {
        const std::string& name = graph.outputs[k];
        if (const HostTensor* c = staticValue(name); c && !values_.count(name)) {
            plan_.outputShapes.push_back(c->shape);
            plan_.staticOutputs.push_back(*c);
            continue;
        }
        auto it = values_.find(name);
        if (it == values_.end()) fail("output '" + name + "' is computed by no operator");
        MemRef to;
        to.kind = MemRef::Kind::Output;
        to.index = int(k);
        to.desc = plainDesc(it->second.shape, DataType::f32);
        copyInto(it->second.ref, to);
        plan_.outputShapes.push_back(it->second.shape);
        plan_.staticOutputs.emplace_back();
    }

    // Place the activations: largest first, each at the lowest offset that overlaps no other
    // activation alive at the same time.
    std::vector<std::size_t> order(plan_.roots.size());
    for (std::size_t k = 0; k < order.size(); ++k)
        order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return plan_.roots[a].bytes > plan_.roots[b].bytes;
    });
    constexpr std::size_t alignment = 64;
    std::vector<std::size_t> placed;
    std::size_t total = 0;
    for (std::size_t r : order) {
        Root& root = plan_.roots[r];
        if (root.last < 0) continue;
        const std::size_t bytes = (root.bytes + alignment - 1) / alignment * alignment;
        std::vector<std::pair<std::size_t, std::size_t>> busy;
        for (std::size_t p : placed) {
            const Root& other = plan_.roots[p];
            if (other.first <= root.last && root.first <= other.last)
                busy.emplace_back(other.offset, other.offset + (other.bytes + alignment - 1) /
                                                                   alignment * alignment);
        }
        std::sort(busy.begin(), busy.end());
        std::size_t offset = 0;
        for (const auto& [begin, end] : busy) {
            if (offset + bytes <= begin) break;
            offset = std::max(offset, end);
        }
        root.offset = offset;
        total = std::max(total, offset + bytes);
        placed.push_back(r);
    }
    plan_.activationBytes = (total + alignment - 1) / alignment * alignment;
}

} // namespace tallymere::onednn
