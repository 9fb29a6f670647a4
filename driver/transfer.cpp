// kelu: the transfer engine, which carries bytes between the two ports of a pair.
//
// Bytes take three hops: the head write of a port into its transmit ring, the transmit
// ring into the partner's receive ring (only while the partner is open), the receive
// ring into the partner's head read. The engine runs in the thread of the request that
// calls it, with both ports' Mutex held for its whole length; there is no worker thread.
#include "kelu.h"

namespace {

// What one direction of a transfer knows of its sender. Writes are queued only under the
// sender's Mutex, held for the whole transfer, so a write queue seen empty (under
// QueueLock) stays empty until the transfer ends and need not be looked at again; one
// seen holding writes may still lose them meanwhile to a timeout or a cancellation.
struct Sender {
    PKELU_DEVICE_EXTENSION pPort;
    BOOLEAN bWritesQueued;  // FALSE once the write queue was seen empty
    BOOLEAN bStored;        // bytes went into the transmit ring or straight to a read
};

// Copies what fits of the head write into the port's transmit ring and completes the
// write once its last byte is in. TRUE when there was a head write and room for it.
BOOLEAN FeedTransmitRing(Sender *pSender) {
    PKELU_DEVICE_EXTENSION pPort = pSender->pPort;
    if (!pSender->bWritesQueued || pPort->pWriteBuffer == NULL ||
        pPort->ulWriteBufferCount == pPort->ulWriteBufferSize)
        return FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&pPort->QueueLock, &irql);
    PIRP Irp = KeluQueueHead(&pPort->WriteQueue);
    PIRP Done = NULL;
    if (Irp != NULL) {
        ULONG ulLength = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
        ULONG ulDone = (ULONG)Irp->IoStatus.Information;
        ULONG ulStored = KeluPutToWriteBuffer(
            pPort, (const UCHAR *)Irp->AssociatedIrp.SystemBuffer + ulDone, ulLength - ulDone);
        Irp->IoStatus.Information = ulDone + ulStored;
        if (ulStored != 0)
            pSender->bStored = TRUE;
        if (ulDone + ulStored == ulLength)
            Done = KeluUnlinkHeadLocked(pPort, &pPort->WriteQueue);
    }
    pSender->bWritesQueued = !IsListEmpty(&pPort->WriteQueue);
    KeReleaseSpinLock(&pPort->QueueLock, irql);
    if (Done != NULL)
        KeluFinishRequest(Done, STATUS_SUCCESS);
    return Irp != NULL;
}

// Hands received bytes to the head read; completes it when full (or, waiting for a first
// byte, when it has one), otherwise restarts its interval timer. TRUE when there was a
// head read and bytes for it.
BOOLEAN FillHeadRead(PKELU_DEVICE_EXTENSION pPort) {
    if (pPort->ulReadBufferCount == 0)
        return FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&pPort->QueueLock, &irql);
    PIRP Irp = KeluQueueHead(&pPort->ReadQueue);
    PIRP Done = NULL;
    if (Irp != NULL) {
        ULONG ulLength = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
        ULONG ulDone = (ULONG)Irp->IoStatus.Information;
        ULONG ulTaken = KeluGetFromReadBuffer(
            pPort, (PUCHAR)Irp->AssociatedIrp.SystemBuffer + ulDone, ulLength - ulDone);
        Irp->IoStatus.Information = ulDone + ulTaken;
        if (ulDone + ulTaken == ulLength || KeluIsReadOnFirstByte(pPort))
            Done = KeluUnlinkHeadLocked(pPort, &pPort->ReadQueue);
        else
            KeluArmReadIntervalTimerLocked(pPort);
    }
    KeReleaseSpinLock(&pPort->QueueLock, irql);
    if (Done != NULL)
        KeluFinishRequest(Done, STATUS_SUCCESS);
    return Irp != NULL;
}

// While both rings are empty, a pass of the loop below carries up to a transmit ring's
// worth of the head write through both rings into the head read. When that chunk fits
// the receive ring and the read, this copies it from the write straight to the read
// instead, with the counts, completions, timers and events the pass would give. TRUE
// when it did. The receiver is open.
BOOLEAN HandWriteToRead(Sender *pSending, PKELU_DEVICE_EXTENSION pReceiver) {
    PKELU_DEVICE_EXTENSION pSender = pSending->pPort;
    if (!pSending->bWritesQueued || pSender->pWriteBuffer == NULL ||
        pReceiver->pReadBuffer == NULL || pSender->ulWriteBufferCount != 0 ||
        pReceiver->ulReadBufferCount != 0)
        return FALSE;
    // The two queue locks nest only here, under both ports' Mutexes, so their order cannot
    // meet the opposite one.
    KIRQL irql;
    KIRQL receiverIrql = DISPATCH_LEVEL;
    KeAcquireSpinLock(&pSender->QueueLock, &irql);
    if (pReceiver != pSender)
        KeAcquireSpinLock(&pReceiver->QueueLock, &receiverIrql);
    PIRP Write = KeluQueueHead(&pSender->WriteQueue);
    PIRP Read = KeluQueueHead(&pReceiver->ReadQueue);
    ULONG ulWriteLength = 0;
    ULONG ulReadLength = 0;
    ULONG ulChunk = 0;
    if (Write != NULL && Read != NULL) {
        ulWriteLength = IoGetCurrentIrpStackLocation(Write)->Parameters.Write.Length;
        ulReadLength = IoGetCurrentIrpStackLocation(Read)->Parameters.Read.Length;
        ulChunk = ulWriteLength - (ULONG)Write->IoStatus.Information;
        if (ulChunk > pSender->ulWriteBufferSize)
            ulChunk = pSender->ulWriteBufferSize;
        if (ulChunk > pReceiver->ulReadBufferSize ||
            ulChunk > ulReadLength - (ULONG)Read->IoStatus.Information)
            ulChunk = 0;
    }
    PIRP DoneWrite = NULL;
    PIRP DoneRead = NULL;
    BOOLEAN bEventChar = FALSE;
    if (ulChunk != 0) {
        const UCHAR *pSource =
            (const UCHAR *)Write->AssociatedIrp.SystemBuffer + Write->IoStatus.Information;
        RtlCopyMemory((PUCHAR)Read->AssociatedIrp.SystemBuffer + Read->IoStatus.Information,
                      pSource, ulChunk);
        bEventChar = KeluHasEventChar(pReceiver, pSource, ulChunk);
        Write->IoStatus.Information += ulChunk;
        Read->IoStatus.Information += ulChunk;
        if (Write->IoStatus.Information == ulWriteLength)
            DoneWrite = KeluUnlinkHeadLocked(pSender, &pSender->WriteQueue);
        if (Read->IoStatus.Information == ulReadLength || KeluIsReadOnFirstByte(pReceiver))
            DoneRead = KeluUnlinkHeadLocked(pReceiver, &pReceiver->ReadQueue);
        else
            KeluArmReadIntervalTimerLocked(pReceiver);
    }
    pSending->bWritesQueued = !IsListEmpty(&pSender->WriteQueue);
    if (pReceiver != pSender)
        KeReleaseSpinLock(&pReceiver->QueueLock, receiverIrql);
    KeReleaseSpinLock(&pSender->QueueLock, irql);
    if (ulChunk == 0)
        return FALSE;
    // In the order of the pass: the write's completion, the move's events, the read's.
    pSending->bStored = TRUE;
    if (DoneWrite != NULL)
        KeluFinishRequest(DoneWrite, STATUS_SUCCESS);
    KeluSignalWaitEvents(pReceiver, KeluMoveEvents(pReceiver, bEventChar, ulChunk));
    if (DoneRead != NULL)
        KeluFinishRequest(DoneRead, STATUS_SUCCESS);
    return TRUE;
}

// One direction of a transfer: the sender's writes towards the receiver's reads, until
// a whole pass moves nothing. The receiver may be NULL.
VOID TransferOneWay(PKELU_DEVICE_EXTENSION pPort, PKELU_DEVICE_EXTENSION pReceiver) {
    Sender sender = {pPort, !KeluIsQueueEmpty(pPort, &pPort->WriteQueue), FALSE};
    BOOLEAN bHadWriteWork = sender.bWritesQueued || pPort->ulWriteBufferCount != 0;
    BOOLEAN bProgress;
    do {
        if (pReceiver != NULL && pReceiver->bOpened && HandWriteToRead(&sender, pReceiver)) {
            bProgress = TRUE;
            continue;
        }
        bProgress = FeedTransmitRing(&sender);
        if (pReceiver != NULL && pReceiver->bOpened) {
            if (KeluMoveWriteToReadBuffer(pReceiver, pPort) != 0)
                bProgress = TRUE;
            if (FillHeadRead(pReceiver))
                bProgress = TRUE;
        }
    } while (bProgress);

    if (sender.bStored && pPort->pPortDataEvent != NULL)
        KeSetEvent(pPort->pPortDataEvent, IO_NO_INCREMENT, FALSE);
    if (sender.bWritesQueued)
        sender.bWritesQueued = !KeluIsQueueEmpty(pPort, &pPort->WriteQueue);
    if (pPort->ulWriteBufferCount == 0 && !sender.bWritesQueued) {
        if (bHadWriteWork)
            KeluSignalWaitEvents(pPort, SERIAL_EV_TXEMPTY);
        KeluCompleteFlushes(pPort);
    }
}

}  // namespace

BOOLEAN KeluIsImmediateRead(PKELU_DEVICE_EXTENSION pPort) {
    return pPort->Timeouts.ReadIntervalTimeout == MAXULONG &&
           pPort->Timeouts.ReadTotalTimeoutMultiplier == 0 &&
           pPort->Timeouts.ReadTotalTimeoutConstant == 0;
}

BOOLEAN KeluIsReadOnFirstByte(PKELU_DEVICE_EXTENSION pPort) {
    ULONG ulConstant = pPort->Timeouts.ReadTotalTimeoutConstant;
    return pPort->Timeouts.ReadIntervalTimeout == MAXULONG &&
           pPort->Timeouts.ReadTotalTimeoutMultiplier == MAXULONG && ulConstant != 0 &&
           ulConstant != MAXULONG;
}

ULONG KeluBytesToTransmit(PKELU_DEVICE_EXTENSION pPort) {
    ULONG ulBytes = pPort->ulWriteBufferCount;
    KIRQL irql;
    KeAcquireSpinLock(&pPort->QueueLock, &irql);
    for (PLIST_ENTRY pEntry = pPort->WriteQueue.Flink; pEntry != &pPort->WriteQueue;
         pEntry = pEntry->Flink) {
        PIRP Irp = CONTAINING_RECORD(pEntry, IRP, Tail.Overlay.ListEntry);
        ulBytes += IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length -
                   (ULONG)Irp->IoStatus.Information;
    }
    KeReleaseSpinLock(&pPort->QueueLock, irql);
    return ulBytes;
}

VOID KeluTransferDataLocked(PKELU_DEVICE_EXTENSION pPort, PKELU_DEVICE_EXTENSION pPartner) {
    if (pPort != NULL)
        TransferOneWay(pPort, pPartner);
    if (pPartner != NULL) {
        TransferOneWay(pPartner, pPort);
    } else if (pPort != NULL) {
        // Without a partner nothing else hands the port's own receive ring (bytes put
        // in by the controlling application, or left from a dissolved pair) to its reads.
        while (FillHeadRead(pPort)) {
        }
    }
    // In immediate-return mode every pending read ends now with what it has.
    PKELU_DEVICE_EXTENSION ports[2] = {pPort, pPartner};
    for (PKELU_DEVICE_EXTENSION pEach : ports) {
        if (pEach != NULL && KeluIsImmediateRead(pEach)) {
            while (KeluCompleteCurrentRead(pEach) == STATUS_SUCCESS) {
            }
        }
    }
}

NTSTATUS KeluTransferData(PKELU_DEVICE_EXTENSION pPort, PKELU_DEVICE_EXTENSION pPartner) {
    KeluAcquirePortPair(pPort, pPartner);
    KeluTransferDataLocked(pPort, pPartner);
    KeluReleasePortPair(pPort, pPartner);
    return STATUS_SUCCESS;
}
