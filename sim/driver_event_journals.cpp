// Event journals as the driver writes them (see driver_event_journals.h).
#include "sim/driver_event_journals.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "sim/driver_options.h"
#include "sim/simsupport.h"

using nvxsim::Json;
using nvxsim::MakeDirectories;
using nvxsim::PrintError;
using nvxsim::PrintLine;
using nvxsim::Utf8;
using nvxsim::Wide;

namespace nvxdriver {

namespace {

const char* const kJournalTypes[] = {
    "System",
    "DirectoryChanges",
    "FileBinaryChanges",
    "FileDataChanges",
    "FileOtherChanges",
    "FileBinaryReads",
    "FileDataReads",
    "FileOtherReads",
    "FileHashes",
    "FileProperties",
    "ProcessProperties",
    "Process",
    "Thread",
    "Image",
    "Registry",
    "Dns",
    "Http",
    "Ip",
    "Network",
    "Url",
};

// The store's directory as a Win32 path; false (with the reason) without a data directory.
bool JournalRoot(std::wstring* root, std::string* problem) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Kestro Vantor\\Paths", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        *problem = "no Paths key: the installation records no data directory";
        return false;
    }
    wchar_t data[512] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    LONG rc = RegQueryValueExW(key, L"NvxProgramDataDir", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || data[0] == 0) {
        *problem = "no NvxProgramDataDir value (error " + std::to_string(rc) + ")";
        return false;
    }
    std::wstring dir = data;
    if (dir.compare(0, 4, L"\\??\\") == 0) dir.erase(0, 4);
    *root = dir + L"\\Data\\Event Journals\\KestroNVX";
    return true;
}

// Journal bytes: "text" (records of words, compressible as real journals are), "random"
// (incompressible) or "zero". Deterministic for a seed and the offset the bytes go to.
void FillJournalBytes(const std::string& content, uint64_t seed, uint64_t offset, std::vector<uint8_t>* out) {
    static const char* const kWords[] = {
        "process", "thread", "image",  "registry", "key", "value", "file",    "read",       "write",
        "create",  "delete", "rename", "network",  "dns", "http",  "connect", "0x7ffe0000", "C:\\Windows\\System32",
        "pid",     "tid",    "ok",     "denied",   "url", "hash"};
    uint64_t state = (seed * 0x9E3779B97F4A7C15ull) ^ (offset + 0x632BE59BD9B4E019ull);
    auto next = [&state]() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1Dull;
    };
    if (content == "zero") {
        std::fill(out->begin(), out->end(), 0);
    } else if (content == "random") {
        for (auto& byte : *out) byte = static_cast<uint8_t>(next() >> 56);
    } else {
        size_t at = 0;
        while (at < out->size()) {
            uint64_t r = next();
            std::string word = kWords[r % (sizeof kWords / sizeof kWords[0])];
            word += (r >> 32) % 9 == 0 ? "\r\n" : " ";
            for (size_t i = 0; i < word.size() && at < out->size(); ++i) (*out)[at++] = static_cast<uint8_t>(word[i]);
        }
    }
}

void JournalAnswer(const char* event, const std::wstring& path, uint64_t size) {
    PrintLine(Json().Str("event", event).Str("path", Utf8(path)).Num("size", size).Text());
}

// Appends `bytes` bytes of the content to the open file, from its end.
bool AppendJournalBytes(HANDLE file, const std::string& content, uint64_t seed, uint64_t bytes, std::string* problem) {
    LARGE_INTEGER end{};
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(file, zero, &end, FILE_END)) {
        *problem = "cannot seek (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    uint64_t offset = static_cast<uint64_t>(end.QuadPart);
    std::vector<uint8_t> chunk;
    while (bytes > 0) {
        chunk.resize(static_cast<size_t>(std::min<uint64_t>(bytes, 0x100000)));
        FillJournalBytes(content, seed, offset, &chunk);
        DWORD written = 0;
        if (!WriteFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr) ||
            written != chunk.size()) {
            *problem = "write failed (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        offset += written;
        bytes -= written;
    }
    return true;
}

}  // namespace

// Makes the store's 20 directories (and their parents) as the driver does when it loads.
bool EnsureJournalStore(std::wstring* root, std::string* problem) {
    if (!JournalRoot(root, problem)) return false;
    MakeDirectories(*root);
    for (const char* type : kJournalTypes) {
        std::wstring dir = *root + L"\\" + Wide(type);
        if (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            *problem = "cannot create " + Utf8(dir) + " (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
    }
    return true;
}

int JournalCommand(const std::vector<std::string>& args) {
    Options o;
    std::string problem;
    if (args.empty()) return PrintError(2, "journal dirs|write|grow|shrink|remove");
    const std::string& action = args[0];
    if (!ParseOptions(args, 1, {"--size", "--content", "--seed", "--by", "--times", "--every-ms", "--to"}, {}, &o,
                      &problem)) {
        return PrintError(2, problem);
    }
    std::wstring root;
    if (action == "dirs" && o.words.empty()) {
        if (!EnsureJournalStore(&root, &problem)) return PrintError(1, problem);
        PrintLine(Json().Str("event", "store").Str("root", Utf8(root)).Num("directories", 20).Text());
        return 0;
    }
    if (o.words.empty() || o.words.size() > 2) return PrintError(2, "journal " + action + " DIR NAME");
    if (!JournalRoot(&root, &problem)) return PrintError(1, problem);
    std::wstring dir = root + L"\\" + Wide(o.words[0]);
    if (action == "remove") {
        if (o.words.size() == 2) {
            std::wstring path = dir + L"\\" + Wide(o.words[1]);
            if (!DeleteFileW(path.c_str())) {
                return PrintError(1, "cannot delete " + Utf8(path) + " (error " + std::to_string(GetLastError()) + ")");
            }
            JournalAnswer("removed", path, 0);
            return 0;
        }
        if (!RemoveDirectoryW(dir.c_str())) {
            return PrintError(1, "cannot remove " + Utf8(dir) + " (error " + std::to_string(GetLastError()) + ")");
        }
        JournalAnswer("removed", dir, 0);
        return 0;
    }
    if (o.words.size() != 2) return PrintError(2, "journal " + action + " DIR NAME");
    std::string content = o.values.count("--content") ? o.values["--content"] : "text";
    if (content != "text" && content != "random" && content != "zero") {
        return PrintError(2, "--content must be text, random or zero");
    }
    uint64_t size, seed, by, times, everyMs, to;
    if (!NumberOption(o, "--size", 4096, UINT64_MAX >> 1, &size, &problem) ||
        !NumberOption(o, "--seed", 1, UINT64_MAX, &seed, &problem) ||
        !NumberOption(o, "--by", 0, UINT64_MAX >> 1, &by, &problem) ||
        !NumberOption(o, "--times", 1, 1000000, &times, &problem) ||
        !NumberOption(o, "--every-ms", 1000, 3600000, &everyMs, &problem) ||
        !NumberOption(o, "--to", 0, UINT64_MAX >> 1, &to, &problem)) {
        return PrintError(2, problem);
    }
    if (action != "write" && action != "grow" && action != "shrink") {
        return PrintError(2, "unknown journal command " + action);
    }
    if (action == "grow" && !o.values.count("--by")) return PrintError(2, "journal grow needs --by N");
    if (action == "shrink" && !o.values.count("--to")) return PrintError(2, "journal shrink needs --to N");
    // The directory a journal goes to need not be one of the 20: any name below the store. The
    // others are made only when the driver loads (or by `journal dirs`).
    MakeDirectories(dir);
    std::wstring path = dir + L"\\" + Wide(o.words[1]);
    DWORD disposition = action == "write" ? CREATE_ALWAYS : OPEN_EXISTING;
    // Shared as the driver shares its journals: the service may list, read and delete meanwhile.
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return PrintError(1, "cannot open " + Utf8(path) + " (error " + std::to_string(GetLastError()) + ")");
    }
    bool ok = true;
    if (action == "write") {
        ok = AppendJournalBytes(file, content, seed, size, &problem);
    } else if (action == "grow") {
        for (uint64_t i = 0; ok && i < times; ++i) {
            if (i > 0) Sleep(static_cast<DWORD>(everyMs));
            ok = AppendJournalBytes(file, content, seed, by, &problem);
            LARGE_INTEGER now{};
            GetFileSizeEx(file, &now);
            if (ok && i + 1 < times) JournalAnswer("grown", path, static_cast<uint64_t>(now.QuadPart));
        }
    } else {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(to);
        ok = SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
        if (!ok) problem = "cannot cut (error " + std::to_string(GetLastError()) + ")";
    }
    LARGE_INTEGER final{};
    GetFileSizeEx(file, &final);
    CloseHandle(file);
    if (!ok) return PrintError(1, Utf8(path) + ": " + problem);
    JournalAnswer(action == "write"  ? "written"
                  : action == "grow" ? "grown"
                                     : "shrunk",
                  path, static_cast<uint64_t>(final.QuadPart));
    return 0;
}

}  // namespace nvxdriver
