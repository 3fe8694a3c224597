#include "scm/Scm.h"

#include "common/Common.h"

DWORD StartInstalledService()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return GetLastError();
    SC_HANDLE service = OpenServiceW(manager, ServiceName, SERVICE_START);
    if (service == nullptr) {
        DWORD error = GetLastError();
        CloseServiceHandleAndForget(manager);
        return error;
    }

    DWORD result = 0;
    if (!StartServiceW(service, 0, nullptr)) {
        DWORD error = GetLastError();
        // Already running is the state asked for.
        result = error == ERROR_SERVICE_ALREADY_RUNNING ? 0 : error;
    }
    CloseServiceHandleAndForget(service);
    CloseServiceHandleAndForget(manager);
    return result;
}
