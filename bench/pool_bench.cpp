// Compares an SgAllocMem/SgFreeMem pair with a malloc/free pair over the same request
// sizes, in one run. Target: the pool pair is no slower than the C runtime pair.
//
// Two patterns: a working set of live allocations where each step releases a random
// one and allocates the next size (how the service's messages and objects behave),
// and an immediate allocate-then-release pair. Each allocator runs several rounds in
// alternation; the best round counts, so chunk creation and heap growth in the first
// round do not. `--quick`: a few thousand steps, one round.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/bench_rows.h"
#include "runtime/debug_log.h"
#include "runtime/memory.h"

// Chunk creation logs a Debug line; keep the log out of the measurement.
static unsigned g_logLines;
void SgDebugPrint(uint32_t, uint32_t, const char*, ...) { ++g_logLines; }

namespace {

constexpr int kSizes = 8192;
constexpr int kSlots = 256;
int g_steps = 2000000;
int g_rounds = 5;

void* volatile g_escape;  // keeps the compiler from eliding allocate/release pairs
volatile uint32_t g_checksum;

std::vector<uint32_t> MakeSizes() {
    // Three quarters spread log-uniformly over 16..16000 (mostly small objects),
    // one quarter from fixed sizes common in the service (headers, paths, buffers).
    static const uint32_t kFixed[] = {32, 64, 256, 1024, 4096};
    std::vector<uint32_t> sizes(kSizes);
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (auto& size : sizes) {
        if (next() % 4 == 0) {
            size = kFixed[(next() >> 16) % 5];
        } else {
            const uint32_t bits = 4 + (next() >> 16) % 10;  // 16 .. 16383
            size = (1u << bits) + (next() >> 8) % (1u << bits);
            if (size > 16000) size = 16000;
        }
    }
    return sizes;
}

std::vector<uint32_t> MakeSlotOrder() {
    std::vector<uint32_t> order(g_steps);
    uint32_t seed = 777;
    for (auto& slot : order) slot = ((seed = seed * 1664525u + 1013904223u) >> 16) % kSlots;
    return order;
}

template <typename Alloc, typename Release>
double WorkingSetNs(const std::vector<uint32_t>& sizes, const std::vector<uint32_t>& order, Alloc alloc,
                    Release release) {
    void* slots[kSlots];
    for (int i = 0; i < kSlots; ++i) slots[i] = alloc(sizes[i]);
    uint32_t sum = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < g_steps; ++i) {
        void*& slot = slots[order[i]];
        release(slot);
        const uint32_t n = sizes[i % kSizes];
        auto* p = static_cast<uint8_t*>(alloc(n));
        p[0] = static_cast<uint8_t>(i);
        p[n - 1] = static_cast<uint8_t>(i);
        sum += p[0];
        slot = p;
    }
    const auto end = std::chrono::steady_clock::now();
    for (void* p : slots) release(p);
    g_checksum = g_checksum + sum;
    return std::chrono::duration<double, std::nano>(end - start).count() / g_steps;
}

template <typename Alloc, typename Release>
double ImmediatePairNs(const std::vector<uint32_t>& sizes, Alloc alloc, Release release) {
    uint32_t sum = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < g_steps; ++i) {
        const uint32_t n = sizes[i % kSizes];
        auto* p = static_cast<uint8_t*>(alloc(n));
        p[n - 1] = static_cast<uint8_t>(i);
        g_escape = p;
        sum += p[n - 1];
        release(p);
    }
    const auto end = std::chrono::steady_clock::now();
    g_checksum = g_checksum + sum;
    return std::chrono::duration<double, std::nano>(end - start).count() / g_steps;
}

bool Report(const char* pattern, double poolNs, double crtNs) {
    const bool met = poolNs <= crtNs;
    std::printf("%-16s pool pair %7.1f ns   malloc/free pair %7.1f ns   ratio pool/CRT %.2f   target %s\n", pattern,
                poolNs, crtNs, poolNs / crtNs, met ? "met" : "NOT met");
    return met;
}

}  // namespace

int main(int argc, char** argv) {
    if (BenchQuick(argc, argv)) {
        g_steps = 20000;
        g_rounds = 1;
    }
    if (!SgInitMemory()) {
        std::fprintf(stderr, "SgInitMemory failed\n");
        return 2;
    }
    const auto sizes = MakeSizes();
    const auto order = MakeSlotOrder();
    auto poolAlloc = [](size_t n) { return SgAllocMem(n); };
    auto poolRelease = [](void* p) { SgFreeMem(p); };
    auto crtAlloc = [](size_t n) { return std::malloc(n); };
    auto crtRelease = [](void* p) { std::free(p); };

    double poolSet = 1e30, crtSet = 1e30, poolPair = 1e30, crtPair = 1e30;
    for (int round = 0; round < g_rounds; ++round) {
        const double a = WorkingSetNs(sizes, order, poolAlloc, poolRelease);
        const double b = WorkingSetNs(sizes, order, crtAlloc, crtRelease);
        const double c = ImmediatePairNs(sizes, poolAlloc, poolRelease);
        const double d = ImmediatePairNs(sizes, crtAlloc, crtRelease);
        if (a < poolSet) poolSet = a;
        if (b < crtSet) crtSet = b;
        if (c < poolPair) poolPair = c;
        if (d < crtPair) crtPair = d;
    }
    const SgPoolStats stats = SgGetPoolStats();
    std::printf("%d request sizes 16..16000 (a quarter fixed), %d steps x best of %d rounds\n", kSizes, g_steps,
                g_rounds);
    const bool setMet = Report("working set 256", poolSet, crtSet);
    const bool pairMet = Report("immediate pair", poolPair, crtPair);
    std::printf("pool chunks used: %llu (%.1f MB)\n", static_cast<unsigned long long>(stats.chunksAllocated),
                stats.chunksAllocated * (kPoolChunkSize / 1048576.0));
    std::printf("target (pool pair no slower than malloc/free pair): %s\n", setMet && pairMet ? "met" : "NOT met");
    BenchRowAtMost("pool alloc+free pair, working set of 256 (ref: malloc/free)", BenchText("%.1f ns", poolSet),
                   BenchText("%.1f ns", crtSet), poolSet / crtSet, 1.0);
    BenchRowAtMost("pool alloc+free pair, immediate (ref: malloc/free)", BenchText("%.1f ns", poolPair),
                   BenchText("%.1f ns", crtPair), poolPair / crtPair, 1.0);
    const bool clean = SgShutdownMemory();
    if (!clean) std::printf("pool reported unreleased blocks or faults\n");
    return clean ? 0 : 1;
}
