// The command line of one subcommand: positional words and --options, taken one by
// one so that whatever is left over can be reported as a usage error.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

class Arguments {
public:
    // `words` are the words after the subcommand's name. An option is "--name" or
    // "--name=value"; an option taken with TakeValue also accepts "--name value".
    // "--" ends the options. A command takes its options before its positional
    // words, so that a value is not mistaken for one.
    explicit Arguments(std::vector<std::string> words);

    // Whether --name was given (and removes it).
    bool TakeFlag(const std::string &name);
    // The value of --name, if given.
    std::optional<std::string> TakeValue(const std::string &name);
    std::optional<unsigned long> TakeNumber(const std::string &name);

    // The next positional word; a usage error naming `what` when there is none.
    std::string TakeWord(const std::string &what);
    std::optional<std::string> TakeOptionalWord();
    // A port: "COM3", "com3" or "3", numbered 1 to 255.
    ULONG TakePort(const std::string &what = "a port");
    std::vector<std::string> TakeRemainingWords();

    // A usage error for anything not taken.
    void ExpectNothingMore() const;

private:
    struct Word {
        std::string text;
        bool option;  // before "--" and spelled --name or --name=value
        bool taken = false;
    };
    Word *FindOption(const std::string &name, std::optional<std::string> *inlineValue);
    std::vector<Word> words_;
};

// Numbers as the command takes them: decimal, or hexadecimal with 0x.
std::optional<unsigned long> ParseNumber(const std::string &text);
std::optional<ULONG> ParsePort(const std::string &text);
std::string PortName(ULONG port);
