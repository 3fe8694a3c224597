#include "supervisor/Supervisor.h"

#include "common/Common.h"

namespace {

constexpr DWORD SupervisionPeriodMs = 3000;

bool WaitForNextPass()
{
    HANDLE stop = StopEvent.load(std::memory_order_acquire);
    // A set event and a failed wait (null or closed handle) both end the loop.
    return WaitForSingleObject(stop, SupervisionPeriodMs) == WAIT_TIMEOUT;
}

bool AgentIsHealthyIn(DWORD target)
{
    return AgentSlot.Process != nullptr && WaitForSingleObject(AgentSlot.Process, 0) == WAIT_TIMEOUT
        && AgentSlot.Session == target;
}

void RunPass()
{
    DWORD target = SelectTargetSession();
    if (AgentIsHealthyIn(target))
        return;
    // From here the slot is empty: LaunchAgent only ever fills an empty one.
    StopAgent();
    if (target == NoSession)
        return;
    LaunchAgent(target);
}

} // namespace

void RunSupervisor()
{
    while (WaitForNextPass())
        RunPass();
}
