// The registry store and its text file. The whole file is rewritten (to a temporary
// file, then renamed over the old one) after every change, so that a machine that
// stops at any moment leaves the last complete state behind.
//
// File format, one line each:
//   [\Registry\Machine\System\CurrentControlSet\Services\kelu]
//   "Start"=dword:00000003
//   "ImagePath"=sz:"C:\\kelu.sys"
//   "ConnectionMap"=hex(3):ff,ff,...
#include "registry.h"

#include "ke_internal.h"
#include "machine.h"
#include "ustring.h"

#include <stdio.h>

#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

namespace {

struct Key {
    std::map<std::u16string, std::unique_ptr<Key>, NoCaseLess> subkeys;
    std::map<std::u16string, RegistryValue, NoCaseLess> values;
};

const std::u16string kRoot = u"\\Registry";
// Not persisted: rebuilt by drivers at every boot, as on Windows.
const std::u16string kVolatile = u"\\Registry\\Machine\\Hardware";

std::mutex g_registryLock;
std::unique_ptr<Key> g_root;
std::string g_file;
// Set while the machine powers off: what the drivers change while their stacks are
// torn down stays in memory and never reaches the file, as on a machine switched off.
bool g_sealed = false;

// Splits "\Registry\A\B" into {"A", "B"}; false if the path is not under \Registry.
bool SplitKeyPath(std::u16string_view path, std::vector<std::u16string> *components) {
    while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
    if (path.size() < kRoot.size() || !EqualNoCase(path.substr(0, kRoot.size()), kRoot))
        return false;
    path.remove_prefix(kRoot.size());
    if (!path.empty() && path[0] != u'\\') return false;
    components->clear();
    while (!path.empty()) {
        path.remove_prefix(1);
        size_t next = path.find(u'\\');
        std::u16string_view component = path.substr(0, next);
        if (component.empty()) return false;
        components->emplace_back(component);
        path = next == std::u16string_view::npos ? std::u16string_view() : path.substr(next);
    }
    return true;
}

Key *FindKeyLocked(std::u16string_view path, bool create) {
    std::vector<std::u16string> components;
    if (g_root == nullptr || !SplitKeyPath(path, &components)) return nullptr;
    Key *key = g_root.get();
    for (auto &component : components) {
        auto it = key->subkeys.find(component);
        if (it == key->subkeys.end()) {
            if (!create) return nullptr;
            it = key->subkeys.emplace(component, std::make_unique<Key>()).first;
        }
        key = it->second.get();
    }
    return key;
}

// The names in one of a key's maps (subkeys or values), in its order; none when the
// key does not exist.
template <typename Map>
std::vector<std::u16string> EnumerateNames(std::u16string_view key, Map Key::*map) {
    MachineCurrent();
    std::lock_guard<std::mutex> lock(g_registryLock);
    std::vector<std::u16string> names;
    if (Key *found = FindKeyLocked(key, false))
        for (auto &entry : found->*map) names.push_back(entry.first);
    return names;
}

// ---- text file

std::string Quote(std::u16string_view text) {
    std::string out = "\"";
    for (char c : Utf16ToUtf8(text)) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

// A string value is written as text when it reads back to the same bytes.
bool IsPlainString(const RegistryValue &value, std::u16string *text) {
    if (value.data.size() < 2 || value.data.size() % 2 != 0) return false;
    std::u16string units(value.data.size() / 2, u'\0');
    memcpy(units.data(), value.data.data(), value.data.size());
    if (units.back() != 0) return false;
    units.pop_back();
    for (char16_t c : units)
        if (c < 0x20) return false;
    *text = units;
    return true;
}

std::string FormatValue(const std::u16string &name, const RegistryValue &value) {
    std::string line = Quote(name) + "=";
    std::u16string text;
    char buffer[32];
    if ((value.type == REG_SZ || value.type == REG_EXPAND_SZ) && IsPlainString(value, &text))
        return line + (value.type == REG_SZ ? "sz:" : "expand_sz:") + Quote(text);
    if (value.type == REG_DWORD && value.data.size() == 4) {
        ULONG dword;
        memcpy(&dword, value.data.data(), 4);
        snprintf(buffer, sizeof buffer, "dword:%08x", dword);
        return line + buffer;
    }
    snprintf(buffer, sizeof buffer, "hex(%u):", value.type);
    line += buffer;
    for (size_t i = 0; i < value.data.size(); ++i) {
        snprintf(buffer, sizeof buffer, i == 0 ? "%02x" : ",%02x", value.data[i]);
        line += buffer;
    }
    return line;
}

void WriteKey(std::ostream &out, const std::u16string &path, const Key &key) {
    if (EqualNoCase(path, kVolatile)) return;
    out << "[" << Utf16ToUtf8(path) << "]\n";
    for (auto &value : key.values) out << FormatValue(value.first, value.second) << "\n";
    for (auto &subkey : key.subkeys) WriteKey(out, path + u"\\" + subkey.first, *subkey.second);
}

void SaveLocked() {
    if (g_sealed) return;
    std::string temporary = g_file + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << "; Registry of an emulated machine. Written on every change.\n";
        WriteKey(out, kRoot, *g_root);
    }
    rename(temporary.c_str(), g_file.c_str());
}

// Reads a quoted string at text[*position]; false if malformed.
bool ParseQuoted(const std::string &text, size_t *position, std::u16string *result) {
    if (*position >= text.size() || text[*position] != '"') return false;
    std::string raw;
    for (size_t i = *position + 1; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            raw.push_back(text[++i]);
        } else if (text[i] == '"') {
            *position = i + 1;
            *result = Utf8ToUtf16(raw);
            return true;
        } else {
            raw.push_back(text[i]);
        }
    }
    return false;
}

bool ParseValue(const std::string &line, std::u16string *name, RegistryValue *value) {
    size_t position = 0;
    if (!ParseQuoted(line, &position, name) || position >= line.size() || line[position] != '=')
        return false;
    std::string rest = line.substr(position + 1);
    auto setString = [&](ULONG type, size_t prefix) {
        size_t at = prefix;
        std::u16string text;
        if (!ParseQuoted(rest, &at, &text)) return false;
        value->type = type;
        value->data.resize((text.size() + 1) * 2);
        memcpy(value->data.data(), text.c_str(), value->data.size());
        return true;
    };
    if (rest.rfind("sz:", 0) == 0) return setString(REG_SZ, 3);
    if (rest.rfind("expand_sz:", 0) == 0) return setString(REG_EXPAND_SZ, 10);
    if (rest.rfind("dword:", 0) == 0) {
        ULONG dword = ULONG(strtoul(rest.c_str() + 6, nullptr, 16));
        value->type = REG_DWORD;
        value->data.resize(4);
        memcpy(value->data.data(), &dword, 4);
        return true;
    }
    unsigned type;
    int consumed = 0;
    if (sscanf(rest.c_str(), "hex(%u):%n", &type, &consumed) != 1 || consumed == 0) return false;
    value->type = type;
    value->data.clear();
    std::istringstream bytes(rest.substr(size_t(consumed)));
    std::string byte;
    while (std::getline(bytes, byte, ','))
        if (!byte.empty()) value->data.push_back(UCHAR(strtoul(byte.c_str(), nullptr, 16)));
    return true;
}

void LoadLocked() {
    std::ifstream in(g_file);
    std::string line;
    Key *key = nullptr;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            size_t end = line.rfind(']');
            key = end == std::string::npos ? nullptr
                                           : FindKeyLocked(Utf8ToUtf16(line.substr(1, end - 1)), true);
            continue;
        }
        std::u16string name;
        RegistryValue value;
        if (key != nullptr && ParseValue(line, &name, &value)) key->values[name] = std::move(value);
    }
}

}  // namespace

void RegistryStart(const std::string &stateDirectory) {
    std::lock_guard<std::mutex> lock(g_registryLock);
    g_root = std::make_unique<Key>();
    g_file = stateDirectory + "/registry.txt";
    g_sealed = false;
    LoadLocked();
    for (const char16_t *path :
         {u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
          u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
          u"\\Registry\\Machine\\Software", u"\\Registry\\Machine\\Hardware\\DeviceMap"})
        FindKeyLocked(path, true);
    SaveLocked();
}

void RegistrySeal() {
    std::lock_guard<std::mutex> lock(g_registryLock);
    g_sealed = true;
}

void RegistryStop() {
    std::lock_guard<std::mutex> lock(g_registryLock);
    g_root.reset();
}

bool RegistryKeyExists(std::u16string_view key) {
    MachineCurrent();
    std::lock_guard<std::mutex> lock(g_registryLock);
    return FindKeyLocked(key, false) != nullptr;
}

NTSTATUS RegistryCreateKey(std::u16string_view key) {
    MachineCurrent();
    std::lock_guard<std::mutex> lock(g_registryLock);
    if (FindKeyLocked(key, false) != nullptr) return STATUS_SUCCESS;
    if (FindKeyLocked(key, true) == nullptr) return STATUS_OBJECT_NAME_INVALID;
    SaveLocked();
    return STATUS_SUCCESS;
}

NTSTATUS RegistryDeleteKeyTree(std::u16string_view key) {
    MachineCurrent();
    std::u16string path(key);
    while (!path.empty() && path.back() == u'\\') path.pop_back();
    size_t slash = path.rfind(u'\\');
    if (slash == std::u16string::npos || slash == 0) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> lock(g_registryLock);
    Key *parent = FindKeyLocked(std::u16string_view(path).substr(0, slash), false);
    if (parent == nullptr || parent->subkeys.erase(path.substr(slash + 1)) == 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    SaveLocked();
    return STATUS_SUCCESS;
}

NTSTATUS RegistrySetValue(std::u16string_view key, std::u16string_view name, ULONG type,
                          const void *data, size_t length) {
    MachineCurrent();
    std::lock_guard<std::mutex> lock(g_registryLock);
    Key *found = FindKeyLocked(key, true);
    if (found == nullptr) return STATUS_OBJECT_NAME_INVALID;
    RegistryValue value;
    value.type = type;
    value.data.assign(static_cast<const UCHAR *>(data), static_cast<const UCHAR *>(data) + length);
    // Keep the spelling of an existing name, as Windows does.
    auto it = found->values.find(name);
    if (it != found->values.end())
        it->second = std::move(value);
    else
        found->values.emplace(std::u16string(name), std::move(value));
    SaveLocked();
    return STATUS_SUCCESS;
}

NTSTATUS RegistryQueryValue(std::u16string_view key, std::u16string_view name,
                            RegistryValue *value) {
    MachineCurrent();
    std::lock_guard<std::mutex> lock(g_registryLock);
    Key *found = FindKeyLocked(key, false);
    if (found == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto it = found->values.find(name);
    if (it == found->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    *value = it->second;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryDeleteValue(std::u16string_view key, std::u16string_view name) {
    MachineCurrent();
    std::lock_guard<std::mutex> lock(g_registryLock);
    Key *found = FindKeyLocked(key, false);
    if (found == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto it = found->values.find(name);
    if (it == found->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    found->values.erase(it);
    SaveLocked();
    return STATUS_SUCCESS;
}

std::vector<std::u16string> RegistryEnumerateSubkeys(std::u16string_view key) {
    return EnumerateNames(key, &Key::subkeys);
}

std::vector<std::u16string> RegistryEnumerateValues(std::u16string_view key) {
    return EnumerateNames(key, &Key::values);
}

NTSTATUS RegistrySetString(std::u16string_view key, std::u16string_view name,
                           std::u16string_view text) {
    std::u16string terminated(text);
    return RegistrySetValue(key, name, REG_SZ, terminated.c_str(),
                            (terminated.size() + 1) * sizeof(char16_t));
}

NTSTATUS RegistrySetDword(std::u16string_view key, std::u16string_view name, ULONG value) {
    return RegistrySetValue(key, name, REG_DWORD, &value, sizeof value);
}

NTSTATUS RegistryQueryString(std::u16string_view key, std::u16string_view name,
                             std::u16string *text) {
    RegistryValue value;
    NTSTATUS status = RegistryQueryValue(key, name, &value);
    if (!NT_SUCCESS(status)) return status;
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return STATUS_OBJECT_TYPE_MISMATCH;
    std::u16string units(value.data.size() / 2, u'\0');
    memcpy(units.data(), value.data.data(), units.size() * 2);
    while (!units.empty() && units.back() == 0) units.pop_back();
    *text = units;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryQueryDword(std::u16string_view key, std::u16string_view name, ULONG *value) {
    RegistryValue raw;
    NTSTATUS status = RegistryQueryValue(key, name, &raw);
    if (!NT_SUCCESS(status)) return status;
    if (raw.type != REG_DWORD || raw.data.size() != 4) return STATUS_OBJECT_TYPE_MISMATCH;
    memcpy(value, raw.data.data(), 4);
    return STATUS_SUCCESS;
}
