#include "engine/ModelRuntime.h"

#include "engine/OneDnnRuntime.h"
#include "engine/OpenCvModel.h"

#include <cstdlib>
#include <string_view>

namespace tallymere {

std::int64_t Tensor::elementCount() const {
    std::int64_t n = 1;
    for (const auto d : shape)
        n *= d;
    return n;
}

Precision precisionForUnits(int computeUnits) {
    return computeUnits == 2 ? Precision::Reduced : Precision::Full;
}

std::unique_ptr<Model> loadModel(const std::filesystem::path& path, int computeUnits) {
    return loadModel(path, precisionForUnits(computeUnits));
}

std::unique_ptr<Model> loadModel(const std::filesystem::path& path, Precision precision) {
    // "TALLYMERE_RUNTIME" picks the runtime: "onednn" (the default) or "opencv". A file the
    // oneDNN runtime refuses (an operator or form outside its set) runs on OpenCV instead. Both
    // execute on the processor; only oneDNN uses bfloat16, where the processor has it.
    const char* runtime = std::getenv("TALLYMERE_RUNTIME");
    if (!runtime || std::string_view(runtime) != "opencv") {
        try {
            return loadOneDnnModel(path, precision);
        } catch (const OneDnnError&) {
        }
    }
    return std::make_unique<OpenCvModel>(path);
}

} // namespace tallymere
