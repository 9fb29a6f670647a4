// UTF-16 strings in platform code: counted strings to and from std::u16string,
// ASCII-insensitive comparison as the object manager and registry use it.
#pragma once

#include <ntdef.h>

#include <string>
#include <string_view>

std::u16string_view UnicodeView(PCUNICODE_STRING string);
std::u16string_view WideView(PCWSTR text);  // zero-terminated; empty for null
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
char16_t FoldCase(char16_t c);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
// Ordering for maps keyed by case-insensitive names.
struct NoCaseLess {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const;
};
