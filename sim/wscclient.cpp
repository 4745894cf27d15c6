// WSCClient.exe of the simulated machine: the program the service starts for the driver. It
// records how it was started and ends the way the host chose.
//
// Every start appends one JSON line to C:\nvxsim\wscclient\calls.jsonl:
//
//   {"pid":412,"command_line":"\"C:\\...\\WSCClient.exe\" -x /spid 1234:99","behaviour":"exit 5"}
//
// command_line is GetCommandLineW() exactly, as UTF-8. What it does next is read from
// C:\nvxsim\wscclient\behaviour (written by `nvxsim wsc ...`):
//
//   exit N    exit with code N (decimal or 0x hex, may be negative); also when there is no file
//   hang      never exit on its own: wait until the event nvxsim-wscclient-release is set
//             (`nvxsim wsc release`), then exit with code 0
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/simsupport.h"

namespace {

constexpr wchar_t kCallsFile[] = L"C:\\nvxsim\\wscclient\\calls.jsonl";
constexpr wchar_t kBehaviourFile[] = L"C:\\nvxsim\\wscclient\\behaviour";
constexpr wchar_t kReleaseEvent[] = L"nvxsim-wscclient-release";
constexpr int kFileRetries = 50;

// The behaviour file's first line; "exit 0" when there is none.
std::string ReadBehaviour() {
    HANDLE file = CreateFileW(kBehaviourFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "exit 0";
    char buffer[128] = {};
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer) - 1, &read, nullptr);
    CloseHandle(file);
    std::string text(buffer, read);
    const size_t end = text.find_first_of("\r\n");
    return end == std::string::npos ? text : text.substr(0, end);
}

// Appends one line; a host reader may hold the file for a moment, so sharing conflicts are retried.
bool AppendLine(const std::string& line) {
    for (int attempt = 0; attempt < kFileRetries; ++attempt) {
        HANDLE file = CreateFileW(kCallsFile, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() != ERROR_SHARING_VIOLATION) break;
            Sleep(20);
            continue;
        }
        DWORD written = 0;
        const BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        CloseHandle(file);
        return ok && written == line.size();
    }
    fprintf(stderr, "WSCClient: cannot record the call in the calls file (error %lu)\n",
            static_cast<unsigned long>(GetLastError()));
    return false;
}

}  // namespace

int main() {
    nvxsim::MakeDirectories(L"C:\\nvxsim\\wscclient");
    const std::string behaviour = ReadBehaviour();
    const std::string line = nvxsim::Json()
                                 .Num("pid", GetCurrentProcessId())
                                 .Str("command_line", nvxsim::Utf8(GetCommandLineW()))
                                 .Str("behaviour", behaviour)
                                 .Text() +
                             "\n";
    // Recorded before the client ends or waits, so the host sees a hanging client too.
    const bool recorded = AppendLine(line);

    if (behaviour == "hang") {
        HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent);
        if (release == nullptr) return 3;
        WaitForSingleObject(release, INFINITE);
        CloseHandle(release);
        return 0;
    }
    if (behaviour.rfind("exit ", 0) == 0) {
        char* end = nullptr;
        const long long code = strtoll(behaviour.c_str() + 5, &end, 0);
        if (end != behaviour.c_str() + 5 && *end == '\0') return static_cast<int>(static_cast<UINT>(code));
    }
    fprintf(stderr, "WSCClient: unknown behaviour \"%s\"\n", behaviour.c_str());
    return recorded ? 2 : 3;
}
