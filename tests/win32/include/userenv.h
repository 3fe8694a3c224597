#pragma once

#include <windows.h>

BOOL WINAPI CreateEnvironmentBlock(LPVOID* lpEnvironment, HANDLE hToken, BOOL bInherit);
BOOL WINAPI DestroyEnvironmentBlock(LPVOID lpEnvironment);
