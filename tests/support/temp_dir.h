// Directories of a test's own under the Windows temporary directory, and the files in them.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <string>

namespace nvx_test {

// Creates a new, empty directory named TAG<process ID>-<n> in the temporary directory and returns
// its path; empty when none could be created. The name is one this call created: Wine reuses
// process IDs, and a directory an earlier test process left under the same name is passed over.
std::wstring NewTempDirectory(const wchar_t* tag);

// Removes a directory with everything in it, as far as it can.
void RemoveTree(const std::wstring& dir);

// A directory of NewTempDirectory's for the lifetime of the object (a test fixture's, say),
// removed with everything in it at the end. path() is empty when none could be created.
class TempDirectory {
public:
    explicit TempDirectory(const wchar_t* tag) : path_(NewTempDirectory(tag)) {}
    ~TempDirectory() {
        if (!path_.empty()) RemoveTree(path_);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::wstring& path() const { return path_; }

private:
    const std::wstring path_;
};

// A whole file, read with every kind of sharing; "<missing>" when it cannot be opened.
std::string ReadFileBytes(const std::wstring& path);

// Creates or replaces a file holding exactly `data`; false when that failed.
bool WriteFileBytes(const std::wstring& path, const std::string& data);

// The NT form (\??\ before it) of a Win32 path, as the counted string native calls take.
struct NtPath {
    explicit NtPath(const std::wstring& dosPath);
    NtPath(const NtPath&) = delete;  // `us` points into `text`
    NtPath& operator=(const NtPath&) = delete;

    std::wstring text;
    UNICODE_STRING us;
};

}  // namespace nvx_test
