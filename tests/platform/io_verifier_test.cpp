// The verifier stops drivers that mishandle requests.
#include "io_manager.h"
#include "io_test_support.h"
#include "loader.h"
#include "machine_test.h"

namespace {

enum class Misdeed {
    None,
    CompleteTwice,
    PendWithoutMark,
    CompleteWithCancelRoutine,
    ReturnWithoutCompleting,
    ReturnInsideCriticalRegion
};

struct MisbehavingDriver {
    PDEVICE_OBJECT device;
    Misdeed misdeed;
} g_bad;

VOID NTAPI NeverCalled(PDEVICE_OBJECT, PIRP) {}

NTSTATUS NTAPI MisbehavingDispatch(PDEVICE_OBJECT, PIRP irp) {
    bool isRead = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ;
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (!isRead) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    switch (g_bad.misdeed) {
    case Misdeed::CompleteTwice:
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case Misdeed::PendWithoutMark:
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    case Misdeed::CompleteWithCancelRoutine:
        IoSetCancelRoutine(irp, NeverCalled);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case Misdeed::ReturnWithoutCompleting:
        return STATUS_SUCCESS;
    case Misdeed::ReturnInsideCriticalRegion:
        KeEnterCriticalRegion();
        break;
    case Misdeed::None:
        break;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

VOID NTAPI MisbehavingUnload(PDRIVER_OBJECT) {
    IoDeleteDevice(g_bad.device);
}

NTSTATUS NTAPI MisbehavingDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\Misbehaving");
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ})
        driver->MajorFunction[major] = MisbehavingDispatch;
    driver->DriverUnload = MisbehavingUnload;
    return IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_bad.device);
}

class IoVerifierDeathTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        g_bad = {};
        LoaderRegisterBuiltinDriver(u"BADDRIVER", MisbehavingDriverEntry);
        PDRIVER_OBJECT driver;
        ASSERT_EQ(LoaderLoadDriver(u"BADDRIVER", &driver), STATUS_SUCCESS);
    }

    // The read's final status, when the verifier lets it end.
    static NTSTATUS ReadWith(Misdeed misdeed) {
        g_bad.misdeed = misdeed;
        HANDLE file = nullptr;
        OpenDevice(u"\\Device\\Misbehaving", true, &file);
        char buffer[4];
        IO_STATUS_BLOCK ioStatus = {{STATUS_PENDING}, 0};
        NTSTATUS status = NtReadFile(file, nullptr, &ioStatus, buffer, sizeof buffer);
        NtClose(file);
        return status == ioStatus.Status ? status : STATUS_UNSUCCESSFUL;
    }
};

// The control for the stops below: the same read, done right, ends normally.
TEST_F(IoVerifierDeathTest, WellBehavedReadPasses) {
    EXPECT_EQ(ReadWith(Misdeed::None), STATUS_SUCCESS);
}

TEST_F(IoVerifierDeathTest, RequestCompletedTwice) {
    EXPECT_DEATH(ReadWith(Misdeed::CompleteTwice), "IRP_COMPLETED_TWICE");
}

TEST_F(IoVerifierDeathTest, PendingReturnedWithoutMark) {
    EXPECT_DEATH(ReadWith(Misdeed::PendWithoutMark), "PENDING_RETURNED_WITHOUT_MARK");
}

TEST_F(IoVerifierDeathTest, CompletedWithCancelRoutineSet) {
    EXPECT_DEATH(ReadWith(Misdeed::CompleteWithCancelRoutine), "IRP_COMPLETED_WITH_CANCEL_ROUTINE");
}

TEST_F(IoVerifierDeathTest, SuccessReturnedForARequestNeverCompleted) {
    EXPECT_DEATH(ReadWith(Misdeed::ReturnWithoutCompleting), "STATUS_RETURNED_WITHOUT_COMPLETION");
}

TEST_F(IoVerifierDeathTest, DispatchRoutineReturningInsideACriticalRegion) {
    EXPECT_DEATH(ReadWith(Misdeed::ReturnInsideCriticalRegion), "CRITICAL_REGION_LEAKED");
}

TEST_F(IoVerifierDeathTest, CompletionAboveDispatchLevel) {
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            KIRQL old;
            KeRaiseIrql(HIGH_LEVEL, &old);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "IofCompleteRequest");
}

}  // namespace
