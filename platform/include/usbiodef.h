// USB device I/O definitions shared by user and kernel mode: the device type of USB
// hubs and host controllers, the function numbers of their requests and the device
// interface classes they register. Published names and values. The machine has no
// USB, so no device registers these interfaces.
#pragma once

#include <devioctl.h>

#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN

#define USB_CTL(id)                 CTL_CODE(FILE_DEVICE_USB, (id), METHOD_BUFFERED, FILE_ANY_ACCESS)
#define USB_KERNEL_CTL(id)          CTL_CODE(FILE_DEVICE_USB, (id), METHOD_NEITHER, FILE_ANY_ACCESS)
#define USB_KERNEL_CTL_BUFFERED(id) CTL_CODE(FILE_DEVICE_USB, (id), METHOD_BUFFERED, FILE_ANY_ACCESS)

// Function numbers of the host controller's requests.
#define HCD_GET_STATS_1         255
#define HCD_DIAGNOSTIC_MODE_ON  256
#define HCD_DIAGNOSTIC_MODE_OFF 257
#define HCD_GET_ROOT_HUB_NAME   258
#define HCD_GET_DRIVERKEY_NAME  265
#define HCD_GET_STATS_2         266
#define HCD_DISABLE_PORT        268
#define HCD_ENABLE_PORT         269

// Function numbers of a hub's requests.
#define USB_GET_NODE_INFORMATION                258
#define USB_GET_NODE_CONNECTION_INFORMATION     259
#define USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION 260
#define USB_GET_NODE_CONNECTION_NAME            261
#define USB_DIAG_IGNORE_HUBS_ON                 262
#define USB_DIAG_IGNORE_HUBS_OFF                263
#define USB_GET_NODE_CONNECTION_DRIVERKEY_NAME  264
#define USB_GET_HUB_CAPABILITIES                271
#define USB_GET_NODE_CONNECTION_ATTRIBUTES      272
#define USB_HUB_CYCLE_PORT                      273
#define USB_GET_NODE_CONNECTION_INFORMATION_EX  274
#define USB_RESET_HUB                           275

DEFINE_GUID(GUID_DEVINTERFACE_USB_HUB, 0xf18a0e88, 0xc30c, 0x11d0, 0x88, 0x15, 0x00, 0xa0, 0xc9,
            0x06, 0xbe, 0xd8);
DEFINE_GUID(GUID_DEVINTERFACE_USB_DEVICE, 0xa5dcbf10, 0x6530, 0x11d2, 0x90, 0x1f, 0x00, 0xc0,
            0x4f, 0xb9, 0x51, 0xed);
DEFINE_GUID(GUID_DEVINTERFACE_USB_HOST_CONTROLLER, 0x3abf6f2d, 0x71c4, 0x462a, 0x8a, 0x92, 0x1e,
            0x68, 0x61, 0xe6, 0xaf, 0x27);

#define GUID_CLASS_USBHUB     GUID_DEVINTERFACE_USB_HUB
#define GUID_CLASS_USB_DEVICE GUID_DEVINTERFACE_USB_DEVICE
#define GUID_CLASS_USB_HOST_CONTROLLER GUID_DEVINTERFACE_USB_HOST_CONTROLLER
