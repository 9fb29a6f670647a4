// The registry as applications read it: keys opened under HKEY_LOCAL_MACHINE, their
// values enumerated and queried in the ANSI code page. Reads go to the machine's
// registry at the moment of the call.
#include "registry_keys.h"

#include "win32_internal.h"

#include <machine.h>
#include <registry.h>
#include <ustring.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

namespace {

const char16_t kMachineRoot[] = u"\\Registry\\Machine";

struct OpenKey {
    std::u16string path;
};

// The keys handed out and not yet closed, so that a stale or foreign handle is refused.
std::mutex g_keysLock;
std::set<OpenKey *> g_keys;

bool IsPredefined(HKEY key)
{
    return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE ||
           key == HKEY_USERS;
}

// The path an open key or HKEY_LOCAL_MACHINE names; ERROR_INVALID_HANDLE otherwise.
// The other predefined roots hold nothing on this machine: ERROR_FILE_NOT_FOUND.
// The registry calls that read through a key start here, so this is where a process
// that has no machine yet boots one.
LSTATUS KeyPath(HKEY key, std::u16string *path)
{
    MachineCurrent();
    if (key == HKEY_LOCAL_MACHINE) {
        *path = kMachineRoot;
        return ERROR_SUCCESS;
    }
    if (IsPredefined(key)) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::lock_guard<std::mutex> guard(g_keysLock);
    auto found = g_keys.find(reinterpret_cast<OpenKey *>(key));
    if (found == g_keys.end()) {
        return ERROR_INVALID_HANDLE;
    }
    *path = (*found)->path;
    return ERROR_SUCCESS;
}

// The path of an open key that still exists.
LSTATUS ExistingKeyPath(HKEY key, std::u16string *path)
{
    LSTATUS status = KeyPath(key, path);
    if (status == ERROR_SUCCESS && !RegistryKeyExists(*path)) {
        return ERROR_KEY_DELETED;
    }
    return status;
}

bool IsStringType(ULONG type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// A value's data as the -A calls return it: strings in the ANSI code page, with the
// zeros they are stored with; other types as stored.
std::string AnsiData(const RegistryValue &value)
{
    if (!IsStringType(value.type)) {
        return std::string(value.data.begin(), value.data.end());
    }
    std::u16string text(value.data.size() / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), value.data.data(), text.size() * sizeof(char16_t));
    return Utf16ToUtf8(text);
}

// Hands out a value's type and data under the size rules every query shares: with no
// buffer only the size; a buffer too small gives ERROR_MORE_DATA and the size needed.
LSTATUS DeliverValue(const RegistryValue &value, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    std::string data = AnsiData(value);
    if (lpType != nullptr) {
        *lpType = value.type;
    }
    if (lpcbData == nullptr) {
        return ERROR_SUCCESS;
    }
    DWORD available = *lpcbData;
    *lpcbData = static_cast<DWORD>(data.size());
    if (lpData == nullptr) {
        return ERROR_SUCCESS;
    }
    if (available < data.size()) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpData, data.data(), data.size());
    return ERROR_SUCCESS;
}

LSTATUS ReadValue(const std::u16string &path, std::u16string_view name, RegistryValue *value)
{
    NTSTATUS status = RegistryQueryValue(path, name, value);
    if (NT_SUCCESS(status)) {
        return ERROR_SUCCESS;
    }
    return status == STATUS_OBJECT_NAME_NOT_FOUND ? ERROR_FILE_NOT_FOUND
                                                  : static_cast<LSTATUS>(Win32ErrorFromStatus(status));
}

}  // namespace

bool IsReadOnlyAccess(REGSAM samDesired)
{
    return (samDesired & ~static_cast<REGSAM>(KEY_READ | KEY_WOW64_64KEY | KEY_WOW64_32KEY)) == 0;
}

HKEY OpenRegistryKeyHandle(const std::u16string &path)
{
    auto *key = new OpenKey{path};
    std::lock_guard<std::mutex> guard(g_keysLock);
    g_keys.insert(key);
    return reinterpret_cast<HKEY>(key);
}

extern "C" LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                                        REGSAM samDesired, PHKEY phkResult)
{
    if (phkResult == nullptr || ulOptions != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    std::u16string path;
    LSTATUS status = KeyPath(hKey, &path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (!IsReadOnlyAccess(samDesired)) {
        return ERROR_ACCESS_DENIED;
    }
    std::string subKey = lpSubKey != nullptr ? lpSubKey : "";
    while (!subKey.empty() && subKey.back() == '\\') {
        subKey.pop_back();
    }
    if (!subKey.empty() && (subKey.front() == '\\' || subKey.find("\\\\") != std::string::npos)) {
        return ERROR_BAD_PATHNAME;
    }
    if (!subKey.empty()) {
        path += u"\\" + Utf8ToUtf16(subKey);
    }
    if (!RegistryKeyExists(path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    *phkResult = OpenRegistryKeyHandle(path);
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    if (IsPredefined(hKey)) {
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> guard(g_keysLock);
    auto found = g_keys.find(reinterpret_cast<OpenKey *>(hKey));
    if (found == g_keys.end()) {
        return ERROR_INVALID_HANDLE;
    }
    delete *found;
    g_keys.erase(found);
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass,
                                           LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                           LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                           LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                                           LPDWORD lpcbMaxValueLen,
                                           LPDWORD lpcbSecurityDescriptor,
                                           PFILETIME lpftLastWriteTime)
{
    if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    std::u16string path;
    LSTATUS status = ExistingKeyPath(hKey, &path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::vector<std::u16string> subkeys = RegistryEnumerateSubkeys(path);
    std::vector<std::u16string> values = RegistryEnumerateValues(path);
    DWORD longestSubkey = 0;
    for (const std::u16string &name : subkeys) {
        longestSubkey = std::max(longestSubkey, static_cast<DWORD>(Utf16ToUtf8(name).size()));
    }
    DWORD longestName = 0;
    DWORD largestData = 0;
    for (const std::u16string &name : values) {
        longestName = std::max(longestName, static_cast<DWORD>(Utf16ToUtf8(name).size()));
        RegistryValue value;
        if (NT_SUCCESS(RegistryQueryValue(path, name, &value))) {
            largestData = std::max(largestData, static_cast<DWORD>(AnsiData(value).size()));
        }
    }
    // Keys here have no class, no security descriptor and no recorded write time.
    if (lpClass != nullptr && *lpcchClass > 0) {
        lpClass[0] = 0;
    }
    if (lpcchClass != nullptr) *lpcchClass = 0;
    if (lpcSubKeys != nullptr) *lpcSubKeys = static_cast<DWORD>(subkeys.size());
    if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = longestSubkey;
    if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = 0;
    if (lpcValues != nullptr) *lpcValues = static_cast<DWORD>(values.size());
    if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = longestName;
    if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = largestData;
    if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName,
                                        LPDWORD lpcchValueName, LPDWORD lpReserved,
                                        LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    std::u16string path;
    LSTATUS status = ExistingKeyPath(hKey, &path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::vector<std::u16string> values = RegistryEnumerateValues(path);
    if (dwIndex >= values.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    std::string name = Utf16ToUtf8(values[dwIndex]);
    if (name.size() + 1 > *lpcchValueName) {
        return ERROR_MORE_DATA;
    }
    RegistryValue value;
    status = ReadValue(path, values[dwIndex], &value);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::memcpy(lpValueName, name.c_str(), name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(name.size());
    return DeliverValue(value, lpType, lpData, lpcbData);
}

extern "C" LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                           LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    std::u16string path;
    LSTATUS status = ExistingKeyPath(hKey, &path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    RegistryValue value;
    status = ReadValue(path, Utf8ToUtf16(lpValueName != nullptr ? lpValueName : ""), &value);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return DeliverValue(value, lpType, lpData, lpcbData);
}
