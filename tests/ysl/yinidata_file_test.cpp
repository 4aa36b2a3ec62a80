// INI documents on files: opening (byte-order marks, empty lines, failures), saving (CR LF,
// replacement through a temporary file, state flags) and the round trip of varied files.
#include <ysl/YIniData.h>
#include <ysl/ydiag_capture.h>

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using texts = std::vector<std::string>;

class YIniDataFile : public ScratchDirTest {};

TEST_F(YIniDataFile, Open_MissingFile_IsANewEmptyDocument)
{
    YIniData d;
    EXPECT_TRUE(d.Open(path("none.ini").c_str()));
    EXPECT_TRUE(d.IsOpen());
    EXPECT_TRUE(d.IsNew());
    EXPECT_FALSE(d.IsSaved());
    EXPECT_EQ(d.GetContentString(), "");
}

TEST_F(YIniDataFile, Open_EmptyFile_IsSaved)
{
    put("e.ini", "");
    YIniData d(path("e.ini").c_str());
    EXPECT_TRUE(d.IsOpen());
    EXPECT_FALSE(d.IsNew());
    EXPECT_TRUE(d.IsSaved());
    EXPECT_EQ(d.GetContentString(), "");
}

TEST_F(YIniDataFile, Open_DropsEmptyLinesButKeepsBlankOnes_AllLineEnds)
{
    put("a.ini", "; c\r\n\r\n[S]\n\nk=1\r \t\r\n\n\rm=2");
    YIniData d(path("a.ini").c_str());
    ASSERT_TRUE(d.IsOpen()) << d.GetErrorText();
    EXPECT_EQ(d.GetContentString(), "; c\n[S]\nk=1\n \t\nm=2\n");
}

TEST_F(YIniDataFile, Open_ByteOrderMarks)
{
    struct {
        const char* bytes;
        size_t size;
        bool opens;
    } cases[] = {
        {"\xEF\xBB\xBF[S]\nk=1\n", 11, true}, {"\xEF\xBB\xBF\n[S]\n", 8, true},  {"\xFF\xFE[\0S\0]\0", 8, false},
        {"\xFE\xFF\0[\0S\0]", 8, false},      {"\xFF\xFE\0\0[\0\0\0", 8, false}, {"\0\0\xFE\xFF\0\0\0[", 8, false},
    };
    for (const auto& c : cases) {
        put("b.ini", std::string(c.bytes, c.size));
        YIniData d;
        YDiagCapture cap;
        EXPECT_EQ(d.Open(path("b.ini").c_str()), c.opens) << c.bytes;
        if (c.opens) {
            EXPECT_TRUE(d.HasSection("S"));
            EXPECT_EQ(d.GetContentString().substr(0, 4), "[S]\n");
        } else {
            EXPECT_STREQ(d.GetErrorText(), "UTF16/32 Unicode format not supported.");
            EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
                      texts{"YIniData::Open(\"" + path("b.ini") + "\"): UTF16/32 Unicode format not supported"});
            EXPECT_FALSE(d.IsOpen());
        }
    }
}

TEST_F(YIniDataFile, Open_ParseFailure_KeepsPartialDocumentAndReportsTheLine)
{
    put("p.ini", "[S]\nk=1\nx\ny=2\n");
    YIniData d;
    YDiagCapture cap;
    EXPECT_FALSE(d.Open(path("p.ini").c_str()));
    EXPECT_FALSE(d.IsOpen());
    EXPECT_FALSE(d.IsNew());
    EXPECT_EQ(d.GetFileName(), path("p.ini"));
    EXPECT_EQ(d.GetContentString(), "[S]\nk=1\n");
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), (texts{"YIniData::parse_line(): No '=' found in \"x\" in section [S]",
                                                "YIniData::Open(): parse_line(x) failed"}));
    EXPECT_FALSE(d.Reload()) << "not open";
}

TEST_F(YIniDataFile, PathConstructor_DumpsTheFailedOpenToTheErrorLog)
{
    put("p.ini", "x=1\n");
    YDiagCapture cap;
    {
        YIniData d(path("p.ini").c_str(), YINIDATA_LENIENT_ENTRIES);
        EXPECT_FALSE(d.IsOpen());
        EXPECT_EQ(d.GetFlags(), 0u) << "the second argument has no effect";
    }
    EXPECT_EQ(cap.texts(YDIAG_ERRLOG), texts{"YIniData::YIniData(): Open(\"" + path("p.ini") + "\") failed"});
    EXPECT_EQ(cap.texts(YDIAG_DUMPED).size(), 2u);
}

TEST_F(YIniDataFile, Save_WritesCrLfAndSetsStateFlags)
{
    YIniData d;
    ASSERT_TRUE(d.Open(path("s.ini").c_str()));
    ASSERT_TRUE(d.SetStringEntry("b", "k", "v"));
    ASSERT_TRUE(d.SetLongEntry("a", "n", 1L));
    EXPECT_FALSE(d.IsSaved());
    ASSERT_TRUE(d.Save());
    EXPECT_TRUE(d.IsSaved());
    EXPECT_FALSE(d.IsNew());
    EXPECT_EQ(get("s.ini"), "[a]\r\nn=1\r\n[b]\r\nk=v\r\n");
    ASSERT_TRUE(d.SetStringEntry("a", "n", "2"));
    ASSERT_TRUE(d.Reload());
    EXPECT_EQ(d.GetContentString(), "[a]\nn=1\n[b]\nk=v\n") << "reload drops unsaved changes";
}

TEST_F(YIniDataFile, Save_ThroughTemporaryFile_ReplacesTheTargetAndLeavesNoTemporary)
{
    put("t.ini", "[S]\nold=1\n");
    for (unsigned flags : {0u, unsigned(YINIDATA_SAVE_VIA_TEMPFILE),
                           unsigned(YINIDATA_SAVE_VIA_TEMPFILE | YINIDATA_SAVE_FLUSH), unsigned(YINIDATA_SAVE_FLUSH)}) {
        YIniData d(flags);
        ASSERT_TRUE(d.Open(path("t.ini").c_str()));
        ASSERT_TRUE(d.SetLongEntry("S", "flags", long(flags)));
        ASSERT_TRUE(d.Save()) << flags;
        EXPECT_EQ(get("t.ini"), "[S]\r\nold=1\r\nflags=" + std::to_string(flags) + "\r\n");
        EXPECT_EQ(count_named("ffw"), 0);
    }
}

TEST_F(YIniDataFile, Save_WithoutFileName_FailsAndKeepsStateFlags)
{
    YIniData d;
    ASSERT_TRUE(d.SetContentString("[S]\n"));
    YDiagCapture cap;
    EXPECT_FALSE(d.Save());
    EXPECT_TRUE(d.IsNew());
    EXPECT_FALSE(d.IsSaved());
    std::vector<std::string> t = cap.texts(YDIAG_ERRTRACE);
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.back(), "YIniData::Save(): YFastFile_WriteLinesAtOnce(\"\") failed");
}

TEST_F(YIniDataFile, Save_IntoMissingDirectory_FailsAndReportsOnce)
{
    YIniData d(YINIDATA_SAVE_VIA_TEMPFILE);
    ASSERT_TRUE(d.Open(path("no/dir.ini").c_str()));
    ASSERT_TRUE(d.SetStringEntry("S", "k", "v"));
    EXPECT_FALSE(d.Save());
    EXPECT_FALSE(d.IsSaved());
}

// Open then Save without a change gives the same bytes, but for the documented changes:
// empty lines dropped, sections sorted by name, every line ended by CR LF, a UTF-8 mark
// dropped.
TEST_F(YIniDataFile, RoundTrip_OfVariedFiles)
{
    struct {
        const char* name;
        std::string file;
        std::string saved;
    } corpus[] = {
        {"plain", "[a]\r\nx=1\r\n[b]\r\ny=2\r\n", "[a]\r\nx=1\r\n[b]\r\ny=2\r\n"},
        {"unsorted", "[b]\r\ny=2\r\n; about b\r\n[a]\r\nx=1\r\n", "[a]\r\nx=1\r\n[b]\r\ny=2\r\n; about b\r\n"},
        {"lf and cr ends", "; head\n[S]\rk = v \n\n\tindented=1", "; head\r\n[S]\r\nk = v \r\n\tindented=1\r\n"},
        {"comments of every kind", "# a\n; b\n[S]\n* c\n/ d\n//e=1\n  ; f\n",
         "# a\r\n; b\r\n[S]\r\n* c\r\n/ d\r\n//e=1\r\n  ; f\r\n"},
        {"odd headers", "[a]b] ; note\nk=1\n[]\n[A]\n", "[]\r\n[A]\r\n[a]b] ; note\r\nk=1\r\n"},
        {"values kept as they are", "[S]\nk= a = b ;c \t\ne=\n", "[S]\r\nk= a = b ;c \t\r\ne=\r\n"},
        {"utf-8 mark and text", "\xEF\xBB\xBF[\xC3\xA9t\xC3\xA9]\nn=\xE2\x82\xAC\n",
         "[\xC3\xA9t\xC3\xA9]\r\nn=\xE2\x82\xAC\r\n"},
        {"blank lines kept", "[S]\n   \nk=1\n\t\n", "[S]\r\n   \r\nk=1\r\n\t\r\n"},
    };
    for (const auto& c : corpus) {
        put("r.ini", c.file);
        YIniData d(path("r.ini").c_str());
        ASSERT_TRUE(d.IsOpen()) << c.name << ": " << d.GetErrorText();
        ASSERT_TRUE(d.Save()) << c.name;
        EXPECT_EQ(get("r.ini"), c.saved) << c.name;
        YIniData again(path("r.ini").c_str());
        EXPECT_TRUE(again == d) << c.name;
    }
}

}  // namespace
