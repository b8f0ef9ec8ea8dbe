#include "engine/OneDnnRuntime.h"

#include "engine/onednn/OnnxGraph.h"
#include "engine/onednn/Plan.h"
#include "engine/onednn/PlanBuilder.h"
#include "engine/onednn/Program.h"
#include "engine/onednn/Shapes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <oneapi/dnnl/dnnl.hpp>
#include <optional>
#include <pmmintrin.h>
#include <string>
#include <vector>

namespace tallymere {

namespace {

using namespace onednn;
using dnnl::memory;
using DataType = memory::data_type;

class OneDnnModel final : public Model {
public:
    // With ranges, in 8 bits where it can; observing, in 32-bit floats recording ranges.
    OneDnnModel(const std::filesystem::path& path, Precision precision,
                ActivationRanges ranges = {}, bool observing = false);

    std::map<std::string, Tensor> run(const std::vector<TensorInput>& inputs) override;
    std::string runtimeName() const override { return "onednn"; }

    Graph graph;
    Program program;
    DataType type = DataType::f32;
    bool mixed = false; // bfloat16 inside the network only
    std::string fileName;
    ActivationRanges ranges;
    bool observing = false;
    std::mutex observedMutex;
    ActivationRanges observed;

private:
    std::mutex plansMutex_;
    std::map<std::vector<Dims>, std::shared_ptr<Plan>> plans_;

    std::shared_ptr<Plan> plan(const std::vector<Dims>& shapes);
    std::map<std::string, Tensor> runPlan(const std::vector<const TensorInput*>& bound,
                                          const std::vector<Dims>& shapes);
    std::optional<std::map<std::string, Tensor>> runInSteps(const TensorInput& input,
                                                            const Dims& shape);
};

// While a model runs, numbers too small for a normal float count as zero on the threads that
// compute: the calling thread and the team oneDNN runs in parallel from it. Published models make
// such numbers in their activations, and every product with one takes the processor's slow path,
// several times slower (a recogniser ran 2.5 times slower in bfloat16, 17 times in 32-bit floats),
// for a contribution far below the last bit of any sum it joins. The team's threads do nothing
// else; the calling thread gets its own setting back.
class SubnormalsAsZero {
public:
    SubnormalsAsZero() : saved_(_mm_getcsr()) {
        _mm_setcsr(saved_ | flags);
        thread_local bool teamSet = false;
        if (!teamSet) {
#pragma omp parallel
            _mm_setcsr(_mm_getcsr() | flags);
            teamSet = true;
        }
    }
    ~SubnormalsAsZero() {
        _mm_setcsr(saved_);
    }
    SubnormalsAsZero(const SubnormalsAsZero&) = delete;
    SubnormalsAsZero& operator=(const SubnormalsAsZero&) = delete;

private:
    static constexpr unsigned flags = _MM_FLUSH_ZERO_ON | _MM_DENORMALS_ZERO_ON;
    unsigned saved_;
};

// Largest batch one plan is prepared for. Batches are run in steps of powers of two up to this,
// so a model keeps at most five plans however the number of faces varies: preparing a plan costs
// about as much as running dozens of faces, and its primitives and memory stay for the model's
// life.
constexpr std::int64_t largestBatchStep = 16;

bool isBatchStep(std::int64_t n) {
    return n >= 1 && n <= largestBatchStep && (n & (n - 1)) == 0;
}

// The share of a tensor's magnitudes an 8-bit scale covers; the rest saturate. The largest
// magnitude itself is a rare outlier that costs every other value resolution: on the shared
// recogniser and recording (with results rounded to 8 bits too), covering all gave a mean
// cosine to 32 bits of 0.980 (worst face 0.934), 99.99% 0.989 (0.962), 99.995% 0.990 (0.976),
// 99.997% 0.989 (0.971).
constexpr double rangeQuantile = 0.99995;

// ---------------------------------------------------------------------------------------------
// Loading

OneDnnModel::OneDnnModel(const std::filesystem::path& path, Precision precision,
                         ActivationRanges ranges_, bool observing_)
    : fileName(path.filename().string()), ranges(std::move(ranges_)), observing(observing_) {
    graph = readOnnxGraph(path);
    // The model's precision; PlanBuilder::precisionFor decides each layer's from it.
    type = precision != Precision::Full && oneDnnHasBf16() ? DataType::bf16 : DataType::f32;
    mixed = precision == Precision::Interior;
    try {
        program = buildProgram(graph);
        std::vector<Dims> shapes;
        for (const auto& in : graph.inputs) {
            Dims d = in.dims;
            for (auto& v : d)
                if (v < 0) v = 1;
            shapes.push_back(d);
        }
        plan(shapes);
    } catch (const OneDnnError& e) {
        throw OneDnnError(fileName + ": " + e.what());
    } catch (const dnnl::error& e) {
        throw OneDnnError(fileName + ": oneDNN cannot run this model (" + e.what() + ")");
    }
}

std::shared_ptr<Plan> OneDnnModel::plan(const std::vector<Dims>& shapes) {
    std::lock_guard lock(plansMutex_);
    if (auto it = plans_.find(shapes); it != plans_.end()) return it->second;
    auto p = std::make_shared<Plan>();
    PlanBuilder(graph, program, type, mixed, *p, shapes, ranges.empty() ? nullptr : &ranges,
                observing)
        .build();
    plans_.emplace(shapes, p);
    return p;
}

// ---------------------------------------------------------------------------------------------
// Running

std::map<std::string, Tensor> OneDnnModel::run(const std::vector<TensorInput>& inputs) {
    std::vector<const TensorInput*> bound(graph.inputs.size(), nullptr);
    for (const TensorInput& in : inputs) {
        std::size_t k = 0;
        while (k < graph.inputs.size() && graph.inputs[k].name != in.name)
            ++k;
        if (k == graph.inputs.size()) fail(fileName + " has no input named '" + in.name + "'");
        if (bound[k]) fail(fileName + ": input '" + in.name + "' is given twice");
        bound[k] = &in;
    }
    std::vector<Dims> shapes;
    for (std::size_t k = 0; k < graph.inputs.size(); ++k) {
        const GraphInput& declared = graph.inputs[k];
        if (!bound[k]) fail(fileName + ": input '" + declared.name + "' is missing");
        const TensorInput& in = *bound[k];
        bool fits = in.shape.size() == declared.dims.size() && in.data != nullptr;
        for (std::size_t d = 0; fits && d < in.shape.size(); ++d)
            fits = in.shape[d] > 0 &&
                   (d == 0 || declared.dims[d] < 0 || declared.dims[d] == in.shape[d]);
        if (!fits)
            fail(fileName + ": input '" + declared.name + "' has shape " + shapeText(in.shape) +
                 ", the model expects " + shapeText(declared.dims));
        shapes.push_back(in.shape);
    }
    if (shapes.size() == 1 && !isBatchStep(shapes[0][0]))
        if (auto joined = runInSteps(*bound[0], shapes[0])) return std::move(*joined);
    return runPlan(bound, shapes);
}

// A batch of a size that has no plan, run as consecutive steps that have one (47 faces: 16, 16,
// 8, 4, 2, 1) and joined along the batch axis. Empty when an output does not have one row per
// batch item, so that the batch must run whole.
std::optional<std::map<std::string, Tensor>> OneDnnModel::runInSteps(const TensorInput& input,
                                                                     const Dims& shape) {
    const std::int64_t total = shape[0];
    const std::size_t perItem = std::size_t(product(shape) / total);
    std::map<std::string, Tensor> joined;
    for (std::int64_t done = 0; done < total;) {
        std::int64_t step = largestBatchStep;
        while (step > total - done)
            step /= 2;
        Dims part = shape;
        part[0] = step;
        const std::shared_ptr<Plan> p = plan({part});
        for (std::size_t k = 0; k < p->outputShapes.size(); ++k)
            if (p->staticOutputs[k] || p->outputShapes[k].empty() || p->outputShapes[k][0] != step)
                return std::nullopt;
        const TensorInput slice{input.name, part, input.data + std::size_t(done) * perItem};
        auto results = runPlan({&slice}, {part});
        if (done == 0) {
            joined = std::move(results);
            for (auto& [name, t] : joined)
                t.bytes.reserve(t.bytes.size() / std::size_t(step) * std::size_t(total));
        } else {
            for (auto& [name, t] : results) {
                Tensor& whole = joined.at(name);
                whole.bytes.insert(whole.bytes.end(), t.bytes.begin(), t.bytes.end());
                whole.shape[0] += step;
            }
        }
        done += step;
    }
    return joined;
}

std::map<std::string, Tensor> OneDnnModel::runPlan(const std::vector<const TensorInput*>& bound,
                                                   const std::vector<Dims>& shapes) {
    try {
        std::shared_ptr<Plan> p = plan(shapes);
        Arena& arena = threadArena();
        arena.reserve(p->activationBytes + p->scratchBytes);
        Context& ctx = p->context(arena.data, arena.generation);

        std::map<std::string, Tensor> results;
        std::vector<Tensor*> outputs;
        for (std::size_t k = 0; k < graph.outputs.size(); ++k) {
            Tensor& t = results[graph.outputs[k]];
            t.type = ElementType::Float32;
            t.shape = p->outputShapes[k];
            if (p->staticOutputs[k]) {
                const auto values = p->staticOutputs[k]->asFloats();
                t.bytes.resize(values.size() * sizeof(float));
                std::memcpy(t.bytes.data(), values.data(), t.bytes.size());
            } else {
                t.bytes.resize(std::size_t(product(t.shape)) * sizeof(float));
            }
            outputs.push_back(&t);
        }
        for (auto& [slot, m] : ctx.inputs)
            m.set_data_handle(const_cast<float*>(bound[std::size_t(slot)]->data));
        for (auto& [slot, m] : ctx.outputs)
            m.set_data_handle(outputs[std::size_t(slot)]->bytes.data());
        const SubnormalsAsZero flushed;
        dnnl::stream& stream = threadStream();
        if (p->observations.empty()) {
            for (std::size_t e = 0; e < p->execs.size(); ++e)
                p->execs[e].primitive.execute(stream, ctx.args[e]);
            stream.wait();
            return results;
        }
        std::vector<std::pair<std::string, float>> seen;
        std::size_t next = 0;
        for (std::size_t e = 0; e < p->execs.size(); ++e) {
            p->execs[e].primitive.execute(stream, ctx.args[e]);
            stream.wait();
            for (; next < p->observations.size() && p->observations[next].exec == int(e); ++next) {
                const Observation& o = p->observations[next];
                const auto* v =
                    reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(arena.data) +
                                                   p->roots[std::size_t(o.root)].offset);
                std::vector<float> magnitudes(o.bytes / sizeof(float));
                for (std::size_t k = 0; k < magnitudes.size(); ++k)
                    magnitudes[k] = std::abs(v[k]);
                const auto at = magnitudes.begin() +
                                std::ptrdiff_t(double(magnitudes.size() - 1) * rangeQuantile);
                std::nth_element(magnitudes.begin(), at, magnitudes.end());
                seen.emplace_back(o.name, *at);
            }
        }
        std::lock_guard lock(observedMutex);
        for (const auto& [name, largest] : seen)
            observed[name] = std::max(observed[name], largest);
        return results;
    } catch (const dnnl::error& e) {
        throw OneDnnError(fileName + ": oneDNN failed (" + e.what() + ")");
    }
}

} // namespace

bool oneDnnHasBf16() {
    const auto isa = static_cast<unsigned>(dnnl::get_effective_cpu_isa());
    const auto bf16 = static_cast<unsigned>(dnnl::cpu_isa::avx512_core_bf16);
    return (isa & bf16) == bf16;
}

bool oneDnnHasInt8() {
    const auto isa = static_cast<unsigned>(dnnl::get_effective_cpu_isa());
    for (const auto wanted : {dnnl::cpu_isa::avx512_core_vnni, dnnl::cpu_isa::avx2_vnni,
                              dnnl::cpu_isa::avx512_core_amx}) {
        const auto bits = static_cast<unsigned>(wanted);
        if ((isa & bits) == bits) return true;
    }
    return false;
}

ActivationRanges measureOneDnnRanges(const std::filesystem::path& path,
                                     const std::vector<TensorInput>& batches) {
    OneDnnModel model(path, Precision::Full, {}, true);
    for (const TensorInput& batch : batches)
        model.run({batch});
    return model.observed;
}

std::unique_ptr<Model> loadOneDnnModel(const std::filesystem::path& path,
                                       const ActivationRanges& ranges) {
    return std::make_unique<OneDnnModel>(path, Precision::Reduced, ranges);
}

std::unique_ptr<Model> loadOneDnnModel(const std::filesystem::path& path, Precision precision) {
    return std::make_unique<OneDnnModel>(path, precision);
}

std::unique_ptr<Model> loadOneDnnModel(const std::filesystem::path& path, int computeUnits) {
    return loadOneDnnModel(path, precisionForUnits(computeUnits));
}

} // namespace tallymere
