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
        // Claimed, so that Ctrl+C and Ctrl+Break end the loop and then the agent in
        // order. After a closed console or a shutdown the system ends this process
        // soon after we return, before StopAgent runs; the agent's kill-on-close job
        // then ends the agent with us. An event that cannot be set would leave the
        // loop running: the next handler, the system's, ends the process instead.
        return SetEvent(StopEvent.load(std::memory_order_acquire)) ? TRUE : FALSE;
    default:
        return FALSE;
    }
}
