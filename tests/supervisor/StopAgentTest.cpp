#include "supervisor/AgentFixture.h"

namespace {

class StopAgentTest : public AgentTest {
protected:
    DWORD pid = 0;
    HANDLE process = nullptr;

    // An agent in session 4 held the way LaunchAgent leaves it; the journal starts afterwards.
    void Track()
    {
        pid = model::AddProcess(L"Kestrune.exe", 4);
        process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
        AgentSlot.Process.store(process);
        AgentSlot.Session.store(4);
        model::ClearJournal();
    }

    void ExpectSlotEmptiedAndHandleClosed()
    {
        EXPECT_EQ(AgentSlot.Process.load(), nullptr);
        EXPECT_EQ(AgentSlot.Session.load(), NoSession);
        EXPECT_FALSE(model::HandleInfo(process).has_value());
    }

    void ExpectTerminationSequence()
    {
        ASSERT_EQ(Names(model::Journal()), (std::vector<std::string>{"WaitForSingleObject", "TerminateProcess",
                                                                     "WaitForSingleObject", "CloseHandle"}));
        const auto& calls = model::Journal();
        for (const auto& call : calls)
            EXPECT_EQ(call.arg(0), Raw(process)) << call.function;
        EXPECT_EQ(calls[0].arg(1), 0u);
        EXPECT_EQ(calls[1].arg(1), 0u) << "exit code";
        EXPECT_EQ(calls[2].arg(1), 3000u);
    }
};

TEST_F(StopAgentTest, EmptySlotMakesNoSystemCall)
{
    StopAgent();

    EXPECT_TRUE(model::Journal().empty());
    EXPECT_EQ(AgentSlot.Session.load(), NoSession);
}

TEST_F(StopAgentTest, AgentThatEndedByItselfIsOnlyReleased)
{
    Track();
    model::EndProcess(pid, 9);

    StopAgent();

    EXPECT_EQ(Names(model::Journal()), (std::vector<std::string>{"WaitForSingleObject", "CloseHandle"}));
    EXPECT_EQ(model::Process(pid)->exitCode, 9u);
    ExpectSlotEmptiedAndHandleClosed();
}

TEST_F(StopAgentTest, RunningAgentIsTerminatedWithExitCodeZeroAndAwaited)
{
    Track();

    StopAgent();

    ExpectTerminationSequence();
    EXPECT_FALSE(model::Process(pid)->alive);
    EXPECT_EQ(model::Process(pid)->exitCode, 0u);
    EXPECT_EQ(model::Now(), T0);
    ExpectSlotEmptiedAndHandleClosed();
}

TEST_F(StopAgentTest, AgentSurvivingTerminationIsAbandonedAfterTheGrace)
{
    Track();
    model::SurvivesTerminate(pid);

    StopAgent();

    ExpectTerminationSequence();
    EXPECT_TRUE(model::Process(pid)->alive);
    EXPECT_EQ(model::Now(), T0 + 3000);
    ExpectSlotEmptiedAndHandleClosed();
}

} // namespace
