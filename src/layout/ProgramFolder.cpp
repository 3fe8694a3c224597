#include "layout/ProgramFolder.h"

#include "common/Common.h"
#include "layout/DataFolder.h"
#include "layout/Paths.h"

#include <winternl.h>

#include <string>
#include <vector>

namespace {

constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD LongPathLimit = 32768;
constexpr DWORD FolderAccess = READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_TRAVERSE;
constexpr DWORD ProgramAccess = READ_CONTROL | FILE_READ_ATTRIBUTES;
// What lets someone rename or replace a folder on the way, or what it holds: adding to it
// is harmless there (every user may make folders in C:\).
constexpr ACCESS_MASK PathRights =
    DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD | GENERIC_ALL | MAXIMUM_ALLOWED;

std::vector<std::wstring> NamesBelowRoot(const std::wstring& path, size_t rootLength)
{
    std::vector<std::wstring> names(1);
    for (size_t at = rootLength; at < path.size(); ++at) {
        if (!IsPathSeparator(path[at]))
            names.back().push_back(path[at]);
        else if (!names.back().empty())
            names.emplace_back();
    }
    if (names.back().empty())
        names.pop_back();
    return names;
}

DWORD OpenVolumeRoot(const std::wstring& root, HANDLE& folder)
{
    folder = CreateFileW(root.c_str(), FolderAccess, ShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder != INVALID_HANDLE_VALUE)
        return 0;
    folder = nullptr;
    return GetLastError();
}

// The program's own folder: nothing may be added to it or changed in it by anyone else.
DWORD CheckProgramIn(HANDLE folder, const std::wstring& name, bool mayBeMissing)
{
    if (!OnlyAdministratorsCanChange(folder, true))
        return ERROR_ACCESS_DENIED;
    HANDLE program = nullptr;
    DWORD error = OpenRelative(folder, name, ProgramAccess, FILE_OPEN, 0, nullptr, program);
    if (error == ERROR_FILE_NOT_FOUND && mayBeMissing)
        return 0;
    if (error == 0 && !OnlyAdministratorsCanChange(program, false))
        error = ERROR_ACCESS_DENIED;
    CloseHandleAndForget(program);
    return error;
}

// Only a path that Win32 takes as it stands names the file this walk judges: a current
// drive or folder, dots, trailing blanks or a stream would make the service manager or
// the process creation resolve it to another one.
// Returns 0, ERROR_BAD_PATHNAME, or the error of a lookup that failed.
DWORD CheckPlainFullPath(const std::wstring& path, const std::vector<std::wstring>& names)
{
    std::wstring full(LongPathLimit, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), LongPathLimit, &full[0], nullptr);
    // A lookup that fails without an error must still refuse the path.
    if (length == 0)
        return GetLastError() != 0 ? GetLastError() : ERROR_BAD_PATHNAME;
    if (length >= LongPathLimit || full.compare(0, length, path) != 0 || length != path.size())
        return ERROR_BAD_PATHNAME;
    for (const std::wstring& name : names)
        if (name.find(L':') != std::wstring::npos)
            return ERROR_BAD_PATHNAME;
    return 0;
}

} // namespace

DWORD CheckProgramPath(const std::filesystem::path& program, bool mayBeMissing)
{
    const std::wstring path = program.wstring();
    const size_t rootLength = VolumeRootLength(path);
    const std::vector<std::wstring> names = NamesBelowRoot(path, rootLength);
    if (rootLength == 0 || names.empty())
        return ERROR_BAD_PATHNAME;
    DWORD error = CheckPlainFullPath(path, names);
    if (error != 0)
        return error;
    HANDLE folder = nullptr;
    error = OpenVolumeRoot(path.substr(0, rootLength), folder);
    for (size_t index = 0; error == 0 && index + 1 < names.size(); ++index) {
        HANDLE next = nullptr;
        if (!OnlyAdministratorsHold(folder, true, PathRights))
            error = ERROR_ACCESS_DENIED;
        else
            error = OpenRelative(folder, names[index], FolderAccess, FILE_OPEN, FILE_DIRECTORY_FILE, nullptr,
                                 next);
        CloseHandleAndForget(folder);
        folder = next;
    }
    if (error == 0)
        error = CheckProgramIn(folder, names.back(), mayBeMissing);
    CloseHandleAndForget(folder);
    return error;
}
