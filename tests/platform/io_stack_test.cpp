// Requests through a two-device stack: completion routines walked upward with
// PendingReturned, STATUS_MORE_PROCESSING_REQUIRED, buffered copy-out (also on a
// warning status), the default dispatch, and stack bookkeeping.
#include "io_manager.h"
#include "io_test_support.h"
#include "loader.h"
#include "machine_test.h"

#include <cstring>
#include <vector>

namespace {

// The driver: a named lower device with an upper device attached on top. The lower
// device pends every device-control request; the test completes it.
struct StackDriver {
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT upper;
    PDEVICE_OBJECT attachedTo;
    PIRP heldByLower;
    PIRP heldByUpper;
    bool upperHoldsBack;  // the upper completion routine returns MORE_PROCESSING_REQUIRED
    std::vector<std::string> events;
    BOOLEAN pendingSeenByUpper;
    PDEVICE_OBJECT completionDevice;
} g_stack;

NTSTATUS NTAPI UpperCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    EXPECT_EQ(context, &g_stack);
    g_stack.events.push_back("upper completion");
    g_stack.pendingSeenByUpper = irp->PendingReturned;
    g_stack.completionDevice = device;
    // The dispatch routine returned the lower driver's STATUS_PENDING: the mark moves up.
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    if (g_stack.upperHoldsBack) {
        g_stack.heldByUpper = irp;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI StackDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    if (device == g_stack.upper) {
        g_stack.events.push_back("upper dispatch");
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, UpperCompletion, &g_stack, TRUE, TRUE, TRUE);
        return IoCallDriver(g_stack.lower, irp);
    }
    g_stack.events.push_back("lower dispatch");
    IoMarkIrpPending(irp);
    __atomic_store_n(&g_stack.heldByLower, irp, __ATOMIC_RELEASE);  // tests poll for it
    return STATUS_PENDING;
}

VOID NTAPI StackUnload(PDRIVER_OBJECT) {
    IoDetachDevice(g_stack.lower);
    IoDeleteDevice(g_stack.upper);
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\StackTest");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g_stack.lower);
}

NTSTATUS NTAPI StackDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\StackTest");
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\StackTest");
    EXPECT_EQ(IoCreateDevice(driver, 8, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_stack.lower),
              STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(driver, 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_stack.upper),
              STATUS_SUCCESS);
    g_stack.attachedTo = IoAttachDeviceToDeviceStack(g_stack.upper, g_stack.lower);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_DEVICE_CONTROL})
        driver->MajorFunction[major] = StackDispatch;
    driver->DriverUnload = StackUnload;
    return STATUS_SUCCESS;
}

const ULONG kIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

class IoStackTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        g_stack = {};
        LoaderRegisterBuiltinDriver(u"STACKTEST", StackDriverEntry);
        PDRIVER_OBJECT driver = nullptr;
        ASSERT_EQ(LoaderLoadDriver(u"STACKTEST", &driver), STATUS_SUCCESS);
    }

    // Completes the request the lower device holds, as its driver would.
    void CompleteLower(NTSTATUS status, const char *data) {
        ASSERT_NE(g_stack.heldByLower, nullptr);
        PIRP irp = g_stack.heldByLower;
        g_stack.heldByLower = nullptr;
        size_t length = strlen(data);
        memcpy(irp->AssociatedIrp.SystemBuffer, data, length);
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = length;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
};

TEST_F(IoStackTest, StackSizesAndAttachment) {
    EXPECT_EQ(g_stack.attachedTo, g_stack.lower);
    EXPECT_EQ(g_stack.lower->StackSize, 1);
    EXPECT_EQ(g_stack.upper->StackSize, 2);
    EXPECT_EQ(g_stack.lower->AttachedDevice, g_stack.upper);
    EXPECT_EQ(IoGetTopOfStack(g_stack.lower), g_stack.upper);
    EXPECT_EQ(g_stack.lower->Flags & DO_DEVICE_INITIALIZING, 0u) << "cleared after DriverEntry";
}

TEST_F(IoStackTest, PendedRequestCompletesUpwardThroughTheCompletionRoutine) {
    HANDLE file = nullptr;
    ASSERT_EQ(OpenDevice(u"\\??\\StackTest", false, &file), STATUS_SUCCESS);
    HANDLE event = CreateTestEvent();
    char input[4] = "abc";
    char output[16] = {};
    IO_STATUS_BLOCK ioStatus = {};
    ioStatus.Status = -1;
    EXPECT_EQ(NtDeviceIoControlFile(file, event, &ioStatus, kIoctl, input, 3, output, sizeof output),
              STATUS_PENDING);
    EXPECT_EQ(g_stack.events, (std::vector<std::string>{"upper dispatch", "lower dispatch"}));
    EXPECT_FALSE(IsSignalled(event));
    EXPECT_EQ(ioStatus.Status, -1) << "nothing reported before completion";
    EXPECT_EQ(memcmp(g_stack.heldByLower->AssociatedIrp.SystemBuffer, "abc", 3), 0);

    CompleteLower(STATUS_SUCCESS, "hello");
    EXPECT_EQ(g_stack.events.back(), "upper completion");
    EXPECT_TRUE(g_stack.pendingSeenByUpper);
    EXPECT_EQ(g_stack.completionDevice, g_stack.upper);
    EXPECT_TRUE(IsSignalled(event));
    EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(ioStatus.Information, 5u);
    EXPECT_STREQ(output, "hello");
    EXPECT_EQ(NtClose(event), STATUS_SUCCESS);
    EXPECT_EQ(NtClose(file), STATUS_SUCCESS);
}

TEST_F(IoStackTest, MoreProcessingRequiredStopsTheWalkUntilCompletedAgain) {
    g_stack.upperHoldsBack = true;
    HANDLE file = nullptr;
    ASSERT_EQ(OpenDevice(u"\\Device\\StackTest", false, &file), STATUS_SUCCESS);
    HANDLE event = CreateTestEvent();
    char output[16] = {};
    IO_STATUS_BLOCK ioStatus = {};
    ASSERT_EQ(NtDeviceIoControlFile(file, event, &ioStatus, kIoctl, nullptr, 0, output, sizeof output),
              STATUS_PENDING);
    CompleteLower(STATUS_SUCCESS, "xy");
    ASSERT_NE(g_stack.heldByUpper, nullptr);
    EXPECT_FALSE(IsSignalled(event)) << "the walk stopped at the upper driver";

    g_stack.heldByUpper->IoStatus.Information = 1;  // the upper driver trims the answer
    IoCompleteRequest(g_stack.heldByUpper, IO_NO_INCREMENT);
    EXPECT_TRUE(IsSignalled(event));
    EXPECT_EQ(ioStatus.Information, 1u);
    EXPECT_STREQ(output, "x");
    NtClose(event);
    NtClose(file);
}

TEST_F(IoStackTest, WarningStatusStillCopiesTheOutputAndSynchronousCallerWaits) {
    HANDLE file = nullptr;
    ASSERT_EQ(OpenDevice(u"\\??\\StackTest", true, &file), STATUS_SUCCESS);
    char output[16] = {};
    IO_STATUS_BLOCK ioStatus = {};
    NTSTATUS status = STATUS_SUCCESS;
    // The synchronous caller blocks until the request completes: complete it from a
    // second thread once the lower driver holds it.
    std::thread caller([&] {
        status = NtDeviceIoControlFile(file, nullptr, &ioStatus, kIoctl, nullptr, 0, output,
                                       sizeof output);
    });
    ASSERT_TRUE(Eventually([] { return __atomic_load_n(&g_stack.heldByLower, __ATOMIC_ACQUIRE) != nullptr; }));
    CompleteLower(STATUS_BUFFER_OVERFLOW, "part");
    caller.join();
    EXPECT_EQ(status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ioStatus.Information, 4u);
    EXPECT_STREQ(output, "part");
    NtClose(file);
}

TEST_F(IoStackTest, LengthWithoutBufferIsRefusedBeforeTheDriver) {
    HANDLE file = nullptr;
    ASSERT_EQ(OpenDevice(u"\\??\\StackTest", true, &file), STATUS_SUCCESS);
    IO_STATUS_BLOCK ioStatus = {};
    EXPECT_EQ(NtDeviceIoControlFile(file, nullptr, &ioStatus, kIoctl, nullptr, 0, nullptr, 8),
              (NTSTATUS)0xC0000005L);
    EXPECT_EQ(NtDeviceIoControlFile(file, nullptr, &ioStatus, kIoctl, nullptr, 4, nullptr, 0),
              (NTSTATUS)0xC0000005L);
    EXPECT_TRUE(g_stack.events.empty());
    NtClose(file);
}

TEST_F(IoStackTest, MajorWithoutDispatchRoutineIsAnInvalidDeviceRequest) {
    HANDLE file = nullptr;
    ASSERT_EQ(OpenDevice(u"\\??\\StackTest", true, &file), STATUS_SUCCESS);
    char buffer[4];
    IO_STATUS_BLOCK ioStatus = {};
    EXPECT_EQ(NtReadFile(file, nullptr, &ioStatus, buffer, sizeof buffer),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(ioStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
    NtClose(file);
}

TEST_F(IoStackTest, DetachLeavesTheLowerDeviceOnTop) {
    IoDetachDevice(g_stack.lower);
    EXPECT_EQ(g_stack.lower->AttachedDevice, nullptr);
    EXPECT_EQ(IoGetTopOfStack(g_stack.lower), g_stack.lower);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(g_stack.upper, g_stack.lower), g_stack.lower);
}

}  // namespace
