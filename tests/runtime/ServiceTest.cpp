#include "HostTest.h"

#include "entry/Entry.h"
#include "runtime/Runtime.h"

#include <algorithm>
#include <vector>

namespace {

constexpr ULONGLONG t0 = model::StartTime;
constexpr DWORD Accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

struct Expected {
    DWORD state;
    DWORD controls;
    DWORD hint;
    ULONGLONG time;
};

class ServiceTest : public HostTest {
protected:
    std::vector<DWORD> controlResults;
    HANDLE stopEvent = nullptr;

    // Runs the service as the service manager would, until ServiceMain returns.
    DWORD RunAsService(std::vector<std::wstring> args = {})
    {
        stopEvent = CreateStopEvent();
        model::StartedByServiceManager(std::move(args));
        DWORD status = RunServiceDispatcher();
        CloseStopEvent(); // the entry's part after every supervising mode
        return status;
    }

    void ControlsAt(ULONGLONG time, std::vector<DWORD> controls)
    {
        model::At(time, [this, controls] {
            for (DWORD control : controls)
                controlResults.push_back(model::SendControl(control));
        });
    }

    // Every field of every report, in order, with the time it was made.
    static void ExpectReports(const std::vector<Expected>& expected)
    {
        std::vector<std::vector<ULONGLONG>> actual, wanted;
        for (const auto& report : model::StatusReports()) {
            const SERVICE_STATUS& s = report.status;
            actual.push_back({s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
                              s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint, report.time});
        }
        for (const Expected& e : expected)
            wanted.push_back(
                {SERVICE_WIN32_OWN_PROCESS, e.state, e.controls, NO_ERROR, 0, 0, e.hint, e.time});
        EXPECT_EQ(actual, wanted)
            << "type, state, controls, exit code, service exit code, checkpoint, hint, time";
    }

    static std::vector<Expected> StoppedAt(ULONGLONG stop)
    {
        return {{SERVICE_START_PENDING, 0, 5000, t0},
                {SERVICE_RUNNING, Accepted, 0, t0},
                {SERVICE_STOP_PENDING, Accepted, 5000, stop},
                {SERVICE_STOPPED, Accepted, 0, stop}};
    }

    static size_t IndexOf(const std::string& function, size_t nth = 0)
    {
        const auto names = model::CallNames();
        size_t seen = 0;
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == function && seen++ == nth)
                return i;
        ADD_FAILURE() << "no call " << nth + 1 << " to " << function;
        return names.size();
    }
};

TEST_F(ServiceTest, RegistersItsHandlerAndReportsEachStateWithEveryField)
{
    ControlsAt(t0 + 1000, {SERVICE_CONTROL_STOP});

    EXPECT_EQ(RunAsService(), 0u);

    ExpectReports(StoppedAt(t0 + 1000));
    EXPECT_EQ(controlResults, std::vector<DWORD>{NO_ERROR});
    const auto registration = model::CallsTo("RegisterServiceCtrlHandlerExW");
    ASSERT_EQ(registration.size(), 1u);
    EXPECT_EQ(registration[0].text(0), L"OrvellaService");
    EXPECT_EQ(registration[0].arg(1), reinterpret_cast<uintptr_t>(&ServiceControlHandler));
    EXPECT_EQ(registration[0].arg(2), 0u);
    for (const auto& report : model::StatusReports())
        EXPECT_EQ(reinterpret_cast<uintptr_t>(report.handle), registration[0].result);
    // STOP_PENDING comes from the handler itself, before the loop is woken.
    EXPECT_LT(IndexOf("SetServiceStatus", 2), IndexOf("SetEvent"));
}

TEST_F(ServiceTest, StartParametersChangeNothing)
{
    ControlsAt(t0 + 1000, {SERVICE_CONTROL_STOP});

    EXPECT_EQ(RunAsService({L"OrvellaService", L"--console", L"--install-service", L"C:\\x.exe"}), 0u);

    ExpectReports(StoppedAt(t0 + 1000));
    EXPECT_EQ(model::CountOf("OpenSCManagerW"), 0u);
    EXPECT_EQ(model::CountOf("SetConsoleCtrlHandler"), 0u);
}

class StopControlTest : public ServiceTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(StopControlTest, StopAndShutdownEachEndTheServiceTheSameWay)
{
    ControlsAt(t0 + 4500, {GetParam()});

    EXPECT_EQ(RunAsService(), 0u);

    ExpectReports(StoppedAt(t0 + 4500));
    EXPECT_EQ(controlResults, std::vector<DWORD>{NO_ERROR});
}

INSTANTIATE_TEST_SUITE_P(Controls, StopControlTest,
                         ::testing::Values(DWORD{SERVICE_CONTROL_STOP}, DWORD{SERVICE_CONTROL_SHUTDOWN}));

TEST_F(ServiceTest, OtherControlsAreAcknowledgedWithoutAReportOrAStop)
{
    const std::vector<DWORD> others = {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE,
                                       SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_PARAMCHANGE, 200};
    ControlsAt(t0 + 1000, others);
    ControlsAt(t0 + 7000, {SERVICE_CONTROL_STOP});

    EXPECT_EQ(RunAsService(), 0u);

    ExpectReports(StoppedAt(t0 + 7000));
    EXPECT_EQ(controlResults, std::vector<DWORD>(others.size() + 1, NO_ERROR));
    EXPECT_EQ(model::CountOf("SetEvent"), 1u);
}

TEST_F(ServiceTest, SecondStopIsReportedAgainButTheServiceStopsOnce)
{
    ControlsAt(t0 + 1000, {SERVICE_CONTROL_STOP, SERVICE_CONTROL_STOP});

    EXPECT_EQ(RunAsService(), 0u);

    EXPECT_EQ(model::ReportedStates(),
              (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                  SERVICE_STOP_PENDING, SERVICE_STOPPED}));
}

TEST_F(ServiceTest, FailedRegistrationReportsNothingAndDoesNotSupervise)
{
    model::FailNext("RegisterServiceCtrlHandlerExW", ERROR_INVALID_NAME);

    RunAsService();

    EXPECT_TRUE(model::StatusReports().empty());
    EXPECT_EQ(model::CountOf("SetServiceStatus"), 0u);
    EXPECT_EQ(model::CountOf("WaitForSingleObject"), 0u);
    EXPECT_EQ(ServiceStatusHandle.load(), nullptr);
}

TEST_F(ServiceTest, ControlArrivingBeforeTheHandleIsStoredStillStopsWithoutAReport)
{
    HANDLE stop = CreateStopEvent();

    EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), DWORD{NO_ERROR});

    EXPECT_TRUE(model::IsSignalled(stop));
    EXPECT_EQ(model::CountOf("SetServiceStatus"), 0u);
    CloseStopEvent();
}

TEST_F(ServiceTest, StoppedIsReportedOnlyAfterTheLoopEndedAndTheAgentWasEnded)
{
    model::SetSessions({{1, WTSActive}});
    model::SetConsoleSession(1);
    PutAgentFile();
    ControlsAt(t0 + 4000, {SERVICE_CONTROL_STOP}); // the first pass at +3000 starts the agent

    EXPECT_EQ(RunAsService(), 0u);

    const auto processes = model::Processes();
    const auto agent = std::find_if(processes.begin(), processes.end(),
                                    [](const model::ProcessRecord& p) { return p.createdByCreateProcess; });
    ASSERT_NE(agent, processes.end());
    EXPECT_FALSE(agent->alive);
    ASSERT_EQ(model::ReportedStates().back(), DWORD{SERVICE_STOPPED});
    EXPECT_LE(agent->endedAt, model::StatusReports().back().time);

    const auto& journal = model::Journal();
    const auto lastLoopWait = std::find_if(journal.rbegin(), journal.rend(), [this](const model::Call& call) {
        return call.function == "WaitForSingleObject"
            && call.arg(0) == reinterpret_cast<uintptr_t>(stopEvent);
    });
    ASSERT_NE(lastLoopWait, journal.rend());
    const size_t loopEnded = static_cast<size_t>(journal.rend() - lastLoopWait) - 1;
    EXPECT_EQ(lastLoopWait->result, uintptr_t{WAIT_OBJECT_0});
    EXPECT_LT(loopEnded, IndexOf("TerminateProcess"));
    EXPECT_LT(IndexOf("TerminateProcess"), IndexOf("SetServiceStatus", 3));
    EXPECT_EQ(model::CountOf("SetServiceStatus"), 4u);
}

} // namespace
