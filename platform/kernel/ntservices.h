// The system services: the only door from the emulated user mode (platform/user)
// into the emulated kernel, in the manner of ntdll's Nt* calls. Every call acts
// for the calling thread's current process and boots the embedded machine first
// if the process has none.
#pragma once

#include <ntdef.h>

// CreateOptions of NtCreateFile.
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020

EXTERN_C_START

// Opens the device that an NT path names ("\??\COM1", "\Device\KeluControl"),
// following symbolic links, and sends IRP_MJ_CREATE. With
// FILE_SYNCHRONOUS_IO_NONALERT every later I/O on the handle waits for completion;
// without it I/O is overlapped.
NTSTATUS NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, PCUNICODE_STRING ObjectName,
                      PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG CreateOptions);

// Read, write and device control. On a synchronous handle they return the final
// status and fill IoStatusBlock. On an overlapped handle they return STATUS_PENDING
// when the driver pended the request; IoStatusBlock is written and Event (optional)
// signalled when it completes.
NTSTATUS NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                    ULONG Length);
NTSTATUS NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_STATUS_BLOCK IoStatusBlock,
                     const void *Buffer, ULONG Length);
NTSTATUS NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_STATUS_BLOCK IoStatusBlock,
                               ULONG IoControlCode, const void *InputBuffer,
                               ULONG InputBufferLength, PVOID OutputBuffer,
                               ULONG OutputBufferLength);

// FileModeInformation (the one class of NtQueryInformationFile served here): the
// handle's I/O mode, FILE_SYNCHRONOUS_IO_NONALERT for a synchronous handle, else 0.
#define FileModeInformation 16
typedef struct _FILE_MODE_INFORMATION {
    ULONG Mode;
} FILE_MODE_INFORMATION, *PFILE_MODE_INFORMATION;
NTSTATUS NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                PVOID FileInformation, ULONG Length, ULONG FileInformationClass);

// Sends IRP_MJ_FLUSH_BUFFERS and waits for it to complete, on an overlapped handle too;
// STATUS_ACCESS_DENIED for a handle opened without write access.
NTSTATUS NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);

// Cancels the requests that the calling thread issued on the file and that are still pending.
NTSTATUS NtCancelIoFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);

// Closes any handle of the process (file, event). The last handle of a file sends
// IRP_MJ_CLEANUP, its last reference IRP_MJ_CLOSE.
NTSTATUS NtClose(HANDLE Handle);

// Events. A named event lives under \BaseNamedObjects; Name is the bare name.
NTSTATUS NtCreateEvent(PHANDLE EventHandle, PCUNICODE_STRING Name, BOOLEAN NotificationEvent,
                       BOOLEAN InitialState);
NTSTATUS NtOpenEvent(PHANDLE EventHandle, PCUNICODE_STRING Name);
NTSTATUS NtSetEvent(HANDLE EventHandle, PLONG PreviousState);
NTSTATUS NtResetEvent(HANDLE EventHandle, PLONG PreviousState);

// Waits on an event or a file handle; Timeout in 100 ns units, negative = relative,
// null = forever. Returns STATUS_SUCCESS or STATUS_TIMEOUT. Runs on the machine's clock.
NTSTATUS NtWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);
// Waits on 1 to 64 handles: wait-any returns STATUS_WAIT_0 + the lowest index
// signalled, wait-all STATUS_WAIT_0 once all are signalled at once; STATUS_TIMEOUT.
// A bad count: STATUS_INVALID_PARAMETER; one object twice in a wait-all:
// STATUS_INVALID_PARAMETER_MIX; a handle that cannot be waited on fails as in
// NtWaitForSingleObject, before anything is waited on or consumed.
NTSTATUS NtWaitForMultipleObjects(ULONG Count, const HANDLE *Handles, BOOLEAN WaitAll,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS NtDelayExecution(BOOLEAN Alertable, PLARGE_INTEGER Interval);

// The machine's clock as a performance counter: 100 ns ticks since boot, at a
// frequency of 10 MHz. Frequency may be null.
NTSTATUS NtQueryPerformanceCounter(PLARGE_INTEGER PerformanceCounter,
                                   PLARGE_INTEGER PerformanceFrequency);

EXTERN_C_END
