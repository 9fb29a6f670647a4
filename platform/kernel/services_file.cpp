// The file system services: the door through which user mode opens devices and
// sends them reads, writes, device-control requests and flushes. NtClose (any handle) is the
// object manager's; closing a file's handle reaches the I/O manager through the file
// object type.
#include "io_manager.h"
#include "machine.h"
#include "ntservices.h"
#include "ustring.h"

extern "C" {

NTSTATUS NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, PCUNICODE_STRING ObjectName,
                      PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG CreateOptions) {
    MachineCurrent();
    if (!FileHandle || !ObjectName)
        return STATUS_INVALID_PARAMETER;
    return IoOpenFile(UnicodeView(ObjectName), DesiredAccess, ShareAccess,
                      (CreateOptions & FILE_SYNCHRONOUS_IO_NONALERT) != 0, FileHandle,
                      IoStatusBlock);
}

NTSTATUS NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                    ULONG Length) {
    MachineCurrent();
    return IoSubmitFileRequest(FileHandle, {IRP_MJ_READ, 0, nullptr, 0, Buffer, Length, Event,
                                            IoStatusBlock});
}

NTSTATUS NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_STATUS_BLOCK IoStatusBlock,
                     const void *Buffer, ULONG Length) {
    MachineCurrent();
    return IoSubmitFileRequest(FileHandle, {IRP_MJ_WRITE, 0, Buffer, Length, nullptr, 0, Event,
                                            IoStatusBlock});
}

NTSTATUS NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_STATUS_BLOCK IoStatusBlock,
                               ULONG IoControlCode, const void *InputBuffer,
                               ULONG InputBufferLength, PVOID OutputBuffer,
                               ULONG OutputBufferLength) {
    MachineCurrent();
    return IoSubmitFileRequest(FileHandle,
                               {IRP_MJ_DEVICE_CONTROL, IoControlCode, InputBuffer,
                                InputBufferLength, OutputBuffer, OutputBufferLength, Event,
                                IoStatusBlock});
}

NTSTATUS NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                PVOID FileInformation, ULONG Length, ULONG FileInformationClass) {
    MachineCurrent();
    if (FileInformationClass != FileModeInformation)
        return STATUS_INVALID_INFO_CLASS;
    if (Length < sizeof(FILE_MODE_INFORMATION))
        return STATUS_INFO_LENGTH_MISMATCH;
    bool synchronous = false;
    NTSTATUS status = IoQueryFileMode(FileHandle, &synchronous);
    if (NT_SUCCESS(status)) {
        static_cast<PFILE_MODE_INFORMATION>(FileInformation)->Mode =
            synchronous ? FILE_SYNCHRONOUS_IO_NONALERT : 0;
        if (IoStatusBlock)
            *IoStatusBlock = {{status}, sizeof(FILE_MODE_INFORMATION)};
    }
    return status;
}

NTSTATUS NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock) {
    MachineCurrent();
    // A private event tells of this request alone; the file's own event is set by
    // every request on it.
    HANDLE finished = nullptr;
    NTSTATUS status = NtCreateEvent(&finished, nullptr, TRUE, FALSE);
    if (!NT_SUCCESS(status))
        return status;
    IO_STATUS_BLOCK local = {};
    PIO_STATUS_BLOCK ioStatus = IoStatusBlock ? IoStatusBlock : &local;
    status = IoSubmitFileRequest(FileHandle, {IRP_MJ_FLUSH_BUFFERS, 0, nullptr, 0, nullptr, 0,
                                              finished, ioStatus});
    if (status == STATUS_PENDING) {
        NtWaitForSingleObject(finished, FALSE, nullptr);
        status = __atomic_load_n(&ioStatus->Status, __ATOMIC_ACQUIRE);
    }
    NtClose(finished);
    return status;
}

NTSTATUS NtCancelIoFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock) {
    MachineCurrent();
    return IoCancelFileRequests(FileHandle, IoStatusBlock);
}

}  // extern "C"
