#include "supervisor/Supervisor.h"

#include "common/Common.h"

AgentSlotRecord AgentSlot;

namespace {

constexpr DWORD TerminationGraceMs = 3000;

} // namespace

void StopAgent()
{
    HANDLE process = AgentSlot.Process.load(std::memory_order_relaxed);
    if (process != nullptr) {
        // An agent that has already ended only needs its handle released.
        if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process, 0);
            WaitForSingleObject(process, TerminationGraceMs);
        }
        CloseHandleAndForget(process);
        AgentSlot.Process.store(nullptr, std::memory_order_relaxed);
    }
    // Closing the job also ends an agent that outlived its termination and the grace.
    HANDLE job = AgentSlot.Job.load(std::memory_order_relaxed);
    CloseHandleAndForget(job);
    AgentSlot.Job.store(nullptr, std::memory_order_relaxed);
    AgentSlot.Session.store(NoSession, std::memory_order_relaxed);
}
