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
