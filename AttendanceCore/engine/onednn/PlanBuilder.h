#pragma once

// Building a plan for one set of input shapes: the program's steps made into oneDNN primitives
// with concrete shapes, layouts and precisions, and the arena they run in laid out.

#include "engine/onednn/OnnxGraph.h"
#include "engine/onednn/Plan.h"
#include "engine/onednn/Program.h"
#include "engine/onednn/Shapes.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <oneapi/dnnl/dnnl.hpp>
#include <string>
#include <utility>
#include <vector>

namespace tallymere::onednn {

// Largest magnitude of each computed tensor, by name, over real inputs in 32-bit floats: an 8-bit
// tensor's scale is its range over 127.
using Ranges = std::map<std::string, float>;

// Builds one plan: walks the program with concrete shapes, creates primitives, lays out memory.
class PlanBuilder {
public:
    // `type` is the model's precision, `mixed` whether it applies inside the network only
    // (precisionFor keeps some layers in 32-bit floats); the program's operators keep the
    // weights reordered for the primitives made here. With `ranges`, convolutions and matrix
    // products that can compute in 8 bits do (see precisionFor) and `type` is the precision of
    // the others. `observing` makes a plan that records every computed tensor's range.
    PlanBuilder(const Graph& graph, Program& program, dnnl::memory::data_type type, bool mixed,
                Plan& plan, const std::vector<Dims>& inputShapes, const Ranges* ranges = nullptr,
                bool observing = false);
    void build();

private:
    struct Value {
        Dims shape;
        MemRef ref;
    };

    const Graph& graph_;
    Program& program_;
    dnnl::memory::data_type type_;
    bool mixed_;
    Plan& plan_;
    const std::vector<Dims>& inputShapes_;
    const Ranges* ranges_;
    bool observing_;
    std::map<std::string, Value> values_;
    std::map<std::string, HostTensor> statics_;
    std::map<int, std::vector<std::string>> rootNames_; // values sharing an arena root
    std::vector<std::pair<std::pair<std::string, dnnl::memory::desc>, MemRef>> converted_;
    int step_ = 0;

    const HostTensor* staticValue(const std::string& name) const;
    const Value& value(const std::string& name, const Node& node) const;
    int newRoot(const dnnl::memory::desc& desc);
    void bind(const std::string& name, Dims shape, MemRef ref);
    void addExec(dnnl::primitive primitive, std::vector<std::pair<int, MemRef>> args,
                 const dnnl::primitive_desc_base& pd);
    MemRef freshRef(const dnnl::memory::desc& desc);
    MemRef ensure(const std::string& name, const dnnl::memory::desc& want, float scale = 1);
    float scaleOf(const std::string& name) const;
    void copyInto(const MemRef& from, const MemRef& to);
    bool isPlain(const MemRef& ref) const;
    dnnl::memory::data_type precisionFor(const Op& op, std::int64_t inputChannels) const;
    bool in8Bits(const Op& op, std::int64_t inputChannels) const;
    dnnl::memory::data_type resultPrecision(const Op& op, dnnl::memory::data_type computed) const;

    void buildOp(Op& op);
    void buildConvolution(Op& op, bool allow8Bits = true);
    bool readOnlyIn8Bits(const std::string& name) const;
    bool buildScaling(Op& op);
    void observe(const MemRef& ref, const std::string& name);
    void buildInnerProduct(Op& op, bool allow8Bits = true);
    void buildSingle(const Node& node);
    dnnl::post_ops postOps(const Op& op, std::size_t count,
                           std::vector<std::pair<int, MemRef>>& args, const Dims& out);
    void applyAfter(const PostOp& p, const MemRef& dst, const Dims& out);
    const dnnl::memory& reorderedWeights(Op& op, const dnnl::memory::desc& want, const Dims& dims);
    std::vector<float> weightScales(const Op& op) const;

    // How one convolution or matrix product computes: in 8 bits, with the input's scale and the
    // weights' scales folded into its output scales and bias, or in `type` as the others do.
    struct LayerNumbers {
        dnnl::memory::data_type type;
        dnnl::memory::data_type dstType;
        bool int8;
        float srcScale;
        std::vector<float> outputScales;
        std::vector<float> bias;
    };
    LayerNumbers numbersFor(const Op& op, std::int64_t inputChannels, bool allow8Bits) const;
};

} // namespace tallymere::onednn
