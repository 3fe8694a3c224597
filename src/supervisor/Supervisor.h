#pragma once

#include <windows.h>

#include <atomic>

struct AgentSlotRecord {
    std::atomic<HANDLE> Process{nullptr};
    std::atomic<DWORD> Session{0xFFFFFFFF};
};

// The one agent process this process has started and still tracks.
extern AgentSlotRecord AgentSlot;

constexpr DWORD NoSession = 0xFFFFFFFF;

void StopAgent();
DWORD SelectTargetSession();
void LaunchAgent(DWORD session);
void RunSupervisor();
