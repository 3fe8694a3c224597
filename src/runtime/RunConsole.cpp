#include "runtime/Runtime.h"

#include "common/Common.h"
#include "supervisor/Supervisor.h"

void RunConsole()
{
    SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
    RunSupervisor();
    StopAgent();
}

BOOL WINAPI ConsoleControlHandler(DWORD ctrlType)
{
    switch (ctrlType) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // Claimed, so the default action does not kill us before the agent is ended.
        SetEvent(StopEvent.load(std::memory_order_acquire));
        return TRUE;
    default:
        return FALSE;
    }
}
