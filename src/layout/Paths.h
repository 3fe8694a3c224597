#pragma once

#include <filesystem>
#include <string>

#include <windows.h>

const wchar_t DataFolderName[] = L"Orvella";
// The agent, in the executable's own folder.
const wchar_t AgentFileName[] = L"Kestrune.exe";
// The agent's configuration, in the data folder.
const wchar_t ConfigurationFileName[] = L"device.json";

std::filesystem::path GetModuleDirectory();
std::filesystem::path GetConfigPath();
std::wstring QuoteArgument(const std::filesystem::path& path);

// PROGRAMDATA, or C:\ProgramData when it cannot be had; nothing is created.
std::filesystem::path GetDataRoot();

bool IsPathSeparator(wchar_t character);
// Length of the root a path starts from, separators included (C:\, \\?\C:\, \\server\, or a
// lone \ for the current drive's root); 0 when it starts from a current folder (Kestrune.exe,
// C:Kestrune.exe).
size_t VolumeRootLength(const std::wstring& path);

// Creates every missing level of the folder below its root, reporting nothing.
void CreateFolderTree(const std::filesystem::path& folder);
