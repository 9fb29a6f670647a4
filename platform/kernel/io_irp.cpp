// I/O request packets: allocation, IofCallDriver, the completion walk, cancellation,
// and the verifier's checks on how drivers hand requests around.
//
// Each request carries a tracker in front of it. The tracker records who owns the
// request (a driver, the completion walk, nobody) and, per stack location, whether
// the driver there returned STATUS_PENDING and whether the location was marked
// pending, so that an unmarked pending return is caught whichever comes last: the
// return or the completion. Freed requests stay in a quarantine for a while, so
// that a second completion of a request meets a tracker that says so instead of
// reused memory.
#include "block_cache.h"
#include "io_manager.h"
#include "ke.h"
#include "spin_flag.h"
#include "verifier.h"

#include <cstring>
#include <new>

namespace {

constexpr ULONG kTrackerMagic = 0x49727054;  // "TpRI"
constexpr size_t kQuarantineSize = 512;
constexpr int kMaxStack = 127;

enum class IrpState {
    Owned,       // a driver (or the platform before the first call) owns it
    Completing,  // the completion walk is running
    Finished,    // the walk reached the top; the finish routine owns it
    Freed,
};

struct IrpTracker {
    ULONG magic = kTrackerMagic;
    SpinFlag lock;  // never held across a call into a driver
    IrpState state = IrpState::Owned;
    IrpFinishRoutine finish = nullptr;
    void *finishContext = nullptr;
    // Threads inside IofCallDriver for this request: its memory must outlive them.
    std::atomic<int> pins{0};
    std::bitset<kMaxStack + 2> markedPending;
    std::bitset<kMaxStack + 2> returnedPending;
    std::bitset<kMaxStack + 2> passed;
    size_t allocationSize = 0;
    alignas(16) unsigned char irp[1];  // the IRP and its stack locations
};

IrpTracker *TrackerOf(PIRP irp) {
    return reinterpret_cast<IrpTracker *>(reinterpret_cast<unsigned char *>(irp) -
                                          offsetof(IrpTracker, irp));
}

IrpTracker *CheckedTracker(PIRP irp, const char *routine, const void *caller) {
    IrpTracker *tracker = TrackerOf(irp);
    if (!irp || tracker->magic != kTrackerMagic)
        VerifierStop("INVALID_IRP", caller, "%s(%p): not a request", routine, (void *)irp);
    return tracker;
}

SpinFlag g_quarantineLock;
std::deque<IrpTracker *> g_quarantine;
// Memory of requests that have left the quarantine, for the next ones.
BlockCache g_requestMemory(64);

void DestroyTracker(IrpTracker *tracker) {
    tracker->~IrpTracker();
    g_requestMemory.give(tracker);
}

// A freed request's memory is kept until enough later requests were freed and no
// thread is still inside IofCallDriver for it. Each free lets out up to two: one keeps
// the quarantine's size, the other works off requests that were held back pinned.
void Quarantine(IrpTracker *tracker) {
    IrpTracker *released[2] = {};
    {
        std::lock_guard<SpinFlag> guard(g_quarantineLock);
        g_quarantine.push_back(tracker);
        for (IrpTracker *&old : released) {
            if (g_quarantine.size() <= kQuarantineSize || g_quarantine.front()->pins.load() != 0)
                break;
            old = g_quarantine.front();
            g_quarantine.pop_front();
        }
    }
    for (IrpTracker *old : released)
        if (old != nullptr)
            DestroyTracker(old);
}

void CheckPendingMarked(IrpTracker *tracker, int location, const void *caller) {
    if (tracker->returnedPending[location] && tracker->passed[location] &&
        !tracker->markedPending[location])
        VerifierStop("PENDING_RETURNED_WITHOUT_MARK", caller,
                     "a dispatch routine returned STATUS_PENDING for request %p without "
                     "IoMarkIrpPending (stack location %d)",
                     (void *)tracker->irp, location);
}

void MarkPendingLocked(IrpTracker *tracker, PIRP irp) {
    IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
    tracker->markedPending[irp->CurrentLocation] = true;
}

bool ShouldInvoke(UCHAR control, PIRP irp) {
    if (irp->Cancel && (control & SL_INVOKE_ON_CANCEL))
        return true;
    if (NT_SUCCESS(irp->IoStatus.Status))
        return control & SL_INVOKE_ON_SUCCESS;
    return control & SL_INVOKE_ON_ERROR;
}

KSPIN_LOCK g_cancelSpinLock;

}  // namespace

PIRP IoAllocateIrpFor(CCHAR stackSize, IrpFinishRoutine finish, void *context) {
    if (stackSize < 1 || stackSize > kMaxStack)
        VerifierStop("INVALID_STACK_SIZE", __builtin_return_address(0),
                     "request with %d stack locations", (int)stackSize);
    size_t size = offsetof(IrpTracker, irp) + sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION);
    void *memory = g_requestMemory.take(size);
    if (!memory)
        return nullptr;
    std::memset(memory, 0, size);
    auto *tracker = new (memory) IrpTracker;
    tracker->finish = finish;
    tracker->finishContext = context;
    tracker->allocationSize = size;
    PIRP irp = reinterpret_cast<PIRP>(tracker->irp);
    irp->Type = 6;
    irp->Size = (USHORT)(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
    irp->StackCount = stackSize;
    irp->CurrentLocation = (CHAR)(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    InitializeListHead(&irp->ThreadListEntry);
    return irp;
}

void IoReleaseIrp(PIRP irp) {
    IrpTracker *tracker = CheckedTracker(irp, "IoFreeIrp", __builtin_return_address(0));
    {
        std::lock_guard<SpinFlag> guard(tracker->lock);
        if (tracker->state == IrpState::Freed)
            VerifierStop("IRP_FREED_TWICE", __builtin_return_address(0),
                         "request %p freed twice", (void *)irp);
        if (tracker->state == IrpState::Completing)
            VerifierStop("IRP_FREED_WHILE_COMPLETING", __builtin_return_address(0),
                         "request %p freed during its completion", (void *)irp);
        tracker->state = IrpState::Freed;
    }
    Quarantine(tracker);
}

void IoDrainIrpQuarantine() {
    std::deque<IrpTracker *> all;
    {
        std::lock_guard<SpinFlag> guard(g_quarantineLock);
        all.swap(g_quarantine);
    }
    for (IrpTracker *tracker : all)
        DestroyTracker(tracker);
    g_requestMemory.drain();
}

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    return IoAllocateIrpFor(StackSize, nullptr, nullptr);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    IoReleaseIrp(Irp);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    const void *caller = __builtin_return_address(0);
    IrpTracker *tracker = CheckedTracker(Irp, "IofCallDriver", caller);
    {
        std::lock_guard<SpinFlag> guard(tracker->lock);
        if (tracker->state != IrpState::Owned)
            VerifierStop("IRP_USED_AFTER_COMPLETION", caller,
                         "IofCallDriver(%p, %p): the request was completed already",
                         (void *)DeviceObject, (void *)Irp);
        IoSetNextIrpStackLocation(Irp);
        if (Irp->CurrentLocation <= 0)
            VerifierStop("NO_MORE_IRP_STACK_LOCATIONS", caller,
                         "IofCallDriver(%p, %p): the request has no stack location left",
                         (void *)DeviceObject, (void *)Irp);
        int location = Irp->CurrentLocation;
        tracker->markedPending[location] = false;
        tracker->returnedPending[location] = false;
        tracker->passed[location] = false;
    }
    int location = Irp->CurrentLocation;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    UCHAR major = stack->MajorFunction;

    tracker->pins.fetch_add(1);
    unsigned regionsBefore = KeCriticalRegionDepth();
    NTSTATUS status = dispatch(DeviceObject, Irp);
    if (KeCriticalRegionDepth() != regionsBefore)
        VerifierStop("CRITICAL_REGION_LEAKED", (const void *)dispatch,
                     "dispatch routine for request %p (major 0x%02X) returned with %u critical "
                     "regions entered, %u before it", (void *)Irp, (unsigned)major,
                     KeCriticalRegionDepth(), regionsBefore);
    {
        std::lock_guard<SpinFlag> guard(tracker->lock);
        if (status == STATUS_PENDING) {
            tracker->returnedPending[location] = true;
            CheckPendingMarked(tracker, location, (const void *)dispatch);
        } else if (!tracker->passed[location]) {
            // The caller takes a status other than STATUS_PENDING to mean the request
            // is done; one that is not would never complete for it.
            VerifierStop("STATUS_RETURNED_WITHOUT_COMPLETION", (const void *)dispatch,
                         "dispatch routine returned 0x%08X for request %p (major 0x%02X) "
                         "without completing it or returning STATUS_PENDING",
                         (unsigned)status, (void *)Irp, (unsigned)major);
        }
    }
    tracker->pins.fetch_sub(1);
    return status;
}

VOID NTAPI IoMarkIrpPending(PIRP Irp) {
    IrpTracker *tracker = CheckedTracker(Irp, "IoMarkIrpPending", __builtin_return_address(0));
    std::lock_guard<SpinFlag> guard(tracker->lock);
    MarkPendingLocked(tracker, Irp);
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    const void *caller = __builtin_return_address(0);
    KeCheckIrql(DISPATCH_LEVEL, "IofCompleteRequest", caller);
    IrpTracker *tracker = CheckedTracker(Irp, "IofCompleteRequest", caller);
    {
        std::lock_guard<SpinFlag> guard(tracker->lock);
        if (tracker->state != IrpState::Owned)
            VerifierStop("IRP_COMPLETED_TWICE", caller,
                         "request %p completed again (status 0x%08X)", (void *)Irp,
                         (unsigned)Irp->IoStatus.Status);
        if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST))
            VerifierStop("IRP_COMPLETED_WITH_CANCEL_ROUTINE", caller,
                         "request %p completed with its cancel routine still set", (void *)Irp);
        if (Irp->IoStatus.Status == STATUS_PENDING)
            VerifierStop("IRP_COMPLETED_WITH_PENDING_STATUS", caller,
                         "request %p completed with status STATUS_PENDING", (void *)Irp);
        tracker->state = IrpState::Completing;
    }

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        {
            std::lock_guard<SpinFlag> guard(tracker->lock);
            int location = Irp->CurrentLocation;
            tracker->passed[location] = true;
            CheckPendingMarked(tracker, location, caller);
            Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
            stack->CompletionRoutine = nullptr;
            stack->Context = nullptr;
            stack->Control = 0;
            IoSkipCurrentIrpStackLocation(Irp);
            if (!(routine && ShouldInvoke(control, Irp))) {
                // No routine above to look at PendingReturned: pass the mark upward.
                if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount)
                    MarkPendingLocked(tracker, Irp);
                continue;
            }
            // The routine's driver owns the request until the routine returns.
            tracker->state = IrpState::Owned;
        }
        PDEVICE_OBJECT device = Irp->CurrentLocation > Irp->StackCount
                                    ? nullptr
                                    : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
        if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
            return;
        std::lock_guard<SpinFlag> guard(tracker->lock);
        if (tracker->state != IrpState::Owned)
            VerifierStop("IRP_COMPLETED_TWICE", (const void *)routine,
                         "request %p was completed inside its completion routine, which then "
                         "did not return STATUS_MORE_PROCESSING_REQUIRED",
                         (void *)Irp);
        tracker->state = IrpState::Completing;
    }

    {
        std::lock_guard<SpinFlag> guard(tracker->lock);
        tracker->state = IrpState::Finished;
    }
    if (!tracker->finish)
        VerifierStop("DRIVER_IRP_COMPLETED_TO_TOP", caller,
                     "request %p, allocated by a driver, completed past its last completion "
                     "routine (it must return STATUS_MORE_PROCESSING_REQUIRED)",
                     (void *)Irp);
    tracker->finish(Irp, tracker->finishContext);
}

PDRIVER_CANCEL NTAPI IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_SEQ_CST);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&g_cancelSpinLock, Irql);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&g_cancelSpinLock, Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    CheckedTracker(Irp, "IoCancelIrp", __builtin_return_address(0));
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    // The routine owns the request now and releases the cancel spin lock itself.
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

}  // extern "C"

// Cancels a request that may be completing concurrently: pinned, so its memory
// stays valid, and skipped once it has finished.
void IoCancelPinnedIrp(PIRP irp) {
    IrpTracker *tracker = TrackerOf(irp);
    {
        std::lock_guard<SpinFlag> guard(tracker->lock);
        if (tracker->state == IrpState::Finished || tracker->state == IrpState::Freed)
            return;
    }
    IoCancelIrp(irp);
}

void IoPinIrp(PIRP irp) {
    TrackerOf(irp)->pins.fetch_add(1);
}

void IoUnpinIrp(PIRP irp) {
    TrackerOf(irp)->pins.fetch_sub(1);
}
