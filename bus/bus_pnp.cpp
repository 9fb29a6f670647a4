// Plug and Play and power for the bus device: start (children restored, interface
// enabled), bus relations, and removal (interface disabled, children deleted).
#include "kelbus_driver.h"

static NTSTATUS NTAPI KelbusSignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    // The dispatch routine that is waiting completes the request itself.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down the root device's stack and waits until the lower
// drivers have finished with it. PASSIVE_LEVEL; the caller completes the request.
static NTSTATUS KelbusForwardAndWait(PKELBUS_BUS_EXTENSION Bus, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, KelbusSignalCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Bus->pLowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

static NTSTATUS KelbusPassDown(PKELBUS_BUS_EXTENSION Bus, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Bus->pLowerDevice, Irp);
}

// Re-creates the children that were plugged in when the machine last ran (or when
// the bus was last removed). Numbers that already have a child are left alone, so a
// restart after IRP_MN_STOP_DEVICE changes nothing. Returns whether any was created.
static BOOLEAN KelbusRestoreChildren(PKELBUS_BUS_EXTENSION Bus)
{
    UCHAR stored[KELBUS_PORT_COUNT];
    KelbusLoadPluggedMap(stored);
    BOOLEAN created = FALSE;
    for (ULONG n = 0; n < KELBUS_PORT_COUNT; n++) {
        if (stored[n] == 0 || Bus->Children[n] != NULL) {
            continue;
        }
        PDEVICE_OBJECT child;
        if (NT_SUCCESS(KelbusCreateChild(Bus, n, &child))) {
            Bus->Children[n] = child;
            created = TRUE;
        } else {
            DbgPrint("kelbus.sys: port %u could not be restored.\n", n);
        }
    }
    return created;
}

static NTSTATUS KelbusStartBus(PKELBUS_BUS_EXTENSION Bus, PIRP Irp)
{
    NTSTATUS status = KelbusForwardAndWait(Bus, Irp);
    if (NT_SUCCESS(status)) {
        // Without its interface nobody can find the bus, so that failure fails the start.
        status = IoSetDeviceInterfaceState(&Bus->InterfaceName, TRUE);
    }
    if (NT_SUCCESS(status)) {
        KelbusLockChildren(Bus);
        BOOLEAN restored = KelbusRestoreChildren(Bus);
        Bus->PnpState = KelbusStarted;
        KelbusUnlockChildren(Bus);
        if (restored) {
            IoInvalidateDeviceRelations(Bus->pUnderlyingPdo, BusRelations);
        }
        status = STATUS_SUCCESS;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Answers BusRelations with the children still plugged in, after any relations
// that a driver above has already put into the request. A child that is not in the
// answer any more is removed by Plug and Play.
static NTSTATUS KelbusQueryBusRelations(PKELBUS_BUS_EXTENSION Bus, PIRP Irp)
{
    PDEVICE_RELATIONS previous = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
    ULONG previousCount = previous != NULL ? previous->Count : 0;

    KelbusLockChildren(Bus);
    ULONG count = previousCount;
    for (ULONG n = 0; n < KELBUS_PORT_COUNT; n++) {
        if (Bus->Children[n] != NULL) {
            count++;
        }
    }
    // DEVICE_RELATIONS declares room for one object.
    SIZE_T size = sizeof(DEVICE_RELATIONS) + (count > 0 ? count - 1 : 0) * sizeof(PDEVICE_OBJECT);
    PDEVICE_RELATIONS relations =
        (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, size, KELBUS_POOL_TAG);
    if (relations == NULL) {
        KelbusUnlockChildren(Bus);
        // The earlier answer stays with the request; Plug and Play frees it.
        Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    relations->Count = 0;
    for (ULONG i = 0; i < previousCount; i++) {
        relations->Objects[relations->Count++] = previous->Objects[i];
    }
    for (ULONG n = 0; n < KELBUS_PORT_COUNT; n++) {
        PDEVICE_OBJECT child = Bus->Children[n];
        if (child != NULL) {
            // Plug and Play drops this reference when it has read the answer.
            ObReferenceObject(child);
            relations->Objects[relations->Count++] = child;
            ((PKELBUS_CHILD_EXTENSION)child->DeviceExtension)->bReported = TRUE;
        }
    }
    KelbusUnlockChildren(Bus);
    if (previous != NULL) {
        ExFreePool(previous);
    }
    Irp->IoStatus.Information = (ULONG_PTR)relations;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return KelbusPassDown(Bus, Irp);
}

// Plug and Play has already removed every child (it removes children before their
// parent), so the children still in the table are deleted here. The stored map is
// left as it is: the ports come back when the bus starts again.
static NTSTATUS KelbusRemoveBus(PKELBUS_BUS_EXTENSION Bus, PIRP Irp)
{
    if (Bus->PnpState != KelbusSurpriseRemoved) {
        IoSetDeviceInterfaceState(&Bus->InterfaceName, FALSE);
    }
    KelbusLockChildren(Bus);
    Bus->PnpState = KelbusRemoved;
    for (ULONG n = 0; n < KELBUS_PORT_COUNT; n++) {
        if (Bus->Children[n] != NULL) {
            PDEVICE_OBJECT child = Bus->Children[n];
            Bus->Children[n] = NULL;
            IoDeleteDevice(child);
        }
    }
    KelbusUnlockChildren(Bus);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = KelbusPassDown(Bus, Irp);
    IoDetachDevice(Bus->pLowerDevice);
    RtlFreeUnicodeString(&Bus->InterfaceName);
    IoDeleteDevice(Bus->pSelf);
    return status;
}

NTSTATUS KelbusBusPnp(PKELBUS_BUS_EXTENSION Bus, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return KelbusStartBus(Bus, Irp);

    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            return KelbusQueryBusRelations(Bus, Irp);
        }
        return KelbusPassDown(Bus, Irp);

    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return KelbusPassDown(Bus, Irp);

    case IRP_MN_STOP_DEVICE:
        KelbusLockChildren(Bus);
        Bus->PnpState = KelbusStopped;
        KelbusUnlockChildren(Bus);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return KelbusPassDown(Bus, Irp);

    case IRP_MN_SURPRISE_REMOVAL:
        IoSetDeviceInterfaceState(&Bus->InterfaceName, FALSE);
        KelbusLockChildren(Bus);
        Bus->PnpState = KelbusSurpriseRemoved;
        KelbusUnlockChildren(Bus);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return KelbusPassDown(Bus, Irp);

    case IRP_MN_REMOVE_DEVICE:
        return KelbusRemoveBus(Bus, Irp);

    default:
        return KelbusPassDown(Bus, Irp);
    }
}

NTSTATUS KelbusBusPower(PKELBUS_BUS_EXTENSION Bus, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Bus->pLowerDevice, Irp);
}
