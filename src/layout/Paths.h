#pragma once

#include <filesystem>
#include <string>

#include <windows.h>

const wchar_t DataFolderName[] = L"Orvella";
// The data folder's protected list, and the security the installation gives the
// folders and files below it, as security descriptor strings.
extern const wchar_t DataFolderDacl[];
extern const wchar_t InheritedFolderSecurity[];
extern const wchar_t InheritedFileSecurity[];

std::filesystem::path GetModuleDirectory();
std::filesystem::path GetConfigPath();
std::wstring QuoteArgument(const std::filesystem::path& path);

// PROGRAMDATA, or C:\ProgramData when it cannot be had; nothing is created.
std::filesystem::path GetDataRoot();

// Creates what is missing of the data root and then the data folder in it, the latter
// with its protected DACL. True only when this call created the data folder.
bool CreateDataFolder(const std::filesystem::path& dataRoot);

// Makes the data folder one that only SYSTEM and administrators can change, before the
// service starts: an untrusted folder is moved aside whole, untrusted entries in a
// trusted one are renamed, the rest gets the folder's security. Nothing is deleted and
// no link is followed. Returns 0 or the Windows error of the step that failed.
DWORD SecureDataFolder();
