// put and take: bytes into a port's receive side and out of its transmit side.
#include "bytes.h"
#include "command.h"
#include "errors.h"
#include "machine_settle.h"
#include "output.h"

#include <keluapi.h>

#include <filesystem>
#include <fstream>

namespace {

// The most that --file reads: far more than any port's buffer (4 KiB at most) takes,
// so a larger file, or an endless one such as /dev/zero, is a mistake.
const size_t kFileLimit = 64 * 1024;

std::vector<UCHAR> ReadHostFile(const std::string &path)
{
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) ThrowUsage(path + " is a folder, not a file");
    std::ifstream file(path, std::ios::binary);
    if (!file) ThrowUsage("cannot open the file " + path);
    // One byte past the limit tells a file of exactly the limit from a larger one.
    std::vector<UCHAR> bytes(kFileLimit + 1);
    file.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (file.bad()) ThrowUsage("cannot read the file " + path);
    bytes.resize(static_cast<size_t>(file.gcount()));
    if (bytes.size() > kFileLimit)
        ThrowUsage("the file " + path + " holds more than " + std::to_string(kFileLimit) +
                   " bytes, more than a port takes");
    return bytes;
}

}  // namespace

ByteSource TakeByteSource(Arguments &arguments)
{
    ByteSource source;
    source.hex = arguments.TakeValue("hex");
    source.file = arguments.TakeValue("file");
    return source;
}

std::vector<UCHAR> TakeBytes(Arguments &arguments, const ByteSource &source)
{
    std::optional<std::string> text = arguments.TakeOptionalWord();
    arguments.ExpectNothingMore();
    if (int(source.hex.has_value()) + int(source.file.has_value()) + int(text.has_value()) != 1)
        ThrowUsage("give the bytes one way: TEXT, --hex DIGITS or --file PATH");
    std::vector<UCHAR> bytes;
    if (source.hex && !ParseHexBytes(*source.hex, &bytes))
        ThrowUsage("'" + *source.hex + "' is not a run of hex bytes");
    if (source.file) bytes = ReadHostFile(*source.file);
    if (text) bytes.assign(text->begin(), text->end());
    return bytes;
}

ByteSink TakeByteSink(Arguments &arguments)
{
    ByteSink sink;
    sink.asHex = arguments.TakeFlag("hex");
    sink.file = arguments.TakeValue("file");
    if (sink.asHex && sink.file) ThrowUsage("--hex and --file exclude each other");
    return sink;
}

void EmitBytes(const std::vector<UCHAR> &bytes, const ByteSink &sink, const std::string &verb, ULONG port)
{
    if (sink.file) {
        std::ofstream out(*sink.file, std::ios::binary);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) ThrowUsage("cannot write the file " + *sink.file);
        Print(verb + " " + std::to_string(bytes.size()) + " bytes from " + PortName(port) + " into " + *sink.file +
              "\n");
    } else if (sink.asHex) {
        Print(HexBytes(bytes) + "\n");
    } else {
        Print(std::string(bytes.begin(), bytes.end()));
    }
}

namespace {

void Put(Arguments &arguments)
{
    ByteSource source = TakeByteSource(arguments);
    ULONG port = arguments.TakePort();
    std::vector<UCHAR> bytes = TakeBytes(arguments, source);
    WaitForPluggedPorts();
    ULONG written = 0;
    // An empty vector may have no storage; the library wants a buffer even for none.
    UCHAR none = 0;
    if (!keluWriteToPortBuffer(port, bytes.empty() ? &none : bytes.data(), static_cast<ULONG>(bytes.size()),
                               &written))
        ThrowLastError("cannot put bytes into " + PortName(port));
    // A run that stops early returns success; the bytes left over are a failure of
    // what was asked, so the exit status says so.
    if (written < bytes.size()) {
        DWORD error = GetLastError();
        std::string what = "only " + std::to_string(written) + " of " + std::to_string(bytes.size()) +
                           " bytes went into " + PortName(port);
        if (error == ERROR_SUCCESS)
            throw CommandFailure(kOperationFailed, what + ": its receive buffer is full");
        ThrowError(what, error);
    }
    Print("put " + std::to_string(written) + " bytes into " + PortName(port) + "\n");
}

void Take(Arguments &arguments)
{
    ByteSink sink = TakeByteSink(arguments);
    std::optional<unsigned long> count = arguments.TakeNumber("count");
    ULONG port = arguments.TakePort();
    arguments.ExpectNothingMore();
    WaitForPluggedPorts();
    ULONG wanted = 0;
    if (count) {
        wanted = *count;
    } else if (!keluGetNumBytesInBuffer(port, &wanted)) {
        ThrowLastError("cannot count the bytes waiting in " + PortName(port));
    }
    std::vector<UCHAR> bytes(wanted);
    ULONG read = 0;
    if (wanted > 0 && !keluReadFromPortBuffer(port, bytes.data(), wanted, &read) &&
        GetLastError() != ERROR_NO_MORE_ITEMS)
        ThrowLastError("cannot take bytes from " + PortName(port));
    bytes.resize(read);
    EmitBytes(bytes, sink, "took", port);
}

}  // namespace

const std::vector<Command> kByteCommands = {
    {"put", "PORT TEXT | PORT --hex DIGITS | PORT --file PATH",
     "put bytes where a port's application reads them",
     "Puts the bytes into PORT's receive side, as if its partner had sent them;\n"
     "the application that has PORT open reads them. Fails when no application has\n"
     "the port open, and when not every byte fits (exit status 1, with the count).\n",
     Put},
    {"take", "[--count N] [--hex | --file PATH] PORT",
     "take bytes that a port's application wrote",
     "Takes the bytes that the application on PORT wrote and no partner read: all\n"
     "that wait, or at most N. Prints them as they are, as hex with --hex, or\n"
     "writes them to PATH. Nothing waiting prints nothing and succeeds.\n",
     Take},
};
