// Files as setup programs see them: the machine's disk behind C:\, host paths, the
// system directory, finding and copying files, local memory.
#include "setup_fixture.h"

#include <cstring>

namespace {

TEST_F(SetupTest, SystemDirectoryIsOnTheMachinesDiskWhereTheLoaderLooks)
{
    char buffer[MAX_PATH];
    UINT length = GetSystemDirectoryA(buffer, sizeof buffer);
    ASSERT_EQ(length, std::strlen("C:\\WINDOWS\\system32"));
    EXPECT_STREQ(buffer, "C:\\WINDOWS\\system32");
    // Too small a buffer: the size needed, with the terminating zero, and no copy.
    char small[5] = "xxxx";
    EXPECT_EQ(GetSystemDirectoryA(small, sizeof small), length + 1);
    EXPECT_STREQ(small, "xxxx");

    // A file copied to System32\DRIVERS (any case) lands where the loader resolves
    // "System32\drivers\..." below its system root.
    WriteText(scratch() + "/image.sys", "image");
    ASSERT_TRUE(CopyFileA((scratch() + "/image.sys").c_str(),
                          "c:\\windows\\SYSTEM32\\DRIVERS\\image.sys", FALSE));
    EXPECT_EQ(ReadText(LoaderSystemRootDirectory() + "/system32/drivers/image.sys"), "image");
}

TEST_F(SetupTest, HostPathsInEitherFormAndWithEitherSeparator)
{
    WriteText(scratch() + "/pkg/kelu.inf", "inf");
    WIN32_FIND_DATAA found;
    for (std::string name : {scratch() + "/pkg/kelu.inf", scratch() + "/pkg\\kelu.inf",
                             scratch() + "//pkg\\\\kelu.inf", "Z:" + scratch() + "/pkg/kelu.inf"}) {
        if (name[0] == 'Z') {
            for (char &c : name) c = c == '/' ? '\\' : c;
        }
        HANDLE search = FindFirstFileA(name.c_str(), &found);
        ASSERT_NE(search, INVALID_HANDLE_VALUE) << name;
        EXPECT_STREQ(found.cFileName, "kelu.inf");
        EXPECT_EQ(found.nFileSizeLow, 3u);
        EXPECT_TRUE(FindClose(search));
    }
}

TEST_F(SetupTest, FindFirstFileReportsWhatIsMissing)
{
    WriteText(scratch() + "/pkg/kelu.inf", "inf");
    WIN32_FIND_DATAA found;
    EXPECT_EQ(FindFirstFileA((scratch() + "/pkg/kelu.sys").c_str(), &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FindFirstFileA((scratch() + "/nowhere/kelu.inf").c_str(), &found),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(FindFirstFileA("Q:\\kelu.inf", &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    HANDLE search = FindFirstFileA((scratch() + "/pkg/*.INF").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(found.cFileName, "kelu.inf");
    EXPECT_TRUE(FindClose(search));
    // A search handle is closed once; anything else is refused.
    EXPECT_FALSE(FindClose(search));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SetupTest, CopyFileOverwritesOnlyWhenAskedAndNeedsTheTargetDirectory)
{
    std::string source = scratch() + "/a.txt";
    WriteText(source, "new");
    WriteText(scratch() + "/b.txt", "old");
    EXPECT_FALSE(CopyFileA(source.c_str(), (scratch() + "/b.txt").c_str(), TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(ReadText(scratch() + "/b.txt"), "old");
    EXPECT_TRUE(CopyFileA(source.c_str(), (scratch() + "/b.txt").c_str(), FALSE));
    EXPECT_EQ(ReadText(scratch() + "/b.txt"), "new");

    EXPECT_FALSE(CopyFileA(source.c_str(), "C:\\NoSuchDirectory\\a.txt", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(CopyFileA((scratch() + "/missing.txt").c_str(), (scratch() + "/c.txt").c_str(),
                           FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // A file copied onto itself stays intact.
    EXPECT_FALSE(CopyFileA(source.c_str(), source.c_str(), FALSE));
    EXPECT_EQ(ReadText(source), "new");
}

TEST_F(SetupTest, LocalMemoryIsZeroFilledAndFreedOnce)
{
    auto *block = static_cast<unsigned char *>(LocalAlloc(LMEM_ZEROINIT, 64));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; i++) ASSERT_EQ(block[i], 0) << i;
    EXPECT_EQ(LocalFree(block), nullptr);
    // Freed or foreign blocks come back unfreed, with the reason.
    EXPECT_EQ(LocalFree(block), block);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    int local = 0;
    EXPECT_EQ(LocalFree(&local), &local);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

}  // namespace
