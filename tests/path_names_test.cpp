// Path management: interning and sharing, exact-byte comparison, the hash rules, invalid names
// and the shutdown report, delayed deletion at shutdown, the count-0 warning, the place of the
// OS path management calls, and get/release from several threads at once.
#include "runtime/path_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/debug_log.h"
#include "runtime/memory.h"
#include "runtime/path_names_testing.h"
#include "tests/support/log_capture.h"

namespace {

using nvx_test::BlocksInUse;
using nvx_test::LogLine;
constexpr auto TakeLog = nvx_test::TakeLogWithoutPoolDebug;

bool Logged(const std::vector<LogLine>& log, const std::string& text, uint32_t facility) {
    return nvx_test::CountLines(log, facility, SG_LVL_DEBUG, text) == 1;
}

// Caller-owned counted strings; the path objects must keep their own copies.
struct WideName {
    std::wstring text;
    UNICODE_STRING us;
    explicit WideName(const std::wstring& t) : text(t) {
        us = {static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2), text.data()};
    }
};
struct NarrowName {
    std::string text;
    ANSI_STRING as;
    explicit NarrowName(const std::string& t) : text(t) {
        as = {static_cast<USHORT>(text.size()), static_cast<USHORT>(text.size()), text.data()};
    }
};

std::wstring TextOf(const SgFullPath* path) {
    return std::wstring(path->wideName->Buffer, path->wideName->Length / sizeof(wchar_t));
}

// Stand-ins for OS path management, which needs the machine's known directories.
std::vector<std::string> g_events;
bool g_osInitAnswer = true;
bool g_osShutdownAnswer = true;
bool g_osInitCouldIntern = false;

bool FakeInitOsPaths() {
    g_events.push_back("InitOsPaths");
    WideName probe(L"\\Device\\HarddiskVolume1\\Windows");
    SgFullPath* path = SgGetFullPathW(&probe.us);
    g_osInitCouldIntern = path != nullptr;
    SgReleaseFullPathW(path);
    return g_osInitAnswer;
}
bool FakeShutdownOsPaths() {
    g_events.push_back("ShutdownOsPaths");
    return g_osShutdownAnswer;
}

uint32_t WideCount() { return SgPathTableCountForTesting(true); }

// A name of the same length as `name` whose last four characters differ and whose bucket is
// the same; empty when none of 26^4 endings gives one.
std::wstring BucketSharer(const std::wstring& name) {
    WideName target(name);
    const uint32_t bucket = SgHashPathW(&target.us);
    WideName candidate(name);
    const size_t end = candidate.text.size();
    for (uint32_t i = 0; i < 26 * 26 * 26 * 26; ++i) {
        for (uint32_t k = 0, rest = i; k < 4; ++k, rest /= 26) candidate.text[end - 1 - k] = L'a' + rest % 26;
        if (candidate.text != name && SgHashPathW(&candidate.us) == bucket) return candidate.text;
    }
    return {};
}

class PathNamesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SgInitMemory());
        const SgOsPathCalls calls = {FakeInitOsPaths, FakeShutdownOsPaths};
        SgSetOsPathCallsForTesting(&calls);
        g_events.clear();
        g_osInitAnswer = g_osShutdownAnswer = true;
        ASSERT_TRUE(SgInitPathManagement());
        TakeLog();
    }
    void TearDown() override {
        g_osShutdownAnswer = true;
        EXPECT_TRUE(SgShutdownPathManagement());
        SgSetOsPathCallsForTesting(nullptr);
        EXPECT_TRUE(SgShutdownMemory()) << "pool blocks left behind";
    }
};

// ---- interning ------------------------------------------------------------------------------

TEST_F(PathNamesTest, SameNameTwiceSharesOneObjectUntilTheLastRelease) {
    const uint64_t before = BlocksInUse();
    WideName first(L"\\Device\\HarddiskVolume3\\ProgramData\\Kestro\\Vantor\\Journals\\00\\j1.bin");
    WideName second(first.text);  // same text, another caller buffer
    SgFullPath* a = SgGetFullPathW(&first.us);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(SgGetFullPathW(&second.us), a);
    EXPECT_EQ(a->referenceCount, 2u);
    EXPECT_EQ(a->header.bucket, SgHashPathW(&first.us));
    EXPECT_EQ(a->wideName->MaximumLength, first.us.Length + 2);
    first.text[1] = L'X';
    EXPECT_EQ(TextOf(a), second.text) << "the object owns a copy";

    SgReleaseFullPathW(a);
    EXPECT_EQ(a->referenceCount, 1u);
    EXPECT_EQ(WideCount(), 1u);
    SgReleaseFullPathW(a);
    EXPECT_EQ(WideCount(), 0u);
    EXPECT_EQ(BlocksInUse(), before) << "object and name copy returned";

    SgFullPath* again = SgGetFullPathW(&second.us);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->referenceCount, 1u) << "a new object";
    SgReleaseFullPathW(again);
    EXPECT_TRUE(TakeLog().empty()) << "normal get and release log nothing";
}

TEST_F(PathNamesTest, NamesAreComparedByExactBytesPerForm) {
    WideName upper(L"\\Device\\HarddiskVolume3\\Temp");
    WideName lower(L"\\device\\harddiskvolume3\\temp");
    WideName swapped(BucketSharer(upper.text));  // same length, same bucket, other bytes
    ASSERT_FALSE(swapped.text.empty()) << "no name of that length shares the bucket";
    WideName prefix(L"\\Device\\HarddiskVolume3\\Tem");
    NarrowName narrow("\\Device\\HarddiskVolume3\\Temp");
    SgFullPath* u = SgGetFullPathW(&upper.us);
    SgFullPath* l = SgGetFullPathW(&lower.us);
    SgFullPath* s = SgGetFullPathW(&swapped.us);
    SgFullPath* p = SgGetFullPathW(&prefix.us);
    SgFullPath* n = SgGetFullPathA(&narrow.as);
    ASSERT_TRUE(u && l && s && p && n);
    EXPECT_NE(u, l);
    EXPECT_NE(u, s);
    EXPECT_EQ(u->header.bucket, s->header.bucket);
    EXPECT_EQ(SgGetFullPathW(&swapped.us), s) << "lookup in a shared bucket finds the right name";
    EXPECT_EQ(WideCount(), 4u);
    EXPECT_EQ(n->wide, 0);
    EXPECT_STREQ(n->narrowName->Buffer, narrow.text.c_str()) << "UTF-8 copy is NUL-terminated";
    EXPECT_EQ(SgPathTableCountForTesting(false), 1u);
    for (SgFullPath* path : {u, l, s, s, p, n}) SgReleaseFullPath(path);  // dispatches on the form
    EXPECT_EQ(WideCount(), 0u);
    EXPECT_EQ(SgPathTableCountForTesting(false), 0u);
}

TEST_F(PathNamesTest, BucketsStayInRangeAndFollowTheBytesOfEitherForm) {
    for (const std::wstring& text : {std::wstring(), std::wstring(1, wchar_t(0xFFFF)), std::wstring(3, wchar_t(0xFFFF)),
                                     std::wstring(9, L'a'), std::wstring(kPathMaxNameBytes / 2, wchar_t(0xFFFF))}) {
        WideName name(text);
        EXPECT_LE(SgHashPathW(&name.us), kPathHashMask) << text.size() << " units";
    }
    // The bucket is the hash of the name's bytes, in either form; equal bytes, equal bucket.
    NarrowName narrow("\xC3\xA9");
    SgFullPath* path = SgGetFullPathA(&narrow.as);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(path->header.bucket, SgHashPathA(&narrow.as));
    EXPECT_LE(path->header.bucket, kPathHashMask);
    SgReleaseFullPathA(path);
    WideName wide(L"\\Device\\HarddiskVolume3\\a");
    const ANSI_STRING sameBytes = {wide.us.Length, wide.us.Length, reinterpret_cast<char*>(wide.text.data())};
    EXPECT_EQ(SgHashPathA(&sameBytes), SgHashPathW(&wide.us));
}

// Device paths share long prefixes and differ in a few digits near the end; names that are
// anagrams of each other are the worst case of a bucket function that ignores positions.
TEST_F(PathNamesTest, DevicePathsSpreadOverTheBuckets) {
    std::vector<std::wstring> names;
    wchar_t text[160];
    for (int dir = 0; dir < 18; ++dir) {  // 4,032 journals
        for (int day = 1; day <= 28; ++day) {
            for (int seq = 0; seq < 8; ++seq) {
                swprintf(text, 160,
                         L"\\Device\\HarddiskVolume3\\ProgramData\\Kestro\\Vantor\\Journals\\%02d\\202603%02d-%06d.bin",
                         dir, day, seq * 1001);
                names.emplace_back(text);
            }
        }
    }
    for (int log = 0; log < 64; ++log) {
        swprintf(text, 160, L"\\Device\\HarddiskVolume3\\ProgramData\\Kestro\\Vantor\\Logs\\nvxs.log.%05d", log);
        names.emplace_back(text);
    }
    std::wstring digits = L"0123456789";  // 3,628,800 orders; the first 4,096 in sequence
    for (int i = 0; i < 4096; ++i) {
        names.push_back(L"\\Device\\HarddiskVolume3\\Windows\\Temp\\" + digits + L".tmp");
        std::next_permutation(digits.begin(), digits.end());
    }
    // Two sets of 4,096 names each, in both forms: the expected spread of 4,096 random
    // values over 8,192 buckets is about 3,220 buckets used and a longest chain of 5 or 6.
    for (size_t set = 0; set < 2; ++set) {
        std::vector<uint32_t> wideChains(kPathTableBuckets), narrowChains(kPathTableBuckets);
        for (size_t i = set * 4096; i < (set + 1) * 4096; ++i) {
            WideName wide(names[i]);
            NarrowName narrow(std::string(names[i].begin(), names[i].end()));
            ++wideChains[SgHashPathW(&wide.us)];
            ++narrowChains[SgHashPathA(&narrow.as)];
        }
        for (const auto* chains : {&wideChains, &narrowChains}) {
            uint32_t used = 0, longest = 0;
            for (uint32_t n : *chains) {
                used += n != 0;
                longest = std::max(longest, n);
            }
            EXPECT_GE(used, 3000u) << "set " << set << (chains == &wideChains ? ", UTF-16" : ", UTF-8");
            EXPECT_LE(longest, 9u) << "set " << set << (chains == &wideChains ? ", UTF-16" : ", UTF-8");
        }
    }
}

// ---- invalid names, shutdown, delayed deletion, count-0 warning --------------------------------

TEST_F(PathNamesTest, TabNameIsInternedMarkedAndCountedOnce) {
    WideName tab(L"\\Device\\HarddiskVolume3\\a\tb");
    WideName plain(L"\\Device\\HarddiskVolume3\\ab");
    NarrowName narrowTab("C:\\x\ty");
    SgFullPath* a = SgGetFullPathW(&tab.us);
    SgFullPath* c = SgGetFullPathW(&plain.us);
    SgFullPath* n = SgGetFullPathA(&narrowTab.as);
    ASSERT_TRUE(a && c && n);
    EXPECT_EQ(SgGetFullPathW(&tab.us), a);
    EXPECT_EQ(a->invalid, 1);
    EXPECT_EQ(c->invalid, 0);
    EXPECT_EQ(n->invalid, 1);
    EXPECT_EQ(SgInvalidPathCountForTesting(true), 1u) << "counted when created, not per get";
    for (SgFullPath* path : {a, a, c, n}) SgReleaseFullPath(path);

    ASSERT_TRUE(SgShutdownPathManagement());
    const auto log = TakeLog();
    EXPECT_TRUE(Logged(log, "There were 1 invalid UTF16 path names", SG_FAC_PATH));
    EXPECT_TRUE(Logged(log, "There were 1 invalid UTF8 path names", SG_FAC_PATH));
}

TEST_F(PathNamesTest, ShutdownKeepsANameHeldTwiceUntilItsLastRelease) {
    WideName wide(L"\\Device\\HarddiskVolume3\\held");
    NarrowName narrow("held-utf8");
    SgFullPath* w = SgGetFullPathW(&wide.us);
    SgFullPath* n = SgGetFullPathA(&narrow.as);
    ASSERT_EQ(SgGetFullPathW(&wide.us), w);
    ASSERT_EQ(SgGetFullPathA(&narrow.as), n);

    ASSERT_TRUE(SgShutdownPathManagement());
    const auto log = TakeLog();
    EXPECT_TRUE(Logged(log, "SgDeleteFullPath: Delay deleting path, name=\\Device\\HarddiskVolume3\\held count=1",
                       SG_FAC_PATH));
    EXPECT_TRUE(Logged(log, "SgDeleteFullPath: Delay deleting path, name=held-utf8 count=1", SG_FAC_FILE));
    EXPECT_EQ(w->referenceCount, 1u);
    EXPECT_EQ(w->deletePending, 1);
    EXPECT_EQ(TextOf(w), wide.text) << "the object stays alive";

    // The last holders free them without touching the ended path management.
    const uint64_t survivors = BlocksInUse();
    SgReleaseFullPathW(w);
    SgReleaseFullPathA(n);
    EXPECT_EQ(BlocksInUse(), survivors - 4) << "both objects and both name copies";
    EXPECT_TRUE(TakeLog().empty());
}

TEST_F(PathNamesTest, ReleaseAtCountZeroIsLoggedAndIgnored) {
    WideName wide(L"\\Device\\HarddiskVolume3\\zero");
    NarrowName narrow("zero-utf8");
    SgFullPath* w = SgGetFullPathW(&wide.us);
    SgFullPath* n = SgGetFullPathA(&narrow.as);
    ASSERT_TRUE(w && n);
    w->referenceCount = n->referenceCount = 0;  // what only a faulty holder can bring about
    const uint64_t blocks = BlocksInUse();
    SgReleaseFullPathW(w);
    SgReleaseFullPathA(n);
    const auto log = TakeLog();
    EXPECT_TRUE(Logged(log, "SgReleaseFullPathW: Releasing pathname with count 0! name=\\Device\\HarddiskVolume3\\zero",
                       SG_FAC_PATH));
    EXPECT_TRUE(Logged(log, "SgReleaseFullPathA: Releasing pathname with count 0! name=zero-utf8", SG_FAC_FILE));
    EXPECT_EQ(log.size(), 2u);
    EXPECT_EQ(w->referenceCount, 0u);
    EXPECT_EQ(w->deletePending, 0);
    EXPECT_EQ(WideCount() + SgPathTableCountForTesting(false), 2u);
    EXPECT_EQ(BlocksInUse(), blocks);
    w->referenceCount = n->referenceCount = 1;
    SgReleaseFullPathW(w);
    SgReleaseFullPathA(n);
}

TEST_F(PathNamesTest, OsPathManagementStartsLastAndEndsFirst) {
    EXPECT_TRUE(g_osInitCouldIntern) << "tables and locks are ready when InitOsPaths runs";

    // A failed OS shutdown stops the shutdown before anything is reported or released.
    WideName name(L"\\Device\\HarddiskVolume3\\kept");
    SgFullPath* path = SgGetFullPathW(&name.us);
    g_osShutdownAnswer = false;
    EXPECT_FALSE(SgShutdownPathManagement());
    auto log = TakeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(Logged(log, "Shutdown path management", SG_FAC_PATH));
    EXPECT_EQ(SgGetFullPathW(&name.us), path) << "still serving";
    SgReleaseFullPathW(path);
    SgReleaseFullPathW(path);
    g_osShutdownAnswer = true;
    ASSERT_TRUE(SgShutdownPathManagement());

    // A failed OS start releases both tables; a later start begins afresh.
    const uint64_t before = BlocksInUse();
    g_osInitAnswer = false;
    EXPECT_FALSE(SgInitPathManagement());
    EXPECT_EQ(BlocksInUse(), before);
    EXPECT_EQ(SgGetFullPathW(&name.us), nullptr);
    g_osInitAnswer = true;
    TakeLog();
    ASSERT_TRUE(SgInitPathManagement());
    log = TakeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log.front().text, "Initialize path management");
    EXPECT_EQ(g_events, (std::vector<std::string>{"InitOsPaths", "ShutdownOsPaths", "ShutdownOsPaths", "InitOsPaths",
                                                  "InitOsPaths"}));
}

// ---- concurrency ------------------------------------------------------------------------------

TEST_F(PathNamesTest, ConcurrentGetAndReleaseKeepExactCountsAndNeverFreeAHeldName) {
    constexpr int kThreads = 4;
    constexpr int kNames = 6;
    constexpr int kIterations = 40000;
    std::vector<std::wstring> texts;
    for (int i = 0; i < kNames; ++i) {
        texts.push_back(L"\\Device\\HarddiskVolume3\\ProgramData\\Kestro\\Vantor\\Journals\\0" + std::to_wstring(i) +
                        L"\\journal.bin");
    }
    // Names 0 and 1 are each held by two threads for the whole run; names 2..5 are created and
    // removed again and again as their counts touch zero.
    SgFullPath* held[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        WideName name(texts[t % 2]);
        ASSERT_NE(held[t] = SgGetFullPathW(&name.us), nullptr);
    }
    const uint64_t blocksWithHeld = BlocksInUse();

    std::atomic<int> failures{0};
    std::atomic<int> ready{0};
    auto body = [&](int t) {
        std::vector<std::unique_ptr<WideName>> names;
        for (const auto& text : texts) names.push_back(std::make_unique<WideName>(text));
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        uint32_t seed = 0x9E3779B9u * (t + 1);
        for (int i = 0; i < kIterations; ++i) {
            seed = seed * 1664525u + 1013904223u;
            const int k = static_cast<int>((seed >> 16) % kNames);
            SgFullPath* path = SgGetFullPathW(&names[k]->us);
            // While referenced, the object is the live one for its name.
            if (path == nullptr || TextOf(path) != texts[k] || (k == t % 2 && path != held[t])) {
                failures.fetch_add(1);
                continue;
            }
            if (seed & 0x100) {
                SgFullPath* again = SgGetFullPathW(&names[k]->us);
                if (again != path) failures.fetch_add(1);
                SgReleaseFullPathW(again);
            }
            if (TextOf(path) != texts[k]) failures.fetch_add(1);
            SgReleaseFullPathW(path);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(body, t);
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(held[0]->referenceCount, 2u);
    EXPECT_EQ(held[1]->referenceCount, 2u);
    EXPECT_EQ(held[2], held[0]);
    EXPECT_EQ(held[3], held[1]);
    EXPECT_EQ(WideCount(), 2u) << "only the held names remain";
    EXPECT_EQ(BlocksInUse(), blocksWithHeld);
    EXPECT_TRUE(TakeLog().empty()) << "no count-0 warning, no pool fault";

    for (SgFullPath* path : held) SgReleaseFullPathW(path);
    EXPECT_EQ(WideCount(), 0u);
}

}  // namespace
