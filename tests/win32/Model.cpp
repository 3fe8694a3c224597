#include "Win32Model.h"

#include <aclapi.h>
#include <userenv.h>
#include <windows.h>
#include <sddl.h>
#include <winternl.h>
#include <wtsapi32.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

namespace model {
namespace {

constexpr ULONGLONG Forever = std::numeric_limits<ULONGLONG>::max();
constexpr DWORD NoConsoleSession = 0xFFFFFFFF;
const uintptr_t StatusHandleValue = 0x5150;

struct EventState {
    bool manual = false;
    bool signalled = false;
};

// One ledger entry. Only the fields of its kind are meaningful.
struct Object {
    Kind kind = Kind::Event;
    std::string description;
    DWORD access = 0;
    std::shared_ptr<EventState> event;
    DWORD pid = 0;     // Process, Thread
    DWORD tid = 0;     // Thread: one of this process's own threads (pid 0)
    DWORD session = 0; // Token
    TOKEN_TYPE tokenType = TokenPrimary;
    std::shared_ptr<ServiceRecord> service;
    std::unique_ptr<WTS_SESSION_INFOW[]> sessionArray;
    std::vector<std::wstring> sessionNames;
    std::unique_ptr<wchar_t[]> environment;
    DWORD jobLimits = 0;                 // Job
    std::wstring sddl;                   // SecurityDescriptor
    std::wstring owner;                  // SecurityDescriptor from GetSecurityInfo: what its PSID points to
    std::wstring path;                   // File
    bool linkItself = false;             // File opened with FILE_FLAG_OPEN_REPARSE_POINT
    DWORD share = 0;                     // File: what it lets others do meanwhile
    uint64_t position = 0;               // File: where its next read starts
    bool listing = false;                // File: its listing has begun
    std::vector<std::wstring> listQueue; // File: names its listing has not returned yet
    std::vector<BYTE> acl;               // SecurityDescriptor from GetSecurityInfo: its DACL
    std::unique_ptr<wchar_t[]> text;     // LocalString
    HANDLE* jobValue = nullptr;          // AttributeList: where its job handle is kept
};

// One of this process's threads: the test's own (the main thread) or one the product made.
struct ThreadState {
    bool ended = false;
    // While it waits: whether it may go on, and when its wait ends by itself.
    bool waiting = false;
    std::function<bool()> ready;
    ULONGLONG wake = 0;
    bool cancellable = false; // waits in a synchronous call that CancelSynchronousIo ends
    bool cancelled = false;
};

struct ScheduledAction {
    ULONGLONG time;
    uint64_t seq;
    std::function<void()> run;
};

struct FailRule {
    std::optional<DWORD> always;
    std::vector<std::pair<int, DWORD>> countdown; // calls left until failing, error
};

struct State {
    ULONGLONG clock = StartTime;
    ULONGLONG clockLimit = StartTime + 3'600'000;
    size_t callLimit = 1'000'000;
    size_t callCount = 0;
    bool runawayThrown = false;
    std::vector<ScheduledAction> actions;
    uint64_t nextSeq = 0;

    DWORD lastError = 0;
    std::vector<Call> journal;
    unsigned journalEpoch = 0;
    std::map<std::string, FailRule> failures;

    std::map<uintptr_t, Object> objects;
    std::map<uintptr_t, std::string> closed;
    uintptr_t nextHandle = 0x1000;
    std::vector<std::string> faults;

    std::wstring moduleFileName = L"/tmp/orvella-host/OrvellaService.exe";
    std::map<std::wstring, std::pair<std::wstring, std::wstring>>
        environment; // upper-cased name -> (name, value)

    std::vector<Session> sessions;
    DWORD consoleSession = NoConsoleSession;
    bool tcbPrivilege = true;

    std::map<DWORD, ProcessRecord> processes;
    DWORD nextPid = 4000;
    DWORD nextTid = 6000;
    bool nextSurvive = false;

    std::map<std::wstring, std::shared_ptr<ServiceRecord>> services; // lower-cased name
    std::optional<std::vector<std::wstring>> dispatchArgs;
    std::vector<std::wstring> dispatcherTable;
    LPHANDLER_FUNCTION_EX controlHandler = nullptr;
    LPVOID controlContext = nullptr;
    std::vector<StatusReport> reports;

    std::vector<PHANDLER_ROUTINE> consoleHandlers;
    std::map<std::wstring, DWORD> fileErrors;
    std::map<std::wstring, std::optional<std::wstring>> createdFolders;
    std::map<std::wstring, std::wstring> owners;
    std::map<std::wstring, std::wstring> appliedSecurity;
    std::map<std::wstring, std::wstring> dacls; // path -> SDDL text whose D: part is its list
    std::map<std::wstring, std::function<void()>> securityHooks;
    std::map<std::wstring, std::function<void()>> moveHooks;
    std::set<std::wstring> oplocks;
    std::wstring processUser = L"SY";
    std::map<DWORD, ThreadState> threads;
};

State& S()
{
    static State state;
    return state;
}

const std::set<std::string>& InjectableFunctions()
{
    static const std::set<std::string> names = {"CloseHandle",
                                                "CreateEventW",
                                                "SetEvent",
                                                "WaitForSingleObject",
                                                "TerminateProcess",
                                                "ResumeThread",
                                                "OpenProcess",
                                                "CreateFileW",
                                                "GetModuleFileNameW",
                                                "GetEnvironmentVariableW",
                                                "SetConsoleCtrlHandler",
                                                "WTSGetActiveConsoleSessionId",
                                                "OpenSCManagerW",
                                                "OpenServiceW",
                                                "CreateServiceW",
                                                "ChangeServiceConfigW",
                                                "ChangeServiceConfig2W",
                                                "StartServiceW",
                                                "ControlService",
                                                "QueryServiceStatusEx",
                                                "DeleteService",
                                                "CloseServiceHandle",
                                                "StartServiceCtrlDispatcherW",
                                                "RegisterServiceCtrlHandlerExW",
                                                "SetServiceStatus",
                                                "OpenProcessToken",
                                                "DuplicateTokenEx",
                                                "SetTokenInformation",
                                                "CreateProcessAsUserW",
                                                "WTSEnumerateSessionsW",
                                                "CreateEnvironmentBlock",
                                                "DestroyEnvironmentBlock",
                                                "CreateJobObjectW",
                                                "SetInformationJobObject",
                                                "AssignProcessToJobObject",
                                                "CreateDirectoryW",
                                                "GetFileInformationByHandle",
                                                "GetFileInformationByHandleEx",
                                                "NtCreateFile",
                                                "NtSetInformationFile",
                                                "InitializeProcThreadAttributeList",
                                                "UpdateProcThreadAttribute",
                                                "GetTokenInformation",
                                                "ConvertSidToStringSidW",
                                                "GetSecurityInfo",
                                                "SetKernelObjectSecurity",
                                                "LocalFree",
                                                "ConvertStringSecurityDescriptorToSecurityDescriptorW",
                                                "CreateThread",
                                                "OpenThread",
                                                "CancelSynchronousIo",
                                                "GetSystemDirectoryW",
                                                "GetFullPathNameW",
                                                "ReadFile",
                                                "WriteFile"};
    return names;
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out += (c >= 0 && c < 128) ? static_cast<char>(c) : '?';
    return out;
}

std::wstring Upper(std::wstring text)
{
    for (auto& c : text)
        c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return text;
}

std::wstring Lower(std::wstring text)
{
    for (auto& c : text)
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return text;
}

std::string Hex(uintptr_t value)
{
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

void Fault(const std::string& what)
{
    std::string entry = "[t=" + std::to_string(S().clock) + "] " + what;
    std::cerr << "win32 stand-in misuse: " << entry << "\n";
    S().faults.push_back(std::move(entry));
}

[[noreturn]] void ThrowRunaway(const std::string& why)
{
    S().runawayThrown = true;
    Fault(why);
    throw Runaway(why);
}

template <class T>
uintptr_t Raw(T value)
{
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<uintptr_t>(value);
    } else if constexpr (std::is_enum_v<T>) {
        return static_cast<uintptr_t>(value);
    } else {
        return static_cast<uintptr_t>(value);
    }
}

std::optional<std::wstring> Str(LPCWSTR text)
{
    if (!text)
        return std::nullopt;
    return std::wstring(text);
}

// A REG_MULTI_SZ style list, keeping the inner terminators.
std::optional<std::wstring> MultiStr(LPCWSTR text)
{
    if (!text)
        return std::nullopt;
    std::wstring out;
    while (*text) {
        std::wstring item(text);
        out += item;
        out += L'\0';
        text += item.size() + 1;
    }
    return out;
}

// Journals one call for its whole duration and applies any injected failure.
class Rec {
public:
    Rec(const char* function, std::vector<uintptr_t> args,
        std::vector<std::optional<std::wstring>> strings = {})
    {
        State& s = S();
        if (++s.callCount > s.callLimit && !s.runawayThrown)
            ThrowRunaway("more than " + std::to_string(s.callLimit)
                         + " Win32 calls; the code under test loops");
        Call call;
        call.function = function;
        call.time = s.clock;
        call.args = std::move(args);
        call.strings = std::move(strings);
        index_ = s.journal.size();
        epoch_ = s.journalEpoch;
        s.journal.push_back(std::move(call));

        auto rule = s.failures.find(function);
        if (rule == s.failures.end())
            return;
        for (auto it = rule->second.countdown.begin(); it != rule->second.countdown.end();) {
            if (--it->first == 0) {
                if (!injected)
                    injected = it->second;
                it = rule->second.countdown.erase(it);
            } else {
                ++it;
            }
        }
        if (!injected && rule->second.always)
            injected = rule->second.always;
    }

    std::optional<DWORD> injected;

    template <class T>
    T Injected(T value)
    {
        if (Call* call = Entry())
            call->injected = true;
        return Fail(value, *injected);
    }
    template <class T>
    T Fail(T value, DWORD error)
    {
        S().lastError = error;
        Finish(Raw(value), false);
        return value;
    }
    template <class T>
    T Ok(T value)
    {
        Finish(Raw(value), true);
        return value;
    }
    void Finish(uintptr_t result, bool ok)
    {
        if (Call* call = Entry()) {
            call->result = result;
            call->ok = ok;
            call->error = S().lastError;
            call->returnTime = S().clock;
        }
    }

private:
    // ClearJournal may run inside a scripted action while this call is still in progress.
    Call* Entry()
    {
        State& s = S();
        if (s.journalEpoch != epoch_ || index_ >= s.journal.size())
            return nullptr;
        return &s.journal[index_];
    }
    size_t index_ = 0;
    unsigned epoch_ = 0;
};

// ---- Clock -------------------------------------------------------------------------------

void MoveClockTo(ULONGLONG when)
{
    State& s = S();
    if (when > s.clockLimit && !s.runawayThrown)
        ThrowRunaway("virtual clock would pass its limit (" + std::to_string(s.clockLimit) + " ms)");
    s.clock = std::max(s.clock, when);
}

// ---- Threads ------------------------------------------------------------------------------
// A thread the product makes runs on a real thread, but only while it holds the baton, and
// the baton moves only where the running thread waits: runs stay deterministic on the
// virtual clock. Thread ids are never reused, so a thread a test abandoned never wakes.

constexpr DWORD MainThreadId = 1000;
std::mutex batonLock;
std::condition_variable batonMoved;
DWORD batonHolder = MainThreadId;
DWORD nextThreadId = MainThreadId;
thread_local DWORD currentThread = MainThreadId;

ThreadState& CurrentThread()
{
    return S().threads[currentThread];
}

void WaitForBaton()
{
    std::unique_lock<std::mutex> lock(batonLock);
    batonMoved.wait(lock, [] { return batonHolder == currentThread; });
}

void PassBaton(DWORD to)
{
    {
        std::lock_guard<std::mutex> lock(batonLock);
        batonHolder = to;
    }
    batonMoved.notify_all();
}

std::optional<DWORD> OtherThatMayGoOn()
{
    for (auto& [tid, thread] : S().threads)
        if (tid != currentThread && !thread.ended && thread.waiting
            && ((thread.ready && thread.ready()) || S().clock >= thread.wake))
            return tid;
    return std::nullopt;
}

// Lets another thread that may go on run until it waits or ends; false when there is none.
bool LetOthersRun(ULONGLONG target, const std::function<bool()>& done)
{
    const std::optional<DWORD> other = OtherThatMayGoOn();
    if (!other)
        return false;
    ThreadState& self = CurrentThread();
    self.waiting = true;
    self.ready = [&done] { return done && done(); };
    self.wake = target;
    PassBaton(*other);
    WaitForBaton();
    self.waiting = false;
    return true;
}

// The next due action runs, or the clock moves to the next waiting thread's end of wait,
// whichever comes first by target; false when neither comes by then.
bool AdvanceOnce(ULONGLONG target)
{
    State& s = S();
    auto next = std::min_element(s.actions.begin(), s.actions.end(), [](const auto& a, const auto& b) {
        return a.time != b.time ? a.time < b.time : a.seq < b.seq;
    });
    ULONGLONG wake = Forever;
    for (const auto& [tid, thread] : s.threads)
        if (tid != currentThread && thread.waiting && !thread.ended)
            wake = std::min(wake, thread.wake);
    const bool actionDue = next != s.actions.end() && next->time <= target;
    if (!actionDue && (wake == Forever || wake > target))
        return false;
    if (!actionDue || next->time > wake) {
        MoveClockTo(wake);
        return true;
    }
    MoveClockTo(next->time);
    auto run = std::move(next->run);
    s.actions.erase(next);
    run();
    return true;
}

// Runs due actions in time order up to target, and other threads whenever this one
// waits; stops early once done() holds.
bool RunUntil(ULONGLONG target, const std::function<bool()>& done)
{
    for (;;) {
        if (done && done())
            return true;
        if (!LetOthersRun(target, done) && !AdvanceOnce(target))
            break;
    }
    if (target != Forever)
        MoveClockTo(target);
    return false;
}

// An ended thread hands the baton to whichever thread may go on first.
void EndThread()
{
    CurrentThread().ended = true;
    std::optional<DWORD> next;
    while (!(next = OtherThatMayGoOn()) && AdvanceOnce(Forever)) {
    }
    if (!next) {
        Fault("a thread ended while every other waits forever");
        next = MainThreadId;
    }
    PassBaton(*next);
}

// ---- Ledger ------------------------------------------------------------------------------------

uintptr_t NewHandleValue()
{
    State& s = S();
    s.nextHandle += 4;
    return s.nextHandle;
}

Object& AddObject(uintptr_t key, Kind kind, std::string description, DWORD access = 0)
{
    Object& object = S().objects[key];
    object.kind = kind;
    object.description = std::move(description);
    object.access = access;
    return object;
}

bool IsPseudoProcess(const void* handle)
{
    return handle == INVALID_HANDLE_VALUE;
}

// Finds a live ledger entry of one of the kinds; anything else is recorded as misuse.
Object* Use(const void* handle, const char* function, std::initializer_list<Kind> kinds)
{
    State& s = S();
    const auto key = reinterpret_cast<uintptr_t>(handle);
    auto it = s.objects.find(key);
    if (it == s.objects.end()) {
        auto gone = s.closed.find(key);
        if (!handle)
            Fault(std::string(function) + ": null handle");
        else if (gone != s.closed.end())
            Fault(std::string(function) + ": handle " + Hex(key) + " already closed (" + gone->second + ")");
        else
            Fault(std::string(function) + ": unknown handle " + Hex(key));
        return nullptr;
    }
    if (std::find(kinds.begin(), kinds.end(), it->second.kind) == kinds.end()) {
        Fault(std::string(function) + ": wrong kind of handle " + Hex(key) + ", " + KindName(it->second.kind)
              + " (" + it->second.description + ")");
        return nullptr;
    }
    return &it->second;
}

void MaybeDeleteService(ServiceRecord& service);
void EndProcessRecord(DWORD pid, DWORD exitCode);

void Release(uintptr_t key)
{
    State& s = S();
    auto it = s.objects.find(key);
    if (it == s.objects.end())
        return;
    s.closed[key] = std::string(KindName(it->second.kind)) + ": " + it->second.description;
    std::shared_ptr<ServiceRecord> service = it->second.service;
    const bool killsItsProcesses =
        it->second.kind == Kind::Job && (it->second.jobLimits & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE);
    s.objects.erase(it);
    if (killsItsProcesses)
        for (auto& [pid, process] : s.processes)
            if (process.job == key)
                EndProcessRecord(pid, 0);
    if (service) {
        --service->openHandles;
        MaybeDeleteService(*service);
    }
}

// ---- Processes -------------------------------------------------------------------------------

ProcessRecord& NewProcess(std::optional<std::wstring> image, DWORD session)
{
    State& s = S();
    ProcessRecord record;
    record.pid = s.nextPid;
    s.nextPid += 4;
    record.tid = s.nextTid;
    s.nextTid += 4;
    record.session = session;
    record.applicationName = std::move(image);
    record.survivesTerminate = s.nextSurvive;
    record.createdAt = s.clock;
    return s.processes[record.pid] = std::move(record);
}

void EndProcessRecord(DWORD pid, DWORD exitCode)
{
    State& s = S();
    auto it = s.processes.find(pid);
    if (it == s.processes.end() || !it->second.alive)
        return;
    it->second.alive = false;
    it->second.exitCode = exitCode;
    it->second.endedAt = s.clock;
}

bool ProcessEnded(DWORD pid)
{
    auto it = S().processes.find(pid);
    return it == S().processes.end() || !it->second.alive;
}

std::string ImageLabel(const std::optional<std::wstring>& image)
{
    if (!image)
        return "?";
    return Narrow(std::filesystem::path(*image).filename().wstring());
}

// ---- Services --------------------------------------------------------------------------------

std::shared_ptr<ServiceRecord> FindService(const std::wstring& name)
{
    auto it = S().services.find(Lower(name));
    return it == S().services.end() ? nullptr : it->second;
}

void MaybeDeleteService(ServiceRecord& service)
{
    if (service.removed || !service.markedForDelete || service.openHandles > 0
        || service.state != SERVICE_STOPPED)
        return;
    service.removed = true;
    S().services.erase(Lower(service.name));
}

void SetStateOf(ServiceRecord& service, DWORD state)
{
    service.state = state;
    ++service.generation;
    service.controlsAccepted = (state == SERVICE_RUNNING || state == SERVICE_PAUSED)
        ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN
        : 0;
    if (state == SERVICE_STOPPED) {
        service.pid = 0;
        MaybeDeleteService(service);
    }
}

// Schedules a transition that is dropped if anything else changed the service meanwhile.
void Later(const std::shared_ptr<ServiceRecord>& service, ULONGLONG delay,
           std::function<void(ServiceRecord&)> step)
{
    const unsigned generation = service->generation;
    After(delay, [service, generation, step] {
        if (!service->removed && service->generation == generation)
            step(*service);
    });
}

ULONGLONG WaitHintOf(const ServiceRecord& service)
{
    if (service.state == SERVICE_START_PENDING)
        return service.startDelayMs;
    if (service.state == SERVICE_STOP_PENDING)
        return service.stopPendingMs;
    return 0;
}

void FillStatus(const ServiceRecord& service, SERVICE_STATUS& status)
{
    status.dwServiceType = service.type;
    status.dwCurrentState = service.state;
    status.dwControlsAccepted = service.controlsAccepted;
    status.dwWin32ExitCode = service.win32ExitCode;
    status.dwServiceSpecificExitCode = service.serviceSpecificExitCode;
    status.dwCheckPoint = 0;
    status.dwWaitHint = static_cast<DWORD>(WaitHintOf(service));
}

DWORD MapServiceAccess(DWORD access)
{
    DWORD granted = access & 0xFFFF01FF;
    if (access & GENERIC_READ)
        granted |=
            SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS;
    if (access & GENERIC_WRITE)
        granted |= SERVICE_CHANGE_CONFIG;
    if (access & GENERIC_EXECUTE)
        granted |= SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE
            | SERVICE_USER_DEFINED_CONTROL;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED))
        granted |= SERVICE_ALL_ACCESS;
    return granted
        & ~static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

SC_HANDLE IssueServiceHandle(const std::shared_ptr<ServiceRecord>& service, DWORD access)
{
    const uintptr_t key = NewHandleValue();
    Object& object =
        AddObject(key, Kind::Service, "service " + Narrow(service->name), MapServiceAccess(access));
    object.service = service;
    ++service->openHandles;
    return reinterpret_cast<SC_HANDLE>(key);
}

// The service behind a handle, or the error to fail with (0 when usable).
std::pair<ServiceRecord*, DWORD> ServiceFor(SC_HANDLE handle, const char* function, DWORD needed)
{
    Object* object = Use(handle, function, {Kind::Service});
    if (!object)
        return {nullptr, ERROR_INVALID_HANDLE};
    if ((object->access & needed) != needed)
        return {nullptr, ERROR_ACCESS_DENIED};
    if (object->service->removed)
        return {nullptr, ERROR_SERVICE_DOES_NOT_EXIST};
    return {object->service.get(), 0};
}

// ---- Files ---------------------------------------------------------------------------------------

DWORD RealOpenError(const std::wstring& name)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path path(name);
    const auto status = fs::status(path, ec);
    if (fs::exists(status))
        return fs::is_directory(status) ? ERROR_ACCESS_DENIED : 0;
    const fs::path parent = path.parent_path();
    if (!parent.empty() && !fs::is_directory(parent, ec))
        return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

std::wstring Key(const std::wstring& path)
{
    return std::filesystem::path(path).lexically_normal().wstring();
}

// Attributes as Windows reports them; a symbolic link here stands for a junction or a
// symbolic link there, and a link opened as itself shows its reparse point.
DWORD AttributesOf(const std::filesystem::path& path, bool linkItself)
{
    std::error_code ec;
    DWORD attributes = std::filesystem::is_directory(path, ec) ? FILE_ATTRIBUTE_DIRECTORY : 0;
    // A link that does not lead to a file stands for a junction, dangling or not.
    if (linkItself && std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec)))
        attributes = FILE_ATTRIBUTE_REPARSE_POINT
            | (std::filesystem::is_regular_file(path, ec) ? 0 : FILE_ATTRIBUTE_DIRECTORY);
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

// Where a path lies once the file or folder `from` (or one it lies below) became `to`.
std::wstring Moved(const std::wstring& path, const std::wstring& from, const std::wstring& to)
{
    const bool moves =
        path.compare(0, from.size(), from) == 0 && (path.size() == from.size() || path[from.size()] == L'/');
    return moves ? to + path.substr(from.size()) : path;
}

// Owners and lists follow a renamed file or folder, and everything below it.
void MoveKeys(std::map<std::wstring, std::wstring>& byPath, const std::wstring& from, const std::wstring& to)
{
    std::map<std::wstring, std::wstring> kept;
    for (const auto& [path, value] : byPath)
        kept[Moved(path, from, to)] = value;
    byPath = kept;
}

// Win32 drops trailing dots and blanks from a path's last name; only a relative open
// of the name as listed reaches such an entry.
std::wstring Win32Normalized(std::wstring name)
{
    const size_t nameStart = name.find_last_of(L'/') + 1;
    const size_t end = name.find_last_not_of(L". ");
    if (end != std::wstring::npos && end >= nameStart)
        name.erase(end + 1);
    return name;
}

// The entry of the folder that the name finds as OBJ_CASE_INSENSITIVE asks: the name as
// given when it is there or nothing matches, else the one spelled otherwise.
std::filesystem::path FoundIgnoringCase(const std::filesystem::path& path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::exists(fs::symlink_status(path, ec)))
        return path;
    const std::wstring wanted = Lower(path.filename().wstring());
    for (const auto& entry : fs::directory_iterator(path.parent_path(), ec))
        if (Lower(entry.path().filename().wstring()) == wanted)
            return entry.path();
    return path;
}

// Windows renames no folder while anything below it is open, whoever holds it.
bool OpenBelow(const std::wstring& folder)
{
    const std::wstring prefix = Key(folder) + L"/";
    for (const auto& [key, object] : S().objects)
        if (object.kind == Kind::File && Key(object.path).compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

// Only what others already hold is checked: the product always shares everything.
bool SharingRefuses(const std::wstring& path, DWORD access)
{
    for (const auto& [key, object] : S().objects) {
        if (object.kind != Kind::File || Key(object.path) != Key(path))
            continue;
        if (((access & (FILE_READ_DATA | FILE_EXECUTE)) && !(object.share & FILE_SHARE_READ))
            || ((access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) && !(object.share & FILE_SHARE_WRITE))
            || ((access & DELETE) && !(object.share & FILE_SHARE_DELETE)))
            return true;
    }
    return false;
}

const std::vector<std::pair<NTSTATUS, DWORD>>& StatusErrors()
{
    static const std::vector<std::pair<NTSTATUS, DWORD>> table = {
        {static_cast<NTSTATUS>(0xC0000022), ERROR_ACCESS_DENIED},
        {static_cast<NTSTATUS>(0xC0000034), ERROR_FILE_NOT_FOUND},
        {static_cast<NTSTATUS>(0xC000003A), ERROR_PATH_NOT_FOUND},
        {static_cast<NTSTATUS>(0xC0000035), ERROR_ALREADY_EXISTS},
        {static_cast<NTSTATUS>(0xC0000043), ERROR_SHARING_VIOLATION},
        {static_cast<NTSTATUS>(0xC0000103), ERROR_DIRECTORY},
        {static_cast<NTSTATUS>(0xC000000D), ERROR_INVALID_PARAMETER},
        {static_cast<NTSTATUS>(0xC0000033), ERROR_INVALID_NAME},
        {static_cast<NTSTATUS>(0xC0000002), ERROR_CALL_NOT_IMPLEMENTED},
        {static_cast<NTSTATUS>(0xC0000120), ERROR_OPERATION_ABORTED}};
    return table;
}

NTSTATUS StatusFor(DWORD error)
{
    for (const auto& [status, mapped] : StatusErrors())
        if (mapped == error)
            return status;
    return static_cast<NTSTATUS>(0xC0000001);
}

std::wstring FullSid(const std::wstring& sid)
{
    static const std::map<std::wstring, std::wstring> aliases = {
        {L"SY", L"S-1-5-18"}, {L"BA", L"S-1-5-32-544"}, {L"BU", L"S-1-5-32-545"},
        {L"OW", L"S-1-3-4"},  {L"AU", L"S-1-5-11"},     {L"WD", L"S-1-1-0"}};
    auto it = aliases.find(sid);
    return it != aliases.end() ? it->second : sid;
}

// The D: part of an SDDL text as a binary list whose entries carry their SIDs as text.
// No D: part at all stands for a missing list.
std::vector<BYTE> BuildAcl(const std::wstring& sddl)
{
    // Rights as FA or a number; the flags that the product's lists use.
    static const std::map<std::wstring, BYTE> flags = {{L"OI", 1}, {L"CI", 2}, {L"IO", 8}, {L"ID", 16}};
    const size_t list = sddl.find(L"D:");
    if (list == std::wstring::npos)
        return {};
    std::vector<BYTE> acl(sizeof(ACL), 0);
    WORD count = 0;
    for (size_t open = sddl.find(L'(', list); open != std::wstring::npos; open = sddl.find(L'(', open + 1)) {
        std::vector<std::wstring> field(1);
        for (size_t at = open + 1; at < sddl.size() && sddl[at] != L')'; ++at)
            if (sddl[at] == L';')
                field.emplace_back();
            else
                field.back().push_back(sddl[at]);
        field.resize(6);
        const DWORD mask =
            field[2] == L"FA" ? 0x1F01FF : static_cast<DWORD>(std::stoul(field[2], nullptr, 16));
        BYTE aceFlags = 0;
        for (size_t at = 0; at + 1 < field[1].size(); at += 2)
            aceFlags |= flags.at(field[1].substr(at, 2));
        const std::wstring sid = FullSid(field[5]);
        const size_t size =
            (offsetof(ACCESS_ALLOWED_ACE, SidStart) + (sid.size() + 1) * sizeof(WCHAR) + 3) & ~size_t{3};
        std::vector<BYTE> ace(size, 0);
        auto* entry = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace.data());
        // Object and callback entries as SDDL names them; others, such as a compound one, by number.
        static const std::map<std::wstring, BYTE> types = {
            {L"A", 0}, {L"D", 1}, {L"OA", 5}, {L"XA", 9}, {L"ZA", 11}};
        auto type = types.find(field[0]);
        entry->Header.AceType =
            type != types.end() ? type->second : static_cast<BYTE>(std::stoul(field[0], nullptr, 16));
        entry->Header.AceFlags = aceFlags;
        entry->Header.AceSize = static_cast<WORD>(size);
        entry->Mask = mask;
        std::memcpy(ace.data() + offsetof(ACCESS_ALLOWED_ACE, SidStart), sid.c_str(),
                    (sid.size() + 1) * sizeof(WCHAR));
        acl.insert(acl.end(), ace.begin(), ace.end());
        ++count;
    }
    auto* header = reinterpret_cast<ACL*>(acl.data());
    header->AclRevision = 2;
    header->AclSize = static_cast<WORD>(acl.size());
    header->AceCount = count;
    return acl;
}

// What a path without a list of its own inherits from a data root only administrators change.
const wchar_t DefaultSecurity[] = L"D:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)";

// What a list passes on to a file or folder made below it: its entries for objects (OI) or
// for folders (CI), as inherited ones.
std::wstring InheritedFrom(const std::wstring& sddl, bool folder)
{
    std::wstring inherited = L"D:AI";
    for (size_t open = sddl.find(L'(', sddl.find(L"D:")); open != std::wstring::npos;
         open = sddl.find(L'(', open + 1)) {
        std::wstring entry = sddl.substr(open, sddl.find(L')', open) - open + 1);
        const size_t flags = entry.find(L';') + 1;
        const std::wstring given = entry.substr(flags, entry.find(L';', flags) - flags);
        if (given.find(folder ? L"CI" : L"OI") == std::wstring::npos)
            continue;
        inherited += entry.replace(flags, given.size(), folder ? L"OICIID" : L"ID");
    }
    return inherited;
}

// A path without a list of its own inherits from the nearest folder above that has one.
std::wstring SecurityOf(const std::wstring& path)
{
    std::filesystem::path at = Key(path);
    for (bool own = true; !at.empty(); own = false, at = at.parent_path()) {
        auto it = S().dacls.find(at.wstring());
        if (it != S().dacls.end())
            return own ? it->second : InheritedFrom(it->second, std::filesystem::is_directory(path));
        if (at == at.parent_path())
            break;
    }
    return DefaultSecurity;
}

std::wstring FirstToken(const std::wstring& commandLine)
{
    if (!commandLine.empty() && commandLine[0] == L'"') {
        const auto end = commandLine.find(L'"', 1);
        return commandLine.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
    }
    return commandLine.substr(0, commandLine.find_first_of(L" \t"));
}

} // namespace

// ==== Control API ==================================================================================

ULONGLONG Now()
{
    return S().clock;
}

void At(ULONGLONG ms, std::function<void()> action)
{
    State& s = S();
    s.actions.push_back({ms, s.nextSeq++, std::move(action)});
}

void After(ULONGLONG ms, std::function<void()> action)
{
    At(S().clock + ms, std::move(action));
}

void AdvanceClock(ULONGLONG ms)
{
    RunUntil(S().clock + ms, nullptr);
}

size_t PendingActions()
{
    return S().actions.size();
}

void SetClockLimit(ULONGLONG absoluteMs)
{
    S().clockLimit = absoluteMs;
}

void SetCallLimit(size_t calls)
{
    S().callLimit = calls;
}

const std::vector<Call>& Journal()
{
    return S().journal;
}

std::vector<Call> CallsTo(const std::string& function)
{
    std::vector<Call> out;
    for (const auto& call : S().journal)
        if (call.function == function)
            out.push_back(call);
    return out;
}

std::vector<std::string> CallNames()
{
    std::vector<std::string> out;
    for (const auto& call : S().journal)
        out.push_back(call.function);
    return out;
}

size_t CountOf(const std::string& function)
{
    return static_cast<size_t>(std::count_if(S().journal.begin(), S().journal.end(),
                                             [&](const Call& call) { return call.function == function; }));
}

void ClearJournal()
{
    S().journal.clear();
    ++S().journalEpoch;
}

namespace {
FailRule& RuleFor(const std::string& function)
{
    if (!InjectableFunctions().count(function))
        throw std::invalid_argument("no injectable stand-in function named " + function);
    return S().failures[function];
}
} // namespace

void FailNext(const std::string& function, DWORD error)
{
    FailNth(function, 1, error);
}

void FailNth(const std::string& function, int n, DWORD error)
{
    if (n < 1)
        throw std::invalid_argument("FailNth counts from 1");
    RuleFor(function).countdown.emplace_back(n, error);
}

void FailAlways(const std::string& function, DWORD error)
{
    RuleFor(function).always = error;
}

void StopFailing(const std::string& function)
{
    S().failures.erase(function);
}

const char* KindName(Kind kind)
{
    switch (kind) {
    case Kind::Event:
        return "Event";
    case Kind::Process:
        return "Process";
    case Kind::Thread:
        return "Thread";
    case Kind::Token:
        return "Token";
    case Kind::File:
        return "File";
    case Kind::ServiceManager:
        return "ServiceManager";
    case Kind::Service:
        return "Service";
    case Kind::SessionArray:
        return "SessionArray";
    case Kind::EnvironmentBlock:
        return "EnvironmentBlock";
    case Kind::Job:
        return "Job";
    case Kind::AttributeList:
        return "AttributeList";
    case Kind::LocalString:
        return "LocalString";
    case Kind::SecurityDescriptor:
        return "SecurityDescriptor";
    }
    return "?";
}

std::vector<OpenHandle> OpenHandles()
{
    std::vector<OpenHandle> out;
    for (const auto& [key, object] : S().objects)
        out.push_back({key, object.kind, object.description, object.access});
    return out;
}

std::optional<OpenHandle> HandleInfo(const void* handle)
{
    auto it = S().objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == S().objects.end())
        return std::nullopt;
    return OpenHandle{it->first, it->second.kind, it->second.description, it->second.access};
}

std::string DescribeOpenHandles()
{
    std::string out;
    for (const auto& handle : OpenHandles())
        out += "  " + Hex(handle.value) + " " + KindName(handle.kind) + ": " + handle.description + "\n";
    return out;
}

const std::vector<std::string>& Faults()
{
    return S().faults;
}

void ClearFaults()
{
    S().faults.clear();
}

void SetModuleFileName(std::wstring path)
{
    S().moduleFileName = std::move(path);
}

void SetEnvironment(const std::wstring& name, const std::wstring& value)
{
    S().environment[Upper(name)] = {name, value};
}

void UnsetEnvironment(const std::wstring& name)
{
    S().environment.erase(Upper(name));
}

void SetSessions(std::vector<Session> sessions)
{
    S().sessions = std::move(sessions);
}

void SetConsoleSession(DWORD id)
{
    S().consoleSession = id;
}

void SetHasTcbPrivilege(bool held)
{
    S().tcbPrivilege = held;
}

std::vector<ProcessRecord> Processes()
{
    std::vector<ProcessRecord> out;
    for (const auto& entry : S().processes)
        out.push_back(entry.second);
    return out;
}

std::vector<ProcessRecord> LiveProcesses()
{
    std::vector<ProcessRecord> out;
    for (const auto& entry : S().processes)
        if (entry.second.alive)
            out.push_back(entry.second);
    return out;
}

ProcessRecord* Process(DWORD pid)
{
    auto it = S().processes.find(pid);
    return it == S().processes.end() ? nullptr : &it->second;
}

DWORD AddProcess(std::wstring image, DWORD session)
{
    ProcessRecord& record = NewProcess(std::move(image), session);
    record.commandLine = record.applicationName;
    return record.pid;
}

void EndProcess(DWORD pid, DWORD exitCode)
{
    if (!Process(pid))
        throw std::invalid_argument("EndProcess: unknown pid " + std::to_string(pid));
    EndProcessRecord(pid, exitCode);
}

void SurvivesTerminate(DWORD pid, bool survives)
{
    ProcessRecord* record = Process(pid);
    if (!record)
        throw std::invalid_argument("SurvivesTerminate: unknown pid " + std::to_string(pid));
    record->survivesTerminate = survives;
}

void NextProcessesSurviveTerminate(bool survives)
{
    S().nextSurvive = survives;
}

bool IsSignalled(HANDLE handle)
{
    auto it = S().objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == S().objects.end())
        throw std::invalid_argument("IsSignalled: handle not open");
    const Object& object = it->second;
    if (object.kind == Kind::Event)
        return object.event->signalled;
    if (object.kind == Kind::Process || object.kind == Kind::Thread)
        return ProcessEnded(object.pid);
    throw std::invalid_argument("IsSignalled: not a waitable handle");
}

void Signal(HANDLE event)
{
    auto it = S().objects.find(reinterpret_cast<uintptr_t>(event));
    if (it == S().objects.end() || it->second.kind != Kind::Event)
        throw std::invalid_argument("Signal: not an open event handle");
    it->second.event->signalled = true;
}

ServiceRecord* AddService(const std::wstring& name, DWORD state, DWORD pid)
{
    auto service = std::make_shared<ServiceRecord>();
    service->name = name;
    service->displayName = name;
    service->binaryPath = L"/opt/" + name + L"/" + name + L".exe";
    S().services[Lower(name)] = service;
    SetStateOf(*service, state);
    if (state != SERVICE_STOPPED)
        service->pid = pid ? pid : AddProcess(service->binaryPath, 0);
    return service.get();
}

ServiceRecord* Service(const std::wstring& name)
{
    return FindService(name).get();
}

void SetServiceState(const std::wstring& name, DWORD state, DWORD pid)
{
    auto service = FindService(name);
    if (!service)
        throw std::invalid_argument("SetServiceState: no service " + Narrow(name));
    SetStateOf(*service, state);
    if (state != SERVICE_STOPPED)
        service->pid = pid;
}

void RemoveServiceRecord(const std::wstring& name)
{
    auto service = FindService(name);
    if (!service)
        return;
    service->removed = true;
    S().services.erase(Lower(name));
}

void StartedByServiceManager(std::vector<std::wstring> args)
{
    S().dispatchArgs = std::move(args);
}

const std::vector<std::wstring>& DispatcherTable()
{
    return S().dispatcherTable;
}

DWORD SendControl(DWORD control, DWORD eventType, LPVOID eventData)
{
    State& s = S();
    if (!s.controlHandler) {
        Fault("SendControl(" + std::to_string(control) + "): no service control handler registered");
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    return s.controlHandler(control, eventType, eventData, s.controlContext);
}

bool HasControlHandler()
{
    return S().controlHandler != nullptr;
}

const std::vector<StatusReport>& StatusReports()
{
    return S().reports;
}

std::vector<DWORD> ReportedStates()
{
    std::vector<DWORD> out;
    for (const auto& report : S().reports)
        out.push_back(report.status.dwCurrentState);
    return out;
}

BOOL SendConsoleEvent(DWORD type)
{
    // Copy: a handler may unregister itself.
    const auto handlers = S().consoleHandlers;
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it)
        if ((*it)(type))
            return TRUE;
    return FALSE;
}

size_t ConsoleHandlerCount()
{
    return S().consoleHandlers.size();
}

void SetFileOpenError(const std::wstring& path, DWORD error)
{
    S().fileErrors[path] = error;
}

void ForgetFile(const std::wstring& path)
{
    S().fileErrors.erase(path);
}

const std::map<std::wstring, std::optional<std::wstring>>& CreatedFolders()
{
    return S().createdFolders;
}

std::optional<DWORD> JobLimitFlags(HANDLE job)
{
    auto it = S().objects.find(reinterpret_cast<uintptr_t>(job));
    if (it == S().objects.end() || it->second.kind != Kind::Job)
        return std::nullopt;
    return it->second.jobLimits;
}

void SetOwner(const std::wstring& path, std::wstring owner)
{
    S().owners[Key(path)] = std::move(owner);
}

std::wstring OwnerOf(const std::wstring& path)
{
    auto it = S().owners.find(Key(path));
    return it != S().owners.end() ? it->second : L"BA";
}

const std::map<std::wstring, std::wstring>& AppliedSecurity()
{
    return S().appliedSecurity;
}

void SetSecurity(const std::wstring& path, const std::wstring& sddl)
{
    S().dacls[Key(path)] = sddl;
}

void WhenSecuritySet(const std::wstring& path, std::function<void()> action)
{
    S().securityHooks[Key(path)] = std::move(action);
}

void SetProcessUser(std::wstring sid)
{
    S().processUser = std::move(sid);
}

void HoldOplock(const std::wstring& path)
{
    S().oplocks.insert(Key(path));
}

void ReleaseOplock(const std::wstring& path)
{
    S().oplocks.erase(Key(path));
}

void WhenMoved(const std::wstring& path, std::function<void()> action)
{
    S().moveHooks[Key(path)] = std::move(action);
}

// Whether an allow entry that applies to the object grants the user, Users, Authenticated
// Users or Everyone any right at all.
bool UserMayOpen(const std::wstring& user, const std::wstring& path)
{
    const std::vector<BYTE> acl = BuildAcl(SecurityOf(path));
    const BYTE* at = acl.data() + sizeof(ACL);
    for (WORD index = 0; !acl.empty() && index < reinterpret_cast<const ACL*>(acl.data())->AceCount;
         ++index) {
        const auto* entry = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(at);
        at += entry->Header.AceSize;
        const std::wstring sid = reinterpret_cast<const wchar_t*>(&entry->SidStart);
        if ((sid == user || sid == FullSid(L"BU") || sid == FullSid(L"AU") || sid == FullSid(L"WD"))
            && entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && !(entry->Header.AceFlags & 8)
            && entry->Mask)
            return true;
    }
    return acl.empty();
}

void Reset()
{
    S() = State{};
    std::lock_guard<std::mutex> lock(batonLock);
    batonHolder = MainThreadId;
}

} // namespace model

// ==== Win32 API ======================================================================================

using model::Kind;
using model::Rec;
using model::S;

DWORD WINAPI GetLastError(void)
{
    return S().lastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    S().lastError = dwErrCode;
}

HANDLE WINAPI GetCurrentProcess(void)
{
    Rec call("GetCurrentProcess", {});
    return call.Ok(INVALID_HANDLE_VALUE);
}

ULONGLONG WINAPI GetTickCount64(void)
{
    Rec call("GetTickCount64", {});
    return call.Ok(S().clock);
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    Rec call("Sleep", {dwMilliseconds});
    if (dwMilliseconds == INFINITE) {
        model::Fault("Sleep(INFINITE) would never return");
        call.Finish(0, false);
        return;
    }
    model::RunUntil(S().clock + dwMilliseconds, nullptr);
    call.Finish(0, true);
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    Rec call("CloseHandle", {model::Raw(hObject)});
    if (call.injected)
        return call.Injected(FALSE);
    if (model::IsPseudoProcess(hObject))
        return call.Ok(TRUE);
    if (!model::Use(hObject, "CloseHandle",
                    {Kind::Event, Kind::Process, Kind::Thread, Kind::Token, Kind::File, Kind::Job}))
        return call.Fail(FALSE, ERROR_INVALID_HANDLE);
    model::Release(model::Raw(hObject));
    return call.Ok(TRUE);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName)
{
    Rec call("CreateEventW",
             {model::Raw(lpEventAttributes), model::Raw(bManualReset), model::Raw(bInitialState),
              model::Raw(lpName)},
             {model::Str(lpName)});
    if (call.injected)
        return call.Injected<HANDLE>(nullptr);
    const uintptr_t key = model::NewHandleValue();
    std::string description = bManualReset ? "manual-reset event" : "auto-reset event";
    if (lpName)
        description += " " + model::Narrow(lpName);
    model::Object& object = model::AddObject(key, Kind::Event, description, 0x1F0003);
    object.event = std::make_shared<model::EventState>();
    object.event->manual = bManualReset != FALSE;
    object.event->signalled = bInitialState != FALSE;
    return call.Ok(reinterpret_cast<HANDLE>(key));
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    Rec call("SetEvent", {model::Raw(hEvent)});
    if (call.injected)
        return call.Injected(FALSE);
    model::Object* object = model::Use(hEvent, "SetEvent", {Kind::Event});
    if (!object)
        return call.Fail(FALSE, ERROR_INVALID_HANDLE);
    object->event->signalled = true;
    return call.Ok(TRUE);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    Rec call("WaitForSingleObject", {model::Raw(hHandle), dwMilliseconds});
    if (call.injected)
        return call.Injected(WAIT_FAILED);

    const auto key = model::Raw(hHandle);
    std::function<bool()> signalled;
    if (model::IsPseudoProcess(hHandle)) {
        signalled = [] { return false; }; // this process never ends while it waits on itself
    } else {
        model::Object* object =
            model::Use(hHandle, "WaitForSingleObject", {Kind::Event, Kind::Process, Kind::Thread});
        if (!object)
            return call.Fail(WAIT_FAILED, ERROR_INVALID_HANDLE);
        if (object->kind == Kind::Process && !(object->access & SYNCHRONIZE))
            return call.Fail(WAIT_FAILED, ERROR_ACCESS_DENIED);
        // Looked up afresh each time: a scripted action may close the handle mid-wait.
        signalled = [key] {
            auto it = S().objects.find(key);
            if (it == S().objects.end())
                return false;
            if (it->second.kind == Kind::Event)
                return it->second.event->signalled;
            if (it->second.tid != 0)
                return S().threads[it->second.tid].ended;
            return model::ProcessEnded(it->second.pid);
        };
    }
    auto consume = [key] {
        auto it = S().objects.find(key);
        if (it != S().objects.end() && it->second.kind == Kind::Event && !it->second.event->manual)
            it->second.event->signalled = false;
    };

    if (signalled()) {
        consume();
        return call.Ok(WAIT_OBJECT_0);
    }
    if (dwMilliseconds == 0)
        return call.Ok(static_cast<DWORD>(WAIT_TIMEOUT));
    const ULONGLONG target = dwMilliseconds == INFINITE ? model::Forever : S().clock + dwMilliseconds;
    if (model::RunUntil(target, signalled)) {
        consume();
        return call.Ok(WAIT_OBJECT_0);
    }
    if (dwMilliseconds == INFINITE) {
        model::Fault("WaitForSingleObject(" + model::Hex(key)
                     + ", INFINITE) waits forever: nothing scripted signals it");
        return call.Fail(WAIT_FAILED, ERROR_INVALID_PARAMETER);
    }
    return call.Ok(static_cast<DWORD>(WAIT_TIMEOUT));
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode)
{
    Rec call("TerminateProcess", {model::Raw(hProcess), uExitCode});
    if (call.injected)
        return call.Injected(FALSE);
    if (model::IsPseudoProcess(hProcess)) {
        model::Fault("TerminateProcess on the current process would end the test run");
        return call.Fail(FALSE, ERROR_ACCESS_DENIED);
    }
    model::Object* object = model::Use(hProcess, "TerminateProcess", {Kind::Process});
    if (!object)
        return call.Fail(FALSE, ERROR_INVALID_HANDLE);
    if (!(object->access & PROCESS_TERMINATE))
        return call.Fail(FALSE, ERROR_ACCESS_DENIED);
    model::ProcessRecord* record = model::Process(object->pid);
    // Windows refuses to terminate a process that has already exited.
    if (!record || !record->alive)
        return call.Fail(FALSE, ERROR_ACCESS_DENIED);
    if (!record->survivesTerminate)
        model::EndProcessRecord(record->pid, uExitCode);
    return call.Ok(TRUE);
}

DWORD WINAPI ResumeThread(HANDLE hThread)
{
    Rec call("ResumeThread", {model::Raw(hThread)});
    if (call.injected)
        return call.Injected(static_cast<DWORD>(-1));
    model::Object* thread = model::Use(hThread, "ResumeThread", {Kind::Thread});
    if (!thread)
        return call.Fail(static_cast<DWORD>(-1), ERROR_INVALID_HANDLE);
    model::ProcessRecord* record = model::Process(thread->pid);
    if (!record || !record->alive)
        return call.Fail(static_cast<DWORD>(-1), ERROR_ACCESS_DENIED);
    const DWORD previous = record->suspended ? 1 : 0;
    record->suspended = false;
    return call.Ok(previous);
}

// Runs the routine on a thread of its own that waits for the baton (see the model's threads).
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId)
{
    Rec call("CreateThread",
             {model::Raw(lpThreadAttributes), dwStackSize, model::Raw(lpStartAddress),
              model::Raw(lpParameter), dwCreationFlags, model::Raw(lpThreadId)});
    if (call.injected)
        return call.Injected<HANDLE>(nullptr);
    const DWORD tid = model::nextThreadId += 4;
    S().threads[tid] = {false, true, nullptr, S().clock};
    const uintptr_t key = model::NewHandleValue();
    model::AddObject(key, Kind::Thread, "thread " + std::to_string(tid), 0x1FFFFF).tid = tid;
    if (lpThreadId)
        *lpThreadId = tid;
    std::thread([tid, lpStartAddress, lpParameter] {
        model::currentThread = tid;
        model::WaitForBaton();
        model::CurrentThread().waiting = false;
        lpStartAddress(lpParameter);
        model::EndThread();
    }).detach();
    return call.Ok(reinterpret_cast<HANDLE>(key));
}

HANDLE WINAPI OpenThread(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwThreadId)
{
    Rec call("OpenThread", {dwDesiredAccess, model::Raw(bInheritHandle), dwThreadId});
    if (call.injected)
        return call.Injected<HANDLE>(nullptr);
    const uintptr_t key = model::NewHandleValue();
    model::AddObject(key, Kind::Thread, "thread " + std::to_string(dwThreadId), dwDesiredAccess).tid =
        dwThreadId;
    return call.Ok(reinterpret_cast<HANDLE>(key));
}

DWORD WINAPI GetCurrentThreadId(void)
{
    Rec call("GetCurrentThreadId", {});
    return call.Ok(model::currentThread);
}

// Ends the synchronous call the thread waits in, if it waits in one that can be cancelled.
BOOL WINAPI CancelSynchronousIo(HANDLE hThread)
{
    Rec call("CancelSynchronousIo", {model::Raw(hThread)});
    if (call.injected)
        return call.Injected(FALSE);
    model::Object* thread = model::Use(hThread, "CancelSynchronousIo", {Kind::Thread});
    if (!thread || thread->tid == 0)
        return call.Fail(FALSE, ERROR_INVALID_HANDLE);
    if (!(thread->access & THREAD_TERMINATE))
        return call.Fail(FALSE, ERROR_ACCESS_DENIED);
    model::ThreadState& target = S().threads[thread->tid];
    if (!target.cancellable)
        return call.Fail(FALSE, ERROR_NOT_FOUND);
    target.cancelled = true;
    return call.Ok(TRUE);
}

// Paths of the host are full when they start at its root; others lie in the current folder.
DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer, LPWSTR* lpFilePart)
{
    Rec call("GetFullPathNameW",
             {model::Raw(lpFileName), nBufferLength, model::Raw(lpBuffer), model::Raw(lpFilePart)},
             {model::Str(lpFileName)});
    if (call.injected)
        return call.Injected(0u);
    if (!lpFileName || !*lpFileName)
        return call.Fail(0u, ERROR_INVALID_NAME);
    const std::wstring name = lpFileName;
    const std::wstring full = name[0] == L'/' ? name : (std::filesystem::current_path() / name).wstring();
    if (full.size() >= nBufferLength)
        return call.Ok(static_cast<DWORD>(full.size() + 1));
    std::copy(full.begin(), full.end(), lpBuffer);
    lpBuffer[full.size()] = L'\0';
    return call.Ok(static_cast<DWORD>(full.size()));
}

// A file open for the access, or the failure ReadFile and WriteFile answer.
model::Object* FileFor(HANDLE handle, const char* function, DWORD access, DWORD& error)
{
    model::Object* file = model::Use(handle, function, {Kind::File});
    error = !file ? ERROR_INVALID_HANDLE : !(file->access & access) ? ERROR_ACCESS_DENIED : 0;
    return error ? nullptr : file;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED)
{
    Rec call("ReadFile", {model::Raw(hFile), model::Raw(lpBuffer), nNumberOfBytesToRead});
    DWORD error = 0;
    model::Object* file = call.injected ? nullptr : FileFor(hFile, "ReadFile", FILE_READ_DATA, error);
    if (!file)
        return call.injected ? call.Injected(FALSE) : call.Fail(FALSE, error);
    std::ifstream in(std::filesystem::path(file->path), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(file->position));
    in.read(static_cast<char*>(lpBuffer), nNumberOfBytesToRead);
    *lpNumberOfBytesRead = static_cast<DWORD>(in.gcount());
    file->position += *lpNumberOfBytesRead;
    return call.Ok(TRUE);
}

// Appends: the product only writes files it has just made.
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED)
{
    Rec call("WriteFile", {model::Raw(hFile), model::Raw(lpBuffer), nNumberOfBytesToWrite});
    DWORD error = 0;
    model::Object* file = call.injected ? nullptr : FileFor(hFile, "WriteFile", FILE_WRITE_DATA, error);
    if (!file)
        return call.injected ? call.Injected(FALSE) : call.Fail(FALSE, error);
    std::ofstream(std::filesystem::path(file->path), std::ios::binary | std::ios::app)
        .write(static_cast<const char*>(lpBuffer), nNumberOfBytesToWrite);
    *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
    return call.Ok(TRUE);
}

// The file system's root stands for the system folder: its owner is whoever the test makes it.
UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize)
{
    Rec call("GetSystemDirectoryW", {model::Raw(lpBuffer), uSize});
    if (call.injected)
        return call.Injected(0u);
    lpBuffer[0] = L'/';
    lpBuffer[1] = L'\0';
    return call.Ok(1u);
}

HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId)
{
    Rec call("OpenProcess", {dwDesiredAccess, model::Raw(bInheritHandle), dwProcessId});
    if (call.injected)
        return call.Injected<HANDLE>(nullptr);
    model::ProcessRecord* record = model::Process(dwProcessId);
    if (!record || !record->alive)
        return call.Fail<HANDLE>(nullptr, ERROR_INVALID_PARAMETER);
    const uintptr_t key = model::NewHandleValue();
    model::Object& object = model::AddObject(key, Kind::Process,
                                             "opened process " + std::to_string(dwProcessId) + " ("
                                                 + model::ImageLabel(record->applicationName) + ")",
                                             dwDesiredAccess);
    object.pid = dwProcessId;
    return call.Ok(reinterpret_cast<HANDLE>(key));
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    Rec call("CreateFileW",
             {model::Raw(lpFileName), dwDesiredAccess, dwShareMode, model::Raw(lpSecurityAttributes),
              dwCreationDisposition, dwFlagsAndAttributes, model::Raw(hTemplateFile)},
             {model::Str(lpFileName)});
    if (call.injected)
        return call.Injected(INVALID_HANDLE_VALUE);
    if (!lpFileName)
        return call.Fail(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
    if (dwCreationDisposition != OPEN_EXISTING) {
        model::Fault("CreateFileW: only OPEN_EXISTING is modelled");
        return call.Fail(INVALID_HANDLE_VALUE, ERROR_CALL_NOT_IMPLEMENTED);
    }
    const std::wstring name = model::Win32Normalized(lpFileName);
    const bool linkItself = (dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
    std::error_code ec;
    const bool isLink = std::filesystem::is_symlink(std::filesystem::symlink_status(name, ec));
    auto configured = S().fileErrors.find(name);
    DWORD error = 0;
    if (configured != S().fileErrors.end())
        error = configured->second;
    else if (!(linkItself && isLink))
        error = model::RealOpenError(name);
    // Backup semantics is what lets a folder be opened at all.
    if (error == ERROR_ACCESS_DENIED && (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)
        && configured == S().fileErrors.end())
        error = 0;
    if (error)
        return call.Fail(INVALID_HANDLE_VALUE, error);
    const uintptr_t key = model::NewHandleValue();
    model::Object& object = model::AddObject(key, Kind::File, "file " + model::Narrow(name), dwDesiredAccess);
    object.path = name;
    object.linkItself = linkItself;
    object.share = dwShareMode;
    return call.Ok(reinterpret_cast<HANDLE>(key));
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    Rec call("GetModuleFileNameW", {model::Raw(hModule), model::Raw(lpFilename), nSize});
    if (call.injected)
        return call.Injected<DWORD>(0);
    if (hModule) {
        model::Fault("GetModuleFileNameW: only the main module (null) is modelled");
        return call.Fail<DWORD>(0, ERROR_MOD_NOT_FOUND);
    }
    if (!lpFilename && nSize)
        return call.Fail<DWORD>(0, ERROR_INVALID_PARAMETER);
    const std::wstring& name = S().moduleFileName;
    if (nSize == 0)
        return call.Fail<DWORD>(0, ERROR_INSUFFICIENT_BUFFER);
    if (name.size() < nSize) {
        std::copy(name.begin(), name.end(), lpFilename);
        lpFilename[name.size()] = L'\0';
        return call.Ok(static_cast<DWORD>(name.size()));
    }
    std::copy(name.begin(), name.begin() + (nSize - 1), lpFilename);
    lpFilename[nSize - 1] = L'\0';
    return call.Fail(nSize, ERROR_INSUFFICIENT_BUFFER);
}

DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize)
{
    Rec call("GetEnvironmentVariableW", {model::Raw(lpName), model::Raw(lpBuffer), nSize},
             {model::Str(lpName)});
    if (call.injected)
        return call.Injected<DWORD>(0);
    if (!lpName)
        return call.Fail<DWORD>(0, ERROR_INVALID_PARAMETER);
    auto it = S().environment.find(model::Upper(lpName));
    if (it == S().environment.end())
        return call.Fail<DWORD>(0, ERROR_ENVVAR_NOT_FOUND);
    const std::wstring& value = it->second.second;
    if (value.empty()) {
        if (lpBuffer && nSize)
            lpBuffer[0] = L'\0';
        S().lastError = ERROR_SUCCESS;
        return call.Ok<DWORD>(0);
    }
    if (!lpBuffer || nSize <= value.size())
        return call.Fail(static_cast<DWORD>(value.size() + 1), ERROR_INSUFFICIENT_BUFFER);
    std::copy(value.begin(), value.end(), lpBuffer);
    lpBuffer[value.size()] = L'\0';
    return call.Ok(static_cast<DWORD>(value.size()));
}

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    Rec call("SetConsoleCtrlHandler", {model::Raw(HandlerRoutine), model::Raw(Add)});
    if (call.injected)
        return call.Injected(FALSE);
    if (!HandlerRoutine)
        return call.Ok(TRUE); // the ignore-Ctrl+C flag is not modelled
    auto& handlers = S().consoleHandlers;
    if (Add) {
        handlers.push_back(HandlerRoutine);
        return call.Ok(TRUE);
    }
    auto it = std::find(handlers.rbegin(), handlers.rend(), HandlerRoutine);
    if (it == handlers.rend())
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    handlers.erase(std::next(it).base());
    return call.Ok(TRUE);
}

DWORD WINAPI WTSGetActiveConsoleSessionId(void)
{
    Rec call("WTSGetActiveConsoleSessionId", {});
    if (call.injected)
        return call.Injected(model::NoConsoleSession);
    return call.Ok(S().consoleSession);
}

// ---- advapi32: service control manager ----------------------------------------------------------

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    Rec call("OpenSCManagerW", {model::Raw(lpMachineName), model::Raw(lpDatabaseName), dwDesiredAccess},
             {model::Str(lpMachineName), model::Str(lpDatabaseName)});
    if (call.injected)
        return call.Injected<SC_HANDLE>(nullptr);
    if (lpMachineName && *lpMachineName) {
        model::Fault("OpenSCManagerW: remote machines are not modelled");
        return call.Fail<SC_HANDLE>(nullptr, ERROR_INVALID_NAME);
    }
    if (lpDatabaseName && std::wstring(lpDatabaseName) != L"ServicesActive")
        return call.Fail<SC_HANDLE>(nullptr, ERROR_INVALID_NAME);
    const uintptr_t key = model::NewHandleValue();
    DWORD access = dwDesiredAccess | SC_MANAGER_CONNECT;
    if (dwDesiredAccess & (GENERIC_ALL | MAXIMUM_ALLOWED))
        access |= SC_MANAGER_ALL_ACCESS;
    model::AddObject(key, Kind::ServiceManager, "service control manager", access);
    return call.Ok(reinterpret_cast<SC_HANDLE>(key));
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess)
{
    Rec call("OpenServiceW", {model::Raw(hSCManager), model::Raw(lpServiceName), dwDesiredAccess},
             {model::Str(lpServiceName)});
    if (call.injected)
        return call.Injected<SC_HANDLE>(nullptr);
    model::Object* manager = model::Use(hSCManager, "OpenServiceW", {Kind::ServiceManager});
    if (!manager)
        return call.Fail<SC_HANDLE>(nullptr, ERROR_INVALID_HANDLE);
    if (!lpServiceName || !*lpServiceName)
        return call.Fail<SC_HANDLE>(nullptr, ERROR_INVALID_NAME);
    auto service = model::FindService(lpServiceName);
    if (!service)
        return call.Fail<SC_HANDLE>(nullptr, ERROR_SERVICE_DOES_NOT_EXIST);
    return call.Ok(model::IssueServiceHandle(service, dwDesiredAccess));
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                DWORD dwErrorControl, LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup,
                                LPDWORD lpdwTagId, LPCWSTR lpDependencies, LPCWSTR lpServiceStartName,
                                LPCWSTR lpPassword)
{
    using model::Raw;
    using model::Str;
    Rec call("CreateServiceW",
             {Raw(hSCManager), Raw(lpServiceName), Raw(lpDisplayName), dwDesiredAccess, dwServiceType,
              dwStartType, dwErrorControl, Raw(lpBinaryPathName), Raw(lpLoadOrderGroup), Raw(lpdwTagId),
              Raw(lpDependencies), Raw(lpServiceStartName), Raw(lpPassword)},
             {Str(lpServiceName), Str(lpDisplayName), Str(lpBinaryPathName), Str(lpLoadOrderGroup),
              model::MultiStr(lpDependencies), Str(lpServiceStartName), Str(lpPassword)});
    if (call.injected)
        return call.Injected<SC_HANDLE>(nullptr);
    model::Object* manager = model::Use(hSCManager, "CreateServiceW", {Kind::ServiceManager});
    if (!manager)
        return call.Fail<SC_HANDLE>(nullptr, ERROR_INVALID_HANDLE);
    if (!(manager->access & SC_MANAGER_CREATE_SERVICE))
        return call.Fail<SC_HANDLE>(nullptr, ERROR_ACCESS_DENIED);
    if (!lpServiceName || !*lpServiceName)
        return call.Fail<SC_HANDLE>(nullptr, ERROR_INVALID_NAME);
    const DWORD baseType = dwServiceType & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
    if (!lpBinaryPathName || !*lpBinaryPathName || lpdwTagId
        || (baseType != SERVICE_WIN32_OWN_PROCESS && baseType != SERVICE_WIN32_SHARE_PROCESS)
        || dwStartType > SERVICE_DISABLED || dwErrorControl > SERVICE_ERROR_CRITICAL)
        return call.Fail<SC_HANDLE>(nullptr, ERROR_INVALID_PARAMETER);
    if (auto existing = model::FindService(lpServiceName))
        return call.Fail<SC_HANDLE>(
            nullptr, existing->markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);

    auto service = std::make_shared<model::ServiceRecord>();
    service->name = lpServiceName;
    service->displayName = lpDisplayName ? lpDisplayName : lpServiceName;
    service->type = dwServiceType;
    service->startType = dwStartType;
    service->errorControl = dwErrorControl;
    service->binaryPath = lpBinaryPathName;
    service->loadOrderGroup = Str(lpLoadOrderGroup);
    service->dependencies = model::MultiStr(lpDependencies);
    service->account = Str(lpServiceStartName);
    service->passwordGiven = lpPassword != nullptr;
    S().services[model::Lower(lpServiceName)] = service;
    return call.Ok(model::IssueServiceHandle(service, dwDesiredAccess));
}

BOOL WINAPI ChangeServiceConfigW(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType,
                                 DWORD dwErrorControl, LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup,
                                 LPDWORD lpdwTagId, LPCWSTR lpDependencies, LPCWSTR lpServiceStartName,
                                 LPCWSTR lpPassword, LPCWSTR lpDisplayName)
{
    using model::Raw;
    using model::Str;
    Rec call("ChangeServiceConfigW",
             {Raw(hService), dwServiceType, dwStartType, dwErrorControl, Raw(lpBinaryPathName),
              Raw(lpLoadOrderGroup), Raw(lpdwTagId), Raw(lpDependencies), Raw(lpServiceStartName),
              Raw(lpPassword), Raw(lpDisplayName)},
             {Str(lpBinaryPathName), Str(lpLoadOrderGroup), model::MultiStr(lpDependencies),
              Str(lpServiceStartName), Str(lpPassword), Str(lpDisplayName)});
    if (call.injected)
        return call.Injected(FALSE);
    auto [service, error] = model::ServiceFor(hService, "ChangeServiceConfigW", SERVICE_CHANGE_CONFIG);
    if (error)
        return call.Fail(FALSE, error);
    if (service->markedForDelete)
        return call.Fail(FALSE, ERROR_SERVICE_MARKED_FOR_DELETE);
    const DWORD baseType = dwServiceType & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
    const bool badType = dwServiceType != SERVICE_NO_CHANGE && baseType != SERVICE_WIN32_OWN_PROCESS
        && baseType != SERVICE_WIN32_SHARE_PROCESS;
    const bool badStart = dwStartType != SERVICE_NO_CHANGE && dwStartType > SERVICE_DISABLED;
    const bool badErrorControl =
        dwErrorControl != SERVICE_NO_CHANGE && dwErrorControl > SERVICE_ERROR_CRITICAL;
    if (badType || badStart || badErrorControl || lpdwTagId || (lpBinaryPathName && !*lpBinaryPathName))
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    if (dwServiceType != SERVICE_NO_CHANGE)
        service->type = dwServiceType;
    if (dwStartType != SERVICE_NO_CHANGE)
        service->startType = dwStartType;
    if (dwErrorControl != SERVICE_NO_CHANGE)
        service->errorControl = dwErrorControl;
    if (lpBinaryPathName)
        service->binaryPath = lpBinaryPathName;
    if (lpLoadOrderGroup)
        service->loadOrderGroup = lpLoadOrderGroup;
    if (lpDependencies)
        service->dependencies = model::MultiStr(lpDependencies);
    if (lpServiceStartName)
        service->account = lpServiceStartName;
    if (lpPassword)
        service->passwordGiven = true;
    if (lpDisplayName)
        service->displayName = lpDisplayName;
    return call.Ok(TRUE);
}

BOOL WINAPI ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo)
{
    std::vector<std::optional<std::wstring>> strings;
    if (lpInfo && dwInfoLevel == SERVICE_CONFIG_DESCRIPTION) {
        strings.push_back(model::Str(static_cast<SERVICE_DESCRIPTIONW*>(lpInfo)->lpDescription));
    } else if (lpInfo && dwInfoLevel == SERVICE_CONFIG_FAILURE_ACTIONS) {
        const auto* actions = static_cast<SERVICE_FAILURE_ACTIONSW*>(lpInfo);
        strings.push_back(model::Str(actions->lpRebootMsg));
        strings.push_back(model::Str(actions->lpCommand));
    }
    Rec call("ChangeServiceConfig2W", {model::Raw(hService), dwInfoLevel, model::Raw(lpInfo)},
             std::move(strings));
    if (call.injected)
        return call.Injected(FALSE);
    auto [service, error] = model::ServiceFor(hService, "ChangeServiceConfig2W", SERVICE_CHANGE_CONFIG);
    if (error)
        return call.Fail(FALSE, error);
    if (service->markedForDelete)
        return call.Fail(FALSE, ERROR_SERVICE_MARKED_FOR_DELETE);
    if (!lpInfo)
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);

    if (dwInfoLevel == SERVICE_CONFIG_DESCRIPTION) {
        const auto* info = static_cast<SERVICE_DESCRIPTIONW*>(lpInfo);
        // Null leaves the description alone; an empty string deletes it.
        if (info->lpDescription) {
            if (*info->lpDescription)
                service->description = info->lpDescription;
            else
                service->description.reset();
        }
        return call.Ok(TRUE);
    }
    if (dwInfoLevel == SERVICE_CONFIG_FAILURE_ACTIONS) {
        const auto* info = static_cast<SERVICE_FAILURE_ACTIONSW*>(lpInfo);
        if (info->lpsaActions && info->cActions) {
            const bool restarts = std::any_of(info->lpsaActions, info->lpsaActions + info->cActions,
                                              [](const SC_ACTION& a) { return a.Type == SC_ACTION_RESTART; });
            auto* object = model::Use(hService, "ChangeServiceConfig2W", {Kind::Service});
            if (restarts && !(object->access & SERVICE_START))
                return call.Fail(FALSE, ERROR_ACCESS_DENIED);
        }
        model::FailureActions actions = service->failureActions.value_or(model::FailureActions{});
        if (info->lpsaActions) {
            actions.resetPeriod = info->dwResetPeriod;
            actions.actions.assign(info->lpsaActions, info->lpsaActions + info->cActions);
        }
        auto update = [](std::optional<std::wstring>& field, LPCWSTR text) {
            if (!text)
                return;
            if (*text)
                field = text;
            else
                field.reset();
        };
        update(actions.rebootMsg, info->lpRebootMsg);
        update(actions.command, info->lpCommand);
        service->failureActions = std::move(actions);
        return call.Ok(TRUE);
    }
    model::Fault("ChangeServiceConfig2W: info level " + std::to_string(dwInfoLevel) + " is not modelled");
    return call.Fail(FALSE, ERROR_INVALID_LEVEL);
}

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors)
{
    std::vector<std::optional<std::wstring>> strings;
    for (DWORD i = 0; lpServiceArgVectors && i < dwNumServiceArgs; ++i)
        strings.push_back(model::Str(lpServiceArgVectors[i]));
    Rec call("StartServiceW", {model::Raw(hService), dwNumServiceArgs, model::Raw(lpServiceArgVectors)},
             std::move(strings));
    if (call.injected)
        return call.Injected(FALSE);
    auto [service, error] = model::ServiceFor(hService, "StartServiceW", SERVICE_START);
    if (error)
        return call.Fail(FALSE, error);
    if (service->markedForDelete)
        return call.Fail(FALSE, ERROR_SERVICE_MARKED_FOR_DELETE);
    if (service->state != SERVICE_STOPPED)
        return call.Fail(FALSE, ERROR_SERVICE_ALREADY_RUNNING);
    if (service->startType == SERVICE_DISABLED)
        return call.Fail(FALSE, ERROR_SERVICE_DISABLED);
    if (service->startFailsWith)
        return call.Fail(FALSE, service->startFailsWith);

    const DWORD pid = model::AddProcess(service->binaryPath, 0);
    service->win32ExitCode = 0;
    service->serviceSpecificExitCode = 0;
    model::SetStateOf(*service, SERVICE_START_PENDING);
    service->pid = pid;
    if (!service->staysStartPending) {
        model::Later(model::FindService(service->name), service->startDelayMs,
                     [pid](model::ServiceRecord& s) {
                         if (s.exitsAtStartWith) {
                             s.win32ExitCode = *s.exitsAtStartWith;
                             model::SetStateOf(s, SERVICE_STOPPED);
                             model::EndProcessRecord(pid, *s.exitsAtStartWith);
                         } else {
                             model::SetStateOf(s, SERVICE_RUNNING);
                         }
                     });
    }
    return call.Ok(TRUE);
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    Rec call("ControlService", {model::Raw(hService), dwControl, model::Raw(lpServiceStatus)});
    if (call.injected)
        return call.Injected(FALSE);
    const DWORD needed = dwControl == SERVICE_CONTROL_STOP ? SERVICE_STOP
        : dwControl == SERVICE_CONTROL_INTERROGATE         ? SERVICE_INTERROGATE
        : (dwControl == SERVICE_CONTROL_PAUSE || dwControl == SERVICE_CONTROL_CONTINUE
           || dwControl == SERVICE_CONTROL_PARAMCHANGE)
        ? SERVICE_PAUSE_CONTINUE
        : SERVICE_USER_DEFINED_CONTROL;
    auto [service, error] = model::ServiceFor(hService, "ControlService", needed);
    if (error)
        return call.Fail(FALSE, error);
    if (!lpServiceStatus)
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);

    // These failures still report the current status, as Windows does.
    auto refuse = [&](DWORD why) {
        model::FillStatus(*service, *lpServiceStatus);
        return call.Fail(FALSE, why);
    };
    if (service->state == SERVICE_STOPPED)
        return refuse(ERROR_SERVICE_NOT_ACTIVE);
    if (dwControl == SERVICE_CONTROL_INTERROGATE) {
        model::FillStatus(*service, *lpServiceStatus);
        return call.Ok(TRUE);
    }
    if (dwControl != SERVICE_CONTROL_STOP)
        return refuse(ERROR_INVALID_SERVICE_CONTROL);
    if (service->state == SERVICE_START_PENDING || service->state == SERVICE_STOP_PENDING)
        return refuse(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    if (!service->ignoresStop) {
        const DWORD pid = service->pid;
        model::SetStateOf(*service, SERVICE_STOP_PENDING);
        service->pid = pid;
        model::Later(model::FindService(service->name), service->stopPendingMs,
                     [pid](model::ServiceRecord& s) {
                         const bool outlives = s.processOutlivesStop;
                         const ULONGLONG exitDelay = s.processExitDelayMs;
                         model::SetStateOf(s, SERVICE_STOPPED);
                         if (outlives || !pid)
                             return;
                         if (exitDelay == 0)
                             model::EndProcessRecord(pid, 0);
                         else
                             model::After(exitDelay, [pid] { model::EndProcessRecord(pid, 0); });
                     });
    }
    model::FillStatus(*service, *lpServiceStatus);
    return call.Ok(TRUE);
}

BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, LPBYTE lpBuffer,
                                 DWORD cbBufSize, LPDWORD pcbBytesNeeded)
{
    Rec call("QueryServiceStatusEx",
             {model::Raw(hService), model::Raw(InfoLevel), model::Raw(lpBuffer), cbBufSize,
              model::Raw(pcbBytesNeeded)});
    if (call.injected)
        return call.Injected(FALSE);
    auto [service, error] = model::ServiceFor(hService, "QueryServiceStatusEx", SERVICE_QUERY_STATUS);
    if (error)
        return call.Fail(FALSE, error);
    if (InfoLevel != SC_STATUS_PROCESS_INFO)
        return call.Fail(FALSE, ERROR_INVALID_LEVEL);
    if (!pcbBytesNeeded)
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
    if (!lpBuffer || cbBufSize < sizeof(SERVICE_STATUS_PROCESS))
        return call.Fail(FALSE, ERROR_INSUFFICIENT_BUFFER);
    SERVICE_STATUS status{};
    model::FillStatus(*service, status);
    SERVICE_STATUS_PROCESS out{};
    std::memcpy(&out, &status, sizeof(status));
    out.dwProcessId = service->state == SERVICE_STOPPED ? 0 : service->pid;
    std::memcpy(lpBuffer, &out, sizeof(out));
    return call.Ok(TRUE);
}

BOOL WINAPI DeleteService(SC_HANDLE hService)
{
    Rec call("DeleteService", {model::Raw(hService)});
    if (call.injected)
        return call.Injected(FALSE);
    auto [service, error] = model::ServiceFor(hService, "DeleteService", DELETE);
    if (error)
        return call.Fail(FALSE, error);
    if (service->markedForDelete)
        return call.Fail(FALSE, ERROR_SERVICE_MARKED_FOR_DELETE);
    service->markedForDelete = true;
    return call.Ok(TRUE);
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject)
{
    Rec call("CloseServiceHandle", {model::Raw(hSCObject)});
    if (call.injected)
        return call.Injected(FALSE);
    if (!model::Use(hSCObject, "CloseServiceHandle", {Kind::ServiceManager, Kind::Service}))
        return call.Fail(FALSE, ERROR_INVALID_HANDLE);
    model::Release(model::Raw(hSCObject));
    return call.Ok(TRUE);
}

// ---- advapi32: service side ------------------------------------------------------------------------

BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable)
{
    std::vector<std::optional<std::wstring>> strings;
    if (lpServiceStartTable)
        strings.push_back(model::Str(lpServiceStartTable->lpServiceName));
    Rec call("StartServiceCtrlDispatcherW", {model::Raw(lpServiceStartTable)}, std::move(strings));
    if (call.injected)
        return call.Injected(FALSE);
    if (!lpServiceStartTable)
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    model::State& s = S();
    if (!s.dispatchArgs)
        return call.Fail(FALSE, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    std::vector<std::wstring> args = std::move(*s.dispatchArgs);
    s.dispatchArgs.reset();

    s.dispatcherTable.clear();
    for (auto* entry = lpServiceStartTable; entry->lpServiceName; ++entry)
        s.dispatcherTable.push_back(entry->lpServiceName);
    const SERVICE_TABLE_ENTRYW& first = lpServiceStartTable[0];
    if (!first.lpServiceName || !*first.lpServiceName || !first.lpServiceProc)
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);

    if (args.empty())
        args.push_back(first.lpServiceName);
    std::vector<LPWSTR> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    first.lpServiceProc(static_cast<DWORD>(args.size()), argv.data());
    return call.Ok(TRUE);
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName,
                                                           LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                           LPVOID lpContext)
{
    Rec call("RegisterServiceCtrlHandlerExW",
             {model::Raw(lpServiceName), model::Raw(lpHandlerProc), model::Raw(lpContext)},
             {model::Str(lpServiceName)});
    if (call.injected)
        return call.Injected<SERVICE_STATUS_HANDLE>(nullptr);
    if (!lpHandlerProc || !lpServiceName)
        return call.Fail<SERVICE_STATUS_HANDLE>(nullptr, ERROR_INVALID_PARAMETER);
    S().controlHandler = lpHandlerProc;
    S().controlContext = lpContext;
    return call.Ok(reinterpret_cast<SERVICE_STATUS_HANDLE>(model::StatusHandleValue));
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus)
{
    Rec call("SetServiceStatus", {model::Raw(hServiceStatus), model::Raw(lpServiceStatus)});
    if (call.injected)
        return call.Injected(FALSE);
    if (model::Raw(hServiceStatus) != model::StatusHandleValue || !S().controlHandler) {
        model::Fault("SetServiceStatus: handle " + model::Hex(model::Raw(hServiceStatus))
                     + " did not come from RegisterServiceCtrlHandlerExW");
        return call.Fail(FALSE, ERROR_INVALID_HANDLE);
    }
    if (!lpServiceStatus) {
        model::Fault("SetServiceStatus: null status");
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    }
    if (lpServiceStatus->dwCurrentState < SERVICE_STOPPED
        || lpServiceStatus->dwCurrentState > SERVICE_PAUSED) {
        model::Fault("SetServiceStatus: invalid state " + std::to_string(lpServiceStatus->dwCurrentState));
        return call.Fail(FALSE, ERROR_INVALID_DATA);
    }
    S().reports.push_back({*lpServiceStatus, S().clock, hServiceStatus});
    return call.Ok(TRUE);
}

// ---- advapi32: tokens and processes -------------------------------------------------------------------

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    Rec call("OpenProcessToken", {model::Raw(ProcessHandle), DesiredAccess, model::Raw(TokenHandle)});
    if (call.injected)
        return call.Injected(FALSE);
    if (!TokenHandle)
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    DWORD session = 0;
    std::string owner = "own process";
    if (!model::IsPseudoProcess(ProcessHandle)) {
        model::Object* process = model::Use(ProcessHandle, "OpenProcessToken", {Kind::Process});
        if (!process)
            return call.Fail(FALSE, ERROR_INVALID_HANDLE);
        if (!(process->access & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)))
            return call.Fail(FALSE, ERROR_ACCESS_DENIED);
        if (model::ProcessRecord* record = model::Process(process->pid))
            session = record->session;
        owner = "process " + std::to_string(process->pid);
    }
    const DWORD access = DesiredAccess & MAXIMUM_ALLOWED ? TOKEN_ALL_ACCESS : DesiredAccess;
    const uintptr_t key = model::NewHandleValue();
    model::Object& token = model::AddObject(key, Kind::Token, "primary token of " + owner, access);
    token.session = session;
    *TokenHandle = reinterpret_cast<HANDLE>(key);
    return call.Ok(TRUE);
}

BOOL WINAPI DuplicateTokenEx(HANDLE hExistingToken, DWORD dwDesiredAccess,
                             LPSECURITY_ATTRIBUTES lpTokenAttributes,
                             SECURITY_IMPERSONATION_LEVEL ImpersonationLevel, TOKEN_TYPE TokenType,
                             PHANDLE phNewToken)
{
    Rec call("DuplicateTokenEx",
             {model::Raw(hExistingToken), dwDesiredAccess, model::Raw(lpTokenAttributes),
              model::Raw(ImpersonationLevel), model::Raw(TokenType), model::Raw(phNewToken)});
    if (call.injected)
        return call.Injected(FALSE);
    model::Object* existing = model::Use(hExistingToken, "DuplicateTokenEx", {Kind::Token});
    if (!existing)
        return call.Fail(FALSE, ERROR_INVALID_HANDLE);
    if (!(existing->access & TOKEN_DUPLICATE))
        return call.Fail(FALSE, ERROR_ACCESS_DENIED);
    if (!phNewToken || ImpersonationLevel < SecurityAnonymous || ImpersonationLevel > SecurityDelegation
        || (TokenType != TokenPrimary && TokenType != TokenImpersonation))
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    const DWORD access = dwDesiredAccess == 0 ? existing->access
        : dwDesiredAccess & MAXIMUM_ALLOWED   ? TOKEN_ALL_ACCESS
                                              : dwDesiredAccess;
    const DWORD session = existing->session;
    const uintptr_t key = model::NewHandleValue();
    model::Object& token = model::AddObject(
        key, Kind::Token,
        std::string(TokenType == TokenPrimary ? "primary" : "impersonation") + " token (duplicate)", access);
    token.session = session;
    token.tokenType = TokenType;
    *phNewToken = reinterpret_cast<HANDLE>(key);
    return call.Ok(TRUE);
}

BOOL WINAPI SetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength)
{
    Rec call("SetTokenInformation",
             {model::Raw(TokenHandle), model::Raw(TokenInformationClass), model::Raw(TokenInformation),
              TokenInformationLength});
    if (call.injected)
        return call.Injected(FALSE);
    model::Object* token = model::Use(TokenHandle, "SetTokenInformation", {Kind::Token});
    if (!token)
        return call.Fail(FALSE, ERROR_INVALID_HANDLE);
    if (TokenInformationClass != TokenSessionId || !TokenInformation
        || TokenInformationLength != sizeof(DWORD))
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    if (!(token->access & TOKEN_ADJUST_SESSIONID))
        return call.Fail(FALSE, ERROR_ACCESS_DENIED);
    if (!S().tcbPrivilege)
        return call.Fail(FALSE, ERROR_PRIVILEGE_NOT_HELD);
    std::memcpy(&token->session, TokenInformation, sizeof(DWORD));
    token->description += ", session " + std::to_string(token->session);
    return call.Ok(TRUE);
}

BOOL WINAPI CreateProcessAsUserW(HANDLE hToken, LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                                 LPSECURITY_ATTRIBUTES lpProcessAttributes,
                                 LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                                 DWORD dwCreationFlags, LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory,
                                 LPSTARTUPINFOW lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation)
{
    using model::Raw;
    using model::Str;
    Rec call("CreateProcessAsUserW",
             {Raw(hToken), Raw(lpApplicationName), Raw(lpCommandLine), Raw(lpProcessAttributes),
              Raw(lpThreadAttributes), Raw(bInheritHandles), dwCreationFlags, Raw(lpEnvironment),
              Raw(lpCurrentDirectory), Raw(lpStartupInfo), Raw(lpProcessInformation)},
             {Str(lpApplicationName), Str(lpCommandLine), Str(lpCurrentDirectory),
              lpStartupInfo ? Str(lpStartupInfo->lpDesktop) : std::nullopt});
    if (call.injected)
        return call.Injected(FALSE);

    DWORD session = 0;
    if (hToken) {
        model::Object* token = model::Use(hToken, "CreateProcessAsUserW", {Kind::Token});
        if (!token)
            return call.Fail(FALSE, ERROR_INVALID_HANDLE);
        const DWORD needed = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY;
        if ((token->access & needed) != needed)
            return call.Fail(FALSE, ERROR_ACCESS_DENIED);
        if (token->tokenType != TokenPrimary)
            return call.Fail(FALSE, ERROR_BAD_TOKEN_TYPE);
        session = token->session;
    }
    if (!lpStartupInfo || !lpProcessInformation || (!lpApplicationName && !lpCommandLine))
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    HANDLE jobAtCreation = nullptr;
    if (dwCreationFlags & EXTENDED_STARTUPINFO_PRESENT) {
        const auto* extended = reinterpret_cast<const STARTUPINFOEXW*>(lpStartupInfo);
        if (lpStartupInfo->cb != sizeof(STARTUPINFOEXW))
            return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
        if (extended->lpAttributeList) {
            model::Object* list =
                model::Use(extended->lpAttributeList, "CreateProcessAsUserW", {Kind::AttributeList});
            if (!list || !list->jobValue || !model::Use(*list->jobValue, "CreateProcessAsUserW", {Kind::Job}))
                return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
            jobAtCreation = *list->jobValue;
        }
    }

    bool fromBlock = false;
    if (lpEnvironment) {
        auto it = S().objects.find(Raw(lpEnvironment));
        if (it != S().objects.end() && it->second.kind == Kind::EnvironmentBlock) {
            fromBlock = true;
            // The block is UTF-16; without the flag Windows reads it as ANSI and rejects it.
            if (!(dwCreationFlags & CREATE_UNICODE_ENVIRONMENT))
                return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
        } else if (S().closed.count(Raw(lpEnvironment))) {
            model::Fault("CreateProcessAsUserW: environment block already destroyed");
            return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
        }
    }

    const std::wstring image =
        lpApplicationName ? std::wstring(lpApplicationName) : model::FirstToken(lpCommandLine);
    if (const DWORD error = model::RealOpenError(image))
        return call.Fail(FALSE, error);
    if (lpCurrentDirectory) {
        std::error_code ec;
        if (!std::filesystem::is_directory(std::filesystem::path(lpCurrentDirectory), ec))
            return call.Fail(FALSE, ERROR_DIRECTORY);
    }

    model::ProcessRecord& record = model::NewProcess(Str(lpApplicationName), session);
    record.commandLine = Str(lpCommandLine);
    record.currentDirectory = Str(lpCurrentDirectory);
    record.desktop = Str(lpStartupInfo->lpDesktop);
    record.creationFlags = dwCreationFlags;
    record.suspended = (dwCreationFlags & CREATE_SUSPENDED) != 0;
    record.hasEnvironment = lpEnvironment != nullptr;
    record.environmentFromBlock = fromBlock;
    record.inheritHandles = bInheritHandles;
    record.createdByCreateProcess = true;
    record.job = Raw(jobAtCreation);
    record.jobFromCreation = jobAtCreation != nullptr;
    record.startup.cb = lpStartupInfo->cb;
    record.startup.desktop = Str(lpStartupInfo->lpDesktop);
    record.startup.title = Str(lpStartupInfo->lpTitle);
    record.startup.flags = lpStartupInfo->dwFlags;
    record.startup.showWindow = lpStartupInfo->wShowWindow;
    record.startup.stdInput = lpStartupInfo->hStdInput;
    record.startup.stdOutput = lpStartupInfo->hStdOutput;
    record.startup.stdError = lpStartupInfo->hStdError;

    const std::string label = std::to_string(record.pid) + " (" + model::ImageLabel(std::optional(image))
        + ", session " + std::to_string(session) + ")";
    const uintptr_t processKey = model::NewHandleValue();
    model::AddObject(processKey, Kind::Process, "process " + label, PROCESS_ALL_ACCESS).pid = record.pid;
    const uintptr_t threadKey = model::NewHandleValue();
    model::AddObject(threadKey, Kind::Thread, "main thread of process " + label, 0x1FFFFF).pid = record.pid;
    lpProcessInformation->hProcess = reinterpret_cast<HANDLE>(processKey);
    lpProcessInformation->hThread = reinterpret_cast<HANDLE>(threadKey);
    lpProcessInformation->dwProcessId = record.pid;
    lpProcessInformation->dwThreadId = record.tid;
    return call.Ok(TRUE);
}

// ---- wtsapi32 ------------------------------------------------------------------------------------------

BOOL WINAPI WTSEnumerateSessionsW(HANDLE hServer, DWORD Reserved, DWORD Version,
                                  PWTS_SESSION_INFOW* ppSessionInfo, DWORD* pCount)
{
    Rec call("WTSEnumerateSessionsW",
             {model::Raw(hServer), Reserved, Version, model::Raw(ppSessionInfo), model::Raw(pCount)});
    if (call.injected)
        return call.Injected(FALSE);
    if (hServer != WTS_CURRENT_SERVER_HANDLE) {
        model::Fault("WTSEnumerateSessionsW: only the local server is modelled");
        return call.Fail(FALSE, ERROR_INVALID_HANDLE);
    }
    if (Reserved != 0 || Version != 1 || !ppSessionInfo || !pCount)
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);

    const auto& sessions = S().sessions;
    // At least one element so that an empty enumeration still has a unique, freeable address.
    auto array = std::make_unique<WTS_SESSION_INFOW[]>(std::max<size_t>(1, sessions.size()));
    const uintptr_t key = model::Raw(array.get());
    model::Object& object =
        model::AddObject(key, Kind::SessionArray, "session array of " + std::to_string(sessions.size()));
    object.sessionArray = std::move(array);
    object.sessionNames.reserve(sessions.size());
    for (size_t i = 0; i < sessions.size(); ++i) {
        const model::Session& session = sessions[i];
        std::wstring name = session.name;
        if (name.empty())
            name = session.id == 0                 ? L"Services"
                : session.id == S().consoleSession ? L"Console"
                                                   : L"RDP-Tcp#" + std::to_wstring(session.id);
        object.sessionNames.push_back(std::move(name));
        object.sessionArray[i] = {session.id, object.sessionNames.back().data(), session.state};
    }
    *ppSessionInfo = object.sessionArray.get();
    *pCount = static_cast<DWORD>(sessions.size());
    return call.Ok(TRUE);
}

void WINAPI WTSFreeMemory(PVOID pMemory)
{
    Rec call("WTSFreeMemory", {model::Raw(pMemory)});
    if (!model::Use(pMemory, "WTSFreeMemory", {Kind::SessionArray})) {
        call.Finish(0, false);
        return;
    }
    model::Release(model::Raw(pMemory));
    call.Finish(0, true);
}

// ---- userenv ------------------------------------------------------------------------------------------------

BOOL WINAPI CreateEnvironmentBlock(LPVOID* lpEnvironment, HANDLE hToken, BOOL bInherit)
{
    Rec call("CreateEnvironmentBlock", {model::Raw(lpEnvironment), model::Raw(hToken), model::Raw(bInherit)});
    if (call.injected)
        return call.Injected(FALSE);
    if (!lpEnvironment)
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    DWORD session = 0;
    if (hToken) {
        model::Object* token = model::Use(hToken, "CreateEnvironmentBlock", {Kind::Token});
        if (!token)
            return call.Fail(FALSE, ERROR_INVALID_HANDLE);
        if (!(token->access & TOKEN_QUERY))
            return call.Fail(FALSE, ERROR_ACCESS_DENIED);
        session = token->session;
    }
    std::wstring text = L"SESSIONNAME=" + std::to_wstring(session) + L'\0' + L"USERNAME=user" + L'\0' + L'\0';
    auto block = std::make_unique<wchar_t[]>(text.size());
    std::copy(text.begin(), text.end(), block.get());
    const uintptr_t key = model::Raw(block.get());
    model::Object& object = model::AddObject(key, Kind::EnvironmentBlock,
                                             "environment block for session " + std::to_string(session)
                                                 + (bInherit ? ", inheriting" : ", not inheriting"));
    object.environment = std::move(block);
    *lpEnvironment = object.environment.get();
    return call.Ok(TRUE);
}

BOOL WINAPI DestroyEnvironmentBlock(LPVOID lpEnvironment)
{
    Rec call("DestroyEnvironmentBlock", {model::Raw(lpEnvironment)});
    if (call.injected)
        return call.Injected(FALSE);
    if (!model::Use(lpEnvironment, "DestroyEnvironmentBlock", {Kind::EnvironmentBlock}))
        return call.Fail(FALSE, ERROR_INVALID_HANDLE);
    model::Release(model::Raw(lpEnvironment));
    return call.Ok(TRUE);
}

// ---- Jobs, folders and security descriptors ---------------------------------------------------------------

HANDLE WINAPI CreateJobObjectW(LPSECURITY_ATTRIBUTES lpJobAttributes, LPCWSTR lpName)
{
    Rec call("CreateJobObjectW", {model::Raw(lpJobAttributes), model::Raw(lpName)}, {model::Str(lpName)});
    if (call.injected)
        return call.Injected<HANDLE>(nullptr);
    const uintptr_t key = model::NewHandleValue();
    model::AddObject(key, Kind::Job, "job object", 0x1F001F);
    return call.Ok(reinterpret_cast<HANDLE>(key));
}

BOOL WINAPI SetInformationJobObject(HANDLE hJob, JOBOBJECTINFOCLASS JobObjectInformationClass,
                                    LPVOID lpJobObjectInformation, DWORD cbJobObjectInformationLength)
{
    Rec call("SetInformationJobObject",
             {model::Raw(hJob), static_cast<uintptr_t>(JobObjectInformationClass),
              model::Raw(lpJobObjectInformation), cbJobObjectInformationLength});
    if (call.injected)
        return call.Injected(FALSE);
    model::Object* job = model::Use(hJob, "SetInformationJobObject", {Kind::Job});
    if (!job)
        return call.Fail(FALSE, ERROR_INVALID_HANDLE);
    if (JobObjectInformationClass != JobObjectExtendedLimitInformation || !lpJobObjectInformation
        || cbJobObjectInformationLength != sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION)) {
        model::Fault("SetInformationJobObject: only the extended limits, whole, are modelled");
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    }
    job->jobLimits = static_cast<JOBOBJECT_EXTENDED_LIMIT_INFORMATION*>(lpJobObjectInformation)
                         ->BasicLimitInformation.LimitFlags;
    return call.Ok(TRUE);
}

BOOL WINAPI AssignProcessToJobObject(HANDLE hJob, HANDLE hProcess)
{
    Rec call("AssignProcessToJobObject", {model::Raw(hJob), model::Raw(hProcess)});
    if (call.injected)
        return call.Injected(FALSE);
    if (!model::Use(hJob, "AssignProcessToJobObject", {Kind::Job}))
        return call.Fail(FALSE, ERROR_INVALID_HANDLE);
    model::Object* process = model::Use(hProcess, "AssignProcessToJobObject", {Kind::Process});
    if (!process)
        return call.Fail(FALSE, ERROR_INVALID_HANDLE);
    model::ProcessRecord* record = model::Process(process->pid);
    if (!record || !record->alive)
        return call.Fail(FALSE, ERROR_ACCESS_DENIED);
    record->job = model::Raw(hJob);
    return call.Ok(TRUE);
}

BOOL WINAPI InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST lpAttributeList,
                                              DWORD dwAttributeCount, DWORD dwFlags, PSIZE_T lpSize)
{
    Rec call("InitializeProcThreadAttributeList",
             {model::Raw(lpAttributeList), dwAttributeCount, dwFlags, model::Raw(lpSize)});
    if (call.injected)
        return call.Injected(FALSE);
    constexpr SIZE_T Needed = 48;
    if (!lpSize || dwFlags || dwAttributeCount != 1)
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    if (!lpAttributeList || *lpSize < Needed) {
        *lpSize = Needed;
        return call.Fail(FALSE, ERROR_INSUFFICIENT_BUFFER);
    }
    model::AddObject(model::Raw(lpAttributeList), Kind::AttributeList, "attribute list");
    return call.Ok(TRUE);
}

BOOL WINAPI UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST lpAttributeList, DWORD dwFlags,
                                      DWORD_PTR Attribute, PVOID lpValue, SIZE_T cbSize,
                                      PVOID lpPreviousValue, PSIZE_T lpReturnSize)
{
    Rec call("UpdateProcThreadAttribute",
             {model::Raw(lpAttributeList), dwFlags, Attribute, model::Raw(lpValue), cbSize,
              model::Raw(lpPreviousValue), model::Raw(lpReturnSize)});
    if (call.injected)
        return call.Injected(FALSE);
    model::Object* list = model::Use(lpAttributeList, "UpdateProcThreadAttribute", {Kind::AttributeList});
    if (!list || Attribute != PROC_THREAD_ATTRIBUTE_JOB_LIST || cbSize != sizeof(HANDLE) || !lpValue) {
        model::Fault("UpdateProcThreadAttribute: only one job, as a job list, is modelled");
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    }
    list->jobValue = static_cast<HANDLE*>(lpValue);
    return call.Ok(TRUE);
}

void WINAPI DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST lpAttributeList)
{
    Rec call("DeleteProcThreadAttributeList", {model::Raw(lpAttributeList)});
    if (model::Use(lpAttributeList, "DeleteProcThreadAttributeList", {Kind::AttributeList}))
        model::Release(model::Raw(lpAttributeList));
    call.Ok(0);
}

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR StringSecurityDescriptor,
                                                                 DWORD StringSDRevision,
                                                                 PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                                 ULONG* SecurityDescriptorSize)
{
    Rec call("ConvertStringSecurityDescriptorToSecurityDescriptorW",
             {model::Raw(StringSecurityDescriptor), StringSDRevision, model::Raw(SecurityDescriptor),
              model::Raw(SecurityDescriptorSize)},
             {model::Str(StringSecurityDescriptor)});
    if (call.injected)
        return call.Injected(FALSE);
    if (!StringSecurityDescriptor || !SecurityDescriptor || StringSDRevision != SDDL_REVISION_1)
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    const uintptr_t key = model::NewHandleValue();
    model::AddObject(key, Kind::SecurityDescriptor, "security descriptor").sddl = StringSecurityDescriptor;
    *SecurityDescriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(key);
    if (SecurityDescriptorSize)
        *SecurityDescriptorSize = 64;
    return call.Ok(TRUE);
}

HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    Rec call("LocalFree", {model::Raw(hMem)});
    if (call.injected)
        return call.Injected(hMem);
    if (!hMem)
        return call.Ok<HLOCAL>(nullptr);
    if (!model::Use(hMem, "LocalFree", {Kind::SecurityDescriptor, Kind::LocalString}))
        return call.Fail(hMem, ERROR_INVALID_HANDLE);
    model::Release(model::Raw(hMem));
    return call.Ok<HLOCAL>(nullptr);
}

BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes)
{
    Rec call("CreateDirectoryW", {model::Raw(lpPathName), model::Raw(lpSecurityAttributes)},
             {model::Str(lpPathName)});
    if (call.injected)
        return call.Injected(FALSE);
    if (!lpPathName)
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    std::optional<std::wstring> sddl;
    if (lpSecurityAttributes) {
        if (lpSecurityAttributes->nLength != sizeof(SECURITY_ATTRIBUTES))
            return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
        if (lpSecurityAttributes->lpSecurityDescriptor) {
            model::Object* descriptor = model::Use(lpSecurityAttributes->lpSecurityDescriptor,
                                                   "CreateDirectoryW", {Kind::SecurityDescriptor});
            if (!descriptor)
                return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
            sddl = descriptor->sddl;
        }
    }
    std::error_code error;
    const std::filesystem::path folder(lpPathName);
    if (std::filesystem::exists(folder, error))
        return call.Fail(FALSE, ERROR_ALREADY_EXISTS);
    if (!std::filesystem::create_directory(folder, error))
        return call.Fail(FALSE,
                         error == std::errc::permission_denied ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
    S().createdFolders[lpPathName] = sddl;
    return call.Ok(TRUE);
}

// ---- File information, listing and security ------------------------------------------------------------

BOOL WINAPI GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation)
{
    Rec call("GetFileInformationByHandle", {model::Raw(hFile), model::Raw(lpFileInformation)});
    if (call.injected)
        return call.Injected(FALSE);
    model::Object* file = model::Use(hFile, "GetFileInformationByHandle", {Kind::File});
    if (!file)
        return call.Fail(FALSE, ERROR_INVALID_HANDLE);
    std::error_code ec;
    *lpFileInformation = {};
    lpFileInformation->dwFileAttributes = model::AttributesOf(file->path, file->linkItself);
    // Windows counts one link for a folder; Linux counts its entries' back links too.
    const bool folderOrLink = lpFileInformation->dwFileAttributes != FILE_ATTRIBUTE_NORMAL;
    lpFileInformation->nNumberOfLinks =
        folderOrLink ? 1 : static_cast<DWORD>(std::filesystem::hard_link_count(file->path, ec));
    return call.Ok(TRUE);
}

// Lists "." and ".." and the folder's names, sorted, as many as fit; a link opened as
// itself lists as the empty folder a junction is.
BOOL WINAPI GetFileInformationByHandleEx(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS FileInformationClass,
                                         LPVOID lpFileInformation, DWORD dwBufferSize)
{
    Rec call("GetFileInformationByHandleEx",
             {model::Raw(hFile), static_cast<uintptr_t>(FileInformationClass), model::Raw(lpFileInformation),
              dwBufferSize});
    if (call.injected)
        return call.Injected(FALSE);
    model::Object* file = model::Use(hFile, "GetFileInformationByHandleEx", {Kind::File});
    if (!file
        || (FileInformationClass != FileIdBothDirectoryInfo
            && FileInformationClass != FileIdBothDirectoryRestartInfo)) {
        model::Fault("GetFileInformationByHandleEx: only listing a folder is modelled");
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    }
    if (!(file->access & FILE_LIST_DIRECTORY))
        return call.Fail(FALSE, ERROR_ACCESS_DENIED);
    if (!(model::AttributesOf(file->path, file->linkItself) & FILE_ATTRIBUTE_DIRECTORY))
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    std::error_code ec;
    if (FileInformationClass == FileIdBothDirectoryRestartInfo || !file->listing) {
        file->listing = true;
        file->listQueue = {L".", L".."};
        if (!(file->linkItself
              && std::filesystem::is_symlink(std::filesystem::symlink_status(file->path, ec))))
            for (const auto& entry : std::filesystem::directory_iterator(file->path, ec))
                file->listQueue.push_back(entry.path().filename().wstring());
        std::sort(file->listQueue.begin() + 2, file->listQueue.end());
    }
    if (file->listQueue.empty())
        return call.Fail(FALSE, ERROR_NO_MORE_FILES);
    auto* out = static_cast<BYTE*>(lpFileInformation);
    size_t used = 0;
    FILE_ID_BOTH_DIR_INFO* previous = nullptr;
    while (!file->listQueue.empty()) {
        const std::wstring& name = file->listQueue.front();
        const size_t size =
            (offsetof(FILE_ID_BOTH_DIR_INFO, FileName) + name.size() * sizeof(WCHAR) + 7) & ~size_t{7};
        if (used + size > dwBufferSize)
            break;
        auto* entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(out + used);
        std::memset(entry, 0, size);
        entry->FileAttributes = model::AttributesOf(std::filesystem::path(file->path) / name, true);
        entry->FileNameLength = static_cast<DWORD>(name.size() * sizeof(WCHAR));
        std::memcpy(entry->FileName, name.data(), name.size() * sizeof(WCHAR));
        if (previous)
            previous->NextEntryOffset =
                static_cast<DWORD>(reinterpret_cast<BYTE*>(entry) - reinterpret_cast<BYTE*>(previous));
        previous = entry;
        used += size;
        file->listQueue.erase(file->listQueue.begin());
    }
    if (!previous)
        return call.Fail(FALSE, ERROR_MORE_DATA);
    return call.Ok(TRUE);
}

void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime)
{
    Rec call("GetSystemTime", {model::Raw(lpSystemTime)});
    // 2026-12-10 14:30:00 UTC at the start of the virtual clock, whose limit is an hour.
    const ULONGLONG seconds = 30 * 60 + (model::Now() - model::StartTime) / 1000;
    *lpSystemTime = {2026,
                     12,
                     4,
                     10,
                     static_cast<WORD>(14 + seconds / 3600),
                     static_cast<WORD>(seconds / 60 % 60),
                     static_cast<WORD>(seconds % 60),
                     0};
    call.Ok(0);
}

// ---- ntdll: files relative to an open folder -----------------------------------------------------------

extern "C" ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status)
{
    for (const auto& [status, error] : model::StatusErrors())
        if (status == Status)
            return error;
    return 317; // ERROR_MR_MID_NOT_FOUND
}

// One name relative to an open folder (an empty name reopens that folder's object).
// Opened as itself with FILE_OPEN_REPARSE_POINT; without it a link at the name is followed.
// Only folders are created. A link opened as itself is an empty folder of its own.
extern "C" NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                       PLARGE_INTEGER, ULONG, ULONG ShareAccess, ULONG CreateDisposition,
                                       ULONG CreateOptions, PVOID, ULONG)
{
    const std::wstring name = ObjectAttributes && ObjectAttributes->ObjectName
        ? std::wstring(ObjectAttributes->ObjectName->Buffer,
                       ObjectAttributes->ObjectName->Length / sizeof(WCHAR))
        : std::wstring();
    Rec call("NtCreateFile",
             {model::Raw(FileHandle), DesiredAccess, model::Raw(ObjectAttributes), model::Raw(IoStatusBlock),
              ShareAccess, CreateDisposition, CreateOptions},
             {name});
    auto fail = [&](DWORD error) { return call.Fail(model::StatusFor(error), error); };
    if (call.injected)
        return call.Injected(model::StatusFor(*call.injected));
    model::Object* root = ObjectAttributes
        ? model::Use(ObjectAttributes->RootDirectory, "NtCreateFile", {Kind::File})
        : nullptr;
    if (!root || name.find_first_of(L"\\/") != std::wstring::npos || !(DesiredAccess & SYNCHRONIZE)) {
        model::Fault("NtCreateFile: only one name relative to an open folder, synchronous, is modelled");
        return fail(ERROR_INVALID_PARAMETER);
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    const bool linkItself = (CreateOptions & FILE_OPEN_REPARSE_POINT) != 0;
    if (!name.empty() && root->linkItself && fs::is_symlink(fs::symlink_status(root->path, ec)))
        return fail(ERROR_FILE_NOT_FOUND);
    fs::path path =
        name.empty() ? fs::path(root->path) : model::FoundIgnoringCase(fs::path(root->path) / name);
    if (!name.empty() && !linkItself && fs::is_symlink(fs::symlink_status(path, ec)))
        path = path.parent_path() / fs::read_symlink(path, ec);
    const std::wstring text = path.wstring();
    // A list that shuts us out still leaves what the folder's own rights grant.
    const DWORD grantedByFolder = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    auto configured = S().fileErrors.find(text);
    if (configured != S().fileErrors.end() && configured->second
        && !(configured->second == ERROR_ACCESS_DENIED && !(DesiredAccess & ~grantedByFolder)))
        return fail(configured->second);
    const bool exists = fs::exists(linkItself ? fs::symlink_status(path, ec) : fs::status(path, ec));
    ULONG_PTR information = FILE_OPENED;
    if (exists) {
        if (CreateDisposition == FILE_CREATE)
            return fail(ERROR_ALREADY_EXISTS);
        if ((CreateOptions & FILE_DIRECTORY_FILE)
            && !(model::AttributesOf(path, linkItself) & FILE_ATTRIBUTE_DIRECTORY))
            return fail(ERROR_DIRECTORY);
        if (model::SharingRefuses(text, DesiredAccess))
            return fail(ERROR_SHARING_VIOLATION);
    } else if (CreateDisposition == FILE_OPEN) {
        return fail(fs::is_directory(path.parent_path(), ec) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    } else {
        std::optional<std::wstring> sddl;
        if (ObjectAttributes->SecurityDescriptor) {
            model::Object* descriptor =
                model::Use(ObjectAttributes->SecurityDescriptor, "NtCreateFile", {Kind::SecurityDescriptor});
            if (!descriptor)
                return fail(ERROR_INVALID_PARAMETER);
            sddl = descriptor->sddl;
        }
        const bool folder = (CreateOptions & FILE_DIRECTORY_FILE) != 0;
        if (folder ? !fs::create_directory(path, ec) : !std::ofstream(path))
            return fail(ec == std::errc::permission_denied ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
        if (folder)
            S().createdFolders[text] = sddl;
        S().owners[model::Key(text)] = S().processUser;
        if (sddl)
            S().dacls[model::Key(text)] = *sddl;
        information = FILE_CREATED;
    }
    const uintptr_t key = model::NewHandleValue();
    model::Object& object = model::AddObject(key, Kind::File, "file " + model::Narrow(text), DesiredAccess);
    object.path = text;
    object.linkItself = linkItself;
    object.share = ShareAccess;
    *FileHandle = reinterpret_cast<HANDLE>(key);
    IoStatusBlock->Information = information;
    return call.Ok<NTSTATUS>(0);
}

// Only a rename relative to an open folder is modelled.
extern "C" NTSTATUS NTAPI NtSetInformationFile(HANDLE hFile, PIO_STATUS_BLOCK io, PVOID ptr, ULONG len,
                                               FILE_INFORMATION_CLASS FileInformationClass)
{
    Rec call("NtSetInformationFile",
             {model::Raw(hFile), model::Raw(io), model::Raw(ptr), len,
              static_cast<uintptr_t>(FileInformationClass)});
    auto fail = [&](DWORD error) { return call.Fail(model::StatusFor(error), error); };
    if (call.injected)
        return call.Injected(model::StatusFor(*call.injected));
    model::Object* file = model::Use(hFile, "NtSetInformationFile", {Kind::File});
    const auto* rename = static_cast<const FILE_RENAME_INFO*>(ptr);
    model::Object* folder =
        rename ? model::Use(rename->RootDirectory, "NtSetInformationFile", {Kind::File}) : nullptr;
    if (!file || !folder || FileInformationClass != 10) {
        model::Fault("NtSetInformationFile: only a rename relative to an open folder is modelled");
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (!(file->access & DELETE))
        return fail(ERROR_ACCESS_DENIED);
    const std::wstring target = (std::filesystem::path(folder->path)
                                 / std::wstring(rename->FileName, rename->FileNameLength / sizeof(WCHAR)))
                                    .wstring();
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(model::FoundIgnoringCase(target), ec))
        && !rename->ReplaceIfExists)
        return fail(ERROR_ALREADY_EXISTS);
    if (std::filesystem::is_directory(std::filesystem::symlink_status(file->path, ec))
        && model::OpenBelow(file->path))
        return fail(ERROR_ACCESS_DENIED);
    // Breaking a holder's oplock waits for its acknowledgement, or for the waiting thread's
    // synchronous call to be cancelled.
    const std::wstring from = model::Key(file->path);
    if (S().oplocks.count(from)) {
        model::ThreadState& self = model::CurrentThread();
        self.cancellable = true;
        model::RunUntil(model::Forever, [&] { return !S().oplocks.count(from) || self.cancelled; });
        self.cancellable = false;
        if (std::exchange(self.cancelled, false) || S().oplocks.count(from))
            return fail(ERROR_OPERATION_ABORTED);
    }
    std::filesystem::rename(file->path, target, ec);
    if (ec)
        return fail(ERROR_ACCESS_DENIED);
    model::MoveKeys(S().owners, from, model::Key(target));
    model::MoveKeys(S().dacls, from, model::Key(target));
    model::MoveKeys(S().appliedSecurity, from, model::Key(target));
    // Every handle of the object, and of what lies below it, follows it.
    for (auto& [key, object] : S().objects)
        if (object.kind == Kind::File)
            object.path = model::Moved(model::Key(object.path), from, model::Key(target));
    auto hook = S().moveHooks.find(from);
    if (hook != S().moveHooks.end()) {
        auto action = std::move(hook->second);
        S().moveHooks.erase(hook);
        action();
    }
    return call.Ok<NTSTATUS>(0);
}

// The owner's PSID points at its SID text, the list is built from the path's SDDL; both
// are held by the returned descriptor until LocalFree.
DWORD WINAPI GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                             PSID* ppsidOwner, PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                             PSECURITY_DESCRIPTOR* ppSecurityDescriptor)
{
    Rec call("GetSecurityInfo",
             {model::Raw(handle), static_cast<uintptr_t>(ObjectType), SecurityInfo, model::Raw(ppsidOwner),
              model::Raw(ppsidGroup), model::Raw(ppDacl), model::Raw(ppSacl),
              model::Raw(ppSecurityDescriptor)});
    if (call.injected)
        return call.Injected(*call.injected);
    model::Object* file = model::Use(handle, "GetSecurityInfo", {Kind::File});
    const DWORD modelled = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (!file || ObjectType != SE_FILE_OBJECT || !SecurityInfo || (SecurityInfo & ~modelled)
        || ((SecurityInfo & OWNER_SECURITY_INFORMATION) && !ppsidOwner)
        || ((SecurityInfo & DACL_SECURITY_INFORMATION) && !ppDacl))
        return call.Fail<DWORD>(ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER);
    if (!(file->access & READ_CONTROL))
        return call.Fail<DWORD>(ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
    const uintptr_t key = model::NewHandleValue();
    model::Object& descriptor =
        model::AddObject(key, Kind::SecurityDescriptor, "security of " + model::Narrow(file->path));
    descriptor.owner = model::OwnerOf(file->path);
    descriptor.acl = model::BuildAcl(model::SecurityOf(file->path));
    if (SecurityInfo & OWNER_SECURITY_INFORMATION)
        *ppsidOwner = const_cast<wchar_t*>(descriptor.owner.c_str());
    if (SecurityInfo & DACL_SECURITY_INFORMATION)
        *ppDacl = descriptor.acl.empty() ? nullptr : reinterpret_cast<PACL>(descriptor.acl.data());
    *ppSecurityDescriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(key);
    return call.Ok<DWORD>(ERROR_SUCCESS);
}

BOOL WINAPI GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID* pAce)
{
    Rec call("GetAce", {model::Raw(pAcl), dwAceIndex, model::Raw(pAce)});
    if (!pAcl || !pAce || dwAceIndex >= pAcl->AceCount)
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    BYTE* at = reinterpret_cast<BYTE*>(pAcl) + sizeof(ACL);
    for (DWORD index = 0; index < dwAceIndex; ++index)
        at += reinterpret_cast<ACE_HEADER*>(at)->AceSize;
    *pAce = at;
    return call.Ok(TRUE);
}

// A stand-in PSID points at the SID's text, or at an alias SDDL uses for it.
BOOL WINAPI ConvertSidToStringSidW(PSID Sid, LPWSTR* StringSid)
{
    Rec call("ConvertSidToStringSidW", {model::Raw(Sid), model::Raw(StringSid)});
    if (call.injected)
        return call.Injected(FALSE);
    if (!Sid || !StringSid)
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    const std::wstring text = model::FullSid(static_cast<const wchar_t*>(Sid));
    auto buffer = std::make_unique<wchar_t[]>(text.size() + 1);
    std::copy(text.begin(), text.end(), buffer.get());
    *StringSid = buffer.get();
    model::AddObject(model::Raw(buffer.get()), Kind::LocalString, "SID text " + model::Narrow(text)).text =
        std::move(buffer);
    return call.Ok(TRUE);
}

// Only TokenUser is modelled: the SID's text follows the record in the caller's buffer.
BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength, PDWORD ReturnLength)
{
    Rec call("GetTokenInformation",
             {model::Raw(TokenHandle), static_cast<uintptr_t>(TokenInformationClass),
              model::Raw(TokenInformation), TokenInformationLength, model::Raw(ReturnLength)});
    if (call.injected)
        return call.Injected(FALSE);
    model::Object* token = model::Use(TokenHandle, "GetTokenInformation", {Kind::Token});
    if (!token || TokenInformationClass != TokenUser || !ReturnLength) {
        model::Fault("GetTokenInformation: only TokenUser is modelled");
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    }
    if (!(token->access & TOKEN_QUERY))
        return call.Fail(FALSE, ERROR_ACCESS_DENIED);
    const std::wstring& user = S().processUser;
    const DWORD needed = static_cast<DWORD>(sizeof(TOKEN_USER) + (user.size() + 1) * sizeof(WCHAR));
    *ReturnLength = needed;
    if (!TokenInformation || TokenInformationLength < needed)
        return call.Fail(FALSE, ERROR_INSUFFICIENT_BUFFER);
    auto* record = static_cast<TOKEN_USER*>(TokenInformation);
    auto* sid = reinterpret_cast<wchar_t*>(record + 1);
    std::copy(user.begin(), user.end(), sid);
    sid[user.size()] = L'\0';
    record->User.Sid = sid;
    record->User.Attributes = 0;
    return call.Ok(TRUE);
}

// Stores the descriptor's SDDL text on the path; its "O:" part becomes the owner.
BOOL WINAPI SetKernelObjectSecurity(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                    PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    Rec call("SetKernelObjectSecurity",
             {model::Raw(Handle), SecurityInformation, model::Raw(SecurityDescriptor)});
    if (call.injected)
        return call.Injected(FALSE);
    model::Object* file = model::Use(Handle, "SetKernelObjectSecurity", {Kind::File});
    model::Object* descriptor =
        model::Use(SecurityDescriptor, "SetKernelObjectSecurity", {Kind::SecurityDescriptor});
    if (!file || !descriptor)
        return call.Fail(FALSE, ERROR_INVALID_HANDLE);
    const DWORD needed = (SecurityInformation & OWNER_SECURITY_INFORMATION ? WRITE_OWNER : 0)
        | (SecurityInformation & DACL_SECURITY_INFORMATION ? WRITE_DAC : 0);
    if ((file->access & needed) != needed)
        return call.Fail(FALSE, ERROR_ACCESS_DENIED);
    auto hook = S().securityHooks.find(model::Key(file->path));
    if (hook != S().securityHooks.end()) {
        auto action = std::move(hook->second);
        S().securityHooks.erase(hook);
        action();
    }
    const std::wstring& sddl = descriptor->sddl;
    if ((SecurityInformation & OWNER_SECURITY_INFORMATION) && sddl.rfind(L"O:", 0) == 0)
        S().owners[model::Key(file->path)] = sddl.substr(2, sddl.find(L':', 2) - 3);
    S().appliedSecurity[model::Key(file->path)] = sddl;
    if (SecurityInformation & DACL_SECURITY_INFORMATION)
        S().dacls[model::Key(file->path)] = sddl;
    return call.Ok(TRUE);
}
