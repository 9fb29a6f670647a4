// kelu.exe on Windows: the machine is the real one, and the package is looked for
// beside the program, where the SDK and the build tree put it.
#include "host.h"
#include "machine_start.h"

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

const char *MachineOverview()
{
    return "usage: kelu COMMAND [ARGUMENTS]\n\n"
           "Manages the kelu virtual serial ports of this Windows machine. Ports are COM1\n"
           "to COM255, written COM3 or 3.\n\n";
}

// The real machine is always there to be reached: no options, nothing to start.
void TakeMachineOptions(std::vector<std::string> &) {}

void StartMachine() {}

std::string MachineNote() { return "this Windows machine"; }

// Wine's ntdll tells itself apart by this export.
bool WaitingOpensCanBeApproved()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr;
}
