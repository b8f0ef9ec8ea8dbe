// The oneDNN runtime's program on graphs built in memory: which nodes are folded or fused into
// one step, with what weights. Numerical agreement is checked on whole models elsewhere; here a
// lost fusion, which changes no result but the speed, is caught too.

#include "engine/onednn/Program.h"

#include <climits>
#include <cmath>
#include <gtest/gtest.h>

namespace tallymere::onednn {
namespace {

HostTensor floats(const Dims& shape, std::vector<float> values) {
    HostTensor t;
    t.shape = shape;
    t.floats = std::move(values);
    return t;
}

Node node(const std::string& op, std::vector<std::string> inputs, const std::string& output) {
    Node n;
    n.op = op;
    n.name = output;
    n.inputs = std::move(inputs);
    n.outputs = {output};
    return n;
}

Graph graphWithInput(const Dims& dims) {
    Graph g;
    g.opset = 12;
    g.inputs.push_back(GraphInput{"x", dims});
    return g;
}

TEST(OneDnnProgram, BatchNormalizationAndReluFoldIntoTheirConvolution) {
    Graph g = graphWithInput({1, 2, 4, 4});
    // Two output channels over two input channels, 1 x 1.
    g.constants["w"] = floats({2, 2, 1, 1}, {1.0f, 2.0f, 3.0f, 4.0f});
    g.constants["b"] = floats({2}, {0.5f, -1.0f});
    g.constants["scale"] = floats({2}, {2.0f, 0.5f});
    g.constants["shift"] = floats({2}, {1.0f, 0.0f});
    g.constants["mean"] = floats({2}, {0.25f, 1.0f});
    g.constants["var"] = floats({2}, {3.0f, 15.0f});
    g.nodes.push_back(node("Conv", {"x", "w", "b"}, "c"));
    Node bn = node("BatchNormalization", {"c", "scale", "shift", "mean", "var"}, "n");
    bn.attrs["epsilon"].f = 1.0f;
    g.nodes.push_back(bn);
    g.nodes.push_back(node("Relu", {"n"}, "y"));
    g.outputs = {"y"};

    const Program program = buildProgram(g);

    ASSERT_EQ(program.steps.size(), 1u);
    const Op& op = *program.steps[0].op;
    EXPECT_EQ(op.kind, OpKind::Conv);
    EXPECT_EQ(op.input, "x");
    EXPECT_EQ(op.output, "y");
    ASSERT_EQ(op.postOps.size(), 1u);
    EXPECT_EQ(op.postOps[0].kind, PostKind::Relu);
    // Channel 0 is scaled by 2 / sqrt(3 + 1) = 1, channel 1 by 0.5 / sqrt(15 + 1) = 0.125.
    const std::vector<float> weights{1.0f, 2.0f, 0.375f, 0.5f};
    const std::vector<float> bias{(0.5f - 0.25f) * 1.0f + 1.0f, (-1.0f - 1.0f) * 0.125f};
    EXPECT_EQ(op.weights, weights);
    EXPECT_EQ(op.bias, bias);
    // The file's weights now live folded in the step only.
    EXPECT_EQ(g.constants.count("w"), 0u);
    EXPECT_EQ(program.lastReader.at("y"), INT_MAX);
}

TEST(OneDnnProgram, AResultReadTwiceStaysAndIsAddedByTheLaterConvolution) {
    Graph g = graphWithInput({1, 2, 4, 4});
    g.constants["w1"] = floats({2, 2, 1, 1}, {1.0f, 0.0f, 0.0f, 1.0f});
    g.constants["w2"] = floats({2, 2, 1, 1}, {0.5f, 0.5f, 0.5f, 0.5f});
    g.nodes.push_back(node("Conv", {"x", "w1"}, "a"));
    g.nodes.push_back(node("Conv", {"a", "w2"}, "b"));
    g.nodes.push_back(node("Add", {"b", "a"}, "y"));
    g.nodes.push_back(node("Sigmoid", {"y"}, "z"));
    // Both the sum and what follows it are outputs, so the sigmoid is not fused.
    g.outputs = {"y", "z"};

    const Program program = buildProgram(g);

    ASSERT_EQ(program.steps.size(), 3u);
    const Op& first = *program.steps[0].op;
    EXPECT_EQ(first.output, "a");
    EXPECT_TRUE(first.postOps.empty());
    const Op& second = *program.steps[1].op;
    EXPECT_EQ(second.input, "a");
    EXPECT_EQ(second.output, "y");
    ASSERT_EQ(second.postOps.size(), 1u);
    EXPECT_EQ(second.postOps[0].kind, PostKind::Sum);
    EXPECT_EQ(second.postOps[0].operand, "a");
    EXPECT_EQ(program.steps[2].op->node->op, "Sigmoid");
    // The addend is last read by the step that adds it, which may then write over it.
    EXPECT_EQ(program.lastReader.at("a"), 1);
    EXPECT_EQ(program.lastReader.at("y"), INT_MAX);
}

TEST(OneDnnProgram, RefusesAnOperatorItCannotRunNamingIt) {
    Graph g = graphWithInput({1, 2, 4, 4});
    g.nodes.push_back(node("LSTM", {"x"}, "y"));
    g.outputs = {"y"};
    try {
        buildProgram(g);
        FAIL() << "an LSTM was accepted";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("'LSTM' (node 'y')"), std::string::npos) << e.what();
    }
}

} // namespace
} // namespace tallymere::onednn
