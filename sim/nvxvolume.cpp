// Gives the simulated machine's system volume the object-manager shape of a real
// installation: \??\HarddiskVolume1 stands for the volume (a lookup of it as a link
// answers "type mismatch", as a device does), C: points to it, and \SystemRoot points
// to its Windows directory. Objects live in the wineserver, so this runs at every
// machine start. Usage: nvxvolume [setup|show NAME...]
//
// On Windows a lookup of any name below a volume device answers "type mismatch"; the
// wineserver answers "not found" below an object directory. Mirroring the volume's
// top-level directories as object directories gives the same answer for the paths a
// machine's registry holds (C:\Program Files, C:\ProgramData, C:\windows\...).
#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>
#include <string>

extern "C" {
NTSTATUS NTAPI NtCreateDirectoryObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
NTSTATUS NTAPI NtCreateSymbolicLinkObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PUNICODE_STRING);
NTSTATUS NTAPI NtOpenSymbolicLinkObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
NTSTATUS NTAPI NtQuerySymbolicLinkObject(HANDLE, PUNICODE_STRING, PULONG);
NTSTATUS NTAPI NtMakeTemporaryObject(HANDLE);
}

namespace {

constexpr ULONG kObjPermanent = 0x10;
constexpr ACCESS_MASK kLinkAllAccess = 0xF0001;
constexpr ACCESS_MASK kDirectoryAllAccess = 0xF000F;

UNICODE_STRING View(const std::wstring& s) {
    UNICODE_STRING u;
    u.Buffer = const_cast<wchar_t*>(s.c_str());
    u.Length = static_cast<USHORT>(s.size() * sizeof(wchar_t));
    u.MaximumLength = u.Length;
    return u;
}

// Removes an existing permanent link so it can be created anew with another target.
void RemoveLink(const std::wstring& name) {
    UNICODE_STRING u = View(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE h = nullptr;
    if (NtOpenSymbolicLinkObject(&h, kLinkAllAccess, &oa) >= 0) {
        NtMakeTemporaryObject(h);
        CloseHandle(h);
    }
}

bool CreateLink(const std::wstring& name, const std::wstring& target) {
    RemoveLink(name);
    UNICODE_STRING u = View(name), t = View(target);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE | kObjPermanent, nullptr, nullptr);
    HANDLE h = nullptr;
    NTSTATUS status = NtCreateSymbolicLinkObject(&h, kLinkAllAccess, &oa, &t);
    if (status < 0) {
        fwprintf(stderr, L"nvxvolume: cannot create link %ls -> %ls: 0x%08lX\n", name.c_str(), target.c_str(),
                 static_cast<unsigned long>(status));
        return false;
    }
    CloseHandle(h);
    return true;
}

bool CreateDirectory(const std::wstring& name) {
    UNICODE_STRING u = View(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE | OBJ_OPENIF | kObjPermanent, nullptr, nullptr);
    HANDLE h = nullptr;
    NTSTATUS status = NtCreateDirectoryObject(&h, kDirectoryAllAccess, &oa);
    if (status < 0) {
        fwprintf(stderr, L"nvxvolume: cannot create directory %ls: 0x%08lX\n", name.c_str(),
                 static_cast<unsigned long>(status));
        return false;
    }
    CloseHandle(h);
    return true;
}

void Show(const std::wstring& name) {
    UNICODE_STRING u = View(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE h = nullptr;
    NTSTATUS status = NtOpenSymbolicLinkObject(&h, 1, &oa);
    if (status < 0) {
        wprintf(L"%ls: not a link (0x%08lX)\n", name.c_str(), static_cast<unsigned long>(status));
        return;
    }
    wchar_t buffer[520];
    UNICODE_STRING target{0, sizeof(buffer), buffer};
    ULONG n = 0;
    status = NtQuerySymbolicLinkObject(h, &target, &n);
    CloseHandle(h);
    wprintf(L"%ls -> %.*ls\n", name.c_str(), static_cast<int>(target.Length / 2), buffer);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring command = argc > 1 ? argv[1] : L"setup";
    if (command == L"show") {
        for (int i = 2; i < argc; ++i) Show(argv[i]);
        return 0;
    }
    if (command != L"setup") {
        fwprintf(stderr, L"usage: nvxvolume [setup|show NAME...]\n");
        return 2;
    }
    bool ok = CreateDirectory(L"\\??\\HarddiskVolume1");
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(L"C:\\*", &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"." && name != L"..") {
                ok = CreateDirectory(L"\\??\\HarddiskVolume1\\" + name) && ok;
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    ok = CreateLink(L"\\??\\C:", L"\\??\\HarddiskVolume1") && ok;
    ok = CreateLink(L"\\SystemRoot", L"\\??\\HarddiskVolume1\\windows") && ok;
    wchar_t device[MAX_PATH] = {};
    if (QueryDosDeviceW(L"C:", device, MAX_PATH) == 0) ok = false;
    wprintf(L"system volume: C: = %ls\n", device);
    return ok ? 0 : 1;
}
