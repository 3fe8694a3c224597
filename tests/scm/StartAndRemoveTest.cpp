#include "ScmTest.h"

namespace {

class StartInstalledServiceTest : public ScmTest {};

TEST_F(StartInstalledServiceTest, StartsWithTheStartRightAloneAndDoesNotWaitForRunning)
{
    Install(SERVICE_STOPPED);

    EXPECT_EQ(StartInstalledService(), Ok);
    EXPECT_EQ(model::Now(), t0);
    EXPECT_EQ(Registered()->state, DWORD{SERVICE_START_PENDING});

    EXPECT_EQ(Only("OpenSCManagerW").arg(2), uintptr_t{SC_MANAGER_CONNECT});
    EXPECT_EQ(Only("OpenServiceW").arg(2), uintptr_t{SERVICE_START});
    EXPECT_EQ(Only("StartServiceW").args, (Args{Only("OpenServiceW").result, 0, 0}));
    EXPECT_EQ(model::CountOf("QueryServiceStatusEx"), 0u);
}

struct StartRow {
    const char* name;
    bool installed;
    DWORD state;
    Failure failure; // none when function is null
    DWORD expected;
};

class StartAnswerTest : public StartInstalledServiceTest, public ::testing::WithParamInterface<StartRow> {};

TEST_P(StartAnswerTest, ResultFollowsTheServiceManagersAnswer)
{
    const StartRow& row = GetParam();
    if (row.installed)
        Install(row.state);
    if (row.failure.function)
        Inject(row.failure);

    EXPECT_EQ(StartInstalledService(), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, StartAnswerTest,
    ::testing::Values(
        StartRow{"AlreadyRunningIsSuccess", true, SERVICE_RUNNING, {}, Ok},
        // Unlike stopping or removing, starting needs the service to exist.
        StartRow{"NotInstalled", false, 0, {}, DoesNotExist},
        StartRow{"StartRefused", true, SERVICE_STOPPED, {"StartServiceW", 1, Disabled}, Disabled},
        StartRow{"ManagerRefused", true, SERVICE_STOPPED, {"OpenSCManagerW", 1, AccessDenied}, AccessDenied},
        StartRow{"ServiceRefused", true, SERVICE_STOPPED, {"OpenServiceW", 1, AccessDenied}, AccessDenied}),
    [](const auto& info) { return std::string(info.param.name); });

class RemoveServiceTest : public ScmTest {};

TEST_F(RemoveServiceTest, RunningServiceIsStoppedAndDeletedOnlyAfterItsProcessEnded)
{
    model::ServiceRecord* service = Install(SERVICE_RUNNING);
    service->processExitDelayMs = 1000;
    const DWORD pid = service->pid;

    EXPECT_EQ(RemoveService(), Ok);
    EXPECT_EQ(Registered(), nullptr);
    EXPECT_FALSE(Alive(pid));

    const auto managers = model::CallsTo("OpenSCManagerW");
    ASSERT_EQ(managers.size(), 2u);
    EXPECT_EQ(managers[1].arg(2), uintptr_t{SC_MANAGER_CONNECT});
    const auto opens = model::CallsTo("OpenServiceW");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[1].arg(2), uintptr_t{DELETE});
    EXPECT_GE(Only("DeleteService").time, model::Process(pid)->endedAt);
}

TEST_F(RemoveServiceTest, NotInstalledServiceCountsAsRemoved)
{
    EXPECT_EQ(RemoveService(), Ok);
    EXPECT_EQ(model::CountOf("OpenServiceW"), 2u);
    EXPECT_EQ(model::CountOf("DeleteService"), 0u);
}

TEST_F(RemoveServiceTest, ServiceThatWillNotStopWithin30SecondsStaysRegistered)
{
    Install(SERVICE_RUNNING)->ignoresStop = true;

    EXPECT_EQ(RemoveService(), Timeout);
    EXPECT_EQ(model::Now(), t0 + 30000);
    EXPECT_NE(Registered(), nullptr);
    EXPECT_EQ(model::CountOf("OpenServiceW"), 1u);
    EXPECT_EQ(model::CountOf("DeleteService"), 0u);
}

struct RemoveRow {
    Failure failure;
    DWORD expected;
    size_t managerOpens; // 1: the stop's failure touched nothing else
};

class RemoveFailureTest : public RemoveServiceTest, public ::testing::WithParamInterface<RemoveRow> {};

TEST_P(RemoveFailureTest, ResultFollowsTheFirstFailingStep)
{
    Install(SERVICE_STOPPED);
    Inject(GetParam().failure);

    EXPECT_EQ(RemoveService(), GetParam().expected);
    EXPECT_EQ(model::CountOf("OpenSCManagerW"), GetParam().managerOpens);
    EXPECT_EQ(LastStep(), GetParam().failure.function);
}

INSTANTIATE_TEST_SUITE_P(Steps, RemoveFailureTest,
                         ::testing::Values(RemoveRow{{"OpenServiceW", 1, AccessDenied}, AccessDenied, 1},
                                           RemoveRow{
                                               {"QueryServiceStatusEx", 1, InvalidHandle}, InvalidHandle, 1},
                                           RemoveRow{{"OpenSCManagerW", 2, AccessDenied}, AccessDenied, 2},
                                           RemoveRow{{"OpenServiceW", 2, AccessDenied}, AccessDenied, 2},
                                           // Gone between the stop and the deletion: what was asked for.
                                           RemoveRow{{"OpenServiceW", 2, DoesNotExist}, Ok, 2},
                                           RemoveRow{{"DeleteService", 1, MarkedForDelete}, Ok, 2},
                                           RemoveRow{{"DeleteService", 1, AccessDenied}, AccessDenied, 2}));

} // namespace
