// Device I/O control codes, shared by the kernel and user-mode headers as on Windows:
// how a code is built, the transfer methods and access bits, and the device types.
#pragma once

#include <ntdef.h>

typedef ULONG DEVICE_TYPE;
#define FILE_DEVICE_CONTROLLER        0x00000004
#define FILE_DEVICE_NULL              0x00000015
#define FILE_DEVICE_SERIAL_MOUSE_PORT 0x0000001a
#define FILE_DEVICE_SERIAL_PORT       0x0000001b
#define FILE_DEVICE_UNKNOWN           0x00000022
#define FILE_DEVICE_BUS_EXTENDER      0x0000002a

#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_FROM_CTL_CODE(ControlCode) ((ULONG)((ControlCode) & 3))

#define METHOD_BUFFERED   0
#define METHOD_IN_DIRECT  1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER    3

#define FILE_ANY_ACCESS     0x0000
#define FILE_SPECIAL_ACCESS FILE_ANY_ACCESS
#define FILE_READ_ACCESS    0x0001
#define FILE_WRITE_ACCESS   0x0002
