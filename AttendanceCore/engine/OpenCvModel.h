#pragma once

#include "engine/ModelRuntime.h"

#include <filesystem>
#include <mutex>
#include <opencv2/dnn.hpp>
#include <string>
#include <vector>

namespace tallymere {

// An ONNX model run by OpenCV's DNN module on the processor. One network must not run two forward
// passes at once, so each model has its own lock held for one pass: callers of the same model
// take turns while different models run side by side (each pass already uses every core).
class OpenCvModel : public Model {
public:
    // Throws OpenCV's error when the file cannot be read or parsed.
    explicit OpenCvModel(const std::filesystem::path& path);

    std::map<std::string, Tensor> run(const std::vector<TensorInput>& inputs) override;
    std::string runtimeName() const override { return "opencv"; }

private:
    cv::dnn::Net net;
    std::vector<std::string> outputNames;
    std::mutex mutex;
};

} // namespace tallymere
