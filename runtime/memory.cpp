// The memory pool. Small requests come from per-class LIFO free lists of blocks cut
// from 64 KB chunks; big requests go to the C heap and are tracked on their own list.
// One critical section guards every list and counter; any thread may allocate and
// release. Faults are logged where they are found and leave the pool untouched.
#include "runtime/memory.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "runtime/debug_log.h"
#include "runtime/memory_os.h"

namespace {

constexpr uint8_t kBlockMagicAllocated = 0xEF;
constexpr uint8_t kBlockMagicFree = 0x00;
constexpr uint8_t kPoolType = 0xE1;
constexpr uint32_t kBigChunkMagic = 0xABCDDCBA;
constexpr uint32_t kClassIndexes = 256;
constexpr uint32_t kLeakDumpLength = 128;

// Links at the start of every 64 KB chunk; the blocks follow directly.
struct ChunkLinks {
    ChunkLinks* next;
    ChunkLinks* previous;
};
static_assert(sizeof(ChunkLinks) == 16, "blocks start 16 bytes into a chunk");

// First 64 bytes of every block. The caller's pointer is the header + 64, and the
// release path finds magic, class and type at fixed distances before it.
struct BlockHeader {
    uint64_t olderAllocSite;
    uint64_t olderReleaseSite;
    uint64_t lastAllocSite;
    uint64_t lastReleaseSite;
    BlockHeader* nextInChunk;  // set when the chunk is cut, never changed
    BlockHeader* nextFree;
    uint64_t allocSite;  // 0 while free
    uint8_t magic;
    uint8_t sizeClass;
    uint8_t type;
    uint8_t reserved[5];  // always 0, so a block never looks like a big chunk
};
static_assert(sizeof(BlockHeader) == kPoolGranule, "block header is one granule");
static_assert(offsetof(BlockHeader, magic) == kPoolGranule - 8, "magic sits 8 bytes before the data");
static_assert(offsetof(BlockHeader, sizeClass) == kPoolGranule - 7, "class sits 7 bytes before the data");
static_assert(offsetof(BlockHeader, type) == kPoolGranule - 6, "type sits 6 bytes before the data");
static_assert(offsetof(BlockHeader, reserved) <= kPoolGranule - 4, "the big-chunk probe reads reserved zeros");

// Header of a big chunk. The magic fills the four bytes just before the caller's
// pointer, which is how a release tells a big chunk from a block (whose last four
// header bytes are always zero). The padding after type keeps size and magic in the
// last eight bytes with natural alignment.
struct BigChunkHeader {
    BigChunkHeader* next;
    BigChunkHeader* previous;
    uint64_t allocSite;
    uint8_t type;
    uint8_t reserved[7];
    uint32_t size;  // request + header
    uint32_t magic;
};
constexpr uint32_t kBigHeaderSize = 40;
static_assert(sizeof(BigChunkHeader) == kBigHeaderSize, "big-chunk header is 40 bytes");
static_assert(offsetof(BigChunkHeader, magic) == kBigHeaderSize - 4, "big-chunk magic ends at the data");

constexpr uint8_t ClassOfGranules(uint32_t g) {
    if (g <= 4) return static_cast<uint8_t>(g);
    if (g <= 6) return 6;
    if (g <= 8) return 8;
    if (g <= 12) return 12;
    if (g <= 16) return 16;
    if (g <= 24) return 24;
    if (g <= 32) return 32;
    if (g <= 48) return 48;
    if (g <= 64) return 64;
    if (g <= 240) return static_cast<uint8_t>((g + 15) / 16 * 16);
    return 255;
}

struct ClassTable {
    uint8_t ofGranules[kClassIndexes];
    constexpr ClassTable() : ofGranules() {
        for (uint32_t g = 0; g < kClassIndexes; ++g) ofGranules[g] = ClassOfGranules(g);
    }
};
constexpr ClassTable kClasses;
static_assert(kClasses.ofGranules[255] == 255 && kClasses.ofGranules[65] == 80 && kClasses.ofGranules[240] == 240);

// A class byte is genuine only if the mapping sends it to itself.
inline bool IsClass(uint8_t c) { return kClasses.ofGranules[c] == c; }

inline uint8_t ClassForSmall(size_t size) { return kClasses.ofGranules[(size + kPoolGranule - 1) / kPoolGranule]; }

struct PoolState {
    BlockHeader** freeHeads;
    BlockHeader** freeTails;
    ChunkLinks* chunks;
    BigChunkHeader* bigChunks;
    CRITICAL_SECTION lock;
    uint64_t chunksAllocated;
    uint64_t noFreeBufferFailures;
    uint64_t badMagicCount;
    uint64_t blocksInUse;
    uint64_t bigChunksInUse;
};

PoolState g_pool;
// Set once the lock and arrays exist; cleared before shutdown releases them, so
// late calls are refused instead of touching freed memory.
std::atomic<bool> g_poolReady{false};

class PoolLock {
public:
    PoolLock() { EnterCriticalSection(&g_pool.lock); }
    ~PoolLock() { LeaveCriticalSection(&g_pool.lock); }
    PoolLock(const PoolLock&) = delete;
    PoolLock& operator=(const PoolLock&) = delete;
};

// Adds chunks of class c until at least `count` blocks were made; returns how many
// were made. Caller holds the pool lock. A heap failure ends the loop quietly: the
// caller decides whether the shortfall is a fault.
uint32_t CreateBuffersLocked(uint32_t count, uint8_t c) {
    const uint32_t blockSize = (static_cast<uint32_t>(c) + 1) * kPoolGranule;
    uint32_t made = 0;
    while (made < count) {
        auto* raw = static_cast<uint8_t*>(SgPoolOsAlloc(kPoolChunkSize));
        if (raw == nullptr) return made;
        ++g_pool.chunksAllocated;
        if (reinterpret_cast<uintptr_t>(raw) % 8 != 0) {
            SgDebugPrint(SG_FAC_MEM, SG_LVL_ERROR, "Kernel buffer not 64bit aligned!");
        }

        auto* chunk = reinterpret_cast<ChunkLinks*>(raw);
        chunk->previous = nullptr;
        chunk->next = g_pool.chunks;
        if (g_pool.chunks != nullptr) g_pool.chunks->previous = chunk;
        g_pool.chunks = chunk;

        auto* first = reinterpret_cast<BlockHeader*>(raw + sizeof(ChunkLinks));
        BlockHeader* last = nullptr;
        uint32_t blocks = 0;
        for (uint32_t offset = sizeof(ChunkLinks); offset + blockSize <= kPoolChunkSize; offset += blockSize) {
            auto* block = reinterpret_cast<BlockHeader*>(raw + offset);
            std::memset(block, 0, sizeof(BlockHeader));
            block->sizeClass = c;
            auto* following = reinterpret_cast<BlockHeader*>(raw + offset + blockSize);
            block->nextInChunk = following;
            block->nextFree = following;
            last = block;
            ++blocks;
        }
        // Every class fits at least three blocks in a chunk, so `last` is set.
        last->nextInChunk = nullptr;
        if (g_pool.freeHeads[c] == nullptr) {
            last->nextFree = nullptr;
            g_pool.freeTails[c] = last;
        } else {
            last->nextFree = g_pool.freeHeads[c];
        }
        g_pool.freeHeads[c] = first;

        SgDebugPrint(SG_FAC_MEM, SG_LVL_DEBUG, "%u %u buffers created", blocks,
                     static_cast<unsigned>(c) * kPoolGranule);
        made += blocks;
    }
    return made;
}

void* AllocBig(size_t size, uint64_t site) {
    if (size > UINT32_MAX - kBigHeaderSize) {
        // The size field is 32 bits wide; no caller of the service asks for this much.
        SgDebugPrint(SG_FAC_MEM, SG_LVL_CRIT, "Cannot allocate memory chunk of %llu bytes",
                     static_cast<unsigned long long>(size) + kBigHeaderSize);
        return nullptr;
    }
    const uint32_t total = static_cast<uint32_t>(size) + kBigHeaderSize;
    auto* big = static_cast<BigChunkHeader*>(SgPoolOsAlloc(total));
    if (big == nullptr) {
        SgDebugPrint(SG_FAC_MEM, SG_LVL_CRIT, "Cannot allocate memory chunk of %u bytes", total);
        return nullptr;
    }
    {
        PoolLock lock;
        big->allocSite = site;
        big->previous = nullptr;
        big->next = g_pool.bigChunks;
        if (g_pool.bigChunks != nullptr) g_pool.bigChunks->previous = big;
        g_pool.bigChunks = big;
        ++g_pool.bigChunksInUse;
    }
    big->type = kPoolType;
    std::memset(big->reserved, 0, sizeof(big->reserved));
    big->size = total;
    big->magic = kBigChunkMagic;
    return reinterpret_cast<uint8_t*>(big) + kBigHeaderSize;
}

// Unlinks the big chunk and returns it to the heap if it is listed; false otherwise.
bool ReleaseBig(BigChunkHeader* candidate) {
    {
        PoolLock lock;
        BigChunkHeader* big = g_pool.bigChunks;
        while (big != nullptr && big != candidate) big = big->next;
        if (big == nullptr) return false;
        if (big->previous != nullptr) {
            big->previous->next = big->next;
        } else {
            g_pool.bigChunks = big->next;
        }
        if (big->next != nullptr) big->next->previous = big->previous;
        --g_pool.bigChunksInUse;
    }
    std::free(candidate);
    return true;
}

char PrintableOrDot(uint8_t byte) { return (byte >= 32 && byte <= 126) ? static_cast<char>(byte) : '.'; }

}  // namespace

bool SgInitMemory() {
    if (g_poolReady.load(std::memory_order_acquire)) return true;
    auto** heads = static_cast<BlockHeader**>(std::calloc(kClassIndexes, sizeof(BlockHeader*)));
    auto** tails = static_cast<BlockHeader**>(std::calloc(kClassIndexes, sizeof(BlockHeader*)));
    if (heads == nullptr || tails == nullptr) {
        SgDebugPrint(SG_FAC_MEM, SG_LVL_CRIT, "Cannot allocate the memory pool free lists");
        std::free(heads);
        std::free(tails);
        return false;
    }
    g_pool.freeHeads = heads;
    g_pool.freeTails = tails;
    g_pool.chunks = nullptr;
    g_pool.bigChunks = nullptr;
    g_pool.chunksAllocated = 0;
    g_pool.noFreeBufferFailures = 0;
    g_pool.badMagicCount = 0;
    g_pool.blocksInUse = 0;
    g_pool.bigChunksInUse = 0;
    InitializeCriticalSection(&g_pool.lock);
    g_poolReady.store(true, std::memory_order_release);
    return true;
}

SG_NOINLINE void* SgAllocMem(size_t size) {
    const uint64_t site = SG_RETURN_ADDRESS();
    if (!g_poolReady.load(std::memory_order_acquire)) {
        SgDebugPrint(SG_FAC_MEM, SG_LVL_ERROR, "Memory pool not initialised, cannot allocate %llu bytes",
                     static_cast<unsigned long long>(size));
        return nullptr;
    }
    if (size > kPoolMaxSmall) return AllocBig(size, site);

    const uint8_t c = ClassForSmall(size);
    BlockHeader* block;
    bool listCorrupt = false;
    {
        PoolLock lock;
        block = g_pool.freeHeads[c];
        if (block == nullptr) {
            CreateBuffersLocked(1, c);
            block = g_pool.freeHeads[c];
            if (block == nullptr) ++g_pool.noFreeBufferFailures;
        }
        if (block != nullptr && block->magic == kBlockMagicAllocated) {
            // The list hands out a block that is in use: leave the list as it is.
            ++g_pool.badMagicCount;
            listCorrupt = true;
        } else if (block != nullptr) {
            g_pool.freeHeads[c] = block->nextFree;
            if (block->nextFree == nullptr) g_pool.freeTails[c] = nullptr;
            block->nextFree = nullptr;
            block->allocSite = site;
            block->magic = kBlockMagicAllocated;
            block->sizeClass = c;
            block->type = kPoolType;
            ++g_pool.blocksInUse;
        }
    }
    if (block == nullptr) {
        SgDebugPrint(SG_FAC_MEM, SG_LVL_CRIT, "Cannot obtain a free buffer!");
        return nullptr;
    }
    if (listCorrupt) {
        SgDebugPrint(SG_FAC_MEM, SG_LVL_ERROR, "Allocating block with bad magic value!");
        return nullptr;
    }
    return block + 1;
}

SG_NOINLINE void SgFreeMem(void* pointer) {
    const uint64_t site = SG_RETURN_ADDRESS();
    if (pointer == nullptr) return;
    if (!g_poolReady.load(std::memory_order_acquire)) {
        // After shutdown the block's chunk is gone: do not look at it.
        SgDebugPrint(SG_FAC_MEM, SG_LVL_ERROR, "Memory pool not initialised, release of 0x%p ignored", pointer);
        return;
    }
    auto* data = static_cast<uint8_t*>(pointer);
    uint32_t probe;
    std::memcpy(&probe, data - sizeof(probe), sizeof(probe));
    if (probe == kBigChunkMagic && ReleaseBig(reinterpret_cast<BigChunkHeader*>(data - kBigHeaderSize))) return;

    auto* block = reinterpret_cast<BlockHeader*>(data - kPoolGranule);
    enum { kReleased, kBadMagic, kBadType, kBadClass } outcome = kReleased;
    {
        // Checked under the lock so a racing allocation of the same block cannot
        // slip between the check and the list update.
        PoolLock lock;
        if (block->magic != kBlockMagicAllocated) {
            ++g_pool.badMagicCount;
            outcome = kBadMagic;
        } else if (block->type != kPoolType) {
            outcome = kBadType;
        } else if (!IsClass(block->sizeClass)) {
            outcome = kBadClass;
        } else {
            block->olderAllocSite = block->lastAllocSite;
            block->olderReleaseSite = block->lastReleaseSite;
            block->lastAllocSite = block->allocSite;
            block->lastReleaseSite = site;
            block->allocSite = 0;
            block->magic = kBlockMagicFree;
            const uint8_t c = block->sizeClass;
            if (g_pool.freeHeads[c] == nullptr) g_pool.freeTails[c] = block;
            block->nextFree = g_pool.freeHeads[c];
            g_pool.freeHeads[c] = block;
            --g_pool.blocksInUse;
        }
    }
    switch (outcome) {
        case kBadMagic:
            SgDebugPrint(SG_FAC_MEM, SG_LVL_ERROR, "Deallocating block with bad magic value!");
            break;
        case kBadType:
            SgDebugPrint(SG_FAC_MEM, SG_LVL_ERROR, "Deallocating block with bad type!");
            break;
        case kBadClass:
            SgDebugPrint(SG_FAC_MEM, SG_LVL_ERROR, "Deallocating block with bad class!");
            break;
        case kReleased:
            break;
    }
}

void SgCreateBuffers(uint32_t count, uint32_t size) {
    if (!g_poolReady.load(std::memory_order_acquire)) {
        SgDebugPrint(SG_FAC_MEM, SG_LVL_ERROR, "Memory pool not initialised, cannot create buffers");
        return;
    }
    if (size > kPoolMaxSmall) {
        SgDebugPrint(SG_FAC_MEM, SG_LVL_ERROR, "Cannot create buffers of %u bytes: served by big chunks", size);
        return;
    }
    uint32_t made;
    {
        PoolLock lock;
        made = CreateBuffersLocked(count, ClassForSmall(size));
    }
    if (made < count) {
        SgDebugPrint(SG_FAC_MEM, SG_LVL_CRIT, "Created only %u of %u buffers of %u bytes", made, count, size);
    }
}

int SgPoolClassForSize(size_t size) { return size > kPoolMaxSmall ? -1 : ClassForSmall(size); }

SgPoolStats SgGetPoolStats() {
    // After shutdown the counters of the last pool stay readable without the lock.
    const bool ready = g_poolReady.load(std::memory_order_acquire);
    if (ready) EnterCriticalSection(&g_pool.lock);
    SgPoolStats stats{};
    stats.chunksAllocated = g_pool.chunksAllocated;
    stats.noFreeBufferFailures = g_pool.noFreeBufferFailures;
    stats.badMagicCount = g_pool.badMagicCount;
    stats.blocksInUse = g_pool.blocksInUse;
    stats.bigChunksInUse = g_pool.bigChunksInUse;
    if (ready) LeaveCriticalSection(&g_pool.lock);
    return stats;
}

void SgDumpBuffer(const void* address, uint32_t length) {
    if (length == 0) return;
    SgDebugPrint(SG_FAC_MEM, SG_LVL_DEBUG, "Buffer length %d ", static_cast<int>(length));
    const auto* bytes = static_cast<const uint8_t*>(address);
    static const char kHex[] = "0123456789ABCDEF";
    for (uint32_t line = 0; line < length; line += 16) {
        char hex[50];
        char text[17];
        std::memset(hex, ' ', 49);
        std::memset(text, ' ', 16);
        hex[49] = '\0';
        text[16] = '\0';
        const uint32_t count = (length - line < 16) ? length - line : 16;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t byte = bytes[line + i];
            hex[i * 3] = kHex[byte >> 4];
            hex[i * 3 + 1] = kHex[byte & 0xF];
            text[i] = PrintableOrDot(byte);
        }
        SgDebugPrint(SG_FAC_MEM, SG_LVL_DEBUG, "0x%04X  %s %s", line, hex, text);
    }
}

bool SgShutdownMemory() {
    if (!g_poolReady.load(std::memory_order_acquire)) return true;
    int unreleasedBig = 0;
    int unreleasedBlocks = 0;
    {
        PoolLock lock;
        g_poolReady.store(false, std::memory_order_release);

        BigChunkHeader* big = g_pool.bigChunks;
        while (big != nullptr) {
            BigChunkHeader* next = big->next;
            SgDebugPrint(SG_FAC_MEM, SG_LVL_ERROR, "Unreleased big chunk allocated at: 0x%p",
                         reinterpret_cast<void*>(static_cast<uintptr_t>(big->allocSite)));
            SgDebugPrint(SG_FAC_MEM, SG_LVL_ERROR, "Unreleased big chunk is %lu bytes",
                         static_cast<unsigned long>(big->size));
            // Every big chunk holds more than 16 KB, so 128 bytes from the site field are its own.
            SgDumpBuffer(&big->allocSite, kLeakDumpLength);
            std::free(big);
            ++unreleasedBig;
            big = next;
        }
        g_pool.bigChunks = nullptr;
        SgDebugPrint(SG_FAC_MEM, SG_LVL_DEBUG, "There are %d unreleased big chunk buffers", unreleasedBig);

        ChunkLinks* chunk = g_pool.chunks;
        while (chunk != nullptr) {
            ChunkLinks* next = chunk->next;
            auto* block = reinterpret_cast<BlockHeader*>(chunk + 1);
            for (; block != nullptr; block = block->nextInChunk) {
                if (block->magic != kBlockMagicAllocated) continue;
                SgDebugPrint(SG_FAC_MEM, SG_LVL_ERROR, "Unreleased memory block allocated at: 0x%p",
                             reinterpret_cast<void*>(static_cast<uintptr_t>(block->allocSite)));
                const uint32_t room = static_cast<uint32_t>(block->sizeClass) * kPoolGranule;
                SgDumpBuffer(block + 1, room < kLeakDumpLength ? room : kLeakDumpLength);
                ++unreleasedBlocks;
            }
            std::free(chunk);
            chunk = next;
        }
        g_pool.chunks = nullptr;
        SgDebugPrint(SG_FAC_MEM, SG_LVL_DEBUG, "There are %d unreleased memory buffers", unreleasedBlocks);
        SgDebugPrint(SG_FAC_MEM, SG_LVL_DEBUG, "A total of %llu chunks of memory were used",
                     static_cast<unsigned long long>(g_pool.chunksAllocated));
        g_pool.blocksInUse = 0;
        g_pool.bigChunksInUse = 0;
    }
    DeleteCriticalSection(&g_pool.lock);
    std::free(g_pool.freeHeads);
    std::free(g_pool.freeTails);
    g_pool.freeHeads = nullptr;
    g_pool.freeTails = nullptr;
    return unreleasedBig == 0 && unreleasedBlocks == 0 && g_pool.noFreeBufferFailures == 0 && g_pool.badMagicCount == 0;
}
