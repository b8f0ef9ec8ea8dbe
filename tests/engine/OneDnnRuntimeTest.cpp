// The oneDNN model runtime on small graphs built here: every operator it runs is checked against
// OpenCV's DNN module on the same file, plus refusals, batching, input checks and concurrency.

#include "engine/OneDnnRuntime.h"

#include "engine/OpenCvModel.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <onnx/onnx_pb.h>
#include <optional>
#include <random>
#include <thread>
#include <xmmintrin.h>

namespace tallymere {
namespace {

using testing::TempDir;
using Dims = std::vector<std::int64_t>;

// Builds an ONNX file node by node.
class GraphBuilder {
public:
    explicit GraphBuilder(int opset = 12) {
        model_.set_ir_version(7);
        model_.add_opset_import()->set_version(opset);
        graph_ = model_.mutable_graph();
        graph_->set_name("test");
    }

    void input(const std::string& name, const Dims& dims) {
        auto* in = graph_->add_input();
        in->set_name(name);
        auto* t = in->mutable_type()->mutable_tensor_type();
        t->set_elem_type(onnx::TensorProto::FLOAT);
        for (auto d : dims) {
            auto* dim = t->mutable_shape()->add_dim();
            if (d < 0)
                dim->set_dim_param("batch");
            else
                dim->set_dim_value(d);
        }
    }

    void output(const std::string& name) {
        auto* out = graph_->add_output();
        out->set_name(name);
        auto* t = out->mutable_type()->mutable_tensor_type();
        t->set_elem_type(onnx::TensorProto::FLOAT);
        t->mutable_shape();
    }

    // A float initializer of pseudo-random values in [lo, hi).
    std::string weights(const std::string& name, const Dims& dims, float lo = -0.5f,
                        float hi = 0.5f) {
        std::uniform_real_distribution<float> dist(lo, hi);
        std::int64_t n = 1;
        for (auto d : dims)
            n *= d;
        std::vector<float> v(static_cast<std::size_t>(n));
        for (auto& x : v)
            x = dist(rng_);
        return floats(name, dims, v);
    }

    std::string floats(const std::string& name, const Dims& dims,
                       const std::vector<float>& values) {
        auto* t = graph_->add_initializer();
        t->set_name(name);
        t->set_data_type(onnx::TensorProto::FLOAT);
        for (auto d : dims)
            t->add_dims(d);
        t->set_raw_data(std::string(reinterpret_cast<const char*>(values.data()),
                                    values.size() * sizeof(float)));
        return name;
    }

    std::string ints(const std::string& name, const std::vector<std::int64_t>& values) {
        auto* t = graph_->add_initializer();
        t->set_name(name);
        t->set_data_type(onnx::TensorProto::INT64);
        t->add_dims(static_cast<std::int64_t>(values.size()));
        for (auto v : values)
            t->add_int64_data(v);
        return name;
    }

    onnx::NodeProto* node(const std::string& op, const std::vector<std::string>& inputs,
                          const std::string& output) {
        auto* n = graph_->add_node();
        n->set_op_type(op);
        n->set_name(output + "_node");
        for (const auto& i : inputs)
            n->add_input(i);
        n->add_output(output);
        return n;
    }

    static void attr(onnx::NodeProto* n, const std::string& name, std::int64_t v) {
        auto* a = n->add_attribute();
        a->set_name(name);
        a->set_type(onnx::AttributeProto::INT);
        a->set_i(v);
    }
    static void attr(onnx::NodeProto* n, const std::string& name, float v) {
        auto* a = n->add_attribute();
        a->set_name(name);
        a->set_type(onnx::AttributeProto::FLOAT);
        a->set_f(v);
    }
    static void attr(onnx::NodeProto* n, const std::string& name, const std::string& v) {
        auto* a = n->add_attribute();
        a->set_name(name);
        a->set_type(onnx::AttributeProto::STRING);
        a->set_s(v);
    }
    static void attr(onnx::NodeProto* n, const std::string& name, const Dims& v) {
        auto* a = n->add_attribute();
        a->set_name(name);
        a->set_type(onnx::AttributeProto::INTS);
        for (auto x : v)
            a->add_ints(x);
    }

    // Conv with random weights and bias; returns the output name.
    std::string conv(const std::string& in, const std::string& out, std::int64_t cin,
                     std::int64_t cout, std::int64_t k, std::int64_t stride = 1,
                     std::int64_t pad = 0, std::int64_t group = 1) {
        auto* n = node(
            "Conv",
            {in, weights(out + "_w", {cout, cin / group, k, k}), weights(out + "_b", {cout})}, out);
        attr(n, "kernel_shape", Dims{k, k});
        attr(n, "strides", Dims{stride, stride});
        attr(n, "pads", Dims{pad, pad, pad, pad});
        attr(n, "group", group);
        return out;
    }

    // BatchNormalization with sane random statistics.
    std::string batchNorm(const std::string& in, const std::string& out, std::int64_t c) {
        node("BatchNormalization",
             {in, weights(out + "_s", {c}, 0.5f, 1.5f), weights(out + "_b", {c}),
              weights(out + "_m", {c}), weights(out + "_v", {c}, 0.5f, 2.0f)},
             out);
        return out;
    }

    std::filesystem::path save(const std::filesystem::path& path) const {
        std::ofstream f(path, std::ios::binary);
        model_.SerializeToOstream(&f);
        return path;
    }

private:
    onnx::ModelProto model_;
    onnx::GraphProto* graph_;
    std::mt19937 rng_{1234};
};

std::vector<float> randomInput(const Dims& dims, unsigned seed, float lo = 0.0f,
                               float hi = 255.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::int64_t n = 1;
    for (auto d : dims)
        n *= d;
    std::vector<float> v(static_cast<std::size_t>(n));
    for (auto& x : v)
        x = dist(rng);
    return v;
}

std::vector<float> values(const Tensor& t) {
    EXPECT_EQ(t.type, ElementType::Float32);
    std::vector<float> v(t.bytes.size() / sizeof(float));
    std::memcpy(v.data(), t.bytes.data(), t.bytes.size());
    return v;
}

// Item `i` of a batch whose items are `width` values each.
std::vector<float> item(const std::vector<float>& batch, std::size_t i, std::size_t width) {
    return {batch.begin() + std::ptrdiff_t(i * width),
            batch.begin() + std::ptrdiff_t((i + 1) * width)};
}

// Largest difference relative to the reference's largest magnitude.
double relativeError(const std::vector<float>& got, const std::vector<float>& want) {
    EXPECT_EQ(got.size(), want.size());
    double scale = 1e-6, diff = 0;
    for (std::size_t k = 0; k < want.size() && k < got.size(); ++k) {
        scale = std::max(scale, double(std::abs(want[k])));
        diff = std::max(diff, double(std::abs(got[k] - want[k])));
    }
    return diff / scale;
}

std::map<std::string, Tensor> runOne(Model& m, const Dims& shape, const std::vector<float>& data,
                                     const std::string& name = "x") {
    return m.run({TensorInput{name, shape, data.data()}});
}

// Runs the file in both runtimes and expects every output to agree.
void expectAgreement(const std::filesystem::path& file, const Dims& shape, double fp32Tolerance,
                     double bf16Tolerance) {
    // Normalised inputs, as the real models see after their first layer.
    const auto input = randomInput(shape, 99, -1.0f, 1.0f);
    OpenCvModel reference(file);
    const auto want = runOne(reference, shape, input);
    auto fp32 = loadOneDnnModel(file, 1);
    EXPECT_EQ(fp32->runtimeName(), "onednn");
    const auto got = runOne(*fp32, shape, input);
    ASSERT_EQ(got.size(), want.size());
    for (const auto& [name, tensor] : want) {
        ASSERT_TRUE(got.count(name)) << name;
        EXPECT_EQ(got.at(name).shape, tensor.shape) << name;
        EXPECT_LT(relativeError(values(got.at(name)), values(tensor)), fp32Tolerance) << name;
    }
    auto reduced = loadOneDnnModel(file, 2);
    const auto low = runOne(*reduced, shape, input);
    for (const auto& [name, tensor] : want)
        EXPECT_LT(relativeError(values(low.at(name)), values(tensor)), bf16Tolerance) << name;
}

// Residual network pieces: convolutions with groups, strides and padding, folded batch
// normalisation, PReLU and ReLU, residual additions, both poolings (one rounding up), a
// normalisation that follows no convolution, global pooling.
std::filesystem::path residualModel(const TempDir& dir, std::int64_t batch = 1) {
    GraphBuilder g;
    g.input("x", {batch, 3, 19, 19});
    g.conv("x", "c1", 3, 16, 3, 1, 1);
    g.batchNorm("c1", "b1", 16);
    g.node("PRelu", {"b1", g.weights("slope1", {16, 1, 1}, 0.05f, 0.3f)}, "p1");
    g.conv("p1", "c2", 16, 16, 3, 2, 1, 4);
    g.node("Relu", {"c2"}, "r2");
    g.conv("r2", "c3", 16, 16, 3, 1, 1);
    g.batchNorm("c3", "b3", 16);
    g.node("Add", {"b3", "r2"}, "sum3");
    g.node("Relu", {"sum3"}, "r3");
    g.conv("r2", "c4", 16, 16, 1);
    g.node("Add", {"c4", "r3"}, "sum4"); // the addend is still read below: no reuse of its memory
    g.node("Mul", {"r3", "sum4"}, "prod");
    g.batchNorm("prod", "bn", 16);
    g.node("PRelu", {"bn", g.weights("slope2", {16, 1, 1}, 0.05f, 0.3f)}, "p2");
    auto* mp = g.node("MaxPool", {"p2"}, "mp");
    GraphBuilder::attr(mp, "kernel_shape", Dims{3, 3});
    GraphBuilder::attr(mp, "strides", Dims{2, 2});
    GraphBuilder::attr(mp, "pads", Dims{1, 1, 1, 1});
    auto* ap = g.node("AveragePool", {"r3"}, "ap");
    GraphBuilder::attr(ap, "kernel_shape", Dims{2, 2});
    GraphBuilder::attr(ap, "strides", Dims{2, 2});
    GraphBuilder::attr(ap, "ceil_mode", std::int64_t(1));
    g.node("GlobalAveragePool", {"mp"}, "gap");
    g.node("Sigmoid", {"ap"}, "sig");
    g.output("sig");
    g.output("gap");
    g.output("sum4");
    return g.save(dir / "residual.onnx");
}

// Detector-head pieces: nearest upsampling sized by a shape sub-graph, concatenation,
// transposition to rows, reshapes from computed shapes, a scale by a constant, sigmoid scores.
std::filesystem::path headModel(const TempDir& dir) {
    GraphBuilder g(11);
    g.input("x", {1, 3, 32, 32});
    g.conv("x", "f8", 3, 8, 3, 1, 1);
    g.conv("f8", "f16", 8, 8, 3, 2, 1);
    g.node("Relu", {"f16"}, "f16r");
    // Resize f16r to f8's height and width, computed from their shapes as exporters do.
    g.node("Shape", {"f8"}, "shape8");
    g.node("Slice", {"shape8", g.ints("s_start", {2}), g.ints("s_end", {4})}, "hw8");
    g.node("Shape", {"f16r"}, "shape16");
    g.node("Slice", {"shape16", g.ints("s_start0", {0}), g.ints("s_end2", {2})}, "nc16");
    auto* cat = g.node("Concat", {"nc16", "hw8"}, "size8");
    GraphBuilder::attr(cat, "axis", std::int64_t(0));
    g.floats("roi", {0}, {});
    g.floats("scales", {0}, {});
    auto* rs = g.node("Resize", {"f16r", "roi", "scales", "size8"}, "up");
    GraphBuilder::attr(rs, "mode", std::string("nearest"));
    GraphBuilder::attr(rs, "coordinate_transformation_mode", std::string("asymmetric"));
    GraphBuilder::attr(rs, "nearest_mode", std::string("floor"));
    g.node("Add", {"up", "f8"}, "merged");
    auto* cc = g.node("Concat", {"merged", "f8"}, "both");
    GraphBuilder::attr(cc, "axis", std::int64_t(1));
    g.conv("both", "score", 16, 2, 1);
    g.conv("both", "box", 16, 8, 1);
    g.node("Mul", {"box", g.floats("stride", {1}, {0.75f})}, "boxs");
    // [1,C,H,W] -> [1,H,W,C] -> [N, H*W*C/k, k], N taken from the input's shape.
    g.node("Shape", {"x"}, "xshape");
    auto* gather = g.node("Gather", {"xshape", g.ints("zero", {0})}, "n");
    GraphBuilder::attr(gather, "axis", std::int64_t(0));
    auto* t1 = g.node("Transpose", {"score"}, "scoreT");
    GraphBuilder::attr(t1, "perm", Dims{0, 2, 3, 1});
    auto* c1 = g.node("Concat", {"n", g.ints("minus1", {-1}), g.ints("one", {1})}, "scoreShape");
    GraphBuilder::attr(c1, "axis", std::int64_t(0));
    g.node("Reshape", {"scoreT", "scoreShape"}, "scoreRows");
    g.node("Sigmoid", {"scoreRows"}, "scores");
    auto* t2 = g.node("Transpose", {"boxs"}, "boxT");
    GraphBuilder::attr(t2, "perm", Dims{0, 2, 3, 1});
    g.node("Reshape", {"boxT", g.ints("boxShape", {1, -1, 4})}, "boxes");
    g.output("scores");
    g.output("boxes");
    return g.save(dir / "head.onnx");
}

// Recogniser tail: a normalisation after a residual sum, flattening, a fully connected layer with
// a folded normalisation, a plain matrix product.
std::filesystem::path tailModel(const TempDir& dir, std::int64_t batch) {
    GraphBuilder g;
    g.input("x", {batch, 3, 8, 8});
    g.conv("x", "c1", 3, 16, 3, 2, 1);
    g.conv("c1", "c2", 16, 16, 3, 1, 1);
    g.node("Add", {"c1", "c2"}, "s");
    g.batchNorm("s", "bn", 16);
    auto* f = g.node("Flatten", {"bn"}, "flat");
    GraphBuilder::attr(f, "axis", std::int64_t(1));
    auto* gemm = g.node(
        "Gemm", {"flat", g.weights("fc_w", {32, 256}, -0.1f, 0.1f), g.weights("fc_b", {32})}, "fc");
    GraphBuilder::attr(gemm, "transB", std::int64_t(1));
    g.batchNorm("fc", "emb", 32);
    g.node("MatMul", {"emb", g.weights("proj", {32, 8})}, "proj_out");
    g.output("emb");
    g.output("proj_out");
    return g.save(dir / "tail.onnx");
}

TEST(OneDnnRuntime, AgreesWithOpenCvOnEveryOperator) {
    const TempDir dir;
    // Measured: under 4e-7 in 32-bit floats; under 1% in bfloat16 (8 significant bits).
    expectAgreement(residualModel(dir), {1, 3, 19, 19}, 5e-6, 0.03);
    expectAgreement(headModel(dir), {1, 3, 32, 32}, 5e-6, 0.03);
    expectAgreement(tailModel(dir, 1), {1, 3, 8, 8}, 5e-6, 0.03);
}

TEST(OneDnnRuntime, BatchOfManyEqualsSingleRuns) {
    const TempDir dir;
    const auto file = tailModel(dir, -1);
    auto model = loadOneDnnModel(file, 1);
    const Dims one{1, 3, 8, 8};
    const std::size_t per = 3 * 8 * 8;
    // 5 faces run as steps of 4 and 1, 21 as 16, 4 and 1; each output's rows must come back in
    // order, whichever step computed them.
    for (const std::int64_t n : {5, 21}) {
        SCOPED_TRACE(n);
        const auto batch = randomInput({n, 3, 8, 8}, unsigned(n));
        const auto all = runOne(*model, {n, 3, 8, 8}, batch);
        ASSERT_EQ(all.at("emb").shape, (Dims{n, 32}));
        ASSERT_EQ(all.at("proj_out").shape, (Dims{n, 8}));
        for (const auto& [name, width] : {std::pair<std::string, std::size_t>{"emb", 32},
                                          std::pair<std::string, std::size_t>{"proj_out", 8}}) {
            const auto rows = values(all.at(name));
            for (std::size_t i = 0; i < std::size_t(n); ++i) {
                const auto alone = values(runOne(*model, one, item(batch, i, per)).at(name));
                EXPECT_LT(relativeError(item(rows, i, width), alone), 1e-5)
                    << name << " face " << i;
            }
        }
    }
}

TEST(OneDnnRuntime, BatchWhoseOutputMixesItemsRunsWhole) {
    // The output folds the batch into one row, so the batch cannot be split into steps.
    const TempDir dir;
    GraphBuilder g;
    g.input("x", {-1, 3, 8, 8});
    g.conv("x", "c", 3, 4, 3, 1, 1);
    g.node("Reshape", {"c", g.ints("flat", {1, -1})}, "y");
    g.output("y");
    auto model = loadOneDnnModel(g.save(dir / "folded.onnx"), 1);
    const std::size_t per = 3 * 8 * 8, out = 4 * 8 * 8;
    const auto batch = randomInput({3, 3, 8, 8}, 3);
    const auto all = runOne(*model, {3, 3, 8, 8}, batch);
    ASSERT_EQ(all.at("y").shape, (Dims{1, 3 * std::int64_t(out)}));
    const auto folded = values(all.at("y"));
    for (std::size_t i = 0; i < 3; ++i) {
        const auto alone = values(runOne(*model, {1, 3, 8, 8}, item(batch, i, per)).at("y"));
        EXPECT_LT(relativeError(item(folded, i, out), alone), 1e-5) << "face " << i;
    }
}

TEST(OneDnnRuntime, WeightsReadElsewhereStayAvailable) {
    // The load drops the file's copy of weights that only their operator reads; weights that are
    // also an output of the model must still come out as they are in the file, for any batch.
    const TempDir dir;
    GraphBuilder g;
    g.input("x", {-1, 4});
    const std::vector<float> w{1, 2, 3, 4, 5, 6, 7, 8};
    g.floats("w", {4, 2}, w);
    g.node("MatMul", {"x", "w"}, "y");
    g.output("y");
    g.output("w");
    auto model = loadOneDnnModel(g.save(dir / "shared-weights.onnx"), 1);
    for (const std::int64_t n : {1, 3}) {
        const auto out = runOne(*model, {n, 4}, std::vector<float>(std::size_t(n) * 4, 1.0f));
        EXPECT_EQ(values(out.at("w")), w);
        EXPECT_EQ(values(out.at("y")).size(), std::size_t(n) * 2);
        EXPECT_FLOAT_EQ(values(out.at("y")).back(), 2 + 4 + 6 + 8);
    }
}

TEST(OneDnnRuntime, RefusesWhatItCannotRun) {
    const TempDir dir;
    auto expectRefusal = [&](const std::filesystem::path& file, const std::string& words) {
        try {
            loadOneDnnModel(file, 1);
            ADD_FAILURE() << file << " was accepted";
        } catch (const OneDnnError& e) {
            EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
        }
    };
    {
        GraphBuilder g;
        g.input("x", {1, 3, 8, 8});
        g.conv("x", "c", 3, 4, 3);
        auto* n = g.node("Softmax", {"c"}, "y");
        GraphBuilder::attr(n, "axis", std::int64_t(1));
        g.output("y");
        expectRefusal(g.save(dir / "softmax.onnx"), "'Softmax'");
    }
    // Resize runs only as nearest neighbour by a whole-number scale.
    for (const auto& [mode, scale] : {std::pair<std::string, float>{"nearest", 1.5f},
                                      std::pair<std::string, float>{"linear", 2.0f}}) {
        GraphBuilder g(11);
        g.input("x", {1, 3, 8, 8});
        g.floats("roi", {0}, {});
        auto* n =
            g.node("Resize", {"x", "roi", g.floats("scales", {4}, {1, 1, scale, scale})}, "y");
        GraphBuilder::attr(n, "mode", mode);
        g.output("y");
        expectRefusal(g.save(dir / ("resize-" + mode + ".onnx")), "'Resize'");
    }
    {
        std::ofstream(dir / "corrupt.onnx") << "this is not a model";
        expectRefusal(dir / "corrupt.onnx", "corrupt.onnx");
        expectRefusal(dir / "absent.onnx", "absent.onnx");
    }
}

TEST(OneDnnRuntime, RejectsInputsThatDoNotFit) {
    const TempDir dir;
    auto model = loadOneDnnModel(residualModel(dir), 1);
    const auto data = randomInput({1, 3, 19, 19}, 1);
    EXPECT_THROW(runOne(*model, {1, 3, 19, 19}, data, "image"), OneDnnError);
    EXPECT_THROW(runOne(*model, {1, 3, 18, 19}, data), OneDnnError);
    EXPECT_THROW(runOne(*model, {3, 19, 19}, data), OneDnnError);
    EXPECT_THROW(model->run({}), OneDnnError);
    const TensorInput in{"x", {1, 3, 19, 19}, data.data()};
    EXPECT_THROW(model->run({in, in}), OneDnnError);
    EXPECT_NO_THROW(runOne(*model, {1, 3, 19, 19}, data));
}

TEST(OneDnnRuntime, ConcurrentRunsGiveTheSerialResults) {
    const TempDir dir;
    for (int units : {1, 2}) {
        auto model = loadOneDnnModel(headModel(dir), units);
        const Dims shape{1, 3, 32, 32};
        std::vector<std::vector<float>> inputs, expected;
        for (unsigned k = 0; k < 6; ++k) {
            inputs.push_back(randomInput(shape, 100 + k));
            expected.push_back(values(runOne(*model, shape, inputs.back()).at("scores")));
        }
        std::vector<int> mismatches(4, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int round = 0; round < 15; ++round) {
                    const std::size_t k = std::size_t(t + round) % inputs.size();
                    const auto got = values(runOne(*model, shape, inputs[k]).at("scores"));
                    if (got != expected[k]) ++mismatches[std::size_t(t)];
                }
            });
        for (auto& th : threads)
            th.join();
        for (int t = 0; t < 4; ++t)
            EXPECT_EQ(mismatches[std::size_t(t)], 0) << "thread " << t;
    }
}

// Sets an environment variable for one scope and restores what was there.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnvironment() {
        if (previous_)
            setenv(name_, previous_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> previous_;
};

// A chain of `layers` 3 x 3 convolutions with ReLU, the last writing the output "y".
std::filesystem::path convChain(const TempDir& dir, int layers) {
    GraphBuilder g;
    g.input("x", {1, 3, 24, 24});
    std::string last = "x";
    for (int k = 0; k < layers; ++k) {
        const std::string c = "c" + std::to_string(k);
        const bool isLast = k + 1 == layers;
        g.conv(last, isLast ? "y" : c, k == 0 ? 3 : 16, isLast ? 8 : 16, 3, 1, 1);
        if (!isLast) g.node("Relu", {c}, last = c + "r");
    }
    g.output("y");
    return g.save(dir / ("chain" + std::to_string(layers) + ".onnx"));
}

// Whether every value is a bfloat16 widened to 32 bits: the low half of its bits is zero.
bool allBfloat16(const std::vector<float>& v) {
    return std::all_of(v.begin(), v.end(), [](float x) {
        std::uint32_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        return (bits & 0xffffu) == 0;
    });
}

TEST(OneDnnRuntime, InteriorPrecisionKeepsTheFirstAndOutputLayersIn32Bits) {
    if (!oneDnnHasBf16()) GTEST_SKIP() << "this processor has no bfloat16 instructions";
    const TempDir dir;
    const Dims shape{1, 3, 24, 24};
    const auto input = randomInput(shape, 5, -1.0f, 1.0f);
    auto run = [&](const std::filesystem::path& file, Precision p) {
        auto model = loadOneDnnModel(file, p);
        return values(runOne(*model, shape, input).at("y"));
    };
    // Eight layers are all first layers: nothing is left for bfloat16.
    const auto shallow = convChain(dir, 8);
    EXPECT_EQ(run(shallow, Precision::Interior), run(shallow, Precision::Full));

    const auto deep = convChain(dir, 16);
    const auto full = run(deep, Precision::Full);
    const auto interior = run(deep, Precision::Interior);
    const auto reduced = run(deep, Precision::Reduced);
    EXPECT_NE(interior, full) << "the middle layers should run in bfloat16";
    EXPECT_TRUE(allBfloat16(reduced));
    EXPECT_FALSE(allBfloat16(interior)) << "the output layer should write 32-bit floats";
    EXPECT_LT(relativeError(interior, full), relativeError(reduced, full));
}

// A normalisation whose result only 8-bit layers read writes it in 8 bits at the readers' scale;
// one whose result is also added back (a residual) keeps it in full for that reader.
TEST(OneDnnRuntime, EightBitLayersReadANormalisationAtTheirOwnScale) {
    if (!oneDnnHasInt8()) GTEST_SKIP() << "this processor has no 8-bit dot-product instructions";
    const TempDir dir;
    const Dims shape{2, 16, 12, 12};
    for (const bool residual : {false, true}) {
        GraphBuilder g;
        g.input("x", {-1, 16, 12, 12});
        g.conv(g.batchNorm("x", "n", 16), "c", 16, 16, 3, 1, 1);
        g.node("Add", {"c", residual ? "n" : "c"}, "y");
        g.output("y");
        const auto file = g.save(dir.path() / "normalised.onnx");
        const auto input = randomInput(shape, 7, -1.0f, 1.0f);
        const auto ranges = measureOneDnnRanges(file, {{"x", shape, input.data()}});
        const auto full =
            values(runOne(*loadOneDnnModel(file, Precision::Full), shape, input).at("y"));
        const auto eight = values(runOne(*loadOneDnnModel(file, ranges), shape, input).at("y"));
        EXPECT_LT(relativeError(eight, full), 0.03) << (residual ? "residual" : "plain");
    }
}

TEST(OneDnnRuntime, NumbersTooSmallForANormalFloatCountAsZeroWhileItRuns) {
    const TempDir dir;
    GraphBuilder g;
    g.input("x", {1, 16, 32, 32});
    // Weights of 1e-39 on inputs of 1: each product is a subnormal number.
    auto* n = g.node("Conv",
                     {"x", g.floats("w", {16, 16, 1, 1}, std::vector<float>(256, 1e-39f)),
                      g.floats("b", {16}, std::vector<float>(16, 0.0f))},
                     "y");
    GraphBuilder::attr(n, "kernel_shape", Dims{1, 1});
    g.output("y");
    auto model = loadOneDnnModel(g.save(dir / "tiny.onnx"), 1);
    const std::vector<float> ones(16 * 32 * 32, 1.0f);
    const unsigned before = _mm_getcsr();
    const auto y = values(runOne(*model, {1, 16, 32, 32}, ones).at("y"));
    EXPECT_EQ(_mm_getcsr(), before) << "the calling thread's floating-point mode is restored";
    EXPECT_TRUE(std::all_of(y.begin(), y.end(), [](float v) { return v == 0.0f; }));
    // The caller's own arithmetic keeps subnormal numbers.
    volatile float tiny = 1e-39f;
    EXPECT_GT(tiny * 2.0f, 0.0f);
}

TEST(OneDnnRuntime, LoadModelChoosesTheRuntimeAndFallsBack) {
    const TempDir dir;
    const auto supported = tailModel(dir, 1);
    GraphBuilder g;
    g.input("x", {1, 3, 8, 8});
    auto* n = g.node("Softmax", {"x"}, "y");
    GraphBuilder::attr(n, "axis", std::int64_t(1));
    g.output("y");
    const auto unsupported = g.save(dir / "softmax.onnx");
    {
        const ScopedEnvironment env("TALLYMERE_RUNTIME", nullptr);
        EXPECT_EQ(loadModel(supported, 2)->runtimeName(), "onednn");
        // Refused by oneDNN: the same file runs on OpenCV, with the same results.
        auto fallback = loadModel(unsupported, 1);
        EXPECT_EQ(fallback->runtimeName(), "opencv");
        const auto input = randomInput({1, 3, 8, 8}, 3, -1, 1);
        const auto y = values(runOne(*fallback, {1, 3, 8, 8}, input).at("y"));
        float sum = 0;
        for (int c = 0; c < 3; ++c)
            sum += y[std::size_t(c * 64)];
        EXPECT_NEAR(sum, 1.0f, 1e-5);
    }
    {
        const ScopedEnvironment env("TALLYMERE_RUNTIME", "onednn");
        EXPECT_EQ(loadModel(supported, 1)->runtimeName(), "onednn");
    }
    {
        const ScopedEnvironment env("TALLYMERE_RUNTIME", "opencv");
        EXPECT_EQ(loadModel(supported, 2)->runtimeName(), "opencv");
    }
    // An unreadable file fails in either runtime, with the runtime's own error.
    std::ofstream(dir / "corrupt.onnx") << "not a model";
    EXPECT_ANY_THROW(loadModel(dir / "corrupt.onnx", 1));
}

} // namespace
} // namespace tallymere
