#pragma once

#include <windows.h>

constexpr DWORD NoSession = 0xFFFFFFFF;

// Only the thread that runs the supervisor uses the slot, so its fields are plain values.
struct AgentSlotRecord {
    HANDLE Process = nullptr;
    DWORD Session = NoSession;
    // The agent's kill-on-close job: when this process ends in any way, the system
    // closes it and ends the agent too. Null when the agent could not be put in one.
    HANDLE Job = nullptr;
};

// The one agent process this process has started and still tracks.
extern AgentSlotRecord AgentSlot;

void StopAgent();
DWORD SelectTargetSession();
// Called only with the slot empty; fills it when the agent starts.
void LaunchAgent(DWORD session);
void RunSupervisor();
