#include "port_driver_double.h"

#include <loader.h>
#include <pnp.h>

#include <gtest/gtest.h>

#include <mutex>

namespace {

struct DoubleExtension {
    PDEVICE_OBJECT lower;
    UCHAR port;
};

std::mutex g_eventsLock;
std::vector<std::string> g_events;

void Record(const std::string &event)
{
    std::lock_guard<std::mutex> guard(g_eventsLock);
    g_events.push_back(event);
}

DoubleExtension *Extension(PDEVICE_OBJECT device)
{
    return static_cast<DoubleExtension *>(device->DeviceExtension);
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(DoubleExtension *ext, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    DoubleExtension *ext = Extension(device);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    std::string port = std::to_string(ext->port);
    if (minor == IRP_MN_START_DEVICE) {
        NTSTATUS status = ForwardAndWait(ext, irp);
        Record("start " + port + (status == STATUS_SUCCESS ? " SUCCESS" : " FAILED"));
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    if (minor == IRP_MN_REMOVE_DEVICE) {
        Record("remove " + port);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(ext->lower, irp);
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
        return status;
    }
    if (minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_QUERY_REMOVE_DEVICE) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Extension(device)->lower, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    // The one byte of the child's extension a port driver may rely on.
    UCHAR port = static_cast<PUCHAR>(pdo->DeviceExtension)[36];
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DoubleExtension), nullptr,
                                     FILE_DEVICE_SERIAL_PORT, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    DoubleExtension *ext = Extension(fdo);
    ext->port = port;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    Record("add " + std::to_string(port));
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT)
{
    Record("unload");
}

NTSTATUS NTAPI DoubleEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    return STATUS_SUCCESS;
}

}  // namespace

std::vector<std::string> PortDoubleEvents()
{
    std::lock_guard<std::mutex> guard(g_eventsLock);
    return g_events;
}

void PortDoubleClearEvents()
{
    std::lock_guard<std::mutex> guard(g_eventsLock);
    g_events.clear();
}

void PortDoubleInstall()
{
    LoaderRegisterBuiltinDriver(kPortDoubleService, DoubleEntry);
    ASSERT_EQ(PnpSetHardwareIdService(u"KELB\\KELU", kPortDoubleService), STATUS_SUCCESS);
}
