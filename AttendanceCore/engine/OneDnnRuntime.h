#pragma once

#include "engine/ModelRuntime.h"

#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tallymere {

// A model this runtime cannot run (unreadable file, an operator or form outside its set) or a call
// with inputs that do not fit the model. At load it means "use another runtime for this file".
class OneDnnError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Loads an ONNX model onto oneDNN. Shapes are fixed at load except the leading (batch) dimension of
// each input; a new batch size prepares its primitives once on first use. A precision other than
// Full uses bfloat16 where the processor has bfloat16 instructions (see `Precision`).
// Weights are folded (batch normalisation) and reordered for the processor once. Runs may overlap
// on several threads: each thread computes in its own reusable memory.
// Throws OneDnnError when the file cannot be read or needs something this runtime lacks; the
// message names the file and, for an operator, the operator.
std::unique_ptr<Model> loadOneDnnModel(const std::filesystem::path& path, Precision precision);
// The same with compute units (see `precisionForUnits`).
std::unique_ptr<Model> loadOneDnnModel(const std::filesystem::path& path, int computeUnits);

// Whether a reduced precision gets bfloat16 on this processor.
bool oneDnnHasBf16();

// Whether the processor has the 8-bit dot products oneDNN computes with (VNNI or AMX).
bool oneDnnHasInt8();

// The largest magnitude each tensor a model computes reaches, by tensor name.
using ActivationRanges = std::map<std::string, float>;

// Runs the model in 32-bit floats on each batch and returns the ranges over all of them: what an
// 8-bit model's scales come from, so the batches should be real inputs (aligned faces for a
// recogniser). Throws OneDnnError as loading does.
ActivationRanges measureOneDnnRanges(const std::filesystem::path& path,
                                     const std::vector<TensorInput>& batches);

// The model with its convolutions and matrix products computing in 8 bits (weights per output
// channel, inputs scaled by `ranges`) and writing bfloat16 results where the processor has
// bfloat16, else 32-bit ones; meant for a processor with 8-bit instructions (oneDnnHasInt8).
// Layers that read raw pixels, depthwise convolutions, layers without a range and those without
// a fast 8-bit kernel compute in that other precision. A normalisation read only by 8-bit layers
// writes their 8-bit input directly.
std::unique_ptr<Model> loadOneDnnModel(const std::filesystem::path& path,
                                       const ActivationRanges& ranges);

} // namespace tallymere
