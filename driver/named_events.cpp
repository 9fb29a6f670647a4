// kelu: the four named notification events of a port, through which the controlling
// application learns of opens and closes, waiting data, settings changes and line
// changes without polling.
//
// The events are synchronization (auto-reset) events under \BaseNamedObjects, named
// for the port's one-based number. Their handles must belong to the system process: they
// outlive the application that asked for them and removal closes them from a system
// thread. A short-lived system thread therefore creates them.
//
// Lifetime. The event pointers are set by the creating thread and cleared by removal,
// both with the port's Mutex held (the events themselves are created and closed
// outside it, at PASSIVE_LEVEL); the handles are closed only after the pointers are
// cleared and the Mutex is released. Every signalling site either holds the Mutex or a
// request reference (which removal drains before it closes the events), so no site can
// signal an event whose handle has been closed.
#include "kelu.h"

namespace {

// How long a caller waits for its creating thread: 10 seconds, relative, in 100 ns.
const LONGLONG kCreationTimeout = -100000000LL;

// Names are formatted into a buffer of this many wide characters.
const USHORT kNameChars = 100;

// One call of KeluCreatePortEvents and its creating thread share this record. Both hold
// a count on it; whoever lets go last frees it, so a thread that outlives its caller's
// wait still signals a live event, and two calls never share a completion signal.
struct CreationContext {
    KEVENT Finished;                // notification event, set when the thread is done
    PKELU_DEVICE_EXTENSION pDevExt; // holds a request reference for the thread
    volatile LONG lHolders;
};

VOID ReleaseContext(CreationContext *pContext) {
    if (InterlockedDecrement(&pContext->lHolders) == 0)
        ExFreePoolWithTag(pContext, 0);
}

struct EventSlot {
    PCWSTR pszName;
    PKEVENT *ppEvent;
    HANDLE *phEvent;
};

// The four events in the order they are closed: opened, flow control, data, settings.
VOID GetSlots(PKELU_DEVICE_EXTENSION pDevExt, EventSlot slots[4]) {
    slots[0] = {L"\\BaseNamedObjects\\keluPortOpened", &pDevExt->pPortOpenedEvent,
                &pDevExt->hPortOpenedEvent};
    slots[1] = {L"\\BaseNamedObjects\\keluPortFlowControl", &pDevExt->pPortFlowControlEvent,
                &pDevExt->hPortFlowControlEvent};
    slots[2] = {L"\\BaseNamedObjects\\keluPortData", &pDevExt->pPortDataEvent,
                &pDevExt->hPortDataEvent};
    slots[3] = {L"\\BaseNamedObjects\\keluPortSettings", &pDevExt->pPortSettingsEvent,
                &pDevExt->hPortSettingsEvent};
}

BOOLEAN AllEventsExist(PKELU_DEVICE_EXTENSION pDevExt) {
    return pDevExt->pPortOpenedEvent != NULL && pDevExt->pPortDataEvent != NULL &&
           pDevExt->pPortSettingsEvent != NULL && pDevExt->pPortFlowControlEvent != NULL;
}

// Creates (or opens) one event, named for the port's one-based number, into the local
// pair. FALSE when it cannot be created. PASSIVE_LEVEL: not under the port's Mutex.
BOOLEAN CreateNamedEvent(ULONG ulPortNumber, PCWSTR pszName, PKEVENT *ppEvent, HANDLE *phEvent) {
    WCHAR nameBuffer[kNameChars];
    UNICODE_STRING name = {0, sizeof(nameBuffer), nameBuffer};
    WCHAR numberBuffer[12];
    UNICODE_STRING number = {0, sizeof(numberBuffer), numberBuffer};
    if (!NT_SUCCESS(RtlAppendUnicodeToString(&name, pszName)) ||
        !NT_SUCCESS(RtlIntegerToUnicodeString(ulPortNumber + 1, 10, &number)) ||
        !NT_SUCCESS(RtlAppendUnicodeStringToString(&name, &number))) {
        return FALSE;
    }
    *ppEvent = IoCreateSynchronizationEvent(&name, phEvent);
    return *ppEvent != NULL;
}

// Takes the events out of the port (the pointers become NULL under the Mutex) and
// collects their handles in closing order. Port Mutex held.
ULONG DetachEvents(PKELU_DEVICE_EXTENSION pDevExt, HANDLE handles[4]) {
    EventSlot slots[4];
    GetSlots(pDevExt, slots);
    ULONG ulCount = 0;
    for (ULONG i = 0; i < 4; i++) {
        if (*slots[i].ppEvent != NULL)
            handles[ulCount++] = *slots[i].phEvent;
        *slots[i].ppEvent = NULL;
        *slots[i].phEvent = NULL;
    }
    return ulCount;
}

}  // namespace

VOID NTAPI KeluCreatePortEventsThread(PVOID StartContext)
{
    CreationContext *pContext = (CreationContext *)StartContext;
    PKELU_DEVICE_EXTENSION pDevExt = pContext->pDevExt;

    // Creating a named event needs PASSIVE_LEVEL, so the four are created first, in
    // closing order, and installed under the Mutex afterwards. Whatever is not
    // installed (a partial set, a set another caller installed first, a port being
    // removed) is closed again.
    EventSlot slots[4];
    GetSlots(pDevExt, slots);
    PKEVENT events[4] = {NULL, NULL, NULL, NULL};
    HANDLE handles[4] = {NULL, NULL, NULL, NULL};
    BOOLEAN bCreated = TRUE;
    for (ULONG i = 0; i < 4 && bCreated; i++)
        bCreated = CreateNamedEvent(pDevExt->ulPortNumber, slots[i].pszName, &events[i], &handles[i]);

    ExAcquireFastMutex(&pDevExt->Mutex);
    BOOLEAN bInstall = bCreated && !pDevExt->bRemoving && !AllEventsExist(pDevExt);
    if (bInstall) {
        for (ULONG i = 0; i < 4; i++) {
            *slots[i].ppEvent = events[i];
            *slots[i].phEvent = handles[i];
            // Bytes already waiting in the transmit ring leave the data event signalled.
            if (slots[i].ppEvent != &pDevExt->pPortDataEvent || pDevExt->ulWriteBufferCount == 0)
                KeClearEvent(events[i]);
        }
    }
    ExReleaseFastMutex(&pDevExt->Mutex);
    if (!bInstall) {
        for (ULONG i = 0; i < 4; i++) {
            if (events[i] != NULL)
                ZwClose(handles[i]);
        }
    }

    // The reference taken for this thread by KeluCreatePortEvents; the context outlives
    // the port, so the caller's signal comes last and little driver code runs after it.
    // Returning ends the system thread as PsTerminateSystemThread would, without
    // unwinding through this image while the driver may be going away.
    KeluReleaseRequestReference(pDevExt);
    KeSetEvent(&pContext->Finished, IO_NO_INCREMENT, FALSE);
    ReleaseContext(pContext);
}

NTSTATUS KeluCreatePortEvents(PKELU_DEVICE_EXTENSION pDevExt)
{
    if (pDevExt == NULL)
        return STATUS_INVALID_PARAMETER;
    ExAcquireFastMutex(&pDevExt->Mutex);
    BOOLEAN bExist = AllEventsExist(pDevExt);
    ExReleaseFastMutex(&pDevExt->Mutex);
    if (bExist)
        return STATUS_SUCCESS;

    CreationContext *pContext = (CreationContext *)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(CreationContext), KELU_POOL_TAG);
    if (pContext == NULL)
        return STATUS_UNSUCCESSFUL;
    KeInitializeEvent(&pContext->Finished, NotificationEvent, FALSE);
    pContext->pDevExt = pDevExt;
    pContext->lHolders = 2;
    // The thread's own reference keeps the port from being deleted under it, should it
    // run longer than our wait. The caller's reference keeps the count above 0 here.
    InterlockedIncrement(&pDevExt->ulOutstandingIo);
    HANDLE hThread = NULL;
    NTSTATUS status = PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                           KeluCreatePortEventsThread, pContext);
    if (!NT_SUCCESS(status)) {
        KeluReleaseRequestReference(pDevExt);
        ExFreePoolWithTag(pContext, 0);
        return STATUS_UNSUCCESSFUL;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = kCreationTimeout;
    KeWaitForSingleObject(&pContext->Finished, UserRequest, KernelMode, FALSE, &timeout);
    ReleaseContext(pContext);

    ExAcquireFastMutex(&pDevExt->Mutex);
    bExist = AllEventsExist(pDevExt);
    ExReleaseFastMutex(&pDevExt->Mutex);
    ZwClose(hThread);
    return bExist ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

VOID KeluClosePortEvents(PKELU_DEVICE_EXTENSION pDevExt)
{
    HANDLE handles[4];
    ExAcquireFastMutex(&pDevExt->Mutex);
    ULONG ulCount = DetachEvents(pDevExt, handles);
    ExReleaseFastMutex(&pDevExt->Mutex);
    for (ULONG i = 0; i < ulCount; i++)
        ZwClose(handles[i]);
}
