// Serial events raised on a port and the completion of its pending wait-on-mask
// request. Callers hold the port's Mutex, which guards ulWaitMask and pWaitIrp.
#include "kelu.h"

VOID KeluCompletePendingWait(PKELU_DEVICE_EXTENSION pDevExt, ULONG ulValue)
{
    PIRP pIrp = pDevExt->pWaitIrp;
    if (pIrp == NULL) {
        return;
    }
    pDevExt->pWaitIrp = NULL;

    // Whoever clears the cancel routine completes the request: when it is already gone,
    // cancellation has begun and the cancel routine completes it.
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    BOOLEAN bOurs = IoSetCancelRoutine(pIrp, NULL) != NULL;
    IoReleaseCancelSpinLock(cancelIrql);
    if (!bOurs) {
        return;
    }
    *(PULONG)pIrp->AssociatedIrp.SystemBuffer = ulValue;
    pIrp->IoStatus.Information = sizeof(ULONG);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
}

// Events that no pending wait asks for are dropped, not remembered.
VOID KeluSignalWaitEvents(PKELU_DEVICE_EXTENSION pDevExt, ULONG ulEvents)
{
    if (pDevExt->pWaitIrp == NULL) {
        return;
    }
    ULONG ulMatched = pDevExt->ulWaitMask & ulEvents;
    if (ulMatched != 0) {
        KeluCompletePendingWait(pDevExt, ulMatched);
    }
}
