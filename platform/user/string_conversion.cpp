// Conversion between UTF-16 and the machine's ANSI code page, which is UTF-8: the
// code pages an application names for "the system's" text (CP_ACP, CP_OEMCP,
// CP_THREAD_ACP) and CP_UTF8 itself. Invalid input becomes the replacement character,
// or fails when the caller asks for strictness.
#include "win32_internal.h"

#include <cstring>
#include <string>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsMachineCodePage(UINT codePage)
{
    return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP ||
           codePage == CP_UTF8;
}

int Fail(DWORD error)
{
    SetLastError(error);
    return 0;
}

// The next code point of UTF-8 text at `*at`; false for an invalid or cut-short
// sequence, which is skipped one byte at a time.
bool DecodeUtf8(const unsigned char *text, size_t length, size_t *at, char32_t *point)
{
    unsigned char lead = text[*at];
    size_t extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2
                 : (lead & 0xF8) == 0xF0 ? 3 : 4;
    if (extra == 4 || *at + extra >= length) {
        ++*at;
        return false;
    }
    char32_t value = extra == 0 ? lead : lead & (0x3F >> extra);
    for (size_t i = 1; i <= extra; i++) {
        unsigned char next = text[*at + i];
        if ((next & 0xC0) != 0x80) {
            ++*at;
            return false;
        }
        value = (value << 6) | (next & 0x3F);
    }
    static const char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (value < kLeast[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++*at;
        return false;
    }
    *at += extra + 1;
    *point = value;
    return true;
}

// The next code point of UTF-16 text; false for an unpaired surrogate.
bool DecodeUtf16(const WCHAR *text, size_t length, size_t *at, char32_t *point)
{
    char32_t unit = static_cast<char16_t>(text[(*at)++]);
    if (unit < 0xD800 || unit > 0xDFFF) {
        *point = unit;
        return true;
    }
    if (unit > 0xDBFF || *at >= length) {
        return false;
    }
    char32_t low = static_cast<char16_t>(text[*at]);
    if (low < 0xDC00 || low > 0xDFFF) {
        return false;
    }
    ++*at;
    *point = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    return true;
}

void AppendUtf16(std::u16string *out, char32_t point)
{
    if (point < 0x10000) {
        out->push_back(static_cast<char16_t>(point));
        return;
    }
    point -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (point >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (point & 0x3FF)));
}

void AppendUtf8(std::string *out, char32_t point)
{
    if (point < 0x80) {
        out->push_back(static_cast<char>(point));
    } else if (point < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (point >> 6)));
        out->push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (point >> 12)));
        out->push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (point >> 18)));
        out->push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (point & 0x3F)));
    }
}

// Copies a converted text out, or only reports its size when the output size is 0.
template <typename Char, typename Text>
int Deliver(const Text &converted, Char *output, int outputSize)
{
    int needed = static_cast<int>(converted.size());
    if (outputSize == 0) {
        return needed;
    }
    if (needed > outputSize) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(output, converted.data(), converted.size() * sizeof(Char));
    return needed;
}

}  // namespace

extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                          int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar)
{
    if (!IsMachineCodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
        cbMultiByte < -1 || cchWideChar < 0 || (lpWideCharStr == nullptr && cchWideChar != 0)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (dwFlags & ~static_cast<DWORD>(MB_PRECOMPOSED | MB_ERR_INVALID_CHARS)) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    size_t length = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1
                                      : static_cast<size_t>(cbMultiByte);
    const auto *text = reinterpret_cast<const unsigned char *>(lpMultiByteStr);
    std::u16string converted;
    for (size_t at = 0; at < length;) {
        char32_t point = 0;
        if (!DecodeUtf8(text, length, &at, &point)) {
            if (dwFlags & MB_ERR_INVALID_CHARS) {
                return Fail(ERROR_NO_UNICODE_TRANSLATION);
            }
            point = kReplacement;
        }
        AppendUtf16(&converted, point);
    }
    return Deliver(converted, reinterpret_cast<char16_t *>(lpWideCharStr), cchWideChar);
}

extern "C" int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                          int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                          LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar)
{
    if (!IsMachineCodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 ||
        cchWideChar < -1 || cbMultiByte < 0 || (lpMultiByteStr == nullptr && cbMultiByte != 0)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // As on Windows, CP_UTF8 takes no default character: it can encode every valid
    // character and replaces an unpaired surrogate with U+FFFD.
    bool utf8 = CodePage == CP_UTF8;
    if (utf8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    DWORD allowed = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    if (dwFlags & ~allowed) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    size_t length = 0;
    if (cchWideChar == -1) {
        while (lpWideCharStr[length] != 0) {
            length++;
        }
        length++;
    } else {
        length = static_cast<size_t>(cchWideChar);
    }
    std::string converted;
    bool usedDefault = false;
    for (size_t at = 0; at < length;) {
        char32_t point = 0;
        if (DecodeUtf16(lpWideCharStr, length, &at, &point)) {
            AppendUtf8(&converted, point);
        } else if (dwFlags & WC_ERR_INVALID_CHARS) {
            return Fail(ERROR_NO_UNICODE_TRANSLATION);
        } else if (utf8) {
            AppendUtf8(&converted, kReplacement);
        } else {
            // Windows takes the first character of the default.
            converted.push_back(lpDefaultChar != nullptr ? lpDefaultChar[0] : '?');
            usedDefault = true;
        }
    }
    int result = Deliver(converted, lpMultiByteStr, cbMultiByte);
    if (result != 0 && lpUsedDefaultChar != nullptr) {
        *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    }
    return result;
}
