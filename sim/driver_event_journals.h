// Event journals as the driver writes them, into the store below the installation's data
// directory: the directory HKLM\SYSTEM\CurrentControlSet\Services\Kestro Vantor\Paths, value
// NvxProgramDataDir, names (an NT path such as \??\C:\ProgramData\Kestro\Vantor, since the
// driver and the service open it with the native file calls), and below it
// Data\Event Journals\KestroNVX with one directory per journal type, made when the driver loads.
//
//   nvxdriver journal dirs | write DIR NAME [--size N] [--content text|random|zero] [--seed S]
//                  | grow DIR NAME --by N [--times K] [--every-ms T] | shrink DIR NAME --to N
//                  | remove DIR [NAME]
//
// Guarantees: journal files are opened shared for reading, writing and deletion, as the driver
// shares them, so the service may list, read and delete them meanwhile. Contents are
// deterministic for a seed and the offset they go to. Every command prints JSON lines (the path
// and the size reached); `grow` prints one after each step. It needs no running driver.
#pragma once

#include <string>
#include <vector>

namespace nvxdriver {

// Makes the store's directories (and their parents) as the driver does when it loads; false
// with the reason when the installation records no data directory or one cannot be made.
bool EnsureJournalStore(std::wstring* root, std::string* problem);

// `nvxdriver journal ...` (args[0] is the action); its exit code: 0 done, 1 failed, 2 usage.
int JournalCommand(const std::vector<std::string>& args);

}  // namespace nvxdriver
