// Driver entry, AddDevice, unload, the children lock, and the dispatch routines that
// route each request to the bus device's or a child's handler.
#include <ntddk.h>
#include <initguid.h>  // defines GUID_DEVINTERFACE_KELBUS in this translation unit

#include "kelbus_driver.h"

UNICODE_STRING g_ServiceKeyPath;

static VOID NTAPI KelbusUnload(PDRIVER_OBJECT DriverObject);
static NTSTATUS NTAPI KelbusAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
static NTSTATUS NTAPI KelbusDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
static NTSTATUS NTAPI KelbusDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
static NTSTATUS NTAPI KelbusDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
static NTSTATUS NTAPI KelbusDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

static ULONG KelbusSignature(PDEVICE_OBJECT DeviceObject)
{
    return *(PULONG)DeviceObject->DeviceExtension;
}

static NTSTATUS KelbusCompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    // Kept with a terminating zero: RtlWriteRegistryValue takes the path as a C string.
    USHORT size = RegistryPath->Length + sizeof(WCHAR);
    PWSTR buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, size, KELBUS_POOL_TAG);
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(buffer, RegistryPath->Buffer, RegistryPath->Length);
    buffer[RegistryPath->Length / sizeof(WCHAR)] = 0;
    g_ServiceKeyPath.Buffer = buffer;
    g_ServiceKeyPath.Length = RegistryPath->Length;
    g_ServiceKeyPath.MaximumLength = size;

    DriverObject->DriverUnload = KelbusUnload;
    DriverObject->DriverExtension->AddDevice = KelbusAddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = KelbusDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = KelbusDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = KelbusDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = KelbusDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = KelbusDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = KelbusDispatchPower;
    DbgPrint("kelbus.sys: loaded.\n");
    return STATUS_SUCCESS;
}

// Held in application threads too: the critical region keeps a holder from being
// suspended while the Plug and Play requests wait for the lock.
void KelbusLockChildren(PKELBUS_BUS_EXTENSION Bus)
{
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&Bus->ChildLock, Executive, KernelMode, FALSE, NULL);
}

void KelbusUnlockChildren(PKELBUS_BUS_EXTENSION Bus)
{
    KeSetEvent(&Bus->ChildLock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}

// Called after the last device (bus device and children) is gone.
static VOID NTAPI KelbusUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    ExFreePoolWithTag(g_ServiceKeyPath.Buffer, KELBUS_POOL_TAG);
    g_ServiceKeyPath.Buffer = NULL;
    DbgPrint("kelbus.sys: unloaded.\n");
}

// The bus device on the root-enumerated device. Its children are created when it starts.
static NTSTATUS NTAPI KelbusAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(KELBUS_BUS_EXTENSION), NULL,
                                     FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PKELBUS_BUS_EXTENSION bus = (PKELBUS_BUS_EXTENSION)fdo->DeviceExtension;
    bus->ulSignature = KELBUS_BUS_SIGNATURE;
    bus->PnpState = KelbusNotStarted;
    bus->pSelf = fdo;
    bus->pUnderlyingPdo = PhysicalDeviceObject;
    KeInitializeEvent(&bus->ChildLock, SynchronizationEvent, TRUE);

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_KELBUS, NULL,
                                       &bus->InterfaceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    bus->pLowerDevice = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (bus->pLowerDevice == NULL) {
        RtlFreeUnicodeString(&bus->InterfaceName);
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Opening the bus device (through its interface) needs no per-handle state.
// A child is opened only through the function driver above it, which does not pass
// these requests down; if one arrives, it succeeds as it would on any bus's PDO.
static NTSTATUS NTAPI KelbusDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Information = 0;
    return KelbusCompleteRequest(Irp, STATUS_SUCCESS);
}

static NTSTATUS NTAPI KelbusDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (KelbusSignature(DeviceObject) == KELBUS_BUS_SIGNATURE) {
        return KelbusBusDeviceControl((PKELBUS_BUS_EXTENSION)DeviceObject->DeviceExtension, Irp);
    }
    // A child has no requests of its own.
    Irp->IoStatus.Information = 0;
    return KelbusCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

static NTSTATUS NTAPI KelbusDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (KelbusSignature(DeviceObject) == KELBUS_BUS_SIGNATURE) {
        return KelbusBusPnp((PKELBUS_BUS_EXTENSION)DeviceObject->DeviceExtension, Irp);
    }
    return KelbusChildPnp((PKELBUS_CHILD_EXTENSION)DeviceObject->DeviceExtension, Irp);
}

static NTSTATUS NTAPI KelbusDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (KelbusSignature(DeviceObject) == KELBUS_BUS_SIGNATURE) {
        return KelbusBusPower((PKELBUS_BUS_EXTENSION)DeviceObject->DeviceExtension, Irp);
    }
    return KelbusChildPower((PKELBUS_CHILD_EXTENSION)DeviceObject->DeviceExtension, Irp);
}
