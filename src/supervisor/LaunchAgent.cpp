#include "supervisor/Supervisor.h"

#include "common/Common.h"
#include "layout/DataFolder.h"
#include "layout/Paths.h"
#include "layout/ProgramFolder.h"

#include <userenv.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr DWORD OwnTokenAccess =
    TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_SESSIONID;
constexpr DWORD AgentCreationFlags = CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT;
constexpr DWORD ResumeFailed = static_cast<DWORD>(-1);
const wchar_t AgentDesktop[] = L"winsta0\\default";

// How the agent came into its job, if it has one.
struct AgentStart {
    PROCESS_INFORMATION Info = {};
    HANDLE Job = nullptr;
    // Created suspended, to be put in its job and then let run: the way without a job
    // list at creation.
    bool Suspended = false;
};

// A folder that cannot be queried counts as a missing agent for this pass: the
// supervisor must outlive a transient file-system fault and try again later.
bool AgentIsPresent(const std::filesystem::path& agentPath)
{
    std::error_code queryFailed;
    return std::filesystem::exists(agentPath, queryFailed) && !queryFailed;
}

// The agent runs as LocalSystem from its own folder: one that someone else could change,
// add a DLL to or rename away is a failed launch, judged again at every launch whatever
// the installation found. Without a module folder only a bare name is left, which would
// be looked up in whatever folder is current: that fails too.
bool AgentIsSafe(const std::filesystem::path& agentPath)
{
    return AgentIsPresent(agentPath) && CheckProgramPath(agentPath, false) == 0;
}

std::wstring BuildCommandLine(const std::filesystem::path& agentPath, const std::filesystem::path& dataRoot)
{
    return QuoteArgument(agentPath) + L" --service-agent --config "
        + QuoteArgument(dataRoot / DataFolderName / ConfigurationFileName);
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

// A crash, a forced kill or a closed console ends this process without StopAgent; the
// system then closes the job's last handle and ends the agent with it, so a restarted
// host never finds a second agent running. The agent's own children break away
// silently: an updater it starts must outlive it, since the update stops the service.
// A job that cannot be made costs only that guarantee, never the running agent.
HANDLE CreateKillOnCloseJob()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits)))
        CloseHandleAndForget(job);
    return job;
}

// The attribute list that puts the agent in its job as it is created; left empty when
// it cannot be had. It refers to `job` until it is deleted.
void PrepareJobList(HANDLE& job, std::vector<BYTE>& list)
{
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0)
        return;
    list.assign(size, 0);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
        list.clear();
        return;
    }
    if (!UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job, sizeof(job), nullptr,
                                   nullptr)) {
        DeleteProcThreadAttributeList(attributes);
        list.clear();
    }
}

// In its job from its first instruction when the job list can be had; otherwise, or
// where the creation refuses the list, suspended, so that it still runs no instruction
// before it is in its job.
bool CreateInJob(HANDLE agentToken, const std::filesystem::path& agentPath, std::vector<wchar_t>& commandLine,
                 LPVOID environment, AgentStart& start)
{
    std::wstring applicationName = agentPath.wstring();
    std::wstring workingDirectory = agentPath.parent_path().wstring();
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.lpDesktop = const_cast<LPWSTR>(AgentDesktop);
    auto create = [&](DWORD flags, DWORD startupSize) {
        startup.StartupInfo.cb = startupSize;
        return CreateProcessAsUserW(agentToken, applicationName.c_str(), commandLine.data(), nullptr, nullptr,
                                    FALSE, AgentCreationFlags | flags, environment, workingDirectory.c_str(),
                                    &startup.StartupInfo, &start.Info)
            != FALSE;
    };

    start.Job = CreateKillOnCloseJob();
    std::vector<BYTE> jobList;
    if (start.Job != nullptr)
        PrepareJobList(start.Job, jobList);
    bool created = false;
    if (!jobList.empty()) {
        startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(jobList.data());
        created = create(EXTENDED_STARTUPINFO_PRESENT, sizeof(startup));
        DeleteProcThreadAttributeList(startup.lpAttributeList);
        startup.lpAttributeList = nullptr;
    }
    if (!created) {
        start.Suspended = true;
        created = create(CREATE_SUSPENDED, sizeof(startup.StartupInfo));
    }
    if (!created)
        CloseHandleAndForget(start.Job);
    return created;
}

bool CreateAgentProcess(HANDLE agentToken, const std::filesystem::path& agentPath, AgentStart& start)
{
    LPVOID environment = nullptr;
    // Without a block of its own the agent inherits ours, which still works.
    CreateEnvironmentBlock(&environment, agentToken, FALSE);

    // The folder judged below is the folder named to the agent: the data root is looked
    // up once, since a second lookup may answer otherwise (a failed one falls back).
    const std::filesystem::path dataRoot = GetDataRoot();
    CreateDataFolder(dataRoot);
    // CreateProcessAsUserW may write into its command line, so it gets a copy.
    std::wstring commandLine = BuildCommandLine(agentPath, dataRoot);
    std::vector<wchar_t> writableCommandLine(commandLine.begin(), commandLine.end());
    writableCommandLine.push_back(L'\0');

    // The agent runs as LocalSystem and reads its configuration from the data folder:
    // whatever made or changed it, it is judged here, where it is handed over, and a
    // folder someone else could change is a failed launch.
    bool created = DataFolderIsSafe(dataRoot)
        && CreateInJob(agentToken, agentPath, writableCommandLine, environment, start);
    if (environment != nullptr)
        DestroyEnvironmentBlock(environment);
    return created;
}

// A suspended agent is put in its job and only then let run. One that cannot run is a
// failed launch; it must not linger suspended.
bool RunSuspendedAgent(AgentStart& start)
{
    if (start.Job != nullptr && !AssignProcessToJobObject(start.Job, start.Info.hProcess))
        CloseHandleAndForget(start.Job);
    if (ResumeThread(start.Info.hThread) != ResumeFailed)
        return true;
    TerminateProcess(start.Info.hProcess, 0);
    CloseHandleAndForget(start.Info.hThread);
    CloseHandleAndForget(start.Info.hProcess);
    CloseHandleAndForget(start.Job);
    return false;
}

// The caller has emptied the slot (StopAgent), so nothing it holds is overwritten.
void TrackAgent(AgentStart& start, DWORD session)
{
    if (start.Suspended && !RunSuspendedAgent(start))
        return;
    CloseHandleAndForget(start.Info.hThread);
    AgentSlot.Process = start.Info.hProcess;
    AgentSlot.Job = start.Job;
    AgentSlot.Session = session;
}

} // namespace

void LaunchAgent(DWORD session)
{
    std::filesystem::path agentPath = GetModuleDirectory() / AgentFileName;
    if (!AgentIsSafe(agentPath))
        return;

    AgentStart start;
    HANDLE ownToken = nullptr;
    HANDLE agentToken = nullptr;
    bool created = false;
    if (OpenProcessToken(GetCurrentProcess(), OwnTokenAccess, &ownToken)) {
        agentToken = DuplicateTokenForSession(ownToken, session);
        if (agentToken != nullptr)
            created = CreateAgentProcess(agentToken, agentPath, start);
    }
    CloseHandleAndForget(agentToken);
    CloseHandleAndForget(ownToken);
    if (created)
        TrackAgent(start, session);
}
