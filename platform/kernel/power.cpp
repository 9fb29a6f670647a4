// The power manager: power requests down device stacks, device power requests on a
// driver's behalf, and the states drivers report.
#include "io_manager.h"
#include "ke.h"
#include "pnp_internal.h"
#include "verifier.h"

namespace {

struct PowerRequest {
    PDEVICE_OBJECT target;  // referenced top of the stack
    PDEVICE_OBJECT device;  // as the requester named it
    UCHAR minorFunction;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
};

void FinishPowerRequest(PIRP irp, void *context) {
    auto *request = static_cast<PowerRequest *>(context);
    IO_STATUS_BLOCK ioStatus = irp->IoStatus;
    if (request->completion)
        request->completion(request->device, request->minorFunction, request->state,
                            request->context, &ioStatus);
    IoReleaseIrp(irp);
    ObfDereferenceObject(request->target);
    delete request;
}

}  // namespace

extern "C" {

// Power requests are serialized per device on Windows; drivers here must still
// call PoStartNextPowerIrp, and power requests go through this door only.
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        VerifierStop("POCALLDRIVER_NOT_POWER", __builtin_return_address(0),
                     "PoCallDriver(%p, %p) with a request that is not IRP_MJ_POWER",
                     (void *)DeviceObject, (void *)Irp);
    return IofCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
    std::lock_guard<std::mutex> guard(IoLock());
    _DEVOBJ_EXTENSION *ext = DeviceObject->DeviceObjectExtension;
    POWER_STATE previous;
    if (Type == DevicePowerState) {
        previous.DeviceState = ext->devicePowerState;
        ext->devicePowerState = State.DeviceState;
    } else {
        previous.SystemState = ext->systemPowerState;
        ext->systemPowerState = State.SystemState;
    }
    return previous;
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context,
                                 PIRP *Irp) {
    KeCheckIrql(DISPATCH_LEVEL, "PoRequestPowerIrp", __builtin_return_address(0));
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT target = IoGetAttachedDeviceReference(DeviceObject);
    auto *request = new PowerRequest{target, DeviceObject, MinorFunction, PowerState,
                                     CompletionFunction, Context};
    PIRP irp = IoAllocateIrpFor(target->StackSize, FinishPowerRequest, request);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State = PowerState;
    }
    if (Irp)
        *Irp = irp;
    // Power dispatch routines of pageable devices run at PASSIVE_LEVEL.
    if (KeGetCurrentIrql() == PASSIVE_LEVEL)
        PoCallDriver(target, irp);
    else
        IoPostToWorker([target, irp] { PoCallDriver(target, irp); });
    return STATUS_PENDING;
}

}  // extern "C"

NTSTATUS PoSendSystemPowerRequest(PDEVICE_OBJECT pdo, UCHAR minorFunction,
                                  SYSTEM_POWER_STATE state, POWER_ACTION action) {
    if (minorFunction != IRP_MN_SET_POWER && minorFunction != IRP_MN_QUERY_POWER)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    PnpRunOnWorker([&] {
        status = IoSendSynchronousRequest(pdo, [&](PIRP irp, PIO_STACK_LOCATION stack) {
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
            stack->MajorFunction = IRP_MJ_POWER;
            stack->MinorFunction = minorFunction;
            stack->Parameters.Power.Type = SystemPowerState;
            stack->Parameters.Power.State.SystemState = state;
            stack->Parameters.Power.ShutdownType = action;
        });
    });
    return status;
}

DEVICE_POWER_STATE PoGetDevicePowerState(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(IoLock());
    return device->DeviceObjectExtension->devicePowerState;
}
