#include "scm/Scm.h"

#include "common/Common.h"

#include <filesystem>
#include <fstream>

namespace {

constexpr ULONGLONG FileFreeDeadlineMs = 30000;

bool WriteStateFile(const std::wstring& statePath, bool wasRunning)
{
    std::ofstream state(std::filesystem::path(statePath), std::ios::out | std::ios::trunc);
    if (!state.is_open())
        return false;
    // A word that did not reach the file is as useless to the updater as no file:
    // a failed write or close is reported like a failed open.
    state << (wasRunning ? "running" : "stopped");
    state.close();
    return !state.fail();
}

// The file is free once it opens for writing and deletion; it is closed at once.
DWORD WaitUntilFileIsFree(const std::wstring& targetPath)
{
    ULONGLONG deadline = GetTickCount64() + FileFreeDeadlineMs;
    for (;;) {
        HANDLE file = CreateFileW(targetPath.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandleAndForget(file);
            return 0;
        }
        DWORD error = GetLastError();
        // Nothing there means nothing to replace.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return 0;
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)
            return error;
        if (GetTickCount64() >= deadline)
            return error;
        Sleep(PollIntervalMs);
    }
}

} // namespace

DWORD PrepareUpdate(const std::wstring& targetPath, const std::wstring& statePath)
{
    bool wasRunning = false;
    DWORD stopped = StopServiceAndWait(wasRunning);
    if (!WriteStateFile(statePath, wasRunning))
        return ERROR_WRITE_FAULT;
    if (stopped != 0)
        return stopped;
    return WaitUntilFileIsFree(targetPath);
}
