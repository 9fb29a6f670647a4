// State shared by the executive's own files: the dispatcher lock, the per-thread
// state, the clock's controls and the start and stop of each part of the machine.
// The I/O manager and user mode use ke.h, ob.h and machine.h instead.
#pragma once

#include "ke.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

struct Process;

// A thread of the machine. System threads have an object of ObThreadType; every
// other thread (an application's or a test's) gets an implicit one that is not an
// object and cannot be waited on.
struct _KTHREAD {
    DISPATCHER_HEADER Header;  // signalled when the thread has ended
    NTSTATUS exitStatus;
    bool isSystemThread;
};

struct KiThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    _KTHREAD *thread = nullptr;
    Process *process = nullptr;
    unsigned generation = 0;  // the machine this state belongs to
    unsigned criticalRegions = 0;  // KeEnterCriticalRegion not yet left
};

// Every lock, level check and wait reads the thread's state, so it lives in the
// library's static TLS block (the kernel library is loaded with the program, never
// opened later) and is reached inline: the general model costs a call per access.
#define KI_STATIC_TLS __attribute__((tls_model("initial-exec")))
extern thread_local constinit KiThreadState t_kiThreadState KI_STATIC_TLS;
// Counts machine boots; a thread's state belongs to the boot it was set up under.
extern std::atomic<unsigned> g_kiMachineGeneration;
KiThreadState &KiResetThreadState();

// The calling thread's state, reset when it first runs under a newly booted machine.
inline KiThreadState &KiCurrentThreadState() {
    if (t_kiThreadState.generation == g_kiMachineGeneration.load(std::memory_order_acquire))
        [[likely]] return t_kiThreadState;
    return KiResetThreadState();
}

// One lock guards every dispatcher object, the timer queue and the DPC queue, as
// the dispatcher lock does on Windows. DPC routines and wait callers run without it.
std::mutex &KiDispatcherLock();

// With the dispatcher lock held: set an object's signal state. The store is atomic
// because KeWaitForHeaderWatchingFirst reads the state without the lock.
inline void KiSetSignalState(PDISPATCHER_HEADER header, LONG state) {
    __atomic_store_n(&header->SignalState, state, __ATOMIC_RELAXED);
}

// With the dispatcher lock held: signal an object and satisfy its waiters by its type.
void KiSignalObject(PDISPATCHER_HEADER header);
// With the dispatcher lock held: queue a DPC; FALSE if it is queued already.
BOOLEAN KiInsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2);
// With the dispatcher lock held: wake timed waiters whose deadline has passed.
void KiWakeExpiredWaiters();

void KiSetIrql(KIRQL irql);

// Parts of the machine, in boot order; each Stop undoes its Start.
void KeStartClockAndDispatcher(bool manualClock);
void KeStartTimersAndDpcs(bool manualClock);
void KeStopTimersAndDpcs();
void PoolStart();
// Loads the registry file of the state directory; false with one sentence in *error,
// and the file left as it is, when the file is damaged.
bool RegistryStart(const std::string &stateDirectory, std::string *error);
// From now on changes are kept in memory only; called when the machine powers off.
void RegistrySeal();
void RegistryStop();
void ObStart();
void ObStop();          // closes every handle, empties the namespace
void ObTerminateApplicationProcesses();
void PsStopSystemThreads();

// The clock (clock.cpp). Setting the manual time is for MachineAdvanceClock only.
void ClockStart(bool manual);
void ClockSetManualTime(ULONGLONG interruptTime);
// Host time point at which an interrupt-time deadline falls (real clock only).
std::chrono::steady_clock::time_point ClockRealTimePoint(ULONGLONG interruptTime);
