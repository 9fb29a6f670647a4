// The rig every port driver test runs on: a machine with kelbus.sys on a root device
// and kelu.sys as the driver of the bus's children, both from their built images.
// Ports are plugged in and out through the bus's device interface and the driver is
// driven through its control device and port devices with the user-mode calls an
// application makes; registry, namespace and Plug and Play state are read back
// through the platform's own views.
#pragma once

#include <wdm.h>
#include <windows.h>
#include <winioctl.h>

#include <kelbus.h>
#include <kelu_ioctl.h>
#include <ntddser.h>

#include <loader.h>
#include <machine.h>
#include <pnp.h>
#include <pool.h>
#include <ob.h>
#include <registry.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "machine_test.h"

inline constexpr ULONG kKeluPoolTag = 0x206B6444; // "Ddk "

// The answer to one request: its final status and the bytes it returned.
struct RequestResult {
    NTSTATUS status;
    ULONG_PTR information;
};

class DriverTest : public MachineTest {
protected:
    void SetUp() override;

    // Shuts the machine down and boots it again on the same state directory; the bus
    // brings back the ports that were plugged in.
    void Restart();

    // A second bus root device; requests can then name the bus by its index (0 first).
    void AddBus();

    // Plug-in and unplug through the bus (index `bus`), then wait until Plug and Play
    // has acted on them. The result is the bus request's status.
    NTSTATUS PlugIn(ULONG port, size_t bus = 0);
    NTSTATUS Unplug(ULONG port, size_t bus = 0);

public:
    // One request on a handle opened for it alone, as the library sends control
    // requests. Input and output share `buffer`.
    static RequestResult Control(ULONG code, void *buffer, ULONG inputLength, ULONG outputLength);
    static NTSTATUS Connect(ULONG a, ULONG b);
    static NTSTATUS Disconnect(ULONG a, ULONG b);
    static std::array<UCHAR, 256> ConnectionMap();
    static NTSTATUS SetLines(ULONG port, ULONG modemStatus, ULONG modemControl);
    static KELU_MODEM_REGISTERS Lines(ULONG port);  // status 0xFFFFFFFF when refused
    static NTSTATUS SetConfirmation(ULONG port, bool required);

    // Opens a device by its NT path ("\Device\Serial0", "\??\COM1"); returns the
    // status of the open and the handle when it succeeded. An overlapped handle's reads
    // and writes return STATUS_PENDING while the driver holds them.
    static NTSTATUS Open(const std::string &path, HANDLE *handle, bool overlapped = false);
    // Sends a request of any major function to the top of the stack that `devicePath`
    // names (for requests that no user-mode call sends).
    static NTSTATUS SendToDevice(const std::u16string &devicePath, UCHAR majorFunction);

    // Platform views.
    static std::optional<RegistryValue> StoredMap();
    static void StoreMap(ULONG type, const std::vector<UCHAR> &data);
    static std::optional<std::u16string> SerialCommValue(const std::u16string &deviceName);
    // PortName in the hardware key of the bus child with this port number.
    static std::optional<std::u16string> PortNameValue(ULONG port);
    static std::optional<std::u16string> LinkTarget(const std::u16string &link);
    static bool ObjectExists(const std::u16string &path);
    // The PDO of the bus child with this port number, or null.
    static PDEVICE_OBJECT PortPdo(ULONG port);
    static bool DriverLoaded();
    // A global variable of the loaded port driver's image, by its symbol name; null
    // when the driver is not loaded or has no such symbol. For tests that reach into
    // the driver's own tables and locks.
    static void *DriverGlobal(const char *name);

    // A map with no pairs and no confirmation, as the driver uses when nothing is stored.
    static std::vector<UCHAR> DefaultMap();

private:
    NTSTATUS SendToBus(size_t bus, ULONG code, void *buffer, ULONG length);
};
