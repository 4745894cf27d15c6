// Containers: insert-or-replace in place, bucket clamping, removal without destruction, free
// modes, destroy order, list operations, and delayed deletion driven by a table destroy.
#include "runtime/sg_containers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runtime/memory.h"
#include "tests/support/log_capture.h"

namespace {

// A test element: a key, a tag telling equal-key elements apart, and reference-counting fields.
struct Item {
    SgObject header;
    int key;
    int tag;
    CRITICAL_SECTION lock;
    uint32_t count;
    uint8_t deletePending;
    uint8_t refCounted;     // destroy goes through the reference count
    uint8_t destroyAnswer;  // what a plain destroy answers
};

struct Destroyed {
    int tag;
    bool answer;
};
std::vector<Destroyed> g_destroyed;

SgRefFields RefOf(Item* item) { return {&item->lock, &item->count, &item->deletePending}; }

bool DestroyItem(SgObject* object) {
    auto* item = reinterpret_cast<Item*>(object);
    bool answer = item->refCounted ? SgRefTryDestroy(RefOf(item), nullptr) : item->destroyAnswer != 0;
    g_destroyed.push_back({item->tag, answer});
    return answer;
}
bool SameKey(const SgObject* a, const SgObject* b) {
    return reinterpret_cast<const Item*>(a)->key == reinterpret_cast<const Item*>(b)->key;
}
bool MatchesKey(const SgObject* element, const void* key) {
    return reinterpret_cast<const Item*>(element)->key == *static_cast<const int*>(key);
}

Item* NewItem(int key, uint32_t bucket, int tag) {
    auto* item = static_cast<Item*>(SgAllocMem(sizeof(Item)));
    memset(item, 0, sizeof(*item));
    item->header = {nullptr, nullptr, nullptr, nullptr, bucket, sizeof(Item), DestroyItem};
    item->key = key;
    item->tag = tag;
    item->destroyAnswer = 1;
    return item;
}

using nvx_test::BlocksInUse;

// Tags along a list or the insertion order (next links), checking every back link and the tail.
std::vector<int> OrderTags(const SgObject* head, const SgObject* tail) {
    std::vector<int> tags;
    const SgObject* last = nullptr;
    for (const SgObject* e = head; e != nullptr; last = e, e = e->next) {
        EXPECT_EQ(e->previous, last) << "broken back link";
        tags.push_back(reinterpret_cast<const Item*>(e)->tag);
    }
    EXPECT_EQ(tail, last);
    return tags;
}
std::vector<int> ChainTags(const SgHashTable* table, uint32_t bucket) {
    std::vector<int> tags;
    const SgObject* last = nullptr;
    for (const SgObject* e = table->buckets[bucket]; e != nullptr; last = e, e = e->chainNext) {
        EXPECT_EQ(e->chainPrevious, last) << "broken chain back link";
        tags.push_back(reinterpret_cast<const Item*>(e)->tag);
    }
    return tags;
}
using Tags = std::vector<int>;

class ContainersTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SgInitMemory());
        g_destroyed.clear();
    }
    void TearDown() override { EXPECT_TRUE(SgShutdownMemory()) << "pool blocks left behind"; }

    static SgHashTable* NewTable(uint32_t buckets, uint32_t freeMode) {
        SgHashTable* table = SgCreateHashTable();
        table->compareElements = SameKey;
        table->compareKey = MatchesKey;
        table->freeMode = freeMode;
        EXPECT_TRUE(SgSetHashBuckets(table, buckets));
        return table;
    }
    static void FreeTable(SgHashTable* table) { EXPECT_TRUE(SgDisposeObject(&table->header, kSgFreeAlways)); }
};

// ---- hash table -----------------------------------------------------------------------------

TEST_F(ContainersTest, ReplaceTakesThePlaceOfTheEqualElementInChainAndOrder) {
    SgHashTable* table = NewTable(8, kSgFreeWhenDestroyed);
    // Keys 1..4 share bucket 2: chain (newest first) 4 3 2 1, order 1 2 3 4; key 5 elsewhere.
    for (int key = 1; key <= 5; ++key) ASSERT_TRUE(SgHashInsert(table, &NewItem(key, key == 5 ? 6 : 2, key)->header));
    const uint64_t blocks = BlocksInUse();

    // A middle element, the order's head (chain tail), the chain head, the order's tail.
    Item* middle = NewItem(3, 2, 30);
    ASSERT_TRUE(SgHashInsert(table, &middle->header));
    ASSERT_TRUE(SgHashInsert(table, &NewItem(1, 2, 10)->header));
    ASSERT_TRUE(SgHashInsert(table, &NewItem(4, 2, 40)->header));
    ASSERT_TRUE(SgHashInsert(table, &NewItem(5, 6, 50)->header));

    EXPECT_EQ(OrderTags(table->head, table->tail), (Tags{10, 2, 30, 40, 50}));
    EXPECT_EQ(ChainTags(table, 2), (Tags{40, 30, 2, 10}));
    EXPECT_EQ(table->count, 5u);
    int key = 3;
    EXPECT_EQ(SgHashLookup(table, 2, &key), &middle->header);
    ASSERT_EQ(g_destroyed.size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(g_destroyed[i].tag, (Tags{3, 1, 4, 5}[i])) << "the old one's destroy ran";
    EXPECT_EQ(BlocksInUse(), blocks) << "each replaced element's memory goes back to the pool";

    ASSERT_TRUE(SgHashInsert(table, &middle->header)) << "re-inserting a present element";
    EXPECT_EQ(g_destroyed.size(), 4u) << "must not dispose of it";
    FreeTable(table);
}

TEST_F(ContainersTest, BucketValuesBeyondTheTableLandInTheLastBucket) {
    SgHashTable* table = NewTable(16, kSgFreeWhenDestroyed);
    Item* beyond = NewItem(1, 1000, 1);
    ASSERT_TRUE(SgHashInsert(table, &beyond->header));
    ASSERT_TRUE(SgHashInsert(table, &NewItem(2, 15, 2)->header));
    EXPECT_EQ(beyond->header.bucket, 1000u) << "the element keeps its own hash value";
    EXPECT_EQ(ChainTags(table, 15), (Tags{2, 1}));
    int key = 1;
    EXPECT_EQ(SgHashLookup(table, 0xFFFFFFFFu, &key), &beyond->header);
    EXPECT_EQ(SgHashLookup(table, 3, &key), nullptr) << "lookups scan only the given bucket";
    ASSERT_TRUE(SgHashRemove(table, &beyond->header));
    EXPECT_EQ(ChainTags(table, 15), (Tags{2}));
    SgFreeMem(beyond);
    FreeTable(table);
}

TEST_F(ContainersTest, RemovalUnlinksWithoutDestroying) {
    SgHashTable* table = NewTable(8, kSgFreeWhenDestroyed);
    Item* only = NewItem(1, 5, 1);
    ASSERT_TRUE(SgHashInsert(table, &only->header));
    ASSERT_TRUE(SgHashRemove(table, &only->header));
    EXPECT_EQ(table->head, nullptr);
    EXPECT_EQ(table->tail, nullptr);
    EXPECT_EQ(table->buckets[5], nullptr);
    EXPECT_EQ(table->count, 0u);
    EXPECT_FALSE(SgHashRemove(table, &only->header)) << "no longer linked";

    // Chain 3 2 1 0, order 0 1 2 3: remove a middle one, the order's head, the order's tail.
    Item* items[4];
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(SgHashInsert(table, &(items[i] = NewItem(i, 3, i))->header));
    for (int i : {2, 0, 3}) ASSERT_TRUE(SgHashRemove(table, &items[i]->header));
    EXPECT_EQ(OrderTags(table->head, table->tail), (Tags{1}));
    EXPECT_EQ(ChainTags(table, 3), (Tags{1}));
    EXPECT_EQ(table->count, 1u);
    EXPECT_TRUE(g_destroyed.empty()) << "removal never destroys";
    for (Item* item : {only, items[0], items[2], items[3]}) SgFreeMem(item);
    FreeTable(table);
}

TEST_F(ContainersTest, DisposedElementMemoryFollowsTheFreeMode) {
    // Mode 0 returns the memory whatever destroy answered; mode 1 only when it answered true.
    for (uint32_t mode : {kSgFreeAlways, kSgFreeWhenDestroyed}) {
        SCOPED_TRACE(mode);
        const uint64_t before = BlocksInUse();
        SgHashTable* table = NewTable(4, mode);
        Item* replaced = NewItem(7, 1, 1);
        replaced->destroyAnswer = 0;
        ASSERT_TRUE(SgHashInsert(table, &replaced->header));
        ASSERT_TRUE(SgHashInsert(table, &NewItem(7, 1, 2)->header));
        SgList* list = SgCreateList();
        list->freeMode = mode;
        Item* listed = NewItem(8, 0, 3);
        listed->destroyAnswer = 0;
        SgListAppend(list, &listed->header);
        FreeTable(table);
        EXPECT_TRUE(SgDisposeObject(&list->header, kSgFreeAlways));
        EXPECT_EQ(g_destroyed.size(), 3u);
        if (mode == kSgFreeWhenDestroyed) {
            EXPECT_EQ(BlocksInUse(), before + 2) << "both delayed elements are kept";
            EXPECT_EQ(replaced->header.next, nullptr) << "and hold no links into their container";
            SgFreeMem(replaced);
            SgFreeMem(listed);
        }
        EXPECT_EQ(BlocksInUse(), before);
        g_destroyed.clear();
    }
}

TEST_F(ContainersTest, TableDestroyGoesInInsertionOrderAndDelaysAnElementStillHeld) {
    SgHashTable* table = NewTable(4, kSgFreeWhenDestroyed);
    const int keys[] = {5, 1, 9, 2};  // an order unlike any chain order
    for (int key : keys) ASSERT_TRUE(SgHashInsert(table, &NewItem(key, key % 4, key)->header));
    Item* shared = NewItem(6, 2, 6);
    shared->refCounted = 1;
    SgRefInit(RefOf(shared));
    SgRefAdd(RefOf(shared));
    SgRefAdd(RefOf(shared));  // three holders
    ASSERT_TRUE(SgHashInsert(table, &shared->header));
    const uint64_t withTable = BlocksInUse();

    FreeTable(table);
    ASSERT_EQ(g_destroyed.size(), 5u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(g_destroyed[i].tag, keys[i]);
    EXPECT_FALSE(g_destroyed[4].answer);
    EXPECT_EQ(shared->count, 2u);
    EXPECT_EQ(shared->deletePending, 1);
    EXPECT_EQ(BlocksInUse(), withTable - 6) << "table, buckets and four elements; the held one stays";

    EXPECT_EQ(SgReleaseRefObject(&shared->header, RefOf(shared)), kSgRefKept);
    EXPECT_EQ(g_destroyed.size(), 5u);
    EXPECT_EQ(SgReleaseRefObject(&shared->header, RefOf(shared)), kSgRefDestroy);
    ASSERT_EQ(g_destroyed.size(), 6u);
    EXPECT_TRUE(g_destroyed[5].answer);
    EXPECT_EQ(BlocksInUse(), withTable - 7);
}

// ---- list -----------------------------------------------------------------------------------

TEST_F(ContainersTest, ListPushAppendPopAndUnlink) {
    SgList* list = SgCreateList();
    Item* items[5];
    for (int i = 0; i < 5; ++i) items[i] = NewItem(i, 0, i);
    SgListAppend(list, &items[1]->header);
    SgListPushHead(list, &items[0]->header);
    for (int i : {2, 3, 4}) SgListAppend(list, &items[i]->header);
    EXPECT_EQ(OrderTags(list->head, list->tail), (Tags{0, 1, 2, 3, 4}));

    ASSERT_TRUE(SgListUnlink(list, &items[2]->header));  // middle
    ASSERT_TRUE(SgListUnlink(list, &items[4]->header));  // tail
    EXPECT_FALSE(SgListUnlink(list, &items[4]->header)) << "no longer linked";
    EXPECT_EQ(OrderTags(list->head, list->tail), (Tags{0, 1, 3}));
    EXPECT_EQ(list->count, 3u);
    EXPECT_EQ(SgListPopHead(list), &items[0]->header);
    ASSERT_TRUE(SgListUnlink(list, &items[1]->header));  // head
    ASSERT_TRUE(SgListUnlink(list, &items[3]->header));  // only element
    EXPECT_EQ(list->head, nullptr);
    EXPECT_EQ(list->tail, nullptr);
    EXPECT_EQ(list->count, 0u);
    EXPECT_EQ(SgListPopHead(list), nullptr);
    for (Item* item : items) SgFreeMem(item);
    EXPECT_TRUE(SgDisposeObject(&list->header, kSgFreeAlways));
    EXPECT_TRUE(g_destroyed.empty());
}

TEST_F(ContainersTest, ListMoveAllAppendsInOrderAndEmptiesTheSource) {
    SgList* a = SgCreateList();
    SgList* b = SgCreateList();
    for (int key : {1, 2}) SgListAppend(a, &NewItem(key, 0, key)->header);
    for (int key : {3, 4, 5}) SgListAppend(b, &NewItem(key, 0, key)->header);
    ASSERT_TRUE(SgListMoveAll(a, b));
    EXPECT_EQ(OrderTags(a->head, a->tail), (Tags{1, 2, 3, 4, 5}));
    EXPECT_EQ(a->count, 5u);
    EXPECT_EQ(b->head, nullptr);
    EXPECT_EQ(b->count, 0u);
    ASSERT_TRUE(SgListMoveAll(b, a)) << "into an empty destination";
    EXPECT_EQ(OrderTags(b->head, b->tail), (Tags{1, 2, 3, 4, 5}));

    EXPECT_TRUE(SgDisposeObject(&a->header, kSgFreeAlways));
    EXPECT_TRUE(SgDisposeObject(&b->header, kSgFreeAlways));
    ASSERT_EQ(g_destroyed.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(g_destroyed[i].tag, i + 1) << "list destroy goes from the head";
}

}  // namespace
