#include "comms/wsc_client.h"

#include <windows.h>

#include <cstring>

#include "comms/command_attrs.h"
#include "runtime/debug_log.h"
#include "runtime/sg_containers.h"
#include "service/identity.h"

namespace {

constexpr uint32_t kWscTableBuckets = 128;

// Shape of the WSC client table's elements: compared by their stored name. The service
// inserts none; the table lives from start-up to shutdown.
struct WscEntry {
    SgObject header;
    char name[64];
};

struct WscState {
    SgHashTable* table;
    CRITICAL_SECTION lock;
    bool lockInitialised;
};

WscState g_wsc;

bool CompareEntries(const SgObject* candidate, const SgObject* present) {
    return strcmp(reinterpret_cast<const WscEntry*>(candidate)->name,
                  reinterpret_cast<const WscEntry*>(present)->name) == 0;
}

bool CompareEntryName(const SgObject* element, const void* key) {
    return strcmp(reinterpret_cast<const WscEntry*>(element)->name, static_cast<const char*>(key)) == 0;
}

void ReleaseState() {
    if (g_wsc.table != nullptr) SgDisposeObject(&g_wsc.table->header, kSgFreeAlways);
    if (g_wsc.lockInitialised) DeleteCriticalSection(&g_wsc.lock);
    g_wsc = WscState{};
}

// Get handler of "Version": answers with the product version.
uint8_t AnswerVersion(SgMessage* message) { return SgSendCommandReply(message, kProductVersion) ? 1 : 0; }

}  // namespace

bool SgInitWSCClient() {
    if (g_wsc.table != nullptr) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgInitWSCClient: already initialised");
        return false;
    }
    g_wsc.table = SgCreateHashTable();
    if (g_wsc.table == nullptr) return false;  // the pool has logged it
    g_wsc.table->compareElements = CompareEntries;
    g_wsc.table->compareKey = CompareEntryName;
    g_wsc.table->freeMode = kSgFreeWhenDestroyed;
    if (!SgSetHashBuckets(g_wsc.table, kWscTableBuckets)) {
        ReleaseState();
        return false;
    }
    InitializeCriticalSection(&g_wsc.lock);
    g_wsc.lockInitialised = true;

    SgCommandAttr* version = SgCreateCommandAttr("Version");
    if (version == nullptr) {  // logged by the registry
        ReleaseState();
        return false;
    }
    version->getPermitted = 1;
    version->getArity = 1;
    version->getHandler = reinterpret_cast<void*>(AnswerVersion);
    SgReleaseCommandAttr(version);
    return true;
}

void SgShutdownWSCClient() { ReleaseState(); }
