// Containers: insert-or-replace in place, bucket clamping, removal without destruction, free
// modes, table and list destroy order, list operations, and reference counting with delayed
// deletion driven by a container destroy.
#include "runtime/sg_containers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runtime/memory.h"

namespace {

// A test element: an integer key, a tag telling replacement candidates apart, and the
// reference-counting fields in the place a real type might put them.
struct Item {
    SgObject header;
    int key;
    int tag;
    CRITICAL_SECTION lock;
    uint32_t count;
    uint8_t deletePending;
    uint8_t refCounted;    // destroy goes through the reference count
    uint8_t destroyAnswer;  // what a plain destroy answers
};

struct Destroyed {
    int key;
    int tag;
    bool answer;
};
std::vector<Destroyed> g_destroyed;

SgRefFields RefOf(Item* item) { return {&item->lock, &item->count, &item->deletePending}; }

bool DestroyItem(SgObject* object) {
    auto* item = reinterpret_cast<Item*>(object);
    bool answer = item->refCounted ? SgRefTryDestroy(RefOf(item), nullptr) : item->destroyAnswer != 0;
    g_destroyed.push_back({item->key, item->tag, answer});
    return answer;
}

bool SameKey(const SgObject* a, const SgObject* b) {
    return reinterpret_cast<const Item*>(a)->key == reinterpret_cast<const Item*>(b)->key;
}
bool MatchesKey(const SgObject* element, const void* key) {
    return reinterpret_cast<const Item*>(element)->key == *static_cast<const int*>(key);
}

Item* NewItem(int key, uint32_t bucket, int tag = 0) {
    auto* item = static_cast<Item*>(SgAllocMem(sizeof(Item)));
    memset(item, 0, sizeof(*item));
    item->header.size = sizeof(Item);
    item->header.destroy = DestroyItem;
    item->header.bucket = bucket;
    item->key = key;
    item->tag = tag;
    item->destroyAnswer = 1;
    return item;
}

Item* NewRefItem(int key, uint32_t bucket) {
    Item* item = NewItem(key, bucket);
    item->refCounted = 1;
    SgRefInit(RefOf(item));
    return item;
}

uint64_t BlocksInUse() { return SgGetPoolStats().blocksInUse; }

class ContainersTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SgInitMemory());
        g_destroyed.clear();
    }
    void TearDown() override { EXPECT_TRUE(SgShutdownMemory()) << "pool blocks left behind"; }

    SgHashTable* NewTable(uint32_t buckets, uint32_t freeMode) {
        SgHashTable* table = SgCreateHashTable();
        EXPECT_NE(table, nullptr);
        table->compareElements = SameKey;
        table->compareKey = MatchesKey;
        table->freeMode = freeMode;
        EXPECT_TRUE(SgSetHashBuckets(table, buckets));
        return table;
    }
    static void FreeTable(SgHashTable* table) { EXPECT_TRUE(SgDisposeObject(&table->header, kSgFreeAlways)); }

    static std::vector<int> OrderTags(const SgHashTable* table) {
        std::vector<int> tags;
        const SgObject* last = nullptr;
        for (const SgObject* e = table->head; e != nullptr; e = e->next) {
            EXPECT_EQ(e->previous, last) << "broken backward link";
            tags.push_back(reinterpret_cast<const Item*>(e)->tag);
            last = e;
        }
        EXPECT_EQ(table->tail, last);
        return tags;
    }
    static std::vector<int> ChainTags(const SgHashTable* table, uint32_t bucket) {
        std::vector<int> tags;
        const SgObject* last = nullptr;
        for (const SgObject* e = table->buckets[bucket]; e != nullptr; e = e->chainNext) {
            EXPECT_EQ(e->chainPrevious, last) << "broken chain back link";
            tags.push_back(reinterpret_cast<const Item*>(e)->tag);
            last = e;
        }
        return tags;
    }
    static std::vector<int> ListKeys(const SgList* list) {
        std::vector<int> keys;
        const SgObject* last = nullptr;
        for (const SgObject* e = list->head; e != nullptr; e = e->next) {
            EXPECT_EQ(e->previous, last);
            keys.push_back(reinterpret_cast<const Item*>(e)->key);
            last = e;
        }
        EXPECT_EQ(list->tail, last);
        EXPECT_EQ(list->count, keys.size());
        return keys;
    }
};

// ---- hash table: insert or replace ----------------------------------------------------------

TEST_F(ContainersTest, ReplaceTakesThePlaceOfTheEqualElementInChainAndOrder) {
    SgHashTable* table = NewTable(8, kSgFreeWhenDestroyed);
    // Keys 1..4 share bucket 2: chain (newest first) 4 3 2 1, order 1 2 3 4; key 5 elsewhere.
    for (int key = 1; key <= 4; ++key) ASSERT_TRUE(SgHashInsert(table, &NewItem(key, 2, key)->header));
    ASSERT_TRUE(SgHashInsert(table, &NewItem(5, 6, 5)->header));
    ASSERT_EQ(OrderTags(table), (std::vector<int>{1, 2, 3, 4, 5}));
    ASSERT_EQ(ChainTags(table, 2), (std::vector<int>{4, 3, 2, 1}));
    const uint64_t blocks = BlocksInUse();

    // A middle element, the order's head (chain tail), the chain head, the order's tail.
    Item* middle = NewItem(3, 2, 30);
    ASSERT_TRUE(SgHashInsert(table, &middle->header));
    ASSERT_TRUE(SgHashInsert(table, &NewItem(1, 2, 10)->header));
    ASSERT_TRUE(SgHashInsert(table, &NewItem(4, 2, 40)->header));
    ASSERT_TRUE(SgHashInsert(table, &NewItem(5, 6, 50)->header));

    EXPECT_EQ(OrderTags(table), (std::vector<int>{10, 2, 30, 40, 50}));
    EXPECT_EQ(ChainTags(table, 2), (std::vector<int>{40, 30, 2, 10}));
    EXPECT_EQ(table->count, 5u);
    int key = 3;
    EXPECT_EQ(SgHashLookup(table, 2, &key), &middle->header);
    ASSERT_EQ(g_destroyed.size(), 4u);
    EXPECT_EQ(g_destroyed[0].tag, 3);
    EXPECT_EQ(g_destroyed[1].tag, 1);
    EXPECT_EQ(g_destroyed[2].tag, 4);
    EXPECT_EQ(g_destroyed[3].tag, 5);
    EXPECT_EQ(BlocksInUse(), blocks) << "each replaced element's memory goes back to the pool";

    // Re-inserting an element that is already present must not dispose of it.
    ASSERT_TRUE(SgHashInsert(table, &middle->header));
    EXPECT_EQ(g_destroyed.size(), 4u);
    EXPECT_EQ(table->count, 5u);
    FreeTable(table);
}

TEST_F(ContainersTest, ReplacedElementMemoryFollowsTheFreeMode) {
    for (uint32_t mode : {kSgFreeAlways, kSgFreeWhenDestroyed}) {
        SCOPED_TRACE(mode);
        SgHashTable* table = NewTable(4, mode);
        Item* old = NewItem(7, 1, 1);
        old->destroyAnswer = 0;  // deletion delayed
        ASSERT_TRUE(SgHashInsert(table, &old->header));
        const uint64_t blocks = BlocksInUse();
        ASSERT_TRUE(SgHashInsert(table, &NewItem(7, 1, 2)->header));
        ASSERT_EQ(g_destroyed.size(), 1u);
        if (mode == kSgFreeAlways) {
            EXPECT_EQ(BlocksInUse(), blocks) << "mode 0 returns the memory whatever destroy answered";
        } else {
            EXPECT_EQ(BlocksInUse(), blocks + 1) << "mode 1 keeps an element whose destroy answered false";
            EXPECT_EQ(old->header.next, nullptr);
            EXPECT_EQ(old->header.chainNext, nullptr);
            SgFreeMem(old);
        }
        FreeTable(table);
        g_destroyed.clear();
    }
}

TEST_F(ContainersTest, InsertRefusesIncompleteTables) {
    Item* item = NewItem(1, 0);
    EXPECT_FALSE(SgHashInsert(nullptr, &item->header));
    SgHashTable* table = SgCreateHashTable();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->header.size, sizeof(SgHashTable));
    EXPECT_EQ(table->header.destroy, SgDestroyHashTable);
    table->compareElements = SameKey;
    EXPECT_FALSE(SgHashInsert(table, &item->header)) << "no buckets";
    ASSERT_TRUE(SgSetHashBuckets(table, 4));
    EXPECT_FALSE(SgHashInsert(table, nullptr));
    table->compareElements = nullptr;
    EXPECT_FALSE(SgHashInsert(table, &item->header)) << "no element comparison";
    table->compareElements = SameKey;
    ASSERT_TRUE(SgHashInsert(table, &item->header));
    EXPECT_FALSE(SgSetHashBuckets(table, 16)) << "the chains depend on the bucket count";
    EXPECT_EQ(table->bucketCount, 4u);
    FreeTable(table);
    EXPECT_FALSE(SgSetHashBuckets(table = SgCreateHashTable(), 0));
    EXPECT_EQ(table->bucketCount, 0u);
    FreeTable(table);
}

// ---- hash table: buckets, lookup, removal ---------------------------------------------------

TEST_F(ContainersTest, BucketValuesBeyondTheTableLandInTheLastBucket) {
    SgHashTable* table = NewTable(16, kSgFreeWhenDestroyed);
    Item* beyond = NewItem(1, 1000);
    Item* last = NewItem(2, 15);
    ASSERT_TRUE(SgHashInsert(table, &beyond->header));
    ASSERT_TRUE(SgHashInsert(table, &last->header));
    EXPECT_EQ(beyond->header.bucket, 1000u) << "the element keeps its own hash value";
    EXPECT_EQ(ChainTags(table, 15).size(), 2u);
    int key = 1;
    EXPECT_EQ(SgHashLookup(table, 0xFFFFFFFFu, &key), &beyond->header);
    EXPECT_EQ(SgHashLookup(table, 15, &key), &beyond->header);
    EXPECT_EQ(SgHashLookup(table, 3, &key), nullptr) << "lookups scan only the given bucket";
    ASSERT_TRUE(SgHashRemove(table, &beyond->header));
    EXPECT_EQ(table->buckets[15], &last->header);
    SgFreeMem(beyond);
    FreeTable(table);
}

TEST_F(ContainersTest, LookupComparesKeysAndFirstMatchWins) {
    SgHashTable* table = NewTable(4, kSgFreeWhenDestroyed);
    Item* a = NewItem(10, 1);
    Item* b = NewItem(20, 1);
    ASSERT_TRUE(SgHashInsert(table, &a->header));
    ASSERT_TRUE(SgHashInsert(table, &b->header));
    int key = 10;
    EXPECT_EQ(SgHashLookup(table, 1, &key), &a->header);
    key = 20;
    EXPECT_EQ(SgHashLookup(table, 1, &key), &b->header);
    key = 30;
    EXPECT_EQ(SgHashLookup(table, 1, &key), nullptr);
    // An element that is not equal by the element comparison but matches the same key:
    // the bucket head (newest) is found first.
    table->compareElements = [](const SgObject*, const SgObject*) { return false; };
    Item* twin = NewItem(10, 1, 99);
    ASSERT_TRUE(SgHashInsert(table, &twin->header));
    key = 10;
    EXPECT_EQ(SgHashLookup(table, 1, &key), &twin->header);
    table->compareKey = nullptr;
    EXPECT_EQ(SgHashLookup(table, 1, &key), nullptr);
    FreeTable(table);
}

TEST_F(ContainersTest, RemovingTheOnlyElementEmptiesTheTable) {
    SgHashTable* table = NewTable(8, kSgFreeWhenDestroyed);
    Item* item = NewItem(1, 5);
    ASSERT_TRUE(SgHashInsert(table, &item->header));
    ASSERT_TRUE(SgHashRemove(table, &item->header));
    EXPECT_EQ(table->head, nullptr);
    EXPECT_EQ(table->tail, nullptr);
    EXPECT_EQ(table->buckets[5], nullptr);
    EXPECT_EQ(table->count, 0u);
    EXPECT_TRUE(g_destroyed.empty()) << "removal never destroys";
    EXPECT_FALSE(SgHashRemove(table, &item->header)) << "no longer linked";
    EXPECT_EQ(table->count, 0u);
    SgFreeMem(item);
    FreeTable(table);
}

TEST_F(ContainersTest, RemovalRelinksNeighboursInChainAndOrder) {
    SgHashTable* table = NewTable(4, kSgFreeWhenDestroyed);
    Item* items[4];
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(SgHashInsert(table, &(items[i] = NewItem(i, 3, i))->header));
    // Chain 3 2 1 0, order 0 1 2 3. Remove a middle one, then the order's head (chain tail),
    // then the order's tail (chain head).
    ASSERT_TRUE(SgHashRemove(table, &items[2]->header));
    ASSERT_TRUE(SgHashRemove(table, &items[0]->header));
    ASSERT_TRUE(SgHashRemove(table, &items[3]->header));
    EXPECT_EQ(OrderTags(table), (std::vector<int>{1}));
    EXPECT_EQ(ChainTags(table, 3), (std::vector<int>{1}));
    EXPECT_EQ(table->count, 1u);
    EXPECT_TRUE(g_destroyed.empty());

    Item* stranger = NewItem(9, 3);
    EXPECT_FALSE(SgHashRemove(table, &stranger->header)) << "an element of no table";
    EXPECT_EQ(table->count, 1u);
    for (Item* item : {items[0], items[2], items[3], stranger}) SgFreeMem(item);
    FreeTable(table);
}

// ---- destroy of a table ---------------------------------------------------------------------

TEST_F(ContainersTest, TableDestroyDisposesInInsertionOrderAndReturnsBuckets) {
    const uint64_t before = BlocksInUse();
    SgHashTable* table = NewTable(4, kSgFreeWhenDestroyed);
    // Insertion order differs from every chain order.
    const int keys[] = {5, 1, 9, 2, 6};
    for (int key : keys) ASSERT_TRUE(SgHashInsert(table, &NewItem(key, key % 4, key)->header));
    FreeTable(table);
    ASSERT_EQ(g_destroyed.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(g_destroyed[i].key, keys[i]);
    EXPECT_EQ(BlocksInUse(), before) << "elements, bucket array and the table are all returned";
}

TEST_F(ContainersTest, TableDestroyDelaysAnElementStillHeldAndTheLastReleaseFreesIt) {
    SgHashTable* table = NewTable(4, kSgFreeWhenDestroyed);
    Item* shared = NewRefItem(1, 0);
    SgRefAdd(RefOf(shared));
    SgRefAdd(RefOf(shared));  // three holders: the creator and two others
    ASSERT_TRUE(SgHashInsert(table, &shared->header));
    ASSERT_TRUE(SgHashInsert(table, &NewRefItem(2, 0)->header));  // a sole holder: freed at once
    const uint64_t withTable = BlocksInUse();

    FreeTable(table);
    ASSERT_EQ(g_destroyed.size(), 2u);
    EXPECT_FALSE(g_destroyed[0].answer);
    EXPECT_TRUE(g_destroyed[1].answer);
    EXPECT_EQ(shared->count, 2u);
    EXPECT_TRUE(SgRefDeletePending(RefOf(shared)));
    EXPECT_EQ(shared->header.next, nullptr) << "a survivor keeps no links into the freed table";
    EXPECT_EQ(BlocksInUse(), withTable - 3) << "table, buckets and the sole holder's element";

    EXPECT_EQ(SgReleaseRefObject(&shared->header, RefOf(shared)), kSgRefKept);
    EXPECT_EQ(shared->count, 1u);
    EXPECT_EQ(g_destroyed.size(), 2u);
    EXPECT_EQ(SgReleaseRefObject(&shared->header, RefOf(shared)), kSgRefDestroy);
    ASSERT_EQ(g_destroyed.size(), 3u);
    EXPECT_TRUE(g_destroyed[2].answer);
    EXPECT_EQ(BlocksInUse(), withTable - 4);
}

// ---- reference counting ---------------------------------------------------------------------

TEST_F(ContainersTest, ReleaseOutcomes) {
    Item* item = NewRefItem(1, 0);
    const SgRefFields ref = RefOf(item);
    EXPECT_EQ(SgRefCount(ref), 1u);

    // Without deletion pending the count may rest at 0 (the container still holds it), and a
    // further release changes nothing.
    EXPECT_EQ(SgRefRelease(ref), kSgRefKept);
    EXPECT_EQ(SgRefCount(ref), 0u);
    EXPECT_EQ(SgRefRelease(ref), kSgRefWasZero);
    EXPECT_EQ(SgRefCount(ref), 0u);
    EXPECT_FALSE(SgRefDeletePending(ref));

    // Keep-last: the only reference stays counted until the container lock is held.
    SgRefAdd(ref);
    SgRefAdd(ref);
    EXPECT_EQ(SgRefReleaseKeepLast(ref), kSgRefKept);
    EXPECT_EQ(SgRefReleaseKeepLast(ref), kSgRefLast);
    EXPECT_EQ(SgRefCount(ref), 1u);
    SgRefAdd(ref);  // someone found it meanwhile
    EXPECT_FALSE(SgRefDropLast(ref));
    EXPECT_EQ(SgRefReleaseKeepLast(ref), kSgRefLast);
    EXPECT_TRUE(SgRefDropLast(ref));
    EXPECT_EQ(SgRefCount(ref), 0u);

    uint32_t remaining = 99;
    EXPECT_TRUE(SgRefTryDestroy(ref, &remaining));
    EXPECT_EQ(remaining, 0u);
    SgFreeMem(item);
}

// ---- list -----------------------------------------------------------------------------------

TEST_F(ContainersTest, ListPushAppendPopAndUnlink) {
    SgList* list = SgCreateList();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->header.destroy, SgDestroyList);
    Item* items[5];
    for (int i = 0; i < 5; ++i) items[i] = NewItem(i, 0);
    ASSERT_TRUE(SgListAppend(list, &items[1]->header));
    ASSERT_TRUE(SgListPushHead(list, &items[0]->header));
    ASSERT_TRUE(SgListAppend(list, &items[2]->header));
    ASSERT_TRUE(SgListAppend(list, &items[3]->header));
    ASSERT_TRUE(SgListAppend(list, &items[4]->header));
    EXPECT_EQ(ListKeys(list), (std::vector<int>{0, 1, 2, 3, 4}));

    ASSERT_TRUE(SgListUnlink(list, &items[2]->header));  // middle
    ASSERT_TRUE(SgListUnlink(list, &items[4]->header));  // tail
    EXPECT_EQ(ListKeys(list), (std::vector<int>{0, 1, 3}));
    EXPECT_FALSE(SgListUnlink(list, &items[4]->header)) << "no longer linked";
    EXPECT_EQ(SgListPopHead(list), &items[0]->header);
    EXPECT_EQ(items[0]->header.next, nullptr);
    ASSERT_TRUE(SgListUnlink(list, &items[1]->header));  // head
    ASSERT_TRUE(SgListUnlink(list, &items[3]->header));  // only element
    EXPECT_EQ(list->head, nullptr);
    EXPECT_EQ(list->tail, nullptr);
    EXPECT_EQ(list->count, 0u);
    EXPECT_EQ(SgListPopHead(list), nullptr);
    EXPECT_TRUE(g_destroyed.empty());

    for (Item* item : items) SgFreeMem(item);
    EXPECT_TRUE(SgDisposeObject(&list->header, kSgFreeAlways));
}

TEST_F(ContainersTest, ListMoveAllAppendsInOrderAndEmptiesTheSource) {
    SgList* a = SgCreateList();
    SgList* b = SgCreateList();
    for (int key : {1, 2}) SgListAppend(a, &NewItem(key, 0)->header);
    for (int key : {3, 4, 5}) SgListAppend(b, &NewItem(key, 0)->header);
    ASSERT_TRUE(SgListMoveAll(a, b));
    EXPECT_EQ(ListKeys(a), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_TRUE(ListKeys(b).empty());
    ASSERT_TRUE(SgListMoveAll(a, b)) << "an empty source changes nothing";
    EXPECT_EQ(ListKeys(a).size(), 5u);
    ASSERT_TRUE(SgListMoveAll(b, a)) << "into an empty destination";
    EXPECT_EQ(ListKeys(b), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_TRUE(ListKeys(a).empty());
    EXPECT_FALSE(SgListMoveAll(nullptr, a));

    EXPECT_TRUE(SgDisposeObject(&a->header, kSgFreeAlways));
    EXPECT_TRUE(SgDisposeObject(&b->header, kSgFreeAlways));
    ASSERT_EQ(g_destroyed.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(g_destroyed[i].key, i + 1) << "list destroy goes from the head";
}

TEST_F(ContainersTest, ListDestroyKeepsDelayedElementsOnlyInFreeModeOne) {
    for (uint32_t mode : {kSgFreeAlways, kSgFreeWhenDestroyed}) {
        SCOPED_TRACE(mode);
        const uint64_t before = BlocksInUse();
        SgList* list = SgCreateList();
        list->freeMode = mode;
        Item* delayed = NewItem(1, 0);
        delayed->destroyAnswer = 0;
        SgListAppend(list, &delayed->header);
        SgListAppend(list, &NewItem(2, 0)->header);
        EXPECT_TRUE(SgDisposeObject(&list->header, kSgFreeAlways));
        EXPECT_EQ(g_destroyed.size(), 2u);
        if (mode == kSgFreeWhenDestroyed) {
            EXPECT_EQ(BlocksInUse(), before + 1);
            SgFreeMem(delayed);
        }
        EXPECT_EQ(BlocksInUse(), before);
        g_destroyed.clear();
    }
}

}  // namespace
