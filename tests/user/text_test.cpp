// Text as applications handle it: conversions between UTF-16 and the ANSI code page,
// and the system's message texts for Win32 errors.
#include "win32_fixture.h"

#include <cstring>
#include <functional>
#include <string>

namespace {

std::u16string Wide(const WCHAR *text, int count)
{
    return std::u16string(reinterpret_cast<const char16_t *>(text), count);
}

}  // namespace

TEST_F(Win32Test, ConversionsRoundTripAnsiAndUtf16WithSizeQueries)
{
    const char *text = "COM1 \xC3\xA9 \xF0\x9F\x98\x80";  // "COM1 é 😀": 2 + 4 bytes beyond ASCII
    int wideNeeded = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    EXPECT_EQ(wideNeeded, 10);  // 5 + é + space + a surrogate pair + the zero
    WCHAR wide[16];
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 16), wideNeeded);
    EXPECT_EQ(Wide(wide, 9), u"COM1 \u00E9 \U0001F600");
    EXPECT_EQ(wide[9], 0);

    int ansiNeeded = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, nullptr, 0,
                                         nullptr, nullptr);
    EXPECT_EQ(ansiNeeded, 13);
    char back[16];
    BOOL usedDefault = TRUE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, back, sizeof(back),
                                  nullptr, &usedDefault),
              ansiNeeded);
    EXPECT_STREQ(back, text);
    EXPECT_FALSE(usedDefault);
    // A counted input converts exactly that many units, with no zero added.
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, 4, back, sizeof(back), nullptr, nullptr), 4);
    EXPECT_EQ(std::string(back, 4), "COM1");
}

TEST_F(Win32Test, InvalidTextIsReplacedUnlessTheCallerAsksForStrictness)
{
    const char broken[] = {'a', '\xC3', 'b', '\xFF', 0};
    WCHAR wide[8];
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, broken, -1, wide, 8), 5);
    EXPECT_EQ(Wide(wide, 4), u"a\uFFFDb\uFFFD");
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, broken, -1, wide, 8), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);

    const WCHAR loneSurrogate[] = {u'x', 0xD800, u'y'};
    char ansi[8] = {};
    BOOL usedDefault = FALSE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, loneSurrogate, 3, ansi, sizeof(ansi), "#", &usedDefault), 3);
    EXPECT_EQ(std::string(ansi, 3), "x#y");
    EXPECT_TRUE(usedDefault);
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, loneSurrogate, 3, ansi, sizeof(ansi), nullptr, nullptr), 5);
    EXPECT_EQ(std::string(ansi, 5), "x\xEF\xBF\xBDy");
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, loneSurrogate, 3, ansi,
                                  sizeof(ansi), nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);
}

TEST_F(Win32Test, ConversionsRefuseBadArgumentsAndShortBuffers)
{
    WCHAR wide[4];
    char ansi[4];
    struct Case {
        std::function<int()> call;
        DWORD error;
    };
    const Case cases[] = {
        {[&] { return MultiByteToWideChar(CP_ACP, 0, "hello", -1, wide, 4); }, ERROR_INSUFFICIENT_BUFFER},
        {[&] { return MultiByteToWideChar(1252, 0, "a", -1, wide, 4); }, ERROR_INVALID_PARAMETER},
        {[&] { return MultiByteToWideChar(CP_ACP, 0, nullptr, -1, wide, 4); }, ERROR_INVALID_PARAMETER},
        {[&] { return MultiByteToWideChar(CP_ACP, 0, "a", 0, wide, 4); }, ERROR_INVALID_PARAMETER},
        {[&] { return MultiByteToWideChar(CP_ACP, 0, "a", -1, nullptr, 4); }, ERROR_INVALID_PARAMETER},
        {[&] { return MultiByteToWideChar(CP_ACP, 0x10, "a", -1, wide, 4); }, ERROR_INVALID_FLAGS},
        {[&] { return WideCharToMultiByte(CP_ACP, 0, u"hello", -1, ansi, 4, nullptr, nullptr); },
         ERROR_INSUFFICIENT_BUFFER},
        {[&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", -1, ansi, 4, "?", nullptr); },
         ERROR_INVALID_PARAMETER},
        {[&] { return WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, u"a", -1, ansi, 4, nullptr, nullptr); },
         ERROR_INVALID_FLAGS},
        {[&] { return WideCharToMultiByte(CP_ACP, 0, u"a", -2, ansi, 4, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(cases[i].call(), 0) << "case " << i;
        EXPECT_EQ(GetLastError(), cases[i].error) << "case " << i;
    }
}

TEST_F(Win32Test, FormatMessageGivesTheSystemTextOfAnError)
{
    char *allocated = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, ERROR_ACCESS_DENIED,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
    ASSERT_NE(allocated, nullptr);
    EXPECT_STREQ(allocated, "Access is denied.\r\n");
    EXPECT_EQ(length, 19u);
    EXPECT_EQ(LocalFree(allocated), nullptr);  // a LocalAlloc block

    char text[64];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr,
                             ERROR_FILE_NOT_FOUND, 0, text, sizeof(text), nullptr),
              42u);
    EXPECT_STREQ(text, "The system cannot find the file specified.");
}

TEST_F(Win32Test, FormatMessageRefusals)
{
    char text[8];
    struct Case {
        DWORD flags;
        DWORD id;
        DWORD language;
        DWORD size;
        DWORD error;
    };
    const Case cases[] = {
        {FORMAT_MESSAGE_FROM_SYSTEM, ERROR_ACCESS_DENIED, 0, sizeof(text), ERROR_INSUFFICIENT_BUFFER},
        {FORMAT_MESSAGE_FROM_SYSTEM, 0x20000101, 0, sizeof(text), ERROR_MR_MID_NOT_FOUND},
        {FORMAT_MESSAGE_FROM_SYSTEM, ERROR_SUCCESS, MAKELANGID(0x07, SUBLANG_DEFAULT), sizeof(text),
         ERROR_RESOURCE_LANG_NOT_FOUND},
        {FORMAT_MESSAGE_FROM_STRING, ERROR_SUCCESS, 0, sizeof(text), ERROR_INVALID_PARAMETER},
        {FORMAT_MESSAGE_FROM_SYSTEM | 40, ERROR_SUCCESS, 0, sizeof(text), ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        std::memset(text, 'x', sizeof(text));
        EXPECT_EQ(FormatMessageA(c.flags, nullptr, c.id, c.language, text, c.size, nullptr), 0u)
            << c.id;
        EXPECT_EQ(GetLastError(), c.error) << c.id;
    }
}
