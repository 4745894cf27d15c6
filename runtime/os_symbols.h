// Process-wide slots for the OS functions the service resolves at run time. Written once
// by SgInitOsSymbols during start-up, read without locks afterwards, never cleared.
//
// The service links none of these functions directly: the native NT calls, the Service
// Control Manager calls, the event-trace calls and the CNG calls are looked up in
// ntdll, kernel32, advapi32, sechost and bcrypt when the process starts.
//
// Naming: for every OS function F there is
//   - a pointer type PFN_F with F's own signature (calling convention included), and
//   - a slot Sg + F holding its address, e.g. SgNtCreateFile, SgSetServiceStatus,
//     SgBCryptGenRandom.
// Callers write SgNtCreateFile(...) exactly where they would have written NtCreateFile(...).
//
// Documented Win32 functions take their type from the SDK declaration (decltype), so the
// slot can never drift from the header the rest of the code compiles against. The native
// functions are declared here, as ntdll defines them, because the SDK headers declare
// only some of them (and differently between toolchains).
//
// Every slot is required except SgRegisterServiceCtrlHandlerExA,
// SgRegisterServiceCtrlHandlerExW and SgQueryServiceStatusEx: those may be null and a
// caller tests them before use. After SgShutdownOsSymbols the slots keep their values;
// the ntdll and kernel32 ones stay callable (the debug log's final flush relies on this),
// the ones of modules the service loaded itself must not be called any more.
#pragma once

#include <windows.h>

#include <bcrypt.h>
#include <evntrace.h>
#include <winsvc.h>
#include <winternl.h>

struct in6_addr;

// The information classes of NtQueryVirtualMemory; user-mode SDK headers do not declare
// the enumeration. Only the value the service may use is named.
enum SG_MEMORY_INFORMATION_CLASS {
    SgMemoryBasicInformation = 0,
};

// True when every module was obtained and every required slot is set. On false the
// modules loaded so far are released again and the start-up must fail. Call once,
// before any other thread exists.
bool SgInitOsSymbols();
// Releases the modules the service loaded itself (never those it merely found already
// loaded). Function slots are left as they are. Returns true.
bool SgShutdownOsSymbols();

// ---- ntdll ----------------------------------------------------------------------------
typedef NTSTATUS(NTAPI* PFN_NtClose)(HANDLE Handle);
typedef NTSTATUS(NTAPI* PFN_NtCreateFile)(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                          PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                          ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
typedef NTSTATUS(NTAPI* PFN_NtOpenFile)(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                        POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                        ULONG ShareAccess, ULONG OpenOptions);
typedef NTSTATUS(NTAPI* PFN_NtReadFile)(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                        PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                        PLARGE_INTEGER ByteOffset, PULONG Key);
typedef NTSTATUS(NTAPI* PFN_NtWriteFile)(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                         PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                         PLARGE_INTEGER ByteOffset, PULONG Key);
typedef NTSTATUS(NTAPI* PFN_NtQueryInformationFile)(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                    PVOID FileInformation, ULONG Length,
                                                    FILE_INFORMATION_CLASS FileInformationClass);
typedef NTSTATUS(NTAPI* PFN_NtQueryDirectoryFile)(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                                  PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                                  PVOID FileInformation, ULONG Length,
                                                  FILE_INFORMATION_CLASS FileInformationClass,
                                                  BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                                                  BOOLEAN RestartScan);
typedef NTSTATUS(NTAPI* PFN_NtSetInformationFile)(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                  PVOID FileInformation, ULONG Length,
                                                  FILE_INFORMATION_CLASS FileInformationClass);
typedef NTSTATUS(NTAPI* PFN_NtFlushBuffersFile)(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);
typedef NTSTATUS(NTAPI* PFN_NtQueryObject)(HANDLE Handle, OBJECT_INFORMATION_CLASS ObjectInformationClass,
                                           PVOID ObjectInformation, ULONG ObjectInformationLength, PULONG ReturnLength);
typedef NTSTATUS(NTAPI* PFN_NtOpenDirectoryObject)(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                                                   POBJECT_ATTRIBUTES ObjectAttributes);
typedef NTSTATUS(NTAPI* PFN_NtOpenSymbolicLinkObject)(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                                      POBJECT_ATTRIBUTES ObjectAttributes);
typedef NTSTATUS(NTAPI* PFN_NtQuerySymbolicLinkObject)(HANDLE LinkHandle, PUNICODE_STRING LinkTarget,
                                                       PULONG ReturnedLength);
typedef NTSTATUS(NTAPI* PFN_NtQuerySystemInformation)(SYSTEM_INFORMATION_CLASS SystemInformationClass,
                                                      PVOID SystemInformation, ULONG SystemInformationLength,
                                                      PULONG ReturnLength);
typedef NTSTATUS(NTAPI* PFN_NtOpenProcess)(PHANDLE ProcessHandle, ACCESS_MASK DesiredAccess,
                                           POBJECT_ATTRIBUTES ObjectAttributes, PCLIENT_ID ClientId);
typedef NTSTATUS(NTAPI* PFN_NtQueryVirtualMemory)(HANDLE ProcessHandle, PVOID BaseAddress,
                                                  SG_MEMORY_INFORMATION_CLASS MemoryInformationClass,
                                                  PVOID MemoryInformation, SIZE_T MemoryInformationLength,
                                                  PSIZE_T ReturnLength);
typedef NTSTATUS(NTAPI* PFN_NtReadVirtualMemory)(HANDLE ProcessHandle, PVOID BaseAddress, PVOID Buffer,
                                                 SIZE_T BufferSize, PSIZE_T NumberOfBytesRead);
typedef NTSTATUS(NTAPI* PFN_NtWriteVirtualMemory)(HANDLE ProcessHandle, PVOID BaseAddress, PVOID Buffer,
                                                  SIZE_T BufferSize, PSIZE_T NumberOfBytesWritten);
typedef NTSTATUS(NTAPI* PFN_NtQueryInformationProcess)(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                                       PVOID ProcessInformation, ULONG ProcessInformationLength,
                                                       PULONG ReturnLength);
typedef NTSTATUS(NTAPI* PFN_NtOpenProcessToken)(HANDLE ProcessHandle, ACCESS_MASK DesiredAccess, PHANDLE TokenHandle);
typedef NTSTATUS(NTAPI* PFN_NtQueryInformationToken)(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                                     PVOID TokenInformation, ULONG TokenInformationLength,
                                                     PULONG ReturnLength);
typedef NTSTATUS(NTAPI* PFN_NtOpenThread)(PHANDLE ThreadHandle, ACCESS_MASK DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes, PCLIENT_ID ClientId);
typedef NTSTATUS(NTAPI* PFN_NtQueryInformationThread)(HANDLE ThreadHandle, THREADINFOCLASS ThreadInformationClass,
                                                      PVOID ThreadInformation, ULONG ThreadInformationLength,
                                                      PULONG ReturnLength);
typedef NTSTATUS(NTAPI* PFN_RtlIpv6StringToAddressExA)(PCSTR AddressString, struct in6_addr* Address, PULONG ScopeId,
                                                       PUSHORT Port);

extern PFN_NtClose SgNtClose;
extern PFN_NtCreateFile SgNtCreateFile;
extern PFN_NtOpenFile SgNtOpenFile;
extern PFN_NtReadFile SgNtReadFile;
extern PFN_NtWriteFile SgNtWriteFile;
extern PFN_NtQueryInformationFile SgNtQueryInformationFile;
extern PFN_NtQueryDirectoryFile SgNtQueryDirectoryFile;
extern PFN_NtSetInformationFile SgNtSetInformationFile;
extern PFN_NtFlushBuffersFile SgNtFlushBuffersFile;
extern PFN_NtQueryObject SgNtQueryObject;
extern PFN_NtOpenDirectoryObject SgNtOpenDirectoryObject;
extern PFN_NtOpenSymbolicLinkObject SgNtOpenSymbolicLinkObject;
extern PFN_NtQuerySymbolicLinkObject SgNtQuerySymbolicLinkObject;
extern PFN_NtQuerySystemInformation SgNtQuerySystemInformation;
extern PFN_NtOpenProcess SgNtOpenProcess;
extern PFN_NtQueryVirtualMemory SgNtQueryVirtualMemory;
extern PFN_NtReadVirtualMemory SgNtReadVirtualMemory;
extern PFN_NtWriteVirtualMemory SgNtWriteVirtualMemory;
extern PFN_NtQueryInformationProcess SgNtQueryInformationProcess;
extern PFN_NtOpenProcessToken SgNtOpenProcessToken;
extern PFN_NtQueryInformationToken SgNtQueryInformationToken;
extern PFN_NtOpenThread SgNtOpenThread;
extern PFN_NtQueryInformationThread SgNtQueryInformationThread;
extern PFN_RtlIpv6StringToAddressExA SgRtlIpv6StringToAddressExA;

// ---- kernel32 -------------------------------------------------------------------------
using PFN_SetConsoleCtrlHandler = decltype(&::SetConsoleCtrlHandler);

extern PFN_SetConsoleCtrlHandler SgSetConsoleCtrlHandler;

// ---- advapi32: service control --------------------------------------------------------
using PFN_StartServiceCtrlDispatcherA = decltype(&::StartServiceCtrlDispatcherA);
using PFN_StartServiceCtrlDispatcherW = decltype(&::StartServiceCtrlDispatcherW);
using PFN_RegisterServiceCtrlHandlerA = decltype(&::RegisterServiceCtrlHandlerA);
using PFN_RegisterServiceCtrlHandlerW = decltype(&::RegisterServiceCtrlHandlerW);
using PFN_RegisterServiceCtrlHandlerExA = decltype(&::RegisterServiceCtrlHandlerExA);
using PFN_RegisterServiceCtrlHandlerExW = decltype(&::RegisterServiceCtrlHandlerExW);
using PFN_SetServiceStatus = decltype(&::SetServiceStatus);
using PFN_QueryServiceStatus = decltype(&::QueryServiceStatus);
using PFN_QueryServiceStatusEx = decltype(&::QueryServiceStatusEx);
using PFN_OpenSCManagerA = decltype(&::OpenSCManagerA);
using PFN_OpenSCManagerW = decltype(&::OpenSCManagerW);
using PFN_OpenServiceA = decltype(&::OpenServiceA);
using PFN_OpenServiceW = decltype(&::OpenServiceW);
using PFN_QueryServiceConfigA = decltype(&::QueryServiceConfigA);
using PFN_QueryServiceConfigW = decltype(&::QueryServiceConfigW);
using PFN_CloseServiceHandle = decltype(&::CloseServiceHandle);
using PFN_LookupAccountSidA = decltype(&::LookupAccountSidA);
using PFN_LookupAccountSidW = decltype(&::LookupAccountSidW);

extern PFN_StartServiceCtrlDispatcherA SgStartServiceCtrlDispatcherA;
extern PFN_StartServiceCtrlDispatcherW SgStartServiceCtrlDispatcherW;
extern PFN_RegisterServiceCtrlHandlerA SgRegisterServiceCtrlHandlerA;
extern PFN_RegisterServiceCtrlHandlerW SgRegisterServiceCtrlHandlerW;
extern PFN_RegisterServiceCtrlHandlerExA SgRegisterServiceCtrlHandlerExA;  // may be null
extern PFN_RegisterServiceCtrlHandlerExW SgRegisterServiceCtrlHandlerExW;  // may be null
extern PFN_SetServiceStatus SgSetServiceStatus;
extern PFN_QueryServiceStatus SgQueryServiceStatus;
extern PFN_QueryServiceStatusEx SgQueryServiceStatusEx;  // may be null
extern PFN_OpenSCManagerA SgOpenSCManagerA;
extern PFN_OpenSCManagerW SgOpenSCManagerW;
extern PFN_OpenServiceA SgOpenServiceA;
extern PFN_OpenServiceW SgOpenServiceW;
extern PFN_QueryServiceConfigA SgQueryServiceConfigA;
extern PFN_QueryServiceConfigW SgQueryServiceConfigW;
extern PFN_CloseServiceHandle SgCloseServiceHandle;
extern PFN_LookupAccountSidA SgLookupAccountSidA;
extern PFN_LookupAccountSidW SgLookupAccountSidW;

// ---- event tracing: advapi32, or sechost when advapi32 lacks StartTraceW ---------------
// The nine slots always come from one module together.
using PFN_StartTraceW = decltype(&::StartTraceW);
using PFN_StartTraceA = decltype(&::StartTraceA);
using PFN_ControlTraceW = decltype(&::ControlTraceW);
using PFN_ControlTraceA = decltype(&::ControlTraceA);
using PFN_OpenTraceW = decltype(&::OpenTraceW);
using PFN_OpenTraceA = decltype(&::OpenTraceA);
using PFN_EnableTraceEx = decltype(&::EnableTraceEx);
using PFN_ProcessTrace = decltype(&::ProcessTrace);
using PFN_CloseTrace = decltype(&::CloseTrace);

extern PFN_StartTraceW SgStartTraceW;
extern PFN_StartTraceA SgStartTraceA;
extern PFN_ControlTraceW SgControlTraceW;
extern PFN_ControlTraceA SgControlTraceA;
extern PFN_OpenTraceW SgOpenTraceW;
extern PFN_OpenTraceA SgOpenTraceA;
extern PFN_EnableTraceEx SgEnableTraceEx;
extern PFN_ProcessTrace SgProcessTrace;
extern PFN_CloseTrace SgCloseTrace;

// ---- bcrypt ---------------------------------------------------------------------------
using PFN_BCryptOpenAlgorithmProvider = decltype(&::BCryptOpenAlgorithmProvider);
using PFN_BCryptEnumAlgorithms = decltype(&::BCryptEnumAlgorithms);
using PFN_BCryptEnumProviders = decltype(&::BCryptEnumProviders);
using PFN_BCryptGetProperty = decltype(&::BCryptGetProperty);
using PFN_BCryptSetProperty = decltype(&::BCryptSetProperty);
using PFN_BCryptCloseAlgorithmProvider = decltype(&::BCryptCloseAlgorithmProvider);
using PFN_BCryptFreeBuffer = decltype(&::BCryptFreeBuffer);
using PFN_BCryptGenerateSymmetricKey = decltype(&::BCryptGenerateSymmetricKey);
using PFN_BCryptGenerateKeyPair = decltype(&::BCryptGenerateKeyPair);
using PFN_BCryptEncrypt = decltype(&::BCryptEncrypt);
using PFN_BCryptDecrypt = decltype(&::BCryptDecrypt);
using PFN_BCryptExportKey = decltype(&::BCryptExportKey);
using PFN_BCryptImportKey = decltype(&::BCryptImportKey);
using PFN_BCryptImportKeyPair = decltype(&::BCryptImportKeyPair);
using PFN_BCryptDuplicateKey = decltype(&::BCryptDuplicateKey);
using PFN_BCryptFinalizeKeyPair = decltype(&::BCryptFinalizeKeyPair);
using PFN_BCryptDestroyKey = decltype(&::BCryptDestroyKey);
using PFN_BCryptDestroySecret = decltype(&::BCryptDestroySecret);
using PFN_BCryptSignHash = decltype(&::BCryptSignHash);
using PFN_BCryptVerifySignature = decltype(&::BCryptVerifySignature);
using PFN_BCryptSecretAgreement = decltype(&::BCryptSecretAgreement);
using PFN_BCryptDeriveKey = decltype(&::BCryptDeriveKey);
using PFN_BCryptCreateHash = decltype(&::BCryptCreateHash);
using PFN_BCryptHashData = decltype(&::BCryptHashData);
using PFN_BCryptFinishHash = decltype(&::BCryptFinishHash);
using PFN_BCryptDuplicateHash = decltype(&::BCryptDuplicateHash);
using PFN_BCryptDestroyHash = decltype(&::BCryptDestroyHash);
using PFN_BCryptGenRandom = decltype(&::BCryptGenRandom);
using PFN_BCryptDeriveKeyCapi = decltype(&::BCryptDeriveKeyCapi);
using PFN_BCryptDeriveKeyPBKDF2 = decltype(&::BCryptDeriveKeyPBKDF2);
using PFN_BCryptRegisterConfigChangeNotify = decltype(&::BCryptRegisterConfigChangeNotify);
using PFN_BCryptUnregisterConfigChangeNotify = decltype(&::BCryptUnregisterConfigChangeNotify);
using PFN_BCryptResolveProviders = decltype(&::BCryptResolveProviders);
using PFN_BCryptGetFipsAlgorithmMode = decltype(&::BCryptGetFipsAlgorithmMode);

extern PFN_BCryptOpenAlgorithmProvider SgBCryptOpenAlgorithmProvider;
extern PFN_BCryptEnumAlgorithms SgBCryptEnumAlgorithms;
extern PFN_BCryptEnumProviders SgBCryptEnumProviders;
extern PFN_BCryptGetProperty SgBCryptGetProperty;
extern PFN_BCryptSetProperty SgBCryptSetProperty;
extern PFN_BCryptCloseAlgorithmProvider SgBCryptCloseAlgorithmProvider;
extern PFN_BCryptFreeBuffer SgBCryptFreeBuffer;
extern PFN_BCryptGenerateSymmetricKey SgBCryptGenerateSymmetricKey;
extern PFN_BCryptGenerateKeyPair SgBCryptGenerateKeyPair;
extern PFN_BCryptEncrypt SgBCryptEncrypt;
extern PFN_BCryptDecrypt SgBCryptDecrypt;
extern PFN_BCryptExportKey SgBCryptExportKey;
extern PFN_BCryptImportKey SgBCryptImportKey;
extern PFN_BCryptImportKeyPair SgBCryptImportKeyPair;
extern PFN_BCryptDuplicateKey SgBCryptDuplicateKey;
extern PFN_BCryptFinalizeKeyPair SgBCryptFinalizeKeyPair;
extern PFN_BCryptDestroyKey SgBCryptDestroyKey;
extern PFN_BCryptDestroySecret SgBCryptDestroySecret;
extern PFN_BCryptSignHash SgBCryptSignHash;
extern PFN_BCryptVerifySignature SgBCryptVerifySignature;
extern PFN_BCryptSecretAgreement SgBCryptSecretAgreement;
extern PFN_BCryptDeriveKey SgBCryptDeriveKey;
extern PFN_BCryptCreateHash SgBCryptCreateHash;
extern PFN_BCryptHashData SgBCryptHashData;
extern PFN_BCryptFinishHash SgBCryptFinishHash;
extern PFN_BCryptDuplicateHash SgBCryptDuplicateHash;
extern PFN_BCryptDestroyHash SgBCryptDestroyHash;
extern PFN_BCryptGenRandom SgBCryptGenRandom;
extern PFN_BCryptDeriveKeyCapi SgBCryptDeriveKeyCapi;
extern PFN_BCryptDeriveKeyPBKDF2 SgBCryptDeriveKeyPBKDF2;
extern PFN_BCryptRegisterConfigChangeNotify SgBCryptRegisterConfigChangeNotify;
extern PFN_BCryptUnregisterConfigChangeNotify SgBCryptUnregisterConfigChangeNotify;
extern PFN_BCryptResolveProviders SgBCryptResolveProviders;
extern PFN_BCryptGetFipsAlgorithmMode SgBCryptGetFipsAlgorithmMode;
