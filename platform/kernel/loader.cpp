// Driver loading and unloading.
#include "loader.h"

#include "io_manager.h"
#include "ke.h"
#include "machine.h"
#include "pool.h"
#include "registry.h"
#include "ustring.h"
#include "verifier.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>

struct DriverRecord {
    std::u16string service;
    std::u16string registryPath;  // buffer of the RegistryPath that DriverEntry gets
    std::u16string driverName;
    std::string imageName;
    void *image = nullptr;        // dlopen handle of the fresh copy; null when built in
    PDRIVER_INITIALIZE entry = nullptr;
    bool platform = false;
    int pnpDevices = 0;
    int liveDevices = 0;
    bool unloaded = false;        // DriverUnload has run
};

namespace {

std::mutex g_builtinLock;
std::map<std::u16string, PDRIVER_INITIALIZE, NoCaseLess> &Builtins() {
    static std::map<std::u16string, PDRIVER_INITIALIZE, NoCaseLess> builtins;
    return builtins;
}

// Loaded drivers by service; guarded by g_loaderLock, which also guards the counts in
// every DriverRecord. Loads are serialized by g_loadLock, held while DriverEntry runs.
std::mutex g_loaderLock;
std::mutex g_loadLock;
std::map<std::u16string, PDRIVER_OBJECT, NoCaseLess> g_loaded;
std::atomic<unsigned> g_imageCounter{0};

DriverRecord *RecordOf(PDRIVER_OBJECT driver) {
    return reinterpret_cast<DriverObjectBody *>(driver)->record;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void DriverDeleted(void *object) {
    delete RecordOf(static_cast<PDRIVER_OBJECT>(object));
}

PDRIVER_OBJECT CreateDriverObject(std::u16string_view service, const char16_t *directory) {
    auto *body = static_cast<DriverObjectBody *>(
        ObCreateObject(&IoDriverObjectType, sizeof(DriverObjectBody)));
    auto *record = new DriverRecord;
    body->record = record;
    record->service = service;
    record->registryPath = LoaderServiceKey(service);
    record->driverName = std::u16string(directory) + std::u16string(service);
    PDRIVER_OBJECT driver = &body->driver;
    driver->Type = 4;
    driver->Size = (CSHORT)sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &body->extension;
    body->extension.DriverObject = driver;
    auto setString = [](UNICODE_STRING &target, std::u16string &text) {
        target.Buffer = reinterpret_cast<PWSTR>(text.data());
        target.Length = target.MaximumLength = (USHORT)(text.size() * 2);
    };
    setString(body->extension.ServiceKeyName, record->service);
    setString(driver->DriverName, record->driverName);
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction)
        dispatch = InvalidDeviceRequest;
    ObInsertObject(driver, record->driverName, 0);
    return driver;
}

// Removes the driver object; its image goes when it has no device objects left.
void DestroyDriverObject(PDRIVER_OBJECT driver) {
    ObMakeTemporaryObject(driver);
    ObfDereferenceObject(driver);
}

// Finds the file an image path names: a host path, or one under the system root
// whose components match case-insensitively, as Windows paths do.
std::string ResolveImagePath(std::u16string imagePath) {
    if (!imagePath.empty() && imagePath[0] == u'/')
        return Utf16ToUtf8(imagePath);
    for (std::u16string prefix : {u"\\SystemRoot\\", u"\\??\\"}) {
        if (imagePath.size() > prefix.size() &&
            EqualNoCase(std::u16string_view(imagePath).substr(0, prefix.size()), prefix))
            imagePath.erase(0, prefix.size());
    }
    std::filesystem::path path = LoaderSystemRootDirectory();
    size_t start = 0;
    while (start <= imagePath.size()) {
        size_t end = imagePath.find(u'\\', start);
        if (end == std::u16string::npos)
            end = imagePath.size();
        std::string component = Utf16ToUtf8(imagePath.substr(start, end - start));
        start = end + 1;
        if (component.empty())
            continue;
        std::filesystem::path exact = path / component;
        std::error_code error;
        if (!std::filesystem::exists(exact, error) && std::filesystem::is_directory(path, error)) {
            for (const auto &entry : std::filesystem::directory_iterator(path, error)) {
                if (EqualNoCase(Utf8ToUtf16(entry.path().filename().string()),
                                Utf8ToUtf16(component))) {
                    exact = entry.path();
                    break;
                }
            }
        }
        path = exact;
    }
    return path.string();
}

// Maps a private copy of the image, so that each load starts with zeroed globals.
NTSTATUS MapFreshImage(const std::string &hostPath, DriverRecord *record) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(hostPath, error)) {
        MachineLog("loader: image " + hostPath + " not found");
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::filesystem::path copy =
        std::filesystem::temp_directory_path(error) /
        ("driver-image-" + std::to_string(getpid()) + "-" +
         std::to_string(g_imageCounter.fetch_add(1)) + "-" +
         std::filesystem::path(hostPath).filename().string());
    if (!std::filesystem::copy_file(hostPath, copy, error)) {
        MachineLog("loader: cannot copy " + hostPath + ": " + error.message());
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    void *image = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    std::filesystem::remove(copy, error);
    if (!image) {
        MachineLog(std::string("loader: cannot map ") + hostPath + ": " + dlerror());
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image, "DriverEntry"));
    if (!entry) {
        MachineLog("loader: " + hostPath + " has no DriverEntry");
        dlclose(image);
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    record->image = image;
    record->entry = entry;
    record->imageName = std::filesystem::path(hostPath).filename().string();
    return STATUS_SUCCESS;
}

NTSTATUS FindEntry(std::u16string_view service, DriverRecord *record) {
    {
        std::lock_guard<std::mutex> guard(g_builtinLock);
        auto builtin = Builtins().find(service);
        if (builtin != Builtins().end()) {
            record->entry = builtin->second;
            record->imageName = Utf16ToUtf8(service) + " (built in)";
            return STATUS_SUCCESS;
        }
    }
    std::u16string key = LoaderServiceKey(service);
    if (!RegistryKeyExists(key)) {
        MachineLog("loader: no service " + Utf16ToUtf8(service));
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::u16string imagePath;
    if (!NT_SUCCESS(RegistryQueryString(key, u"ImagePath", &imagePath)))
        imagePath = u"System32\\drivers\\" + std::u16string(service) + u".sys";
    while (!imagePath.empty() && imagePath.back() == 0)
        imagePath.pop_back();
    return MapFreshImage(ResolveImagePath(imagePath), record);
}

// The image goes after DriverUnload and after the last device object of the driver.
void ReleaseImage(PDRIVER_OBJECT driver) {
    DriverRecord *record = RecordOf(driver);
    if (record->image) {
        if (!IoIsStopping())
            PoolCheckLeaksForImage((const void *)record->entry, record->imageName.c_str());
        dlclose(record->image);
        record->image = nullptr;
    }
    DestroyDriverObject(driver);
}

void Unload(PDRIVER_OBJECT driver) {
    DriverRecord *record = RecordOf(driver);
    if (!driver->DriverUnload)
        return;  // a driver without an unload routine stays loaded, as on Windows
    {
        std::lock_guard<std::mutex> guard(g_loaderLock);
        g_loaded.erase(record->service);
    }
    driver->DriverUnload(driver);
    if (driver->DeviceObject)
        VerifierStop("DEVICES_LEFT_AT_UNLOAD", (const void *)driver->DriverUnload,
                     "%s unloaded without deleting device %p", record->imageName.c_str(),
                     (void *)driver->DeviceObject);
    bool release;
    {
        std::lock_guard<std::mutex> guard(g_loaderLock);
        record->unloaded = true;
        release = record->liveDevices == 0;
    }
    if (release)
        ReleaseImage(driver);
}

}  // namespace

ObjectType IoDriverObjectType = {"Driver", nullptr, DriverDeleted, nullptr};

void LoaderRegisterBuiltinDriver(std::u16string_view service, PDRIVER_INITIALIZE entry) {
    std::lock_guard<std::mutex> guard(g_builtinLock);
    Builtins()[std::u16string(service)] = entry;
}

void LoaderUnregisterBuiltinDriver(std::u16string_view service) {
    std::lock_guard<std::mutex> guard(g_builtinLock);
    Builtins().erase(std::u16string(service));
}

std::u16string LoaderServiceKey(std::u16string_view service) {
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(service);
}

NTSTATUS LoaderInstallService(std::u16string_view service, std::u16string_view imagePath) {
    std::u16string key = LoaderServiceKey(service);
    std::u16string text(imagePath);
    NTSTATUS status = RegistrySetValue(key, u"ImagePath", REG_EXPAND_SZ, text.c_str(),
                                       (text.size() + 1) * sizeof(char16_t));
    if (NT_SUCCESS(status))
        status = RegistrySetDword(key, u"Type", 1);
    if (NT_SUCCESS(status))
        status = RegistrySetDword(key, u"Start", 3);
    return status;
}

std::string LoaderSystemRootDirectory() {
    Machine *machine = MachineCurrent();
    return machine->stateDirectory + "/windows";
}

NTSTATUS LoaderLoadDriver(std::u16string_view service, PDRIVER_OBJECT *result) {
    KeCheckIrql(PASSIVE_LEVEL, "LoaderLoadDriver", __builtin_return_address(0));
    std::lock_guard<std::mutex> loading(g_loadLock);
    if (PDRIVER_OBJECT loaded = LoaderFindDriver(service)) {
        *result = loaded;
        return STATUS_SUCCESS;
    }
    DriverRecord probe;
    NTSTATUS status = FindEntry(service, &probe);
    if (!NT_SUCCESS(status))
        return status;
    PDRIVER_OBJECT driver = CreateDriverObject(service, u"\\Driver\\");
    DriverRecord *record = RecordOf(driver);
    record->image = probe.image;
    record->entry = probe.entry;
    record->imageName = probe.imageName;
    driver->DriverInit = probe.entry;

    UNICODE_STRING registryPath;
    registryPath.Buffer = reinterpret_cast<PWSTR>(record->registryPath.data());
    registryPath.Length = registryPath.MaximumLength = (USHORT)(record->registryPath.size() * 2);
    status = record->entry(driver, &registryPath);
    if (!NT_SUCCESS(status)) {
        MachineLog("loader: DriverEntry of " + record->imageName + " failed");
        if (driver->DeviceObject)
            VerifierStop("DRIVER_ENTRY_FAILED_WITH_DEVICES", (const void *)record->entry,
                         "DriverEntry of %s returned 0x%08X but left device objects",
                         record->imageName.c_str(), (unsigned)status);
        record->unloaded = true;
        ReleaseImage(driver);
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(IoLock());
        for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice)
            device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    {
        std::lock_guard<std::mutex> guard(g_loaderLock);
        g_loaded[record->service] = driver;
    }
    *result = driver;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT LoaderFindDriver(std::u16string_view service) {
    std::lock_guard<std::mutex> guard(g_loaderLock);
    auto found = g_loaded.find(service);
    return found == g_loaded.end() ? nullptr : found->second;
}

void LoaderAddPnpDevice(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(g_loaderLock);
    RecordOf(driver)->pnpDevices++;
}

void LoaderRemovePnpDevice(PDRIVER_OBJECT driver) {
    bool last;
    {
        std::lock_guard<std::mutex> guard(g_loaderLock);
        last = --RecordOf(driver)->pnpDevices == 0;
    }
    if (last)
        Unload(driver);
}

void LoaderDeviceCreated(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(g_loaderLock);
    RecordOf(driver)->liveDevices++;
}

void LoaderDeviceFreed(PDRIVER_OBJECT driver) {
    bool release;
    {
        std::lock_guard<std::mutex> guard(g_loaderLock);
        DriverRecord *record = RecordOf(driver);
        release = --record->liveDevices == 0 && record->unloaded;
    }
    if (release)
        ReleaseImage(driver);
}

PDRIVER_OBJECT LoaderCreatePlatformDriver(std::u16string_view name) {
    PDRIVER_OBJECT driver = CreateDriverObject(name, u"\\Driver\\");
    RecordOf(driver)->platform = true;
    return driver;
}

void LoaderUnloadIfUnused(PDRIVER_OBJECT driver) {
    bool unused;
    {
        std::lock_guard<std::mutex> guard(g_loaderLock);
        unused = RecordOf(driver)->pnpDevices == 0;
    }
    if (unused)
        Unload(driver);
}

void LoaderDestroyPlatformDriver(PDRIVER_OBJECT driver) {
    bool release;
    {
        std::lock_guard<std::mutex> guard(g_loaderLock);
        DriverRecord *record = RecordOf(driver);
        record->unloaded = true;
        release = record->liveDevices == 0;
    }
    if (release)
        ReleaseImage(driver);
}

void LoaderShutdown() {
    std::vector<PDRIVER_OBJECT> remaining;
    {
        std::lock_guard<std::mutex> guard(g_loaderLock);
        for (auto &entry : g_loaded)
            remaining.push_back(entry.second);
    }
    for (PDRIVER_OBJECT driver : remaining)
        Unload(driver);
    std::lock_guard<std::mutex> guard(g_loaderLock);
    g_loaded.clear();
}
