// The bus enumerator client of keluapi: ports are plugged in and out by asking the
// bus enumerator kelbus, found through its device interface, to report or drop a
// child; Plug and Play then builds or removes the port device on it.
#include <stdlib.h>

#include "keluapi.h"
#include "device_client.h"

#include <winioctl.h>
#include <setupapi.h>
#include <initguid.h>
#include <kelbus.h>
#include <kelu_ioctl.h>

namespace {

// How long plug-in keeps trying to record the confirmation flag while the new
// port device appears and starts: 20 attempts 2000 ms apart on the machine's clock.
const ULONG kConfirmationAttempts = 20;
const DWORD kConfirmationRetryDelayMs = 2000;

// Reads the device path of the list's first interface and opens it for one
// request, without sharing. Only the first interface is ever used.
DWORD OpenFirstInterface(HDEVINFO interfaces, HANDLE* device)
{
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(interfaceData);
    if (!SetupDiEnumDeviceInterfaces(interfaces, nullptr, &GUID_DEVINTERFACE_KELBUS, 0,
                                     &interfaceData)) {
        return LastErrorOfFailure();
    }
    // This call only learns the size of the detail record; when it works it fails
    // with ERROR_INSUFFICIENT_BUFFER.
    DWORD detailSize = 0;
    SetupDiGetDeviceInterfaceDetailA(interfaces, &interfaceData, nullptr, 0, &detailSize, nullptr);
    if (detailSize == 0) {
        return LastErrorOfFailure();
    }
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(
        calloc(1, detailSize < sizeof(*detail) ? sizeof(*detail) : detailSize));
    if (detail == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    detail->cbSize = sizeof(*detail);
    DWORD error = ERROR_SUCCESS;
    if (!SetupDiGetDeviceInterfaceDetailA(interfaces, &interfaceData, detail, detailSize, nullptr,
                                          nullptr)) {
        error = LastErrorOfFailure();
    } else {
        HANDLE handle = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            error = LastErrorOfFailure();
        } else {
            *device = handle;
        }
    }
    free(detail);
    return error;
}

// Opens the bus enumerator's first present interface. With no bus enumerator
// present this fails with the interface walk's ERROR_NO_MORE_ITEMS.
DWORD OpenBusEnumeratorOnce(HANDLE* device)
{
    HDEVINFO interfaces = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_KELBUS, nullptr, nullptr,
                                               DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (interfaces == INVALID_HANDLE_VALUE) {
        return LastErrorOfFailure();
    }
    DWORD error = OpenFirstInterface(interfaces, device);
    SetupDiDestroyDeviceInfoList(interfaces);
    return error;
}

// One request to the bus enumerator on an interface handle opened for it alone, in
// this process's turn on the interface.
DWORD SendBusRequest(DWORD code, const void* input, DWORD inputLength, void* output,
                     DWORD outputLength)
{
    DeviceTurn turn(ExclusiveDevice::kBus);
    HANDLE device = INVALID_HANDLE_VALUE;
    DWORD error = OpenRetryingCollisions(OpenBusEnumeratorOnce, &device);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    return SendRequestAndClose(device, code, input, inputLength, output, outputLength);
}

// The plug-in record: the fixed part followed by the child's hardware id as a list
// of one UTF-16 string, so 12 + 2n bytes for an id of n characters.
const size_t kChildIdLength =
    sizeof(KELBUS_CHILD_HARDWARE_ID) / sizeof(KELBUS_CHILD_HARDWARE_ID[0]) - 1;
const DWORD kPluginRequestSize = KELBUS_PLUGIN_REQUEST_HEADER_SIZE + 2 * (kChildIdLength + 2);

// Records whether opening the port needs approval. The bus has just been asked to
// report the port and Plug and Play builds and starts its device asynchronously:
// the port driver may not be loaded yet (its control device comes with its first
// port), and until the port has started the driver refuses the request with
// ERROR_INVALID_PARAMETER. Both are retried within one budget, so that plug-in does
// not fail, or leave the flag unset, merely because the port is still starting.
DWORD SetOpenConfirmation(ULONG port, int confirm)
{
    ULONG request = DriverPortNumber(port) | (confirm ? KELU_CONFIRMATION_REQUIRED : 0);
    DWORD error = ERROR_SUCCESS;
    for (ULONG attempt = 0; attempt < kConfirmationAttempts; ++attempt) {
        {
            DeviceTurn turn(ExclusiveDevice::kControl);
            HANDLE control = INVALID_HANDLE_VALUE;
            error = OpenControlDevice(&control);
            if (error == ERROR_SUCCESS) {
                error = SendRequestAndClose(control, IOCTL_KELU_SET_CONFIRMATION, &request,
                                            sizeof(request), nullptr, 0);
                if (error != ERROR_INVALID_PARAMETER) {
                    return error;
                }
            }
        }
        // Not in the turn: the other calls of this process go on meanwhile.
        Sleep(kConfirmationRetryDelayMs);
    }
    return error;
}

}  // namespace

int keluPluginPort(ULONG port, int confirm)
{
    if (!IsValidPortNumber(port)) {
        return CompleteExport(ERROR_INVALID_PARAMETER);
    }
    // ULONG storage keeps the record aligned; the tail stays zero, which ends the
    // id list.
    ULONG storage[(kPluginRequestSize + sizeof(ULONG) - 1) / sizeof(ULONG)] = {};
    PKELBUS_PLUGIN_REQUEST request = reinterpret_cast<PKELBUS_PLUGIN_REQUEST>(storage);
    request->ulSize = KELBUS_PLUGIN_REQUEST_HEADER_SIZE;
    request->ulSerialNo = DriverPortNumber(port);
    // The id is a wide literal; copied code unit by code unit it is UTF-16 whatever
    // the compiler's wchar_t is.
    WCHAR* hardwareIds = reinterpret_cast<WCHAR*>(reinterpret_cast<UCHAR*>(storage) +
                                                  KELBUS_PLUGIN_REQUEST_HEADER_SIZE);
    for (size_t i = 0; i < kChildIdLength; ++i) {
        hardwareIds[i] = static_cast<WCHAR>(KELBUS_CHILD_HARDWARE_ID[i]);
    }
    DWORD error = SendBusRequest(IOCTL_KELBUS_PLUGIN_PORT, request, kPluginRequestSize, request,
                                 kPluginRequestSize);
    if (error != ERROR_SUCCESS) {
        return CompleteExport(error);
    }
    return CompleteExport(SetOpenConfirmation(port, confirm));
}

int keluUnplugPort(ULONG port)
{
    if (!IsValidPortNumber(port)) {
        return CompleteExport(ERROR_INVALID_PARAMETER);
    }
    KELBUS_UNPLUG_REQUEST request = {};
    request.ulSize = sizeof(request);
    request.ulSerialNo = DriverPortNumber(port);
    return CompleteExport(SendBusRequest(IOCTL_KELBUS_UNPLUG_PORT, &request, sizeof(request),
                                         &request, sizeof(request)));
}

int keluIsPortPluggedIn(ULONG port, int* pluggedIn)
{
    if (!IsValidPortNumber(port) || pluggedIn == nullptr) {
        return CompleteExport(ERROR_INVALID_PARAMETER);
    }
    UCHAR map[KELBUS_PLUGGED_MAP_SIZE] = {};
    DWORD error = SendBusRequest(IOCTL_KELBUS_GET_PLUGGED_MAP, nullptr, 0, map, sizeof(map));
    if (error == ERROR_SUCCESS) {
        *pluggedIn = map[DriverPortNumber(port)] != 0 ? 1 : 0;
    }
    return CompleteExport(error);
}
