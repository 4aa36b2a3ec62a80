// Files through the Win32 calls and the run-time's names: results and error codes as Windows
// gives them (on winport and under Wine alike), and on Linux the path mapping.
#include <winport/winport.h>

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The last error after a call that had to fail; ~0 if it succeeded.
DWORD error_of(bool succeeded)
{
    return succeeded ? ~0u : GetLastError();
}

class FileTest : public ScratchDirTest {
protected:
    HANDLE open(const std::string& name, DWORD access, DWORD disposition) const
    {
        return CreateFileA(path(name).c_str(), access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    }
    // Writes the text through a run-time stream opened with the mode; gives the file's bytes.
    std::string write_text(const char* mode, const char* text) const
    {
        FILE* f = _fsopen(path("out").c_str(), mode, _SH_DENYNO);
        EXPECT_NE(f, nullptr);
        if (f) {
            std::fputs(text, f);
            std::fclose(f);
        }
        return get("out");
    }
};

// The last error tells a failure's cause, and after a success whether the file was there.
TEST_F(FileTest, CreateFile_LastErrorForEachDisposition)
{
    put("exists", "old");
    std::filesystem::create_directory(dir_ / "sub");
    struct {
        const char* name;
        DWORD access;
        DWORD disposition;
        bool opens;
        DWORD error;
    } cases[] = {
        {"missing", GENERIC_READ, OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND},
        {"nodir/missing", GENERIC_READ, OPEN_EXISTING, false, ERROR_PATH_NOT_FOUND},
        {"exists", FILE_WRITE_DATA, CREATE_NEW, false, ERROR_FILE_EXISTS},
        {"sub", GENERIC_READ, OPEN_EXISTING, false, ERROR_ACCESS_DENIED},
        {"exists", GENERIC_WRITE, CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS},
        {"new", GENERIC_WRITE, OPEN_ALWAYS, true, ERROR_SUCCESS},
    };
    for (const auto& c : cases) {
        SetLastError(0xdead);
        HANDLE h = open(c.name, c.access, c.disposition);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    EXPECT_EQ(get("exists"), "") << "CREATE_ALWAYS cuts the file";
}

TEST_F(FileTest, ReadWrite_AndAppendOnlyAccessWritesAtTheEnd)
{
    DWORD n = 0;
    HANDLE h = open("f", GENERIC_WRITE, CREATE_NEW);
    EXPECT_TRUE(WriteFile(h, "hello", 5, &n, nullptr));
    EXPECT_EQ(n, 5u);
    EXPECT_TRUE(FlushFileBuffers(h));
    EXPECT_TRUE(CloseHandle(h));
    h = open("f", FILE_APPEND_DATA, OPEN_ALWAYS);
    EXPECT_TRUE(WriteFile(h, " world", 6, &n, nullptr));
    CloseHandle(h);

    h = open("f", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[32] = {};
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "hello world");
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u) << "the end of the file is a read of nothing";
    EXPECT_EQ(error_of(WriteFile(h, "x", 1, &n, nullptr)), ERROR_ACCESS_DENIED) << "read access only";
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(error_of(ReadFile(h, buf, sizeof buf, &n, nullptr)), ERROR_INVALID_HANDLE);
}

TEST_F(FileTest, MoveFileEx_ReplacesOnlyWhenAsked)
{
    put("a", "A");
    put("b", "B");
    EXPECT_EQ(error_of(MoveFileExA(path("a").c_str(), path("b").c_str(), 0)), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(MoveFileExA(path("a").c_str(), path("b").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(get("b"), "A");
    EXPECT_EQ(error_of(MoveFileExA(path("a").c_str(), path("c").c_str(), MOVEFILE_REPLACE_EXISTING)),
              ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(MoveFileExA(path("b").c_str(), path("c").c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(get("c"), "A");

    EXPECT_TRUE(DeleteFileA(path("c").c_str()));
    EXPECT_EQ(error_of(DeleteFileA(path("c").c_str())), ERROR_FILE_NOT_FOUND);
}

TEST_F(FileTest, GetTempFileName_MakesANewEmptyFileEachTime)
{
    std::set<std::string> names;
    char name[MAX_PATH];
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(GetTempFileNameA(dir().c_str(), "ffwxyz", 0, name), 0u);
        std::string leaf = std::string(name).substr(std::string(name).find_last_of("\\/") + 1);
        EXPECT_EQ(leaf.rfind("ffw", 0), 0u) << name;
        EXPECT_EQ(leaf.substr(leaf.size() - 4), ".tmp") << name;
        EXPECT_LE(leaf.size(), 11u) << "three letters of the prefix, four hex digits";
        EXPECT_EQ(std::filesystem::file_size(dir_ / leaf), 0u);
        names.insert(leaf);
    }
    EXPECT_EQ(names.size(), 3u);
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
    char cwd[MAX_PATH];
    ASSERT_NE(_getcwd(cwd, sizeof cwd), nullptr);
    std::string rel = std::string(cwd) + (std::string(cwd).back() == '\\' ? "" : "\\") + "rel";
    struct {
        const char* in;
        std::string out;
    } cases[] = {{"C:\\a\\.\\b\\..\\c/d", "C:\\a\\c\\d"}, {"C:\\a\\", "C:\\a\\"}, {"C:\\..\\x", "C:\\x"}, {"rel", rel}};
    char buf[MAX_PATH];
    for (const auto& c : cases) {
        ASSERT_NE(_fullpath(buf, c.in, sizeof buf), nullptr) << c.in;
        EXPECT_EQ(buf, c.out) << c.in;
    }
    EXPECT_EQ(_fullpath(buf, "C:\\a", 4), nullptr) << "too small a buffer";
    char* allocated = _fullpath(nullptr, "C:\\q", 0);
    ASSERT_NE(allocated, nullptr);
    EXPECT_STREQ(allocated, "C:\\q");
    std::free(allocated);
}

// ".." at a drive's root stays at the root, for every call that takes a path: a file made
// through each spelling is the file at the root of drive C.
TEST_F(FileTest, DotDotAtTheDriveRoot_StaysOnTheDrive)
{
    const std::string name = "vantor-root-" + std::to_string(GetCurrentProcessId());
    const std::string at_root = "C:\\" + name;
    const std::string spellings[] = {"C:\\..\\" + name, "C:\\a\\..\\..\\" + name, "C:/../../" + name,
                                     "C:\\..\\.\\b\\..\\..\\" + name};
    char buf[MAX_PATH];
    for (const std::string& spelling : spellings) {
        ASSERT_NE(_fullpath(buf, spelling.c_str(), sizeof buf), nullptr) << spelling;
        EXPECT_EQ(buf, at_root) << spelling;
        HANDLE h = CreateFileA(spelling.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << spelling << ", error " << GetLastError();
        CloseHandle(h);
        EXPECT_EQ(_access(at_root.c_str(), 0), 0) << spelling;
        struct _stat64 st;
        EXPECT_EQ(_stat64(spelling.c_str(), &st), 0) << spelling;
        EXPECT_EQ(_unlink(spelling.c_str()), 0) << spelling;
        EXPECT_NE(_access(at_root.c_str(), 0), 0) << spelling;
    }
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

    EXPECT_EQ(write_text("w", "x\ny\r\n"), "x\r\ny\r\r\n");
    EXPECT_EQ(write_text("a", "z\n"), "x\r\ny\r\r\nz\r\n");
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
    // Makes drive C and the directory in it.
    static std::string drive_c(const char* sub)
    {
        std::string drive = prefix() + "/drive_c";
        EXPECT_TRUE(mkdir(drive.c_str(), 0700) == 0 || errno == EEXIST);
        EXPECT_EQ(mkdir((drive + "/" + sub).c_str(), 0700), 0);
        return drive;
    }
    static HANDLE create_new(const std::string& path)
    {
        return CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
};

TEST_F(LinuxPathMapping, FilesLandWhereTheirPathsSay)
{
    std::string drive = drive_c("Sub"), tmp = dir(), tmp_back = tmp;
    std::replace(tmp_back.begin(), tmp_back.end(), '/', '\\');
    struct {
        std::string path;
        std::string linux_path;
    } cases[] = {{"C:\\Sub\\a.txt", drive + "/Sub/a.txt"},
                 {"c:/Sub/b.txt", drive + "/Sub/b.txt"},
                 {"C:Sub\\c.txt", drive + "/Sub/c.txt"},
                 {tmp_back + "\\f.txt", tmp + "/f.txt"}};
    for (const auto& c : cases) {
        HANDLE h = create_new(c.path);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.path;
        CloseHandle(h);
        EXPECT_TRUE(exists(c.linux_path)) << c.path << " -> " << c.linux_path;
    }
    EXPECT_EQ(error_of(create_new("C:\\sub\\z.txt") != INVALID_HANDLE_VALUE), ERROR_PATH_NOT_FOUND)
        << "names keep their case";
}

// A pattern without a directory searches the working directory, describing each entry itself.
TEST_F(LinuxPathMapping, FindFirst_RelativePattern)
{
    put("a.txt", "a");
    put(".a.txt", "a hidden twin");
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    struct __finddata64_t fd;
    std::intptr_t h = _findfirst64("a*", &fd);
    ASSERT_EQ(chdir(old), 0);
    ASSERT_NE(h, -1);
    EXPECT_STREQ(fd.name, "a.txt");
    EXPECT_EQ(fd.size, 1);
    EXPECT_EQ(fd.attrib & _A_HIDDEN, 0u);
    EXPECT_EQ(_findclose(h), 0);
}

TEST_F(LinuxPathMapping, OtherDrives_AreLinksInDosdevices)
{
    EXPECT_EQ(error_of(create_new("L:\\x") != INVALID_HANDLE_VALUE), ERROR_PATH_NOT_FOUND);
    ASSERT_EQ(mkdir((prefix() + "/dosdevices").c_str(), 0700), 0);
    ASSERT_EQ(symlink(dir_.c_str(), (prefix() + "/dosdevices/l:").c_str()), 0);
    HANDLE h = create_new("l:\\x");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(exists(path("x")));
}

TEST_F(LinuxPathMapping, PathsHandedBack_UseTheWindowsView)
{
    std::string drive = drive_c("w");
    struct {
        std::string in;
        std::string out;
    } cases[] = {{drive + "/w/./f", "C:\\w\\f"},
                 {drive, "C:\\"},
                 {drive + "/../x", prefix() + "\\x"},
                 {"\\usr\\bin\\", "\\usr\\bin\\"}};
    for (auto& c : cases) {
        std::replace(c.out.begin(), c.out.end(), '/', '\\');
        char buf[MAX_PATH];
        ASSERT_NE(_fullpath(buf, c.in.c_str(), sizeof buf), nullptr) << c.in;
        EXPECT_EQ(std::string(buf), c.out) << c.in;
    }

    char old[4096], cwd[MAX_PATH], name[MAX_PATH];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir((drive + "/w").c_str()), 0);
    EXPECT_STREQ(_getcwd(cwd, sizeof cwd), "C:\\w");
    // Climbing from a working directory in drive C stops at its root, as on Windows.
    EXPECT_STREQ(_fullpath(name, "..\\..\\x", sizeof name), "C:\\x");
    HANDLE h = create_new("..\\..\\x");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(exists(drive + "/x"));
    EXPECT_NE(GetTempFileNameA(".", "ffw", 0, name), 0u);
    EXPECT_EQ(std::string(name).rfind(".\\ffw", 0), 0u) << name;
    EXPECT_NE(GetTempFileNameA("C:/w", "ffw", 0, name), 0u);
    EXPECT_EQ(std::string(name).rfind("C:\\w\\ffw", 0), 0u) << name;
    ASSERT_EQ(chdir(old), 0);
}

// Whether the descriptors of this process open on the file are closed on exec: "y", "n" for each.
std::string close_on_exec(const std::string& file)
{
    std::string flags;
    for (int fd = 3; fd < 1024; ++fd) {
        char link[64], target[4096];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == file)
            flags += (fcntl(fd, F_GETFD) & FD_CLOEXEC) ? "y" : "n";
    }
    return flags;
}

TEST_F(LinuxPathMapping, HandlesAreNotInheritedUnlessAsked)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE kept = CreateFileA(path("a").c_str(), GENERIC_WRITE, 0, &inherit, CREATE_NEW, 0, nullptr);
    HANDLE own = create_new(path("b"));
    EXPECT_EQ(close_on_exec(path("a")), "n");
    EXPECT_EQ(close_on_exec(path("b")), "y");
    CloseHandle(kept);
    CloseHandle(own);
}

#endif

}  // namespace
