// The machine's registry: keys and typed values, kept in memory and written through
// to a readable text file in the state directory on every change. Paths are full
// ("\Registry\Machine\System\CurrentControlSet\Services\kelu"), case-insensitive;
// value names are case-insensitive too, "" is the key's default value.
// \Registry\Machine\Hardware is volatile, as on Windows: drivers rebuild it (the
// SERIALCOMM device map) at every boot, so it is not written to the file.
#pragma once

#include <wdm.h>

#include <string>
#include <string_view>
#include <vector>

struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;
};

bool RegistryKeyExists(std::u16string_view key);
// Creates the key and any missing parents.
NTSTATUS RegistryCreateKey(std::u16string_view key);
// Deletes the key with its values and subkeys; STATUS_OBJECT_NAME_NOT_FOUND if missing.
NTSTATUS RegistryDeleteKeyTree(std::u16string_view key);
// Creates the key if it is missing.
NTSTATUS RegistrySetValue(std::u16string_view key, std::u16string_view name, ULONG type,
                          const void *data, size_t length);
// The same for a key that must exist: STATUS_OBJECT_NAME_NOT_FOUND, changing nothing,
// when it does not.
NTSTATUS RegistrySetValueOfExistingKey(std::u16string_view key, std::u16string_view name,
                                       ULONG type, const void *data, size_t length);
NTSTATUS RegistryQueryValue(std::u16string_view key, std::u16string_view name,
                            RegistryValue *value);
NTSTATUS RegistryDeleteValue(std::u16string_view key, std::u16string_view name);
// Names of the subkeys / values, sorted case-insensitively.
std::vector<std::u16string> RegistryEnumerateSubkeys(std::u16string_view key);
std::vector<std::u16string> RegistryEnumerateValues(std::u16string_view key);

// Typed helpers. Strings are stored as REG_SZ with their terminating zero.
NTSTATUS RegistrySetString(std::u16string_view key, std::u16string_view name,
                           std::u16string_view text);
NTSTATUS RegistrySetDword(std::u16string_view key, std::u16string_view name, ULONG value);
NTSTATUS RegistryQueryString(std::u16string_view key, std::u16string_view name,
                             std::u16string *text);
NTSTATUS RegistryQueryDword(std::u16string_view key, std::u16string_view name, ULONG *value);

// A kernel handle (OBJ_KERNEL_HANDLE) to the key at this path, granting `access` (generic
// rights mapped to the key rights they stand for), for ZwSetValueKey; ZwClose closes it.
// The key itself is neither created nor checked here.
NTSTATUS RegistryOpenKeyHandle(std::u16string_view key, ACCESS_MASK access, HANDLE *handle);
