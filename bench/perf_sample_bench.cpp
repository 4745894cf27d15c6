// One perf-logger sample and one telemetry walk, each beside the bare platform calls that do the
// same work, measured in one run against the simulated machine's pdh.dll and fltlib.dll (copied
// beside this program by the build). bench/perf_sample.py runs it in a machine of its own and
// prints the table.
//
//   perf_sample_bench.exe [SAMPLES] [WALKS]          defaults: 300 300 (after 20 warm-up rounds)
//
// The sample: eleven counter sets of 40 counters each, "Kestro.NVX Event Journal indexed stats"
// with 20 instances (1,200 counters), written to a counter-sets file of this program's own
// (NVXSIM_PDH_COUNTERS). The product's gatherer is driven as the service drives it: the bench sets
// PerfCollectionPeriodSec to a day, creates the gatherer, whose thread takes the first sample at
// once (discovery, the query, one CSV row), and waits for that row in the perf log. The thread then
// sleeps for the day, so from here on the gatherer is this thread's alone; the bench calls Gather
// itself and destroys the gatherer (which stops its thread) at the end. The value is restored.
//
// Measured per round, in alternating order:
//   sample   NvxPerfGatherer::Gather (collection and raw values, no CSV) against the floor: the
//            same counters added once to a query of the bench's own, then PdhCollectQueryData
//            and PdhGetRawCounterValue for every counter;
//   append   PerfLogger::Write of one row from a source whose Gather does nothing (so the CSV
//            work alone) against CreateFileW(append), one WriteFile of the same row's bytes,
//            CloseHandle;
//   logged   PerfLogger::Write over the gatherer (gather and append, as the sampling thread
//            does) against the sum of the two floors of the same round.
// The walk: a filter stack of 30 filters (27 minifilters in frames 0 to 2 with instances on 8
// volumes, the system volume among them, and 3 legacy filters; every watched filter included),
// written to a description of this program's own (NVXSIM_FILTER_STACK). GetDriverTelemetry
// against two bare walks with one 64 KiB buffer and no parsing: the filters and the instances of
// the three watched minifilters (what the line needs), and the filters and every minifilter's
// instances (the whole stack).
//
// Output: readable lines, then one line per comparison:
//   RESULT metric=NAME ours_median_us=X ours_p90_us=X ref_median_us=X ref_p90_us=X
// Exit status 0 when everything ran and the checks held (discovered columns, values, the
// telemetry line), 1 otherwise.
#include <windows.h>

#include <fltuser.h>
#include <pdh.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "perf/nvx_perf_gatherer.h"
#include "perf/perf_logger.h"
#include "perf/stats_gatherer.h"
#include "runtime/identity.h"
#include "sim/counter_sets.h"
#include "sim/filter_stack.h"
#include "telemetry/telemetry.h"
#include "tests/support/temp_dir.h"

namespace {

using Kestro::Perf::NvxPerfGatherer;
using Kestro::Perf::PerfCounterSets;
using Kestro::Perf::PerfLogger;

constexpr int kWarmUpRounds = 20;
constexpr int kCountersPerSet = 40;
constexpr int kInstances = 20;
constexpr int kInstancedSet = 10;  // "Kestro.NVX Event Journal indexed stats"
constexpr int kVolumes = 8;
constexpr int kOtherMinifilters = 24;
constexpr DWORD kBenchPeriodSec = 24 * 60 * 60;
constexpr DWORD kFirstSampleTimeoutMs = 300000;
constexpr DWORD kWalkBufferSize = 64 * 1024;

bool Fail(const std::string& text) {
    fprintf(stderr, "perf_sample_bench: %s\n", text.c_str());
    return false;
}

double NowUs() {
    static const double perUs = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1e6;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / perUs;
}

struct Figures {
    double median;
    double p90;
};

Figures Summarise(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    const size_t p90 = static_cast<size_t>(std::ceil(0.9 * static_cast<double>(us.size()))) - 1;
    return {us[us.size() / 2], us[p90]};
}

void Report(const char* metric, const char* what, const std::vector<double>& ours, const char* refWhat,
            const std::vector<double>& ref) {
    const Figures o = Summarise(ours);
    const Figures r = Summarise(ref);
    printf("%-8s %-58s median %9.1f us  p90 %9.1f us\n", metric, what, o.median, o.p90);
    printf("%-8s %-58s median %9.1f us  p90 %9.1f us   ratio %.2f\n", "", refWhat, r.median, r.p90,
           o.median / r.median);
    printf("RESULT metric=%s ours_median_us=%.1f ours_p90_us=%.1f ref_median_us=%.1f ref_p90_us=%.1f\n", metric,
           o.median, o.p90, r.median, r.p90);
}

// ---- the counter sets

std::string Two(int n) {
    char text[8];
    snprintf(text, sizeof text, "%02d", n);
    return text;
}

std::string CounterName(int set, int counter) {
    // The first set contributes only counters whose names begin with "Total ".
    return (set == 0 ? "Total counter " : "Counter ") + Two(counter + 1);
}

// The sets, and the counter paths the gatherer must discover from them, in column order.
nvxsim::CounterSets MakeCounterSets(std::vector<std::string>* paths) {
    nvxsim::CounterSets sets;
    std::string error;
    int64_t value = 1000003;
    for (int s = 0; s < Kestro::Perf::kPerfCounterSetCount; ++s) {
        const std::string set = PerfCounterSets[s];
        const int instances = s == kInstancedSet ? kInstances : 1;
        for (int i = 0; i < instances; ++i) {
            const std::string instance = s == kInstancedSet ? "Journal type " + Two(i + 1) : "";
            for (int c = 0; c < kCountersPerSet; ++c) {
                const std::string counter = CounterName(s, c);
                nvxsim::AddRecord(sets, set, instance, counter, value, &error);
                value = value * 37 % 9999999967 + 11;  // distinct values of 6 to 10 digits
                paths->push_back(instance.empty() ? "\\" + set + "\\" + counter
                                                  : "\\" + set + "(" + instance + ")\\" + counter);
            }
        }
    }
    return sets;
}

// ---- PerfCollectionPeriodSec, set for the run and put back as it was

class PeriodOverride {
public:
    bool Set(DWORD seconds) {
        DWORD disposition = 0;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kParametersKeyPath, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                            nullptr, &key_, &disposition) != ERROR_SUCCESS) {
            key_ = nullptr;
            return Fail("cannot open the service's Parameters key");
        }
        createdKey_ = disposition == REG_CREATED_NEW_KEY;
        DWORD size = sizeof old_;
        hadValue_ = RegQueryValueExW(key_, kValue, nullptr, &oldType_, old_, &size) == ERROR_SUCCESS;
        oldSize_ = size;
        if (RegSetValueExW(key_, kValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&seconds), sizeof seconds) !=
            ERROR_SUCCESS) {
            return Fail("cannot set PerfCollectionPeriodSec");
        }
        return true;
    }
    ~PeriodOverride() {
        if (key_ == nullptr) return;
        if (hadValue_) {
            RegSetValueExW(key_, kValue, 0, oldType_, old_, oldSize_);
        } else {
            RegDeleteValueW(key_, kValue);
        }
        RegCloseKey(key_);
        if (createdKey_) RegDeleteKeyW(HKEY_LOCAL_MACHINE, kParametersKeyPath);
    }

private:
    static constexpr const wchar_t* kValue = L"PerfCollectionPeriodSec";
    HKEY key_ = nullptr;
    bool createdKey_ = false;
    bool hadValue_ = false;
    DWORD oldType_ = 0;
    BYTE old_[64] = {};
    DWORD oldSize_ = 0;
};

// True once the log holds a data row written after it had `before` bytes: the file has another
// size (a rotation starts it afresh), ends in CR LF, and its last line is a row, not the header.
bool RowWritten(const std::wstring& log, size_t before) {
    const std::string text = nvx_test::ReadFileBytes(log);
    if (text == "<missing>" || text.size() == before || text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n"))
        return false;
    const size_t lastLine = text.rfind('\n', text.size() - 3);
    const char first = text[lastLine == std::string::npos ? 0 : lastLine + 1];
    return first >= '0' && first <= '9';
}

// A source of fixed statistics: PerfLogger's CSV work without any gathering.
class FixedStats final : public Kestro::Perf::StatsGatherer {
public:
    explicit FixedStats(const Kestro::Perf::StatsGatherer& from) {
        names_ = from.Names();
        for (const std::string& name : names_) values_[name] = from.GetValue(name);
    }
    void Gather() override {}
};

// The floor of a sample: one query of the bench's own with the same counters.
class BarePdh {
public:
    ~BarePdh() {
        if (query_ != nullptr) PdhCloseQuery(query_);
    }
    bool Open(const std::vector<std::string>& paths) {
        if (PdhOpenQueryA(nullptr, 0, &query_) != ERROR_SUCCESS) return Fail("PdhOpenQueryA failed");
        for (const std::string& path : paths) {
            PDH_HCOUNTER counter = nullptr;
            const PDH_STATUS status = PdhAddEnglishCounterA(query_, path.c_str(), 0, &counter);
            if (status != ERROR_SUCCESS) return Fail("PdhAddEnglishCounterA " + path + ": " + std::to_string(status));
            counters_.push_back(counter);
        }
        values_.resize(counters_.size());
        return true;
    }
    bool Sample() {
        if (PdhCollectQueryData(query_) != ERROR_SUCCESS) return false;
        for (size_t i = 0; i < counters_.size(); ++i) {
            PDH_RAW_COUNTER raw;
            if (PdhGetRawCounterValue(counters_[i], nullptr, &raw) != ERROR_SUCCESS || raw.CStatus != 0) return false;
            values_[i] = raw.FirstValue;
        }
        return true;
    }
    const std::vector<int64_t>& Values() const { return values_; }

private:
    PDH_HQUERY query_ = nullptr;
    std::vector<PDH_HCOUNTER> counters_;
    std::vector<int64_t> values_;
};

// The floor of an append: the row's bytes written at the end of a file, opened and closed.
bool BareAppend(const std::wstring& path, const std::string& row) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok =
        WriteFile(file, row.data(), static_cast<DWORD>(row.size()), &written, nullptr) && written == row.size();
    return CloseHandle(file) && ok;
}

bool RunSampleBench(const std::wstring& dir, int rounds) {
    std::vector<std::string> paths;
    const nvxsim::CounterSets sets = MakeCounterSets(&paths);
    const std::wstring setsFile = dir + L"\\counters.txt";
    std::string error;
    if (!nvxsim::WriteCounterSetsFile(setsFile, sets, &error)) return Fail("counter sets: " + error);
    SetEnvironmentVariableW(L"NVXSIM_PDH_COUNTERS", setsFile.c_str());
    if (GetProcAddress(GetModuleHandleW(L"pdh.dll"), "NvxSimPdhStandIn") == nullptr)
        return Fail("the pdh.dll loaded is not the simulated machine's stand-in (build the bench target)");

    PeriodOverride period;
    if (!period.Set(kBenchPeriodSec)) return false;
    const std::wstring log = Kestro::Perf::GetPerfLogDirectory() + L"\\" + kPerfLogFileName;
    const std::string existing = nvx_test::ReadFileBytes(log);
    const size_t before = existing == "<missing>" ? 0 : existing.size();

    const double created = NowUs();
    std::unique_ptr<NvxPerfGatherer> gatherer;
    try {
        gatherer = std::make_unique<NvxPerfGatherer>();
    } catch (const std::exception& e) {
        return Fail(std::string("NvxPerfGatherer: ") + e.what());
    }
    bool first = false;
    for (DWORD waited = 0; !(first = RowWritten(log, before)) && waited < kFirstSampleTimeoutMs; waited += 20)
        Sleep(20);
    if (!first) return Fail("the gatherer's first sample wrote no row to the perf log");
    printf("first sample on the gatherer's thread (discovery, query set-up, CSV row): %.0f ms\n",
           (NowUs() - created) / 1000);
    if (gatherer->Names() != paths) {
        return Fail("the gatherer discovered " + std::to_string(gatherer->Names().size()) + " columns, not the " +
                    std::to_string(paths.size()) + " expected");
    }

    BarePdh bareQuery;
    if (!bareQuery.Open(paths)) return false;
    FixedStats fixed(*gatherer);
    PerfLogger appendLog(dir + L"\\append", fixed);
    PerfLogger loggedLog(dir + L"\\logged", *gatherer);
    const std::wstring bareFile = dir + L"\\bare.csv";
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    std::string row = PerfLogger::FormatTimestamp(now);
    for (const std::string& path : paths) row += "," + std::to_string(static_cast<uint64_t>(fixed.GetValue(path)));
    row += "\r\n";

    std::vector<double> gather, bare, append, bareAppend, logged, bareLogged;
    bool ok = true;
    auto timed = [&ok](const std::function<bool()>& step) {
        const double start = NowUs();
        ok = step() && ok;
        return NowUs() - start;
    };
    auto product = [&] {
        try {
            gatherer->Gather();
            return true;
        } catch (const std::exception& e) {
            return Fail(std::string("Gather: ") + e.what());
        }
    };
    auto write = [&](PerfLogger& logger) {
        try {
            GetSystemTimeAsFileTime(&now);
            logger.Write(now);
            return true;
        } catch (const std::exception& e) {
            return Fail(std::string("PerfLogger::Write: ") + e.what());
        }
    };
    auto appendBare = [&] { return BareAppend(bareFile, row); };
    for (int round = 0; round < kWarmUpRounds + rounds && ok; ++round) {
        double g, b, a, ba, l, lb;
        if (round % 2 == 0) {
            g = timed(product);
            b = timed([&] { return bareQuery.Sample(); });
            a = timed([&] { return write(appendLog); });
            ba = timed(appendBare);
            l = timed([&] { return write(loggedLog); });
            lb = timed([&] { return bareQuery.Sample() && appendBare(); });
        } else {
            lb = timed([&] { return bareQuery.Sample() && appendBare(); });
            l = timed([&] { return write(loggedLog); });
            ba = timed(appendBare);
            a = timed([&] { return write(appendLog); });
            b = timed([&] { return bareQuery.Sample(); });
            g = timed(product);
        }
        if (round < kWarmUpRounds) continue;
        gather.push_back(g);
        bare.push_back(b);
        append.push_back(a);
        bareAppend.push_back(ba);
        logged.push_back(l);
        bareLogged.push_back(lb);
    }
    if (!ok) return Fail("a sample or an append failed");
    for (size_t i = 0; i < paths.size(); ++i) {
        if (gatherer->GetValue(paths[i]) != bareQuery.Values()[i])
            return Fail("the gatherer's value differs: " + paths[i]);
    }
    gatherer.reset();  // stops its thread, which was waiting out its period

    printf("\none sample of %d counter sets, %zu counters (%d warm-up rounds, then %d)\n",
           Kestro::Perf::kPerfCounterSetCount, paths.size(), kWarmUpRounds, rounds);
    Report("sample", "NvxPerfGatherer::Gather (no CSV append)", gather,
           "floor: PdhCollectQueryData + PdhGetRawCounterValue each", bare);
    Report("append", "PerfLogger::Write, one row (gathering excluded)", append,
           "bare append: CreateFileW, WriteFile of the row, CloseHandle", bareAppend);
    Report("logged", "PerfLogger::Write over the gatherer (gather + append)", logged, "floor + bare append",
           bareLogged);
    size_t header = sizeof "timestamp\r\n" - 1;
    for (const std::string& path : paths) header += path.size() + 1;
    printf("a row is %zu bytes, the header %zu bytes\n", row.size(), header);
    return true;
}

// ---- the filter stack

struct Walks {
    std::vector<std::wstring> watched;  // the watched minifilters, for the bare walk of what the line needs
    std::vector<std::wstring> all;      // every minifilter
};

nvxsim::StackFilter Minifilter(const std::wstring& name, uint32_t frame, const std::wstring& altitude) {
    nvxsim::StackFilter filter;
    filter.name = name;
    filter.frame = frame;
    filter.altitude = altitude;
    return filter;
}

void AddInstances(nvxsim::StackFilter* filter, const std::wstring& instance, const std::wstring& altitude,
                  const std::vector<std::wstring>& volumes) {
    for (const std::wstring& volume : volumes) filter->instances.push_back({instance, altitude, volume, filter->frame});
}

nvxsim::StackFilter Legacy(const std::wstring& name, const std::wstring& altitude) {
    nvxsim::StackFilter filter;
    filter.legacy = true;
    filter.name = name;
    filter.altitude = altitude;
    return filter;
}

// 30 filters: the watched ones (the product's three instances, the two other watched instances,
// the three legacy filters) among 24 other minifilters, every minifilter on all volumes.
nvxsim::FilterStack MakeFilterStack(const std::vector<std::wstring>& volumes, Walks* walks) {
    nvxsim::StackFilter product = Minifilter(L"Kestro Vantor", 1, L"328010");
    AddInstances(&product, L"KestroNVX Antivirus Instance", L"328010", volumes);
    AddInstances(&product, L"KestroNVX Security Enhancer Instance", L"328020", volumes);
    AddInstances(&product, L"KestroNVX Activity Monitor Instance", L"328030.5", volumes);
    nvxsim::StackFilter qav = Minifilter(L"QAVOnAccess", 1, L"324000");
    AddInstances(&qav, L"QAVOnAccess Instance", L"324000", volumes);
    nvxsim::StackFilter ravel = Minifilter(L"ravelflt", 2, L"385100");
    AddInstances(&ravel, L"Lockward", L"385100", volumes);

    nvxsim::FilterStack stack;
    for (int i = 0; i < kOtherMinifilters; ++i) {
        const std::wstring name = L"VendorFilter" + std::to_wstring(i + 1);
        nvxsim::StackFilter other =
            Minifilter(name, static_cast<uint32_t>(i % 3), std::to_wstring(140000 + 10000 * i) + L".25");
        AddInstances(&other, name + L" Instance", other.altitude, volumes);
        stack.filters.push_back(other);
        if (i == 4) stack.filters.push_back(product);
        if (i == 9) stack.filters.push_back(Legacy(L"MRLA", L"329000.5"));
        if (i == 13) stack.filters.push_back(qav);
        if (i == 17) stack.filters.push_back(Legacy(L"MRLB", L"329010"));
        if (i == 20) stack.filters.push_back(ravel);
    }
    stack.filters.push_back(Legacy(L"MRLC", L"329020"));
    walks->watched = {product.name, qav.name, ravel.name};
    for (const nvxsim::StackFilter& filter : stack.filters) {
        if (!filter.legacy) walks->all.push_back(filter.name);
    }
    return stack;
}

// A walk with one fixed buffer that reads nothing of what it is given.
bool BareWalk(const std::vector<std::wstring>& instanceWalks, std::vector<uint8_t>* buffer) {
    DWORD returned = 0;
    HANDLE find = INVALID_HANDLE_VALUE;
    const DWORD size = static_cast<DWORD>(buffer->size());
    if (FilterFindFirst(FilterAggregateStandardInformation, buffer->data(), size, &returned, &find) != S_OK)
        return false;
    int filters = 1;
    while (FilterFindNext(find, FilterAggregateStandardInformation, buffer->data(), size, &returned) == S_OK) ++filters;
    FilterFindClose(find);
    for (const std::wstring& name : instanceWalks) {
        if (FilterInstanceFindFirst(name.c_str(), InstanceAggregateStandardInformation, buffer->data(), size, &returned,
                                    &find) != S_OK)
            return false;
        while (FilterInstanceFindNext(find, InstanceAggregateStandardInformation, buffer->data(), size, &returned) ==
               S_OK) {
        }
        FilterInstanceFindClose(find);
    }
    return filters == 30;
}

bool RunWalkBench(const std::wstring& dir, int rounds) {
    if (GetProcAddress(GetModuleHandleW(L"fltlib.dll"), "NvxSimFltlibStandIn") == nullptr)
        return Fail("the fltlib.dll loaded is not the simulated machine's stand-in (build the bench target)");
    wchar_t device[260] = {};
    uint32_t chars = 0;
    if (!Kestro::Telemetry::GetSystemDriveDevice(device, &chars)) return Fail("no system volume device");
    const std::wstring system(device, chars);
    std::vector<std::wstring> volumes;
    for (int n = 1; static_cast<int>(volumes.size()) < kVolumes - 1; ++n) {
        const std::wstring volume = L"\\Device\\HarddiskVolume" + std::to_wstring(n);
        if (volume != system) volumes.push_back(volume);
    }
    volumes.insert(volumes.begin() + kVolumes / 2, system);

    Walks walks;
    const nvxsim::FilterStack stack = MakeFilterStack(volumes, &walks);
    const std::wstring stackFile = dir + L"\\filters.txt";
    std::string error;
    if (!nvxsim::WriteFilterStack(stackFile, stack, &error)) return Fail("filter stack: " + error);
    SetEnvironmentVariableW(L"NVXSIM_FILTER_STACK", stackFile.c_str());

    const std::string expected =
        "\"NumFrames\":2,\"NVXAMFrame\":1,\"NVXAMAltitude\":328010,\"NVXTPFrame\":1,\"NVXTPAltitude\":328020,"
        "\"NVXEDRFrame\":1,\"NVXEDRAltitude\":328030,\"QAVFrame\":1,\"QAVAltitude\":324000,\"RavelFrame\":2,"
        "\"RavelAltitude\":385100,\"MRLAAltitude\":329000,\"MRLBAltitude\":329010,\"MRLCAltitude\":329020";
    std::vector<uint8_t> buffer(kWalkBufferSize);
    std::vector<double> walk, needed, whole;
    bool ok = true;
    std::string line;
    auto product = [&] {
        std::ostringstream out;
        Kestro::Telemetry::GetDriverTelemetry(out);
        line = out.str();
        return line == expected;
    };
    auto timed = [&ok](const std::function<bool()>& step) {
        const double start = NowUs();
        ok = step() && ok;
        return NowUs() - start;
    };
    for (int round = 0; round < kWarmUpRounds + rounds && ok; ++round) {
        double w, n, a;
        if (round % 2 == 0) {
            w = timed(product);
            n = timed([&] { return BareWalk(walks.watched, &buffer); });
            a = timed([&] { return BareWalk(walks.all, &buffer); });
        } else {
            a = timed([&] { return BareWalk(walks.all, &buffer); });
            n = timed([&] { return BareWalk(walks.watched, &buffer); });
            w = timed(product);
        }
        if (round < kWarmUpRounds) continue;
        walk.push_back(w);
        needed.push_back(n);
        whole.push_back(a);
    }
    if (!ok) return Fail("a walk failed or the telemetry line was not the expected one: " + line);
    size_t instances = 0;
    for (const nvxsim::StackFilter& filter : stack.filters) instances += filter.instances.size();
    printf(
        "\none telemetry walk: %zu filters (%zu minifilters), %zu instances on %d volumes, system volume %ls "
        "(%d warm-up rounds, then %d)\n",
        stack.filters.size(), walks.all.size(), instances, kVolumes, system.c_str(), kWarmUpRounds, rounds);
    printf("line: %s\n", line.c_str());
    Report("walk", "GetDriverTelemetry (system volume, walk, line)", walk,
           "bare walk: filters + the 3 watched minifilters' instances", needed);
    Report("walkall", "GetDriverTelemetry (system volume, walk, line)", walk,
           "bare walk: filters + every minifilter's instances", whole);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? atoi(argv[1]) : 300;
    const int walks = argc > 2 ? atoi(argv[2]) : 300;
    if (samples < 1 || walks < 1) {
        fprintf(stderr, "usage: perf_sample_bench.exe [SAMPLES] [WALKS]\n");
        return 1;
    }
    nvx_test::TempDirectory dir(L"nvxperfbench");
    if (dir.path().empty()) {
        fprintf(stderr, "perf_sample_bench: cannot create a temporary directory\n");
        return 1;
    }
    const bool ok = RunSampleBench(dir.path(), samples) && RunWalkBench(dir.path(), walks);
    fflush(stdout);
    return ok ? 0 : 1;
}
