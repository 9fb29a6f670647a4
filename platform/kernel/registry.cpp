// The registry store and its text file. The whole file is rewritten after every
// change: written to a new file, flushed to disk, renamed over the old one, and the
// folder flushed, so that a machine stopped at any instant leaves either the state
// before the change or the state after it.
//
// File format, one line each:
//   ; Registry of an emulated machine. ...       (the header)
//   [\Registry\Machine\System\CurrentControlSet\Services\kelu]
//   "Start"=dword:00000003
//   "ImagePath"=sz:"C:\\kelu.sys"
//   "ConnectionMap"=hex(3):ff,ff,...
//   ; end                                        (the last line)
// A file that does not read back whole is refused at boot and kept as it is: taking
// it for an empty registry would lose the installation and every port.
#include "registry.h"

#include "ke_internal.h"
#include "machine.h"
#include "ustring.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
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

// The header of the files this registry writes, which end with kLastLine. A file
// with another header is one of an earlier kind, which had no last line.
const char kHeader[] =
    "; Registry of an emulated machine. Written on every change; the last line is \"; end\".";
const char kLastLine[] = "; end";

bool WriteAll(int file, const std::string &text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t count = write(file, text.data() + done, text.size() - done);
        if (count < 0 && errno != EINTR) return false;
        if (count > 0) done += size_t(count);
    }
    return true;
}

// Writes `text` to `path` so that a crash at any instant leaves the old file or the
// new one. False when a step failed: up to the rename, the old file is still there.
bool ReplaceFileDurably(const std::string &path, const std::string &text) {
    std::string temporary = path + ".new";
    int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) return false;
    bool written = WriteAll(file, text) && fsync(file) == 0;
    written = close(file) == 0 && written;
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) return false;
    // The rename itself reaches the disk with the folder.
    std::string folder = path.substr(0, path.rfind('/') + 1);
    int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) return false;
    bool flushed = fsync(directory) == 0;
    close(directory);
    return flushed;
}

// A failed write is not reported to the caller, as a failed disk write is not to a
// registry call on Windows: the change stays in memory and the next save carries it.
void SaveLocked() {
    if (g_sealed) return;
    std::ostringstream out;
    out << kHeader << "\n";
    WriteKey(out, kRoot, *g_root);
    out << kLastLine << "\n";
    ReplaceFileDurably(g_file, out.str());
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

bool IsHexDigits(const std::string &text) {
    return !text.empty() && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

// "ff,00,7a": two hex digits per byte; the empty list is no bytes.
bool ParseHexBytes(const std::string &text, std::vector<UCHAR> *bytes) {
    bytes->clear();
    for (size_t at = 0; at < text.size(); at += 3) {
        std::string byte = text.substr(at, 2);
        if (byte.size() != 2 || !IsHexDigits(byte) || (at + 2 < text.size() && text[at + 2] != ','))
            return false;
        bytes->push_back(UCHAR(strtoul(byte.c_str(), nullptr, 16)));
    }
    return text.empty() || text.back() != ',';
}

// One value line, whole: a line cut short anywhere fails here.
bool ParseValue(const std::string &line, std::u16string *name, RegistryValue *value) {
    size_t position = 0;
    if (!ParseQuoted(line, &position, name) || position >= line.size() || line[position] != '=')
        return false;
    std::string rest = line.substr(position + 1);
    auto setString = [&](ULONG type, size_t prefix) {
        size_t at = prefix;
        std::u16string text;
        if (!ParseQuoted(rest, &at, &text) || at != rest.size()) return false;
        value->type = type;
        value->data.resize((text.size() + 1) * 2);
        memcpy(value->data.data(), text.c_str(), value->data.size());
        return true;
    };
    if (rest.rfind("sz:", 0) == 0) return setString(REG_SZ, 3);
    if (rest.rfind("expand_sz:", 0) == 0) return setString(REG_EXPAND_SZ, 10);
    if (rest.rfind("dword:", 0) == 0) {
        std::string digits = rest.substr(6);
        if (digits.size() != 8 || !IsHexDigits(digits)) return false;
        ULONG dword = ULONG(strtoul(digits.c_str(), nullptr, 16));
        value->type = REG_DWORD;
        value->data.resize(4);
        memcpy(value->data.data(), &dword, 4);
        return true;
    }
    unsigned type;
    int consumed = 0;
    if (sscanf(rest.c_str(), "hex(%u):%n", &type, &consumed) != 1 || consumed == 0) return false;
    value->type = type;
    return ParseHexBytes(rest.substr(size_t(consumed)), &value->data);
}

// One line of the file into the tree; false if it is not a line this registry writes.
bool LoadLine(const std::string &line, Key **key) {
    if (line.empty() || line[0] == ';') return true;
    if (line[0] == '[') {
        if (line.back() != ']') return false;
        *key = FindKeyLocked(Utf8ToUtf16(line.substr(1, line.size() - 2)), true);
        return *key != nullptr;
    }
    std::u16string name;
    RegistryValue value;
    if (*key == nullptr || !ParseValue(line, &name, &value)) return false;
    (*key)->values[name] = std::move(value);
    return true;
}

std::string Shortened(const std::string &line) {
    const size_t kShown = 60;
    return line.size() <= kShown ? line : line.substr(0, kShown) + "...";
}

// Fills the tree from the file; a missing file is a new machine's empty registry.
// False with a sentence naming the file and its first bad line otherwise.
bool LoadLocked(std::string *error) {
    std::ifstream in(g_file, std::ios::binary);
    if (!in) return true;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string damaged = "the registry file " + g_file + " is damaged";
    std::istringstream lines(text);
    std::string line;
    Key *key = nullptr;
    unsigned long number = 0;
    bool hasLastLine = false;
    while (std::getline(lines, line)) {
        ++number;
        if (!LoadLine(line, &key)) {
            *error = damaged + " at line " + std::to_string(number) + " (\"" + Shortened(line) + "\")";
            return false;
        }
        hasLastLine = line == kLastLine;
    }
    bool ofThisKind = text.rfind(kHeader, 0) == 0;
    if (text.empty()) {
        *error = damaged + ": it is empty";
        return false;
    }
    if (text.back() != '\n' || (ofThisKind && !hasLastLine)) {
        *error = damaged + ": it is cut short after line " + std::to_string(number);
        return false;
    }
    return true;
}

}  // namespace

bool RegistryStart(const std::string &stateDirectory, std::string *error) {
    std::lock_guard<std::mutex> lock(g_registryLock);
    g_root = std::make_unique<Key>();
    g_file = stateDirectory + "/registry.txt";
    g_sealed = false;
    if (!LoadLocked(error)) {
        *error += "; it is kept as it is";
        g_root.reset();
        return false;
    }
    for (const char16_t *path :
         {u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
          u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
          u"\\Registry\\Machine\\Software", u"\\Registry\\Machine\\Hardware\\DeviceMap"})
        FindKeyLocked(path, true);
    SaveLocked();
    return true;
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

namespace {

NTSTATUS SetValue(std::u16string_view key, std::u16string_view name, ULONG type,
                  const void *data, size_t length, bool createKey) {
    MachineCurrent();
    std::lock_guard<std::mutex> lock(g_registryLock);
    Key *found = FindKeyLocked(key, createKey);
    if (found == nullptr) return createKey ? STATUS_OBJECT_NAME_INVALID : STATUS_OBJECT_NAME_NOT_FOUND;
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

}  // namespace

NTSTATUS RegistrySetValue(std::u16string_view key, std::u16string_view name, ULONG type,
                          const void *data, size_t length) {
    return SetValue(key, name, type, data, length, true);
}

NTSTATUS RegistrySetValueOfExistingKey(std::u16string_view key, std::u16string_view name,
                                       ULONG type, const void *data, size_t length) {
    return SetValue(key, name, type, data, length, false);
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
    if (found == nullptr || found->values.erase(std::u16string(name)) == 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
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
