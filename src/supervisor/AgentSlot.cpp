#include "supervisor/Supervisor.h"

#include "common/Common.h"

AgentSlotRecord AgentSlot;

namespace {

constexpr DWORD TerminationGraceMs = 3000;

} // namespace

void StopAgent()
{
    if (AgentSlot.Process != nullptr) {
        // An agent that has already ended only needs its handle released.
        if (WaitForSingleObject(AgentSlot.Process, 0) == WAIT_TIMEOUT) {
            TerminateProcess(AgentSlot.Process, 0);
            WaitForSingleObject(AgentSlot.Process, TerminationGraceMs);
        }
        CloseHandleAndForget(AgentSlot.Process);
    }
    // Closing the job also ends an agent that outlived its termination and the grace.
    CloseHandleAndForget(AgentSlot.Job);
    AgentSlot.Session = NoSession;
}
