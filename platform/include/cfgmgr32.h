// The configuration manager (cfgmgr32's part that applications call): the Plug and
// Play device tree walked by device instance handles, as SP_DEVINFO_DATA.DevInst
// gives them. Published names and values.
//
// A DEVINST stays valid for the process's life and names one device instance path;
// once that device has left the tree, calls on it fail with CR_NO_SUCH_DEVINST.
#pragma once

#include <windows.h>

typedef DWORD RETURN_TYPE;
typedef RETURN_TYPE CONFIGRET;
typedef DWORD DEVNODE, DEVINST;
typedef DEVNODE *PDEVNODE, *PDEVINST;

#define MAX_DEVICE_ID_LEN  200
#define MAX_DEVNODE_ID_LEN MAX_DEVICE_ID_LEN

// Properties of CM_Get_DevNode_Registry_PropertyA (SPDRP_* + 1).
#define CM_DRP_DEVICEDESC   0x00000001
#define CM_DRP_HARDWAREID   0x00000002
#define CM_DRP_COMPATIBLEIDS 0x00000003
#define CM_DRP_SERVICE      0x00000005
#define CM_DRP_CLASS        0x00000008
#define CM_DRP_CLASSGUID    0x00000009
#define CM_DRP_DRIVER       0x0000000A
#define CM_DRP_MFG          0x0000000C
#define CM_DRP_FRIENDLYNAME 0x0000000D
#define CM_DRP_LOCATION_INFORMATION 0x0000000E
#define CM_DRP_UI_NUMBER    0x00000011
#define CM_DRP_ADDRESS      0x0000001D

#define CR_SUCCESS          0x00000000
#define CR_OUT_OF_MEMORY    0x00000002
#define CR_INVALID_POINTER  0x00000003
#define CR_INVALID_FLAG     0x00000004
#define CR_INVALID_DEVNODE  0x00000005
#define CR_INVALID_DEVINST  CR_INVALID_DEVNODE
#define CR_NO_SUCH_DEVNODE  0x0000000D
#define CR_NO_SUCH_DEVINST  CR_NO_SUCH_DEVNODE
#define CR_FAILURE          0x00000013
#define CR_BUFFER_SMALL     0x0000001A
#define CR_INVALID_PROPERTY 0x00000035
#define CR_NO_SUCH_VALUE    0x00000025

EXTERN_C_START

// The parent of a device in the tree: for a bus's child, the bus device. The root of
// the tree has none (CR_NO_SUCH_DEVNODE). ulFlags must be 0 (CR_INVALID_FLAG).
CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);
// The device instance path ("ROOT\SYSTEM\0000"). It must fit BufferLen characters;
// the zero is added when there is room for it. Too small: CR_BUFFER_SMALL, and the
// part that fits is written, as Windows does.
CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, PCHAR Buffer, ULONG BufferLen,
                                   ULONG ulFlags);
// A property from the device's registry record or, for CM_DRP_ADDRESS and
// CM_DRP_UI_NUMBER (REG_DWORD), from the capabilities its bus reported. Strings are
// REG_SZ, id lists REG_MULTI_SZ. *pulLength is the buffer size in bytes on entry and
// the size of the data (or needed, with CR_BUFFER_SMALL) on return. A property the
// device does not have: CR_NO_SUCH_VALUE; an unknown one: CR_INVALID_PROPERTY.
CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST dnDevInst, ULONG ulProperty,
                                                   PULONG pulRegDataType, PVOID Buffer,
                                                   PULONG pulLength, ULONG ulFlags);

EXTERN_C_END

#define CM_Get_DevInst_Registry_PropertyA CM_Get_DevNode_Registry_PropertyA
#ifndef UNICODE
#define CM_Get_Device_ID                 CM_Get_Device_IDA
#define CM_Get_DevNode_Registry_Property CM_Get_DevNode_Registry_PropertyA
#define CM_Get_DevInst_Registry_Property CM_Get_DevNode_Registry_PropertyA
#endif
