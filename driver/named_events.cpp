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
// cleared and the Mutex is released. Every signalling site reads the pointer with the
// Mutex held and signals while it still holds the Mutex or a request reference (which
// removal drains before it closes the events), so no site can signal an event whose
// handle has been closed.
#include "kelu.h"

namespace {

// How long a caller waits for its creating thread: 10 seconds, relative, in 100 ns.
const LONGLONG kCreationTimeout = -100000000LL;

// Names are formatted into a buffer of this many wide characters.
const USHORT kNameChars = 100;

// A creating thread that outlives its caller's wait, its thread object referenced.
// The record is allocated before the thread starts, so parking it cannot fail.
struct LateCreatingThread {
    LIST_ENTRY Link;
    PETHREAD pThread;
};

// Parked threads, waited for by KeluUnload: until its thread object is signalled a
// thread may still be running the last instructions of this image.
LIST_ENTRY g_LateCreatingThreads;
KSPIN_LOCK g_LateCreatingThreadsLock;  // a leaf: nothing else is taken under it

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
    if (*ppEvent == NULL)
        return FALSE;
    // A new event starts signalled and is visible by name at once: cleared straight
    // away, so that an application waiting on it sees as little of that as possible.
    KeClearEvent(*ppEvent);
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

}  // namespace

VOID NTAPI KeluCreatePortEventsThread(PVOID StartContext)
{
    PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)StartContext;
    KeWaitForSingleObject(&pDevExt->EventCreationLock, Executive, KernelMode, FALSE, NULL);

    // Creating a named event needs PASSIVE_LEVEL, so the four are created first, in
    // closing order, and installed under the Mutex afterwards. A partial set, or a set
    // made while the port began its removal, is closed again.
    ExAcquireFastMutex(&pDevExt->Mutex);
    BOOLEAN bNeeded = !pDevExt->bRemoving && !AllEventsExist(pDevExt);
    ExReleaseFastMutex(&pDevExt->Mutex);
    EventSlot slots[4];
    GetSlots(pDevExt, slots);
    PKEVENT events[4] = {NULL, NULL, NULL, NULL};
    HANDLE handles[4] = {NULL, NULL, NULL, NULL};
    BOOLEAN bCreated = bNeeded;
    for (ULONG i = 0; i < 4 && bCreated; i++)
        bCreated = CreateNamedEvent(pDevExt->ulPortNumber, slots[i].pszName, &events[i], &handles[i]);

    ExAcquireFastMutex(&pDevExt->Mutex);
    BOOLEAN bInstall = bCreated && !pDevExt->bRemoving;
    if (bInstall) {
        for (ULONG i = 0; i < 4; i++) {
            *slots[i].ppEvent = events[i];
            *slots[i].phEvent = handles[i];
        }
        // Bytes already waiting in the transmit ring are announced at once.
        if (pDevExt->ulWriteBufferCount != 0)
            KeSetEvent(pDevExt->pPortDataEvent, IO_NO_INCREMENT, FALSE);
    }
    ExReleaseFastMutex(&pDevExt->Mutex);
    if (!bInstall) {
        for (ULONG i = 0; i < 4; i++) {
            if (events[i] != NULL)
                ZwClose(handles[i]);
        }
    }
    KeSetEvent(&pDevExt->EventCreationLock, IO_NO_INCREMENT, FALSE);

    // The reference KeluCreatePortEvents took for this thread comes last: once it is
    // given back, removal may delete the port. Returning ends the thread; its object
    // is signalled only after the thread has left this image.
    KeluReleaseRequestReference(pDevExt);
}

// Starts the creating thread with a request reference of its own, which keeps the port
// from being deleted under it should it run longer than our wait, and returns its
// referenced thread object. NULL when no thread could be started.
static PETHREAD KeluStartCreatingThread(PKELU_DEVICE_EXTENSION pDevExt)
{
    // The caller's own reference keeps the count above 0 here.
    InterlockedIncrement(&pDevExt->ulOutstandingIo);
    // A kernel handle: the application in whose context we run cannot close it under us.
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE hThread = NULL;
    NTSTATUS status = PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, &attributes, NULL, NULL,
                                           KeluCreatePortEventsThread, pDevExt);
    if (!NT_SUCCESS(status)) {
        KeluReleaseRequestReference(pDevExt);
        return NULL;
    }
    PETHREAD pThread = NULL;
    // No object type to check: the handle is the thread's, just given to us. Naming
    // PsThreadType would import a data symbol, which mingw-w64's kernel headers declare
    // one indirection deeper than the kernel exports it.
    status = ObReferenceObjectByHandle(hThread, SYNCHRONIZE, NULL, KernelMode, (PVOID *)&pThread, NULL);
    // Cannot fail: a kernel handle we were just given. Should it, the caller reports
    // failure; the thread still ends on its own.
    ZwClose(hThread);
    return NT_SUCCESS(status) ? pThread : NULL;
}

VOID KeluInitializeEventCreation(VOID)
{
    InitializeListHead(&g_LateCreatingThreads);
    KeInitializeSpinLock(&g_LateCreatingThreadsLock);
}

VOID KeluWaitForLateEventCreation(VOID)
{
    for (;;) {
        KIRQL oldIrql;
        KeAcquireSpinLock(&g_LateCreatingThreadsLock, &oldIrql);
        PLIST_ENTRY pEntry = IsListEmpty(&g_LateCreatingThreads) ? NULL
                                                                 : RemoveHeadList(&g_LateCreatingThreads);
        KeReleaseSpinLock(&g_LateCreatingThreadsLock, oldIrql);
        if (pEntry == NULL)
            return;
        LateCreatingThread *pLate = CONTAINING_RECORD(pEntry, LateCreatingThread, Link);
        KeWaitForSingleObject(pLate->pThread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(pLate->pThread);
        ExFreePoolWithTag(pLate, 0);
    }
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

    LateCreatingThread *pLate = (LateCreatingThread *)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(LateCreatingThread), KELU_POOL_TAG);
    if (pLate == NULL)
        return STATUS_UNSUCCESSFUL;
    PETHREAD pThread = KeluStartCreatingThread(pDevExt);
    if (pThread == NULL) {
        ExFreePoolWithTag(pLate, 0);
        return STATUS_UNSUCCESSFUL;
    }
    // Each call waits for its own thread's object, so two calls never share a signal.
    LARGE_INTEGER timeout;
    timeout.QuadPart = kCreationTimeout;
    NTSTATUS status = KeWaitForSingleObject(pThread, Executive, KernelMode, FALSE, &timeout);
    if (status == STATUS_TIMEOUT) {
        pLate->pThread = pThread;
        KIRQL oldIrql;
        KeAcquireSpinLock(&g_LateCreatingThreadsLock, &oldIrql);
        InsertTailList(&g_LateCreatingThreads, &pLate->Link);
        KeReleaseSpinLock(&g_LateCreatingThreadsLock, oldIrql);
    } else {
        ObDereferenceObject(pThread);
        ExFreePoolWithTag(pLate, 0);
    }

    ExAcquireFastMutex(&pDevExt->Mutex);
    bExist = AllEventsExist(pDevExt);
    ExReleaseFastMutex(&pDevExt->Mutex);
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
