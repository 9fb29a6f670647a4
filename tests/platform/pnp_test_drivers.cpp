#include "pnp_test_drivers.h"

#include <cstdio>
#include <cstring>

TestBusState g_testBus;
TestFunctionState g_testFunction;

namespace {

const ULONG kTag = 0x74736554;  // "Test"

// Every device extension starts with this, so one dispatch routine tells them apart.
enum class Kind : ULONG { BusFdo = 1, Child, FunctionFdo };
struct Extension {
    Kind kind;
    int number;                  // a child's
    PDEVICE_OBJECT lower;        // a function device's
    PDEVICE_OBJECT pdo;
};

Extension *ExtensionOf(PDEVICE_OBJECT device) {
    return static_cast<Extension *>(device->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &event, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

PWCHAR AllocateIds(const char16_t *text) {
    size_t units = std::char_traits<char16_t>::length(text) + 2;
    auto *buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(NonPagedPool, units * 2, kTag));
    memset(buffer, 0, units * 2);
    memcpy(buffer, text, (units - 2) * 2);
    return buffer;
}

// ---------------------------------------------------------------------------
// The bus.

NTSTATUS ReportChildren(PIRP irp) {
    ULONG count = 0;
    for (bool present : g_testBus.present)
        count += present;
    auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(DEVICE_RELATIONS) + 4 * sizeof(PDEVICE_OBJECT), kTag));
    relations->Count = 0;
    for (int i = 0; i < 4; i++) {
        if (!g_testBus.present[i])
            continue;
        ObReferenceObject(g_testBus.children[i]);
        relations->Objects[relations->Count++] = g_testBus.children[i];
    }
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(g_testBus.lower, irp);
}

NTSTATUS BusFdoPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(g_testBus.lower, irp);
        if (NT_SUCCESS(status))
            IoSetDeviceInterfaceState(&g_testBus.interfaceName, TRUE);
        return Complete(irp, status);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations)
            return ReportChildren(irp);
        break;
    case IRP_MN_REMOVE_DEVICE: {
        IoSetDeviceInterfaceState(&g_testBus.interfaceName, FALSE);
        RtlFreeUnicodeString(&g_testBus.interfaceName);
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(g_testBus.lower, irp);
        for (int i = 0; i < 4; i++) {
            if (g_testBus.children[i]) {
                IoDeleteDevice(g_testBus.children[i]);
                g_testBus.children[i] = nullptr;
                g_testBus.present[i] = false;
            }
        }
        IoDetachDevice(g_testBus.lower);
        IoDeleteDevice(fdo);
        g_testBus.fdo = nullptr;
        return status;
    }
    }
    return PassDown(g_testBus.lower, irp);
}

NTSTATUS ChildPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    int number = ExtensionOf(pdo)->number;
    char event[48];
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
        switch (stack->Parameters.QueryId.IdType) {
        case BusQueryHardwareIDs:
        case BusQueryDeviceID:
            return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)AllocateIds(u"TESTBUS\\CHILD"));
        case BusQueryInstanceID: {
            char16_t text[2] = {(char16_t)(u'0' + number), 0};
            return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)AllocateIds(text));
        }
        default:
            return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
        }
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; s++)
            caps->DeviceState[s] = PowerDeviceD3;
        caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
        snprintf(event, sizeof event, "surprise removal %d", number);
        g_testBus.childEvents.push_back(event);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        snprintf(event, sizeof event, "remove %d", number);
        g_testBus.childEvents.push_back(event);
        if (!g_testBus.present[number]) {  // reported gone: the PDO goes too
            g_testBus.children[number] = nullptr;
            IoDeleteDevice(pdo);
        }
        return Complete(irp, STATUS_SUCCESS);
    }
    return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT device, PIRP irp) {
    return ExtensionOf(device)->kind == Kind::BusFdo ? BusFdoPnp(device, irp) : ChildPnp(device, irp);
}

NTSTATUS NTAPI BusPower(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    if (ExtensionOf(device)->kind == Kind::BusFdo) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(g_testBus.lower, irp);
    }
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        char event[48];
        snprintf(event, sizeof event, "device power %d D%d", ExtensionOf(device)->number,
                 (int)stack->Parameters.Power.State.DeviceState - 1);
        g_testBus.childEvents.push_back(event);
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI BusCreateClose(PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE)
        g_testBus.opens++;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI BusAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                     0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    ExtensionOf(fdo)->kind = Kind::BusFdo;
    g_testBus.fdo = fdo;
    g_testBus.pdo = pdo;
    g_testBus.lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    status = IoRegisterDeviceInterface(pdo, &GUID_TEST_BUS_INTERFACE, nullptr,
                                       &g_testBus.interfaceName);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

VOID NTAPI BusUnload(PDRIVER_OBJECT) {}

// ---------------------------------------------------------------------------
// The function driver.

NTSTATUS NTAPI FunctionPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    Extension *ext = ExtensionOf(fdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(ext->lower, irp);
        g_testFunction.starts += NT_SUCCESS(status);
        return Complete(irp, status);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        NTSTATUS status = ForwardAndWait(ext->lower, irp);
        if (NT_SUCCESS(status))
            memcpy(g_testFunction.sleepState,
                   stack->Parameters.DeviceCapabilities.Capabilities->DeviceState,
                   sizeof g_testFunction.sleepState);
        return Complete(irp, status);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
        if (g_testFunction.refuseQueryStop)
            return Complete(irp, STATUS_UNSUCCESSFUL);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        g_testFunction.surpriseRemovals++;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        g_testFunction.removals++;
        NTSTATUS status = PassDown(ext->lower, irp);
        IoDetachDevice(ext->lower);
        IoDeleteDevice(fdo);
        g_testFunction.devices--;
        return status;
    }
    }
    return PassDown(ext->lower, irp);
}

VOID NTAPI DevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK ioStatus) {
    g_testFunction.powerCallbacks++;
    g_testFunction.powerCallbackStatus = ioStatus->Status;
}

NTSTATUS NTAPI FunctionPower(PDEVICE_OBJECT fdo, PIRP irp) {
    Extension *ext = ExtensionOf(fdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        if (stack->Parameters.Power.Type == SystemPowerState) {
            POWER_STATE state;
            state.DeviceState = g_testFunction.sleepState[stack->Parameters.Power.State.SystemState];
            PoRequestPowerIrp(ext->pdo, IRP_MN_SET_POWER, state, DevicePowerDone, nullptr, nullptr);
        } else {
            PoSetPowerState(fdo, DevicePowerState, stack->Parameters.Power.State);
        }
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    Extension *ext = ExtensionOf(fdo);
    ext->kind = Kind::FunctionFdo;
    ext->pdo = pdo;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    g_testFunction.addDevices++;
    g_testFunction.devices++;
    return STATUS_SUCCESS;
}

VOID NTAPI FunctionUnload(PDRIVER_OBJECT) {
    g_testFunction.unloads++;
}

}  // namespace

NTSTATUS NTAPI TestBusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    g_testBus.driverEntries++;
    driver->DriverExtension->AddDevice = BusAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusPower;
    driver->MajorFunction[IRP_MJ_CREATE] = BusCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = BusCreateClose;
    driver->DriverUnload = BusUnload;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestFunctionDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    g_testFunction.driverEntries++;
    driver->DriverExtension->AddDevice = FunctionAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = FunctionPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FunctionPower;
    driver->DriverUnload = FunctionUnload;
    return STATUS_SUCCESS;
}

void TestBusPlug(int number) {
    PDEVICE_OBJECT pdo;
    IoCreateDevice(g_testBus.fdo->DriverObject, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    ExtensionOf(pdo)->kind = Kind::Child;
    ExtensionOf(pdo)->number = number;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    g_testBus.children[number] = pdo;
    g_testBus.present[number] = true;
    IoInvalidateDeviceRelations(g_testBus.pdo, BusRelations);
}

void TestBusUnplug(int number) {
    g_testBus.present[number] = false;
    IoInvalidateDeviceRelations(g_testBus.pdo, BusRelations);
}
