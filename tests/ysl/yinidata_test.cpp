// INI documents held as strings: parsing, rendering, typed values, editing, where lines live,
// and the C interface. Loading and saving files are in yinidata_file_test.cpp.
#include <ysl/YIniData.h>
#include <ysl/ydiag_capture.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using names = std::vector<std::string>;
const std::string tmpl = "YIniDataT<struct YIniDataCaseSensitiveCompare>::";

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

// The error text in full, the trace cut at 70 characters, and the lines before the failing
// one kept.
TEST(YIniDataParse, Errors)
{
    const std::string n100(100, 'n');
    const std::tuple<std::string, unsigned, std::string, std::string> cases[] = {
        {"[", 0, "no matching ']' found in \"[\"", ""},
        {"[abc\n", 0, "no matching ']' found in \"[abc\"", ""},
        {"[a]\n[a]\n", 0, "Section [a] seen twice", "[a]\n"},
        {"[" + n100 + "]\n[" + n100 + "]\n", 0, "Section [" + n100 + "] seen twice", "[" + n100 + "]\n"},
        {"x=1\n", 0, "Possible entry \"x=1\" found before first section", ""},
        {"  [x]\n", 0, "Possible entry \"  [x]\" found before first section", ""},
        {"[Main]\n  [x]\n", 0, "No '=' found in \"  [x]\" in section [Main]", "[Main]\n"},
        {"[Main] ; note\nkey\n", 0, "No '=' found in \"key\" in section [Main] ; note", "[Main] ; note\n"},
        {"[S]\n  =1\n", 0, "No entry name found before '=' in \"  =1\" in section [S]", "[S]\n"},
        {"[S]\nk=1\nk =2\n", 0, "Entry \"k\" seen twice in section [S]", "[S]\nk=1\n"},
        {"[S]\nk=1\nk=2\n", YINIDATA_REPLACE_SECTIONS, "Entry \"k\" seen twice in section [S]", "[S]\nk=1\n"},
        {"[a]\nx=1\nbad\ny=2\n", 0, "No '=' found in \"bad\" in section [a]", "[a]\nx=1\n"},
    };
    for (const auto& [text, flags, error, kept] : cases) {
        YIniData d(flags);
        YDiagCapture cap;
        EXPECT_FALSE(d.SetContentString(text)) << text;
        EXPECT_EQ(d.GetErrorText(), error);
        EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), (names{"YIniData::parse_line(): " + error.substr(0, 70),
                                                    "YIniData::SetContentString(): parse_line() failed"}));
        EXPECT_EQ(d.GetContentString(), kept) << text;
    }
    YIniData d;
    EXPECT_FALSE(d.SetContentString("bad"));
    EXPECT_TRUE(d.SetContentString("[b]\n"));
    EXPECT_STRNE(d.GetErrorText(), "") << "a later success keeps the error text";
}

TEST(YIniDataParse, HeadersNamesAndValues)
{
    YIniData d = doc("[a]b]\nx=1\n[]\ny=2\n[Main]\n[main]\n[c] ; note\n[S]\n  key = value \nin ner\t=a=b\nempty=\n");
    EXPECT_EQ(d.GetSectionNames(), (names{"", "Main", "S", "a", "c", "main"}));
    EXPECT_EQ(str(d, "a", "x") + str(d, "", "y"), "12");
    EXPECT_EQ(d.GetSection("c")->text, "[c] ; note");
    EXPECT_FALSE(d.HasSection(" a"));
    EXPECT_EQ(d.GetEntryNames("S"), (names{"empty", "in ner", "key"}));
    EXPECT_EQ(str(d, "S", "key") + "|" + str(d, "S", "in ner") + "|" + str(d, "S", "empty"), " value |a=b|");
}

TEST(YIniDataParse, LenientFlags_StoreLinesWithoutNameOrEquals)
{
    for (unsigned flags : {YINIDATA_LENIENT_ENTRIES, YINIDATA_REPLACE_SECTIONS}) {
        YIniData d = doc("[S]\n  flag  \n=v\n  [x]\n", flags);
        EXPECT_EQ(d.GetEntryNames("S"), (names{"", "[x]", "flag"}));
        EXPECT_EQ(str(d, "S", "flag"), "  flag  ") << "no '=': the value is the whole line";
        EXPECT_EQ(str(d, "S", ""), "v");
    }
    YIniData d = doc("[S]\n  flag  \nv=1\n", YINIDATA_LENIENT_ENTRIES);
    ASSERT_TRUE(d.SetStringEntry("S", "flag", "v"));
    EXPECT_EQ(d.GetContentString(), "[S]\n  flag  =v\nv=1\n") << "the name is kept";
}

// --- rendering -------------------------------------------------------------------------

// Sections sorted by unsigned bytes, each with its lines; comments, blanks and the text of
// every line kept byte for byte; what the replace flags drop.
TEST(YIniDataRender, TextAsLoaded)
{
    const char* comments = "; top\n# top\n \t\n[S]\n/path=1\n*star\n  ;indented\n#x=1\nk=1\n";
    const std::tuple<const char*, unsigned, const char*> cases[] = {
        {comments, 0, comments},
        {"; head\n[b]\nx=1\n; about b\n\n[a]\ny=2\n[Zeta]\n", 0, "; head\n[Zeta]\n[a]\ny=2\n[b]\nx=1\n; about b\n\n"},
        {"[\xc3\xa9]\n[z]\n[Z]\n[zz]\n", 0, "[Z]\n[z]\n[zz]\n[\xc3\xa9]\n"},
        {"; a\r\n\r\n; b\n\r; c\r; d", 0, "; a\n\n; b\n\n; c\n; d\n"},
        {"; a\n", 0, "; a\n"},
        {"", 0, ""},
        {"[a]\nx=1\n; c\n[b]\n[a]\ny=2\n", YINIDATA_REPLACE_SECTIONS, "[a]\ny=2\n[b]\n"},
        {"[S]\nk=1\na=0\nk =2\nz=9\n", YINIDATA_REPLACE_ENTRIES, "[S]\na=0\nk =2\nz=9\n"},
        {"[S]\nflag\nflag\n", YINIDATA_REPLACE_ENTRIES | YINIDATA_LENIENT_ENTRIES, "[S]\nflag\n"},
    };
    for (const auto& [text, flags, rendered] : cases)
        EXPECT_EQ(doc(text, flags).GetContentString(), rendered) << text;
    EXPECT_EQ(doc("[S]\nk=1\na=0\nk =2\n", YINIDATA_REPLACE_ENTRIES).GetEntryCount("S"), 2u);
}

TEST(YIniDataRender, EqualityAndCopies)
{
    YIniData a = doc("[b]\n[a]\n"), b = doc("[a]\n[b]\n");
    EXPECT_TRUE(a == b);
    ASSERT_TRUE(b.SetLongEntry("a", "k", 1L));
    EXPECT_TRUE(a != b);

    YIniData l = doc("[S]\nflag\nk=1\n", YINIDATA_LENIENT_ENTRIES), m(l), c;
    c = m;
    c = c;
    ASSERT_TRUE(l.SetStringEntry("S", "k", "2"));
    EXPECT_EQ(str(m, "S", "k"), "1") << "a deep copy";
    EXPECT_EQ(c.GetContentString(), "[S]\nflag\nk=1\n");
    EXPECT_EQ(c.GetFlags(), unsigned(YINIDATA_LENIENT_ENTRIES));
    EXPECT_TRUE(!c.IsOpen() && c.IsNew());
}

// --- typed values ----------------------------------------------------------------------

TEST(YIniDataValues, Reads)
{
    YIniData d = doc("[S]\nn= 42xyz\ne=\nt=abc\nneg=-7\nbig=99999999999999999999\nd= 2.5e3 \nx=0x10\nk=1\n");
    const std::tuple<const char*, bool, long long> cases[] = {{"n", true, 42},          {"e", false, 0},
                                                              {"t", false, 0},          {"neg", true, -7},
                                                              {"big", true, INT64_MAX}, {"x", true, 0} /*base 10*/,
                                                              {"nope", false, 5}};
    for (const auto& [entry, ok, value] : cases) {
        long long v = 5;
        EXPECT_EQ(d.GetLongEntry("S", entry, &v), ok) << entry;
        EXPECT_EQ(v, value) << entry;
    }
    long l = 5;
    double v = 7.5;
    std::string s = "keep";
    EXPECT_FALSE(d.GetLongEntry("T", "k", &l));
    EXPECT_EQ(l, 5) << "a missing section leaves the value";
    EXPECT_FALSE(d.GetLongEntry("S", "t", &l));
    EXPECT_EQ(l, 0) << "not a number";
    EXPECT_FALSE(d.GetDoubleEntry("S", "nope", &v) || d.GetStringEntry("T", "k", s));
    EXPECT_EQ(std::to_string(v) + s, "7.500000keep") << "missing: left as they were";
    EXPECT_TRUE(d.GetDoubleEntry("S", "d", &v));
    EXPECT_EQ(v, 2500.0);
    // Trailing blanks of the name are ignored by lookups, but not by HasEntry.
    EXPECT_EQ(str(d, "S", "k \t"), "1");
    EXPECT_TRUE(d.GetEntry("S", "k ") != nullptr && !d.HasEntry("S", "k "));
    EXPECT_EQ(str(d, "S", " k"), "<missing>");
}

// A changed line keeps its name as written, new entries go after the section's last line, and
// untouched lines stay byte for byte.
TEST(YIniDataValues, WritesFormatAndPlaceValues)
{
    YIniData d = doc("[S]\n\tk1 =  a  \nkey = 1\n  note\t= old ; c\nk3=x=y\n; end of S\n[T]\n");
    ASSERT_TRUE(d.SetLongEntry("S", "key", 2L) && d.SetStringEntry("S", "note", "new"));
    ASSERT_TRUE(d.SetDoubleEntry("S", "d \t", 0.1) && d.SetLongEntry("S", "ll", -9000000000LL));
    ASSERT_TRUE(d.SetDoubleEntry("S", "big", 1e300));
    EXPECT_EQ(d.GetContentString(), "[S]\n\tk1 =  a  \nkey =2\n  note\t=new\nk3=x=y\n; end of S\n"
                                    "d=0.10000000000000001\nll=-9000000000\nbig=1.0000000000000001e+300\n[T]\n");
    double v = 0;
    ASSERT_TRUE(d.GetDoubleEntry("S", "d", &v));
    EXPECT_EQ(v, 0.1) << "17 digits read back as the same double";
    EXPECT_TRUE(d.HasEntry("S", "d"));
}

TEST(YIniDataValues, CommentNames_AreRefusedWithTheirMessage)
{
    using setter = bool (*)(YIniData&, const char*);
    const std::tuple<const char*, setter, const char*, const char*> cases[] = {
        {"  ;x", [](YIniData& d, const char* e) { return d.SetStringEntry("S", e, "1"); }, "  ;x=1", "SetStringEntry"},
        {"/x", [](YIniData& d, const char* e) { return d.SetDoubleEntry("S", e, 0.1); }, "/x=0.1", "SetDoubleEntry"},
        {"*x", [](YIniData& d, const char* e) { return d.SetLongEntry("S", e, 1LL << 40); }, "*x=1099511627776",
         "SetLongEntry"},
    };
    for (const auto& [entry, set, line, fn] : cases) {
        YIniData d;
        YDiagCapture cap;
        EXPECT_FALSE(set(d, entry));
        const std::string error = "cannot add comment as an entry: \"" + std::string(line) + "\"";
        EXPECT_EQ(d.GetErrorText(), error);
        EXPECT_EQ(d.GetSectionCount(), 0u) << "nothing created";
        EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), names{tmpl + fn + "(): " + error});
    }
}

// Names and values that would read back as something else are refused before anything
// changes, with an error text that names them.
TEST(YIniDataValues, StructureBreakingNamesAndValues_AreRefusedAndChangeNothing)
{
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
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
    for (const auto& [section, entry, value, error] : cases) {
        YIniData d = doc(text);
        EXPECT_FALSE(d.SetStringEntry(section, entry, value)) << error;
        EXPECT_STREQ(d.GetErrorText(), error);
        EXPECT_EQ(d.GetContentString(), text);
    }
    YIniData d = doc("[S]\n=v\n", YINIDATA_LENIENT_ENTRIES);
    EXPECT_TRUE(d.SetStringEntry("S", "", "w")) << "a name already there still takes a value";
    EXPECT_EQ(d.GetContentString(), "[S]\n=w\n");
}

// A section's own setters check names and values themselves, apart from the document's.
TEST(YIniDataValues, SectionSetters_RefuseStructureBreakingNamesAndValues)
{
    YIniData d = doc("[S]\nb=2\n");
    YIniDataSection* s = d.GetSection("S");
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(s->SetStringEntry("d", "x\ny") || s->SetStringEntry("e=f", "x") || s->SetStringEntry("#g", "x"));
    EXPECT_TRUE(s->SetLongEntry("c", 3LL));
    EXPECT_EQ(d.GetContentString(), "[S]\nb=2\nc=3\n");
}

// --- editing ---------------------------------------------------------------------------

TEST(YIniDataEdit, AddAndDeleteSections)
{
    YIniData d = doc("; p\n[a]\nx=1\n; c\n[b]\n");
    EXPECT_TRUE(d.AddSection("a") && d.AddSection("c d"));
    EXPECT_FALSE(d.AddSection("x]y"));
    EXPECT_STREQ(d.GetErrorText(), "section name \"x]y\" refused: it holds ']'");
    YDiagCapture cap;
    EXPECT_FALSE(d.DeleteSection("z"));
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), names{"YIniData::DeleteSection(): section \"z\" not found"});
    EXPECT_TRUE(d.DeleteSection("a"));
    EXPECT_EQ(d.GetContentString(), "; p\n[b]\n[c d]\n");
}

TEST(YIniDataEdit, DeleteEntry_KeepsHeaderCommentsAndOtherLines)
{
    YIniData d = doc("[S]\n; c\nk=1\n; d\nm=2\n");
    {
        YDiagCapture cap;
        EXPECT_FALSE(d.DeleteEntry("T", "k"));
        EXPECT_FALSE(d.DeleteEntry("S", "k ")) << "exact names only";
        EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
                  (names{"YIniData::DeleteEntry(): section \"T\" not found",
                         "YIniDataSectionT::DeleteEntry(): entry \"k \" not found in entry_map",
                         "YIniData::DeleteEntry(): YIniDataSectionT::DeleteEntry() failed (\"S\",\"k \")"}));
    }
    EXPECT_TRUE(d.DeleteEntry("S", "k") && d.DeleteEntry("S", "m"));
    EXPECT_EQ(d.GetContentString(), "[S]\n; c\n; d\n");
    EXPECT_EQ(d.GetEntryCount("S"), 0u);
    YIniData l = doc("[S]\nflag\nk=1\n", YINIDATA_LENIENT_ENTRIES);
    EXPECT_TRUE(l.DeleteEntry("S", "k") && l.DeleteEntry("S", "flag"));
    EXPECT_EQ(l.GetContentString(), "[S]\n");
}

TEST(YIniDataEdit, RenameSection)
{
    YIniData d = doc("[a] ; note\nx=1\n; c\ny=2\n[b]\n");
    YDiagCapture cap;
    EXPECT_FALSE(d.RenameSection("a", "b") || d.RenameSection("a", "a") || d.RenameSection("z", "q"));
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), (names{tmpl + "RenameSection(): section \"b\" already exists",
                                                tmpl + "RenameSection(): section \"a\" already exists",
                                                tmpl + "RenameSection(): the source section \"z\" doesn't exists"}));
    EXPECT_STREQ(d.GetErrorText(), "");
    EXPECT_TRUE(d.RenameSection("a", "c"));
    EXPECT_EQ(d.GetContentString(), "[b]\n[c]\nx=1\n; c\ny=2\n");
    EXPECT_TRUE(d.SetStringEntry("c", "x", "3") && d.DeleteEntry("c", "y"));
    EXPECT_EQ(d.GetContentString(), "[b]\n[c]\nx=3\n; c\n");
    EXPECT_FALSE(d.RenameSection("c", "d]"));
    EXPECT_TRUE(d.HasSection("c"));
}

// --- where lines live ------------------------------------------------------------------

// Parsed lines share the document's memory, lines a caller makes come from the heap, and either
// kind is deleted through the line's virtual destructor: the sanitizer builds report a line
// freed the wrong way or never freed.
TEST(YIniDataLines, CallerMadeAndParsedLinesAreFreedTheirOwnWay)
{
    YIniData d(YINIDATA_REPLACE_ENTRIES);
    ASSERT_TRUE(d.SetContentString("[s]\n; note\na=1\nb=2\n"));
    YIniDataSection* s = d.GetSection("s");
    ASSERT_NE(s, nullptr);

    // Lines made with new and handed to the section, which owns them from then on.
    auto* made = new YIniDataEntry("c=3", 2);
    s->line_vec.push_back(made);
    s->entry_map.emplace("c", made);
    s->line_vec.push_back(new YIniDataLine("; added"));
    auto* dropped = new YIniDataEntry("d=4", 2);
    s->line_vec.push_back(dropped);
    s->entry_map.emplace("d", dropped);

    EXPECT_TRUE(d.DeleteEntry("s", "a"));  // parsed
    EXPECT_TRUE(d.DeleteEntry("s", "d"));  // made by the caller
    EXPECT_EQ(d.GetContentString(), "[s]\n; note\nb=2\nc=3\n; added\n");

    // A repeated entry replaces the parsed one; the caller's line goes with the document.
    ASSERT_TRUE(d.SetContentString("[s]\nk=1\nk=2\n"));
    EXPECT_EQ(d.GetContentString(), "[s]\nk=2\n");

    std::unique_ptr<YIniDataLine> alone(new YIniDataEntry("x=1", 2));
    EXPECT_EQ(static_cast<YIniDataEntry*>(alone.get())->value(), std::string("1"));
}

TEST(YIniDataLines, DocumentsStayWholeAcrossReloadsAndCopies)
{
    // Enough lines to fill several blocks, loaded again and again into the same document.
    std::string text = "; head\n";
    for (int sec = 0; sec < 300; ++sec) {
        text += "[sec" + std::to_string(sec) + "]\n";
        for (int e = 0; e < 40; ++e)
            text += "key" + std::to_string(e) + " = a value long enough to leave the string itself\n";
    }
    YIniData d;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(d.SetContentString(text));
        ASSERT_TRUE(d.DeleteSection("sec7"));
        ASSERT_TRUE(d.SetStringEntry("sec8", "key3", "changed"));
    }
    YIniData copy(d);
    EXPECT_EQ(copy, d);
    d.clear();
    std::string v;
    EXPECT_TRUE(copy.GetStringEntry("sec8", "key3", v));
    EXPECT_EQ(v, "changed");
    EXPECT_TRUE(copy.GetStringEntry("sec299", "key39", v));
    EXPECT_EQ(v, " a value long enough to leave the string itself");
    EXPECT_FALSE(copy.HasSection("sec7"));
}

// --- C interface -----------------------------------------------------------------------

class YIniDataC : public ::testing::Test {
protected:
    void TearDown() override { YIniData_Destroy(d); }
    YIniData* d = YIniData_Create(0);
};

// The C interface hands out strings two ways: into the caller's buffer, and allocated for free().
TEST_F(YIniDataC, StringsOut_BufferArithmetic_AndTheContentForFree)
{
    ASSERT_EQ(YIniData_SetContentString(d, "[S]\nk=abcd\n"), 1);
    char buf[8] = "zzzzzzz";
    YDiagCapture cap;
    EXPECT_EQ(YIniData_GetStringEntry(d, "S", "k", buf, 4), 0);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), names{"YIniData_GetStringEntry(): returned string too long for target (4)"});
    EXPECT_EQ(YIniData_GetStringEntry(d, "S", "k", buf, 5), 1);
    EXPECT_STREQ(buf, "abcd");
    std::memcpy(buf, "zzzzzzz", 8);
    EXPECT_EQ(YIniData_GetStringEntry(d, "S", "k", buf, 0), 0);
    EXPECT_EQ(YIniData_GetStringEntry(d, "S", "none", buf, 8), 0);
    EXPECT_STREQ(buf, "zzzzzzz") << "untouched";
    char* text = YIniData_GetContentString(d);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "[S]\nk=abcd\n");
    std::free(text);
}

}  // namespace
