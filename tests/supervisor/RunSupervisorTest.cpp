#include "supervisor/AgentFixture.h"

namespace {

class RunSupervisorTest : public AgentTest {
protected:
    void SetUp() override
    {
        AgentTest::SetUp();
        PutAgentFile();
        UserAt(1);
    }

    // Runs the loop until the stop event is set at `stopAt`; returns when the loop did.
    ULONGLONG SuperviseUntil(ULONGLONG stopAt)
    {
        SignalAt(stopAt, CreateStopEvent());
        RunSupervisor();
        return model::Now();
    }

    static DWORD FirstAgentPid() { return Agents().at(0).pid; }

    void ExpectReturnedAtOnceWithoutAPass()
    {
        RunSupervisor();
        EXPECT_EQ(model::Now(), T0);
        EXPECT_EQ(model::CountOf("WTSEnumerateSessionsW"), 0u);
        const auto waits = model::CallsTo("WaitForSingleObject");
        ASSERT_EQ(waits.size(), 1u);
        EXPECT_EQ(waits[0].result, static_cast<uintptr_t>(WAIT_FAILED));
        EXPECT_EQ(waits[0].error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(AgentSlot.Process, nullptr);
        // The stand-in files waiting on a dead handle as misuse; here that is the point.
        EXPECT_EQ(model::Faults().size(), 1u);
        model::ClearFaults();
    }
};

TEST_F(RunSupervisorTest, FirstPassComesOnePeriodAfterTheStart)
{
    EXPECT_EQ(SuperviseUntil(T0 + 4000), T0 + 4000);

    EXPECT_EQ(model::CallsTo("WTSEnumerateSessionsW").at(0).time, T0 + Period);
    ASSERT_EQ(Agents().size(), 1u);
    EXPECT_EQ(Agents()[0].createdAt, T0 + Period);
    EXPECT_EQ(Agents()[0].session, 1u);
}

TEST_F(RunSupervisorTest, StopEventSetBeforehandEndsTheLoopWithoutAPass)
{
    model::Signal(CreateStopEvent());

    RunSupervisor();

    EXPECT_EQ(model::Now(), T0);
    EXPECT_EQ(model::CountOf("WTSEnumerateSessionsW"), 0u);
    EXPECT_EQ(AgentSlot.Process, nullptr);
}

TEST_F(RunSupervisorTest, MissingStopEventEndsTheLoopWithoutAPass)
{
    ExpectReturnedAtOnceWithoutAPass();
}

TEST_F(RunSupervisorTest, ClosedStopEventEndsTheLoopWithoutAPass)
{
    CloseHandle(CreateStopEvent());
    ExpectReturnedAtOnceWithoutAPass();
    StopEvent.store(nullptr);
}

TEST_F(RunSupervisorTest, StopDuringTheWaitEndsTheLoopAtThatMoment)
{
    EXPECT_EQ(SuperviseUntil(T0 + 7500), T0 + 7500);
    EXPECT_EQ(Passes().size(), 2u);
}

TEST_F(RunSupervisorTest, StopDuringAPassEndsTheLoopAtTheNextWaitWithoutAnotherPass)
{
    MoveUserPastAStubbornAgent();

    EXPECT_EQ(SuperviseUntil(T0 + 7000), T0 + 9000);

    EXPECT_EQ(Passes().size(), 2u);
    const model::Call last = model::CallsTo("WaitForSingleObject").back();
    EXPECT_EQ(last.result, static_cast<uintptr_t>(WAIT_OBJECT_0));
    EXPECT_EQ(last.time, T0 + 9000);
    EXPECT_EQ(last.returnTime, T0 + 9000);
    // The pass still finished its work: the agent moved to session 2.
    ASSERT_EQ(Agents().size(), 2u);
    EXPECT_EQ(Agents()[1].session, 2u);
}

TEST_F(RunSupervisorTest, PassWithAHealthyAgentOnlyChecksSessionsAndTheAgent)
{
    SuperviseUntil(T0 + 7000);

    const auto passes = Passes();
    ASSERT_EQ(passes.size(), 2u);
    const auto& healthy = passes[1];
    ASSERT_EQ(Names(healthy),
              (std::vector<std::string>{"WTSEnumerateSessionsW", "WTSFreeMemory",
                                        "WTSGetActiveConsoleSessionId", "WaitForSingleObject"}));
    EXPECT_EQ(healthy[3].arg(0), Raw(AgentSlot.Process));
    EXPECT_EQ(healthy[3].arg(1), 0u);
    EXPECT_EQ(Agents().size(), 1u);
}

TEST_F(RunSupervisorTest, AgentIsMovedToTheNewTargetSessionInTheSamePass)
{
    model::At(T0 + 4000, [] { UserAt(2); });

    SuperviseUntil(T0 + 7000);

    const auto agents = Agents();
    ASSERT_EQ(agents.size(), 2u);
    EXPECT_EQ(agents[0].session, 1u);
    EXPECT_FALSE(agents[0].alive);
    EXPECT_EQ(agents[0].exitCode, 0u);
    EXPECT_EQ(agents[0].endedAt, T0 + 2 * Period);
    EXPECT_EQ(agents[1].session, 2u);
    EXPECT_EQ(agents[1].createdAt, T0 + 2 * Period);
    const auto pass = Passes().at(1);
    const auto terminate = std::find_if(pass.begin(), pass.end(), [](const model::Call& call) {
        return call.function == "TerminateProcess";
    });
    ASSERT_LT(terminate + 1, pass.end());
    EXPECT_EQ(terminate[1].function, "WaitForSingleObject");
    EXPECT_EQ(terminate[1].arg(1), 3000u) << "termination grace";
    EXPECT_EQ(AgentSlot.Session, 2u);
}

TEST_F(RunSupervisorTest, AgentIsEndedAndNothingStartedWhileThereIsNoTarget)
{
    model::At(T0 + 4000, [] { model::SetSessions({{0, WTSActive}, {1, WTSDisconnected}}); });

    SuperviseUntil(T0 + 10000);

    ASSERT_EQ(Agents().size(), 1u);
    EXPECT_FALSE(Agents()[0].alive);
    EXPECT_EQ(Agents()[0].endedAt, T0 + 2 * Period);
    EXPECT_EQ(Passes().size(), 3u);
    EXPECT_EQ(model::CountOf("TerminateProcess"), 1u);
    EXPECT_EQ(AgentSlot.Process, nullptr);
}

TEST_F(RunSupervisorTest, AgentThatEndedByItselfIsRestartedWithinOnePeriod)
{
    model::At(T0 + 4000, [] { model::EndProcess(FirstAgentPid(), 1); });

    SuperviseUntil(T0 + 7000);

    EXPECT_EQ(model::CountOf("TerminateProcess"), 0u);
    ASSERT_EQ(Agents().size(), 2u);
    EXPECT_EQ(Agents()[1].createdAt, T0 + 2 * Period);
    EXPECT_TRUE(Agents()[1].alive);
}

TEST_F(RunSupervisorTest, MissingAgentIsLookedForAtEveryPassAndStartedOnceItAppears)
{
    std::filesystem::remove(AgentPath());
    model::At(T0 + 7000, [this] { PutAgentFile(); });

    SuperviseUntil(T0 + 10000);

    EXPECT_EQ(Passes().size(), 3u);
    EXPECT_EQ(model::CountOf("GetModuleFileNameW"), 3u);
    EXPECT_EQ(model::CountOf("DuplicateTokenEx"), 1u);
    ASSERT_EQ(Agents().size(), 1u);
    EXPECT_EQ(Agents()[0].createdAt, T0 + 3 * Period);
}

TEST_F(RunSupervisorTest, AgentOutlivesTheLoopUntilTheCallerStopsIt)
{
    SuperviseUntil(T0 + 4000);
    ASSERT_EQ(Agents().size(), 1u);
    EXPECT_TRUE(Agents()[0].alive);

    StopAgent();

    EXPECT_FALSE(Agents()[0].alive);
    EXPECT_EQ(Agents()[0].exitCode, 0u);
}

} // namespace
