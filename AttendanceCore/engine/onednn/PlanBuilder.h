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

// Builds one plan: walks the program with concrete shapes, creates primitives, lays out memory.
class PlanBuilder {
public:
    // `type` is the model's precision, `mixed` whether it applies inside the network only
    // (precisionFor keeps some layers in 32-bit floats); the program's operators keep the
    // weights reordered for the primitives made here.
    PlanBuilder(const Graph& graph, Program& program, dnnl::memory::data_type type, bool mixed,
                Plan& plan, const std::vector<Dims>& inputShapes);
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
    MemRef ensure(const std::string& name, const dnnl::memory::desc& want);
    void copyInto(const MemRef& from, const MemRef& to);
    bool isPlain(const MemRef& ref) const;
    dnnl::memory::data_type precisionFor(const Op& op, std::int64_t inputChannels) const;
    dnnl::memory::data_type resultPrecision(const Op& op, dnnl::memory::data_type computed) const;

    void buildOp(Op& op);
    void buildConvolution(Op& op);
    void buildInnerProduct(Op& op);
    void buildSingle(const Node& node);
    dnnl::post_ops postOps(const Op& op, std::size_t count,
                           std::vector<std::pair<int, MemRef>>& args, const Dims& out);
    void applyAfter(const PostOp& p, const MemRef& dst, const Dims& out);
    const dnnl::memory& reorderedWeights(Op& op, const dnnl::memory::desc& want, const Dims& dims);
};

} // namespace tallymere::onednn
