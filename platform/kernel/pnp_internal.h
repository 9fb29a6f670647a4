// The PnP manager's device tree, shared by its parts (enumeration, the root bus,
// interfaces, power).
#pragma once

#include "pnp.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

// One device node: a PDO and the stack built on it. Owned by the PnP worker thread;
// readers from other threads take PnpTreeLock().
struct DeviceNode {
    DeviceNode *parent = nullptr;
    std::vector<DeviceNode *> children;
    PDEVICE_OBJECT pdo = nullptr;  // referenced by the node
    bool rootEnumerated = false;   // the PDO is the PnP manager's own
    std::u16string instancePath;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    NTSTATUS compatibleIdsStatus = STATUS_NOT_SUPPORTED;
    std::u16string service;
    std::vector<PDRIVER_OBJECT> drivers;  // drivers whose AddDevice joined the stack
    bool started = false;
    NTSTATUS problem = STATUS_SUCCESS;
    bool hasCapabilities = false;
    DEVICE_CAPABILITIES capabilities = {};
};

std::mutex &PnpTreeLock();

// The instance path of the device whose PDO this is; false for any other device object
// (a driver's FDO, a removed device's PDO, a child not yet identified).
bool PnpInstancePathOfPdo(PDEVICE_OBJECT device, std::u16string *instancePath);

// The root bus (pnp_root.cpp): the PnP manager's driver for root devices' PDOs.
PDRIVER_OBJECT PnpCreateRootBusDriver();
// Builds a REG_MULTI_SZ-style list in pool, as drivers answer QUERY_ID.
PWCHAR PnpAllocateMultiString(const std::vector<std::u16string> &strings);

// Device interfaces (pnp_interfaces.cpp): forgets and disables those of a removed device.
void PnpRemoveInterfacesOf(DeviceNode *node);
void PnpForgetAllInterfaces();

// The PnP worker: runs `work` there and waits (system context, one at a time).
void PnpRunOnWorker(const std::function<void()> &work);

void PnpStart();
void PnpStop();
