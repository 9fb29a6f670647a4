// What the port driver does with answers that the bus never gives: a START that the
// lower driver completes after returning, and a sleep request before the capabilities
// arrived. The port's stack is built by hand on a lower device that holds START until
// the test lets it go.
#include "rig.h"

#include <io_manager.h>

#include <atomic>
#include <thread>

namespace {

// The hand-built lower device: holds START, records the device power state it is asked
// for, and completes everything else at once.
std::atomic<PIRP> g_heldStart{nullptr};
std::atomic<int> g_requestedDeviceState{-1};

NTSTATUS NTAPI LowerPnp(PDEVICE_OBJECT, PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_START_DEVICE) {
        IoMarkIrpPending(Irp);
        g_heldStart = Irp;
        return STATUS_PENDING;
    }
    NTSTATUS status = Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI LowerPower(PDEVICE_OBJECT, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        g_requestedDeviceState = stack->Parameters.Power.State.DeviceState;
    }
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

class LowerDriverTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        g_heldStart = nullptr;
        g_requestedDeviceState = -1;
        lowerDriver_ = LoaderCreatePlatformDriver(u"HeldStart");
        lowerDriver_->MajorFunction[IRP_MJ_PNP] = LowerPnp;
        lowerDriver_->MajorFunction[IRP_MJ_POWER] = LowerPower;
        ASSERT_EQ(IoCreateDeviceForPlatform(lowerDriver_, 64, 0, &lower_), STATUS_SUCCESS);
        ((PUCHAR)lower_->DeviceExtension)[0x24] = kPort;
        ASSERT_EQ(LoaderLoadDriver(u"kelu", &kelu_), STATUS_SUCCESS);
        ASSERT_EQ(kelu_->DriverExtension->AddDevice(kelu_, lower_), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        EXPECT_EQ(SendPnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        IoDeleteDevice(lower_);
        LoaderDestroyPlatformDriver(lowerDriver_);
        DriverTest::TearDown();
    }

    NTSTATUS SendPnp(UCHAR minor)
    {
        return IoSendSynchronousRequest(lower_, [&](PIRP irp, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = IRP_MJ_PNP;
            stack->MinorFunction = minor;
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        });
    }

    // Sends START and lets the lower device complete it with `status` only after its
    // dispatch routine has returned STATUS_PENDING.
    NTSTATUS StartCompletedLate(NTSTATUS status)
    {
        NTSTATUS result = STATUS_NOT_SUPPORTED;
        std::thread starter([&] { result = SendPnp(IRP_MN_START_DEVICE); });
        EXPECT_TRUE(Eventually([] { return g_heldStart.load() != nullptr; }));
        PIRP irp = g_heldStart.exchange(nullptr);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        starter.join();
        return result;
    }

    static constexpr UCHAR kPort = 9;
    PDRIVER_OBJECT lowerDriver_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    PDRIVER_OBJECT kelu_ = nullptr;
};

}  // namespace

TEST_F(LowerDriverTest, StartCompletedLateYieldsTheLowerDriversFinalStatus)
{
    EXPECT_EQ(SetLines(kPort, 0, SERIAL_DTR_STATE), STATUS_INVALID_PARAMETER);  // added, not started

    EXPECT_EQ(StartCompletedLate(STATUS_DEVICE_NOT_READY), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(SetLines(kPort, 0, SERIAL_DTR_STATE), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(StartCompletedLate(STATUS_SUCCESS), STATUS_SUCCESS);
    EXPECT_EQ(SetLines(kPort, 0, SERIAL_DTR_STATE), STATUS_SUCCESS);
}

TEST_F(LowerDriverTest, SleepBeforeTheCapabilitiesAsksForAnUnspecifiedDeviceState)
{
    ASSERT_EQ(StartCompletedLate(STATUS_SUCCESS), STATUS_SUCCESS);
    ASSERT_EQ(IoSendSynchronousRequest(lower_,
                                       [](PIRP, PIO_STACK_LOCATION stack) {
                                           stack->MajorFunction = IRP_MJ_POWER;
                                           stack->MinorFunction = IRP_MN_SET_POWER;
                                           stack->Parameters.Power.Type = SystemPowerState;
                                           stack->Parameters.Power.State.SystemState = PowerSystemSleeping1;
                                           stack->Parameters.Power.ShutdownType = PowerActionSleep;
                                       }),
              STATUS_SUCCESS);
    ASSERT_TRUE(Eventually([] { return g_requestedDeviceState.load() != -1; }));
    EXPECT_EQ(g_requestedDeviceState.load(), PowerDeviceUnspecified);
}
