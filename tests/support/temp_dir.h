// Directories of a test's own under the Windows temporary directory.
#pragma once

#include <string>

namespace nvx_test {

// Creates a new, empty directory named TAG<process ID>-<n> in the temporary directory and returns
// its path; empty when none could be created. The name is one this call created: Wine reuses
// process IDs, and a directory an earlier test process left under the same name is passed over.
std::wstring NewTempDirectory(const wchar_t* tag);

// Removes a directory with everything in it, as far as it can.
void RemoveTree(const std::wstring& dir);

}  // namespace nvx_test
