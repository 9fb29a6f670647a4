// The kelu command: finds the subcommand, runs it, and turns its failure into one
// line on stderr and the exit status.
#include "command.h"
#include "output.h"

#include <cstdio>
#include <cstdlib>

namespace {

const std::vector<const std::vector<Command> *> kGroups = {
    &kPackageCommands, &kPortCommands,    &kLineCommands, &kByteCommands,
    &kEventCommands,   &kSessionCommands, &kDemoCommands,  &kBenchCommands,
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
    Print("usage: kelu [--no-wait] COMMAND [ARGUMENTS]\n\n"
          "Manages the kelu virtual serial ports of this machine, whose state lives in\n"
          "$KELU_MACHINE_DIR (default ~/.local/state/kelu/machine). Ports are COM1 to\n"
          "COM255, written COM3 or 3. One program at a time runs the machine: a command\n"
          "waits while another holds it, or with --no-wait (or KELU_MACHINE_NO_WAIT=1)\n"
          "fails at once.\n\n"
          "commands:\n");
    for (const std::vector<Command> *group : kGroups) {
        for (const Command &command : *group) {
            std::string name = command.name;
            Print("  " + name + std::string(name.size() < 12 ? 12 - name.size() : 1, ' ') +
                  command.summary + "\n");
        }
    }
    Print("\n'kelu COMMAND --help' describes a command. Exit status: 0 on success, 1 when\n"
          "the system refused the operation, 2 for a command line kelu cannot accept.\n");
}

void PrintCommandHelp(const Command &command)
{
    Print(std::string("usage: kelu ") + command.name + " " + command.synopsis + "\n\n" + command.details);
}

}  // namespace

int RunCommandLine(const std::vector<std::string> &words, bool inSession)
{
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
        fprintf(stderr, "kelu: '%s' is not a command; 'kelu --help' lists them.\n", words[0].c_str());
        return kUsageError;
    }
    Arguments arguments(std::vector<std::string>(words.begin() + 1, words.end()));
    try {
        if (arguments.TakeFlag("help")) {
            PrintCommandHelp(*command);
            return kSuccess;
        }
        if (command->scope == CommandScope::kSessionOnly && !inSession)
            ThrowUsage("it acts as an application on a port, which needs a session: 'kelu session --help'");
        if (command->scope == CommandScope::kOutsideSession && inSession)
            ThrowUsage("it cannot run inside a session");
        command->run(arguments);
    } catch (const CommandFailure &failure) {
        fflush(stdout);
        fprintf(stderr, "kelu %s: %s.\n", command->name, failure.what());
        if (failure.status() == kUsageError && failure.withSynopsis())
            fprintf(stderr, "usage: kelu %s %s\n", command->name, command->synopsis);
        return failure.status();
    }
    return kSuccess;
}

int main(int argc, char **argv)
{
    std::vector<std::string> words(argv + 1, argv + argc);
    // --no-wait is the command line's form of the setting that applications use.
    if (!words.empty() && words[0] == "--no-wait") {
        setenv("KELU_MACHINE_NO_WAIT", "1", 1);
        words.erase(words.begin());
    }
    return RunCommandLine(words, false);
}
