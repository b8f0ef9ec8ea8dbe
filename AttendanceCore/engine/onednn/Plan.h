#pragma once

// A plan: the primitives of one set of input shapes, in order, with the memory each argument
// lives in; and the per-thread memory that runs of a plan compute in.

#include "engine/onednn/OnnxGraph.h"
#include "engine/onednn/Shapes.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <oneapi/dnnl/dnnl.hpp>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tallymere::onednn {

// The processor engine every primitive and memory object is made for.
dnnl::engine& cpuEngine();

// The calling thread's stream.
dnnl::stream& threadStream();

// Where a memory argument lives during a run.
struct MemRef {
    enum class Kind { Arena, Input, Output, Constant, Scratch } kind = Kind::Arena;
    int index = 0; // root in the arena, or input/output slot
    dnnl::memory::desc desc;
    float scale = 1; // an 8-bit tensor's stored values times this are its real values
    dnnl::memory constant;
};

struct Exec {
    dnnl::primitive primitive;
    std::vector<std::pair<int, MemRef>> args;
};

// A block of the arena: its size, the first and last primitive using it, and where it is placed.
struct Root {
    std::size_t bytes = 0;
    int first = INT_MAX, last = -1;
    std::size_t offset = 0;
};

// Memory of a calling thread, reused by every run on that thread.
struct Arena {
    void* data = nullptr;
    std::size_t size = 0;
    std::uint64_t generation = 0;
    ~Arena();
    void reserve(std::size_t bytes);
};

Arena& threadArena();

// The memory objects of one plan for one thread, bound to that thread's arena.
struct Context {
    const void* arenaData = nullptr;
    std::uint64_t generation = 0;
    std::vector<std::unordered_map<int, dnnl::memory>> args;
    std::vector<std::pair<int, dnnl::memory>> inputs, outputs;
};

// A computed tensor whose largest magnitude is read right after a primitive writes it, where a
// model measures its ranges for 8 bits.
struct Observation {
    int exec = 0;
    int root = 0;
    std::size_t bytes = 0;
    std::string name;
};

// Primitives and memory layout for one set of input shapes.
struct Plan {
    std::vector<Exec> execs;
    std::vector<Root> roots;
    std::size_t activationBytes = 0, scratchBytes = 0;
    std::vector<Dims> outputShapes;
    std::vector<std::optional<HostTensor>> staticOutputs;
    std::vector<Observation> observations; // 32-bit float tensors, in order of `exec`

    std::mutex contextsMutex;
    std::unordered_map<std::thread::id, std::unique_ptr<Context>> contexts;

    Context& context(void* arenaData, std::uint64_t generation);
};

} // namespace tallymere::onednn
