#include "supervisor/AgentFixture.h"

#include "layout/Paths.h"

#include <functional>
#include <set>

namespace fs = std::filesystem;

namespace {

using Trail = std::vector<std::string>;

class LaunchAgentTest : public AgentTest {
protected:
    // The launch's own calls, with released handles named by their role, so that what was
    // acquired and the order of release read plainly. The checks of the agent's path and
    // of the data folder show as one GetSecurityInfo each; the handles they open and close
    // are their own business.
    static Trail LaunchTrail()
    {
        static const std::set<std::string> shown = {"GetModuleFileNameW",
                                                    "DuplicateTokenEx",
                                                    "SetTokenInformation",
                                                    "CreateEnvironmentBlock",
                                                    "GetSecurityInfo",
                                                    "CreateJobObjectW",
                                                    "SetInformationJobObject",
                                                    "InitializeProcThreadAttributeList",
                                                    "UpdateProcThreadAttribute",
                                                    "CreateProcessAsUserW",
                                                    "DeleteProcThreadAttributeList",
                                                    "AssignProcessToJobObject",
                                                    "ResumeThread",
                                                    "TerminateProcess"};
        std::map<uintptr_t, std::string> role;
        for (const auto& call : model::Journal()) {
            if (call.function == "DuplicateTokenEx")
                role[call.arg(0)] = "own";
            else if (call.function == "SetTokenInformation")
                role[call.arg(0)] = "dup";
            else if (call.function == "CreateProcessAsUserW" && call.arg(7) != 0)
                role[call.arg(7)] = "env";
            else if (call.function == "CreateJobObjectW")
                role[call.result] = "job";
        }
        Trail trail;
        bool created = false;
        for (const auto& call : model::Journal()) {
            std::string step = call.function;
            created = created || step == "CreateProcessAsUserW";
            auto known = role.find(call.args.empty() ? 0 : call.arg(0));
            if (step == "CloseHandle" || step == "DestroyEnvironmentBlock") {
                if (known == role.end() && !created)
                    continue;
                step += "(" + (known != role.end() ? known->second : std::string("other")) + ")";
            } else if (!shown.count(step) && !(step == "OpenProcessToken" && call.arg(1) == 0x10B)) {
                continue;
            } else if (step == "GetSecurityInfo" && !trail.empty() && trail.back() == step) {
                continue;
            }
            trail.push_back(step);
        }
        return trail;
    }

    using Words = std::vector<uintptr_t>;

    // Arguments [from, to) of the first call to `function`.
    static Words ArgsOf(const std::string& function, size_t from, size_t to)
    {
        const auto args = model::CallsTo(function).at(0).args;
        return Words(args.begin() + from, args.begin() + to);
    }

    bool DataFolderMade() const { return fs::exists(dataRoot / "Orvella"); }

    void ExpectNothingAcquired()
    {
        EXPECT_EQ(model::CountOf("OpenProcessToken"), 0u);
        EXPECT_EQ(model::CountOf("CreateProcessAsUserW"), 0u);
        EXPECT_FALSE(DataFolderMade());
        EXPECT_EQ(AgentSlot.Process, nullptr);
    }

    // A fault while asking whether the agent exists must neither throw nor stick.
    void ExpectUnqueryableUntilRepaired(const fs::path& badFolder, const std::function<void()>& repair)
    {
        PutAgentFile();
        model::SetModuleFileName((badFolder / "OrvellaService.exe").wstring());
        EXPECT_NO_THROW(LaunchAgent(1));
        ExpectNothingAcquired();

        repair();
        EXPECT_NO_THROW(LaunchAgent(1));
        EXPECT_NE(AgentSlot.Process, nullptr);
        EXPECT_EQ(Agents().size(), 1u);
    }

    // Without a module folder only the bare name is left, which would be looked up in
    // whatever folder is current: no agent is started from there.
    void ExpectNothingStartedFromTheCurrentFolder()
    {
        const fs::path saved = fs::current_path();
        fs::create_directories(root / "cwd");
        fs::current_path(root / "cwd");
        std::ofstream(root / "cwd" / "Kestrune.exe") << "agent";
        LaunchAgent(1);
        fs::current_path(saved);
        ExpectNothingAcquired();
    }
};

TEST_F(LaunchAgentTest, MissingAgentOnlyLooksUpTheModuleFolder)
{
    LaunchAgent(1);

    EXPECT_EQ(Names(model::Journal()), Trail{"GetModuleFileNameW"});
    ExpectNothingAcquired();
}

TEST_F(LaunchAgentTest, FolderWithAnOverlongNameCountsAsMissingAgentForThatPass)
{
    ExpectUnqueryableUntilRepaired(root / std::string(300, 'x'), [&] {
        model::SetModuleFileName((exeDir / "OrvellaService.exe").wstring());
    });
}

TEST_F(LaunchAgentTest, FolderInASymlinkLoopCountsAsMissingAgentForThatPass)
{
    const fs::path loop = root / "loop";
    fs::create_symlink("loop", loop);
    ExpectUnqueryableUntilRepaired(loop, [&] {
        fs::remove(loop);
        exeDir = loop;
        fs::create_directories(exeDir);
        PutAgentFile();
    });
}

TEST_F(LaunchAgentTest, PresentAgentStartsInTheSessionWithAPrimaryTokenAndItsOwnEnvironment)
{
    PutAgentFile();

    LaunchAgent(7);

    // Its path is judged before anything is acquired, its data folder before it is
    // created; it is in its job from its creation.
    EXPECT_EQ(LaunchTrail(),
              (Trail{"GetModuleFileNameW", "GetSecurityInfo", "OpenProcessToken", "DuplicateTokenEx",
                     "SetTokenInformation", "CreateEnvironmentBlock", "GetSecurityInfo", "CreateJobObjectW",
                     "SetInformationJobObject", "InitializeProcThreadAttributeList",
                     "InitializeProcThreadAttributeList", "UpdateProcThreadAttribute", "CreateProcessAsUserW",
                     "DeleteProcThreadAttributeList", "DestroyEnvironmentBlock(env)", "CloseHandle(dup)",
                     "CloseHandle(own)", "CloseHandle(other)"}));
    const uintptr_t dup = model::CallsTo("SetTokenInformation").at(0).arg(0);
    EXPECT_EQ(ArgsOf("OpenProcessToken", 0, 2), (Words{Raw(INVALID_HANDLE_VALUE), 0x10B}));
    // All access, no attributes, SecurityImpersonation, TokenPrimary.
    EXPECT_EQ(ArgsOf("DuplicateTokenEx", 1, 5), (Words{0xF01FF, 0, 2, 1}));
    EXPECT_EQ(ArgsOf("SetTokenInformation", 1, 2), (Words{12})) << "TokenSessionId";
    EXPECT_EQ(ArgsOf("SetTokenInformation", 3, 4), (Words{4}));
    EXPECT_EQ(ArgsOf("CreateEnvironmentBlock", 1, 3), (Words{dup, FALSE}));
    // Token, no process or thread attributes, no inherited handles, the creation flags
    // with the extended start-up record that carries the job list.
    EXPECT_EQ(ArgsOf("CreateProcessAsUserW", 0, 1), (Words{dup}));
    EXPECT_EQ(ArgsOf("CreateProcessAsUserW", 3, 7), (Words{0, 0, FALSE, 0x80600}));
    EXPECT_EQ(ArgsOf("UpdateProcThreadAttribute", 2, 3), (Words{0x2000D}))
        << "PROC_THREAD_ATTRIBUTE_JOB_LIST";
    const model::Call create = model::CallsTo("CreateProcessAsUserW").at(0);
    EXPECT_EQ(create.text(0), AgentPath().wstring());
    EXPECT_EQ(create.text(1), ExpectedCommandLine());
    EXPECT_EQ(create.text(2), exeDir.wstring());
    EXPECT_TRUE(DataFolderMade());

    ASSERT_EQ(Agents().size(), 1u);
    const model::ProcessRecord agent = Agents()[0];
    EXPECT_EQ(agent.session, 7u);
    EXPECT_FALSE(agent.suspended);
    EXPECT_TRUE(agent.jobFromCreation);
    EXPECT_TRUE(agent.environmentFromBlock);
    const model::StartupSnapshot& startup = agent.startup;
    EXPECT_EQ(startup.cb, sizeof(STARTUPINFOEXW));
    EXPECT_EQ(startup.desktop, std::optional<std::wstring>(L"winsta0\\default"));
    EXPECT_EQ(std::make_tuple(startup.title.has_value(), startup.flags, startup.showWindow, startup.stdInput,
                              startup.stdOutput, startup.stdError),
              std::make_tuple(false, DWORD{0}, WORD{0}, HANDLE{}, HANDLE{}, HANDLE{}));

    // An unnamed job of its own that ends the agent with us and lets its children go.
    EXPECT_EQ(ArgsOf("CreateJobObjectW", 0, 2), (Words{0, 0}));
    EXPECT_EQ(ArgsOf("SetInformationJobObject", 1, 2), (Words{JobObjectExtendedLimitInformation}));
    EXPECT_EQ(
        model::JobLimitFlags(AgentSlot.Job),
        std::optional<DWORD>(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK));
    EXPECT_EQ(agent.job, Raw(AgentSlot.Job));

    // Only the process and its job stay, held by the slot with its session.
    const auto handles = model::OpenHandles();
    ASSERT_EQ(handles.size(), 2u);
    EXPECT_EQ(model::HandleInfo(AgentSlot.Process)->kind, model::Kind::Process);
    EXPECT_EQ(AgentSlot.Session, 7u);
}

// Without the job list the agent is created suspended, put in its job and only then let
// run; a job that cannot be had at all never costs the agent.
TEST_F(LaunchAgentTest, WithoutTheJobListTheAgentStillRunsOnlyOnceInItsJobOrWithoutOne)
{
    PutAgentFile();
    const std::vector<std::pair<std::vector<const char*>, bool>> cases = {
        {{"CreateJobObjectW"}, false},
        {{"SetInformationJobObject"}, false},
        {{"UpdateProcThreadAttribute"}, true},
        {{"CreateProcessAsUserW"}, true},
        {{"UpdateProcThreadAttribute", "AssignProcessToJobObject"}, false}};
    for (const auto& [failing, inJob] : cases) {
        for (const char* function : failing)
            model::FailNext(function, ERROR_ACCESS_DENIED);
        model::ClearJournal();

        LaunchAgent(1);

        const std::string label = failing.back();
        EXPECT_EQ(model::CallsTo("CreateProcessAsUserW").back().arg(6), 0x604u) << label << ": suspended";
        EXPECT_EQ(model::CountOf("ResumeThread"), 1u) << label;
        HANDLE agent = AgentSlot.Process;
        ASSERT_NE(agent, nullptr) << label;
        EXPECT_FALSE(Agents().back().suspended) << label;
        EXPECT_EQ(AgentSlot.Job != nullptr, inJob) << label;
        EXPECT_EQ(Agents().back().job, Raw(AgentSlot.Job)) << label;
        EXPECT_EQ(model::OpenHandles().size(), inJob ? 2u : 1u) << label << ":\n"
                                                                << model::DescribeOpenHandles();
        StopAgent();
    }
}

TEST_F(LaunchAgentTest, AnAgentThatCannotBeResumedIsEndedAndNotTracked)
{
    PutAgentFile();
    model::FailNext("UpdateProcThreadAttribute", ERROR_NOT_ENOUGH_MEMORY);
    model::FailNext("ResumeThread", ERROR_ACCESS_DENIED);

    LaunchAgent(1);

    const model::Call end = model::CallsTo("TerminateProcess").at(0);
    EXPECT_EQ(end.arg(1), 0u) << "exit code";
    ASSERT_EQ(Agents().size(), 1u);
    EXPECT_FALSE(Agents()[0].alive);
    EXPECT_TRUE(model::OpenHandles().empty()) << model::DescribeOpenHandles();
    EXPECT_EQ(AgentSlot.Process, nullptr);
    EXPECT_EQ(AgentSlot.Job, nullptr);
    EXPECT_EQ(AgentSlot.Session, NoSession);
}

// The folder is judged where the agent gets it, whatever made or changed it.
TEST_F(LaunchAgentTest, ADataFolderSomeoneElseCanChangeIsAFailedLaunchUntilItIsSafe)
{
    PutAgentFile();
    GetConfigPath();
    model::SetOwner((dataRoot / "Orvella").wstring(), L"S-1-5-21-1111-2222-3333-1001");

    LaunchAgent(1);

    EXPECT_EQ(model::CountOf("CreateProcessAsUserW"), 0u);
    EXPECT_EQ(AgentSlot.Process, nullptr);
    EXPECT_TRUE(model::OpenHandles().empty()) << model::DescribeOpenHandles();

    model::SetOwner((dataRoot / "Orvella").wstring(), L"BA");
    LaunchAgent(1);
    EXPECT_NE(AgentSlot.Process, nullptr);
}

// The agent runs as LocalSystem: whoever could change it, add a DLL beside it or rename a
// folder on its way could run code as SYSTEM.
TEST_F(LaunchAgentTest, AnAgentSomeoneElseCouldChangeOrRenameAwayIsAFailedLaunchUntilRepaired)
{
    const std::wstring user = L"S-1-5-21-1111-2222-3333-1001";
    const std::wstring folder = exeDir.wstring(), parent = root.wstring(), agent = AgentPath().wstring();
    const std::vector<std::pair<std::function<void()>, std::function<void()>>> cases = {
        // Users may add a file beside it.
        {[&] { model::SetSecurity(folder, L"D:(A;OICI;FA;;;SY)(A;;0x2;;;BU)"); },
         [&] { model::SetSecurity(folder, L"D:(A;OICI;FA;;;SY)"); }},
        // A parent users may change, as C:\Tools inherits it from C:\; adding folders is harmless.
        {[&] { model::SetSecurity(parent, L"D:(A;OICIID;FA;;;SY)(A;OICIID;0x1301bf;;;AU)"); },
         [&] { model::SetSecurity(parent, L"D:(A;OICIID;FA;;;SY)(A;;0x4;;;AU)"); }},
        // A user owns it (an administrator's own user is no better: see the data folder).
        {[&] { model::SetOwner(agent, user); }, [&] { model::SetOwner(agent, L"SY"); }},
        {[&] { fs::remove(agent), fs::create_directory(agent); },
         [&] { fs::remove(agent), PutAgentFile(); }}};
    PutAgentFile();
    for (size_t index = 0; index < cases.size(); ++index) {
        cases[index].first();
        model::ClearJournal();
        LaunchAgent(1);
        EXPECT_EQ(model::CountOf("OpenProcessToken"), 0u) << index;
        EXPECT_EQ(AgentSlot.Process, nullptr) << index;

        cases[index].second();
        LaunchAgent(1);
        EXPECT_NE(AgentSlot.Process, nullptr) << index;
        StopAgent();
    }
}

TEST_F(LaunchAgentTest, AgentStartsWithoutEnvironmentBlockWhenNoneCanBeMade)
{
    PutAgentFile();
    model::FailNext("CreateEnvironmentBlock", ERROR_NOT_ENOUGH_MEMORY);

    LaunchAgent(1);

    const model::Call create = model::CallsTo("CreateProcessAsUserW").at(0);
    EXPECT_TRUE(create.ok);
    EXPECT_EQ(create.arg(7), 0u);
    EXPECT_EQ(model::CountOf("DestroyEnvironmentBlock"), 0u);
    EXPECT_NE(AgentSlot.Process, nullptr);
}

// Only blanks here: libstdc++ converts wide paths through the "C" locale on Linux, so a
// non-ASCII module name throws inside std::filesystem before the product sees it.
TEST_F(LaunchAgentTest, BlanksInTheFoldersStayInsideTheQuotes)
{
    exeDir = root / "Program Files" / "Orvella App";
    fs::create_directories(exeDir);
    model::SetModuleFileName((exeDir / "OrvellaService.exe").wstring());
    model::SetEnvironment(L"PROGRAMDATA", (dataRoot / "Program Data").wstring());
    dataRoot /= "Program Data";
    PutAgentFile();

    LaunchAgent(1);

    const model::Call create = model::CallsTo("CreateProcessAsUserW").at(0);
    EXPECT_TRUE(create.ok);
    EXPECT_EQ(create.text(0), AgentPath().wstring());
    EXPECT_EQ(create.text(1), ExpectedCommandLine());
    EXPECT_EQ(create.text(2), exeDir.wstring());
}

TEST_F(LaunchAgentTest, AFailingModuleLookupIsAFailedLaunch)
{
    model::FailAlways("GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY);
    ExpectNothingStartedFromTheCurrentFolder();
}

TEST_F(LaunchAgentTest, ATruncatedModuleNameIsAFailedLaunch)
{
    model::SetModuleFileName(L"/" + std::wstring(40000, L'm') + L"/OrvellaService.exe");
    ExpectNothingStartedFromTheCurrentFolder();
}

// ---- Each failing step releases exactly what was acquired, in reverse order ----------------

enum class Breakage { Inject, NoTcbPrivilege };

struct FailedStep {
    const char* name;
    Breakage breakage;
    const char* function;
    DWORD error;
    Trail releases; // what follows the failing call
    bool dataFolderMade;
};

void PrintTo(const FailedStep& step, std::ostream* out)
{
    *out << step.name;
}

class LaunchFailureTest : public LaunchAgentTest, public ::testing::WithParamInterface<FailedStep> {};

TEST_P(LaunchFailureTest, ReleasesWhatWasAcquiredAndLeavesTheSlotEmpty)
{
    const FailedStep& step = GetParam();
    PutAgentFile();
    if (step.breakage == Breakage::Inject)
        model::FailAlways(step.function, step.error);
    if (step.breakage == Breakage::NoTcbPrivilege)
        model::SetHasTcbPrivilege(false);

    LaunchAgent(1);

    const model::Call failed = model::CallsTo(step.function).at(0);
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.error, step.error);
    const Trail trail = LaunchTrail();
    const auto at = std::find(trail.begin(), trail.end(), step.function);
    ASSERT_NE(at, trail.end());
    EXPECT_EQ(Trail(at + 1, trail.end()), step.releases);
    EXPECT_EQ(DataFolderMade(), step.dataFolderMade);
    EXPECT_TRUE(Agents().empty());
    EXPECT_EQ(AgentSlot.Process, nullptr);
    EXPECT_EQ(AgentSlot.Session, NoSession);
}

// Refused with the job list, the creation is tried once more the suspended way.
const Trail AfterProcessCreation{"DeleteProcThreadAttributeList", "CreateProcessAsUserW", "CloseHandle(job)",
                                 "DestroyEnvironmentBlock(env)",  "CloseHandle(dup)",     "CloseHandle(own)"};

INSTANTIATE_TEST_SUITE_P(
    EachStep, LaunchFailureTest,
    ::testing::Values(
        FailedStep{"OpenProcessToken", Breakage::Inject, "OpenProcessToken", ERROR_ACCESS_DENIED, {}, false},
        FailedStep{"DuplicateTokenEx",
                   Breakage::Inject,
                   "DuplicateTokenEx",
                   ERROR_NOT_ENOUGH_MEMORY,
                   {"CloseHandle(own)"},
                   false},
        FailedStep{"SetTokenInformation",
                   Breakage::NoTcbPrivilege,
                   "SetTokenInformation",
                   ERROR_PRIVILEGE_NOT_HELD,
                   {"CloseHandle(dup)", "CloseHandle(own)"},
                   false},
        FailedStep{"CreateProcessAsUserW", Breakage::Inject, "CreateProcessAsUserW", ERROR_NOT_ENOUGH_MEMORY,
                   AfterProcessCreation, true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
