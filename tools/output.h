// What the commands print: a small JSON writer for --json, and the text forms of
// handshake lines and bytes shared by several commands.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Builds one JSON value in order: objects and arrays are opened and closed
// explicitly, members named with Key. Strings are escaped; numbers are unsigned.
class JsonWriter {
public:
    JsonWriter &BeginObject();
    JsonWriter &EndObject();
    JsonWriter &BeginArray();
    JsonWriter &EndArray();
    JsonWriter &Key(const std::string &name);
    JsonWriter &String(const std::string &value);
    JsonWriter &Number(unsigned long value);
    JsonWriter &Boolean(bool value);
    JsonWriter &Null();
    const std::string &Text() const { return text_; }

private:
    void BeforeValue();
    std::string text_;
    bool needComma_ = false;
};

// The six lines of a KELU_SIGNAL_* word in the library's bit order.
struct SignalLine {
    ULONG bit;
    const char *name;  // "RTS", "CTS", ...
};
extern const SignalLine kSignalLines[6];

// "RTS DTR CTS", or "none".
std::string DescribeSignals(ULONG signals);
// Adds {"rts":true,...} for the word (the caller has written the key).
void WriteSignals(JsonWriter &json, ULONG signals);

// "41 42 0d"
std::string HexBytes(const std::vector<UCHAR> &bytes);
// Bytes given as hex digits, pairs optionally separated by spaces, commas or colons;
// false for anything else.
bool ParseHexBytes(const std::string &text, std::vector<UCHAR> *bytes);

// Writes to the command's output as given (no newline added): stdout, or the
// caller's when a server carries the command out.
void Print(const std::string &text);
// The same for the command's error output.
void PrintError(const std::string &text);
