// The console run of the real executable supervising the agent stand-in, with the
// sessions the wtsapi32 stand-in reports: what the agent records, which agent
// processes live, and how the run ends on Ctrl+C.
//
// Timing: a pass comes 3000 ms after the previous one (the first 3000 ms after the
// start). Bounds allow a Wine process start on a loaded two-core machine; waits
// for something expected poll and give up well past the bound, so a failure still
// reports what happened.

#include "WineTest.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <memory>

using namespace winetest;
namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

constexpr ULONGLONG PeriodMs = 3000;
// How late a pass's agent may record its start after the pass was due.
constexpr ULONGLONG LateMs = 1500;
constexpr milliseconds GiveUp(10000);

const char OneActive[] = "1 Active\n";

class ConsoleRun : public ::testing::Test {
protected:
    // The product with the session stand-in (and the agent unless told otherwise) in
    // exeFolder, and the data root that PROGRAMDATA names.
    void Prepare(const fs::path& exeFolder, const fs::path& dataRoot, bool withAgent = true)
    {
        exeFolder_ = exeFolder;
        dataRoot_ = dataRoot;
        exe_ = CopyExeTo(exeFolder_);
        InstallWtsapiStandIn(exeFolder_);
        SetSessions(OneActive);
        fs::create_directories(dataRoot_);
        if (withAgent)
            fs::copy_file(FixturesFolder() / L"Kestrune.exe", Agent());
    }
    void Prepare(bool withAgent = true) { Prepare(base_.Path() / L"bin", base_.Path() / L"data", withAgent); }

    RunOptions Options() const
    {
        RunOptions options;
        options.program = exe_;
        options.arguments = {L"--console"};
        options.environment = {
            {L"PROGRAMDATA", programDataSet_ ? std::optional(dataRoot_.wstring()) : std::nullopt}};
        return options;
    }
    void Start()
    {
        started_ = GetTickCount64();
        run_ = std::make_unique<Child>(Options());
    }
    HANDLE RunProcess() const { return run_ ? run_->Process() : console_->Process(); }

    void TearDown() override
    {
        // An agent holds the run's output pipes: the run goes first (its agent's job
        // takes the agent along), then any agent still alive, and only then are the
        // pipes read.
        if (run_ || console_) {
            TerminateProcess(RunProcess(), 1);
            WaitForSingleObject(RunProcess(), 5000);
        }
        if (!exeFolder_.empty())
            TerminateProcessesOf(Agent());
        run_.reset();
        console_.reset();
        EXPECT_LE(mostAgents_, 1u) << "two agents lived at once";
        for (const fs::path& leftover : leftovers_) {
            std::error_code ignored;
            fs::remove_all(leftover, ignored);
        }
    }

    fs::path Agent() const { return exeFolder_ / L"Kestrune.exe"; }
    fs::path ConfigPath() const { return dataRoot_ / L"Orvella" / L"device.json"; }
    std::vector<AgentRecord> Records() const
    {
        return ReadAgentLog(dataRoot_ / L"Orvella" / L"agent-log.txt");
    }

    size_t LiveAgents()
    {
        size_t live = ProcessesOf(Agent()).size();
        mostAgents_ = std::max(mostAgents_, live);
        return live;
    }

    // Waits for the log to hold `count` records, counting live agents all along.
    bool WaitForRecords(size_t count, milliseconds timeout = GiveUp)
    {
        return WaitFor(
            [&] {
                LiveAgents();
                return Records().size() >= count;
            },
            timeout);
    }

    // Watches for the span: no further record, the run alive, no agent beyond `live`.
    void ExpectQuietFor(milliseconds span, size_t live)
    {
        size_t before = Records().size();
        size_t most = 0;
        WaitFor(
            [&] {
                most = std::max(most, LiveAgents());
                return Records().size() != before || HasEnded(RunProcess());
            },
            span);
        EXPECT_LE(most, live);
        EXPECT_EQ(Records().size(), before) << "an agent started";
        EXPECT_FALSE(HasEnded(RunProcess())) << "the console run ended";
        EXPECT_EQ(LiveAgents(), live);
    }

    // Replaced whole, so that a pass never reads a file half written.
    void SetSessions(std::string_view lines)
    {
        WriteTextFile(exeFolder_ / L"sessions.new", lines);
        ASSERT_TRUE(MoveFileExW((exeFolder_ / L"sessions.new").c_str(),
                                (exeFolder_ / L"sessions.txt").c_str(), MOVEFILE_REPLACE_EXISTING));
    }

    // The agent that the first pass starts.
    AgentRecord FirstAgent()
    {
        EXPECT_TRUE(WaitForRecords(1)) << "no agent started";
        std::vector<AgentRecord> records = Records();
        if (records.empty())
            return AgentRecord();
        // The tick counters of both processes are the system's: 50 ms cover their steps.
        ULONGLONG after = records[0].tick - started_;
        EXPECT_GE(after + 50, PeriodMs) << "the agent started " << after << " ms after the run";
        EXPECT_LE(after, PeriodMs + LateMs) << "the agent started " << after << " ms after the run";
        return records[0];
    }

    std::string ExpectedCommandLine() const
    {
        return Utf8(L"\"" + Agent().wstring() + L"\" --service-agent --config \"" + ConfigPath().wstring()
                    + L"\"");
    }

    HANDLE OpenAgent(DWORD pid)
    {
        HANDLE agent =
            OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        EXPECT_NE(agent, nullptr) << "agent " << pid << " is gone";
        opened_.emplace_back(agent, &CloseHandle);
        return agent;
    }

    TempFolder base_{L"console-run"};
    fs::path exeFolder_;
    fs::path dataRoot_;
    fs::path exe_;
    ULONGLONG started_ = 0;
    std::unique_ptr<Child> run_;
    std::unique_ptr<ConsoleChild> console_;
    size_t mostAgents_ = 0;
    bool programDataSet_ = true;
    std::vector<fs::path> leftovers_; // outside base_, removed after the test
    std::vector<std::unique_ptr<void, decltype(&CloseHandle)>> opened_;
};

TEST_F(ConsoleRun, StartsOneAgentAtTheFirstPassAndKeepsIt)
{
    Prepare();
    Start();
    AgentRecord agent = FirstAgent();
    EXPECT_EQ(agent.cmdline, ExpectedCommandLine());
    EXPECT_EQ(agent.cwd, Utf8(exeFolder_.wstring()));
    EXPECT_TRUE(IsFolder(dataRoot_ / L"Orvella"));
    EXPECT_EQ(ProcessesOf(Agent()), std::vector<DWORD>{agent.pid});

    // A live agent in the target session is left alone at the next pass.
    ExpectQuietFor(milliseconds(PeriodMs + 500), 1);
    EXPECT_EQ(ProcessesOf(Agent()), std::vector<DWORD>{agent.pid});
}

TEST_F(ConsoleRun, ReplacesAnAgentKilledFromOutsideWithinOnePeriod)
{
    Prepare();
    Start();
    AgentRecord first = FirstAgent();
    HANDLE agent = OpenAgent(first.pid);
    ASSERT_TRUE(TerminateProcess(agent, 1));
    ASSERT_EQ(WaitForSingleObject(agent, 5000), WAIT_OBJECT_0);
    ULONGLONG killed = GetTickCount64();

    ASSERT_TRUE(WaitForRecords(2)) << "no new agent after the kill";
    AgentRecord second = Records()[1];
    EXPECT_LE(second.tick, killed + PeriodMs + LateMs)
        << "the new agent came " << second.tick - killed << " ms after the kill";
    EXPECT_NE(second.pid, first.pid);
    EXPECT_EQ(second.cmdline, first.cmdline);
    EXPECT_EQ(ProcessesOf(Agent()), std::vector<DWORD>{second.pid});
}

// Whoever may write to the agent's folder could replace it or plant a DLL it loads: no
// launch starts it from there, until the folder is the administrators' alone again.
TEST_F(ConsoleRun, AnAgentWhoseFolderOthersMayWriteToIsNotStartedAgainUntilItIsSafe)
{
    if (!UnderWine())
        GTEST_SKIP() << "the folder is opened to others through its Unix mode";
    Prepare();
    Start();
    HANDLE agent = OpenAgent(FirstAgent().pid);
    SetUnixMode(exeFolder_, "0777");
    ASSERT_TRUE(TerminateProcess(agent, 1));
    ASSERT_EQ(WaitForSingleObject(agent, 5000), WAIT_OBJECT_0);
    ExpectQuietFor(milliseconds(PeriodMs + 500), 0);

    SetUnixMode(exeFolder_, "0755");
    EXPECT_TRUE(WaitForRecords(2)) << "no agent once the folder was safe again";
}

TEST_F(ConsoleRun, FollowsTheActiveSessionAndStopsWithoutOne)
{
    if (!UnderWine())
        GTEST_SKIP() << "moving between sessions needs the session stand-in";
    Prepare();
    Start();
    AgentRecord first = FirstAgent();
    HANDLE old = OpenAgent(first.pid);

    // The agent moves: the old one ends and the new one starts in the same pass.
    SetSessions("1 Disconnected\n2 Active\n");
    ASSERT_EQ(WaitForSingleObject(old, PeriodMs + LateMs), WAIT_OBJECT_0)
        << "the agent of the left session still runs";
    ULONGLONG ended = GetTickCount64();
    ASSERT_TRUE(WaitForRecords(2)) << "no agent for the new session";
    AgentRecord moved = Records()[1];
    EXPECT_LT(moved.tick, ended + LateMs)
        << "the new agent came " << moved.tick - ended << " ms after the old one ended";
    EXPECT_EQ(ProcessesOf(Agent()), std::vector<DWORD>{moved.pid});

    // Only session 0 is active, and no user sees anything there.
    HANDLE last = OpenAgent(moved.pid);
    SetSessions("0 Active\n1 Disconnected\n");
    EXPECT_EQ(WaitForSingleObject(last, PeriodMs + LateMs), WAIT_OBJECT_0)
        << "the agent outlived its session";
    ExpectQuietFor(milliseconds(PeriodMs + 500), 0);
}

TEST_F(ConsoleRun, WaitsForAMissingAgentAndStartsItOnceItAppears)
{
    Prepare(/*withAgent=*/false);
    Start();
    ExpectQuietFor(milliseconds(2 * PeriodMs + 500), 0);
    EXPECT_TRUE(Records().empty());

    // Copied beside under another name first: a pass never sees half an executable.
    fs::copy_file(FixturesFolder() / L"Kestrune.exe", exeFolder_ / L"Kestrune.part");
    fs::rename(exeFolder_ / L"Kestrune.part", Agent());
    ULONGLONG copied = GetTickCount64();
    ASSERT_TRUE(WaitForRecords(1)) << "the agent that appeared never started";
    AgentRecord agent = Records()[0];
    EXPECT_LE(agent.tick, copied + PeriodMs + LateMs)
        << "the agent started " << agent.tick - copied << " ms after it appeared";
    EXPECT_EQ(agent.cmdline, ExpectedCommandLine());
}

// Wine 8 takes Ctrl+C from GenerateConsoleCtrlEvent only on a console that a
// Windows program allocated, and sends it to the sender's process group (see
// ConsoleChild).
TEST_F(ConsoleRun, CtrlCEndsTheAgentAndTheRunWithStatusZero)
{
    Prepare();
    started_ = GetTickCount64();
    console_ = std::make_unique<ConsoleChild>(Options());
    AgentRecord first = FirstAgent();
    HANDLE agent = OpenAgent(first.pid);

    console_->SendCtrlC();
    ULONGLONG sent = GetTickCount64();
    ASSERT_EQ(WaitForSingleObject(console_->Process(), 5000), WAIT_OBJECT_0)
        << "the console run ignored Ctrl+C";
    DWORD status = 1;
    GetExitCodeProcess(console_->Process(), &status);
    EXPECT_EQ(status, 0u);
    EXPECT_LT(GetTickCount64() - sent, 3000u) << "the run ended late";

    // Wine's default Ctrl+C action also exits with 0: that the run's handler worked
    // shows in the agent, which Ctrl+C never reaches (it has a process group of its
    // own) and which only the product ends, with 0, before the run ends.
    EXPECT_TRUE(HasEnded(agent));
    DWORD agentStatus = 1;
    GetExitCodeProcess(agent, &agentStatus);
    EXPECT_EQ(agentStatus, 0u);
    EXPECT_TRUE(ProcessesOf(Agent()).empty());
    EXPECT_EQ(Records().size(), 1u);
}

// Closing the console window or a shutdown ends the run before it can end its agent,
// as a forced end does: the agent goes with the run all the same.
TEST_F(ConsoleRun, AForcedEndOfTheRunTakesItsAgentAlong)
{
    Prepare();
    Start();
    HANDLE agent = OpenAgent(FirstAgent().pid);

    ASSERT_TRUE(TerminateProcess(RunProcess(), 1));
    EXPECT_EQ(WaitForSingleObject(agent, 1000), WAIT_OBJECT_0) << "the agent outlived the run";
    EXPECT_TRUE(ProcessesOf(Agent()).empty());
}

// From a drive's root the agent lies in the root and starts there; without PROGRAMDATA
// its configuration lies in the system's ProgramData.
TEST_F(ConsoleRun, FromADriveRootWithoutProgramDataTheAgentStartsInTheRoot)
{
    leftovers_ = {L"C:\\OrvellaService.exe", L"C:\\Kestrune.exe", L"C:\\wtsapi32.dll", L"C:\\sessions.txt",
                  L"C:\\ProgramData\\Orvella"};
    fs::remove_all(L"C:\\ProgramData\\Orvella");
    Prepare(L"C:\\", L"C:\\ProgramData");
    programDataSet_ = false;
    Start();

    AgentRecord agent = FirstAgent();
    EXPECT_EQ(agent.cmdline,
              "\"C:\\Kestrune.exe\" --service-agent --config \"C:\\ProgramData\\Orvella\\device.json\"");
    EXPECT_EQ(agent.cwd, "C:\\");
}

TEST_F(ConsoleRun, QuotesFoldersWithBlanksAndNonAsciiLetters)
{
    Prepare(base_.Path() / L"Program Files" / L"Orvella \u0422\u0435\u0441\u0442",
            base_.Path() / L"Program Data \u00e9t\u00e9");
    Start();
    AgentRecord agent = FirstAgent();
    EXPECT_EQ(agent.cmdline, ExpectedCommandLine());
    EXPECT_EQ(agent.cwd, Utf8(exeFolder_.wstring()));

    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(Wide(agent.cmdline).c_str(), &count);
    ASSERT_NE(argv, nullptr);
    std::vector<std::wstring> arguments(argv, argv + count);
    LocalFree(argv);
    std::vector<std::wstring> expected = {Agent().wstring(), L"--service-agent", L"--config",
                                          ConfigPath().wstring()};
    EXPECT_EQ(arguments, expected) << agent.cmdline;
}

} // namespace
