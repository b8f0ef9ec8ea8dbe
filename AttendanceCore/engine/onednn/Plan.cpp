#include "engine/onednn/Plan.h"

#include <cstdlib>
#include <new>

namespace tallymere::onednn {

using dnnl::memory;

dnnl::engine& cpuEngine() {
    static dnnl::engine engine(dnnl::engine::kind::cpu, 0);
    return engine;
}

dnnl::stream& threadStream() {
    thread_local dnnl::stream stream(cpuEngine());
    return stream;
}

Arena::~Arena() {
    std::free(data);
}

void Arena::reserve(std::size_t bytes) {
    if (bytes <= size) return;
    std::free(data);
    const std::size_t rounded = (bytes + 4095) / 4096 * 4096;
    data = std::aligned_alloc(4096, rounded);
    if (!data) {
        size = 0;
        throw std::bad_alloc();
    }
    size = rounded;
    ++generation;
}

Arena& threadArena() {
    thread_local Arena arena;
    return arena;
}

Context& Plan::context(void* arenaData, std::uint64_t generation) {
    Context* ctx;
    {
        std::lock_guard lock(contextsMutex);
        auto& slot = contexts[std::this_thread::get_id()];
        if (!slot) slot = std::make_unique<Context>();
        ctx = slot.get();
    }
    if (ctx->arenaData == arenaData && ctx->generation == generation && !ctx->args.empty())
        return *ctx;
    auto* base = static_cast<std::uint8_t*>(arenaData);
    ctx->args.clear();
    ctx->inputs.clear();
    ctx->outputs.clear();
    for (const Exec& e : execs) {
        std::unordered_map<int, memory> args;
        for (const auto& [arg, ref] : e.args) {
            memory m;
            switch (ref.kind) {
            case MemRef::Kind::Arena:
                m = memory(ref.desc, cpuEngine(), base + roots[std::size_t(ref.index)].offset);
                break;
            case MemRef::Kind::Scratch:
                m = memory(ref.desc, cpuEngine(), base + activationBytes);
                break;
            case MemRef::Kind::Constant:
                m = ref.constant;
                break;
            case MemRef::Kind::Input:
                m = memory(ref.desc, cpuEngine(), DNNL_MEMORY_NONE);
                ctx->inputs.emplace_back(ref.index, m);
                break;
            case MemRef::Kind::Output:
                m = memory(ref.desc, cpuEngine(), DNNL_MEMORY_NONE);
                ctx->outputs.emplace_back(ref.index, m);
                break;
            }
            args.emplace(arg, m);
        }
        ctx->args.push_back(std::move(args));
    }
    ctx->arenaData = arenaData;
    ctx->generation = generation;
    return *ctx;
}

} // namespace tallymere::onednn
