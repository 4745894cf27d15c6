// The driver's event-journal store: locations, the per-type lists of one listing (the names are
// parsed by journals/journal_names.cpp), and the monitoring thread's once-a-minute housekeeping pass.
#include "journals/event_journals.h"

#include <cstddef>
#include <cstring>

#include "journals/compress.h"
#include "journals/native_file.h"
#include "runtime/compiler.h"
#include "runtime/debug_log.h"
#include "runtime/identity.h"
#include "runtime/memory.h"
#include "runtime/os_symbols.h"
#include "runtime/sg_containers.h"
#include "runtime/unistr.h"

namespace {

constexpr int64_t kHousekeepingPeriod = 60000000;  // µs
constexpr uint32_t kListingBufferSize = 0x10000;
constexpr uint32_t kDataDirBufferSize = 1024;
constexpr uint32_t kNoRecordSize = 0xFFFFFFFFu;

constexpr uint32_t kStatusNoSuchFile = 0xC0000034;  // object name not found
constexpr uint32_t kStatusDeletePending = 0xC0000056;

// FileIdFullDirectoryInformation: declared here because not every SDK's winternl.h has it.
constexpr FILE_INFORMATION_CLASS kFileIdFullDirectoryInformation = static_cast<FILE_INFORMATION_CLASS>(38);
struct IdFullDirEntry {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    LARGE_INTEGER EndOfFile;
    LARGE_INTEGER AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;  // bytes
    ULONG EaSize;
    LARGE_INTEGER FileId;
    WCHAR FileName[1];
};
static_assert(offsetof(IdFullDirEntry, EndOfFile) == 40);
static_assert(offsetof(IdFullDirEntry, FileNameLength) == 60);
static_assert(offsetof(IdFullDirEntry, FileId) == 72);
static_assert(offsetof(IdFullDirEntry, FileName) == 80);

struct JournalState {
    UNICODE_STRING* typeNames[kJournalTypeCount];
    UNICODE_STRING* eventsDir;
    UNICODE_STRING* journalRoot;  // absent without a data directory
    UNICODE_STRING* dirs[kJournalTypeCount];
    SgThread* thread;
    int64_t period;
    int64_t lastPass;
    int64_t nextPass;
};

JournalState gState;

void FreeString(UNICODE_STRING** slot) {
    if (*slot != nullptr) SgFreeUnistr(*slot);
    *slot = nullptr;
}

// Everything but the thread object.
void FreePaths() {
    for (auto*& name : gState.typeNames) FreeString(&name);
    FreeString(&gState.eventsDir);
    FreeString(&gState.journalRoot);
    for (auto*& dir : gState.dirs) FreeString(&dir);
}

void FreeState() {
    FreePaths();
    SgDestroyAndFreeThread(&gState.thread);
}

// ---- records and lists -----------------------------------------------------------------

JournalFile* NextOf(const JournalFile* file) { return reinterpret_cast<JournalFile*>(file->header.next); }
JournalFile* PreviousOf(const JournalFile* file) { return reinterpret_cast<JournalFile*>(file->header.previous); }

void DisposeJournalFile(JournalFile* file) { SgDisposeObject(&file->header, kSgFreeAlways); }

// Highest Hex1 first; an equal key goes after the records already there (listing order).
// Walked from the head: the driver's names grow with Hex1, so a name-ordered listing finds
// its place at once.
void InsertByKey(JournalList* list, JournalFile* file) {
    JournalFile* before = list->head;
    while (before != nullptr && before->Hex1 >= file->Hex1) before = NextOf(before);
    JournalFile* after = before != nullptr ? PreviousOf(before) : list->tail;
    file->header.previous = after != nullptr ? &after->header : nullptr;
    file->header.next = before != nullptr ? &before->header : nullptr;
    if (after != nullptr) {
        after->header.next = &file->header;
    } else {
        list->head = file;
    }
    if (before != nullptr) {
        before->header.previous = &file->header;
    } else {
        list->tail = file;
    }
    ++list->count;
}

JournalFile* PopHead(JournalList* list) {
    JournalFile* file = list->head;
    if (file == nullptr) return nullptr;
    list->head = NextOf(file);
    if (list->head != nullptr) {
        list->head->header.previous = nullptr;
    } else {
        list->tail = nullptr;
    }
    file->header.next = nullptr;
    file->header.previous = nullptr;
    --list->count;
    return file;
}

// ---- the listing -----------------------------------------------------------------------

// Lists one opened directory into the set; answers the number of entries seen.
uint32_t ListDirectory(SgNativeFile* dir, const UNICODE_STRING* prefix, uint8_t* buffer, JournalSet* set) {
    uint32_t entries = 0;
    BOOLEAN restart = TRUE;
    for (;;) {
        IO_STATUS_BLOCK io = {};
        NTSTATUS status =
            SgNtQueryDirectoryFile(dir->handle, nullptr, nullptr, nullptr, &io, buffer, kListingBufferSize,
                                   kFileIdFullDirectoryInformation, FALSE, nullptr, restart);
        restart = FALSE;
        if (status != 0) break;  // normally STATUS_NO_MORE_FILES
        for (uint32_t offset = 0;;) {
            auto* entry = reinterpret_cast<IdFullDirEntry*>(buffer + offset);
            ++entries;
            uint32_t nameBytes = entry->FileNameLength;
            bool dots = (nameBytes == 2 && entry->FileName[0] == L'.') ||
                        (nameBytes == 4 && entry->FileName[0] == L'.' && entry->FileName[1] == L'.');
            if (!dots && static_cast<uint64_t>(entry->EndOfFile.QuadPart) < kNoRecordSize) {
                UNICODE_STRING* path = SgAppendUnistrChars(prefix, entry->FileName, nameBytes);
                if (path == nullptr) {
                    SG_COUNTED_FORMAT_BEGIN
                    SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR, "Unable to build the path of an entry of %wZ", prefix);
                    SG_COUNTED_FORMAT_END
                } else {
                    JournalFile* file = ParseJournalName(path, entry->FileName, nameBytes);
                    if (file == nullptr) {
                        SgFreeUnistr(path);
                    } else {
                        file->Size = static_cast<uint32_t>(entry->EndOfFile.QuadPart);
                        SG_COUNTED_FORMAT_BEGIN
                        SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_DEBUG, "Dir entry: %wZ", path);
                        SG_COUNTED_FORMAT_END
                        InsertByKey(&set->lists[file->TypeIndex], file);
                    }
                }
            }
            if (entry->NextEntryOffset == 0) break;
            offset += entry->NextEntryOffset;
        }
    }
    return entries;
}

// ---- the monitoring thread -------------------------------------------------------------

DWORD WINAPI JournalMonitoringThread(LPVOID) {
    SgThread* self = gState.thread;
    if (self == nullptr) return 0xFFFFFFFF;
    SgThreadEnter(self);
    int64_t now = SgGetTimeMicros(0);
    gState.lastPass = now;
    gState.nextPass = now + gState.period;
    RunJournalHousekeeping(now);
    while (SgThreadShouldRun(self)) {
        now = SgGetTimeMicros(now);
        int64_t wait = gState.nextPass > now ? gState.nextPass - now : 0;
        int64_t left = 0;
        if (wait > 0) left = SgThreadWait(self, wait);
        // A wake-up before the time is a stop request: no pass for it.
        if (wait == 0 || left == 0) {
            now = SgGetTimeMicros(now);
            RunJournalHousekeeping(now);
            gState.lastPass = now;
            gState.nextPass = now + gState.period;
        }
    }
    SgThreadExit(self);
}

}  // namespace

// ---- life cycle ------------------------------------------------------------------------

bool InitEventJournals() {
    SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_DEBUG, "Initialize OS event journal management");
    gState.period = kHousekeepingPeriod;
    gState.thread = SgCreateThread(JournalMonitoringThread, nullptr, 0);
    if (gState.thread == nullptr) {
        SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR, "Unable to create the event journal monitoring thread");
        return false;
    }
    for (uint32_t i = 0; i < kJournalTypeCount; ++i) {
        gState.typeNames[i] = SgCreateUnistrFromWide(kJournalTypeNames[i]);
        if (gState.typeNames[i] == nullptr) {
            FreeState();
            return false;
        }
    }

    // Without the driver's data directory journal management runs without a store: every
    // pass then reports that it cannot list it.
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriverPathsKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return true;
    alignas(wchar_t) uint8_t data[kDataDirBufferSize] = {};
    DWORD size = kDataDirBufferSize - 2;
    LONG rc = RegQueryValueExW(key, kDataDirValue, nullptr, nullptr, data, &size);
    UNICODE_STRING* dataDir = nullptr;
    if (rc == ERROR_SUCCESS) {
        data[size] = 0;
        data[size + 1] = 0;
        dataDir = SgCreateUnistrFromWide(reinterpret_cast<const wchar_t*>(data));
    }
    if (dataDir == nullptr) {
        RegCloseKey(key);
        return true;
    }

    SG_COUNTED_FORMAT_BEGIN
    SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_DEBUG, "NVX Data at %wZ", dataDir);
    SG_COUNTED_FORMAT_END
    bool ok = false;
    gState.eventsDir =
        SgAppendUnistrChars(dataDir, kJournalsBelowDataDir, sizeof(kJournalsBelowDataDir) - sizeof(wchar_t));
    if (gState.eventsDir != nullptr) {
        gState.journalRoot =
            SgAppendUnistrChars(gState.eventsDir, kJournalRootName, sizeof(kJournalRootName) - sizeof(wchar_t));
    }
    if (gState.journalRoot != nullptr) {
        SG_COUNTED_FORMAT_BEGIN
        SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_DEBUG, "KestroNVX Event Journals at %wZ", gState.journalRoot);
        SG_COUNTED_FORMAT_END
        ok = true;
        for (uint32_t i = 0; i < kJournalTypeCount && ok; ++i) {
            gState.dirs[i] = SgJoinUnistr(gState.journalRoot, gState.typeNames[i]);
            ok = gState.dirs[i] != nullptr;
        }
    }
    RegCloseKey(key);
    SgFreeUnistr(dataDir);
    if (!ok) {
        FreeState();
        return false;
    }
    return true;
}

bool StartEventJournalThread() {
    if (gState.thread == nullptr) return false;
    SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_DEBUG, "Starting OS Event Journal Monitoring thread...");
    return SgStartThread(gState.thread);
}

bool StopEventJournalThread() {
    if (gState.thread == nullptr) return true;
    SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_DEBUG, "Stopping OS Event Journal Monitoring thread...");
    return SgStopThread(gState.thread);
}

void WaitEventJournalThreadEnd() {
    if (gState.thread != nullptr) SgWaitThreadEnd(gState.thread);
}

bool ShutdownEventJournals() {
    SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_DEBUG, "Shutdown OS event journal management");
    FreeState();
    return true;
}

SgThread* EventJournalThread() { return gState.thread; }

// ---- listing and housekeeping ----------------------------------------------------------

void DestroyJournalSet(JournalSet* set) {
    if (set == nullptr) return;
    for (JournalList& list : set->lists) {
        while (JournalFile* file = PopHead(&list)) DisposeJournalFile(file);
    }
    SgFreeMem(set);
}

JournalSet* EnumerateJournals() {
    uint8_t* buffer = nullptr;
    JournalSet* set = nullptr;
    bool ok = gState.journalRoot != nullptr;
    if (ok) {
        buffer = static_cast<uint8_t*>(SgAllocMem(kListingBufferSize));
        set = static_cast<JournalSet*>(SgAllocMem(sizeof(JournalSet)));
        ok = buffer != nullptr && set != nullptr;
        if (set != nullptr) memset(set, 0, sizeof(*set));
    }
    for (uint32_t i = 0; ok && i < kJournalTypeCount; ++i) {
        const UNICODE_STRING* dir = gState.dirs[i];
        UNICODE_STRING* prefix = nullptr;
        if (dir != nullptr && dir->Length + 4u <= kUnistrMaxBytes) prefix = SgAppendUnistrChars(dir, L"\\", 2);
        if (prefix == nullptr) {
            ok = false;
            break;
        }
        SG_COUNTED_FORMAT_BEGIN
        SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_DEBUG, "Enumerating event journals in %wZ", dir);
        SG_COUNTED_FORMAT_END
        SgNativeFile handle = {};
        uint32_t status = SgNativeOpenRead(dir, &handle);
        if (status != 0) {
            SG_COUNTED_FORMAT_BEGIN
            SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_DEBUG, "Unable to open event journal directory %wZ 0x%08X", dir,
                         static_cast<unsigned>(status));
            SG_COUNTED_FORMAT_END
        } else {
            uint32_t entries = handle.isDirectory ? ListDirectory(&handle, prefix, buffer, set) : 0;
            SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_DEBUG, "Directory read returned %lu entries",
                         static_cast<unsigned long>(entries));
            SgNativeClose(&handle);
        }
        SgFreeUnistr(prefix);
    }
    if (buffer != nullptr) SgFreeMem(buffer);
    if (!ok) {
        SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR, "Enumerating event journals failed");
        DestroyJournalSet(set);
        return nullptr;
    }
    return set;
}

void RunJournalHousekeeping(int64_t nowMicros) {
    SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_DEBUG, "OS Event Journal housekeeping %llu",
                 static_cast<unsigned long long>(nowMicros));
    JournalSet* set = EnumerateJournals();
    if (set == nullptr) {
        SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR, "Unable to enumerate event journal files");
        return;
    }
    uint32_t remaining = 0;
    for (const JournalList& list : set->lists) remaining += list.count;
    unsigned long compressed = 0, deleted = 0, ignored = 0;
    SgThread* self = gState.thread;
    // One journal of each type per round, each type's highest key first; a stop request is
    // honoured between two files.
    bool stop = false;
    while (remaining > 0 && !stop) {
        for (uint32_t type = 0; type < kJournalTypeCount; ++type) {
            JournalFile* file = PopHead(&set->lists[type]);
            if (file != nullptr) {
                if (!file->LongForm) {
                    ++ignored;
                } else if (file->IsBin) {
                    if (CompressJournal(file) == 0) ++compressed;
                } else if (file->IsTmp) {
                    uint32_t status = SgNativeDelete(file->Path);
                    if (status == 0) {
                        ++deleted;
                    } else if (status == kStatusNoSuchFile || status == kStatusDeletePending) {
                        SG_COUNTED_FORMAT_BEGIN
                        SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_DEBUG,
                                     "Unable to delete (or set for delete on close) event journal %wZ, errcode 0x%08X",
                                     file->Path, static_cast<unsigned>(status));
                        SG_COUNTED_FORMAT_END
                    } else {
                        SG_COUNTED_FORMAT_BEGIN
                        SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_ERROR,
                                     "Unable to delete (or set for delete on close)  event journal %wZ, errcode 0x%08X",
                                     file->Path, static_cast<unsigned>(status));
                        SG_COUNTED_FORMAT_END
                    }
                } else {
                    ++ignored;
                }
                DisposeJournalFile(file);
                --remaining;
            }
            if (!SgThreadShouldRun(self)) {
                stop = true;
                break;
            }
        }
    }
    DestroyJournalSet(set);
    SgDebugPrint(SG_FAC_EVTJRN, SG_LVL_DEBUG, "Compressed %lu files, deleted %lu files, and ignored %lu files",
                 compressed, deleted, ignored);
}
