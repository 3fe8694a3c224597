#include "entry/Entry.h"

#include "common/Common.h"
#include "layout/DataFolder.h"
#include "layout/Paths.h"
#include "layout/ProgramFolder.h"
#include "runtime/Runtime.h"
#include "scm/Scm.h"

#include <iostream>
#include <string>

namespace {

bool IsMode(int argc, wchar_t* argv[], int count, const wchar_t* mode)
{
    return argc == count && std::wstring(argv[1]) == mode;
}

bool IsModeWithExtras(int argc, wchar_t* argv[], const wchar_t* mode)
{
    return argc >= 2 && std::wstring(argv[1]) == mode;
}

void CloseStopEvent()
{
    HANDLE event = StopEvent.load(std::memory_order_acquire);
    CloseHandleAndForget(event);
    StopEvent.store(nullptr, std::memory_order_release);
}

// The modes that run with the StopEvent in place.
DWORD RunSupervisingMode(int argc, wchar_t* argv[])
{
    if (IsModeWithExtras(argc, argv, L"--self-test"))
        return RunSelfTest();
    if (IsModeWithExtras(argc, argv, L"--console")) {
        RunConsole();
        return 0;
    }
    return RunServiceDispatcher();
}

} // namespace

// Passes only where a launch would not be refused for a reason it can see: its own folder
// found, the agent there, nobody else able to change either, and a data folder and
// configuration the launch accepts. The data folder is made even when the module is not
// found, as every launch makes it.
DWORD RunSelfTest()
{
    const std::filesystem::path moduleDirectory = GetModuleDirectory();
    GetConfigPath();
    bool passed = !moduleDirectory.empty() && CheckProgramPath(moduleDirectory / AgentFileName, false) == 0
        && DataFolderIsSafe(GetDataRoot());
    std::wcout << (passed ? L"Orvella native service self-test passed\n"
                          : L"Orvella native service self-test failed\n");
    std::wcout.flush();
    return passed ? 0 : 1;
}

DWORD RunServiceDispatcher()
{
    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(ServiceName), ServiceMain},
        {nullptr, nullptr},
    };
    BOOL dispatched = StartServiceCtrlDispatcherW(table);
    return dispatched ? 0 : 1;
}

DWORD RunEntry(int argc, wchar_t* argv[])
{
    if (IsMode(argc, argv, 4, L"--prepare-update"))
        return PrepareUpdate(argv[2], argv[3]);
    if (IsMode(argc, argv, 3, L"--install-service"))
        return InstallService(argv[2]);
    if (IsMode(argc, argv, 2, L"--start-service"))
        return StartInstalledService();
    if (IsMode(argc, argv, 2, L"--remove-service"))
        return RemoveService();

    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr)
        return 1;
    StopEvent.store(event, std::memory_order_release);

    DWORD status = RunSupervisingMode(argc, argv);
    CloseStopEvent();
    return status;
}
