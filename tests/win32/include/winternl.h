#pragma once

#include <windows.h>

#define NTAPI
typedef LONG NTSTATUS;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_CASE_INSENSITIVE 0x00000040L
#define InitializeObjectAttributes(p, n, a, r, s)                                                            \
    {                                                                                                        \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                                             \
        (p)->RootDirectory = r;                                                                              \
        (p)->Attributes = a;                                                                                 \
        (p)->ObjectName = n;                                                                                 \
        (p)->SecurityDescriptor = s;                                                                         \
        (p)->SecurityQualityOfService = NULL;                                                                \
    }
#ifndef NULL
#define NULL nullptr
#endif

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_COMPLETE_IF_OPLOCKED 0x00000100
#define FILE_OPEN_REPARSE_POINT 0x00200000
#define FILE_OPENED 0x00000001
#define FILE_CREATED 0x00000002

typedef enum _FILE_INFORMATION_CLASS { FileDirectoryInformation = 1 } FILE_INFORMATION_CLASS;

extern "C" {
NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                            ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
NTSTATUS NTAPI NtSetInformationFile(HANDLE hFile, PIO_STATUS_BLOCK io, PVOID ptr, ULONG len,
                                    FILE_INFORMATION_CLASS FileInformationClass);
ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status);
}
