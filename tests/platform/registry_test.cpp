// The registry: persistence across restarts and the Rtl routines' conventions.
#include "machine_test.h"

#include <wdm.h>

#include "registry.h"

#include <fstream>
#include <sstream>

namespace {

const char16_t *kService = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kelu";

using RegistryTest = MachineTest;

TEST_F(RegistryTest, ValuesSurviveARestartAndTheFileIsReadable) {
    UCHAR map[512];
    for (int i = 0; i < 512; ++i) map[i] = UCHAR(i * 7);
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kService, u"ConnectionMap", REG_BINARY,
                                    map, sizeof map),
              STATUS_SUCCESS);
    ASSERT_EQ(RegistrySetString(kService, u"ImagePath", u"System32\\drivers\\kelu \"x\".sys"),
              STATUS_SUCCESS);
    ASSERT_EQ(RegistrySetDword(kService, u"Start", 3), STATUS_SUCCESS);
    ASSERT_EQ(RegistrySetValue(kService, u"Empty", REG_SZ, nullptr, 0), STATUS_SUCCESS);
    ASSERT_EQ(RegistryCreateKey(std::u16string(kService) + u"\\Enum"), STATUS_SUCCESS);

    std::ifstream file(stateDirectory() + "/registry.txt");
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_NE(text.str().find("\"Start\"=dword:00000003"), std::string::npos) << text.str();

    Restart();

    RegistryValue value;
    ASSERT_EQ(RegistryQueryValue(kService, u"connectionmap", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.type, ULONG(REG_BINARY));
    ASSERT_EQ(value.data.size(), 512u);
    EXPECT_EQ(memcmp(value.data.data(), map, 512), 0);
    std::u16string path;
    ASSERT_EQ(RegistryQueryString(kService, u"ImagePath", &path), STATUS_SUCCESS);
    EXPECT_EQ(path, u"System32\\drivers\\kelu \"x\".sys");
    ULONG start = 0;
    EXPECT_EQ(RegistryQueryDword(kService, u"Start", &start), STATUS_SUCCESS);
    EXPECT_EQ(start, 3u);
    ASSERT_EQ(RegistryQueryValue(kService, u"Empty", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.type, ULONG(REG_SZ));
    EXPECT_TRUE(value.data.empty());
    EXPECT_EQ(RegistryEnumerateSubkeys(kService), std::vector<std::u16string>{u"Enum"});

    // Deletions are written through as well.
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kService, u"Start"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kService, u"Start"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    Restart();
    EXPECT_EQ(RegistryQueryValue(kService, u"Start", &value), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RegistryQueryValue(kService, u"ImagePath", &value), STATUS_SUCCESS);
}

TEST_F(RegistryTest, DeviceMapIsVolatileAcrossRestarts) {
    const char16_t com[] = u"COM1";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Serial0",
                                    REG_SZ, const_cast<char16_t *>(com), sizeof com),
              STATUS_SUCCESS);
    std::u16string text;
    EXPECT_EQ(RegistryQueryString(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                  u"\\Device\\Serial0", &text),
              STATUS_SUCCESS);
    EXPECT_EQ(text, u"COM1");
    Restart();
    EXPECT_EQ(RegistryQueryString(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                  u"\\Device\\Serial0", &text),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(RegistryKeyExists(u"\\Registry\\Machine\\Hardware\\DeviceMap"));
}

// The driver's query: a buffer whose first LONG is its positive size receives the
// length, the type and the data.
struct PrefixedBuffer {
    LONG length;
    ULONG type;
    UCHAR data[512];
};

NTSTATUS QueryDirect(PCWSTR name, void *context, ULONG flags = RTL_QUERY_REGISTRY_DIRECT |
                                                               RTL_QUERY_REGISTRY_REQUIRED) {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = flags;
    table[0].Name = name;
    table[0].EntryContext = context;
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kService, table, nullptr, nullptr);
}

TEST_F(RegistryTest, DirectQueryOfBinaryDataFollowsTheLengthPrefixConvention) {
    EXPECT_EQ(RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED, 0x24);
    PrefixedBuffer buffer{};
    buffer.length = sizeof buffer;
    buffer.type = REG_BINARY;
    // Key missing, then value missing: both STATUS_OBJECT_NAME_NOT_FOUND.
    EXPECT_EQ(QueryDirect(u"ConnectionMap", &buffer), STATUS_OBJECT_NAME_NOT_FOUND);
    RegistryCreateKey(kService);
    EXPECT_EQ(QueryDirect(u"ConnectionMap", &buffer), STATUS_OBJECT_NAME_NOT_FOUND);
    // Without REQUIRED a missing value is skipped and the buffer is left alone.
    EXPECT_EQ(QueryDirect(u"ConnectionMap", &buffer, RTL_QUERY_REGISTRY_DIRECT), STATUS_SUCCESS);
    EXPECT_EQ(buffer.length, LONG(sizeof buffer));

    UCHAR map[512];
    memset(map, 0xFF, 256);
    memset(map + 256, 0, 256);
    map[3] = 5;
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kService, u"ConnectionMap", REG_BINARY, map, 512);
    ASSERT_EQ(QueryDirect(u"ConnectionMap", &buffer), STATUS_SUCCESS);
    EXPECT_EQ(buffer.length, 512);
    EXPECT_EQ(buffer.type, ULONG(REG_BINARY));
    EXPECT_EQ(memcmp(buffer.data, map, 512), 0);

    // One byte more than fits: refused, nothing copied.
    UCHAR big[513] = {};
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kService, u"ConnectionMap", REG_BINARY, big, 513);
    buffer.length = sizeof buffer;
    EXPECT_EQ(QueryDirect(u"ConnectionMap", &buffer), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer.data[3], 5);

    // A negative size: the data alone, from the start of the buffer.
    UCHAR raw[16];
    LONG negative = -LONG(sizeof raw);
    memcpy(raw, &negative, sizeof negative);
    UCHAR ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kService, u"Small", REG_BINARY, ten, 10);
    ASSERT_EQ(QueryDirect(u"Small", raw), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(raw, ten, 10), 0);
    // A positive size that leaves no room after the two header words.
    LONG tight[4] = {16, 0, 0, 0};
    EXPECT_EQ(QueryDirect(u"Small", tight), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(RegistryTest, DirectQueryOfDwordsStringsAndDefaults) {
    RegistryCreateKey(kService);
    ULONG start = 9;
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kService, u"Start", REG_DWORD, &start, 4);
    ULONG read = 0;
    ASSERT_EQ(QueryDirect(u"Start", &read), STATUS_SUCCESS);
    EXPECT_EQ(read, 9u);

    RegistrySetString(kService, u"DisplayName", u"Virtual port");
    UNICODE_STRING allocated = {0, 0, nullptr};
    ASSERT_EQ(QueryDirect(u"DisplayName", &allocated), STATUS_SUCCESS);
    EXPECT_EQ(allocated.Length, 24);
    EXPECT_EQ(std::u16string(allocated.Buffer, allocated.Length / 2), u"Virtual port");
    ExFreePoolWithTag(allocated.Buffer, 0);  // the caller owns the buffer

    WCHAR small[4];
    UNICODE_STRING tooSmall = {0, sizeof small, small};
    EXPECT_EQ(QueryDirect(u"DisplayName", &tooSmall), STATUS_BUFFER_TOO_SMALL);

    ULONG fallback = 42, result = 0;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = u"Missing";
    table[0].EntryContext = &result;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &fallback;
    table[0].DefaultLength = sizeof fallback;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"kelu", table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 42u);
}

NTSTATUS NTAPI CollectValue(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context,
                            PVOID entryContext) {
    auto *seen = static_cast<std::vector<std::u16string> *>(context);
    EXPECT_EQ(entryContext, context);
    std::u16string text = name;
    if (type == REG_SZ) text += u"=" + std::u16string(static_cast<char16_t *>(data), length / 2 - 1);
    seen->push_back(text);
    return STATUS_SUCCESS;
}

TEST_F(RegistryTest, QueryRoutineSeesEachValueAndMultiStringsOneByOne) {
    RegistrySetString(kService, u"A", u"one");
    const char16_t multi[] = u"x\0yz\0";
    RegistrySetValue(kService, u"B", REG_MULTI_SZ, multi, sizeof multi);
    std::vector<std::u16string> seen;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = CollectValue;
    table[0].EntryContext = &seen;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kService, table, &seen, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"A=one", u"B=x", u"B=yz"}));
}

TEST_F(RegistryTest, PathsOutsideTheRegistryAreRefused) {
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\Device\\X", u"V", REG_DWORD,
                                    const_cast<char16_t *>(u"ab"), 4),
              STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(RtlWriteRegistryValue(99, u"X", u"V", REG_DWORD, const_cast<char16_t *>(u"ab"), 4),
              STATUS_INVALID_PARAMETER);
}

}  // namespace
