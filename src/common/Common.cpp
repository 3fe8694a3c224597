#include "common/Common.h"

const wchar_t ServiceName[] = L"OrvellaService";
const wchar_t ServiceDisplayName[] = L"Orvella Service";
const wchar_t ServiceDescription[] =
    L"\u0417\u0430\u043f\u0443\u0441\u043a\u0430\u0435\u0442 \u0432\u0438\u0434\u0438\u043c\u044b\u0439 "
    L"\u0430\u0433\u0435\u043d\u0442 Orvella \u0432 \u0430\u043a\u0442\u0438\u0432\u043d\u043e\u0439 "
    L"\u043f\u043e\u043b\u044c\u0437\u043e\u0432\u0430\u0442\u0435\u043b\u044c\u0441\u043a\u043e\u0439 "
    L"\u0441\u0435\u0441\u0441\u0438\u0438";

std::atomic<HANDLE> StopEvent{nullptr};
std::atomic<SERVICE_STATUS_HANDLE> ServiceStatusHandle{nullptr};

void CloseHandleAndForget(HANDLE& handle)
{
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    handle = nullptr;
}

void CloseServiceHandleAndForget(SC_HANDLE& handle)
{
    if (handle != nullptr)
        CloseServiceHandle(handle);
    handle = nullptr;
}
