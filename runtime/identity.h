// The product's identity as the SCM, the registry, the file system and users see it: one
// definition of every name, key path, version string and file name the service uses, so a
// rename or a new version is a change of this file only. Every key path is below
// HKEY_LOCAL_MACHINE.
#pragma once

// Literal building blocks, so the narrow and wide spellings below cannot drift apart.
#define NVX_SERVICE_NAME "Kestro Vantor Service"
#define NVX_FILE_VERSION "2.1.2.0"
#define NVX_SERVICES_KEY L"SYSTEM\\CurrentControlSet\\Services\\"

// The service as the SCM and the command line name it.
constexpr const char kServiceName[] = NVX_SERVICE_NAME;
constexpr const char kExecutableName[] = "NVXService.exe";
constexpr const char kCopyrightLine[] = "Copyright (C) Kestro. All rights reserved.";

// Versions: the product version answers the driver's "Version" command; the file version is
// logged at start-up and stored in the service key's "Version" value.
constexpr const char kProductVersion[] = "2.1.2";
constexpr const char kFileVersionText[] = NVX_FILE_VERSION;
constexpr const wchar_t kFileVersionTextW[] = L"" NVX_FILE_VERSION;
constexpr const char kVersionSuffix[] = "2802564";

// Registry keys.
constexpr const wchar_t kServiceKeyPath[] = NVX_SERVICES_KEY L"" NVX_SERVICE_NAME;
constexpr const wchar_t kParametersKeyPath[] = NVX_SERVICES_KEY L"" NVX_SERVICE_NAME L"\\Parameters";
// The driver's own service key, and its Paths subkey naming the driver's data directory.
constexpr const wchar_t kDriverKeyPath[] = NVX_SERVICES_KEY L"Kestro Vantor";
constexpr const wchar_t kDriverPathsKeyPath[] = NVX_SERVICES_KEY L"Kestro Vantor\\Paths";
// The early-launch anti-malware driver's service key.
constexpr const wchar_t kElamKeyPath[] = NVX_SERVICES_KEY L"Kestro ELAM";

// Registry values.
constexpr const wchar_t kDebugLevelValue[] = L"DebugLevel";
constexpr const wchar_t kDebugFacilitiesValue[] = L"DebugFacilities";
constexpr const wchar_t kVersionValue[] = L"Version";
constexpr const wchar_t kDataDirValue[] = L"NvxProgramDataDir";

// Directory and file names.
constexpr const wchar_t kVendorDirName[] = L"Kestro";
// The product as it names its own files outside its directories (the fallback text log).
constexpr const wchar_t kProductName[] = L"Kestro Vantor";
constexpr const wchar_t kProductDirName[] = L"Vantor";
constexpr const wchar_t kAntiVirusDirName[] = L"Kestro Anti-Virus";
constexpr const wchar_t kLogsDirName[] = L"Logs";
constexpr const wchar_t kWscClientFileName[] = L"WSCClient.exe";
constexpr const wchar_t kDriverFileBelowRoot[] = L"\\system32\\DRIVERS\\KestroNVX.sys";
constexpr const wchar_t kJournalsBelowDataDir[] = L"\\Data\\Event Journals";
constexpr const wchar_t kJournalRootName[] = L"\\KestroNVX";
constexpr const wchar_t kPerfLogFileName[] = L"NvxPerformance.csv";
constexpr int kDebugLogFileCount = 5;
// The debug log and its copies, newest first: rotation shifts each name to the next.
constexpr const wchar_t* const kDebugLogFileNames[kDebugLogFileCount] = {L"nvxs.log", L"nvxs1.log", L"nvxs2.log",
                                                                         L"nvxs3.log", L"nvxs4.log"};

#undef NVX_SERVICES_KEY
#undef NVX_SERVICE_NAME
#undef NVX_FILE_VERSION
