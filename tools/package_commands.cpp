// install and uninstall: the driver package.
#include "command.h"
#include "errors.h"
#include "host.h"
#include "machine_settle.h"
#include "output.h"

#include <keluapi.h>

#include <filesystem>

// The first candidate that holds kelu.inf.
std::string DefaultPackageDirectory()
{
    std::string tried;
    for (const std::filesystem::path &candidate : PackageDirectoryCandidates()) {
        std::error_code error;
        if (std::filesystem::exists(candidate / "kelu.inf", error)) return candidate.string();
        tried += (tried.empty() ? "" : " or ") + candidate.string();
    }
    ThrowUsage("no driver package found" + (tried.empty() ? std::string() : " at " + tried) +
               "; name its directory: kelu install DIRECTORY");
}

namespace {

void Install(Arguments &arguments)
{
    std::optional<std::string> given = arguments.TakeOptionalWord();
    arguments.ExpectNothingMore();
    std::string directory = given ? *given : DefaultPackageDirectory();
    // Installing re-creates the port driver's service. While ports are plugged in the
    // driver is loaded, the old service can only be marked for deletion, and the
    // installation would fail and leave the ports without a service once the machine
    // restarts; so it is refused before anything changes.
    std::vector<ULONG> plugged = WaitForPluggedPorts();
    if (!plugged.empty()) {
        std::string ports;
        for (ULONG port : plugged) ports += (ports.empty() ? "" : ", ") + PortName(port);
        throw CommandFailure(kOperationFailed, "the drivers are in use by " + ports +
                                                   "; unplug those ports or run 'kelu uninstall' first");
    }
    // The platform names host files by their absolute path.
    if (given && !given->empty() && (*given)[0] != '/' && given->find(':') == std::string::npos)
        directory = std::filesystem::absolute(*given).string();
    if (!keluInstallDrivers(directory.data()))
        ThrowLastError("cannot install the driver package from " + directory);
    // Success may still carry the library's note that the bus driver's old service
    // waits for deletion; the new driver takes over after the machine restarts.
    if (GetLastError() == KELU_ERROR_SERVICE_MARKED_FOR_DELETE)
        Print("installed the driver package from " + directory +
              "; the bus enumerator's update completes after a restart\n");
    else
        Print("installed the driver package from " + directory + "\n");
}

void Uninstall(Arguments &arguments)
{
    arguments.ExpectNothingMore();
    StartMachine();
    if (!keluUninstallDrivers()) ThrowLastError("cannot remove the drivers");
    Print("removed the drivers and every port\n");
}

}  // namespace

const std::vector<Command> kPackageCommands = {
    {"install", "[DIRECTORY]", "install the drivers from a driver package",
     "Installs the port driver and the bus enumerator from DIRECTORY, which holds\n"
     "kelu.inf, kelu.sys and kelbus.inf. Without DIRECTORY the package that this\n"
     "build assembled is used, or else the one of the installed SDK\n"
     "(share/kelu/package). Installing again replaces the drivers.\n",
     Install},
    {"uninstall", "", "unplug every port and remove the drivers",
     "Unplugs every port, removes the bus enumerator's device and deletes both\n"
     "drivers' services. Fails when the drivers are not installed.\n",
     Uninstall},
};
