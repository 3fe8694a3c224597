#include "supervisor/Supervisor.h"

#include <wtsapi32.h>

#include <algorithm>
#include <vector>

namespace {

std::vector<DWORD> ActiveUserSessions()
{
    std::vector<DWORD> candidates;
    PWTS_SESSION_INFOW sessions = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count))
        return candidates;
    for (DWORD index = 0; index < count; ++index) {
        // Session 0 holds services only; no user ever sees a window there.
        if (sessions[index].State == WTSActive && sessions[index].SessionId != 0)
            candidates.push_back(sessions[index].SessionId);
    }
    WTSFreeMemory(sessions);
    return candidates;
}

} // namespace

DWORD SelectTargetSession()
{
    std::vector<DWORD> candidates = ActiveUserSessions();
    if (candidates.empty())
        return NoSession;
    DWORD console = WTSGetActiveConsoleSessionId();
    auto found = std::find(candidates.begin(), candidates.end(), console);
    return found != candidates.end() ? *found : candidates.front();
}
