// The baseline of scripts/bench: a service that does nothing but be one. It registers
// its control handler, reports running and waits for STOP or SHUTDOWN, so that every
// figure of the real service can be set beside what any service costs under the same
// toolchain, service manager and prefix.

#include <windows.h>

namespace {

wchar_t IdleServiceName[] = L"OrvellaBenchIdle";
HANDLE IdleStopEvent = nullptr;
SERVICE_STATUS_HANDLE IdleStatusHandle = nullptr;

void ReportState(DWORD state)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    SetServiceStatus(IdleStatusHandle, &status);
}

DWORD WINAPI IdleControlHandler(DWORD control, DWORD, void*, void*)
{
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN)
        return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
    ReportState(SERVICE_STOP_PENDING);
    SetEvent(IdleStopEvent);
    return NO_ERROR;
}

void WINAPI IdleServiceMain(DWORD, wchar_t**)
{
    IdleStatusHandle = RegisterServiceCtrlHandlerExW(IdleServiceName, IdleControlHandler, nullptr);
    if (IdleStatusHandle == nullptr)
        return;
    ReportState(SERVICE_START_PENDING);
    ReportState(SERVICE_RUNNING);
    WaitForSingleObject(IdleStopEvent, INFINITE);
    ReportState(SERVICE_STOPPED);
}

} // namespace

int wmain()
{
    IdleStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (IdleStopEvent == nullptr)
        return static_cast<int>(GetLastError());
    SERVICE_TABLE_ENTRYW table[] = {{IdleServiceName, IdleServiceMain}, {nullptr, nullptr}};
    DWORD status = StartServiceCtrlDispatcherW(table) ? 0 : GetLastError();
    CloseHandle(IdleStopEvent);
    return static_cast<int>(status);
}
