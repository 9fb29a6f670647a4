// The virtual bus enumerator kelbus: its device interface, its three requests and
// their records. Included by the bus driver (after <ntddk.h>) and by user code
// (after <windows.h> and <winioctl.h>), which both supply CTL_CODE and GUID.
//
// Records are little-endian and contain only 32-bit fields and UTF-16 text, so they
// have the same layout in 32-bit Windows code and in the 64-bit Linux build.
#pragma once

// The bus's device interface class. Exactly one translation unit of a program
// includes <initguid.h> before this header to define it.
DEFINE_GUID(GUID_DEVINTERFACE_KELBUS,
            0x797bc1e6, 0x3945, 0x4759, 0xae, 0xb4, 0xf9, 0xe1, 0xf1, 0x92, 0x3a, 0xa7);

// Every request uses one system buffer as input and output.
#define IOCTL_KELBUS_PLUGIN_PORT \
    CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x000, METHOD_BUFFERED, FILE_ANY_ACCESS)  // 0x002A0000
#define IOCTL_KELBUS_UNPLUG_PORT \
    CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x001, METHOD_BUFFERED, FILE_ANY_ACCESS)  // 0x002A0004
#define IOCTL_KELBUS_GET_PLUGGED_MAP \
    CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x004, METHOD_BUFFERED, FILE_ANY_ACCESS)  // 0x002A0010

// Port numbers are zero-based; the bus accepts 0 to KELBUS_MAX_PORT_NUMBER.
#define KELBUS_MAX_PORT_NUMBER 255
// Output of IOCTL_KELBUS_GET_PLUGGED_MAP: byte n is nonzero exactly when port n is plugged in.
#define KELBUS_PLUGGED_MAP_SIZE 256

// The hardware id of every child the bus reports.
#define KELBUS_CHILD_HARDWARE_ID L"KELB\\KELU"

// Input of IOCTL_KELBUS_PLUGIN_PORT. The record is variable-sized: the fixed part
// (KELBUS_PLUGIN_REQUEST_HEADER_SIZE bytes) followed by the child's hardware ids as a
// list of zero-terminated UTF-16 strings ending with an empty string, so a list of one
// id of n characters makes a record of 12 + 2n bytes.
typedef struct _KELBUS_PLUGIN_REQUEST {
    ULONG ulSize;       // KELBUS_PLUGIN_REQUEST_HEADER_SIZE
    ULONG ulSerialNo;   // zero-based port number of the new child
    WCHAR HardwareIds[1];
} KELBUS_PLUGIN_REQUEST, *PKELBUS_PLUGIN_REQUEST;

#define KELBUS_PLUGIN_REQUEST_HEADER_SIZE 8

// Input of IOCTL_KELBUS_UNPLUG_PORT.
typedef struct _KELBUS_UNPLUG_REQUEST {
    ULONG ulSize;         // sizeof(KELBUS_UNPLUG_REQUEST), 16
    ULONG ulSerialNo;     // zero-based port number of the child to drop
    ULONG ulReserved[2];  // zero
} KELBUS_UNPLUG_REQUEST, *PKELBUS_UNPLUG_REQUEST;
