#pragma once

// Base fixture of the host tier: a fresh stand-in, the product's process-wide values back
// at their start-up state, and a throw-away folder on the real file system for the
// executable's folder and the data root (the product's std::filesystem calls see Linux).

#include "Win32Test.h"

#include "common/Common.h"
#include "supervisor/Supervisor.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class HostTest : public Win32Test {
protected:
    // An entry point run as the process runs it, with these arguments after its name.
    template <typename Entry>
    static DWORD RunAs(Entry entry, std::vector<std::wstring> arguments)
    {
        arguments.insert(arguments.begin(), L"OrvellaService.exe");
        std::vector<wchar_t*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        return static_cast<DWORD>(entry(static_cast<int>(arguments.size()), argv.data()));
    }

    std::filesystem::path root;     // per-test folder
    std::filesystem::path exeDir;   // root/app: where the executable "lives"
    std::filesystem::path dataRoot; // root/data: PROGRAMDATA

    void SetUp() override
    {
        Win32Test::SetUp();
        StopEvent.store(nullptr);
        ServiceStatusHandle.store(nullptr);
        AgentSlot.Process = nullptr;
        AgentSlot.Job = nullptr;
        AgentSlot.Session = NoSession;

        std::string pattern = (std::filesystem::temp_directory_path() / "orvella-host-XXXXXX").string();
        root = mkdtemp(pattern.data());
        exeDir = root / "app";
        dataRoot = root / "data";
        std::filesystem::create_directories(exeDir);
        std::filesystem::create_directories(dataRoot);
        model::SetModuleFileName((exeDir / "OrvellaService.exe").wstring());
        model::SetEnvironment(L"PROGRAMDATA", dataRoot.wstring());
    }

    void TearDown() override
    {
        Win32Test::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    std::filesystem::path AgentPath() const { return exeDir / "Kestrune.exe"; }

    void PutAgentFile() const { std::ofstream(AgentPath()) << "agent"; }

    // The StopEvent as the entry creates it, for tests that run a mode's pieces directly.
    HANDLE CreateStopEvent()
    {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        StopEvent.store(event);
        return event;
    }

    void CloseStopEvent()
    {
        HANDLE event = StopEvent.load();
        CloseHandleAndForget(event);
        StopEvent.store(nullptr);
    }
};
