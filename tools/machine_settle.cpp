// Waiting for the bus and the plugged-in ports after the machine starts.
#include "machine_settle.h"

#include "host.h"

#include <keluapi.h>
#include <winsvc.h>

namespace {

const DWORD kPollMs = 20;
const DWORD kBudgetMs = 10000;

bool ServiceRegistered(const char *name)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return false;
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    if (service != nullptr) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return service != nullptr;
}

// A port that the bus reports answers the port driver once its device has started;
// before that the driver is not loaded (ERROR_FILE_NOT_FOUND) or refuses the unknown
// port number (ERROR_INVALID_PARAMETER).
bool PortAnswers(ULONG port)
{
    int opened = 0;
    if (keluIsPortOpened(port, &opened)) return true;
    DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_INVALID_PARAMETER;
}

}  // namespace

std::vector<ULONG> WaitForPluggedPorts()
{
    StartMachine();
    std::vector<ULONG> plugged;
    if (!ServiceRegistered("KELBUS")) return plugged;
    DWORD waited = 0;
    int pluggedIn = 0;
    while (!keluIsPortPluggedIn(1, &pluggedIn) && waited < kBudgetMs) {
        Sleep(kPollMs);
        waited += kPollMs;
    }
    for (ULONG port = 1; port <= 255; port++) {
        if (keluIsPortPluggedIn(port, &pluggedIn) && pluggedIn) plugged.push_back(port);
    }
    for (ULONG port : plugged) {
        while (!PortAnswers(port) && waited < kBudgetMs) {
            Sleep(kPollMs);
            waited += kPollMs;
        }
    }
    return plugged;
}

bool DriversInstalled()
{
    StartMachine();
    return ServiceRegistered("KELU") && ServiceRegistered("KELBUS");
}
