// The root bus: the PnP manager's own driver for the PDOs of root-enumerated devices.
// It answers what a bus driver answers for its children: identifiers from the
// registry record, default capabilities, and success for state changes.
#include "io_manager.h"
#include "loader.h"
#include "pnp_internal.h"

#include <cstring>

namespace {

const ULONG kPnpPoolTag = 0x4D706E50;  // "PnpM"

PWCHAR AllocateString(const std::u16string &text) {
    return PnpAllocateMultiString({text});
}

NTSTATUS AnswerQueryId(DeviceNode *node, PIO_STACK_LOCATION stack, ULONG_PTR *information) {
    // instancePath is "ROOT\<name>\<instance>".
    size_t last = node->instancePath.rfind(u'\\');
    PWCHAR answer = nullptr;
    switch (stack->Parameters.QueryId.IdType) {
    case BusQueryHardwareIDs:
        answer = PnpAllocateMultiString(node->hardwareIds);
        break;
    case BusQueryDeviceID:
        answer = AllocateString(node->instancePath.substr(0, last));
        break;
    case BusQueryInstanceID:
        answer = AllocateString(node->instancePath.substr(last + 1));
        break;
    default:
        return STATUS_NOT_SUPPORTED;
    }
    if (!answer)
        return STATUS_INSUFFICIENT_RESOURCES;
    *information = reinterpret_cast<ULONG_PTR>(answer);
    return STATUS_SUCCESS;
}

NTSTATUS AnswerCapabilities(PIO_STACK_LOCATION stack) {
    PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
    capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; state++)
        capabilities->DeviceState[state] = PowerDeviceD3;
    capabilities->SilentInstall = 1;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RootPdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    DeviceNode *node = device->DeviceObjectExtension->deviceNode;
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:  // the PnP manager deletes the PDO itself afterwards
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_ID:
        if (node)
            status = AnswerQueryId(node, stack, &irp->IoStatus.Information);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = AnswerCapabilities(stack);
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto *relations = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePoolWithTag(NonPagedPool, sizeof(DEVICE_RELATIONS), kPnpPoolTag));
            if (!relations) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            relations->Count = 1;
            relations->Objects[0] = device;
            ObfReferenceObject(device);
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            status = STATUS_SUCCESS;
        }
        break;
    default:
        break;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI RootPdoPower(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
        irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

PWCHAR PnpAllocateMultiString(const std::vector<std::u16string> &strings) {
    size_t units = 1;
    for (const auto &text : strings)
        units += text.size() + 1;
    auto *buffer = static_cast<char16_t *>(
        ExAllocatePoolWithTag(NonPagedPool, units * sizeof(char16_t), kPnpPoolTag));
    if (!buffer)
        return nullptr;
    char16_t *next = buffer;
    for (const auto &text : strings) {
        memcpy(next, text.c_str(), (text.size() + 1) * sizeof(char16_t));
        next += text.size() + 1;
    }
    *next = 0;
    return reinterpret_cast<PWCHAR>(buffer);
}

PDRIVER_OBJECT PnpCreateRootBusDriver() {
    PDRIVER_OBJECT driver = LoaderCreatePlatformDriver(u"PnpManager");
    driver->MajorFunction[IRP_MJ_PNP] = RootPdoPnp;
    driver->MajorFunction[IRP_MJ_POWER] = RootPdoPower;
    return driver;
}
