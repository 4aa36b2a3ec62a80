// Files through the Win32 calls and the run-time's names: results and error codes as Windows
// gives them (on winport and under Wine alike), and on Linux the path mapping.
#include <winport/winport.h>

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

class FileTest : public ScratchDirTest {
protected:
    HANDLE open(const std::string& name, DWORD access, DWORD disposition) const
    {
        return CreateFileA(path(name).c_str(), access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    }
};

TEST_F(FileTest, CreateFile_ErrorCodes)
{
    put("exists", "x");
    std::filesystem::create_directory(dir_ / "sub");
    struct {
        const char* name;
        DWORD access;
        DWORD disposition;
        DWORD error;
    } cases[] = {
        {"missing", GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {"nodir/missing", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
        {"nodir/new", GENERIC_WRITE, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
        {"exists", FILE_WRITE_DATA, CREATE_NEW, ERROR_FILE_EXISTS},
        {"sub", GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(open(c.name, c.access, c.disposition), INVALID_HANDLE_VALUE) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
}

TEST_F(FileTest, CreateFile_TellsWhetherTheFileWasThere)
{
    put("exists", "old");
    HANDLE h = open("exists", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(h);
    EXPECT_EQ(get("exists"), "") << "CREATE_ALWAYS cuts the file";
    h = open("new", GENERIC_WRITE, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(h);
}

TEST_F(FileTest, ReadWrite_AndAppendOnlyAccessWritesAtTheEnd)
{
    HANDLE h = open("f", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, "hello", 5, &n, nullptr));
    EXPECT_EQ(n, 5u);
    EXPECT_TRUE(FlushFileBuffers(h));
    EXPECT_TRUE(CloseHandle(h));

    h = open("f", FILE_APPEND_DATA, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteFile(h, " world", 6, &n, nullptr));
    CloseHandle(h);

    h = open("f", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[32] = {};
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "hello world");
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u) << "the end of the file is a read of nothing";
    SetLastError(0);
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr)) << "read access only";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(FileTest, MoveFileEx_ReplacesOnlyWhenAsked)
{
    put("a", "A");
    put("b", "B");
    EXPECT_FALSE(MoveFileExA(path("a").c_str(), path("b").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(MoveFileExA(path("a").c_str(), path("b").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(get("b"), "A");
    EXPECT_FALSE(MoveFileExA(path("a").c_str(), path("c").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(MoveFileExA(path("b").c_str(), path("c").c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(get("c"), "A");

    EXPECT_TRUE(DeleteFileA(path("c").c_str()));
    EXPECT_FALSE(DeleteFileA(path("c").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(FileTest, GetTempFileName_MakesANewEmptyFileEachTime)
{
    std::string dir = dir_.string();
    std::set<std::string> names;
    for (int i = 0; i < 3; ++i) {
        char name[MAX_PATH];
        ASSERT_NE(GetTempFileNameA(dir.c_str(), "ffwxyz", 0, name), 0u);
        std::string leaf = std::string(name).substr(std::string(name).find_last_of("\\/") + 1);
        EXPECT_EQ(leaf.rfind("ffw", 0), 0u) << name;
        EXPECT_EQ(leaf.substr(leaf.size() - 4), ".tmp") << name;
        EXPECT_LE(leaf.size(), 11u) << "three letters of the prefix, four hex digits";
        EXPECT_EQ(std::filesystem::file_size(dir_ / leaf), 0u);
        names.insert(leaf);
    }
    EXPECT_EQ(names.size(), 3u);
    char name[MAX_PATH];
    EXPECT_EQ(GetTempFileNameA(path("missing").c_str(), "ffw", 0, name), 0u);
}

TEST_F(FileTest, Crt_ReadOnlyMeansReadOnlyForEveryone)
{
    put("f", "12345");
    struct _stat64 st;
    ASSERT_EQ(_stat64(path("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5);
    EXPECT_EQ(_chmod(path("f").c_str(), _S_IREAD), 0);
    EXPECT_EQ(_access(path("f").c_str(), 2), -1) << "also for an administrator";
    EXPECT_EQ(_access(path("f").c_str(), 4), 0);
    EXPECT_EQ(_chmod(path("f").c_str(), _S_IREAD | _S_IWRITE), 0);
    EXPECT_EQ(_access(path("f").c_str(), 6), 0);
}

TEST_F(FileTest, FindFirst_WildcardsInOrder_AndAMissingPath)
{
    put("b.txt", "bb");
    put("a.txt", "a");
    put("c.dat", "");
    std::filesystem::create_directory(dir_ / "d.txt");
    struct __finddata64_t fd;
    std::intptr_t h = _findfirst64(path("*.txt").c_str(), &fd);
    ASSERT_NE(h, -1);
    std::string seen = fd.name;
    EXPECT_EQ(fd.size, 1);
    while (_findnext64(h, &fd) == 0)
        seen += std::string(",") + fd.name + ((fd.attrib & _A_SUBDIR) ? "/" : "");
    EXPECT_EQ(seen, "a.txt,b.txt,d.txt/");
    EXPECT_EQ(_findclose(h), 0);

    errno = 0;
    EXPECT_EQ(_findfirst64(path("missing").c_str(), &fd), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(FileTest, FullPath_ResolvesDotsAndSeparators)
{
    char buf[MAX_PATH];
    ASSERT_NE(_fullpath(buf, "C:\\a\\.\\b\\..\\c/d", sizeof buf), nullptr);
    EXPECT_STREQ(buf, "C:\\a\\c\\d");
    ASSERT_NE(_fullpath(buf, "C:\\a\\", sizeof buf), nullptr);
    EXPECT_STREQ(buf, "C:\\a\\");
    ASSERT_NE(_fullpath(buf, "C:\\..\\x", sizeof buf), nullptr);
    EXPECT_STREQ(buf, "C:\\x");
    EXPECT_EQ(_fullpath(buf, "C:\\a", 4), nullptr) << "too small a buffer";

    char cwd[MAX_PATH];
    ASSERT_NE(_getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_NE(_fullpath(buf, "rel", sizeof buf), nullptr);
    EXPECT_EQ(std::string(buf), std::string(cwd) + (std::string(cwd).back() == '\\' ? "" : "\\") + "rel");
    char* allocated = _fullpath(nullptr, "C:\\q", 0);
    ASSERT_NE(allocated, nullptr);
    EXPECT_STREQ(allocated, "C:\\q");
    std::free(allocated);
}

TEST_F(FileTest, Fsopen_TextModeTranslatesLineEnds)
{
    put("in", std::string("a\r\nb\rc\n\r") + "\r\n" + std::string(5000, 'x') + "\r\nend\x1Ahidden");
    FILE* f = _fsopen(path("in").c_str(), "r", _SH_DENYNO);
    ASSERT_NE(f, nullptr);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(f);
    EXPECT_EQ(text, "a\nb\rc\n\r\n" + std::string(5000, 'x') + "\nend") << "Ctrl-Z ends a text file";

    f = _fsopen(path("in").c_str(), "rb", _SH_DENYNO);
    ASSERT_NE(f, nullptr);
    char buf[8];
    EXPECT_STREQ(std::fgets(buf, sizeof buf, f), "a\r\n");
    std::fclose(f);

    f = _fsopen(path("out").c_str(), "w", _SH_DENYNO);
    ASSERT_NE(f, nullptr);
    std::fputs("x\ny\r\n", f);
    std::fclose(f);
    EXPECT_EQ(get("out"), "x\r\ny\r\r\n");
    f = _fsopen(path("out").c_str(), "a", _SH_DENYNO);
    ASSERT_NE(f, nullptr);
    std::fputs("z\n", f);
    std::fclose(f);
    EXPECT_EQ(get("out"), "x\r\ny\r\r\nz\r\n");
}

#ifndef _WIN32

// Where the paths of the library end up on Linux.
class LinuxPathMapping : public FileTest {
protected:
    static std::string prefix() { return std::getenv("WINPORT_PREFIX"); }
    static bool exists(const std::string& linux_path)
    {
        struct stat st;
        return stat(linux_path.c_str(), &st) == 0;
    }
};

TEST_F(LinuxPathMapping, FilesLandWhereTheirPathsSay)
{
    std::string tmp = dir_.string();
    std::string tmp_back = tmp;
    for (char& c : tmp_back)
        if (c == '/')
            c = '\\';
    ASSERT_EQ(mkdir((prefix() + "/drive_c").c_str(), 0700) == 0 || errno == EEXIST, true);
    ASSERT_EQ(mkdir((prefix() + "/drive_c/Sub").c_str(), 0700), 0);
    struct {
        std::string path;
        std::string linux_path;
    } cases[] = {
        {"C:\\Sub\\a.txt", prefix() + "/drive_c/Sub/a.txt"},
        {"c:/Sub/b.txt", prefix() + "/drive_c/Sub/b.txt"},
        {"C:Sub\\c.txt", prefix() + "/drive_c/Sub/c.txt"},
        {"C:\\e.txt", prefix() + "/drive_c/e.txt"},
        {tmp_back + "\\f.txt", tmp + "/f.txt"},
        {tmp + "/g.txt", tmp + "/g.txt"},
    };
    for (const auto& c : cases) {
        HANDLE h = CreateFileA(c.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.path;
        CloseHandle(h);
        EXPECT_TRUE(exists(c.linux_path)) << c.path << " -> " << c.linux_path;
    }
    SetLastError(0);
    EXPECT_EQ(CreateFileA("C:\\sub\\a.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE)
        << "names keep their case";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(LinuxPathMapping, OtherDrives_AreLinksInDosdevices)
{
    SetLastError(0);
    EXPECT_EQ(CreateFileA("L:\\x", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    ASSERT_EQ(mkdir((prefix() + "/dosdevices").c_str(), 0700), 0);
    ASSERT_EQ(symlink(dir_.c_str(), (prefix() + "/dosdevices/l:").c_str()), 0);
    HANDLE h = CreateFileA("l:\\x", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(exists(path("x")));
}

TEST_F(LinuxPathMapping, PathsHandedBack_UseTheWindowsView)
{
    std::string drive = prefix() + "/drive_c";
    ASSERT_EQ(mkdir(drive.c_str(), 0700) == 0 || errno == EEXIST, true);
    ASSERT_EQ(mkdir((drive + "/w").c_str(), 0700), 0);
    struct {
        std::string in;
        std::string out;
    } cases[] = {
        {drive + "/w/./f", "C:\\w\\f"},      {drive, "C:\\"},
        {drive + "/../x", prefix() + "\\x"}, {"/usr/./lib/../bin", "\\usr\\bin"},
        {"\\usr\\bin\\", "\\usr\\bin\\"},
    };
    for (auto& c : cases) {
        for (char& ch : c.out)
            if (ch == '/')
                ch = '\\';
        char buf[MAX_PATH];
        ASSERT_NE(_fullpath(buf, c.in.c_str(), sizeof buf), nullptr) << c.in;
        EXPECT_EQ(std::string(buf), c.out) << c.in;
    }

    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir((drive + "/w").c_str()), 0);
    char cwd[MAX_PATH];
    EXPECT_STREQ(_getcwd(cwd, sizeof cwd), "C:\\w");
    char name[MAX_PATH];
    EXPECT_NE(GetTempFileNameA(".", "ffw", 0, name), 0u);
    EXPECT_EQ(std::string(name).rfind(".\\ffw", 0), 0u) << name;
    EXPECT_NE(GetTempFileNameA("C:/w", "ffw", 0, name), 0u);
    EXPECT_EQ(std::string(name).rfind("C:\\w\\ffw", 0), 0u) << name;
    ASSERT_EQ(chdir(old), 0);
}

TEST_F(LinuxPathMapping, HandlesAreNotInheritedUnlessAsked)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE kept = CreateFileA(path("a").c_str(), GENERIC_WRITE, 0, &inherit, CREATE_NEW, 0, nullptr);
    HANDLE own = CreateFileA(path("b").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(kept, INVALID_HANDLE_VALUE);
    ASSERT_NE(own, INVALID_HANDLE_VALUE);
    int inheritable = 0;
    int private_ = 0;
    for (int fd = 3; fd < 1024; ++fd) {
        char link[64];
        char target[4096];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        int flags = fcntl(fd, F_GETFD);
        if (std::string(target) == path("a"))
            inheritable += !(flags & FD_CLOEXEC);
        if (std::string(target) == path("b"))
            private_ += (flags & FD_CLOEXEC) ? 1 : 0;
    }
    EXPECT_EQ(inheritable, 1);
    EXPECT_EQ(private_, 1);
    CloseHandle(kept);
    CloseHandle(own);
}

#endif

}  // namespace
