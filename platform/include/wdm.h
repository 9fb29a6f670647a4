// The kernel programming interface of the emulated platform: the executive and
// kernel services a WDM driver calls, with the published names, values and the
// layouts of the records a driver allocates itself. The I/O, Plug and Play and
// power part follows in <wdm_io.h>.
//
// Every routine has C linkage. Driver images are compiled with -fshort-wchar, so
// L"..." is UTF-16 there as on Windows; platform code spells the same literals u"...".
#pragma once

#include <ntdef.h>
#include <ntstatus.h>
#include <stdarg.h>
#include <string.h>

#define FORCEINLINE static inline
#define ANYSIZE_ARRAY 1

typedef UCHAR KIRQL, *PKIRQL;
#define PASSIVE_LEVEL  0
#define LOW_LEVEL      0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL     31

typedef CCHAR KPROCESSOR_MODE;
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

typedef LONG KPRIORITY;
#define EVENT_INCREMENT 1

typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    WrFreePage,
    WrPageIn,
    WrPoolAllocation,
    WrDelayExecution,
    WrSuspended,
    WrUserRequest,
    MaximumWaitReason = 37
} KWAIT_REASON;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;

typedef enum _POOL_TYPE {
    NonPagedPool,
    PagedPool,
    NonPagedPoolMustSucceed,
    DontUseThisType,
    NonPagedPoolCacheAligned,
    PagedPoolCacheAligned,
    NonPagedPoolCacheAlignedMustS
} POOL_TYPE;

typedef enum _MM_SYSTEM_SIZE { MmSmallSystem, MmMediumSystem, MmLargeSystem } MM_SYSTEMSIZE;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

// ---------------------------------------------------------------------------
// Dispatcher objects. The kernel keeps their state in these records, guarded by
// its dispatcher lock; drivers only allocate them and pass their addresses.

// DISPATCHER_HEADER.Type of each waitable object.
#define EventNotificationObject       0
#define EventSynchronizationObject    1
#define ThreadObject                  6
#define TimerNotificationObject       8
#define TimerSynchronizationObject    9

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

struct _KDPC;
typedef VOID(NTAPI KDEFERRED_ROUTINE)(struct _KDPC *Dpc, PVOID DeferredContext,
                                      PVOID SystemArgument1, PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE *PKDEFERRED_ROUTINE;

typedef enum _KDPC_IMPORTANCE { LowImportance, MediumImportance, HighImportance } KDPC_IMPORTANCE;

typedef struct _KDPC {
    CSHORT Type;
    UCHAR Number;
    UCHAR Importance;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID DpcData;  // non-null while the DPC is queued
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
    DISPATCHER_HEADER Header;  // Header.Inserted: the timer is armed
    ULARGE_INTEGER DueTime;    // interrupt time at which it expires
    LIST_ENTRY TimerListEntry;
    struct _KDPC *Dpc;
    LONG Period;               // milliseconds, 0 for a one-shot timer
} KTIMER, *PKTIMER, *PRKTIMER;

// Fast mutex: not recursive; acquiring raises to APC_LEVEL until the release.
typedef struct _FAST_MUTEX {
    LONG Count;               // 1 = free, 0 = owned, -n = owned with n waiters
    struct _KTHREAD *Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
typedef struct _ETHREAD *PETHREAD;
typedef struct _EPROCESS *PEPROCESS;
typedef struct _OBJECT_TYPE *POBJECT_TYPE;

typedef VOID(NTAPI KSTART_ROUTINE)(PVOID StartContext);
typedef KSTART_ROUTINE *PKSTART_ROUTINE;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

// Access rights.
#define DELETE                   0x00010000L
#define SYNCHRONIZE              0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_ALL      0x001F0000L
#define GENERIC_READ             0x80000000L
#define GENERIC_WRITE            0x40000000L
#define GENERIC_EXECUTE          0x20000000L
#define GENERIC_ALL              0x10000000L
#define EVENT_QUERY_STATE        0x0001
#define EVENT_MODIFY_STATE       0x0002
#define EVENT_ALL_ACCESS         (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)
#define THREAD_ALL_ACCESS        (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3FF)

// ---------------------------------------------------------------------------
// Doubly linked lists.

FORCEINLINE VOID InitializeListHead(PLIST_ENTRY ListHead) {
    ListHead->Flink = ListHead->Blink = ListHead;
}

FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY *ListHead) {
    return (BOOLEAN)(ListHead->Flink == ListHead);
}

// Returns TRUE when the list is empty afterwards.
FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
    PLIST_ENTRY Flink = Entry->Flink;
    PLIST_ENTRY Blink = Entry->Blink;
    Blink->Flink = Flink;
    Flink->Blink = Blink;
    return (BOOLEAN)(Flink == Blink);
}

FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Flink;
    PLIST_ENTRY Flink = Entry->Flink;
    ListHead->Flink = Flink;
    Flink->Blink = ListHead;
    return Entry;
}

FORCEINLINE PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Blink;
    PLIST_ENTRY Blink = Entry->Blink;
    ListHead->Blink = Blink;
    Blink->Flink = ListHead;
    return Entry;
}

FORCEINLINE VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY Blink = ListHead->Blink;
    Entry->Flink = ListHead;
    Entry->Blink = Blink;
    Blink->Flink = Entry;
    ListHead->Blink = Entry;
}

FORCEINLINE VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY Flink = ListHead->Flink;
    Entry->Flink = Flink;
    Entry->Blink = ListHead;
    Flink->Blink = Entry;
    ListHead->Flink = Entry;
}

// ---------------------------------------------------------------------------
// Memory and strings.

#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))

// A counted string over a literal: RTL_CONSTANT_STRING(L"\\Device\\Foo").
#define RTL_CONSTANT_STRING(s) \
    { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWSTR)(s) }

// Registry value types.
#define REG_NONE      0
#define REG_SZ        1
#define REG_EXPAND_SZ 2
#define REG_BINARY    3
#define REG_DWORD     4
#define REG_MULTI_SZ  7

// Access to a key (the same values and spelling as <winreg.h>, so both may be included).
#define KEY_QUERY_VALUE        0x0001
#define KEY_SET_VALUE          0x0002
#define KEY_CREATE_SUB_KEY     0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY             0x0010
#define STANDARD_RIGHTS_READ   0x00020000L
#define STANDARD_RIGHTS_WRITE  0x00020000L
#define KEY_READ  ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & \
                   ~SYNCHRONIZE)
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & ~SYNCHRONIZE)

// RelativeTo of the Rtl registry routines.
#define RTL_REGISTRY_ABSOLUTE   0  // \Registry\Machine\...
#define RTL_REGISTRY_SERVICES   1  // \Registry\Machine\System\CurrentControlSet\Services
#define RTL_REGISTRY_CONTROL    2  // \Registry\Machine\System\CurrentControlSet\Control
#define RTL_REGISTRY_WINDOWS_NT 3  // \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion
#define RTL_REGISTRY_DEVICEMAP  4  // \Registry\Machine\Hardware\DeviceMap
#define RTL_REGISTRY_OPTIONAL   0x80000000

// RTL_QUERY_REGISTRY_TABLE.Flags.
#define RTL_QUERY_REGISTRY_SUBKEY   0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY   0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED 0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE  0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND 0x00000010
#define RTL_QUERY_REGISTRY_DIRECT   0x00000020
#define RTL_QUERY_REGISTRY_DELETE   0x00000040

typedef NTSTATUS(NTAPI *PRTL_QUERY_REGISTRY_ROUTINE)(PWSTR ValueName, ULONG ValueType,
                                                     PVOID ValueData, ULONG ValueLength,
                                                     PVOID Context, PVOID EntryContext);

// One entry of a query; the table ends with an entry whose QueryRoutine and Name
// are both null.
//
// With RTL_QUERY_REGISTRY_DIRECT, EntryContext receives the value itself:
//  - REG_SZ / REG_EXPAND_SZ: EntryContext is a UNICODE_STRING. A null Buffer gets a
//    pool buffer (tag 0, caller frees); otherwise the text must fit MaximumLength.
//  - REG_DWORD, and any other data of at most 4 bytes: stored at EntryContext.
//  - longer non-string data: the buffer begins with a signed LONG whose magnitude is
//    the buffer size in bytes. Negative: only the data is stored, from the start of
//    the buffer. Positive: the first ULONG receives the data length, the second the
//    type, and the data follows them. Data that does not fit gives
//    STATUS_BUFFER_TOO_SMALL.
typedef struct _RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PCWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

EXTERN_C_START

// Object types for ObReferenceObjectByHandle.
extern POBJECT_TYPE *PsThreadType;
extern POBJECT_TYPE *ExEventObjectType;

SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length);

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
// Copies as much as fits MaximumLength of the destination.
VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                PCUNICODE_STRING SourceString);
// Both fail with STATUS_BUFFER_TOO_SMALL, leaving the destination unchanged, when the
// result would not fit. A terminating zero is added when there is room for it.
NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source);
NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
// Base 2, 8, 10 or 16 (0 means 10).
NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive);
BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive);

// Pool. Every block records its tag and the image that allocated it; freeing a block
// twice, or an address that is not a block, is a bug check. Allocation may fail.
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID NTAPI ExFreePool(PVOID P);

MM_SYSTEMSIZE NTAPI MmQuerySystemSize(VOID);

// Interrupt request levels, per thread.
KIRQL NTAPI KeGetCurrentIrql(VOID);
VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID NTAPI KeLowerIrql(KIRQL NewIrql);

// Spin locks: acquiring raises to DISPATCH_LEVEL; releasing a lock that the caller
// does not hold is a bug check.
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

// Critical regions. The machine delivers no kernel APCs, so nothing can suspend a
// thread; the regions are counted per thread, and the verifier holds every dispatch
// routine to leaving each region it entered.
VOID NTAPI KeEnterCriticalRegion(VOID);
VOID NTAPI KeLeaveCriticalRegion(VOID);

// Fast mutexes: callers run at or below APC_LEVEL.
VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);
VOID NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex);
BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);
VOID NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex);

// Events.
VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG NTAPI KeResetEvent(PRKEVENT Event);
VOID NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);

// Waits on an event, timer or thread. Timeout in 100 ns units: negative is relative,
// positive an absolute system time, null forever. Returns STATUS_SUCCESS or
// STATUS_TIMEOUT. A wait that can block is allowed at or below APC_LEVEL only; at
// DISPATCH_LEVEL only a zero timeout is allowed.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout);
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval);

// Timers and DPCs. DPCs run on the machine's DPC thread at DISPATCH_LEVEL; timers
// run on the machine's clock.
VOID NTAPI KeInitializeTimer(PKTIMER Timer);
VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
// Returns TRUE when the timer was armed already (it is re-armed).
BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
// Returns TRUE when the timer was armed. A DPC that the timer queued already stays queued.
BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer);
BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer);
VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                           PVOID DeferredContext);
// Returns FALSE when the DPC is queued already.
BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);

// Time: system time in 100 ns units since 1601, interrupt time in 100 ns since boot.
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
ULONGLONG NTAPI KeQueryInterruptTime(VOID);

// System threads: real threads of the system process. The handle goes into the
// handle table of the caller's process, or of the system process with
// OBJ_KERNEL_HANDLE; the thread object is signalled when the thread ends.
NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                    PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext);
DECLSPEC_NORETURN NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
PKTHREAD NTAPI KeGetCurrentThread(VOID);
PETHREAD NTAPI PsGetCurrentThread(VOID);

// Objects and handles.
NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID *Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation);
LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
// Closes a handle of the current process; an unknown handle is a bug check.
NTSTATUS NTAPI ZwClose(HANDLE Handle);

// Creates the named synchronization event \BaseNamedObjects\<name>, or opens it when
// it exists, with a handle in the current process; NULL when that fails. EventName
// is the full path ("\BaseNamedObjects\Name").
PKEVENT NTAPI IoCreateSynchronizationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle);

// Registry. Callers run at PASSIVE_LEVEL. Path is relative to RelativeTo.
NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment);
// Creates the key when it is missing.
NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength);
NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);
// Stores a value under a key handle opened with KEY_SET_VALUE (IoOpenDeviceRegistryKey),
// creating or replacing it. STATUS_INVALID_HANDLE for an unknown handle,
// STATUS_OBJECT_TYPE_MISMATCH for a handle that is no key, STATUS_ACCESS_DENIED without
// KEY_SET_VALUE, STATUS_KEY_DELETED when the key went after it was opened. Close the
// handle with ZwClose.
NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize);

// Debugging. DbgPrint writes into the machine's debug log.
ULONG DbgPrint(PCSTR Format, ...);
DECLSPEC_NORETURN VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR Parameter1,
                                          ULONG_PTR Parameter2, ULONG_PTR Parameter3,
                                          ULONG_PTR Parameter4);

EXTERN_C_END

#include <wdm_io.h>
