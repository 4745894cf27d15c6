// The driver simulator's performance-counter sets (see driver_counters.h).
#include "sim/driver_counters.h"

#include <windows.h>

#include <cstdint>

#include "sim/counter_sets.h"

using nvxsim::CounterSet;
using nvxsim::CounterSets;
using nvxsim::Json;

namespace nvxdriver {

namespace {

struct SetSpec {
    const char* name;
    std::vector<const char*> instances;  // empty: a set without instances
    std::vector<const char*> counters;
};

// What the driver registers. The first set has instances per volume and counters of which only
// those starting "Total " are totals; the others mix sets with and without instances.
const std::vector<SetSpec>& Specs() {
    static const std::vector<SetSpec> specs = {
        {"Kestro.NVX performance",
         {"C:", "_Total"},
         {"Total files scanned", "Files scanned/sec", "Total scan time ms", "Average scan time ms",
          "Total bytes scanned"}},
        {"Kestro.NVX caching", {}, {"Cache entries", "Cache hits", "Cache misses"}},
        {"Kestro.NVX driver state", {}, {"Attached volumes", "Outstanding requests"}},
        {"Kestro.NVX process/thread/image tracking stats",
         {},
         {"Tracked processes", "Tracked threads", "Tracked images"}},
        {"Kestro.NVX pinned scan stats", {}, {"Pinned scans", "Pinned scan failures"}},
        {"Kestro.NVX boot pinned scan stats", {}, {"Boot pinned scans"}},
        {"Kestro.NVX scan types stats", {"On access", "On demand", "On execute"}, {"Scans", "Detections"}},
        {"Kestro.NVX communication stats for QMT", {}, {"Messages sent", "Messages received", "Queue full"}},
        {"Kestro.NVX communication stats for QAV", {}, {"Messages sent", "Messages received", "Queue full"}},
        {"Kestro.NVX Event Journal stats", {}, {"Journals written", "Bytes written", "Journals dropped"}},
        {"Kestro.NVX Event Journal indexed stats", {"Process", "Dns", "File"}, {"Records indexed", "Index lookups"}},
    };
    return specs;
}

SRWLOCK gLock = SRWLOCK_INIT;
CounterSets gSets;
bool gPublished = false;  // between publishing and withdrawing

// Holds gLock for its scope.
struct Held {
    Held() { AcquireSRWLockExclusive(&gLock); }
    ~Held() { ReleaseSRWLockExclusive(&gLock); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
};

// Distinct starting values, so that a column mixed up with another shows.
CounterSets StartingSets() {
    CounterSets sets;
    int64_t next = 1000;
    std::string ignored;
    for (const SetSpec& spec : Specs()) {
        const std::vector<const char*> instances =
            spec.instances.empty() ? std::vector<const char*>{""} : spec.instances;
        for (const char* instance : instances) {
            for (const char* counter : spec.counters)
                nvxsim::AddRecord(sets, spec.name, instance, counter, next++, &ignored);
        }
    }
    return sets;
}

}  // namespace

bool PublishCounterSets(std::string* problem) {
    Held hold;
    gSets = StartingSets();
    const std::wstring path = nvxsim::CounterSetsPath();
    const size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos) nvxsim::MakeDirectories(path.substr(0, slash));
    gPublished = nvxsim::WriteCounterSetsFile(path, gSets, problem);
    return gPublished;
}

void WithdrawCounterSets() {
    Held hold;
    gPublished = false;
    DeleteFileW(nvxsim::CounterSetsPath().c_str());
}

int CountersCommand(const std::vector<std::string>& args, Reply* r) {
    if (args.size() != 6 || args[1] != "set") return r->Fail(2, "counters set SET INSTANCE COUNTER VALUE");
    const std::string& instance = args[3];
    const std::string& value = args[5];
    int64_t number = 0;
    {
        CounterSets parsed;
        std::string problem;
        // The value is checked by the file format's own rule.
        if (!nvxsim::ParseCounterSets("x\t\tx\t" + value + "\n", &parsed, &problem)) {
            return r->Fail(2, "VALUE is a signed 64-bit decimal number, not \"" + value + "\"");
        }
        number = parsed[0].Value(0, 0);
    }
    Held hold;
    if (!gPublished) return r->Fail(1, "the counter sets are not published");
    CounterSet* set = nullptr;
    for (CounterSet& candidate : gSets) {
        if (nvxsim::SameName(candidate.name, args[2])) set = &candidate;
    }
    if (set == nullptr) return r->Fail(1, "no counter set \"" + args[2] + "\"");
    const int counter = set->FindCounter(args[4]);
    if (counter < 0) return r->Fail(1, "no counter \"" + args[4] + "\" in \"" + set->name + "\"");
    if (set->hasInstances == instance.empty()) {
        return r->Fail(1, "\"" + set->name + "\" is a set " + (set->hasInstances ? "with" : "without") + " instances" +
                              (set->hasInstances ? ": name one" : ": give \"\""));
    }
    const int at = set->hasInstances ? set->FindInstance(instance) : 0;
    if (at < 0) return r->Fail(1, "no instance \"" + instance + "\" in \"" + set->name + "\"");
    set->values[{static_cast<size_t>(at), static_cast<size_t>(counter)}] = number;
    std::string problem;
    if (!nvxsim::WriteCounterSetsFile(nvxsim::CounterSetsPath(), gSets, &problem)) return r->Fail(1, problem);
    Json j;
    j.Str("event", "counter").Str("set", set->name).Str("instance", set->hasInstances ? set->instances[at] : "");
    j.Str("counter", set->counters[counter]).Str("value", std::to_string(number));
    r->Line(j);
    return 0;
}

}  // namespace nvxdriver
