#include "layout/DataFolder.h"

#include "common/Common.h"
#include "layout/Paths.h"

#include <sddl.h>
#include <winternl.h>

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
extern "C" NTSTATUS NTAPI NtSetInformationFile(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);

namespace {

// Enough to judge and secure; no data access, so no reader's sharing can refuse it.
constexpr DWORD JudgeAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES;
// Asked for only to move an entry: a reader that does not share deletion must not be
// able to fail an installation by holding a file we keep.
constexpr DWORD MoveAccess = DELETE | FILE_READ_ATTRIBUTES;
constexpr DWORD AsideFolderAccess = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE;
// FileRenameInformation; some SDKs name only the first class of this enumeration.
constexpr auto FileRenameClass = static_cast<FILE_INFORMATION_CLASS>(10);
// A user may make a new folder at the name as fast as we move one aside.
constexpr int FolderAttempts = 3;
constexpr DWORD ListBufferBytes = 64 * 1024;

// The owner is set along with the list: the owner may always rewrite the list.
const wchar_t AdministratorsOwner[] = L"O:BA";
// Where untrusted entries go: out of the agent's reach and of every user's.
const wchar_t AsideFolderSecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// What one installation's walk shares.
struct WalkRecord {
    HANDLE DataRoot = nullptr;
    // Made beside the data folder for the first untrusted entry found inside it.
    HANDLE AsideFolder = nullptr;
    // The configuration file of a folder of SYSTEM or the administrators that others
    // could change, held ready to move before that folder is moved aside: it comes along
    // into the fresh folder that replaces it.
    HANDLE Carried = nullptr;
    // Orvella.untrusted-<UTC time of the install>: names what this install moves aside.
    std::wstring AsideName;
};

std::wstring AsideBaseName()
{
    SYSTEMTIME now = {};
    GetSystemTime(&now);
    wchar_t stamp[32] = {};
    std::swprintf(stamp, 32, L"%04u%02u%02uT%02u%02u%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return std::wstring(DataFolderName) + L".untrusted-" + stamp;
}

std::wstring NumberedName(const std::wstring& base, DWORD number)
{
    return number == 1 ? base : base + L"-" + std::to_wstring(number);
}

DWORD RenameInto(HANDLE object, HANDLE folder, const std::wstring& name)
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
    return status < 0 ? RtlNtStatusToDosError(status) : 0;
}

// Names taken in advance cost one try each and can never run out.
DWORD RenameToFreeName(HANDLE object, HANDLE folder, const std::wstring& base)
{
    DWORD error = ERROR_ALREADY_EXISTS;
    for (DWORD number = 1; number != 0 && error == ERROR_ALREADY_EXISTS; ++number)
        error = RenameInto(object, folder, NumberedName(base, number));
    return error;
}

// `parent` and `name` as for OpenRelative: an empty name moves the judged object itself,
// reopened through its own handle, so that what moves is what was judged.
DWORD MoveAside(HANDLE parent, const std::wstring& name, HANDLE target, const std::wstring& base)
{
    HANDLE movable = nullptr;
    DWORD error = OpenRelative(parent, name, MoveAccess, FILE_OPEN, 0, nullptr, movable);
    // Whoever could remove it did: there is nothing left to move.
    if (error == ERROR_FILE_NOT_FOUND)
        return 0;
    if (error == 0)
        error = RenameToFreeName(movable, target, base);
    CloseHandleAndForget(movable);
    return error;
}

DWORD OpenAsideFolder(WalkRecord& walk)
{
    if (walk.AsideFolder != nullptr)
        return 0;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(AsideFolderSecurity, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return GetLastError();
    DWORD error = ERROR_ALREADY_EXISTS;
    for (DWORD number = 1; number != 0 && error == ERROR_ALREADY_EXISTS; ++number)
        error = OpenRelative(walk.DataRoot, NumberedName(walk.AsideName, number), AsideFolderAccess, FILE_CREATE,
                             FILE_DIRECTORY_FILE, descriptor, walk.AsideFolder);
    LocalFree(descriptor);
    return error;
}

// Out of the data folder, keeping its name: the agent never meets it again.
DWORD MoveOut(WalkRecord& walk, HANDLE parent, const std::wstring& name, const std::wstring& keptName)
{
    DWORD error = OpenAsideFolder(walk);
    if (error == 0)
        error = MoveAside(parent, name, walk.AsideFolder, keptName);
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

// Someone who could change an entry may still hold a handle that no new list takes
// back, so only an entry nobody else could change is kept. A second link would share
// the file's security with a name outside the folder.
bool IsTrustedEntry(HANDLE entry, bool& folder)
{
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(entry, &info))
        return false;
    folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!folder && info.nNumberOfLinks != 1)
        return false;
    return OwnedBySystemOrAdministrators(entry) && OnlyAdministratorsCanChange(entry, folder);
}

// The folder itself, reopened through its handle with the right to list it.
DWORD AddToPending(HANDLE folder, std::vector<HANDLE>& pending)
{
    HANDLE listing = nullptr;
    DWORD error = OpenRelative(folder, L"", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, nullptr, listing);
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
    if (IsTrustedEntry(entry, isFolder))
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

// Opened, judged and held with the right to move it before anything moves, so that a
// program holding it fails the installation while everything is still in its place.
// One that someone else could have changed stays with the folder it was found in.
DWORD HoldConfiguration(HANDLE folder, HANDLE& carried)
{
    DWORD error =
        OpenRelative(folder, ConfigurationFileName, JudgeAccess | DELETE, FILE_OPEN, 0, nullptr, carried);
    // Missing, or shut to us: there is nothing of ours to carry.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_ACCESS_DENIED)
        return 0;
    bool isFolder = true;
    if (error == 0 && (!IsTrustedEntry(carried, isFolder) || isFolder))
        CloseHandleAndForget(carried);
    return error;
}

// Renamed into the fresh folder: the agent's settings survive the replacement.
DWORD CarryConfiguration(WalkRecord& walk, HANDLE folder)
{
    DWORD error = RenameInto(walk.Carried, folder, ConfigurationFileName);
    if (error == 0)
        error = ApplySecurity(walk.Carried, InheritedFileSecurity);
    CloseHandleAndForget(walk.Carried);
    return error;
}

// A folder made by this call is ours, whoever the system made its owner; it holds
// nothing yet but what it inherits from a folder it replaces. An existing one is walked
// entry by entry.
DWORD SecureDataFolderItself(WalkRecord& walk, HANDLE folder, bool created)
{
    DWORD error = ApplySecurity(folder, std::wstring(AdministratorsOwner) + DataFolderSecurity);
    if (error != 0)
        return error;
    if (!created)
        return SecureEntriesBelow(walk, folder);
    return walk.Carried != nullptr ? CarryConfiguration(walk, folder) : 0;
}

// Kept where it is only when it is a plain folder of SYSTEM or the administrators that
// nobody else could change: whoever could (one an older program made under the
// inherited list lets users add to it) may still hold a handle that no new list takes
// back, and could rename the folder or make it a link after the launch has judged it.
bool KeepsItsPlace(HANDLE folder)
{
    return OwnedBySystemOrAdministrators(folder) && OnlyAdministratorsCanChange(folder, true);
}

// One look at what stands at the data folder's name: ours or trusted is secured and
// walked (`secured`); anything else is renamed, whole, beside it.
DWORD SecureOrMoveAside(WalkRecord& walk, bool& secured)
{
    secured = false;
    HANDLE folder = nullptr;
    bool created = false;
    DWORD error = OpenDataFolder(walk.DataRoot, JudgeAccess, folder, created);
    // A file, or a folder whose owner shut us out: nothing to judge, only to move.
    if (error == ERROR_DIRECTORY || error == ERROR_ACCESS_DENIED)
        return MoveAside(walk.DataRoot, DataFolderName, walk.DataRoot, walk.AsideName);
    if (error != 0)
        return error;
    if (created || KeepsItsPlace(folder)) {
        error = SecureDataFolderItself(walk, folder, created);
        secured = error == 0;
        CloseHandleAndForget(folder);
        return error;
    }
    if (walk.Carried == nullptr && IsPlainObject(folder, true) && OwnedBySystemOrAdministrators(folder))
        error = HoldConfiguration(folder, walk.Carried);
    if (error == 0)
        error = MoveAside(folder, L"", walk.DataRoot, walk.AsideName);
    CloseHandleAndForget(folder);
    return error;
}

} // namespace

DWORD SecureDataFolder()
{
    const std::filesystem::path dataRoot = GetDataRoot();
    CreateFolderTree(dataRoot);
    WalkRecord walk;
    walk.AsideName = AsideBaseName();
    DWORD error = OpenDataRoot(dataRoot, walk.DataRoot);
    bool secured = false;
    for (int attempt = 0; error == 0 && !secured && attempt < FolderAttempts; ++attempt)
        error = SecureOrMoveAside(walk, secured);
    if (error == 0 && !secured)
        error = ERROR_ALREADY_EXISTS;
    CloseHandleAndForget(walk.Carried);
    CloseHandleAndForget(walk.AsideFolder);
    CloseHandleAndForget(walk.DataRoot);
    return error;
}
