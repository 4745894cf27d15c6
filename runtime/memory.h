// The memory pool: per-class free lists of 64-byte-granular blocks cut from 64 KB
// chunks, big allocations tracked on their own list, allocation history in every
// block header, and a leak report at shutdown.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/compiler.h"

constexpr uint32_t kPoolChunkSize = 0x10000;
constexpr uint32_t kPoolGranule = 64;
constexpr uint32_t kPoolMaxSmall = 255 * 64;  // larger requests become big chunks

bool SgInitMemory();
// True only when nothing was left unreleased and no fault was counted.
bool SgShutdownMemory();
SG_NOINLINE void* SgAllocMem(size_t size);
SG_NOINLINE void SgFreeMem(void* pointer);
void SgDumpBuffer(const void* address, uint32_t length);
void SgCreateBuffers(uint32_t count, uint32_t size);

// Class (in granules) that serves a request of `size` bytes; -1 for a big chunk.
int SgPoolClassForSize(size_t size);

struct SgPoolStats {
    uint64_t chunksAllocated;
    uint64_t noFreeBufferFailures;
    uint64_t badMagicCount;
    uint64_t blocksInUse;
    uint64_t bigChunksInUse;
};
SgPoolStats SgGetPoolStats();
