// Declared only so that the slot types of runtime/os_symbols.h (decltype of each function)
// can be formed in the native fuzzing build, which never resolves or calls them: one
// placeholder signature for all.
#pragma once

void StartServiceCtrlDispatcherA();
void StartServiceCtrlDispatcherW();
void RegisterServiceCtrlHandlerA();
void RegisterServiceCtrlHandlerW();
void RegisterServiceCtrlHandlerExA();
void RegisterServiceCtrlHandlerExW();
void SetServiceStatus();
void QueryServiceStatus();
void QueryServiceStatusEx();
void OpenSCManagerA();
void OpenSCManagerW();
void OpenServiceA();
void OpenServiceW();
void QueryServiceConfigA();
void QueryServiceConfigW();
void CloseServiceHandle();
void LookupAccountSidA();
void LookupAccountSidW();
