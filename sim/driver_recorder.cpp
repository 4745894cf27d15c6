// The driver simulator's journal (see driver_recorder.h).
#include "sim/driver_recorder.h"

#include <algorithm>
#include <cstdio>

namespace nvxdriver {

bool Recorder::Open(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos) nvxsim::MakeDirectories(path.substr(0, slash));
    file_ =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) return false;
    // Records go on after those of earlier runs; their numbers too.
    char buffer[65536];
    DWORD got;
    while (ReadFile(file_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        seq_ += static_cast<uint64_t>(std::count(buffer, buffer + got, '\n'));
    }
    QueryPerformanceFrequency(&frequency_);
    QueryPerformanceCounter(&origin_);
    return true;
}

void Recorder::Write(const char* event, const nvxsim::Json& fields) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    char stamp[40];
    snprintf(stamp, sizeof stamp, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond, now.wMilliseconds);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    char ms[32];
    snprintf(
        ms, sizeof ms, "%.3f",
        static_cast<double>(counter.QuadPart - origin_.QuadPart) * 1000.0 / static_cast<double>(frequency_.QuadPart));
    AcquireSRWLockExclusive(&lock_);
    nvxsim::Json head;
    head.Num("seq", ++seq_).Str("time", stamp).Raw("t_ms", ms).Str("event", event);
    std::string line = "{" + head.Body() + (fields.Body().empty() ? "" : "," + fields.Body()) + "}\n";
    LARGE_INTEGER zero{};
    SetFilePointerEx(file_, zero, nullptr, FILE_END);
    DWORD written;
    WriteFile(file_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ReleaseSRWLockExclusive(&lock_);
}

void Recorder::Clear() {
    AcquireSRWLockExclusive(&lock_);
    LARGE_INTEGER zero{};
    SetFilePointerEx(file_, zero, nullptr, FILE_BEGIN);
    SetEndOfFile(file_);
    seq_ = 0;
    ReleaseSRWLockExclusive(&lock_);
}

uint64_t Recorder::Count() {
    AcquireSRWLockShared(&lock_);
    uint64_t n = seq_;
    ReleaseSRWLockShared(&lock_);
    return n;
}

}  // namespace nvxdriver
