#include "runtime/Runtime.h"

#include "common/Common.h"
#include "supervisor/Supervisor.h"

namespace {

constexpr DWORD AcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
constexpr DWORD PendingWaitHintMs = 5000;

void ReportStatus(SERVICE_STATUS_HANDLE statusHandle, DWORD state, DWORD controlsAccepted, DWORD waitHint)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controlsAccepted;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = 0;
    status.dwWaitHint = waitHint;
    SetServiceStatus(statusHandle, &status);
}

// The handle is read afresh before each report: the handler thread may report too.
void ReportIfRegistered(DWORD state, DWORD controlsAccepted, DWORD waitHint)
{
    SERVICE_STATUS_HANDLE statusHandle = ServiceStatusHandle.load(std::memory_order_acquire);
    if (statusHandle != nullptr)
        ReportStatus(statusHandle, state, controlsAccepted, waitHint);
}

} // namespace

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    SERVICE_STATUS_HANDLE statusHandle =
        RegisterServiceCtrlHandlerExW(ServiceName, ServiceControlHandler, nullptr);
    ServiceStatusHandle.store(statusHandle, std::memory_order_release);
    if (statusHandle == nullptr)
        return;

    ReportStatus(statusHandle, SERVICE_START_PENDING, 0, PendingWaitHintMs);
    ReportIfRegistered(SERVICE_RUNNING, AcceptedControls, 0);
    RunSupervisor();
    // The agent must be gone before STOPPED lets an updater replace our files.
    StopAgent();
    ReportIfRegistered(SERVICE_STOPPED, AcceptedControls, 0);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD, LPVOID, LPVOID)
{
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN)
        return NO_ERROR;
    ReportIfRegistered(SERVICE_STOP_PENDING, AcceptedControls, PendingWaitHintMs);
    if (SetEvent(StopEvent.load(std::memory_order_acquire)))
        return NO_ERROR;
    // The loop cannot be told to stop: the service goes on running, and whoever asked
    // is told why rather than left waiting on a stop that never comes.
    const DWORD error = GetLastError();
    ReportIfRegistered(SERVICE_RUNNING, AcceptedControls, 0);
    return error;
}
