// Plug and Play and power requests of a port device: start and stop, the removal
// queries, the device power states from the capabilities, the teardown at removal, and
// system power changes followed by device power requests. Whatever is not handled
// here passes down the stack unchanged.
//
// All of it runs at PASSIVE_LEVEL (the port is DO_POWER_PAGABLE). The flags change
// under the port's Mutex; removal releases the Mutex before it passes the request down
// and waits for the requests in progress and the references handed out to drain.
#include "kelu.h"

static NTSTATUS KeluPassDown(PKELU_DEVICE_EXTENSION pDevExt, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(pDevExt->pLowerDeviceObject, Irp);
}

static NTSTATUS KeluCompletePnp(PIRP Irp, NTSTATUS status)
{
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static VOID KeluSetFlag(PKELU_DEVICE_EXTENSION pDevExt, PUCHAR pbFlag, UCHAR ucValue)
{
    ExAcquireFastMutex(&pDevExt->Mutex);
    *pbFlag = ucValue;
    ExReleaseFastMutex(&pDevExt->Mutex);
}

static PDEVICE_OBJECT KeluLowerDevice(PKELU_DEVICE_EXTENSION pDevExt)
{
    ExAcquireFastMutex(&pDevExt->Mutex);
    PDEVICE_OBJECT pLower = pDevExt->pLowerDeviceObject;
    ExReleaseFastMutex(&pDevExt->Mutex);
    return pLower;
}

NTSTATUS NTAPI KeluSyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    // The request comes back to the dispatch routine, which completes it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS KeluForwardIrpSynchronous(PDEVICE_OBJECT LowerDeviceObject, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, KeluSyncCompletion, &event, TRUE, TRUE, TRUE);
    IoCallDriver(LowerDeviceObject, Irp);
    // Waited for whatever the call returned: the final status is the one the lower
    // driver completed the request with, also when it completes it late.
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}

static NTSTATUS KeluStartDevice(PKELU_DEVICE_EXTENSION pDevExt, PIRP Irp)
{
    NTSTATUS status = KeluForwardIrpSynchronous(KeluLowerDevice(pDevExt), Irp);
    if (status == STATUS_SUCCESS) {
        KeluSetFlag(pDevExt, &pDevExt->bStarted, 1);
    }
    Irp->IoStatus.Information = 0;
    return KeluCompletePnp(Irp, status);
}

static NTSTATUS KeluQueryStop(PKELU_DEVICE_EXTENSION pDevExt, PIRP Irp)
{
    ExAcquireFastMutex(&pDevExt->Mutex);
    // An open waiting for its answer would open the port once stopped.
    if (pDevExt->bOpened || pDevExt->bOpening) {
        ExReleaseFastMutex(&pDevExt->Mutex);
        return KeluCompletePnp(Irp, STATUS_UNSUCCESSFUL);
    }
    pDevExt->bStarted = 0;
    ExReleaseFastMutex(&pDevExt->Mutex);
    return KeluPassDown(pDevExt, Irp);
}

static NTSTATUS KeluQueryCapabilities(PKELU_DEVICE_EXTENSION pDevExt, PIRP Irp)
{
    NTSTATUS status = KeluForwardIrpSynchronous(KeluLowerDevice(pDevExt), Irp);
    PDEVICE_CAPABILITIES pCaps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (pCaps != NULL) {
        ExAcquireFastMutex(&pDevExt->Mutex);
        for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; state++) {
            pDevExt->DeviceState[state] = pCaps->DeviceState[state];
        }
        pDevExt->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
        pDevExt->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        ExReleaseFastMutex(&pDevExt->Mutex);
    }
    return KeluCompletePnp(Irp, status);
}

// Removes the port from the table, so that no control request and no partner reaches
// it any more. The caller holds the port's Mutex.
static VOID KeluUnpublishPort(PKELU_DEVICE_EXTENSION pDevExt)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&g_PortTableLock, &oldIrql);
    if (g_PortDeviceExtensions[pDevExt->ulPortNumber] == pDevExt) {
        g_PortDeviceExtensions[pDevExt->ulPortNumber] = NULL;
    }
    KeReleaseSpinLock(&g_PortTableLock, oldIrql);
}

// IRP_MN_REMOVE_DEVICE and IRP_MN_SURPRISE_REMOVAL alike. A removal that follows a
// completed one (a remove after a surprise removal) only passes the request down.
static NTSTATUS KeluRemoveDevice(PDEVICE_OBJECT DeviceObject, PKELU_DEVICE_EXTENSION pDevExt, PIRP Irp)
{
    ExAcquireFastMutex(&pDevExt->Mutex);
    if (pDevExt->bRemoved) {
        ExReleaseFastMutex(&pDevExt->Mutex);
        return KeluPassDown(pDevExt, Irp);
    }
    pDevExt->bRemoving = 1;
    pDevExt->bRemoved = 1;
    KeluUnpublishPort(pDevExt);
    // An open waiting for the controlling application's answer holds a request
    // reference; it must end before the wait below can.
    KeluWakeWaitingOpen(pDevExt);
    // Emptying the queues stops their timers (a timer is armed only for a queue's
    // head); the references they hold keep the device until a DPC on its way is done.
    KeluCancelPendingRequests(pDevExt);
    PDEVICE_OBJECT pLower = pDevExt->pLowerDeviceObject;
    ExReleaseFastMutex(&pDevExt->Mutex);

    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(pLower, Irp);

    if (InterlockedDecrement(&pDevExt->ulOutstandingIo) != 0) {
        KeWaitForSingleObject(&pDevExt->RemoveEvent, Executive, KernelMode, FALSE, NULL);
    }
    IoDetachDevice(pLower);

    if (pDevExt->SymbolicLinkName.Buffer != NULL) {
        IoDeleteSymbolicLink(&pDevExt->SymbolicLinkName);
        KeluFreeName(&pDevExt->SymbolicLinkName);
    }
    if (pDevExt->DeviceName.Buffer != NULL) {
        // Attempted also when no value was written; the result does not matter.
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", pDevExt->DeviceName.Buffer);
        KeluFreeName(&pDevExt->DeviceName);
    }
    KeluFreeName(&pDevExt->ComName);

    // A partner that is not plugged in keeps the pairing for when this port returns.
    KeluMapDissolvePairOfRemovedPort((UCHAR)pDevExt->ulPortNumber);

    KeluClosePortEvents(pDevExt);
    IoDeleteDevice(DeviceObject);
    return status;
}

NTSTATUS NTAPI KeluPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // The control device belongs to no device stack.
    if (!KeluIsPortDevice(DeviceObject)) {
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)DeviceObject->DeviceExtension;

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return KeluStartDevice(pDevExt, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        // An open port does not prevent removal.
        KeluSetFlag(pDevExt, &pDevExt->bRemoving, 1);
        return KeluPassDown(pDevExt, Irp);
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return KeluRemoveDevice(DeviceObject, pDevExt, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        KeluSetFlag(pDevExt, &pDevExt->bRemoving, 0);
        return KeluPassDown(pDevExt, Irp);
    case IRP_MN_STOP_DEVICE:
        KeluSetFlag(pDevExt, &pDevExt->bStarted, 0);
        return KeluPassDown(pDevExt, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        return KeluQueryStop(pDevExt, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
        KeluSetFlag(pDevExt, &pDevExt->bStarted, 1);
        return KeluPassDown(pDevExt, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return KeluQueryCapabilities(pDevExt, Irp);
    default:
        return KeluPassDown(pDevExt, Irp);
    }
}

VOID NTAPI KeluPowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                    POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    // Nobody waits for the device power request.
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(IoStatus);
}

// A system power change asks for the device power state that the capabilities gave
// for it; a device power change is reported. Nothing else of the port changes.
static VOID KeluSetPower(PKELU_DEVICE_EXTENSION pDevExt, PIRP Irp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(Irp);
    if (pStack->Parameters.Power.Type == DevicePowerState) {
        PoSetPowerState(pDevExt->pPhysicalDeviceObject, DevicePowerState, pStack->Parameters.Power.State);
        return;
    }
    SYSTEM_POWER_STATE systemState = pStack->Parameters.Power.State.SystemState;
    if ((ULONG)systemState >= (ULONG)PowerSystemMaximum) {
        return;
    }
    POWER_STATE deviceState;
    ExAcquireFastMutex(&pDevExt->Mutex);
    deviceState.DeviceState = pDevExt->DeviceState[systemState];
    ExReleaseFastMutex(&pDevExt->Mutex);
    PoRequestPowerIrp(pDevExt->pPhysicalDeviceObject, IRP_MN_SET_POWER, deviceState,
                      KeluPowerRequestComplete, Irp, NULL);
}

NTSTATUS NTAPI KeluPowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!KeluIsPortDevice(DeviceObject)) {
        NTSTATUS status = Irp->IoStatus.Status;
        PoStartNextPowerIrp(Irp);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)DeviceObject->DeviceExtension;

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_SET_POWER:
        KeluSetPower(pDevExt, Irp);
        break;
    case IRP_MN_QUERY_POWER:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(pDevExt->pLowerDeviceObject, Irp);
}
