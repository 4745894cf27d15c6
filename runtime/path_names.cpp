#include "runtime/path_names.h"

#include <atomic>
#include <cstring>

#include "runtime/compiler.h"
#include "runtime/debug_log.h"
#include "runtime/memory.h"
#include "runtime/os_paths.h"
#include "runtime/path_names_testing.h"
#include "runtime/sg_containers.h"
#include "runtime/unistr.h"

namespace {

// One form's table, its lock and its invalid-name counter.
struct PathTable {
    SgHashTable* table;
    CRITICAL_SECTION lock;
    uint64_t invalidNames;
};

struct PathState {
    PathTable wide;
    PathTable narrow;
    bool locksInitialised;
};

PathState g_paths;
SgOsPathCalls g_osPaths = {InitOsPaths, ShutdownOsPaths};

// The reference count and the delete-pending flag are atomic words rather than fields under a
// lock of each object's own: an object's lock would be initialised and deleted with every new
// name, and under Wine that costs more than the rest of a get and release together. The table
// lock still orders every change that decides whether a name stays in its table (below).
std::atomic_ref<uint32_t> CountOf(SgFullPath* path) { return std::atomic_ref<uint32_t>(path->referenceCount); }
std::atomic_ref<uint8_t> PendingOf(SgFullPath* path) { return std::atomic_ref<uint8_t>(path->deletePending); }

// The bytes of an object's name, whichever form it has.
const void* NameBytes(const SgFullPath* path, uint32_t* length) {
    if (path->wide) {
        *length = path->wideName != nullptr ? path->wideName->Length : 0;
        return path->wideName != nullptr ? path->wideName->Buffer : nullptr;
    }
    *length = path->narrowName != nullptr ? path->narrowName->Length : 0;
    return path->narrowName != nullptr ? path->narrowName->Buffer : nullptr;
}

// Names of equal length in one bucket usually share a long directory prefix and differ near
// the end, so the bytes are compared from the end, eight at a time.
bool SameBytes(const void* a, uint32_t aLength, const void* b, uint32_t bLength) {
    if (aLength != bLength) return false;
    const auto* p = static_cast<const uint8_t*>(a);
    const auto* q = static_cast<const uint8_t*>(b);
    uint32_t n = aLength;
    while (n >= 8) {
        n -= 8;
        uint64_t x, y;
        memcpy(&x, p + n, 8);
        memcpy(&y, q + n, 8);
        if (x != y) return false;
    }
    return n == 0 || memcmp(p, q, n) == 0;
}

bool CompareElements(const SgObject* candidate, const SgObject* present) {
    uint32_t aLength = 0, bLength = 0;
    const void* a = NameBytes(reinterpret_cast<const SgFullPath*>(candidate), &aLength);
    const void* b = NameBytes(reinterpret_cast<const SgFullPath*>(present), &bLength);
    return SameBytes(a, aLength, b, bLength);
}

// Key comparisons run for every element of a bucket on each get; each table holds one form.
bool CompareKeyW(const SgObject* element, const void* key) {
    const auto* name = static_cast<const UNICODE_STRING*>(key);
    const UNICODE_STRING* own = reinterpret_cast<const SgFullPath*>(element)->wideName;
    return SameBytes(own->Buffer, own->Length, name->Buffer, name->Length);
}

bool CompareKeyA(const SgObject* element, const void* key) {
    const auto* name = static_cast<const ANSI_STRING*>(key);
    const ANSI_STRING* own = reinterpret_cast<const SgFullPath*>(element)->narrowName;
    return SameBytes(own->Buffer, own->Length, name->Buffer, name->Length);
}

SgHashTable* CreateTable(SgCompareKeyFn compareKey) {
    SgHashTable* table = SgCreateHashTable();
    if (table == nullptr) return nullptr;
    table->compareElements = CompareElements;
    table->compareKey = compareKey;
    table->freeMode = kSgFreeWhenDestroyed;
    if (!SgSetHashBuckets(table, kPathTableBuckets)) {
        SgDisposeObject(&table->header, kSgFreeAlways);
        return nullptr;
    }
    return table;
}

// Destroys the table (each element through SgDeleteFullPath) and returns its memory.
void DestroyTable(SgHashTable** table) {
    if (*table != nullptr) SgDisposeObject(&(*table)->header, kSgFreeAlways);
    *table = nullptr;
}

void ReleaseState() {
    DestroyTable(&g_paths.wide.table);
    DestroyTable(&g_paths.narrow.table);
    if (g_paths.locksInitialised) {
        DeleteCriticalSection(&g_paths.wide.lock);
        DeleteCriticalSection(&g_paths.narrow.lock);
    }
    memset(&g_paths, 0, sizeof(g_paths));
}

// Copy of a counted narrow string as one pool block: the record, then a zero-filled buffer
// of length + 2 bytes, so the text is NUL-terminated.
ANSI_STRING* CopyNarrow(const ANSI_STRING* name) {
    const uint32_t capacity = static_cast<uint32_t>(name->Length) + 2;
    auto* copy = static_cast<ANSI_STRING*>(SgAllocMem(sizeof(ANSI_STRING) + capacity));
    if (copy == nullptr) return nullptr;
    copy->Buffer = reinterpret_cast<char*>(copy + 1);
    memset(copy->Buffer, 0, capacity);
    if (name->Length != 0) memcpy(copy->Buffer, name->Buffer, name->Length);
    copy->Length = name->Length;
    copy->MaximumLength = static_cast<USHORT>(capacity);
    return copy;
}

bool HasControlCharW(const UNICODE_STRING* name) {
    for (uint32_t i = 0; i < name->Length / 2u; ++i) {
        if (name->Buffer[i] < 32) return true;
    }
    return false;
}

// Bytes are taken as signed, so every byte of a multi-byte UTF-8 sequence
// also counts as below 32. The counter only feeds the shutdown report.
bool HasControlCharA(const ANSI_STRING* name) {
    for (uint32_t i = 0; i < name->Length; ++i) {
        if (static_cast<int8_t>(name->Buffer[i]) < 32) return true;
    }
    return false;
}

// Creates, counts and inserts a new object; called with the form's table lock held.
SgFullPath* CreatePath(PathTable* form, const void* name, bool wide, uint32_t hash) {
    auto* path = static_cast<SgFullPath*>(SgAllocMem(sizeof(SgFullPath)));
    if (path == nullptr) return nullptr;
    memset(path, 0, sizeof(*path));
    path->header.bucket = hash;
    path->header.size = sizeof(SgFullPath);
    path->header.destroy = SgDeleteFullPath;
    path->referenceCount = 1;
    path->wide = wide ? 1 : 0;
    bool invalid = false;
    if (wide) {
        const auto* text = static_cast<const UNICODE_STRING*>(name);
        path->wideName = SgDuplicateUnistr(text);
        invalid = path->wideName != nullptr && HasControlCharW(text);
    } else {
        const auto* text = static_cast<const ANSI_STRING*>(name);
        path->narrowName = CopyNarrow(text);
        invalid = path->narrowName != nullptr && HasControlCharA(text);
    }
    if ((wide ? static_cast<void*>(path->wideName) : static_cast<void*>(path->narrowName)) == nullptr) {
        if (SgDeleteFullPath(&path->header)) SgFreeMem(path);
        return nullptr;
    }
    // The caller's lookup found no equal name under the same hold of the table lock.
    if (!SgHashInsertAbsent(form->table, &path->header)) {
        if (SgDeleteFullPath(&path->header)) SgFreeMem(path);
        return nullptr;
    }
    // Counted only once the name is interned, so a failed get leaves the counters alone.
    if (invalid) {
        path->invalid = 1;
        ++form->invalidNames;
    }
    return path;
}

// The common get: lookup, reference or creation, all under the table lock, so a name is
// never created twice and a found object cannot be removed before it is referenced.
SgFullPath* GetPath(PathTable* form, const void* name, bool wide, uint32_t hash) {
    EnterCriticalSection(&form->lock);
    auto* path = reinterpret_cast<SgFullPath*>(SgHashLookup(form->table, hash, name));
    if (path != nullptr) {
        // A name in its table has a count of at least 1: the last release takes it out under
        // this lock before its count reaches 0.
        CountOf(path).fetch_add(1);
    } else {
        path = CreatePath(form, name, wide, hash);
    }
    LeaveCriticalSection(&form->lock);
    return path;
}

// The form's table comes from the object itself, so a release through the other form's call
// still takes the right lock.
void ReleasePath(SgFullPath* path) {
    PathTable* form = path->wide ? &g_paths.wide : &g_paths.narrow;
    std::atomic_ref<uint32_t> count = CountOf(path);
    bool destroy = false;
    uint32_t old = count.load();
    for (;;) {
        if (old == 0) {
            SG_COUNTED_FORMAT_BEGIN
            if (path->wide) {
                SgDebugPrint(SG_FAC_PATH, SG_LVL_DEBUG,
                             "SgReleaseFullPathW: Releasing pathname with count %d! name=%wZ", 0, path->wideName);
            } else {
                SgDebugPrint(SG_FAC_FILE, SG_LVL_DEBUG, "SgReleaseFullPathA: Releasing pathname with count %d! name=%s",
                             0, path->narrowName->Buffer);
            }
            SG_COUNTED_FORMAT_END
            return;
        }
        if (PendingOf(path).load() != 0) {
            // The table destroy already let go of the object (and the table and its lock may be
            // gone): the holder that takes the count to 0 destroys it, with the count set back
            // to 1 so that the destroy frees it.
            if (!count.compare_exchange_weak(old, old - 1)) continue;
            if (old == 1) {
                count.store(1);
                destroy = true;
            }
            break;
        }
        if (old == 1) {
            // The last reference is dropped only under the table lock: another thread may find
            // the name and reference it meanwhile, and a get either finds the object referenced
            // or no longer finds it at all.
            EnterCriticalSection(&form->lock);
            uint32_t expected = 1;
            if (count.compare_exchange_strong(expected, 0)) {
                SgHashRemove(form->table, &path->header);
                destroy = true;
            }
            LeaveCriticalSection(&form->lock);
            if (destroy) break;
            old = expected;  // referenced again meanwhile: an ordinary release now
            continue;
        }
        if (count.compare_exchange_weak(old, old - 1)) return;
    }
    if (destroy && SgDeleteFullPath(&path->header)) SgFreeMem(path);
}

// ---- bucket function ---------------------------------------------------------------------------
//
// Names are equal exactly when their byte lengths and bytes are (no case folding, no
// normalisation), so the bucket is a function of the bytes alone and both forms share it.
// Device paths share long prefixes and differ in a few characters near the end, often only
// in where a digit stands; every byte therefore goes through a multiplication whose result
// depends on its position (sixteen bytes per step, chained through the running state), and
// the last step folds both halves of a full product, so every byte reaches the 13 bucket bits.

constexpr uint64_t kMixA = 0xA0761D6478BD642Full;
constexpr uint64_t kMixB = 0xE7037ED1A0B428DBull;
constexpr uint64_t kMixC = 0x8EBC6AF09C88C6E3ull;

uint64_t Load64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

uint64_t Load32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

// Both halves of the full product of a and b, folded together.
uint64_t Fold(uint64_t a, uint64_t b) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

uint32_t HashNameBytes(const void* data, uint32_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint64_t state = kMixA ^ length;
    uint64_t first, second;
    if (length <= 16) {
        if (length >= 4) {
            // Two (possibly overlapping) 4-byte reads from each end cover every byte.
            const uint32_t step = (length >> 3) << 2;
            first = (Load32(p) << 32) | Load32(p + step);
            second = (Load32(p + length - 4) << 32) | Load32(p + length - 4 - step);
        } else if (length > 0) {
            first = (static_cast<uint64_t>(p[0]) << 16) | (static_cast<uint64_t>(p[length >> 1]) << 8) | p[length - 1];
            second = 0;
        } else {
            first = second = 0;
        }
    } else {
        uint32_t left = length;
        while (left > 16) {
            state = Fold(Load64(p) ^ kMixB, Load64(p + 8) ^ state);
            p += 16;
            left -= 16;
        }
        // The last sixteen bytes, overlapping the previous step when the length is no multiple.
        first = Load64(p + left - 16);
        second = Load64(p + left - 8);
    }
    const uint64_t h = Fold(kMixC ^ length, Fold(first ^ kMixB, second ^ state));
    return static_cast<uint32_t>(h >> 32) & kPathHashMask;
}

bool ValidNameW(const UNICODE_STRING* name, const char* caller) {
    if (name == nullptr || name->Buffer == nullptr) {
        SgDebugPrint(SG_FAC_PATH, SG_LVL_ERROR, "%s: no name", caller);
        return false;
    }
    if (name->Length > kPathMaxNameBytes) {
        SgDebugPrint(SG_FAC_PATH, SG_LVL_ERROR, "%s: name of %u bytes is too long", caller, name->Length);
        return false;
    }
    return true;
}

}  // namespace

uint32_t SgHashPathW(const UNICODE_STRING* name) { return HashNameBytes(name->Buffer, name->Length); }

uint32_t SgHashPathA(const ANSI_STRING* name) { return HashNameBytes(name->Buffer, name->Length); }

bool SgInitPathManagement() {
    SgDebugPrint(SG_FAC_PATH, SG_LVL_DEBUG, "Initialize path management");
    if (g_paths.wide.table != nullptr) {
        SgDebugPrint(SG_FAC_PATH, SG_LVL_ERROR, "Path management is already initialised");
        return false;
    }
    memset(&g_paths, 0, sizeof(g_paths));
    g_paths.wide.table = CreateTable(CompareKeyW);
    if (g_paths.wide.table != nullptr) g_paths.narrow.table = CreateTable(CompareKeyA);
    if (g_paths.narrow.table == nullptr) {
        ReleaseState();  // the pool has logged the allocation failure
        return false;
    }
    InitializeCriticalSection(&g_paths.wide.lock);
    InitializeCriticalSection(&g_paths.narrow.lock);
    g_paths.locksInitialised = true;
    if (!g_osPaths.init()) {
        ReleaseState();  // OS path management has logged its failure
        return false;
    }
    return true;
}

bool SgShutdownPathManagement() {
    if (g_paths.wide.table == nullptr) return true;  // never initialised, or already shut down
    SgDebugPrint(SG_FAC_PATH, SG_LVL_DEBUG, "Shutdown path management");
    if (!g_osPaths.shutdown()) return false;
    SgDebugPrint(SG_FAC_PATH, SG_LVL_DEBUG, "There were %llu invalid UTF16 path names",
                 static_cast<unsigned long long>(g_paths.wide.invalidNames));
    SgDebugPrint(SG_FAC_PATH, SG_LVL_DEBUG, "There were %llu invalid UTF8 path names",
                 static_cast<unsigned long long>(g_paths.narrow.invalidNames));
    // Objects still held by more than one holder stay alive with deletion pending; their
    // last release frees them without touching the tables.
    ReleaseState();
    return true;
}

SgFullPath* SgGetFullPathW(const UNICODE_STRING* name) {
    if (!ValidNameW(name, "SgGetFullPathW")) return nullptr;
    if (g_paths.wide.table == nullptr) {
        SgDebugPrint(SG_FAC_PATH, SG_LVL_ERROR, "SgGetFullPathW: path management is not initialised");
        return nullptr;
    }
    return GetPath(&g_paths.wide, name, true, SgHashPathW(name));
}

SgFullPath* SgGetFullPathA(const ANSI_STRING* name) {
    if (name == nullptr || name->Buffer == nullptr) {
        SgDebugPrint(SG_FAC_FILE, SG_LVL_ERROR, "SgGetFullPathA: no name");
        return nullptr;
    }
    if (name->Length > kPathMaxNameBytes) {
        SgDebugPrint(SG_FAC_FILE, SG_LVL_ERROR, "SgGetFullPathA: name of %u bytes is too long", name->Length);
        return nullptr;
    }
    if (g_paths.narrow.table == nullptr) {
        SgDebugPrint(SG_FAC_FILE, SG_LVL_ERROR, "SgGetFullPathA: path management is not initialised");
        return nullptr;
    }
    return GetPath(&g_paths.narrow, name, false, SgHashPathA(name));
}

void SgReleaseFullPathW(SgFullPath* path) {
    if (path != nullptr) ReleasePath(path);
}

void SgReleaseFullPathA(SgFullPath* path) {
    if (path != nullptr) ReleasePath(path);
}

void SgReleaseFullPath(SgFullPath* path) {
    if (path == nullptr) return;
    if (path->wide) {
        SgReleaseFullPathW(path);
    } else {
        SgReleaseFullPathA(path);
    }
}

bool SgDeleteFullPath(SgObject* object) {
    auto* path = reinterpret_cast<SgFullPath*>(object);
    if (path == nullptr) return false;
    // The flag is raised before the count drops, so a holder that releases meanwhile never
    // takes the table path for an object the table destroy is letting go of.
    std::atomic_ref<uint32_t> count = CountOf(path);
    uint32_t old = count.load();
    if (old > 1) PendingOf(path).store(1);
    while (old > 1 && !count.compare_exchange_weak(old, old - 1)) {
    }
    if (old > 1) {
        const uint32_t remaining = old - 1;
        SG_COUNTED_FORMAT_BEGIN
        if (path->wide) {
            SgDebugPrint(SG_FAC_PATH, SG_LVL_DEBUG, "SgDeleteFullPath: Delay deleting path, name=%wZ count=%d",
                         path->wideName, static_cast<int>(remaining));
        } else {
            SgDebugPrint(SG_FAC_FILE, SG_LVL_DEBUG, "SgDeleteFullPath: Delay deleting path, name=%hZ count=%d",
                         path->narrowName, static_cast<int>(remaining));
        }
        SG_COUNTED_FORMAT_END
        return false;
    }
    if (path->wide) {
        if (path->wideName != nullptr) SgFreeUnistr(path->wideName);
        path->wideName = nullptr;
    } else {
        if (path->narrowName != nullptr) SgFreeMem(path->narrowName);
        path->narrowName = nullptr;
    }
    return true;
}

// ---- test access ---------------------------------------------------------------------------

void SgSetOsPathCallsForTesting(const SgOsPathCalls* calls) {
    g_osPaths = calls != nullptr ? *calls : SgOsPathCalls{InitOsPaths, ShutdownOsPaths};
}

uint32_t SgPathTableCountForTesting(bool wide) {
    PathTable* form = wide ? &g_paths.wide : &g_paths.narrow;
    if (form->table == nullptr) return 0;
    EnterCriticalSection(&form->lock);
    uint32_t count = form->table->count;
    LeaveCriticalSection(&form->lock);
    return count;
}

uint64_t SgInvalidPathCountForTesting(bool wide) {
    return wide ? g_paths.wide.invalidNames : g_paths.narrow.invalidNames;
}
