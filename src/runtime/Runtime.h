#pragma once

#include <windows.h>

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
void RunConsole();
BOOL WINAPI ConsoleControlHandler(DWORD ctrlType);
