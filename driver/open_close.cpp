// kelu: open, cleanup and close of a port, and the open's wait for the controlling
// application's confirmation.
//
// A port has at most one open handle. The open allocates the two rings, which live
// until the close; cleanup and close end every pending request of the port. On the
// control device the three routines only complete the request.
#include "kelu.h"

namespace {

// Ring sizes to try, largest first; a machine's memory class says where to start.
const ULONG kRingSizes[] = {4096, 1024, 128};

// Allocates one ring at the largest size that the memory class allows and the pool can
// give, setting *pulSize before each attempt. NULL when even the smallest size fails.
PUCHAR AllocateRing(PULONG pulSize) {
    ULONG ulFirst;
    switch (MmQuerySystemSize()) {
    case MmLargeSystem:
        ulFirst = 0;
        break;
    case MmMediumSystem:
        ulFirst = 1;
        break;
    default:
        ulFirst = 2;
        break;
    }
    for (ULONG i = ulFirst; i < sizeof(kRingSizes) / sizeof(kRingSizes[0]); i++) {
        *pulSize = kRingSizes[i];
        PVOID pRing = ExAllocatePoolWithTag(NonPagedPool, kRingSizes[i], KELU_POOL_TAG);
        if (pRing != NULL)
            return (PUCHAR)pRing;
    }
    return NULL;
}

VOID FreeRing(PUCHAR *ppRing) {
    if (*ppRing != NULL) {
        ExFreePoolWithTag(*ppRing, 0);
        *ppRing = NULL;
    }
}

// Frees both rings with their bytes; a closed port has no ring and counts nothing, so
// no request or event reports bytes it held. Port Mutex held.
VOID FreeRings(PKELU_DEVICE_EXTENSION pDevExt) {
    FreeRing(&pDevExt->pReadBuffer);
    FreeRing(&pDevExt->pWriteBuffer);
    pDevExt->ulReadBufferSize = pDevExt->ulWriteBufferSize = 0;
    pDevExt->ulReadBufferIn = pDevExt->ulReadBufferOut = pDevExt->ulReadBufferCount = 0;
    pDevExt->ulWriteBufferIn = pDevExt->ulWriteBufferOut = pDevExt->ulWriteBufferCount = 0;
}

// Both rings, or neither. Port Mutex held.
NTSTATUS AllocateRings(PKELU_DEVICE_EXTENSION pDevExt) {
    FreeRings(pDevExt);
    pDevExt->pReadBuffer = AllocateRing(&pDevExt->ulReadBufferSize);
    pDevExt->pWriteBuffer = AllocateRing(&pDevExt->ulWriteBufferSize);
    if (pDevExt->pReadBuffer == NULL || pDevExt->pWriteBuffer == NULL) {
        FreeRings(pDevExt);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

// Waits, without the port Mutex and without a time limit, until the controlling
// application answers or changes the port's confirmation flag, or the port is removed.
// Entered and left with the Mutex held; bOpening keeps other openers out meanwhile.
NTSTATUS AwaitConfirmation(PKELU_DEVICE_EXTENSION pDevExt) {
    PKEVENT pAnswered = &g_OpenConfirmationEvents[pDevExt->ulPortNumber];
    // Not signalled before the controlling application can learn that an open waits.
    KeClearEvent(pAnswered);
    pDevExt->bOpening = 1;
    if (pDevExt->pPortOpenedEvent != NULL)
        KeSetEvent(pDevExt->pPortOpenedEvent, IO_NO_INCREMENT, FALSE);
    ExReleaseFastMutex(&pDevExt->Mutex);
    KeWaitForSingleObject(pAnswered, UserRequest, KernelMode, FALSE, NULL);
    ExAcquireFastMutex(&pDevExt->Mutex);
    pDevExt->bOpening = 0;
    if (pDevExt->bRemoving)
        return STATUS_DELETE_PENDING;  // woken by removal (KeluWakeWaitingOpen)
    NTSTATUS answer = g_OpenConfirmationResults[pDevExt->ulPortNumber];
    return answer < 0 ? answer : STATUS_SUCCESS;
}

NTSTATUS CompleteWith(PIRP Irp, NTSTATUS status) {
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    return status;
}

// The partner's lines onto this port and this port's onto the partner, then the bytes
// that waited for this port in the partner's transmit ring and queued writes. No Mutex held.
VOID ConnectOpenedPort(PKELU_DEVICE_EXTENSION pDevExt) {
    KeluTransferLines(pDevExt);
    PKELU_DEVICE_EXTENSION pPartner = KeluGetPartnerExtension(pDevExt);
    if (pPartner != NULL)
        KeluTransferLines(pPartner);
    KeluAcquirePortPair(pDevExt, pPartner);
    KeluTransferDataLocked(pDevExt, pPartner);
    pDevExt->bRxCharOwed = pDevExt->ulReadBufferCount != 0;
    pDevExt->ulWaitHistory = 0;  // what the open itself raised is the state it starts in
    KeluReleasePortPair(pDevExt, pPartner);
    KeluReleasePortExtension(pPartner);
}

}  // namespace

VOID KeluCancelPendingRequests(PKELU_DEVICE_EXTENSION pDevExt) {
    KeluCancelQueue(pDevExt, &pDevExt->ReadQueue);
    KeluCancelQueue(pDevExt, &pDevExt->WriteQueue);
    KeluCancelFlushes(pDevExt);
    KeluCancelPendingWait(pDevExt);
}

NTSTATUS NTAPI KeluCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!KeluIsPortDevice(DeviceObject))
        return CompleteWith(Irp, STATUS_SUCCESS);
    PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status = KeluAcquireRequestReference(pDevExt);
    if (!NT_SUCCESS(status))
        return CompleteWith(Irp, status);

    BOOLEAN bConfirm = KeluMapIsConfirmationRequired((UCHAR)pDevExt->ulPortNumber);
    // The controlling application learns of the waiting open through the opened event;
    // the events are created before the Mutex is taken, since their thread takes it.
    if (bConfirm && !NT_SUCCESS(KeluCreatePortEvents(pDevExt))) {
        CompleteWith(Irp, STATUS_ACCESS_DENIED);
        KeluReleaseRequestReference(pDevExt);
        return STATUS_ACCESS_DENIED;
    }
    ExAcquireFastMutex(&pDevExt->Mutex);
    if (pDevExt->bOpened || pDevExt->bOpening) {
        // One handle at a time; a second opener is refused, not queued.
        status = STATUS_ACCESS_DENIED;
    } else if (pDevExt->bRemoving) {
        status = STATUS_DELETE_PENDING;  // removal began after the reference was taken
    } else if (!pDevExt->bStarted) {
        status = STATUS_UNSUCCESSFUL;  // a stop query was granted after the reference was taken
    } else {
        status = bConfirm ? AwaitConfirmation(pDevExt) : STATUS_SUCCESS;
        if (NT_SUCCESS(status))
            status = AllocateRings(pDevExt);
        if (NT_SUCCESS(status)) {
            pDevExt->bOpened = 1;
            pDevExt->bCleanedUp = 0;
            // An open that waited announced itself before it waited.
            if (!bConfirm && pDevExt->pPortOpenedEvent != NULL)
                KeSetEvent(pDevExt->pPortOpenedEvent, IO_NO_INCREMENT, FALSE);
        }
    }
    ExReleaseFastMutex(&pDevExt->Mutex);

    if (NT_SUCCESS(status))
        ConnectOpenedPort(pDevExt);
    CompleteWith(Irp, status);
    KeluReleaseRequestReference(pDevExt);
    return status;
}

// Cleanup ends what is pending but keeps the port open with its rings and their bytes.
// A request that reaches the handle after it (another thread racing the close) is
// cancelled on arrival, so nothing is left pending to keep the port open.
NTSTATUS NTAPI KeluCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (KeluIsPortDevice(DeviceObject)) {
        PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
        ExAcquireFastMutex(&pDevExt->Mutex);
        pDevExt->bCleanedUp = 1;
        KeluCancelPendingRequests(pDevExt);
        ExReleaseFastMutex(&pDevExt->Mutex);
    }
    return CompleteWith(Irp, STATUS_SUCCESS);
}

// Close discards the bytes in both rings and the errors not yet reported, and announces
// the close. The handshake lines stay as they are: the partner keeps seeing them. A break
// ends, since nobody would be left to end it.
NTSTATUS NTAPI KeluClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (KeluIsPortDevice(DeviceObject)) {
        PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
        ExAcquireFastMutex(&pDevExt->Mutex);
        pDevExt->bOpened = 0;
        pDevExt->bRxCharOwed = 0;
        pDevExt->ulErrors = 0;
        // A removed port has left the connection map; its partner keeps what it last saw.
        BOOLEAN bEndBreak = pDevExt->bBreakOn && !pDevExt->bRemoved;
        pDevExt->bBreakOn = 0;
        KeluCancelPendingRequests(pDevExt);
        FreeRings(pDevExt);
        if (pDevExt->pPortOpenedEvent != NULL)
            KeSetEvent(pDevExt->pPortOpenedEvent, IO_NO_INCREMENT, FALSE);
        ExReleaseFastMutex(&pDevExt->Mutex);
        if (bEndBreak)
            KeluTransferLines(pDevExt);
    }
    return CompleteWith(Irp, STATUS_SUCCESS);
}

VOID KeluWakeWaitingOpen(PKELU_DEVICE_EXTENSION pDevExt) {
    if (pDevExt->bOpening)
        KeSetEvent(&g_OpenConfirmationEvents[pDevExt->ulPortNumber], IO_NO_INCREMENT, FALSE);
}
