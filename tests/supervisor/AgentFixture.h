#pragma once

// Shared arrangement for the supervision tests: sessions, the launched agents as the
// stand-in recorded them, and the journal cut into supervision passes.

#include "HostTest.h"

#include <map>
#include <string>
#include <vector>

class AgentTest : public HostTest {
protected:
    static constexpr ULONGLONG T0 = model::StartTime;
    static constexpr ULONGLONG Period = 3000;

    void SetUp() override
    {
        HostTest::SetUp();
        // A loop that stops waiting spins; fail within moments instead of a million calls.
        model::SetCallLimit(20000);
    }

    void TearDown() override
    {
        // What the entry does after every supervising mode; the ledger check follows.
        StopAgent();
        CloseStopEvent();
        HostTest::TearDown();
    }

    // One user, logged on at the console in `session`, beside the services' session 0.
    static void UserAt(DWORD session)
    {
        model::SetSessions({{0, WTSDisconnected}, {session, WTSActive}});
        model::SetConsoleSession(session);
    }

    static uintptr_t Raw(const void* handle) { return reinterpret_cast<uintptr_t>(handle); }

    std::filesystem::path ConfigPath() const { return dataRoot / "Orvella" / "device.json"; }

    std::wstring ExpectedCommandLine() const
    {
        return L"\"" + AgentPath().wstring() + L"\" --service-agent --config \"" + ConfigPath().wstring()
            + L"\"";
    }

    static std::vector<model::ProcessRecord> Agents()
    {
        std::vector<model::ProcessRecord> agents;
        for (const auto& process : model::Processes())
            if (process.createdByCreateProcess)
                agents.push_back(process);
        return agents;
    }

    static std::vector<std::string> Names(const std::vector<model::Call>& calls)
    {
        std::vector<std::string> names;
        for (const auto& call : calls)
            names.push_back(call.function);
        return names;
    }

    // A supervision pass is everything between two waits on the stop event; the calls
    // after the final wait belong to whoever ran the loop, not to a pass.
    std::vector<std::vector<model::Call>> Passes() const
    {
        const uintptr_t stop = Raw(StopEvent.load());
        std::vector<std::vector<model::Call>> segments;
        for (const auto& call : model::Journal()) {
            if (call.function == "WaitForSingleObject" && call.arg(0) == stop)
                segments.emplace_back();
            else if (!segments.empty())
                segments.back().push_back(call);
        }
        if (!segments.empty())
            segments.pop_back();
        return segments;
    }

    static void SignalAt(ULONGLONG when, HANDLE event)
    {
        model::At(when, [event] { model::Signal(event); });
    }

    // The agent started by the first pass ignores termination; before the second pass
    // the user moves to session 2, so that pass spends the whole grace on the old agent
    // (T0+6000..T0+9000) and then starts one in session 2 that ends normally.
    static void MoveUserPastAStubbornAgent()
    {
        UserAt(1);
        model::NextProcessesSurviveTerminate(true);
        model::At(T0 + 4000, [] {
            model::NextProcessesSurviveTerminate(false);
            UserAt(2);
        });
    }
};
