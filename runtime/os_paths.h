// OS path management: where the system and the product live, in kernel device-path
// form, worked out once at start; and the conversions between DOS, object-manager and
// device paths. The known directories are written once by InitOsPaths on the main
// thread and read without locks afterwards.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstdint>

// Set by start-up from the processor architecture before InitOsPaths runs.
extern bool SgIs64BitKernel;

// Known directories, device-path form except SystemDriveLetter ("C:"). Null until
// InitOsPaths and after ShutdownOsPaths; SystemDrive and SystemDriveLetter stay null
// when no drive letter leads to the Windows directory.
extern UNICODE_STRING* SystemRoot;
extern UNICODE_STRING* SystemDrive;
extern UNICODE_STRING* SystemDriveLetter;
extern UNICODE_STRING* ProgramFilesDir;
extern UNICODE_STRING* ProgramFilesX86Dir;
extern UNICODE_STRING* ProgramFilesVendorDir;
extern UNICODE_STRING* ProgramFilesVendorX86Dir;
extern UNICODE_STRING* ProgramFilesVendorNvx;
extern UNICODE_STRING* ProgramFilesVendorQav;
extern UNICODE_STRING* ProgramDataDir;
extern UNICODE_STRING* ProgramDataVendorDir;
extern UNICODE_STRING* ProgramDataNvxDir;
extern UNICODE_STRING* NvxLogsDir;
extern UNICODE_STRING* WSCClientFile;

bool InitOsPaths();
bool ShutdownOsPaths();

// Follows object-manager symbolic links until none is left (at most five substituting
// passes). A path beginning with a drive letter is taken below \DosDevices. None on
// failure or when a path does not fit in 259 characters.
UNICODE_STRING* ResolveDevicePath(const UNICODE_STRING* path);
// Replaces %SystemRoot%, %SystemDrive%, %ProgramData% and %ProgramFiles% by the known
// directories that exist; other text is copied. None when the result exceeds 259 chars.
UNICODE_STRING* ExpandPathPlaceholders(const UNICODE_STRING* path);
// A device path on the system volume in drive-letter form (C:\...); none for paths on
// other volumes or when the system drive is unknown.
UNICODE_STRING* SgGetUserPathFromKernelPathW(const UNICODE_STRING* kernelPath);
// UTF-8 (NUL-terminated) to a new counted wide string; none when the text is not
// strictly valid UTF-8 or too long.
UNICODE_STRING* SgCreateUnistrFromChar(const char* utf8);
