// Serial requests on a port device. For now only the timeouts are served; every other
// code is accepted and does nothing.
#include "kelu.h"

NTSTATUS KeluPortDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PKELU_DEVICE_EXTENSION pDevExt = (PKELU_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status = KeluAcquireRequestReference(pDevExt);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
        return status;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    ULONG ulCode = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    if (ulCode == IOCTL_SERIAL_SET_TIMEOUTS || ulCode == IOCTL_SERIAL_GET_TIMEOUTS) {
        status = KeluTimeoutsRequest(pDevExt, Irp);
        Irp->IoStatus.Status = status;
    }
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    KeluReleaseRequestReference(pDevExt);
    return status;
}
