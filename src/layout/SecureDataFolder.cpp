#include "layout/DataFolder.h"

#include "common/Common.h"
#include "layout/Paths.h"

#include <sddl.h>
#include <winternl.h>

#include <atomic>
#include <cwchar>
#include <string>
#include <vector>

// The installation runs as an administrator or SYSTEM on a folder that users may have
// made or filled before it: ProgramData lets any user create folders. Every folder is
// kept open while it is walked, its entries are listed and opened through its handle
// without following a link, judged by their own handles, and either given this
// program's security or renamed out of the data folder; nothing is deleted and no name
// is looked up again once it has been judged.

// Declared here as well: not every SDK's winternl.h has it.
extern "C" NTSTATUS NTAPI NtSetInformationFile(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                               FILE_INFORMATION_CLASS);

namespace {

// Enough to judge and secure; no data access, so no reader's sharing can refuse it.
constexpr DWORD JudgeAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES;
// Asked for only to move an entry: a reader that does not share deletion must not be
// able to fail an installation by holding a file we keep.
constexpr DWORD MoveAccess = DELETE | FILE_READ_ATTRIBUTES;
constexpr DWORD AsideFolderAccess = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE;
// Secured, given the configuration it carries, then renamed onto the name.
constexpr DWORD FreshFolderAccess = JudgeAccess | DELETE | FILE_ADD_FILE | FILE_TRAVERSE;
constexpr DWORD CopyAccess = FILE_WRITE_DATA | READ_CONTROL | WRITE_DAC | WRITE_OWNER;
constexpr DWORD CopyBufferBytes = 64 * 1024;
// FileRenameInformation; some SDKs name only the first class of this enumeration.
constexpr auto FileRenameClass = static_cast<FILE_INFORMATION_CLASS>(10);
constexpr NTSTATUS StatusCancelled = static_cast<NTSTATUS>(0xC0000120);
// A user may make a new folder at the name as fast as we move one aside: they must win
// every try to fail the installation.
constexpr int FolderAttempts = 3;
constexpr DWORD ListBufferBytes = 64 * 1024;
// A rename waits for the break of an oplock its holder need never acknowledge; no user
// makes an installation, and every package queued behind it, wait longer than this.
constexpr ULONGLONG DeadlineMs = 30000;

// The owner is set along with the list: the owner may always rewrite the list.
const wchar_t AdministratorsOwner[] = L"O:BA";
// Where untrusted entries go: out of the agent's reach and of every user's.
const wchar_t AsideFolderSecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// What one installation's walk shares.
struct WalkRecord {
    HANDLE DataRoot = nullptr;
    // Made beside the data folder for the first untrusted entry found inside it.
    HANDLE AsideFolder = nullptr;
    // Made beside the data folder, protected from its creation, to replace what stood
    // at the name: the name is taken in one rename, never left to be taken.
    HANDLE FreshFolder = nullptr;
    // Orvella.untrusted-<UTC time of the install>: names what this install moves aside.
    std::wstring AsideName;
    // Orvella.new-<the same time>.
    std::wstring FreshName;
    // The fresh folder holds a copy of the configuration of a folder it replaces.
    bool Carried = false;
    ULONGLONG Deadline = 0;
};

// The installing thread's bound on whatever a user may still hold: past the deadline a
// second thread cancels the synchronous call it waits in, and it starts no other.
struct DeadlineWatch {
    ULONGLONG Deadline = 0;
    HANDLE Installer = nullptr;
    HANDLE Watcher = nullptr;
    std::atomic<bool> Finished{false};
};

DWORD WINAPI CancelPastDeadline(LPVOID context)
{
    auto* watch = static_cast<DeadlineWatch*>(context);
    while (!watch->Finished.load(std::memory_order_acquire)) {
        // Between calls there is nothing to cancel, and the installer stops by itself.
        if (GetTickCount64() >= watch->Deadline)
            CancelSynchronousIo(watch->Installer);
        Sleep(PollIntervalMs);
    }
    return 0;
}

DWORD StartDeadlineWatch(DeadlineWatch& watch)
{
    watch.Deadline = GetTickCount64() + DeadlineMs;
    watch.Installer = OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId());
    if (watch.Installer == nullptr)
        return GetLastError();
    watch.Watcher = CreateThread(nullptr, 0, CancelPastDeadline, &watch, 0, nullptr);
    return watch.Watcher != nullptr ? 0 : GetLastError();
}

// The watcher reads the record until it ends and must cancel nothing after this step,
// so it is awaited whatever the wait answers.
void StopDeadlineWatch(DeadlineWatch& watch)
{
    watch.Finished.store(true, std::memory_order_release);
    while (watch.Watcher != nullptr && WaitForSingleObject(watch.Watcher, INFINITE) == WAIT_FAILED)
        Sleep(PollIntervalMs);
    CloseHandleAndForget(watch.Watcher);
    CloseHandleAndForget(watch.Installer);
}

bool PastDeadline(const WalkRecord& walk)
{
    return GetTickCount64() >= walk.Deadline;
}

std::wstring InstallStamp()
{
    SYSTEMTIME now = {};
    GetSystemTime(&now);
    wchar_t stamp[32] = {};
    std::swprintf(stamp, 32, L"%04u%02u%02uT%02u%02u%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return stamp;
}

std::wstring NumberedName(const std::wstring& base, DWORD number)
{
    return number == 1 ? base : base + L"-" + std::to_wstring(number);
}

DWORD Rename(HANDLE object, HANDLE folder, const std::wstring& name)
{
    const DWORD nameBytes = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + nameBytes, 0);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->RootDirectory = folder;
    rename->FileNameLength = nameBytes;
    name.copy(rename->FileName, name.size());
    IO_STATUS_BLOCK io = {};
    NTSTATUS status =
        NtSetInformationFile(object, &io, rename, static_cast<ULONG>(buffer.size()), FileRenameClass);
    if (status == StatusCancelled)
        return ERROR_TIMEOUT;
    return status < 0 ? RtlNtStatusToDosError(status) : 0;
}

// Nothing more moves once the deadline has passed; a rename the watch cancelled waited
// for a user until then.
DWORD RenameInto(const WalkRecord& walk, HANDLE object, HANDLE folder, const std::wstring& name)
{
    return PastDeadline(walk) ? ERROR_TIMEOUT : Rename(object, folder, name);
}

// Names taken in advance cost one try each and can never run out.
DWORD RenameToFreeName(const WalkRecord& walk, HANDLE object, HANDLE folder, const std::wstring& base)
{
    DWORD error = ERROR_ALREADY_EXISTS;
    for (DWORD number = 1; number != 0 && error == ERROR_ALREADY_EXISTS; ++number)
        error = RenameInto(walk, object, folder, NumberedName(base, number));
    return error;
}

// `parent` and `name` as for OpenRelative: an empty name moves the judged object itself,
// reopened through its own handle, so that what moves is what was judged.
DWORD MoveAside(const WalkRecord& walk, HANDLE parent, const std::wstring& name, HANDLE target,
                const std::wstring& base)
{
    HANDLE movable = nullptr;
    DWORD error = OpenRelative(parent, name, MoveAccess, FILE_OPEN, 0, nullptr, movable);
    // Whoever could remove it did: there is nothing left to move.
    if (error == ERROR_FILE_NOT_FOUND)
        return 0;
    if (error == 0)
        error = RenameToFreeName(walk, movable, target, base);
    CloseHandleAndForget(movable);
    return error;
}

// A folder of ours beside the data folder, protected from its creation, under the first
// free one of the base name and its numbered forms. A name a user holds open marked for
// deletion refuses the creation with 5: it counts as taken too.
DWORD CreateFolderBeside(const WalkRecord& walk, const std::wstring& base, const wchar_t* security,
                         DWORD access, HANDLE& folder)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(security, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return GetLastError();
    DWORD error = ERROR_ALREADY_EXISTS;
    for (DWORD number = 1; number != 0 && (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED);
         ++number)
        error = PastDeadline(walk) ? ERROR_TIMEOUT
                                   : OpenRelative(walk.DataRoot, NumberedName(base, number), access,
                                                  FILE_CREATE, FILE_DIRECTORY_FILE, descriptor, folder);
    LocalFree(descriptor);
    return error;
}

DWORD OpenAsideFolder(WalkRecord& walk)
{
    if (walk.AsideFolder != nullptr)
        return 0;
    return CreateFolderBeside(walk, walk.AsideName, AsideFolderSecurity, AsideFolderAccess, walk.AsideFolder);
}

// Out of the data folder, keeping its name: the agent never meets it again.
DWORD MoveOut(WalkRecord& walk, HANDLE parent, const std::wstring& name, const std::wstring& keptName)
{
    DWORD error = OpenAsideFolder(walk);
    if (error == 0)
        error = MoveAside(walk, parent, name, walk.AsideFolder, keptName);
    return error;
}

// The low-level call on purpose: the high-level ones propagate a folder's list through
// everything below it, links and multi-link files included, before we have judged them.
DWORD ApplySecurity(HANDLE handle, const std::wstring& security)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(security.c_str(), SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return GetLastError();
    DWORD error = 0;
    if (!SetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor))
        error = GetLastError();
    LocalFree(descriptor);
    return error;
}

DWORD SecureAsDataFolder(HANDLE folder)
{
    return ApplySecurity(folder, std::wstring(AdministratorsOwner) + DataFolderSecurity);
}

// Names are read in full before any entry is touched. They are kept exactly as the file
// system gives them: trailing dots and blanks, device names and long paths reach
// nothing else when opened relative to the folder.
DWORD ListEntries(HANDLE folder, std::vector<std::wstring>& names)
{
    std::vector<BYTE> buffer(ListBufferBytes);
    FILE_INFO_BY_HANDLE_CLASS infoClass = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, infoClass, buffer.data(), ListBufferBytes)) {
        infoClass = FileIdBothDirectoryInfo;
        for (const BYTE* at = buffer.data();;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..")
                names.push_back(name);
            if (entry->NextEntryOffset == 0)
                break;
            at += entry->NextEntryOffset;
        }
    }
    DWORD error = GetLastError();
    return error == ERROR_NO_MORE_FILES ? 0 : error;
}

// Someone who could open an entry may still hold a handle that no new list takes back,
// and lock or oplock through it what the agent reads: only an entry nobody else may
// open is kept (`rights` AnyRight), or only one nobody else could change is copied
// (ChangeRights). A second link would share the file's security with a name outside
// the folder.
bool IsTrustedEntry(HANDLE entry, bool& folder, ACCESS_MASK rights)
{
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(entry, &info))
        return false;
    folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!folder && info.nNumberOfLinks != 1)
        return false;
    return OnlyAdministratorsHold(entry, folder, rights);
}

// The folder itself, reopened through its handle with the right to list it.
DWORD AddToPending(HANDLE folder, std::vector<HANDLE>& pending)
{
    HANDLE listing = nullptr;
    DWORD error =
        OpenRelative(folder, L"", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, nullptr, listing);
    if (error == 0)
        pending.push_back(listing);
    return error;
}

// A folder's security is set before it is listed, so nobody but an administrator can
// add to it while its entries are read.
DWORD KeepEntry(HANDLE entry, bool folder, std::vector<HANDLE>& pending)
{
    DWORD error = ApplySecurity(entry, folder ? InheritedFolderSecurity : InheritedFileSecurity);
    if (error != 0 || !folder)
        return error;
    return AddToPending(entry, pending);
}

DWORD SecureEntry(WalkRecord& walk, HANDLE folder, const std::wstring& name, std::vector<HANDLE>& pending)
{
    if (PastDeadline(walk))
        return ERROR_TIMEOUT;
    HANDLE entry = nullptr;
    DWORD error = OpenRelative(folder, name, JudgeAccess, FILE_OPEN, 0, nullptr, entry);
    // Removed since it was listed, by an administrator or by the user who owned it:
    // nobody else can add to the folder, so nothing of it is left to judge.
    if (error == ERROR_FILE_NOT_FOUND)
        return 0;
    // Whoever owns it shut us out of it; the folder's own rights still let it be moved.
    if (error == ERROR_ACCESS_DENIED)
        return MoveOut(walk, folder, name, name);
    if (error != 0)
        return error;
    bool isFolder = false;
    if (IsTrustedEntry(entry, isFolder, AnyRight))
        error = KeepEntry(entry, isFolder, pending);
    else
        error = MoveOut(walk, entry, L"", name);
    CloseHandleAndForget(entry);
    return error;
}

DWORD SecureEntriesIn(WalkRecord& walk, HANDLE folder, std::vector<HANDLE>& pending)
{
    std::vector<std::wstring> names;
    DWORD error = ListEntries(folder, names);
    for (size_t index = 0; error == 0 && index < names.size(); ++index)
        error = SecureEntry(walk, folder, names[index], pending);
    return error;
}

// Folder by folder rather than by recursion, so that depth costs no stack; each folder's
// handle is held from its judgement until its entries are done.
DWORD SecureEntriesBelow(WalkRecord& walk, HANDLE top)
{
    std::vector<HANDLE> pending;
    DWORD error = AddToPending(top, pending);
    while (error == 0 && !pending.empty()) {
        HANDLE folder = pending.back();
        pending.pop_back();
        error = SecureEntriesIn(walk, folder, pending);
        CloseHandleAndForget(folder);
    }
    for (HANDLE& left : pending)
        CloseHandleAndForget(left);
    return error;
}

DWORD MakeFreshFolder(WalkRecord& walk)
{
    if (walk.FreshFolder != nullptr)
        return 0;
    DWORD error =
        CreateFolderBeside(walk, walk.FreshName, DataFolderSecurity, FreshFolderAccess, walk.FreshFolder);
    return error == 0 ? SecureAsDataFolder(walk.FreshFolder) : error;
}

DWORD CopyBytes(const WalkRecord& walk, HANDLE source, HANDLE target)
{
    std::vector<BYTE> buffer(CopyBufferBytes);
    for (;;) {
        if (PastDeadline(walk))
            return ERROR_TIMEOUT;
        DWORD read = 0;
        DWORD written = 0;
        if (!ReadFile(source, buffer.data(), CopyBufferBytes, &read, nullptr))
            return GetLastError();
        if (read == 0)
            return 0;
        if (!WriteFile(target, buffer.data(), read, &written, nullptr))
            return GetLastError();
    }
}

DWORD CopyIntoFreshFolder(WalkRecord& walk, HANDLE source)
{
    HANDLE copy = nullptr;
    DWORD error = OpenRelative(walk.FreshFolder, ConfigurationFileName, CopyAccess, FILE_CREATE,
                               FILE_NON_DIRECTORY_FILE, nullptr, copy);
    if (error == 0)
        error = CopyBytes(walk, source, copy);
    if (error == 0)
        error = ApplySecurity(copy, InheritedFileSecurity);
    walk.Carried = error == 0;
    CloseHandleAndForget(copy);
    return error;
}

// The agent's settings survive the replacement: a configuration file nobody else could
// have changed is copied into the fresh folder before anything moves, and the original
// stays in the folder moved aside. Copied, not renamed: whoever could read it may still
// hold it open, and a moved file would keep that handle. It is closed again before its
// folder moves, since Windows renames no folder while anything below it is open.
DWORD CarryConfiguration(WalkRecord& walk, HANDLE oldFolder)
{
    if (walk.Carried)
        return 0;
    HANDLE configuration = nullptr;
    DWORD error =
        OpenRelative(oldFolder, ConfigurationFileName, FILE_READ_DATA | READ_CONTROL | FILE_READ_ATTRIBUTES,
                     FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr, configuration);
    // Missing, or shut to us: there is nothing of ours to carry.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_ACCESS_DENIED)
        return 0;
    bool isFolder = true;
    if (error == 0 && IsTrustedEntry(configuration, isFolder, ChangeRights) && !isFolder)
        error = CopyIntoFreshFolder(walk, configuration);
    CloseHandleAndForget(configuration);
    return error;
}

// Without replacing anything: a user who took the name again loses it at the next try.
// Not held back by the deadline: once something was moved from the name, the name is
// taken again; the fresh folder is made before anything moves, and nobody else may open
// it for more than its attributes.
DWORD RenameFreshOntoTheName(WalkRecord& walk, bool& done)
{
    DWORD error = MakeFreshFolder(walk);
    if (error == 0)
        error = Rename(walk.FreshFolder, walk.DataRoot, DataFolderName);
    if (error == ERROR_ALREADY_EXISTS)
        return 0;
    done = error == 0;
    return error;
}

// Whoever could open the folder (one an older build made lets Users read it, or add to
// it under the inherited list) may still hold a handle that no new list takes back, and
// could lock what it holds or, with a right to change it, rename it or make it a link
// after a launch has judged it: it is renamed, whole, beside it. From a folder of SYSTEM
// or the administrators, its configuration comes along.
DWORD ReplaceFolder(WalkRecord& walk, HANDLE folder, bool& done)
{
    DWORD error = MakeFreshFolder(walk);
    if (error == 0 && IsPlainObject(folder, true) && OwnedByTrustedPrincipal(folder))
        error = CarryConfiguration(walk, folder);
    if (error == 0)
        error = MoveAside(walk, folder, L"", walk.DataRoot, walk.AsideName);
    if (error == 0)
        error = RenameFreshOntoTheName(walk, done);
    return error;
}

// One look at what stands at the data folder's name: a folder nobody else may open is
// secured and walked in place; anything else is renamed beside it and the fresh
// folder renamed onto the name. `done` once the name holds a folder the launch accepts.
DWORD SecureOrReplace(WalkRecord& walk, bool& done)
{
    done = false;
    HANDLE folder = nullptr;
    DWORD error = OpenRelative(walk.DataRoot, DataFolderName, JudgeAccess, FILE_OPEN, FILE_DIRECTORY_FILE,
                               nullptr, folder);
    if (error == ERROR_FILE_NOT_FOUND)
        return RenameFreshOntoTheName(walk, done);
    // A file, or a folder whose owner shut us out: nothing to judge, only to move.
    if (error == ERROR_DIRECTORY || error == ERROR_ACCESS_DENIED) {
        error = MakeFreshFolder(walk);
        if (error == 0)
            error = MoveAside(walk, walk.DataRoot, DataFolderName, walk.DataRoot, walk.AsideName);
        return error == 0 ? RenameFreshOntoTheName(walk, done) : error;
    }
    if (error != 0)
        return error;
    if (OnlyAdministratorsHold(folder, true, AnyRight)) {
        error = SecureAsDataFolder(folder);
        if (error == 0)
            error = SecureEntriesBelow(walk, folder);
        done = error == 0;
    } else {
        error = ReplaceFolder(walk, folder, done);
    }
    CloseHandleAndForget(folder);
    return error;
}

DWORD TakeTheName(WalkRecord& walk)
{
    bool done = false;
    DWORD error = 0;
    for (int attempt = 0; error == 0 && !done && attempt < FolderAttempts; ++attempt)
        error = SecureOrReplace(walk, done);
    return error == 0 && !done ? ERROR_ALREADY_EXISTS : error;
}

} // namespace

DWORD SecureDataFolder()
{
    const std::filesystem::path dataRoot = GetDataRoot();
    DeadlineWatch watch;
    DWORD error = StartDeadlineWatch(watch);
    WalkRecord walk;
    walk.Deadline = watch.Deadline;
    const std::wstring stamp = InstallStamp();
    walk.AsideName = std::wstring(DataFolderName) + L".untrusted-" + stamp;
    walk.FreshName = std::wstring(DataFolderName) + L".new-" + stamp;
    if (error == 0) {
        CreateFolderTree(dataRoot);
        error = OpenDataRoot(dataRoot, walk.DataRoot);
    }
    if (error == 0)
        error = TakeTheName(walk);
    // Past the deadline the watcher may have cancelled whichever call was under way.
    if (error != 0 && PastDeadline(walk))
        error = ERROR_TIMEOUT;
    CloseHandleAndForget(walk.FreshFolder);
    CloseHandleAndForget(walk.AsideFolder);
    CloseHandleAndForget(walk.DataRoot);
    StopDeadlineWatch(watch);
    return error;
}
