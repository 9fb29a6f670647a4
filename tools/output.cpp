// Text and JSON output.
#include "output.h"

#include "command_context.h"

#include <keluapi.h>

#include <cctype>
#include <cstdio>

JsonWriter &JsonWriter::BeginObject()
{
    BeforeValue();
    text_ += '{';
    needComma_ = false;
    return *this;
}

JsonWriter &JsonWriter::EndObject()
{
    text_ += '}';
    needComma_ = true;
    return *this;
}

JsonWriter &JsonWriter::BeginArray()
{
    BeforeValue();
    text_ += '[';
    needComma_ = false;
    return *this;
}

JsonWriter &JsonWriter::EndArray()
{
    text_ += ']';
    needComma_ = true;
    return *this;
}

JsonWriter &JsonWriter::Key(const std::string &name)
{
    String(name);
    text_ += ':';
    needComma_ = false;
    return *this;
}

JsonWriter &JsonWriter::String(const std::string &value)
{
    BeforeValue();
    text_ += '"';
    for (unsigned char c : value) {
        if (c == '"' || c == '\\') {
            text_ += '\\';
            text_ += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            text_ += escaped;
        } else {
            text_ += static_cast<char>(c);
        }
    }
    text_ += '"';
    needComma_ = true;
    return *this;
}

JsonWriter &JsonWriter::Number(unsigned long value)
{
    BeforeValue();
    text_ += std::to_string(value);
    needComma_ = true;
    return *this;
}

JsonWriter &JsonWriter::Boolean(bool value)
{
    BeforeValue();
    text_ += value ? "true" : "false";
    needComma_ = true;
    return *this;
}

JsonWriter &JsonWriter::Null()
{
    BeforeValue();
    text_ += "null";
    needComma_ = true;
    return *this;
}

void JsonWriter::BeforeValue()
{
    if (needComma_) text_ += ',';
}

const SignalLine kSignalLines[6] = {
    {KELU_SIGNAL_RTS, "RTS"}, {KELU_SIGNAL_CTS, "CTS"}, {KELU_SIGNAL_DTR, "DTR"},
    {KELU_SIGNAL_DSR, "DSR"}, {KELU_SIGNAL_RI, "RI"},   {KELU_SIGNAL_DCD, "DCD"},
};

std::string DescribeSignals(ULONG signals)
{
    std::string text;
    for (const SignalLine &line : kSignalLines) {
        if ((signals & line.bit) == 0) continue;
        if (!text.empty()) text += ' ';
        text += line.name;
    }
    return text.empty() ? "none" : text;
}

void WriteSignals(JsonWriter &json, ULONG signals)
{
    json.BeginObject();
    for (const SignalLine &line : kSignalLines) {
        std::string key = line.name;
        for (char &c : key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        json.Key(key).Boolean((signals & line.bit) != 0);
    }
    json.EndObject();
}

std::string HexBytes(const std::vector<UCHAR> &bytes)
{
    std::string text;
    char pair[4];
    for (UCHAR byte : bytes) {
        if (!text.empty()) text += ' ';
        snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

bool ParseHexBytes(const std::string &text, std::vector<UCHAR> *bytes)
{
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == ':') {
            if (digits.size() % 2 != 0) return false;  // "4 1" is not one byte
            continue;
        }
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
        digits += c;
    }
    if (digits.size() % 2 != 0) return false;
    bytes->clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes->push_back(static_cast<UCHAR>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

void Print(const std::string &text) { fwrite(text.data(), 1, text.size(), CurrentContext().output); }

void PrintError(const std::string &text) { fwrite(text.data(), 1, text.size(), CurrentContext().error); }
