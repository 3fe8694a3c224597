#include "supervisor/AgentFixture.h"

namespace {

class SelectTargetSessionTest : public AgentTest {
protected:
    DWORD SelectAmong(std::vector<model::Session> sessions, DWORD console = 0xFFFFFFFF)
    {
        model::SetSessions(std::move(sessions));
        model::SetConsoleSession(console);
        const DWORD target = SelectTargetSession();
        const auto enumerations = model::CallsTo("WTSEnumerateSessionsW");
        EXPECT_EQ(enumerations.size(), 1u);
        if (!enumerations.empty()) {
            EXPECT_EQ(enumerations[0].arg(0), 0u) << "local server";
            EXPECT_EQ(enumerations[0].arg(1), 0u);
            EXPECT_EQ(enumerations[0].arg(2), 1u);
        }
        return target;
    }

    static void ExpectConsoleNotAsked() { EXPECT_EQ(model::CountOf("WTSGetActiveConsoleSessionId"), 0u); }
};

TEST_F(SelectTargetSessionTest, FailedEnumerationMeansNoSessionAndNothingIsFreed)
{
    model::FailNext("WTSEnumerateSessionsW", ERROR_ACCESS_DENIED);

    EXPECT_EQ(SelectAmong({{1, WTSActive}}, 1), NoSession);
    EXPECT_EQ(model::CountOf("WTSFreeMemory"), 0u);
    ExpectConsoleNotAsked();
}

TEST_F(SelectTargetSessionTest, EmptyEnumerationIsFreedAndMeansNoSession)
{
    EXPECT_EQ(SelectAmong({}), NoSession);
    EXPECT_EQ(model::CountOf("WTSFreeMemory"), 1u);
    ExpectConsoleNotAsked();
}

TEST_F(SelectTargetSessionTest, ActiveServicesSessionZeroIsNoTarget)
{
    EXPECT_EQ(SelectAmong({{0, WTSActive}}, 0), NoSession);
    EXPECT_EQ(model::CountOf("WTSFreeMemory"), 1u);
    ExpectConsoleNotAsked();
}

TEST_F(SelectTargetSessionTest, DisconnectedAndNotLoggedOnSessionsAreNoTarget)
{
    EXPECT_EQ(SelectAmong({{0, WTSDisconnected}, {1, WTSConnected}, {2, WTSDisconnected}, {3, WTSListen}}, 1),
              NoSession);
    ExpectConsoleNotAsked();
}

TEST_F(SelectTargetSessionTest, ActiveConsoleSessionWinsOverAnEarlierActiveSession)
{
    EXPECT_EQ(SelectAmong({{0, WTSDisconnected}, {3, WTSActive}, {1, WTSActive}}, 1), 1u);
    EXPECT_EQ(model::CountOf("WTSFreeMemory"), 1u);
}

TEST_F(SelectTargetSessionTest, FirstActiveSessionInEnumerationOrderWinsWhenConsoleIsNotAmongThem)
{
    EXPECT_EQ(SelectAmong({{3, WTSActive}, {1, WTSActive}, {5, WTSDisconnected}}, 5), 3u);
    EXPECT_EQ(model::CountOf("WTSGetActiveConsoleSessionId"), 1u);
}

TEST_F(SelectTargetSessionTest, OnlyActiveRemoteSessionIsChosenWhileTheConsoleShowsTheLogonScreen)
{
    EXPECT_EQ(SelectAmong({{0, WTSDisconnected}, {1, WTSConnected}, {2, WTSActive}}, 1), 2u);
}

} // namespace
