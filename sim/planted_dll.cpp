// A DLL planted under a system library's name (fltlib.dll, pdh.dll) in a directory the service must
// never take libraries from. Every load of it is recorded: DllMain appends one line, the DLL's path
// and the process's executable separated by a TAB, to C:\nvxsim\planted-loads.txt. It exports
// nothing the service resolves, so a service that took it would also fail to connect and sample.
#include <windows.h>

namespace {

constexpr wchar_t kRecordPath[] = L"C:\\nvxsim\\planted-loads.txt";

void RecordLoad(HMODULE self) {
    wchar_t dll[MAX_PATH] = {};
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(self, dll, MAX_PATH);
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    char line[4 * MAX_PATH + 8];
    int n = WideCharToMultiByte(CP_UTF8, 0, dll, -1, line, 2 * MAX_PATH, nullptr, nullptr);
    if (n <= 0) n = 1;
    line[n - 1] = '\t';
    int m = WideCharToMultiByte(CP_UTF8, 0, exe, -1, line + n, 2 * MAX_PATH, nullptr, nullptr);
    if (m <= 0) m = 1;
    line[n + m - 1] = '\r';
    line[n + m] = '\n';
    HANDLE file = CreateFileW(kRecordPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(n + m + 1), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

extern "C" {

// Tells a test which copy it has before it: this one is the planted DLL.
__declspec(dllexport) const char* WINAPI NvxSimPlanted(void) { return "planted"; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) RecordLoad(instance);
    return TRUE;
}

}  // extern "C"
