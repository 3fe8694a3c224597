#pragma once

#include <windows.h>

#include <atomic>

// Every polling wait, of the administrative modes and of the data folder's deadline,
// polls at this interval.
constexpr DWORD PollIntervalMs = 100;

// Service identity, used wherever the service is named.
extern const wchar_t ServiceName[];
extern const wchar_t ServiceDisplayName[];
extern const wchar_t ServiceDescription[];

// Process-wide values. Each is one aligned machine word read and written whole;
// relaxed/acquire-release atomics compile to exactly those plain loads and stores.
extern std::atomic<HANDLE> StopEvent;
extern std::atomic<SERVICE_STATUS_HANDLE> ServiceStatusHandle;

// Closes a kernel handle unless it is null or INVALID_HANDLE_VALUE, then forgets it.
void CloseHandleAndForget(HANDLE& handle);

// Service-manager handles have null as their only invalid value.
void CloseServiceHandleAndForget(SC_HANDLE& handle);
