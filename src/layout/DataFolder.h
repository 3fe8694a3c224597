#pragma once

// The data folder holds what the LocalSystem agent reads, in a place where every user may
// create folders (ProgramData). Nothing there is trusted by its name: the folder is
// reached relative to an open handle of the data root, never through a link at its name,
// and judged by what its handle shows, where it is made safe and again where it is used.

#include <windows.h>

#include <filesystem>
#include <string>

// The protected list a new data folder gets: SYSTEM and the administrators have it all and
// nobody else may even open it, so no user can hold, lock or oplock anything in it.
// Everything below inherits it.
extern const wchar_t DataFolderSecurity[];
// What the installation stores on the folders and files below it: the same list, inherited.
extern const wchar_t InheritedFolderSecurity[];
extern const wchar_t InheritedFileSecurity[];

// Opens the data folder in the open data root, creating it with its protected list when
// nothing stands at its name. A link at the name is opened as itself; a file there fails
// with ERROR_DIRECTORY. `created` tells whether this call made it.
DWORD OpenDataFolder(HANDLE dataRoot, DWORD access, HANDLE& folder, bool& created);

// True only when the object is a folder (or a file, as `folder` says), not a reparse point,
// owned by a trusted principal, and has a list in which no entry that applies to the object
// grants anyone else a right to change it. Trusted are SYSTEM, the administrators,
// TrustedInstaller and whoever owns the system folder: the account the code runs as, never
// the user who runs the check.
bool OnlyAdministratorsCanChange(HANDLE object, bool folder);

// Creates what is missing of the data root and the data folder; reports nothing.
void CreateDataFolder(const std::filesystem::path& dataRoot);

// Opens (or makes) the data folder and applies the test above to it and, when it is there,
// to the configuration file in it: what the agent is handed and what it reads.
bool DataFolderIsSafe(const std::filesystem::path& dataRoot);

// Makes the data folder one that only SYSTEM and the administrators can change, before
// the service is registered: a folder someone else could change is moved aside whole and
// a fresh protected one is renamed onto the name (its configuration file comes along when
// nobody else could change that), untrusted entries in a trusted one go to a protected
// folder beside it, the rest gets the folder's security. Nothing is deleted, no link is
// followed, and nothing a user holds makes it wait past its deadline. Returns 0, the
// Windows error of the step that failed, or ERROR_TIMEOUT past the deadline.
DWORD SecureDataFolder();

// ---- Shared by the module's files ---------------------------------------------------------

// Every right that changes an object or what a folder holds.
constexpr ACCESS_MASK ChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD
    | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL
    | MAXIMUM_ALLOWED;

// Any right at all: what an object nobody else may even open must not grant.
constexpr ACCESS_MASK AnyRight = ~ACCESS_MASK{0};

// The test above for a chosen set of rights.
bool OnlyAdministratorsHold(HANDLE object, bool folder, ACCESS_MASK rights);

// True when a trusted principal, as above, owns the object.
bool OwnedByTrustedPrincipal(HANDLE object);

// NtCreateFile relative to `root`, the name as given, a link opened as itself, every kind
// of sharing allowed, never waiting on an oplock. An empty name opens `root` itself again
// with other rights.
DWORD OpenRelative(HANDLE root, const std::wstring& name, DWORD access, ULONG disposition, ULONG options,
                   PSECURITY_DESCRIPTOR descriptor, HANDLE& opened, bool* created = nullptr);

// The data root, where only administrators decide what its name leads to.
DWORD OpenDataRoot(const std::filesystem::path& dataRoot, HANDLE& root);

// The SID's string form, or empty when it cannot be had.
std::wstring SidText(PSID sid);

// A folder (or a file, as `folder` says) that is not a reparse point.
bool IsPlainObject(HANDLE object, bool folder);
