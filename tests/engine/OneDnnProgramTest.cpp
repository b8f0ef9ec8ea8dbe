// The oneDNN runtime's program on graphs built in memory: which nodes are folded or fused into
// one step, with what weights. Numerical agreement is checked on whole models elsewhere; here a
// lost fusion, which changes no result but the speed, is caught too.

#include "engine/OneDnnRuntime.h"
#include "engine/onednn/Program.h"

#include <climits>
#include <gtest/gtest.h>
#include <string>

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

// The runtime's error text for a graph it refuses; empty when it builds a program.
std::string refusal(Graph g) {
    try {
        buildProgram(g);
    } catch (const OneDnnError& e) {
        return e.what();
    }
    return "";
}

TEST(OneDnnProgram, RefusesWhatItCannotRunNamingTheCause) {
    Graph unknown = graphWithInput({1, 2, 4, 4});
    unknown.nodes.push_back(node("LSTM", {"x"}, "y"));
    unknown.outputs = {"y"};
    EXPECT_NE(refusal(unknown).find("'LSTM' (node 'y')"), std::string::npos) << refusal(unknown);

    // A normalisation's running statistics are computed, but the runtime tracks no shape for
    // them: asking for it is refused, not read through a missing value.
    Graph statistics = graphWithInput({1, 2, 4, 4});
    statistics.constants["scale"] = floats({2}, {1.0f, 1.0f});
    statistics.constants["shift"] = floats({2}, {0.0f, 0.0f});
    statistics.constants["mean"] = floats({2}, {0.0f, 0.0f});
    statistics.constants["var"] = floats({2}, {1.0f, 1.0f});
    Node bn = node("BatchNormalization", {"x", "scale", "shift", "mean", "var"}, "n");
    bn.outputs.push_back("runningMean");
    statistics.nodes.push_back(bn);
    statistics.nodes.push_back(node("Shape", {"runningMean"}, "s"));
    statistics.nodes.push_back(node("Reshape", {"n", "s"}, "y"));
    statistics.outputs = {"y"};
    EXPECT_NE(refusal(statistics).find("reads 'runningMean'"), std::string::npos)
        << refusal(statistics);
}

} // namespace
} // namespace tallymere::onednn
