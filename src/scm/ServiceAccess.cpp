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

DWORD QueryProcessStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status)
{
    status = {};
    DWORD bytesNeeded = 0;
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                             sizeof(status), &bytesNeeded))
        return 0;
    return GetLastError();
}
