// Processes and their handle tables.
#include "ke_internal.h"
#include "ob_internal.h"
#include "spin_flag.h"

#include <map>
#include <new>

struct Process {
    std::string name;
    // Every system service looks a handle up, so the table has a lock of its own,
    // held for a lookup or an update only. Taken inside the object manager lock.
    SpinFlag handleLock;
    std::map<ULONG_PTR, void *> handles;  // handle value -> object
    ULONG_PTR nextHandle = 4;             // values are not reused within a process
    bool terminated = false;
};

namespace {

void DestroyProcess(void *object) { static_cast<Process *>(object)->~Process(); }

Process *g_systemProcess;
Process *g_defaultProcess;
// Every process of the machine that has not been terminated, referenced.
std::vector<Process *> g_processes;

// Handles are closed one by one: the object manager lock is released before the
// type's callback runs, since it may send requests to drivers.
void CloseHandleObject(Process *process, void *object) {
    std::vector<void *> release;
    bool last;
    {
        std::lock_guard<std::mutex> lock(ObLock());
        ObjectHeader *header = ObHeader(object);
        last = --header->handles == 0;
        if (last && !header->permanent) ObRemoveNameLocked(object, release);
    }
    if (last && ObHeader(object)->type->lastHandleClosed != nullptr)
        ObHeader(object)->type->lastHandleClosed(object, process);
    ObfDereferenceObject(object);
    ObReleaseAll(release);
}

}  // namespace

void ObCreateNamespace();
void ObDestroyNamespace();

ObjectType ObProcessType = {"Process", nullptr, DestroyProcess, nullptr};

Process *PsCreateProcess(const char *name) {
    void *object = ObCreateObject(&ObProcessType, sizeof(Process));
    auto *process = new (object) Process();
    process->name = name;
    std::lock_guard<std::mutex> lock(ObLock());
    g_processes.push_back(process);
    ObfReferenceObject(process);
    return process;
}

void ObStart() {
    ObCreateNamespace();
    g_systemProcess = PsCreateProcess("System");
    g_defaultProcess = PsCreateProcess("Application");
}

void PsTerminateProcess(Process *process) {
    std::map<ULONG_PTR, void *> handles;
    bool wasListed = false;
    {
        std::lock_guard<std::mutex> lock(ObLock());
        {
            std::lock_guard<SpinFlag> table(process->handleLock);
            if (process->terminated) return;
            process->terminated = true;
            handles.swap(process->handles);
        }
        for (auto it = g_processes.begin(); it != g_processes.end(); ++it) {
            if (*it == process) {
                g_processes.erase(it);
                wasListed = true;
                break;
            }
        }
    }
    for (auto &entry : handles) CloseHandleObject(process, entry.second);
    if (wasListed) ObfDereferenceObject(process);
}

void ObTerminateApplicationProcesses() {
    for (;;) {
        Process *victim = nullptr;
        {
            std::lock_guard<std::mutex> lock(ObLock());
            for (Process *process : g_processes)
                if (process != g_systemProcess) victim = process;
        }
        if (victim == nullptr) return;
        PsTerminateProcess(victim);
    }
}

void ObStop() {
    ObTerminateApplicationProcesses();
    PsTerminateProcess(g_systemProcess);
    ObfDereferenceObject(g_defaultProcess);
    ObfDereferenceObject(g_systemProcess);
    g_systemProcess = g_defaultProcess = nullptr;
    ObDestroyNamespace();
}

Process *PsSystemProcess() { return g_systemProcess; }
Process *PsDefaultProcess() { return g_defaultProcess; }

Process *PsCurrentProcess() {
    KiThreadState &state = KiCurrentThreadState();
    if (state.process != nullptr) return state.process;
    return state.thread->isSystemThread ? g_systemProcess : g_defaultProcess;
}

void PsSetCurrentProcess(Process *process) { KiCurrentThreadState().process = process; }

size_t PsHandleCount(Process *process) {
    std::lock_guard<SpinFlag> table(process->handleLock);
    return process->handles.size();
}

const char *PsProcessName(Process *process) { return process->name.c_str(); }

namespace {

const ULONG_PTR kKernelHandleBit = ULONG_PTR(1) << (sizeof(ULONG_PTR) * 8 - 1);

NTSTATUS InsertHandle(Process *process, void *object, ULONG_PTR valueBits, HANDLE *handle) {
    std::lock_guard<std::mutex> lock(ObLock());
    ULONG_PTR value;
    {
        std::lock_guard<SpinFlag> table(process->handleLock);
        if (process->terminated) return STATUS_PROCESS_IS_TERMINATING;
        value = process->nextHandle | valueBits;
        process->nextHandle += 4;
        process->handles.emplace(value, object);
    }
    ObfReferenceObject(object);
    ++ObHeader(object)->handles;
    *handle = reinterpret_cast<HANDLE>(value);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ObCreateHandle(Process *process, void *object, HANDLE *handle) {
    return InsertHandle(process, object, 0, handle);
}

NTSTATUS ObCreateKernelHandle(void *object, HANDLE *handle) {
    return InsertHandle(g_systemProcess, object, kKernelHandleBit, handle);
}

Process *ObHandleTableOf(HANDLE handle) {
    if (reinterpret_cast<ULONG_PTR>(handle) & kKernelHandleBit) return g_systemProcess;
    return PsCurrentProcess();
}

NTSTATUS ObReferenceObjectByHandleIn(Process *process, HANDLE handle, ObjectType *type,
                                     void **object) {
    // The handle's reference keeps the object while the table lock is held: a close
    // removes the entry under it before it drops that reference.
    std::lock_guard<SpinFlag> table(process->handleLock);
    auto it = process->handles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == process->handles.end()) return STATUS_INVALID_HANDLE;
    if (type != nullptr && ObHeader(it->second)->type != type) return STATUS_OBJECT_TYPE_MISMATCH;
    ObfReferenceObject(it->second);
    *object = it->second;
    return STATUS_SUCCESS;
}

NTSTATUS ObCloseHandle(Process *process, HANDLE handle) {
    void *object;
    {
        std::lock_guard<SpinFlag> table(process->handleLock);
        auto it = process->handles.find(reinterpret_cast<ULONG_PTR>(handle));
        if (it == process->handles.end()) return STATUS_INVALID_HANDLE;
        object = it->second;
        process->handles.erase(it);
    }
    CloseHandleObject(process, object);
    return STATUS_SUCCESS;
}
