#pragma once

#include <windows.h>

#include <string>

// Every wait of the administrative modes polls at this interval.
constexpr DWORD PollIntervalMs = 100;

DWORD StopServiceAndWait(bool& wasRunning);
DWORD InstallService(const std::wstring& executablePath);
DWORD StartInstalledService();
DWORD RemoveService();
DWORD PrepareUpdate(const std::wstring& targetPath, const std::wstring& statePath);

// Opens the service manager (connect only) and our service with the given rights.
// On failure nothing stays open and the error of the failing open is returned.
DWORD OpenServiceHandles(DWORD serviceAccess, SC_HANDLE& manager, SC_HANDLE& service);

// Queries the service's process status into a zeroed 36-byte record. Returns 0, or
// the last error of a failed query (which may itself be 0).
DWORD QueryProcessStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status);
