// The simulated machine's fltlib.dll answering the filter and instance walks from a filter-stack
// description written into a directory of the test's own (NVXSIM_FILTER_STACK). The stand-in is
// loaded by path and its exports resolved by name, as the service resolves Wine's or Windows'.
#include <windows.h>

#include <fltuser.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/sim_driver.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr HRESULT kInvalidHandle = static_cast<HRESULT>(0x80070006);
constexpr HRESULT kInvalidData = static_cast<HRESULT>(0x8007000D);
constexpr HRESULT kInsufficientBuffer = static_cast<HRESULT>(0x8007007A);
constexpr HRESULT kNoMoreItems = static_cast<HRESULT>(0x80070103);
constexpr HRESULT kFilterNotFound = static_cast<HRESULT>(0x801F0013);
constexpr auto kFilterClass = FilterAggregateStandardInformation;
constexpr auto kInstanceClass = InstanceAggregateStandardInformation;

using FindFirstFn = HRESULT(WINAPI*)(FILTER_INFORMATION_CLASS, LPVOID, DWORD, LPDWORD, LPHANDLE);
using FindNextFn = HRESULT(WINAPI*)(HANDLE, FILTER_INFORMATION_CLASS, LPVOID, DWORD, LPDWORD);
using InstFirstFn = HRESULT(WINAPI*)(LPCWSTR, INSTANCE_INFORMATION_CLASS, LPVOID, DWORD, LPDWORD, LPHANDLE);
using InstNextFn = HRESULT(WINAPI*)(HANDLE, INSTANCE_INFORMATION_CLASS, LPVOID, DWORD, LPDWORD);
using CloseFn = HRESULT(WINAPI*)(HANDLE);
using nvx_test::Export;

// One decoded entry of either walk. Texts are read by length and offset, and must lie inside the
// bytes the call said it returned.
struct Seen {
    ULONG flags = 0;
    ULONG frame = 0;
    ULONG count = 0;  // NumberOfInstances of a minifilter
    std::wstring name, altitude, volume, filter;
    DWORD size = 0;
};

std::wstring Text(const std::vector<uint8_t>& entry, DWORD returned, USHORT length, USHORT offset) {
    EXPECT_EQ(length % 2, 0);
    if (static_cast<DWORD>(offset) + length > returned) return L"<outside the returned bytes>";
    return std::wstring(reinterpret_cast<const wchar_t*>(entry.data() + offset), length / 2);
}

Seen DecodeFilter(const std::vector<uint8_t>& entry, DWORD returned) {
    const auto* info = reinterpret_cast<const FILTER_AGGREGATE_STANDARD_INFORMATION*>(entry.data());
    EXPECT_EQ(info->NextEntryOffset, 0u);
    Seen seen;
    seen.flags = info->Flags;
    seen.size = returned;
    if (info->Flags == FLTFL_ASI_IS_MINIFILTER) {
        const auto& m = info->Type.MiniFilter;
        seen.frame = m.FrameID;
        seen.count = m.NumberOfInstances;
        seen.name = Text(entry, returned, m.FilterNameLength, m.FilterNameBufferOffset);
        seen.altitude = Text(entry, returned, m.FilterAltitudeLength, m.FilterAltitudeBufferOffset);
    } else {
        const auto& l = info->Type.LegacyFilter;
        seen.name = Text(entry, returned, l.FilterNameLength, l.FilterNameBufferOffset);
        seen.altitude = Text(entry, returned, l.FilterAltitudeLength, l.FilterAltitudeBufferOffset);
    }
    return seen;
}

Seen DecodeInstance(const std::vector<uint8_t>& entry, DWORD returned) {
    const auto* info = reinterpret_cast<const INSTANCE_AGGREGATE_STANDARD_INFORMATION*>(entry.data());
    EXPECT_EQ(info->NextEntryOffset, 0u);
    const auto& m = info->Type.MiniFilter;
    Seen seen;
    seen.flags = info->Flags;
    seen.frame = m.FrameID;
    seen.size = returned;
    EXPECT_EQ(m.VolumeFileSystemType, FLT_FSTYPE_NTFS);
    seen.name = Text(entry, returned, m.InstanceNameLength, m.InstanceNameBufferOffset);
    seen.altitude = Text(entry, returned, m.AltitudeLength, m.AltitudeBufferOffset);
    seen.volume = Text(entry, returned, m.VolumeNameLength, m.VolumeNameBufferOffset);
    seen.filter = Text(entry, returned, m.FilterNameLength, m.FilterNameBufferOffset);
    return seen;
}

class FltEnumTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        module_ = LoadLibraryW((nvx_test::SimBinDir() + L"\\fltlib.dll").c_str());
        ASSERT_NE(module_, nullptr) << "LoadLibrary fltlib.dll: error " << GetLastError();
        first_ = Export<FindFirstFn>(module_, "FilterFindFirst");
        next_ = Export<FindNextFn>(module_, "FilterFindNext");
        close_ = Export<CloseFn>(module_, "FilterFindClose");
        instFirst_ = Export<InstFirstFn>(module_, "FilterInstanceFindFirst");
        instNext_ = Export<InstNextFn>(module_, "FilterInstanceFindNext");
        instClose_ = Export<CloseFn>(module_, "FilterInstanceFindClose");
    }

    void SetUp() override {
        ASSERT_TRUE(first_ && next_ && close_ && instFirst_ && instNext_ && instClose_) << "exports missing";
        ASSERT_FALSE(dir_.path().empty());
        path_ = dir_.path() + L"\\filters.txt";
        ASSERT_TRUE(SetEnvironmentVariableW(L"NVXSIM_FILTER_STACK", path_.c_str()));
    }

    void TearDown() override { SetEnvironmentVariableW(L"NVXSIM_FILTER_STACK", nullptr); }

    void Describe(const std::string& text) { ASSERT_TRUE(nvx_test::WriteFileBytes(path_, text)); }
    // The stand-in's lie file, beside the description.
    void Lie(const std::string& text) {
        ASSERT_TRUE(nvx_test::WriteFileBytes(dir_.path() + L"\\fltlib-lie.txt", text));
    }

    // A whole walk as the service makes it: each call first with no buffer, then with exactly the
    // size it reported. `first(buffer, size, returned, find)` and `next(find, buffer, size,
    // returned)` are the walk's calls; `end` is the answer that ended it.
    template <typename First, typename Next, typename Decode>
    static std::vector<Seen> Walk(First first, Next next, CloseFn close, Decode decode, HRESULT* end) {
        std::vector<Seen> seen;
        DWORD needed = 0;
        HANDLE find = INVALID_HANDLE_VALUE;
        *end = first(nullptr, 0, &needed, &find);
        if (*end != kInsufficientBuffer) return seen;
        EXPECT_EQ(find, INVALID_HANDLE_VALUE) << "a FindFirst that delivered nothing opened a search";
        std::vector<uint8_t> buffer(needed);
        DWORD got = 0;
        *end = first(buffer.data(), needed, &got, &find);
        while (*end == S_OK) {
            EXPECT_EQ(got, needed);
            seen.push_back(decode(buffer, got));
            *end = next(find, nullptr, 0, &needed);
            if (*end != kInsufficientBuffer) break;
            buffer.assign(needed, 0);
            *end = next(find, buffer.data(), needed, &got);
        }
        if (find != INVALID_HANDLE_VALUE) {
            EXPECT_EQ(close(find), S_OK);
        }
        return seen;
    }

    static std::vector<Seen> WalkFilters(HRESULT* end) {
        return Walk([](void* b, DWORD n, DWORD* got, HANDLE* find) { return first_(kFilterClass, b, n, got, find); },
                    [](HANDLE find, void* b, DWORD n, DWORD* got) { return next_(find, kFilterClass, b, n, got); },
                    close_, DecodeFilter, end);
    }

    static std::vector<Seen> WalkInstances(const wchar_t* filter, HRESULT* end) {
        return Walk(
            [filter](void* b, DWORD n, DWORD* got, HANDLE* find) {
                return instFirst_(filter, kInstanceClass, b, n, got, find);
            },
            [](HANDLE find, void* b, DWORD n, DWORD* got) { return instNext_(find, kInstanceClass, b, n, got); },
            instClose_, DecodeInstance, end);
    }

    static inline HMODULE module_ = nullptr;
    static inline FindFirstFn first_ = nullptr;
    static inline FindNextFn next_ = nullptr;
    static inline CloseFn close_ = nullptr;
    static inline InstFirstFn instFirst_ = nullptr;
    static inline InstNextFn instNext_ = nullptr;
    static inline CloseFn instClose_ = nullptr;
    nvx_test::TempDirectory dir_{L"fltenum"};
    std::wstring path_;
};

const char kStack[] =
    "# three frames, two legacy filters\n"
    "minifilter\tKestro Vantor\t2\t328010\n"
    "instance\tKestro Vantor\tKestroNVX Antivirus Instance\t328010\t\\Device\\HarddiskVolume1\n"
    "instance\tKestro Vantor\tKestroNVX Antivirus Instance\t328010.25\t\\Device\\HarddiskVolume2\t1\n"
    "legacy\tMRLA\t329000.5\r\n"
    "minifilter\tQAVOnAccess\t0\t321410\n"
    "\n"
    "minifilter\travelflt\t1\t385100.75\n"
    "legacy\tMRLC\t40\n"
    "instance\tkestro vantor\tKestroNVX Activity Monitor Instance\t328020\t\\Device\\HarddiskVolume1\n";

TEST_F(FltEnumTest, FilterWalkDecodesEveryEntryByItsOffsetsInFileOrder) {
    Describe(kStack);
    HRESULT end;
    const std::vector<Seen> seen = WalkFilters(&end);
    EXPECT_EQ(end, kNoMoreItems);
    ASSERT_EQ(seen.size(), 5u);
    struct Want {
        ULONG flags, frame, count;
        const wchar_t *name, *altitude;
    } want[] = {{1, 2, 3, L"Kestro Vantor", L"328010"},
                {2, 0, 0, L"MRLA", L"329000.5"},
                {1, 0, 0, L"QAVOnAccess", L"321410"},
                {1, 1, 0, L"ravelflt", L"385100.75"},
                {2, 0, 0, L"MRLC", L"40"}};
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].flags, want[i].flags);
        EXPECT_EQ(seen[i].name, want[i].name);
        EXPECT_EQ(seen[i].altitude, want[i].altitude);
        if (want[i].flags == FLTFL_ASI_IS_MINIFILTER) {
            EXPECT_EQ(seen[i].frame, want[i].frame);
            EXPECT_EQ(seen[i].count, want[i].count);
        }
        // The texts follow the fixed part without terminators.
        EXPECT_EQ(seen[i].size, sizeof(FILTER_AGGREGATE_STANDARD_INFORMATION) +
                                    2 * (wcslen(want[i].name) + wcslen(want[i].altitude)));
    }
}

TEST_F(FltEnumTest, TooSmallBufferReportsTheSizeAndKeepsThePosition) {
    Describe(kStack);
    DWORD needed = 0;
    HANDLE find = INVALID_HANDLE_VALUE;
    std::vector<uint8_t> buffer(4096);
    ASSERT_EQ(first_(kFilterClass, buffer.data(), 40, &needed, &find), kInsufficientBuffer);
    EXPECT_EQ(find, INVALID_HANDLE_VALUE) << "a FindFirst that delivered nothing opened a search";
    EXPECT_EQ(needed, sizeof(FILTER_AGGREGATE_STANDARD_INFORMATION) + 2 * (13 + 6));
    DWORD got = 0;
    ASSERT_EQ(first_(kFilterClass, buffer.data(), needed, &got, &find), S_OK);
    EXPECT_EQ(got, needed);
    EXPECT_EQ(DecodeFilter(buffer, got).name, L"Kestro Vantor");

    for (int attempt = 0; attempt < 2; ++attempt) {
        ASSERT_EQ(next_(find, kFilterClass, buffer.data(), 27, &needed), kInsufficientBuffer);
        EXPECT_EQ(needed, sizeof(FILTER_AGGREGATE_STANDARD_INFORMATION) + 2 * (4 + 8));
    }
    ASSERT_EQ(next_(find, kFilterClass, buffer.data(), needed - 1, &got), kInsufficientBuffer);
    ASSERT_EQ(next_(find, kFilterClass, buffer.data(), needed, &got), S_OK);
    EXPECT_EQ(DecodeFilter(buffer, got).name, L"MRLA") << "a too-small call moved the walk on";
    EXPECT_EQ(close_(find), S_OK);

    // The instance walk keeps the same rule.
    ASSERT_EQ(instFirst_(L"Kestro Vantor", kInstanceClass, buffer.data(), 4096, &got, &find), S_OK);
    ASSERT_EQ(instNext_(find, kInstanceClass, buffer.data(), 39, &needed), kInsufficientBuffer);
    ASSERT_EQ(instNext_(find, kInstanceClass, buffer.data(), needed, &got), S_OK);
    EXPECT_EQ(got, needed);
    EXPECT_EQ(DecodeInstance(buffer, got).volume, L"\\Device\\HarddiskVolume2");
    EXPECT_EQ(instClose_(find), S_OK);
}

TEST_F(FltEnumTest, InstanceWalkGivesEachVolumeFrameAndAltitudeOfTheNamedFilter) {
    Describe(kStack);
    HRESULT end;
    const std::vector<Seen> seen = WalkInstances(L"KESTRO VANTOR", &end);
    EXPECT_EQ(end, kNoMoreItems);
    struct Want {
        const wchar_t *name, *altitude, *volume;
        ULONG frame;  // the filter's unless the line names one
    } want[] = {{L"KestroNVX Antivirus Instance", L"328010", L"\\Device\\HarddiskVolume1", 2},
                {L"KestroNVX Antivirus Instance", L"328010.25", L"\\Device\\HarddiskVolume2", 1},
                {L"KestroNVX Activity Monitor Instance", L"328020", L"\\Device\\HarddiskVolume1", 2}};
    ASSERT_EQ(seen.size(), 3u);
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].flags, static_cast<ULONG>(FLTFL_IASI_IS_MINIFILTER));
        EXPECT_EQ(seen[i].name, want[i].name);
        EXPECT_EQ(seen[i].altitude, want[i].altitude);
        EXPECT_EQ(seen[i].volume, want[i].volume);
        EXPECT_EQ(seen[i].frame, want[i].frame);
        EXPECT_EQ(seen[i].filter, L"Kestro Vantor");
    }

    // A loaded minifilter without instances has nothing to walk; a legacy filter or an unknown
    // name is no minifilter.
    EXPECT_TRUE(WalkInstances(L"QAVOnAccess", &end).empty());
    EXPECT_EQ(end, kNoMoreItems);
    WalkInstances(L"MRLA", &end);
    EXPECT_EQ(end, kFilterNotFound);
    HANDLE find = reinterpret_cast<HANDLE>(1);
    DWORD needed = 7;
    EXPECT_EQ(instFirst_(L"NoSuchFilter", kInstanceClass, nullptr, 0, &needed, &find), kFilterNotFound);
    EXPECT_EQ(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(needed, 0u);
}

TEST_F(FltEnumTest, EndsAndRefusals) {
    HRESULT end;
    EXPECT_TRUE(WalkFilters(&end).empty());  // no description: no filters
    EXPECT_EQ(end, kNoMoreItems);
    Describe("# nothing loaded\n");
    EXPECT_TRUE(WalkFilters(&end).empty());
    EXPECT_EQ(end, kNoMoreItems);

    Describe("legacy\tMRLB\t1\n");
    std::vector<uint8_t> buffer(4096);
    DWORD got = 0;
    HANDLE find = INVALID_HANDLE_VALUE;
    EXPECT_EQ(first_(FilterFullInformation, buffer.data(), 4096, &got, &find), E_INVALIDARG);
    ASSERT_EQ(first_(kFilterClass, buffer.data(), 4096, &got, &find), S_OK);
    EXPECT_EQ(next_(find, kFilterClass, buffer.data(), 4096, &got), kNoMoreItems);
    EXPECT_EQ(next_(find, kFilterClass, buffer.data(), 4096, &got), kNoMoreItems) << "the end is not sticky";
    EXPECT_EQ(next_(find, FilterAggregateBasicInformation, buffer.data(), 4096, &got), E_INVALIDARG);
    EXPECT_EQ(close_(find), S_OK);

    for (const char* bad : {"minifilter\tA\t0\n", "minifilter\tA\tx\t1\n", "legacy\tA\t1.\n", "legacy\tA\t1 \n",
                            "filter\tA\t1\n", "instance\tA\tI\t1\t\\Device\\HarddiskVolume1\n",
                            "legacy\tA\t1\nminifilter\ta\t0\t2\n", "minifilter\tA\t4294967296\t1\n"}) {
        SCOPED_TRACE(bad);
        Describe(bad);
        EXPECT_EQ(first_(kFilterClass, buffer.data(), 4096, &got, &find), kInvalidData);
        EXPECT_EQ(find, INVALID_HANDLE_VALUE);
    }
}

TEST_F(FltEnumTest, HandlesOnlyServeTheirOwnOpenSearch) {
    Describe(kStack);
    std::vector<uint8_t> buffer(4096);
    DWORD got = 0;
    HANDLE filters = INVALID_HANDLE_VALUE, instances = INVALID_HANDLE_VALUE;
    ASSERT_EQ(first_(kFilterClass, buffer.data(), 4096, &got, &filters), S_OK);
    ASSERT_EQ(instFirst_(L"Kestro Vantor", kInstanceClass, buffer.data(), 4096, &got, &instances), S_OK);
    EXPECT_NE(filters, instances);

    EXPECT_EQ(next_(instances, kFilterClass, buffer.data(), 4096, &got), kInvalidHandle);
    EXPECT_EQ(instNext_(filters, kInstanceClass, buffer.data(), 4096, &got), kInvalidHandle);
    EXPECT_EQ(close_(instances), kInvalidHandle);
    EXPECT_EQ(instClose_(filters), kInvalidHandle);
    EXPECT_EQ(next_(INVALID_HANDLE_VALUE, kFilterClass, buffer.data(), 4096, &got), kInvalidHandle);

    // The refused calls left both searches where they were.
    ASSERT_EQ(next_(filters, kFilterClass, buffer.data(), 4096, &got), S_OK);
    EXPECT_EQ(DecodeFilter(buffer, got).name, L"MRLA");
    ASSERT_EQ(instNext_(instances, kInstanceClass, buffer.data(), 4096, &got), S_OK);
    EXPECT_EQ(DecodeInstance(buffer, got).altitude, L"328010.25");

    EXPECT_EQ(close_(filters), S_OK);
    EXPECT_EQ(instClose_(instances), S_OK);
    EXPECT_EQ(next_(filters, kFilterClass, buffer.data(), 4096, &got), kInvalidHandle);
    EXPECT_EQ(close_(filters), kInvalidHandle);
    EXPECT_EQ(instNext_(instances, kInstanceClass, buffer.data(), 4096, &got), kInvalidHandle);
}

TEST_F(FltEnumTest, ChangedDescriptionShowsAtTheNextFindFirstOnly) {
    Describe("minifilter\tQAVOnAccess\t0\t321410\nlegacy\tMRLA\t1\n");
    std::vector<uint8_t> buffer(4096);
    DWORD got = 0;
    HANDLE find = INVALID_HANDLE_VALUE;
    ASSERT_EQ(first_(kFilterClass, buffer.data(), 4096, &got, &find), S_OK);

    Describe("minifilter\tQAVOnAccess\t3\t321411\n");
    ASSERT_EQ(next_(find, kFilterClass, buffer.data(), 4096, &got), S_OK) << "an open walk lost its snapshot";
    EXPECT_EQ(DecodeFilter(buffer, got).name, L"MRLA");
    EXPECT_EQ(close_(find), S_OK);

    HRESULT end;
    std::vector<Seen> seen = WalkFilters(&end);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].frame, 3u);
    EXPECT_EQ(seen[0].altitude, L"321411");

    ASSERT_TRUE(DeleteFileW(path_.c_str()));
    EXPECT_TRUE(WalkFilters(&end).empty());
    EXPECT_EQ(end, kNoMoreItems);
}

// The name fields a lie bends, read from an entry as delivered: (length, offset).
std::pair<USHORT, USHORT> FilterName(const std::vector<uint8_t>& entry) {
    const auto* info = reinterpret_cast<const FILTER_AGGREGATE_STANDARD_INFORMATION*>(entry.data());
    if (info->Flags == FLTFL_ASI_IS_LEGACYFILTER) {
        return {info->Type.LegacyFilter.FilterNameLength, info->Type.LegacyFilter.FilterNameBufferOffset};
    }
    return {info->Type.MiniFilter.FilterNameLength, info->Type.MiniFilter.FilterNameBufferOffset};
}

std::pair<USHORT, USHORT> InstanceName(const std::vector<uint8_t>& entry) {
    const auto* info = reinterpret_cast<const INSTANCE_AGGREGATE_STANDARD_INFORMATION*>(entry.data());
    return {info->Type.MiniFilter.InstanceNameLength, info->Type.MiniFilter.InstanceNameBufferOffset};
}

constexpr DWORD kSize = 4096;  // the buffer the lie tests hand over

// Each record lie, in either walk, bends the entries of its walk from entry after+1 on and leaves
// the other walk, the earlier entries and a too-small buffer's answer true.
TEST_F(FltEnumTest, RecordLiesBendTheirWalksEntriesFromTheGivenOneOn) {
    Describe(kStack);
    const DWORD trueFilter = sizeof(FILTER_AGGREGATE_STANDARD_INFORMATION) + 2 * (4 + 8);  // MRLA, 329000.5
    const DWORD trueInstance =
        sizeof(INSTANCE_AGGREGATE_STANDARD_INFORMATION) + 2 * (28 + 9 + 23 + 13);  // the second Kestro Vantor instance
    struct Case {
        const char* kind;
        // Checks the bent entry: its bytes, the count returned, the true count, the name fields.
        void (*check)(const std::vector<uint8_t>&, DWORD got, DWORD truth, std::pair<USHORT, USHORT> name);
    } cases[] = {
        {"name-length",
         [](const std::vector<uint8_t>&, DWORD got, DWORD truth, std::pair<USHORT, USHORT> name) {
             EXPECT_EQ(got, truth);
             EXPECT_EQ(static_cast<DWORD>(name.first) + name.second, got + 2);
         }},
        {"name-offset",
         [](const std::vector<uint8_t>&, DWORD got, DWORD truth, std::pair<USHORT, USHORT> name) {
             EXPECT_EQ(got, truth);
             EXPECT_GT(name.second, got);
             EXPECT_GT(name.first, 0);
         }},
        {"odd-name-length",
         [](const std::vector<uint8_t>&, DWORD got, DWORD truth, std::pair<USHORT, USHORT> name) {
             EXPECT_EQ(got, truth);
             EXPECT_EQ(name.first % 2, 1);
             EXPECT_LE(static_cast<DWORD>(name.first) + name.second, got);
         }},
        {"returned-past-buffer",
         [](const std::vector<uint8_t>&, DWORD got, DWORD, std::pair<USHORT, USHORT> name) {
             EXPECT_GT(got, kSize);
             EXPECT_EQ(name.second, kSize) << "the name lies in the claimed bytes past the buffer";
             EXPECT_LE(static_cast<DWORD>(name.first) + name.second, got);
         }},
        {"unknown-type",
         [](const std::vector<uint8_t>& entry, DWORD got, DWORD truth, std::pair<USHORT, USHORT>) {
             EXPECT_EQ(got, truth);
             EXPECT_EQ(reinterpret_cast<const FILTER_AGGREGATE_STANDARD_INFORMATION*>(entry.data())->Flags, 4u);
         }},
    };
    std::vector<uint8_t> buffer(kSize);
    DWORD got = 0, needed = 0;
    HANDLE find = INVALID_HANDLE_VALUE;
    for (const Case& c : cases) {
        for (const char* walk : {"filters", "instances"}) {
            SCOPED_TRACE(std::string(c.kind) + " " + walk);
            Lie(std::string("# the second entry of each walk on\nkind=") + c.kind + " walk=" + walk + " after=1\n");
            const bool filters = std::string(walk) == "filters";
            ASSERT_EQ(first_(kFilterClass, buffer.data(), kSize, &got, &find), S_OK);
            EXPECT_EQ(DecodeFilter(buffer, got).name, L"Kestro Vantor") << "the first entry is told truly";
            EXPECT_EQ(next_(find, kFilterClass, nullptr, 0, &needed), kInsufficientBuffer);
            EXPECT_EQ(needed, trueFilter) << "a too-small buffer is answered truly";
            ASSERT_EQ(next_(find, kFilterClass, buffer.data(), kSize, &got), S_OK);
            if (filters) {
                c.check(buffer, got, trueFilter, FilterName(buffer));
            } else {
                EXPECT_EQ(DecodeFilter(buffer, got).name, L"MRLA") << "the other walk is told truly";
            }
            EXPECT_EQ(close_(find), S_OK);

            ASSERT_EQ(instFirst_(L"Kestro Vantor", kInstanceClass, buffer.data(), kSize, &got, &find), S_OK);
            EXPECT_EQ(DecodeInstance(buffer, got).volume, L"\\Device\\HarddiskVolume1");
            ASSERT_EQ(instNext_(find, kInstanceClass, buffer.data(), kSize, &got), S_OK);
            if (filters) {
                EXPECT_EQ(DecodeInstance(buffer, got).altitude, L"328010.25");
            } else {
                c.check(buffer, got, trueInstance, InstanceName(buffer));
            }
            EXPECT_EQ(instClose_(find), S_OK);
        }
    }

    Lie("kind=no-instance-name\n");
    HRESULT end;
    EXPECT_EQ(WalkFilters(&end).size(), 5u) << "an instance lie leaves the filter walk true";
    ASSERT_EQ(instFirst_(L"Kestro Vantor", kInstanceClass, buffer.data(), kSize, &got, &find), S_OK);
    EXPECT_EQ(InstanceName(buffer).first, 0);
    EXPECT_EQ(DecodeInstance(buffer, got).volume, L"\\Device\\HarddiskVolume1") << "only the name is missing";
    EXPECT_EQ(instClose_(find), S_OK);
}

// A failing FindNext gives `after` entries, then its error at every call; a search keeps the lie
// its FindFirst read.
TEST_F(FltEnumTest, FailingFindNextFailsFromTheGivenEntryOnAndEachSearchKeepsItsLie) {
    Describe(kStack);
    std::vector<uint8_t> buffer(4096);
    DWORD got = 0;
    HANDLE find = INVALID_HANDLE_VALUE;
    Lie("kind=filter-next-fails after=2 error=8\n");
    ASSERT_EQ(first_(kFilterClass, buffer.data(), 4096, &got, &find), S_OK);
    ASSERT_EQ(next_(find, kFilterClass, buffer.data(), 4096, &got), S_OK);
    EXPECT_EQ(DecodeFilter(buffer, got).name, L"MRLA");
    Lie("# the truth again, for new searches only\nkind=name-length\n");
    for (int call = 0; call < 2; ++call) {
        got = 7;
        EXPECT_EQ(next_(find, kFilterClass, buffer.data(), 4096, &got), static_cast<HRESULT>(0x80070008));
        EXPECT_EQ(got, 0u);
    }
    EXPECT_EQ(close_(find), S_OK);

    Lie("kind=instance-next-fails after=1\n");
    HRESULT end;
    EXPECT_EQ(WalkFilters(&end).size(), 5u);
    EXPECT_EQ(end, kNoMoreItems);
    const std::vector<Seen> seen = WalkInstances(L"Kestro Vantor", &end);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(end, static_cast<HRESULT>(0x80070057)) << "ERROR_INVALID_PARAMETER unless told otherwise";

    ASSERT_TRUE(DeleteFileW((dir_.path() + L"\\fltlib-lie.txt").c_str()));
    EXPECT_EQ(WalkInstances(L"Kestro Vantor", &end).size(), 3u);
    EXPECT_EQ(end, kNoMoreItems);
}

// A lie file that is not one fails both FindFirsts, as a malformed description does.
TEST_F(FltEnumTest, MalformedLieFailsTheFindFirsts) {
    Describe(kStack);
    std::vector<uint8_t> buffer(4096);
    DWORD got = 0;
    HANDLE find = INVALID_HANDLE_VALUE;
    for (const char* bad :
         {"kind=fib\n", "walk=filters\n", "kind=name-length walk=both\n", "kind=no-instance-name walk=filters\n",
          "kind=filter-next-fails\n", "kind=instance-next-fails walk=filters after=1\n", "kind=name-length after=-1\n",
          "kind=name-length\nkind=name-offset\n", "kind=name-length colour=red\n",
          "kind=filter-next-fails after=1 error=0\n", "\n"}) {
        SCOPED_TRACE(bad);
        Lie(bad);
        EXPECT_EQ(first_(kFilterClass, buffer.data(), 4096, &got, &find), kInvalidData);
        EXPECT_EQ(instFirst_(L"Kestro Vantor", kInstanceClass, buffer.data(), 4096, &got, &find), kInvalidData);
        EXPECT_EQ(find, INVALID_HANDLE_VALUE);
    }
}

}  // namespace
