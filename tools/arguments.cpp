// Taking a subcommand's words apart. Commands take their options before their
// positional words: an option that takes a value may claim the word after it, which
// is then no longer positional.
#include "arguments.h"

#include "command.h"

#include <cctype>

Arguments::Arguments(std::vector<std::string> words)
{
    bool optionsEnded = false;
    for (std::string &text : words) {
        if (!optionsEnded && text == "--") {
            optionsEnded = true;
            words_.push_back({text, false, true});
            continue;
        }
        bool option = !optionsEnded && text.size() > 2 && text.compare(0, 2, "--") == 0;
        words_.push_back({std::move(text), option});
    }
}

Arguments::Word *Arguments::FindOption(const std::string &name,
                                       std::optional<std::string> *inlineValue)
{
    for (Word &word : words_) {
        if (word.taken || !word.option) continue;
        const std::string spelled = "--" + name;
        if (word.text == spelled) {
            *inlineValue = std::nullopt;
            return &word;
        }
        if (word.text.compare(0, spelled.size() + 1, spelled + "=") == 0) {
            *inlineValue = word.text.substr(spelled.size() + 1);
            return &word;
        }
    }
    return nullptr;
}

bool Arguments::TakeFlag(const std::string &name)
{
    std::optional<std::string> value;
    Word *word = FindOption(name, &value);
    if (word == nullptr) return false;
    if (value) ThrowUsage("--" + name + " takes no value");
    word->taken = true;
    return true;
}

std::optional<std::string> Arguments::TakeValue(const std::string &name)
{
    std::optional<std::string> value;
    Word *word = FindOption(name, &value);
    if (word == nullptr) return std::nullopt;
    word->taken = true;
    if (value) return value;
    Word *next = word + 1;
    if (next == words_.data() + words_.size() || next->taken || next->option)
        ThrowUsage("--" + name + " needs a value");
    next->taken = true;
    return next->text;
}

std::optional<unsigned long> Arguments::TakeNumber(const std::string &name)
{
    std::optional<std::string> text = TakeValue(name);
    if (!text) return std::nullopt;
    std::optional<unsigned long> number = ParseNumber(*text);
    if (!number) ThrowUsage("--" + name + " needs a number, not '" + *text + "'");
    return number;
}

std::optional<std::string> Arguments::TakeOptionalWord()
{
    for (Word &word : words_) {
        if (word.taken || word.option) continue;
        word.taken = true;
        return word.text;
    }
    return std::nullopt;
}

std::string Arguments::TakeWord(const std::string &what)
{
    std::optional<std::string> word = TakeOptionalWord();
    if (!word) ThrowUsage("missing " + what);
    return *word;
}

ULONG Arguments::TakePort(const std::string &what)
{
    std::string text = TakeWord(what);
    std::optional<ULONG> port = ParsePort(text);
    if (!port) ThrowUsage("'" + text + "' is not a port: ports are COM1 to COM255 (or 1 to 255)");
    return *port;
}

std::vector<std::string> Arguments::TakeRemainingWords()
{
    std::vector<std::string> rest;
    while (std::optional<std::string> word = TakeOptionalWord()) rest.push_back(*word);
    return rest;
}

void Arguments::ExpectNothingMore() const
{
    for (const Word &word : words_) {
        if (!word.taken) ThrowUsage("unexpected '" + word.text + "'");
    }
}

std::optional<unsigned long> ParseNumber(const std::string &text)
{
    if (text.empty() || !isdigit(static_cast<unsigned char>(text[0]))) return std::nullopt;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    size_t end = 0;
    unsigned long long value;
    try {
        value = std::stoull(hex ? text.substr(2) : text, &end, hex ? 16 : 10);
    } catch (const std::exception &) {
        return std::nullopt;
    }
    if (end != text.size() - (hex ? 2 : 0) || value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<unsigned long>(value);
}

std::optional<ULONG> ParsePort(const std::string &text)
{
    std::string digits = text;
    if (text.size() > 3 && (text[0] == 'C' || text[0] == 'c') && (text[1] == 'O' || text[1] == 'o') &&
        (text[2] == 'M' || text[2] == 'm'))
        digits = text.substr(3);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
        digits.size() > 3)
        return std::nullopt;
    ULONG port = std::stoul(digits);
    if (port < 1 || port > 255) return std::nullopt;
    return port;
}

std::string PortName(ULONG port) { return "COM" + std::to_string(port); }
