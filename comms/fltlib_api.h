// The Filter Manager user-mode calls the service resolves at run time from fltlib.dll.
#pragma once

#include <windows.h>

#include "runtime/system_library.h"

typedef HRESULT(WINAPI* PFN_FilterConnectCommunicationPort)(LPCWSTR portName, DWORD options, LPCVOID context,
                                                            WORD contextSize, LPSECURITY_ATTRIBUTES security,
                                                            HANDLE* port);
typedef HRESULT(WINAPI* PFN_FilterSendMessage)(HANDLE port, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                                               DWORD outSize, LPDWORD bytesReturned);
typedef HRESULT(WINAPI* PFN_FilterGetMessage)(HANDLE port, void* messageBuffer, DWORD bufferSize,
                                              LPOVERLAPPED overlapped);
typedef HRESULT(WINAPI* PFN_FilterReplyMessage)(HANDLE port, void* replyBuffer, DWORD replySize);

constexpr HRESULT kHresultIoPending = static_cast<HRESULT>(0x800703E5);
constexpr HRESULT kHresultAborted = static_cast<HRESULT>(0x800703E3);
constexpr HRESULT kHresultInvalidHandle = static_cast<HRESULT>(0x80070006);

// A reference to fltlib.dll: the one the process has, else the one in System32
// (runtime/system_library.h); *loaded tells whether there is a reference to release.
inline HMODULE SgObtainFltlib(bool* loaded) {
    HMODULE module = SgLoadSystem32Library("fltlib.dll");
    *loaded = module != nullptr;
    return module;
}

template <typename T>
T SgResolve(HMODULE module, const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
