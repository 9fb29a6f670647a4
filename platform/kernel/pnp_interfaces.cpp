// Device interfaces: a driver registers an interface class on its PDO and gets a
// symbolic link name derived from the device's instance path; enabling the interface
// creates the link, so that user mode finds the device by class and opens it.
#include "io_manager.h"
#include "ke.h"
#include "pnp_internal.h"
#include "ustring.h"

#include <cstdio>
#include <cstring>
#include <map>

namespace {

const ULONG kInterfacePoolTag = 0x49706E50;  // "PnpI"

struct InterfaceEntry {
    GUID interfaceClass;
    DeviceNode *node;
    std::u16string linkPath;  // the link object: "\??\<instance path with #>#{guid}"
    bool enabled = false;
};

// By the full name handed to the driver (the link path, plus "\<reference>" if any).
std::mutex g_interfaceLock;
std::map<std::u16string, InterfaceEntry, NoCaseLess> g_interfaces;

std::u16string GuidText(const GUID &guid) {
    char text[40];
    snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
             (unsigned)guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
             guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
             guid.Data4[7]);
    return Utf8ToUtf16(text);
}

NTSTATUS SetLink(const InterfaceEntry &entry, bool enable) {
    if (!enable)
        return ObDeleteSymbolicLink(entry.linkPath);
    NTSTATUS status = ObCreateSymbolicLink(entry.linkPath, ObGetObjectName(entry.node->pdo));
    // Several reference strings share one link.
    return status == STATUS_OBJECT_NAME_COLLISION ? STATUS_SUCCESS : status;
}

bool LinkStillUsed(const std::u16string &linkPath) {
    for (const auto &[name, entry] : g_interfaces)
        if (entry.enabled && EqualNoCase(entry.linkPath, linkPath))
            return true;
    return false;
}

}  // namespace

extern "C" NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                                     const GUID *InterfaceClassGuid,
                                                     PUNICODE_STRING ReferenceString,
                                                     PUNICODE_STRING SymbolicLinkName) {
    KeCheckIrql(PASSIVE_LEVEL, "IoRegisterDeviceInterface", __builtin_return_address(0));
    DeviceNode *node = nullptr;
    {
        std::lock_guard<std::mutex> guard(IoLock());
        node = PhysicalDeviceObject->DeviceObjectExtension->deviceNode;
    }
    if (!node || node->pdo != PhysicalDeviceObject)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string linkPath = u"\\??\\" + node->instancePath;
    for (size_t i = 4; i < linkPath.size(); i++)
        if (linkPath[i] == u'\\')
            linkPath[i] = u'#';
    linkPath += u"#" + GuidText(*InterfaceClassGuid);
    std::u16string name = linkPath;
    if (ReferenceString && ReferenceString->Length)
        name += u"\\" + std::u16string(UnicodeView(ReferenceString));

    auto *buffer = static_cast<char16_t *>(
        ExAllocatePoolWithTag(NonPagedPool, (name.size() + 1) * 2, kInterfacePoolTag));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(buffer, name.c_str(), (name.size() + 1) * 2);
    SymbolicLinkName->Buffer = reinterpret_cast<PWSTR>(buffer);
    SymbolicLinkName->Length = (USHORT)(name.size() * 2);
    SymbolicLinkName->MaximumLength = (USHORT)((name.size() + 1) * 2);

    std::lock_guard<std::mutex> guard(g_interfaceLock);
    if (!g_interfaces.count(name))
        g_interfaces[name] = {*InterfaceClassGuid, node, linkPath, false};
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName,
                                                     BOOLEAN Enable) {
    KeCheckIrql(PASSIVE_LEVEL, "IoSetDeviceInterfaceState", __builtin_return_address(0));
    std::lock_guard<std::mutex> guard(g_interfaceLock);
    auto found = g_interfaces.find(UnicodeView(SymbolicLinkName));
    if (found == g_interfaces.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    InterfaceEntry &entry = found->second;
    if (entry.enabled == (Enable != FALSE))
        return Enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
    entry.enabled = Enable != FALSE;
    if (!Enable && LinkStillUsed(entry.linkPath))
        return STATUS_SUCCESS;
    NTSTATUS status = SetLink(entry, Enable);
    if (!NT_SUCCESS(status))
        entry.enabled = !entry.enabled;
    return status;
}

void PnpRemoveInterfacesOf(DeviceNode *node) {
    std::lock_guard<std::mutex> guard(g_interfaceLock);
    for (auto it = g_interfaces.begin(); it != g_interfaces.end();) {
        if (it->second.node != node) {
            ++it;
            continue;
        }
        InterfaceEntry entry = it->second;
        it = g_interfaces.erase(it);
        if (entry.enabled && !LinkStillUsed(entry.linkPath))
            SetLink(entry, false);
    }
}

void PnpForgetAllInterfaces() {
    std::lock_guard<std::mutex> guard(g_interfaceLock);
    g_interfaces.clear();
}

std::vector<DeviceInterfaceInfo> IoListDeviceInterfaces(const GUID &interfaceClass,
                                                        bool enabledOnly) {
    std::vector<DeviceInterfaceInfo> result;
    std::lock_guard<std::mutex> guard(g_interfaceLock);
    for (const auto &[name, entry] : g_interfaces) {
        if (memcmp(&entry.interfaceClass, &interfaceClass, sizeof(GUID)) != 0)
            continue;
        if (enabledOnly && !entry.enabled)
            continue;
        result.push_back({name, u"\\\\?\\" + name.substr(4), entry.node->instancePath,
                          entry.enabled});
    }
    return result;
}

// Frees a string that the system allocated for the caller (the name
// IoRegisterDeviceInterface returned).
extern "C" VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer)
        ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}
