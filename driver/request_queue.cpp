// kelu: the read and write queues of a port, their timeouts and their cancellation.
//
// Four parties take requests out of ReadQueue and WriteQueue: the transfer engine
// (PASSIVE_LEVEL, port Mutex held), the three timer DPCs (DISPATCH_LEVEL), the cancel
// routine (requester's cancel, up to DISPATCH_LEVEL) and the purges of close, cleanup,
// purge and removal (port Mutex held). They agree as follows:
//
//  - Every link change, and every touch of the head request by the transfer, happens
//    under QueueLock. A request taken out of its queue is left self-linked, so that a
//    cancel routine can tell that it is no longer queued.
//  - Whoever unlinks a request completes it, unless the request's cancel routine has
//    already been entered (KeluFinishRequest finds it cleared): then the cancel routine
//    completes it, finding it unlinked. Each request so leaves its queue once and is
//    completed once.
//  - A total timer is armed when a request becomes the head of its queue, whichever way
//    its predecessor left: the transfer, a timeout, a cancellation or a purge. A timer
//    is disarmed when its head leaves.
//  - A timer DPC acts only when its timer is armed for the present head and has
//    expired. A DPC still on its way for a head that has left finds the timer stopped
//    and does nothing, so it cannot end the next head; a timer is not armed again while
//    such a DPC is on its way (the DPC arms it when it has finished), so one run of a
//    DPC never stands for two expiries.
//  - A timer that is armed, or whose DPC is on its way, holds a reference on
//    ulOutstandingIo, so removal cannot delete the device under a DPC.
#include "kelu.h"

namespace {

// The longest relative due time a timer takes, in milliseconds: a larger total timeout
// (a 64-bit product of two 32-bit values) would overflow 100-nanosecond units, and
// waiting this long (about 29,000 years) is the same as waiting for ever.
const ULONGLONG kMaxDueMilliseconds = 0x7FFFFFFFFFFFFFFFULL / 10000;

// The read interval timer runs this much longer than the interval itself.
const ULONG kIntervalSlackMilliseconds = 30;

// One of a port's three timers, with its DPC and state.
struct Timer {
    PKTIMER pTimer;
    PKDPC pDpc;
    PKELU_TIMER_STATE pState;
};

Timer ReadTotalTimer(PKELU_DEVICE_EXTENSION pDevExt) {
    return {&pDevExt->ReadTotalTimer, &pDevExt->ReadTotalDpc, &pDevExt->ReadTotalState};
}

Timer ReadIntervalTimer(PKELU_DEVICE_EXTENSION pDevExt) {
    return {&pDevExt->ReadIntervalTimer, &pDevExt->ReadIntervalDpc, &pDevExt->ReadIntervalState};
}

Timer WriteTotalTimer(PKELU_DEVICE_EXTENSION pDevExt) {
    return {&pDevExt->WriteTotalTimer, &pDevExt->WriteTotalDpc, &pDevExt->WriteTotalState};
}

BOOLEAN IsBusy(const KELU_TIMER_STATE *pState) {
    return pState->bArmed || pState->bRunOwed;
}

VOID SetTimer(const Timer &timer, ULONGLONG ullMilliseconds) {
    if (ullMilliseconds > kMaxDueMilliseconds)
        ullMilliseconds = kMaxDueMilliseconds;
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = -(LONGLONG)(ullMilliseconds * 10000);
    KeSetTimer(timer.pTimer, dueTime, timer.pDpc);
    timer.pState->bArmed = TRUE;
}

// Stops the timer for the head it was armed for. QueueLock held.
VOID DisarmTimer(PKELU_DEVICE_EXTENSION pDevExt, const Timer &timer) {
    PKELU_TIMER_STATE pState = timer.pState;
    pState->bArmWhenRun = FALSE;
    if (!pState->bArmed)
        return;
    pState->bArmed = FALSE;
    // Only this file sets and cancels the timers, so a timer that is armed and no
    // longer on the clock has expired: its DPC is queued or running and will find the
    // timer stopped. Taken off the clock here before it expired: no DPC comes.
    if (!KeCancelTimer(timer.pTimer))
        pState->bRunOwed = TRUE;
    else
        KeluReleaseRequestReference(pDevExt);
}

// (Re)starts the timer for the head; while a DPC of the timer is on its way, that DPC
// arms it when it has finished. QueueLock held.
VOID ArmTimer(PKELU_DEVICE_EXTENSION pDevExt, const Timer &timer, ULONGLONG ullMilliseconds) {
    DisarmTimer(pDevExt, timer);
    PKELU_TIMER_STATE pState = timer.pState;
    if (pState->bRunOwed) {
        pState->bArmWhenRun = TRUE;
        pState->ullDueMilliseconds = ullMilliseconds;
        return;
    }
    InterlockedIncrement(&pDevExt->ulOutstandingIo);
    SetTimer(timer, ullMilliseconds);
}

BOOLEAN IsReadQueue(PKELU_DEVICE_EXTENSION pDevExt, PLIST_ENTRY pQueue) {
    return pQueue == &pDevExt->ReadQueue;
}

LONG volatile *QueuedCount(PKELU_DEVICE_EXTENSION pDevExt, PLIST_ENTRY pQueue) {
    return IsReadQueue(pDevExt, pQueue) ? &pDevExt->lReadsQueued : &pDevExt->lWritesQueued;
}

// Arms the total timer for the head of the queue: Length x multiplier + constant
// milliseconds, in 64 bits, not at all when that is 0. QueueLock held.
VOID StartTotalTimer(PKELU_DEVICE_EXTENSION pDevExt, PLIST_ENTRY pQueue) {
    PIRP Irp = KeluQueueHead(pQueue);
    if (Irp == NULL)
        return;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONGLONG ullTotal;
    if (IsReadQueue(pDevExt, pQueue)) {
        // Waiting for a first byte, the constant alone counts.
        ULONGLONG ullPerByte = KeluIsReadOnFirstByte(pDevExt)
                                   ? 0
                                   : pDevExt->Timeouts.ReadTotalTimeoutMultiplier;
        ullTotal = (ULONGLONG)stack->Parameters.Read.Length * ullPerByte +
                   pDevExt->Timeouts.ReadTotalTimeoutConstant;
        if (ullTotal != 0)
            ArmTimer(pDevExt, ReadTotalTimer(pDevExt), ullTotal);
    } else {
        ullTotal = (ULONGLONG)stack->Parameters.Write.Length *
                       pDevExt->Timeouts.WriteTotalTimeoutMultiplier +
                   pDevExt->Timeouts.WriteTotalTimeoutConstant;
        if (ullTotal != 0)
            ArmTimer(pDevExt, WriteTotalTimer(pDevExt), ullTotal);
    }
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_PENDING;
}

// The DPC of one of the timers: ends the head on the expiry the timer was armed for;
// otherwise it is a DPC whose timer was stopped after expiring, and does nothing.
// DISPATCH_LEVEL.
VOID ExpireHead(PKELU_DEVICE_EXTENSION pDevExt, PLIST_ENTRY pQueue, const Timer &timer) {
    PKELU_TIMER_STATE pState = timer.pState;
    KIRQL irql;  // DISPATCH_LEVEL already; KeAcquireSpinLock keeps it there
    KeAcquireSpinLock(&pDevExt->QueueLock, &irql);
    // Still armed: this is the expiry it was armed for (re-arming waits for this run).
    BOOLEAN bExpired = pState->bArmed;
    pState->bRunOwed = TRUE;  // until this run ends: re-arming waits for it
    PIRP Irp = NULL;
    if (bExpired) {
        pState->bArmed = FALSE;
        Irp = KeluUnlinkHeadLocked(pDevExt, pQueue);
    }
    pState->bRunOwed = FALSE;
    if (pState->bArmWhenRun) {
        pState->bArmWhenRun = FALSE;
        SetTimer(timer, pState->ullDueMilliseconds);
    }
    BOOLEAN bIdle = !IsBusy(pState);
    KeReleaseSpinLock(&pDevExt->QueueLock, irql);
    if (Irp != NULL)
        KeluFinishRequest(Irp, STATUS_TIMEOUT);
    if (bIdle)
        KeluReleaseRequestReference(pDevExt);  // last: the device may go once it is given back
}

// A cancelled read or write that has already moved bytes reports them as a success: the
// written ones are on their way to the partner, and the read ones reach the caller's
// buffer only with a success status. Completing it beats giving the bytes back to the
// receive ring, which may meanwhile have filled.
VOID CompleteCancelled(PIRP Irp) {
    Irp->IoStatus.Status = Irp->IoStatus.Information != 0 ? STATUS_SUCCESS : STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// KeluLinkCancelableLocked's body. KeluQueueRequest, which every read and write passes,
// calls it here so that the compiler inlines it: the call to the driver-wide routine,
// which the flushes make, would cost each request about 20 instructions.
BOOLEAN LinkCancelable(PLIST_ENTRY pQueue, volatile LONG *plQueued, PIRP Irp,
                       PDRIVER_CANCEL CancelRoutine) {
    // The cancel routine is installed and the request linked in one hold of QueueLock, so
    // a cancel routine entered at once waits for the lock and then finds the request queued.
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    BOOLEAN bCancelled = Irp->Cancel;
    if (!bCancelled)
        (VOID)IoSetCancelRoutine(Irp, CancelRoutine);
    IoReleaseCancelSpinLock(cancelIrql);
    if (bCancelled)
        return FALSE;
    InsertTailList(pQueue, &Irp->Tail.Overlay.ListEntry);
    InterlockedIncrement(plQueued);
    return TRUE;
}

}  // namespace

PIRP KeluQueueHead(PLIST_ENTRY pQueue) {
    if (IsListEmpty(pQueue))
        return NULL;
    return CONTAINING_RECORD(pQueue->Flink, IRP, Tail.Overlay.ListEntry);
}

BOOLEAN KeluIsQueueEmpty(PKELU_DEVICE_EXTENSION pDevExt, PLIST_ENTRY pQueue) {
    return InterlockedCompareExchange(QueuedCount(pDevExt, pQueue), 0, 0) == 0;
}

BOOLEAN KeluLinkCancelableLocked(PLIST_ENTRY pQueue, volatile LONG *plQueued, PIRP Irp,
                                 PDRIVER_CANCEL CancelRoutine) {
    return LinkCancelable(pQueue, plQueued, Irp, CancelRoutine);
}

BOOLEAN KeluQueueRequest(PKELU_DEVICE_EXTENSION pDevExt, PLIST_ENTRY pQueue, PIRP Irp) {
    KIRQL irql;
    KeAcquireSpinLock(&pDevExt->QueueLock, &irql);
    BOOLEAN bBecomesHead = IsListEmpty(pQueue);
    BOOLEAN bQueued =
        LinkCancelable(pQueue, QueuedCount(pDevExt, pQueue), Irp, KeluCancelQueuedIrp);
    // Still in the hold that linked it, so the new head cannot have left before its timer starts.
    if (bQueued && bBecomesHead)
        StartTotalTimer(pDevExt, pQueue);
    KeReleaseSpinLock(&pDevExt->QueueLock, irql);
    return bQueued;
}

PIRP KeluUnlinkHeadLocked(PKELU_DEVICE_EXTENSION pDevExt, PLIST_ENTRY pQueue) {
    PIRP Irp = KeluQueueHead(pQueue);
    if (Irp == NULL)
        return NULL;
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    InterlockedDecrement(QueuedCount(pDevExt, pQueue));
    if (IsReadQueue(pDevExt, pQueue)) {
        DisarmTimer(pDevExt, ReadTotalTimer(pDevExt));
        DisarmTimer(pDevExt, ReadIntervalTimer(pDevExt));
    } else {
        DisarmTimer(pDevExt, WriteTotalTimer(pDevExt));
    }
    StartTotalTimer(pDevExt, pQueue);
    return Irp;
}

VOID KeluArmReadIntervalTimerLocked(PKELU_DEVICE_EXTENSION pDevExt) {
    ULONG ulInterval = pDevExt->Timeouts.ReadIntervalTimeout;
    if (ulInterval == 0 || ulInterval == MAXULONG)
        return;
    ArmTimer(pDevExt, ReadIntervalTimer(pDevExt), (ULONGLONG)ulInterval + kIntervalSlackMilliseconds);
}

VOID KeluFinishRequest(PIRP Irp, NTSTATUS status) {
    // IoSetCancelRoutine exchanges the routine atomically, and IoCancelIrp takes it the
    // same way: exactly one of the two finds it set, so clearing it needs no cancel spin
    // lock (one global lock round trip fewer per completion).
    PDRIVER_CANCEL previous = IoSetCancelRoutine(Irp, NULL);
    if (previous == NULL)
        return;  // the cancel routine has been entered and completes the request
    if (status == STATUS_CANCELLED) {
        CompleteCancelled(Irp);
        return;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

NTSTATUS KeluCompleteCurrentRead(PKELU_DEVICE_EXTENSION pDevExt) {
    KIRQL irql;
    KeAcquireSpinLock(&pDevExt->QueueLock, &irql);
    PIRP Irp = KeluUnlinkHeadLocked(pDevExt, &pDevExt->ReadQueue);
    KeReleaseSpinLock(&pDevExt->QueueLock, irql);
    if (Irp == NULL)
        return STATUS_NO_MORE_ENTRIES;
    KeluFinishRequest(Irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

// Each request is unlinked here and completed as its cancel routine would complete it.
// Calling IoCancelIrp on a request after unlinking it would race with the requester's
// own cancellation, which may complete and free it.
NTSTATUS KeluCancelQueue(PKELU_DEVICE_EXTENSION pDevExt, PLIST_ENTRY pQueue) {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&pDevExt->QueueLock, &irql);
        PIRP Irp = KeluUnlinkHeadLocked(pDevExt, pQueue);
        KeReleaseSpinLock(&pDevExt->QueueLock, irql);
        if (Irp == NULL)
            return STATUS_SUCCESS;
        KeluFinishRequest(Irp, STATUS_CANCELLED);
    }
}

VOID NTAPI KeluCancelQueuedIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PLIST_ENTRY pQueue = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_READ
                             ? &pDevExt->ReadQueue
                             : &pDevExt->WriteQueue;
    PLIST_ENTRY pEntry = &Irp->Tail.Overlay.ListEntry;
    KIRQL irql;
    KeAcquireSpinLock(&pDevExt->QueueLock, &irql);
    if (pQueue->Flink == pEntry) {
        KeluUnlinkHeadLocked(pDevExt, pQueue);  // the next head gets its own timer
    } else if (!IsListEmpty(pEntry)) {
        RemoveEntryList(pEntry);
        InitializeListHead(pEntry);
        InterlockedDecrement(QueuedCount(pDevExt, pQueue));
    }
    KeReleaseSpinLock(&pDevExt->QueueLock, irql);
    CompleteCancelled(Irp);
}

VOID NTAPI KeluReadTotalTimeoutDpc(PKDPC, PVOID Context, PVOID, PVOID) {
    PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)Context;
    ExpireHead(pDevExt, &pDevExt->ReadQueue, ReadTotalTimer(pDevExt));
}

VOID NTAPI KeluReadIntervalTimeoutDpc(PKDPC, PVOID Context, PVOID, PVOID) {
    PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)Context;
    ExpireHead(pDevExt, &pDevExt->ReadQueue, ReadIntervalTimer(pDevExt));
}

VOID NTAPI KeluWriteTotalTimeoutDpc(PKDPC, PVOID Context, PVOID, PVOID) {
    PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)Context;
    ExpireHead(pDevExt, &pDevExt->WriteQueue, WriteTotalTimer(pDevExt));
}

NTSTATUS KeluTimeoutsRequest(PKELU_DEVICE_EXTENSION pDevExt, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PSERIAL_TIMEOUTS pBuffer = (PSERIAL_TIMEOUTS)Irp->AssociatedIrp.SystemBuffer;
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_TIMEOUTS) {
        if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(SERIAL_TIMEOUTS))
            return STATUS_BUFFER_TOO_SMALL;
        // Stored as given. A timer already running keeps its due time; the new values
        // count from the next arming.
        ExAcquireFastMutex(&pDevExt->Mutex);
        KIRQL irql;
        KeAcquireSpinLock(&pDevExt->QueueLock, &irql);
        pDevExt->Timeouts = *pBuffer;
        KeReleaseSpinLock(&pDevExt->QueueLock, irql);
        ExReleaseFastMutex(&pDevExt->Mutex);
        return STATUS_SUCCESS;
    }
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SERIAL_TIMEOUTS))
        return STATUS_BUFFER_TOO_SMALL;
    ExAcquireFastMutex(&pDevExt->Mutex);
    *pBuffer = pDevExt->Timeouts;
    ExReleaseFastMutex(&pDevExt->Mutex);
    Irp->IoStatus.Information = sizeof(SERIAL_TIMEOUTS);
    return STATUS_SUCCESS;
}
