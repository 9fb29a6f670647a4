// The Plug and Play manager: the device tree, enumeration of buses, building and
// starting stacks for new devices, and removing vanished ones. All of it runs on one
// worker thread in the system process, as Windows runs it in its PnP worker, so a
// driver's IoInvalidateDeviceRelations returns at once and its effects follow.
#include "pnp_internal.h"

#include "io_manager.h"
#include "ke.h"
#include "loader.h"
#include "machine.h"
#include "registry.h"
#include "ustring.h"
#include "verifier.h"

#include <algorithm>
#include <map>

namespace {

const char16_t kControlKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
const char16_t kEnumKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";

std::u16string HardwareIdKey() {
    return std::u16string(kControlKey) + u"\\HardwareIdServices";
}

struct PnpState {
    IoWorkQueue worker{"pnp"};
    DeviceNode root;  // the tree's root; not a device
    PDRIVER_OBJECT rootBus = nullptr;
    std::map<PDEVICE_OBJECT, DeviceNode *> nodesByPdo;
    ULONG unnamedInstances = 0;
};

PnpState *g_pnp;

DeviceNode *FindNode(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(PnpTreeLock());
    auto found = g_pnp->nodesByPdo.find(pdo);
    return found == g_pnp->nodesByPdo.end() ? nullptr : found->second;
}

std::vector<std::u16string> SplitMultiString(const char16_t *text) {
    std::vector<std::u16string> strings;
    while (text && *text) {
        std::u16string one(text);
        text += one.size() + 1;
        strings.push_back(std::move(one));
    }
    return strings;
}

std::vector<std::u16string> SplitMultiString(const RegistryValue &value) {
    std::u16string text(reinterpret_cast<const char16_t *>(value.data.data()),
                        value.data.size() / 2);
    text.push_back(0);
    text.push_back(0);
    return SplitMultiString(text.c_str());
}

NTSTATUS SendPnp(DeviceNode *node, UCHAR minor,
                 const std::function<void(PIO_STACK_LOCATION)> &parameters = nullptr,
                 ULONG_PTR *information = nullptr) {
    return IoSendSynchronousRequest(
        node->pdo,
        [&](PIRP irp, PIO_STACK_LOCATION stack) {
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
            stack->MajorFunction = IRP_MJ_PNP;
            stack->MinorFunction = minor;
            if (parameters)
                parameters(stack);
        },
        information);
}

// A QUERY_ID answer, freed after reading (the driver allocated it from pool).
// `answer` receives the status the stack answered with.
bool QueryId(DeviceNode *node, BUS_QUERY_ID_TYPE type, std::vector<std::u16string> *strings,
             NTSTATUS *answer = nullptr) {
    ULONG_PTR information = 0;
    NTSTATUS status = SendPnp(
        node, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION stack) { stack->Parameters.QueryId.IdType = type; },
        &information);
    if (answer)
        *answer = status;
    if (!NT_SUCCESS(status) || !information)
        return false;
    // Hardware and compatible ids are multi-strings; device and instance ids are one string.
    const auto *text = reinterpret_cast<const char16_t *>(information);
    bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
    if (multi)
        *strings = SplitMultiString(text);
    else if (*text)
        *strings = {std::u16string(text)};
    else
        strings->clear();
    ExFreePool(reinterpret_cast<PVOID>(information));
    return !strings->empty();
}

void RecordEnumeratedDevice(DeviceNode *node) {
    std::u16string key = std::u16string(kEnumKey) + u"\\" + node->instancePath;
    std::u16string multi;
    for (const auto &id : node->hardwareIds)
        multi += id + u'\0';
    multi += u'\0';
    RegistrySetValue(key, u"HardwareID", REG_MULTI_SZ, multi.data(), multi.size() * 2);
    if (!node->service.empty())
        RegistrySetString(key, u"Service", node->service);
}

void IdentifyChild(DeviceNode *node) {
    QueryId(node, BusQueryHardwareIDs, &node->hardwareIds);
    QueryId(node, BusQueryCompatibleIDs, &node->compatibleIds, &node->compatibleIdsStatus);
    std::vector<std::u16string> deviceId, instanceId;
    QueryId(node, BusQueryDeviceID, &deviceId);
    QueryId(node, BusQueryInstanceID, &instanceId);
    std::u16string base = !deviceId.empty()            ? deviceId[0]
                          : !node->hardwareIds.empty() ? node->hardwareIds[0]
                                                       : u"UNKNOWN";
    std::u16string instance = !instanceId.empty()
                                  ? instanceId[0]
                                  : Utf8ToUtf16(std::to_string(++g_pnp->unnamedInstances));
    node->instancePath = base + u"\\" + instance;
    for (const auto &id : node->hardwareIds) {
        std::u16string service;
        if (NT_SUCCESS(RegistryQueryString(HardwareIdKey(), id, &service))) {
            node->service = service;
            break;
        }
    }
    RecordEnumeratedDevice(node);
}

void Fail(DeviceNode *node, NTSTATUS status, const char *what) {
    node->problem = status;
    char text[32];
    snprintf(text, sizeof text, "0x%08X", (unsigned)status);
    MachineLog("pnp: " + Utf16ToUtf8(node->instancePath) + ": " + what + " failed, " + text);
}

void EnumerateChildren(DeviceNode *node);
NTSTATUS RemoveNode(DeviceNode *node, bool surprise);

void DropDrivers(DeviceNode *node) {
    std::vector<PDRIVER_OBJECT> drivers;
    {
        std::lock_guard<std::mutex> guard(PnpTreeLock());
        drivers.swap(node->drivers);
        node->started = false;
    }
    for (PDRIVER_OBJECT driver : drivers)
        LoaderRemovePnpDevice(driver);
}

// Loads the node's driver, adds its device, asks the capabilities and starts the
// stack; then looks for the new device's own children.
void StartNewDevice(DeviceNode *node) {
    if (node->service.empty())
        return Fail(node, STATUS_NO_SUCH_DEVICE, "matching a driver");
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = LoaderLoadDriver(node->service, &driver);
    if (!NT_SUCCESS(status))
        return Fail(node, status, "loading the driver");
    if (!driver->DriverExtension->AddDevice) {
        LoaderUnloadIfUnused(driver);
        return Fail(node, STATUS_INVALID_DEVICE_REQUEST, "AddDevice (none)");
    }
    status = driver->DriverExtension->AddDevice(driver, node->pdo);
    if (!NT_SUCCESS(status)) {
        LoaderUnloadIfUnused(driver);
        return Fail(node, status, "AddDevice");
    }
    LoaderAddPnpDevice(driver);
    {
        std::lock_guard<std::mutex> guard(PnpTreeLock());
        node->drivers.push_back(driver);
    }

    DEVICE_CAPABILITIES capabilities = {};
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 1;
    capabilities.Address = capabilities.UINumber = 0xFFFFFFFF;
    status = SendPnp(node, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceCapabilities.Capabilities = &capabilities;
    });
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(PnpTreeLock());
        node->capabilities = capabilities;
        node->hasCapabilities = true;
    }

    status = SendPnp(node, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) {
        // A stack that failed to start is torn down again, as Windows does.
        Fail(node, status, "START_DEVICE");
        SendPnp(node, IRP_MN_REMOVE_DEVICE);
        DropDrivers(node);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(PnpTreeLock());
        node->started = true;
        node->problem = STATUS_SUCCESS;
    }
    EnumerateChildren(node);
}

DeviceNode *AddNode(DeviceNode *parent, PDEVICE_OBJECT pdo) {
    auto *node = new DeviceNode;
    node->parent = parent;
    node->pdo = pdo;
    std::lock_guard<std::mutex> guard(PnpTreeLock());
    parent->children.push_back(node);
    g_pnp->nodesByPdo[pdo] = node;
    std::lock_guard<std::mutex> io(IoLock());
    pdo->DeviceObjectExtension->deviceNode = node;
    return node;
}

// Asks the stack for its bus relations: new PDOs become new devices, PDOs no longer
// reported are removed (surprise removal, then removal).
void EnumerateChildren(DeviceNode *node) {
    ULONG_PTR information = 0;
    NTSTATUS status = SendPnp(
        node, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = BusRelations; },
        &information);
    if (!NT_SUCCESS(status))
        return;
    std::vector<PDEVICE_OBJECT> reported;
    if (auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(information)) {
        reported.assign(relations->Objects, relations->Objects + relations->Count);
        ExFreePool(relations);
    }

    std::vector<DeviceNode *> added, vanished;
    for (PDEVICE_OBJECT pdo : reported) {
        DeviceNode *known = FindNode(pdo);
        if (known && known->parent == node) {
            ObfDereferenceObject(pdo);  // the node holds its reference already
            continue;
        }
        if (known)
            VerifierStop("PNP_DETECTED_FATAL_ERROR", nullptr,
                         "device %p reported as a child of two buses", (void *)pdo);
        if (ObGetObjectName(pdo).empty())
            VerifierStop("PNP_DETECTED_FATAL_ERROR", nullptr,
                         "reported child device %p has no name (PDOs need "
                         "FILE_AUTOGENERATED_DEVICE_NAME)",
                         (void *)pdo);
        pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
        added.push_back(AddNode(node, pdo));
    }
    for (DeviceNode *child : std::vector<DeviceNode *>(node->children)) {
        if (std::find(reported.begin(), reported.end(), child->pdo) == reported.end())
            vanished.push_back(child);
    }
    for (DeviceNode *child : vanished)
        RemoveNode(child, true);
    for (DeviceNode *child : added) {
        IdentifyChild(child);
        StartNewDevice(child);
    }
}

// Takes a device and everything below it out of the tree. A device reported missing
// gets SURPRISE_REMOVAL first, as on Windows.
NTSTATUS RemoveNode(DeviceNode *node, bool surprise) {
    for (DeviceNode *child : std::vector<DeviceNode *>(node->children))
        RemoveNode(child, surprise);
    if (surprise && node->started)
        SendPnp(node, IRP_MN_SURPRISE_REMOVAL);
    NTSTATUS status = SendPnp(node, IRP_MN_REMOVE_DEVICE);
    PnpRemoveInterfacesOf(node);
    DropDrivers(node);
    {
        std::lock_guard<std::mutex> guard(PnpTreeLock());
        auto &siblings = node->parent->children;
        siblings.erase(std::find(siblings.begin(), siblings.end(), node));
        g_pnp->nodesByPdo.erase(node->pdo);
    }
    {
        std::lock_guard<std::mutex> io(IoLock());
        node->pdo->DeviceObjectExtension->deviceNode = nullptr;
    }
    if (node->rootEnumerated)
        IoDeleteDevice(node->pdo);
    ObfDereferenceObject(node->pdo);
    delete node;
    return status;
}

std::u16string RootKey(std::u16string_view name) {
    return std::u16string(kEnumKey) + u"\\Root\\" + std::u16string(name);
}

void StartRootDevice(std::u16string_view name, std::u16string_view instance) {
    std::u16string key = RootKey(name) + u"\\" + std::u16string(instance);
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDeviceForPlatform(g_pnp->rootBus, 0, FILE_AUTOGENERATED_DEVICE_NAME,
                                              &pdo)))
        return;
    ObfReferenceObject(pdo);  // the node's, as a bus gives one with each reported child
    DeviceNode *node = AddNode(&g_pnp->root, pdo);
    node->rootEnumerated = true;
    node->instancePath = u"ROOT\\" + std::u16string(name) + u"\\" + std::u16string(instance);
    RegistryValue ids;
    if (NT_SUCCESS(RegistryQueryValue(key, u"HardwareID", &ids)))
        node->hardwareIds = SplitMultiString(ids);
    RegistryQueryString(key, u"Service", &node->service);
    StartNewDevice(node);
}

DeviceNode *FindNodeByInstance(std::u16string_view instancePath, DeviceNode *from) {
    for (DeviceNode *child : from->children) {
        if (EqualNoCase(child->instancePath, instancePath))
            return child;
        if (DeviceNode *found = FindNodeByInstance(instancePath, child))
            return found;
    }
    return nullptr;
}

PnpDeviceInfo Describe(const DeviceNode *node) {
    return {node->pdo,     node->instancePath,    node->hardwareIds,
            node->service, node->started,         node->problem,
            node->hasCapabilities, node->capabilities,
            node->parent != nullptr ? node->parent->instancePath : std::u16string(),
            node->compatibleIds, node->compatibleIdsStatus};
}

void CollectDevices(const DeviceNode *node, std::vector<PnpDeviceInfo> *devices) {
    for (const DeviceNode *child : node->children) {
        devices->push_back(Describe(child));
        CollectDevices(child, devices);
    }
}

}  // namespace

std::u16string PnpHardwareKeyPath(std::u16string_view instancePath) {
    return std::u16string(kEnumKey) + u"\\" + std::u16string(instancePath) + u"\\Device Parameters";
}

bool PnpInstancePathOfPdo(PDEVICE_OBJECT device, std::u16string *instancePath) {
    std::lock_guard<std::mutex> guard(PnpTreeLock());
    auto found = g_pnp->nodesByPdo.find(device);
    // A child the bus has reported but the manager has not yet identified has no path.
    if (found == g_pnp->nodesByPdo.end() || found->second->instancePath.empty())
        return false;
    *instancePath = found->second->instancePath;
    return true;
}

std::mutex &PnpTreeLock() {
    static std::mutex lock;
    return lock;
}

void PnpRunOnWorker(const std::function<void()> &work) {
    g_pnp->worker.run(work);
}

void PnpStart() {
    g_pnp = new PnpState;
    g_pnp->rootBus = PnpCreateRootBusDriver();
    g_pnp->worker.run([] {
        for (const auto &name : RegistryEnumerateSubkeys(std::u16string(kEnumKey) + u"\\Root"))
            for (const auto &instance : RegistryEnumerateSubkeys(RootKey(name)))
                StartRootDevice(name, instance);
    });
}

void PnpStop() {
    g_pnp->worker.run([] {
        for (DeviceNode *child : std::vector<DeviceNode *>(g_pnp->root.children))
            RemoveNode(child, false);
    });
    g_pnp->worker.waitIdle();
    PnpForgetAllInterfaces();
    LoaderDestroyPlatformDriver(g_pnp->rootBus);
    delete g_pnp;
    g_pnp = nullptr;
}

NTSTATUS PnpSetHardwareIdService(std::u16string_view hardwareId, std::u16string_view service) {
    return RegistrySetString(HardwareIdKey(), hardwareId, service);
}

NTSTATUS PnpClearHardwareIdService(std::u16string_view hardwareId) {
    return RegistryDeleteValue(HardwareIdKey(), hardwareId);
}

NTSTATUS PnpCreateRootDevice(std::u16string_view name, std::u16string_view hardwareId,
                             std::u16string_view service, std::u16string *instancePath) {
    std::u16string base = RootKey(name);
    std::u16string instance;
    for (int number = 0;; number++) {
        char text[16];
        snprintf(text, sizeof text, "%04d", number);
        instance = Utf8ToUtf16(text);
        if (!RegistryKeyExists(base + u"\\" + instance))
            break;
    }
    std::u16string key = base + u"\\" + instance;
    std::u16string multi = std::u16string(hardwareId) + u'\0' + u'\0';
    NTSTATUS status = RegistrySetValue(key, u"HardwareID", REG_MULTI_SZ, multi.data(),
                                       multi.size() * 2);
    if (NT_SUCCESS(status))
        status = RegistrySetString(key, u"Service", service);
    if (!NT_SUCCESS(status))
        return status;
    if (instancePath)
        *instancePath = u"ROOT\\" + std::u16string(name) + u"\\" + instance;
    if (g_pnp)
        g_pnp->worker.run([&] { StartRootDevice(name, instance); });
    return STATUS_SUCCESS;
}

NTSTATUS PnpRemoveRootDevice(std::u16string_view instancePath) {
    const std::u16string_view prefix = u"ROOT\\";
    if (instancePath.size() <= prefix.size() ||
        !EqualNoCase(instancePath.substr(0, prefix.size()), prefix))
        return STATUS_INVALID_PARAMETER;
    std::u16string key = std::u16string(kEnumKey) + u"\\Root\\" +
                         std::u16string(instancePath.substr(prefix.size()));
    if (g_pnp) {
        g_pnp->worker.run([&] {
            DeviceNode *node = nullptr;
            {
                std::lock_guard<std::mutex> guard(PnpTreeLock());
                node = FindNodeByInstance(instancePath, &g_pnp->root);
            }
            if (node)
                RemoveNode(node, false);
        });
    }
    return RegistryDeleteKeyTree(key);
}

void PnpWaitIdle() {
    if (!g_pnp)
        return;
    if (g_pnp->worker.onQueueThread())
        VerifierStop("PNP_WAIT_FROM_WORKER", __builtin_return_address(0),
                     "PnpWaitIdle called from the PnP worker itself");
    // Work on one queue can post to the other; done when nothing was posted while
    // both were drained.
    for (;;) {
        unsigned long long posted = g_pnp->worker.postedCount() + IoWorker().postedCount();
        g_pnp->worker.waitIdle();
        IoWorker().waitIdle();
        if (g_pnp->worker.postedCount() + IoWorker().postedCount() == posted)
            return;
    }
}

std::vector<PnpDeviceInfo> PnpListDevices() {
    std::vector<PnpDeviceInfo> devices;
    if (!g_pnp)
        return devices;
    std::lock_guard<std::mutex> guard(PnpTreeLock());
    CollectDevices(&g_pnp->root, &devices);
    return devices;
}

bool PnpFindDevice(std::u16string_view hardwareId, PnpDeviceInfo *info) {
    for (PnpDeviceInfo &device : PnpListDevices()) {
        for (const auto &id : device.hardwareIds) {
            if (EqualNoCase(id, hardwareId)) {
                *info = device;
                return true;
            }
        }
    }
    return false;
}

NTSTATUS PnpSendRequest(PDEVICE_OBJECT pdo, UCHAR minorFunction) {
    switch (minorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    if (!g_pnp)
        return status;
    g_pnp->worker.run([&] {
        DeviceNode *node = FindNode(pdo);
        if (!node)
            return;
        if (minorFunction == IRP_MN_REMOVE_DEVICE) {
            status = RemoveNode(node, false);
            return;
        }
        status = SendPnp(node, minorFunction);
        std::lock_guard<std::mutex> guard(PnpTreeLock());
        if (minorFunction == IRP_MN_START_DEVICE && NT_SUCCESS(status))
            node->started = true;
        if (minorFunction == IRP_MN_STOP_DEVICE || minorFunction == IRP_MN_SURPRISE_REMOVAL)
            node->started = false;
    });
    return status;
}

extern "C" VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject,
                                                   DEVICE_RELATION_TYPE Type) {
    KeCheckIrql(DISPATCH_LEVEL, "IoInvalidateDeviceRelations", __builtin_return_address(0));
    if (Type != BusRelations || !g_pnp)
        return;
    g_pnp->worker.post([DeviceObject] {
        if (DeviceNode *node = FindNode(DeviceObject); node && node->started)
            EnumerateChildren(node);
    });
}
