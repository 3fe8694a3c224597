#include "supervisor/AgentFixture.h"

#include "runtime/Runtime.h"

namespace {

class ConsoleTest : public AgentTest {
protected:
    // Delivers `type` to a fresh, unset stop event; returns whether the handler claimed it.
    BOOL Deliver(DWORD type)
    {
        CloseStopEvent();
        CreateStopEvent();
        return ConsoleControlHandler(type);
    }

    // RunConsole with a user at session 1 and the agent present, Ctrl+C pressed at `at`.
    BOOL RunConsoleWithCtrlCAt(ULONGLONG at)
    {
        PutAgentFile();
        CreateStopEvent();
        model::ClearJournal();
        BOOL claimed = FALSE;
        model::At(at, [&claimed] { claimed = model::SendConsoleEvent(CTRL_C_EVENT); });
        RunConsole();
        return claimed;
    }
};

TEST_F(ConsoleTest, CtrlCBreakCloseAndShutdownSetTheStopEventAndAreClaimed)
{
    for (DWORD type : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_SHUTDOWN_EVENT}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(Deliver(type), TRUE);
        EXPECT_TRUE(model::IsSignalled(StopEvent.load()));
    }
}

TEST_F(ConsoleTest, LogoffAndUnknownEventsAreLeftToTheNextHandler)
{
    for (DWORD type : {DWORD{CTRL_LOGOFF_EVENT}, DWORD{3}, DWORD{4}, DWORD{7}, DWORD{0xFFFFFFFF}}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(Deliver(type), FALSE);
        EXPECT_FALSE(model::IsSignalled(StopEvent.load()));
    }
    EXPECT_EQ(model::CountOf("SetEvent"), 0u);
}

TEST_F(ConsoleTest, CtrlCWhileWaitingEndsTheLoopAndThenTheAgent)
{
    UserAt(1);

    EXPECT_EQ(RunConsoleWithCtrlCAt(T0 + 4000), TRUE);

    EXPECT_EQ(model::Now(), T0 + 4000);
    const model::Call install = model::Journal().at(0);
    EXPECT_EQ(install.function, "SetConsoleCtrlHandler");
    EXPECT_EQ(install.arg(0), reinterpret_cast<uintptr_t>(&ConsoleControlHandler));
    EXPECT_EQ(install.arg(1), static_cast<uintptr_t>(TRUE));
    EXPECT_EQ(Passes().size(), 1u);
    ASSERT_EQ(Agents().size(), 1u);
    EXPECT_FALSE(Agents()[0].alive);
    EXPECT_EQ(Agents()[0].exitCode, 0u);
    EXPECT_EQ(AgentSlot.Process, nullptr);
}

TEST_F(ConsoleTest, CtrlCDuringAPassTakesEffectAfterThePass)
{
    MoveUserPastAStubbornAgent();

    EXPECT_EQ(RunConsoleWithCtrlCAt(T0 + 7000), TRUE);

    EXPECT_EQ(model::Now(), T0 + 9000);
    EXPECT_EQ(Passes().size(), 2u);
    ASSERT_EQ(Agents().size(), 2u);
    EXPECT_EQ(Agents()[1].session, 2u);
    EXPECT_EQ(Agents()[1].createdAt, T0 + 9000);
    EXPECT_FALSE(Agents()[1].alive);
    EXPECT_EQ(AgentSlot.Process, nullptr);
}

} // namespace
