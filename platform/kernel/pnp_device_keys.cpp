// A device's hardware key as its driver reaches it: IoOpenDeviceRegistryKey opens (and
// on first use creates) Enum\<instance>\Device Parameters for the device whose PDO the
// driver names. The key lives in the persistent part of the registry, so what a driver
// writes there outlives the device and a restart of the machine, as on Windows. The
// driver key (PLUGPLAY_REGKEY_DRIVER) is not served: no driver here keeps data in it.
#include "ke.h"
#include "pnp_internal.h"
#include "registry.h"

extern "C" NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                                   ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
    KeCheckIrql(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey", __builtin_return_address(0));
    if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE || DevInstRegKey == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::u16string instancePath;
    if (DeviceObject == nullptr || !PnpInstancePathOfPdo(DeviceObject, &instancePath))
        return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string key = PnpHardwareKeyPath(instancePath);
    NTSTATUS status = RegistryCreateKey(key);
    if (!NT_SUCCESS(status)) return status;
    return RegistryOpenKeyHandle(key, DesiredAccess, DevInstRegKey);
}
