// Intrusive containers for SgObject elements, and reference counting with delayed deletion.
//
// SgList is a doubly linked list through the header's next/previous links. SgHashTable is a
// chained hash table through the chain links that also keeps its elements in insertion order
// through next/previous; the owner computes each element's bucket value and stores it in the
// header before inserting, and a table uses min(bucket, bucket count - 1). Containers never
// lock: each owner guards its container with its own critical section. A container disposes
// of elements only through their destroy operation (SgDisposeObject).
#pragma once

#include <windows.h>

#include <cstdint>

#include "runtime/sg_object.h"

// Free modes: what a container does with an element's memory after calling its destroy.
enum : uint32_t {
    kSgFreeAlways = 0,         // return the memory whatever destroy answered
    kSgFreeWhenDestroyed = 1,  // return it only when destroy answered true (deletion not delayed)
};

typedef bool (*SgCompareElementsFn)(const SgObject* candidate, const SgObject* present);
typedef bool (*SgCompareKeyFn)(const SgObject* element, const void* key);

struct SgHashTable {
    SgObject header;  // destroy = SgDestroyHashTable
    SgObject** buckets;
    SgObject* head;  // insertion order
    SgObject* tail;
    uint32_t count;
    uint32_t bucketCount;
    uint32_t freeMode;
    SgCompareElementsFn compareElements;  // (new element, element present)
    SgCompareKeyFn compareKey;
};

struct SgList {
    SgObject header;  // destroy = SgDestroyList
    SgObject* head;
    SgObject* tail;
    uint32_t count;
    uint32_t freeMode;
};

// Calls the object's destroy (if any) and returns its memory to the pool as the free mode
// says. True when the memory was returned.
bool SgDisposeObject(SgObject* object, uint32_t freeMode);

// ---- hash table ----------------------------------------------------------------------------

// Zero-filled table with its size and destroy set, free mode 0, no buckets and no comparisons.
SgHashTable* SgCreateHashTable();
// Allocates n zeroed bucket heads. Only for a table without elements (chains depend on the
// bucket count). On failure the table has no buckets (bucket count 0) and false is returned.
bool SgSetHashBuckets(SgHashTable* table, uint32_t n);
// Insert or replace: an element equal to one present (element comparison, new element first)
// takes its place in the bucket chain and in the insertion order, the count is unchanged and
// the old element is disposed of by the free mode. Otherwise the element goes to the head of
// its bucket and the tail of the insertion order. False for a null table or element, a table
// without buckets or without an element comparison.
bool SgHashInsert(SgHashTable* table, SgObject* element);
// Insert without looking for an equal element: the element goes to the head of its bucket and
// the tail of the insertion order. Only for an owner that has just found no equal element by
// a lookup under the same hold of its lock; it saves a second walk of the bucket.
bool SgHashInsertAbsent(SgHashTable* table, SgObject* element);
// Unlinks the element from its bucket and the insertion order; never destroys it. False when
// the element is not linked into this table.
bool SgHashRemove(SgHashTable* table, SgObject* element);
// First element of bucket min(bucket, bucket count - 1) that matches the key; null if none.
SgObject* SgHashLookup(const SgHashTable* table, uint32_t bucket, const void* key);
// The table's destroy: disposes of every element in insertion order, then returns the bucket
// array. Answers true; the owner returns the table's own memory (or uses SgDisposeObject).
bool SgDestroyHashTable(SgObject* table);

// ---- list ----------------------------------------------------------------------------------

// Zero-filled empty list with its size and destroy set, free mode 0.
SgList* SgCreateList();
bool SgListPushHead(SgList* list, SgObject* element);
bool SgListAppend(SgList* list, SgObject* element);
// Unlinked head element, or null when the list is empty.
SgObject* SgListPopHead(SgList* list);
// Appends every element of source, in order, to the tail of destination; source is left empty.
bool SgListMoveAll(SgList* destination, SgList* source);
// False when the element is not linked into this list.
bool SgListUnlink(SgList* list, SgObject* element);
// The list's destroy: disposes of every element from the head. Answers true; the owner
// returns the list's own memory.
bool SgDestroyList(SgObject* list);

// ---- reference counting with delayed deletion ------------------------------------------------
//
// A shared object carries a lock, a reference count and a delete-pending flag wherever its
// layout puts them; SgRefFields points at the three. A new object has count 1, held by its
// creator. A reference is added while the lock of the container the object was found in is
// still held, so a lookup result cannot be destroyed before it is referenced. Lock order:
// container lock, then object lock.

struct SgRefFields {
    CRITICAL_SECTION* lock;
    uint32_t* count;
    uint8_t* deletePending;
};

enum SgRefOutcome : uint32_t {
    kSgRefWasZero = 0,  // the count was already 0: nothing changed (the caller logs it)
    kSgRefKept = 1,     // one reference dropped; the object lives on
    kSgRefDestroy = 2,  // deletion was pending and the last reference went: the count is set
                        // back to 1 and the caller must call the destroy operation now
    kSgRefLast = 3,     // SgRefReleaseKeepLast only: this was the only reference of an object
                        // still in its container; the count is left at 1 for SgRefDropLast
};

// Initialises the lock; count 1, not pending.
void SgRefInit(const SgRefFields& ref);
void SgRefAdd(const SgRefFields& ref);
uint32_t SgRefCount(const SgRefFields& ref);
bool SgRefDeletePending(const SgRefFields& ref);
// The destroy step. With more than one reference: count - 1, delete pending set, *remaining
// = the new count (for the type's "Delay deleting" line), answer false. Otherwise the lock is
// deleted and true answered: the caller releases what the object owns and answers true.
bool SgRefTryDestroy(const SgRefFields& ref, uint32_t* remaining);
// Decrements a positive count; a pending object reaching 0 answers kSgRefDestroy.
SgRefOutcome SgRefRelease(const SgRefFields& ref);
// As SgRefRelease, except that the only reference of an object that is not pending is not
// dropped here (kSgRefLast): the caller takes its container lock and calls SgRefDropLast,
// so that the final decrement and the removal happen together and a concurrent lookup either
// sees the object referenced or not at all.
SgRefOutcome SgRefReleaseKeepLast(const SgRefFields& ref);
// With the container lock held: drops the reference kept by kSgRefLast. True when the count
// reached 0: the caller removes the object from its container and destroys it.
bool SgRefDropLast(const SgRefFields& ref);
// SgRefRelease followed, for kSgRefDestroy, by the object's destroy and the return of its
// memory when destroy answers true. Answers the release outcome.
SgRefOutcome SgReleaseRefObject(SgObject* object, const SgRefFields& ref);
