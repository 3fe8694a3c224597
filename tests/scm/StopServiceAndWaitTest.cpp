#include "ScmTest.h"

namespace {

class StopServiceAndWaitTest : public ScmTest {
protected:
    bool wasRunning = true; // the product must reset it

    DWORD Stop() { return StopServiceAndWait(wasRunning); }
};

TEST_F(StopServiceAndWaitTest, NotInstalledServiceIsNothingToStopAndIsNeverQueried)
{
    EXPECT_EQ(Stop(), Ok);
    EXPECT_FALSE(wasRunning);

    EXPECT_EQ(Only("OpenSCManagerW").args, (Args{0, 0, SC_MANAGER_CONNECT}));
    const auto service = Only("OpenServiceW");
    EXPECT_EQ(service.text(0), L"OrvellaService");
    EXPECT_EQ(service.arg(2), uintptr_t{0x24});
    EXPECT_EQ(model::CountOf("QueryServiceStatusEx"), 0u);
}

TEST_F(StopServiceAndWaitTest, StoppedServiceIsQueriedOnceAndLeftAlone)
{
    Install(SERVICE_STOPPED);

    EXPECT_EQ(Stop(), Ok);
    EXPECT_FALSE(wasRunning);

    const auto query = Only("QueryServiceStatusEx");
    EXPECT_EQ(query.arg(1), uintptr_t{SC_STATUS_PROCESS_INFO});
    EXPECT_NE(query.arg(2), 0u);
    EXPECT_EQ(query.arg(3), 36u);
    EXPECT_NE(query.arg(4), 0u);
    EXPECT_EQ(model::CountOf("ControlService"), 0u);
    EXPECT_EQ(model::CountOf("OpenProcess"), 0u);
    EXPECT_EQ(model::CountOf("Sleep"), 0u);
}

TEST_F(StopServiceAndWaitTest, RunningServiceGetsOneStopAndIsAwaitedUntilItsProcessEnded)
{
    model::ServiceRecord* service = Install(SERVICE_RUNNING);
    const DWORD pid = service->pid;
    service->processExitDelayMs = 2000; // STOPPED at +300, the process ends at +2300

    EXPECT_EQ(Stop(), Ok);
    EXPECT_TRUE(wasRunning);
    EXPECT_EQ(model::Now(), t0 + 2300);
    EXPECT_FALSE(Alive(pid));

    EXPECT_EQ(Only("ControlService").arg(1), uintptr_t{SERVICE_CONTROL_STOP});
    EXPECT_EQ(TimesOf("QueryServiceStatusEx"), EveryPoll(t0, t0 + 300));
    for (const auto& sleep : model::CallsTo("Sleep"))
        EXPECT_EQ(sleep.args, Args{100});
    const auto open = Only("OpenProcess");
    EXPECT_EQ(open.args, (Args{SYNCHRONIZE, FALSE, pid}));
    // With what is left of the 30 s at the STOPPED poll.
    EXPECT_EQ(Only("WaitForSingleObject").args, (Args{open.result, 29700}));
}

TEST_F(StopServiceAndWaitTest, PausedServiceIsSentAStopToo)
{
    Install(SERVICE_PAUSED);

    EXPECT_EQ(Stop(), Ok);
    EXPECT_TRUE(wasRunning);
    EXPECT_EQ(model::CountOf("ControlService"), 1u);
    EXPECT_EQ(Registered()->state, DWORD{SERVICE_STOPPED});
}

TEST_F(StopServiceAndWaitTest, ServiceStartPendingForTheWholeDeadlineIsNeverSentAStopAndTimesOut)
{
    const DWORD pid = Install(SERVICE_START_PENDING)->pid;

    EXPECT_EQ(Stop(), Timeout);
    EXPECT_TRUE(wasRunning);
    EXPECT_EQ(model::Now(), t0 + 30000);
    EXPECT_EQ(model::CountOf("ControlService"), 0u);
    EXPECT_EQ(model::CountOf("QueryServiceStatusEx"), 301u);
    EXPECT_TRUE(Alive(pid));
}

TEST_F(StopServiceAndWaitTest, ServiceAlreadyStopPendingIsAwaitedWithoutSendingAStop)
{
    const DWORD pid = Install(SERVICE_STOP_PENDING)->pid;
    model::At(t0 + 1000, [pid] {
        model::SetServiceState(Name, SERVICE_STOPPED);
        model::EndProcess(pid, 0);
    });

    EXPECT_EQ(Stop(), Ok);
    EXPECT_TRUE(wasRunning);
    EXPECT_EQ(model::Now(), t0 + 1000);
    EXPECT_EQ(model::CountOf("ControlService"), 0u);
}

struct RefusalRow {
    DWORD error;
    DWORD expected;
    std::vector<ULONGLONG> stopsAfter;
};

class StopRefusalTest : public StopServiceAndWaitTest, public ::testing::WithParamInterface<RefusalRow> {};

// A service that cannot take the stop yet gets it at a later poll; a failure without an
// error counts as sent, so it is never repeated.
TEST_P(StopRefusalTest, RefusedStopIsSentAgainAtTheNextPollUnlessItCarriedNoError)
{
    Install(SERVICE_RUNNING);
    model::FailNext("ControlService", GetParam().error);

    EXPECT_EQ(Stop(), GetParam().expected);
    EXPECT_TRUE(wasRunning);
    std::vector<ULONGLONG> expectedTimes;
    for (ULONGLONG after : GetParam().stopsAfter)
        expectedTimes.push_back(t0 + after);
    EXPECT_EQ(TimesOf("ControlService"), expectedTimes);
}

INSTANTIATE_TEST_SUITE_P(Refusals, StopRefusalTest,
                         ::testing::Values(RefusalRow{CannotAcceptCtrl, Ok, {0, 100}},
                                           RefusalRow{NotActive, Ok, {0, 100}}, RefusalRow{0, Timeout, {0}}));

TEST_F(StopServiceAndWaitTest, ProcessOutlivingTheStoppedServiceTimesOutAtTheDeadline)
{
    model::ServiceRecord* service = Install(SERVICE_RUNNING);
    service->processOutlivesStop = true;
    const DWORD pid = service->pid;

    EXPECT_EQ(Stop(), Timeout);
    EXPECT_TRUE(wasRunning);
    EXPECT_EQ(model::Now(), t0 + 30000);
    EXPECT_EQ(Only("WaitForSingleObject").arg(1), 29700u);
    EXPECT_TRUE(Alive(pid));
}

TEST_F(StopServiceAndWaitTest, ProcessThatEndedBeforeItCouldBeOpenedIsNotAwaited)
{
    const DWORD pid = model::AddProcess(L"OrvellaService.exe");
    model::EndProcess(pid, 0);
    model::AddService(Name, SERVICE_RUNNING, pid);

    EXPECT_EQ(Stop(), Ok);
    EXPECT_TRUE(wasRunning);
    EXPECT_EQ(model::Now(), t0 + 300);
    // Tried at every poll that still names a process, then not at all once STOPPED.
    EXPECT_EQ(TimesOf("OpenProcess"), EveryPoll(t0, t0 + 200));
    EXPECT_EQ(model::CountOf("WaitForSingleObject"), 0u);
}

TEST_F(StopServiceAndWaitTest, ProcessOpenRefusedOnceIsOpenedAtTheNextPollAndAwaited)
{
    model::ServiceRecord* service = Install(SERVICE_RUNNING);
    service->processExitDelayMs = 500;
    model::FailNext("OpenProcess", InvalidParameter);

    EXPECT_EQ(Stop(), Ok);
    EXPECT_EQ(TimesOf("OpenProcess"), (std::vector<ULONGLONG>{t0, t0 + 100}));
    EXPECT_EQ(model::Now(), t0 + 800);
}

struct DeadlineRow {
    ULONGLONG stoppedAfter;
    DWORD expected;
};

class StopDeadlineTest : public StopServiceAndWaitTest, public ::testing::WithParamInterface<DeadlineRow> {};

// The deadline is checked before the state: STOPPED first seen at the deadline is late.
TEST_P(StopDeadlineTest, StoppedFirstSeenAtTheDeadlineIsATimeout)
{
    const DWORD pid = Install(SERVICE_START_PENDING)->pid;
    model::At(t0 + GetParam().stoppedAfter, [pid] {
        model::SetServiceState(Name, SERVICE_STOPPED);
        model::EndProcess(pid, 0);
    });

    EXPECT_EQ(Stop(), GetParam().expected);
    EXPECT_TRUE(wasRunning);
    EXPECT_EQ(model::Now(), t0 + GetParam().stoppedAfter);
}

INSTANTIATE_TEST_SUITE_P(Edges, StopDeadlineTest,
                         ::testing::Values(DeadlineRow{29900, Ok}, DeadlineRow{30000, Timeout}));

struct StopFailureRow {
    Failure failure;
    DWORD initialState;
    bool wasRunning;
};

class StopFailureTest : public StopServiceAndWaitTest,
                        public ::testing::WithParamInterface<StopFailureRow> {};

TEST_P(StopFailureTest, FailedStepEndsTheStopWithItsErrorAndReleasesEverything)
{
    const StopFailureRow& row = GetParam();
    Install(row.initialState);
    Inject(row.failure);

    EXPECT_EQ(Stop(), row.failure.error);
    EXPECT_EQ(wasRunning, row.wasRunning);
    EXPECT_EQ(LastStep(), row.failure.function);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StopFailureTest,
    ::testing::Values(StopFailureRow{{"OpenSCManagerW", 1, AccessDenied}, SERVICE_RUNNING, false},
                      StopFailureRow{{"OpenServiceW", 1, AccessDenied}, SERVICE_RUNNING, false},
                      StopFailureRow{{"QueryServiceStatusEx", 1, InvalidHandle}, SERVICE_RUNNING, false},
                      StopFailureRow{{"QueryServiceStatusEx", 3, InvalidHandle}, SERVICE_RUNNING, true},
                      StopFailureRow{{"OpenProcess", 1, AccessDenied}, SERVICE_RUNNING, true},
                      StopFailureRow{{"ControlService", 1, AccessDenied}, SERVICE_RUNNING, true},
                      StopFailureRow{{"WaitForSingleObject", 1, InvalidHandle}, SERVICE_RUNNING, true}));

// Such a record is all zeroes, and state 0 would read as "not stopped".
TEST_F(StopServiceAndWaitTest, AQueryThatFailsWithoutAnErrorIsNotReadButRepeated)
{
    Install(SERVICE_STOPPED);
    model::FailNext("QueryServiceStatusEx", 0);

    EXPECT_EQ(Stop(), Ok);
    EXPECT_FALSE(wasRunning);

    EXPECT_EQ(TimesOf("QueryServiceStatusEx"), EveryPoll(t0, t0 + 100));
    EXPECT_EQ(model::CountOf("ControlService"), 0u);
}

} // namespace
