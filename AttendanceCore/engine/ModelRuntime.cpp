#include "engine/ModelRuntime.h"

#include "engine/OpenCvModel.h"

namespace tallymere {

std::int64_t Tensor::elementCount() const {
    std::int64_t n = 1;
    for (const auto d : shape)
        n *= d;
    return n;
}

std::unique_ptr<Model> loadModel(const std::filesystem::path& path, int computeUnits) {
    // Every runtime here executes on the processor, whatever the compute units ask for.
    (void)computeUnits;
    return std::make_unique<OpenCvModel>(path);
}

} // namespace tallymere
