#pragma once

#include <filesystem>
#include <string>

#include <windows.h>

const wchar_t DataFolderName[] = L"Orvella";
// The agent's configuration, in the data folder.
const wchar_t ConfigurationFileName[] = L"device.json";

std::filesystem::path GetModuleDirectory();
std::filesystem::path GetConfigPath();
std::wstring QuoteArgument(const std::filesystem::path& path);

// PROGRAMDATA, or C:\ProgramData when it cannot be had; nothing is created.
std::filesystem::path GetDataRoot();

// Creates every missing level of the folder below its root, reporting nothing.
void CreateFolderTree(const std::filesystem::path& folder);
