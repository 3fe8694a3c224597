#include "scm/Scm.h"

DWORD QueryProcessStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status)
{
    status = {};
    DWORD bytesNeeded = 0;
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                             sizeof(status), &bytesNeeded))
        return 0;
    return GetLastError();
}
