#include "layout/Paths.h"

#include "layout/DataFolder.h"

#include <windows.h>

namespace {

constexpr DWORD LongPathLimit = 32768;

bool IsDriveDesignator(const std::wstring& text, size_t at)
{
    if (at + 1 >= text.size() || text[at + 1] != L':')
        return false;
    wchar_t letter = text[at];
    return (letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z');
}

size_t SkipSeparators(const std::wstring& text, size_t at)
{
    while (at < text.size() && IsPathSeparator(text[at]))
        ++at;
    return at;
}

size_t SkipName(const std::wstring& text, size_t at)
{
    while (at < text.size() && !IsPathSeparator(text[at]))
        ++at;
    return at;
}

// Length of the part of the path that must never be created on its own: a drive
// designator, a server after two separators, or a device prefix (with its drive),
// each together with the separators that follow it.
size_t RootLength(const std::wstring& text)
{
    size_t at = 0;
    if (IsDriveDesignator(text, 0)) {
        at = 2;
    } else if (text.size() >= 4 && IsPathSeparator(text[0]) && IsPathSeparator(text[1])
               && (text[2] == L'?' || text[2] == L'.') && IsPathSeparator(text[3])) {
        at = 4;
        if (IsDriveDesignator(text, at))
            at += 2;
    } else if (text.size() >= 3 && IsPathSeparator(text[0]) && IsPathSeparator(text[1])
               && !IsPathSeparator(text[2])) {
        at = SkipName(text, 2);
    }
    return SkipSeparators(text, at);
}

} // namespace

bool IsPathSeparator(wchar_t character)
{
    return character == L'\\' || character == L'/';
}

size_t VolumeRootLength(const std::wstring& path)
{
    const size_t length = RootLength(path);
    return length != 0 && IsPathSeparator(path[length - 1]) ? length : 0;
}

// Creates the folder and every missing ancestor from the top down, each with the
// security it inherits. Unlike the standard recursive creation, a failing level does
// not stop the levels below it: the folder may still be creatable through a path the
// status query cannot see.
void CreateFolderTree(const std::filesystem::path& folder)
{
    const std::wstring text = folder.wstring();
    size_t end = RootLength(text);
    while (end < text.size()) {
        end = SkipName(text, end);
        CreateDirectoryW(text.substr(0, end).c_str(), nullptr);
        end = SkipSeparators(text, end);
    }
}

std::filesystem::path GetDataRoot()
{
    std::wstring buffer(LongPathLimit, L'\0');
    DWORD length = GetEnvironmentVariableW(L"PROGRAMDATA", &buffer[0], LongPathLimit);
    if (length == 0 || length >= LongPathLimit)
        return std::filesystem::path(L"C:\\ProgramData");
    buffer.resize(length);
    return std::filesystem::path(buffer);
}

std::filesystem::path GetModuleDirectory()
{
    std::wstring buffer(LongPathLimit, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, &buffer[0], LongPathLimit);
    // A count of the buffer's size means the name was cut short.
    if (length == 0 || length >= LongPathLimit)
        return std::filesystem::path();
    buffer.resize(length);
    return std::filesystem::path(buffer).parent_path();
}

std::filesystem::path GetConfigPath()
{
    std::filesystem::path dataRoot = GetDataRoot();
    // Never through a link at the folder's name: see the data folder's module.
    CreateDataFolder(dataRoot);
    return dataRoot / DataFolderName / ConfigurationFileName;
}

std::wstring QuoteArgument(const std::filesystem::path& path)
{
    return L"\"" + path.wstring() + L"\"";
}
