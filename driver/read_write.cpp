// kelu: the read and write dispatch routines of a port.
//
// Both queue the request and run the transfer engine for the port and its partner. The
// pair's Mutexes are held from the queueing to the end of the transfer, so the timeouts
// that decide an immediate-return read cannot change before the transfer that completes
// it, and no other transfer, purge or close runs in between.
#include "kelu.h"

namespace {

NTSTATUS Refuse(PIRP Irp, NTSTATUS status) {
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    return status;
}

// Queues a read or write that has a length and returns what the dispatch returns. An
// immediate-return read on an empty queue is completed by the transfer that follows,
// before the dispatch returns; every other request is pending before it becomes visible
// in its queue. Requests are appended only under the port's Mutex, held here, so an
// empty queue seen here stays empty until the append.
NTSTATUS QueueRequest(PKELU_DEVICE_EXTENSION pDevExt, PIRP Irp, BOOLEAN bRead) {
    PLIST_ENTRY pQueue = bRead ? &pDevExt->ReadQueue : &pDevExt->WriteQueue;
    BOOLEAN bCompletesNow =
        bRead && KeluIsImmediateRead(pDevExt) && KeluIsQueueEmpty(pDevExt, pQueue);
    if (!bCompletesNow) {
        Irp->IoStatus.Status = STATUS_PENDING;
        IoMarkIrpPending(Irp);
    }
    if (KeluQueueRequest(pDevExt, pQueue, Irp))
        return bCompletesNow ? STATUS_SUCCESS : STATUS_PENDING;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return bCompletesNow ? STATUS_CANCELLED : STATUS_PENDING;
}

NTSTATUS QueueAndTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN bRead) {
    // The control device carries no data; its extension is a signature word only.
    if (!KeluIsPortDevice(DeviceObject))
        return Refuse(Irp, STATUS_INVALID_DEVICE_REQUEST);
    PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PKELU_DEVICE_EXTENSION pPartner = KeluGetPartnerExtension(pDevExt);
    // The reference is taken under the Mutexes the request needs anyway. Removal sets
    // bRemoving under the port's Mutex and empties the queues in the same hold, so a
    // request accepted here is queued before removal looks at the queues; the device
    // object itself stays valid meanwhile, referenced by the request.
    KeluAcquirePortPair(pDevExt, pPartner);
    NTSTATUS status = KeluAcquireRequestReferenceLocked(pDevExt);
    if (!NT_SUCCESS(status)) {
        KeluReleasePortPair(pDevExt, pPartner);
        KeluReleasePortExtension(pPartner);
        return Refuse(Irp, status);
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG ulLength = bRead ? stack->Parameters.Read.Length : stack->Parameters.Write.Length;
    Irp->IoStatus.Information = 0;
    if (pDevExt->bCleanedUp && ulLength != 0) {
        // The handle's cleanup has run (another thread is closing it): queued now, the
        // request would wait for ever and keep the port open.
        status = Refuse(Irp, STATUS_CANCELLED);
    } else if (ulLength == 0) {
        // Never waits, not even behind older requests; the transfer runs all the same.
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        status = STATUS_SUCCESS;
        KeluTransferDataLocked(pDevExt, pPartner);
    } else {
        status = QueueRequest(pDevExt, Irp, bRead);
        KeluTransferDataLocked(pDevExt, pPartner);
    }
    KeluReleasePortPair(pDevExt, pPartner);
    KeluReleasePortExtension(pPartner);
    KeluReleaseRequestReference(pDevExt);
    return status;
}

}  // namespace

NTSTATUS NTAPI KeluRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return QueueAndTransfer(DeviceObject, Irp, TRUE);
}

NTSTATUS NTAPI KeluWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return QueueAndTransfer(DeviceObject, Irp, FALSE);
}
