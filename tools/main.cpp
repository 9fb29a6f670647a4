// The kelu command: finds the subcommand, runs it, and turns its failure into one
// line on stderr and the exit status.
#include "command.h"
#include "command_context.h"
#include "host.h"
#include "output.h"

#include <cstdio>
#include <cstdlib>

namespace {

const std::vector<const std::vector<Command> *> kGroups = {
    &kPackageCommands, &kPortCommands,    &kLineCommands, &kByteCommands,
    &kEventCommands,   &kSessionCommands, &kDemoCommands,  &kServeCommands,
    &kBenchCommands,
};

const Command *FindCommand(const std::string &name)
{
    for (const std::vector<Command> *group : kGroups)
        for (const Command &command : *group)
            if (name == command.name) return &command;
    return nullptr;
}

void PrintOverview()
{
    Print(std::string("usage: kelu ") + MachineOptionsSynopsis() + "COMMAND [ARGUMENTS]\n\n" +
          MachineOverview() +
          "\nPorts are COM1 to COM255, written COM3 or 3.\n\n"
          "commands:\n");
    for (const std::vector<Command> *group : kGroups) {
        for (const Command &command : *group) {
            std::string name = command.name;
            Print("  " + name + std::string(name.size() < 12 ? 12 - name.size() : 1, ' ') +
                  command.summary + "\n");
        }
    }
    Print("\n'kelu COMMAND --help' describes a command, 'kelu --version' shows the version.\n"
          "Exit status: 0 on success, 1 when the system refused the operation, 2 for a\n"
          "command line kelu cannot accept.\n");
}

void PrintCommandHelp(const Command &command)
{
    Print(std::string("usage: kelu ") + command.name + " " + command.synopsis + "\n\n" + command.details);
}

}  // namespace

int RunCommandLine(const std::vector<std::string> &words, bool inSession)
{
    if (words.size() == 1 && words[0] == "--version") {
        Print("kelu " KELU_VERSION "\n");
        return kSuccess;
    }
    if (words.empty() || words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        if (words.size() >= 2) {
            if (const Command *command = FindCommand(words[1])) {
                PrintCommandHelp(*command);
                return kSuccess;
            }
        }
        PrintOverview();
        return words.empty() ? kUsageError : kSuccess;
    }
    const Command *command = FindCommand(words[0]);
    if (command == nullptr) {
        PrintError("kelu: '" + words[0] + "' is not a command; 'kelu --help' lists them.\n");
        return kUsageError;
    }
    Arguments arguments(std::vector<std::string>(words.begin() + 1, words.end()));
    try {
        if (arguments.TakeFlag("help")) {
            PrintCommandHelp(*command);
            return kSuccess;
        }
        if (command->scope == CommandScope::kSessionOnly && CurrentContext().applications == nullptr)
            ThrowUsage("it acts as an application on a port, which needs a session or a running server: "
                       "'kelu session --help', 'kelu serve --help'");
        if ((command->scope == CommandScope::kOutsideSession ||
             command->scope == CommandScope::kOwnMachine) && inSession)
            ThrowUsage("it cannot run inside a session");
        command->run(arguments);
    } catch (const CommandFailure &failure) {
        fflush(stdout);
        PrintError("kelu " + std::string(command->name) + ": " + failure.what() + ".\n");
        if (failure.status() == kUsageError && failure.withSynopsis())
            PrintError("usage: kelu " + std::string(command->name) + " " + command->synopsis + "\n");
        return failure.status();
    }
    return kSuccess;
}

int main(int argc, char **argv)
{
    std::vector<std::string> words(argv + 1, argv + argc);
    TakeMachineOptions(&words);
    // A running `kelu serve` holds the machine: it carries the command out, unless the
    // command runs on a machine of its own.
    const Command *command = words.empty() ? nullptr : FindCommand(words[0]);
    bool ownMachine = command != nullptr && command->scope == CommandScope::kOwnMachine;
    if (!ownMachine) {
        if (std::optional<int> status = ForwardToServer(words)) return *status;
    }
    return RunCommandLine(words, false);
}
