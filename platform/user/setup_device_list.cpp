// Device information lists: snapshots of the machine's devices or of one class of
// device interfaces, walked by index, and the new root-enumerated devices that a
// setup program creates, registers and removes through them.
#include "device_instances.h"
#include "registry_keys.h"
#include "setup_internal.h"

#include <setupapi.h>

#include <machine.h>
#include <pnp.h>
#include <registry.h>
#include <ustring.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

struct DeviceElement {
    DWORD devInst = 0;                    // what SP_DEVINFO_DATA.DevInst carries
    std::u16string instancePath;          // empty until a created device is registered
    std::string rootName;                 // created devices: "SYSTEM" of ROOT\SYSTEM\nnnn
    GUID classGuid;
    std::vector<std::string> hardwareIds;  // created devices: set before registration
    bool removed = false;
};

struct InterfaceElement {
    std::string devicePath;  // "\\?\..." as CreateFileA takes it
    bool enabled;
};

struct DeviceInfoList {
    bool hasClass = false;
    GUID classGuid = {};
    std::vector<DeviceElement> devices;
    GUID interfaceClass = {};
    std::vector<InterfaceElement> interfaces;
};

// The lists handed out and not yet destroyed, so that a stale or foreign handle is
// refused instead of used. Elements are used under the lock as well.
std::mutex g_listsLock;
std::set<DeviceInfoList *> g_lists;

DeviceInfoList *FindList(HDEVINFO handle)
{
    auto found = g_lists.find(static_cast<DeviceInfoList *>(handle));
    return found == g_lists.end() ? nullptr : *found;
}

bool SameGuid(const GUID &a, const GUID &b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

HDEVINFO FailList(DWORD error)
{
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

HDEVINFO Publish(std::unique_ptr<DeviceInfoList> list)
{
    std::lock_guard<std::mutex> guard(g_listsLock);
    DeviceInfoList *published = list.release();
    g_lists.insert(published);
    return published;
}

// The setup class recorded for a device; all zero when it has none.
GUID RecordedClass(std::u16string_view instancePath)
{
    GUID guid = {};
    std::u16string text;
    if (NT_SUCCESS(RegistryQueryString(DeviceRecordKey(instancePath), u"ClassGUID", &text)) &&
        !ParseGuidText(Utf16ToUtf8(text), &guid)) {
        guid = GUID{};
    }
    return guid;
}

// The device of the list that SetupDiEnumDeviceInfo or SetupDiCreateDeviceInfoA
// described, or null.
DeviceElement *ElementOf(DeviceInfoList *list, const SP_DEVINFO_DATA *data)
{
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->DevInst == 0) {
        return nullptr;
    }
    for (DeviceElement &element : list->devices) {
        if (element.devInst == data->DevInst) {
            return &element;
        }
    }
    return nullptr;
}

// The device a registry property call names, or null with the error set. Called
// under g_listsLock.
DeviceElement *PropertyElement(HDEVINFO handle, const SP_DEVINFO_DATA *data, const void *buffer,
                               DWORD bufferSize)
{
    DeviceInfoList *list = FindList(handle);
    if (list == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    DeviceElement *element = ElementOf(list, data);
    if (element == nullptr || (buffer == nullptr && bufferSize != 0)) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return element;
}

void Describe(const DeviceInfoList *list, size_t index, PSP_DEVINFO_DATA data)
{
    data->ClassGuid = list->devices[index].classGuid;
    data->DevInst = list->devices[index].devInst;
    data->Reserved = 0;
}

std::vector<std::string> CurrentHardwareIds(const DeviceElement &element)
{
    if (element.instancePath.empty()) {
        return element.hardwareIds;
    }
    std::vector<std::string> ids;
    for (const PnpDeviceInfo &device : PnpListDevices()) {
        if (EqualNoCase(device.instancePath, element.instancePath)) {
            for (const std::u16string &id : device.hardwareIds) {
                ids.push_back(Utf16ToUtf8(id));
            }
        }
    }
    return ids;
}

// A property's bytes and registry type; ERROR_INVALID_DATA when the device lacks it.
DWORD ReadProperty(const DeviceElement &element, DWORD property, std::string *bytes, DWORD *type)
{
    std::u16string text;
    switch (property) {
    case SPDRP_HARDWAREID:
        for (const std::string &id : CurrentHardwareIds(element)) {
            bytes->append(id).push_back(0);
        }
        if (bytes->empty()) {
            return ERROR_INVALID_DATA;
        }
        bytes->push_back(0);
        *type = REG_MULTI_SZ;
        return ERROR_SUCCESS;
    case SPDRP_SERVICE:
    case SPDRP_CLASS:
        if (element.instancePath.empty() ||
            !NT_SUCCESS(RegistryQueryString(DeviceRecordKey(element.instancePath),
                                            property == SPDRP_SERVICE ? u"Service" : u"Class",
                                            &text)) ||
            text.empty()) {
            return ERROR_INVALID_DATA;
        }
        *bytes = Utf16ToUtf8(text);
        bytes->push_back(0);
        *type = REG_SZ;
        return ERROR_SUCCESS;
    default:
        return ERROR_INVALID_REG_PROPERTY;
    }
}

// Registers a created device with Plug and Play as a root-enumerated device; it has
// no driver until one is installed for it. Returns its instance path in `element`.
DWORD RegisterDevice(DeviceElement *element)
{
    if (!element->instancePath.empty() || element->removed) {
        return ERROR_DEVINST_ALREADY_EXISTS;
    }
    std::u16string firstId =
        element->hardwareIds.empty() ? u"" : Utf8ToUtf16(element->hardwareIds[0]);
    std::u16string instancePath;
    if (!NT_SUCCESS(PnpCreateRootDevice(Utf8ToUtf16(element->rootName), firstId, u"",
                                        &instancePath))) {
        return ERROR_GEN_FAILURE;
    }
    element->instancePath = instancePath;
    BindDevInst(element->devInst, instancePath);
    std::u16string ids;
    for (const std::string &id : element->hardwareIds) {
        ids += Utf8ToUtf16(id) + u'\0';
    }
    ids += u'\0';
    std::u16string key = DeviceRecordKey(instancePath);
    RegistrySetValue(key, u"HardwareID", REG_MULTI_SZ, ids.data(), ids.size() * sizeof(char16_t));
    RegistrySetString(key, u"ClassGUID", GuidText(element->classGuid));
    return ERROR_SUCCESS;
}

DWORD RemoveDevice(DeviceElement *element)
{
    if (element->instancePath.empty() || element->removed) {
        return ERROR_NO_SUCH_DEVINST;
    }
    // Only root-enumerated devices are removed this way; a bus's children come and go
    // with their bus.
    if (!EqualNoCase(std::u16string_view(element->instancePath).substr(0, 5), u"ROOT\\")) {
        return ERROR_NOT_SUPPORTED;
    }
    if (!NT_SUCCESS(PnpRemoveRootDevice(element->instancePath))) {
        return ERROR_NO_SUCH_DEVINST;
    }
    element->removed = true;
    return ERROR_SUCCESS;
}

// The registry key SetupDiOpenDevRegKey opens: the hardware key (the device's
// "Device Parameters") or the driver key that the device record names; "" when the
// device has no driver key.
std::u16string DeviceKeyPath(std::u16string_view instancePath, DWORD keyType)
{
    if (keyType == DIREG_DEV) {
        return PnpHardwareKeyPath(instancePath);
    }
    std::u16string driver;
    if (!NT_SUCCESS(RegistryQueryString(DeviceRecordKey(instancePath), u"Driver", &driver)) ||
        driver.empty()) {
        return std::u16string();
    }
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" + driver;
}

}  // namespace

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator,
                                                HWND hwndParent, DWORD Flags)
{
    UNREFERENCED_PARAMETER(Enumerator);
    UNREFERENCED_PARAMETER(hwndParent);
    MachineCurrent();
    auto list = std::make_unique<DeviceInfoList>();
    if (Flags & DIGCF_DEVICEINTERFACE) {
        // Interfaces of every class are not listed here: a class is required.
        if (ClassGuid == nullptr || (Flags & DIGCF_ALLCLASSES)) {
            return FailList(ERROR_INVALID_PARAMETER);
        }
        list->interfaceClass = *ClassGuid;
        for (const DeviceInterfaceInfo &info :
             IoListDeviceInterfaces(*ClassGuid, (Flags & DIGCF_PRESENT) != 0)) {
            list->interfaces.push_back({Utf16ToUtf8(info.userPath), info.enabled});
        }
        return Publish(std::move(list));
    }
    if (ClassGuid == nullptr && !(Flags & DIGCF_ALLCLASSES)) {
        return FailList(ERROR_INVALID_PARAMETER);
    }
    // Every device of the tree is present: a root device recorded in the registry is
    // in the tree from boot on, with or without a driver.
    for (const PnpDeviceInfo &device : PnpListDevices()) {
        GUID deviceClass = RecordedClass(device.instancePath);
        if (!(Flags & DIGCF_ALLCLASSES) && !SameGuid(deviceClass, *ClassGuid)) {
            continue;
        }
        DeviceElement element;
        element.devInst = DevInstForPath(device.instancePath);
        element.instancePath = device.instancePath;
        element.classGuid = deviceClass;
        list->devices.push_back(std::move(element));
    }
    return Publish(std::move(list));
}

extern "C" HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND hwndParent)
{
    UNREFERENCED_PARAMETER(hwndParent);
    auto list = std::make_unique<DeviceInfoList>();
    if (ClassGuid != nullptr) {
        list->hasClass = true;
        list->classGuid = *ClassGuid;
    }
    return Publish(std::move(list));
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    std::lock_guard<std::mutex> guard(g_listsLock);
    DeviceInfoList *list = FindList(DeviceInfoSet);
    if (list == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    g_lists.erase(list);
    delete list;
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                             PSP_DEVINFO_DATA DeviceInfoData)
{
    std::lock_guard<std::mutex> guard(g_listsLock);
    DeviceInfoList *list = FindList(DeviceInfoSet);
    if (list == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (MemberIndex >= list->devices.size()) {
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    Describe(list, MemberIndex, DeviceInfoData);
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceName,
                                                const GUID *ClassGuid, PCSTR DeviceDescription,
                                                HWND hwndParent, DWORD CreationFlags,
                                                PSP_DEVINFO_DATA DeviceInfoData)
{
    UNREFERENCED_PARAMETER(DeviceDescription);
    UNREFERENCED_PARAMETER(hwndParent);
    std::lock_guard<std::mutex> guard(g_listsLock);
    DeviceInfoList *list = FindList(DeviceInfoSet);
    if (list == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (ClassGuid == nullptr || (CreationFlags & ~static_cast<DWORD>(DICD_GENERATE_ID))) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (list->hasClass && !SameGuid(list->classGuid, *ClassGuid)) {
        return Fail(ERROR_CLASS_MISMATCH);
    }
    if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    // A generated id takes a plain root device name; instance ids chosen by the caller
    // are not offered here.
    if (!(CreationFlags & DICD_GENERATE_ID) || DeviceName == nullptr || *DeviceName == 0 ||
        std::strpbrk(DeviceName, "\\/ ,") != nullptr) {
        return Fail(ERROR_INVALID_DEVINST_NAME);
    }
    DeviceElement element;
    element.devInst = NewUnboundDevInst();
    element.rootName = DeviceName;
    element.classGuid = *ClassGuid;
    list->devices.push_back(std::move(element));
    if (DeviceInfoData != nullptr) {
        Describe(list, list->devices.size() - 1, DeviceInfoData);
    }
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                                         PSP_DEVINFO_DATA DeviceInfoData,
                                                         DWORD Property, PDWORD PropertyRegDataType,
                                                         PBYTE PropertyBuffer,
                                                         DWORD PropertyBufferSize,
                                                         PDWORD RequiredSize)
{
    std::lock_guard<std::mutex> guard(g_listsLock);
    DeviceElement *element =
        PropertyElement(DeviceInfoSet, DeviceInfoData, PropertyBuffer, PropertyBufferSize);
    if (element == nullptr) {
        return FALSE;
    }
    std::string bytes;
    DWORD type = REG_NONE;
    DWORD error = ReadProperty(*element, Property, &bytes, &type);
    if (error != ERROR_SUCCESS) {
        return Fail(error);
    }
    if (PropertyRegDataType != nullptr) {
        *PropertyRegDataType = type;
    }
    if (RequiredSize != nullptr) {
        *RequiredSize = static_cast<DWORD>(bytes.size());
    }
    if (PropertyBufferSize < bytes.size()) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(PropertyBuffer, bytes.data(), bytes.size());
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                                         PSP_DEVINFO_DATA DeviceInfoData,
                                                         DWORD Property, const BYTE *PropertyBuffer,
                                                         DWORD PropertyBufferSize)
{
    std::lock_guard<std::mutex> guard(g_listsLock);
    DeviceElement *element =
        PropertyElement(DeviceInfoSet, DeviceInfoData, PropertyBuffer, PropertyBufferSize);
    if (element == nullptr) {
        return FALSE;
    }
    if (Property != SPDRP_HARDWAREID) {
        return Fail(ERROR_INVALID_REG_PROPERTY);
    }
    // The ids of a device Plug and Play already runs are fixed by its bus; only a
    // device still being created takes them.
    if (!element->instancePath.empty()) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    // A multi-string: entries up to an empty one or the end of the buffer.
    std::vector<std::string> ids;
    const char *text = reinterpret_cast<const char *>(PropertyBuffer);
    size_t offset = 0;
    while (offset < PropertyBufferSize && text[offset] != 0) {
        size_t length = strnlen(text + offset, PropertyBufferSize - offset);
        ids.emplace_back(text + offset, length);
        offset += length + 1;
    }
    element->hardwareIds = std::move(ids);
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction,
                                                 HDEVINFO DeviceInfoSet,
                                                 PSP_DEVINFO_DATA DeviceInfoData)
{
    // Plug and Play runs drivers while it registers or removes a device, so the work
    // is done on a copy of the element, outside the lists' lock.
    DeviceElement element;
    {
        std::lock_guard<std::mutex> guard(g_listsLock);
        DeviceInfoList *list = FindList(DeviceInfoSet);
        if (list == nullptr) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        DeviceElement *listed = ElementOf(list, DeviceInfoData);
        if (listed == nullptr) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        element = *listed;
    }
    DWORD error;
    switch (InstallFunction) {
    case DIF_REGISTERDEVICE:
        error = RegisterDevice(&element);
        break;
    case DIF_REMOVE:
        error = RemoveDevice(&element);
        break;
    default:
        error = ERROR_NOT_SUPPORTED;
        break;
    }
    if (error != ERROR_SUCCESS) {
        return Fail(error);
    }
    std::lock_guard<std::mutex> guard(g_listsLock);
    if (DeviceInfoList *list = FindList(DeviceInfoSet)) {
        if (DeviceElement *listed = ElementOf(list, DeviceInfoData)) {
            *listed = element;
        }
    }
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet,
                                                   PSP_DEVINFO_DATA DeviceInfoData,
                                                   const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                                   PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    std::lock_guard<std::mutex> guard(g_listsLock);
    DeviceInfoList *list = FindList(DeviceInfoSet);
    if (list == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    // Walking the interfaces of one device is not offered: interface lists here hold
    // interfaces only.
    if (DeviceInfoData != nullptr || InterfaceClassGuid == nullptr ||
        DeviceInterfaceData == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (!SameGuid(*InterfaceClassGuid, list->interfaceClass) ||
        MemberIndex >= list->interfaces.size()) {
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    DeviceInterfaceData->InterfaceClassGuid = list->interfaceClass;
    DeviceInterfaceData->Flags = list->interfaces[MemberIndex].enabled ? SPINT_ACTIVE : 0;
    DeviceInterfaceData->Reserved = MemberIndex + 1;
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData, DWORD DeviceInterfaceDetailDataSize,
    PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData)
{
    std::lock_guard<std::mutex> guard(g_listsLock);
    DeviceInfoList *list = FindList(DeviceInfoSet);
    if (list == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        DeviceInterfaceData->Reserved == 0 || DeviceInterfaceData->Reserved > list->interfaces.size() ||
        DeviceInfoData != nullptr ||
        (DeviceInterfaceDetailData == nullptr && DeviceInterfaceDetailDataSize != 0)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::string &path = list->interfaces[DeviceInterfaceData->Reserved - 1].devicePath;
    DWORD required =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (RequiredSize != nullptr) {
        *RequiredSize = required;
    }
    if (DeviceInterfaceDetailData != nullptr &&
        DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInterfaceDetailDataSize < required) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

extern "C" HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                            DWORD Scope, DWORD HwProfile, DWORD KeyType,
                                            REGSAM samDesired)
{
    UNREFERENCED_PARAMETER(HwProfile);
    HKEY failed = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    std::u16string instancePath;
    {
        std::lock_guard<std::mutex> guard(g_listsLock);
        DeviceInfoList *list = FindList(DeviceInfoSet);
        if (list == nullptr) {
            Fail(ERROR_INVALID_HANDLE);
            return failed;
        }
        DeviceElement *element = ElementOf(list, DeviceInfoData);
        if (element == nullptr) {
            Fail(ERROR_INVALID_PARAMETER);
            return failed;
        }
        instancePath = element->instancePath;
    }
    if (Scope != DICS_FLAG_GLOBAL || (KeyType != DIREG_DEV && KeyType != DIREG_DRV)) {
        Fail(ERROR_INVALID_FLAGS);
        return failed;
    }
    if (!IsReadOnlyAccess(samDesired)) {
        Fail(ERROR_ACCESS_DENIED);
        return failed;
    }
    std::u16string key = instancePath.empty() ? std::u16string() : DeviceKeyPath(instancePath, KeyType);
    // A device not yet registered has no keys; nor has one whose driver never wrote them.
    if (key.empty() || !RegistryKeyExists(key)) {
        Fail(ERROR_KEY_DOES_NOT_EXIST);
        return failed;
    }
    return OpenRegistryKeyHandle(key);
}
