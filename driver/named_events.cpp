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
// both with the port's Mutex held; the handles are closed only after the pointers are
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

// Creates (or opens) one event, named for the port's one-based number, and clears it
// unless bKeepState. FALSE when it cannot be created. Port Mutex held.
BOOLEAN CreateNamedEvent(PKELU_DEVICE_EXTENSION pDevExt, const EventSlot &slot, BOOLEAN bKeepState) {
    WCHAR nameBuffer[kNameChars];
    UNICODE_STRING name = {0, sizeof(nameBuffer), nameBuffer};
    WCHAR numberBuffer[12];
    UNICODE_STRING number = {0, sizeof(numberBuffer), numberBuffer};
    if (!NT_SUCCESS(RtlAppendUnicodeToString(&name, slot.pszName)) ||
        !NT_SUCCESS(RtlIntegerToUnicodeString(pDevExt->ulPortNumber + 1UL, 10, &number)) ||
        !NT_SUCCESS(RtlAppendUnicodeStringToString(&name, &number))) {
        return FALSE;
    }
    HANDLE hEvent = NULL;
    PKEVENT pEvent = IoCreateSynchronizationEvent(&name, &hEvent);
    if (pEvent == NULL)
        return FALSE;
    *slot.ppEvent = pEvent;
    *slot.phEvent = hEvent;
    if (!bKeepState)
        KeClearEvent(pEvent);
    return TRUE;
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

VOID CloseHandles(const HANDLE handles[4], ULONG ulCount) {
    for (ULONG i = 0; i < ulCount; i++)
        ZwClose(handles[i]);
}

}  // namespace

VOID NTAPI KeluCreatePortEventsThread(PVOID StartContext)
{
    CreationContext *pContext = (CreationContext *)StartContext;
    PKELU_DEVICE_EXTENSION pDevExt = pContext->pDevExt;

    HANDLE failedHandles[4];
    ULONG ulFailedCount = 0;
    ExAcquireFastMutex(&pDevExt->Mutex);
    // Removal closes only what exists when it has drained: create nothing once it began.
    if (!pDevExt->bRemoving && !AllEventsExist(pDevExt)) {
        EventSlot slots[4];
        GetSlots(pDevExt, slots);
        // Bytes already waiting in the transmit ring leave the data event signalled.
        BOOLEAN bCreated =
            CreateNamedEvent(pDevExt, slots[0], FALSE) &&
            CreateNamedEvent(pDevExt, slots[2], pDevExt->ulWriteBufferCount != 0) &&
            CreateNamedEvent(pDevExt, slots[3], FALSE) &&
            CreateNamedEvent(pDevExt, slots[1], FALSE);
        if (!bCreated) {
            // No partial set: every event created so far is closed again.
            ulFailedCount = DetachEvents(pDevExt, failedHandles);
        }
    }
    ExReleaseFastMutex(&pDevExt->Mutex);
    CloseHandles(failedHandles, ulFailedCount);

    KeSetEvent(&pContext->Finished, IO_NO_INCREMENT, FALSE);
    ReleaseContext(pContext);
    KeluReleaseRequestReference(pDevExt);
    PsTerminateSystemThread(STATUS_SUCCESS);
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
    CloseHandles(handles, ulCount);
}
