/* Every user-mode header of the platform in one C translation unit: they compile as C
 * (the build compiles this file as C99 and as C11, warnings as errors) and declare
 * what a C program calls, with the generic names of an ANSI build. */
#include <windows.h>
#include <winioctl.h>
#include <ntddser.h>
#include <initguid.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <winsvc.h>
#include <winreg.h>
#include <tchar.h>
#include <usbioctl.h>
#include <usbiodef.h>
#include <usb100.h>
#include <keluapi.h>

/* Sizes a C program and the C++ library must agree on. */
_Static_assert(sizeof(WCHAR) == 2, "WCHAR is a 16-bit code unit");
_Static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "ULONG and LONG are 32 bits");
_Static_assert(sizeof(DCB) == 28, "DCB has the published layout");
_Static_assert(sizeof(COMSTAT) == 12, "COMSTAT has the published layout");
_Static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "USB descriptors are packed");
_Static_assert(sizeof(USB_NODE_CONNECTION_INFORMATION_EX) == 35, "hub records are packed");
_Static_assert(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX == 0x220448, "published code");
_Static_assert(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION == 0x220410, "published code");
_Static_assert(KEY_READ == 0x20019, "published access mask");
_Static_assert(MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) == 0x400, "published language id");

/* The generic names of an ANSI build are the -A forms. */
static HANDLE (*const createFile)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                  HANDLE) = CreateFile;
static LSTATUS (*const openKey)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) = RegOpenKeyEx;
static HDEVINFO (*const classDevices)(const GUID *, PCSTR, HWND, DWORD) = SetupDiGetClassDevs;
static SC_HANDLE (*const openManager)(LPCSTR, LPCSTR, DWORD) = OpenSCManager;
static CONFIGRET (*const deviceId)(DEVINST, PCHAR, ULONG, ULONG) = CM_Get_Device_ID;

int PlatformHeadersCompileAsC(void)
{
    TCHAR text[] = _T("COM1");
    PSP_DEVICE_INTERFACE_DETAIL_DATA detail = 0;
    return (int)sizeof text + (detail == 0) + min(1, 2) + max(0, 1) +
           (createFile != 0) + (openKey != 0) + (classDevices != 0) + (openManager != 0) +
           (deviceId != 0) + (int)sizeof(GUID_DEVINTERFACE_USB_HUB);
}
