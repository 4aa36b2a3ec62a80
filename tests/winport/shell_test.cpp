// Shell folders: the common application-data folder the suite's configuration lives under.
#include <winport/winport.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

TEST(Shell, CommonAppData_IsProgramDataOnDriveC)
{
    char path[MAX_PATH] = "";
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, path, CSIDL_COMMON_APPDATA, FALSE));
    EXPECT_STREQ(path, "C:\\ProgramData");
}

TEST(Shell, UnknownFolder_Fails)
{
    char path[MAX_PATH] = "";
    EXPECT_FALSE(SHGetSpecialFolderPathA(nullptr, path, 0x7F, FALSE));
}

TEST(Shell, CreateDirectory_MakesEveryMissingParent)
{
    char base[MAX_PATH] = "";
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, base, CSIDL_COMMON_APPDATA, FALSE));
    // A name of its own per run: under Wine the prefix outlives the test.
    std::string dir = std::string(base) + "\\VantorShellTest-" + std::to_string(GetCurrentProcessId()) + "\\a\\b";
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, dir.c_str(), nullptr), ERROR_SUCCESS);
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, dir.c_str(), nullptr), ERROR_ALREADY_EXISTS);
    std::string file = dir + "\\f";
    HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, file.c_str(), nullptr), ERROR_ALREADY_EXISTS);
    EXPECT_NE(SHCreateDirectoryExA(nullptr, (file + "\\sub").c_str(), nullptr), ERROR_SUCCESS);
    DeleteFileA(file.c_str());
}

#ifndef _WIN32
TEST(LinuxShell, CommonAppData_ExistsInThePrefixWithoutBeingAskedFor)
{
    char path[MAX_PATH] = "";
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, path, CSIDL_COMMON_APPDATA, FALSE));
    struct stat st;
    std::string dir = std::string(std::getenv("WINPORT_PREFIX")) + "/drive_c/ProgramData";
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 077, 0u);
}
#endif

}  // namespace
