#pragma once

#include "HostTest.h"

#include "scm/Scm.h"

#include <algorithm>
#include <string>
#include <vector>

// The headers define error codes as long; the product returns DWORD.
constexpr DWORD Ok = ERROR_SUCCESS;
constexpr DWORD NotFound = ERROR_FILE_NOT_FOUND;
constexpr DWORD PathNotFound = ERROR_PATH_NOT_FOUND;
constexpr DWORD AccessDenied = ERROR_ACCESS_DENIED;
constexpr DWORD InvalidHandle = ERROR_INVALID_HANDLE;
constexpr DWORD WriteFault = ERROR_WRITE_FAULT;
constexpr DWORD SharingViolation = ERROR_SHARING_VIOLATION;
constexpr DWORD InvalidParameter = ERROR_INVALID_PARAMETER;
constexpr DWORD AlreadyRunning = ERROR_SERVICE_ALREADY_RUNNING;
constexpr DWORD Disabled = ERROR_SERVICE_DISABLED;
constexpr DWORD DoesNotExist = ERROR_SERVICE_DOES_NOT_EXIST;
constexpr DWORD CannotAcceptCtrl = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
constexpr DWORD NotActive = ERROR_SERVICE_NOT_ACTIVE;
constexpr DWORD MarkedForDelete = ERROR_SERVICE_MARKED_FOR_DELETE;
constexpr DWORD ServiceExists = ERROR_SERVICE_EXISTS;
constexpr DWORD Timeout = ERROR_TIMEOUT;

// An injected failure: the nth call to function fails with error.
struct Failure {
    const char* function;
    int nth;
    DWORD error;
};

using Args = std::vector<uintptr_t>;

inline void Inject(const Failure& failure)
{
    model::FailNth(failure.function, failure.nth, failure.error);
}

class ScmTest : public HostTest {
public:
    // Public so table rows can arrange the service manager too.
    static constexpr ULONGLONG t0 = model::StartTime;
    static constexpr const wchar_t* Name = L"OrvellaService";

    static model::ServiceRecord* Install(DWORD state) { return model::AddService(Name, state); }
    static model::ServiceRecord* Registered() { return model::Service(Name); }

protected:
    static bool Alive(DWORD pid)
    {
        const model::ProcessRecord* process = model::Process(pid);
        return process != nullptr && process->alive;
    }

    // The single call to function; any other count fails the test (and arg() then throws).
    static model::Call Only(const std::string& function)
    {
        const auto calls = model::CallsTo(function);
        EXPECT_EQ(calls.size(), 1u) << "calls to " << function;
        return calls.empty() ? model::Call{} : calls.front();
    }

    static std::vector<ULONGLONG> TimesOf(const std::string& function)
    {
        std::vector<ULONGLONG> times;
        for (const auto& call : model::CallsTo(function))
            times.push_back(call.time);
        return times;
    }

    // first, first+100, ... last: one poll per 100 ms.
    static std::vector<ULONGLONG> EveryPoll(ULONGLONG first, ULONGLONG last)
    {
        std::vector<ULONGLONG> times;
        for (ULONGLONG t = first; t <= last; t += 100)
            times.push_back(t);
        return times;
    }

    // The last call that acted, ignoring clock reads and clean-up: after a failure
    // nothing but releasing handles may follow it.
    static std::string LastStep()
    {
        const auto names = model::CallNames();
        auto acted = std::find_if(names.rbegin(), names.rend(), [](const std::string& name) {
            return name != "CloseServiceHandle" && name != "CloseHandle" && name != "GetTickCount64";
        });
        return acted == names.rend() ? std::string() : *acted;
    }
};
