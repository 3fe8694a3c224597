#pragma once

#include <windows.h>

#include <atomic>

constexpr DWORD NoSession = 0xFFFFFFFF;

struct AgentSlotRecord {
    std::atomic<HANDLE> Process{nullptr};
    std::atomic<DWORD> Session{NoSession};
    // The agent's kill-on-close job: when this process ends in any way, the system
    // closes it and ends the agent too. Null when the agent could not be put in one.
    std::atomic<HANDLE> Job{nullptr};
};

// The one agent process this process has started and still tracks.
extern AgentSlotRecord AgentSlot;

void StopAgent();
DWORD SelectTargetSession();
void LaunchAgent(DWORD session);
void RunSupervisor();
