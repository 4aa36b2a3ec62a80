// Shell folders: the common application-data folder the suite's configuration lives under.
#include <winport/winport.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

TEST(Shell, CommonAppData_IsProgramDataOnDriveC_AnUnknownFolderFails)
{
    char path[MAX_PATH] = "";
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, path, CSIDL_COMMON_APPDATA, FALSE));
    EXPECT_STREQ(path, "C:\\ProgramData");
    EXPECT_FALSE(SHGetSpecialFolderPathA(nullptr, path, 0x7F, FALSE));
}

TEST(Shell, CreateDirectory_MakesEveryMissingParent)
{
    // A native path of a temporary directory: Windows' own, a Linux absolute path on Linux.
    const std::filesystem::path top =
        std::filesystem::temp_directory_path() / ("vantor-shell-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::remove_all(top);
    const std::string dir = (top / "a" / "b").string();
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, dir.c_str(), nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::is_directory(dir));
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, dir.c_str(), nullptr), ERROR_ALREADY_EXISTS);
    const std::string file = (top / "a" / "f").string();
    std::ofstream(file) << "x";
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, file.c_str(), nullptr), ERROR_ALREADY_EXISTS);
    EXPECT_NE(SHCreateDirectoryExA(nullptr, (file + "/sub").c_str(), nullptr), ERROR_SUCCESS);
    std::filesystem::remove_all(top);
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
