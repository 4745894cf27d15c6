// The driver simulator's filter stack (see driver_filter_stack.h).
#include "sim/driver_filter_stack.h"

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <vector>

#include "sim/filter_stack.h"
#include "sim/simsupport.h"

using nvxsim::FilterStack;
using nvxsim::StackFilter;
using nvxsim::StackInstance;

namespace nvxdriver {

namespace {

std::mutex gLock;         // orders publishing, changing and withdrawing
bool gPublished = false;  // between publishing and withdrawing

// A volume no watched instance of the system volume is on.
constexpr wchar_t kOtherVolume[] = L"\\Device\\HarddiskVolume2";

// The system drive's NT device name as QueryDosDeviceW gives it (its first name).
bool SystemVolume(std::wstring* device, std::string* problem) {
    wchar_t drive[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"SystemDrive", drive, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        *problem = "SystemDrive is not set";
        return false;
    }
    wchar_t target[1024];
    if (QueryDosDeviceW(drive, target, 1024) == 0) {
        *problem = "QueryDosDeviceW(" + nvxsim::Utf8(drive) + ") failed, error " + std::to_string(GetLastError());
        return false;
    }
    *device = target;
    return true;
}

StackFilter Minifilter(const wchar_t* name, uint32_t frame, const wchar_t* altitude,
                       std::vector<StackInstance> instances) {
    StackFilter filter;
    filter.name = name;
    filter.frame = frame;
    filter.altitude = altitude;
    filter.instances = std::move(instances);
    return filter;
}

StackFilter Legacy(const wchar_t* name, const wchar_t* altitude) {
    StackFilter filter;
    filter.legacy = true;
    filter.name = name;
    filter.altitude = altitude;
    return filter;
}

// Frames 0 to 2 in use. The NVX instances come in another order than the service's table and one
// altitude has a fraction; QAVOnAccess is attached to another volume only; MRLB is a minifilter,
// MRLA a legacy filter.
FilterStack MachineStack(const std::wstring& system) {
    FilterStack stack;
    stack.filters.push_back(Minifilter(L"StorQuota", 0, L"45000", {{L"StorQuota Instance", L"45000", system, 0}}));
    stack.filters.push_back(Minifilter(L"MRLB", 0, L"260000", {{L"MRLB Instance", L"260000", system, 0}}));
    stack.filters.push_back(Legacy(L"MRLA", L"329000"));
    stack.filters.push_back(Minifilter(L"Kestro Vantor", 1, L"328010",
                                       {{L"KestroNVX Activity Monitor Instance", L"385100", system, 1},
                                        {L"KestroNVX Antivirus Instance", L"328010", system, 1},
                                        {L"KestroNVX Security Enhancer Instance", L"328020.5", system, 1},
                                        {L"KestroNVX Antivirus Instance", L"328010", kOtherVolume, 1}}));
    stack.filters.push_back(
        Minifilter(L"QAVOnAccess", 1, L"321410", {{L"QAVOnAccess Instance", L"321410", kOtherVolume, 1}}));
    stack.filters.push_back(Minifilter(L"BackupSync", 2, L"190000", {{L"BackupSync Instance", L"190000", system, 2}}));
    return stack;
}

}  // namespace

bool PublishFilterStack(std::string* problem) {
    std::lock_guard<std::mutex> hold(gLock);
    std::wstring system;
    if (!SystemVolume(&system, problem)) return false;
    const std::wstring path = nvxsim::FilterStackPath();
    const size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos) nvxsim::MakeDirectories(path.substr(0, slash));
    gPublished = nvxsim::WriteFilterStack(path, MachineStack(system), problem);
    return gPublished;
}

void WithdrawFilterStack() {
    std::lock_guard<std::mutex> hold(gLock);
    gPublished = false;
    DeleteFileW(nvxsim::FilterStackPath().c_str());
}

int FiltersCommand(const std::vector<std::string>& args, Reply* r) {
    const bool set = args.size() == 3 && args[1] == "set";
    if (!set && !(args.size() == 2 && args[1] == "reset")) return r->Fail(2, "filters set PATH | filters reset");
    std::string problem;
    FilterStack stack;
    if (set) {
        std::string text;
        bool missing = false;
        if (!nvxsim::ReadSimFile(nvxsim::Wide(args[2]), &text, &missing, &problem)) return r->Fail(1, problem);
        if (missing) return r->Fail(2, "no file " + args[2]);
        if (!nvxsim::ParseFilterStack(text, &stack, &problem)) return r->Fail(2, args[2] + ": " + problem);
    } else {
        std::wstring system;
        if (!SystemVolume(&system, &problem)) return r->Fail(1, problem);
        stack = MachineStack(system);
    }
    std::lock_guard<std::mutex> hold(gLock);
    if (!gPublished) return r->Fail(1, "the filter stack is not published");
    if (!nvxsim::WriteFilterStack(nvxsim::FilterStackPath(), stack, &problem)) return r->Fail(1, problem);
    size_t instances = 0;
    for (const StackFilter& filter : stack.filters) instances += filter.instances.size();
    nvxsim::Json j;
    j.Str("event", "filters").Str("source", set ? args[2] : "default");
    j.Num("filters", stack.filters.size()).Num("instances", instances);
    r->Line(j);
    return 0;
}

}  // namespace nvxdriver
