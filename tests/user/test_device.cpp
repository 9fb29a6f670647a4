#include "test_device.h"

#include <loader.h>

#include <gtest/gtest.h>

namespace {

struct TestDeviceExtension {
    KSPIN_LOCK lock;           // guards the fields below; cancel routines take it too
    LIST_ENTRY pendingReads;   // through Tail.Overlay.ListEntry
    UCHAR data[256];
    ULONG dataCount;
    KEVENT readQueued;
};

PDEVICE_OBJECT g_device;
PDEVICE_OBJECT g_exclusiveDevice;
TestDeviceCounts g_counts;
// The last device control the device refused: its code and the first input byte.
TestRefusedControl g_lastRefused;

const char16_t *const kLinks[] = {u"\\DosDevices\\Win32Test", u"\\DosDevices\\COM3",
                                  u"\\DosDevices\\COM12"};

TestDeviceExtension *Extension(PDEVICE_OBJECT device)
{
    return static_cast<TestDeviceExtension *>(device->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Moves stored bytes into the read. Caller holds the lock.
ULONG TakeData(TestDeviceExtension *ext, PIRP irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    ULONG count = length < ext->dataCount ? length : ext->dataCount;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, ext->data, count);
    RtlMoveMemory(ext->data, ext->data + count, ext->dataCount - count);
    ext->dataCount -= count;
    return count;
}

VOID NTAPI CancelRead(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    TestDeviceExtension *ext = Extension(device);
    KIRQL irql;
    KeAcquireSpinLock(&ext->lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->lock, irql);
    InterlockedIncrement(&g_counts.readsCancelled);
    Complete(irp, STATUS_CANCELLED, 0);
}

// Takes the oldest queued read whose cancel routine has not started, or null.
// Caller holds the lock.
PIRP DequeueRead(TestDeviceExtension *ext, PFILE_OBJECT onlyFile)
{
    for (PLIST_ENTRY entry = ext->pendingReads.Flink; entry != &ext->pendingReads;
         entry = entry->Flink) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (onlyFile != nullptr && IoGetCurrentIrpStackLocation(irp)->FileObject != onlyFile) {
            continue;
        }
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            RemoveEntryList(entry);
            return irp;
        }
    }
    return nullptr;
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        InterlockedIncrement(&g_counts.creates);
        break;
    case IRP_MJ_CLOSE:
        InterlockedIncrement(&g_counts.closes);
        break;
    default: {  // IRP_MJ_CLEANUP: end the file's pending reads
        InterlockedIncrement(&g_counts.cleanups);
        if (device != g_device) {
            break;  // the exclusive device has no reads
        }
        TestDeviceExtension *ext = Extension(device);
        for (;;) {
            KIRQL irql;
            KeAcquireSpinLock(&ext->lock, &irql);
            PIRP read = DequeueRead(ext, stack->FileObject);
            KeReleaseSpinLock(&ext->lock, irql);
            if (read == nullptr) {
                break;
            }
            InterlockedIncrement(&g_counts.readsCancelled);
            Complete(read, STATUS_CANCELLED, 0);
        }
        break;
    }
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp)
{
    TestDeviceExtension *ext = Extension(device);
    KIRQL irql;
    KeAcquireSpinLock(&ext->lock, &irql);
    if (ext->dataCount > 0) {
        ULONG count = TakeData(ext, irp);
        KeReleaseSpinLock(&ext->lock, irql);
        InterlockedIncrement(&g_counts.readsCompleted);
        return Complete(irp, STATUS_SUCCESS, count);
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        KeReleaseSpinLock(&ext->lock, irql);
        InterlockedIncrement(&g_counts.readsCancelled);
        Complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    InsertTailList(&ext->pendingReads, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->lock, irql);
    KeSetEvent(&ext->readQueued, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT device, PIRP irp)
{
    TestDeviceExtension *ext = Extension(device);
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    KIRQL irql;
    KeAcquireSpinLock(&ext->lock, &irql);
    if (length > sizeof(ext->data) - ext->dataCount) {
        KeReleaseSpinLock(&ext->lock, irql);
        return Complete(irp, STATUS_BUFFER_OVERFLOW, 0);
    }
    RtlCopyMemory(ext->data + ext->dataCount, irp->AssociatedIrp.SystemBuffer, length);
    ext->dataCount += length;
    PIRP read = ext->dataCount > 0 ? DequeueRead(ext, nullptr) : nullptr;
    ULONG count = read != nullptr ? TakeData(ext, read) : 0;
    KeReleaseSpinLock(&ext->lock, irql);
    if (read != nullptr) {
        InterlockedIncrement(&g_counts.readsCompleted);
        Complete(read, STATUS_SUCCESS, count);
    }
    return Complete(irp, STATUS_SUCCESS, length);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    UNREFERENCED_PARAMETER(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto *buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_WIN32TEST_ECHO:
        return Complete(irp, STATUS_SUCCESS, in < out ? in : out);
    case IOCTL_WIN32TEST_COMPLETE_WITH: {
        if (in < sizeof(TestCompleteWith)) {
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        }
        TestCompleteWith request;
        RtlCopyMemory(&request, buffer, sizeof(request));
        if (request.information > out) {
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        }
        RtlFillMemory(buffer, request.information, kTestFillByte);
        return Complete(irp, request.status, request.information);
    }
    default:
        g_lastRefused.code = stack->Parameters.DeviceIoControl.IoControlCode;
        g_lastRefused.inputLength = in;
        g_lastRefused.firstInputByte = in > 0 ? buffer[0] : 0;
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

VOID NTAPI Unload(PDRIVER_OBJECT driver)
{
    UNREFERENCED_PARAMETER(driver);
    for (const char16_t *link : kLinks) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(link));
        IoDeleteSymbolicLink(&name);
    }
    UNICODE_STRING exclusiveLink = RTL_CONSTANT_STRING(u"\\DosDevices\\Win32TestExclusive");
    IoDeleteSymbolicLink(&exclusiveLink);
    IoDeleteDevice(g_device);
    IoDeleteDevice(g_exclusiveDevice);
}

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNREFERENCED_PARAMETER(registryPath);
    g_counts = {};
    g_lastRefused = {};
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\Win32Test");
    NTSTATUS status = IoCreateDevice(driver, sizeof(TestDeviceExtension), &name,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING exclusiveName = RTL_CONSTANT_STRING(u"\\Device\\Win32TestExclusive");
    status = IoCreateDevice(driver, 0, &exclusiveName, FILE_DEVICE_UNKNOWN, 0, TRUE,
                            &g_exclusiveDevice);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_device);
        return status;
    }
    TestDeviceExtension *ext = Extension(g_device);
    KeInitializeSpinLock(&ext->lock);
    InitializeListHead(&ext->pendingReads);
    KeInitializeEvent(&ext->readQueued, SynchronizationEvent, FALSE);
    for (const char16_t *link : kLinks) {
        UNICODE_STRING linkName;
        RtlInitUnicodeString(&linkName, reinterpret_cast<PCWSTR>(link));
        IoCreateSymbolicLink(&linkName, &name);
    }
    UNICODE_STRING exclusiveLink = RTL_CONSTANT_STRING(u"\\DosDevices\\Win32TestExclusive");
    IoCreateSymbolicLink(&exclusiveLink, &exclusiveName);

    driver->DriverUnload = Unload;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    g_device->Flags |= DO_BUFFERED_IO;
    g_device->Flags &= ~DO_DEVICE_INITIALIZING;
    g_exclusiveDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace

void TestDeviceLoad()
{
    LoaderRegisterBuiltinDriver(kTestDeviceService, TestDriverEntry);
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(LoaderLoadDriver(kTestDeviceService, &driver), STATUS_SUCCESS);
}

TestDeviceCounts TestDeviceGetCounts()
{
    TestDeviceCounts counts;
    counts.creates = InterlockedExchangeAdd(&g_counts.creates, 0);
    counts.cleanups = InterlockedExchangeAdd(&g_counts.cleanups, 0);
    counts.closes = InterlockedExchangeAdd(&g_counts.closes, 0);
    counts.readsCompleted = InterlockedExchangeAdd(&g_counts.readsCompleted, 0);
    counts.readsCancelled = InterlockedExchangeAdd(&g_counts.readsCancelled, 0);
    return counts;
}

void TestDeviceWaitForQueuedRead()
{
    KeWaitForSingleObject(&Extension(g_device)->readQueued, Executive, KernelMode, FALSE, nullptr);
}

TestRefusedControl TestDeviceLastRefusedControl()
{
    return g_lastRefused;
}
