// The Windows side of scripts/bench: what only a Windows program can ask or time
// inside the prefix. Each command prints one line of name=value fields; a query the
// platform does not answer prints -1, so the script can fall back to the Linux side.
//
//   ProcessProbe stats <pid>            private=<bytes> working_set=<bytes>
//                                       handles=<GetProcessHandleCount>
//                                       handle_table=<entries of the system handle table>
//                                       thread_event_handles=<of those, threads and events>
//                                       user32=<1 when user32.dll is loaded, else 0>
//                                       cpu_ms=<user+kernel>
//   ProcessProbe service-pid <name>     pid=<process id of the running service>
//   ProcessProbe kill <pid>             utc_ms=<Unix ms when TerminateProcess returned>
//   ProcessProbe stop <name>            stopped_ms=<STOP to STOPPED> ended_ms=<to process end>
//   ProcessProbe update <name> <cmdline>
//                                       total_ms=<run of cmdline> after_end_ms=<from the
//                                       service process's end to cmdline's exit> status=<n>

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

long long UnixMsNow()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks;
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    return static_cast<long long>((ticks.QuadPart - 116444736000000000ULL) / 10000);
}

double MsSince(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart)
        / static_cast<double>(frequency.QuadPart);
}

ULONGLONG Hundreds(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The system handle table's layout (SystemHandleInformation, class 16), which the SDK
// headers leave out.
struct HandleEntry {
    ULONG OwnerPid;
    BYTE ObjectType;
    BYTE HandleFlags;
    USHORT HandleValue;
    void* ObjectPointer;
    ULONG AccessMask;
};
struct HandleTable {
    ULONG Count;
    HandleEntry Entries[1];
};
using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

// The table's type numbers differ between systems: the probe's own thread and event
// handles show which stand for those two types here.
bool IsThreadOrEvent(const HandleTable* table, BYTE type, HANDLE ownThread, HANDLE ownEvent)
{
    for (ULONG i = 0; i < table->Count; ++i) {
        const HandleEntry& entry = table->Entries[i];
        if (entry.OwnerPid == GetCurrentProcessId() && entry.ObjectType == type
            && (entry.HandleValue == reinterpret_cast<UINT_PTR>(ownThread)
                || entry.HandleValue == reinterpret_cast<UINT_PTR>(ownEvent)))
            return true;
    }
    return false;
}

// A second opinion on the handle count: the owner of every entry of the system's
// table, for platforms whose GetProcessHandleCount answers nothing for another process.
// Threads and events are also counted apart: winpthreads keeps one of each for every
// thread that enters it, as the service's threads do and the do-nothing service's never.
void CountTableHandles(DWORD pid, long long* all, long long* threadsAndEvents)
{
    *all = *threadsAndEvents = -1;
    auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    HANDLE ownThread = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &ownThread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    HANDLE ownEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::string buffer(1 << 16, '\0');
    for (int attempt = 0; query != nullptr && attempt < 8; ++attempt) {
        ULONG needed = 0;
        LONG status = query(16, &buffer[0], static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) {
            const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
            *all = *threadsAndEvents = 0;
            for (ULONG i = 0; i < table->Count; ++i) {
                if (table->Entries[i].OwnerPid != pid)
                    continue;
                ++*all;
                *threadsAndEvents += IsThreadOrEvent(table, table->Entries[i].ObjectType, ownThread, ownEvent);
            }
            break;
        }
        buffer.resize(needed > buffer.size() ? needed + 4096 : buffer.size() * 2);
    }
    CloseHandle(ownEvent);
    CloseHandle(ownThread);
}

// Under Wine, libssp's cryptographic provider attaches user32 for the life of a process.
int HasUser32(HANDLE process)
{
    HMODULE modules[512];
    DWORD needed = 0;
    if (!EnumProcessModules(process, modules, sizeof modules, &needed))
        return -1;
    for (DWORD i = 0; i < needed / sizeof(HMODULE) && i < 512; ++i) {
        wchar_t name[MAX_PATH];
        if (GetModuleBaseNameW(process, modules[i], name, MAX_PATH) && _wcsicmp(name, L"user32.dll") == 0)
            return 1;
    }
    return 0;
}

int Stats(DWORD pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr)
        process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        std::printf("error=%lu\n", GetLastError());
        return 1;
    }
    long long privateBytes = -1;
    long long workingSet = -1;
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
        privateBytes = static_cast<long long>(memory.PrivateUsage);
        workingSet = static_cast<long long>(memory.WorkingSetSize);
    }
    long long handles = -1;
    DWORD handleCount = 0;
    if (GetProcessHandleCount(process, &handleCount))
        handles = handleCount;
    long long cpuMs = -1;
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(process, &created, &exited, &kernel, &user))
        cpuMs = static_cast<long long>((Hundreds(kernel) + Hundreds(user)) / 10000);
    int user32 = HasUser32(process);
    CloseHandle(process);
    long long tableHandles, threadsAndEvents;
    CountTableHandles(pid, &tableHandles, &threadsAndEvents);
    std::printf("private=%lld working_set=%lld handles=%lld handle_table=%lld thread_event_handles=%lld "
                "user32=%d cpu_ms=%lld\n",
                privateBytes, workingSet, handles, tableHandles, threadsAndEvents, user32, cpuMs);
    return 0;
}

// The service's handle with the given rights, or null with the error printed.
SC_HANDLE OpenNamedService(const wchar_t* name, DWORD access, SC_HANDLE* manager)
{
    *manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (*manager == nullptr) {
        std::printf("error=%lu\n", GetLastError());
        return nullptr;
    }
    SC_HANDLE service = OpenServiceW(*manager, name, access);
    if (service == nullptr) {
        std::printf("error=%lu\n", GetLastError());
        CloseServiceHandle(*manager);
        *manager = nullptr;
    }
    return service;
}

SERVICE_STATUS_PROCESS QueryStatus(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                         &needed);
    return status;
}

int ServicePid(const wchar_t* name)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = OpenNamedService(name, SERVICE_QUERY_STATUS, &manager);
    if (service == nullptr)
        return 1;
    SERVICE_STATUS_PROCESS status = QueryStatus(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    std::printf("pid=%lu state=%lu\n", status.dwProcessId, status.dwCurrentState);
    return status.dwCurrentState == SERVICE_RUNNING ? 0 : 1;
}

int Kill(DWORD pid)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) {
        std::printf("error=%lu\n", GetLastError());
        return 1;
    }
    BOOL killed = TerminateProcess(process, 0);
    long long moment = UnixMsNow();
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
    std::printf("utc_ms=%lld\n", moment);
    return killed ? 0 : 1;
}

// Polls finer than the product's own 100 ms waits, so the figure is the service's.
int Stop(const wchar_t* name)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = OpenNamedService(name, SERVICE_STOP | SERVICE_QUERY_STATUS, &manager);
    if (service == nullptr)
        return 1;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, QueryStatus(service).dwProcessId);
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    SERVICE_STATUS ignored;
    int result = 1;
    if (ControlService(service, SERVICE_CONTROL_STOP, &ignored)) {
        double stoppedMs = -1;
        while (MsSince(start) < 30000) {
            if (QueryStatus(service).dwCurrentState == SERVICE_STOPPED) {
                stoppedMs = MsSince(start);
                break;
            }
            Sleep(2);
        }
        double endedMs = -1;
        if (process != nullptr && WaitForSingleObject(process, 30000) == WAIT_OBJECT_0)
            endedMs = MsSince(start);
        std::printf("stopped_ms=%.1f ended_ms=%.1f\n", stoppedMs, endedMs);
        result = stoppedMs >= 0 ? 0 : 1;
    } else {
        std::printf("error=%lu\n", GetLastError());
    }
    if (process != nullptr)
        CloseHandle(process);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}

int Update(const wchar_t* name, const wchar_t* commandLine)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = OpenNamedService(name, SERVICE_QUERY_STATUS, &manager);
    if (service == nullptr)
        return 1;
    HANDLE serviceProcess = OpenProcess(SYNCHRONIZE, FALSE, QueryStatus(service).dwProcessId);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (serviceProcess == nullptr) {
        std::printf("error=%lu\n", GetLastError());
        return 1;
    }
    std::wstring writable = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &child)) {
        std::printf("error=%lu\n", GetLastError());
        CloseHandle(serviceProcess);
        return 1;
    }
    double endedMs = -1;
    if (WaitForSingleObject(serviceProcess, 60000) == WAIT_OBJECT_0)
        endedMs = MsSince(start);
    WaitForSingleObject(child.hProcess, 90000);
    double totalMs = MsSince(start);
    DWORD status = 0;
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    CloseHandle(serviceProcess);
    std::printf("total_ms=%.1f after_end_ms=%.1f status=%lu\n", totalMs,
                endedMs >= 0 ? totalMs - endedMs : -1.0, status);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    std::wstring command = argc > 1 ? argv[1] : L"";
    if (argc == 3 && command == L"stats")
        return Stats(std::wcstoul(argv[2], nullptr, 10));
    if (argc == 3 && command == L"service-pid")
        return ServicePid(argv[2]);
    if (argc == 3 && command == L"kill")
        return Kill(std::wcstoul(argv[2], nullptr, 10));
    if (argc == 3 && command == L"stop")
        return Stop(argv[2]);
    if (argc == 4 && command == L"update")
        return Update(argv[2], argv[3]);
    std::fprintf(stderr, "usage: ProcessProbe stats|service-pid|kill|stop|update ...\n");
    return 2;
}
