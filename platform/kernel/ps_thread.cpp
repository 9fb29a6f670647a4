// System threads: real host threads that run a driver's start routine in the
// system process at PASSIVE_LEVEL. The thread object is signalled when the routine
// returns or the thread calls PsTerminateSystemThread.
#include "ke_internal.h"
#include "ob.h"
#include "verifier.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <vector>

namespace {

struct StartBlock {
    _KTHREAD *thread;
    PKSTART_ROUTINE routine;
    PVOID context;
};

PDISPATCHER_HEADER ThreadWaitHeader(void *object) {
    return &static_cast<_KTHREAD *>(object)->Header;
}

std::mutex g_threadsLock;
std::condition_variable g_threadEnded;
std::condition_variable g_holdReleased;
std::vector<pthread_t> g_threads;  // started and not yet joined
size_t g_running;                  // started and not yet ended
bool g_holdNewThreads;             // see PsHoldSystemThreads

// Ends the calling system thread's bookkeeping: signals its object and drops the
// reference the running thread held.
void FinishThread(_KTHREAD *thread, NTSTATUS status) {
    KIRQL irql = KiCurrentThreadState().irql;
    if (irql != PASSIVE_LEVEL)
        VerifierStop("THREAD_EXIT_AT_RAISED_IRQL", nullptr,
                     "a system thread ended at IRQL %u", irql);
    {
        std::lock_guard<std::mutex> lock(KiDispatcherLock());
        thread->exitStatus = status;
        KiSignalObject(&thread->Header);
    }
    ObfDereferenceObject(thread);
    std::lock_guard<std::mutex> lock(g_threadsLock);
    --g_running;
    g_threadEnded.notify_all();
}

void *ThreadMain(void *argument) {
    StartBlock start = *static_cast<StartBlock *>(argument);
    delete static_cast<StartBlock *>(argument);
    KiThreadState &state = KiCurrentThreadState();
    state.thread = start.thread;
    {
        std::unique_lock<std::mutex> lock(g_threadsLock);
        g_holdReleased.wait(lock, [] { return !g_holdNewThreads; });
    }
    start.routine(start.context);
    FinishThread(start.thread, STATUS_SUCCESS);
    return nullptr;
}

}  // namespace

ObjectType ObThreadType = {"Thread", nullptr, nullptr, ThreadWaitHeader};

// Waits (in host time: the machine's clock may be manual) for the system threads to
// end and joins them. A thread still running after the grace period belongs to a
// driver that did not stop it: a stop, since its code is about to go away.
void PsStopSystemThreads() {
    std::unique_lock<std::mutex> lock(g_threadsLock);
    g_holdNewThreads = false;  // a hold a test forgot must not outlast its machine
    g_holdReleased.notify_all();
    if (!g_threadEnded.wait_for(lock, std::chrono::seconds(10), [] { return g_running == 0; }))
        VerifierStop("SYSTEM_THREAD_ALIVE_AT_SHUTDOWN", nullptr,
                     "%zu system threads still run when the machine shuts down", g_running);
    std::vector<pthread_t> threads;
    threads.swap(g_threads);
    lock.unlock();
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
}

void PsHoldSystemThreads(bool hold) {
    std::lock_guard<std::mutex> lock(g_threadsLock);
    g_holdNewThreads = hold;
    if (!hold) g_holdReleased.notify_all();
}

void KeEnterSystemContext() { KiCurrentThreadState().process = PsSystemProcess(); }

extern "C" {

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
    KeCheckIrql(PASSIVE_LEVEL, "PsCreateSystemThread", __builtin_return_address(0));
    auto *thread = static_cast<_KTHREAD *>(ObCreateObject(&ObThreadType, sizeof(_KTHREAD)));
    if (thread == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    thread->Header.Type = ThreadObject;
    thread->Header.Size = sizeof(_KTHREAD) / sizeof(LONG);
    InitializeListHead(&thread->Header.WaitListHead);
    thread->isSystemThread = true;

    bool kernelHandle = ObjectAttributes != nullptr && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE);
    Process *owner = kernelHandle ? PsSystemProcess() : PsCurrentProcess();
    NTSTATUS status = kernelHandle ? ObCreateKernelHandle(thread, ThreadHandle)
                                   : ObCreateHandle(owner, thread, ThreadHandle);
    if (!NT_SUCCESS(status)) {
        ObfDereferenceObject(thread);
        return status;
    }
    // The creation reference passes to the running thread.
    auto *start = new StartBlock{thread, StartRoutine, StartContext};
    pthread_t host;
    std::lock_guard<std::mutex> lock(g_threadsLock);
    if (pthread_create(&host, nullptr, ThreadMain, start) != 0) {
        delete start;
        ObCloseHandle(owner, *ThreadHandle);
        ObfDereferenceObject(thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    g_threads.push_back(host);
    ++g_running;
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(ULONG_PTR(4));
        ClientId->UniqueThread = thread;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
    KiThreadState &state = KiCurrentThreadState();
    if (!state.thread->isSystemThread)
        VerifierStop("NOT_A_SYSTEM_THREAD", __builtin_return_address(0),
                     "PsTerminateSystemThread called outside a system thread");
    FinishThread(state.thread, ExitStatus);
    pthread_exit(nullptr);
}

PKTHREAD NTAPI KeGetCurrentThread(VOID) { return KiCurrentThreadState().thread; }

PETHREAD NTAPI PsGetCurrentThread(VOID) {
    return reinterpret_cast<PETHREAD>(KiCurrentThreadState().thread);
}

}  // extern "C"
