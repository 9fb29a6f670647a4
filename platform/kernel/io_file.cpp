// File objects and the requests made on them: open (IRP_MJ_CREATE), read, write,
// device control with buffered I/O and flush, cancellation by the issuing thread, and the
// IRP_MJ_CLEANUP / IRP_MJ_CLOSE pair at the last handle and the last reference.
#include "block_cache.h"
#include "io_manager.h"
#include "ke.h"
#include "spin_flag.h"
#include "ustring.h"
#include "verifier.h"

#include <condition_variable>
#include <cstring>

#ifndef STATUS_ACCESS_VIOLATION
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#endif

namespace {

struct FileRecord {
    SpinFlag lock;
    std::condition_variable_any requestFinished;
    unsigned waiters = 0;     // threads waiting for requestFinished
    // Requests made through handles and not finished, linked through their
    // ThreadListEntry; a finished one is left self-linked.
    LIST_ENTRY pending;
    // Completed requests whose result is not yet visible to the caller, linked through
    // their PendingRequest's completingEntry.
    LIST_ENTRY completing;

    FileRecord() {
        InitializeListHead(&pending);
        InitializeListHead(&completing);
    }

    // Waits on requestFinished (lock held through `guard`) until `done` holds;
    // completions signal only while someone waits.
    template <typename Done>
    void waitUntil(std::unique_lock<SpinFlag> &guard, Done done) {
        waiters++;
        requestFinished.wait(guard, done);
        waiters--;
    }
    std::u16string fileName;
    bool opened = false;      // IRP_MJ_CREATE succeeded: cleanup and close are owed
};

struct FileBody {
    FILE_OBJECT file;
    FileRecord *record;
};

FileRecord *RecordOf(PFILE_OBJECT file) {
    return reinterpret_cast<FileBody *>(file)->record;
}

// The device a file was opened on goes to IRP_MJ_CREATE, cleanup and close at the top
// of its stack, as every request on the file does.
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major, const IO_SECURITY_CONTEXT *security,
                         ULONG options, ULONG shareAccess, ULONG_PTR *information) {
    return IoSendSynchronousRequest(
        file->DeviceObject,
        [&](PIRP irp, PIO_STACK_LOCATION stack) {
            irp->RequestorMode = UserMode;
            irp->Tail.Overlay.OriginalFileObject = file;
            stack->MajorFunction = major;
            stack->FileObject = file;
            if (major == IRP_MJ_CREATE) {
                stack->Parameters.Create.SecurityContext =
                    const_cast<PIO_SECURITY_CONTEXT>(security);
                stack->Parameters.Create.Options = options;
                stack->Parameters.Create.ShareAccess = (USHORT)shareAccess;
            }
        },
        information);
}

void FileLastHandleClosed(void *object, Process *) {
    auto *file = static_cast<PFILE_OBJECT>(object);
    if (RecordOf(file)->opened && !IoIsStopping())
        SendFileRequest(file, IRP_MJ_CLEANUP, nullptr, 0, 0, nullptr);
}

void ReleaseOpenCount(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(IoLock());
    device->ReferenceCount--;
}

void FileDeleted(void *object) {
    auto *file = static_cast<PFILE_OBJECT>(object);
    FileRecord *record = RecordOf(file);
    if (record->opened && !IoIsStopping())
        SendFileRequest(file, IRP_MJ_CLOSE, nullptr, 0, 0, nullptr);
    {
        // A completion that gave back its reference may still be signalling the file.
        std::unique_lock<SpinFlag> guard(record->lock);
        record->waitUntil(guard, [&] { return IsListEmpty(&record->completing); });
    }
    if (file->DeviceObject) {
        ReleaseOpenCount(file->DeviceObject);
        ObfDereferenceObject(file->DeviceObject);
    }
    delete record;
}

PDISPATCHER_HEADER FileWaitHeader(void *object) {
    return &static_cast<PFILE_OBJECT>(object)->Event.Header;
}

// Finds the device that `path` names; what follows the device's own name (a path
// below the device) is returned in `remainder`.
NTSTATUS LookupDevice(std::u16string_view path, PDEVICE_OBJECT *device,
                      std::u16string *remainder) {
    void *object = nullptr;
    NTSTATUS status = ObLookupObject(path, &object, remainder);
    if (!NT_SUCCESS(status))
        return status;
    if (ObGetObjectType(object) != &IoDeviceObjectType) {
        ObfDereferenceObject(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *device = static_cast<PDEVICE_OBJECT>(object);
    return STATUS_SUCCESS;
}

// Reserves an open of `device`: an exclusive device admits one file at a time, and a
// deleted or initializing device none.
NTSTATUS ReserveOpen(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(IoLock());
    if (device->DeviceObjectExtension->deletePending || (device->Flags & DO_DEVICE_INITIALIZING))
        return STATUS_NO_SUCH_DEVICE;
    if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount > 0)
        return STATUS_ACCESS_DENIED;
    device->ReferenceCount++;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Read, write and device control.

// Records and system buffers of finished requests, for the next ones.
BlockCache g_recordMemory(64);
BlockCache g_systemBufferMemory(16);

// One request in flight, shared by the submitting thread and the completion; the last
// of the two to be done with it frees it. Its reference to the file is given back by the
// completion on an overlapped file, before the completion can be seen, and by the
// submitter on a synchronous file, once its wait has ended.
struct PendingRequest {
    static void *operator new(size_t size) {
        void *memory = g_recordMemory.take(size);
        if (memory == nullptr)
            throw std::bad_alloc();
        return memory;
    }
    static void operator delete(void *memory) { g_recordMemory.give(memory); }

    std::atomic<int> references{2};
    PFILE_OBJECT file = nullptr;
    PKEVENT userEvent = nullptr;  // referenced event object, or null
    bool synchronous = false;
    // On a synchronous file the submitter and the completion meet here; whichever comes
    // second sees the other's mark. A submitter that finds the request finished (the
    // driver completed it in its dispatch routine) goes on without a wait, and a
    // completion that finds nobody waiting signals nothing.
    enum Meeting { kRunning, kFinished, kSubmitterWaits };
    std::atomic<int> meeting{kRunning};
    KEVENT done = {};             // signalled for a submitter that waits
    PVOID userOutput = nullptr;
    ULONG outputLength = 0;
    bool copyOut = false;         // buffered output goes back to userOutput
    PIO_STATUS_BLOCK ioStatus = nullptr;
    IO_STATUS_BLOCK finalStatus = {};
    PIRP irp = nullptr;
    LIST_ENTRY completingEntry = {};  // in the file record's completing list
};

void DropRequestReference(PendingRequest *request) {
    if (request->references.fetch_sub(1) != 1)
        return;
    if (request->userEvent)
        ObfDereferenceObject(request->userEvent);
    delete request;
}

// The completion's reference to the file. Windows completes in the requesting thread,
// so by the time a wait for the request returns the request holds nothing, and a close
// right after it closes the file at once. The completing thread here is often inside the
// driver (holding its locks), so when this is the last reference (every handle was
// closed before the request completed) IRP_MJ_CLOSE is left to a worker.
void ReleaseFileFromCompletion(PFILE_OBJECT file) {
    if (!ObDereferenceObjectUnlessLast(file))
        IoPostToWorker([file] { ObfDereferenceObject(file); });
}

void PublishStatus(PendingRequest *request) {
    if (request->ioStatus) {
        // An application may poll the status block without waiting (GetOverlappedResult
        // with bWait FALSE): the count goes in first, the status last with release order.
        request->ioStatus->Information = request->finalStatus.Information;
        __atomic_store_n(&request->ioStatus->Status, request->finalStatus.Status, __ATOMIC_RELEASE);
    }
}

void FinishFileRequest(PIRP irp, void *context) {
    auto *request = static_cast<PendingRequest *>(context);
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    // Output comes back on success and on a warning (STATUS_BUFFER_OVERFLOW), as the
    // caller sees the bytes of both.
    if (request->copyOut && (ULONG)status < 0xC0000000u && information) {
        if (information > request->outputLength)
            VerifierStop("INFORMATION_EXCEEDS_BUFFER", nullptr,
                         "request %p completed with Information %lu for a %lu-byte buffer",
                         (void *)irp, (unsigned long)information,
                         (unsigned long)request->outputLength);
        memcpy(request->userOutput, irp->AssociatedIrp.SystemBuffer, information);
    }
    request->finalStatus = irp->IoStatus;
    PFILE_OBJECT file = request->file;
    FileRecord *record = RecordOf(file);
    {
        // Off the pending list before the IRP is released, so that NtCancelIoFile never
        // pins a released IRP; on the completing list until the caller can see the result,
        // so that NtCancelIoFile returns only then and the file's record outlives the
        // events. (An IRP that NtCancelIoFile pinned is not reused meanwhile.)
        std::lock_guard<SpinFlag> guard(record->lock);
        RemoveEntryList(&irp->ThreadListEntry);
        InitializeListHead(&irp->ThreadListEntry);
        InsertTailList(&record->completing, &request->completingEntry);
    }
    g_systemBufferMemory.give(irp->AssociatedIrp.SystemBuffer);
    IoReleaseIrp(irp);
    if (request->synchronous) {
        // The submitter holds the file and releases it once it sees the completion.
        PublishStatus(request);
        if (request->meeting.exchange(PendingRequest::kFinished, std::memory_order_acq_rel) ==
            PendingRequest::kSubmitterWaits)
            KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
    } else {
        ReleaseFileFromCompletion(file);
        PublishStatus(request);
        KeSetEvent(&file->Event, IO_NO_INCREMENT, FALSE);
        if (request->userEvent)
            KeSetEvent(request->userEvent, IO_NO_INCREMENT, FALSE);
    }
    {
        std::lock_guard<SpinFlag> guard(record->lock);
        RemoveEntryList(&request->completingEntry);
        if (record->waiters != 0)
            record->requestFinished.notify_all();
    }
    DropRequestReference(request);
}

}  // namespace

ObjectType IoFileObjectType = {"File", FileLastHandleClosed, FileDeleted, FileWaitHeader};

NTSTATUS IoOpenFile(std::u16string_view path, ACCESS_MASK access, ULONG shareAccess,
                    bool synchronous, HANDLE *handle, PIO_STATUS_BLOCK ioStatus) {
    KeCheckIrql(PASSIVE_LEVEL, "NtCreateFile", __builtin_return_address(0));
    PDEVICE_OBJECT device = nullptr;
    std::u16string remainder;
    NTSTATUS status = LookupDevice(path, &device, &remainder);
    if (NT_SUCCESS(status)) {
        status = ReserveOpen(device);
        if (!NT_SUCCESS(status))
            ObfDereferenceObject(device);
    }
    if (!NT_SUCCESS(status)) {
        if (ioStatus)
            *ioStatus = {{status}, 0};
        return status;
    }

    auto *body = static_cast<FileBody *>(ObCreateObject(&IoFileObjectType, sizeof(FileBody)));
    body->record = new FileRecord;
    body->record->fileName = remainder;
    PFILE_OBJECT file = &body->file;
    file->Type = 5;
    file->Size = (CSHORT)sizeof(FILE_OBJECT);
    file->DeviceObject = device;  // the file's reference to the device
    file->Flags = synchronous ? FO_SYNCHRONOUS_IO : 0;
    file->ReadAccess = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
    file->WriteAccess = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    file->FileName.Buffer = reinterpret_cast<PWSTR>(body->record->fileName.data());
    file->FileName.Length = (USHORT)(remainder.size() * 2);
    file->FileName.MaximumLength = file->FileName.Length;
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);

    IO_SECURITY_CONTEXT security = {};
    security.DesiredAccess = access;
    const ULONG kFileOpen = 1;
    ULONG options = (kFileOpen << 24) | (synchronous ? 0x20 : 0);
    ULONG_PTR information = 0;
    status = SendFileRequest(file, IRP_MJ_CREATE, &security, options, shareAccess, &information);
    if (NT_SUCCESS(status)) {
        body->record->opened = true;
        status = ObCreateHandle(PsCurrentProcess(), file, handle);
    }
    // On failure the last reference goes here; a file whose create failed gets no
    // cleanup and no close.
    ObfDereferenceObject(file);
    if (ioStatus)
        *ioStatus = {{status}, information};
    return status;
}

NTSTATUS IoSubmitFileRequest(HANDLE fileHandle, const IoFileRequest &request) {
    const void *caller = __builtin_return_address(0);
    KeCheckIrql(PASSIVE_LEVEL, "NtReadFile/NtWriteFile/NtDeviceIoControlFile", caller);
    // A length without a buffer is refused before any driver sees it, as the probe of
    // the caller's buffer fails on Windows.
    if ((request.inputLength && !request.input) || (request.outputLength && !request.output))
        return STATUS_ACCESS_VIOLATION;
    Process *process = PsCurrentProcess();
    void *object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandleIn(process, fileHandle, &IoFileObjectType, &object);
    if (!NT_SUCCESS(status))
        return status;
    auto *file = static_cast<PFILE_OBJECT>(object);
    if (request.majorFunction == IRP_MJ_FLUSH_BUFFERS && !file->WriteAccess) {
        ObfDereferenceObject(file);
        return STATUS_ACCESS_DENIED;  // there is nothing written through it to flush
    }
    PKEVENT userEvent = nullptr;
    if (request.event) {
        void *event = nullptr;
        status = ObReferenceObjectByHandleIn(process, request.event, &ObEventType, &event);
        if (!NT_SUCCESS(status)) {
            ObfDereferenceObject(file);
            return status;
        }
        userEvent = static_cast<PKEVENT>(event);
        KeClearEvent(userEvent);
    }

    auto *pending = new PendingRequest;
    pending->file = file;
    pending->userEvent = userEvent;
    pending->synchronous = (file->Flags & FO_SYNCHRONOUS_IO) != 0;
    pending->ioStatus = request.ioStatus;
    pending->userOutput = request.output;
    pending->outputLength = request.outputLength;
    KeInitializeEvent(&pending->done, NotificationEvent, FALSE);
    // Each request begins with the file's event clear. Only completions on an overlapped
    // file set it, so on a synchronous one it is clear already: a clear that finds it so
    // is done, whatever completion may set it a moment later.
    if (__atomic_load_n(&file->Event.Header.SignalState, __ATOMIC_RELAXED) != 0)
        KeClearEvent(&file->Event);

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    PIRP irp = IoAllocateIrpFor(top->StackSize, FinishFileRequest, pending);
    pending->irp = irp;
    irp->RequestorMode = UserMode;
    irp->UserIosb = request.ioStatus;
    irp->UserEvent = userEvent;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = request.majorFunction;
    stack->FileObject = file;

    // Buffered I/O: the driver works on a system copy; neither I/O: on the caller's memory.
    bool buffered;
    ULONG systemLength = 0;
    if (request.majorFunction == IRP_MJ_DEVICE_CONTROL) {
        stack->Parameters.DeviceIoControl.IoControlCode = request.ioControlCode;
        stack->Parameters.DeviceIoControl.InputBufferLength = request.inputLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = request.outputLength;
        ULONG method = METHOD_FROM_CTL_CODE(request.ioControlCode);
        buffered = method == METHOD_BUFFERED;
        if (method == METHOD_NEITHER) {
            stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void *>(request.input);
            irp->UserBuffer = request.output;
        } else if (!buffered) {
            status = STATUS_NOT_IMPLEMENTED;  // direct I/O (MDLs) is not emulated
        }
        systemLength = request.inputLength > request.outputLength ? request.inputLength
                                                                  : request.outputLength;
    } else if (request.majorFunction == IRP_MJ_FLUSH_BUFFERS) {
        buffered = false;  // no parameters and no data
    } else {
        ULONG length = request.majorFunction == IRP_MJ_READ ? request.outputLength
                                                            : request.inputLength;
        stack->Parameters.Read.Length = length;  // Read and Write share the layout
        buffered = (top->Flags & DO_BUFFERED_IO) != 0;
        if (!buffered && (top->Flags & DO_DIRECT_IO))
            status = STATUS_NOT_IMPLEMENTED;
        irp->UserBuffer = request.majorFunction == IRP_MJ_READ ? request.output
                                                               : const_cast<void *>(request.input);
        systemLength = length;
    }
    if (!NT_SUCCESS(status)) {
        ObfDereferenceObject(top);
        IoReleaseIrp(irp);
        ObfDereferenceObject(file);
        pending->references = 1;
        DropRequestReference(pending);
        return status;
    }
    if (buffered && systemLength) {
        // Only what the caller's input does not cover starts zeroed: a read's buffer is
        // written by the driver before any byte of it goes back.
        auto *system = static_cast<unsigned char *>(g_systemBufferMemory.take(systemLength));
        if (request.inputLength)
            memcpy(system, request.input, request.inputLength);
        if (request.majorFunction == IRP_MJ_DEVICE_CONTROL)
            memset(system + request.inputLength, 0, systemLength - request.inputLength);
        irp->AssociatedIrp.SystemBuffer = system;
        pending->copyOut = request.majorFunction != IRP_MJ_WRITE && request.outputLength;
    }

    {
        FileRecord *record = RecordOf(file);
        std::lock_guard<SpinFlag> guard(record->lock);
        InsertTailList(&record->pending, &irp->ThreadListEntry);
    }
    status = IofCallDriver(top, irp);
    ObfDereferenceObject(top);
    if (pending->synchronous) {
        int running = PendingRequest::kRunning;
        if (pending->meeting.compare_exchange_strong(running, PendingRequest::kSubmitterWaits,
                                                     std::memory_order_acq_rel))
            KeWaitForHeaderWatchingFirst(&pending->done.Header, KE_WAIT_FOREVER, caller);
        status = pending->finalStatus.Status;
        ObfDereferenceObject(file);
    }
    DropRequestReference(pending);
    return status;
}

// Cancels the calling thread's requests on the file and, as Windows does, returns
// once they have completed. They stay pinned meanwhile, so that their addresses are
// not reused by new requests while they are looked for.
NTSTATUS IoCancelFileRequests(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus) {
    void *object = nullptr;
    NTSTATUS status =
        ObReferenceObjectByHandleIn(PsCurrentProcess(), fileHandle, &IoFileObjectType, &object);
    if (!NT_SUCCESS(status))
        return status;
    auto *file = static_cast<PFILE_OBJECT>(object);
    FileRecord *record = RecordOf(file);
    std::vector<PIRP> mine;
    {
        std::lock_guard<SpinFlag> guard(record->lock);
        for (PLIST_ENTRY entry = record->pending.Flink; entry != &record->pending;
             entry = entry->Flink) {
            PIRP irp = CONTAINING_RECORD(entry, IRP, ThreadListEntry);
            if (irp->Tail.Overlay.Thread == PsGetCurrentThread()) {
                IoPinIrp(irp);
                mine.push_back(irp);
            }
        }
    }
    for (PIRP irp : mine)
        IoCancelPinnedIrp(irp);
    {
        // A pinned request's entry stays readable after it finished, and its address is
        // not reused, so a completing record naming it is this request's.
        std::unique_lock<SpinFlag> guard(record->lock);
        auto completing = [&](PIRP irp) {
            for (PLIST_ENTRY entry = record->completing.Flink; entry != &record->completing;
                 entry = entry->Flink) {
                if (CONTAINING_RECORD(entry, PendingRequest, completingEntry)->irp == irp)
                    return true;
            }
            return false;
        };
        record->waitUntil(guard, [&] {
            for (PIRP irp : mine)
                if (!IsListEmpty(&irp->ThreadListEntry) || completing(irp))
                    return false;
            return true;
        });
    }
    for (PIRP irp : mine)
        IoUnpinIrp(irp);
    ObfDereferenceObject(file);
    if (ioStatus)
        *ioStatus = {{STATUS_SUCCESS}, 0};
    return STATUS_SUCCESS;
}

NTSTATUS IoQueryFileMode(HANDLE fileHandle, bool *synchronous) {
    void *object = nullptr;
    NTSTATUS status =
        ObReferenceObjectByHandleIn(PsCurrentProcess(), fileHandle, &IoFileObjectType, &object);
    if (!NT_SUCCESS(status))
        return status;
    *synchronous = (static_cast<PFILE_OBJECT>(object)->Flags & FO_SYNCHRONOUS_IO) != 0;
    ObfDereferenceObject(object);
    return STATUS_SUCCESS;
}

namespace {

struct SynchronousCall {
    KEVENT done;
};

void FinishSynchronousCall(PIRP, void *context) {
    KeSetEvent(&static_cast<SynchronousCall *>(context)->done, IO_NO_INCREMENT, FALSE);
}

}  // namespace

NTSTATUS IoSendSynchronousRequest(PDEVICE_OBJECT device,
                                  const std::function<void(PIRP, PIO_STACK_LOCATION)> &prepare,
                                  ULONG_PTR *information) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    SynchronousCall call;
    KeInitializeEvent(&call.done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrpFor(top->StackSize, FinishSynchronousCall, &call);
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    prepare(irp, IoGetNextIrpStackLocation(irp));
    IofCallDriver(top, irp);
    KeWaitForHeader(&call.done.Header, KE_WAIT_FOREVER, __builtin_return_address(0));
    NTSTATUS status = irp->IoStatus.Status;
    if (information)
        *information = irp->IoStatus.Information;
    IoReleaseIrp(irp);
    ObfDereferenceObject(top);
    return status;
}
