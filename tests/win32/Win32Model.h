#pragma once

// Control surface of the host tier's Win32 stand-in. Everything is single-threaded and runs
// on a virtual clock: time only moves inside Sleep, WaitForSingleObject and AdvanceClock.

#include <windows.h>
#include <wtsapi32.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace model {

constexpr ULONGLONG StartTime = 1'000'000;

// Thrown when a test would otherwise never end: the virtual clock passed its limit or the
// product made an absurd number of calls.
struct Runaway : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The product's own threads run one at a time, each while the others wait: see CreateThread.

// ---- Virtual clock and scripted actions ----------------------------------------------
ULONGLONG Now();
void At(ULONGLONG ms, std::function<void()> action);    // absolute virtual time
void After(ULONGLONG ms, std::function<void()> action); // relative to Now()
void AdvanceClock(ULONGLONG ms);                        // like Sleep, but not journaled
size_t PendingActions();
void SetClockLimit(ULONGLONG absoluteMs); // default StartTime + 1 hour
void SetCallLimit(size_t calls);          // default 1'000'000

// ---- Journal ---------------------------------------------------------------------------
struct Call {
    std::string function;
    ULONGLONG time = 0;                               // clock when called
    ULONGLONG returnTime = 0;                         // clock when it returned
    std::vector<uintptr_t> args;                      // every parameter in order; pointers as addresses
    std::vector<std::optional<std::wstring>> strings; // string parameters in order; nullopt for null
    uintptr_t result = 0;
    DWORD error = 0;       // last error when the call returned
    bool ok = false;       // the call did what was asked (false for every failure return)
    bool injected = false; // failed by FailNext/FailNth/FailAlways

    uintptr_t arg(size_t i) const { return args.at(i); }
    std::wstring text(size_t i) const { return strings.at(i).value_or(std::wstring()); }
    bool isNull(size_t i) const { return !strings.at(i).has_value(); }
};

// GetLastError and SetLastError are not journaled; every other stand-in call is.
const std::vector<Call>& Journal();
std::vector<Call> CallsTo(const std::string& function);
std::vector<std::string> CallNames();
size_t CountOf(const std::string& function);
void ClearJournal();

// ---- Failure injection ------------------------------------------------------------------
// n counts from 1 = the next call to that function. Unknown names throw std::invalid_argument.
void FailNext(const std::string& function, DWORD error);
void FailNth(const std::string& function, int n, DWORD error);
void FailAlways(const std::string& function, DWORD error);
void StopFailing(const std::string& function);

// ---- Handle ledger and misuse faults ----------------------------------------------------
enum class Kind {
    Event,
    Process,
    Thread,
    Token,
    File,
    ServiceManager,
    Service,
    SessionArray,
    EnvironmentBlock,
    Job,
    SecurityDescriptor,
    AttributeList,
    LocalString
};
const char* KindName(Kind kind);

struct OpenHandle {
    uintptr_t value = 0;
    Kind kind = Kind::Event;
    std::string description;
    DWORD access = 0;
};
std::vector<OpenHandle> OpenHandles();
std::optional<OpenHandle> HandleInfo(const void* handle); // nullopt when not open
std::string DescribeOpenHandles();
const std::vector<std::string>& Faults();
void ClearFaults();

// ---- Environment and module ---------------------------------------------------------------
void SetModuleFileName(std::wstring path);
void SetEnvironment(const std::wstring& name, const std::wstring& value);
void UnsetEnvironment(const std::wstring& name);

// ---- Sessions ------------------------------------------------------------------------------
struct Session {
    Session(DWORD id, WTS_CONNECTSTATE_CLASS state, std::wstring name = {})
        : id(id), state(state), name(std::move(name))
    {}
    DWORD id;
    WTS_CONNECTSTATE_CLASS state;
    std::wstring name; // empty: a name is made up
};
void SetSessions(std::vector<Session> sessions);
void SetConsoleSession(DWORD id);   // default 0xFFFFFFFF (no console session attached)
void SetHasTcbPrivilege(bool held); // default true; false makes TokenSessionId changes fail with 1314

// ---- Processes -------------------------------------------------------------------------------
struct StartupSnapshot {
    DWORD cb = 0;
    std::optional<std::wstring> desktop;
    std::optional<std::wstring> title;
    DWORD flags = 0;
    WORD showWindow = 0;
    HANDLE stdInput = nullptr;
    HANDLE stdOutput = nullptr;
    HANDLE stdError = nullptr;
};

struct ProcessRecord {
    DWORD pid = 0;
    DWORD tid = 0;
    bool alive = true;
    DWORD exitCode = STILL_ACTIVE;
    DWORD session = 0;
    std::optional<std::wstring> applicationName;
    std::optional<std::wstring> commandLine;
    std::optional<std::wstring> currentDirectory;
    std::optional<std::wstring> desktop;
    DWORD creationFlags = 0;
    bool suspended = false; // created with CREATE_SUSPENDED and not yet resumed
    bool hasEnvironment = false;
    bool environmentFromBlock = false; // the pointer was a live CreateEnvironmentBlock result
    BOOL inheritHandles = FALSE;
    StartupSnapshot startup;
    bool survivesTerminate = false;
    uintptr_t job = 0; // the job handle it was assigned to; closing that job's last handle may end it
    bool jobFromCreation = false; // put in its job by CreateProcessAsUserW's job list
    bool createdByCreateProcess = false;
    ULONGLONG createdAt = 0;
    ULONGLONG endedAt = 0;
};
std::vector<ProcessRecord> Processes();
std::vector<ProcessRecord> LiveProcesses();
ProcessRecord* Process(DWORD pid); // nullptr if unknown
DWORD AddProcess(std::wstring image = L"", DWORD session = 0);
void EndProcess(DWORD pid, DWORD exitCode);
void SurvivesTerminate(DWORD pid, bool survives = true);
void NextProcessesSurviveTerminate(bool survives);

// Limit flags set on a job handle; nullopt when the handle is not an open job.
std::optional<DWORD> JobLimitFlags(HANDLE job);

// ---- Events ----------------------------------------------------------------------------------
bool IsSignalled(HANDLE handle); // events: state; processes/threads: ended
void Signal(HANDLE event);       // like SetEvent, not journaled

// ---- Service control manager -------------------------------------------------------------------
struct FailureActions {
    DWORD resetPeriod = 0;
    std::optional<std::wstring> rebootMsg;
    std::optional<std::wstring> command;
    std::vector<SC_ACTION> actions;
};

struct ServiceRecord {
    std::wstring name;
    std::wstring displayName;
    DWORD type = SERVICE_WIN32_OWN_PROCESS;
    DWORD startType = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    std::wstring binaryPath;
    std::optional<std::wstring> loadOrderGroup;
    std::optional<std::wstring> dependencies; // the double-NUL list, inner NULs kept
    std::optional<std::wstring> account;      // nullopt = LocalSystem
    bool passwordGiven = false;
    std::optional<std::wstring> description;
    std::optional<FailureActions> failureActions;

    DWORD state = SERVICE_STOPPED;
    DWORD pid = 0;
    DWORD win32ExitCode = 0;
    DWORD serviceSpecificExitCode = 0;
    DWORD controlsAccepted = 0;
    bool markedForDelete = false;

    // Behaviour knobs.
    DWORD startFailsWith = 0; // StartServiceW fails with this error
    ULONGLONG startDelayMs = 200;
    bool staysStartPending = false;
    std::optional<DWORD> exitsAtStartWith;
    ULONGLONG stopPendingMs = 300;
    ULONGLONG processExitDelayMs = 0;
    bool processOutlivesStop = false;
    bool ignoresStop = false;

    // Internal bookkeeping.
    int openHandles = 0;
    bool removed = false;
    unsigned generation = 0; // bumped on every state change; stale scheduled transitions check it
};
ServiceRecord* AddService(const std::wstring& name, DWORD state = SERVICE_STOPPED, DWORD pid = 0);
ServiceRecord* Service(const std::wstring& name); // case-insensitive; nullptr if absent
void SetServiceState(const std::wstring& name, DWORD state, DWORD pid = 0);
void RemoveServiceRecord(const std::wstring& name);

// ---- Service dispatcher and status ---------------------------------------------------------------
struct StatusReport {
    SERVICE_STATUS status{};
    ULONGLONG time = 0;
    SERVICE_STATUS_HANDLE handle = nullptr;
};
void StartedByServiceManager(std::vector<std::wstring> args);
const std::vector<std::wstring>& DispatcherTable(); // names from the last dispatcher call
DWORD SendControl(DWORD control, DWORD eventType = 0, LPVOID eventData = nullptr);
bool HasControlHandler();
const std::vector<StatusReport>& StatusReports();
std::vector<DWORD> ReportedStates();

// ---- Console -----------------------------------------------------------------------------------------
BOOL SendConsoleEvent(DWORD type);
size_t ConsoleHandlerCount();

// ---- Files ---------------------------------------------------------------------------------------------
void SetFileOpenError(const std::wstring& path, DWORD error); // 0 = opens fine
void ForgetFile(const std::wstring& path);                    // back to the real file system
// The security descriptor, as its SDDL text, that CreateDirectoryW got for a folder it
// made; nullopt for no security attributes. Folders it did not make are absent.
const std::map<std::wstring, std::optional<std::wstring>>& CreatedFolders();

// ---- File security ------------------------------------------------------------------------------------
// Owners are SID strings as SDDL writes them ("SY", "BA", "S-1-5-21-..."). A path that was
// never given one is owned by the administrators, as a folder an administrator makes is;
// one that NtCreateFile makes, by this process's user, SYSTEM.
void SetOwner(const std::wstring& path, std::wstring owner);
std::wstring OwnerOf(const std::wstring& path);
// The descriptor that SetKernelObjectSecurity last stored on each object, as SDDL text, by
// where the object is now.
const std::map<std::wstring, std::wstring>& AppliedSecurity();
// The list a path shows (its D: part); without one it shows SYSTEM and the administrators
// full control and Users read, as under a data root that only administrators change.
void SetSecurity(const std::wstring& path, const std::wstring& sddl);
// Runs once, as SetKernelObjectSecurity begins on the path: a user's move that races it.
void WhenSecuritySet(const std::wstring& path, std::function<void()> action);
// Runs once, right after the path was renamed away: a user who takes the name again.
void WhenMoved(const std::wstring& path, std::function<void()> action);
// The user the process's token names ("SY" unless set), and so the owner of what it creates.
void SetProcessUser(std::wstring sid);
// Whether the path's list lets a standard user (a member of Users and Authenticated Users)
// open it at all.
bool UserMayOpen(const std::wstring& user, const std::wstring& path);
// A user's oplock on the path: renaming it waits until it is released or the waiting
// thread's synchronous call is cancelled (CancelSynchronousIo).
void HoldOplock(const std::wstring& path);
void ReleaseOplock(const std::wstring& path);

// ---- Everything back to defaults ----------------------------------------------------------------------------
void Reset();

} // namespace model
