// File operations: path text, buffer limits, and queries on real files.
#include <ysl/fileops.h>

#include <ysl/ydiag_capture.h>

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

std::string str(const char* s)
{
    return s ? std::string(s) : std::string("<null>");
}

// Input and result; a null result: the function gives null.
using Case = std::pair<const char*, const char*>;

TEST(FileOpsPathText, DirPath)
{
    const Case cases[] = {{"name", nullptr},       {"", nullptr},      {"/x", "\\"}, {"a/b/c", "a/b\\"},
                          {"C:\\a\\b", "C:\\a\\"}, {"dir\\", "dir\\"}, {"\\", "\\"}};
    for (const auto& [in, want] : cases) {
        char out[YFILE_PATH_MAX] = "untouched";
        EXPECT_EQ(str(file_dirpath(in, out)), str(want)) << in;
        if (!want) {
            EXPECT_STREQ(out, "untouched") << in;
        }
    }
}

TEST(FileOpsPathText, NamePartTrailPathExtension)
{
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        {"name", "name", nullptr, nullptr},       {"dir\\", "", "", nullptr},
        {"a/b.txt", "b.txt", "b.txt", ".txt"},    {"a.d\\b", "b", "b", nullptr},
        {"x.tar.gz", "x.tar.gz", nullptr, ".gz"}, {"", nullptr, nullptr, nullptr}};
    for (const auto& [in, name, trail, ext] : cases) {
        EXPECT_EQ(str(file_namepart(in)), str(name)) << in;
        EXPECT_EQ(str(file_trailpath(in)), str(trail)) << in;
        EXPECT_EQ(str(file_extension(in)), str(ext)) << in;
    }
}

TEST(FileOpsPathText, CutPath)
{
    const Case cases[] = {{"a\\b\\", "a"}, {"\\a", ""},           {"a", nullptr},
                          {"", nullptr},   {"C:\\a\\b", "C:\\a"}, {"a/b/c", "a/b"}};
    for (const auto& [in, want] : cases) {
        char buf[YFILE_PATH_MAX];
        std::strcpy(buf, in);
        EXPECT_EQ(str(file_cutpath(buf)), str(want)) << in;
    }
}

TEST(FileOpsPathText, HeadPath_CopiesOrCutsTheFirstComponent)
{
    const Case cases[] = {{"a\\b", "a"}, {"\\a\\b", "\\"}, {"/a", "/"}, {"name", nullptr}, {"C:/x/y", "C:"}};
    for (const auto& [in, want] : cases) {
        char out[YFILE_PATH_MAX];
        EXPECT_EQ(str(file_headpath(in, out)), str(want)) << in;
        char cut[YFILE_PATH_MAX];
        std::strcpy(cut, in);
        EXPECT_EQ(str(file_headpath(cut, nullptr)), str(want)) << in;
    }
}

TEST(FileOpsPathText, IsAbsoluteAndDrive)
{
    const std::tuple<const char*, int, const char*> cases[] = {
        {"C:\\a", 1, "C:"},   {"z:", 1, "z:"},       {"c:name", 1, "c:"}, {"\\a", 1, nullptr}, {"/a", 1, nullptr},
        {"a\\b", 0, nullptr}, {"1:\\a", 0, nullptr}, {"C", 0, nullptr},   {"", 0, nullptr}};
    for (const auto& [in, absolute, drive] : cases) {
        EXPECT_EQ(file_isabsolute(in), absolute) << in;
        EXPECT_EQ(str(file_drive(in)), str(drive)) << in;
    }
}

TEST(FileOpsPathText, JoinPath)
{
    const std::tuple<const char*, const char*, const char*> cases[] = {
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
    for (const auto& [in, rel, out] : cases) {
        char base[YFILE_PATH_MAX];
        std::strcpy(base, in);
        EXPECT_EQ(str(file_joinpath(base, rel)), str(out)) << in << " + " << rel;
        if (!out) {
            EXPECT_STREQ(base, in) << "a failed join leaves the base";
        }
    }
}

TEST(FileOpsPathText, RelPath)
{
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"C:\\a\\b\\f.txt", "C:\\a\\c\\g.txt", "..\\c\\g.txt"},
        {"C:\\a", "C:\\a\\b", "a\\b"},
        {"C:\\a\\f.txt", "C:\\a\\g.txt", "g.txt"},
        {"C:\\a\\b\\c\\f", "C:\\x", "..\\..\\..\\x"},
        {"\\u\\v\\f", "\\u\\w", "..\\w"},
        {"C:\\x", "D:\\y", nullptr},
        {"a\\b", "C:\\y", nullptr}};
    for (const auto& [from, to, want] : cases) {
        char out[YFILE_PATH_MAX];
        EXPECT_EQ(str(file_relpath(from, to, out)), str(want)) << from << " -> " << to;
        EXPECT_EQ(str(file_relpath(from, to, nullptr)), str(want)) << "static buffer";
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

// A hidden file is ' ', a hidden directory still 'd'; a missing path fails with one report.
TEST_F(FileOpsFiles, Type)
{
    put("plain", "x");
    put(".hidden", "x");
    make_hidden(path(".hidden"));
    std::filesystem::create_directory(dir_ / ".hdir");
    make_hidden(path(".hdir"));
    const std::string missing = path("missing");
    YDiagCapture cap;
    EXPECT_EQ(file_type(path("plain").c_str()), '-');
    EXPECT_EQ(file_type(path(".hidden").c_str()), ' ');
    EXPECT_EQ(file_type(path(".hdir").c_str()), 'd');
    EXPECT_EQ(file_type(path("pl*").c_str()), '-') << "a wildcard gives its first match";
    EXPECT_TRUE(cap.records().empty());
    EXPECT_EQ(file_type(missing.c_str()), -1);
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), std::vector<std::string>{"file_type(): _findfirst(\"" + missing +
                                                                  "\") failed: " + std::strerror(ENOENT)});
}

TEST_F(FileOpsFiles, Size_OfDirectoryIsZero_AndOfTwoGiBOnly64BitFits)
{
    EXPECT_EQ(file_size(dir().c_str()), 0);
    EXPECT_EQ(file_isfile(dir().c_str()), 0);
    put("big", "");
    std::filesystem::resize_file(dir_ / "big", 0x80000000ull);  // sparse
    EXPECT_EQ(file_size64(path("big").c_str()), 0x80000000ll);
    EXPECT_EQ(file_size(path("big").c_str()), -1);
    std::filesystem::resize_file(dir_ / "big", 0x7FFFFFFFull);
    EXPECT_EQ(file_size(path("big").c_str()), 0x7FFFFFFF);
    EXPECT_EQ(file_size64(path("missing").c_str()), -1);
}

// A read-only target is made writable, then replaced by the rename; a failed rename reports
// the system error.
TEST_F(FileOpsFiles, MakeWritableAndRename)
{
    EXPECT_EQ(file_makewritable(path("missing").c_str()), 0);
    put("old", "new content");
    put("target", "old content");
    std::filesystem::permissions(dir_ / "target", std::filesystem::perms::owner_read);
    EXPECT_EQ(file_makewritable(path("target").c_str()), 1);
    EXPECT_TRUE((std::filesystem::status(dir_ / "target").permissions() & std::filesystem::perms::owner_write) !=
                std::filesystem::perms::none);
    EXPECT_EQ(file_rename(path("old").c_str(), path("target").c_str()), 1);
    EXPECT_EQ(get("target"), "new content");
    EXPECT_EQ(file_exists(path("old").c_str()), 0);

    YDiagCapture cap;
    EXPECT_EQ(file_rename(path("old").c_str(), path("target").c_str()), 0);
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
              std::vector<std::string>{"file_rename(): MoveFileEx(" + path("old") + "," + path("target") +
                                       ") failed: " + std::to_string(ERROR_FILE_NOT_FOUND)});
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
    put("crlf", "first\r\nsecond");  // read in text mode
    const std::tuple<const char*, int, const char*> cases[] = {{"lines", 260, "first\n"},
                                                               {"lines", 4, "fir"},
                                                               {"crlf", 260, "first\n"},
                                                               {"empty", 260, nullptr},
                                                               {"missing", 260, nullptr}};
    for (const auto& [name, size, line] : cases) {
        char buf[YFILE_PATH_MAX];
        EXPECT_EQ(str(file_readfirstline(path(name).c_str(), buf, size)), str(line)) << name << size;
    }
}

}  // namespace
