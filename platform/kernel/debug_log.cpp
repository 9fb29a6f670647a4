// The machine's debug log: DbgPrint output, read by tests. DbgPrint formats with
// Windows conventions: 'l' is 32 bits (ULONG), I64 and ll are 64 bits, %wZ prints a
// UNICODE_STRING and %ws / %S a zero-terminated UTF-16 string.
#include "machine.h"
#include "ustring.h"
#include "verifier.h"

#include <stdio.h>
#include <stdlib.h>

#include <mutex>

namespace {

// The log keeps its latest lines up to this size: a long-running program logs a few
// hundred bytes per request and must not grow without end. When it is reached the
// oldest half goes at once (whole lines), so that trimming costs little per line.
const size_t kLogLimit = size_t(1) << 20;

std::mutex g_logLock;
std::string g_log;
bool g_echo = getenv("KELU_DEBUG_ECHO") != nullptr;

enum class Width { Int, Short, Char, Long64, Pointer };

std::string FormatWindows(const char *format, va_list args) {
    std::string out;
    for (const char *p = format; *p != 0; ++p) {
        if (*p != '%') {
            out.push_back(*p);
            continue;
        }
        const char *start = p++;
        if (*p == '%') {
            out.push_back('%');
            continue;
        }
        std::string directive = "%";
        while (*p != 0 && strchr("-+ #0", *p)) directive.push_back(*p++);
        auto takeNumber = [&] {
            if (*p == '*') {
                directive += std::to_string(va_arg(args, int));
                ++p;
            }
            while (*p >= '0' && *p <= '9') directive.push_back(*p++);
        };
        takeNumber();
        if (*p == '.') {
            directive.push_back(*p++);
            takeNumber();
        }
        Width width = Width::Int;
        bool wide = false;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            width = Width::Long64;
            p += 3;
        } else if (p[0] == 'l' && p[1] == 'l') {
            width = Width::Long64;
            p += 2;
        } else if (p[0] == 'h' && p[1] == 'h') {
            width = Width::Char;
            p += 2;
        } else if (*p == 'h') {
            width = Width::Short;
            ++p;
        } else if (*p == 'l' || *p == 'w') {
            wide = true;  // 32-bit integer, or a wide string with s / c
            ++p;
        } else if (*p == 'I' || *p == 'z') {
            width = Width::Pointer;
            ++p;
        }
        char conversion = *p;
        char buffer[128];
        switch (conversion) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
        case 'c': {
            bool isSigned = conversion == 'd' || conversion == 'i';
            if (width == Width::Long64 || width == Width::Pointer) {
                directive += "ll";
                directive.push_back(conversion);
                long long value = width == Width::Long64 ? va_arg(args, long long)
                                                         : (long long)va_arg(args, intptr_t);
                snprintf(buffer, sizeof buffer, directive.c_str(), value);
            } else {
                int value = va_arg(args, int);
                if (width == Width::Short) value = isSigned ? int(short(value)) : int(USHORT(value));
                if (width == Width::Char) value = isSigned ? int((signed char)value) : int(UCHAR(value));
                directive.push_back(conversion);
                snprintf(buffer, sizeof buffer, directive.c_str(), value);
            }
            out += buffer;
            break;
        }
        case 'p':
            snprintf(buffer, sizeof buffer, "%p", va_arg(args, void *));
            out += buffer;
            break;
        case 'Z': {  // %wZ; the ANSI form is not supported
            auto *string = va_arg(args, PCUNICODE_STRING);
            out += string == nullptr ? "(null)" : Utf16ToUtf8(UnicodeView(string));
            break;
        }
        case 'S':
        case 's': {
            if (wide || conversion == 'S') {
                auto *text = va_arg(args, PCWSTR);
                out += text == nullptr ? "(null)" : Utf16ToUtf8(WideView(text));
            } else {
                const char *text = va_arg(args, const char *);
                if (text == nullptr) text = "(null)";
                directive.push_back('s');
                std::string piece(size_t(snprintf(nullptr, 0, directive.c_str(), text)), '\0');
                snprintf(piece.data(), piece.size() + 1, directive.c_str(), text);
                out += piece;
            }
            break;
        }
        default:  // unknown conversion: keep the text as it is
            out.append(start, p + (conversion != 0 ? 1 : 0));
            if (conversion == 0) --p;
            break;
        }
    }
    return out;
}

}  // namespace

void MachineLog(const std::string &text) {
    std::lock_guard<std::mutex> lock(g_logLock);
    g_log += text;
    if (g_log.size() > kLogLimit) {
        size_t cut = g_log.find('\n', g_log.size() - kLogLimit / 2);
        g_log.erase(0, cut == std::string::npos ? g_log.size() - kLogLimit / 2 : cut + 1);
    }
    if (g_echo) fputs(text.c_str(), stderr);
}

std::string MachineDebugLog() {
    std::lock_guard<std::mutex> lock(g_logLock);
    return g_log;
}

void MachineClearDebugLog() {
    std::lock_guard<std::mutex> lock(g_logLock);
    g_log.clear();
}

extern "C" {

ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    std::string text = FormatWindows(Format, args);
    va_end(args);
    MachineLog(text);
    return STATUS_SUCCESS;
}

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR Parameter1, ULONG_PTR Parameter2,
                        ULONG_PTR Parameter3, ULONG_PTR Parameter4) {
    VerifierStop("KE_BUG_CHECK", __builtin_return_address(0),
                 "KeBugCheckEx(0x%08X, %#zx, %#zx, %#zx, %#zx)", BugCheckCode, size_t(Parameter1),
                 size_t(Parameter2), size_t(Parameter3), size_t(Parameter4));
}

}  // extern "C"
