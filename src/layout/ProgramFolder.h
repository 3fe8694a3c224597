#pragma once

#include <windows.h>

#include <filesystem>

// A program that runs as LocalSystem is safe to start only when nobody but SYSTEM, the
// administrators and TrustedInstaller (the principals the data folder's test trusts) can
// change it, add a file beside it (a DLL it would load, a redirecting folder) or rename or
// replace any folder on its way from the volume's root. The path is looked up once, from
// the root down, each folder opened through the one above it and judged by its handle.
// Returns 0 when it is safe; ERROR_ACCESS_DENIED when someone else could change it;
// ERROR_BAD_PATHNAME for a path that does not start at a root or that Win32 would resolve
// otherwise (relative parts, trailing dots or blanks, a stream); otherwise the error of the
// open that failed. A program that is not there passes when `mayBeMissing`: nobody else
// can put one into its folder.
DWORD CheckProgramPath(const std::filesystem::path& program, bool mayBeMissing);
