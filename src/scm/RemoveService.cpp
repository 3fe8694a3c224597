#include "scm/Scm.h"

#include "common/Common.h"

namespace {

// Stop and query rights stay with StopServiceAndWait; removal asks only for DELETE.
DWORD DeleteRegistration()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return GetLastError();
    SC_HANDLE service = OpenServiceW(manager, ServiceName, DELETE);
    if (service == nullptr) {
        DWORD error = GetLastError();
        CloseServiceHandleAndForget(manager);
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : error;
    }

    DWORD result = 0;
    if (!DeleteService(service)) {
        DWORD error = GetLastError();
        // Marked for deletion already: it goes once the last handle to it closes.
        result = error == ERROR_SERVICE_MARKED_FOR_DELETE ? 0 : error;
    }
    CloseServiceHandleAndForget(service);
    CloseServiceHandleAndForget(manager);
    return result;
}

} // namespace

DWORD RemoveService()
{
    bool wasRunning = false;
    DWORD stopped = StopServiceAndWait(wasRunning);
    if (stopped != 0)
        return stopped;
    return DeleteRegistration();
}
