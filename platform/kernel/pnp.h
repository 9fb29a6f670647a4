// The Plug and Play and power managers as platform code, installers and tests see
// them: the registry data that decides which driver serves which device, root
// devices, the device tree, device interfaces, and entry points that send the
// requests Windows sends on user actions (stop, remove, sleep).
//
// Registry layout (under \Registry\Machine\System\CurrentControlSet):
//   Services\<service>            ImagePath, Type, Start (see loader.h)
//   Control\HardwareIdServices    one REG_SZ value per hardware id: name = the id
//                                 ("BUS\DEVICE"), data = the service that drives it
//   Enum\Root\<name>\<NNNN>       a root-enumerated device: HardwareID (REG_MULTI_SZ),
//                                 Service (REG_SZ); started when the machine boots
//   Enum\<device id>\<instance>   written for each bus-enumerated device the PnP manager
//                                 finds: HardwareID, and Service once a driver matched
//   Enum\<instance path>\Device Parameters
//                                 the device's hardware key, kept by its driver
//                                 (IoOpenDeviceRegistryKey); survives the device
#pragma once

#include <wdm.h>

#include <string>
#include <string_view>
#include <vector>

// Hardware id to service.
NTSTATUS PnpSetHardwareIdService(std::u16string_view hardwareId, std::u16string_view service);
NTSTATUS PnpClearHardwareIdService(std::u16string_view hardwareId);

// Records a root device and, on a running machine, starts it before returning
// (its children are enumerated afterwards, asynchronously). Returns the instance path
// "ROOT\<name>\<NNNN>".
NTSTATUS PnpCreateRootDevice(std::u16string_view name, std::u16string_view hardwareId,
                             std::u16string_view service, std::u16string *instancePath);
// Removes a root device (children first) and forgets it.
NTSTATUS PnpRemoveRootDevice(std::u16string_view instancePath);

// The hardware key of the device with this instance path ("Device Parameters").
std::u16string PnpHardwareKeyPath(std::u16string_view instancePath);

// Returns when the PnP manager has no work left: enumerations, starts and removals
// that drivers triggered have run, and files released after asynchronous
// completions have been closed.
void PnpWaitIdle();

struct PnpDeviceInfo {
    PDEVICE_OBJECT pdo;
    std::u16string instancePath;
    std::vector<std::u16string> hardwareIds;
    std::u16string service;  // empty when no driver matched
    bool started;
    NTSTATUS problem;        // why the device has no running driver, else STATUS_SUCCESS
    bool hasCapabilities;
    DEVICE_CAPABILITIES capabilities;  // as the stack answered QUERY_CAPABILITIES
    // The bus device that reported it; empty for a root-enumerated device, whose
    // parent is the tree's root.
    std::u16string parentInstancePath;
    std::vector<std::u16string> compatibleIds;
    // How the stack answered the compatible-ids query. Windows takes a refusal as "no
    // compatible ids"; other NT implementations insist on a list, even an empty one.
    NTSTATUS compatibleIdsStatus;
};
std::vector<PnpDeviceInfo> PnpListDevices();
// The device with this hardware id (the first found), or false.
bool PnpFindDevice(std::u16string_view hardwareId, PnpDeviceInfo *info);

// Sends one Plug and Play request to the top of the stack of the device whose PDO is
// given, from the PnP manager's thread, and returns the stack's answer. Accepts
// START, QUERY_STOP, STOP, CANCEL_STOP, QUERY_REMOVE, REMOVE, CANCEL_REMOVE and
// SURPRISE_REMOVAL; REMOVE also takes the device out of the tree (and unloads
// drivers left without devices). STATUS_NO_SUCH_DEVICE for an unknown device.
NTSTATUS PnpSendRequest(PDEVICE_OBJECT pdo, UCHAR minorFunction);

// Sends a system power request (IRP_MN_SET_POWER or IRP_MN_QUERY_POWER) for
// `state` to the device's stack from the PnP manager's thread and returns its status.
NTSTATUS PoSendSystemPowerRequest(PDEVICE_OBJECT pdo, UCHAR minorFunction,
                                  SYSTEM_POWER_STATE state, POWER_ACTION action);
// The device power state a driver last reported for `device` with PoSetPowerState.
DEVICE_POWER_STATE PoGetDevicePowerState(PDEVICE_OBJECT device);

// Device interfaces, as setup programs enumerate them.
struct DeviceInterfaceInfo {
    std::u16string symbolicLink;  // "\??\ROOT#NAME#0000#{guid}" (kernel path)
    std::u16string userPath;      // "\\?\ROOT#NAME#0000#{guid}" (what CreateFile opens)
    std::u16string instancePath;  // of the device that registered it
    bool enabled;
};
std::vector<DeviceInterfaceInfo> IoListDeviceInterfaces(const GUID &interfaceClass,
                                                        bool enabledOnly = true);
