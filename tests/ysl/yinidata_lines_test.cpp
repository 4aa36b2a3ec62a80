// Where the lines of an INI document live: parsed lines share the document's memory, lines a
// caller makes come from the heap, and either kind is deleted through the line's virtual
// destructor. The sanitizer builds report a line freed the wrong way or never freed.
#include <ysl/YIniData.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

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

}  // namespace
