// Declared only so that the slot types of runtime/os_symbols.h (decltype of each function)
// can be formed in the native fuzzing build, which never resolves or calls them: one
// placeholder signature for all.
#pragma once

#include <windows.h>

void StartTraceW();
void StartTraceA();
void ControlTraceW();
void ControlTraceA();
void OpenTraceW();
void OpenTraceA();
void EnableTraceEx();
void ProcessTrace();
void CloseTrace();
