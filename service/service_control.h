// The service's life under the Service Control Manager: handler registration,
// status reports, the control handlers and the console handler.
#pragma once

#include <windows.h>

void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
DWORD WINAPI ServiceCtrlHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
void WINAPI ServiceCtrlHandler(DWORD control);
BOOL WINAPI ConsoleCtrlHandler(DWORD event);
