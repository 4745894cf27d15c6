// The counter and instance lists a counter-set enumeration returns (perf/counter_paths.cpp):
// multi-strings walked within the character count the call returned, whatever the terminators
// say, and the counter paths built from them with the "Total " rule.
//
// Input: a flags byte (bit 0: the set has instances, bit 1: totals only), the set's name length,
// the split between the counter and the instance list, and a claimed count for each (reduced to
// what its list holds); then the set's name and the two lists' bytes. Each list is copied into a
// buffer exactly as long as its bytes, so any read beyond them is seen.
// fuzz-sources: perf/counter_paths.cpp
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/platform/fuzz_support.h"
#include "perf/counter_paths.h"

namespace {

// The walk's promises: non-empty strings without zeros that are the list's own text, one after
// the other with a zero between, ending at the claimed count or at an empty string.
std::vector<std::string> Split(const uint8_t* bytes, size_t available, size_t claimed) {
    std::unique_ptr<char[]> buffer(new char[available > 0 ? available : 1]);
    if (available > 0) memcpy(buffer.get(), bytes, available);
    const char* list = available > 0 ? buffer.get() : nullptr;
    std::vector<std::string> strings = Kestro::Perf::SplitMultiString(list, claimed);
    size_t at = 0;
    for (const std::string& s : strings) {
        NvxFuzzRequire(!s.empty() && s.find('\0') == std::string::npos, "a list string is empty or holds a zero");
        NvxFuzzRequire(at + s.size() <= claimed && memcmp(list + at, s.data(), s.size()) == 0,
                       "a list string is not the list's text");
        at += s.size();
        NvxFuzzRequire(at == claimed || list[at] == '\0', "a list string ends before its zero");
        ++at;
    }
    NvxFuzzRequire(at >= claimed || list[at] == '\0', "the walk stopped before the list's end");
    return strings;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NvxFuzzBytes in(data, size);
    const uint8_t flags = in.Byte();
    const bool hasInstances = (flags & 1) != 0;
    const bool totalsOnly = (flags & 2) != 0;
    const size_t setLength = in.Byte() % 64;
    const size_t split = in.U16();
    const size_t claimedCounters = in.U16();
    const size_t claimedInstances = in.U16();
    const size_t setTaken = setLength < in.Left() ? setLength : in.Left();
    const std::string set(reinterpret_cast<const char*>(in.Take(setTaken)), setTaken);
    const size_t rest = in.Left();
    const size_t counterBytes = split <= rest ? split : rest;
    const uint8_t* counterList = in.Take(counterBytes);
    const size_t instanceBytes = in.Left();
    const uint8_t* instanceList = in.Take(instanceBytes);

    const std::vector<std::string> counters =
        Split(counterList, counterBytes, counterBytes > 0 ? claimedCounters % (counterBytes + 1) : 0);
    const std::vector<std::string> instances =
        Split(instanceList, instanceBytes, instanceBytes > 0 ? claimedInstances % (instanceBytes + 1) : 0);

    // A real set has tens of counters and instances; thousands of each would make every input
    // build millions of paths and only slow the search down.
    if (counters.size() * (instances.size() + 1) > 4096) return 0;
    const std::vector<std::string> paths =
        Kestro::Perf::CounterPaths(set, counters, hasInstances, instances, totalsOnly);
    // The paths in list order: "\Set\Counter" per counter without instances, otherwise
    // "\Set(Instance)\Counter" per instance and taken counter.
    std::vector<const std::string*> taken;
    for (const std::string& counter : counters) {
        if (!hasInstances || !totalsOnly || counter.rfind("Total ", 0) == 0) taken.push_back(&counter);
    }
    if (!hasInstances) {
        NvxFuzzRequire(paths.size() == counters.size(), "not one path per counter");
        for (size_t i = 0; i < paths.size(); ++i) {
            NvxFuzzRequire(paths[i] == "\\" + set + "\\" + counters[i], "a path is not \\Set\\Counter");
        }
        return 0;
    }
    const size_t expected = instances.empty() || instances.front().empty() ? 0 : instances.size() * taken.size();
    NvxFuzzRequire(paths.size() == expected, "not one path per instance and taken counter");
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string& instance = instances[i / taken.size()];
        const std::string& counter = *taken[i % taken.size()];
        NvxFuzzRequire(paths[i] == "\\" + set + "(" + instance + ")\\" + counter,
                       "a path is not \\Set(Instance)\\Counter");
    }
    return 0;
}
