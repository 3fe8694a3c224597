#include "Win32Model.h"

#include <aclapi.h>
#include <userenv.h>
#include <windows.h>
#include <sddl.h>
#include <wtsapi32.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <sstream>

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
    DWORD session = 0; // Token
    TOKEN_TYPE tokenType = TokenPrimary;
    std::shared_ptr<ServiceRecord> service;
    std::unique_ptr<WTS_SESSION_INFOW[]> sessionArray;
    std::vector<std::wstring> sessionNames;
    std::unique_ptr<wchar_t[]> environment;
    DWORD jobLimits = 0;                 // Job
    std::wstring sddl;                   // SecurityDescriptor
    std::wstring owner;                  // SecurityDescriptor from GetSecurityInfo: what its PSID points to
    std::wstring path;                   // File, Find
    bool linkItself = false;             // File opened with FILE_FLAG_OPEN_REPARSE_POINT
    std::vector<std::wstring> findQueue; // Find: names not yet returned
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
                                                "SetFileInformationByHandle",
                                                "FindFirstFileW",
                                                "FindNextFileW",
                                                "GetSecurityInfo",
                                                "SetKernelObjectSecurity",
                                                "LocalFree",
                                                "ConvertStringSecurityDescriptorToSecurityDescriptorW"};
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

// Runs due actions in time order up to target; stops early once done() holds.
bool RunUntil(ULONGLONG target, const std::function<bool()>& done)
{
    State& s = S();
    for (;;) {
        if (done && done())
            return true;
        auto next = std::min_element(s.actions.begin(), s.actions.end(), [](const auto& a, const auto& b) {
            return a.time != b.time ? a.time < b.time : a.seq < b.seq;
        });
        if (next == s.actions.end() || next->time > target)
            break;
        MoveClockTo(next->time);
        auto run = std::move(next->run);
        s.actions.erase(next);
        run();
    }
    if (target != Forever)
        MoveClockTo(target);
    return false;
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
    if (linkItself && std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec)))
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

// Owners follow a renamed file or folder, and everything below it.
void MoveOwners(const std::wstring& from, const std::wstring& to)
{
    std::map<std::wstring, std::wstring> kept;
    for (const auto& [path, owner] : S().owners) {
        const bool moves = path.compare(0, from.size(), from) == 0
            && (path.size() == from.size() || path[from.size()] == L'/');
        kept[moves ? to + path.substr(from.size()) : path] = owner;
    }
    S().owners = kept;
}

void NextFound(Object& search, WIN32_FIND_DATAW& data)
{
    const std::wstring name = search.findQueue.front();
    search.findQueue.erase(search.findQueue.begin());
    data = {};
    data.dwFileAttributes = AttributesOf(std::filesystem::path(search.path) / name, true);
    name.copy(data.cFileName, std::min<size_t>(name.size(), MAX_PATH - 1));
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
    case Kind::Find:
        return "Find";
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

void Reset()
{
    S() = State{};
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
    const std::wstring name(lpFileName);
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
    if (!model::Use(hMem, "LocalFree", {Kind::SecurityDescriptor}))
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

BOOL WINAPI SetFileInformationByHandle(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS FileInformationClass,
                                       LPVOID lpFileInformation, DWORD dwBufferSize)
{
    Rec call("SetFileInformationByHandle",
             {model::Raw(hFile), static_cast<uintptr_t>(FileInformationClass), model::Raw(lpFileInformation),
              dwBufferSize});
    if (call.injected)
        return call.Injected(FALSE);
    model::Object* file = model::Use(hFile, "SetFileInformationByHandle", {Kind::File});
    const auto* rename = static_cast<const FILE_RENAME_INFO*>(lpFileInformation);
    if (!file || FileInformationClass != FileRenameInfo || rename->RootDirectory) {
        model::Fault("SetFileInformationByHandle: only a rename to a full path is modelled");
        return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
    }
    if (!(file->access & DELETE))
        return call.Fail(FALSE, ERROR_ACCESS_DENIED);
    const std::wstring target(rename->FileName, rename->FileNameLength / sizeof(WCHAR));
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(target, ec)) && !rename->ReplaceIfExists)
        return call.Fail(FALSE, ERROR_ALREADY_EXISTS);
    std::filesystem::rename(file->path, target, ec);
    if (ec)
        return call.Fail(FALSE, ERROR_ACCESS_DENIED);
    model::MoveOwners(model::Key(file->path), model::Key(target));
    file->path = target;
    return call.Ok(TRUE);
}

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData)
{
    Rec call("FindFirstFileW", {model::Raw(lpFileName), model::Raw(lpFindFileData)},
             {model::Str(lpFileName)});
    if (call.injected)
        return call.Injected(INVALID_HANDLE_VALUE);
    const std::filesystem::path pattern(lpFileName), folder = pattern.parent_path();
    std::error_code ec;
    if (pattern.filename() != L"*" || !std::filesystem::is_directory(folder, ec))
        return call.Fail(INVALID_HANDLE_VALUE, ERROR_PATH_NOT_FOUND);
    const uintptr_t key = model::NewHandleValue();
    model::Object& search = model::AddObject(key, Kind::Find, "search in " + model::Narrow(folder.wstring()));
    search.path = folder.wstring();
    search.findQueue = {L".", L".."};
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        search.findQueue.push_back(entry.path().filename().wstring());
    std::sort(search.findQueue.begin() + 2, search.findQueue.end());
    model::NextFound(search, *lpFindFileData);
    return call.Ok(reinterpret_cast<HANDLE>(key));
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData)
{
    Rec call("FindNextFileW", {model::Raw(hFindFile), model::Raw(lpFindFileData)});
    if (call.injected)
        return call.Injected(FALSE);
    model::Object* search = model::Use(hFindFile, "FindNextFileW", {Kind::Find});
    if (!search || search->findQueue.empty())
        return call.Fail(FALSE, search ? ERROR_NO_MORE_FILES : ERROR_INVALID_HANDLE);
    model::NextFound(*search, *lpFindFileData);
    return call.Ok(TRUE);
}

BOOL WINAPI FindClose(HANDLE hFindFile)
{
    Rec call("FindClose", {model::Raw(hFindFile)});
    if (!model::Use(hFindFile, "FindClose", {Kind::Find}))
        return call.Fail(FALSE, ERROR_INVALID_HANDLE);
    model::Release(model::Raw(hFindFile));
    return call.Ok(TRUE);
}

// Only a file's owner is modelled: its PSID points at the owner's SID string, held by the
// returned descriptor until LocalFree.
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
    if (!file || ObjectType != SE_FILE_OBJECT || SecurityInfo != OWNER_SECURITY_INFORMATION)
        return call.Fail<DWORD>(ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER);
    if (!(file->access & READ_CONTROL))
        return call.Fail<DWORD>(ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
    const uintptr_t key = model::NewHandleValue();
    model::Object& descriptor =
        model::AddObject(key, Kind::SecurityDescriptor, "owner of " + model::Narrow(file->path));
    descriptor.owner = model::OwnerOf(file->path);
    *ppsidOwner = const_cast<wchar_t*>(descriptor.owner.c_str());
    *ppSecurityDescriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(key);
    return call.Ok<DWORD>(ERROR_SUCCESS);
}

BOOL WINAPI IsWellKnownSid(PSID pSid, WELL_KNOWN_SID_TYPE WellKnownSidType)
{
    Rec call("IsWellKnownSid", {model::Raw(pSid), static_cast<uintptr_t>(WellKnownSidType)});
    for (const auto& [key, object] : S().objects)
        if (object.kind == Kind::SecurityDescriptor && !object.owner.empty() && object.owner.c_str() == pSid)
            return call.Ok<BOOL>(
                (WellKnownSidType == WinLocalSystemSid && object.owner == L"SY")
                || (WellKnownSidType == WinBuiltinAdministratorsSid && object.owner == L"BA"));
    model::Fault("IsWellKnownSid: the SID belongs to no live security descriptor");
    return call.Fail(FALSE, ERROR_INVALID_PARAMETER);
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
    const std::wstring& sddl = descriptor->sddl;
    if ((SecurityInformation & OWNER_SECURITY_INFORMATION) && sddl.rfind(L"O:", 0) == 0)
        S().owners[model::Key(file->path)] = sddl.substr(2, sddl.find(L':', 2) - 3);
    S().appliedSecurity[model::Key(file->path)] = sddl;
    return call.Ok(TRUE);
}
