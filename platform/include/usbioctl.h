// The device control requests of USB hubs and host controllers and the records they
// carry, as user-mode code sends them to a hub's device interface. Published names,
// values and layouts (packed, as on Windows). The machine has no USB: nothing here
// is served, and code that walks the USB tree finds no hub to ask.
#pragma once

#include <usb100.h>
#include <usbiodef.h>

#define IOCTL_USB_HCD_GET_STATS_1      USB_CTL(HCD_GET_STATS_1)
#define IOCTL_USB_HCD_GET_STATS_2      USB_CTL(HCD_GET_STATS_2)
#define IOCTL_USB_HCD_DISABLE_PORT     USB_CTL(HCD_DISABLE_PORT)
#define IOCTL_USB_HCD_ENABLE_PORT      USB_CTL(HCD_ENABLE_PORT)
#define IOCTL_USB_DIAGNOSTIC_MODE_ON   USB_CTL(HCD_DIAGNOSTIC_MODE_ON)
#define IOCTL_USB_DIAGNOSTIC_MODE_OFF  USB_CTL(HCD_DIAGNOSTIC_MODE_OFF)
#define IOCTL_USB_GET_ROOT_HUB_NAME    USB_CTL(HCD_GET_ROOT_HUB_NAME)
#define IOCTL_GET_HCD_DRIVERKEY_NAME   USB_CTL(HCD_GET_DRIVERKEY_NAME)

#define IOCTL_USB_GET_NODE_INFORMATION                USB_CTL(USB_GET_NODE_INFORMATION)
#define IOCTL_USB_GET_NODE_CONNECTION_INFORMATION     USB_CTL(USB_GET_NODE_CONNECTION_INFORMATION)
#define IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION USB_CTL(USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION)
#define IOCTL_USB_GET_NODE_CONNECTION_NAME            USB_CTL(USB_GET_NODE_CONNECTION_NAME)
#define IOCTL_USB_DIAG_IGNORE_HUBS_ON                 USB_CTL(USB_DIAG_IGNORE_HUBS_ON)
#define IOCTL_USB_DIAG_IGNORE_HUBS_OFF                USB_CTL(USB_DIAG_IGNORE_HUBS_OFF)
#define IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME  USB_CTL(USB_GET_NODE_CONNECTION_DRIVERKEY_NAME)
#define IOCTL_USB_GET_HUB_CAPABILITIES                USB_CTL(USB_GET_HUB_CAPABILITIES)
#define IOCTL_USB_HUB_CYCLE_PORT                      USB_CTL(USB_HUB_CYCLE_PORT)
#define IOCTL_USB_GET_NODE_CONNECTION_ATTRIBUTES      USB_CTL(USB_GET_NODE_CONNECTION_ATTRIBUTES)
#define IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX  USB_CTL(USB_GET_NODE_CONNECTION_INFORMATION_EX)
#define IOCTL_USB_RESET_HUB                           USB_CTL(USB_RESET_HUB)

#pragma pack(push, 1)

typedef enum _USB_HUB_NODE { UsbHub, UsbMIParent } USB_HUB_NODE;

typedef enum _USB_CONNECTION_STATUS {
    NoDeviceConnected,
    DeviceConnected,
    DeviceFailedEnumeration,
    DeviceGeneralFailure,
    DeviceCausedOvercurrent,
    DeviceNotEnoughPower,
    DeviceNotEnoughBandwidth,
    DeviceHubNestedTooDeeply,
    DeviceInLegacyHub
} USB_CONNECTION_STATUS, *PUSB_CONNECTION_STATUS;

typedef struct _USB_PIPE_INFO {
    USB_ENDPOINT_DESCRIPTOR EndpointDescriptor;
    ULONG ScheduleOffset;
} USB_PIPE_INFO, *PUSB_PIPE_INFO;

typedef struct _USB_NODE_CONNECTION_INFORMATION {
    ULONG ConnectionIndex;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    UCHAR CurrentConfigurationValue;
    BOOLEAN LowSpeed;
    BOOLEAN DeviceIsHub;
    USHORT DeviceAddress;
    ULONG NumberOfOpenPipes;
    USB_CONNECTION_STATUS ConnectionStatus;
    USB_PIPE_INFO PipeList[];
} USB_NODE_CONNECTION_INFORMATION, *PUSB_NODE_CONNECTION_INFORMATION;

typedef struct _USB_NODE_CONNECTION_INFORMATION_EX {
    ULONG ConnectionIndex;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    UCHAR CurrentConfigurationValue;
    UCHAR Speed;  // USB_DEVICE_SPEED
    BOOLEAN DeviceIsHub;
    USHORT DeviceAddress;
    ULONG NumberOfOpenPipes;
    USB_CONNECTION_STATUS ConnectionStatus;
    USB_PIPE_INFO PipeList[];
} USB_NODE_CONNECTION_INFORMATION_EX, *PUSB_NODE_CONNECTION_INFORMATION_EX;

typedef struct _USB_NODE_CONNECTION_ATTRIBUTES {
    ULONG ConnectionIndex;
    USB_CONNECTION_STATUS ConnectionStatus;
    ULONG PortAttributes;
} USB_NODE_CONNECTION_ATTRIBUTES, *PUSB_NODE_CONNECTION_ATTRIBUTES;

typedef struct _USB_NODE_CONNECTION_DRIVERKEY_NAME {
    ULONG ConnectionIndex;
    ULONG ActualLength;
    WCHAR DriverKeyName[1];
} USB_NODE_CONNECTION_DRIVERKEY_NAME, *PUSB_NODE_CONNECTION_DRIVERKEY_NAME;

typedef struct _USB_NODE_CONNECTION_NAME {
    ULONG ConnectionIndex;
    ULONG ActualLength;
    WCHAR NodeName[1];
} USB_NODE_CONNECTION_NAME, *PUSB_NODE_CONNECTION_NAME;

typedef struct _USB_HUB_NAME {
    ULONG ActualLength;
    WCHAR HubName[1];
} USB_HUB_NAME, *PUSB_HUB_NAME;

typedef struct _USB_ROOT_HUB_NAME {
    ULONG ActualLength;
    WCHAR RootHubName[1];
} USB_ROOT_HUB_NAME, *PUSB_ROOT_HUB_NAME;

typedef struct _USB_HCD_DRIVERKEY_NAME {
    ULONG ActualLength;
    WCHAR DriverKeyName[1];
} USB_HCD_DRIVERKEY_NAME, *PUSB_HCD_DRIVERKEY_NAME;

typedef struct _USB_DESCRIPTOR_REQUEST {
    ULONG ConnectionIndex;
    struct {
        UCHAR bmRequest;
        UCHAR bRequest;
        USHORT wValue;
        USHORT wIndex;
        USHORT wLength;
    } SetupPacket;
    UCHAR Data[];
} USB_DESCRIPTOR_REQUEST, *PUSB_DESCRIPTOR_REQUEST;

#pragma pack(pop)
