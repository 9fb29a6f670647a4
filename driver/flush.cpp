// kelu: IRP_MJ_FLUSH_BUFFERS on a port (FlushFileBuffers). A flush completes once the
// port has nothing left to send: its write queue and its transmit ring are empty, the
// bytes having gone to the partner (or to the controlling application). Until then it
// waits in FlushQueue; the transfer completes it (KeluCompleteFlushes), and purging the
// writes (TXABORT), cleanup, close and removal cancel it. A flush waits for every write,
// also those queued after it.
//
// The queue follows the rules of the read and write queues and is linked as they are
// (KeluLinkCancelableLocked, request_queue.cpp): links change under QueueLock, an
// unlinked request is left self-linked, and whoever unlinks a request completes it
// unless its cancel routine has been entered.
#include "kelu.h"

namespace {

NTSTATUS CompleteFlush(PIRP Irp, NTSTATUS status) {
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

BOOLEAN HasWorkToSend(PKELU_DEVICE_EXTENSION pDevExt) {
    return pDevExt->ulWriteBufferCount != 0 || !KeluIsQueueEmpty(pDevExt, &pDevExt->WriteQueue);
}

// Queues the flush (marked pending, STATUS_PENDING), or STATUS_CANCELLED when it was
// cancelled before it could be. Port Mutex held.
NTSTATUS QueueFlush(PKELU_DEVICE_EXTENSION pDevExt, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    KIRQL irql;
    KeAcquireSpinLock(&pDevExt->QueueLock, &irql);
    BOOLEAN bQueued = KeluLinkCancelableLocked(&pDevExt->FlushQueue, &pDevExt->lFlushesQueued,
                                               Irp, KeluCancelFlushIrp);
    KeReleaseSpinLock(&pDevExt->QueueLock, irql);
    if (!bQueued)
        CompleteFlush(Irp, STATUS_CANCELLED);
    return STATUS_PENDING;
}

// Unlinks and finishes every waiting flush with the status. Port Mutex held: flushes are
// queued only under it, so a count of 0 means there is none to end, without QueueLock.
VOID EndFlushes(PKELU_DEVICE_EXTENSION pDevExt, NTSTATUS status) {
    while (InterlockedCompareExchange(&pDevExt->lFlushesQueued, 0, 0) != 0) {
        KIRQL irql;
        KeAcquireSpinLock(&pDevExt->QueueLock, &irql);
        PIRP Irp = KeluQueueHead(&pDevExt->FlushQueue);
        if (Irp != NULL) {
            RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
            InitializeListHead(&Irp->Tail.Overlay.ListEntry);
            InterlockedDecrement(&pDevExt->lFlushesQueued);
        }
        KeReleaseSpinLock(&pDevExt->QueueLock, irql);
        if (Irp == NULL)
            return;
        KeluFinishRequest(Irp, status);
    }
}

}  // namespace

NTSTATUS NTAPI KeluFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!KeluIsPortDevice(DeviceObject))
        return CompleteFlush(Irp, STATUS_INVALID_DEVICE_REQUEST);
    PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status = KeluAcquireRequestReference(pDevExt);
    if (!NT_SUCCESS(status))
        return CompleteFlush(Irp, status);
    Irp->IoStatus.Information = 0;
    ExAcquireFastMutex(&pDevExt->Mutex);
    if (pDevExt->bRemoving)
        status = CompleteFlush(Irp, STATUS_UNSUCCESSFUL);  // removal has emptied the queues
    else if (pDevExt->bCleanedUp)
        status = CompleteFlush(Irp, STATUS_CANCELLED);  // nothing would end it after cleanup
    else if (!HasWorkToSend(pDevExt))
        status = CompleteFlush(Irp, STATUS_SUCCESS);
    else
        status = QueueFlush(pDevExt, Irp);
    ExReleaseFastMutex(&pDevExt->Mutex);
    KeluReleaseRequestReference(pDevExt);
    return status;
}

VOID KeluCompleteFlushes(PKELU_DEVICE_EXTENSION pDevExt) {
    EndFlushes(pDevExt, STATUS_SUCCESS);
}

VOID KeluCancelFlushes(PKELU_DEVICE_EXTENSION pDevExt) {
    EndFlushes(pDevExt, STATUS_CANCELLED);
}

VOID NTAPI KeluCancelFlushIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PLIST_ENTRY pEntry = &Irp->Tail.Overlay.ListEntry;
    KIRQL irql;
    KeAcquireSpinLock(&pDevExt->QueueLock, &irql);
    if (!IsListEmpty(pEntry)) {
        RemoveEntryList(pEntry);
        InitializeListHead(pEntry);
        InterlockedDecrement(&pDevExt->lFlushesQueued);
    }
    KeReleaseSpinLock(&pDevExt->QueueLock, irql);
    CompleteFlush(Irp, STATUS_CANCELLED);
}
