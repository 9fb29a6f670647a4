// The Rtl registry routines drivers call, on top of the registry store.
#include "ke.h"
#include "pool.h"
#include "registry.h"
#include "ustring.h"

namespace {

// Resolves RelativeTo + Path into a full key path; false for an unsupported base.
bool ResolveKeyPath(ULONG relativeTo, PCWSTR path, std::u16string *full) {
    std::u16string_view tail = WideView(path);
    switch (relativeTo & ~RTL_REGISTRY_OPTIONAL) {
    case RTL_REGISTRY_ABSOLUTE:
        *full = std::u16string(tail);
        return true;
    case RTL_REGISTRY_SERVICES:
        *full = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
        break;
    case RTL_REGISTRY_CONTROL:
        *full = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
        break;
    case RTL_REGISTRY_WINDOWS_NT:
        *full = u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
        break;
    case RTL_REGISTRY_DEVICEMAP:
        *full = u"\\Registry\\Machine\\Hardware\\DeviceMap";
        break;
    default:
        return false;
    }
    if (!tail.empty()) {
        if (tail[0] != u'\\') *full += u'\\';
        *full += tail;
    }
    return true;
}

bool IsStringType(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// RTL_QUERY_REGISTRY_DIRECT: stores the value where EntryContext says, by the
// conventions described at RTL_QUERY_REGISTRY_TABLE.
NTSTATUS StoreDirect(ULONG type, const UCHAR *data, ULONG length, PVOID entryContext,
                     const void *caller) {
    if (IsStringType(type)) {
        auto *string = static_cast<PUNICODE_STRING>(entryContext);
        ULONG textBytes = length;
        while (textBytes >= 2 && data[textBytes - 1] == 0 && data[textBytes - 2] == 0) textBytes -= 2;
        if (textBytes > 0xFFFC) return STATUS_BUFFER_TOO_SMALL;
        if (string->Buffer == nullptr) {
            auto *buffer = static_cast<PWSTR>(
                PoolAllocate(PagedPool, textBytes + sizeof(WCHAR), 0, caller));
            if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
            string->Buffer = buffer;
            string->MaximumLength = USHORT(textBytes + sizeof(WCHAR));
        } else if (textBytes > string->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(string->Buffer, data, textBytes);
        string->Length = USHORT(textBytes);
        if (textBytes + sizeof(WCHAR) <= string->MaximumLength) string->Buffer[textBytes / 2] = 0;
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        memcpy(entryContext, data, length);
        return STATUS_SUCCESS;
    }
    LONG size;
    memcpy(&size, entryContext, sizeof size);
    auto *buffer = static_cast<UCHAR *>(entryContext);
    if (size < 0) {
        if (length > ULONG(-(LONGLONG)size)) return STATUS_BUFFER_TOO_SMALL;
        memcpy(buffer, data, length);
        return STATUS_SUCCESS;
    }
    if (ULONGLONG(length) + 2 * sizeof(ULONG) > ULONGLONG(size)) return STATUS_BUFFER_TOO_SMALL;
    ULONG header[2] = {length, type};
    memcpy(buffer, header, sizeof header);
    memcpy(buffer + sizeof header, data, length);
    return STATUS_SUCCESS;
}

// Hands one value to the entry: direct store, or the query routine (which gets a
// REG_MULTI_SZ string by string unless NOEXPAND is set).
NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE entry, PCWSTR name, ULONG type, const UCHAR *data,
                 ULONG length, PVOID context, const void *caller) {
    if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT)
        return StoreDirect(type, data, length, entry->EntryContext, caller);
    auto *valueName = const_cast<PWSTR>(name);
    auto *mutableData = const_cast<UCHAR *>(data);
    if (type == REG_MULTI_SZ && !(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
        auto *text = reinterpret_cast<const WCHAR *>(data);
        size_t units = length / sizeof(WCHAR);
        for (size_t i = 0; i < units && text[i] != 0;) {
            size_t end = i;
            while (end < units && text[end] != 0) ++end;
            NTSTATUS status = entry->QueryRoutine(valueName, REG_SZ, const_cast<WCHAR *>(text + i),
                                                  ULONG((end - i + 1) * sizeof(WCHAR)), context,
                                                  entry->EntryContext);
            if (!NT_SUCCESS(status)) return status;
            i = end + 1;
        }
        return STATUS_SUCCESS;
    }
    return entry->QueryRoutine(valueName, type, mutableData, length, context, entry->EntryContext);
}

NTSTATUS QueryEntry(const std::u16string &key, PRTL_QUERY_REGISTRY_TABLE entry, PVOID context,
                    const void *caller) {
    if (entry->Name == nullptr) {
        // No name: every value of the key goes to the query routine.
        if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) return STATUS_INVALID_PARAMETER;
        for (const std::u16string &name : RegistryEnumerateValues(key)) {
            RegistryValue value;
            if (!NT_SUCCESS(RegistryQueryValue(key, name, &value))) continue;
            std::u16string terminated = name;
            NTSTATUS status = Deliver(entry, reinterpret_cast<PCWSTR>(terminated.c_str()), value.type,
                                      value.data.data(), ULONG(value.data.size()), context, caller);
            if (!NT_SUCCESS(status)) return status;
        }
        return STATUS_SUCCESS;
    }
    RegistryValue value;
    NTSTATUS status = RegistryQueryValue(key, WideView(entry->Name), &value);
    if (!NT_SUCCESS(status)) {
        if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (entry->DefaultType == REG_NONE || entry->DefaultData == nullptr) return STATUS_SUCCESS;
        ULONG length = entry->DefaultLength;
        if (length == 0 && IsStringType(entry->DefaultType))
            length = ULONG((WideView(static_cast<PCWSTR>(entry->DefaultData)).size() + 1) * sizeof(WCHAR));
        return Deliver(entry, entry->Name, entry->DefaultType,
                       static_cast<const UCHAR *>(entry->DefaultData), length, context, caller);
    }
    status = Deliver(entry, entry->Name, value.type, value.data.data(), ULONG(value.data.size()),
                     context, caller);
    if (NT_SUCCESS(status) && (entry->Flags & RTL_QUERY_REGISTRY_DELETE))
        RegistryDeleteValue(key, WideView(entry->Name));
    return status;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID) {
    const void *caller = __builtin_return_address(0);
    KeCheckIrql(PASSIVE_LEVEL, "RtlQueryRegistryValues", caller);
    std::u16string top;
    if (!ResolveKeyPath(RelativeTo, Path, &top)) return STATUS_INVALID_PARAMETER;
    if (!RegistryKeyExists(top)) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::u16string key = top;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
        if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) key = top;
        if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            key = top + u"\\" + std::u16string(WideView(entry->Name));
            if (!RegistryKeyExists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
            if (entry->QueryRoutine == nullptr) continue;
        }
        if (entry->QueryRoutine == nullptr && !(entry->Flags & RTL_QUERY_REGISTRY_DIRECT))
            return STATUS_INVALID_PARAMETER;
        NTSTATUS status = QueryEntry(key, entry, Context, caller);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength) {
    KeCheckIrql(PASSIVE_LEVEL, "RtlWriteRegistryValue", __builtin_return_address(0));
    std::u16string key;
    if (!ResolveKeyPath(RelativeTo, Path, &key)) return STATUS_INVALID_PARAMETER;
    return RegistrySetValue(key, WideView(ValueName), ValueType, ValueData, ValueLength);
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    KeCheckIrql(PASSIVE_LEVEL, "RtlDeleteRegistryValue", __builtin_return_address(0));
    std::u16string key;
    if (!ResolveKeyPath(RelativeTo, Path, &key)) return STATUS_INVALID_PARAMETER;
    return RegistryDeleteValue(key, WideView(ValueName));
}

}  // extern "C"
