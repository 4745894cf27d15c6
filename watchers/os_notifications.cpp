#include "watchers/os_notifications.h"

#include "runtime/debug_log.h"
#include "runtime/identity.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/threads.h"
#include "runtime/unistr.h"

namespace {

constexpr int64_t kHousekeepingPeriod = 60000000;  // µs
// Name, attribute, last-set and security changes, in the key and its whole subtree.
constexpr DWORD kNotifyFilter =
    REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;
static_assert(kNotifyFilter == 0xF);

// The watches in their fixed order: housekeeping arms them and the wait set lists their
// events in this order.
enum : int { kServiceKeyWatch = 0, kWatchCount };

struct NotificationState {
    SgThread* thread;
    int64_t period;
    int64_t lastHousekeeping;
    int64_t nextHousekeeping;
    RegistryWatch watches[kWatchCount];
    UNICODE_STRING* facilitiesName;
    UNICODE_STRING* levelName;
};

NotificationState gState;

void FreeString(UNICODE_STRING** s) {
    if (*s != nullptr) SgFreeUnistr(*s);
    *s = nullptr;
}

// Back to "no key, no event, not armed": closing the key also cancels a pending notification.
void CloseWatch(RegistryWatch* watch) {
    if (watch->notifyKey != nullptr) RegCloseKey(watch->notifyKey);
    if (watch->event != nullptr) CloseHandle(watch->event);
    watch->notifyKey = nullptr;
    watch->event = nullptr;
    watch->armed = false;
}

void ReleaseState() {
    SgDestroyAndFreeThread(&gState.thread);
    for (RegistryWatch& watch : gState.watches) {
        CloseWatch(&watch);
        FreeString(&watch.keyPath);
    }
    FreeString(&gState.facilitiesName);
    FreeString(&gState.levelName);
    gState = NotificationState{};
}

// The service-key handler: the notification is registered again before any value is read,
// so a change made while the values are read fires once more.
void ServiceKeyChanged(RegistryWatch* watch) {
    ArmRegistryWatch(watch);
    SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_DEBUG, "NVX Service registry key has changed");
    ApplyServiceKeySettings();
}

// One DWORD setting of the service key; false (logged) when it is missing or not a 4-byte
// REG_DWORD. A value too large for the buffer exists: it is of the wrong type, not missing.
bool ReadSetting(HKEY key, const UNICODE_STRING* name, const char* label, uint32_t* out) {
    uint32_t value = 0;
    SgRegDword found = SgReadRegistryDword(key, name->Buffer, &value);
    if (found == SG_REG_DWORD_MISSING) {
        SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_DEBUG, "%s %s value missing", kServiceName, label);
        return false;
    }
    if (found == SG_REG_DWORD_WRONG_TYPE) {
        SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_DEBUG, "%s %s value type incorrect", kServiceName, label);
        return false;
    }
    *out = value;
    return true;
}

void OsNotificationHousekeeping(int64_t now) {
    SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_DEBUG, "OS notification housekeeping %llu",
                 static_cast<unsigned long long>(now));
    for (RegistryWatch& watch : gState.watches) {
        if (watch.armed) continue;
        ArmRegistryWatch(&watch);
        if (watch.armed && watch.apply != nullptr) watch.apply();
    }
}

// Waits for the thread's wake event or any watch's event, at most `micros`; returns the
// time still left (0: the whole time passed). Takes the place of SgThreadWait here.
int64_t WaitForRegistryChange(SgThread* self, int64_t micros) {
    HANDLE handles[1 + kWatchCount];
    RegistryWatch* owners[1 + kWatchCount] = {};
    DWORD count = 0;
    handles[count++] = self->os->wakeEvent;
    for (RegistryWatch& watch : gState.watches) {
        if (watch.event == nullptr) continue;
        owners[count] = &watch;
        handles[count++] = watch.event;
    }
    int64_t millis = micros / 1000;
    if (millis < 1) millis = 1;
    if (millis >= INFINITE) millis = INFINITE - 1;

    int64_t start = SgGetTimeMicros(0);
    DWORD result = WaitForMultipleObjects(count, handles, FALSE, static_cast<DWORD>(millis));
    if (result == WAIT_OBJECT_0) {
        ResetEvent(handles[0]);
    } else if (result > WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
        RegistryWatch* watch = owners[result - WAIT_OBJECT_0];
        watch->armed = false;
        watch->changed(watch);
    } else if (result == WAIT_FAILED) {
        SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_ERROR, "Waiting for registry changes failed, error = %lu",
                     static_cast<unsigned long>(GetLastError()));
        // The same wait would fail again at once and flood the log: the rest of the period is
        // waited on the thread's own wake event alone, so a stop still ends it; housekeeping
        // then runs as at the end of any period, and the next wait is tried after it.
        const int64_t rest = micros - (SgGetTimeMicros(start) - start);
        if (rest > 0) SgThreadWait(self, rest);
        return 0;
    }
    int64_t left = micros - (SgGetTimeMicros(start) - start);
    return left > 0 ? left : 0;
}

DWORD WINAPI OsNotificationThread(LPVOID) {
    SgThread* self = gState.thread;
    if (self == nullptr) return 0xFFFFFFFF;
    SgThreadEnter(self);
    int64_t now = SgGetTimeMicros(0);
    gState.lastHousekeeping = now;
    gState.nextHousekeeping = now + gState.period;
    OsNotificationHousekeeping(now);
    while (SgThreadShouldRun(self)) {
        now = SgGetTimeMicros(now);
        int64_t wait = gState.nextHousekeeping > now ? gState.nextHousekeeping - now : 0;
        int64_t left = 0;
        if (wait > 0) left = WaitForRegistryChange(self, wait);
        // A stop that ends the last wait of a period runs no housekeeping.
        if ((wait == 0 || left == 0) && SgThreadShouldRun(self)) {
            now = SgGetTimeMicros(now);
            OsNotificationHousekeeping(now);
            gState.lastHousekeeping = now;
            gState.nextHousekeeping = now + gState.period;
        }
    }
    SgThreadExit(self);
}

}  // namespace

bool InitOsNotifications() {
    SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_DEBUG, "Initialize OS notification management");
    gState.period = kHousekeepingPeriod;
    gState.thread = SgCreateThread(OsNotificationThread, nullptr, 0);
    if (gState.thread == nullptr) {
        SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_ERROR, "Unable to create the OS notification thread");
        ReleaseState();
        return false;
    }
    RegistryWatch& serviceKey = gState.watches[kServiceKeyWatch];
    serviceKey.name = kServiceName;
    serviceKey.apply = ApplyServiceKeySettings;
    serviceKey.changed = ServiceKeyChanged;
    // Allocation failures are logged by the pool.
    serviceKey.keyPath = SgCreateUnistrFromWide(kServiceKeyPath);
    gState.facilitiesName = SgCreateUnistrFromWide(kDebugFacilitiesValue);
    gState.levelName = SgCreateUnistrFromWide(kDebugLevelValue);
    if (serviceKey.keyPath == nullptr || gState.facilitiesName == nullptr || gState.levelName == nullptr) {
        ReleaseState();
        return false;
    }
    return true;
}

bool StartOsNotificationThread() {
    if (gState.thread == nullptr) return false;
    SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_DEBUG, "Starting OS notification thread...");
    return SgStartThread(gState.thread);
}

bool StopOsNotificationThread() {
    if (gState.thread == nullptr) return true;
    SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_DEBUG, "Stopping OS notification thread...");
    return SgStopThread(gState.thread);
}

void WaitOsNotificationThreadEnd() {
    if (gState.thread != nullptr) SgWaitThreadEnd(gState.thread);
}

bool ShutdownOsNotifications() {
    SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_DEBUG, "Shutdown OS notification management");
    ReleaseState();
    return true;
}

void ArmRegistryWatch(RegistryWatch* watch) {
    if (watch == nullptr || watch->keyPath == nullptr) return;
    if (watch->notifyKey == nullptr) {
        HKEY key = nullptr;
        LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, watch->keyPath->Buffer, 0, KEY_NOTIFY, &key);
        if (rc != ERROR_SUCCESS) {
            SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_DEBUG, "Error opening %s registry key, error = %d", watch->name,
                         static_cast<int>(rc));
            return;
        }
        SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_DEBUG, "Opened %s registry key", watch->name);
        watch->notifyKey = key;
    }
    // Made with the key; made again here if that failed, so housekeeping retries it.
    if (watch->event == nullptr) {
        watch->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (watch->event == nullptr) {
            SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_ERROR, "Error creating the event for %s registry key, error = %lu",
                         watch->name, static_cast<unsigned long>(GetLastError()));
            return;
        }
    }
    if (watch->armed) return;
    // The event stays signalled from the change that fired it until it is reset here.
    ResetEvent(watch->event);
    LONG rc = RegNotifyChangeKeyValue(watch->notifyKey, TRUE, kNotifyFilter, watch->event, TRUE);
    if (rc != ERROR_SUCCESS) {
        SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_DEBUG, "Error registering to monitor %s registry key, error = %d",
                     watch->name, static_cast<int>(rc));
        return;
    }
    watch->armed = true;
}

void ApplyServiceKeySettings() {
    RegistryWatch* watch = &gState.watches[kServiceKeyWatch];
    if (watch->keyPath == nullptr || gState.facilitiesName == nullptr || gState.levelName == nullptr) return;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, watch->keyPath->Buffer, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS) {
        SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_DEBUG, "%s registry key missing", kServiceName);
        // Housekeeping sets the watch up again once the key exists.
        CloseWatch(watch);
        return;
    }
    uint32_t facilities = 0, level = 0;
    if (ReadSetting(key, gState.facilitiesName, "DebugFacilities", &facilities) &&
        ReadSetting(key, gState.levelName, "DebugLevel", &level)) {
        uint32_t oldFacilities = SgDebugGetFacilities();
        if (facilities != oldFacilities || level != SgDebugGetLevel()) {
            // The change line passes whatever the old filter was: Notify added, Notice level.
            SgDebugSetFilter(oldFacilities | SG_FAC_NOTIFY, SG_LVL_NOTICE);
            SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_NOTICE, "Registry DebugFacilities changed to 0x%08x DebugLevel %d",
                         facilities, static_cast<int>(level));
            SgDebugSetFilter(facilities, level);
        }
    }
    RegCloseKey(key);
}
