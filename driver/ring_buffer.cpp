// kelu: the two ring buffers of a port and the operations that move bytes through them.
//
// Every routine here runs with the Mutex of each port it touches held. Bytes move in
// contiguous runs (a wrap splits a run in two); the results, counts and raised events
// are those of moving one byte at a time.
#include "kelu.h"

namespace {

// A view of one ring: the receive ring (pReadBuffer...) or the transmit ring
// (pWriteBuffer...) of a port.
struct Ring {
    PUCHAR pBuffer;
    ULONG ulSize;
    ULONG *pulIn;
    ULONG *pulOut;
    ULONG *pulCount;
};

Ring ReceiveRing(PKELU_DEVICE_EXTENSION pDevExt) {
    return {pDevExt->pReadBuffer, pDevExt->ulReadBufferSize, &pDevExt->ulReadBufferIn,
            &pDevExt->ulReadBufferOut, &pDevExt->ulReadBufferCount};
}

Ring TransmitRing(PKELU_DEVICE_EXTENSION pDevExt) {
    return {pDevExt->pWriteBuffer, pDevExt->ulWriteBufferSize, &pDevExt->ulWriteBufferIn,
            &pDevExt->ulWriteBufferOut, &pDevExt->ulWriteBufferCount};
}

// Stores up to ulCount bytes, as many as there is room for; returns the number stored.
ULONG RingStore(const Ring &ring, const UCHAR *pSource, ULONG ulCount) {
    if (ring.pBuffer == NULL)
        return 0;
    ULONG ulRoom = ring.ulSize - *ring.pulCount;
    if (ulCount > ulRoom)
        ulCount = ulRoom;
    ULONG ulFirst = ring.ulSize - *ring.pulIn;  // room before the wrap
    if (ulFirst > ulCount)
        ulFirst = ulCount;
    RtlCopyMemory(ring.pBuffer + *ring.pulIn, pSource, ulFirst);
    RtlCopyMemory(ring.pBuffer, pSource + ulFirst, ulCount - ulFirst);
    *ring.pulIn = ulFirst < ulCount ? ulCount - ulFirst : *ring.pulIn + ulFirst;
    if (*ring.pulIn == ring.ulSize)
        *ring.pulIn = 0;
    *ring.pulCount += ulCount;
    return ulCount;
}

// Takes up to ulCount bytes, as many as the ring holds; returns the number taken.
ULONG RingTake(const Ring &ring, PUCHAR pTarget, ULONG ulCount) {
    if (ring.pBuffer == NULL)
        return 0;
    if (ulCount > *ring.pulCount)
        ulCount = *ring.pulCount;
    ULONG ulFirst = ring.ulSize - *ring.pulOut;  // bytes before the wrap
    if (ulFirst > ulCount)
        ulFirst = ulCount;
    RtlCopyMemory(pTarget, ring.pBuffer + *ring.pulOut, ulFirst);
    RtlCopyMemory(pTarget + ulFirst, ring.pBuffer, ulCount - ulFirst);
    *ring.pulOut = ulFirst < ulCount ? ulCount - ulFirst : *ring.pulOut + ulFirst;
    if (*ring.pulOut == ring.ulSize)
        *ring.pulOut = 0;
    *ring.pulCount -= ulCount;
    return ulCount;
}

// The receive count from which SERIAL_EV_RX80FULL is raised.
ULONG Rx80FullMark(PKELU_DEVICE_EXTENSION pDevExt) {
    return pDevExt->ulReadBufferSize * 80 / 100;
}

// The size a ring gets for a requested size: 0 counts as 1, and a ring never becomes
// smaller than the bytes it holds, so resizing loses none of them.
ULONG NewRingSize(const Ring &ring, ULONG ulRequested) {
    if (ulRequested == 0)
        ulRequested = 1;
    return ulRequested < *ring.pulCount ? *ring.pulCount : ulRequested;
}

// Moves the ring's bytes, oldest first, to the start of pNew (ulSize bytes, no fewer than
// the ring holds) and makes pNew the ring, freeing the old buffer.
VOID MoveRing(const Ring &ring, PUCHAR *ppBuffer, PULONG pulSize, PUCHAR pNew, ULONG ulSize) {
    ULONG ulCount = RingTake(ring, pNew, *ring.pulCount);
    if (*ppBuffer != NULL)
        ExFreePoolWithTag(*ppBuffer, 0);
    *ppBuffer = pNew;
    *pulSize = ulSize;
    *ring.pulOut = 0;
    *ring.pulIn = ulCount == ulSize ? 0 : ulCount;
    *ring.pulCount = ulCount;
}

}  // namespace

BOOLEAN KeluHasEventChar(PKELU_DEVICE_EXTENSION pReceiver, const UCHAR *pBytes, ULONG ulCount) {
    // Eight bytes at a time: a word XORed with the character repeated has a zero byte
    // where the character is, and (x - 0x01..01) & ~x & 0x80..80 is nonzero just then.
    const ULONGLONG ullOnes = 0x0101010101010101ULL;
    const ULONGLONG ullRepeated = ullOnes * pReceiver->Chars.EventChar;
    ULONG i = 0;
    for (; i + sizeof(ULONGLONG) <= ulCount; i += sizeof(ULONGLONG)) {
        ULONGLONG ullWord;
        RtlCopyMemory(&ullWord, pBytes + i, sizeof(ullWord));
        ULONGLONG ullDiffers = ullWord ^ ullRepeated;
        if (((ullDiffers - ullOnes) & ~ullDiffers & (ullOnes << 7)) != 0)
            return TRUE;
    }
    for (; i < ulCount; i++) {
        if (pBytes[i] == pReceiver->Chars.EventChar)
            return TRUE;
    }
    return FALSE;
}

ULONG KeluMoveEvents(PKELU_DEVICE_EXTENSION pReceiver, BOOLEAN bEventChar, ULONG ulCountAfter) {
    ULONG ulEvents = SERIAL_EV_RXCHAR;
    if (bEventChar)
        ulEvents |= SERIAL_EV_RXFLAG;
    if (ulCountAfter >= Rx80FullMark(pReceiver))
        ulEvents |= SERIAL_EV_RX80FULL;
    return ulEvents;
}

NTSTATUS KeluResizeRings(PKELU_DEVICE_EXTENSION pDevExt, ULONG ulReceiveSize, ULONG ulTransmitSize) {
    Ring receive = ReceiveRing(pDevExt);
    Ring transmit = TransmitRing(pDevExt);
    ulReceiveSize = NewRingSize(receive, ulReceiveSize);
    ulTransmitSize = NewRingSize(transmit, ulTransmitSize);
    PUCHAR pNewReceive = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, ulReceiveSize, KELU_POOL_TAG);
    PUCHAR pNewTransmit = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, ulTransmitSize, KELU_POOL_TAG);
    if (pNewReceive == NULL || pNewTransmit == NULL) {
        if (pNewReceive != NULL)
            ExFreePoolWithTag(pNewReceive, 0);
        if (pNewTransmit != NULL)
            ExFreePoolWithTag(pNewTransmit, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MoveRing(receive, &pDevExt->pReadBuffer, &pDevExt->ulReadBufferSize, pNewReceive, ulReceiveSize);
    MoveRing(transmit, &pDevExt->pWriteBuffer, &pDevExt->ulWriteBufferSize, pNewTransmit,
             ulTransmitSize);
    return STATUS_SUCCESS;
}

// The controlling application's bytes: events are raised byte by byte (SERIAL_EV_RX80FULL
// for each byte at or above the mark, SERIAL_EV_RXCHAR after the first, SERIAL_EV_RXFLAG
// after each event character), so the first raise that meets the mask of a pending wait
// ends it and the later ones are kept for the next wait.
ULONG KeluPutToReadBuffer(PKELU_DEVICE_EXTENSION pDevExt, const UCHAR *pSource, ULONG ulCount) {
    ULONG ulCountBefore = pDevExt->ulReadBufferCount;
    ULONG ulStored = RingStore(ReceiveRing(pDevExt), pSource, ulCount);
    ULONG ulMark = Rx80FullMark(pDevExt);
    for (ULONG i = 0; i < ulStored; i++) {
        if (ulCountBefore + i + 1 >= ulMark)
            KeluSignalWaitEvents(pDevExt, SERIAL_EV_RX80FULL);
        if (i == 0)
            KeluSignalWaitEvents(pDevExt, SERIAL_EV_RXCHAR);
        if (pSource[i] == pDevExt->Chars.EventChar)
            KeluSignalWaitEvents(pDevExt, SERIAL_EV_RXFLAG);
    }
    return ulStored;
}

ULONG KeluGetFromReadBuffer(PKELU_DEVICE_EXTENSION pDevExt, PUCHAR pTarget, ULONG ulCount) {
    return RingTake(ReceiveRing(pDevExt), pTarget, ulCount);
}

ULONG KeluPutToWriteBuffer(PKELU_DEVICE_EXTENSION pDevExt, const UCHAR *pSource, ULONG ulCount) {
    return RingStore(TransmitRing(pDevExt), pSource, ulCount);
}

ULONG KeluGetFromWriteBuffer(PKELU_DEVICE_EXTENSION pDevExt, PUCHAR pTarget, ULONG ulCount) {
    return RingTake(TransmitRing(pDevExt), pTarget, ulCount);
}

BOOLEAN KeluPutInFrontOfWriteBuffer(PKELU_DEVICE_EXTENSION pDevExt, UCHAR ch) {
    if (pDevExt->pWriteBuffer == NULL || pDevExt->ulWriteBufferCount == pDevExt->ulWriteBufferSize)
        return FALSE;
    if (pDevExt->ulWriteBufferOut == 0)
        pDevExt->ulWriteBufferOut = pDevExt->ulWriteBufferSize;
    pDevExt->ulWriteBufferOut--;
    pDevExt->pWriteBuffer[pDevExt->ulWriteBufferOut] = ch;
    pDevExt->ulWriteBufferCount++;
    return TRUE;
}

// Moves what fits from the sender's transmit ring into the receiver's receive ring and
// raises the receiver's receive events once, at the end. A closed sender has no ring
// and counts no bytes, so it moves nothing.
ULONG KeluMoveWriteToReadBuffer(PKELU_DEVICE_EXTENSION pReceiver, PKELU_DEVICE_EXTENSION pSender) {
    if (pSender->ulWriteBufferCount == 0 || pReceiver->pReadBuffer == NULL)
        return 0;
    Ring receive = ReceiveRing(pReceiver);
    BOOLEAN bEventChar = FALSE;
    ULONG ulMoved = 0;
    for (;;) {
        // One contiguous run of the transmit ring, as far as its wrap.
        ULONG ulRun = pSender->ulWriteBufferSize - pSender->ulWriteBufferOut;
        if (ulRun > pSender->ulWriteBufferCount)
            ulRun = pSender->ulWriteBufferCount;
        const UCHAR *pRun = pSender->pWriteBuffer + pSender->ulWriteBufferOut;
        ULONG ulStored = RingStore(receive, pRun, ulRun);
        if (ulStored == 0)
            break;
        if (!bEventChar)
            bEventChar = KeluHasEventChar(pReceiver, pRun, ulStored);
        pSender->ulWriteBufferOut += ulStored;
        if (pSender->ulWriteBufferOut == pSender->ulWriteBufferSize)
            pSender->ulWriteBufferOut = 0;
        pSender->ulWriteBufferCount -= ulStored;
        ulMoved += ulStored;
    }
    if (ulMoved != 0)
        KeluSignalWaitEvents(pReceiver,
                             KeluMoveEvents(pReceiver, bEventChar, pReceiver->ulReadBufferCount));
    return ulMoved;
}
