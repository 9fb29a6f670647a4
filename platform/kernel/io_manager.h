// The I/O manager's internal records: what it keeps about devices, requests and
// files beyond the published fields, and the routines its parts share. Drivers never
// see this; platform code (the PnP and power managers, the system services, tests)
// does.
#pragma once

#include <wdm.h>

#include <atomic>
#include <bitset>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "ob.h"

struct DeviceNode;
struct DriverRecord;

extern ObjectType IoDeviceObjectType;  // body: DEVICE_OBJECT, then its extension
extern ObjectType IoDriverObjectType;  // body: DRIVER_OBJECT, DRIVER_EXTENSION
extern ObjectType IoFileObjectType;    // body: FILE_OBJECT

// DEVICE_OBJECT.DeviceObjectExtension. Guarded by IoLock().
struct _DEVOBJ_EXTENSION {
    PDEVICE_OBJECT deviceObject;
    PDEVICE_OBJECT attachedTo;  // the device below this one in its stack
    DeviceNode *deviceNode;     // set on every device of a Plug and Play stack
    bool exclusive;
    bool deletePending;         // IoDeleteDevice was called
    DEVICE_POWER_STATE devicePowerState;  // as PoSetPowerState last reported it
    SYSTEM_POWER_STATE systemPowerState;
};

// The lock of device lists, stacks and driver device counts. Never held while a
// driver routine runs.
std::mutex &IoLock();

// The top of the stack that `device` is in. Caller holds IoLock() or knows the stack
// cannot change.
PDEVICE_OBJECT IoGetTopOfStackLocked(PDEVICE_OBJECT device);
PDEVICE_OBJECT IoGetTopOfStack(PDEVICE_OBJECT device);

// Creates a device for a platform-owned driver (the PnP manager's root bus).
NTSTATUS IoCreateDeviceForPlatform(PDRIVER_OBJECT driver, ULONG extensionSize,
                                   ULONG characteristics, PDEVICE_OBJECT *device);

// ---------------------------------------------------------------------------
// Requests.

// Called when a request's completion reaches the top of its stack (the request
// belongs to the platform again): copy data out, report, free. Runs in the completing
// thread, at the completer's level.
typedef void (*IrpFinishRoutine)(PIRP irp, void *context);

// Allocates a request whose completion ends in `finish` (null: a driver-allocated
// request that must not complete to the top).
PIRP IoAllocateIrpFor(CCHAR stackSize, IrpFinishRoutine finish, void *context);
// Releases a request allocated by the platform (from a finish routine, usually).
void IoReleaseIrp(PIRP irp);
// Frees the memory of released requests (machine shutdown).
void IoDrainIrpQuarantine();

// A pinned request's memory stays valid after it is freed, until it is unpinned.
void IoPinIrp(PIRP irp);
void IoUnpinIrp(PIRP irp);
// IoCancelIrp for a pinned request that may be finishing concurrently.
void IoCancelPinnedIrp(PIRP irp);

// Sends a request to the top of `device`'s stack from a system thread, waits for it
// and returns its final status. The request gets one stack location per device in
// the stack; `prepare` fills the first driver's location (Major/MinorFunction and
// Parameters) and may set the initial IoStatus.
NTSTATUS IoSendSynchronousRequest(PDEVICE_OBJECT device,
                                  const std::function<void(PIRP, PIO_STACK_LOCATION)> &prepare,
                                  ULONG_PTR *information = nullptr);

// ---------------------------------------------------------------------------
// Files.

// Opens `path` for `process` (following links); sends IRP_MJ_CREATE and, on success,
// returns a handle in the process.
NTSTATUS IoOpenFile(std::u16string_view path, ACCESS_MASK access, ULONG shareAccess,
                    bool synchronous, HANDLE *handle, PIO_STATUS_BLOCK ioStatus);

// One read, write or device-control request on a file handle.
struct IoFileRequest {
    UCHAR majorFunction;
    ULONG ioControlCode;
    const void *input;
    ULONG inputLength;
    void *output;
    ULONG outputLength;
    HANDLE event;
    PIO_STATUS_BLOCK ioStatus;
};
NTSTATUS IoSubmitFileRequest(HANDLE fileHandle, const IoFileRequest &request);
NTSTATUS IoCancelFileRequests(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus);
// Whether the handle's file was opened for synchronous I/O.
NTSTATUS IoQueryFileMode(HANDLE fileHandle, bool *synchronous);

// ---------------------------------------------------------------------------
// Background work in a system thread, one item at a time, in order.
class IoWorkQueue {
public:
    explicit IoWorkQueue(const char *name);
    ~IoWorkQueue();
    void post(std::function<void()> work);
    // Runs `work` on the queue's thread and returns when it is done.
    void run(const std::function<void()> &work);
    // Returns when nothing is queued or running.
    void waitIdle();
    bool onQueueThread() const;
    // Items posted or run since the queue was created.
    unsigned long long postedCount() const;

private:
    struct State;
    State *state_;
};

// Defers `work` to the I/O manager's worker thread (what Windows does in the
// requesting thread's completion APC: releasing a file after an asynchronous
// completion, which must not run inside the completing driver).
void IoPostToWorker(std::function<void()> work);
IoWorkQueue &IoWorker();
// True once IoSubsystemStop has begun: files closed after that get no requests.
bool IoIsStopping();
