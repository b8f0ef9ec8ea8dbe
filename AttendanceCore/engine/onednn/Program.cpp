#include "engine/onednn/Program.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <set>

namespace tallymere::onednn {

namespace {

// Operators run as oneDNN primitives on activations.
const std::set<std::string>& runtimeOps() {
    static const std::set<std::string> ops{"Conv",        "BatchNormalization",
                                           "Relu",        "PRelu",
                                           "Sigmoid",     "Add",
                                           "Mul",         "MaxPool",
                                           "AveragePool", "GlobalAveragePool",
                                           "Resize",      "Concat",
                                           "Transpose",   "Reshape",
                                           "Flatten",     "Gemm",
                                           "MatMul",      "Identity",
                                           "Squeeze",     "Unsqueeze"};
    return ops;
}

bool hasWeights(const Node& node) {
    return node.op == "Conv" || node.op == "Gemm" || node.op == "MatMul";
}

// Each operator's place among the layers with weights: how many lie before it on the longest way
// from an input, and whether any lies between it and an output. Nodes are in topological order.
void placeWeightLayers(const Graph& graph, Program& program) {
    std::map<std::string, int> depth;
    for (const auto& in : graph.inputs)
        depth[in.name] = 0;
    for (const Node& node : graph.nodes) {
        int d = -1;
        for (const auto& name : node.inputs)
            if (auto found = depth.find(name); found != depth.end()) d = std::max(d, found->second);
        if (d < 0) continue; // computed from constants only
        for (const auto& name : node.outputs)
            depth[name] = d + (hasWeights(node) ? 1 : 0);
    }
    std::set<std::string> beforeOutput(graph.outputs.begin(), graph.outputs.end());
    for (auto node = graph.nodes.rbegin(); node != graph.nodes.rend(); ++node) {
        // A shape read is not a value passed on.
        if (hasWeights(*node) || node->op == "Shape") continue;
        for (const auto& name : node->outputs)
            if (beforeOutput.count(name)) {
                beforeOutput.insert(node->inputs.begin(), node->inputs.end());
                break;
            }
    }
    for (Step& step : program.steps) {
        if (!step.op) continue;
        Op& op = *step.op;
        if (auto found = depth.find(op.node->outputs[0]); found != depth.end())
            op.depth = found->second;
        op.writesOutput = beforeOutput.count(op.output) != 0;
    }
}

} // namespace

Program buildProgram(Graph& graph) {
    Program program;
    // Every operator must be one this runtime knows, either as a primitive or on the host.
    for (const Node& node : graph.nodes)
        if (!runtimeOps().count(node.op) && !evaluatesOnHost(node.op))
            fail("operator '" + node.op + "'" +
                 (node.name.empty() ? std::string() : " (node '" + node.name + "')") +
                 " is not supported by the oneDNN runtime");

    // Values known without running: constants, shapes and what is computed from them. Those that
    // do not depend on an input's shape are computed now; the others once per plan.
    std::set<std::string> dynamicValues, shapeDependent;
    for (const auto& in : graph.inputs)
        dynamicValues.insert(in.name);
    std::vector<bool> isStatic(graph.nodes.size(), false);
    for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
        const Node& node = graph.nodes[i];
        bool anyDynamic = false, anyShape = node.op == "Shape";
        for (const auto& name : node.inputs) {
            if (name.empty()) continue;
            if (node.op != "Shape" && dynamicValues.count(name)) anyDynamic = true;
            if (shapeDependent.count(name)) anyShape = true;
            if (!dynamicValues.count(name) && !graph.constants.count(name) &&
                !shapeDependent.count(name))
                fail("operator " + node.describe() + " reads '" + name +
                     "', which nothing computes");
        }
        if (!anyDynamic && evaluatesOnHost(node.op)) {
            isStatic[i] = true;
            if (anyShape) {
                for (const auto& o : node.outputs)
                    shapeDependent.insert(o);
            } else {
                std::vector<const HostTensor*> args;
                for (const auto& name : node.inputs)
                    args.push_back(name.empty() ? nullptr : &graph.constants.at(name));
                auto results = evaluateOnHost(node, args, graph.opset);
                for (std::size_t k = 0; k < node.outputs.size() && k < results.size(); ++k)
                    graph.constants[node.outputs[k]] = std::move(results[k]);
            }
            continue;
        }
        if (!runtimeOps().count(node.op))
            fail("operator " + node.describe() +
                 " is supported only on constants by the oneDNN runtime");
        if (node.outputs.size() != 1 && !(node.op == "BatchNormalization" && !node.outputs.empty()))
            fail("operator " + node.describe() + " has more than one output");
        for (const auto& o : node.outputs)
            dynamicValues.insert(o);
    }

    // Shapes at batch 1, for the fusion decisions below (layouts are decided per plan).
    std::map<std::string, Dims> shapes;
    std::map<std::string, HostTensor> shapeStatics;
    for (const auto& in : graph.inputs) {
        Dims d = in.dims;
        for (auto& v : d)
            if (v < 0) v = 1;
        shapes[in.name] = d;
    }
    StaticLookup lookup = [&](const std::string& name) -> const HostTensor* {
        if (auto it = graph.constants.find(name); it != graph.constants.end()) return &it->second;
        if (auto it = shapeStatics.find(name); it != shapeStatics.end()) return &it->second;
        return nullptr;
    };
    ShapeLookup shapeOf = [&](const std::string& name) -> const Dims* {
        auto it = shapes.find(name);
        return it == shapes.end() ? nullptr : &it->second;
    };
    for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
        const Node& node = graph.nodes[i];
        if (isStatic[i]) {
            if (!shapeDependent.count(node.outputs.front())) continue;
            auto results = evaluateWithShapes(node, shapeOf, lookup, graph.opset);
            for (std::size_t k = 0; k < node.outputs.size() && k < results.size(); ++k)
                shapeStatics[node.outputs[k]] = std::move(results[k]);
            continue;
        }
        std::vector<Dims> in;
        for (const auto& name : node.inputs)
            if (!name.empty() && shapes.count(name)) in.push_back(shapes.at(name));
        if (in.empty()) fail("operator " + node.describe() + " has no computed input");
        if (node.op == "Add" || node.op == "Mul") {
            // The constant operand's shape takes part in broadcasting too.
            for (const auto& name : node.inputs)
                if (const HostTensor* c = lookup(name)) in.push_back(c->shape);
            Dims out = in[0];
            for (std::size_t k = 1; k < in.size(); ++k)
                out = broadcastShapes(out, in[k], node);
            shapes[node.outputs[0]] = out;
        } else {
            shapes[node.outputs[0]] = inferShape(node, in, lookup, graph.opset);
        }
    }

    // Readers of each value, to know which chains may be fused.
    std::map<std::string, std::vector<std::size_t>> readers;
    for (std::size_t i = 0; i < graph.nodes.size(); ++i)
        for (const auto& name : graph.nodes[i].inputs)
            if (!name.empty()) readers[name].push_back(i);
    const std::set<std::string> outputs(graph.outputs.begin(), graph.outputs.end());
    auto constantOf = [&](const std::string& name) -> const HostTensor* {
        auto it = graph.constants.find(name);
        return it == graph.constants.end() ? nullptr : &it->second;
    };

    std::vector<bool> absorbed(graph.nodes.size(), false);
    for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
        const Node& node = graph.nodes[i];
        if (isStatic[i]) {
            if (shapeDependent.count(node.outputs.front()))
                program.steps.push_back(Step{&node, nullptr, i});
            continue;
        }
        if (absorbed[i]) continue;
        auto op = std::make_unique<Op>();
        op->node = &node;
        op->input = node.input(0);
        if (!shapes.count(op->input) && node.inputs.size() > 1) op->input = node.input(1);
        std::string current = node.outputs[0];
        std::size_t last = i;

        if ((node.op == "Conv" || node.op == "Gemm" || node.op == "MatMul") &&
            !constantOf(node.input(1)))
            fail("operator " + node.describe() + " takes its weights from a computed tensor");
        if (node.op == "Conv") {
            const HostTensor& w = *constantOf(node.input(1));
            op->kind = OpKind::Conv;
            op->weightShape = w.shape;
            op->weights = w.asFloats();
            op->bias.assign(std::size_t(w.shape[0]), 0.0f);
            if (!node.input(2).empty()) {
                const HostTensor* b = constantOf(node.input(2));
                if (!b || b->count() != w.shape[0])
                    fail("operator " + node.describe() + " has a bias that does not fit");
                op->bias = b->asFloats();
            }
            op->window = convParams(node, w.shape);
            op->group = node.attrInt("group", 1);
        } else if (node.op == "Gemm" || node.op == "MatMul") {
            const HostTensor& b = *constantOf(node.input(1));
            const bool transB = node.op == "Gemm" && node.attrInt("transB", 0) != 0;
            const float alpha = node.op == "Gemm" ? node.attrFloat("alpha", 1.0f) : 1.0f;
            const float beta = node.op == "Gemm" ? node.attrFloat("beta", 1.0f) : 1.0f;
            const std::int64_t k = transB ? b.shape[1] : b.shape[0];
            const std::int64_t n = transB ? b.shape[0] : b.shape[1];
            op->kind = OpKind::InnerProduct;
            op->weightShape = {n, k};
            op->weights.resize(std::size_t(n * k));
            const auto bv = b.asFloats();
            for (std::int64_t o = 0; o < n; ++o)
                for (std::int64_t j = 0; j < k; ++j)
                    op->weights[std::size_t(o * k + j)] =
                        alpha * (transB ? bv[std::size_t(o * k + j)] : bv[std::size_t(j * n + o)]);
            op->bias.assign(std::size_t(n), 0.0f);
            if (node.op == "Gemm" && !node.input(2).empty()) {
                const HostTensor* c = constantOf(node.input(2));
                if (!c) fail("operator " + node.describe() + " adds a computed tensor");
                const auto cv = c->asFloats();
                if (c->count() == 1)
                    for (auto& v : op->bias)
                        v = beta * cv[0];
                else if (c->count() == n && (c->shape.size() == 1 || c->shape[0] == 1))
                    for (std::int64_t o = 0; o < n; ++o)
                        op->bias[std::size_t(o)] = beta * cv[std::size_t(o)];
                else
                    fail("operator " + node.describe() +
                         " adds a matrix; only a bias row is supported");
            }
        } else if (node.op == "BatchNormalization" && shapes.count(op->input) &&
                   shapes.at(op->input).size() == 4) {
            // A normalisation that follows no convolution runs as a 1 x 1 per-channel one.
            const std::int64_t c = shapes.at(op->input)[1];
            op->kind = OpKind::Conv;
            op->weightShape = {c, 1, 1, 1};
            op->weights.assign(std::size_t(c), 1.0f);
            op->bias.assign(std::size_t(c), 0.0f);
            op->window.kernel = {1, 1};
            op->group = c;
        }

        // Fold batch normalisation into the weights and fuse what follows as post-operations.
        if (op->kind != OpKind::Single) {
            bool first = true, haveSum = false;
            const Node* bnSelf = node.op == "BatchNormalization" ? &node : nullptr;
            for (;;) {
                const Node* next = nullptr;
                std::size_t nextIndex = 0;
                if (bnSelf) {
                    next = bnSelf;
                    nextIndex = i;
                } else {
                    if (outputs.count(current) || readers[current].size() != 1) break;
                    nextIndex = readers[current][0];
                    if (isStatic[nextIndex] || absorbed[nextIndex]) break;
                    next = &graph.nodes[nextIndex];
                }
                const std::string& nop = next->op;
                const std::int64_t channels = op->weightShape[0];
                auto other = [&]() -> std::string {
                    for (const auto& name : next->inputs)
                        if (name != current) return name;
                    return std::string();
                };
                if (nop == "BatchNormalization" && (first || bnSelf) &&
                    next->input(0) == (bnSelf ? op->input : current)) {
                    const HostTensor* scale = constantOf(next->input(1));
                    const HostTensor* shift = constantOf(next->input(2));
                    const HostTensor* mean = constantOf(next->input(3));
                    const HostTensor* var = constantOf(next->input(4));
                    if (!scale || !shift || !mean || !var || scale->count() != channels ||
                        shift->count() != channels || mean->count() != channels ||
                        var->count() != channels)
                        fail("operator " + next->describe() + " has statistics that do not fit");
                    const float eps = next->attrFloat("epsilon", 1e-5f);
                    const std::int64_t per = std::int64_t(op->weights.size()) / channels;
                    const auto s = scale->asFloats(), b = shift->asFloats(), m = mean->asFloats(),
                               v = var->asFloats();
                    for (std::int64_t o = 0; o < channels; ++o) {
                        const float f = s[std::size_t(o)] / std::sqrt(v[std::size_t(o)] + eps);
                        for (std::int64_t j = 0; j < per; ++j)
                            op->weights[std::size_t(o * per + j)] *= f;
                        op->bias[std::size_t(o)] =
                            (op->bias[std::size_t(o)] - m[std::size_t(o)]) * f + b[std::size_t(o)];
                    }
                } else if (nop == "Relu") {
                    op->postOps.push_back({PostKind::Relu, "", 0, 0});
                } else if (nop == "Sigmoid") {
                    op->postOps.push_back({PostKind::Sigmoid, "", 0, 0});
                } else if (nop == "PRelu" && op->kind == OpKind::Conv &&
                           next->input(0) == current && constantOf(next->input(1)) &&
                           (constantOf(next->input(1))->count() == 1 ||
                            constantOf(next->input(1))->count() == channels)) {
                    op->postOps.push_back({PostKind::PRelu, next->input(1), 0, 0});
                } else if ((nop == "Mul" || nop == "Add") && constantOf(other()) &&
                           constantOf(other())->count() == 1) {
                    const float c = float(constantOf(other())->at(0));
                    op->postOps.push_back(nop == "Mul" ? PostOp{PostKind::Linear, "", c, 0}
                                                       : PostOp{PostKind::Linear, "", 1, c});
                } else if (nop == "Add" && !haveSum && !other().empty() && shapes.count(other()) &&
                           shapes.at(other()) == shapes.at(current) && op->kind == OpKind::Conv) {
                    op->postOps.push_back({PostKind::Sum, other(), 0, 0});
                    haveSum = true;
                } else {
                    break;
                }
                first = false;
                if (bnSelf) {
                    bnSelf = nullptr;
                } else {
                    absorbed[nextIndex] = true;
                    current = next->outputs[0];
                    last = nextIndex;
                }
            }
        }
        op->output = current;
        program.steps.push_back(Step{nullptr, std::move(op), last});
    }
    std::stable_sort(program.steps.begin(), program.steps.end(),
                     [](const Step& a, const Step& b) { return a.position < b.position; });

    for (std::size_t s = 0; s < program.steps.size(); ++s) {
        const Step& step = program.steps[s];
        auto read = [&](const std::string& name) {
            if (!name.empty()) program.lastReader[name] = int(s);
        };
        if (step.staticNode) {
            for (const auto& name : step.staticNode->inputs)
                read(name);
            continue;
        }
        for (const auto& name : step.op->node->inputs)
            read(name);
        for (const auto& p : step.op->postOps)
            read(p.operand);
    }
    for (const auto& name : graph.outputs)
        program.lastReader[name] = INT_MAX;
    placeWeightLayers(graph, program);

    // Weights now live in their operators, folded; the file's copies would only double the
    // model's memory (about 170 MiB for a full-size recogniser).
    auto isWeights = [](const Node& node, std::size_t k) { return k == 1 && hasWeights(node); };
    std::set<std::string> readElsewhere(graph.outputs.begin(), graph.outputs.end());
    for (const Node& node : graph.nodes)
        for (std::size_t k = 0; k < node.inputs.size(); ++k)
            if (!isWeights(node, k)) readElsewhere.insert(node.inputs[k]);
    for (const Node& node : graph.nodes)
        if (isWeights(node, 1) && !readElsewhere.count(node.input(1)))
            graph.constants.erase(node.input(1));
    return program;
}

} // namespace tallymere::onednn
