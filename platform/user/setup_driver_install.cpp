// Installing a driver package's driver on Plug and Play devices: the files and
// services of the INF's install section, then the devices restarted with it.
#include "setup_internal.h"

#include "file_system.h"
#include "service_control.h"

#include <newdev.h>
#include <setupapi.h>

#include <machine.h>
#include <pnp.h>
#include <registry.h>
#include <ustring.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The host directory of a directory id of DestinationDirs, or "" for one this
// machine does not have.
std::string DirectoryOfId(unsigned long directoryId)
{
    switch (directoryId) {
    case 10:
        return HostWindowsDirectory();
    case 11:
        return fs::path(HostDriversDirectory()).parent_path().string();
    case 12:
        return HostDriversDirectory();
    case 17:
        return HostInfStoreDirectory();
    default:
        return std::string();
    }
}

std::string HostRelative(const std::string &windowsRelative)
{
    std::string path = windowsRelative;
    for (char &c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    return path;
}

const std::vector<InfFile::Line> *PlatformList(const InfFile &inf, const std::string &name)
{
    const std::vector<InfFile::Line> *lines = inf.Section(name + ".x86");
    return lines != nullptr ? lines : inf.Section(name);
}

const InfFile::Line *FindLine(const std::vector<InfFile::Line> *lines, const std::string &key)
{
    if (lines != nullptr) {
        for (const InfFile::Line &line : *lines) {
            if (SameName(line.key, key)) {
                return &line;
            }
        }
    }
    return nullptr;
}

// Where a copy section's files go: its DestinationDirs entry, else DefaultDestDir.
DWORD DestinationOf(const InfFile &inf, const std::string &copySection, std::string *hostDirectory)
{
    const std::vector<InfFile::Line> *destinations = inf.Section("DestinationDirs");
    const InfFile::Line *line = FindLine(destinations, copySection);
    if (line == nullptr) {
        line = FindLine(destinations, "DefaultDestDir");
    }
    if (line == nullptr) {
        return ERROR_LINE_NOT_FOUND;
    }
    std::string directory = DirectoryOfId(std::strtoul(line->fields[0].c_str(), nullptr, 0));
    if (directory.empty()) {
        return ERROR_DI_BAD_PATH;
    }
    if (line->fields.size() > 1 && !line->fields[1].empty()) {
        directory = (fs::path(directory) / HostRelative(line->fields[1])).string();
    }
    *hostDirectory = directory;
    return ERROR_SUCCESS;
}

// A package file in the INF's directory: under its disk's path ([SourceDisksNames],
// fourth field) and its own subdirectory ([SourceDisksFiles], second field).
std::string SourceOf(const InfFile &inf, const std::string &file)
{
    fs::path source = inf.hostDirectory();
    if (const InfFile::Line *entry = FindLine(PlatformList(inf, "SourceDisksFiles"), file)) {
        const InfFile::Line *disk = FindLine(PlatformList(inf, "SourceDisksNames"),
                                             entry->fields[0]);
        if (disk != nullptr && disk->fields.size() > 3) {
            source /= HostRelative(disk->fields[3]);
        }
        if (entry->fields.size() > 1) {
            source /= HostRelative(entry->fields[1]);
        }
    }
    return (source / file).lexically_normal().string();
}

// One entry of a CopyFiles line: "@file" or the name of a copy section whose lines
// are "target[, source]".
DWORD CopyFiles(const InfFile &inf, const std::string &entry)
{
    if (!entry.empty() && entry[0] == '@') {
        std::string directory;
        DWORD error = DestinationOf(inf, "DefaultDestDir", &directory);
        return error != ERROR_SUCCESS ? error
                                      : CopyHostFile(SourceOf(inf, entry.substr(1)),
                                                     (fs::path(directory) / entry.substr(1)).string(),
                                                     false);
    }
    const std::vector<InfFile::Line> *files = inf.Section(entry);
    if (files == nullptr) {
        return ERROR_SECTION_NOT_FOUND;
    }
    std::string directory;
    DWORD error = DestinationOf(inf, entry, &directory);
    for (size_t i = 0; i < files->size() && error == ERROR_SUCCESS; ++i) {
        const InfFile::Line &file = (*files)[i];
        const std::string &target = file.fields[0];
        const std::string &source =
            file.fields.size() > 1 && !file.fields[1].empty() ? file.fields[1] : target;
        error = CopyHostFile(SourceOf(inf, source), (fs::path(directory) / target).string(), false);
    }
    return error;
}

// The image path the loader reads for a ServiceBinary such as "%12%\kelbus.sys":
// relative to the Windows directory, as Windows records it.
std::string ImagePathOf(const std::string &binary)
{
    const struct {
        const char *directoryId;
        const char *relative;
    } kDirectories[] = {{"%10%\\", ""}, {"%11%\\", "System32\\"}, {"%12%\\", "System32\\DRIVERS\\"}};
    for (const auto &directory : kDirectories) {
        size_t length = std::strlen(directory.directoryId);
        if (binary.size() > length && binary.compare(0, length, directory.directoryId) == 0) {
            return directory.relative + binary.substr(length);
        }
    }
    return binary;
}

// "AddService = name, flags, service-install-section": the service record, created
// or brought up to date.
DWORD AddService(const InfFile &inf, const InfFile::Line &line)
{
    if (line.fields.size() < 3 || inf.Section(line.fields[2]) == nullptr) {
        return ERROR_SECTION_NOT_FOUND;
    }
    const std::string &section = line.fields[2];
    auto number = [&](const char *key) {
        return static_cast<DWORD>(std::strtoul(inf.Value(section, key).c_str(), nullptr, 0));
    };
    ServiceConfig config{line.fields[0],
                         inf.Value(section, "DisplayName"),
                         number("ServiceType"),
                         number("StartType"),
                         number("ErrorControl"),
                         ImagePathOf(inf.Value(section, "ServiceBinary")),
                         inf.Value(section, "LoadOrderGroup")};
    if (config.imagePath.empty()) {
        return ERROR_LINE_NOT_FOUND;
    }
    return WriteServiceRecord(config, ExistingService::Update);
}

bool HasHardwareId(const PnpDeviceInfo &device, const std::string &hardwareId)
{
    for (const std::u16string &id : device.hardwareIds) {
        if (EqualNoCase(id, Utf8ToUtf16(hardwareId))) {
            return true;
        }
    }
    return false;
}

// A root-enumerated device gets its new service by being recorded again under the
// same root name, which removes its old stack and starts the new one.
void RestartRootDevice(const PnpDeviceInfo &device, const std::string &service,
                       const GUID &classGuid, const std::string &className)
{
    std::u16string_view path = device.instancePath;
    size_t nameStart = path.find(u'\\') + 1;
    std::u16string name(path.substr(nameStart, path.rfind(u'\\') - nameStart));
    std::u16string instancePath;
    PnpRemoveRootDevice(device.instancePath);
    if (NT_SUCCESS(PnpCreateRootDevice(name, device.hardwareIds.empty() ? u"" : device.hardwareIds[0],
                                       Utf8ToUtf16(service), &instancePath))) {
        RecordDeviceClass(instancePath, classGuid, className);
    }
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

}  // namespace

DWORD InstallDriverSection(const InfFile &inf, const std::string &installSection)
{
    std::string section = inf.PlatformSection(installSection);
    if (section.empty()) {
        return ERROR_SECTION_NOT_FOUND;
    }
    DWORD error = ERROR_SUCCESS;
    for (const InfFile::Line &line : *inf.Section(section)) {
        if (SameName(line.key, "CopyFiles")) {
            for (size_t i = 0; i < line.fields.size() && error == ERROR_SUCCESS; ++i) {
                error = CopyFiles(inf, line.fields[i]);
            }
        }
    }
    if (const std::vector<InfFile::Line> *services = inf.Section(section + ".Services")) {
        for (size_t i = 0; i < services->size() && error == ERROR_SUCCESS; ++i) {
            if (SameName((*services)[i].key, "AddService")) {
                error = AddService(inf, (*services)[i]);
            }
        }
    }
    return error;
}

extern "C" BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND hwndParent, LPCSTR HardwareId,
                                                          LPCSTR FullInfPath, DWORD InstallFlags,
                                                          PBOOL bRebootRequired)
{
    UNREFERENCED_PARAMETER(hwndParent);
    if (HardwareId == nullptr || *HardwareId == 0 || FullInfPath == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (InstallFlags & ~static_cast<DWORD>(INSTALLFLAG_BITS)) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    MachineCurrent();
    InfFile inf;
    DWORD error = LoadInf(FullInfPath, &inf);
    if (error != ERROR_SUCCESS) {
        return Fail(error);
    }
    std::vector<PnpDeviceInfo> devices;
    for (const PnpDeviceInfo &device : PnpListDevices()) {
        if (HasHardwareId(device, HardwareId)) {
            devices.push_back(device);
        }
    }
    if (devices.empty()) {
        return Fail(ERROR_NO_SUCH_DEVINST);
    }
    std::string installSection = FindModelInstallSection(inf, HardwareId);
    if (installSection.empty()) {
        return Fail(ERROR_NO_DRIVER_SELECTED);
    }
    GUID classGuid;
    std::string className;
    std::string storeName;
    error = InfClass(inf, &classGuid, &className);
    if (error == ERROR_SUCCESS) {
        error = CopyInfToStore(inf, &storeName);
    }
    if (error == ERROR_SUCCESS) {
        error = InstallDriverSection(inf, installSection);
    }
    if (error != ERROR_SUCCESS) {
        return Fail(error);
    }
    std::string service = AssociatedService(inf, installSection);
    // A device that already runs this service keeps running; the files just copied
    // take effect when its driver is next loaded, as Windows replaces a loaded driver.
    // Devices of another bus can only be restarted by their bus: they need a reboot.
    BOOL reboot = FALSE;
    for (const PnpDeviceInfo &device : devices) {
        if (device.started && EqualNoCase(device.service, Utf8ToUtf16(service))) {
            RecordDeviceClass(device.instancePath, classGuid, className);
        } else if (EqualNoCase(device.instancePath.substr(0, 5), u"ROOT\\")) {
            RestartRootDevice(device, service, classGuid, className);
        } else {
            RecordDeviceClass(device.instancePath, classGuid, className);
            reboot = TRUE;
        }
    }
    if (bRebootRequired != nullptr) {
        *bRebootRequired = reboot;
    }
    return TRUE;
}
