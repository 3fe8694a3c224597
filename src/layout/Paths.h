#pragma once

#include <filesystem>
#include <string>

std::filesystem::path GetModuleDirectory();
std::filesystem::path GetConfigPath();
std::wstring QuoteArgument(const std::filesystem::path& path);
