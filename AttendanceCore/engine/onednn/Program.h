#pragma once

// The program: the graph after folding, as fused steps. Made once per model, independent of batch
// size; each plan walks it with concrete shapes.

#include "engine/onednn/OnnxGraph.h"
#include "engine/onednn/Shapes.h"

#include <cstddef>
#include <map>
#include <memory>
#include <oneapi/dnnl/dnnl.hpp>
#include <string>
#include <utility>
#include <vector>

namespace tallymere::onednn {

enum class PostKind { Relu, Sigmoid, PRelu, Sum, Linear };

struct PostOp {
    PostKind kind;
    std::string operand; // PRelu slopes or the Sum's other addend
    float alpha = 1, beta = 0;
};

enum class OpKind { Conv, InnerProduct, Single };

// One fused step: a main node plus the nodes folded into it.
struct Op {
    OpKind kind = OpKind::Single;
    const Node* node = nullptr;
    std::string input;  // the activation the main node reads first
    std::string output; // the value the last absorbed node writes
    std::vector<PostOp> postOps;
    // Convolution and inner product: weights with batch normalisation folded in.
    Dims weightShape; // [M, C/group, kh, kw] or [O, K]
    std::vector<float> weights;
    std::vector<float> bias;
    WindowParams window;
    std::int64_t group = 1;
    // Layers with weights (convolutions, matrix products) on the longest way from a model input
    // to this one, itself included; and whether its result reaches a model output through no
    // other such layer. Where a model runs in mixed precision these pick the layers kept in
    // 32-bit floats.
    int depth = 0;
    bool writesOutput = false;
    // The weights reordered for each layout a primitive asked for (usually one).
    std::vector<std::pair<dnnl::memory::desc, dnnl::memory>> reordered;
};

struct Step {
    const Node* staticNode = nullptr; // a shape-dependent host computation
    std::unique_ptr<Op> op;
    std::size_t position = 0;
};

struct Program {
    std::vector<Step> steps;
    std::map<std::string, int> lastReader; // program step that last reads each value
};

// Checks that every operator can run, computes what is known without running, folds batch
// normalisation into weights and fuses what follows a convolution or matrix product into it.
// The steps point into `graph`'s nodes; the weights they folded leave `graph`'s constants.
Program buildProgram(Graph& graph);

} // namespace tallymere::onednn
