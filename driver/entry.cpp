// Driver load and unload, the control device, the dispatch table, and the routing of
// device-control requests between port devices and the control device.
#include "kelu.h"

PWSTR g_RegistryPath;
PDEVICE_OBJECT g_ControlDeviceObject;

static const WCHAR g_ControlDeviceName[] = L"\\Device\\KeluControl";
static const WCHAR g_ControlLinkName[] = L"\\DosDevices\\KeluControl";

// The driver-wide locks; the tables start zeroed with the image.
static VOID KeluInitializeGlobals()
{
    KeInitializeSpinLock(&g_PortTableLock);
    KeInitializeEvent(&g_ConnectionMapLock, SynchronizationEvent, TRUE); // signalled: free
    KeluInitializeEventCreation();
}

static VOID KeluFreeRegistryPath()
{
    if (g_RegistryPath != NULL) {
        ExFreePoolWithTag(g_RegistryPath, 0);
        g_RegistryPath = NULL;
    }
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    // A zero-terminated copy: the map routines pass it as a plain wide-string path.
    ULONG ulCopyBytes = RegistryPath->Length + 2 * sizeof(WCHAR);
    g_RegistryPath = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, ulCopyBytes, KELU_POOL_TAG);
    if (g_RegistryPath == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(g_RegistryPath, ulCopyBytes);
    RtlCopyMemory(g_RegistryPath, RegistryPath->Buffer, RegistryPath->Length);

    KeluInitializeGlobals();

    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, g_ControlDeviceName);
    RtlInitUnicodeString(&linkName, g_ControlLinkName);

    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(KELU_CONTROL_EXTENSION), &deviceName,
                                     FILE_DEVICE_KELU, 0, TRUE, &g_ControlDeviceObject);
    if (!NT_SUCCESS(status)) {
        g_ControlDeviceObject = NULL;
        KeluFreeRegistryPath(); // the system calls no unload routine after a failed load
        return status;
    }
    ((PKELU_CONTROL_EXTENSION)g_ControlDeviceObject->DeviceExtension)->ulSignature = KELU_CONTROL_SIGNATURE;

    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_ControlDeviceObject);
        g_ControlDeviceObject = NULL;
        KeluFreeRegistryPath();
        return status;
    }

    DriverObject->DriverUnload = KeluUnload;
    DriverObject->DriverExtension->AddDevice = KeluAddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = KeluCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = KeluClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = KeluCleanup;
    DriverObject->MajorFunction[IRP_MJ_READ] = KeluRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = KeluWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = KeluDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = KeluFlush;
    DriverObject->MajorFunction[IRP_MJ_PNP] = KeluPnpDispatch;
    DriverObject->MajorFunction[IRP_MJ_POWER] = KeluPowerDispatch;

    // Missing or unreadable: the default map is in place and the load goes on.
    KeluLoadConnectionMap(g_ConnectionAndConfirmationMap);

    g_ControlDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Called only after Plug and Play has removed every port device. The map is not
// written: every change was saved when it was made.
VOID NTAPI KeluUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);

    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, g_ControlLinkName);
    IoDeleteSymbolicLink(&linkName);

    if (g_ControlDeviceObject != NULL) {
        IoDeleteDevice(g_ControlDeviceObject);
        g_ControlDeviceObject = NULL;
    }
    KeluWaitForLateEventCreation();
    KeluFreeRegistryPath();
}

static ULONG KeluDeviceSignature(PDEVICE_OBJECT DeviceObject)
{
    if (DeviceObject->DeviceExtension == NULL) {
        return 0;
    }
    return *(PULONG)DeviceObject->DeviceExtension;
}

BOOLEAN KeluIsPortDevice(PDEVICE_OBJECT DeviceObject)
{
    return KeluDeviceSignature(DeviceObject) == KELU_PORT_SIGNATURE;
}

NTSTATUS NTAPI KeluDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DbgPrint("kelu.sys: KeluDeviceControl starting.\n");

    switch (KeluDeviceSignature(DeviceObject)) {
    case KELU_PORT_SIGNATURE:
        return KeluPortDeviceControl(DeviceObject, Irp);
    case KELU_CONTROL_SIGNATURE:
        DbgPrint("kelu.sys: call KeluDeviceDeviceControl\n");
        return KeluDeviceDeviceControl(DeviceObject, Irp);
    default:
        Irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
        return STATUS_NO_SUCH_DEVICE;
    }
}
