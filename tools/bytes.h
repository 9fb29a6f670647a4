// How commands are given bytes and how they give bytes back: shared by put and take,
// which act for the controlling application, and by a session's write and read, which
// act for a port's application.
#pragma once

#include "arguments.h"

#include <optional>
#include <string>
#include <vector>

// The bytes come one way of three: TEXT, --hex DIGITS or --file PATH.
struct ByteSource {
    std::optional<std::string> hex;
    std::optional<std::string> file;
};
// Takes --hex and --file; before the positional words, as options are taken.
ByteSource TakeByteSource(Arguments &arguments);
// The bytes, from the options or the last positional word (TEXT); a usage error when
// they are given in no way or in more than one, or when anything is left over.
std::vector<UCHAR> TakeBytes(Arguments &arguments, const ByteSource &source);

// The bytes go to stdout as they are, as hex with --hex, or into --file PATH.
struct ByteSink {
    bool asHex = false;
    std::optional<std::string> file;
};
ByteSink TakeByteSink(Arguments &arguments);
// Writes the bytes where the sink says; for a file it prints what went there, as
// "took 3 bytes from COM1 into PATH" with `verb` "took".
void EmitBytes(const std::vector<UCHAR> &bytes, const ByteSink &sink, const std::string &verb, ULONG port);
