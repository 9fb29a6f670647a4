// kelu.exe on Windows: the machine is the real one, and the package is looked for
// beside the program, where the SDK and the build tree put it.
#include "host.h"

#include "command.h"

#include <windows.h>

namespace {

std::filesystem::path ProgramDirectory()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return std::filesystem::path();
    return std::filesystem::path(std::string(path, length)).parent_path();
}

}  // namespace

// bin\..\share\kelu\package in an installed SDK; tools\..\package in the build tree.
std::vector<std::filesystem::path> PackageDirectoryCandidates()
{
    std::filesystem::path program = ProgramDirectory();
    if (program.empty()) return {};
    return {program.parent_path() / "share" / "kelu" / "package", program.parent_path() / "package"};
}

const char *MachineOverview() { return "Manages the kelu virtual serial ports of this Windows machine."; }

const char *MachineOptionsSynopsis() { return ""; }

void TakeMachineOptions(std::vector<std::string> *) {}

void StartMachine() {}

std::string MachineNote() { return "this Windows machine"; }

// Nothing keeps a real machine running for other programs: it runs already.
std::optional<int> ForwardToServer(const std::vector<std::string> &) { return std::nullopt; }
const std::vector<Command> kServeCommands;

// kelu bench measures on an embedded machine of its own, beside POSIX pipes.
const std::vector<Command> kBenchCommands;

// Wine's ntdll tells itself apart by this export.
bool WaitingOpensCanBeApproved()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr;
}
