#include "scm/Scm.h"

#include "common/Common.h"

namespace {

// Stop and query rights stay with StopServiceAndWait; removal asks only for DELETE.
DWORD DeleteRegistration()
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    DWORD error = OpenServiceHandles(DELETE, manager, service);
    if (error != 0)
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : error;

    DWORD result = 0;
    if (!DeleteService(service)) {
        error = GetLastError();
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
