#include "WineTest.h"

#include <atomic>
#include <condition_variable>
#include <cwctype>
#include <fstream>
#include <mutex>
#include <pthread.h>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace winetest {

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error(what + " (error " + std::to_string(GetLastError()) + ")");
}

std::wstring EnvironmentValue(const wchar_t* name)
{
    DWORD length = GetEnvironmentVariableW(name, nullptr, 0);
    if (length == 0)
        return std::wstring();
    std::wstring value(length, L'\0');
    length = GetEnvironmentVariableW(name, &value[0], length);
    value.resize(length);
    return value;
}

bool SameName(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towupper(a[i]) != std::towupper(b[i]))
            return false;
    }
    return true;
}

// The name of a "NAME=value" entry; entries such as "=C:=C:\x" keep their leading '='.
std::wstring_view EntryName(std::wstring_view entry)
{
    size_t equals = entry.find(L'=', 1);
    return entry.substr(0, equals == std::wstring_view::npos ? entry.size() : equals);
}

std::vector<wchar_t> BuildEnvironment(const std::vector<EnvChange>& changes)
{
    std::vector<std::wstring> entries;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* at = block; *at != L'\0'; at += wcslen(at) + 1)
        entries.emplace_back(at);
    FreeEnvironmentStringsW(block);

    for (const EnvChange& change : changes) {
        std::vector<std::wstring> kept;
        for (std::wstring& entry : entries) {
            if (!SameName(EntryName(entry), change.name))
                kept.push_back(std::move(entry));
        }
        entries = std::move(kept);
        if (change.value)
            entries.push_back(change.name + L"=" + *change.value);
    }

    std::vector<wchar_t> result;
    for (const std::wstring& entry : entries) {
        result.insert(result.end(), entry.begin(), entry.end());
        result.push_back(L'\0');
    }
    if (entries.empty())
        result.push_back(L'\0');
    result.push_back(L'\0');
    return result;
}

// Handles are made inheritable only while one child is being created, so that
// children started side by side never hold each other's pipe ends open.
std::mutex& CreationLock()
{
    static std::mutex lock;
    return lock;
}

// Reads one pipe to its end on a thread of its own. Something the child started may
// have inherited the pipe and keep it open; its output is not waited for.
class PipeReader {
public:
    explicit PipeReader(HANDLE pipe) : shared_(std::make_shared<Shared>())
    {
        shared_->pipe = pipe;
        std::shared_ptr<Shared> shared = shared_;
        thread_ = std::thread([shared] {
            char buffer[4096];
            DWORD read = 0;
            while (ReadFile(shared->pipe, buffer, sizeof buffer, &read, nullptr) && read > 0) {
                std::lock_guard<std::mutex> guard(shared->lock);
                shared->text.append(buffer, read);
            }
            std::lock_guard<std::mutex> guard(shared->lock);
            shared->done = true;
            shared->ended.notify_all();
        });
    }
    ~PipeReader()
    {
        if (thread_.joinable())
            Collect();
    }

    // Call once the child has ended.
    std::string Collect()
    {
        std::unique_lock<std::mutex> guard(shared_->lock);
        bool done = shared_->ended.wait_for(guard, std::chrono::seconds(2), [this] { return shared_->done; });
        std::string text = shared_->text;
        guard.unlock();
        if (done) {
            thread_.join();
            CloseHandle(shared_->pipe);
        } else {
            // std::thread here is winpthreads: its Windows handle comes from there.
            CancelSynchronousIo(pthread_gethandle(thread_.native_handle()));
            thread_.detach();
        }
        return text;
    }

private:
    struct Shared {
        HANDLE pipe = nullptr;
        std::mutex lock;
        std::condition_variable ended;
        std::string text;
        bool done = false;
    };
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

} // namespace

std::string Utf8(std::wstring_view text)
{
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                   nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size, nullptr,
                        nullptr);
    return result;
}

std::wstring Wide(std::string_view utf8)
{
    if (utf8.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &result[0], size);
    return result;
}

std::filesystem::path FromHostPath(const std::wstring& path)
{
    if (path.empty() || path[0] != L'/')
        return std::filesystem::path(path);
    std::wstring windows = L"Z:" + path;
    for (wchar_t& c : windows) {
        if (c == L'/')
            c = L'\\';
    }
    return std::filesystem::path(windows);
}

std::filesystem::path ProductExe()
{
    std::wstring value = EnvironmentValue(L"ORVELLA_EXE");
    if (value.empty())
        throw std::runtime_error("ORVELLA_EXE is not set");
    return FromHostPath(value);
}

std::filesystem::path FixturesFolder()
{
    std::wstring value = EnvironmentValue(L"ORVELLA_FIXTURES");
    if (value.empty())
        throw std::runtime_error("ORVELLA_FIXTURES is not set");
    return FromHostPath(value);
}

std::wstring QuoteArgument(std::wstring_view argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring_view::npos)
        return std::wstring(argument);
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            quoted.append(backslashes * 2 + 1, L'\\');
        else
            quoted.append(backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

struct Child::State {
    PROCESS_INFORMATION process{};
    std::unique_ptr<PipeReader> output;
    std::unique_ptr<PipeReader> errors;
    bool waited = false;
};

Child::Child(const RunOptions& options) : state_(new State)
{
    std::wstring commandLine = QuoteArgument(options.program.wstring());
    for (const std::wstring& argument : options.arguments)
        commandLine += L" " + QuoteArgument(argument);

    HANDLE outputRead = nullptr;
    HANDLE outputWrite = nullptr;
    HANDLE errorRead = nullptr;
    HANDLE errorWrite = nullptr;
    if (!CreatePipe(&outputRead, &outputWrite, nullptr, 0)
        || !CreatePipe(&errorRead, &errorWrite, nullptr, 0))
        Fail("CreatePipe");
    HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = outputWrite;
    startup.hStdError = errorWrite;

    std::vector<wchar_t> environment = BuildEnvironment(options.environment);
    std::wstring folder = options.workingFolder.wstring();
    BOOL created;
    {
        std::lock_guard<std::mutex> guard(CreationLock());
        for (HANDLE h : {input, outputWrite, errorWrite})
            SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        created = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE,
                                 CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(),
                                 folder.empty() ? nullptr : folder.c_str(), &startup, &state_->process);
        for (HANDLE h : {input, outputWrite, errorWrite})
            SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
    }
    DWORD error = GetLastError();
    CloseHandle(input);
    CloseHandle(outputWrite);
    CloseHandle(errorWrite);
    if (!created) {
        CloseHandle(outputRead);
        CloseHandle(errorRead);
        SetLastError(error);
        Fail("CreateProcessW " + Utf8(commandLine));
    }
    state_->output = std::make_unique<PipeReader>(outputRead);
    state_->errors = std::make_unique<PipeReader>(errorRead);
}

Child::~Child()
{
    if (!state_->waited)
        Wait(std::chrono::milliseconds(0));
}

DWORD Child::ProcessId() const
{
    return state_->process.dwProcessId;
}

HANDLE Child::Process() const
{
    return state_->process.hProcess;
}

RunResult Child::Wait(std::chrono::milliseconds timeout)
{
    RunResult result;
    if (state_->waited)
        throw std::logic_error("Child::Wait called twice");
    state_->waited = true;
    DWORD waited = WaitForSingleObject(state_->process.hProcess, static_cast<DWORD>(timeout.count()));
    if (waited != WAIT_OBJECT_0) {
        result.timedOut = true;
        TerminateProcess(state_->process.hProcess, WAIT_TIMEOUT);
        WaitForSingleObject(state_->process.hProcess, 5000);
    }
    GetExitCodeProcess(state_->process.hProcess, &result.exitCode);
    result.output = state_->output->Collect();
    result.errors = state_->errors->Collect();
    CloseHandle(state_->process.hThread);
    CloseHandle(state_->process.hProcess);
    return result;
}

RunResult RunProgram(const RunOptions& options, std::chrono::milliseconds timeout)
{
    Child child(options);
    return child.Wait(timeout);
}

TempFolder::TempFolder(std::wstring_view label)
{
    static std::atomic<unsigned> counter{0};
    std::filesystem::path base = L"C:\\orvella-tests";
    std::filesystem::create_directories(base);
    path_ = base
        / (std::wstring(label) + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-"
           + std::to_wstring(counter++));
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    std::filesystem::create_directories(path_);
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path CopyExeTo(const std::filesystem::path& folder)
{
    std::filesystem::path source = ProductExe();
    std::filesystem::create_directories(folder);
    std::filesystem::path target = folder / source.filename();
    std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing);
    return target;
}

std::filesystem::path CopyExeAndAgentTo(const std::filesystem::path& folder)
{
    std::filesystem::path exe = CopyExeTo(folder);
    std::filesystem::copy_file(FixturesFolder() / L"Kestrune.exe", folder / L"Kestrune.exe",
                               std::filesystem::copy_options::overwrite_existing);
    return exe;
}

// Wine runs a Unix program that CreateProcess is given as it runs a Windows one.
void SetUnixMode(const std::filesystem::path& path, const char* mode)
{
    using UnixName = char*(CDECL*)(LPCWSTR);
    auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unixName != nullptr ? unixName(path.wstring().c_str()) : nullptr;
    if (name == nullptr)
        Fail("no Unix name for " + Utf8(path.wstring()));
    RunOptions chmod{L"Z:\\bin\\chmod", {Wide(mode), Wide(name)}};
    HeapFree(GetProcessHeap(), 0, name);
    RunProgram(chmod, std::chrono::seconds(10));
}

bool UnderWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

void InstallWtsapiStandIn(const std::filesystem::path& folder)
{
    if (!UnderWine())
        return;
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(FixturesFolder() / L"wtsapi32.dll", folder / L"wtsapi32.dll",
                               std::filesystem::copy_options::overwrite_existing);
    const wchar_t value[] = L"native,builtin";
    LSTATUS status = RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", L"wtsapi32", REG_SZ,
                                     value, sizeof value);
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        Fail("RegSetKeyValueW wtsapi32 override");
    }
}

void WriteSessions(const std::filesystem::path& folder, std::string_view lines)
{
    if (!UnderWine())
        return;
    WriteTextFile(folder / L"sessions.txt", lines);
}

void WriteTextFile(const std::filesystem::path& file, std::string_view bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + Utf8(file.wstring()));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadTextFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::vector<std::string>> BatBlocks(const std::filesystem::path& page)
{
    std::istringstream text(ReadTextFile(page));
    std::vector<std::vector<std::string>> blocks;
    bool inside = false;
    for (std::string line; std::getline(text, line);) {
        if (!inside && line == "```bat")
            blocks.emplace_back();
        else if (inside && line != "```")
            blocks.back().push_back(line);
        if (line == "```bat" || line == "```")
            inside = line == "```bat";
    }
    return blocks;
}

RunResult RunBatch(const std::vector<std::string>& lines, const std::filesystem::path& folder)
{
    std::string script;
    for (const std::string& line : lines)
        script += line + "\r\n";
    WriteTextFile(folder / L"block.cmd", script);
    return RunProgram(
        {L"C:\\windows\\system32\\cmd.exe", {L"/c", (folder / L"block.cmd").wstring()}, folder, {}},
        std::chrono::seconds(120));
}

bool IsFolder(const std::filesystem::path& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFile(const std::filesystem::path& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace winetest

#include <tlhelp32.h>

namespace winetest {

namespace {

std::vector<std::string> CompleteLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

std::string RecordField(const std::string& record, const std::string& name)
{
    std::istringstream in(record);
    std::string field;
    while (std::getline(in, field, '\t')) {
        if (field.compare(0, name.size() + 1, name + "=") == 0)
            return field.substr(name.size() + 1);
    }
    throw std::runtime_error("agent record without " + name + ": " + record);
}

// Handlers, unlike SetConsoleCtrlHandler(nullptr, TRUE), are not inherited: the
// programs the test starts still take Ctrl+C.
BOOL WINAPI SwallowCtrlC(DWORD ctrlType)
{
    return ctrlType == CTRL_C_EVENT || ctrlType == CTRL_BREAK_EVENT;
}

} // namespace

std::vector<AgentRecord> ReadAgentLog(const std::filesystem::path& file)
{
    std::vector<AgentRecord> records;
    for (const std::string& line : CompleteLines(ReadTextFile(file))) {
        AgentRecord record;
        record.pid = static_cast<DWORD>(std::stoul(RecordField(line, "pid")));
        record.tick = std::stoull(RecordField(line, "tick"));
        record.cwd = RecordField(line, "cwd");
        record.cmdline = RecordField(line, "cmdline");
        records.push_back(record);
    }
    return records;
}

std::vector<DWORD> ProcessesOf(const std::filesystem::path& image)
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        Fail("CreateToolhelp32Snapshot");
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (!SameName(entry.szExeFile, image.filename().wstring()))
            continue;
        HANDLE process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (process == nullptr)
            continue; // ended since the snapshot
        wchar_t name[MAX_PATH * 4];
        DWORD length = sizeof name / sizeof name[0];
        if (!HasEnded(process) && QueryFullProcessImageNameW(process, 0, name, &length)
            && SameName(std::wstring_view(name, length), image.wstring()))
            ids.push_back(entry.th32ProcessID);
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return ids;
}

void TerminateProcessesOf(const std::filesystem::path& image)
{
    for (DWORD id : ProcessesOf(image)) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (process == nullptr)
            continue;
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout, DWORD stepMs)
{
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout.count());
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(stepMs);
    }
}

bool HasEnded(HANDLE process)
{
    return process == nullptr || WaitForSingleObject(process, 0) != WAIT_TIMEOUT;
}

ConsoleChild::ConsoleChild(const RunOptions& options)
{
    // Under ctest the console is none, or one that GenerateConsoleCtrlEvent refuses
    // (ERROR_INVALID_ACCESS under Wine 8); a console of our own takes the event.
    static const bool ownConsole = [] {
        FreeConsole();
        if (!AllocConsole())
            Fail("AllocConsole");
        SetConsoleCtrlHandler(SwallowCtrlC, TRUE);
        return true;
    }();
    (void)ownConsole;

    std::wstring commandLine = QuoteArgument(options.program.wstring());
    for (const std::wstring& argument : options.arguments)
        commandLine += L" " + QuoteArgument(argument);
    std::vector<wchar_t> environment = BuildEnvironment(options.environment);
    std::wstring folder = options.workingFolder.wstring();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    // No new console and no new process group: GenerateConsoleCtrlEvent(.., 0) reaches
    // the sender's own group on its console only.
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        environment.data(), folder.empty() ? nullptr : folder.c_str(), &startup, &process_))
        Fail("CreateProcessW " + Utf8(commandLine));
    CloseHandle(process_.hThread);
    process_.hThread = nullptr;
}

ConsoleChild::~ConsoleChild()
{
    if (!HasEnded(process_.hProcess)) {
        TerminateProcess(process_.hProcess, 1);
        WaitForSingleObject(process_.hProcess, 5000);
    }
    CloseHandle(process_.hProcess);
}

void ConsoleChild::SendCtrlC()
{
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
        Fail("GenerateConsoleCtrlEvent");
}

} // namespace winetest
