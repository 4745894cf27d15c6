#include "runtime/sg_containers.h"

#include <cstring>

#include "runtime/debug_log.h"
#include "runtime/memory.h"

namespace {

bool HasBuckets(const SgHashTable* table) { return table->buckets != nullptr && table->bucketCount != 0; }

uint32_t BucketOf(const SgHashTable* table, uint32_t bucket) {
    return bucket < table->bucketCount ? bucket : table->bucketCount - 1;
}

void ClearLinks(SgObject* element) {
    element->next = nullptr;
    element->previous = nullptr;
    element->chainNext = nullptr;
    element->chainPrevious = nullptr;
}

// Puts `element` where `present` is, in the chain of bucket b and in the insertion order.
void TakePlace(SgHashTable* table, uint32_t b, SgObject* present, SgObject* element) {
    element->chainNext = present->chainNext;
    element->chainPrevious = present->chainPrevious;
    if (element->chainPrevious != nullptr) {
        element->chainPrevious->chainNext = element;
    } else {
        table->buckets[b] = element;
    }
    if (element->chainNext != nullptr) element->chainNext->chainPrevious = element;

    element->next = present->next;
    element->previous = present->previous;
    if (element->previous != nullptr) {
        element->previous->next = element;
    } else {
        table->head = element;
    }
    if (element->next != nullptr) {
        element->next->previous = element;
    } else {
        table->tail = element;
    }
    ClearLinks(present);
}

// Head of bucket b and tail of the insertion order.
void LinkNew(SgHashTable* table, uint32_t b, SgObject* element) {
    element->chainPrevious = nullptr;
    element->chainNext = table->buckets[b];
    if (element->chainNext != nullptr) element->chainNext->chainPrevious = element;
    table->buckets[b] = element;

    element->next = nullptr;
    element->previous = table->tail;
    if (table->tail != nullptr) {
        table->tail->next = element;
    } else {
        table->head = element;
    }
    table->tail = element;
    ++table->count;
}

// True when `element` is linked into the order whose ends are head/tail: either it has a
// predecessor or it is the head. A cheap guard against unlinking a stranger.
bool InOrder(const SgObject* head, const SgObject* element) { return element->previous != nullptr || head == element; }

}  // namespace

bool SgDisposeObject(SgObject* object, uint32_t freeMode) {
    if (object == nullptr) return false;
    bool destroyed = object->destroy != nullptr ? object->destroy(object) : true;
    if (freeMode == kSgFreeAlways || destroyed) {
        SgFreeMem(object);
        return true;
    }
    return false;
}

// ---- hash table ----------------------------------------------------------------------------

SgHashTable* SgCreateHashTable() {
    auto* table = static_cast<SgHashTable*>(SgAllocMem(sizeof(SgHashTable)));
    if (table == nullptr) return nullptr;
    memset(table, 0, sizeof(*table));
    table->header.size = sizeof(SgHashTable);
    table->header.destroy = SgDestroyHashTable;
    return table;
}

bool SgSetHashBuckets(SgHashTable* table, uint32_t n) {
    if (table == nullptr) {
        SgDebugPrint(SG_FAC_OBJ, SG_LVL_ERROR, "SgSetHashBuckets: no table");
        return false;
    }
    if (table->count != 0) {
        SgDebugPrint(SG_FAC_OBJ, SG_LVL_ERROR, "SgSetHashBuckets: table holds %u elements", table->count);
        return false;
    }
    if (table->buckets != nullptr) SgFreeMem(table->buckets);
    table->buckets = nullptr;
    table->bucketCount = 0;
    if (n == 0) {
        SgDebugPrint(SG_FAC_OBJ, SG_LVL_ERROR, "SgSetHashBuckets: zero buckets");
        return false;
    }
    auto* buckets = static_cast<SgObject**>(SgAllocMem(static_cast<size_t>(n) * sizeof(SgObject*)));
    if (buckets == nullptr) return false;  // the pool has logged it
    memset(buckets, 0, static_cast<size_t>(n) * sizeof(SgObject*));
    table->buckets = buckets;
    table->bucketCount = n;
    return true;
}

bool SgHashInsert(SgHashTable* table, SgObject* element) {
    if (table == nullptr || element == nullptr || !HasBuckets(table) || table->compareElements == nullptr) {
        SgDebugPrint(SG_FAC_OBJ, SG_LVL_ERROR, "SgHashInsert: invalid table or element");
        return false;
    }
    const uint32_t b = BucketOf(table, element->bucket);
    for (SgObject* present = table->buckets[b]; present != nullptr; present = present->chainNext) {
        // Inserting an element that is already in the table must not dispose of it.
        if (present == element) return true;
        if (table->compareElements(element, present)) {
            TakePlace(table, b, present, element);
            SgDisposeObject(present, table->freeMode);
            return true;
        }
    }
    LinkNew(table, b, element);
    return true;
}

bool SgHashInsertAbsent(SgHashTable* table, SgObject* element) {
    if (table == nullptr || element == nullptr || !HasBuckets(table)) {
        SgDebugPrint(SG_FAC_OBJ, SG_LVL_ERROR, "SgHashInsertAbsent: invalid table or element");
        return false;
    }
    LinkNew(table, BucketOf(table, element->bucket), element);
    return true;
}

bool SgHashRemove(SgHashTable* table, SgObject* element) {
    if (table == nullptr || element == nullptr || !HasBuckets(table)) {
        SgDebugPrint(SG_FAC_OBJ, SG_LVL_ERROR, "SgHashRemove: invalid table or element");
        return false;
    }
    const uint32_t b = BucketOf(table, element->bucket);
    const bool inChain = element->chainPrevious != nullptr || table->buckets[b] == element;
    if (!inChain || !InOrder(table->head, element)) {
        SgDebugPrint(SG_FAC_OBJ, SG_LVL_ERROR, "SgHashRemove: element 0x%p is not in the table", element);
        return false;
    }
    if (element->chainPrevious != nullptr) {
        element->chainPrevious->chainNext = element->chainNext;
    } else {
        table->buckets[b] = element->chainNext;
    }
    if (element->chainNext != nullptr) element->chainNext->chainPrevious = element->chainPrevious;

    if (element->previous != nullptr) {
        element->previous->next = element->next;
    } else {
        table->head = element->next;
    }
    if (element->next != nullptr) {
        element->next->previous = element->previous;
    } else {
        table->tail = element->previous;
    }
    ClearLinks(element);
    if (table->count > 0) --table->count;
    return true;
}

SgObject* SgHashLookup(const SgHashTable* table, uint32_t bucket, const void* key) {
    if (table == nullptr || !HasBuckets(table) || table->compareKey == nullptr) return nullptr;
    for (SgObject* element = table->buckets[BucketOf(table, bucket)]; element != nullptr;
         element = element->chainNext) {
        if (table->compareKey(element, key)) return element;
    }
    return nullptr;
}

bool SgDestroyHashTable(SgObject* object) {
    auto* table = reinterpret_cast<SgHashTable*>(object);
    if (table == nullptr) return false;
    SgObject* element = table->head;
    // Unlink everything first: an element whose deletion is delayed outlives the table and
    // must not keep pointers into it.
    table->head = table->tail = nullptr;
    table->count = 0;
    while (element != nullptr) {
        SgObject* next = element->next;
        ClearLinks(element);
        SgDisposeObject(element, table->freeMode);
        element = next;
    }
    if (table->buckets != nullptr) SgFreeMem(table->buckets);
    table->buckets = nullptr;
    table->bucketCount = 0;
    return true;
}

// ---- list ----------------------------------------------------------------------------------

SgList* SgCreateList() {
    auto* list = static_cast<SgList*>(SgAllocMem(sizeof(SgList)));
    if (list == nullptr) return nullptr;
    memset(list, 0, sizeof(*list));
    list->header.size = sizeof(SgList);
    list->header.destroy = SgDestroyList;
    return list;
}

bool SgListPushHead(SgList* list, SgObject* element) {
    if (list == nullptr || element == nullptr) {
        SgDebugPrint(SG_FAC_OBJ, SG_LVL_ERROR, "SgListPushHead: invalid list or element");
        return false;
    }
    element->previous = nullptr;
    element->next = list->head;
    if (list->head != nullptr) {
        list->head->previous = element;
    } else {
        list->tail = element;
    }
    list->head = element;
    ++list->count;
    return true;
}

bool SgListAppend(SgList* list, SgObject* element) {
    if (list == nullptr || element == nullptr) {
        SgDebugPrint(SG_FAC_OBJ, SG_LVL_ERROR, "SgListAppend: invalid list or element");
        return false;
    }
    element->next = nullptr;
    element->previous = list->tail;
    if (list->tail != nullptr) {
        list->tail->next = element;
    } else {
        list->head = element;
    }
    list->tail = element;
    ++list->count;
    return true;
}

SgObject* SgListPopHead(SgList* list) {
    if (list == nullptr || list->head == nullptr) return nullptr;
    SgObject* element = list->head;
    list->head = element->next;
    if (list->head != nullptr) {
        list->head->previous = nullptr;
    } else {
        list->tail = nullptr;
    }
    element->next = element->previous = nullptr;
    if (list->count > 0) --list->count;
    return element;
}

bool SgListMoveAll(SgList* destination, SgList* source) {
    if (destination == nullptr || source == nullptr) {
        SgDebugPrint(SG_FAC_OBJ, SG_LVL_ERROR, "SgListMoveAll: invalid list");
        return false;
    }
    if (destination == source || source->head == nullptr) return true;
    source->head->previous = destination->tail;
    if (destination->tail != nullptr) {
        destination->tail->next = source->head;
    } else {
        destination->head = source->head;
    }
    destination->tail = source->tail;
    destination->count += source->count;
    source->head = source->tail = nullptr;
    source->count = 0;
    return true;
}

bool SgListUnlink(SgList* list, SgObject* element) {
    if (list == nullptr || element == nullptr) {
        SgDebugPrint(SG_FAC_OBJ, SG_LVL_ERROR, "SgListUnlink: invalid list or element");
        return false;
    }
    if (!InOrder(list->head, element)) {
        SgDebugPrint(SG_FAC_OBJ, SG_LVL_ERROR, "SgListUnlink: element 0x%p is not in the list", element);
        return false;
    }
    if (element->previous != nullptr) {
        element->previous->next = element->next;
    } else {
        list->head = element->next;
    }
    if (element->next != nullptr) {
        element->next->previous = element->previous;
    } else {
        list->tail = element->previous;
    }
    element->next = element->previous = nullptr;
    if (list->count > 0) --list->count;
    return true;
}

bool SgDestroyList(SgObject* object) {
    auto* list = reinterpret_cast<SgList*>(object);
    if (list == nullptr) return false;
    while (SgObject* element = SgListPopHead(list)) SgDisposeObject(element, list->freeMode);
    return true;
}

// ---- reference counting with delayed deletion ------------------------------------------------

void SgRefInit(const SgRefFields& ref) {
    InitializeCriticalSection(ref.lock);
    *ref.count = 1;
    *ref.deletePending = 0;
}

void SgRefAdd(const SgRefFields& ref) {
    EnterCriticalSection(ref.lock);
    ++*ref.count;
    LeaveCriticalSection(ref.lock);
}

uint32_t SgRefCount(const SgRefFields& ref) {
    EnterCriticalSection(ref.lock);
    uint32_t count = *ref.count;
    LeaveCriticalSection(ref.lock);
    return count;
}

bool SgRefDeletePending(const SgRefFields& ref) {
    EnterCriticalSection(ref.lock);
    bool pending = *ref.deletePending != 0;
    LeaveCriticalSection(ref.lock);
    return pending;
}

bool SgRefTryDestroy(const SgRefFields& ref, uint32_t* remaining) {
    EnterCriticalSection(ref.lock);
    if (*ref.count > 1) {
        uint32_t count = --*ref.count;
        *ref.deletePending = 1;
        LeaveCriticalSection(ref.lock);
        if (remaining != nullptr) *remaining = count;
        return false;
    }
    LeaveCriticalSection(ref.lock);
    DeleteCriticalSection(ref.lock);
    if (remaining != nullptr) *remaining = 0;
    return true;
}

namespace {

SgRefOutcome Release(const SgRefFields& ref, bool keepLast) {
    EnterCriticalSection(ref.lock);
    const uint32_t old = *ref.count;
    SgRefOutcome outcome = kSgRefKept;
    if (old == 0) {
        outcome = kSgRefWasZero;
    } else if (*ref.deletePending != 0) {
        // Only destroy sets the flag, and it has already taken the object out of its
        // container: the last holder destroys it (with the count at 1, so destroy frees).
        *ref.count = old - 1;
        if (*ref.count == 0) {
            *ref.count = 1;
            outcome = kSgRefDestroy;
        }
    } else if (old == 1 && keepLast) {
        outcome = kSgRefLast;
    } else {
        *ref.count = old - 1;
    }
    LeaveCriticalSection(ref.lock);
    return outcome;
}

}  // namespace

SgRefOutcome SgRefRelease(const SgRefFields& ref) { return Release(ref, false); }

SgRefOutcome SgRefReleaseKeepLast(const SgRefFields& ref) { return Release(ref, true); }

bool SgRefDropLast(const SgRefFields& ref) {
    EnterCriticalSection(ref.lock);
    bool last = false;
    if (*ref.count > 0) last = --*ref.count == 0;
    LeaveCriticalSection(ref.lock);
    return last;
}

SgRefOutcome SgReleaseRefObject(SgObject* object, const SgRefFields& ref) {
    SgRefOutcome outcome = SgRefRelease(ref);
    if (outcome == kSgRefDestroy && object->destroy != nullptr && object->destroy(object)) SgFreeMem(object);
    return outcome;
}
