// File operations: path text, buffer limits, and queries on real files.
#include <ysl/fileops.h>

#include <ysl/ydiag_capture.h>

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string str(const char* s)
{
    return s ? std::string(s) : std::string("<null>");
}

struct Case {
    const char* in;
    const char* out;  // null: the function gives null
};

TEST(FileOpsPathText, DirPath)
{
    const Case cases[] = {{"name", nullptr},       {"", nullptr},      {"/x", "\\"}, {"a/b/c", "a/b\\"},
                          {"C:\\a\\b", "C:\\a\\"}, {"dir\\", "dir\\"}, {"\\", "\\"}};
    for (const Case& c : cases) {
        char out[YFILE_PATH_MAX] = "untouched";
        char* r = file_dirpath(c.in, out);
        EXPECT_EQ(str(r), str(c.out)) << c.in;
        if (!c.out) {
            EXPECT_STREQ(out, "untouched") << c.in;
        }
    }
}

TEST(FileOpsPathText, NamePartTrailPathExtension)
{
    struct {
        const char* in;
        const char* name;
        const char* trail;
        const char* ext;
    } cases[] = {
        {"name", "name", nullptr, nullptr},       {"dir\\", "", "", nullptr},
        {"a/b.txt", "b.txt", "b.txt", ".txt"},    {"a.d\\b", "b", "b", nullptr},
        {"x.tar.gz", "x.tar.gz", nullptr, ".gz"}, {"", nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(str(file_namepart(c.in)), str(c.name)) << c.in;
        EXPECT_EQ(str(file_trailpath(c.in)), str(c.trail)) << c.in;
        EXPECT_EQ(str(file_extension(c.in)), str(c.ext)) << c.in;
    }
}

TEST(FileOpsPathText, CutPath)
{
    const Case cases[] = {{"a\\b\\", "a"}, {"\\a", ""},           {"a", nullptr},
                          {"", nullptr},   {"C:\\a\\b", "C:\\a"}, {"a/b/c", "a/b"}};
    for (const Case& c : cases) {
        char buf[YFILE_PATH_MAX];
        std::strcpy(buf, c.in);
        EXPECT_EQ(str(file_cutpath(buf)), str(c.out)) << c.in;
    }
}

TEST(FileOpsPathText, HeadPath_CopiesOrCutsTheFirstComponent)
{
    const Case cases[] = {{"a\\b", "a"}, {"\\a\\b", "\\"}, {"/a", "/"}, {"name", nullptr}, {"C:/x/y", "C:"}};
    for (const Case& c : cases) {
        char out[YFILE_PATH_MAX];
        EXPECT_EQ(str(file_headpath(c.in, out)), str(c.out)) << c.in;
        char cut[YFILE_PATH_MAX];
        std::strcpy(cut, c.in);
        EXPECT_EQ(str(file_headpath(cut, nullptr)), str(c.out)) << c.in;
    }
}

TEST(FileOpsPathText, IsAbsoluteAndDrive)
{
    struct {
        const char* in;
        int absolute;
        const char* drive;
    } cases[] = {{"C:\\a", 1, "C:"},    {"z:", 1, "z:"},    {"c:name", 1, "c:"},
                 {"\\a", 1, nullptr},   {"/a", 1, nullptr}, {"a\\b", 0, nullptr},
                 {"1:\\a", 0, nullptr}, {"C", 0, nullptr},  {"", 0, nullptr}};
    for (const auto& c : cases) {
        EXPECT_EQ(file_isabsolute(c.in), c.absolute) << c.in;
        EXPECT_EQ(str(file_drive(c.in)), str(c.drive)) << c.in;
    }
}

TEST(FileOpsPathText, JoinPath)
{
    struct {
        const char* base;
        const char* rel;
        const char* out;
    } cases[] = {
        {"C:\\a\\b", "..\\c", "C:\\a\\c"},
        {"C:\\a\\b", "./x", "C:\\a\\b\\x"},
        {"C:\\a\\b", "b\\..", "C:\\a\\b\\b\\.."},
        {"C:\\a\\b\\", "x", "C:\\a\\b\\x"},
        {"\\", "x", "\\x"},
        {"\\", "x/../y", "\\x/../y"},
        {"", "x", "x"},
        {"", "..", ".."},
        {"..", "..", "..\\.."},
        {"C:\\a", "D:\\y", nullptr},
        {"C:\\a", "\\y", nullptr},
        {"a", "..\\..\\x", nullptr},
        {"C:\\a", "x\\\\y", "C:\\a\\x\\y"},
    };
    for (const auto& c : cases) {
        char base[YFILE_PATH_MAX];
        std::strcpy(base, c.base);
        char* r = file_joinpath(base, c.rel);
        EXPECT_EQ(str(r), str(c.out)) << c.base << " + " << c.rel;
        if (!c.out) {
            EXPECT_STREQ(base, c.base) << "a failed join leaves the base";
        }
    }
}

TEST(FileOpsPathText, RelPath)
{
    struct {
        const char* from;
        const char* to;
        const char* out;
    } cases[] = {
        {"C:\\a\\b\\f.txt", "C:\\a\\c\\g.txt", "..\\c\\g.txt"},
        {"C:\\a", "C:\\a\\b", "a\\b"},
        {"C:\\a\\f.txt", "C:\\a\\g.txt", "g.txt"},
        {"C:\\a\\b\\c\\f", "C:\\x", "..\\..\\..\\x"},
        {"\\u\\v\\f", "\\u\\w", "..\\w"},
        {"C:\\x", "D:\\y", nullptr},
        {"a\\b", "C:\\y", nullptr},
    };
    for (const auto& c : cases) {
        char out[YFILE_PATH_MAX];
        EXPECT_EQ(str(file_relpath(c.from, c.to, out)), str(c.out)) << c.from << " -> " << c.to;
        EXPECT_EQ(str(file_relpath(c.from, c.to, nullptr)), str(c.out)) << "static buffer";
    }
}

TEST(FileOpsPathText, Backslashes_InPlaceOrIntoBuffer)
{
    char path[] = "a/b\\c/";
    char out[YFILE_PATH_MAX];
    EXPECT_STREQ(file_backslashes(static_cast<const char*>(path), out), "a\\b\\c\\");
    EXPECT_STREQ(path, "a/b\\c/");
    EXPECT_STREQ(file_backslashes(path, nullptr), "a\\b\\c\\");
}

// Results that would not fit a 260-byte path buffer fail instead of running past it.
TEST(FileOpsPathText, ResultsBeyondThePathLimit_FailAndLeaveTheBuffer)
{
    std::string long_base = "C:\\" + std::string(250, 'b');
    char base[YFILE_PATH_MAX];
    std::strcpy(base, long_base.c_str());
    EXPECT_EQ(file_joinpath(base, "component12"), nullptr);
    EXPECT_EQ(file_joinpath(base, "x\\component12"), nullptr);
    EXPECT_STREQ(base, long_base.c_str());
    EXPECT_NE(file_joinpath(base, "c"), nullptr) << "a result of 255 bytes still fits";

    std::string too_long = "C:\\" + std::string(300, 'd') + "\\f";
    char out[YFILE_PATH_MAX] = "untouched";
    EXPECT_EQ(file_dirpath(too_long.c_str(), out), nullptr);
    EXPECT_EQ(file_backslashes(too_long.c_str(), out), nullptr);
    EXPECT_EQ(file_headpath((std::string(300, 'h') + "\\x").c_str(), out), nullptr);
    EXPECT_STREQ(out, "untouched");

    std::string deep = "C:\\x";
    for (int i = 0; i < 100; ++i)
        deep += "\\d";
    EXPECT_EQ(file_relpath((deep + "\\f").c_str(), "C:\\y", out), nullptr) << "100 steps up do not fit";
}

class FileOpsFiles : public ScratchDirTest {};

void make_hidden(const std::string& path)
{
#ifdef _WIN32
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN);
#else
    (void)path;  // on Linux the leading dot of the name hides it
#endif
}

TEST_F(FileOpsFiles, Type_OfFilesDirectoriesAndHiddenOnes)
{
    put("plain", "x");
    put(".hidden", "x");
    make_hidden(path(".hidden"));
    std::filesystem::create_directory(dir_ / ".hdir");
    make_hidden(path(".hdir"));
    YDiagCapture cap;
    EXPECT_EQ(file_type(path("plain").c_str()), '-');
    EXPECT_EQ(file_type(path(".hidden").c_str()), ' ');
    EXPECT_EQ(file_type(path(".hdir").c_str()), 'd');
    EXPECT_EQ(file_type(dir().c_str()), 'd');
    EXPECT_EQ(file_type(path("pl*").c_str()), '-') << "a wildcard gives its first match";
    EXPECT_TRUE(cap.records().empty());
}

TEST_F(FileOpsFiles, Type_OfAMissingPath_FailsWithOneReport)
{
    YDiagCapture cap;
    std::string missing = path("missing");
    EXPECT_EQ(file_type(missing.c_str()), -1);
    ASSERT_EQ(cap.texts(YDIAG_ERRTRACE).size(), 1u);
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE)[0],
              "file_type(): _findfirst(\"" + missing + "\") failed: " + std::strerror(ENOENT));
}

TEST_F(FileOpsFiles, Size_OfDirectoryIsZero_AndOfTwoGiBOnly64BitFits)
{
    EXPECT_EQ(file_size(dir().c_str()), 0);
    EXPECT_EQ(file_size64(dir().c_str()), 0);
    EXPECT_EQ(file_isfile(dir().c_str()), 0);
    put("small", "12345");
    EXPECT_EQ(file_size(path("small").c_str()), 5);
    put("big", "");
    std::filesystem::resize_file(dir_ / "big", 0x80000000ull);  // sparse
    EXPECT_EQ(file_size64(path("big").c_str()), 0x80000000ll);
    EXPECT_EQ(file_size(path("big").c_str()), -1);
    std::filesystem::resize_file(dir_ / "big", 0x7FFFFFFFull);
    EXPECT_EQ(file_size(path("big").c_str()), 0x7FFFFFFF);
    EXPECT_EQ(file_size64(path("missing").c_str()), -1);
}

TEST_F(FileOpsFiles, MakeWritable)
{
    EXPECT_EQ(file_makewritable(path("missing").c_str()), 0);
    put("ro", "x");
    std::filesystem::permissions(dir_ / "ro", std::filesystem::perms::owner_read);
    EXPECT_EQ(file_makewritable(path("ro").c_str()), 1);
    EXPECT_TRUE((std::filesystem::status(dir_ / "ro").permissions() & std::filesystem::perms::owner_write) !=
                std::filesystem::perms::none);
}

TEST_F(FileOpsFiles, Rename_ReplacesAnExistingTarget_AndReportsAFailure)
{
    put("old", "new content");
    put("target", "old content");
    EXPECT_EQ(file_rename(path("old").c_str(), path("target").c_str()), 1);
    EXPECT_EQ(get("target"), "new content");
    EXPECT_EQ(file_exists(path("old").c_str()), 0);

    YDiagCapture cap;
    EXPECT_EQ(file_rename(path("old").c_str(), path("target").c_str()), 0);
    ASSERT_EQ(cap.texts(YDIAG_ERRTRACE).size(), 1u);
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE)[0], "file_rename(): MoveFileEx(" + path("old") + "," + path("target") +
                                                ") failed: " + std::to_string(ERROR_FILE_NOT_FOUND));
}

TEST_F(FileOpsFiles, FullPath_DropsTheTrailingSeparator_AndNeedsAnExistingPath)
{
    put("f", "x");
    char buf[YFILE_PATH_MAX];
    ASSERT_NE(file_fullpath((dir() + "/./f").c_str(), buf), nullptr);
    std::string full = buf;
    EXPECT_EQ(full.find('/'), std::string::npos) << full;
    EXPECT_EQ(full.substr(full.size() - 2), "\\f");
    ASSERT_NE(file_fullpath((dir() + "/").c_str(), buf), nullptr);
    EXPECT_NE(std::string(buf).back(), '\\');

    char* allocated = file_fullpath(path("f").c_str(), nullptr);
    ASSERT_NE(allocated, nullptr);
    EXPECT_EQ(std::string(allocated), full);
    std::free(allocated);
    EXPECT_EQ(file_fullpath(path("missing").c_str(), nullptr), nullptr);
}

TEST_F(FileOpsFiles, IsInside)
{
    std::filesystem::create_directories(dir_ / "a" / "b");
    std::filesystem::create_directories(dir_ / "ab");
    EXPECT_EQ(file_isinside(path("a/b").c_str(), path("a").c_str()), 1);
    EXPECT_EQ(file_isinside(path("ab").c_str(), path("a").c_str()), 0) << "a name prefix is not a parent";
    EXPECT_EQ(file_isinside(path("a").c_str(), path("a").c_str()), 0);
    EXPECT_EQ(file_isinside(path("a").c_str(), path("a/b").c_str()), 0);
    EXPECT_EQ(file_isinside(path("a/missing").c_str(), path("a").c_str()), 0);
}

TEST_F(FileOpsFiles, ReadFirstLine)
{
    put("lines", "first\nsecond\n");
    put("empty", "");
    char buf[YFILE_PATH_MAX];
    EXPECT_EQ(str(file_readfirstline(path("lines").c_str(), buf, sizeof buf)), "first\n");
    EXPECT_EQ(str(file_readfirstline(path("lines").c_str(), buf, 4)), "fir");
    put("crlf", "first\r\nsecond");
    EXPECT_EQ(str(file_readfirstline(path("crlf").c_str(), buf, sizeof buf)), "first\n") << "read in text mode";
    EXPECT_EQ(file_readfirstline(path("empty").c_str(), buf, sizeof buf), nullptr);
    EXPECT_EQ(file_readfirstline(path("missing").c_str(), buf, sizeof buf), nullptr);
}

}  // namespace
