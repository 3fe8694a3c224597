// The administrative modes and the service run end to end under Wine's service
// manager: the real executable is installed beside the stand-in agent and session
// DLL, and every result is read back through the service manager's own queries.
// Every test starts from no registration and ends with none and no agent alive.

#include "WineTest.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

using namespace winetest;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const wchar_t ServiceName[] = L"OrvellaService";
const wchar_t DisplayName[] = L"Orvella Service";
const wchar_t Description[] = L"Запускает видимый агент Orvella в активной пользовательской сессии";

// Wine's service manager hands its services PROGRAMDATA=C:\users\Public, Windows C:\ProgramData.
const fs::path DataFolder = UnderWine() ? L"C:\\users\\Public\\Orvella" : L"C:\\ProgramData\\Orvella";
const fs::path AgentLog = DataFolder / L"agent-log.txt";

const fs::path PlainFolder = L"C:\\orvella-tests\\svc";
const fs::path BlankFolder = L"C:\\orvella-tests\\svc with blanks";

// A supervision pass comes every 3 s; the first one after the start.
constexpr auto AgentDeadline = 10s;

struct ScClose {
    void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScClose>;
struct KernelClose {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, KernelClose>;

ScHandle Manager()
{
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        throw std::runtime_error("OpenSCManagerW failed: " + std::to_string(GetLastError()));
    return manager;
}

// Null with GetLastError() telling why (1060 when not installed).
ScHandle OpenOrvella(DWORD access = SERVICE_ALL_ACCESS)
{
    return ScHandle(OpenServiceW(Manager().get(), ServiceName, access));
}

bool Installed()
{
    return OpenOrvella(SERVICE_QUERY_STATUS) != nullptr || GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
}

// Zeroed when the service is not installed.
SERVICE_STATUS_PROCESS Status()
{
    SERVICE_STATUS_PROCESS status{};
    ScHandle service = OpenOrvella(SERVICE_QUERY_STATUS);
    DWORD needed = 0;
    if (service)
        QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                             sizeof status, &needed);
    return status;
}

bool WaitForState(DWORD state, std::chrono::milliseconds timeout = 15s)
{
    return WaitFor([&] { return Status().dwCurrentState == state; }, timeout);
}

Handle OpenProcessHandle(DWORD pid)
{
    return Handle(pid == 0 ? nullptr
                           : OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE,
                                         FALSE, pid));
}

// A pid from the log may have been reused: only a live Kestrune.exe counts.
Handle LiveAgent(DWORD pid)
{
    Handle process = OpenProcessHandle(pid);
    wchar_t image[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    if (!process || HasEnded(process.get()) || !QueryFullProcessImageNameW(process.get(), 0, image, &size)
        || fs::path(image).filename() != L"Kestrune.exe")
        return nullptr;
    return process;
}

std::vector<AgentRecord> AgentRecords()
{
    return ReadAgentLog(AgentLog);
}

// The record of the agent started after the first `seen` ones.
AgentRecord WaitForAgent(size_t seen = 0)
{
    std::vector<AgentRecord> records;
    WaitFor([&] { return (records = AgentRecords()).size() > seen; }, AgentDeadline, 100);
    return records.size() > seen ? records[seen] : AgentRecord{};
}

std::string ExpectedAgentCommandLine(const fs::path& folder)
{
    return Utf8(L"\"" + (folder / L"Kestrune.exe").wstring() + L"\" --service-agent --config \""
                + (DataFolder / L"device.json").wstring() + L"\"");
}

struct Registration {
    DWORD type = 0;
    DWORD start = 0;
    DWORD errorControl = 0;
    std::string account;
    std::string binaryPath;
    std::string displayName;
    std::string description;
};

// The registration as the service manager's own queries give it back.
Registration ReadRegistration()
{
    Registration registration;
    ScHandle service = OpenOrvella(SERVICE_QUERY_CONFIG);
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!service || !QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed))
        throw std::runtime_error("QueryServiceConfigW failed: " + std::to_string(GetLastError()));
    registration = {config->dwServiceType,
                    config->dwStartType,
                    config->dwErrorControl,
                    Utf8(config->lpServiceStartName),
                    Utf8(config->lpBinaryPathName),
                    Utf8(config->lpDisplayName),
                    {}};
    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data());
    if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                             static_cast<DWORD>(buffer.size()), &needed)
        && description->lpDescription != nullptr)
        registration.description = Utf8(description->lpDescription);
    return registration;
}

void ExpectProductRegistration(const fs::path& exe)
{
    Registration registration = ReadRegistration();
    EXPECT_EQ(registration.type, DWORD{SERVICE_WIN32_OWN_PROCESS});
    EXPECT_EQ(registration.start, DWORD{SERVICE_AUTO_START});
    EXPECT_EQ(registration.errorControl, DWORD{SERVICE_ERROR_NORMAL});
    EXPECT_EQ(registration.account, "LocalSystem");
    EXPECT_EQ(registration.binaryPath, Utf8(L"\"" + exe.wstring() + L"\""));
    EXPECT_EQ(registration.displayName, Utf8(DisplayName));
    EXPECT_EQ(registration.description, Utf8(Description));
}

struct Outcome {
    DWORD exitCode;
    std::chrono::milliseconds took;
};

Outcome RunMode(const fs::path& exe, std::vector<std::wstring> arguments)
{
    RunOptions options;
    options.program = exe;
    options.arguments = std::move(arguments);
    ULONGLONG started = GetTickCount64();
    RunResult result = RunProgram(options, 60s);
    EXPECT_FALSE(result.timedOut) << Utf8(options.arguments.front());
    return {result.exitCode, std::chrono::milliseconds(GetTickCount64() - started)};
}

// The product executable with the stand-in agent and session DLL beside it, one
// active user session at the console.
fs::path Deploy(const fs::path& folder)
{
    fs::path exe = CopyExeAndAgentTo(folder);
    InstallWtsapiStandIn(folder);
    WriteSessions(folder, "0 Disconnected\n1 Active\n");
    return exe;
}

void StopThroughManager()
{
    SERVICE_STATUS ignored{};
    ScHandle service = OpenOrvella();
    if (service)
        ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
}

// Done with the service manager's own calls, so that a broken mode of the product
// cannot leave the next test a registration.
void RemoveRegistration()
{
    SERVICE_STATUS_PROCESS status = Status();
    Handle process = OpenProcessHandle(status.dwProcessId);
    if (status.dwCurrentState != 0 && status.dwCurrentState != SERVICE_STOPPED) {
        StopThroughManager();
        EXPECT_TRUE(WaitForState(SERVICE_STOPPED)) << "leftover service did not stop";
    }
    if (process)
        WaitForSingleObject(process.get(), 10000);
    if (ScHandle service = OpenOrvella(DELETE))
        DeleteService(service.get());
    EXPECT_TRUE(WaitFor([] { return !Installed(); }, 5s)) << "registration stays";
}

class Service : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveRegistration();
        KillAgents();
        std::error_code ignored;
        fs::remove(AgentLog, ignored);
    }

    void TearDown() override
    {
        RemoveRegistration();
        EXPECT_EQ(KillAgents(), 0) << "agents outlived their service";
        for (const fs::path& folder : {PlainFolder, BlankFolder}) {
            std::error_code ignored;
            fs::remove_all(folder, ignored);
        }
    }

    // Terminates every logged agent still alive; answers how many there were.
    static int KillAgents()
    {
        int alive = 0;
        for (const AgentRecord& record : AgentRecords()) {
            if (Handle agent = LiveAgent(record.pid)) {
                ++alive;
                TerminateProcess(agent.get(), 1);
                WaitForSingleObject(agent.get(), 5000);
            }
        }
        return alive;
    }

    // Installs from the deployed copy and waits for its first agent.
    AgentRecord InstallRunning(const fs::path& exe)
    {
        EXPECT_EQ(RunMode(exe, {L"--install-service", exe.wstring()}).exitCode, 0u);
        EXPECT_EQ(Status().dwCurrentState, DWORD{SERVICE_RUNNING});
        AgentRecord agent = WaitForAgent(AgentRecords().size());
        EXPECT_TRUE(LiveAgent(agent.pid)) << "no agent after the installation";
        return agent;
    }

    void InstallStopped(const fs::path& exe)
    {
        InstallRunning(exe);
        StopThroughManager();
        ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
    }
};

TEST_F(Service, InstallOnACleanPrefixRegistersExactlyAndRunsTheAgent)
{
    fs::path exe = Deploy(PlainFolder);
    AgentRecord agent = InstallRunning(exe);
    EXPECT_EQ(agent.cmdline, ExpectedAgentCommandLine(PlainFolder));
    EXPECT_EQ(agent.cwd, Utf8(PlainFolder.wstring()));

    ExpectProductRegistration(exe);
}

TEST_F(Service, InstallAgainOverTheRunningServiceUnderABlankPathRestartsNothing)
{
    fs::path exe = Deploy(BlankFolder);
    AgentRecord agent = InstallRunning(exe);
    EXPECT_EQ(agent.cmdline, ExpectedAgentCommandLine(BlankFolder));
    DWORD servicePid = Status().dwProcessId;

    EXPECT_EQ(RunMode(exe, {L"--install-service", exe.wstring()}).exitCode, 0u);
    // Long enough for a supervision pass to have replaced a missing agent.
    Sleep(3500);
    SERVICE_STATUS_PROCESS status = Status();
    EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_RUNNING});
    EXPECT_EQ(status.dwProcessId, servicePid);
    EXPECT_TRUE(LiveAgent(agent.pid));
    EXPECT_EQ(AgentRecords().size(), 1u);
}

// Wine reports every file as owned by the prefix's own user, who also owns the system
// folder and runs the service, and so is trusted as Windows trusts TrustedInstaller. A
// folder made by hand lets Everyone read it, so it is moved aside whole and its
// configuration copied into the fresh folder. What this shows: the installation deletes
// nothing it finds, and the agent starts on the folder it made, which the launch judges
// by its handle again.
TEST_F(Service, InstallOverAFilledDataFolderDeletesNothing)
{
    fs::path exe = Deploy(PlainFolder);
    const std::map<fs::path, std::string> planted = {{L"device.json", "{\"planted\":1}"},
                                                     {fs::path(L"cache") / L"state.bin", "state"}};
    fs::create_directories(DataFolder / L"cache");
    for (const auto& [name, text] : planted)
        WriteTextFile(DataFolder / name, text);

    // The service's own data folder: Wine gives services a PROGRAMDATA of their own.
    RunOptions install{exe,
                       {L"--install-service", exe.wstring()},
                       {},
                       {{L"PROGRAMDATA", DataFolder.parent_path().wstring()}}};
    EXPECT_EQ(RunProgram(install, 60s).exitCode, 0u);
    AgentRecord agent = WaitForAgent();
    EXPECT_TRUE(LiveAgent(agent.pid)) << "no agent after the installation";

    std::vector<fs::path> kept{DataFolder};
    for (const auto& entry : fs::directory_iterator(DataFolder.parent_path()))
        if (entry.path().filename().wstring().rfind(L"Orvella.untrusted-", 0) == 0)
            kept.push_back(entry.path());
    for (const auto& [name, text] : planted) {
        int found = 0;
        for (const fs::path& folder : kept)
            found += IsFile(folder / name) && ReadTextFile(folder / name) == text;
        EXPECT_GE(found, 1) << Utf8(name.wstring());
    }
    for (size_t index = 1; index < kept.size(); ++index) {
        std::error_code ignored;
        fs::remove_all(kept[index], ignored);
    }
}

// The service manager would start the file as LocalSystem at every boot: from a folder
// others may change, nothing is registered, and the data folder is not touched.
TEST_F(Service, InstallFromAFolderOthersMayWriteToRegistersNothing)
{
    if (!UnderWine())
        GTEST_SKIP() << "the folder is opened to others through its Unix mode";
    fs::path exe = Deploy(PlainFolder);
    SetUnixMode(PlainFolder, "0777");
    EXPECT_EQ(RunMode(exe, {L"--install-service", exe.wstring()}).exitCode, DWORD{ERROR_ACCESS_DENIED});
    EXPECT_FALSE(Installed());
    SetUnixMode(PlainFolder, "0755");
}

// A registration left by something else is brought to the product's own settings.
// A rewrite sets what the product owns (path, start type, names, description) and
// leaves the rest of an older registration, such as its error control, as it was.
TEST_F(Service, InstallOverAnOlderRegistrationRewritesPathStartTypeAndNames)
{
    fs::path exe = Deploy(PlainFolder);
    ScHandle older(CreateServiceW(Manager().get(), ServiceName, L"Old Name", SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DISABLED, SERVICE_ERROR_IGNORE,
                                  L"C:\\old\\old.exe", nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(older) << GetLastError();
    older.reset();

    InstallRunning(exe);
    Registration registration = ReadRegistration();
    EXPECT_EQ(registration.start, DWORD{SERVICE_AUTO_START});
    EXPECT_EQ(registration.errorControl, DWORD{SERVICE_ERROR_IGNORE});
    EXPECT_EQ(registration.binaryPath, Utf8(L"\"" + exe.wstring() + L"\""));
    EXPECT_EQ(registration.displayName, Utf8(DisplayName));
    EXPECT_EQ(registration.description, Utf8(Description));
}

TEST_F(Service, StartServiceAnswersForEachState)
{
    fs::path exe = Deploy(PlainFolder);
    EXPECT_EQ(RunMode(exe, {L"--start-service"}).exitCode, DWORD{ERROR_SERVICE_DOES_NOT_EXIST});

    AgentRecord first = InstallRunning(exe);
    DWORD servicePid = Status().dwProcessId;
    EXPECT_EQ(RunMode(exe, {L"--start-service"}).exitCode, 0u);
    EXPECT_EQ(Status().dwProcessId, servicePid);
    EXPECT_TRUE(LiveAgent(first.pid));

    StopThroughManager();
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
    EXPECT_EQ(RunMode(exe, {L"--start-service"}).exitCode, 0u);
    EXPECT_TRUE(WaitForState(SERVICE_RUNNING));
    EXPECT_NE(Status().dwProcessId, servicePid);
    EXPECT_TRUE(LiveAgent(WaitForAgent(1).pid)) << "no agent after the restart";
}

// An updater replaces the files once STOPPED is reported: the agent must be gone by then.
TEST_F(Service, StopEndsTheAgentBeforeReportingStopped)
{
    AgentRecord record = InstallRunning(Deploy(PlainFolder));
    Handle agent = LiveAgent(record.pid);
    ASSERT_TRUE(agent);
    Handle service = OpenProcessHandle(Status().dwProcessId);

    StopThroughManager();
    ASSERT_TRUE(WaitFor([] { return Status().dwCurrentState == SERVICE_STOPPED; }, 15s, 1));
    EXPECT_TRUE(HasEnded(agent.get())) << "STOPPED was reported with the agent still alive";
    EXPECT_EQ(WaitForSingleObject(service.get(), 10000), DWORD{WAIT_OBJECT_0})
        << "the service process outlived STOPPED";
}

TEST_F(Service, RemoveStopsTheServiceAndItsAgentThenDeletesIt)
{
    fs::path exe = Deploy(PlainFolder);
    EXPECT_EQ(RunMode(exe, {L"--remove-service"}).exitCode, 0u);

    AgentRecord record = InstallRunning(exe);
    Handle agent = LiveAgent(record.pid);
    Handle service = OpenProcessHandle(Status().dwProcessId);
    ASSERT_TRUE(service);
    EXPECT_EQ(RunMode(exe, {L"--remove-service"}).exitCode, 0u);
    EXPECT_TRUE(HasEnded(service.get())) << "the service process still runs";
    EXPECT_TRUE(HasEnded(agent.get())) << "the agent still runs";
    EXPECT_TRUE(WaitFor([] { return !Installed(); }, 2s)) << "the registration stays";
}

// A service that dies without its stop path (a crash, a forced kill) takes its agent
// along, so that the restart its failure actions make runs one agent, not two; a
// program the agent started, such as its updater, lives on.
TEST_F(Service, KilledServiceTakesItsAgentAlongButNotTheAgentsChild)
{
    fs::path exe = Deploy(PlainFolder);
    fs::create_directories(DataFolder);
    WriteTextFile(DataFolder / L"agent-child.txt", "");
    fs::remove(DataFolder / L"agent-children.txt");
    Handle agent = LiveAgent(InstallRunning(exe).pid);
    fs::remove(DataFolder / L"agent-child.txt");
    ASSERT_TRUE(agent);
    std::string childPid;
    WaitFor([&] { return !(childPid = ReadTextFile(DataFolder / L"agent-children.txt")).empty(); }, 5s);
    Handle child = OpenProcessHandle(static_cast<DWORD>(std::strtoul(childPid.c_str(), nullptr, 10)));
    ASSERT_TRUE(child) << "the agent started no child";

    Handle service = OpenProcessHandle(Status().dwProcessId);
    ASSERT_TRUE(TerminateProcess(service.get(), 1));
    EXPECT_EQ(WaitForSingleObject(agent.get(), 1000), DWORD{WAIT_OBJECT_0})
        << "the agent outlived its service";
    EXPECT_FALSE(HasEnded(child.get())) << "the agent's child ended with it";
    TerminateProcess(child.get(), 1);
    WaitForSingleObject(child.get(), 5000);

    // Wine's service manager goes on reporting a killed service as running, so the
    // restart that the failure actions make on Windows is made here by registering
    // the service afresh.
    if (ScHandle stale = OpenOrvella(DELETE))
        DeleteService(stale.get());
    ASSERT_TRUE(WaitFor([] { return !Installed(); }, 5s));
    size_t seen = AgentRecords().size();
    InstallRunning(exe);
    // The next pass leaves that one agent alone.
    Sleep(3500);
    EXPECT_EQ(ProcessesOf(PlainFolder / L"Kestrune.exe").size(), 1u);
    EXPECT_EQ(AgentRecords().size(), seen + 1);
}

// An updater's earlier removal may have left the running service marked for deletion.
TEST_F(Service, RemoveOfAServiceMarkedForDeletionStillStopsIt)
{
    fs::path exe = Deploy(PlainFolder);
    AgentRecord record = InstallRunning(exe);
    Handle agent = LiveAgent(record.pid);
    Handle service = OpenProcessHandle(Status().dwProcessId);
    // Another program's handle keeps the marked registration alive, so the removal's
    // own deletion meets "marked for deletion" (1072) instead of "not installed".
    ScHandle keeper = OpenOrvella(SERVICE_QUERY_STATUS);
    ASSERT_TRUE(DeleteService(OpenOrvella(DELETE).get())) << GetLastError();

    EXPECT_EQ(RunMode(exe, {L"--remove-service"}).exitCode, 0u);
    EXPECT_TRUE(HasEnded(service.get())) << "the service process still runs";
    EXPECT_TRUE(HasEnded(agent.get())) << "the agent still runs";
    ASSERT_TRUE(Installed()) << "the registration went before its last handle closed";
    keeper.reset();
    EXPECT_TRUE(WaitFor([] { return !Installed(); }, 2s)) << "the registration stays";
}

// One answer of the bench's probe (bench/ProcessProbe.cpp): name=value fields.
std::string Probe(std::vector<std::wstring> arguments)
{
    return " " + RunProgram({FixturesFolder() / L"ProcessProbe.exe", std::move(arguments), {}, {}}).output;
}

long long Field(const std::string& answer, const std::string& name)
{
    size_t at = answer.find(" " + name + "=");
    return at == std::string::npos ? -1 : std::atoll(answer.c_str() + at + name.size() + 2);
}

// Threads and events aside: see bench/ProcessProbe.cpp.
long long HandlesOtherThanThreadsAndEvents(const std::string& stats)
{
    return Field(stats, "handle_table") - Field(stats, "thread_event_handles");
}

// Seeded by libssp, the stack canary would cost the service a cryptographic provider
// and, under Wine, user32 with a window station, a desktop, a mutex and registry keys.
// Beside the bench's do-nothing service it may hold only its agent's process and job
// and one key more; that figure was taken under Wine, with the session stand-in.
TEST_F(Service, RunningServiceHoldsLittleMoreThanADoNothingServiceAndNoUser32)
{
    ScHandle idle(CreateServiceW(Manager().get(), L"OrvellaBenchIdle", L"OrvellaBenchIdle",
                                 SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                 SERVICE_ERROR_IGNORE, (FixturesFolder() / L"IdleService.exe").c_str(),
                                 nullptr, nullptr, nullptr, nullptr, nullptr));
    // Marked for deletion at once, it goes with its stop whatever the checks find.
    ASSERT_TRUE(idle && StartServiceW(idle.get(), 0, nullptr) && DeleteService(idle.get())) << GetLastError();
    InstallRunning(Deploy(PlainFolder));
    std::string service = Probe({L"stats", std::to_wstring(Status().dwProcessId)});
    std::string baseline =
        Probe({L"stats", std::to_wstring(Field(Probe({L"service-pid", L"OrvellaBenchIdle"}), "pid"))});

    EXPECT_EQ(Field(service, "user32"), 0) << service;
    if (UnderWine()) {
        EXPECT_LE(HandlesOtherThanThreadsAndEvents(service), HandlesOtherThanThreadsAndEvents(baseline) + 3)
            << service << baseline;
    }
    SERVICE_STATUS ignored{};
    ControlService(idle.get(), SERVICE_CONTROL_STOP, &ignored);
}

// --prepare-update runs from a copy: the installed image cannot be opened for writing
// while it runs.
class PrepareUpdate : public Service {
protected:
    Outcome Prepare(const fs::path& target, const fs::path& stateFile)
    {
        return RunMode(updater, {L"--prepare-update", target.wstring(), stateFile.wstring()});
    }
    TempFolder work{L"update"};
    fs::path updater = CopyExeTo(work.Path());
    fs::path stateFile = work.Path() / L"state.txt";
};

TEST_F(PrepareUpdate, RunningServiceIsStoppedReportedAndComesBackAfterTheReplacement)
{
    fs::path exe = Deploy(PlainFolder);
    AgentRecord record = InstallRunning(exe);
    Handle agent = LiveAgent(record.pid);
    Handle service = OpenProcessHandle(Status().dwProcessId);

    EXPECT_EQ(Prepare(exe, stateFile).exitCode, 0u);
    EXPECT_EQ(ReadTextFile(stateFile), "running");
    EXPECT_EQ(Status().dwCurrentState, DWORD{SERVICE_STOPPED});
    EXPECT_TRUE(HasEnded(service.get()));
    EXPECT_TRUE(HasEnded(agent.get()));
    EXPECT_TRUE(CopyFileW(ProductExe().c_str(), exe.c_str(), FALSE))
        << "the installed exe cannot be replaced: " << GetLastError();

    EXPECT_EQ(RunMode(exe, {L"--start-service"}).exitCode, 0u);
    EXPECT_TRUE(WaitForState(SERVICE_RUNNING));
    EXPECT_TRUE(LiveAgent(WaitForAgent(1).pid)) << "no agent after the update";
}

TEST_F(PrepareUpdate, StoppedOrMissingServiceIsReportedStopped)
{
    fs::path exe = Deploy(PlainFolder);
    Outcome notInstalled = Prepare(PlainFolder / L"absent.exe", stateFile);
    EXPECT_EQ(notInstalled.exitCode, 0u);
    EXPECT_EQ(ReadTextFile(stateFile), "stopped");

    InstallStopped(exe);
    WriteTextFile(stateFile, "previous content, longer than the word");
    EXPECT_EQ(Prepare(exe, stateFile).exitCode, 0u);
    EXPECT_EQ(ReadTextFile(stateFile), "stopped");
}

// The only case of the Wine tier that waits out the 30 s for a locked file.
TEST_F(PrepareUpdate, LockedTargetIsReportedAfterTheWaitAndAMissingStateFolderAtOnce)
{
    fs::path target = work.Path() / L"locked.exe";
    WriteTextFile(target, "image");
    Handle lock(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(lock.get(), INVALID_HANDLE_VALUE);

    Outcome noFolder = Prepare(target, work.Path() / L"missing" / L"state.txt");
    EXPECT_EQ(noFolder.exitCode, DWORD{ERROR_WRITE_FAULT});
    EXPECT_LT(noFolder.took, 10s) << "waited for the file before failing on the state file";

    Outcome locked = Prepare(target, stateFile);
    EXPECT_TRUE(locked.exitCode == ERROR_SHARING_VIOLATION || locked.exitCode == ERROR_ACCESS_DENIED)
        << locked.exitCode;
    EXPECT_GE(locked.took, 29s);
    EXPECT_LT(locked.took, 45s);
    EXPECT_EQ(ReadTextFile(stateFile), "stopped");
}

} // namespace
