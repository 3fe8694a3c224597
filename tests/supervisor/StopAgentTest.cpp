#include "supervisor/AgentFixture.h"

namespace {

class StopAgentTest : public AgentTest {
protected:
    DWORD pid = 0;
    HANDLE process = nullptr;
    HANDLE job = nullptr;

    // An agent in session 4 held the way LaunchAgent leaves it, in its kill-on-close
    // job; the journal starts afterwards.
    void Track()
    {
        pid = model::AddProcess(L"Kestrune.exe", 4);
        process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
        AgentSlot.Process = process;
        AgentSlot.Session = 4;
        job = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        AssignProcessToJobObject(job, process);
        AgentSlot.Job = job;
        model::ClearJournal();
    }

    void ExpectSlotEmptiedAndHandleClosed()
    {
        EXPECT_EQ(AgentSlot.Process, nullptr);
        EXPECT_EQ(AgentSlot.Job, nullptr);
        EXPECT_EQ(AgentSlot.Session, NoSession);
        EXPECT_FALSE(model::HandleInfo(process).has_value());
        EXPECT_FALSE(model::HandleInfo(job).has_value());
    }

    // The process handle goes first, then the job.
    void ExpectTerminationSequence()
    {
        ASSERT_EQ(Names(model::Journal()),
                  (std::vector<std::string>{"WaitForSingleObject", "TerminateProcess", "WaitForSingleObject",
                                            "CloseHandle", "CloseHandle"}));
        const auto& calls = model::Journal();
        EXPECT_EQ(calls[4].arg(0), Raw(job));
        for (size_t i = 0; i < 4; ++i)
            EXPECT_EQ(calls[i].arg(0), Raw(process)) << calls[i].function;
        EXPECT_EQ(calls[0].arg(1), 0u);
        EXPECT_EQ(calls[1].arg(1), 0u) << "exit code";
        EXPECT_EQ(calls[2].arg(1), 3000u);
    }
};

TEST_F(StopAgentTest, EmptySlotMakesNoSystemCall)
{
    StopAgent();

    EXPECT_TRUE(model::Journal().empty());
    EXPECT_EQ(AgentSlot.Session, NoSession);
}

TEST_F(StopAgentTest, AgentThatEndedByItselfIsOnlyReleased)
{
    Track();
    model::EndProcess(pid, 9);

    StopAgent();

    EXPECT_EQ(Names(model::Journal()),
              (std::vector<std::string>{"WaitForSingleObject", "CloseHandle", "CloseHandle"}));
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

TEST_F(StopAgentTest, AgentSurvivingTerminationIsEndedByItsJobAfterTheGrace)
{
    Track();
    model::SurvivesTerminate(pid);

    StopAgent();

    ExpectTerminationSequence();
    EXPECT_FALSE(model::Process(pid)->alive);
    EXPECT_EQ(model::Process(pid)->endedAt, T0 + 3000);
    ExpectSlotEmptiedAndHandleClosed();
}

} // namespace
