// Installation and removal of the driver package: the port driver's service, its INF
// and driver file where Plug and Play and the service control manager find them, its
// setup class, and the bus enumerator's root device; removal takes them away again.
// Only the platform's setup, file and service-control calls are used; the library
// writes no registry values of its own.
#include "keluapi.h"
#include "device_client.h"

#include <windows.h>
#include <winsvc.h>
#include <setupapi.h>
#include <newdev.h>
#include <string.h>

namespace {

const char kPortServiceName[] = "KELU";
const char kPortServiceDisplayName[] = "Pellix Virtual Serial Ports";
// Absolute: Windows resolves a path relative to the system root alike, but other NT
// implementations (Wine) load a driver only from a path rooted at \SystemRoot or \??.
const char kPortServiceImagePath[] = "\\SystemRoot\\System32\\DRIVERS\\kelu.sys";
const char kPortServiceGroup[] = "Pellix Group";
const char kBusServiceName[] = "KELBUS";
const char kBusHardwareId[] = "Pellix_Virtual_Bus_Enumerator";

const char kPortInfName[] = "kelu.inf";
const char kPortDriverName[] = "kelu.sys";
const char kBusInfName[] = "kelbus.inf";
const char kDriverTargetSuffix[] = "\\drivers\\kelu.sys";

// Waiting after the old service was deleted lets the service control manager finish
// with it before the name is created again.
const DWORD kServiceRecreateDelayMs = 2000;

const size_t kMaxPackagePathLength = 260;
// A package file name: the longest accepted path, a backslash and the longest file
// name with its terminating zero, so no accepted path can overflow it.
const size_t kPackageFileNameLength = kMaxPackagePathLength + 1 + sizeof(kBusInfName);
const UINT kSystemDirectoryLength = 520;

const ULONG kLastPortNumber = 255;

// The platform's longest setup class name with its zero (MAX_CLASS_NAME_LEN, which
// not every SDK's setupapi.h defines).
const DWORD kClassNameLength = 32;

enum class SearchResult { Found, NotFound, Failed };

// The path with a backslash (unless it ends in one) and the file name appended.
void PackageFileName(const char* path, const char* file, char (&name)[kPackageFileNameLength])
{
    size_t length = strlen(path);
    memcpy(name, path, length);
    if (name[length - 1] != '\\') {
        name[length++] = '\\';
    }
    memcpy(name + length, file, strlen(file) + 1);
}

bool PackageFileExists(const char* name)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(name, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(search);
    return true;
}

// Whether a multi-string of `size` bytes holds `id`: each entry in turn up to an empty
// one or the end, compared exactly (case-sensitive, the current code page's bytes).
bool MultiStringContains(const char* entries, DWORD size, const char* id)
{
    size_t idLength = strlen(id);
    DWORD offset = 0;
    while (offset < size && entries[offset] != 0) {
        size_t length = strnlen(entries + offset, size - offset);
        if (length == idLength && memcmp(entries + offset, id, idLength) == 0) {
            return true;
        }
        offset += static_cast<DWORD>(length) + 1;
    }
    return false;
}

// Reads a device's hardware ids, growing a zero-filled buffer while the call asks for
// more. Returns ERROR_SUCCESS with the buffer (freed by the caller with LocalFree) or
// the error of the read; ERROR_INVALID_DATA means the device has none.
DWORD ReadHardwareIds(HDEVINFO devices, SP_DEVINFO_DATA* device, char** ids, DWORD* size)
{
    char* buffer = nullptr;
    DWORD required = 0;
    while (!SetupDiGetDeviceRegistryPropertyA(devices, device, SPDRP_HARDWAREID, nullptr,
                                              reinterpret_cast<PBYTE>(buffer), required,
                                              &required)) {
        DWORD error = LastErrorOfFailure();
        LocalFree(buffer);
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            return error;
        }
        buffer = static_cast<char*>(LocalAlloc(LMEM_ZEROINIT, required));
        if (buffer == nullptr) {
            return LastErrorOfFailure();
        }
    }
    *ids = buffer;
    *size = required;
    return ERROR_SUCCESS;
}

// Walks a device list for the first device whose hardware ids include `id`. Not found
// leaves ERROR_NO_MORE_ITEMS in the last error, a failed read its own error.
SearchResult FindInDeviceList(HDEVINFO devices, const char* id, SP_DEVINFO_DATA* found)
{
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof(device);
        if (!SetupDiEnumDeviceInfo(devices, index, &device)) {
            SetLastError(ERROR_NO_MORE_ITEMS);
            return SearchResult::NotFound;
        }
        char* ids = nullptr;
        DWORD size = 0;
        DWORD error = ReadHardwareIds(devices, &device, &ids, &size);
        if (error == ERROR_INVALID_DATA) {
            continue;
        }
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return SearchResult::Failed;
        }
        bool match = MultiStringContains(ids, size, id);
        LocalFree(ids);
        if (match) {
            *found = device;
            return SearchResult::Found;
        }
    }
}

// Destroys a device list without disturbing the last error of the outcome.
void DestroyDeviceList(HDEVINFO devices)
{
    DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(devices);
    SetLastError(error);
}

HDEVINFO ListPresentDevices()
{
    return SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
}

SearchResult FindDeviceByHardwareId(const char* id)
{
    HDEVINFO devices = ListPresentDevices();
    if (devices == INVALID_HANDLE_VALUE) {
        return SearchResult::Failed;
    }
    SP_DEVINFO_DATA device;
    SearchResult result = FindInDeviceList(devices, id, &device);
    DestroyDeviceList(devices);
    return result;
}

// Creates and registers a new root-enumerated device of the INF's class carrying `id`
// and installs the INF's driver on it. Returns ERROR_SUCCESS or the error of the step
// that failed.
DWORD CreateBusEnumeratorDevice(const char* id, const char* inf, BOOL* rebootRequired)
{
    GUID classGuid;
    char className[kClassNameLength];
    if (!SetupDiGetINFClassA(inf, &classGuid, className, sizeof(className), nullptr)) {
        return LastErrorOfFailure();
    }
    HDEVINFO devices = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
    if (devices == INVALID_HANDLE_VALUE) {
        return LastErrorOfFailure();
    }
    // The hardware id as a list of one entry: its bytes, its zero and the list's zero.
    DWORD idsSize = static_cast<DWORD>(strlen(id) + 2);
    char* ids = static_cast<char*>(LocalAlloc(LMEM_ZEROINIT, idsSize));
    if (ids == nullptr) {
        DWORD error = LastErrorOfFailure();
        DestroyDeviceList(devices);
        return error;
    }
    memcpy(ids, id, idsSize - 2);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    if (!SetupDiCreateDeviceInfoA(devices, className, &classGuid, nullptr, nullptr,
                                  DICD_GENERATE_ID, &device) ||
        !SetupDiSetDeviceRegistryPropertyA(devices, &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(ids), idsSize) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, devices, &device)) {
        DWORD error = LastErrorOfFailure();
        LocalFree(ids);
        DestroyDeviceList(devices);
        return error;
    }
    LocalFree(ids);
    DWORD error = ERROR_SUCCESS;
    if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, id, inf, INSTALLFLAG_FORCE, rebootRequired)) {
        error = LastErrorOfFailure();
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
            // The new device stays registered; a restart completes the old deletion.
            error = KELU_ERROR_SERVICE_MARKED_FOR_DELETE;
        } else if (error != ERROR_NO_SUCH_DEVINST &&
                   !SetupDiCallClassInstaller(DIF_REMOVE, devices, &device)) {
            error = LastErrorOfFailure();
        }
    }
    DestroyDeviceList(devices);
    return error;
}

// Steps 2 to 5 of the installation: the port driver's service, re-created.
DWORD RecreatePortService()
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return LastErrorOfFailure();
    }
    SC_HANDLE service = OpenServiceA(manager, kPortServiceName, SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        DeleteService(service);
        CloseServiceHandle(service);
        Sleep(kServiceRecreateDelayMs);
    }
    service = CreateServiceA(manager, kPortServiceName, kPortServiceDisplayName, SERVICE_ALL_ACCESS,
                             SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             kPortServiceImagePath, kPortServiceGroup, nullptr, nullptr, nullptr,
                             nullptr);
    if (service == nullptr) {
        DWORD error = LastErrorOfFailure();
        if (error != ERROR_SERVICE_EXISTS) {
            CloseServiceHandle(manager);
            return error;
        }
    } else {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return ERROR_SUCCESS;
}

// Copies an INF of the package into the INF store; the copy's result is not examined.
DWORD CopyPackageInf(const char* path, const char* file)
{
    char name[kPackageFileNameLength];
    PackageFileName(path, file, name);
    if (!PackageFileExists(name)) {
        return KELU_ERROR_BAD_PACKAGE_PATH;
    }
    SetupCopyOEMInfA(name, nullptr, SPOST_NONE, 0, nullptr, 0, nullptr, nullptr);
    return ERROR_SUCCESS;
}

DWORD InstallDrivers(const char* path)
{
    size_t length = strlen(path);
    if (length == 0 || length > kMaxPackagePathLength) {
        return KELU_ERROR_BAD_PACKAGE_PATH;
    }
    DWORD error = RecreatePortService();
    if (error != ERROR_SUCCESS) {
        return error;
    }

    // Room for the suffix after the longest directory the buffer can take.
    char driverTarget[kSystemDirectoryLength + sizeof(kDriverTargetSuffix)];
    UINT directoryLength = GetSystemDirectoryA(driverTarget, kSystemDirectoryLength);
    if (directoryLength == 0) {
        return LastErrorOfFailure();
    }
    if (directoryLength >= kSystemDirectoryLength) {
        return ERROR_INSUFFICIENT_BUFFER;  // the buffer holds no directory name then
    }
    memcpy(driverTarget + directoryLength, kDriverTargetSuffix, sizeof(kDriverTargetSuffix));

    error = CopyPackageInf(path, kPortInfName);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    char driverSource[kPackageFileNameLength];
    PackageFileName(path, kPortDriverName, driverSource);
    if (!PackageFileExists(driverSource)) {
        return KELU_ERROR_BAD_PACKAGE_PATH;
    }
    CopyFileA(driverSource, driverTarget, FALSE);
    error = CopyPackageInf(path, kBusInfName);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    char portInf[kPackageFileNameLength];
    char busInf[kPackageFileNameLength];
    PackageFileName(path, kPortInfName, portInf);
    PackageFileName(path, kBusInfName, busInf);
    SetupDiInstallClassA(nullptr, portInf, DI_QUIETINSTALL, nullptr);

    // The reboot indication is not reported to the caller.
    BOOL rebootRequired = FALSE;
    switch (FindDeviceByHardwareId(kBusHardwareId)) {
    case SearchResult::Found:
        if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, kBusHardwareId, busInf, INSTALLFLAG_FORCE,
                                                &rebootRequired)) {
            error = LastErrorOfFailure();
            if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
                // The installation counts as complete; the caller learns of the pending
                // deletion from the last error.
                SetLastError(KELU_ERROR_SERVICE_MARKED_FOR_DELETE);
                return ERROR_SUCCESS;
            }
            return error;
        }
        return ERROR_SUCCESS;
    case SearchResult::NotFound:
        return CreateBusEnumeratorDevice(kBusHardwareId, busInf, &rebootRequired);
    case SearchResult::Failed:
    default:
        return LastErrorOfFailure();
    }
}

// Removes the first device carrying the bus enumerator's hardware id.
DWORD RemoveBusEnumeratorDevice()
{
    HDEVINFO devices = ListPresentDevices();
    if (devices == INVALID_HANDLE_VALUE) {
        return LastErrorOfFailure();
    }
    SP_DEVINFO_DATA device;
    DWORD error = ERROR_SUCCESS;
    switch (FindInDeviceList(devices, kBusHardwareId, &device)) {
    case SearchResult::Found:
        if (!SetupDiCallClassInstaller(DIF_REMOVE, devices, &device)) {
            error = LastErrorOfFailure();
        }
        break;
    case SearchResult::NotFound:
    case SearchResult::Failed:
        error = LastErrorOfFailure();
        break;
    }
    DestroyDeviceList(devices);
    return error;
}

void DeleteServiceIfPresent(SC_HANDLE manager, const char* name)
{
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        DeleteService(service);
        CloseServiceHandle(service);
    }
}

DWORD UninstallDrivers()
{
    for (ULONG port = 1; port <= kLastPortNumber; ++port) {
        keluUnplugPort(port);
    }
    DWORD error = RemoveBusEnumeratorDevice();
    if (error != ERROR_SUCCESS) {
        return error;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return LastErrorOfFailure();
    }
    DeleteServiceIfPresent(manager, kPortServiceName);
    DeleteServiceIfPresent(manager, kBusServiceName);
    CloseServiceHandle(manager);
    return ERROR_SUCCESS;
}

}  // namespace

int keluInstallDrivers(char* path)
{
    if (path == nullptr) {
        return CompleteExport(ERROR_INVALID_PARAMETER);
    }
    return CompleteExport(InstallDrivers(path));
}

int keluUninstallDrivers()
{
    return CompleteExport(UninstallDrivers());
}
