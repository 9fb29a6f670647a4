// The device installation interface of the emulated platform (setupapi's part that
// setup programs call): device information lists of devices and of device
// interfaces, root-enumerated devices created, registered and removed through the
// class installer, the INF store and class installation. Published names, values
// and layouts.
#pragma once

#include <windows.h>

// A device information list; INVALID_HANDLE_VALUE on failure.
typedef PVOID HDEVINFO;
typedef PVOID HSPFILEQ;
typedef UINT DI_FUNCTION;

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;  // sizeof(SP_DEVINFO_DATA)
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;  // sizeof(SP_DEVICE_INTERFACE_DATA)
    GUID InterfaceClassGuid;
    DWORD Flags;   // SPINT_*
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

#define SPINT_ACTIVE  0x00000001
#define SPINT_DEFAULT 0x00000002
#define SPINT_REMOVED 0x00000004

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;  // sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A): the fixed part only
    CHAR DevicePath[ANYSIZE_ARRAY];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

// Flags of SetupDiGetClassDevsA.
#define DIGCF_DEFAULT         0x00000001
#define DIGCF_PRESENT         0x00000002
#define DIGCF_ALLCLASSES      0x00000004
#define DIGCF_PROFILE         0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

// Device registry properties.
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_SERVICE    0x00000004
#define SPDRP_CLASS      0x00000007
#define SPDRP_CLASSGUID  0x00000008

// SetupDiCreateDeviceInfoA: make a unique instance id from a root device name.
#define DICD_GENERATE_ID 0x00000001

// Class installer functions.
#define DIF_REMOVE         0x00000005
#define DIF_REGISTERDEVICE 0x00000019

// SetupDiInstallClassA flags.
#define DI_QUIETINSTALL 0x00800000L

// SetupCopyOEMInfA: media types and copy styles.
#define SPOST_NONE 0
#define SPOST_PATH 1
#define SP_COPY_NOOVERWRITE 0x00000008

// SetupDiOpenDevRegKey: the device's hardware key (DIREG_DEV, its "Device
// Parameters") or its driver key (DIREG_DRV), in the global scope.
#define DICS_FLAG_GLOBAL         0x00000001
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002
#define DIREG_DEV                0x00000001
#define DIREG_DRV                0x00000002

// The longest class name, with its terminating zero.
#define MAX_CLASS_NAME_LEN 32

// Errors of the setup functions (customer bit and error severity set).
#define ERROR_INVALID_FLAGS          1004L
#define ERROR_INVALID_USER_BUFFER    1784L
#define ERROR_GENERAL_SYNTAX         ((DWORD)0xE0000003)
#define ERROR_WRONG_INF_STYLE        ((DWORD)0xE0000100)
#define ERROR_SECTION_NOT_FOUND      ((DWORD)0xE0000101)
#define ERROR_LINE_NOT_FOUND         ((DWORD)0xE0000102)
#define ERROR_NO_ASSOCIATED_CLASS    ((DWORD)0xE0000200)
#define ERROR_CLASS_MISMATCH         ((DWORD)0xE0000201)
#define ERROR_NO_DRIVER_SELECTED     ((DWORD)0xE0000203)
#define ERROR_INVALID_DEVINST_NAME   ((DWORD)0xE0000205)
#define ERROR_DEVINST_ALREADY_EXISTS ((DWORD)0xE0000207)
#define ERROR_INVALID_REG_PROPERTY   ((DWORD)0xE0000209)
#define ERROR_NO_SUCH_DEVINST        ((DWORD)0xE000020B)
#define ERROR_KEY_DOES_NOT_EXIST     ((DWORD)0xE0000204)
#define ERROR_DI_BAD_PATH            ((DWORD)0xE0000214)

EXTERN_C_START

// With DIGCF_DEVICEINTERFACE: the interfaces of class ClassGuid as they are now
// (DIGCF_PRESENT: only the enabled ones). Otherwise the devices of the machine's
// device tree, of class ClassGuid or, with DIGCF_ALLCLASSES, of every class.
// Enumerator and hwndParent are not used.
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                     DWORD Flags);
// An empty device list for devices of ClassGuid (any class when it is null).
HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND hwndParent);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

// The device at MemberIndex of the list; ERROR_NO_MORE_ITEMS past the end.
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                  PSP_DEVINFO_DATA DeviceInfoData);
// Adds a new device to the list, not yet registered with Plug and Play. With
// DICD_GENERATE_ID, DeviceName is a root device name ("SYSTEM") and the device gets
// the next free instance "ROOT\SYSTEM\nnnn"; otherwise DeviceName is the whole
// instance id, which must not exist yet.
BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceName,
                                     const GUID *ClassGuid, PCSTR DeviceDescription,
                                     HWND hwndParent, DWORD CreationFlags,
                                     PSP_DEVINFO_DATA DeviceInfoData);
// SPDRP_HARDWAREID (REG_MULTI_SZ), SPDRP_SERVICE and SPDRP_CLASS (REG_SZ). A property
// the device lacks fails with ERROR_INVALID_DATA; a buffer too small (or none) with
// ERROR_INSUFFICIENT_BUFFER and the size needed in RequiredSize.
BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize);
// SPDRP_HARDWAREID only: a multi-string of PropertyBufferSize bytes.
BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              const BYTE *PropertyBuffer, DWORD PropertyBufferSize);
// DIF_REGISTERDEVICE registers a device made by SetupDiCreateDeviceInfoA as a
// root-enumerated device (it has no driver until one is installed for it);
// DIF_REMOVE removes a root-enumerated device with its children.
BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData);

// The interface at MemberIndex of an interface list; ERROR_NO_MORE_ITEMS past the end.
BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
// The interface's device path, which CreateFileA opens. With no buffer (size 0) the
// call fails with ERROR_INSUFFICIENT_BUFFER and reports the size it needs.
BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData);

// Opens a registry key of a device of the list for reading (KEY_READ access at most;
// more fails with ERROR_ACCESS_DENIED): DIREG_DEV is its hardware key, where a
// driver keeps its device parameters, DIREG_DRV its driver key. Scope
// DICS_FLAG_GLOBAL only (ERROR_INVALID_FLAGS otherwise). A key the device does not
// have: ERROR_KEY_DOES_NOT_EXIST. Failure: INVALID_HANDLE_VALUE with the last error.
HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 DWORD Scope, DWORD HwProfile, DWORD KeyType,
                                 REGSAM samDesired);

// Copies an INF into the machine's INF store (C:\WINDOWS\inf) as oemN.inf, the lowest
// free N; an INF whose copy is already there is not copied again and its existing
// name is returned. From then on Plug and Play gives devices with the hardware ids of
// the INF's models the service that the INF installs for them.
BOOL WINAPI SetupCopyOEMInfA(PCSTR SourceInfFileName, PCSTR OEMSourceMediaLocation,
                             DWORD OEMSourceMediaType, DWORD CopyStyle,
                             PSTR DestinationInfFileName, DWORD DestinationInfFileNameSize,
                             PDWORD RequiredSize, PSTR *DestinationInfFileNameComponent);
// The setup class that an INF's [Version] section names.
BOOL WINAPI SetupDiGetINFClassA(PCSTR InfName, LPGUID ClassGuid, PSTR ClassName,
                                DWORD ClassNameSize, PDWORD RequiredSize);
// Installs the class of an INF that carries a [ClassInstall32] section.
BOOL WINAPI SetupDiInstallClassA(HWND hwndParent, PCSTR InfFileName, DWORD Flags,
                                 HSPFILEQ FileQueue);

EXTERN_C_END

#ifndef UNICODE
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_A SP_DEVICE_INTERFACE_DETAIL_DATA,
    *PSP_DEVICE_INTERFACE_DETAIL_DATA;
#define SetupDiGetClassDevs               SetupDiGetClassDevsA
#define SetupDiCreateDeviceInfo           SetupDiCreateDeviceInfoA
#define SetupDiGetDeviceRegistryProperty  SetupDiGetDeviceRegistryPropertyA
#define SetupDiSetDeviceRegistryProperty  SetupDiSetDeviceRegistryPropertyA
#define SetupDiGetDeviceInterfaceDetail   SetupDiGetDeviceInterfaceDetailA
#define SetupCopyOEMInf                   SetupCopyOEMInfA
#define SetupDiGetINFClass                SetupDiGetINFClassA
#define SetupDiInstallClass               SetupDiInstallClassA
#endif
