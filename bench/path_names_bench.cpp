// Compares interning a path name (SgGetFullPathW + SgReleaseFullPathW) with inserting and
// erasing the same name in a std::unordered_map<std::wstring, count>, in one run. Target:
// the path-name pair is no slower than the unordered_map pair.
//
// The names are device paths as the service sees them (journal files below the product's
// ProgramData directory, logs, system files), a few thousand distinct ones. A quarter of them
// are held throughout, as open files would be, so both containers carry a realistic
// population. Two patterns:
//   create + remove: a name nobody holds is got and released: the object is created, copied,
//                    inserted, then removed and freed (map: construct the key, insert, erase);
//   held name:       a name that is already held is got and released: lookup and reference
//                    count only (map: find through a view of the name, count up, count down).
// Each side runs several rounds in alternation; the best round counts. Also printed: how the
// names spread over the table's buckets. `--quick`: one pass, one round.
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bench/bench_rows.h"
#include "runtime/debug_log.h"
#include "runtime/memory.h"
#include "runtime/path_names.h"
#include "runtime/path_names_testing.h"

// Chunk creation logs Debug lines; keep the log out of the measurement.
static unsigned g_logLines;
void SgDebugPrint(uint32_t, uint32_t, const char*, ...) { ++g_logLines; }

namespace {

constexpr int kNames = 4096;
constexpr int kHeldEvery = 4;  // every fourth name is held throughout
int g_passes = 60;
int g_rounds = 7;

volatile uint32_t g_checksum;

// The benchmark measures interning alone; the machine's known directories play no part.
bool NoOsPaths() { return true; }

std::vector<std::wstring> MakeNames() {
    static const wchar_t* const kVolume = L"\\Device\\HarddiskVolume3";
    static const wchar_t* const kSystemFiles[] = {
        L"\\Windows\\System32\\ntdll.dll",           L"\\Windows\\System32\\kernel32.dll",
        L"\\Windows\\System32\\drivers\\etc\\hosts", L"\\Windows\\System32\\config\\SOFTWARE",
        L"\\Windows\\SysWOW64\\msvcrt.dll",          L"\\Windows\\Temp\\setup.log",
    };
    std::vector<std::wstring> names;
    std::unordered_set<std::wstring> seen;
    uint32_t seed = 2024;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    wchar_t text[300];
    while (static_cast<int>(names.size()) < kNames) {
        const uint32_t kind = (next() >> 16) % 8;
        if (kind < 6) {
            // Journals: 20 directories, date-stamped sequence files.
            swprintf(text, 300, L"%ls\\ProgramData\\Kestro\\Vantor\\Journals\\%02u\\2026%02u%02u-%06u.bin", kVolume,
                     (next() >> 16) % 20, 1 + (next() >> 16) % 12, 1 + (next() >> 16) % 28, (next() >> 12) % 1000000);
        } else if (kind == 6) {
            swprintf(text, 300, L"%ls\\ProgramData\\Kestro\\Vantor\\Logs\\nvxs%u.log.%05u", kVolume, (next() >> 16) % 5,
                     (next() >> 12) % 100000);
        } else {
            swprintf(text, 300, L"%ls%ls.%04u", kVolume, kSystemFiles[(next() >> 16) % 6], (next() >> 12) % 10000);
        }
        if (seen.insert(text).second) names.emplace_back(text);
    }
    return names;
}

UNICODE_STRING Counted(const std::wstring& text) {
    UNICODE_STRING us;
    us.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    us.MaximumLength = us.Length;
    us.Buffer = const_cast<wchar_t*>(text.data());
    return us;
}

// Visit order: every name once per pass, scattered.
std::vector<uint32_t> MakeOrder(const std::vector<uint32_t>& candidates) {
    std::vector<uint32_t> order;
    order.reserve(candidates.size() * g_passes);
    uint32_t seed = 99;
    for (int pass = 0; pass < g_passes; ++pass) {
        std::vector<uint32_t> shuffled = candidates;
        for (size_t i = shuffled.size(); i > 1; --i) {
            seed = seed * 1664525u + 1013904223u;
            std::swap(shuffled[i - 1], shuffled[(seed >> 8) % i]);
        }
        order.insert(order.end(), shuffled.begin(), shuffled.end());
    }
    return order;
}

double NsPerPair(std::chrono::steady_clock::time_point start, size_t pairs) {
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / pairs;
}

double InternPairs(const std::vector<UNICODE_STRING>& names, const std::vector<uint32_t>& order) {
    uint32_t sum = 0;
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t index : order) {
        SgFullPath* path = SgGetFullPathW(&names[index]);
        sum += path->referenceCount;
        SgReleaseFullPathW(path);
    }
    const double ns = NsPerPair(start, order.size());
    g_checksum = g_checksum + sum;
    return ns;
}

// Transparent hashing lets the map find a name from a view of the counted string, without
// building a std::wstring key first.
struct ViewHash {
    using is_transparent = void;
    size_t operator()(std::wstring_view name) const { return std::hash<std::wstring_view>{}(name); }
};
using NameMap = std::unordered_map<std::wstring, uint32_t, ViewHash, std::equal_to<>>;

std::wstring_view ViewOf(const UNICODE_STRING& us) { return {us.Buffer, us.Length / sizeof(wchar_t)}; }

// Unheld names: the key is built and inserted, then erased (one hash per insert).
double MapInsertErasePairs(NameMap& map, const std::vector<UNICODE_STRING>& names, const std::vector<uint32_t>& order) {
    uint32_t sum = 0;
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t index : order) {
        auto it = map.try_emplace(std::wstring(ViewOf(names[index])), 0u).first;
        sum += ++it->second;
        if (--it->second == 0) map.erase(it);
    }
    const double ns = NsPerPair(start, order.size());
    g_checksum = g_checksum + sum;
    return ns;
}

// Held names: found without building a key, counted up and down.
double MapFindPairs(NameMap& map, const std::vector<UNICODE_STRING>& names, const std::vector<uint32_t>& order) {
    uint32_t sum = 0;
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t index : order) {
        auto it = map.find(ViewOf(names[index]));
        sum += ++it->second;
        --it->second;
    }
    const double ns = NsPerPair(start, order.size());
    g_checksum = g_checksum + sum;
    return ns;
}

bool Report(const char* pattern, double internNs, double mapNs) {
    const bool met = internNs <= mapNs;
    std::printf("%-16s get+release %7.1f ns   unordered_map %7.1f ns   ratio %.2f   %s\n", pattern, internNs, mapNs,
                internNs / mapNs, met ? "met" : "NOT met");
    return met;
}

}  // namespace

int main(int argc, char** argv) {
    if (BenchQuick(argc, argv)) {
        g_passes = 1;
        g_rounds = 1;
    }
    if (!SgInitMemory()) {
        std::fprintf(stderr, "SgInitMemory failed\n");
        return 2;
    }
    const SgOsPathCalls noOsPaths = {NoOsPaths, NoOsPaths};
    SgSetOsPathCallsForTesting(&noOsPaths);
    if (!SgInitPathManagement()) {
        std::fprintf(stderr, "SgInitPathManagement failed\n");
        return 2;
    }

    const std::vector<std::wstring> texts = MakeNames();
    std::vector<UNICODE_STRING> names;
    for (const auto& text : texts) names.push_back(Counted(text));
    std::vector<uint32_t> heldIndexes, freeIndexes;
    for (uint32_t i = 0; i < kNames; ++i) (i % kHeldEvery == 0 ? heldIndexes : freeIndexes).push_back(i);

    // The standing population: held in both containers for the whole run.
    std::vector<SgFullPath*> held;
    NameMap map;
    for (uint32_t i : heldIndexes) {
        held.push_back(SgGetFullPathW(&names[i]));
        map.emplace(texts[i], 1u);
    }

    const auto createOrder = MakeOrder(freeIndexes);
    const auto heldOrder = MakeOrder(heldIndexes);
    double internCreate = 1e30, mapCreate = 1e30, internHeld = 1e30, mapHeld = 1e30;
    for (int round = 0; round < g_rounds; ++round) {
        internCreate = std::min(internCreate, InternPairs(names, createOrder));
        mapCreate = std::min(mapCreate, MapInsertErasePairs(map, names, createOrder));
        internHeld = std::min(internHeld, InternPairs(names, heldOrder));
        mapHeld = std::min(mapHeld, MapFindPairs(map, names, heldOrder));
    }

    // How the bucket function spreads these names over the 8192 buckets.
    std::vector<uint32_t> chain(kPathTableBuckets, 0);
    size_t totalChars = 0;
    for (const auto& us : names) {
        ++chain[SgHashPathW(&us)];
        totalChars += us.Length / sizeof(wchar_t);
    }
    uint32_t used = 0, longest = 0;
    for (uint32_t n : chain) {
        used += n != 0;
        longest = std::max(longest, n);
    }
    // Names a get of an unheld name compares against: the held names sharing its bucket.
    std::vector<uint32_t> heldChain(kPathTableBuckets, 0);
    for (uint32_t i : heldIndexes) ++heldChain[SgHashPathW(&names[i])];
    double walked = 0;
    for (uint32_t i : freeIndexes) walked += heldChain[SgHashPathW(&names[i])];
    walked /= static_cast<double>(freeIndexes.size());

    std::printf(
        "%d distinct device path names (average %.0f characters), %zu held throughout; %zu + %zu pairs "
        "per round, best of %d rounds\n",
        kNames, static_cast<double>(totalChars) / kNames, held.size(), createOrder.size(), heldOrder.size(), g_rounds);
    std::printf(
        "hash spread: %u of %u buckets used, longest chain %u names; a get of an unheld name compares "
        "against %.1f held names on average\n",
        used, kPathTableBuckets, longest, walked);
    const bool createMet = Report("create + remove", internCreate, mapCreate);
    const bool heldMet = Report("held name", internHeld, mapHeld);
    BenchRowAtMost("path name get+release, new name (ref: unordered_map insert+erase)",
                   BenchText("%.1f ns", internCreate), BenchText("%.1f ns", mapCreate), internCreate / mapCreate, 1.0);
    BenchRowAtMost("path name get+release, held name (ref: unordered_map find)", BenchText("%.1f ns", internHeld),
                   BenchText("%.1f ns", mapHeld), internHeld / mapHeld, 1.0);
    BenchRow("path name buckets used / longest chain, 4,096 device paths", BenchText("%u / %u", used, longest), "-",
             "-", "-", "-");
    std::printf("target (get+release no slower than unordered_map insert+erase): %s\n", createMet ? "met" : "NOT met");
    std::printf("held-name lookups: %s\n", heldMet ? "no slower" : "slower");

    for (SgFullPath* path : held) SgReleaseFullPathW(path);
    const bool empty = SgPathTableCountForTesting(true) == 0;
    SgShutdownPathManagement();
    SgSetOsPathCallsForTesting(nullptr);
    const bool clean = SgShutdownMemory();
    if (!empty || !clean) std::printf("path table not empty or pool reported unreleased blocks or faults\n");
    return empty && clean ? 0 : 1;
}
