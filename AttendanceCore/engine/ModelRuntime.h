#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tallymere {

// Element types a model output may hold.
enum class ElementType { Float32, Float16 };

// One model output: dense row-major elements of `type`.
struct Tensor {
    ElementType type = ElementType::Float32;
    std::vector<std::int64_t> shape;
    std::vector<std::uint8_t> bytes;

    std::int64_t elementCount() const;
};

// One named model input: a dense row-major float32 tensor owned by the caller.
struct TensorInput {
    std::string name;
    std::vector<std::int64_t> shape;
    const float* data = nullptr;
};

// A loaded model: "run it on named inputs, read named outputs". Which runtime executes it is an
// internal choice of `loadModel`.
class Model {
public:
    virtual ~Model() = default;
    // One forward pass; returns every graph output by name. Safe to call from several threads.
    virtual std::map<std::string, Tensor> run(const std::vector<TensorInput>& inputs) = 0;
    // A short name of the runtime executing this model ("onednn", "opencv").
    virtual std::string runtimeName() const = 0;
};

// Loads an ONNX model file. computeUnits: 1 = processor and graphics processor, 2 = all units
// (both mean the processor here; 2 allows reduced precision where the runtime supports it).
// Throws the runtime's own error when the file cannot be loaded.
std::unique_ptr<Model> loadModel(const std::filesystem::path& path, int computeUnits);

} // namespace tallymere
