// Waiting and thread state for platform code (the I/O manager, the system services).
// Drivers use the published Ke* routines of <wdm.h>; these are the same machinery
// for callers that hold a dispatcher header rather than a driver's object.
#pragma once

#include <wdm.h>

#include "verifier.h"

// Waits until the object is signalled (consuming it if it is a synchronization
// event) or the deadline passes. deadline is interrupt time, ~0ULL = forever.
// Returns STATUS_SUCCESS or STATUS_TIMEOUT. Applies the IRQL rules of
// KeWaitForSingleObject; `caller` is named by the verifier if they are broken.
NTSTATUS KeWaitForHeader(PDISPATCHER_HEADER header, ULONGLONG deadline, const void *caller);
#define KE_WAIT_FOREVER (~0ULL)

// The same on several objects at once. Wait-any returns STATUS_WAIT_0 + the lowest
// index signalled and consumes only that object; wait-all returns STATUS_WAIT_0 when
// every object is signalled at the same moment and consumes them all then, never
// some of them. Returns STATUS_TIMEOUT when the deadline passes first.
NTSTATUS KeWaitForHeaders(PDISPATCHER_HEADER *headers, size_t count, bool waitAll,
                          ULONGLONG deadline, const void *caller);

// KeWaitForHeader for a wait that a thread on another processor usually ends within
// microseconds (a contended fast mutex, a request completing, an application waiting
// for its overlapped request): the object is watched for a short while before the
// thread sleeps, since putting a host thread to sleep and waking it costs more than
// such a wait. The watch lasts at most 20 us and adapts per thread to how soon its
// recent waits were signalled. A poll (deadline 0 or passed) is not watched.
NTSTATUS KeWaitForHeaderWatchingFirst(PDISPATCHER_HEADER header, ULONGLONG deadline,
                                     const void *caller);

// How many critical regions the current thread has entered and not left.
unsigned KeCriticalRegionDepth();

// Stops unless the current thread runs at or below `maximum`.
void KeCheckIrql(KIRQL maximum, const char *routine, const void *caller);
// The same for a caller that has read the thread's IRQL already (the lock routines, which
// run on every queue operation of a driver); inline so the passing check costs a compare.
inline void KeCheckIrqlOf(KIRQL irql, KIRQL maximum, const char *routine, const void *caller) {
    if (irql > maximum) [[unlikely]]
        VerifierStop("IRQL_NOT_LESS_OR_EQUAL", caller, "%s called at IRQL %u (maximum %u)", routine,
                     irql, maximum);
}

// Marks the calling thread as running on behalf of the system process (worker
// threads of the platform that call into drivers). Threads created with
// PsCreateSystemThread are so already.
void KeEnterSystemContext();

// For tests: while held, a new system thread exists (its object, its handle) but waits
// before its start routine runs; releasing the hold lets every such thread go on. A
// test uses it to catch a driver between starting a thread and the thread's work.
void PsHoldSystemThreads(bool hold);
