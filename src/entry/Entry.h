#pragma once

#include <windows.h>

// The program's entry: picks one mode from the command line and returns its exit status.
DWORD RunEntry(int argc, wchar_t* argv[]);
DWORD RunSelfTest();
DWORD RunServiceDispatcher();
