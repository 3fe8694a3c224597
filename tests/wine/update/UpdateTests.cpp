// The update sequence of docs/updating.md (the page's only bat block) as printed, only
// its install folder replaced, run by cmd over an installation made with --install-service.

#include "WineTest.h"

#include <gtest/gtest.h>

using namespace winetest;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

DWORD Status(const fs::path& program, std::vector<std::wstring> arguments)
{
    return RunProgram({program, std::move(arguments), {}, {}}, 90s).exitCode;
}

TEST(UpdateSequence, ReplacesTheFilesOrStartsTheServiceAgainOnTheOnesItHad)
{
    TempFolder temp(L"update");
    const fs::path dir = temp.Path() / L"Orvella install", exe = CopyExeAndAgentTo(dir),
                   agent = dir / L"Kestrune.exe";
    InstallWtsapiStandIn(dir);
    WriteSessions(dir, "1 Active\n");
    CopyExeTo(temp.Path() / L"new");
    WriteTextFile(temp.Path() / L"new" / L"Kestrune.exe", ReadTextFile(agent) + "x");
    std::vector<std::string> script = BatBlocks(FromHostPath(_wgetenv(L"ORVELLA_UPDATING_DOC"))).at(0);
    for (std::string& line : script)
        if (line.rfind("set \"dir=", 0) == 0)
            line = "set \"dir=" + Utf8(dir.wstring()) + "\"";
    const uintmax_t newSize = fs::file_size(agent) + 1;
    const auto update = [&](DWORD status, size_t running) {
        EXPECT_EQ(RunBatch(script, temp.Path()).exitCode, status);
        EXPECT_TRUE(WaitFor(
            [&] { return ProcessesOf(exe).size() == running && ProcessesOf(agent).size() == running; }, 10s,
            100));
        EXPECT_EQ(fs::file_size(agent), newSize);
        EXPECT_FALSE(IsFile(dir / L"OrvellaUpdate.exe") || IsFile(dir / L"update-state.txt"));
    };

    EXPECT_EQ(Status(exe, {L"--install-service", exe.wstring()}), 0u);
    update(0, 1);
    // A failed copy: the service starts again on the files it has, unless it was stopped before.
    fs::remove(temp.Path() / L"new" / L"Kestrune.exe");
    update(1, 1);
    EXPECT_EQ(Status(exe, {L"--prepare-update", (dir / L"none").wstring(), L"NUL"}), 0u);
    update(1, 0);
    Status(exe, {L"--remove-service"});
}
