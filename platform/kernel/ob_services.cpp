// Handles and events as drivers and user mode reach them: the kernel's Ob*/Zw*
// routines, IoCreateSynchronizationEvent and the event and wait system services.
#include "clock.h"
#include "ke_internal.h"
#include "machine.h"
#include "ntservices.h"
#include "ob.h"
#include "ustring.h"
#include "verifier.h"

namespace {

PDISPATCHER_HEADER EventWaitHeader(void *object) { return &static_cast<PKEVENT>(object)->Header; }

POBJECT_TYPE g_threadTypeExport = &ObThreadType;
POBJECT_TYPE g_eventTypeExport = &ObEventType;

const std::u16string kNamedObjects = u"\\BaseNamedObjects\\";

// Creates (or with OBJ_OPENIF opens) an event and puts a handle to it in the
// process. `path` empty: an unnamed event. Returns the event referenced.
NTSTATUS CreateEvent(Process *process, std::u16string_view path, EVENT_TYPE type,
                     BOOLEAN initialState, HANDLE *handle, PKEVENT *event) {
    auto *created = static_cast<PKEVENT>(ObCreateObject(&ObEventType, sizeof(KEVENT)));
    if (created == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeEvent(created, type, initialState);
    PKEVENT result = created;
    NTSTATUS insertStatus = STATUS_SUCCESS;
    if (!path.empty()) {
        void *existing = nullptr;
        insertStatus = ObInsertObject(created, path, OBJ_OPENIF, &existing);
        if (insertStatus == STATUS_OBJECT_NAME_EXISTS) {
            ObfDereferenceObject(created);
            result = static_cast<PKEVENT>(existing);
        } else if (!NT_SUCCESS(insertStatus)) {
            ObfDereferenceObject(created);
            return insertStatus;
        }
    }
    NTSTATUS status = ObCreateHandle(process, result, handle);
    if (!NT_SUCCESS(status)) {
        ObfDereferenceObject(result);
        return status;
    }
    *event = result;
    return insertStatus;
}

NTSTATUS ReferenceEvent(HANDLE handle, PKEVENT *event) {
    return ObReferenceObjectByHandleIn(PsCurrentProcess(), handle, &ObEventType,
                                       reinterpret_cast<void **>(event));
}

}  // namespace

ObjectType ObEventType = {"Event", nullptr, nullptr, EventWaitHeader};

extern "C" {

POBJECT_TYPE *PsThreadType = &g_threadTypeExport;
POBJECT_TYPE *ExEventObjectType = &g_eventTypeExport;

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID *Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
    // A handle passed on from user mode is looked up in the caller's own table only.
    Process *table = AccessMode == UserMode ? PsCurrentProcess() : ObHandleTableOf(Handle);
    NTSTATUS status = ObReferenceObjectByHandleIn(table, Handle, ObjectType, Object);
    if (NT_SUCCESS(status) && HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = GENERIC_ALL;
    }
    return status;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    const void *caller = __builtin_return_address(0);
    KeCheckIrql(PASSIVE_LEVEL, "ZwClose", caller);
    Process *process = ObHandleTableOf(Handle);
    NTSTATUS status = ObCloseHandle(process, Handle);
    if (status == STATUS_INVALID_HANDLE)
        VerifierStop("INVALID_KERNEL_HANDLE", caller, "ZwClose of handle %p, unknown in process %s",
                     Handle, PsProcessName(process));
    return status;
}

PKEVENT NTAPI IoCreateSynchronizationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle) {
    KeCheckIrql(PASSIVE_LEVEL, "IoCreateSynchronizationEvent", __builtin_return_address(0));
    PKEVENT event = nullptr;
    // A new event starts signalled, as on Windows; drivers clear it before use.
    NTSTATUS status = CreateEvent(PsCurrentProcess(), UnicodeView(EventName), SynchronizationEvent,
                                  TRUE, EventHandle, &event);
    if (!NT_SUCCESS(status)) return nullptr;
    // The handle keeps the event alive; the caller gets no reference of its own.
    ObfDereferenceObject(event);
    return event;
}

NTSTATUS NtCreateEvent(PHANDLE EventHandle, PCUNICODE_STRING Name, BOOLEAN NotificationEvent,
                       BOOLEAN InitialState) {
    MachineCurrent();
    std::u16string path;
    if (Name != nullptr && Name->Length != 0) path = kNamedObjects + std::u16string(UnicodeView(Name));
    PKEVENT event = nullptr;
    NTSTATUS status = CreateEvent(PsCurrentProcess(), path,
                                  NotificationEvent ? ::NotificationEvent : ::SynchronizationEvent,
                                  InitialState, EventHandle, &event);
    if (NT_SUCCESS(status)) ObfDereferenceObject(event);
    return status;
}

NTSTATUS NtOpenEvent(PHANDLE EventHandle, PCUNICODE_STRING Name) {
    MachineCurrent();
    if (Name == nullptr || Name->Length == 0) return STATUS_OBJECT_NAME_INVALID;
    void *object = nullptr;
    NTSTATUS status = ObLookupObject(kNamedObjects + std::u16string(UnicodeView(Name)), &object);
    if (!NT_SUCCESS(status)) return status;
    if (ObGetObjectType(object) != &ObEventType)
        status = STATUS_OBJECT_TYPE_MISMATCH;
    else
        status = ObCreateHandle(PsCurrentProcess(), object, EventHandle);
    ObfDereferenceObject(object);
    return status;
}

NTSTATUS NtSetEvent(HANDLE EventHandle, PLONG PreviousState) {
    MachineCurrent();
    PKEVENT event;
    NTSTATUS status = ReferenceEvent(EventHandle, &event);
    if (!NT_SUCCESS(status)) return status;
    LONG previous = KeSetEvent(event, 0, FALSE);
    if (PreviousState != nullptr) *PreviousState = previous;
    ObfDereferenceObject(event);
    return STATUS_SUCCESS;
}

NTSTATUS NtResetEvent(HANDLE EventHandle, PLONG PreviousState) {
    MachineCurrent();
    PKEVENT event;
    NTSTATUS status = ReferenceEvent(EventHandle, &event);
    if (!NT_SUCCESS(status)) return status;
    LONG previous = KeResetEvent(event);
    if (PreviousState != nullptr) *PreviousState = previous;
    ObfDereferenceObject(event);
    return STATUS_SUCCESS;
}

NTSTATUS NtWaitForSingleObject(HANDLE Handle, BOOLEAN, PLARGE_INTEGER Timeout) {
    MachineCurrent();
    void *object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandleIn(PsCurrentProcess(), Handle, nullptr, &object);
    if (!NT_SUCCESS(status)) return status;
    ObjectType *type = ObGetObjectType(object);
    if (type->waitHeader == nullptr) {
        ObfDereferenceObject(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ULONGLONG deadline =
        Timeout == nullptr ? KE_WAIT_FOREVER : ClockDeadlineFromTimeout(Timeout->QuadPart);
    // An application's wait, for an event or an overlapped request, is mostly ended by
    // a thread on the other processor moments later.
    status = KeWaitForHeaderWatchingFirst(type->waitHeader(object), deadline,
                                          __builtin_return_address(0));
    ObfDereferenceObject(object);
    return status;
}

NTSTATUS NtWaitForMultipleObjects(ULONG Count, const HANDLE *Handles, BOOLEAN WaitAll, BOOLEAN,
                                  PLARGE_INTEGER Timeout) {
    MachineCurrent();
    constexpr ULONG kMaximumWaitObjects = 64;
    if (Count == 0 || Count > kMaximumWaitObjects || Handles == nullptr)
        return STATUS_INVALID_PARAMETER;
    void *objects[kMaximumWaitObjects];
    PDISPATCHER_HEADER headers[kMaximumWaitObjects];
    NTSTATUS status = STATUS_SUCCESS;
    ULONG referenced = 0;
    for (; referenced < Count; referenced++) {
        void *object = nullptr;
        status = ObReferenceObjectByHandleIn(PsCurrentProcess(), Handles[referenced], nullptr,
                                             &object);
        if (!NT_SUCCESS(status)) break;
        objects[referenced] = object;
        ObjectType *type = ObGetObjectType(object);
        if (type->waitHeader == nullptr) {
            referenced++;
            status = STATUS_OBJECT_TYPE_MISMATCH;
            break;
        }
        headers[referenced] = type->waitHeader(object);
    }
    if (NT_SUCCESS(status) && WaitAll) {
        // Taking one object twice would make a wait-all on a synchronization
        // event impossible to satisfy.
        for (ULONG i = 0; i < Count && NT_SUCCESS(status); i++)
            for (ULONG j = i + 1; j < Count; j++)
                if (headers[i] == headers[j]) status = STATUS_INVALID_PARAMETER_MIX;
    }
    if (NT_SUCCESS(status)) {
        ULONGLONG deadline =
            Timeout == nullptr ? KE_WAIT_FOREVER : ClockDeadlineFromTimeout(Timeout->QuadPart);
        status = KeWaitForHeaders(headers, Count, WaitAll != FALSE, deadline,
                                  __builtin_return_address(0));
    }
    for (ULONG i = 0; i < referenced; i++) ObfDereferenceObject(objects[i]);
    return status;
}

NTSTATUS NtQueryPerformanceCounter(PLARGE_INTEGER PerformanceCounter,
                                   PLARGE_INTEGER PerformanceFrequency) {
    MachineCurrent();
    if (PerformanceCounter == nullptr) return STATUS_ACCESS_VIOLATION;
    PerformanceCounter->QuadPart = LONGLONG(ClockInterruptTime());
    if (PerformanceFrequency != nullptr)
        PerformanceFrequency->QuadPart = LONGLONG(CLOCK_UNITS_PER_MS * 1000);
    return STATUS_SUCCESS;
}

NTSTATUS NtDelayExecution(BOOLEAN, PLARGE_INTEGER Interval) {
    MachineCurrent();
    KeWaitForHeader(nullptr, ClockDeadlineFromTimeout(Interval->QuadPart),
                    __builtin_return_address(0));
    return STATUS_SUCCESS;
}

NTSTATUS NtClose(HANDLE Handle) {
    MachineCurrent();
    return ObCloseHandle(PsCurrentProcess(), Handle);
}

}  // extern "C"
