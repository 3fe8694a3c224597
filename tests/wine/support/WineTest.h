#pragma once

// Support for the Windows test programs that run under Wine against the real
// executable. The programs learn where things are from the environment ctest sets:
//   ORVELLA_EXE       the product executable (Unix or Windows path)
//   ORVELLA_FIXTURES  the folder holding Kestrune.exe and the wtsapi32.dll stand-in

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winetest {

// msvcrt's wide output stops at the first non-ASCII letter, so text meant for a
// person (gtest messages) is converted here.
std::string Utf8(std::wstring_view text);
std::wstring Wide(std::string_view utf8);

// A path from the Unix side (ctest) as Wine sees it: "/x/y" becomes "Z:\x\y".
std::filesystem::path FromHostPath(const std::wstring& path);

std::filesystem::path ProductExe();
std::filesystem::path FixturesFolder();

// Quotes one argument so that CommandLineToArgvW and the CRT give it back unchanged.
std::wstring QuoteArgument(std::wstring_view argument);

// A change to the child's environment block: a value sets or replaces the variable,
// no value removes it. Names compare case-insensitively, as Windows does.
struct EnvChange {
    std::wstring name;
    std::optional<std::wstring> value;
};

struct RunOptions {
    std::filesystem::path program;
    std::vector<std::wstring> arguments; // quoted and joined after the program
    std::filesystem::path workingFolder; // empty: the test program's own
    std::vector<EnvChange> environment;
};

struct RunResult {
    DWORD exitCode = 0;    // the full 32-bit status from GetExitCodeProcess
    std::string output;    // stdout, bytes as written
    std::string errors;    // stderr, bytes as written
    bool timedOut = false; // the child was terminated after the timeout
};

// A started child with its stdout and stderr read into memory as it writes them.
class Child {
public:
    explicit Child(const RunOptions& options);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Waits for the child to end; past the timeout it is terminated (exit code 258).
    RunResult Wait(std::chrono::milliseconds timeout);
    DWORD ProcessId() const;
    HANDLE Process() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

RunResult RunProgram(const RunOptions& options, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A fresh folder under C:\orvella-tests, removed with its contents when dropped.
class TempFolder {
public:
    explicit TempFolder(std::wstring_view label);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Copies the product executable into the folder (created as needed); returns the copy.
std::filesystem::path CopyExeTo(const std::filesystem::path& folder);

// The product executable with the stand-in agent beside it, as a launch or a self-test
// wants them; returns the executable's copy.
std::filesystem::path CopyExeAndAgentTo(const std::filesystem::path& folder);

// True under Wine (its ntdll exports wine_get_version); false on Windows.
bool UnderWine();

// Wine only: sets the Unix mode of the file or folder, as any user of the machine might
// (Wine shows a mode that lets others write as an entry that lets Everyone change it).
void SetUnixMode(const std::filesystem::path& path, const char* mode);

// Puts the wtsapi32.dll stand-in into the folder and makes Wine prefer it there:
// HKCU\Software\Wine\DllOverrides wtsapi32 = native,builtin. The registry value
// (unlike WINEDLLOVERRIDES) also reaches processes that Wine's services start.
// On Windows it does nothing: the system's own sessions answer, one active user
// session at the console, which is what the tests' usual sessions file says.
void InstallWtsapiStandIn(const std::filesystem::path& folder);

// Rewrites the sessions file the stand-in reads (format: see fixtures/wtsapi32.cpp);
// nothing on Windows. Tests that move between sessions skip there.
void WriteSessions(const std::filesystem::path& folder, std::string_view lines);

void WriteTextFile(const std::filesystem::path& file, std::string_view bytes);
std::string ReadTextFile(const std::filesystem::path& file);

// The ```bat blocks of a document, in order, each as its lines.
std::vector<std::vector<std::string>> BatBlocks(const std::filesystem::path& page);

// The lines as a .cmd file in the folder, run there by cmd /c.
RunResult RunBatch(const std::vector<std::string>& lines, const std::filesystem::path& folder);

bool IsFolder(const std::filesystem::path& path);
bool IsFile(const std::filesystem::path& path);

} // namespace winetest

// Watching what a supervisor does with the agent stand-in: its records and its
// processes, and a program run on a console of the test's own for Ctrl+C.

#include <functional>

namespace winetest {

// One start of the agent stand-in, as it recorded it (see fixtures/Kestrune.cpp).
struct AgentRecord {
    DWORD pid = 0;
    ULONGLONG tick = 0;  // the agent's GetTickCount64() at its start
    std::string cwd;     // UTF-8
    std::string cmdline; // UTF-8, GetCommandLineW() as the agent received it
};

// The complete records of an agent-log.txt; a line still being written is left out.
std::vector<AgentRecord> ReadAgentLog(const std::filesystem::path& file);

// The ids of the live processes whose image is this file (compared case-insensitively),
// so that processes of the same name elsewhere do not count.
std::vector<DWORD> ProcessesOf(const std::filesystem::path& image);

// Terminates every live process of that image and waits for each to end.
void TerminateProcessesOf(const std::filesystem::path& image);

// Polls the condition every 50 ms until it holds (true) or the timeout passes (false).
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout, DWORD stepMs = 50);

// True once the process has ended; a null handle counts as ended.
bool HasEnded(HANDLE process);

// A program sharing a console of this test program's own and its process group, so
// that SendCtrlC reaches it as a user's Ctrl+C would. The first one replaces the
// test program's console (under ctest it has none that takes events) and makes the
// test program survive the event. Its output is not captured.
class ConsoleChild {
public:
    explicit ConsoleChild(const RunOptions& options);
    ~ConsoleChild(); // terminates the program if it still runs
    ConsoleChild(const ConsoleChild&) = delete;
    ConsoleChild& operator=(const ConsoleChild&) = delete;

    void SendCtrlC();
    HANDLE Process() const { return process_.hProcess; }
    DWORD ProcessId() const { return process_.dwProcessId; }

private:
    PROCESS_INFORMATION process_{};
};

} // namespace winetest
