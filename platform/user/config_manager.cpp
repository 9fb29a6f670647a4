// The configuration manager: device instance handles and the calls that walk the
// Plug and Play tree with them (a device's parent, its instance path, its registry
// properties). Every call reads the tree as it is at that moment.
#include "device_instances.h"
#include "setup_internal.h"
#include "win32_internal.h"

#include <cfgmgr32.h>

#include <machine.h>
#include <pnp.h>
#include <registry.h>
#include <ustring.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

const char16_t kDeviceTreeRoot[] = u"HTREE\\ROOT\\0";

namespace {

std::mutex g_devInstLock;
std::vector<std::u16string> g_devInstPaths;  // handle n names g_devInstPaths[n - 1]

// A device in the tree right now: its description, or false when it is gone. The
// tree's root is present, without a description of its own.
bool FindInTree(DEVINST devInst, std::u16string *instancePath, PnpDeviceInfo *info)
{
    if (!DevInstPath(devInst, instancePath) || instancePath->empty()) {
        return false;
    }
    if (EqualNoCase(*instancePath, kDeviceTreeRoot)) {
        *info = PnpDeviceInfo{};
        return true;
    }
    for (PnpDeviceInfo &device : PnpListDevices()) {
        if (EqualNoCase(device.instancePath, *instancePath)) {
            *info = std::move(device);
            return true;
        }
    }
    return false;
}

// The registry value behind each property the device record keeps.
const char16_t *RecordValueName(ULONG property)
{
    switch (property) {
    case CM_DRP_DEVICEDESC: return u"DeviceDesc";
    case CM_DRP_SERVICE: return u"Service";
    case CM_DRP_CLASS: return u"Class";
    case CM_DRP_CLASSGUID: return u"ClassGUID";
    case CM_DRP_DRIVER: return u"Driver";
    case CM_DRP_MFG: return u"Mfg";
    case CM_DRP_FRIENDLYNAME: return u"FriendlyName";
    case CM_DRP_LOCATION_INFORMATION: return u"LocationInformation";
    default: return nullptr;
    }
}

std::string MultiString(const std::vector<std::u16string> &strings)
{
    std::string bytes;
    for (const std::u16string &text : strings) {
        bytes += Utf16ToUtf8(text);
        bytes.push_back(0);
    }
    bytes.push_back(0);
    return bytes;
}

std::string DwordBytes(ULONG value)
{
    return std::string(reinterpret_cast<const char *>(&value), sizeof(value));
}

// A property's bytes (strings in the ANSI code page) and type: the ids as the bus
// reported them, the address and number from its capabilities, the rest from the
// device's record.
CONFIGRET ReadProperty(const std::u16string &instancePath, const PnpDeviceInfo &info,
                       ULONG property, std::string *bytes, ULONG *type)
{
    bool isRoot = EqualNoCase(instancePath, kDeviceTreeRoot);
    switch (property) {
    case CM_DRP_HARDWAREID:
    case CM_DRP_COMPATIBLEIDS: {
        const std::vector<std::u16string> &ids =
            property == CM_DRP_HARDWAREID ? info.hardwareIds : info.compatibleIds;
        if (ids.empty()) return CR_NO_SUCH_VALUE;
        *bytes = MultiString(ids);
        *type = REG_MULTI_SZ;
        return CR_SUCCESS;
    }
    case CM_DRP_ADDRESS:
    case CM_DRP_UI_NUMBER: {
        if (!info.hasCapabilities) return CR_NO_SUCH_VALUE;
        ULONG value = property == CM_DRP_ADDRESS ? info.capabilities.Address
                                                 : info.capabilities.UINumber;
        if (value == 0xFFFFFFFF) return CR_NO_SUCH_VALUE;  // the bus did not say
        *bytes = DwordBytes(value);
        *type = REG_DWORD;
        return CR_SUCCESS;
    }
    default:
        break;
    }
    const char16_t *valueName = RecordValueName(property);
    if (valueName == nullptr) return CR_INVALID_PROPERTY;
    RegistryValue value;
    if (isRoot || !NT_SUCCESS(RegistryQueryValue(DeviceRecordKey(instancePath), valueName, &value)))
        return CR_NO_SUCH_VALUE;
    std::u16string text(value.data.size() / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), value.data.data(), text.size() * sizeof(char16_t));
    *bytes = Utf16ToUtf8(text);
    *type = value.type;
    return CR_SUCCESS;
}

}  // namespace

DWORD DevInstForPath(std::u16string_view instancePath)
{
    std::lock_guard<std::mutex> guard(g_devInstLock);
    for (size_t i = 0; i < g_devInstPaths.size(); i++) {
        if (!g_devInstPaths[i].empty() && EqualNoCase(g_devInstPaths[i], instancePath)) {
            return static_cast<DWORD>(i + 1);
        }
    }
    g_devInstPaths.emplace_back(instancePath);
    return static_cast<DWORD>(g_devInstPaths.size());
}

DWORD NewUnboundDevInst()
{
    std::lock_guard<std::mutex> guard(g_devInstLock);
    g_devInstPaths.emplace_back();
    return static_cast<DWORD>(g_devInstPaths.size());
}

void BindDevInst(DWORD devInst, std::u16string_view instancePath)
{
    std::lock_guard<std::mutex> guard(g_devInstLock);
    if (devInst != 0 && devInst <= g_devInstPaths.size()) {
        g_devInstPaths[devInst - 1] = instancePath;
    }
}

bool DevInstPath(DWORD devInst, std::u16string *instancePath)
{
    std::lock_guard<std::mutex> guard(g_devInstLock);
    if (devInst == 0 || devInst > g_devInstPaths.size()) {
        return false;
    }
    *instancePath = g_devInstPaths[devInst - 1];
    return true;
}

extern "C" CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags)
{
    if (pdnDevInst == nullptr) return CR_INVALID_POINTER;
    if (ulFlags != 0) return CR_INVALID_FLAG;
    MachineCurrent();
    std::u16string instancePath;
    PnpDeviceInfo info;
    if (!FindInTree(dnDevInst, &instancePath, &info)) return CR_NO_SUCH_DEVINST;
    if (EqualNoCase(instancePath, kDeviceTreeRoot)) return CR_NO_SUCH_DEVNODE;
    *pdnDevInst = DevInstForPath(info.parentInstancePath.empty() ? std::u16string(kDeviceTreeRoot)
                                                                 : info.parentInstancePath);
    return CR_SUCCESS;
}

extern "C" CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, PCHAR Buffer, ULONG BufferLen,
                                              ULONG ulFlags)
{
    if (Buffer == nullptr) return CR_INVALID_POINTER;
    if (ulFlags != 0) return CR_INVALID_FLAG;
    MachineCurrent();
    std::u16string instancePath;
    PnpDeviceInfo info;
    if (!FindInTree(dnDevInst, &instancePath, &info)) return CR_NO_SUCH_DEVINST;
    std::string id = Utf16ToUtf8(instancePath);
    std::memcpy(Buffer, id.data(), std::min<size_t>(id.size(), BufferLen));
    if (BufferLen > id.size()) Buffer[id.size()] = 0;
    return BufferLen < id.size() ? CR_BUFFER_SMALL : CR_SUCCESS;
}

extern "C" CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST dnDevInst, ULONG ulProperty,
                                                              PULONG pulRegDataType, PVOID Buffer,
                                                              PULONG pulLength, ULONG ulFlags)
{
    if (pulLength == nullptr || (Buffer == nullptr && *pulLength != 0)) return CR_INVALID_POINTER;
    if (ulFlags != 0) return CR_INVALID_FLAG;
    MachineCurrent();
    std::u16string instancePath;
    PnpDeviceInfo info;
    if (!FindInTree(dnDevInst, &instancePath, &info)) return CR_NO_SUCH_DEVINST;
    std::string bytes;
    ULONG type = REG_NONE;
    CONFIGRET result = ReadProperty(instancePath, info, ulProperty, &bytes, &type);
    if (result != CR_SUCCESS) return result;
    if (pulRegDataType != nullptr) *pulRegDataType = type;
    ULONG available = *pulLength;
    *pulLength = static_cast<ULONG>(bytes.size());
    if (available < bytes.size()) return CR_BUFFER_SMALL;
    std::memcpy(Buffer, bytes.data(), bytes.size());
    return CR_SUCCESS;
}
