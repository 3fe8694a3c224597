#include "layout/Paths.h"

#include "common/Common.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

// The installation runs as an administrator or SYSTEM on a folder that users may have
// made or filled before it: ProgramData lets any user create folders. So nothing found
// there is trusted by its name. Every entry is opened without following a link, judged
// by its handle, and either given this program's security or renamed aside for an
// administrator to review; nothing is deleted.

namespace {

// The owner is set along with the list: the owner may always rewrite the list, so a
// folder whose owner is a user is never safe, whatever the list says.
const wchar_t AdministratorsOwner[] = L"O:BA";

constexpr DWORD SecureAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER | DELETE | FILE_READ_ATTRIBUTES;
// Granted through the folder's own rights even when the entry's list shuts us out.
constexpr DWORD MoveAsideAccess = DELETE | FILE_READ_ATTRIBUTES;
constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Folders need backup semantics to be opened at all; the reparse flag opens a link
// itself instead of what it points to.
constexpr DWORD OpenFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
// A user may create folders under ProgramData as fast as we move them aside.
constexpr int FolderAttempts = 3;
constexpr int MaxUntrustedSuffix = 10000;

// One file or folder as its handle shows it.
struct EntryRecord {
    HANDLE Handle = nullptr;
    bool Folder = false;
    // A plain folder or a file with one link, owned by SYSTEM or the administrators.
    bool Trusted = false;
};

DWORD OwnedBySystemOrAdministrators(HANDLE handle, bool& owned)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                  nullptr, nullptr, &descriptor);
    if (error != 0)
        return error;
    owned = IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
    LocalFree(descriptor);
    return 0;
}

// A second link shares the file's security with a name outside our folder, and a
// reparse point leads outside it: neither may have its security changed by us.
DWORD JudgeEntry(EntryRecord& entry)
{
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(entry.Handle, &info))
        return GetLastError();
    entry.Folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool plain = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0
        && (entry.Folder || info.nNumberOfLinks == 1);
    if (!plain)
        return 0;
    return OwnedBySystemOrAdministrators(entry.Handle, entry.Trusted);
}

DWORD OpenEntry(const std::filesystem::path& path, EntryRecord& entry)
{
    entry.Handle = CreateFileW(path.wstring().c_str(), SecureAccess, ShareAll, nullptr, OPEN_EXISTING,
                               OpenFlags, nullptr);
    if (entry.Handle != INVALID_HANDLE_VALUE)
        return JudgeEntry(entry);
    DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED)
        return error;
    // Whoever owns it shut us out of it; it can still be moved aside, and must be.
    entry.Handle = CreateFileW(path.wstring().c_str(), MoveAsideAccess, ShareAll, nullptr, OPEN_EXISTING,
                               OpenFlags, nullptr);
    return entry.Handle != INVALID_HANDLE_VALUE ? 0 : GetLastError();
}

DWORD RenameTo(HANDLE handle, const std::filesystem::path& target)
{
    const std::wstring name = target.wstring();
    const DWORD nameBytes = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + nameBytes, 0);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = nameBytes;
    name.copy(rename->FileName, name.size());
    if (!SetFileInformationByHandle(handle, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())))
        return GetLastError();
    return 0;
}

// Renamed through the open handle, so the name that moves is the one judged, and in
// place, so it stays on the volume and within reach of whoever reviews it.
DWORD MoveAside(HANDLE handle, const std::filesystem::path& path)
{
    for (int suffix = 1; suffix <= MaxUntrustedSuffix; ++suffix) {
        std::filesystem::path target = path;
        target += L".untrusted-" + std::to_wstring(suffix);
        DWORD error = RenameTo(handle, target);
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
            return error;
    }
    return ERROR_ALREADY_EXISTS;
}

// The low-level call on purpose: the high-level ones propagate a folder's list through
// everything below it, links and multi-link files included, before we have judged them.
DWORD ApplySecurity(HANDLE handle, const wchar_t* security)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(security, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return GetLastError();
    DWORD error = 0;
    if (!SetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor))
        error = GetLastError();
    LocalFree(descriptor);
    return error;
}

// Names are read in full before any is renamed, so that a renamed entry is never met
// again under its new name.
DWORD ListEntries(const std::filesystem::path& folder, std::vector<std::wstring>& names)
{
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW((folder / L"*").wstring().c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError();
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(search, &found));
    DWORD error = GetLastError();
    FindClose(search);
    return error == ERROR_NO_MORE_FILES ? 0 : error;
}

// A trusted folder has its security set before its entries are read, so nobody but
// an administrator can add to it while they are.
DWORD SecureOpenEntry(const EntryRecord& entry, const std::filesystem::path& path,
                      std::vector<std::filesystem::path>& pending)
{
    if (!entry.Trusted)
        return MoveAside(entry.Handle, path);
    if (!entry.Folder)
        return ApplySecurity(entry.Handle, InheritedFileSecurity);
    DWORD error = ApplySecurity(entry.Handle, InheritedFolderSecurity);
    if (error == 0)
        pending.push_back(path);
    return error;
}

DWORD SecureEntry(const std::filesystem::path& path, std::vector<std::filesystem::path>& pending)
{
    EntryRecord entry;
    DWORD error = OpenEntry(path, entry);
    if (error == 0)
        error = SecureOpenEntry(entry, path, pending);
    else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        error = 0; // gone since it was listed: only SYSTEM or an administrator could remove it
    CloseHandleAndForget(entry.Handle);
    return error;
}

// Folder by folder rather than by recursion, so that depth costs no stack.
DWORD SecureEntriesBelow(const std::filesystem::path& top)
{
    std::vector<std::filesystem::path> pending{top};
    while (!pending.empty()) {
        std::filesystem::path folder = pending.back();
        pending.pop_back();
        std::vector<std::wstring> names;
        DWORD error = ListEntries(folder, names);
        for (size_t index = 0; error == 0 && index < names.size(); ++index)
            error = SecureEntry(folder / names[index], pending);
        if (error != 0)
            return error;
    }
    return 0;
}

// One look at the data folder: secured when it is ours or trusted, else moved aside,
// in which case `movedAside` asks the caller to make a fresh one.
DWORD SecureOrMoveAside(const std::filesystem::path& folder, bool created, bool& movedAside)
{
    EntryRecord entry;
    DWORD error = OpenEntry(folder, entry);
    // Whatever this call created is ours, whoever the system made its owner.
    bool trusted = created || (entry.Trusted && entry.Folder);
    const std::wstring security = std::wstring(AdministratorsOwner) + DataFolderDacl;
    if (error == 0)
        error = trusted ? ApplySecurity(entry.Handle, security.c_str()) : MoveAside(entry.Handle, folder);
    CloseHandleAndForget(entry.Handle);
    movedAside = error == 0 && !trusted;
    // A folder made just now holds nothing yet.
    if (error != 0 || !trusted || created)
        return error;
    return SecureEntriesBelow(folder);
}

} // namespace

// What everything below inherits from the data folder's list, written out: the
// low-level call stores exactly this and changes nothing else.
const wchar_t InheritedFolderSecurity[] =
    L"O:BAD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)(A;OICIID;0x1200a9;;;OW)";
const wchar_t InheritedFileSecurity[] =
    L"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)(A;ID;0x1200a9;;;OW)";

DWORD SecureDataFolder()
{
    std::filesystem::path dataRoot = GetDataRoot();
    std::filesystem::path folder = dataRoot / DataFolderName;
    for (int attempt = 0; attempt < FolderAttempts; ++attempt) {
        bool created = CreateDataFolder(dataRoot);
        bool movedAside = false;
        DWORD error = SecureOrMoveAside(folder, created, movedAside);
        if (error != 0 || !movedAside)
            return error;
    }
    return ERROR_ALREADY_EXISTS;
}
