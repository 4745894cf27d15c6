// Path management: interning and sharing, case-sensitive comparison, the hash rules, invalid
// names and the shutdown report, delayed deletion at shutdown, the count-0 warning, the order
// of the OS path management calls, and get/release from several threads at once.
#include "runtime/path_names.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/debug_log.h"
#include "runtime/log_format.h"
#include "runtime/memory.h"
#include "runtime/os_paths.h"
#include "runtime/path_names_testing.h"

// The real OS path management needs the machine's known directories; every test here
// replaces it through SgSetOsPathCallsForTesting. These definitions only satisfy the linker
// while OS path management is not part of the runtime library.
bool InitOsPaths() { return true; }
bool ShutdownOsPaths() { return true; }

// ---- captured debug log ------------------------------------------------------------------

namespace {
struct LogLine {
    uint32_t facility;
    uint32_t level;
    std::string text;
};
std::mutex g_logMutex;
std::vector<LogLine> g_log;
}  // namespace

// Formats with the debug log's own formatter, so %wZ and %hZ read as they would in nvxs.log.
void SgDebugPrint(uint32_t facility, uint32_t level, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    SgFormatMessageV(text, sizeof(text), format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(g_logMutex);
    g_log.push_back({facility, level, text});
}

namespace {

// The lines logged since the last call, without the pool's Debug lines about cutting new
// chunks (they depend on what earlier tests left in the pool). Pool faults stay in.
std::vector<LogLine> TakeLog() {
    std::lock_guard<std::mutex> guard(g_logMutex);
    std::vector<LogLine> lines;
    for (auto& line : g_log) {
        if (!(line.facility == SG_FAC_MEM && line.level == SG_LVL_DEBUG)) lines.push_back(std::move(line));
    }
    g_log.clear();
    return lines;
}

int CountLines(const std::vector<LogLine>& log, const std::string& text, uint32_t facility,
               uint32_t level = SG_LVL_DEBUG) {
    int n = 0;
    for (const auto& line : log) n += line.text == text && line.facility == facility && line.level == level;
    return n;
}

int CountLevelAtLeast(const std::vector<LogLine>& log, uint32_t level) {
    int n = 0;
    for (const auto& line : log) n += line.level >= level;
    return n;
}

// Caller-owned counted strings; the path objects must keep their own copies.
struct WideName {
    std::wstring text;
    UNICODE_STRING us;
    explicit WideName(const std::wstring& t) : text(t) {
        us.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
        us.MaximumLength = us.Length;
        us.Buffer = text.data();
    }
    WideName(const WideName&) = delete;
    WideName& operator=(const WideName&) = delete;
};

struct NarrowName {
    std::string text;
    ANSI_STRING as;
    explicit NarrowName(const std::string& t) : text(t) {
        as.Length = static_cast<USHORT>(text.size());
        as.MaximumLength = as.Length;
        as.Buffer = text.data();
    }
    NarrowName(const NarrowName&) = delete;
    NarrowName& operator=(const NarrowName&) = delete;
};

std::wstring TextOf(const SgFullPath* path) {
    return std::wstring(path->wideName->Buffer, path->wideName->Length / sizeof(wchar_t));
}

// The OS path management stand-ins record the order of events.
std::vector<std::string> g_events;
bool g_osInitAnswer = true;
bool g_osShutdownAnswer = true;
bool g_osInitProbed = false;

bool FakeInitOsPaths() {
    g_events.push_back("InitOsPaths");
    // Called last: the tables and their locks are ready, so it could already intern names.
    WideName probe(L"\\Device\\HarddiskVolume1\\Windows");
    SgFullPath* path = SgGetFullPathW(&probe.us);
    g_osInitProbed = path != nullptr;
    SgReleaseFullPathW(path);
    return g_osInitAnswer;
}
bool FakeShutdownOsPaths() {
    g_events.push_back("ShutdownOsPaths");
    return g_osShutdownAnswer;
}

uint64_t BlocksInUse() { return SgGetPoolStats().blocksInUse; }

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
    WideName second(first.text);  // same text, different caller buffer
    SgFullPath* a = SgGetFullPathW(&first.us);
    SgFullPath* b = SgGetFullPathW(&second.us);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a, b);
    EXPECT_EQ(a->referenceCount, 2u);
    EXPECT_EQ(a->wide, 1);
    EXPECT_EQ(a->invalid, 0);
    EXPECT_EQ(a->header.destroy, SgDeleteFullPath);
    EXPECT_EQ(a->header.bucket, SgHashPathW(&first.us));
    EXPECT_NE(a->wideName->Buffer, first.us.Buffer) << "the object owns a copy";
    EXPECT_EQ(a->wideName->MaximumLength, first.us.Length + 2);
    EXPECT_EQ(SgPathTableCountForTesting(true), 1u);

    first.text[1] = L'X';  // the caller's buffer changing must not affect the interned name
    EXPECT_EQ(TextOf(a), second.text);

    SgReleaseFullPathW(a);
    EXPECT_EQ(a->referenceCount, 1u);
    EXPECT_EQ(SgPathTableCountForTesting(true), 1u);
    SgReleaseFullPathW(b);
    EXPECT_EQ(SgPathTableCountForTesting(true), 0u);
    EXPECT_EQ(BlocksInUse(), before) << "object and name copy returned";

    SgFullPath* again = SgGetFullPathW(&second.us);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->referenceCount, 1u) << "a new object";
    EXPECT_EQ(SgPathTableCountForTesting(true), 1u);
    SgReleaseFullPathW(again);
    EXPECT_TRUE(TakeLog().empty()) << "normal get and release log nothing";
}

TEST_F(PathNamesTest, NamesAreComparedByExactBytes) {
    WideName upper(L"\\Device\\HarddiskVolume3\\Temp");
    WideName lower(L"\\device\\harddiskvolume3\\temp");
    WideName swapped(L"\\Device\\HarddiskVolume3\\Tmep");  // same code units, same bucket
    WideName prefix(L"\\Device\\HarddiskVolume3\\Tem");
    SgFullPath* u = SgGetFullPathW(&upper.us);
    SgFullPath* l = SgGetFullPathW(&lower.us);
    SgFullPath* s = SgGetFullPathW(&swapped.us);
    SgFullPath* p = SgGetFullPathW(&prefix.us);
    ASSERT_TRUE(u && l && s && p);
    EXPECT_NE(u, l);
    EXPECT_NE(u, s);
    EXPECT_EQ(u->header.bucket, s->header.bucket);
    EXPECT_EQ(SgPathTableCountForTesting(true), 4u);
    EXPECT_EQ(SgGetFullPathW(&swapped.us), s) << "lookup in a shared bucket finds the right name";
    for (SgFullPath* path : {u, l, s, s, p}) SgReleaseFullPathW(path);
    EXPECT_EQ(SgPathTableCountForTesting(true), 0u);
}

TEST_F(PathNamesTest, HashRulesOfBothForms) {
    // UTF-16: the sum of the 16-bit code units, & 0x1FFF (3 x 0xFFFF = 0x2FFFD).
    WideName wide(std::wstring(3, wchar_t(0xFFFF)));
    EXPECT_EQ(SgHashPathW(&wide.us), 0x2FFFDu & 0x1FFF);
    WideName longest(std::wstring(kPathMaxNameBytes / 2, wchar_t(0xFFFF)));  // no unit may be lost or overflow
    EXPECT_EQ(SgHashPathW(&longest.us), (kPathMaxNameBytes / 2 * 0xFFFFull) & 0x1FFF);
    WideName mixed(L"\\Device\\HarddiskVolume3\\a");  // 25 units: four-unit steps and a remainder
    uint32_t sum = 0;
    for (wchar_t unit : mixed.text) sum += unit;
    EXPECT_EQ(SgHashPathW(&mixed.us), sum & 0x1FFF);
    // UTF-8: bytes taken as signed 8-bit values (0xC3 = -61, 0xA9 = -87), & 0x1FFF.
    NarrowName narrow("\xC3\xA9");
    EXPECT_EQ(SgHashPathA(&narrow.as), static_cast<uint32_t>(-148) & 0x1FFF);
    SgFullPath* path = SgGetFullPathA(&narrow.as);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(path->header.bucket, 8044u);
    SgReleaseFullPathA(path);
}

TEST_F(PathNamesTest, Utf8NamesHaveTheirOwnTable) {
    NarrowName name("\\Device\\HarddiskVolume3\\ProgramData\\x.bin");
    WideName wide(L"\\Device\\HarddiskVolume3\\ProgramData\\x.bin");
    SgFullPath* a = SgGetFullPathA(&name.as);
    SgFullPath* b = SgGetFullPathA(&name.as);
    SgFullPath* w = SgGetFullPathW(&wide.us);
    ASSERT_TRUE(a && w);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, w);
    EXPECT_EQ(a->wide, 0);
    EXPECT_EQ(a->referenceCount, 2u);
    EXPECT_STREQ(a->narrowName->Buffer, name.text.c_str()) << "copy is NUL-terminated";
    EXPECT_EQ(a->narrowName->MaximumLength, name.as.Length + 2);
    EXPECT_EQ(SgPathTableCountForTesting(false), 1u);
    EXPECT_EQ(SgPathTableCountForTesting(true), 1u);
    // The combined release dispatches on the wide flag.
    SgReleaseFullPath(a);
    SgReleaseFullPath(b);
    EXPECT_EQ(SgPathTableCountForTesting(false), 0u);
    EXPECT_EQ(SgPathTableCountForTesting(true), 1u);
    SgReleaseFullPath(w);
    EXPECT_EQ(SgPathTableCountForTesting(true), 0u);
}

TEST_F(PathNamesTest, RefusedNamesLeaveTheTablesAlone) {
    EXPECT_EQ(SgGetFullPathW(nullptr), nullptr);
    EXPECT_EQ(SgGetFullPathA(nullptr), nullptr);
    std::wstring longText(kPathMaxNameBytes / 2 + 1, L'a');
    UNICODE_STRING tooLong = {static_cast<USHORT>(longText.size() * 2), static_cast<USHORT>(longText.size() * 2),
                              longText.data()};
    EXPECT_EQ(SgGetFullPathW(&tooLong), nullptr) << "no room for the copy's terminator";
    EXPECT_EQ(SgPathTableCountForTesting(true), 0u);
    EXPECT_EQ(CountLevelAtLeast(TakeLog(), SG_LVL_ERROR), 3) << "each refusal logged once";
}

// ---- invalid names and the shutdown report ---------------------------------------------------

TEST_F(PathNamesTest, TabNameIsInternedMarkedAndCountedOnce) {
    WideName tab(L"\\Device\\HarddiskVolume3\\a\tb");
    WideName plain(L"\\Device\\HarddiskVolume3\\ab");
    SgFullPath* a = SgGetFullPathW(&tab.us);
    SgFullPath* b = SgGetFullPathW(&tab.us);
    SgFullPath* c = SgGetFullPathW(&plain.us);
    ASSERT_TRUE(a && c);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->invalid, 1);
    EXPECT_EQ(c->invalid, 0);
    EXPECT_EQ(SgInvalidPathCountForTesting(true), 1u) << "counted when created, not per get";
    NarrowName narrowTab("C:\\x\ty");
    SgFullPath* n = SgGetFullPathA(&narrowTab.as);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->invalid, 1);
    for (SgFullPath* path : {a, b, c, n}) SgReleaseFullPath(path);

    ASSERT_TRUE(SgShutdownPathManagement());
    const auto log = TakeLog();
    EXPECT_EQ(CountLines(log, "There were 1 invalid UTF16 path names", SG_FAC_PATH), 1);
    EXPECT_EQ(CountLines(log, "There were 1 invalid UTF8 path names", SG_FAC_PATH), 1);
}

// ---- shutdown, delayed deletion and the count-0 warning ----------------------------------------

TEST_F(PathNamesTest, ShutdownKeepsANameHeldTwiceUntilItsLastRelease) {
    WideName wide(L"\\Device\\HarddiskVolume3\\held");
    NarrowName narrow("held-utf8");
    SgFullPath* w = SgGetFullPathW(&wide.us);
    ASSERT_EQ(SgGetFullPathW(&wide.us), w);
    SgFullPath* n = SgGetFullPathA(&narrow.as);
    ASSERT_EQ(SgGetFullPathA(&narrow.as), n);
    const uint64_t held = BlocksInUse();

    ASSERT_TRUE(SgShutdownPathManagement());
    const auto log = TakeLog();
    EXPECT_EQ(CountLines(log, "SgDeleteFullPath: Delay deleting path, name=\\Device\\HarddiskVolume3\\held count=1",
                         SG_FAC_PATH),
              1);
    EXPECT_EQ(CountLines(log, "SgDeleteFullPath: Delay deleting path, name=held-utf8 count=1", SG_FAC_FILE), 1);
    EXPECT_EQ(CountLines(log, "There were 0 invalid UTF16 path names", SG_FAC_PATH), 1);
    EXPECT_EQ(w->referenceCount, 1u);
    EXPECT_EQ(w->deletePending, 1);
    EXPECT_EQ(TextOf(w), wide.text) << "the object stays alive";
    EXPECT_LT(BlocksInUse(), held) << "the tables themselves are gone";

    // The last holders free them, touching nothing of the ended path management.
    const uint64_t survivors = BlocksInUse();
    SgReleaseFullPathW(w);
    SgReleaseFullPath(n);
    EXPECT_EQ(BlocksInUse(), survivors - 4) << "both objects and both name copies";
    EXPECT_EQ(CountLevelAtLeast(TakeLog(), SG_LVL_DEBUG), 0);
}

TEST_F(PathNamesTest, ReleaseAtCountZeroIsLoggedAndIgnored) {
    WideName wide(L"\\Device\\HarddiskVolume3\\zero");
    NarrowName narrow("zero-utf8");
    SgFullPath* w = SgGetFullPathW(&wide.us);
    SgFullPath* n = SgGetFullPathA(&narrow.as);
    ASSERT_TRUE(w && n);
    // Only a faulty holder can release a count-0 object; make one.
    w->referenceCount = 0;
    n->referenceCount = 0;
    const uint64_t blocks = BlocksInUse();
    SgReleaseFullPathW(w);
    SgReleaseFullPathA(n);
    const auto log = TakeLog();
    EXPECT_EQ(CountLines(log,
                         "SgReleaseFullPathW: Releasing pathname with count 0! name=\\Device\\HarddiskVolume3\\zero",
                         SG_FAC_PATH),
              1);
    EXPECT_EQ(CountLines(log, "SgReleaseFullPathA: Releasing pathname with count 0! name=zero-utf8", SG_FAC_FILE), 1);
    EXPECT_EQ(log.size(), 2u);
    EXPECT_EQ(w->referenceCount, 0u);
    EXPECT_EQ(w->deletePending, 0);
    EXPECT_EQ(SgPathTableCountForTesting(true), 1u);
    EXPECT_EQ(SgPathTableCountForTesting(false), 1u);
    EXPECT_EQ(BlocksInUse(), blocks);
    w->referenceCount = 1;
    n->referenceCount = 1;
    SgReleaseFullPathW(w);
    SgReleaseFullPathA(n);
    EXPECT_EQ(SgPathTableCountForTesting(true), 0u);
}

// ---- initialisation and shutdown order --------------------------------------------------------

TEST_F(PathNamesTest, OsPathManagementStartsLastAndEndsFirst) {
    ASSERT_TRUE(SgShutdownPathManagement());
    g_events.clear();
    TakeLog();

    ASSERT_TRUE(SgInitPathManagement());
    EXPECT_TRUE(g_osInitProbed) << "tables and locks are ready when InitOsPaths runs";
    ASSERT_EQ(g_events, (std::vector<std::string>{"InitOsPaths"}));
    auto log = TakeLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().text, "Initialize path management");
    EXPECT_EQ(log.front().facility, SG_FAC_PATH);

    // A failed OS shutdown stops path management's shutdown before anything is released.
    WideName name(L"\\Device\\HarddiskVolume3\\kept");
    SgFullPath* path = SgGetFullPathW(&name.us);
    g_osShutdownAnswer = false;
    EXPECT_FALSE(SgShutdownPathManagement());
    log = TakeLog();
    EXPECT_EQ(CountLines(log, "Shutdown path management", SG_FAC_PATH), 1);
    EXPECT_EQ(log.size(), 1u) << "no report lines";
    EXPECT_EQ(SgPathTableCountForTesting(true), 1u);
    EXPECT_EQ(SgGetFullPathW(&name.us), path) << "still serving";
    SgReleaseFullPathW(path);
    SgReleaseFullPathW(path);
    EXPECT_EQ(g_events.back(), "ShutdownOsPaths");
}

TEST_F(PathNamesTest, FailedOsInitReleasesEverything) {
    ASSERT_TRUE(SgShutdownPathManagement());
    const uint64_t before = BlocksInUse();
    g_osInitAnswer = false;
    EXPECT_FALSE(SgInitPathManagement());
    EXPECT_EQ(BlocksInUse(), before) << "both tables returned";
    WideName name(L"x");
    EXPECT_EQ(SgGetFullPathW(&name.us), nullptr) << "nothing left to serve";
    g_osInitAnswer = true;
    EXPECT_TRUE(SgInitPathManagement()) << "a later start begins afresh";
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
    // Names 0 and 1 are each held by two threads for the whole run; names 2..5 are created
    // and removed again and again as their counts touch zero.
    SgFullPath* held[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        WideName name(texts[t % 2]);
        held[t] = SgGetFullPathW(&name.us);
        ASSERT_NE(held[t], nullptr);
    }
    const uint64_t blocksWithHeld = BlocksInUse();

    std::atomic<int> failures{0};
    std::atomic<int> ready{0};
    auto body = [&](int t) {
        uint32_t seed = 0x9E3779B9u * (t + 1);
        std::vector<std::unique_ptr<WideName>> names;
        for (const auto& text : texts) names.push_back(std::make_unique<WideName>(text));
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        for (int i = 0; i < kIterations; ++i) {
            seed = seed * 1664525u + 1013904223u;
            const int k = static_cast<int>((seed >> 16) % kNames);
            SgFullPath* path = SgGetFullPathW(&names[k]->us);
            if (path == nullptr) {
                failures.fetch_add(1);
                continue;
            }
            // While referenced the object is the live one for its name.
            if (path->wide != 1 || TextOf(path) != texts[k]) failures.fetch_add(1);
            if (k == t % 2 && path != held[t]) failures.fetch_add(1);
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
    EXPECT_EQ(TextOf(held[0]), texts[0]);
    EXPECT_EQ(SgPathTableCountForTesting(true), 2u) << "only the held names remain";
    EXPECT_EQ(BlocksInUse(), blocksWithHeld);
    EXPECT_EQ(SgGetPoolStats().badMagicCount, 0u);
    EXPECT_EQ(CountLevelAtLeast(TakeLog(), SG_LVL_DEBUG), 0) << "no warning, no pool fault";

    for (SgFullPath* path : held) SgReleaseFullPathW(path);
    EXPECT_EQ(SgPathTableCountForTesting(true), 0u);
    EXPECT_EQ(SgPathTableCountForTesting(false), 0u);
}

}  // namespace
