#include <windows.h>

#include <string>
#include <vector>

#include "Win32Test.h"

namespace {

class StandInTest : public Win32Test {};

TEST_F(StandInTest, SleepRunsDueActionsInTimeOrderWithTheClockAtEach)
{
    std::vector<std::pair<int, ULONGLONG>> ran;
    model::After(300, [&] { ran.push_back({3, model::Now()}); });
    model::After(100, [&] { ran.push_back({1, model::Now()}); });
    model::After(100, [&] { ran.push_back({2, model::Now()}); });
    model::After(900, [&] { ran.push_back({4, model::Now()}); });

    Sleep(500);

    const ULONGLONG t0 = model::StartTime;
    EXPECT_EQ(ran, (std::vector<std::pair<int, ULONGLONG>>{{1, t0 + 100}, {2, t0 + 100}, {3, t0 + 300}}));
    EXPECT_EQ(GetTickCount64(), t0 + 500);
    EXPECT_EQ(model::PendingActions(), 1u);
}

TEST_F(StandInTest, WaitReturnsAtTheActionThatSignalsAndTimesOutOtherwise)
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    model::After(1200, [event] { model::Signal(event); });

    EXPECT_EQ(WaitForSingleObject(event, 1000), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(model::Now(), model::StartTime + 1000);
    EXPECT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
    EXPECT_EQ(model::Now(), model::StartTime + 1200);
    // Auto-reset: the successful wait consumed the signal.
    EXPECT_FALSE(model::IsSignalled(event));
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(StandInTest, LedgerReportsLeaksAndWrongKindOrDoubleClosesAsFaults)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    model::AddService(L"Other", SERVICE_STOPPED);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"other", SERVICE_QUERY_STATUS);
    ASSERT_NE(service, nullptr);

    ASSERT_EQ(model::OpenHandles().size(), 3u);
    EXPECT_EQ(model::HandleInfo(event)->kind, model::Kind::Event);

    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(service)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    ASSERT_EQ(model::Faults().size(), 1u);
    EXPECT_NE(model::Faults()[0].find("wrong kind"), std::string::npos);

    EXPECT_TRUE(CloseHandle(event));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(model::Faults().size(), 2u);
    model::ClearFaults();

    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_TRUE(CloseServiceHandle(manager));
}

TEST_F(StandInTest, StopGoesThroughStopPendingAndInjectedFailuresAcquireNothing)
{
    model::ServiceRecord* record = model::AddService(L"Other", SERVICE_RUNNING);
    const DWORD pid = record->pid;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);

    model::FailNext("OpenServiceW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenServiceW(manager, L"Other", SERVICE_STOP), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(model::OpenHandles().size(), 1u);

    SC_HANDLE service = OpenServiceW(manager, L"Other", SERVICE_STOP);
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));

    Sleep(record->stopPendingMs);
    EXPECT_EQ(record->state, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_FALSE(model::Process(pid)->alive);

    const auto calls = model::CallsTo("OpenServiceW");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].injected);
    EXPECT_EQ(calls[1].text(0), L"Other");
    EXPECT_EQ(calls[1].arg(2), static_cast<uintptr_t>(SERVICE_STOP));

    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_TRUE(CloseServiceHandle(manager));
}

} // namespace
