#include "scm/Scm.h"

#include "common/Common.h"
#include "layout/DataFolder.h"
#include "layout/Paths.h"
#include "layout/ProgramFolder.h"

#include <string>

namespace {

constexpr DWORD ServiceAccess = SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START;
constexpr DWORD FailureResetPeriodSeconds = 86400;
constexpr ULONGLONG RunningDeadlineMs = 15000;

// Opens the service with the rights installation needs, creating it when it is not
// registered yet and rewriting its registration in place when it is.
DWORD OpenOrCreateService(SC_HANDLE manager, const std::wstring& binaryPath, SC_HANDLE& service)
{
    service = OpenServiceW(manager, ServiceName, ServiceAccess);
    if (service != nullptr) {
        if (!ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE,
                                  binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                  ServiceDisplayName))
            return GetLastError();
        return 0;
    }
    DWORD error = GetLastError();
    if (error != ERROR_SERVICE_DOES_NOT_EXIST)
        return error;
    service = CreateServiceW(manager, ServiceName, ServiceDisplayName, ServiceAccess,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                             binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    return service != nullptr ? 0 : GetLastError();
}

DWORD SetDescription(SC_HANDLE service)
{
    SERVICE_DESCRIPTIONW description = {};
    description.lpDescription = const_cast<LPWSTR>(ServiceDescription);
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description))
        return GetLastError();
    return 0;
}

// Restart after 5 s, then after 15 s for the second and every later failure.
DWORD SetFailureActions(SC_HANDLE service)
{
    SC_ACTION actions[2] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 15000}};
    SERVICE_FAILURE_ACTIONSW failureActions = {};
    failureActions.dwResetPeriod = FailureResetPeriodSeconds;
    failureActions.lpRebootMsg = nullptr;
    failureActions.lpCommand = nullptr;
    failureActions.cActions = 2;
    failureActions.lpsaActions = actions;
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions))
        return GetLastError();
    return 0;
}

// An already running service is what a re-installation asks for.
DWORD RequestStart(SC_HANDLE service)
{
    if (StartServiceW(service, 0, nullptr))
        return 0;
    DWORD error = GetLastError();
    return error == ERROR_SERVICE_ALREADY_RUNNING ? 0 : error;
}

DWORD WaitUntilRunning(SC_HANDLE service)
{
    ULONGLONG deadline = GetTickCount64() + RunningDeadlineMs;
    for (;;) {
        SERVICE_STATUS_PROCESS status;
        DWORD error = QueryReadableStatus(service, deadline, status);
        if (error != 0)
            return error;
        if (status.dwCurrentState == SERVICE_RUNNING)
            return 0;
        if (status.dwCurrentState == SERVICE_STOPPED)
            return status.dwWin32ExitCode != 0 ? status.dwWin32ExitCode : ERROR_SERVICE_NOT_ACTIVE;
        if (GetTickCount64() >= deadline)
            return ERROR_TIMEOUT;
        Sleep(PollIntervalMs);
    }
}

DWORD ConfigureAndStart(SC_HANDLE service, bool start)
{
    DWORD error = SetDescription(service);
    if (error == 0)
        error = SetFailureActions(service);
    if (error == 0 && start)
        error = RequestStart(service);
    if (error == 0 && start)
        error = WaitUntilRunning(service);
    return error;
}

} // namespace

DWORD InstallService(const std::wstring& executablePath)
{
    // Quoted so the service manager never splits a path with blanks.
    const std::wstring binaryPath = QuoteArgument(executablePath);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr)
        return GetLastError();

    // The service manager starts this file as LocalSystem at every boot: one that someone
    // else could change, or put a DLL beside, is refused before anything is registered
    // or changed. One that is not there yet may be: nobody else can put it there.
    DWORD result = CheckProgramPath(executablePath, true);
    if (result != 0) {
        CloseServiceHandleAndForget(manager);
        return result;
    }

    // The agent runs as LocalSystem and reads from the data folder: it is made safe
    // before anything is registered. A folder that cannot be made safe registers
    // nothing and leaves a registration as it was. One whose walk a program blocked,
    // or ran out of time, may still be a folder every launch accepts, since each
    // launch checks it again:
    // the service is registered all the same, so that no failed or rolled back
    // installation leaves the machine without it, but not started, since an installer
    // that sees the failure may be about to put older files back; the failure is the
    // status.
    const DWORD secured = SecureDataFolder();
    if (secured != 0 && !DataFolderIsSafe(GetDataRoot())) {
        CloseServiceHandleAndForget(manager);
        return secured;
    }
    SC_HANDLE service = nullptr;
    result = OpenOrCreateService(manager, binaryPath, service);
    if (result == 0)
        result = ConfigureAndStart(service, secured == 0);
    CloseServiceHandleAndForget(service);
    CloseServiceHandleAndForget(manager);
    return secured != 0 ? secured : result;
}
