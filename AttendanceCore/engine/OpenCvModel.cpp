#include "engine/OpenCvModel.h"

#include <cstring>

namespace tallymere {

OpenCvModel::OpenCvModel(const std::filesystem::path& path)
    : net(cv::dnn::readNetFromONNX(path.string())) {
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    outputNames = net.getUnconnectedOutLayersNames();
}

std::map<std::string, Tensor> OpenCvModel::run(const std::vector<TensorInput>& inputs) {
    std::vector<cv::Mat> outputs;
    {
        const std::lock_guard<std::mutex> guard(mutex);
        for (const auto& input : inputs) {
            std::vector<int> sizes(input.shape.begin(), input.shape.end());
            // A view of the caller's floats; the network copies it into its own input blob.
            const cv::Mat blob(static_cast<int>(sizes.size()), sizes.data(), CV_32F,
                               const_cast<float*>(input.data));
            net.setInput(blob, input.name);
        }
        net.forward(outputs, outputNames);
        // The outputs share the network's buffers: copy them out before the next pass may run.
        std::map<std::string, Tensor> result;
        for (std::size_t k = 0; k < outputs.size() && k < outputNames.size(); ++k) {
            cv::Mat m = outputs[k].isContinuous() ? outputs[k] : outputs[k].clone();
            Tensor t;
            t.type = m.depth() == CV_16F ? ElementType::Float16 : ElementType::Float32;
            if (m.depth() != CV_16F && m.depth() != CV_32F) m.convertTo(m, CV_32F);
            for (int d = 0; d < m.dims; ++d)
                t.shape.push_back(m.size[d]);
            const std::size_t bytes = m.total() * m.elemSize();
            t.bytes.resize(bytes);
            std::memcpy(t.bytes.data(), m.data, bytes);
            result.emplace(outputNames[k], std::move(t));
        }
        return result;
    }
}

} // namespace tallymere
