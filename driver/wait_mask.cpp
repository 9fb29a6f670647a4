// kelu: the wait-on-mask requests of a port and the serial events raised on it.
//
// A port keeps one wait mask and at most one pending IOCTL_SERIAL_WAIT_ON_MASK request
// (pWaitIrp). An event outside the mask is dropped. One in the mask raised while no wait
// is pending is remembered (ulWaitHistory) and completes the next wait at once, as the
// Windows serial driver does: an application that reads what it was told of and then
// waits again would otherwise sleep past bytes, line changes or an empty transmit ring
// that came in between. The history starts when the port has opened, and a new mask
// keeps only the events it still holds. Bytes that the open itself brought in (written
// while the port was closed) arrive before any wait can exist, so the first wait for
// SERIAL_EV_RXCHAR while they are still waiting hears of them too.
//
// pWaitIrp is written only with both the port's Mutex and the cancel spin lock held,
// except by the cancel routine, which cannot take the Mutex and clears it under the
// cancel spin lock alone, with an interlocked exchange. Code holding the Mutex may
// therefore test it for NULL (KeluIsWaitPending, an interlocked read), but takes the
// request out of it only under the cancel spin lock. Whoever takes it out
// and clears the cancel routine there completes the request; a request whose cancel
// routine is already gone is being completed by that routine. So a wait is completed
// exactly once and the port never keeps a pointer to a completed request.
#include "kelu.h"

namespace {

// Takes the pending wait out of the port, or NULL when there is none or its
// cancellation has begun. Port Mutex held.
PIRP TakePendingWait(PKELU_DEVICE_EXTENSION pDevExt) {
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    PIRP Irp = pDevExt->pWaitIrp;
    pDevExt->pWaitIrp = NULL;
    if (Irp != NULL && IoSetCancelRoutine(Irp, NULL) == NULL) {
        // The cancel routine was entered by IoCancelIrp before it took the spin lock
        // from us; it clears pWaitIrp only when it still names the request, and
        // completes the request itself.
        Irp = NULL;
    }
    IoReleaseCancelSpinLock(cancelIrql);
    return Irp;
}

// Completes the pending wait with the given events. FALSE when there was none to take.
BOOLEAN CompletePendingWait(PKELU_DEVICE_EXTENSION pDevExt, ULONG ulEvents) {
    PIRP Irp = TakePendingWait(pDevExt);
    if (Irp == NULL) {
        return FALSE;
    }
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = ulEvents;
    Irp->IoStatus.Information = sizeof(ULONG);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return TRUE;
}

}  // namespace

BOOLEAN KeluIsWaitPending(PKELU_DEVICE_EXTENSION pDevExt)
{
    return InterlockedCompareExchangePointer((PVOID volatile *)&pDevExt->pWaitIrp, NULL, NULL) != NULL;
}

VOID KeluCompletePendingWait(PKELU_DEVICE_EXTENSION pDevExt, ULONG ulEvents)
{
    if (KeluIsWaitPending(pDevExt)) {
        CompletePendingWait(pDevExt, ulEvents);
    }
}

VOID KeluCancelPendingWait(PKELU_DEVICE_EXTENSION pDevExt)
{
    if (!KeluIsWaitPending(pDevExt)) {
        return;
    }
    PIRP Irp = TakePendingWait(pDevExt);
    if (Irp == NULL) {
        return;
    }
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

VOID KeluSignalWaitEvents(PKELU_DEVICE_EXTENSION pDevExt, ULONG ulEvents)
{
    ULONG ulMatched = pDevExt->ulWaitMask & ulEvents;
    if (ulMatched == 0) {
        return;
    }
    // A wait whose cancellation has begun cannot take the events: they wait for the next.
    if (!KeluIsWaitPending(pDevExt) || !CompletePendingWait(pDevExt, ulMatched)) {
        pDevExt->ulWaitHistory |= ulMatched;
    }
}

VOID KeluSetWaitMask(PKELU_DEVICE_EXTENSION pDevExt, ULONG ulMask)
{
    // Any bits are stored; those this port never raises simply never complete a wait.
    pDevExt->ulWaitMask = ulMask;
    pDevExt->ulWaitHistory &= ulMask;
    KeluCompletePendingWait(pDevExt, 0);
}

NTSTATUS KeluWaitOnMask(PKELU_DEVICE_EXTENSION pDevExt, PIRP Irp)
{
    if (pDevExt->ulWaitMask == 0) {
        return STATUS_UNSUCCESSFUL;  // an older wait stays pending
    }
    if (pDevExt->bRemoving) {
        // Removal has already cancelled the pending wait; a wait queued now would
        // outlive the device.
        return STATUS_DELETE_PENDING;
    }
    if (pDevExt->bCleanedUp)
        return STATUS_CANCELLED;  // the handle's cleanup has run: nothing would end it
    // A new wait replaces the old one, which succeeds with no events.
    KeluCompletePendingWait(pDevExt, 0);

    ULONG ulHeard = pDevExt->ulWaitHistory;
    if (pDevExt->bRxCharOwed && pDevExt->ulReadBufferCount != 0 &&
        (pDevExt->ulWaitMask & SERIAL_EV_RXCHAR) != 0) {
        ulHeard |= SERIAL_EV_RXCHAR;
        pDevExt->bRxCharOwed = 0;
    }
    if (ulHeard != 0) {
        // Told at once, as the reply of this request.
        pDevExt->ulWaitHistory = 0;
        *(PULONG)Irp->AssociatedIrp.SystemBuffer = ulHeard;
        Irp->IoStatus.Information = sizeof(ULONG);
        return STATUS_SUCCESS;
    }

    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    if (Irp->Cancel) {
        // Cancelled before it had a cancel routine: nobody else will complete it.
        IoReleaseCancelSpinLock(cancelIrql);
        return STATUS_CANCELLED;
    }
    (VOID)IoSetCancelRoutine(Irp, KeluCancelWaitIrp);
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    pDevExt->pWaitIrp = Irp;
    IoReleaseCancelSpinLock(cancelIrql);
    return STATUS_PENDING;
}

VOID NTAPI KeluCancelWaitIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
    // Only when it still names this request: a newer wait may have taken its place.
    (VOID)InterlockedCompareExchangePointer((PVOID volatile *)&pDevExt->pWaitIrp, NULL, Irp);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}
