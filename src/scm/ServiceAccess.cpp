#include "scm/Scm.h"

#include "common/Common.h"

DWORD OpenServiceHandles(DWORD serviceAccess, SC_HANDLE& manager, SC_HANDLE& service)
{
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return GetLastError();
    service = OpenServiceW(manager, ServiceName, serviceAccess);
    if (service != nullptr)
        return 0;
    DWORD error = GetLastError();
    CloseServiceHandleAndForget(manager);
    return error;
}

bool QueryProcessStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status)
{
    status = {};
    DWORD bytesNeeded = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                sizeof(status), &bytesNeeded)
        != FALSE;
}

// A failure without an error says nothing about the service; reading its zeroed record
// would count state 0 as "not stopped" and send a stop to a stopped service.
DWORD QueryReadableStatus(SC_HANDLE service, ULONGLONG deadline, SERVICE_STATUS_PROCESS& status)
{
    while (!QueryProcessStatus(service, status)) {
        DWORD error = GetLastError();
        if (error != 0)
            return error;
        if (GetTickCount64() >= deadline)
            return ERROR_TIMEOUT;
        Sleep(PollIntervalMs);
    }
    return 0;
}
