#pragma once

#include <windows.h>

#define SDDL_REVISION_1 1

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR StringSecurityDescriptor,
                                                                 DWORD StringSDRevision,
                                                                 PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                                 ULONG* SecurityDescriptorSize);

BOOL WINAPI ConvertSidToStringSidW(PSID Sid, LPWSTR* StringSid);
