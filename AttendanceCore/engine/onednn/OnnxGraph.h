#pragma once

// The ONNX graph as the oneDNN runtime sees it: nodes with decoded attributes, constant tensors
// held in memory, and the small host arithmetic that evaluates shape sub-graphs and constants.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tallymere::onednn {

// Throws OneDnnError carrying `text`, the one error of this runtime.
[[noreturn]] void fail(const std::string& text);

// A tensor known without running the model: an initializer, a Constant, or a folded shape value.
// Integer tensors (shapes, indices) keep their values in `ints`, all others in `floats`.
struct HostTensor {
    bool isInt = false;
    std::vector<std::int64_t> shape;
    std::vector<float> floats;
    std::vector<std::int64_t> ints;

    std::int64_t count() const;
    double at(std::size_t k) const { return isInt ? double(ints[k]) : double(floats[k]); }
    std::vector<std::int64_t> asInts() const;
    std::vector<float> asFloats() const;
};

struct Attribute {
    std::int64_t i = 0;
    float f = 0;
    std::string s;
    std::vector<std::int64_t> ints;
    std::vector<float> floats;
    std::optional<HostTensor> t;
};

struct Node {
    std::string op;
    std::string name;
    std::vector<std::string> inputs; // "" marks an omitted optional input
    std::vector<std::string> outputs;
    std::map<std::string, Attribute> attrs;

    bool has(const std::string& key) const { return attrs.count(key) != 0; }
    std::int64_t attrInt(const std::string& key, std::int64_t fallback) const;
    float attrFloat(const std::string& key, float fallback) const;
    std::string attrString(const std::string& key, const std::string& fallback) const;
    std::vector<std::int64_t> attrInts(const std::string& key,
                                       const std::vector<std::int64_t>& fallback = {}) const;
    // The input at `index`, or "" when the node has fewer inputs.
    const std::string& input(std::size_t index) const;
    // "'Conv' (node 'conv_3')" for error texts.
    std::string describe() const;
};

struct GraphInput {
    std::string name;
    std::vector<std::int64_t> dims; // -1 where the file leaves a dimension free
};

struct Graph {
    std::vector<Node> nodes; // in file order, which ONNX requires to be topological
    std::map<std::string, HostTensor> constants;
    std::vector<GraphInput> inputs;
    std::vector<std::string> outputs;
    std::int64_t opset = 0;
};

// Reads and decodes a model file; throws OneDnnError when it is unreadable or uses a form this
// runtime does not read (external weight files, unsupported element types).
Graph readOnnxGraph(const std::filesystem::path& path);

// Whether `op` can run on the host when all its inputs are known at load.
bool evaluatesOnHost(const std::string& op);

// Runs one host-evaluable node; `inputs` follow the node's inputs (nullptr for omitted ones).
std::vector<HostTensor>
evaluateOnHost(const Node& node, const std::vector<const HostTensor*>& inputs, std::int64_t opset);

// Numpy-style broadcast of two shapes; throws OneDnnError naming `node` when they do not match.
std::vector<std::int64_t> broadcastShapes(const std::vector<std::int64_t>& a,
                                          const std::vector<std::int64_t>& b, const Node& node);

std::string shapeText(const std::vector<std::int64_t>& shape);

} // namespace tallymere::onednn
