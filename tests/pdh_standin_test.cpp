// The simulated machine's pdh.dll, loaded by path from the sim build directory as Wine would load
// it from the service's directory, against a counter-sets file in a temporary directory that
// NVXSIM_PDH_COUNTERS names. Also the file format's reader and writer.
#include <windows.h>

#include <gtest/gtest.h>
#include <pdh.h>
#include <pdhmsg.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/counter_sets.h"
#include "tests/support/sim_driver.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr PDH_STATUS S(DWORD status) { return static_cast<PDH_STATUS>(status); }

using EnumItemsFn = PDH_STATUS(WINAPI*)(LPCSTR, LPCSTR, LPCSTR, LPSTR, LPDWORD, LPSTR, LPDWORD, DWORD, DWORD);
using OpenQueryFn = PDH_STATUS(WINAPI*)(LPCSTR, DWORD_PTR, PDH_HQUERY*);
using AddCounterFn = PDH_STATUS(WINAPI*)(PDH_HQUERY, LPCSTR, DWORD_PTR, PDH_HCOUNTER*);
using QueryFn = PDH_STATUS(WINAPI*)(PDH_HQUERY);
using RawValueFn = PDH_STATUS(WINAPI*)(PDH_HCOUNTER, LPDWORD, PPDH_RAW_COUNTER);
using MarkerFn = const char*(WINAPI*)();

using nvx_test::Export;

// Two sets with instances (one of them with none now), two without; one set name holds parentheses.
constexpr char kSets[] =
    "# sets as the driver publishes them\n"
    "Perf stats\tVol(C:)\tTotal scans\t10\n"
    "Perf stats\tVol(C:)\tTotal bytes/sec\t-5\n"
    "Perf stats\tVol(D:)\tTotal scans\t20\r\n"
    "\n"
    "Caching\t\tHits\t42\n"
    "Caching\t\tMisses\t9223372036854775807\n"
    "Idle set\t*\tWaits\t\n"
    "Odd (x) set\t\tCount\t3\n";

// Text with embedded zeros: the literal's characters without the compiler's final zero.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}

// The names of "Perf stats", each ended by a zero, without the lists' terminator.
const std::string kPerfCounters = Bytes("Total scans\0Total bytes/sec\0");
const std::string kPerfInstances = Bytes("Vol(C:)\0Vol(D:)\0");

class PdhStandInTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        module_ = LoadLibraryW((nvx_test::SimBinDir() + L"\\pdh.dll").c_str());
        ASSERT_NE(module_, nullptr) << "LoadLibrary pdh.dll: error " << GetLastError();
        enum_ = Export<EnumItemsFn>(module_, "PdhEnumObjectItemsA");
        open_ = Export<OpenQueryFn>(module_, "PdhOpenQueryA");
        add_ = Export<AddCounterFn>(module_, "PdhAddEnglishCounterA");
        collect_ = Export<QueryFn>(module_, "PdhCollectQueryData");
        raw_ = Export<RawValueFn>(module_, "PdhGetRawCounterValue");
        close_ = Export<QueryFn>(module_, "PdhCloseQuery");
        marker_ = Export<MarkerFn>(module_, "NvxSimPdhStandIn");
    }

    void SetUp() override {
        ASSERT_TRUE(enum_ && open_ && add_ && collect_ && raw_ && close_ && marker_) << "exports are incomplete";
        ASSERT_FALSE(dir_.path().empty());
        file_ = dir_.path() + L"\\counters.txt";
        SetEnvironmentVariableW(L"NVXSIM_PDH_COUNTERS", file_.c_str());
        Publish(kSets);
    }

    void TearDown() override {
        for (PDH_HQUERY q : queries_) close_(q);
        SetEnvironmentVariableW(L"NVXSIM_PDH_COUNTERS", nullptr);
    }

    void Publish(const std::string& text) { ASSERT_TRUE(nvx_test::WriteFileBytes(file_, text)); }

    // Both calls of the length protocol; the lists as returned (lengths included).
    PDH_STATUS Enumerate(const char* object, std::string* counters, std::string* instances) {
        DWORD nc = 0, ni = 0;
        PDH_STATUS s = enum_(nullptr, nullptr, object, nullptr, &nc, nullptr, &ni, PERF_DETAIL_WIZARD, 0);
        if (s != S(PDH_MORE_DATA)) return s;
        counters->assign(nc, '\0');
        instances->assign(ni, '\0');
        s = enum_(nullptr, nullptr, object, counters->data(), &nc, ni ? instances->data() : nullptr, &ni,
                  PERF_DETAIL_WIZARD, 0);
        counters->resize(nc);
        instances->resize(ni);
        return s;
    }

    PDH_HQUERY Open() {
        PDH_HQUERY q = nullptr;
        EXPECT_EQ(open_(nullptr, 0, &q), ERROR_SUCCESS);
        queries_.push_back(q);
        return q;
    }

    PDH_HCOUNTER Add(PDH_HQUERY q, const char* path, PDH_STATUS expected = ERROR_SUCCESS) {
        PDH_HCOUNTER c = nullptr;
        EXPECT_EQ(add_(q, path, 0, &c), expected) << path;
        return c;
    }

    PDH_RAW_COUNTER Raw(PDH_HCOUNTER c) {
        PDH_RAW_COUNTER raw{};
        EXPECT_EQ(raw_(c, nullptr, &raw), ERROR_SUCCESS);
        return raw;
    }

    static inline HMODULE module_ = nullptr;
    static inline EnumItemsFn enum_ = nullptr;
    static inline OpenQueryFn open_ = nullptr;
    static inline AddCounterFn add_ = nullptr;
    static inline QueryFn collect_ = nullptr;
    static inline RawValueFn raw_ = nullptr;
    static inline QueryFn close_ = nullptr;
    static inline MarkerFn marker_ = nullptr;

    nvx_test::TempDirectory dir_{L"pdh"};
    std::wstring file_;
    std::vector<PDH_HQUERY> queries_;
};

TEST_F(PdhStandInTest, LengthProtocolGivesSizesThenExactLists) {
    DWORD nc = 0, ni = 0;
    ASSERT_EQ(enum_(nullptr, nullptr, "Perf stats", nullptr, &nc, nullptr, &ni, PERF_DETAIL_WIZARD, 0),
              S(PDH_MORE_DATA));
    EXPECT_EQ(nc, kPerfCounters.size() + 1);  // the list's own terminator
    EXPECT_EQ(ni, kPerfInstances.size() + 1);

    // One character short in either list: nothing written, the needed lengths again.
    std::string counters(nc + 10, 'x'), instances(ni + 10, 'x');
    for (int shortList = 0; shortList < 2; ++shortList) {
        DWORD c = shortList == 0 ? nc - 1 : nc, i = shortList == 1 ? ni - 1 : ni;
        EXPECT_EQ(enum_(nullptr, nullptr, "Perf stats", counters.data(), &c, instances.data(), &i, 400, 0),
                  S(PDH_MORE_DATA));
        EXPECT_EQ(c, nc);
        EXPECT_EQ(i, ni);
        EXPECT_EQ(counters, std::string(nc + 10, 'x'));
    }

    // Larger buffers: the lists, and the lengths they use.
    DWORD c = nc + 10, i = ni + 10;
    ASSERT_EQ(enum_(nullptr, nullptr, "Perf stats", counters.data(), &c, instances.data(), &i, 400, 0), ERROR_SUCCESS);
    EXPECT_EQ(c, nc);
    EXPECT_EQ(i, ni);
    EXPECT_EQ(counters.substr(0, c), kPerfCounters + '\0');
    EXPECT_EQ(instances.substr(0, i), kPerfInstances + '\0');
    EXPECT_EQ(counters.substr(c), std::string(10, 'x'));
}

TEST_F(PdhStandInTest, SetsWithoutInstancesAndWithNoneNow) {
    std::string counters, instances;
    ASSERT_EQ(Enumerate("Caching", &counters, &instances), ERROR_SUCCESS);
    EXPECT_EQ(counters, Bytes("Hits\0Misses\0\0"));
    EXPECT_EQ(instances.size(), 0u);  // no instance list at all

    ASSERT_EQ(Enumerate("idle SET", &counters, &instances), ERROR_SUCCESS);  // names ignore case
    EXPECT_EQ(counters, Bytes("Waits\0\0"));
    EXPECT_EQ(instances, std::string(2, '\0'));  // the empty list
}

TEST_F(PdhStandInTest, UnknownMissingOrMalformedSetsAreNoObject) {
    std::string counters, instances;
    EXPECT_EQ(Enumerate("Perf", &counters, &instances), S(PDH_CSTATUS_NO_OBJECT));
    Publish("Caching\t\tHits\tmany\n");
    EXPECT_EQ(Enumerate("Caching", &counters, &instances), S(PDH_CSTATUS_NO_OBJECT));
    ASSERT_TRUE(DeleteFileW(file_.c_str()));
    EXPECT_EQ(Enumerate("Caching", &counters, &instances), S(PDH_CSTATUS_NO_OBJECT));
    Publish(kSets);  // the sets appear without a restart
    EXPECT_EQ(Enumerate("Caching", &counters, &instances), ERROR_SUCCESS);
}

TEST_F(PdhStandInTest, PathsSplitIntoSetInstanceAndCounter) {
    PDH_HQUERY q = Open();
    PDH_HCOUNTER bytes = Add(q, "\\Perf stats(Vol(C:))\\Total bytes/sec");
    PDH_HCOUNTER scans = Add(q, "\\perf STATS(vol(d:))\\total SCANS");
    PDH_HCOUNTER odd = Add(q, "\\Odd (x) set\\Count");
    ASSERT_EQ(collect_(q), ERROR_SUCCESS);
    EXPECT_EQ(Raw(bytes).FirstValue, -5);
    EXPECT_EQ(Raw(scans).FirstValue, 20);
    EXPECT_EQ(Raw(odd).FirstValue, 3);

    EXPECT_EQ(Add(q, "", S(PDH_CSTATUS_NO_COUNTERNAME)), nullptr);
    EXPECT_EQ(Add(q, "\\\\host\\Caching\\Hits", S(PDH_CSTATUS_NO_MACHINE)), nullptr);
    for (const char* bad : {"Caching\\Hits", "\\Caching", "\\Caching\\", "\\Perf stats()\\Total scans"}) {
        EXPECT_EQ(Add(q, bad, S(PDH_CSTATUS_BAD_COUNTERNAME)), nullptr);
    }
}

TEST_F(PdhStandInTest, UnknownObjectCounterOrInstance) {
    PDH_HQUERY q = Open();
    EXPECT_EQ(Add(q, "\\Cache\\Hits", S(PDH_CSTATUS_NO_OBJECT)), nullptr);
    EXPECT_EQ(Add(q, "\\Caching\\Hit", S(PDH_CSTATUS_NO_COUNTER)), nullptr);
    EXPECT_EQ(Add(q, "\\Perf stats(Vol(C:))\\Scans", S(PDH_CSTATUS_NO_COUNTER)), nullptr);

    // An absent instance, or the wrong form of path, is added and has no data until it matches.
    PDH_HCOUNTER e = Add(q, "\\Perf stats(Vol(E:))\\Total scans", S(PDH_CSTATUS_NO_INSTANCE));
    PDH_HCOUNTER none = Add(q, "\\Perf stats\\Total scans", S(PDH_CSTATUS_NO_INSTANCE));
    PDH_HCOUNTER extra = Add(q, "\\Caching(x)\\Hits", S(PDH_CSTATUS_NO_INSTANCE));
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(collect_(q), ERROR_SUCCESS);
    EXPECT_EQ(Raw(e).CStatus, PDH_CSTATUS_NO_INSTANCE);
    EXPECT_EQ(Raw(none).CStatus, PDH_CSTATUS_NO_INSTANCE);
    EXPECT_EQ(Raw(extra).CStatus, PDH_CSTATUS_NO_INSTANCE);

    Publish(std::string(kSets) + "Perf stats\tVol(E:)\tTotal scans\t30\n");
    ASSERT_EQ(collect_(q), ERROR_SUCCESS);
    EXPECT_EQ(Raw(e).CStatus, PDH_CSTATUS_VALID_DATA);
    EXPECT_EQ(Raw(e).FirstValue, 30);
}

TEST_F(PdhStandInTest, CollectionTakesTheValuesOfItsMoment) {
    PDH_HQUERY q = Open();
    PDH_HCOUNTER scans = Add(q, "\\Perf stats(Vol(C:))\\Total scans");
    PDH_HCOUNTER misses = Add(q, "\\Caching\\Misses");
    EXPECT_NE(Raw(scans).CStatus, PDH_CSTATUS_VALID_DATA);  // nothing collected yet

    ASSERT_EQ(collect_(q), ERROR_SUCCESS);
    EXPECT_EQ(Raw(scans).CStatus, PDH_CSTATUS_VALID_DATA);
    EXPECT_EQ(Raw(scans).FirstValue, 10);
    EXPECT_EQ(Raw(misses).FirstValue, INT64_MAX);

    Publish("Perf stats\tVol(C:)\tTotal scans\t11\nCaching\t\tMisses\t-9223372036854775808\n");
    EXPECT_EQ(Raw(scans).FirstValue, 10);  // until the next collection
    ASSERT_EQ(collect_(q), ERROR_SUCCESS);
    EXPECT_EQ(Raw(scans).FirstValue, 11);
    EXPECT_EQ(Raw(misses).FirstValue, INT64_MIN);
    EXPECT_EQ(Raw(misses).CStatus, PDH_CSTATUS_VALID_DATA);
}

TEST_F(PdhStandInTest, VanishedItemsAreCounterStatusesNotFailures) {
    PDH_HQUERY q = Open();
    PDH_HCOUNTER hits = Add(q, "\\Caching\\Hits");
    PDH_HCOUNTER bytes = Add(q, "\\Perf stats(Vol(C:))\\Total bytes/sec");
    PDH_HCOUNTER d = Add(q, "\\Perf stats(Vol(D:))\\Total scans");
    ASSERT_EQ(collect_(q), ERROR_SUCCESS);

    Publish("Perf stats\tVol(C:)\tTotal scans\t1\n");
    ASSERT_EQ(collect_(q), ERROR_SUCCESS);
    EXPECT_EQ(Raw(hits).CStatus, PDH_CSTATUS_NO_OBJECT);
    EXPECT_EQ(Raw(bytes).CStatus, PDH_CSTATUS_NO_COUNTER);
    EXPECT_EQ(Raw(d).CStatus, PDH_CSTATUS_NO_INSTANCE);

    ASSERT_TRUE(DeleteFileW(file_.c_str()));
    ASSERT_EQ(collect_(q), ERROR_SUCCESS);
    EXPECT_EQ(Raw(bytes).CStatus, PDH_CSTATUS_NO_OBJECT);

    Publish(kSets);
    ASSERT_EQ(collect_(q), ERROR_SUCCESS);
    EXPECT_EQ(Raw(hits).CStatus, PDH_CSTATUS_VALID_DATA);
    EXPECT_EQ(Raw(hits).FirstValue, 42);
}

TEST_F(PdhStandInTest, HandlesAreValidated) {
    PDH_HQUERY q = Open();
    EXPECT_EQ(collect_(q), S(PDH_NO_DATA));  // no counters yet
    PDH_HCOUNTER hits = Add(q, "\\Caching\\Hits");
    PDH_RAW_COUNTER raw{};
    EXPECT_EQ(raw_(q, nullptr, &raw), S(PDH_INVALID_HANDLE));  // a query is no counter
    EXPECT_EQ(raw_(hits, nullptr, nullptr), S(PDH_INVALID_ARGUMENT));
    EXPECT_EQ(open_(nullptr, 0, nullptr), S(PDH_INVALID_ARGUMENT));

    ASSERT_EQ(close_(q), ERROR_SUCCESS);
    queries_.clear();
    EXPECT_EQ(close_(q), S(PDH_INVALID_HANDLE));
    EXPECT_EQ(collect_(q), S(PDH_INVALID_HANDLE));
    EXPECT_EQ(Add(q, "\\Caching\\Hits", S(PDH_INVALID_HANDLE)), nullptr);
    EXPECT_EQ(raw_(hits, nullptr, &raw), S(PDH_INVALID_HANDLE));  // went with its query
    EXPECT_EQ(collect_(nullptr), S(PDH_INVALID_HANDLE));
    EXPECT_EQ(close_(INVALID_HANDLE_VALUE), S(PDH_INVALID_HANDLE));
}

TEST_F(PdhStandInTest, OtherExportsArePresentAndFail) {
    EXPECT_NE(std::string(marker_()).find("pdh stand-in"), std::string::npos);
    using RemoveFn = PDH_STATUS(WINAPI*)(PDH_HCOUNTER);
    using FormattedFn = PDH_STATUS(WINAPI*)(PDH_HCOUNTER, DWORD, LPDWORD, PPDH_FMT_COUNTERVALUE);
    using EnumObjectsFn = PDH_STATUS(WINAPI*)(LPCSTR, LPCSTR, LPSTR, LPDWORD, DWORD, WINBOOL);
    using NameByIndexFn = PDH_STATUS(WINAPI*)(LPCWSTR, DWORD, LPWSTR, LPDWORD);
    auto remove = Export<RemoveFn>(module_, "PdhRemoveCounter");
    auto formatted = Export<FormattedFn>(module_, "PdhGetFormattedCounterValue");
    auto objects = Export<EnumObjectsFn>(module_, "PdhEnumObjectsA");
    auto nameByIndex = Export<NameByIndexFn>(module_, "PdhLookupPerfNameByIndexW");
    auto addCounterA = Export<AddCounterFn>(module_, "PdhAddCounterA");
    ASSERT_TRUE(remove && formatted && objects && nameByIndex && addCounterA);

    PDH_HQUERY q = Open();
    PDH_HCOUNTER hits = Add(q, "\\Caching\\Hits");
    PDH_FMT_COUNTERVALUE value{};
    DWORD size = 0;
    wchar_t name[64];
    DWORD nameSize = 64;
    PDH_HCOUNTER other = nullptr;
    EXPECT_EQ(remove(hits), S(PDH_NOT_IMPLEMENTED));
    EXPECT_EQ(formatted(hits, PDH_FMT_LARGE, nullptr, &value), S(PDH_NOT_IMPLEMENTED));
    EXPECT_EQ(objects(nullptr, nullptr, nullptr, &size, PERF_DETAIL_WIZARD, TRUE), S(PDH_NOT_IMPLEMENTED));
    EXPECT_EQ(nameByIndex(nullptr, 2, name, &nameSize), S(PDH_NOT_IMPLEMENTED));
    EXPECT_EQ(addCounterA(q, "\\Caching\\Hits", 0, &other), S(PDH_NOT_IMPLEMENTED));
    EXPECT_EQ(open_("C:\\log.blg", 0, &q), S(PDH_NOT_IMPLEMENTED));
}

TEST_F(PdhStandInTest, ValuesCarryTheStatusTheFileGivesThem) {
    Publish(std::string(kSets) + "Perf stats\tVol(E:)\tTotal scans\t7\t0xc0000bba\n");
    PDH_HQUERY q = Open();
    PDH_HCOUNTER e = Add(q, "\\Perf stats(Vol(E:))\\Total scans");
    PDH_HCOUNTER c = Add(q, "\\Perf stats(Vol(C:))\\Total scans");
    ASSERT_EQ(collect_(q), ERROR_SUCCESS);
    EXPECT_EQ(Raw(e).CStatus, PDH_CSTATUS_INVALID_DATA);
    EXPECT_EQ(Raw(e).FirstValue, 7);
    EXPECT_EQ(Raw(c).CStatus, PDH_CSTATUS_VALID_DATA);

    Publish(std::string(kSets) + "Perf stats\tVol(E:)\tTotal scans\t8\n");  // the status cleared
    ASSERT_EQ(collect_(q), ERROR_SUCCESS);
    EXPECT_EQ(Raw(e).CStatus, PDH_CSTATUS_VALID_DATA);
    EXPECT_EQ(Raw(e).FirstValue, 8);
}

// ---- quirks: the stand-in misbehaving on purpose

class PdhQuirkTest : public PdhStandInTest {
protected:
    void SetUp() override {
        PdhStandInTest::SetUp();
        quirk_ = dir_.path() + L"\\pdh-quirk.txt";
    }
    void Quirk(const std::string& line) { ASSERT_TRUE(nvx_test::WriteFileBytes(quirk_, line + "\r\n")); }

    // One call with buffers of the given lengths, each followed by 8 'x' that must stay untouched.
    PDH_STATUS Call(const char* object, DWORD* nc, DWORD* ni, std::string* counters, std::string* instances) {
        counters->assign(*nc + 8, 'x');
        instances->assign(*ni + 8, 'x');
        const DWORD givenC = *nc, givenI = *ni;
        const PDH_STATUS s = enum_(nullptr, nullptr, object, counters->data(), nc, *ni ? instances->data() : nullptr,
                                   ni, PERF_DETAIL_WIZARD, 0);
        EXPECT_EQ(counters->substr(givenC), std::string(8, 'x')) << "written past the counter buffer";
        EXPECT_EQ(instances->substr(givenI), std::string(8, 'x')) << "written past the instance buffer";
        counters->resize(givenC);
        instances->resize(givenI);
        return s;
    }

    // The size query's lengths.
    void Sizes(const char* object, DWORD* nc, DWORD* ni) {
        *nc = *ni = 0;
        ASSERT_EQ(enum_(nullptr, nullptr, object, nullptr, nc, nullptr, ni, PERF_DETAIL_WIZARD, 0), S(PDH_MORE_DATA));
    }

    std::wstring quirk_;
};

TEST_F(PdhQuirkTest, ListLiesStayWithinTheBuffersGiven) {
    const std::string honest = kPerfCounters + '\0';
    DWORD nc = 0, ni = 0;
    std::string counters, instances;

    Quirk("length-past-buffer");
    Sizes("Perf stats", &nc, &ni);
    EXPECT_EQ(nc, honest.size() - 8);
    ASSERT_EQ(Call("Perf stats", &nc, &ni, &counters, &instances), ERROR_SUCCESS);
    EXPECT_EQ(nc, honest.size());  // more than the buffer given
    EXPECT_EQ(counters, honest.substr(0, honest.size() - 8));
    EXPECT_EQ(instances.substr(0, ni), kPerfInstances + '\0');

    Quirk("no-terminator");
    Sizes("Perf stats", &nc, &ni);
    EXPECT_EQ(nc, kPerfCounters.size() - 1);
    EXPECT_EQ(ni, kPerfInstances.size() - 1);
    ASSERT_EQ(Call("Perf stats", &nc, &ni, &counters, &instances), ERROR_SUCCESS);
    EXPECT_EQ(counters, Bytes("Total scans\0Total bytes/sec"));
    EXPECT_EQ(instances, Bytes("Vol(C:)\0Vol(D:)"));
    Sizes("Idle set", &nc, &ni);
    EXPECT_EQ(ni, 2u) << "an empty instance list keeps its form";

    Quirk("empty-list");
    Sizes("Caching", &nc, &ni);
    ASSERT_EQ(nc, 1u);
    ASSERT_EQ(Call("Caching", &nc, &ni, &counters, &instances), ERROR_SUCCESS);
    EXPECT_EQ(counters, std::string(1, '\0'));
    Quirk("empty-list zero");
    Sizes("Perf stats", &nc, &ni);
    EXPECT_EQ(nc, 0u);
    EXPECT_EQ(ni, kPerfInstances.size() + 1);

    Quirk("more-data");
    Sizes("Perf stats", &nc, &ni);
    EXPECT_EQ(nc, honest.size());
    ASSERT_EQ(Call("Perf stats", &nc, &ni, &counters, &instances), S(PDH_MORE_DATA));
    EXPECT_EQ(nc, honest.size() + 2);
    EXPECT_EQ(ni, kPerfInstances.size() + 3);

    Quirk("past-terminator");
    Sizes("Caching", &nc, &ni);
    ASSERT_EQ(Call("Caching", &nc, &ni, &counters, &instances), ERROR_SUCCESS);
    EXPECT_EQ(counters, Bytes("Hits\0Misses\0\0past-terminator!"));
    EXPECT_EQ(nc, counters.size());
    EXPECT_EQ(ni, 0u);
}

TEST_F(PdhQuirkTest, UnknownOrClearedQuirksAnswerAsDocumented) {
    std::string counters, instances;
    for (const char* line : {"# nothing\n\n", "no-such-quirk", "more-data 5", "slow-collect", "empty-list none", ""}) {
        Quirk(line);
        EXPECT_EQ(Enumerate("Caching", &counters, &instances), ERROR_SUCCESS) << line;
        EXPECT_EQ(counters, Bytes("Hits\0Misses\0\0")) << line;
    }
    Quirk("# a comment first\nmore-data");
    EXPECT_EQ(Enumerate("Caching", &counters, &instances), S(PDH_MORE_DATA));
    ASSERT_TRUE(DeleteFileW(quirk_.c_str()));
    EXPECT_EQ(Enumerate("Caching", &counters, &instances), ERROR_SUCCESS);
}

TEST_F(PdhQuirkTest, SlowCollectTakesItsTime) {
    PDH_HQUERY q = Open();
    PDH_HCOUNTER hits = Add(q, "\\Caching\\Hits");
    Quirk("slow-collect 400");
    const ULONGLONG before = GetTickCount64();
    ASSERT_EQ(collect_(q), ERROR_SUCCESS);
    EXPECT_GE(GetTickCount64() - before, 400u - 16u);  // the tick count's granularity
    EXPECT_EQ(Raw(hits).FirstValue, 42);
}

// ---- the file format

TEST(CounterSetsFile, WrittenSetsReadBackAsTheyWere) {
    nvx_test::TempDirectory dir(L"pdhfmt");
    ASSERT_FALSE(dir.path().empty());
    nvxsim::CounterSets sets;
    std::string error;
    ASSERT_TRUE(nvxsim::ParseCounterSets(kSets, &sets, &error)) << error;
    ASSERT_EQ(sets.size(), 4u);
    const std::wstring path = dir.path() + L"\\counters.txt";
    ASSERT_TRUE(nvxsim::WriteCounterSetsFile(path, sets, &error)) << error;
    ASSERT_TRUE(nvxsim::WriteCounterSetsFile(path, sets, &error)) << error;  // replaces the file
    nvxsim::CounterSets read;
    ASSERT_TRUE(nvxsim::ReadCounterSetsFile(path, &read, &error)) << error;
    EXPECT_EQ(nvxsim::FormatCounterSets(read), nvxsim::FormatCounterSets(sets));
    const nvxsim::CounterSet* idle = nvxsim::FindSet(read, "Idle set");
    ASSERT_NE(idle, nullptr);
    EXPECT_TRUE(idle->hasInstances);
    EXPECT_TRUE(idle->instances.empty());
    EXPECT_EQ(read[0].Value(1, 1), 0);  // Vol(D:) has no Total bytes/sec record
    EXPECT_EQ(read[0].Value(1, 0), 20);

    ASSERT_TRUE(nvxsim::ReadCounterSetsFile(dir.path() + L"\\none.txt", &read, &error)) << error;
    EXPECT_TRUE(read.empty());
}

TEST(CounterSetsFile, StatusesAreKeptPerValueAndFollowRemovedInstances) {
    nvxsim::CounterSets sets;
    std::string error;
    ASSERT_TRUE(nvxsim::ParseCounterSets("S\tA\tc\t1\t0x1\nS\tB\tc\t2\nS\tC\tc\t3\t0XC0000bb9\n", &sets, &error))
        << error;
    ASSERT_EQ(sets.size(), 1u);
    nvxsim::CounterSet& set = sets[0];
    EXPECT_EQ(set.Status(0, 0), 1u);
    EXPECT_EQ(set.Status(1, 0), 0u);
    EXPECT_EQ(set.Status(2, 0), 0xC0000BB9u);
    EXPECT_EQ(nvxsim::FormatCounterSets(sets), "S\tA\tc\t1\t0x00000001\nS\tB\tc\t2\nS\tC\tc\t3\t0xC0000BB9\n");

    set.RemoveInstance(1);  // C moves up, with its value and status
    EXPECT_EQ(nvxsim::FormatCounterSets(sets), "S\tA\tc\t1\t0x00000001\nS\tC\tc\t3\t0xC0000BB9\n");
    set.SetStatus(0, 0, 0);
    set.RemoveInstance(1);
    set.RemoveInstance(0);
    EXPECT_EQ(nvxsim::FormatCounterSets(sets), "S\t*\tc\t\n");  // with instances, none now
    EXPECT_TRUE(set.values.empty() && set.statuses.empty());
}

TEST(CounterSetsFile, MalformedLinesFailTheWholeText) {
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"A\t\tc\t1\nA\tb\tc\t2\n", "line 2: "},  // with and without instances
        {"A\t\tc\t1\na\t\tC\t2\n", "line 2: "},   // a second value, names ignoring case
        {"A\t\tc\n", "line 1: "},
        {"A\t\tc\t1\t\n", "line 1: "},
        {"#\nA\t\tc\t1x\n", "line 2: "},
        {"A\t\tc\t9223372036854775808\n", "line 1: "},
        {"A\t\tc\t-\n", "line 1: "},
        {"A\t*\tc\t5\n", "line 1: "},
        {"A\\B\t\tc\t1\n", "line 1: "},
        {"\t\tc\t1\n", "line 1: "},
        {"A\t\tc\t1\t5\n", "line 1: "},  // a status is 0x and hexadecimal digits
        {"A\t\tc\t1\t0x\n", "line 1: "},
        {"A\t\tc\t1\t0x123456789\n", "line 1: "},
        {"A\t\tc\t1\t0xg\n", "line 1: "},
        {"A\t*\tc\t\t0x1\n", "line 1: "},  // a declaration has no status
        {"A\t\tc\t1\t0x1\t\n", "line 1: "},
    };
    for (const auto& c : cases) {
        nvxsim::CounterSets sets(1);
        std::string error;
        EXPECT_FALSE(nvxsim::ParseCounterSets(c.text, &sets, &error)) << c.text;
        EXPECT_EQ(error.rfind(c.reason, 0), 0u) << c.text << " gave: " << error;
        EXPECT_EQ(sets.size(), 1u) << "a failed parse leaves its output alone";
    }
}

}  // namespace
