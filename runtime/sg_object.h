// Common header of every runtime object: container links, bucket value, allocation
// size and the object's own destroy operation. Containers dispose of their elements
// through destroy alone; true means the holder may return the memory to the pool.
#pragma once

#include <cstdint>

struct SgObject;
typedef bool (*SgDestroyFn)(SgObject* object);

struct SgObject {
    SgObject* next;       // next element in a list, or in a table's insertion order
    SgObject* previous;   // previous element in the same order
    SgObject* chainNext;  // next element in the same hash bucket
    SgObject* chainPrevious;
    uint32_t bucket;  // owner-computed hash value
    uint32_t size;    // bytes allocated for the object
    SgDestroyFn destroy;
};
