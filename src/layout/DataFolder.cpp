#include "layout/DataFolder.h"

#include "common/Common.h"
#include "layout/Paths.h"

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <string>
#include <vector>

namespace {

constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD InspectAccess = READ_CONTROL | FILE_READ_ATTRIBUTES;

const wchar_t SystemSid[] = L"S-1-5-18";
const wchar_t AdministratorsSid[] = L"S-1-5-32-544";
const wchar_t TrustedInstallerSid[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const wchar_t OwnerRightsSid[] = L"S-1-3-4";

std::wstring OwnerOf(HANDLE object)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor)
        != ERROR_SUCCESS)
        return std::wstring();
    std::wstring sid = SidText(owner);
    LocalFree(descriptor);
    return sid;
}

// Whoever owns the system's own folder can already replace what LocalSystem runs:
// TrustedInstaller on Windows. Wine gives every file to the one user it runs everything
// as, services included, and so names that user. The rule is the same for both, and an
// administrator's own user, who owns their Downloads on Windows, is never trusted: a
// program of theirs that runs without elevation could change what they own.
std::wstring SystemFolderOwner()
{
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH)
        return std::wstring();
    HANDLE handle = CreateFileW(folder, READ_CONTROL, ShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return std::wstring();
    std::wstring owner = OwnerOf(handle);
    CloseHandleAndForget(handle);
    return owner;
}

bool IsTrustedPrincipal(const std::wstring& sid, const std::wstring& systemOwner)
{
    return sid == SystemSid || sid == AdministratorsSid || sid == TrustedInstallerSid
        || (!systemOwner.empty() && sid == systemOwner);
}

bool IsAllowEntry(BYTE type)
{
    return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE
        || type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE
        || type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
}

// An entry that only passes itself on to what is created below does not apply here.
bool EntryGrantsOthers(const ACE_HEADER* header, ACCESS_MASK rights, const std::wstring& systemOwner)
{
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || !IsAllowEntry(header->AceType))
        return false;
    const auto* entry = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
    if ((entry->Mask & rights) == 0)
        return false;
    // Object and compound entries keep their SID elsewhere: what they grant counts as
    // granted to a stranger.
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE)
        return true;
    // OWNER RIGHTS grants to the owner, whom the test requires to be trusted.
    const std::wstring sid = SidText(const_cast<DWORD*>(&entry->SidStart));
    return sid != OwnerRightsSid && !IsTrustedPrincipal(sid, systemOwner);
}

bool ListGrantsOthers(PACL list, ACCESS_MASK rights, const std::wstring& systemOwner)
{
    for (DWORD index = 0; index < list->AceCount; ++index) {
        LPVOID entry = nullptr;
        if (!GetAce(list, index, &entry)
            || EntryGrantsOthers(static_cast<ACE_HEADER*>(entry), rights, systemOwner))
            return true;
    }
    return false;
}

} // namespace

// The OWNER RIGHTS entry takes from whoever creates the folder the owner's implicit right
// to rewrite this list: a user who makes it first (by a self-test, say) may read the
// list, nothing more. The agent runs as LocalSystem; nobody else needs its configuration.
const wchar_t DataFolderSecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x20000;;;OW)";
// Written out as the low-level call stores it, which changes nothing else.
const wchar_t InheritedFolderSecurity[] =
    L"O:BAD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x20000;;;OW)";
const wchar_t InheritedFileSecurity[] = L"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x20000;;;OW)";

std::wstring SidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return std::wstring();
    std::wstring result = text;
    LocalFree(text);
    return result;
}

// Win32 has no create relative to a handle; this is the documented call beneath it.
// Synchronous, so that listing and renaming through the handle complete in the call; a
// user who holds an oplock on a file they may read cannot make us wait for its break.
DWORD OpenRelative(HANDLE root, const std::wstring& name, DWORD access, ULONG disposition, ULONG options,
                   PSECURITY_DESCRIPTOR descriptor, HANDLE& opened, bool* created)
{
    UNICODE_STRING objectName;
    objectName.Buffer = const_cast<PWSTR>(name.c_str());
    objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, root, descriptor);
    IO_STATUS_BLOCK io = {};
    NTSTATUS status = NtCreateFile(&opened, access | SYNCHRONIZE, &attributes, &io, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, ShareAll, disposition,
                                   options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT
                                       | FILE_COMPLETE_IF_OPLOCKED,
                                   nullptr, 0);
    if (status < 0) {
        opened = nullptr;
        return RtlNtStatusToDosError(status);
    }
    if (created != nullptr)
        *created = io.Information == FILE_CREATED;
    return 0;
}

DWORD OpenDataRoot(const std::filesystem::path& dataRoot, HANDLE& root)
{
    root = CreateFileW(dataRoot.wstring().c_str(), FILE_TRAVERSE | SYNCHRONIZE, ShareAll, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (root != INVALID_HANDLE_VALUE)
        return 0;
    root = nullptr;
    return GetLastError();
}

// A folder that cannot get its protected list is still made, with inherited security:
// the agent needs the folder more than its protection, and its launch will refuse it
// until an installation has made it safe.
DWORD OpenDataFolder(HANDLE dataRoot, DWORD access, HANDLE& folder, bool& created)
{
    created = false;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(DataFolderSecurity, SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        descriptor = nullptr;
    DWORD error = OpenRelative(dataRoot, DataFolderName, access, FILE_OPEN_IF, FILE_DIRECTORY_FILE,
                               descriptor, folder, &created);
    if (descriptor != nullptr)
        LocalFree(descriptor);
    return error;
}

bool OnlyAdministratorsCanChange(HANDLE object, bool folder)
{
    return OnlyAdministratorsHold(object, folder, ChangeRights);
}

bool OnlyAdministratorsHold(HANDLE object, bool folder, ACCESS_MASK rights)
{
    if (!IsPlainObject(object, folder))
        return false;
    PSID owner = nullptr;
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        &owner, nullptr, &list, nullptr, &descriptor)
        != ERROR_SUCCESS)
        return false;
    const std::wstring systemOwner = SystemFolderOwner();
    // No list at all lets everyone do everything.
    const bool safe = IsTrustedPrincipal(SidText(owner), systemOwner) && list != nullptr
        && !ListGrantsOthers(list, rights, systemOwner);
    LocalFree(descriptor);
    return safe;
}

bool OwnedByTrustedPrincipal(HANDLE object)
{
    return IsTrustedPrincipal(OwnerOf(object), SystemFolderOwner());
}

bool IsPlainObject(HANDLE object, bool folder)
{
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(object, &info))
        return false;
    const bool isFolder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return isFolder == folder && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

void CreateDataFolder(const std::filesystem::path& dataRoot)
{
    CreateFolderTree(dataRoot);
    HANDLE root = nullptr;
    HANDLE folder = nullptr;
    bool created = false;
    if (OpenDataRoot(dataRoot, root) == 0)
        OpenDataFolder(root, FILE_READ_ATTRIBUTES, folder, created);
    CloseHandleAndForget(folder);
    CloseHandleAndForget(root);
}

namespace {

// Judged through the folder's own handle: the file the agent will read, if it is there.
bool ConfigurationIsSafe(HANDLE folder)
{
    HANDLE configuration = nullptr;
    DWORD error =
        OpenRelative(folder, ConfigurationFileName, InspectAccess, FILE_OPEN, 0, nullptr, configuration);
    const bool safe =
        error == ERROR_FILE_NOT_FOUND || (error == 0 && OnlyAdministratorsCanChange(configuration, false));
    CloseHandleAndForget(configuration);
    return safe;
}

} // namespace

bool DataFolderIsSafe(const std::filesystem::path& dataRoot)
{
    HANDLE root = nullptr;
    HANDLE folder = nullptr;
    bool created = false;
    const bool safe = OpenDataRoot(dataRoot, root) == 0
        && OpenDataFolder(root, InspectAccess, folder, created) == 0
        && OnlyAdministratorsCanChange(folder, true) && ConfigurationIsSafe(folder);
    CloseHandleAndForget(folder);
    CloseHandleAndForget(root);
    return safe;
}
