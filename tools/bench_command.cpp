// bench: how fast a pair of ports carries data on this computer, beside a pipe and a
// socketpair. It runs on a machine of its own, booted on a new state directory, so
// that the user's ports, pairs and installation are neither used nor changed.
#include "command.h"
#include "errors.h"
#include "host.h"
#include "machine_settle.h"
#include "output.h"

#include <datapath_measure.h>
#include <keluapi.h>

#include <cstdlib>
#include <filesystem>

namespace {

const ULONG kFirst = 1;
const ULONG kSecond = 2;

std::string g_benchMachineDirectory;

void RemoveBenchMachine()
{
    std::error_code error;
    std::filesystem::remove_all(g_benchMachineDirectory, error);
}

// Starts the embedded machine on a new state directory; nothing may have started it
// before. The directory goes at exit, after the machine has shut down (exit handlers
// run in reverse order of registration).
void StartFreshMachine()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "kelu-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw CommandFailure(kOperationFailed, "cannot create a state directory for the bench machine");
    g_benchMachineDirectory = pattern;
    setenv("KELU_MACHINE_DIR", g_benchMachineDirectory.c_str(), 1);
    atexit(RemoveBenchMachine);
    StartMachine();
}

void Bench(Arguments &arguments)
{
    DataPathOptions options;
    options.quick = arguments.TakeFlag("quick");
    if (std::optional<unsigned long> runs = arguments.TakeNumber("runs")) {
        if (*runs == 0 || *runs > 100) ThrowUsage("--runs takes 1 to 100");
        options.runs = static_cast<int>(*runs);
    }
    std::optional<std::string> package = arguments.TakeOptionalWord();
    arguments.ExpectNothingMore();
    std::string directory = package ? std::filesystem::absolute(*package).string() : DefaultPackageDirectory();

    StartFreshMachine();
    if (!keluInstallDrivers(directory.data())) ThrowLastError("cannot install the driver package from " + directory);
    WaitForPluggedPorts();
    if (!keluPluginPort(kFirst, 0)) ThrowLastError("cannot plug in COM1");
    if (!keluPluginPort(kSecond, 0)) ThrowLastError("cannot plug in COM2");
    if (!keluConnectPorts(kFirst, kSecond)) ThrowLastError("cannot connect COM1 and COM2");

    Print(std::string("kelu bench: COM1 to COM2 beside a pipe and a socketpair") +
          (options.quick ? " (quick run: rough figures)" : "") + "\n");
    std::vector<DataPathRow> rows;
    std::string error;
    if (!MeasureDataPath("\\\\.\\COM1", "\\\\.\\COM2", options, &rows, &error))
        throw CommandFailure(kOperationFailed, error);
    Print(FormatDataPathTable(rows));
}

}  // namespace

const std::vector<Command> kBenchCommands = {
    {"bench", "[--quick] [--runs N] [PACKAGE_DIRECTORY]", "measure the ports against a pipe",
     "Boots a machine of its own on a new temporary state directory, installs the\n"
     "driver package there, plugs in COM1 and COM2 and connects them. Then measures\n"
     "the throughput of 1, 64, 4096 and 65536-byte requests from COM1 to COM2 and\n"
     "the one-byte round trip, on synchronous and on overlapped handles (an event\n"
     "per request, collected with GetOverlappedResult), with a pipe and a socketpair\n"
     "measured the same way beside them, and prints the table with the ratios.\n"
     "Throughput is in MB/s, round trips in microseconds.\n\n"
     "  --quick    a run of a few seconds; the figures are rough\n"
     "  --runs N   each figure is the best of N runs (other work on the computer\n"
     "             only slows a run down)\n",
     Bench, CommandScope::kOwnMachine},
};
