// OS notification management: the OS notification thread watches registry keys with the
// registry's change notifications and reacts when one fires. The service's own key carries
// the debug-log settings, so a change to DebugFacilities or DebugLevel takes effect at once.
// A watch whose key went away is set up again by the thread's once-a-minute housekeeping.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstdint>

// One watched key. Owned by OS notification management; only the OS notification thread
// touches it while that thread runs.
struct RegistryWatch {
    const char* name;                       // the key as log lines name it
    UNICODE_STRING* keyPath;                // below HKEY_LOCAL_MACHINE
    HKEY notifyKey;                         // opened with KEY_NOTIFY while the watch exists, or null
    HANDLE event;                           // manual reset, signalled by the system on a change, or null
    bool armed;                             // a notification is registered and has not fired since
    void (*apply)();                        // reads the key once the watch is (re)armed by housekeeping
    void (*changed)(RegistryWatch* watch);  // runs when the watch's event fired
};

// Builds the thread object (not started), the key paths and the value names. Opens no key.
// False (with everything freed) on failure.
bool InitOsNotifications();
bool StartOsNotificationThread();
// Asks the thread to end and wakes it; does not wait (WaitOsNotificationThreadEnd does).
bool StopOsNotificationThread();
void WaitOsNotificationThreadEnd();
// Destroys the thread object and releases every watch. Only after the thread has ended.
bool ShutdownOsNotifications();

// Opens the watch's key (with its event) if needed and registers a change notification if
// none is pending; whatever fails is logged and retried by the next housekeeping.
void ArmRegistryWatch(RegistryWatch* watch);
// Reads DebugFacilities and DebugLevel from the service key and applies them to the debug
// log when they differ from its filter. A missing key tears the service-key watch down.
void ApplyServiceKeySettings();
