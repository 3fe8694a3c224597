#include "supervisor/Supervisor.h"

#include "common/Common.h"
#include "layout/Paths.h"

#include <userenv.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr DWORD OwnTokenAccess =
    TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_SESSIONID;
// Suspended, so that the agent runs no instruction before it is in its job.
constexpr DWORD AgentCreationFlags = CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED;
constexpr DWORD ResumeFailed = static_cast<DWORD>(-1);
const wchar_t AgentFileName[] = L"Kestrune.exe";
const wchar_t AgentDesktop[] = L"winsta0\\default";

// A folder that cannot be queried counts as a missing agent for this pass: the
// supervisor must outlive a transient file-system fault and try again later.
bool AgentIsPresent(const std::filesystem::path& agentPath)
{
    std::error_code queryFailed;
    return std::filesystem::exists(agentPath, queryFailed) && !queryFailed;
}

std::wstring BuildCommandLine(const std::filesystem::path& agentPath)
{
    return QuoteArgument(agentPath) + L" --service-agent --config " + QuoteArgument(GetConfigPath());
}

// The agent's token: our own, moved into the target session.
HANDLE DuplicateTokenForSession(HANDLE ownToken, DWORD session)
{
    HANDLE agentToken = nullptr;
    if (!DuplicateTokenEx(ownToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                          &agentToken))
        return nullptr;
    if (!SetTokenInformation(agentToken, TokenSessionId, &session, sizeof(session))) {
        CloseHandleAndForget(agentToken);
        return nullptr;
    }
    return agentToken;
}

bool CreateAgentProcess(HANDLE agentToken, const std::filesystem::path& agentPath,
                        PROCESS_INFORMATION& processInfo)
{
    LPVOID environment = nullptr;
    // Without a block of its own the agent inherits ours, which still works.
    CreateEnvironmentBlock(&environment, agentToken, FALSE);

    // CreateProcessAsUserW may write into its command line, so it gets a copy.
    std::wstring commandLine = BuildCommandLine(agentPath);
    std::vector<wchar_t> writableCommandLine(commandLine.begin(), commandLine.end());
    writableCommandLine.push_back(L'\0');
    std::wstring applicationName = agentPath.wstring();
    // Without a module folder the agent was found as a bare name in our current
    // folder; an empty working folder would make the creation fail, null keeps ours.
    std::wstring workingDirectory = agentPath.parent_path().wstring();
    LPCWSTR currentDirectory = workingDirectory.empty() ? nullptr : workingDirectory.c_str();

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = const_cast<LPWSTR>(AgentDesktop);

    BOOL created = CreateProcessAsUserW(agentToken, applicationName.c_str(), writableCommandLine.data(),
                                        nullptr, nullptr, FALSE, AgentCreationFlags, environment,
                                        currentDirectory, &startup, &processInfo);
    if (environment != nullptr)
        DestroyEnvironmentBlock(environment);
    return created != FALSE;
}

// A crash, a forced kill or a closed console ends this process without StopAgent; the
// system then closes the job's last handle and ends the agent with it, so a restarted
// host never finds a second agent running. The agent's own children break away
// silently: an updater it starts must outlive it, since the update stops the service.
// A job that cannot be made costs only that guarantee, never the running agent.
HANDLE PutInKillOnCloseJob(HANDLE process)
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))
        || !AssignProcessToJobObject(job, process))
        CloseHandleAndForget(job);
    return job;
}

// The agent was created suspended: it is put in its job first and only then let run,
// so there is no moment in which the death of this process would orphan it.
void RunAndTrackAgent(PROCESS_INFORMATION& processInfo, DWORD session)
{
    HANDLE job = PutInKillOnCloseJob(processInfo.hProcess);
    if (ResumeThread(processInfo.hThread) == ResumeFailed) {
        // An agent that cannot run is a failed launch; it must not linger suspended.
        TerminateProcess(processInfo.hProcess, 0);
        CloseHandleAndForget(processInfo.hThread);
        CloseHandleAndForget(processInfo.hProcess);
        CloseHandleAndForget(job);
        return;
    }
    CloseHandleAndForget(processInfo.hThread);
    // Never overwrite a handle the slot still owns.
    StopAgent();
    AgentSlot.Process = processInfo.hProcess;
    AgentSlot.Job = job;
    AgentSlot.Session = session;
}

} // namespace

void LaunchAgent(DWORD session)
{
    std::filesystem::path agentPath = GetModuleDirectory() / AgentFileName;
    if (!AgentIsPresent(agentPath))
        return;

    PROCESS_INFORMATION processInfo = {};
    HANDLE ownToken = nullptr;
    HANDLE agentToken = nullptr;
    bool created = false;
    if (OpenProcessToken(GetCurrentProcess(), OwnTokenAccess, &ownToken)) {
        agentToken = DuplicateTokenForSession(ownToken, session);
        if (agentToken != nullptr)
            created = CreateAgentProcess(agentToken, agentPath, processInfo);
    }
    CloseHandleAndForget(agentToken);
    CloseHandleAndForget(ownToken);
    if (created)
        RunAndTrackAgent(processInfo, session);
}
