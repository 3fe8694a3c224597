// Every call fails in turn. Each scenario runs once undisturbed and keeps its journal; then,
// for every call in it (the k-th call of f), it runs again from the same start with exactly
// that call failing, and what it leaves is judged: the handles it still holds, the status it
// answers, the agent it tracks, and what it did to the data folder and to everything else.

#include "HostTest.h"

#include "entry/Entry.h"
#include "layout/DataFolder.h"
#include "layout/Paths.h"
#include "layout/ProgramFolder.h"
#include "supervisor/Supervisor.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr ULONGLONG T0 = model::StartTime;
const std::wstring User = L"S-1-5-21-1111-2222-3333-1001";
const std::wstring UsersMayWrite =
    L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;CI;0x1301bf;;;BU)";

struct Tally {
    size_t calls = 0;
    size_t scenarios = 0;
    size_t leaks = 0;
    size_t statuses = 0;
    size_t invariants = 0;
};

Tally& Total()
{
    static Tally tally;
    return tally;
}

class SweepLine : public ::testing::Environment {
public:
    void TearDown() override
    {
        const Tally& t = Total();
        std::printf("failure sweep: %zu calls failed across %zu scenarios: %zu leaks, %zu unexpected "
                    "statuses, %zu broken invariants\n",
                    t.calls, t.scenarios, t.leaks, t.statuses, t.invariants);
    }
};
const ::testing::Environment* const sweepLine = ::testing::AddGlobalTestEnvironment(new SweepLine);

// The typical way each function fails; the stand-in returns the function's own failure value.
DWORD TypicalError(const std::string& function)
{
    static const std::map<std::string, DWORD> errors = {
        {"CreateEventW", ERROR_NOT_ENOUGH_MEMORY},
        {"CreateJobObjectW", ERROR_NOT_ENOUGH_MEMORY},
        {"CreateThread", ERROR_NOT_ENOUGH_MEMORY},
        {"CreateEnvironmentBlock", ERROR_NOT_ENOUGH_MEMORY},
        {"InitializeProcThreadAttributeList", ERROR_NOT_ENOUGH_MEMORY},
        {"UpdateProcThreadAttribute", ERROR_NOT_ENOUGH_MEMORY},
        {"ConvertStringSecurityDescriptorToSecurityDescriptorW", ERROR_NOT_ENOUGH_MEMORY},
        {"ConvertSidToStringSidW", ERROR_NOT_ENOUGH_MEMORY},
        {"GetModuleFileNameW", ERROR_INSUFFICIENT_BUFFER},
        {"GetSystemDirectoryW", ERROR_INSUFFICIENT_BUFFER},
        {"GetFullPathNameW", ERROR_NOT_ENOUGH_MEMORY},
        {"GetEnvironmentVariableW", ERROR_ENVVAR_NOT_FOUND},
        {"WaitForSingleObject", ERROR_INVALID_HANDLE},
        {"CloseHandle", ERROR_INVALID_HANDLE},
        {"CloseServiceHandle", ERROR_INVALID_HANDLE},
        {"LocalFree", ERROR_INVALID_HANDLE},
        {"ResumeThread", ERROR_INVALID_HANDLE},
        {"SetEvent", ERROR_INVALID_HANDLE},
        {"SetTokenInformation", ERROR_PRIVILEGE_NOT_HELD},
        {"StartServiceCtrlDispatcherW", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT},
        {"WriteFile", ERROR_WRITE_FAULT},
    };
    const auto found = errors.find(function);
    return found != errors.end() ? found->second : DWORD{ERROR_ACCESS_DENIED};
}

// Calls that release what their first argument names: when one fails, that value stays in
// the ledger though the caller has nothing left to do with it.
bool IsRelease(const std::string& function)
{
    return function == "CloseHandle" || function == "CloseServiceHandle" || function == "LocalFree"
        || function == "WTSFreeMemory" || function == "DestroyEnvironmentBlock";
}

class FailureSweep;

struct Scenario {
    const char* name;
    std::function<void(FailureSweep&)> arrange;
    // The mode's exit status; nothing for a supervision pass.
    std::function<std::optional<DWORD>(FailureSweep&)> act;
    // Statuses the mode table gives for a step that any call can fail, besides the
    // undisturbed status and the injected error.
    std::set<DWORD> documented;
    // The session a tracked agent must be in; NoSession where no agent is supervised.
    DWORD target = NoSession;
    // An installation: whatever it registers must stand on a folder it secured whole.
    bool installs = false;
    // What a 0 claims, checked whenever the mode answers it, so that a swallowed error
    // cannot pass as the undisturbed answer.
    std::function<bool(FailureSweep&)> succeeded;
};

class FailureSweep : public HostTest {
public:
    using HostTest::CreateStopEvent;
    using HostTest::PutAgentFile;
    fs::path Folder() const { return dataRoot / "Orvella"; }
    fs::path Outside() const { return root / "outside"; }
    fs::path Executable() const { return exeDir / "OrvellaService.exe"; }
    fs::path StateFile() const { return root / "state.txt"; }
    // Where the product turns when PROGRAMDATA cannot be read: relative here, so in the
    // sweep's own folder, which is the current one while it runs.
    static fs::path FallbackRoot() { return L"C:\\ProgramData"; }

    static void Plant(const fs::path& file, const std::wstring& owner)
    {
        std::ofstream(file) << file.filename().string();
        model::SetOwner(file.wstring(), owner);
    }

    static void UserAt(DWORD session)
    {
        model::SetSessions({{0, WTSDisconnected}, {session, WTSActive}});
        model::SetConsoleSession(session);
    }

    DWORD Run(std::vector<std::wstring> arguments) { return RunAs(RunEntry, std::move(arguments)); }

    // One supervision pass, as the loop makes it after its first period.
    void OnePass()
    {
        model::At(T0 + 4000, [] { model::Signal(StopEvent.load()); });
        RunSupervisor();
    }

    void Sweep(const std::vector<Scenario>& scenarios)
    {
        std::wostringstream output;
        std::wstreambuf* savedOutput = std::wcout.rdbuf(output.rdbuf());
        const fs::path savedFolder = fs::current_path();
        fs::current_path(root);
        for (const Scenario& scenario : scenarios) {
            ++Total().scenarios;
            undisturbed.reset();
            const std::vector<model::Call> journal = RunOnce(scenario, nullptr, 0);
            EXPECT_FALSE(journal.empty()) << scenario.name << ": the undisturbed run made no call";
            undisturbed = status;
            EXPECT_EQ(status.value_or(0), 0u) << scenario.name << " undisturbed";
            std::map<std::string, int> seen;
            for (const model::Call& call : journal) {
                const int nth = ++seen[call.function];
                if (!Injectable(call.function))
                    continue;
                ++Total().calls;
                RunOnce(scenario, call.function.c_str(), nth);
            }
        }
        std::wcout.rdbuf(savedOutput);
        fs::current_path(savedFolder);
        const Tally& t = Total();
        EXPECT_EQ(t.leaks + t.statuses + t.invariants, 0u);
    }

private:
    std::optional<DWORD> status;
    std::optional<DWORD> undisturbed;
    std::string label;
    std::vector<fs::path> outsideBefore;
    std::optional<model::ServiceRecord> serviceBefore;

    static bool Injectable(const std::string& function)
    {
        try {
            model::FailNth(function, 1, 1);
            model::StopFailing(function);
            return true;
        } catch (const std::invalid_argument&) {
            return false;
        }
    }

    void Report(size_t& counter, const std::string& what)
    {
        ++counter;
        ADD_FAILURE() << label << ": " << what;
    }

    // Back to the scenario's start: a fresh stand-in, the process-wide values at their
    // start-up state, and empty folders at the same places.
    void Fresh()
    {
        model::Reset();
        // A loop that stops waiting spins; end it within moments instead of a million calls.
        model::SetCallLimit(20000);
        StopEvent.store(nullptr);
        ServiceStatusHandle.store(nullptr);
        AgentSlot = AgentSlotRecord{};
        for (const auto& entry : fs::directory_iterator(root))
            fs::remove_all(entry.path());
        for (const fs::path& folder : {exeDir, dataRoot, Outside() / "kept"})
            fs::create_directories(folder);
        std::ofstream(Outside() / "kept" / "system.ini") << "outside";
        model::SetModuleFileName(Executable().wstring());
        model::SetEnvironment(L"PROGRAMDATA", dataRoot.wstring());
    }

    // Everything on the real file system that is not the data root's.
    std::vector<fs::path> OutsideTheDataRoot() const
    {
        std::vector<fs::path> paths;
        for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
             ++it) {
            if (it->path() == dataRoot || it->path() == root / FallbackRoot()) {
                it.disable_recursion_pending();
                continue;
            }
            if (it->path() != StateFile())
                paths.push_back(it->path());
        }
        return paths;
    }

    std::vector<model::Call> RunOnce(const Scenario& scenario, const char* function, int nth)
    {
        const DWORD error = function ? TypicalError(function) : 0;
        label = std::string(scenario.name)
            + (function ? " with " + std::string(function) + " #" + std::to_string(nth) + " failing with "
                       + std::to_string(error)
                        : " undisturbed");
        Fresh();
        scenario.arrange(*this);
        outsideBefore = OutsideTheDataRoot();
        const model::ServiceRecord* registered = model::Service(ServiceName);
        serviceBefore = registered ? std::optional<model::ServiceRecord>(*registered) : std::nullopt;
        model::ClearJournal();
        if (function)
            model::FailNth(function, nth, error);
        status.reset();
        try {
            status = scenario.act(*this);
        } catch (const std::exception& thrown) {
            Report(Total().invariants, std::string("an exception escaped: ") + thrown.what());
        }
        std::vector<model::Call> journal = model::Journal();
        if (function)
            model::StopFailing(function);

        uintptr_t released = 0;
        if (function && IsRelease(function)) {
            for (const model::Call& call : journal)
                if (call.injected)
                    released = call.arg(0);
        }
        CheckLedger(released);
        // The stand-in keeps open what a failed release named, and Windows renames no folder
        // with a handle open below it: the status that follows is the stand-in's.
        if (function && status && !released)
            CheckStatus(scenario, error);
        if (status == 0u && scenario.succeeded && !scenario.succeeded(*this))
            Report(Total().statuses, "answered 0 for what did not happen");
        const bool passed = std::any_of(journal.begin(), journal.end(), [](const model::Call& call) {
            return call.function == "WTSEnumerateSessionsW";
        });
        CheckAgents(passed ? scenario.target : AgentSlot.Session);
        const bool fellBack = function && std::string(function) == "GetEnvironmentVariableW";
        CheckFolders(scenario.installs, fellBack ? FallbackRoot() : dataRoot);
        Finish();
        return journal;
    }

    void CheckLedger(uintptr_t released)
    {
        const std::set<uintptr_t> allowed = {reinterpret_cast<uintptr_t>(StopEvent.load()),
                                             reinterpret_cast<uintptr_t>(AgentSlot.Process),
                                             reinterpret_cast<uintptr_t>(AgentSlot.Job), released};
        for (const model::OpenHandle& handle : model::OpenHandles())
            if (!allowed.count(handle.value))
                Report(Total().leaks,
                       std::string("left open: ") + model::KindName(handle.kind) + " " + handle.description);
        for (const std::string& fault : model::Faults())
            Report(Total().leaks, "misuse: " + fault);
    }

    void CheckStatus(const Scenario& scenario, DWORD injected)
    {
        const DWORD answered = *status;
        if (answered == undisturbed || (injected != 0 && answered == injected)
            || scenario.documented.count(answered))
            return;
        Report(Total().statuses, "answered " + std::to_string(answered));
    }

public:
    // At most one agent, the one in the slot, running, in the target session and its job.
    void CheckAgents(DWORD target)
    {
        std::vector<model::ProcessRecord> live;
        for (const model::ProcessRecord& process : model::LiveProcesses()) {
            if (!process.createdByCreateProcess)
                continue;
            live.push_back(process);
            if (process.suspended)
                Report(Total().invariants, "an agent was left suspended");
        }
        if (AgentSlot.Process == nullptr) {
            if (!live.empty())
                Report(Total().invariants, "an agent runs outside the slot");
            return;
        }
        if (live.size() != 1 || model::IsSignalled(AgentSlot.Process)) {
            Report(Total().invariants, "the slot does not track the one running agent");
            return;
        }
        if (live[0].session != target || AgentSlot.Session != target)
            Report(Total().invariants, "the agent is not in the target session");
        if (AgentSlot.Job != nullptr && live[0].job != reinterpret_cast<uintptr_t>(AgentSlot.Job))
            Report(Total().invariants, "the agent is not in the slot's job");
    }

private:
    // Judged afterwards, with nothing failing: what the launch would accept.
    void CheckFolders(bool installs, const fs::path& usedRoot)
    {
        if (OutsideTheDataRoot() != outsideBefore)
            Report(Total().invariants, "something outside the data root was created, renamed or removed");
        for (const auto& [path, sddl] : model::AppliedSecurity())
            if (fs::path(path).lexically_relative(dataRoot).native().rfind("..", 0) == 0)
                Report(Total().invariants, "secured outside the data root: " + fs::path(path).string());
        for (const model::ProcessRecord& process : model::Processes())
            if (process.createdByCreateProcess && !DataFolderIsSafe(HandedOverRoot(process)))
                Report(Total().invariants, "an agent was started over a data folder the launch refuses");
        const bool accepted = DataFolderIsSafe(usedRoot);
        const model::ServiceRecord* registered = model::Service(ServiceName);
        const bool registrationChanged = registered != nullptr
            && (!serviceBefore || registered->binaryPath != serviceBefore->binaryPath
                || registered->description != serviceBefore->description);
        if (registrationChanged && !accepted)
            Report(Total().invariants, "registered over a data folder the launch refuses");
        if (installs && status == 0u)
            CheckSecuredWhole(usedRoot / "Orvella");
    }

    // What an installation that succeeded leaves: every entry of the data folder secured
    // by it, nothing a user planted, and the configuration it found, kept or carried.
    void CheckSecuredWhole(const fs::path& folder)
    {
        if (!fs::exists(folder)) {
            Report(Total().invariants, "an install that succeeded left no data folder");
            return;
        }
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            if (!model::AppliedSecurity().count(entry.path().wstring()))
                Report(Total().invariants, "an entry the install did not secure: " + entry.path().string());
        if (!model::AppliedSecurity().count(folder.wstring()))
            Report(Total().invariants, "the data folder was not secured by the install");
        if (fs::exists(folder / "planted.json") || fs::exists(folder / "link"))
            Report(Total().invariants, "a user's entry stayed in the data folder");
    }

    // The data root whose device.json the agent was told to read.
    static fs::path HandedOverRoot(const model::ProcessRecord& agent)
    {
        const std::wstring line = agent.commandLine.value_or(L"");
        const std::wstring option = L"--config \"";
        const size_t start = line.find(option);
        if (start == std::wstring::npos)
            return fs::path();
        const size_t from = start + option.size();
        return fs::path(line.substr(from, line.find(L'"', from) - from)).parent_path().parent_path();
    }

    void Finish()
    {
        StopAgent();
        HANDLE event = StopEvent.load();
        CloseHandleAndForget(event);
        StopEvent.store(nullptr);
        model::ClearFaults();
        model::Reset();
    }
};

// A data folder the service made, holding what the agent reads and what a user put there.
void ServiceFolderWithPlants(FailureSweep& t)
{
    GetConfigPath();
    fs::create_directories(t.Folder() / "cache");
    FailureSweep::Plant(t.Folder() / "device.json", L"BA");
    FailureSweep::Plant(t.Folder() / "cache" / "state.bin", L"SY");
    FailureSweep::Plant(t.Folder() / "planted.json", User);
    fs::create_directory_symlink(t.Outside() / "kept", t.Folder() / "link");
}

// An older build's folder that users may write to, with a configuration to carry over.
void OlderReadableFolder(FailureSweep& t)
{
    fs::create_directories(t.Folder());
    model::SetSecurity(t.Folder().wstring(), UsersMayWrite);
    FailureSweep::Plant(t.Folder() / "device.json", L"SY");
    FailureSweep::Plant(t.Folder() / "planted.json", User);
}

void RunningService(FailureSweep&)
{
    model::AddService(ServiceName, SERVICE_RUNNING, model::AddProcess(L"OrvellaService.exe"));
}

void AgentAndUser(FailureSweep& t, DWORD session)
{
    t.PutAgentFile();
    FailureSweep::UserAt(session);
}

// The supervisor between its first and second pass, waiting: where the agent is judged.
void CheckAgentsAfterTheFirstPass(FailureSweep& t)
{
    model::At(T0 + 4500, [&t] { t.CheckAgents(1); });
}

const model::ServiceRecord* Registered()
{
    return model::Service(ServiceName);
}

bool Runs(FailureSweep&)
{
    return Registered() && Registered()->state == SERVICE_RUNNING;
}

std::optional<DWORD> Install(FailureSweep& t)
{
    return t.Run({L"--install-service", t.Executable().wstring()});
}

// Install: 1460 the data folder's step past its deadline; 5 the exe's path refused, as it is
// whenever the security on its way cannot be read.
const std::set<DWORD> InstallStatuses = {ERROR_TIMEOUT, ERROR_ACCESS_DENIED};

TEST_F(FailureSweep, AdministrativeModes)
{
    Sweep({
        {"first install on a clean machine", [](FailureSweep&) {}, Install, InstallStatuses, NoSession, true,
         Runs},
        {"install over a data folder with trusted and untrusted entries", ServiceFolderWithPlants, Install,
         InstallStatuses, NoSession, true, Runs},
        {"reinstall over a running service and an older build's folder",
         [](FailureSweep& t) {
             RunningService(t);
             OlderReadableFolder(t);
         },
         Install, InstallStatuses, NoSession, true, Runs},
        {"start-service",
         [](FailureSweep&) { model::AddService(ServiceName); },
         [](FailureSweep& t) -> std::optional<DWORD> { return t.Run({L"--start-service"}); },
         {},
         NoSession,
         false,
         [](FailureSweep&) { return Registered() && Registered()->state != SERVICE_STOPPED; }},
        {"remove-service of a running service",
         RunningService,
         [](FailureSweep& t) -> std::optional<DWORD> { return t.Run({L"--remove-service"}); },
         {},
         NoSession,
         false,
         [](FailureSweep&) { return !Registered() || Registered()->markedForDelete; }},
        {"prepare-update of a running service with a locked then released file",
         [](FailureSweep& t) {
             RunningService(t);
             std::ofstream(t.Executable()) << "exe";
             model::SetFileOpenError(t.Executable().wstring(), ERROR_SHARING_VIOLATION);
             model::At(T0 + 1000, [path = t.Executable().wstring()] { model::SetFileOpenError(path, 0); });
         },
         [](FailureSweep& t) -> std::optional<DWORD> {
             return t.Run({L"--prepare-update", t.Executable().wstring(), t.StateFile().wstring()});
         },
         {},
         NoSession,
         false,
         [](FailureSweep& t) {
             std::string state;
             std::ifstream(t.StateFile()) >> state;
             return Registered()->state == SERVICE_STOPPED && state == "running";
         }},
        {"self-test",
         [](FailureSweep& t) { t.PutAgentFile(); },
         [](FailureSweep& t) -> std::optional<DWORD> { return t.Run({L"--self-test"}); },
         {1}},
    });
}

std::optional<DWORD> Pass(FailureSweep& t)
{
    t.OnePass();
    return std::nullopt;
}

TEST_F(FailureSweep, SupervisionPasses)
{
    Sweep({
        {"a pass that launches the agent",
         [](FailureSweep& t) {
             AgentAndUser(t, 1);
             t.CreateStopEvent();
         },
         Pass,
         {},
         1},
        {"a pass that moves the agent to another session",
         [](FailureSweep& t) {
             AgentAndUser(t, 1);
             t.CreateStopEvent();
             LaunchAgent(1);
             FailureSweep::UserAt(2);
         },
         Pass,
         {},
         2},
        {"a pass that finds the agent healthy",
         [](FailureSweep& t) {
             AgentAndUser(t, 1);
             t.CreateStopEvent();
             LaunchAgent(1);
         },
         Pass,
         {},
         1},
        {"a pass over a data folder users can change",
         [](FailureSweep& t) {
             AgentAndUser(t, 1);
             t.CreateStopEvent();
             GetConfigPath();
             model::SetSecurity(t.Folder().wstring(), UsersMayWrite);
         },
         Pass,
         {},
         1},
    });
}

TEST_F(FailureSweep, ServiceAndConsoleRuns)
{
    // Both end with the agent stopped; 1 is a run whose stop event cannot be made, or the
    // service run outside the service manager.
    Sweep({
        {"ServiceMain from start to STOPPED with an agent running",
         [](FailureSweep& t) {
             AgentAndUser(t, 1);
             model::StartedByServiceManager({});
             CheckAgentsAfterTheFirstPass(t);
             // Asked again a second later, as a stopper whose control was refused does.
             for (ULONGLONG at : {T0 + 5000, T0 + 6000})
                 model::At(at, [] { model::SendControl(SERVICE_CONTROL_STOP); });
         },
         [](FailureSweep& t) -> std::optional<DWORD> { return t.Run({}); },
         {1},
         1},
        {"the console run to Ctrl+C",
         [](FailureSweep& t) {
             AgentAndUser(t, 1);
             CheckAgentsAfterTheFirstPass(t);
             // Without our handler the default one ends the process; ending the loop stands
             // for that here.
             model::At(T0 + 5000, [] {
                 if (!model::SendConsoleEvent(CTRL_C_EVENT))
                     model::Signal(StopEvent.load());
             });
         },
         [](FailureSweep& t) -> std::optional<DWORD> { return t.Run({L"--console"}); },
         {1},
         1},
    });
}

} // namespace
