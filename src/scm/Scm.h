#pragma once

#include <windows.h>

#include "common/Common.h"

#include <string>

DWORD StopServiceAndWait(bool& wasRunning);
DWORD InstallService(const std::wstring& executablePath);
DWORD StartInstalledService();
DWORD RemoveService();
DWORD PrepareUpdate(const std::wstring& targetPath, const std::wstring& statePath);

// Opens the service manager (connect only) and our service with the given rights.
// On failure nothing stays open and the error of the failing open is returned.
DWORD OpenServiceHandles(DWORD serviceAccess, SC_HANDLE& manager, SC_HANDLE& service);

// Queries the service's process status into a zeroed 36-byte record. Only a query that
// succeeded may be read; after a failure GetLastError tells why, and may itself be 0.
bool QueryProcessStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status);

// Queries until a query succeeds, polling while one fails without an error. Returns 0
// with a status that may be read, the error of a failed query, or ERROR_TIMEOUT once
// the deadline has passed without a readable status.
DWORD QueryReadableStatus(SC_HANDLE service, ULONGLONG deadline, SERVICE_STATUS_PROCESS& status);
