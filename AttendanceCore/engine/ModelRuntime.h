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

// How much of a model may compute in bfloat16 on a processor with bfloat16 instructions; on any
// other processor every model runs in 32-bit floats.
enum class Precision {
    // 32-bit floats throughout.
    Full,
    // bfloat16 inside the network only: its first layers, which see the picture at its finest,
    // and the layers that write its outputs stay in 32 bits, so that boxes and landmarks keep
    // their places.
    Interior,
    // bfloat16 in every layer that reads more than a handful of channels.
    Reduced,
};

// Loads an ONNX model file to run at the given precision. Throws the runtime's own error when the
// file cannot be loaded.
std::unique_ptr<Model> loadModel(const std::filesystem::path& path, Precision precision);

// The same with compute units: 1 = processor and graphics processor, 2 = all units (both mean the
// processor here; 2 allows reduced precision throughout, anything else runs in 32-bit floats).
std::unique_ptr<Model> loadModel(const std::filesystem::path& path, int computeUnits);

// The precision compute units allow a model as a whole.
Precision precisionForUnits(int computeUnits);

} // namespace tallymere
