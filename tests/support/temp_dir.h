// Directories of a test's own under the Windows temporary directory, and whole files in them.
#pragma once

#include <string>

namespace nvx_test {

// Creates a new, empty directory named TAG<process ID>-<n> in the temporary directory and returns
// its path; empty when none could be created. The name is one this call created: Wine reuses
// process IDs, and a directory an earlier test process left under the same name is passed over.
std::wstring NewTempDirectory(const wchar_t* tag);

// Removes a directory with everything in it, as far as it can.
void RemoveTree(const std::wstring& dir);

// The whole content of a file, read while others may have it open; "<missing>" when it cannot
// be opened.
std::string ReadFileBytes(const std::wstring& path);

// Replaces a file's content with exactly these bytes; false when that failed.
bool WriteFileBytes(const std::wstring& path, const std::string& data);

}  // namespace nvx_test
