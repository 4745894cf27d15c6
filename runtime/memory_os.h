// The memory pool's one source of OS memory: its chunks and its big blocks (freed with free).
// Kept apart from the pool, as a plain C symbol, so that a test build can count and fail these
// allocations at link time (runtime/fault_seam_testing.h); the shipped service calls it directly.
#pragma once

#include <cstddef>

extern "C" void* SgPoolOsAlloc(size_t size);
