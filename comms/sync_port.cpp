#include "comms/sync_port.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "comms/fltlib_api.h"
#include "comms/wire_format.h"

using namespace nvx_wire;

namespace {

struct SyncPortState {
    HANDLE port;
    HMODULE fltlib;
    bool loadedFltlib;
    PFN_FilterConnectCommunicationPort connect;
    PFN_FilterSendMessage send;
    alignas(16) uint8_t block[16];  // its address is announced to the driver; zero for the whole run
    bool connected;
};

SyncPortState gSync;

void ReleaseLibrary() {
    if (gSync.loadedFltlib && gSync.fltlib != nullptr) FreeLibrary(gSync.fltlib);
    gSync.fltlib = nullptr;
    gSync.loadedFltlib = false;
}

}  // namespace

bool SgConnectSyncPort() {
    if (gSync.connected) return true;
    gSync.fltlib = SgObtainFltlib(&gSync.loadedFltlib);
    if (gSync.fltlib == nullptr) return false;
    gSync.connect = SgResolve<PFN_FilterConnectCommunicationPort>(gSync.fltlib, "FilterConnectCommunicationPort");
    gSync.send = SgResolve<PFN_FilterSendMessage>(gSync.fltlib, "FilterSendMessage");
    HANDLE port = nullptr;
    HRESULT hr = E_FAIL;
    if (gSync.connect != nullptr && gSync.send != nullptr) {
        hr = gSync.connect(kSyncPortName, 0, nullptr, 0, nullptr, &port);
    }
    if (FAILED(hr) || gSync.connect == nullptr || gSync.send == nullptr) {
        // Silent: the main loop retries at its housekeeping period.
        if (port != nullptr && port != INVALID_HANDLE_VALUE) CloseHandle(port);
        ReleaseLibrary();
        gSync.connect = nullptr;
        gSync.send = nullptr;
        return false;
    }
    gSync.port = port;
    gSync.connected = true;
    memset(gSync.block, 0, sizeof(gSync.block));

    // One announcement: the process ID and the address of the block. Its result and the
    // reply are the driver's business.
    auto* request = static_cast<SyncRequestMsg*>(calloc(1, sizeof(SyncRequestMsg)));
    auto* reply = static_cast<SyncReplyMsg*>(calloc(1, sizeof(SyncReplyMsg)));
    if (request != nullptr && reply != nullptr) {
        request->header = {kHeaderVersion, 0, kTypeSyncRequest, kTagSyncRequest, kSyncRequestSize};
        request->field8 = 1;
        request->field9 = 1;
        request->field12 = 16;
        request->field16 = 1;
        request->field20 = 0;
        request->processId = GetCurrentProcessId();
        request->field32 = 0;
        request->blockAddress = reinterpret_cast<uintptr_t>(gSync.block);
        DWORD returned = 0;
        gSync.send(gSync.port, request, sizeof(*request), reply, sizeof(*reply), &returned);
    }
    free(request);
    free(reply);
    return true;
}

void SgCloseSyncPort() {
    if (gSync.port != nullptr && gSync.port != INVALID_HANDLE_VALUE) CloseHandle(gSync.port);
    ReleaseLibrary();
    memset(&gSync, 0, sizeof(gSync));
}

bool SgSyncPortConnected() { return gSync.connected; }
