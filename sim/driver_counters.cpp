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

struct DriverSet {
    const char* name;
    std::vector<const char*> instances;  // empty: a set without instances
    std::vector<const char*> counters;
};

// What the driver registers. The first set has instances per volume and counters of which only
// those starting "Total " are totals; the others mix sets with and without instances.
const std::vector<DriverSet>& DriverSets() {
    static const std::vector<DriverSet> sets = {
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
    return sets;
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
    for (const DriverSet& driverSet : DriverSets()) {
        const std::vector<const char*> instances =
            driverSet.instances.empty() ? std::vector<const char*>{""} : driverSet.instances;
        for (const char* instance : instances) {
            for (const char* counter : driverSet.counters)
                nvxsim::AddRecord(sets, driverSet.name, instance, counter, next++, &ignored);
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

namespace {

// The set named `name` in gSets (held), or nullptr after failing the reply.
CounterSet* FindHeldSet(const std::string& name, Reply* r) {
    for (CounterSet& set : gSets) {
        if (nvxsim::SameName(set.name, name)) return &set;
    }
    r->Fail(1, "no counter set \"" + name + "\" (not registered, or not one of the driver's)");
    return nullptr;
}

// The (instance, counter) of one value of `set`, or false after failing the reply.
bool FindValue(const CounterSet& set, const std::string& instance, const std::string& counter, size_t* at, size_t* c,
               Reply* r) {
    const int found = set.FindCounter(counter);
    if (found < 0) return r->Fail(1, "no counter \"" + counter + "\" in \"" + set.name + "\""), false;
    if (set.hasInstances == instance.empty()) {
        r->Fail(1, "\"" + set.name + "\" is a set " + (set.hasInstances ? "with" : "without") + " instances" +
                       (set.hasInstances ? ": name one" : ": give \"\""));
        return false;
    }
    const int i = set.hasInstances ? set.FindInstance(instance) : 0;
    if (i < 0) return r->Fail(1, "no instance \"" + instance + "\" in \"" + set.name + "\""), false;
    *at = static_cast<size_t>(i);
    *c = static_cast<size_t>(found);
    return true;
}

// Publishes gSets (held) and answers one line of `event` for `set`; the exit code.
int Publish(Reply* r, nvxsim::Json j) {
    std::string problem;
    if (!nvxsim::WriteCounterSetsFile(nvxsim::CounterSetsPath(), gSets, &problem)) return r->Fail(1, problem);
    r->Line(j);
    return 0;
}

nvxsim::Json ValueEvent(const char* event, const CounterSet& set, size_t at, size_t c) {
    nvxsim::Json j;
    j.Str("event", event).Str("set", set.name).Str("instance", set.hasInstances ? set.instances[at] : "");
    j.Str("counter", set.counters[c]).Str("value", std::to_string(set.Value(at, c)));
    j.Str("status", nvxsim::Hex32(set.Status(at, c)));
    return j;
}

nvxsim::Json SetEvent(const char* event, const std::string& set) {
    nvxsim::Json j;
    j.Str("event", event).Str("set", set);
    return j;
}

constexpr char kUsage[] =
    "counters set SET INSTANCE COUNTER VALUE | status SET INSTANCE COUNTER STATUS | add-instance SET INSTANCE"
    " | remove-instance SET INSTANCE | add-counter SET COUNTER [VALUE] | unregister SET | register SET | reset";

}  // namespace

int CountersCommand(const std::vector<std::string>& args, Reply* r) {
    const std::string action = args.size() > 1 ? args[1] : "";
    const size_t words = args.size() - 1;
    const bool shaped = (action == "set" && words == 5) || (action == "status" && words == 5) ||
                        ((action == "add-instance" || action == "remove-instance") && words == 3) ||
                        (action == "add-counter" && (words == 3 || words == 4)) ||
                        ((action == "unregister" || action == "register") && words == 2) ||
                        (action == "reset" && words == 1);
    if (!shaped) return r->Fail(2, kUsage);
    int64_t number = 0;
    if ((action == "set" || action == "add-counter") && words >= 4 && !nvxsim::ParseValue(args.back(), &number)) {
        return r->Fail(2, "VALUE is a signed 64-bit decimal number, not \"" + args.back() + "\"");
    }
    uint64_t status = 0;
    if (action == "status" && (!nvxsim::ParseNumber(args[5], &status) || status > 0xFFFFFFFFu)) {
        return r->Fail(2, "STATUS is a 32-bit number (decimal or 0x hexadecimal), not \"" + args[5] + "\"");
    }
    Held hold;
    if (!gPublished) return r->Fail(1, "the counter sets are not published");

    if (action == "reset") {
        gSets = StartingSets();
        nvxsim::Json j;
        j.Str("event", "reset").Num("sets", gSets.size());
        return Publish(r, j);
    }
    if (action == "register") {
        if (nvxsim::FindSet(gSets, args[2]) != nullptr) return r->Fail(1, "\"" + args[2] + "\" is registered already");
        // The driver's own definition of the set, placed in the driver's order.
        CounterSets defaults = StartingSets();
        size_t place = 0;
        for (const CounterSet& set : defaults) {
            if (nvxsim::SameName(set.name, args[2])) {
                gSets.insert(gSets.begin() + static_cast<std::ptrdiff_t>(place), set);
                return Publish(r, SetEvent("registered", set.name));
            }
            if (nvxsim::FindSet(gSets, set.name) != nullptr) ++place;
        }
        return r->Fail(1, "\"" + args[2] + "\" is not one of the driver's counter sets");
    }
    CounterSet* set = FindHeldSet(args[2], r);
    if (set == nullptr) return r->code;
    if (action == "unregister") {
        const std::string name = set->name;
        gSets.erase(gSets.begin() + (set - gSets.data()));
        return Publish(r, SetEvent("unregistered", name));
    }
    if (action == "set" || action == "status") {
        size_t at = 0, c = 0;
        if (!FindValue(*set, args[3], args[4], &at, &c, r)) return r->code;
        if (action == "set") {
            set->values[{at, c}] = number;
        } else {
            set->SetStatus(at, c, static_cast<uint32_t>(status));
        }
        return Publish(r, ValueEvent("counter", *set, at, c));
    }
    if (action == "add-instance" || action == "remove-instance") {
        const std::string& instance = args[3];
        if (!set->hasInstances) return r->Fail(1, "\"" + set->name + "\" is a set without instances");
        const int at = set->FindInstance(instance);
        if (action == "remove-instance") {
            if (at < 0) return r->Fail(1, "no instance \"" + instance + "\" in \"" + set->name + "\"");
            set->RemoveInstance(static_cast<size_t>(at));
            return Publish(r, SetEvent("instance_removed", set->name).Str("instance", instance));
        }
        if (at >= 0) return r->Fail(1, "\"" + set->name + "\" has an instance \"" + instance + "\" already");
        std::string problem;
        if (instance == "*" || !nvxsim::AddRecord(gSets, set->name, instance, set->counters[0], 0, &problem)) {
            return r->Fail(1, "INSTANCE \"" + instance +
                                  "\" cannot be published: " + (problem.empty() ? "\"*\" is PDH's wildcard" : problem));
        }
        return Publish(r, SetEvent("instance_added", set->name).Str("instance", instance));
    }
    // add-counter: the counter in every instance, with VALUE (0 unless given).
    const std::string& counter = args[3];
    if (set->FindCounter(counter) >= 0)
        return r->Fail(1, "\"" + set->name + "\" has a counter \"" + counter + "\" already");
    if (!nvxsim::ValidName(counter)) return r->Fail(1, "COUNTER may not be empty or hold '\\', TAB, CR, LF or NUL");
    const std::string name = set->name;
    const std::vector<std::string> instances = set->hasInstances ? set->instances : std::vector<std::string>{""};
    std::string problem;
    if (instances.empty()) nvxsim::AddRecord(gSets, name, "*", counter, 0, &problem);
    for (const std::string& instance : instances) nvxsim::AddRecord(gSets, name, instance, counter, number, &problem);
    if (!problem.empty()) return r->Fail(1, problem);
    return Publish(r, SetEvent("counter_added", name).Str("counter", counter).Str("value", std::to_string(number)));
}

}  // namespace nvxdriver
