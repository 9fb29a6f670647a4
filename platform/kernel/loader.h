// Driver objects and driver images. A driver is loaded for its service when Plug and
// Play first needs it: each load copies the image to a fresh file and maps that, so
// the driver's globals start zeroed as after a real load. A driver is unloaded after
// its last Plug and Play device is removed: DriverUnload, then, once the last of its
// device objects is freed, the pool leak check for the image and the unmapping.
#pragma once

#include <wdm.h>

#include <string>
#include <string_view>

// What a load reports for a file that is not a loadable image.
#ifndef STATUS_INVALID_IMAGE_FORMAT
#define STATUS_INVALID_IMAGE_FORMAT ((NTSTATUS)0xC000007BL)
#endif

struct DriverRecord;

// The body of a driver object.
struct DriverObjectBody {
    DRIVER_OBJECT driver;
    DRIVER_EXTENSION extension;
    DriverRecord *record;
};

// Registers a driver linked into the calling program under a service name. A
// service with a built-in driver loads it instead of an image; its globals are not
// reset between loads and its pool is not checked at unload. Process-wide.
void LoaderRegisterBuiltinDriver(std::u16string_view service, PDRIVER_INITIALIZE entry);
void LoaderUnregisterBuiltinDriver(std::u16string_view service);

// "\Registry\Machine\System\CurrentControlSet\Services\<service>"
std::u16string LoaderServiceKey(std::u16string_view service);
// Writes a kernel driver service: ImagePath (REG_EXPAND_SZ), Type 1, Start 3.
// ImagePath is a host path, or relative to the machine's system root
// ("System32\drivers\x.sys", optionally after "\SystemRoot\").
NTSTATUS LoaderInstallService(std::u16string_view service, std::u16string_view imagePath);
// The host directory that relative image paths start from: <state dir>/windows.
std::string LoaderSystemRootDirectory();

// The driver object of a service, loading the driver first if needed (DriverEntry
// runs in the calling thread). It stays valid while the driver has Plug and Play
// devices (LoaderAddPnpDevice). Fails with the status of the load: STATUS_OBJECT_NAME_NOT_FOUND when the service or its image is missing,
// STATUS_INVALID_IMAGE_FORMAT when it cannot be mapped, or DriverEntry's status.
NTSTATUS LoaderLoadDriver(std::u16string_view service, PDRIVER_OBJECT *driver);
// The loaded driver of a service, or null.
PDRIVER_OBJECT LoaderFindDriver(std::u16string_view service);

// Plug and Play's count of the device stacks a driver has joined through AddDevice.
// When the last one is removed the driver is unloaded (in the calling thread).
void LoaderAddPnpDevice(PDRIVER_OBJECT driver);
void LoaderRemovePnpDevice(PDRIVER_OBJECT driver);

// Device objects of the driver (IoCreateDevice / the last reference of one).
void LoaderDeviceCreated(PDRIVER_OBJECT driver);
void LoaderDeviceFreed(PDRIVER_OBJECT driver);

// Unloads a loaded driver that has no Plug and Play device (its AddDevice failed).
void LoaderUnloadIfUnused(PDRIVER_OBJECT driver);

// A driver object owned by the platform itself (no image, never unloaded), and its
// end at machine shutdown.
PDRIVER_OBJECT LoaderCreatePlatformDriver(std::u16string_view name);
void LoaderDestroyPlatformDriver(PDRIVER_OBJECT driver);

// Machine shutdown: unloads what is still loaded; a driver without an unload routine
// is forgotten (its image stays mapped).
void LoaderShutdown();
