// The embedded machine: its state lives in $KELU_MACHINE_DIR, and the package is the
// one this build assembled or the one an installed SDK carries.
#include "host.h"

#include "command.h"

#include <machine.h>

#include <cstdlib>

namespace {

// The directory that holds this program, so that an installed SDK finds the package
// relative to where it was installed.
std::filesystem::path ProgramDirectory()
{
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : self.parent_path();
}

}  // namespace

// The package this build assembled, the one beside an installed tool, then the one
// at the install prefix it was configured for.
std::vector<std::filesystem::path> PackageDirectoryCandidates()
{
    std::vector<std::filesystem::path> candidates = {KELU_BUILD_PACKAGE_DIR};
    std::filesystem::path program = ProgramDirectory();
    if (!program.empty()) candidates.push_back(program.parent_path() / "share/kelu/package");
    candidates.push_back(KELU_INSTALLED_PACKAGE_DIR);
    return candidates;
}

const char *MachineOverview()
{
    return "Manages the kelu virtual serial ports of this machine, whose state lives in\n"
           "$KELU_MACHINE_DIR (default ~/.local/state/kelu/machine). One program at a time\n"
           "runs the machine: a command waits while another holds it, or with --no-wait\n"
           "(or KELU_MACHINE_NO_WAIT=1) fails at once.";
}

const char *MachineOptionsSynopsis() { return "[--no-wait] "; }

// --no-wait is the command line's form of the setting that applications use.
void TakeMachineOptions(std::vector<std::string> *words)
{
    if (!words->empty() && words->front() == "--no-wait") {
        setenv("KELU_MACHINE_NO_WAIT", "1", 1);
        words->erase(words->begin());
    }
}

void StartMachine()
{
    std::string error;
    if (MachineStartEmbedded(MachineEmbeddedOptions(), &error) == nullptr)
        throw CommandFailure(kOperationFailed, "the machine cannot start: " + error);
}

std::string MachineNote()
{
    const char *machine = getenv("KELU_MACHINE_DIR");
    return std::string("machine state: ") + (machine != nullptr && *machine != 0 ? machine : "the per-user default");
}

bool WaitingOpensCanBeApproved() { return true; }
