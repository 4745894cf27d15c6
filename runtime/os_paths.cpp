#include "runtime/os_paths.h"

#include <cstring>

#include "runtime/debug_log.h"
#include "runtime/identity.h"
#include "runtime/memory.h"
#include "runtime/os_symbols.h"
#include "runtime/unistr.h"
#include "runtime/utf8.h"

bool SgIs64BitKernel = false;

UNICODE_STRING* SystemRoot = nullptr;
UNICODE_STRING* SystemDrive = nullptr;
UNICODE_STRING* SystemDriveLetter = nullptr;
UNICODE_STRING* ProgramFilesDir = nullptr;
UNICODE_STRING* ProgramFilesX86Dir = nullptr;
UNICODE_STRING* ProgramFilesVendorDir = nullptr;
UNICODE_STRING* ProgramFilesVendorX86Dir = nullptr;
UNICODE_STRING* ProgramFilesVendorNvx = nullptr;
UNICODE_STRING* ProgramFilesVendorQav = nullptr;
UNICODE_STRING* ProgramDataDir = nullptr;
UNICODE_STRING* ProgramDataVendorDir = nullptr;
UNICODE_STRING* ProgramDataNvxDir = nullptr;
UNICODE_STRING* NvxLogsDir = nullptr;
UNICODE_STRING* WSCClientFile = nullptr;

namespace {

constexpr NTSTATUS kStatusObjectTypeMismatch = static_cast<NTSTATUS>(0xC0000024);
constexpr ACCESS_MASK kSymbolicLinkQuery = 0x0001;
constexpr size_t kPathBufferBytes = 520;  // 259 characters and a terminator
constexpr size_t kPathBufferUnits = kPathBufferBytes / sizeof(wchar_t);
constexpr int kMaxSubstitutingPasses = 5;
constexpr DWORD kRegistryValueBytes = 1024;

const wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const wchar_t kProfileListKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// Component names, made at initialisation and freed at shutdown.
UNICODE_STRING* gSystemRootLink = nullptr;
UNICODE_STRING* gVendorName = nullptr;
UNICODE_STRING* gProductName = nullptr;
UNICODE_STRING* gQavName = nullptr;
UNICODE_STRING* gLogsName = nullptr;
UNICODE_STRING* gWscClientName = nullptr;

struct KnownDirectory {
    UNICODE_STRING** slot;
    const char* logFormat;
};

// Creation and log order.
const KnownDirectory kKnownDirectories[] = {
    {&SystemRoot, "SystemRoot:              %wZ"},
    {&SystemDrive, "SystemDrive:             %wZ"},
    {&SystemDriveLetter, "SystemDriveLetter:       %wZ"},
    {&ProgramFilesDir, "ProgramFilesDir:         %wZ"},
    {&ProgramFilesX86Dir, "ProgramFilesX86Dir:      %wZ"},
    {&ProgramFilesVendorDir, "ProgramFilesVendorDir:   %wZ"},
    {&ProgramFilesVendorX86Dir, "ProgramFilesVendorX86Dir:%wZ"},
    {&ProgramFilesVendorNvx, "ProgramFilesVendorNvx:   %wZ"},
    {&ProgramFilesVendorQav, "ProgramFilesVendorQav:   %wZ"},
    {&ProgramDataDir, "ProgramDataDir:          %wZ"},
    {&ProgramDataVendorDir, "ProgramDataVendorDir:    %wZ"},
    {&ProgramDataNvxDir, "ProgramDataNvxDir:       %wZ"},
    {&NvxLogsDir, "NvxLogsDir:              %wZ"},
    {&WSCClientFile, "WSCClientFile:           %wZ"},
};

void FreeSlot(UNICODE_STRING*& s) {
    if (s != nullptr) SgFreeUnistr(s);
    s = nullptr;
}

UNICODE_STRING* FromBuffer(const wchar_t* text, size_t units) {
    UNICODE_STRING view;
    view.Buffer = const_cast<wchar_t*>(text);
    view.Length = static_cast<USHORT>(units * sizeof(wchar_t));
    view.MaximumLength = view.Length;
    return SgDuplicateUnistr(&view);
}

enum class LinkResult { kSubstituted, kNotALink, kFailed };

// Tries `r` (r[0..*units)) as a symbolic link; on success replaces it by the target.
LinkResult TrySubstitute(wchar_t* r, size_t* units, bool atEnd) {
    UNICODE_STRING name;
    name.Buffer = r;
    name.Length = static_cast<USHORT>(*units * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE link = nullptr;
    NTSTATUS status = SgNtOpenSymbolicLinkObject(&link, kSymbolicLinkQuery, &attributes);
    if (status < 0) {
        if (status == kStatusObjectTypeMismatch || atEnd) return LinkResult::kNotALink;
        return LinkResult::kFailed;
    }
    wchar_t target[kPathBufferUnits];
    UNICODE_STRING targetString;
    targetString.Buffer = target;
    targetString.Length = 0;
    targetString.MaximumLength = kPathBufferBytes;
    ULONG returned = 0;
    status = SgNtQuerySymbolicLinkObject(link, &targetString, &returned);
    SgNtClose(link);
    // The target must leave room for the terminator of the working buffer.
    if (status < 0 || targetString.Length > kPathBufferBytes - sizeof(wchar_t)) return LinkResult::kFailed;
    *units = targetString.Length / sizeof(wchar_t);
    memcpy(r, target, targetString.Length);
    r[*units] = L'\0';
    return LinkResult::kSubstituted;
}

bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// Reads a directory value of any registry type and makes it a device path.
UNICODE_STRING* ResolveRegistryDirectory(HKEY key, const wchar_t* valueName) {
    BYTE data[kRegistryValueBytes] = {};
    DWORD size = kRegistryValueBytes - 2;
    if (RegQueryValueExW(key, valueName, nullptr, nullptr, data, &size) != ERROR_SUCCESS) return nullptr;
    auto* text = reinterpret_cast<wchar_t*>(data);
    size_t units = size / sizeof(wchar_t);
    text[units] = L'\0';
    units = wcslen(text);
    if (units == 0) return nullptr;
    UNICODE_STRING* raw = FromBuffer(text, units);
    if (raw == nullptr) return nullptr;
    UNICODE_STRING* expanded = ExpandPathPlaceholders(raw);
    SgFreeUnistr(raw);
    if (expanded == nullptr) return nullptr;
    UNICODE_STRING* resolved = ResolveDevicePath(expanded);
    SgFreeUnistr(expanded);
    return resolved;
}

bool MakeComponentNames() {
    gSystemRootLink = SgCreateUnistrFromWide(L"\\SystemRoot");
    gVendorName = SgCreateUnistrFromWide(kVendorDirName);
    gProductName = SgCreateUnistrFromWide(kProductDirName);
    gQavName = SgCreateUnistrFromWide(kAntiVirusDirName);
    gLogsName = SgCreateUnistrFromWide(kLogsDirName);
    gWscClientName = SgCreateUnistrFromWide(kWscClientFileName);
    return gSystemRootLink && gVendorName && gProductName && gQavName && gLogsName && gWscClientName;
}

bool FindSystemDrive() {
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        wchar_t text[3] = {letter, L':', L'\0'};
        UNICODE_STRING* drive = FromBuffer(text, 2);
        if (drive == nullptr) return false;
        UNICODE_STRING* device = ResolveDevicePath(drive);
        if (device != nullptr && device->Length <= SystemRoot->Length && SgUnistrHasPathPrefix(SystemRoot, device)) {
            SystemDrive = device;
            SystemDriveLetter = drive;
            return true;
        }
        if (device != nullptr) SgFreeUnistr(device);
        SgFreeUnistr(drive);
    }
    return true;  // no letter leads to the Windows directory: both stay unset
}

}  // namespace

UNICODE_STRING* ResolveDevicePath(const UNICODE_STRING* path) {
    if (path == nullptr || path->Buffer == nullptr || path->Length < sizeof(wchar_t) ||
        path->Length > path->MaximumLength) {
        return nullptr;
    }
    if (SgNtOpenSymbolicLinkObject == nullptr || SgNtQuerySymbolicLinkObject == nullptr || SgNtClose == nullptr) {
        return nullptr;
    }
    UNICODE_STRING* working = IsLetter(path->Buffer[0]) ? SgPrefixDosDevices(path) : SgDuplicateUnistr(path);
    if (working == nullptr) return nullptr;

    wchar_t r[kPathBufferUnits];
    for (int pass = 0; pass <= kMaxSubstitutingPasses; ++pass) {
        size_t units = 0;
        bool substituted = false;
        size_t wUnits = working->Length / sizeof(wchar_t);
        for (size_t i = 0; i < wUnits; ++i) {
            wchar_t c = working->Buffer[i];
            if (c == L'\\' && units > 0) {
                LinkResult result = TrySubstitute(r, &units, false);
                if (result == LinkResult::kFailed) {
                    SgFreeUnistr(working);
                    return nullptr;
                }
                substituted = substituted || result == LinkResult::kSubstituted;
            }
            if (units + 1 >= kPathBufferUnits) {
                SgFreeUnistr(working);
                return nullptr;
            }
            r[units++] = c;
            r[units] = L'\0';
        }
        if (units > 0) {
            LinkResult result = TrySubstitute(r, &units, true);
            if (result == LinkResult::kFailed) {
                SgFreeUnistr(working);
                return nullptr;
            }
            substituted = substituted || result == LinkResult::kSubstituted;
        }
        SgFreeUnistr(working);
        working = FromBuffer(r, units);
        if (working == nullptr || !substituted) return working;
    }
    // Six passes in a row substituted: a link loop or an absurdly deep chain.
    SgFreeUnistr(working);
    return nullptr;
}

UNICODE_STRING* ExpandPathPlaceholders(const UNICODE_STRING* path) {
    if (path == nullptr || path->Buffer == nullptr || path->Length < sizeof(wchar_t)) return nullptr;
    struct Placeholder {
        const wchar_t* text;
        UNICODE_STRING* const* directory;
    };
    const Placeholder placeholders[] = {{L"%SystemRoot%", &SystemRoot},
                                        {L"%SystemDrive%", &SystemDrive},
                                        {L"%ProgramData%", &ProgramDataDir},
                                        {L"%ProgramFiles%", &ProgramFilesDir}};
    wchar_t out[kPathBufferUnits];
    size_t used = 0;  // units
    size_t units = path->Length / sizeof(wchar_t);
    for (size_t i = 0; i < units;) {
        bool replaced = false;
        if (path->Buffer[i] == L'%') {
            for (const auto& p : placeholders) {
                size_t n = wcslen(p.text);
                const UNICODE_STRING* dir = *p.directory;
                if (dir == nullptr || i + n > units || memcmp(path->Buffer + i, p.text, n * sizeof(wchar_t)) != 0) {
                    continue;
                }
                size_t dirUnits = dir->Length / sizeof(wchar_t);
                if (used + dirUnits + 1 > kPathBufferUnits) return nullptr;
                memcpy(out + used, dir->Buffer, dir->Length);
                used += dirUnits;
                i += n;
                replaced = true;
                break;
            }
        }
        if (replaced) continue;
        if ((kPathBufferUnits - used) * sizeof(wchar_t) < 4) return nullptr;
        out[used++] = path->Buffer[i++];
    }
    return FromBuffer(out, used);
}

UNICODE_STRING* SgGetUserPathFromKernelPathW(const UNICODE_STRING* kernelPath) {
    if (kernelPath == nullptr || kernelPath->Buffer == nullptr || kernelPath->Length <= 2) return nullptr;
    if (SystemDrive == nullptr || SystemDriveLetter == nullptr || kernelPath->Length <= SystemDrive->Length) {
        return nullptr;
    }
    if (!SgUnistrHasPathPrefix(kernelPath, SystemDrive)) return nullptr;
    return SgAppendUnistrChars(SystemDriveLetter, kernelPath->Buffer + SystemDrive->Length / sizeof(wchar_t),
                               kernelPath->Length - SystemDrive->Length);
}

UNICODE_STRING* SgCreateUnistrFromChar(const char* utf8) {
    if (utf8 == nullptr) return nullptr;
    size_t count = strlen(utf8) + 1;
    if (count > 32767) return nullptr;
    uint32_t size = 0;
    if (CountUtf8AsUtf16(utf8, count, &size) != kUtf8Success || size > 65534) return nullptr;
    UNICODE_STRING* s = SgCreateUnistr(size);
    if (s == nullptr) return nullptr;
    uint32_t length = 0;
    if (ConvertUtf8ToUtf16(utf8, count, reinterpret_cast<uint16_t*>(s->Buffer), s->MaximumLength / 2, &length) !=
            kUtf8Success ||
        length >= 65535) {
        SgFreeUnistr(s);
        return nullptr;
    }
    s->Length = static_cast<USHORT>(size - 2);  // the NUL is not counted
    return s;
}

bool InitOsPaths() {
    SgDebugPrint(SG_FAC_PATH, SG_LVL_DEBUG, "Initialize OS path management");
    HKEY currentVersion = nullptr, profileList = nullptr;
    bool ok = MakeComponentNames();
    ok = ok &&
         RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCurrentVersionKey, 0, KEY_QUERY_VALUE, &currentVersion) == ERROR_SUCCESS;
    ok = ok && RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProfileListKey, 0, KEY_QUERY_VALUE, &profileList) == ERROR_SUCCESS;
    if (ok) {
        UNICODE_STRING* root = ResolveDevicePath(gSystemRootLink);
        if (root != nullptr && root->Length >= 2 && root->Buffer[root->Length / 2 - 1] == L'\\') {
            root->Length -= 2;
            root->Buffer[root->Length / 2] = L'\0';
        }
        SystemRoot = root;
        ok = SystemRoot != nullptr && FindSystemDrive();
    }
    ok = ok && (ProgramFilesDir = ResolveRegistryDirectory(currentVersion, L"ProgramFilesDir")) != nullptr;
    ok = ok && (ProgramFilesX86Dir = ResolveRegistryDirectory(
                    currentVersion, SgIs64BitKernel ? L"ProgramFilesDir (x86)" : L"ProgramFilesDir")) != nullptr;
    ok = ok && (ProgramDataDir = ResolveRegistryDirectory(profileList, L"ProgramData")) != nullptr;
    ok = ok && (ProgramFilesVendorDir = SgJoinUnistr(ProgramFilesDir, gVendorName)) != nullptr;
    ok = ok && (ProgramFilesVendorX86Dir = SgJoinUnistr(ProgramFilesX86Dir, gVendorName)) != nullptr;
    ok = ok && (ProgramFilesVendorNvx = SgJoinUnistr(ProgramFilesVendorDir, gProductName)) != nullptr;
    ok = ok && (ProgramFilesVendorQav = SgJoinUnistr(ProgramFilesVendorX86Dir, gQavName)) != nullptr;
    ok = ok && (ProgramDataVendorDir = SgJoinUnistr(ProgramDataDir, gVendorName)) != nullptr;
    ok = ok && (ProgramDataNvxDir = SgJoinUnistr(ProgramDataVendorDir, gProductName)) != nullptr;
    ok = ok && (NvxLogsDir = SgJoinUnistr(ProgramDataNvxDir, gLogsName)) != nullptr;
    ok = ok && (WSCClientFile = SgJoinUnistr(ProgramFilesVendorQav, gWscClientName)) != nullptr;
    if (ok) {
        for (const auto& d : kKnownDirectories) SgDebugPrint(SG_FAC_FILE, SG_LVL_DEBUG, d.logFormat, *d.slot);
    }
    if (currentVersion != nullptr) RegCloseKey(currentVersion);
    if (profileList != nullptr) RegCloseKey(profileList);
    if (!ok) ShutdownOsPaths();
    return ok;
}

bool ShutdownOsPaths() {
    SgDebugPrint(SG_FAC_PATH, SG_LVL_DEBUG, "Shutdown OS path management");
    for (const auto& d : kKnownDirectories) FreeSlot(*d.slot);
    FreeSlot(gSystemRootLink);
    FreeSlot(gVendorName);
    FreeSlot(gProductName);
    FreeSlot(gQavName);
    FreeSlot(gLogsName);
    FreeSlot(gWscClientName);
    return true;
}
