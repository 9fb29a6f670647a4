// The bus device's requests: plug a port in, unplug it, and report which are plugged in.
//
// Choices (what a port manager expects of a bus of ports):
// - a number above KELBUS_MAX_PORT_NUMBER is refused with STATUS_INVALID_PARAMETER;
// - plugging in a number that already has a child is refused with
//   STATUS_OBJECT_NAME_COLLISION: the existing port is left untouched;
// - unplugging a number without a child is refused with STATUS_NO_SUCH_DEVICE;
// - plugged-in ports are stored in the registry before the request succeeds, and
//   the bus reports them again when it next starts, so they come back with the
//   machine. A change that cannot be stored is refused and the bus stays as it was.
// All three run at PASSIVE_LEVEL in the caller's thread and complete the request.
#include "kelbus_driver.h"

static_assert(offsetof(KELBUS_PLUGIN_REQUEST, HardwareIds) == KELBUS_PLUGIN_REQUEST_HEADER_SIZE,
              "plug-in record header");
static_assert(sizeof(KELBUS_UNPLUG_REQUEST) == 16, "unplug record");

// Whether Ids, Size bytes long, holds a list of zero-terminated strings that ends with
// an empty string inside the buffer and names Wanted among them.
static BOOLEAN KelbusIdListNames(const WCHAR *Ids, SIZE_T Size, const WCHAR *Wanted)
{
    SIZE_T count = Size / sizeof(WCHAR);
    SIZE_T start = 0;
    BOOLEAN found = FALSE;
    for (SIZE_T i = 0; i < count; i++) {
        if (Ids[i] != 0) {
            continue;
        }
        if (i == start) {
            return found;  // the empty string: end of the list
        }
        SIZE_T k = 0;
        while (start + k < i && Wanted[k] != 0 && Ids[start + k] == Wanted[k]) {
            k++;
        }
        if (start + k == i && Wanted[k] == 0) {
            found = TRUE;
        }
        start = i + 1;
    }
    return FALSE;  // the list runs past the buffer
}

// Asks Plug and Play for the bus relations again. Called with the children lock held:
// removal of the bus waits for that lock, so the bus and its root device still exist.
// The request only queues the enumeration, which takes the lock later on its own thread.
static VOID KelbusReportChange(PKELBUS_BUS_EXTENSION Bus)
{
    IoInvalidateDeviceRelations(Bus->pUnderlyingPdo, BusRelations);
}

static NTSTATUS KelbusPlugIn(PKELBUS_BUS_EXTENSION Bus, PVOID Buffer, ULONG InputLength)
{
    PKELBUS_PLUGIN_REQUEST request = (PKELBUS_PLUGIN_REQUEST)Buffer;
    if (InputLength < KELBUS_PLUGIN_REQUEST_HEADER_SIZE ||
        request->ulSize != KELBUS_PLUGIN_REQUEST_HEADER_SIZE ||
        request->ulSerialNo > KELBUS_MAX_PORT_NUMBER ||
        !KelbusIdListNames(request->HardwareIds, InputLength - KELBUS_PLUGIN_REQUEST_HEADER_SIZE,
                           KELBUS_CHILD_HARDWARE_ID)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG n = request->ulSerialNo;

    KelbusLockChildren(Bus);
    NTSTATUS status = STATUS_SUCCESS;
    PDEVICE_OBJECT child = NULL;
    if (Bus->PnpState != KelbusStarted) {
        status = STATUS_DEVICE_NOT_READY;
    } else if (Bus->Children[n] != NULL) {
        status = STATUS_OBJECT_NAME_COLLISION;
    } else {
        status = KelbusCreateChild(Bus, n, &child);
    }
    if (NT_SUCCESS(status)) {
        UCHAR map[KELBUS_PORT_COUNT];
        KelbusBuildPluggedMap(Bus, map);
        map[n] = 1;
        status = KelbusSavePluggedMap(map);
        if (NT_SUCCESS(status)) {
            Bus->Children[n] = child;
            DbgPrint("kelbus.sys: port %u plugged in.\n", n);
            KelbusReportChange(Bus);
        } else {
            // Never reported, so no one else knows this device yet.
            IoDeleteDevice(child);
        }
    }
    KelbusUnlockChildren(Bus);
    return status;
}

// The child leaves the table at once; Plug and Play then finds it missing from the
// bus relations, removes the port device above it, and the child deletes itself.
// A child that Plug and Play has not been told about yet is deleted here instead.
static NTSTATUS KelbusUnplug(PKELBUS_BUS_EXTENSION Bus, PVOID Buffer, ULONG InputLength)
{
    PKELBUS_UNPLUG_REQUEST request = (PKELBUS_UNPLUG_REQUEST)Buffer;
    if (InputLength < sizeof(KELBUS_UNPLUG_REQUEST) ||
        request->ulSize != sizeof(KELBUS_UNPLUG_REQUEST) ||
        request->ulSerialNo > KELBUS_MAX_PORT_NUMBER) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG n = request->ulSerialNo;

    KelbusLockChildren(Bus);
    NTSTATUS status = STATUS_SUCCESS;
    if (Bus->PnpState != KelbusStarted) {
        status = STATUS_DEVICE_NOT_READY;
    } else if (Bus->Children[n] == NULL) {
        status = STATUS_NO_SUCH_DEVICE;
    } else {
        UCHAR map[KELBUS_PORT_COUNT];
        KelbusBuildPluggedMap(Bus, map);
        map[n] = 0;
        status = KelbusSavePluggedMap(map);
        if (NT_SUCCESS(status)) {
            PDEVICE_OBJECT child = Bus->Children[n];
            Bus->Children[n] = NULL;
            if (!((PKELBUS_CHILD_EXTENSION)child->DeviceExtension)->bReported) {
                IoDeleteDevice(child);
            }
            DbgPrint("kelbus.sys: port %u unplugged.\n", n);
            KelbusReportChange(Bus);
        }
    }
    KelbusUnlockChildren(Bus);
    return status;
}

static NTSTATUS KelbusGetPluggedMap(PKELBUS_BUS_EXTENSION Bus, PVOID Buffer, ULONG OutputLength,
                                    PULONG_PTR Information)
{
    if (OutputLength < KELBUS_PLUGGED_MAP_SIZE) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KelbusLockChildren(Bus);
    KelbusBuildPluggedMap(Bus, (PUCHAR)Buffer);
    KelbusUnlockChildren(Bus);
    *Information = KELBUS_PLUGGED_MAP_SIZE;
    return STATUS_SUCCESS;
}

NTSTATUS KelbusBusDeviceControl(PKELBUS_BUS_EXTENSION Bus, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status;

    Irp->IoStatus.Information = 0;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KELBUS_PLUGIN_PORT:
        status = KelbusPlugIn(Bus, buffer, inputLength);
        break;
    case IOCTL_KELBUS_UNPLUG_PORT:
        status = KelbusUnplug(Bus, buffer, inputLength);
        break;
    case IOCTL_KELBUS_GET_PLUGGED_MAP:
        status = KelbusGetPluggedMap(Bus, buffer, outputLength, &Irp->IoStatus.Information);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
