// The package on the machine: installation, plug-in, pairing, open approval, unplug,
// the kelu command's demo, and removal.
#include "checks.h"
#include "port_io.h"

#include <keluapi.h>
#include <setupapi.h>

#include <set>
#include <string>

namespace {

const ULONG kNoPartner = 0xFFFFFFFF;
const ULONG kStatusAccessDenied = 0xC0000022;

bool ServiceRegistered(const char *name)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return false;
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
    if (service != nullptr) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return service != nullptr;
}

bool PluggedIn(ULONG port)
{
    int plugged = 0;
    return keluIsPortPluggedIn(port, &plugged) && plugged;
}

ULONG Partner(ULONG port)
{
    ULONG partner = 0;
    return keluGetConnectedPort(port, &partner) ? partner : 0;
}

// The COM names of the kelu ports in the device tree, read as serial programs list
// ports: SetupAPI's present devices, each port's PortName in its hardware key.
std::set<std::string> PortNamesInTheDeviceTree()
{
    std::set<std::string> names;
    HDEVINFO devices = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (devices == INVALID_HANDLE_VALUE) return names;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); index++) {
        char ids[256] = {};
        if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<BYTE *>(ids), sizeof(ids) - 2, nullptr) ||
            std::string(ids) != "KELB\\KELU")
            continue;
        HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
        if (key == INVALID_HANDLE_VALUE) continue;
        char name[16] = {};
        DWORD type = 0;
        DWORD size = sizeof(name) - 1;
        if (RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE *>(name), &size) ==
                ERROR_SUCCESS &&
            type == REG_SZ)
            names.insert(name);
        RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(devices);
    return names;
}

// A second thread's open of a port that waits for approval.
struct PendingOpen {
    ULONG port;
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_SUCCESS;

    static DWORD WINAPI Run(void *context)
    {
        PendingOpen *open = static_cast<PendingOpen *>(context);
        open->handle = OpenPort(open->port, false);
        open->error = open->handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        return 0;
    }
};

}  // namespace

void CheckInstallation(Suite &suite)
{
    suite.Group("installation from the package");
    suite.Check(ServiceRegistered("KELU") && ServiceRegistered("KELBUS"),
                "both drivers' services are registered");
    int plugged = 1;
    suite.Check(WaitUntil([&plugged] { return keluIsPortPluggedIn(kPortA, &plugged) != 0; }) && !plugged,
                "the bus enumerator answers: " + PortName(kPortA) + " is not plugged in");
}

void CheckPlugInAndPairing(Suite &suite)
{
    suite.Group("plug-in and pairing");
    bool plugged = keluPluginPort(kPortA, 0) && keluPluginPort(kPortB, 0) && keluPluginPort(kLonePort, 0);
    suite.Check(plugged, "plugging in " + PortName(kPortA) + ", " + PortName(kPortB) + " and " + PortName(kLonePort));
    suite.Check(WaitUntilPortAnswers(kPortA) && WaitUntilPortAnswers(kPortB) && WaitUntilPortAnswers(kLonePort),
                "each port's device starts and answers the port driver");
    suite.Check(PluggedIn(kPortA) && PluggedIn(kPortB) && !PluggedIn(kApprovalPort),
                "the bus reports exactly the plugged-in ports");
    std::set<std::string> listed = PortNamesInTheDeviceTree();
    suite.Check(listed.count(PortName(kPortA)) && listed.count(PortName(kPortB)) && listed.count(PortName(kLonePort)),
                "SetupAPI lists the ports, and each one's hardware key names its COM port in PortName");
    suite.Check(!keluPluginPort(kPortA, 0) && GetLastError() == ERROR_ALREADY_EXISTS,
                "plugging in a port twice fails with ERROR_ALREADY_EXISTS");
    suite.Check(Partner(kPortA) == kNoPartner, "a new port has no partner");
    suite.Check(keluConnectPorts(kPortA, kPortB) && Partner(kPortA) == kPortB && Partner(kPortB) == kPortA,
                "connecting " + PortName(kPortA) + " and " + PortName(kPortB) + " pairs both ways");
    suite.Check(keluDisconnectPorts(kPortA, kPortB) && Partner(kPortA) == kNoPartner && Partner(kPortB) == kNoPartner,
                "disconnecting dissolves the pair on both sides");
    suite.Check(keluConnectPorts(kPortA, kPortB) && Partner(kPortB) == kPortA, "the pair connects again");
}

void CheckOpenApproval(Suite &suite)
{
    suite.Group("open approval");
    const std::string what = "an open of a port plugged in with approval waits, and a denial fails it";
    if (suite.SkipUnderWine(what, "a driver host serves a driver's requests on one thread, so the waiting "
                                  "open would block the approval"))
        return;
    PendingOpen open;
    open.port = kApprovalPort;
    HANDLE thread = nullptr;
    bool waited = false;
    if (keluPluginPort(kApprovalPort, 1) && WaitUntilPortAnswers(kApprovalPort)) {
        thread = CreateThread(nullptr, 0, PendingOpen::Run, &open, 0, nullptr);
        waited = WaitUntil([] {
            int opened = 0;
            return keluIsPortOpened(kApprovalPort, &opened) && opened;
        });
    }
    bool denied = waited && keluConfirmPortOpening(kApprovalPort, kStatusAccessDenied);
    // Unplugging also ends an open still waiting, so the thread always ends.
    if (!denied) keluUnplugPort(kApprovalPort);
    if (thread != nullptr) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    suite.Check(denied && open.handle == INVALID_HANDLE_VALUE && open.error == ERROR_ACCESS_DENIED, what);
    if (open.handle != INVALID_HANDLE_VALUE) CloseHandle(open.handle);
    keluUnplugPort(kApprovalPort);
}

void CheckUnplug(Suite &suite)
{
    suite.Group("unplug");
    suite.Check(keluUnplugPort(kLonePort) && !PluggedIn(kLonePort), "unplugging " + PortName(kLonePort));
    suite.Check(WaitUntil([] {
                    HANDLE port = OpenPort(kLonePort, false);
                    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
                    return port == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND;
                }),
                "the unplugged port's name is gone: opening it fails with ERROR_FILE_NOT_FOUND");
    suite.Check(!keluUnplugPort(kLonePort), "unplugging it again fails");
}

void CheckDemo(Suite &suite, const char *keluExe)
{
    suite.Group("kelu.exe demo");
    std::string commandLine = std::string("\"") + keluExe + "\" demo";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    DWORD exitCode = 1;
    fflush(stdout);
    if (CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    suite.Check(exitCode == 0, "kelu.exe demo: every step behaved as it must");
}

void CheckUninstall(Suite &suite)
{
    suite.Group("removal");
    suite.Check(keluUninstallDrivers() != 0, "keluUninstallDrivers removes the bus enumerator's device");
    suite.Check(WaitUntil([] {
                    int plugged = 0;
                    return !keluIsPortPluggedIn(kPortA, &plugged) || !plugged;
                }),
                "no port is reported any more");
    const std::string what = "both drivers' services are gone";
    if (!suite.SkipUnderWine(what, "the drivers stay loaded after the bus device is removed, so their "
                                   "services stay marked for deletion until Wine restarts"))
        suite.Check(WaitUntil([] { return !ServiceRegistered("KELU") && !ServiceRegistered("KELBUS"); }), what);
}
