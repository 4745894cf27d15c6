// nvxregdel.exe: deletes a registry key of the simulated machine the way Windows does for a
// program that watches it.
//
//   nvxregdel "SERVICE NAME" KEY        KEY below HKEY_LOCAL_MACHINE, deleted with its subtree
//
// On Windows, deleting a key signals every change notification registered on it. Wine 8.0 signals
// only the notifications of its parent: a program waiting on the deleted key itself never hears of
// it. When the service runs, its threads are held while the key's subkeys, values and then the key
// go; removing the subkeys and values signals the service's notification on the key, so once the
// service runs again it finds that notification fired and the key gone, as after a deletion on
// Windows. Answers one line: DELETED held=N (threads held), or ERROR step=... error=N.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <vector>

namespace {

// The service's process ID; 0 when it does not run.
DWORD ServiceProcessId(const wchar_t* name) {
    DWORD pid = 0;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return 0;
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_STATUS);
    if (service != nullptr) {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                 &needed) &&
            status.dwCurrentState != SERVICE_STOPPED) {
            pid = status.dwProcessId;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return pid;
}

// Suspends every thread of the process; returns their handles for ResumeThreads.
std::vector<HANDLE> HoldThreads(DWORD pid) {
    std::vector<HANDLE> held;
    if (pid == 0) return held;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return held;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != pid) continue;
        HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
        if (thread == nullptr) continue;
        if (SuspendThread(thread) == static_cast<DWORD>(-1)) {
            CloseHandle(thread);
            continue;
        }
        held.push_back(thread);
    }
    CloseHandle(snapshot);
    return held;
}

void ResumeThreads(std::vector<HANDLE>& held) {
    for (HANDLE thread : held) {
        ResumeThread(thread);
        CloseHandle(thread);
    }
    held.clear();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        printf("ERROR step=usage error=87\n");
        return 2;
    }
    std::vector<HANDLE> held = HoldThreads(ServiceProcessId(argv[1]));
    size_t count = held.size();
    // Subkeys and values first (each removal notifies the key's watchers), then the empty key.
    HKEY key = nullptr;
    const char* step = "open";
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, argv[2], 0, KEY_ALL_ACCESS, &key);
    if (rc == ERROR_SUCCESS) {
        step = "tree";
        rc = RegDeleteTreeW(key, nullptr);
        RegCloseKey(key);
    }
    if (rc == ERROR_SUCCESS) {
        step = "key";
        rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, argv[2]);
    }
    ResumeThreads(held);
    if (rc != ERROR_SUCCESS) {
        printf("ERROR step=%s error=%ld held=%zu\n", step, static_cast<long>(rc), count);
        return 1;
    }
    printf("DELETED held=%zu\n", count);
    return 0;
}
