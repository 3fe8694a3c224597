#include "scm/Scm.h"

#include "common/Common.h"

namespace {

constexpr ULONGLONG StopDeadlineMs = 30000;

// Once STOPPED is reported the service's process may still hold our executable;
// only its end makes the file free.
DWORD WaitForServiceProcess(HANDLE process, ULONGLONG deadline)
{
    ULONGLONG now = GetTickCount64();
    DWORD timeLeft = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    DWORD waited = WaitForSingleObject(process, timeLeft);
    if (waited == WAIT_OBJECT_0)
        return 0;
    if (waited == WAIT_TIMEOUT)
        return ERROR_TIMEOUT;
    return GetLastError();
}

// Windows answers 87 (invalid parameter) for the id of a process that has already
// ended: there is nothing left to wait for, so we carry on without a handle and
// try again only if a later poll reports a process id.
DWORD OpenServiceProcess(DWORD processId, HANDLE& process)
{
    if (processId == 0 || process != nullptr)
        return 0;
    process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (process != nullptr)
        return 0;
    DWORD error = GetLastError();
    return error == ERROR_INVALID_PARAMETER ? 0 : error;
}

// A service that cannot take the control right now gets it again at a later poll.
DWORD SendStopOnce(SC_HANDLE service, DWORD state, bool& stopSent)
{
    if (stopSent || state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING)
        return 0;
    SERVICE_STATUS ignored = {};
    if (ControlService(service, SERVICE_CONTROL_STOP, &ignored)) {
        stopSent = true;
        return 0;
    }
    DWORD error = GetLastError();
    if (error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL || error == ERROR_SERVICE_NOT_ACTIVE)
        return 0;
    // Some service managers fail the call yet leave no error: the control was
    // delivered, and sending it again would only be refused.
    stopSent = error == 0;
    return error;
}

DWORD PollUntilStopped(SC_HANDLE service, HANDLE& process, bool& wasRunning)
{
    ULONGLONG deadline = GetTickCount64() + StopDeadlineMs;
    bool stopSent = false;
    for (;;) {
        SERVICE_STATUS_PROCESS status;
        DWORD error = QueryReadableStatus(service, deadline, status);
        if (error != 0)
            return error;
        if (status.dwCurrentState != SERVICE_STOPPED)
            wasRunning = true;
        error = OpenServiceProcess(status.dwProcessId, process);
        if (error != 0)
            return error;
        // The deadline is tested before the state: the caller was promised an answer
        // within the deadline, so a service first seen stopped only at or after it is
        // a time-out, even though it stopped.
        if (GetTickCount64() >= deadline)
            return ERROR_TIMEOUT;
        if (status.dwCurrentState == SERVICE_STOPPED)
            return process == nullptr ? 0 : WaitForServiceProcess(process, deadline);
        error = SendStopOnce(service, status.dwCurrentState, stopSent);
        if (error != 0)
            return error;
        Sleep(PollIntervalMs);
    }
}

} // namespace

DWORD StopServiceAndWait(bool& wasRunning)
{
    wasRunning = false;
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    DWORD error = OpenServiceHandles(SERVICE_STOP | SERVICE_QUERY_STATUS, manager, service);
    // Not installed: there is nothing to stop.
    if (error != 0)
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : error;

    HANDLE process = nullptr;
    DWORD result = PollUntilStopped(service, process, wasRunning);
    CloseHandleAndForget(process);
    CloseServiceHandleAndForget(service);
    CloseServiceHandleAndForget(manager);
    return result;
}
