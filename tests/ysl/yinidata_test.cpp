// INI documents held as strings: parsing, rendering, typed values, editing, and the C
// interface. Loading and saving files are in yinidata_file_test.cpp.
#include <ysl/YIniData.h>
#include <ysl/ydiag_capture.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using names = std::vector<std::string>;

// A document loaded from text, with the parse result checked.
YIniData doc(const std::string& text, unsigned flags = 0)
{
    YIniData d(flags);
    EXPECT_TRUE(d.SetContentString(text)) << d.GetErrorText();
    return d;
}

std::string str(const YIniData& d, const char* section, const char* entry)
{
    std::string v = "<missing>";
    d.GetStringEntry(section, entry, v);
    return v;
}

// --- parsing ---------------------------------------------------------------------------

struct parse_error_case {
    const char* name;
    const char* text;
    unsigned flags;
    const char* error_text;
};

void PrintTo(const parse_error_case& c, std::ostream* os)
{
    *os << c.name;
}

class YIniDataParseError : public ::testing::TestWithParam<parse_error_case> {};

TEST_P(YIniDataParseError, FailsWithItsErrorTextAndTrace)
{
    const parse_error_case& c = GetParam();
    YIniData d(c.flags);
    YDiagCapture cap;
    EXPECT_FALSE(d.SetContentString(c.text));
    EXPECT_STREQ(d.GetErrorText(), c.error_text);
    std::vector<std::string> traces = cap.texts(YDIAG_ERRTRACE);
    ASSERT_EQ(traces.size(), 2u);
    EXPECT_EQ(traces[1], "YIniData::SetContentString(): parse_line() failed");
}

INSTANTIATE_TEST_SUITE_P(
    Lines, YIniDataParseError,
    ::testing::Values(
        parse_error_case{"HeaderAlone", "[", 0, "no matching ']' found in \"[\""},
        parse_error_case{"HeaderWithoutClose", "[abc\n", 0, "no matching ']' found in \"[abc\""},
        parse_error_case{"RepeatedSection", "[a]\n[a]\n", 0, "Section [a] seen twice"},
        parse_error_case{"EntryBeforeFirstSection", "x=1\n", 0, "Possible entry \"x=1\" found before first section"},
        parse_error_case{"IndentedHeaderBeforeFirstSection", "  [x]\n", 0,
                         "Possible entry \"  [x]\" found before first section"},
        parse_error_case{"IndentedHeaderInSection", "[Main]\n  [x]\n", 0,
                         "No '=' found in \"  [x]\" in section [Main]"},
        parse_error_case{"NoEqualsNamesTheStoredHeader", "[Main] ; note\nkey\n", 0,
                         "No '=' found in \"key\" in section [Main] ; note"},
        parse_error_case{"NoName", "[S]\n  =1\n", 0, "No entry name found before '=' in \"  =1\" in section [S]"},
        parse_error_case{"RepeatedEntry", "[S]\nk=1\nk =2\n", 0, "Entry \"k\" seen twice in section [S]"},
        parse_error_case{"RepeatedEntryWithReplaceSections", "[S]\nk=1\nk=2\n", YINIDATA_REPLACE_SECTIONS,
                         "Entry \"k\" seen twice in section [S]"}),
    [](const ::testing::TestParamInfo<parse_error_case>& info) { return std::string(info.param.name); });

TEST(YIniDataParse, ParseErrorTrace_IsTheErrorTextCutAt70)
{
    std::string name(100, 'n');
    YIniData d;
    YDiagCapture cap;
    EXPECT_FALSE(d.SetContentString("[" + name + "]\n[" + name + "]\n"));
    std::string err = d.GetErrorText();
    EXPECT_EQ(err, "Section [" + name + "] seen twice");
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE)[0], "YIniData::parse_line(): " + err.substr(0, 70));
}

TEST(YIniDataParse, FailedParse_KeepsTheLinesBeforeTheFailingOne_AndErrorTextStaysOnSuccess)
{
    YIniData d;
    EXPECT_FALSE(d.SetContentString("[a]\nx=1\nbad\ny=2\n"));
    EXPECT_EQ(d.GetContentString(), "[a]\nx=1\n");
    EXPECT_TRUE(d.SetContentString("[b]\n"));
    EXPECT_STRNE(d.GetErrorText(), "");
}

TEST(YIniDataParse, Headers)
{
    YIniData d = doc("[a]b]\nx=1\n[]\ny=2\n[Main]\n[main]\n[c] ; note\n");
    EXPECT_EQ(d.GetSectionNames(), (names{"", "Main", "a", "c", "main"}));
    EXPECT_EQ(str(d, "a", "x"), "1");
    EXPECT_EQ(str(d, "", "y"), "2");
    EXPECT_EQ(d.GetSection("c")->text, "[c] ; note");
    EXPECT_FALSE(d.HasSection(" a"));
}

TEST(YIniDataParse, EntryNamesAndValues)
{
    YIniData d = doc("[S]\n  key = value \nin ner\t=a=b\nempty=\n");
    EXPECT_EQ(d.GetEntryNames("S"), (names{"empty", "in ner", "key"}));
    EXPECT_EQ(str(d, "S", "key"), " value ");
    EXPECT_EQ(str(d, "S", "in ner"), "a=b");
    EXPECT_EQ(str(d, "S", "empty"), "");
}

TEST(YIniDataParse, CommentsAndBlanks_AreKeptAsLines)
{
    const char* text = "; top\n# top\n \t\n[S]\n/path=1\n*star\n  ;indented\n#x=1\nk=1\n";
    YIniData d = doc(text);
    EXPECT_EQ(d.GetEntryCount("S"), 1u);
    EXPECT_EQ(d.GetContentString(), text);
}

TEST(YIniDataParse, LenientFlags_StoreLinesWithoutNameOrEquals)
{
    for (unsigned flags : {YINIDATA_LENIENT_ENTRIES, YINIDATA_REPLACE_SECTIONS}) {
        YIniData d = doc("[S]\n  flag  \n=v\n  [x]\n", flags);
        EXPECT_EQ(d.GetEntryNames("S"), (names{"", "[x]", "flag"}));
        EXPECT_EQ(str(d, "S", "flag"), "  flag  ") << "no '=': the value is the whole line";
        EXPECT_EQ(str(d, "S", ""), "v");
    }
}

TEST(YIniDataParse, LenientEntryWithoutEquals_KeepsItsNameWhenSet)
{
    YIniData d = doc("[S]\n  flag  \nv=1\n", YINIDATA_LENIENT_ENTRIES);
    ASSERT_TRUE(d.SetStringEntry("S", "flag", "v"));
    EXPECT_EQ(d.GetContentString(), "[S]\n  flag  =v\nv=1\n");
    EXPECT_EQ(str(doc(d.GetContentString()), "S", "flag"), "v");
}

TEST(YIniDataParse, ReplaceSections_LaterSectionWins)
{
    YIniData d = doc("[a]\nx=1\n; c\n[b]\n[a]\ny=2\n", YINIDATA_REPLACE_SECTIONS);
    EXPECT_EQ(d.GetContentString(), "[a]\ny=2\n[b]\n");
}

TEST(YIniDataParse, ReplaceEntries_LaterEntryWinsInItsOwnPlace)
{
    YIniData d = doc("[S]\nk=1\na=0\nk =2\nz=9\n", YINIDATA_REPLACE_ENTRIES);
    EXPECT_EQ(d.GetContentString(), "[S]\na=0\nk =2\nz=9\n");
    EXPECT_EQ(d.GetEntryCount("S"), 3u);
}

TEST(YIniDataParse, ReplaceEntries_WorksOnLenientEntries)
{
    YIniData d = doc("[S]\nflag\nflag\n", YINIDATA_REPLACE_ENTRIES | YINIDATA_LENIENT_ENTRIES);
    EXPECT_EQ(d.GetContentString(), "[S]\nflag\n");
}

TEST(YIniDataParse, LineEnds_OfAStringKeepEmptyLines)
{
    YIniData d = doc("; a\r\n\r\n; b\n\r; c\r; d");
    EXPECT_EQ(d.GetContentString(), "; a\n\n; b\n\n; c\n; d\n");
    EXPECT_EQ(doc("; a\n").GetContentString(), "; a\n") << "no empty last line";
    EXPECT_EQ(doc("").GetContentString(), "");
}

// --- rendering -------------------------------------------------------------------------

TEST(YIniDataRender, SectionsComeOutSortedWithTheirLines)
{
    YIniData d = doc("; head\n[b]\nx=1\n; about b\n\n[a]\ny=2\n[Zeta]\n");
    EXPECT_EQ(d.GetContentString(), "; head\n[Zeta]\n[a]\ny=2\n[b]\nx=1\n; about b\n\n");
}

TEST(YIniDataRender, SortIsByUnsignedBytes)
{
    YIniData d = doc("[\xc3\xa9]\n[z]\n[Z]\n[zz]\n");
    EXPECT_EQ(d.GetSectionNames(), (names{"Z", "z", "zz", "\xc3\xa9"}));
}

TEST(YIniDataRender, UntouchedLinesStayByteForByte_WhileAnotherChanges)
{
    YIniData d = doc("[S]\n\tk1 =  a  \n  k2\t= b ; c\nk3=x=y\n");
    ASSERT_TRUE(d.SetStringEntry("S", "k2", "new"));
    EXPECT_EQ(d.GetContentString(), "[S]\n\tk1 =  a  \n  k2\t=new\nk3=x=y\n");
}

TEST(YIniDataRender, StreamAndEquality)
{
    YIniData a = doc("[b]\n[a]\n");
    YIniData b = doc("[a]\n[b]\n");
    std::ostringstream os;
    os << a;
    EXPECT_EQ(os.str(), "[a]\n[b]\n");
    EXPECT_TRUE(a == b);
    ASSERT_TRUE(b.SetLongEntry("a", "k", 1L));
    EXPECT_TRUE(a != b);
}

TEST(YIniDataRender, Copy_IsDeepAndKeepsStateFlagsAndFlags)
{
    YIniData a(YINIDATA_LENIENT_ENTRIES);
    ASSERT_TRUE(a.SetContentString("[S]\nflag\nk=1\n"));
    YIniData b(a);
    YIniData c;
    c = b;
    c = c;
    ASSERT_TRUE(a.SetStringEntry("S", "k", "2"));
    EXPECT_EQ(str(b, "S", "k"), "1");
    EXPECT_EQ(c.GetContentString(), "[S]\nflag\nk=1\n");
    EXPECT_EQ(c.GetFlags(), unsigned(YINIDATA_LENIENT_ENTRIES));
    EXPECT_FALSE(c.IsOpen());
    EXPECT_TRUE(c.IsNew());
}

// --- typed values ----------------------------------------------------------------------

TEST(YIniDataValues, Reads)
{
    YIniData d = doc("[S]\nn= 42xyz\ne=\nt=abc\nneg=-7\nbig=99999999999999999999\nd= 2.5e3 \nx=0x10\n");
    long l = -1;
    long long ll = -1;
    double v = -1;
    EXPECT_TRUE(d.GetLongEntry("S", "n", &l));
    EXPECT_EQ(l, 42);
    EXPECT_FALSE(d.GetLongEntry("S", "e", &l));
    EXPECT_EQ(l, 0);
    l = 5;
    EXPECT_FALSE(d.GetLongEntry("S", "t", &l));
    EXPECT_EQ(l, 0);
    EXPECT_TRUE(d.GetLongEntry("S", "neg", &ll));
    EXPECT_EQ(ll, -7);
    EXPECT_TRUE(d.GetLongEntry("S", "big", &ll)) << "clamped, still a number";
    EXPECT_EQ(ll, INT64_MAX);
    EXPECT_TRUE(d.GetDoubleEntry("S", "d", &v));
    EXPECT_EQ(v, 2500.0);
    EXPECT_TRUE(d.GetLongEntry("S", "x", &l)) << "base 10: the 0 before x";
    EXPECT_EQ(l, 0);
}

TEST(YIniDataValues, MissingSectionOrEntry_LeavesTheOutParameter)
{
    YIniData d = doc("[S]\nk=1\n");
    long l = 77;
    double v = 7.5;
    std::string s = "keep";
    EXPECT_FALSE(d.GetLongEntry("S", "nope", &l));
    EXPECT_FALSE(d.GetLongEntry("T", "k", &l));
    EXPECT_FALSE(d.GetDoubleEntry("S", "nope", &v));
    EXPECT_FALSE(d.GetStringEntry("T", "k", s));
    EXPECT_EQ(l, 77);
    EXPECT_EQ(v, 7.5);
    EXPECT_EQ(s, "keep");
}

TEST(YIniDataValues, TrailingBlanksOfTheNameAreIgnoredByLookupsButNotByHasEntry)
{
    YIniData d = doc("[S]\nk=1\n");
    EXPECT_EQ(str(d, "S", "k \t"), "1");
    EXPECT_NE(d.GetEntry("S", "k "), nullptr);
    EXPECT_FALSE(d.HasEntry("S", "k "));
    EXPECT_EQ(str(d, "S", " k"), "<missing>");
}

TEST(YIniDataValues, WritesFormatAndReplaceTheWholeOldValue)
{
    YIniData d = doc("[S]\nkey = 1\n  note = old ; c\n");
    ASSERT_TRUE(d.SetLongEntry("S", "key", 2L));
    ASSERT_TRUE(d.SetStringEntry("S", "note", "new"));
    ASSERT_TRUE(d.SetDoubleEntry("S", "d", 0.1));
    ASSERT_TRUE(d.SetLongEntry("S", "ll", -9000000000LL));
    ASSERT_TRUE(d.SetDoubleEntry("S", "big", 1e300));
    EXPECT_EQ(d.GetContentString(),
              "[S]\nkey =2\n  note =new\nd=0.10000000000000001\nll=-9000000000\nbig=1.0000000000000001e+300\n");
    double v = 0;
    ASSERT_TRUE(d.GetDoubleEntry("S", "d", &v));
    EXPECT_EQ(v, 0.1) << "17 digits read back as the same double";
}

TEST(YIniDataValues, SetOnEmptyDocument_CreatesSectionAndEntry)
{
    YIniData d;
    ASSERT_TRUE(d.SetContentString(""));
    EXPECT_TRUE(d.SetLongEntry("S", "k", 5L));
    EXPECT_FALSE(d.IsSaved());
    EXPECT_EQ(d.GetContentString(), "[S]\nk=5\n");
}

TEST(YIniDataValues, NewEntry_GoesAfterTheTrailingCommentsOfItsSection_WithNameTrimmed)
{
    YIniData d = doc("[S]\na=1\n; end of S\n[T]\n");
    ASSERT_TRUE(d.SetStringEntry("S", "b \t", "2"));
    EXPECT_EQ(d.GetContentString(), "[S]\na=1\n; end of S\nb=2\n[T]\n");
    EXPECT_TRUE(d.HasEntry("S", "b"));
}

TEST(YIniDataValues, CommentNames_AreRefusedWithTheirMessage)
{
    struct {
        const char* entry;
        bool (*set)(YIniData&, const char*);
        const char* error;
        const char* trace;
    } cases[] = {
        {"#x", [](YIniData& d, const char* e) { return d.SetStringEntry("S", e, "1"); },
         "cannot add comment as an entry: \"#x=1\"",
         "YIniDataT<struct YIniDataCaseSensitiveCompare>::SetStringEntry(): cannot add comment as an entry: \"#x=1\""},
        {"  ;x", [](YIniData& d, const char* e) { return d.SetStringEntry("S", e, "1"); },
         "cannot add comment as an entry: \"  ;x=1\"", nullptr},
        {"/x", [](YIniData& d, const char* e) { return d.SetDoubleEntry("S", e, 0.1); },
         "cannot add comment as an entry: \"/x=0.1\"",
         "YIniDataT<struct YIniDataCaseSensitiveCompare>::SetDoubleEntry(): cannot add comment as an entry: "
         "\"/x=0.1\""},
        {"*x", [](YIniData& d, const char* e) { return d.SetLongEntry("S", e, -3L); },
         "cannot add comment as an entry: \"*x=-3\"", nullptr},
        {"*x", [](YIniData& d, const char* e) { return d.SetLongEntry("S", e, 1LL << 40); },
         "cannot add comment as an entry: \"*x=1099511627776\"",
         "YIniDataT<struct YIniDataCaseSensitiveCompare>::SetLongEntry(): cannot add comment as an entry: "
         "\"*x=1099511627776\""},
    };
    for (const auto& c : cases) {
        YIniData d;
        YDiagCapture cap;
        EXPECT_FALSE(c.set(d, c.entry));
        EXPECT_STREQ(d.GetErrorText(), c.error);
        EXPECT_EQ(d.GetSectionCount(), 0u) << "nothing created";
        if (c.trace) {
            EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), std::vector<std::string>{c.trace});
        }
    }
}

// Names and values that would read back as something else are refused before anything
// changes, with an error text that names them.
TEST(YIniDataValues, StructureBreakingNamesAndValues_AreRefusedAndChangeNothing)
{
    struct {
        const char* section;
        const char* entry;
        const char* value;
        const char* error;
    } cases[] = {
        {"S", "k", "a\nb", "value \"a\nb\" of entry \"k\" refused: it holds a line break"},
        {"S", "old", "a\rb", "value \"a\rb\" of entry \"old\" refused: it holds a line break"},
        {"N", "k", "a\r\n[x]", "value \"a\r\n[x]\" of entry \"k\" refused: it holds a line break"},
        {"S", "a=b", "1", "entry name \"a=b\" refused: it holds '='"},
        {"S", "a\nb", "1", "entry name \"a\nb\" refused: it holds a line break"},
        {"S", "[T]", "1", "entry name \"[T]\" refused: a line that begins with '[' is a section header"},
        {"S", " \t", "1", "entry name \" \t\" refused: it is empty"},
        {"S", " old", "1", "entry name \" old\" refused: a name is read back without its leading blanks"},
        {"S", "", "1", "entry name \"\" refused: it is empty"},
        {"N]x", "k", "1", "section name \"N]x\" refused: it holds ']'"},
        {"N\r", "k", "1", "section name \"N\r\" refused: it holds a line break"},
    };
    const std::string text = "[S]\nold=1\n";
    for (const auto& c : cases) {
        YIniData d = doc(text);
        EXPECT_FALSE(d.SetStringEntry(c.section, c.entry, c.value)) << c.error;
        EXPECT_STREQ(d.GetErrorText(), c.error);
        EXPECT_EQ(d.GetContentString(), text);
    }
}

TEST(YIniDataValues, ExistingNamesThatCouldNotBeAddedStillTakeValues)
{
    YIniData d = doc("[S]\n=v\n", YINIDATA_LENIENT_ENTRIES);
    EXPECT_TRUE(d.SetStringEntry("S", "", "w"));
    EXPECT_EQ(d.GetContentString(), "[S]\n=w\n");
}

TEST(YIniDataValues, SectionLevelAccess)
{
    YIniData d = doc("[S]\nb=2\na=1\n");
    YIniDataSection* s = d.GetSection("S");
    ASSERT_NE(s, nullptr);
    std::vector<std::string> n;
    s->GetEntryNames(n);
    EXPECT_EQ(n, (names{"a", "b"}));
    long l = 0;
    EXPECT_TRUE(s->GetLongEntry("a ", &l));
    EXPECT_EQ(l, 1);
    EXPECT_TRUE(s->SetLongEntry("c", 3LL));
    EXPECT_FALSE(s->SetStringEntry("d", "x\ny"));
    EXPECT_FALSE(s->SetStringEntry("e=f", "x"));
    EXPECT_FALSE(s->SetStringEntry("#g", "x"));
    EXPECT_EQ(d.GetContentString(), "[S]\nb=2\na=1\nc=3\n");
}

// --- editing ---------------------------------------------------------------------------

TEST(YIniDataEdit, AddSection)
{
    YIniData d = doc("[a]\n");
    EXPECT_TRUE(d.AddSection("a"));
    EXPECT_FALSE(d.IsSaved());
    EXPECT_TRUE(d.AddSection("c d"));
    EXPECT_FALSE(d.AddSection("x]y"));
    EXPECT_STREQ(d.GetErrorText(), "section name \"x]y\" refused: it holds ']'");
    EXPECT_EQ(d.GetContentString(), "[a]\n[c d]\n");
}

TEST(YIniDataEdit, DeleteSection)
{
    YIniData d = doc("; p\n[a]\nx=1\n; c\n[b]\n");
    YDiagCapture cap;
    EXPECT_FALSE(d.DeleteSection("z"));
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
              std::vector<std::string>{"YIniData::DeleteSection(): section \"z\" not found"});
    EXPECT_TRUE(d.DeleteSection("a"));
    EXPECT_EQ(d.GetContentString(), "; p\n[b]\n");
}

TEST(YIniDataEdit, DeleteEntry_KeepsHeaderCommentsAndOtherLines)
{
    YIniData d = doc("[S]\n; c\nk=1\n; d\nm=2\n");
    EXPECT_TRUE(d.DeleteEntry("S", "k"));
    EXPECT_TRUE(d.DeleteEntry("S", "m"));
    EXPECT_EQ(d.GetContentString(), "[S]\n; c\n; d\n");
    EXPECT_EQ(d.GetEntryCount("S"), 0u);
}

TEST(YIniDataEdit, DeleteEntry_InLenientDocument_FindsItsOwnLine)
{
    YIniData d = doc("[S]\nflag\nk=1\n", YINIDATA_LENIENT_ENTRIES);
    EXPECT_TRUE(d.DeleteEntry("S", "k"));
    EXPECT_TRUE(d.DeleteEntry("S", "flag"));
    EXPECT_EQ(d.GetContentString(), "[S]\n");
}

TEST(YIniDataEdit, DeleteEntry_Failures)
{
    YIniData d = doc("[S]\nk=1\n");
    YDiagCapture cap;
    EXPECT_FALSE(d.DeleteEntry("T", "k"));
    EXPECT_FALSE(d.DeleteEntry("S", "k ")) << "exact names only";
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
              (std::vector<std::string>{
                  "YIniData::DeleteEntry(): section \"T\" not found",
                  "YIniDataSectionT::DeleteEntry(): entry \"k \" not found in entry_map",
                  "YIniData::DeleteEntry(): YIniDataSectionT::DeleteEntry() failed (\"S\",\"k \")",
              }));
    EXPECT_TRUE(d.IsSaved() == false);
}

TEST(YIniDataEdit, RenameSection)
{
    YIniData d = doc("[a] ; note\nx=1\n; c\ny=2\n[b]\n");
    YDiagCapture cap;
    EXPECT_FALSE(d.RenameSection("a", "b"));
    EXPECT_FALSE(d.RenameSection("a", "a"));
    EXPECT_FALSE(d.RenameSection("z", "q"));
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
              (std::vector<std::string>{
                  "YIniDataT<struct YIniDataCaseSensitiveCompare>::RenameSection(): section \"b\" already exists",
                  "YIniDataT<struct YIniDataCaseSensitiveCompare>::RenameSection(): section \"a\" already exists",
                  "YIniDataT<struct YIniDataCaseSensitiveCompare>::RenameSection(): the source section \"z\" "
                  "doesn't exists",
              }));
    EXPECT_STREQ(d.GetErrorText(), "");
    EXPECT_TRUE(d.RenameSection("a", "c"));
    EXPECT_EQ(d.GetContentString(), "[b]\n[c]\nx=1\n; c\ny=2\n");
    EXPECT_TRUE(d.SetStringEntry("c", "x", "3"));
    EXPECT_TRUE(d.DeleteEntry("c", "y"));
    EXPECT_EQ(d.GetContentString(), "[b]\n[c]\nx=3\n; c\n");
    EXPECT_FALSE(d.RenameSection("c", "d]"));
    EXPECT_TRUE(d.HasSection("c"));
}

TEST(YIniDataEdit, StateFlags)
{
    YIniData d;
    EXPECT_FALSE(d.IsOpen());
    EXPECT_TRUE(d.IsNew());
    EXPECT_FALSE(d.IsSaved());
    ASSERT_TRUE(d.SetContentString("[a]\n"));
    EXPECT_FALSE(d.IsOpen());
    EXPECT_TRUE(d.IsNew());
    EXPECT_TRUE(d.Close());
    EXPECT_EQ(d.GetContentString(), "");
}

// --- C interface -----------------------------------------------------------------------

class YIniDataC : public ::testing::Test {
protected:
    void TearDown() override { YIniData_Destroy(d); }
    YIniData* d = YIniData_Create(0);
};

TEST_F(YIniDataC, CreateMasksFlags_DestroyIgnoresNull)
{
    YIniData* e = YIniData_Create(0xFF);
    EXPECT_EQ(e->GetFlags(), 0x3Fu);
    YIniData_Destroy(e);
    YIniData_Destroy(nullptr);
}

TEST_F(YIniDataC, GetStringEntry_BufferArithmetic)
{
    ASSERT_EQ(YIniData_SetContentString(d, "[S]\nk=abcd\n"), 1);
    char buf[8] = "zzzzzzz";
    YDiagCapture cap;
    EXPECT_EQ(YIniData_GetStringEntry(d, "S", "k", buf, 4), 0);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
              std::vector<std::string>{"YIniData_GetStringEntry(): returned string too long for target (4)"});
    EXPECT_EQ(YIniData_GetStringEntry(d, "S", "k", buf, 5), 1);
    EXPECT_STREQ(buf, "abcd");
    std::memcpy(buf, "zzzzzzz", 8);
    EXPECT_EQ(YIniData_GetStringEntry(d, "S", "k", buf, 0), 0);
    EXPECT_EQ(YIniData_GetStringEntry(d, "S", "none", buf, 8), 0);
    EXPECT_STREQ(buf, "zzzzzzz") << "untouched";
}

TEST_F(YIniDataC, EveryOperation)
{
    EXPECT_EQ(YIniData_SetContentString(d, "[S]\nk=1\n"), 1);
    EXPECT_EQ(YIniData_SetLongEntry(d, "S", "l", -2), 1);
    EXPECT_EQ(YIniData_SetLongLongEntry(d, "S", "ll", 1LL << 40), 1);
    EXPECT_EQ(YIniData_SetDoubleEntry(d, "T", "d", 0.5), 1);
    EXPECT_EQ(YIniData_SetStringEntry(d, "T", "s", "x"), 1);
    EXPECT_EQ(YIniData_SetStringEntry(d, "T", "s", "x\n"), 0);
    EXPECT_EQ(YIniData_GetSectionCount(d), 2);
    EXPECT_EQ(YIniData_HasSection(d, "T"), 1);
    EXPECT_EQ(YIniData_GetEntryCount(d, "S"), 3);
    EXPECT_EQ(YIniData_HasEntry(d, "S", "ll"), 1);
    long l = 0;
    long long ll = 0;
    double v = 0;
    EXPECT_EQ(YIniData_GetLongEntry(d, "S", "l", &l), 1);
    EXPECT_EQ(YIniData_GetLongLongEntry(d, "S", "ll", &ll), 1);
    EXPECT_EQ(YIniData_GetDoubleEntry(d, "T", "d", &v), 1);
    EXPECT_EQ(l, -2);
    EXPECT_EQ(ll, 1LL << 40);
    EXPECT_EQ(v, 0.5);
    EXPECT_EQ(YIniData_DeleteEntry(d, "S", "k"), 1);
    EXPECT_EQ(YIniData_DeleteSection(d, "T"), 1);
    char* text = YIniData_GetContentString(d);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "[S]\nl=-2\nll=1099511627776\n");
    std::free(text);
    EXPECT_EQ(YIniData_IsOpen(d), 0);
    EXPECT_EQ(YIniData_IsNew(d), 1);
    EXPECT_EQ(YIniData_Reload(d), 0) << "never opened";
    EXPECT_EQ(YIniData_Close(d), 1);
    EXPECT_EQ(YIniData_GetSectionCount(d), 0);
}

}  // namespace
