// Memory pool: class mapping, chunk cutting, LIFO reuse, header checks on release,
// big chunks, allocation history, the shutdown leak report and thread safety.
#include "runtime/memory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "runtime/debug_log.h"
#include "tests/support/log_capture.h"

// Every line goes to the captured debug log, so tests can assert on exact output.
using nvx_test::CountLines;
using nvx_test::TakeLog;

namespace {
// Reads a header field at a fixed distance before the caller's pointer.
template <typename T>
T Before(const void* p, size_t distance) {
    T v;
    std::memcpy(&v, static_cast<const uint8_t*>(p) - distance, sizeof(v));
    return v;
}

// Distinct call sites. The store after each call keeps it from becoming a tail call,
// so the pool sees a return address inside the helper.
void* volatile g_sink;
SG_NOINLINE void* AllocAtSiteA(size_t n) {
    void* p = SgAllocMem(n);
    g_sink = p;
    return p;
}
SG_NOINLINE void* AllocAtSiteB(size_t n) {
    void* p = SgAllocMem(n);
    g_sink = nullptr;
    return p;
}
SG_NOINLINE void FreeAtSiteA(void* p) {
    SgFreeMem(p);
    g_sink = p;
}
SG_NOINLINE void FreeAtSiteB(void* p) {
    SgFreeMem(p);
    g_sink = nullptr;
}

// The helper whose code holds `site`: the nearest helper entry at or below it.
std::string SiteOwner(uint64_t site) {
    const std::pair<const char*, uintptr_t> helpers[] = {{"AllocA", reinterpret_cast<uintptr_t>(&AllocAtSiteA)},
                                                         {"AllocB", reinterpret_cast<uintptr_t>(&AllocAtSiteB)},
                                                         {"FreeA", reinterpret_cast<uintptr_t>(&FreeAtSiteA)},
                                                         {"FreeB", reinterpret_cast<uintptr_t>(&FreeAtSiteB)}};
    std::string owner = "none";
    uintptr_t best = 0;
    for (const auto& [name, entry] : helpers) {
        if (entry <= site && site - entry < 256 && entry >= best) {
            best = entry;
            owner = name;
        }
    }
    return owner;
}

std::string PtrText(uint64_t value) {
    char text[64];
    snprintf(text, sizeof(text), "0x%p", reinterpret_cast<void*>(static_cast<uintptr_t>(value)));
    return text;
}

class MemoryPoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SgInitMemory());
        TakeLog();
    }
    void TearDown() override { SgShutdownMemory(); }
};
}  // namespace

TEST(PoolClassTest, MapsRequestsToTheTwentyFiveClasses) {
    EXPECT_EQ(SgPoolClassForSize(0), 0);
    EXPECT_EQ(SgPoolClassForSize(64), 1);
    EXPECT_EQ(SgPoolClassForSize(65), 2);
    EXPECT_EQ(SgPoolClassForSize(320), 6);
    EXPECT_EQ(SgPoolClassForSize(385), 8);
    EXPECT_EQ(SgPoolClassForSize(4097), 80);
    EXPECT_EQ(SgPoolClassForSize(15361), 255);
    EXPECT_EQ(SgPoolClassForSize(16320), 255);
    EXPECT_EQ(SgPoolClassForSize(16321), -1);
    std::set<int> seen;
    for (size_t n = 0; n <= kPoolMaxSmall; ++n) {
        const int c = SgPoolClassForSize(n);
        ASSERT_GE(static_cast<size_t>(c) * 64, n) << "class too small for " << n;
        seen.insert(c);
    }
    const std::set<int> expected = {0,  1,  2,   3,   4,   6,   8,   12,  16,  24,  32,  48, 64,
                                    80, 96, 112, 128, 144, 160, 176, 192, 208, 224, 240, 255};
    EXPECT_EQ(seen, expected);
}

TEST_F(MemoryPoolTest, ChunkIsCutIntoWholeBlocksFromOffset16) {
    const struct {
        size_t request;
        uint32_t blocks;
        const char* line;
    } cases[] = {{0, 1023, "1023 0 buffers created"},
                 {64, 511, "511 64 buffers created"},
                 {16320, 3, "3 16320 buffers created"}};
    uint64_t chunks = 0;
    for (const auto& c : cases) {
        std::vector<uint8_t*> blocks;
        for (uint32_t i = 0; i < c.blocks; ++i) blocks.push_back(static_cast<uint8_t*>(SgAllocMem(c.request)));
        EXPECT_EQ(SgGetPoolStats().chunksAllocated, ++chunks) << c.request;
        const size_t step = (SgPoolClassForSize(c.request) + 1) * 64u;
        for (uint32_t i = 1; i < c.blocks; ++i) ASSERT_EQ(blocks[i], blocks[i - 1] + step);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks[0]) % 16, 0u);  // chunk + 16 + 64
        blocks.push_back(static_cast<uint8_t*>(SgAllocMem(c.request)));
        EXPECT_EQ(SgGetPoolStats().chunksAllocated, ++chunks) << "block " << c.blocks + 1 << " needs a new chunk";
        EXPECT_EQ(CountLines(TakeLog(), SG_FAC_MEM, SG_LVL_DEBUG, c.line), 2);
        for (auto* b : blocks) SgFreeMem(b);
    }
    EXPECT_EQ(SgGetPoolStats().blocksInUse, 0u);
    EXPECT_TRUE(SgShutdownMemory());
}

TEST_F(MemoryPoolTest, ReleasedBlocksComeBackLastInFirstOut) {
    void* a = SgAllocMem(100);
    void* b = SgAllocMem(128);  // same class as 100
    SgFreeMem(a);
    SgFreeMem(b);
    EXPECT_EQ(SgAllocMem(65), b);
    EXPECT_EQ(SgAllocMem(70), a);
    EXPECT_EQ(Before<uint8_t>(a, 8), 0xEF);
    EXPECT_EQ(Before<uint8_t>(a, 7), 2);
    EXPECT_EQ(Before<uint8_t>(a, 6), 0xE1);
    SgFreeMem(a);
    SgFreeMem(b);
    EXPECT_EQ(SgGetPoolStats().chunksAllocated, 1u);
}

TEST_F(MemoryPoolTest, HeaderFaultsAreLoggedAndLeaveThePoolUnchanged) {
    // Double release: refused, counted, free list keeps a single entry for the block.
    void* a = SgAllocMem(64);
    SgFreeMem(a);
    TakeLog();
    SgFreeMem(a);
    auto log = TakeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(CountLines(log, SG_FAC_MEM, SG_LVL_ERROR, "Deallocating block with bad magic value!"), 1);
    EXPECT_EQ(SgGetPoolStats().badMagicCount, 1u);
    void* x = SgAllocMem(64);
    void* y = SgAllocMem(64);
    EXPECT_EQ(x, a);
    EXPECT_NE(y, x);
    EXPECT_EQ(Before<uint8_t>(y, 8), 0xEF);

    // Bad type: refused, not counted, block stays allocated.
    static_cast<uint8_t*>(x)[-6] = 0;
    SgFreeMem(x);
    log = TakeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(CountLines(log, SG_FAC_MEM, SG_LVL_ERROR, "Deallocating block with bad type!"), 1);
    EXPECT_EQ(Before<uint8_t>(x, 8), 0xEF);
    EXPECT_EQ(SgGetPoolStats().blocksInUse, 2u);
    static_cast<uint8_t*>(x)[-6] = 0xE1;
    SgFreeMem(x);

    // A free-list head that claims to be allocated is not handed out.
    static_cast<uint8_t*>(x)[-8] = 0xEF;
    EXPECT_EQ(SgAllocMem(10), nullptr);
    EXPECT_EQ(CountLines(TakeLog(), SG_FAC_MEM, SG_LVL_ERROR, "Allocating block with bad magic value!"), 1);
    EXPECT_EQ(SgGetPoolStats().badMagicCount, 2u);
    static_cast<uint8_t*>(x)[-8] = 0;
    EXPECT_EQ(SgAllocMem(10), x);

    SgFreeMem(x);
    SgFreeMem(y);
    EXPECT_FALSE(SgShutdownMemory()) << "faults were counted";
}

TEST_F(MemoryPoolTest, BigChunksAreTrackedAndReleased) {
    void* big[3];
    for (auto& p : big) {
        p = SgAllocMem(16321);
        ASSERT_NE(p, nullptr);
        std::memset(p, 0x5A, 16321);
        EXPECT_EQ(Before<uint32_t>(p, 4), 0xABCDDCBAu);
        EXPECT_EQ(Before<uint32_t>(p, 8), 16361u);
        EXPECT_EQ(Before<uint8_t>(p, 16), 0xE1);
    }
    EXPECT_EQ(SgGetPoolStats().bigChunksInUse, 3u);
    EXPECT_EQ(SgGetPoolStats().chunksAllocated, 0u);
    SgFreeMem(big[1]);  // middle, then front, then back of the list
    SgFreeMem(big[2]);
    SgFreeMem(big[0]);
    EXPECT_EQ(SgGetPoolStats().bigChunksInUse, 0u);
    EXPECT_TRUE(SgShutdownMemory());
    const auto log = TakeLog();
    EXPECT_EQ(CountLines(log, SG_FAC_MEM, SG_LVL_DEBUG, "There are 0 unreleased big chunk buffers"), 1);
    for (const auto& line : log) EXPECT_LT(line.level, SG_LVL_ERROR) << line.text;
}

TEST_F(MemoryPoolTest, HeaderKeepsTwoCyclesOfHistory) {
    void* p = AllocAtSiteA(200);
    FreeAtSiteA(p);
    ASSERT_EQ(AllocAtSiteB(200), p);
    EXPECT_EQ(SiteOwner(Before<uint64_t>(p, 16)), "AllocB");
    FreeAtSiteB(p);
    ASSERT_EQ(AllocAtSiteA(200), p);
    EXPECT_EQ(SiteOwner(Before<uint64_t>(p, 64)), "AllocA");  // older allocation
    EXPECT_EQ(SiteOwner(Before<uint64_t>(p, 56)), "FreeA");   // older release
    EXPECT_EQ(SiteOwner(Before<uint64_t>(p, 48)), "AllocB");  // last allocation
    EXPECT_EQ(SiteOwner(Before<uint64_t>(p, 40)), "FreeB");   // last release
    EXPECT_EQ(SiteOwner(Before<uint64_t>(p, 16)), "AllocA");  // current allocation
    SgFreeMem(p);
}

TEST_F(MemoryPoolTest, ShutdownReportsLeaksWithSiteAndDump) {
    auto* block = static_cast<uint8_t*>(AllocAtSiteA(64));
    for (int i = 0; i < 64; ++i) block[i] = static_cast<uint8_t>(0x20 + i);
    auto* big = static_cast<uint8_t*>(AllocAtSiteB(20000));
    std::memset(big, 'x', 20000);
    SgFreeMem(SgAllocMem(4000));  // released: must not be reported
    const uint64_t blockSite = Before<uint64_t>(block, 16);
    const uint64_t bigSite = Before<uint64_t>(big, 24);
    ASSERT_EQ(SiteOwner(blockSite), "AllocA");
    ASSERT_EQ(SiteOwner(bigSite), "AllocB");
    TakeLog();

    EXPECT_FALSE(SgShutdownMemory());
    const auto log = TakeLog();
    std::vector<std::string> text;
    for (const auto& line : log) text.push_back(line.text);
    ASSERT_EQ(text.size(), 20u);
    EXPECT_EQ(text[0], "Unreleased big chunk allocated at: " + PtrText(bigSite));
    EXPECT_EQ(text[1], "Unreleased big chunk is 20040 bytes");
    EXPECT_EQ(text[2], "Buffer length 128 ");
    EXPECT_EQ(text[3].substr(32, 25), "E1 00 00 00 00 00 00 00  ");  // dump starts at the site field
    EXPECT_EQ(text[4], "0x0010  48 4E 00 00 BA DC CD AB 78 78 78 78 78 78 78 78   HN......xxxxxxxx");
    EXPECT_EQ(text[10], "0x0070  78 78 78 78 78 78 78 78 78 78 78 78 78 78 78 78   xxxxxxxxxxxxxxxx");
    EXPECT_EQ(text[11], "There are 1 unreleased big chunk buffers");
    EXPECT_EQ(text[12], "Unreleased memory block allocated at: " + PtrText(blockSite));
    EXPECT_EQ(text[13], "Buffer length 64 ");
    EXPECT_EQ(text[14], "0x0000  20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F    !\"#$%&'()*+,-./");
    EXPECT_EQ(text[17], "0x0030  50 51 52 53 54 55 56 57 58 59 5A 5B 5C 5D 5E 5F   PQRSTUVWXYZ[\\]^_");
    EXPECT_EQ(text[18], "There are 1 unreleased memory buffers");
    EXPECT_EQ(text[19], "A total of 2 chunks of memory were used");
    EXPECT_EQ(CountLines(log, SG_FAC_MEM, SG_LVL_ERROR, text[12]) + CountLines(log, SG_FAC_MEM, SG_LVL_ERROR, text[0]),
              2);
}

TEST(PoolDumpTest, PadsHexAndTextFields) {
    TakeLog();
    SgDumpBuffer("ignored", 0);
    EXPECT_TRUE(TakeLog().empty());
    const uint8_t bytes[20] = {'0', '1', '2', '3', '4', '5', '6',  '7',  '8',  '9',
                               'a', 'b', 'c', 'd', 'e', 'f', 0x00, 0x20, 0x7E, 0x7F};
    SgDumpBuffer(bytes, sizeof(bytes));
    const auto log = TakeLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].text, "Buffer length 20 ");
    EXPECT_EQ(log[1].text, "0x0000  30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66   0123456789abcdef");
    EXPECT_EQ(log[2].text, "0x0010  00 20 7E 7F " + std::string(37, ' ') + " . ~." + std::string(12, ' '));
    EXPECT_EQ(log[2].level, SG_LVL_DEBUG);
}

TEST(PoolLifecycleTest, CallsOutsideThePoolLifetimeAreHarmless) {
    uint8_t fake[128];
    std::memset(fake, 0xEF, sizeof(fake));
    EXPECT_EQ(SgAllocMem(10), nullptr);
    SgFreeMem(fake + 64);
    EXPECT_EQ(fake[56], 0xEF) << "an uninitialised pool must not touch the header";
    ASSERT_TRUE(SgInitMemory());
    void* p = SgAllocMem(10);
    ASSERT_NE(p, nullptr);
    SgFreeMem(p);
    EXPECT_TRUE(SgShutdownMemory());
    TakeLog();
    SgFreeMem(p);  // its chunk is gone
    SgFreeMem(nullptr);
    EXPECT_EQ(SgAllocMem(20000), nullptr);
    EXPECT_TRUE(SgShutdownMemory());
    for (const auto& line : TakeLog()) EXPECT_EQ(line.text.find("magic"), std::string::npos) << line.text;
}

TEST_F(MemoryPoolTest, ConcurrentUseKeepsCountsExact) {
    constexpr int kThreads = 8;
    constexpr int kSlots = 32;
    constexpr int kRounds = 300000;
    std::vector<std::vector<uint8_t*>> kept(kThreads);
    std::vector<std::thread> threads;
    std::atomic<int> waiting{kThreads};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &kept, &waiting] {
            // Start together so the threads really overlap.
            waiting.fetch_sub(1);
            while (waiting.load() > 0) std::this_thread::yield();
            uint32_t seed = 0x9E3779B9u * (t + 1);
            std::vector<std::pair<uint8_t*, size_t>> slots(kSlots, {nullptr, 0});
            for (int r = 0; r < kRounds; ++r) {
                auto& [p, n] = slots[r % kSlots];
                if (p != nullptr) {
                    // Another thread handed the same memory would have overwritten the marks.
                    if (p[0] != t || p[n - 1] != t) {
                        ADD_FAILURE() << "block shared between threads";
                        return;
                    }
                    SgFreeMem(p);
                }
                seed = seed * 1664525u + 1013904223u;
                // Mostly class 1, so that the threads contend for one free list; a few big chunks.
                const uint32_t pick = (seed >> 8) % 64;
                n = pick == 0 ? 17000 : 1 + (seed >> 16) % (pick < 8 ? 4000 : 64);
                p = static_cast<uint8_t*>(SgAllocMem(n));
                if (p == nullptr) {
                    ADD_FAILURE() << "allocation failed";
                    return;
                }
                p[0] = p[n - 1] = static_cast<uint8_t>(t);
            }
            for (auto& [p, n] : slots) kept[t].push_back(p);
        });
    }
    for (auto& th : threads) th.join();
    uint64_t big = 0;
    for (const auto& list : kept) {
        for (uint8_t* p : list) big += (Before<uint32_t>(p, 4) == 0xABCDDCBAu);
    }
    const SgPoolStats stats = SgGetPoolStats();
    EXPECT_EQ(stats.blocksInUse + stats.bigChunksInUse, static_cast<uint64_t>(kThreads * kSlots));
    EXPECT_EQ(stats.bigChunksInUse, big);
    for (const auto& list : kept) {
        for (uint8_t* p : list) SgFreeMem(p);
    }
    EXPECT_EQ(SgGetPoolStats().blocksInUse, 0u);
    EXPECT_EQ(SgGetPoolStats().bigChunksInUse, 0u);
    EXPECT_EQ(SgGetPoolStats().badMagicCount, 0u);
    EXPECT_TRUE(SgShutdownMemory());
}

TEST_F(MemoryPoolTest, CreateBuffersMakesWholeChunksUntilTheCountIsMet) {
    SgCreateBuffers(0, 64);
    EXPECT_EQ(SgGetPoolStats().chunksAllocated, 0u);
    SgCreateBuffers(1200, 100);  // class 2: 341 blocks a chunk, so four chunks
    EXPECT_EQ(SgGetPoolStats().chunksAllocated, 4u);
    EXPECT_EQ(CountLines(TakeLog(), SG_FAC_MEM, SG_LVL_DEBUG, "341 128 buffers created"), 4);
    std::vector<void*> blocks(4 * 341 + 1);
    for (void*& p : blocks) p = SgAllocMem(128);
    EXPECT_EQ(SgGetPoolStats().chunksAllocated, 5u) << "only the last request needs a new chunk";
    for (void* p : blocks) SgFreeMem(p);
}
