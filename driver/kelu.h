// kelu: the port driver's device extension, driver-wide tables and internal routines.
//
// Locks, outermost first. A thread may take a lock further down this list while it
// holds one further up, never the other way round.
//
//  1. g_ConnectionMapLock (a synchronization event used as a lock, PASSIVE_LEVEL).
//     Serialises every change of g_ConnectionAndConfirmationMap together with its
//     save, so two changes can never leave the partner half asymmetric and the stored
//     value is always a map that existed. Taken only by the map routines
//     (connection_map.cpp); they call KeluTransferLines while holding it.
// 1a. A port's EventCreationLock (a synchronization event used as a lock, PASSIVE_LEVEL).
//     Lets one thread at a time create and install the port's named events, so that
//     one creating thread never opens, and clears, events another has installed. Taken
//     only by the creating thread (named_events.cpp), which takes the Mutex under it.
//  2. The port Mutex (fast mutex, APC_LEVEL). Guards the port's flags, rings, queues,
//     settings, lines and wait state. Code that holds two port mutexes takes them only
//     through KeluAcquirePortPair: the lower port number first; a port paired with
//     itself takes its one mutex once. KeluTransferLines and the transfer engine do so.
//     Never wait for g_ConnectionMapLock, and never call KeluCreatePortEvents, while
//     holding a port Mutex.
//  3. QueueLock (spin lock, up to DISPATCH_LEVEL). Guards the links of ReadQueue,
//     WriteQueue and FlushQueue, which timer DPCs and cancel routines share with the
//     transfer engine. Held only around an append or unlink; nothing is completed under it.
//     Each queue's count (lReadsQueued, lWritesQueued, lFlushesQueued) changes with its
//     links, under QueueLock, and is read without it, to see an empty queue without the
//     lock. Requests are appended only under the port Mutex, so to its holder a count of
//     0 stays 0; a count above 0 may drop at any moment (timer DPC, cancel routine), so
//     the queue itself is looked at under QueueLock before a request is taken from it.
//     The transfer's hand-over from a write straight to the partner's read holds the
//     writer's QueueLock and then the reader's, under both ports' Mutexes; nothing else
//     holds two.
//  4. g_PortTableLock (spin lock). Innermost: held only while an entry of
//     g_PortDeviceExtensions is read and referenced, or written. Nothing else is taken
//     under it.
//
// Keeping a port's extension valid. A port reached through g_PortDeviceExtensions (a
// control request naming a port number, or a partner through the connection map) is
// always returned referenced: KeluReferencePortExtension and KeluGetPartnerExtension
// increment its ulOutstandingIo under g_PortTableLock, and the caller gives the
// reference back with KeluReleasePortExtension. Removal empties the table entry under
// the same lock before it waits for ulOutstandingIo to drain, so once the wait ends no
// thread can hold or obtain a pointer to the port and the device can be deleted.
// Partner references must therefore be short-lived: held across a transfer or a line
// exchange, never across a wait.
#pragma once

#include <ntddk.h>
#include <ntddser.h>

#include "kelu_ioctl.h"

// All driver memory is nonpaged pool with this tag (the bytes "Ddk "); freed with tag 0.
#define KELU_POOL_TAG 0x206B6444

// First word of every device extension: it tells the two kinds of device apart.
#define KELU_PORT_SIGNATURE    0x55555555
#define KELU_CONTROL_SIGNATURE 0xAAAAAAAA

#define KELU_PORT_COUNT       256
#define KELU_NOT_CONNECTED    0xFF
#define KELU_MAP_SIZE         512  // partner bytes, then confirmation flags
#define KELU_CONFIRMATION_BASE 256 // index of port 0's confirmation flag in the map

// Name strings of a port (ComName, SymbolicLinkName and the temporary device name).
#define KELU_NAME_BUFFER_BYTES 92
#define KELU_NAME_MAX_BYTES    90

// Change bits in the low nibble of ulModemStatus; the line bits are the SERIAL_*_STATE
// values (CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80).
#define KELU_MODEM_DELTA_CTS 0x01
#define KELU_MODEM_DELTA_DSR 0x02
#define KELU_MODEM_DELTA_RI  0x04
#define KELU_MODEM_DELTA_DCD 0x08

// A timeout timer of a port's queue head and the run of its DPC, guarded by QueueLock.
typedef struct _KELU_TIMER_STATE {
    BOOLEAN bArmed;        // set for the present head; cleared when it is consumed or stopped
    BOOLEAN bRunOwed;      // the timer expired and its DPC has yet to finish
    BOOLEAN bArmWhenRun;   // arm ullDueMilliseconds once that DPC has finished
    ULONGLONG ullDueMilliseconds;
} KELU_TIMER_STATE, *PKELU_TIMER_STATE;

typedef struct _KELU_DEVICE_EXTENSION {
    ULONG ulSignature;                  // KELU_PORT_SIGNATURE
    FAST_MUTEX Mutex;
    UCHAR bOpening;
    UCHAR bOpened;
    UCHAR bStarted;
    UCHAR bRemoving;
    PDEVICE_OBJECT pLowerDeviceObject;
    PDEVICE_OBJECT pPhysicalDeviceObject;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum]; // indexed by SYSTEM_POWER_STATE
    KEVENT RemoveEvent;                 // synchronization event
    volatile LONG ulOutstandingIo;      // interlocked only; 1 for the device itself
    UNICODE_STRING DeviceName;
    UNICODE_STRING ComName;
    UNICODE_STRING SymbolicLinkName;
    UCHAR ulPortNumber;
    LIST_ENTRY ReadQueue;
    KTIMER ReadTotalTimer;
    KTIMER ReadIntervalTimer;
    KDPC ReadTotalDpc;
    KDPC ReadIntervalDpc;
    PUCHAR pReadBuffer;
    ULONG ulReadBufferSize;
    ULONG ulReadBufferIn;
    ULONG ulReadBufferOut;
    ULONG ulReadBufferCount;
    LIST_ENTRY WriteQueue;
    KTIMER WriteTotalTimer;
    KDPC WriteTotalDpc;
    PUCHAR pWriteBuffer;
    ULONG ulWriteBufferSize;
    ULONG ulWriteBufferIn;
    ULONG ulWriteBufferOut;
    ULONG ulWriteBufferCount;
    PIRP pWaitIrp;
    ULONG ulSettableBaud;
    ULONG ulWaitMask;
    ULONG ulModemStatus;
    ULONG ulModemControl;
    ULONG ulFifoControl;
    ULONG ulBaudRate;
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_CHARS Chars;
    SERIAL_HANDFLOW HandFlow;
    PKEVENT pPortOpenedEvent;
    PKEVENT pPortDataEvent;
    PKEVENT pPortSettingsEvent;
    PKEVENT pPortFlowControlEvent;
    HANDLE hPortOpenedEvent;
    HANDLE hPortDataEvent;
    HANDLE hPortSettingsEvent;
    HANDLE hPortFlowControlEvent;

    // Added fields.
    KSPIN_LOCK QueueLock;               // lock 3 above: the links of ReadQueue and WriteQueue
    // The requests linked in ReadQueue and WriteQueue: changed with the links (under
    // QueueLock), read with no lock, so that a look at whether a queue is empty takes
    // no lock (KeluIsQueueEmpty).
    volatile LONG lReadsQueued;
    volatile LONG lWritesQueued;
    KEVENT EventCreationLock;           // lock 1a above; synchronization event, signalled: free
    // Guarded by QueueLock: where each timer and its DPC stand (request_queue.cpp).
    KELU_TIMER_STATE ReadTotalState;
    KELU_TIMER_STATE ReadIntervalState;
    KELU_TIMER_STATE WriteTotalState;
    UCHAR bRemoved;                     // torn down; a REMOVE after SURPRISE_REMOVAL only passes down
    // Under the port Mutex: the open handle's cleanup has run; until the next open, a
    // request that would wait is cancelled at once, since nothing would end it.
    UCHAR bCleanedUp;
    // Under the port Mutex: the open brought bytes into the receive ring that no wait has
    // been told of; the first wait for SERIAL_EV_RXCHAR hears of them (wait_mask.cpp).
    UCHAR bRxCharOwed;
    // Under the port Mutex: events in the wait mask raised since the open while no wait
    // was pending; the next wait completes with them at once (wait_mask.cpp).
    ULONG ulWaitHistory;
    LIST_ENTRY FlushQueue;              // IRP_MJ_FLUSH_BUFFERS requests waiting (flush.cpp)
    // The flushes linked in FlushQueue: changed with its links (under QueueLock), read
    // with no lock by a holder of the Mutex to skip an empty queue (flush.cpp).
    volatile LONG lFlushesQueued;
    // Under the port Mutex. bBreakOn: this port holds its transmit line in break, from
    // IOCTL_SERIAL_SET_BREAK_ON to SET_BREAK_OFF or the close. bBreakSeen: the partner's
    // break as KeluTransferLines last brought it to this port. ulErrors: SERIAL_ERROR_*
    // bits not yet reported; IOCTL_SERIAL_GET_COMMSTATUS reports and clears them.
    UCHAR bBreakOn;
    UCHAR bBreakSeen;
    ULONG ulErrors;
} KELU_DEVICE_EXTENSION, *PKELU_DEVICE_EXTENSION;

// The control device's extension is the signature word alone.
typedef struct _KELU_CONTROL_EXTENSION {
    ULONG ulSignature;                  // KELU_CONTROL_SIGNATURE
} KELU_CONTROL_EXTENSION, *PKELU_CONTROL_EXTENSION;

// Driver-wide state. The per-port tables are indexed by the port number.
extern PWSTR g_RegistryPath;            // zero-terminated copy of the service key path
extern PDEVICE_OBJECT g_ControlDeviceObject;
extern UCHAR g_ConnectionAndConfirmationMap[KELU_MAP_SIZE];
extern KEVENT g_ConnectionMapLock;      // lock 1 above
extern PKELU_DEVICE_EXTENSION g_PortDeviceExtensions[KELU_PORT_COUNT]; // read under g_PortTableLock
extern KSPIN_LOCK g_PortTableLock;      // lock 4 above
extern KEVENT g_OpenConfirmationEvents[KELU_PORT_COUNT];   // notification events
extern NTSTATUS g_OpenConfirmationResults[KELU_PORT_COUNT]; // last answer; under the port Mutex

// Entry, unload and the dispatch routines (entry.cpp, and the files of each request kind).
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI KeluUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI KeluCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI KeluClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI KeluCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI KeluRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI KeluWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI KeluDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI KeluFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI KeluPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI KeluPowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Device-control handlers behind KeluDeviceControl; each completes the request.
NTSTATUS KeluPortDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS KeluDeviceDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// True when the device object is a port device (not the control device).
BOOLEAN KeluIsPortDevice(PDEVICE_OBJECT DeviceObject);

// Port devices and their names (port_device.cpp).
NTSTATUS NTAPI KeluAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS KeluCreateComName(PKELU_DEVICE_EXTENSION pDevExt, ULONG ulComNumber);
// Frees a name string's buffer (if any) and empties the string.
VOID KeluFreeName(PUNICODE_STRING pName);

// The port with that number, referenced, or NULL when it has no device. PASSIVE to
// DISPATCH_LEVEL. Give the reference back with KeluReleasePortExtension.
PKELU_DEVICE_EXTENSION KeluReferencePortExtension(ULONG ulPortNumber);
// The partner that the connection map gives this port, referenced, or NULL (no
// partner, partner not plugged in, or pDevExt NULL); never the port itself, since the
// map pairs no port with itself. Give the reference back with KeluReleasePortExtension.
PKELU_DEVICE_EXTENSION KeluGetPartnerExtension(PKELU_DEVICE_EXTENSION pDevExt);
// Gives back a reference from the two routines above; accepts NULL.
VOID KeluReleasePortExtension(PKELU_DEVICE_EXTENSION pDevExt);

// Take and give back the Mutex of two ports in the one fixed order (lower port number
// first). Either may be NULL; the same port twice takes its mutex once. Release with
// the same two arguments.
VOID KeluAcquirePortPair(PKELU_DEVICE_EXTENSION pFirst, PKELU_DEVICE_EXTENSION pSecond);
VOID KeluReleasePortPair(PKELU_DEVICE_EXTENSION pFirst, PKELU_DEVICE_EXTENSION pSecond);

// Copies this port's DTR and RTS onto its partner's DSR/DCD and CTS, raising the
// partner's line events on a change, and its break onto the partner's receive line: an
// open partner whose line goes into break gets SERIAL_EV_BREAK and SERIAL_ERROR_BREAK.
// The caller holds neither port's Mutex.
// STATUS_UNSUCCESSFUL when the port has no partner device.
NTSTATUS KeluTransferLines(PKELU_DEVICE_EXTENSION pDevExt);

// Connection map (connection_map.cpp). PASSIVE_LEVEL; the caller holds no port Mutex.
NTSTATUS KeluLoadConnectionMap(PUCHAR pMap);
NTSTATUS KeluSaveConnectionMap(PUCHAR pMap);
// Both answer STATUS_INVALID_PARAMETER, changing nothing, unless a and b are different
// port numbers below 255.
NTSTATUS KeluMapConnectPorts(ULONG a, ULONG b);
NTSTATUS KeluMapDisconnectPorts(ULONG a, ULONG b);
// Removal, after the port has left the table: dissolves the port's pair when its
// partner is plugged in, deciding and changing under the map lock so that a pairing
// made meanwhile is not torn in half.
VOID KeluMapDissolvePairOfRemovedPort(UCHAR ucPortNumber);
// Sets or clears a port's confirmation flag and saves the map.
VOID KeluMapSetConfirmation(UCHAR ucPortNumber, BOOLEAN bRequired);
// Readers of the map; any level up to DISPATCH_LEVEL, no port Mutex needed.
BOOLEAN KeluMapIsConfirmationRequired(UCHAR ucPortNumber);
VOID KeluMapCopyPartners(PUCHAR pPartners); // KELU_PORT_COUNT bytes

// Plug and Play and power (pnp_power.cpp).
NTSTATUS KeluForwardIrpSynchronous(PDEVICE_OBJECT LowerDeviceObject, PIRP Irp);
NTSTATUS NTAPI KeluSyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID NTAPI KeluPowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                    POWER_STATE PowerState, PVOID Context,
                                    PIO_STATUS_BLOCK IoStatus);

// Request references (request_reference.cpp). Every dispatch routine of a port that
// does work acquires one first and releases it after completing the request; the
// acquire fails unless the port is started and not being removed. The acquire takes
// the port's Mutex briefly to read the flags: the caller must not hold it. The Locked
// form is for a caller that holds the Mutex already and saves that round trip: the read
// and write dispatch, which take the pair's Mutexes anyway (pDevExt not NULL).
NTSTATUS KeluAcquireRequestReference(PKELU_DEVICE_EXTENSION pDevExt);
NTSTATUS KeluAcquireRequestReferenceLocked(PKELU_DEVICE_EXTENSION pDevExt);
VOID KeluReleaseRequestReference(PKELU_DEVICE_EXTENSION pDevExt);

// Raises SERIAL_EV_* events on a port: completes its pending wait-on-mask request with
// those in the wait mask, or keeps them for the next wait when none is pending. The
// caller holds the port's Mutex (wait_mask.cpp).
VOID KeluSignalWaitEvents(PKELU_DEVICE_EXTENSION pDevExt, ULONG ulEvents);

// Timer routines of the read and write timeouts; context the port's extension.
VOID NTAPI KeluReadTotalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                   PVOID SystemArgument2);
VOID NTAPI KeluReadIntervalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                      PVOID SystemArgument2);
VOID NTAPI KeluWriteTotalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                    PVOID SystemArgument2);

// Cancels every request of one of the port's queues (ReadQueue or WriteQueue). Called
// with the port's Mutex held, by close, cleanup, purge and removal. A request that has
// already moved bytes completes with STATUS_SUCCESS and its count, as on every
// cancellation (KeluFinishRequest).
NTSTATUS KeluCancelQueue(PKELU_DEVICE_EXTENSION pDevExt, PLIST_ENTRY pQueue);
// Ends every pending request of the port: reads, writes, flushes and the wait. Port
// Mutex held; close, cleanup and removal call it (open_close.cpp).
VOID KeluCancelPendingRequests(PKELU_DEVICE_EXTENSION pDevExt);

// Data path
//
// Ring operations run with the Mutex of every port involved held (ring_buffer.cpp); the
// engine is transfer.cpp, the read and write dispatch read_write.cpp, open, cleanup and
// close open_close.cpp.

// Moves data between a port and its partner (either may be NULL) as far as rings and
// requests allow, completes what is done and raises the events. The caller holds neither
// Mutex; KeluTransferDataLocked is the same with both already held through
// KeluAcquirePortPair. Always STATUS_SUCCESS.
NTSTATUS KeluTransferData(PKELU_DEVICE_EXTENSION pPort, PKELU_DEVICE_EXTENSION pPartner);
VOID KeluTransferDataLocked(PKELU_DEVICE_EXTENSION pPort, PKELU_DEVICE_EXTENSION pPartner);

// The five ring operations; each returns the number of bytes moved.
ULONG KeluPutToReadBuffer(PKELU_DEVICE_EXTENSION pDevExt, const UCHAR *pSource, ULONG ulCount);
ULONG KeluGetFromReadBuffer(PKELU_DEVICE_EXTENSION pDevExt, PUCHAR pTarget, ULONG ulCount);
ULONG KeluPutToWriteBuffer(PKELU_DEVICE_EXTENSION pDevExt, const UCHAR *pSource, ULONG ulCount);
ULONG KeluGetFromWriteBuffer(PKELU_DEVICE_EXTENSION pDevExt, PUCHAR pTarget, ULONG ulCount);
// Puts one byte ahead of every byte waiting in the transmit ring; FALSE when the ring
// is full (or the port closed).
BOOLEAN KeluPutInFrontOfWriteBuffer(PKELU_DEVICE_EXTENSION pDevExt, UCHAR ch);
ULONG KeluMoveWriteToReadBuffer(PKELU_DEVICE_EXTENSION pReceiver, PKELU_DEVICE_EXTENSION pSender);
// Gives both rings new sizes, keeping their bytes in order (ring_buffer.cpp); see there
// for the sizes. STATUS_INSUFFICIENT_RESOURCES leaves both rings as they were.
NTSTATUS KeluResizeRings(PKELU_DEVICE_EXTENSION pDevExt, ULONG ulReceiveSize, ULONG ulTransmitSize);
// The bytes this port still has to send: those of its queued writes not yet stored, and
// those waiting in its transmit ring. Port Mutex held (transfer.cpp).
ULONG KeluBytesToTransmit(PKELU_DEVICE_EXTENSION pDevExt);
// The receive events of one move into a receive ring, as KeluMoveWriteToReadBuffer raises
// them: SERIAL_EV_RXCHAR, SERIAL_EV_RXFLAG when a moved byte was the receiver's event
// character, SERIAL_EV_RX80FULL when the ring then held ulCountAfter bytes at or above its
// 80 % mark. Also for bytes handed from a write straight to a read (transfer.cpp).
BOOLEAN KeluHasEventChar(PKELU_DEVICE_EXTENSION pReceiver, const UCHAR *pBytes, ULONG ulCount);
ULONG KeluMoveEvents(PKELU_DEVICE_EXTENSION pReceiver, BOOLEAN bEventChar, ULONG ulCountAfter);

#ifndef MAXULONG
#define MAXULONG 0xFFFFFFFFUL  // as the Windows headers define it
#endif

// TRUE when the port's timeouts ask reads to return at once with what they have.
BOOLEAN KeluIsImmediateRead(PKELU_DEVICE_EXTENSION pDevExt);
// TRUE for the timeouts (MAXULONG, MAXULONG, c) with 0 < c < MAXULONG: a read returns as
// soon as it holds a byte, and times out after c milliseconds without one.
BOOLEAN KeluIsReadOnFirstByte(PKELU_DEVICE_EXTENSION pDevExt);

// Request queues, their timers and cancellation (request_queue.cpp); the rules that keep
// DPCs, cancel routines and the transfer apart are at the top of that file.
// KeluQueueRequest appends a read or write with KeluCancelQueuedIrp installed and starts
// its total timer when it becomes the head; FALSE when the request was cancelled before
// it could be queued (the caller completes it). The caller holds the port's Mutex.
BOOLEAN KeluQueueRequest(PKELU_DEVICE_EXTENSION pDevExt, PLIST_ENTRY pQueue, PIRP Irp);
// With QueueLock held, for a queue of requests that can be cancelled while they wait
// (reads, writes, flushes): installs CancelRoutine under the cancel spin lock, then links
// the request at the tail of pQueue and counts it in *plQueued. FALSE, with none of this
// done, when the request was cancelled before it could be linked (the caller completes it).
BOOLEAN KeluLinkCancelableLocked(PLIST_ENTRY pQueue, volatile LONG *plQueued, PIRP Irp,
                                 PDRIVER_CANCEL CancelRoutine);
// Whether ReadQueue or WriteQueue is empty at this moment; no lock taken. Requests are
// appended only under the port's Mutex, so for its holder an empty queue stays empty.
BOOLEAN KeluIsQueueEmpty(PKELU_DEVICE_EXTENSION pDevExt, PLIST_ENTRY pQueue);
// With QueueLock held: the head request or NULL; and unlinking the head, which stops its
// timers and starts the total timer of the request behind it.
PIRP KeluQueueHead(PLIST_ENTRY pQueue);
PIRP KeluUnlinkHeadLocked(PKELU_DEVICE_EXTENSION pDevExt, PLIST_ENTRY pQueue);
// With QueueLock held: (re)starts the read interval timer after a delivery.
VOID KeluArmReadIntervalTimerLocked(PKELU_DEVICE_EXTENSION pDevExt);
// Completes a request already unlinked, with IO_NO_INCREMENT and Information kept,
// unless its cancel routine has been entered, which then completes it. STATUS_CANCELLED
// becomes STATUS_SUCCESS for a request that has already moved bytes: the caller learns
// of every byte (a read's bytes come back only with a success status). No lock held
// other than port Mutexes.
VOID KeluFinishRequest(PIRP Irp, NTSTATUS status);
// Completes the head read with what it has: STATUS_SUCCESS, or STATUS_NO_MORE_ENTRIES
// when no read is queued. The caller holds the port's Mutex.
NTSTATUS KeluCompleteCurrentRead(PKELU_DEVICE_EXTENSION pDevExt);
VOID NTAPI KeluCancelQueuedIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI KeluReadTotalTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
VOID NTAPI KeluReadIntervalTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
VOID NTAPI KeluWriteTotalTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
// IOCTL_SERIAL_SET_TIMEOUTS and IOCTL_SERIAL_GET_TIMEOUTS, called by KeluPortDeviceControl
// inside its common frame (request reference held, Information 0): sets Information and
// returns the status; the caller completes the request. Timeouts change only here, under
// the port's Mutex and QueueLock, since the timer DPCs read them under QueueLock.
NTSTATUS KeluTimeoutsRequest(PKELU_DEVICE_EXTENSION pDevExt, PIRP Irp);

// Completes the pending wait-on-mask request with the given events and forgets it
// (wait_mask.cpp). The caller holds the port's Mutex; nothing happens when no wait is
// pending.
VOID KeluCompletePendingWait(PKELU_DEVICE_EXTENSION pDevExt, ULONG ulEvents);

// Removal calls this with the port's Mutex held after setting bRemoving: an open that
// waits for the controlling application's answer wakes and fails (open_close.cpp).
VOID KeluWakeWaitingOpen(PKELU_DEVICE_EXTENSION pDevExt);

// Flushes (flush.cpp). Port Mutex held. KeluCompleteFlushes ends the waiting flushes
// once the port has nothing left to send; KeluCancelFlushes ends them as cancelled.
VOID KeluCompleteFlushes(PKELU_DEVICE_EXTENSION pDevExt);
VOID KeluCancelFlushes(PKELU_DEVICE_EXTENSION pDevExt);
VOID NTAPI KeluCancelFlushIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Serial requests, wait mask, named events
//
// Wait-on-mask (wait_mask.cpp). All take the port's Mutex held by the caller.
// Whether a wait is pending: a hint, since its cancel routine may end it at any moment.
BOOLEAN KeluIsWaitPending(PKELU_DEVICE_EXTENSION pDevExt);
// KeluSetWaitMask stores a new mask and completes a pending wait with 0.
VOID KeluSetWaitMask(PKELU_DEVICE_EXTENSION pDevExt, ULONG ulMask);
// Queues an IOCTL_SERIAL_WAIT_ON_MASK request (marked pending, STATUS_PENDING), after
// completing an older wait with 0; any other status means the caller completes it.
NTSTATUS KeluWaitOnMask(PKELU_DEVICE_EXTENSION pDevExt, PIRP Irp);
// Completes the pending wait with STATUS_CANCELLED, as close, cleanup and removal do;
// nothing happens when no wait is pending.
VOID KeluCancelPendingWait(PKELU_DEVICE_EXTENSION pDevExt);
VOID NTAPI KeluCancelWaitIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Named events (named_events.cpp). PASSIVE_LEVEL, the caller holds a request reference
// on the port and not its Mutex. KeluCreatePortEvents creates the four events unless
// they exist: STATUS_SUCCESS when all four exist afterwards, STATUS_UNSUCCESSFUL
// otherwise, STATUS_INVALID_PARAMETER for no port.
NTSTATUS KeluCreatePortEvents(PKELU_DEVICE_EXTENSION pDevExt);
VOID NTAPI KeluCreatePortEventsThread(PVOID StartContext);
// A creating thread that outlives its caller's wait is remembered; KeluUnload waits
// for every such thread to end before the image goes away. DriverEntry initializes.
VOID KeluInitializeEventCreation(VOID);
VOID KeluWaitForLateEventCreation(VOID);
// Removal, after the port's requests have drained: forgets the events and closes their
// handles. Takes the port's Mutex.
VOID KeluClosePortEvents(PKELU_DEVICE_EXTENSION pDevExt);
