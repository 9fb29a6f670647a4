// INF files as setup sees them: their class, their models, the INF store and class
// installation.
#include "setup_internal.h"

#include "file_system.h"

#include <setupapi.h>

#include <pnp.h>
#include <registry.h>
#include <ustring.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const char16_t kClassKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";
const DWORD kAssociatedServiceFlag = 0x00000002;  // SPSVCINST_ASSOCSERVICE

// Serializes INF store updates, so that two copies of one INF get one name.
std::mutex g_storeLock;

std::string FileContent(const std::string &hostPath)
{
    std::ifstream file(hostPath, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// Every model line of the INF ("description = install section, hardware ids..."):
// the lines of each manufacturer's models section for this platform.
std::vector<const InfFile::Line *> ModelLines(const InfFile &inf)
{
    std::vector<const InfFile::Line *> lines;
    const std::vector<InfFile::Line> *manufacturers = inf.Section("Manufacturer");
    if (manufacturers == nullptr) {
        return lines;
    }
    for (const InfFile::Line &manufacturer : *manufacturers) {
        const std::vector<InfFile::Line> *models =
            inf.Section(inf.PlatformSection(manufacturer.fields.front()));
        if (models == nullptr) {
            continue;
        }
        for (const InfFile::Line &model : *models) {
            lines.push_back(&model);
        }
    }
    return lines;
}

// Tells Plug and Play which service drives each hardware id of the INF's models, as
// Windows finds a driver in the INF store for a device it has just discovered.
void RegisterModels(const InfFile &inf)
{
    for (const InfFile::Line *model : ModelLines(inf)) {
        std::string service = AssociatedService(inf, model->fields.front());
        for (size_t id = 1; id < model->fields.size() && !service.empty(); ++id) {
            if (!model->fields[id].empty()) {
                PnpSetHardwareIdService(Utf8ToUtf16(model->fields[id]), Utf8ToUtf16(service));
            }
        }
    }
}

// Writes an AddReg section's HKR lines under `key`: string (flags 0), expandable
// string (0x20000) and DWORD (0x10001) values.
void AddRegistryValues(const InfFile &inf, const std::string &section, const std::u16string &key)
{
    const std::vector<InfFile::Line> *lines = inf.Section(section);
    if (lines == nullptr) {
        return;
    }
    for (const InfFile::Line &line : *lines) {
        const std::vector<std::string> &f = line.fields;
        if (f.size() < 5 || !SameName(f[0], "HKR")) {
            continue;
        }
        std::u16string target = f[1].empty() ? key : key + u"\\" + Utf8ToUtf16(f[1]);
        std::u16string name = Utf8ToUtf16(f[2]);
        unsigned long flags = std::strtoul(f[3].c_str(), nullptr, 0);
        if (flags == 0x10001) {
            RegistrySetDword(target, name, std::strtoul(f[4].c_str(), nullptr, 0));
        } else if (flags == 0 || flags == 0x20000) {
            std::u16string text = Utf8ToUtf16(f[4]);
            RegistrySetValue(target, name, flags == 0 ? REG_SZ : REG_EXPAND_SZ, text.c_str(),
                             (text.size() + 1) * sizeof(char16_t));
        }
    }
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

}  // namespace

DWORD LoadInf(const char *windowsPath, InfFile *inf)
{
    std::string hostPath;
    DWORD error = HostPathOf(windowsPath, &hostPath);
    return error == ERROR_SUCCESS ? inf->Load(hostPath) : error;
}

DWORD InfClass(const InfFile &inf, GUID *classGuid, std::string *className)
{
    *className = inf.Value("Version", "Class");
    if (className->empty() || !ParseGuidText(inf.Value("Version", "ClassGuid"), classGuid)) {
        return ERROR_NO_ASSOCIATED_CLASS;
    }
    return ERROR_SUCCESS;
}

bool ParseGuidText(const std::string &text, GUID *guid)
{
    unsigned int data1, data2, data3, bytes[8];
    char close = 0;
    if (text.size() != 38 ||
        std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &data1, &data2,
                    &data3, &bytes[0], &bytes[1], &bytes[2], &bytes[3], &bytes[4], &bytes[5],
                    &bytes[6], &bytes[7], &close) != 12 ||
        close != '}') {
        return false;
    }
    guid->Data1 = data1;
    guid->Data2 = static_cast<USHORT>(data2);
    guid->Data3 = static_cast<USHORT>(data3);
    for (int i = 0; i < 8; ++i) {
        guid->Data4[i] = static_cast<UCHAR>(bytes[i]);
    }
    return true;
}

std::u16string GuidText(const GUID &guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return Utf8ToUtf16(text);
}

DWORD CopyInfToStore(const InfFile &inf, std::string *storeName)
{
    std::lock_guard<std::mutex> guard(g_storeLock);
    fs::path store = HostInfStoreDirectory();
    std::string content = FileContent(inf.hostPath());
    std::string name;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(store, error)) {
        std::string candidate = entry.path().filename().string();
        if (SameName(candidate.substr(0, 3), "oem") && FileContent(entry.path().string()) == content) {
            name = candidate;
            break;
        }
    }
    for (unsigned number = 0; name.empty(); ++number) {
        std::string candidate = "oem" + std::to_string(number) + ".inf";
        if (!fs::exists(store / candidate, error)) {
            std::ofstream file(store / candidate, std::ios::binary);
            file << content;
            if (!file.flush()) {
                return ERROR_GEN_FAILURE;
            }
            name = candidate;
        }
    }
    RegisterModels(inf);
    *storeName = name;
    return ERROR_SUCCESS;
}

std::string FindModelInstallSection(const InfFile &inf, const std::string &hardwareId)
{
    for (const InfFile::Line *model : ModelLines(inf)) {
        for (size_t id = 1; id < model->fields.size(); ++id) {
            if (SameName(model->fields[id], hardwareId)) {
                return model->fields.front();
            }
        }
    }
    return std::string();
}

std::string AssociatedService(const InfFile &inf, const std::string &installSection)
{
    const std::vector<InfFile::Line> *services =
        inf.Section(inf.PlatformSection(installSection) + ".Services");
    if (services == nullptr) {
        return std::string();
    }
    for (const InfFile::Line &line : *services) {
        if (SameName(line.key, "AddService") && line.fields.size() >= 2 &&
            (std::strtoul(line.fields[1].c_str(), nullptr, 0) & kAssociatedServiceFlag)) {
            return line.fields[0];
        }
    }
    return std::string();
}

std::u16string DeviceRecordKey(std::u16string_view instancePath)
{
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + std::u16string(instancePath);
}

void RecordDeviceClass(std::u16string_view instancePath, const GUID &classGuid,
                       const std::string &className)
{
    std::u16string key = DeviceRecordKey(instancePath);
    RegistrySetString(key, u"ClassGUID", GuidText(classGuid));
    RegistrySetString(key, u"Class", Utf8ToUtf16(className));
}

extern "C" BOOL WINAPI SetupCopyOEMInfA(PCSTR SourceInfFileName, PCSTR OEMSourceMediaLocation,
                                        DWORD OEMSourceMediaType, DWORD CopyStyle,
                                        PSTR DestinationInfFileName,
                                        DWORD DestinationInfFileNameSize, PDWORD RequiredSize,
                                        PSTR *DestinationInfFileNameComponent)
{
    // The source location only matters for finding the package's files later; this
    // platform installs them from the INF's own directory.
    UNREFERENCED_PARAMETER(OEMSourceMediaLocation);
    if (OEMSourceMediaType > SPOST_PATH || (CopyStyle & ~static_cast<DWORD>(SP_COPY_NOOVERWRITE))) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    InfFile inf;
    DWORD error = LoadInf(SourceInfFileName, &inf);
    std::string storeName;
    if (error == ERROR_SUCCESS) {
        error = CopyInfToStore(inf, &storeName);
    }
    if (error != ERROR_SUCCESS) {
        return Fail(error);
    }
    std::string fullName = InfStoreWindowsPath(storeName);
    if (RequiredSize != nullptr) {
        *RequiredSize = static_cast<DWORD>(fullName.size() + 1);
    }
    if (DestinationInfFileName != nullptr) {
        if (DestinationInfFileNameSize < fullName.size() + 1) {
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(DestinationInfFileName, fullName.c_str(), fullName.size() + 1);
        if (DestinationInfFileNameComponent != nullptr) {
            *DestinationInfFileNameComponent =
                DestinationInfFileName + fullName.size() - storeName.size();
        }
    }
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetINFClassA(PCSTR InfName, LPGUID ClassGuid, PSTR ClassName,
                                           DWORD ClassNameSize, PDWORD RequiredSize)
{
    if (ClassGuid == nullptr || (ClassName == nullptr && ClassNameSize != 0)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    InfFile inf;
    std::string name;
    DWORD error = LoadInf(InfName, &inf);
    if (error == ERROR_SUCCESS) {
        error = InfClass(inf, ClassGuid, &name);
    }
    if (error != ERROR_SUCCESS) {
        return Fail(error);
    }
    if (RequiredSize != nullptr) {
        *RequiredSize = static_cast<DWORD>(name.size() + 1);
    }
    if (ClassNameSize < name.size() + 1) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(ClassName, name.c_str(), name.size() + 1);
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiInstallClassA(HWND hwndParent, PCSTR InfFileName, DWORD Flags,
                                            HSPFILEQ FileQueue)
{
    UNREFERENCED_PARAMETER(hwndParent);
    UNREFERENCED_PARAMETER(Flags);      // installation here never asks the user anything
    if (FileQueue != nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);  // class installers copy no files here
    }
    InfFile inf;
    GUID classGuid;
    std::string className;
    DWORD error = LoadInf(InfFileName, &inf);
    if (error == ERROR_SUCCESS) {
        error = InfClass(inf, &classGuid, &className);
    }
    std::string section = inf.PlatformSection("ClassInstall32");
    if (error == ERROR_SUCCESS && section.empty()) {
        error = ERROR_SECTION_NOT_FOUND;
    }
    if (error != ERROR_SUCCESS) {
        return Fail(error);
    }
    std::u16string key = std::u16string(kClassKey) + u"\\" + GuidText(classGuid);
    if (!NT_SUCCESS(RegistrySetString(key, u"Class", Utf8ToUtf16(className)))) {
        return Fail(ERROR_GEN_FAILURE);
    }
    for (const InfFile::Line &line : *inf.Section(section)) {
        if (SameName(line.key, "AddReg")) {
            for (const std::string &addReg : line.fields) {
                AddRegistryValues(inf, addReg, key);
            }
        }
    }
    return TRUE;
}
