#pragma once

// The data folder holds what the LocalSystem agent reads, in a place where every user may
// create folders (ProgramData). Nothing there is trusted by its name: the folder is
// reached relative to an open handle of the data root, never through a link at its name,
// and judged by what its handle shows, where it is made safe and again where it is used.

#include <windows.h>

#include <filesystem>
#include <string>

// The protected list a new data folder gets: SYSTEM and the administrators may change it,
// users and its owner may read it. Everything below inherits it.
extern const wchar_t DataFolderSecurity[];
// What the installation stores on the folders and files below it: the same list, inherited.
extern const wchar_t InheritedFolderSecurity[];
extern const wchar_t InheritedFileSecurity[];

// Opens the data folder in the open data root, creating it with its protected list when
// nothing stands at its name. A link at the name is opened as itself; a file there fails
// with ERROR_DIRECTORY. `created` tells whether this call made it.
DWORD OpenDataFolder(HANDLE dataRoot, DWORD access, HANDLE& folder, bool& created);

// True only when the object is a folder (or a file, as `folder` says), not a reparse point,
// owned by SYSTEM, the administrators or this process's user, and has a list in which no
// entry that applies to the object grants anyone else a right to change it.
bool OnlyAdministratorsCanChange(HANDLE object, bool folder);

// Creates what is missing of the data root and the data folder; reports nothing.
void CreateDataFolder(const std::filesystem::path& dataRoot);

// Opens (or makes) the data folder and applies the test above to it and, when it is there,
// to the configuration file in it: what the agent is handed and what it reads.
bool DataFolderIsSafe(const std::filesystem::path& dataRoot);

// Makes the data folder one that only SYSTEM and the administrators can change, before
// the service is registered: a folder someone else could change is moved aside whole
// (its configuration file comes along into a fresh one when nobody else could change
// that), untrusted entries in a trusted one go to a protected folder beside it, the rest
// gets the folder's security. Nothing is deleted and no link is followed. Returns 0 or
// the Windows error of the step that failed.
DWORD SecureDataFolder();

// ---- Shared by the module's two files -----------------------------------------------------

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

bool OwnedBySystemOrAdministrators(HANDLE object);
