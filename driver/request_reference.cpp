// The outstanding-request count of a port (ulOutstandingIo). It starts at 1 for the
// device itself; every request in progress and every reference handed out by
// KeluReferencePortExtension or KeluGetPartnerExtension adds one. Removal drops the
// device's own count and waits on RemoveEvent until the count reaches 0.
#include "kelu.h"

// Takes the port's Mutex briefly to read its Plug and Play flags: the caller must not
// hold it.
NTSTATUS KeluAcquireRequestReference(PKELU_DEVICE_EXTENSION pDevExt)
{
    if (pDevExt == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    InterlockedIncrement(&pDevExt->ulOutstandingIo);

    ExAcquireFastMutex(&pDevExt->Mutex);
    BOOLEAN bAccepting = pDevExt->bStarted && !pDevExt->bRemoving;
    ExReleaseFastMutex(&pDevExt->Mutex);
    if (bAccepting) {
        return STATUS_SUCCESS;
    }
    KeluReleaseRequestReference(pDevExt);
    return STATUS_UNSUCCESSFUL;
}

// The flags change only under the Mutex, which the caller holds, and removal sets
// bRemoving (under it) before it waits for the count to drain: a reference counted here
// while the flags allowed it is one that removal waits for.
NTSTATUS KeluAcquireRequestReferenceLocked(PKELU_DEVICE_EXTENSION pDevExt)
{
    if (!pDevExt->bStarted || pDevExt->bRemoving) {
        return STATUS_UNSUCCESSFUL;
    }
    InterlockedIncrement(&pDevExt->ulOutstandingIo);
    return STATUS_SUCCESS;
}

VOID KeluReleaseRequestReference(PKELU_DEVICE_EXTENSION pDevExt)
{
    if (pDevExt != NULL && InterlockedDecrement(&pDevExt->ulOutstandingIo) == 0) {
        KeSetEvent(&pDevExt->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}
