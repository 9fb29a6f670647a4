// Every bus test runs on its own machine with kelbus.sys installed on a root device
// ("Pellix_Virtual_Bus_Enumerator", service KELBUS) and the port driver double
// serving its children. Requests go through the bus's device interface, found and
// opened from user mode with the setup calls as an application finds it.
#pragma once

#include <wdm.h>
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>

#include <kelbus.h>

#include <loader.h>
#include <machine.h>
#include <pnp.h>
#include <registry.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "port_driver_double.h"

class BusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kelu-bus-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        PortDoubleClearEvents();
        Boot();
        std::string image = KELBUS_IMAGE_PATH;
        ASSERT_EQ(LoaderInstallService(u"KELBUS", std::u16string(image.begin(), image.end())),
                  STATUS_SUCCESS);
        ASSERT_EQ(PnpCreateRootDevice(u"KELBUS", u"Pellix_Virtual_Bus_Enumerator", u"KELBUS",
                                      &busInstance_),
                  STATUS_SUCCESS);
        PnpWaitIdle();
    }

    void TearDown() override
    {
        MachineShutdown(machine_);
        std::filesystem::remove_all(directory_);
    }

    // A new machine on the same state directory: the same computer after a restart.
    void Restart()
    {
        MachineShutdown(machine_);
        PortDoubleClearEvents();
        Boot();
        PnpWaitIdle();
    }

    // Opens the bus through the first present interface of its class, as the library
    // does; INVALID_HANDLE_VALUE with the last error when that fails.
    static HANDLE OpenBus()
    {
        HDEVINFO list = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_KELBUS, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (list == INVALID_HANDLE_VALUE) {
            return INVALID_HANDLE_VALUE;
        }
        HANDLE bus = INVALID_HANDLE_VALUE;
        SP_DEVICE_INTERFACE_DATA data = {sizeof(data), {}, 0, 0};
        DWORD size = 0;
        if (SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_DEVINTERFACE_KELBUS, 0, &data)) {
            SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &size, nullptr);
            std::vector<char> storage(size);
            auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
            detail->cbSize = sizeof(*detail);
            if (SetupDiGetDeviceInterfaceDetailA(list, &data, detail, size, nullptr, nullptr)) {
                bus = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
            }
        }
        DWORD error = GetLastError();
        SetupDiDestroyDeviceInfoList(list);
        SetLastError(error);
        return bus;
    }

    // Sends one request on a handle opened for it alone, as the library does.
    // Returns ERROR_SUCCESS or the request's last error.
    static DWORD Send(DWORD code, void *buffer, DWORD inputLength, DWORD outputLength)
    {
        HANDLE bus = OpenBus();
        if (bus == INVALID_HANDLE_VALUE) {
            return GetLastError();
        }
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(bus, code, buffer, inputLength, buffer, outputLength, &returned,
                                  nullptr);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        CloseHandle(bus);
        return error;
    }

    // A plug-in record carrying the hardware id list `ids` (UTF-16 code units,
    // including the list's terminating zeros).
    static std::vector<UCHAR> PlugInRecord(ULONG size, ULONG port, std::u16string_view ids)
    {
        std::vector<UCHAR> record(KELBUS_PLUGIN_REQUEST_HEADER_SIZE + ids.size() * 2);
        memcpy(record.data(), &size, 4);
        memcpy(record.data() + 4, &port, 4);
        memcpy(record.data() + KELBUS_PLUGIN_REQUEST_HEADER_SIZE, ids.data(), ids.size() * 2);
        return record;
    }

    static DWORD PlugIn(ULONG port)
    {
        // "KELB\KELU" as a list of one id: 12 + 2 * 9 bytes.
        std::vector<UCHAR> record = PlugInRecord(8, port, std::u16string_view(u"KELB\\KELU\0\0", 11));
        EXPECT_EQ(record.size(), 30u);
        return Send(IOCTL_KELBUS_PLUGIN_PORT, record.data(), record.size(), record.size());
    }

    static DWORD Unplug(ULONG port)
    {
        KELBUS_UNPLUG_REQUEST request = {sizeof(request), port, {0, 0}};
        return Send(IOCTL_KELBUS_UNPLUG_PORT, &request, sizeof(request), sizeof(request));
    }

    // The port numbers the bus reports as plugged in.
    static std::vector<int> PluggedPorts()
    {
        UCHAR map[KELBUS_PLUGGED_MAP_SIZE] = {};
        EXPECT_EQ(Send(IOCTL_KELBUS_GET_PLUGGED_MAP, map, 0, sizeof(map)), (DWORD)ERROR_SUCCESS);
        std::vector<int> ports;
        for (int n = 0; n < KELBUS_PLUGGED_MAP_SIZE; n++) {
            if (map[n] != 0) {
                ports.push_back(n);
            }
        }
        return ports;
    }

    std::u16string busInstance_;

private:
    void Boot()
    {
        MachineOptions options;
        options.stateDirectory = directory_;
        options.manualClock = true;
        machine_ = MachineBoot(options);
        PortDoubleInstall();
    }

    std::string directory_;
    Machine *machine_ = nullptr;
};
