#include "scm/Scm.h"

#include "common/Common.h"

DWORD StartInstalledService()
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    DWORD error = OpenServiceHandles(SERVICE_START, manager, service);
    // Not installed (1060) is a failure here: there is nothing to start.
    if (error != 0)
        return error;

    DWORD result = 0;
    if (!StartServiceW(service, 0, nullptr)) {
        error = GetLastError();
        // Already running is the state asked for.
        result = error == ERROR_SERVICE_ALREADY_RUNNING ? 0 : error;
    }
    CloseServiceHandleAndForget(service);
    CloseServiceHandleAndForget(manager);
    return result;
}
