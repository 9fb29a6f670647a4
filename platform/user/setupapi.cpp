// Device interface lists for setup programs: a snapshot of the Plug and Play
// manager's interfaces of one class, walked by index.
#include "win32_internal.h"

#include <setupapi.h>

#include <machine.h>
#include <pnp.h>

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

struct InterfaceList {
    GUID interfaceClass;
    struct Entry {
        std::string devicePath;  // "\\?\..." as CreateFileA takes it
        bool enabled;
    };
    std::vector<Entry> entries;
};

// The lists handed out and not yet destroyed, so that a stale or foreign handle is
// refused instead of used.
std::mutex g_listsLock;
std::set<InterfaceList *> g_lists;

InterfaceList *FindList(HDEVINFO handle)
{
    std::lock_guard<std::mutex> guard(g_listsLock);
    auto found = g_lists.find(static_cast<InterfaceList *>(handle));
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

// The list entry that SetupDiEnumDeviceInterfaces described in `data`, or null.
const InterfaceList::Entry *EntryOf(const InterfaceList *list, const SP_DEVICE_INTERFACE_DATA *data)
{
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > list->entries.size()) {
        return nullptr;
    }
    return &list->entries[data->Reserved - 1];
}

}  // namespace

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator,
                                                PVOID hwndParent, DWORD Flags)
{
    UNREFERENCED_PARAMETER(Enumerator);
    UNREFERENCED_PARAMETER(hwndParent);
    // Lists of devices (rather than interfaces) are not kept by this platform yet.
    if (!(Flags & DIGCF_DEVICEINTERFACE) || (Flags & DIGCF_ALLCLASSES)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    if (ClassGuid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    MachineCurrent();  // like every system call, the first one boots the embedded machine
    auto *list = new InterfaceList;
    list->interfaceClass = *ClassGuid;
    for (const DeviceInterfaceInfo &info :
         IoListDeviceInterfaces(*ClassGuid, (Flags & DIGCF_PRESENT) != 0)) {
        list->entries.push_back({std::string(info.userPath.begin(), info.userPath.end()), info.enabled});
    }
    std::lock_guard<std::mutex> guard(g_listsLock);
    g_lists.insert(list);
    return list;
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet,
                                                   PSP_DEVINFO_DATA DeviceInfoData,
                                                   const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                                   PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    InterfaceList *list = FindList(DeviceInfoSet);
    if (list == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    // Walking the interfaces of one device needs device elements, which the lists
    // here do not hold.
    if (DeviceInfoData != nullptr || InterfaceClassGuid == nullptr ||
        DeviceInterfaceData == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (!SameGuid(*InterfaceClassGuid, list->interfaceClass) || MemberIndex >= list->entries.size()) {
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    DeviceInterfaceData->InterfaceClassGuid = list->interfaceClass;
    DeviceInterfaceData->Flags = list->entries[MemberIndex].enabled ? SPINT_ACTIVE : 0;
    DeviceInterfaceData->Reserved = MemberIndex + 1;
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData, DWORD DeviceInterfaceDetailDataSize,
    PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData)
{
    InterfaceList *list = FindList(DeviceInfoSet);
    if (list == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    const InterfaceList::Entry *entry = EntryOf(list, DeviceInterfaceData);
    if (entry == nullptr || DeviceInfoData != nullptr ||
        (DeviceInterfaceDetailData == nullptr && DeviceInterfaceDetailDataSize != 0)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    DWORD required = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                        entry->devicePath.size() + 1);
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
    std::memcpy(DeviceInterfaceDetailData->DevicePath, entry->devicePath.c_str(),
                entry->devicePath.size() + 1);
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    std::lock_guard<std::mutex> guard(g_listsLock);
    auto found = g_lists.find(static_cast<InterfaceList *>(DeviceInfoSet));
    if (found == g_lists.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    delete *found;
    g_lists.erase(found);
    return TRUE;
}
