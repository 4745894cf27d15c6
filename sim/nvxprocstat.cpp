// nvxprocstat: what the machine's own documented calls say about another process, run inside
// the machine.
//
//   nvxprocstat IMAGE|PID [--peek RVA:LENGTH]...
//   nvxprocstat idle EVENT [timeoutMs]
//
// The first form finds the process (by image name, case-insensitive, or by PID; with several
// processes of one image it takes the newest) and prints one PROCESS line:
//
//   PROCESS pid=412 image=NVXService.exe private_usage=2359296 pagefile_usage=2359296
//           working_set=7340032 handle_count=57 threads=6 spi_handles=57 spi_threads=6
//           spi_private_bytes=2359296 listed_handles=57 image_base=0x140000000
//
// private_usage, pagefile_usage and working_set are GetProcessMemoryInfo's PrivateUsage,
// PagefileUsage (the commit charge, which Windows reports as PrivateUsage too) and
// WorkingSetSize; handle_count is GetProcessHandleCount; threads counts the process's entries in
// a Toolhelp thread snapshot. The spi_ fields are the same process's entry of
// NtQuerySystemInformation(SystemProcessInformation), a second source for each figure;
// listed_handles counts the process's entries in the system's handle list
// (SystemExtendedHandleInformation), -1 when the list cannot be had. Every
// source is printed as it answered, so a reader can tell which ones the platform fills in for
// another process. image_base is the address the process's executable was loaded at (its PEB).
//
// Each --peek reads LENGTH bytes (at most 4096) at image_base + RVA out of the process, as a
// debugger would read a variable whose address the executable's symbol table gives:
//
//   PEEK rva=0x2a0c0 bytes=00000000...
//
// The second form is the floor of a footprint comparison: a program that does nothing but wait
// until EVENT is set (or timeoutMs passes, 600000 by default, so it never outlives a run that
// forgot it), linked as every program of the machine is.
//
//   IDLE event=nvxsim-floor pid=88
//
// Failures: ERROR op=... error=<Win32 error>, exit code the error.
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/simsupport.h"

namespace {

constexpr size_t kMaxPeek = 4096;
constexpr DWORD kIdleDefaultMs = 600000;

int Fail(const char* op, DWORD error) {
    nvxsim::PrintLine("ERROR op=%s error=%lu", op, static_cast<unsigned long>(error));
    return error == 0 ? 1 : static_cast<int>(error);
}

struct Found {
    DWORD pid = 0;
    std::string image;
};

// The process named by `which`: a PID when it is a number, else the newest process whose image
// name matches (Toolhelp lists processes in creation order).
bool FindProcess(const char* which, Found* found) {
    uint64_t pid = 0;
    const bool byPid = nvxsim::ParseNumber(which, &pid);
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return false;
    const std::wstring name = nvxsim::Wide(which);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL ok = Process32FirstW(snap, &entry); ok; ok = Process32NextW(snap, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) continue;  // never the sampler itself
        if (byPid ? entry.th32ProcessID == pid : _wcsicmp(entry.szExeFile, name.c_str()) == 0) {
            found->pid = entry.th32ProcessID;
            found->image = nvxsim::Utf8(entry.szExeFile);
        }
    }
    CloseHandle(snap);
    if (found->pid == 0) SetLastError(ERROR_NOT_FOUND);
    return found->pid != 0;
}

DWORD ToolhelpThreads(DWORD pid) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return 0;
    DWORD count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL ok = Thread32First(snap, &entry); ok; ok = Thread32Next(snap, &entry)) {
        count += entry.th32OwnerProcessID == pid;
    }
    CloseHandle(snap);
    return count;
}

// The process's entry of SystemProcessInformation (the record winternl.h declares).
struct SpiFigures {
    bool found = false;
    ULONG threads = 0;
    ULONG handles = 0;
    SIZE_T privateBytes = 0;
};

SpiFigures SystemProcessFigures(DWORD pid) {
    using QuerySystem = NTSTATUS(NTAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    SpiFigures figures;
    auto query = reinterpret_cast<QuerySystem>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return figures;
    std::vector<uint8_t> buffer(1 << 20);
    ULONG needed = 0;
    NTSTATUS status;
    while ((status = query(SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
           static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
        buffer.resize(buffer.size() * 2);
    }
    if (status < 0) return figures;
    size_t at = 0;
    for (;;) {
        const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer.data() + at);
        if (static_cast<DWORD>(reinterpret_cast<uintptr_t>(entry->UniqueProcessId)) == pid) {
            figures.found = true;
            figures.threads = entry->NumberOfThreads;
            figures.handles = entry->HandleCount;
            // Named in pages, the field counts bytes.
            figures.privateBytes = entry->PrivatePageCount;
            return figures;
        }
        if (entry->NextEntryOffset == 0) return figures;
        at += entry->NextEntryOffset;
    }
}

// The system's handle list (SystemExtendedHandleInformation): one entry per open handle of every
// process, so counting a process's entries gives its handles one by one.
struct HandleEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG handleAttributes;
    ULONG reserved;
};
struct HandleList {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};
constexpr auto kSystemExtendedHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(64);

long long ListedHandles(DWORD pid) {
    using QuerySystem = NTSTATUS(NTAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<QuerySystem>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return -1;
    std::vector<uint8_t> buffer(1 << 20);
    ULONG needed = 0;
    NTSTATUS status;
    while ((status = query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                           &needed)) == static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
        buffer.resize(buffer.size() * 2);
    }
    if (status < 0) return -1;
    const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
    long long count = 0;
    for (ULONG_PTR i = 0; i < list->count; ++i) count += list->entries[i].processId == pid;
    return count;
}

bool ImageBase(HANDLE process, uint64_t* base) {
    PROCESS_BASIC_INFORMATION basic{};
    ULONG length = 0;
    if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof(basic), &length) < 0) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return false;
    }
    // PEB.ImageBaseAddress: the third pointer of the 64-bit PEB.
    void* address = nullptr;
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, reinterpret_cast<const uint8_t*>(basic.PebBaseAddress) + 0x10, &address,
                           sizeof(address), &read) ||
        read != sizeof(address)) {
        return false;
    }
    *base = reinterpret_cast<uintptr_t>(address);
    return true;
}

struct Peek {
    uint64_t rva;
    uint64_t length;
};

bool ParsePeek(const std::string& text, Peek* peek) {
    const size_t colon = text.find(':');
    return colon != std::string::npos && nvxsim::ParseNumber(text.substr(0, colon), &peek->rva) &&
           nvxsim::ParseNumber(text.substr(colon + 1), &peek->length) && peek->length > 0 && peek->length <= kMaxPeek;
}

int CmdStat(const char* which, const std::vector<Peek>& peeks) {
    Found found;
    if (!FindProcess(which, &found)) return Fail("find", GetLastError());
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, found.pid);
    if (process == nullptr) return Fail("open", GetLastError());
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory))) {
        const DWORD error = GetLastError();
        CloseHandle(process);
        return Fail("memory", error);
    }
    DWORD handles = 0;
    if (!GetProcessHandleCount(process, &handles)) {
        const DWORD error = GetLastError();
        CloseHandle(process);
        return Fail("handles", error);
    }
    uint64_t base = 0;
    if (!ImageBase(process, &base)) {
        const DWORD error = GetLastError();
        CloseHandle(process);
        return Fail("image-base", error);
    }
    const DWORD threads = ToolhelpThreads(found.pid);
    const SpiFigures spi = SystemProcessFigures(found.pid);
    const long long listed = ListedHandles(found.pid);
    nvxsim::PrintLine(
        "PROCESS pid=%lu image=%s private_usage=%llu working_set=%llu pagefile_usage=%llu handle_count=%lu threads=%lu "
        "spi_handles=%ld spi_threads=%ld spi_private_bytes=%lld listed_handles=%lld image_base=0x%llx",
        static_cast<unsigned long>(found.pid), found.image.c_str(),
        static_cast<unsigned long long>(memory.PrivateUsage), static_cast<unsigned long long>(memory.WorkingSetSize),
        static_cast<unsigned long long>(memory.PagefileUsage), static_cast<unsigned long>(handles),
        static_cast<unsigned long>(threads), spi.found ? static_cast<long>(spi.handles) : -1L,
        spi.found ? static_cast<long>(spi.threads) : -1L, spi.found ? static_cast<long long>(spi.privateBytes) : -1LL,
        listed, static_cast<unsigned long long>(base));
    for (const Peek& peek : peeks) {
        std::vector<uint8_t> bytes(peek.length);
        SIZE_T read = 0;
        if (!ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<uintptr_t>(base + peek.rva)),
                               bytes.data(), bytes.size(), &read) ||
            read != bytes.size()) {
            const DWORD error = GetLastError();
            CloseHandle(process);
            return Fail("peek", error);
        }
        nvxsim::PrintLine("PEEK rva=0x%llx bytes=%s", static_cast<unsigned long long>(peek.rva),
                          nvxsim::HexOf(bytes.data(), bytes.size()).c_str());
    }
    CloseHandle(process);
    return 0;
}

int CmdIdle(const char* name, DWORD timeoutMs) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name);
    if (event == nullptr) return Fail("idle", GetLastError());
    nvxsim::PrintLine("IDLE event=%s pid=%lu", name, static_cast<unsigned long>(GetCurrentProcessId()));
    const DWORD rc = WaitForSingleObject(event, timeoutMs);
    CloseHandle(event);
    return rc == WAIT_OBJECT_0 ? 0 : Fail("idle", rc == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError());
}

int Usage() {
    nvxsim::PrintLine("usage: nvxprocstat IMAGE|PID [--peek RVA:LENGTH]...");
    nvxsim::PrintLine("       nvxprocstat idle EVENT [timeoutMs]");
    return ERROR_INVALID_PARAMETER;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    if (strcmp(argv[1], "idle") == 0) {
        if (argc < 3 || argc > 4) return Usage();
        uint64_t timeout = kIdleDefaultMs;
        if (argc == 4 && (!nvxsim::ParseNumber(argv[3], &timeout) || timeout >= INFINITE)) return Usage();
        return CmdIdle(argv[2], static_cast<DWORD>(timeout));
    }
    std::vector<Peek> peeks;
    for (int i = 2; i < argc; ++i) {
        Peek peek{};
        if (strcmp(argv[i], "--peek") != 0 || i + 1 >= argc || !ParsePeek(argv[i + 1], &peek)) return Usage();
        peeks.push_back(peek);
        ++i;
    }
    return CmdStat(argv[1], peeks);
}
