// Cancellation: NtCancelIoFile cancels the calling thread's requests on a file, and a
// cancel racing a completion ends the request exactly once.
#include "io_manager.h"
#include "io_test_support.h"
#include "loader.h"
#include "machine_test.h"

#include <atomic>
#include <thread>

namespace {

// A device that queues every read under the cancel spin lock, the classic way.
struct CancelDriver {
    PDEVICE_OBJECT device;
    LIST_ENTRY queue;
    std::atomic<int> cancelled, completed, queued;
    bool completeCancelledInDpc;  // the cancel routine leaves the completion to a DPC
    KDPC dpc;
} g_cancel;

void CompleteCancelled(PIRP irp) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    g_cancel.cancelled++;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI CompleteCancelledInDpc(PKDPC, PVOID, PVOID irp, PVOID) {
    CompleteCancelled(static_cast<PIRP>(irp));
}

VOID NTAPI CancelQueuedRead(PDEVICE_OBJECT, PIRP irp) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (g_cancel.completeCancelledInDpc)
        KeInsertQueueDpc(&g_cancel.dpc, irp, nullptr);
    else
        CompleteCancelled(irp);
}

// Completes the oldest queued read, as data arriving would; false if none is queued.
bool CompleteOldestRead() {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (IsListEmpty(&g_cancel.queue)) {
        IoReleaseCancelSpinLock(irql);
        return false;
    }
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&g_cancel.queue), IRP, Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    g_cancel.completed++;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return true;
}

NTSTATUS NTAPI CancelDispatch(PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoMarkIrpPending(irp);
    InsertTailList(&g_cancel.queue, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, CancelQueuedRead);
    IoReleaseCancelSpinLock(irql);
    g_cancel.queued++;
    return STATUS_PENDING;
}

VOID NTAPI CancelUnload(PDRIVER_OBJECT) {
    IoDeleteDevice(g_cancel.device);
}

NTSTATUS NTAPI CancelDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\CancelTest");
    NTSTATUS status =
        IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_cancel.device);
    g_cancel.device->Flags |= DO_BUFFERED_IO;
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ})
        driver->MajorFunction[major] = CancelDispatch;
    driver->DriverUnload = CancelUnload;
    return status;
}

class IoCancelTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        InitializeListHead(&g_cancel.queue);
        g_cancel.cancelled = g_cancel.completed = g_cancel.queued = 0;
        g_cancel.completeCancelledInDpc = false;
        KeInitializeDpc(&g_cancel.dpc, CompleteCancelledInDpc, nullptr);
        LoaderRegisterBuiltinDriver(u"CANCELTEST", CancelDriverEntry);
        PDRIVER_OBJECT driver;
        ASSERT_EQ(LoaderLoadDriver(u"CANCELTEST", &driver), STATUS_SUCCESS);
        ASSERT_EQ(OpenDevice(u"\\Device\\CancelTest", false, &file_), STATUS_SUCCESS);
    }
    void TearDown() override {
        while (CompleteOldestRead()) {
        }
        NtClose(file_);
        MachineTest::TearDown();
    }
    HANDLE file_ = nullptr;
};

TEST_F(IoCancelTest, CancelIoEndsTheCallersPendingReadAsCancelled) {
    HANDLE event = CreateTestEvent();
    char buffer[8];
    IO_STATUS_BLOCK ioStatus = {};
    ASSERT_EQ(NtReadFile(file_, event, &ioStatus, buffer, sizeof buffer), STATUS_PENDING);
    EXPECT_FALSE(IsSignalled(event));
    IO_STATUS_BLOCK cancelStatus = {};
    EXPECT_EQ(NtCancelIoFile(file_, &cancelStatus), STATUS_SUCCESS);
    EXPECT_TRUE(IsSignalled(event));
    EXPECT_EQ(ioStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(g_cancel.cancelled, 1);
    EXPECT_TRUE(IsSignalled(file_)) << "an overlapped file's own event is signalled too";
    NtClose(event);
}

TEST_F(IoCancelTest, CancelIoReturnsOnlyOnceTheCancelledRequestHasCompleted) {
    g_cancel.completeCancelledInDpc = true;
    char buffer[8];
    IO_STATUS_BLOCK ioStatus = {};
    ioStatus.Status = STATUS_PENDING;
    ASSERT_EQ(NtReadFile(file_, nullptr, &ioStatus, buffer, sizeof buffer), STATUS_PENDING);
    IO_STATUS_BLOCK cancelStatus;
    EXPECT_EQ(NtCancelIoFile(file_, &cancelStatus), STATUS_SUCCESS);
    EXPECT_EQ(ioStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(g_cancel.cancelled, 1);
}

TEST_F(IoCancelTest, CancelIoLeavesOtherThreadsRequestsAlone) {
    HANDLE theirs = CreateTestEvent(), mine = CreateTestEvent();
    char bufferA[8], bufferB[8];
    IO_STATUS_BLOCK theirStatus = {}, myStatus = {};
    std::thread other([&] {
        EXPECT_EQ(NtReadFile(file_, theirs, &theirStatus, bufferA, sizeof bufferA), STATUS_PENDING);
    });
    other.join();
    ASSERT_EQ(NtReadFile(file_, mine, &myStatus, bufferB, sizeof bufferB), STATUS_PENDING);
    IO_STATUS_BLOCK cancelStatus;
    NtCancelIoFile(file_, &cancelStatus);
    EXPECT_TRUE(IsSignalled(mine));
    EXPECT_EQ(myStatus.Status, STATUS_CANCELLED);
    EXPECT_FALSE(IsSignalled(theirs));

    EXPECT_TRUE(CompleteOldestRead());
    EXPECT_TRUE(IsSignalled(theirs));
    EXPECT_EQ(theirStatus.Status, STATUS_SUCCESS);
    NtClose(theirs);
    NtClose(mine);
}

TEST_F(IoCancelTest, CancelRaceWithCompletionEndsEachRequestExactlyOnce) {
    HANDLE event = CreateTestEvent();
    char buffer[8];
    for (int round = 0; round < 200; round++) {
        int before = g_cancel.cancelled + g_cancel.completed;
        IO_STATUS_BLOCK ioStatus = {};
        ASSERT_EQ(NtReadFile(file_, event, &ioStatus, buffer, sizeof buffer), STATUS_PENDING);
        std::thread completer([] { CompleteOldestRead(); });
        IO_STATUS_BLOCK cancelStatus;
        NtCancelIoFile(file_, &cancelStatus);
        completer.join();
        ASSERT_TRUE(IsSignalled(event)) << "round " << round;
        ASSERT_EQ(g_cancel.cancelled + g_cancel.completed, before + 1) << "round " << round;
        ASSERT_TRUE(ioStatus.Status == STATUS_SUCCESS || ioStatus.Status == STATUS_CANCELLED);
    }
    EXPECT_EQ(g_cancel.queued, 200);
    NtClose(event);
}

}  // namespace
