#include "runtime/debug_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/identity.h"
#include "runtime/log_format.h"
#include "runtime/memory.h"
#include "runtime/os_paths.h"
#include "runtime/os_symbols.h"
#include "runtime/registry.h"
#include "runtime/threads.h"

namespace {

constexpr NTSTATUS kStatusSuccess = 0;
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kStatusNoMemory = static_cast<NTSTATUS>(0xC0000017);
constexpr NTSTATUS kStatusProcedureNotFound = static_cast<NTSTATUS>(0xC000007A);
constexpr int64_t kDebugThreadPeriod = 60000000;

static_assert(sizeof(SgTimeFields) == sizeof(SYSTEMTIME), "time fields mirror the system time record");

// Filter: replaced by single 32-bit stores, read without the lock.
volatile LONG gFacilities = static_cast<LONG>(kDefaultDebugFacilities);
volatile LONG gLevel = static_cast<LONG>(kDefaultDebugLevel);

// The debug lock lives for the whole process: printing may start on any thread before
// start-up and continue after shutdown, so it is never deleted while a caller could
// be waiting on it.
INIT_ONCE gLockOnce = INIT_ONCE_STATIC_INIT;
CRITICAL_SECTION gLock;

// Guarded by gLock.
bool gInitialised = false;
char* gBuffer = nullptr;
uint32_t gBufferSize = 0;
uint32_t gWritePos = 0;
uint32_t gFreeBytes = 0;
uint64_t gMissed = 0;
bool gThreadRunning = false;

bool gSettingsRead = false;
UNICODE_STRING* gKeyPath = nullptr;
UNICODE_STRING* gLevelName = nullptr;
UNICODE_STRING* gFacilitiesName = nullptr;
UNICODE_STRING* gFilePaths[kDebugLogFileCount] = {};

// Debug logging thread: owned here, reached by its body through this variable.
SgThread* gThread = nullptr;
int64_t gThreadPeriod = kDebugThreadPeriod;
int64_t gLastHousekeeping = 0;
int64_t gDeadline = 0;

BOOL CALLBACK InitLock(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&gLock);
    return TRUE;
}

void EnsureLock() { InitOnceExecuteOnce(&gLockOnce, InitLock, nullptr, nullptr); }

// Counted wide strings of the debug log come from the C heap: they must exist before
// the pool and outlive it.
UNICODE_STRING* HeapString(const wchar_t* first, const wchar_t* second) {
    size_t a = wcslen(first), b = second ? wcslen(second) : 0;
    size_t units = a + (second ? 1 + b : 0);
    if ((units + 1) * sizeof(wchar_t) > 0xFFFF) return nullptr;
    auto* s = static_cast<UNICODE_STRING*>(calloc(1, sizeof(UNICODE_STRING) + (units + 1) * sizeof(wchar_t)));
    if (s == nullptr) return nullptr;
    s->Buffer = reinterpret_cast<wchar_t*>(s + 1);
    memcpy(s->Buffer, first, a * sizeof(wchar_t));
    if (second) {
        s->Buffer[a] = L'\\';
        memcpy(s->Buffer + a + 1, second, b * sizeof(wchar_t));
    }
    s->Length = static_cast<USHORT>(units * sizeof(wchar_t));
    s->MaximumLength = static_cast<USHORT>((units + 1) * sizeof(wchar_t));
    return s;
}

void FreeHeapString(UNICODE_STRING*& s) {
    free(s);
    s = nullptr;
}

bool NativeFileCallsAvailable() {
    return SgNtCreateFile != nullptr && SgNtQueryInformationFile != nullptr && SgNtSetInformationFile != nullptr &&
           SgNtWriteFile != nullptr && SgNtClose != nullptr;
}

NTSTATUS OpenFile(const UNICODE_STRING* path, ACCESS_MASK access, ULONG disposition, ULONG options, HANDLE* handle) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, const_cast<UNICODE_STRING*>(path), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    return SgNtCreateFile(handle, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                          options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
}

NTSTATUS QueryEndOfFile(HANDLE handle, LONGLONG* end) {
    FILE_STANDARD_INFORMATION info{};
    IO_STATUS_BLOCK io{};
    NTSTATUS status = SgNtQueryInformationFile(handle, &io, &info, sizeof(info), FileStandardInformation);
    if (status >= 0) *end = info.EndOfFile.QuadPart;
    return status;
}

// Renames the file open as `handle` (opened with DELETE access) to target, replacing an
// existing target.
NTSTATUS RenameOpenFile(HANDLE handle, const UNICODE_STRING* target) {
    ULONG size = offsetof(FILE_RENAME_INFORMATION, FileName) + target->Length;
    auto* info = static_cast<FILE_RENAME_INFORMATION*>(calloc(1, size + sizeof(wchar_t)));
    if (info == nullptr) return kStatusNoMemory;
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = target->Length;
    memcpy(info->FileName, target->Buffer, target->Length);
    IO_STATUS_BLOCK io{};
    NTSTATUS status = SgNtSetInformationFile(handle, &io, info, size, FileRenameInformation);
    free(info);
    return status;
}

NTSTATUS SgRenameFile(const UNICODE_STRING* source, const UNICODE_STRING* target) {
    HANDLE handle = nullptr;
    NTSTATUS status = OpenFile(source, DELETE | SYNCHRONIZE, FILE_OPEN, 0, &handle);
    if (status < 0) return status;
    status = RenameOpenFile(handle, target);
    SgNtClose(handle);
    return status;
}

// Shifts nvxs.log to nvxs1.log and the older files up by one, dropping nvxs4.log. nvxs.log
// is opened for the rename first: while another process holds it without sharing delete,
// nothing is shifted (the history stays; the next write tries again) instead of older
// files being dropped for a rotation that cannot complete.
void RotateLogFiles() {
    HANDLE current = nullptr;
    if (OpenFile(gFilePaths[0], DELETE | SYNCHRONIZE, FILE_OPEN, 0, &current) < 0) return;
    HANDLE handle = nullptr;
    if (OpenFile(gFilePaths[4], DELETE | SYNCHRONIZE, FILE_OPEN, FILE_DELETE_ON_CLOSE, &handle) >= 0) {
        SgNtClose(handle);
    }
    for (int i = kDebugLogFileCount - 1; i > 1; --i) SgRenameFile(gFilePaths[i - 1], gFilePaths[i]);
    RenameOpenFile(current, gFilePaths[1]);
    SgNtClose(current);
}

// Counts a block that could not be written as missed messages, one per line: the
// shutdown report then tells how many lines the file lacks.
void CountLostLines(const char* block, uint32_t length) {
    uint64_t lines = 0;
    for (uint32_t i = 0; i < length; ++i) lines += block[i] == '\n';
    EnterCriticalSection(&gLock);
    gMissed += lines;
    LeaveCriticalSection(&gLock);
}

// Copies what the buffer holds into drain (of gBufferSize bytes) and empties the buffer.
uint32_t TakeBufferedBytes(char* drain, uint32_t capacity) {
    EnterCriticalSection(&gLock);
    uint32_t used = 0;
    if (gInitialised && gWritePos > 0 && gWritePos <= capacity) {
        used = gWritePos;
        memcpy(drain, gBuffer, used);
        gWritePos = 0;
        gFreeBytes = gBufferSize;
    }
    LeaveCriticalSection(&gLock);
    return used;
}

DWORD WINAPI SgDebugThread(LPVOID) {
    SgThread* self = gThread;
    if (self == nullptr) return 0xFFFFFFFF;
    SgThreadEnter(self);
    EnterCriticalSection(&gLock);
    gThreadRunning = true;
    uint32_t size = gBufferSize;
    LeaveCriticalSection(&gLock);

    gLastHousekeeping = SgGetTimeMicros(0);
    gDeadline = gLastHousekeeping + gThreadPeriod;
    char* drain = size ? static_cast<char*>(SgAllocMem(size)) : nullptr;
    // The service's logs directory, once path management has found it; otherwise the
    // directory set beforehand (if any).
    if (NvxLogsDir != nullptr) SgDebugSetLogDirectory(NvxLogsDir);
    bool havePaths = gFilePaths[0] != nullptr;
    if (drain != nullptr && havePaths) {
        uint32_t n = TakeBufferedBytes(drain, size);
        if (n > 0 && static_cast<NTSTATUS>(SgDebugWriteFile(drain, n)) < 0) CountLostLines(drain, n);
        int64_t now = gLastHousekeeping;
        while (SgThreadShouldRun(self)) {
            now = SgGetTimeMicros(now);
            int64_t remaining = gDeadline > now ? gDeadline - now : 0;
            int64_t left = 0;
            if (remaining > 0) left = SgThreadWait(self, remaining);
            n = TakeBufferedBytes(drain, size);
            if (n > 0 && static_cast<NTSTATUS>(SgDebugWriteFile(drain, n)) < 0) CountLostLines(drain, n);
            if (remaining == 0 || left == 0) {
                now = SgGetTimeMicros(now);
                SgDebugPrint(SG_FAC_SYS, SG_LVL_DEBUG, "Debug logging housekeeping %llu",
                             static_cast<unsigned long long>(now));
                gLastHousekeeping = now;
                gDeadline = now + gThreadPeriod;
            }
        }
    }
    if (drain != nullptr) SgFreeMem(drain);
    EnterCriticalSection(&gLock);
    gThreadRunning = false;
    LeaveCriticalSection(&gLock);
    SgThreadExit(self);
}

// Reads one filter value, repairing it in the registry when it is missing or of the
// wrong type. Returns the value to use.
uint32_t ReadOrRepairDword(HKEY key, const UNICODE_STRING* name, uint32_t builtIn) {
    uint32_t value = 0;
    SgRegDword found = SgReadRegistryDword(key, name->Buffer, &value);
    if (found == SG_REG_DWORD_OK) return value;
    auto writeDefault = [&] {
        RegSetValueExW(key, name->Buffer, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&builtIn), sizeof(builtIn));
        return builtIn;
    };
    if (found == SG_REG_DWORD_MISSING || RegDeleteValueW(key, name->Buffer) == ERROR_SUCCESS) return writeDefault();
    // The bad value could not be removed: use what was read, zero-extended.
    return value;
}

}  // namespace

bool SgDebugInit() {
    EnsureLock();
    EnterCriticalSection(&gLock);
    if (gInitialised) {
        LeaveCriticalSection(&gLock);
        return true;
    }
    gThreadPeriod = kDebugThreadPeriod;
    gBuffer = static_cast<char*>(malloc(kDebugBufferSize));
    if (gBuffer == nullptr) {
        LeaveCriticalSection(&gLock);
        return false;
    }
    gBufferSize = kDebugBufferSize;
    gWritePos = 0;
    gFreeBytes = kDebugBufferSize;
    gInitialised = true;
    LeaveCriticalSection(&gLock);
    return true;
}

void SgDebugPrint(uint32_t facility, uint32_t level, const char* format, ...) {
    if (!SgDebugInit()) return;
    uint32_t facilities = static_cast<uint32_t>(gFacilities);
    uint32_t minimum = static_cast<uint32_t>(gLevel);
    if ((facilities & facility) == 0 || level < minimum) return;

    // Prefix and message are built side by side in one stack buffer: no allocation here.
    char line[kLogPrefixCapacity + 1024];
    SYSTEMTIME now;
    GetSystemTime(&now);
    int prefixLength = SgFormatLogPrefix(facility, level, reinterpret_cast<const SgTimeFields*>(&now), line);
    size_t prefixUsed = prefixLength < 0 ? 0 : static_cast<size_t>(prefixLength);
    char* message = line + prefixUsed;

    va_list args;
    va_start(args, format);
    int length = SgFormatMessageV(message, kLogMessageCapacity, format, args);
    va_end(args);
    if (length == 0) return;
    // A cut message keeps the 1,021 characters that fit (fewer only when the cut
    // would have split a multi-byte character).
    if (length < 0) length = static_cast<int>(strlen(message));
    // Text from outside (driver commands, file names) must not start lines of its own: a
    // control character other than TAB is written as '?', so every line is one message.
    for (int i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(message[i]) < 0x20 && message[i] != '\t') message[i] = '?';
    }
    message[length] = '\r';
    message[length + 1] = '\n';
    message[length + 2] = '\0';
    size_t total = prefixUsed + static_cast<size_t>(length) + 2;

    // Standard output is a text stream: its own newline translation supplies the carriage
    // return, so the echo ends in a bare line feed (the stored line keeps CR LF).
    line[total - 2] = '\n';
    fwrite(line, 1, total - 1, stdout);
    fflush(stdout);
    line[total - 2] = '\r';

    EnterCriticalSection(&gLock);
    if (!gInitialised) {
        // Shut down between the filter and here: nothing to store into.
        LeaveCriticalSection(&gLock);
        return;
    }
    if (prefixLength < 0 || total >= gFreeBytes) {
        ++gMissed;
    } else {
        memcpy(gBuffer + gWritePos, line, total);
        gWritePos += static_cast<uint32_t>(total);
        gFreeBytes -= static_cast<uint32_t>(total);
        // Woken under the lock: the thread clears its running flag under this lock
        // before it ends, so the object cannot be destroyed while it is signalled.
        if (gThreadRunning) SgWakeThread(gThread);
    }
    LeaveCriticalSection(&gLock);
}

bool SgDebugReadSettings() {
    if (gSettingsRead) return true;
    if (gKeyPath == nullptr) gKeyPath = HeapString(kServiceKeyPath, nullptr);
    if (gLevelName == nullptr) gLevelName = HeapString(kDebugLevelValue, nullptr);
    if (gFacilitiesName == nullptr) gFacilitiesName = HeapString(kDebugFacilitiesValue, nullptr);
    if (gKeyPath == nullptr || gLevelName == nullptr || gFacilitiesName == nullptr) return false;

    uint32_t facilities = static_cast<uint32_t>(gFacilities);
    uint32_t level = static_cast<uint32_t>(gLevel);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, gKeyPath->Buffer, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS) {
        key = nullptr;
        SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_DEBUG, "Service key missing");
    } else {
        facilities = ReadOrRepairDword(key, gFacilitiesName, kDefaultDebugFacilities);
        level = ReadOrRepairDword(key, gLevelName, kDefaultDebugLevel);
        RegSetValueExW(key, kVersionValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(kFileVersionTextW),
                       sizeof(kFileVersionTextW));
    }
    // The settings line always passes: it is logged through a filter of exactly itself.
    SgDebugSetFilter(SG_FAC_INIT, SG_LVL_NOTICE);
    SgDebugPrint(SG_FAC_INIT, SG_LVL_NOTICE, "Registry DebugFacilities 0x%08x DebugLevel %d", facilities,
                 static_cast<int>(level));
    SgDebugSetFilter(facilities, level);
    if (key != nullptr) RegCloseKey(key);
    gSettingsRead = true;
    return true;
}

bool SgDebugSetLogDirectory(const UNICODE_STRING* logsDirectory) {
    if (logsDirectory == nullptr || logsDirectory->Buffer == nullptr) return false;
    size_t units = logsDirectory->Length / sizeof(wchar_t);
    wchar_t* directory = static_cast<wchar_t*>(calloc(units + 1, sizeof(wchar_t)));
    if (directory == nullptr) return false;
    memcpy(directory, logsDirectory->Buffer, units * sizeof(wchar_t));
    UNICODE_STRING* paths[kDebugLogFileCount] = {};
    bool ok = true;
    for (int i = 0; i < kDebugLogFileCount && ok; ++i)
        ok = (paths[i] = HeapString(directory, kDebugLogFileNames[i])) != nullptr;
    free(directory);
    if (!ok) {
        for (auto*& p : paths) FreeHeapString(p);
        return false;
    }
    for (int i = 0; i < kDebugLogFileCount; ++i) {
        FreeHeapString(gFilePaths[i]);
        gFilePaths[i] = paths[i];
    }
    return true;
}

uint32_t SgDebugWriteFile(const void* data, uint32_t length) {
    if (data == nullptr) return static_cast<uint32_t>(kStatusInvalidParameter);
    if (length == 0) return kStatusSuccess;
    if (gFilePaths[0] == nullptr) return static_cast<uint32_t>(kStatusInvalidParameter);
    if (!NativeFileCallsAvailable()) return static_cast<uint32_t>(kStatusProcedureNotFound);

    // Rotate before the append once the file has passed 1 MiB: it grows past the
    // threshold by at most one drained block.
    HANDLE handle = nullptr;
    if (OpenFile(gFilePaths[0], SYNCHRONIZE | FILE_READ_DATA, FILE_OPEN, 0, &handle) >= 0) {
        LONGLONG end = 0;
        NTSTATUS status = QueryEndOfFile(handle, &end);
        SgNtClose(handle);
        if (status >= 0 && end > static_cast<LONGLONG>(kDebugRotateThreshold)) RotateLogFiles();
    }

    NTSTATUS status = OpenFile(gFilePaths[0], SYNCHRONIZE | FILE_APPEND_DATA, FILE_OPEN_IF, 0, &handle);
    if (status < 0) return static_cast<uint32_t>(status);
    LONGLONG end = 0;
    status = QueryEndOfFile(handle, &end);
    if (status >= 0) {
        IO_STATUS_BLOCK io{};
        LARGE_INTEGER offset;
        offset.QuadPart = end;
        status =
            SgNtWriteFile(handle, nullptr, nullptr, nullptr, &io, const_cast<void*>(data), length, &offset, nullptr);
    }
    SgNtClose(handle);
    return static_cast<uint32_t>(status);
}

bool SgDebugThreadExists() { return gThread != nullptr; }

bool SgDebugStartThread() {
    if (gThread == nullptr) {
        gThread = SgCreateThread(SgDebugThread, nullptr, 0);
        if (gThread != nullptr) SgDebugPrint(SG_FAC_SYS, SG_LVL_DEBUG, "Starting debug logging thread...");
    }
    if (gThread != nullptr && SgStartThread(gThread)) return true;
    // Without the thread nothing writes the buffer before the final flush of SgDebugShutdown, which
    // needs the file: it is set here, so that the flush writes what the buffer holds (the thread
    // layer logged why; lines that did not fit are counted as missed).
    if (NvxLogsDir != nullptr) SgDebugSetLogDirectory(NvxLogsDir);
    return false;
}

void SgDebugStopThread() {
    if (gThread == nullptr) return;
    SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_DEBUG, "Stopping the debug thread...");
    SgDebugPrint(SG_FAC_SYS, SG_LVL_DEBUG, "Stopping debug logging thread...");
    SgStopThread(gThread);
    // Checked at least once a second; the wait on the thread's handle returns as soon
    // as the body has ended, so a stop does not cost a whole second.
    while (!SgThreadIsStopped(gThread)) {
        if (gThread->os->threadHandle != nullptr) {
            WaitForSingleObject(gThread->os->threadHandle, 1000);
        } else {
            Sleep(1000);
        }
    }
    SgDestroyAndFreeThread(&gThread);
}

void SgDebugShutdown() {
    EnsureLock();
    if (!gInitialised) return;
    SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_DEBUG, "There were %llu missed debug log messages",
                 static_cast<unsigned long long>(gMissed));
    EnterCriticalSection(&gLock);
    char* buffer = gBuffer;
    uint32_t used = gWritePos;
    gBuffer = nullptr;
    gBufferSize = 0;
    gWritePos = 0;
    gFreeBytes = 0;
    gInitialised = false;
    LeaveCriticalSection(&gLock);
    if (used > 0) SgDebugWriteFile(buffer, used);
    free(buffer);
    FreeHeapString(gKeyPath);
    FreeHeapString(gLevelName);
    FreeHeapString(gFacilitiesName);
    for (auto*& p : gFilePaths) FreeHeapString(p);
}

uint32_t SgDebugGetFacilities() { return static_cast<uint32_t>(gFacilities); }
uint32_t SgDebugGetLevel() { return static_cast<uint32_t>(gLevel); }

void SgDebugSetFilter(uint32_t facilities, uint32_t level) {
    InterlockedExchange(&gFacilities, static_cast<LONG>(facilities));
    InterlockedExchange(&gLevel, static_cast<LONG>(level));
}

uint64_t SgDebugMissedMessages() {
    EnsureLock();
    EnterCriticalSection(&gLock);
    uint64_t n = gMissed;
    LeaveCriticalSection(&gLock);
    return n;
}

uint32_t SgDebugBufferedBytes() {
    EnsureLock();
    EnterCriticalSection(&gLock);
    uint32_t n = gInitialised ? gWritePos : 0;
    LeaveCriticalSection(&gLock);
    return n;
}
