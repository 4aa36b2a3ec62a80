// INI documents on files: opening (byte-order marks, empty lines, failures), saving (CR LF,
// replacement through a temporary file, state flags) and the round trip of varied files.
#include <ysl/YIniData.h>
#include <ysl/ydiag_capture.h>

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using texts = std::vector<std::string>;

class YIniDataFile : public ScratchDirTest {};

// A missing file is a new empty document; an empty one is saved; empty lines are dropped,
// blank ones kept, whatever the line end.
TEST_F(YIniDataFile, Open_StateAndLines)
{
    put("e.ini", "");
    put("a.ini", "; c\r\n\r\n[S]\n\nk=1\r \t\r\n\n\rm=2");
    const std::tuple<const char*, bool, bool, const char*> cases[] = {
        {"none.ini", true, false, ""}, {"e.ini", false, true, ""}, {"a.ini", false, true, "; c\n[S]\nk=1\n \t\nm=2\n"}};
    for (const auto& [name, is_new, saved, content] : cases) {
        YIniData d(path(name).c_str());
        EXPECT_TRUE(d.IsOpen()) << name << ": " << d.GetErrorText();
        EXPECT_EQ(d.IsNew(), is_new) << name;
        EXPECT_EQ(d.IsSaved(), saved) << name;
        EXPECT_EQ(d.GetContentString(), content);
    }
}

TEST_F(YIniDataFile, Open_ByteOrderMarks)
{
    const std::tuple<const char*, size_t, bool> cases[] = {
        {"\xEF\xBB\xBF[S]\nk=1\n", 11, true}, {"\xEF\xBB\xBF\n[S]\n", 8, true},  {"\xFF\xFE[\0S\0]\0", 8, false},
        {"\xFE\xFF\0[\0S\0]", 8, false},      {"\xFF\xFE\0\0[\0\0\0", 8, false}, {"\0\0\xFE\xFF\0\0\0[", 8, false},
    };
    for (const auto& [bytes, size, opens] : cases) {
        put("b.ini", std::string(bytes, size));
        YIniData d;
        YDiagCapture cap;
        EXPECT_EQ(d.Open(path("b.ini").c_str()), opens) << bytes;
        EXPECT_EQ(d.IsOpen(), opens);
        if (opens) {
            EXPECT_EQ(d.GetContentString().substr(0, 4), "[S]\n");
        } else {
            EXPECT_STREQ(d.GetErrorText(), "UTF16/32 Unicode format not supported.");
            EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
                      texts{"YIniData::Open(\"" + path("b.ini") + "\"): UTF16/32 Unicode format not supported"});
        }
    }
}

// A parse failure keeps the lines before the failing one; the path constructor dumps it to
// the error log.
TEST_F(YIniDataFile, Open_ParseFailure)
{
    put("p.ini", "[S]\nk=1\nx\ny=2\n");
    YIniData d;
    YDiagCapture cap;
    EXPECT_FALSE(d.Open(path("p.ini").c_str()));
    EXPECT_TRUE(!d.IsOpen() && !d.IsNew());
    EXPECT_EQ(d.GetFileName(), path("p.ini"));
    EXPECT_EQ(d.GetContentString(), "[S]\nk=1\n");
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), (texts{"YIniData::parse_line(): No '=' found in \"x\" in section [S]",
                                                "YIniData::Open(): parse_line(x) failed"}));
    EXPECT_FALSE(d.Reload()) << "not open";
    {
        YIniData c(path("p.ini").c_str(), YINIDATA_LENIENT_ENTRIES);
        EXPECT_FALSE(c.IsOpen());
        EXPECT_EQ(c.GetFlags(), 0u) << "the second argument has no effect";
    }
    EXPECT_EQ(cap.texts(YDIAG_ERRLOG), texts{"YIniData::YIniData(): Open(\"" + path("p.ini") + "\") failed"});
    EXPECT_EQ(cap.texts(YDIAG_DUMPED).size(), 2u);
}

TEST_F(YIniDataFile, Save_WritesCrLfAndSetsStateFlags)
{
    YIniData d;
    ASSERT_TRUE(d.Open(path("s.ini").c_str()));
    ASSERT_TRUE(d.SetStringEntry("b", "k", "v") && d.SetLongEntry("a", "n", 1L));
    EXPECT_FALSE(d.IsSaved());
    ASSERT_TRUE(d.Save());
    EXPECT_TRUE(d.IsSaved() && !d.IsNew());
    EXPECT_EQ(get("s.ini"), "[a]\r\nn=1\r\n[b]\r\nk=v\r\n");
    ASSERT_TRUE(d.SetStringEntry("a", "n", "2") && d.Reload());
    EXPECT_EQ(d.GetContentString(), "[a]\nn=1\n[b]\nk=v\n") << "reload drops unsaved changes";
}

TEST_F(YIniDataFile, Save_ThroughTemporaryFile_ReplacesTheTargetAndLeavesNoTemporary)
{
    put("t.ini", "[S]\nold=1\n");
    for (unsigned flags : {0u, unsigned(YINIDATA_SAVE_VIA_TEMPFILE),
                           unsigned(YINIDATA_SAVE_VIA_TEMPFILE | YINIDATA_SAVE_FLUSH), unsigned(YINIDATA_SAVE_FLUSH)}) {
        YIniData d(flags);
        ASSERT_TRUE(d.Open(path("t.ini").c_str()) && d.SetLongEntry("S", "flags", long(flags)));
        ASSERT_TRUE(d.Save()) << flags;
        EXPECT_EQ(get("t.ini"), "[S]\r\nold=1\r\nflags=" + std::to_string(flags) + "\r\n");
        EXPECT_EQ(count_named("ffw"), 0);
    }
}

TEST_F(YIniDataFile, Save_Failures_KeepStateFlags)
{
    YIniData d;
    ASSERT_TRUE(d.SetContentString("[S]\n"));
    YDiagCapture cap;
    EXPECT_FALSE(d.Save()) << "no file name";
    EXPECT_TRUE(d.IsNew() && !d.IsSaved());
    ASSERT_FALSE(cap.texts(YDIAG_ERRTRACE).empty());
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE).back(), "YIniData::Save(): YFastFile_WriteLinesAtOnce(\"\") failed");

    YIniData m(YINIDATA_SAVE_VIA_TEMPFILE);
    ASSERT_TRUE(m.Open(path("no/dir.ini").c_str()) && m.SetStringEntry("S", "k", "v"));
    EXPECT_FALSE(m.Save()) << "missing directory";
    EXPECT_FALSE(m.IsSaved());
}

// Open then Save without a change gives the same bytes, but for the documented changes:
// empty lines dropped, sections sorted by name, every line ended by CR LF, a UTF-8 mark
// dropped.
TEST_F(YIniDataFile, RoundTrip_OfVariedFiles)
{
    const std::tuple<const char*, std::string, std::string> corpus[] = {
        {"unsorted", "[b]\r\ny=2\r\n; about b\r\n[a]\r\nx=1\r\n", "[a]\r\nx=1\r\n[b]\r\ny=2\r\n; about b\r\n"},
        {"lf and cr ends", "; head\n[S]\rk = v \n\n\tindented=1", "; head\r\n[S]\r\nk = v \r\n\tindented=1\r\n"},
        {"utf-8 mark and text", "\xEF\xBB\xBF[\xC3\xA9t\xC3\xA9]\nn=\xE2\x82\xAC\n",
         "[\xC3\xA9t\xC3\xA9]\r\nn=\xE2\x82\xAC\r\n"},
    };
    for (const auto& [name, file, saved] : corpus) {
        put("r.ini", file);
        YIniData d(path("r.ini").c_str());
        ASSERT_TRUE(d.IsOpen()) << name << ": " << d.GetErrorText();
        ASSERT_TRUE(d.Save()) << name;
        EXPECT_EQ(get("r.ini"), saved) << name;
        EXPECT_TRUE(YIniData(path("r.ini").c_str()) == d) << name;
    }
}

}  // namespace
