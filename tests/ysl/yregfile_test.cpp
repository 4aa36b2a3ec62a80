// Registration files read into keys and values: every notation the exporters write, and the
// place and reason of each kind of error. Nothing here touches the registry.
#include <ysl/YRegFile.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

// The first value of the first key of REGEDIT4 text with one key line.
YRegFileValue value_of(const std::string& line)
{
    std::vector<YRegFileKey> keys;
    YRegFileError error;
    EXPECT_TRUE(YRegFile_Parse("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\k]\r\n" + line + "\r\n", keys, error))
        << line << ": " << error.message;
    return keys.size() == 1 && keys[0].values.size() == 1 ? keys[0].values[0] : YRegFileValue();
}

// UTF-16LE with its byte-order mark, from ASCII text and ASCII data.
std::string utf16(const std::string& text)
{
    std::string out = "\xff\xfe";
    for (char c : text)
        out += c, out += '\0';
    return out;
}

TEST(YRegFile, ValueNotations)
{
    const struct {
        std::string line;
        std::string name;
        DWORD type;
        std::string data;
    } cases[] = {
        {R"("s"="C:\\Data \"x\"")", "s", REG_SZ, "C:\\Data \"x\"\0"s},
        {R"("a\\b\"c"="line\r\nnext")", "a\\b\"c", REG_SZ, "line\r\nnext\0"s},
        {R"(@="")", "", REG_SZ, "\0"s},
        {R"(""  =  "default, blanks around '='")", "", REG_SZ, "default, blanks around '='\0"s},
        {R"("d"=dword:1F)", "d", REG_DWORD, "\x1f\0\0\0"s},
        {R"("d"=DWORD:deadBEEF)", "d", REG_DWORD, "\xef\xbe\xad\xde"s},
        {R"("d"=dword:00000000)", "d", REG_DWORD, "\0\0\0\0"s},
        {R"("b"=hex:1,ab,0)", "b", REG_BINARY, "\x01\xab\x00"s},
        {R"("b"=hex:)", "b", REG_BINARY, ""},
        {R"("b"=hex: 01 , 02 )", "b", REG_BINARY, "\x01\x02"s},
        {"\"b\"=hex:01,\\\r\n  02,03\\\r\n  ,04", "b", REG_BINARY, "\x01\x02\x03\x04"s},
        {R"("q"=hex(b):5,0,0,0,0,0,0,80)", "q", REG_QWORD, "\x05\0\0\0\0\0\0\x80"s},
        {R"("e"=hex(2):25,54,25,00)", "e", REG_EXPAND_SZ, "%T%\0"s},  // ANSI bytes in REGEDIT4
        {R"("m"=hex(7):61,00,62,00,00)", "m", REG_MULTI_SZ, "a\0b\0\0"s},
        {R"("z"=hex(0):)", "z", REG_NONE, ""},
        {R"("big"=hex(FFFFFFFF):ff)", "big", 0xFFFFFFFF, "\xff"s},
    };
    for (const auto& c : cases) {
        YRegFileValue v = value_of(c.line);
        EXPECT_EQ(v.name, c.name) << c.line;
        EXPECT_EQ(v.type, c.type) << c.line;
        EXPECT_EQ(v.data, c.data) << c.line;
        EXPECT_FALSE(v.remove) << c.line;
    }
    EXPECT_TRUE(value_of(R"("gone"=-)").remove);
    EXPECT_TRUE(value_of(R"(@ = - )").remove);
}

TEST(YRegFile, KeysCommentsAndLineEnds)
{
    std::vector<YRegFileKey> keys;
    YRegFileError error;
    ASSERT_TRUE(YRegFile_Parse("REGEDIT4\n; a comment\n\n  [HKEY_LOCAL_MACHINE\\SOFTWARE\\A]  \n"
                               "\"v\"=\"1\"\n  ;\"not\"=\"a value\"\n"
                               "[-hkcu\\Gone\\Tree]\r\n[HKEY_CURRENT_USER\\]\n[HKCR\\\\a\\\\b\\]\n"
                               "[HKEY_USERS\\x]y]\n@=dword:1",
                               keys, error))
        << error.message;
    ASSERT_EQ(keys.size(), 5u);
    EXPECT_EQ(keys[0].root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(keys[0].path, "SOFTWARE\\A");
    EXPECT_EQ(keys[0].line, 4);
    ASSERT_EQ(keys[0].values.size(), 1u);
    EXPECT_EQ(keys[0].values[0].line, 5);
    EXPECT_TRUE(keys[1].remove);
    EXPECT_EQ(keys[1].full_name(), "HKEY_CURRENT_USER\\Gone\\Tree");
    EXPECT_EQ(keys[2].full_name(), "HKEY_CURRENT_USER") << "the root's own block";
    EXPECT_EQ(keys[3].full_name(), "HKEY_CLASSES_ROOT\\a\\b") << "empty names skipped";
    EXPECT_EQ(keys[4].path, "x]y") << "the line's last ']' closes it";
    EXPECT_EQ(keys[4].values.size(), 1u);
}

TEST(YRegFile, Version5InUtf16_StringDataBecomesAnsi)
{
    std::vector<YRegFileKey> keys;
    YRegFileError error;
    ASSERT_TRUE(YRegFile_Parse(utf16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\k]\r\n"
                                     "\"s\"=\"t\"\r\n\"e\"=hex(2):25,00,54,00,25,00,00,00\r\n"
                                     "\"m\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n\"b\"=hex:61,00\r\n"),
                               keys, error))
        << error.message;
    ASSERT_EQ(keys.size(), 1u);
    ASSERT_EQ(keys[0].values.size(), 4u);
    EXPECT_EQ(keys[0].values[0].data, "t\0"s);
    EXPECT_EQ(keys[0].values[1].data, "%T%\0"s);
    EXPECT_EQ(keys[0].values[2].data, "a\0b\0\0"s);
    EXPECT_EQ(keys[0].values[3].data, "a\0"s) << "binary data stays as it is";
}

TEST(YRegFile, Errors_NameLineAndColumn_AndKeepNothing)
{
    const std::string head = "REGEDIT4\n\n[HKEY_CURRENT_USER\\k]\n";
    const struct {
        std::string text;
        int line, column;
        const char* message;
    } cases[] = {
        {"", 1, 1, "not a registry file"},
        {"REGEDIT5\n", 1, 1, "not a registry file"},
        {"REGEDIT4\n\"v\"=\"x\"\n", 2, 1, "a value before the first key line"},
        {head + "v=1\n", 4, 1, "a key line \"[...]\", a value line or a comment expected"},
        {head + "[HKEY_NOWHERE\\a]\n", 4, 2, "unknown root key \"HKEY_NOWHERE\""},
        {head + "[HKEY_CURRENT_USER\\a\n", 4, 21, "without its closing ']'"},
        {head + "[HKEY_CURRENT_USER\\a] x\n", 4, 23, "text after the key line's ']'"},
        {head + "[-HKEY_CURRENT_USER]\n", 4, 3, "a root key cannot be deleted"},
        {head + "[-HKEY_CURRENT_USER\\a]\n\"v\"=-\n", 5, 1, "a value under a key that the file deletes"},
        {head + "\"v\"=\"x\n\"[HKEY_LOCAL_MACHINE\\Injected]\n", 4, 7, "a string without its closing '\"'"},
        {head + "\"v\"=\"C:\\Data\"\n", 4, 8, "an unknown escape"},
        {head + "\"v\"=\"x\" y\n", 4, 9, "text after the string's closing '\"'"},
        {head + "\"v\" \"x\"\n", 4, 5, "'=' expected"},
        {head + "\"v\"=text\n", 4, 5, "a string \"...\", dword:, hex:, hex(N): or - expected"},
        {head + "\"v\"=-x\n", 4, 5, "a string \"...\", dword:, hex:, hex(N): or - expected"},
        {head + "\"v\"=dword:\n", 4, 11, "hexadecimal digits expected"},
        {head + "\"v\"=dword:123456789\n", 4, 19, "more than 8 hexadecimal digits"},
        {head + "\"v\"=dword:12 3\n", 4, 14, "text after the dword's digits"},
        {head + "\"v\"=hex(x):00\n", 4, 9, "hexadecimal digits expected"},
        {head + "\"v\"=hex(7)00\n", 4, 10, "\"):\" expected"},
        {head + "\"v\"=hex:0g\n", 4, 10, "',' expected between bytes"},
        {head + "\"v\"=hex:100\n", 4, 11, "more than two hexadecimal digits"},
        {head + "\"v\"=hex:01,,02\n", 4, 12, "a hexadecimal byte expected"},
        {head + "\"v\"=hex:01,\n", 4, 12, "a byte expected after ','"},
        {head + "\"v\"=hex:01,\\ x\n", 4, 12, "continues a value only at the end of a line"},
        {head + "\"v\"=hex:01,\\\n  02,\\\n", 5, 6, "the file ends in a continued value"},
        {head + "\"v\"=\"a\0b\"\n"s, 4, 7, "a zero byte"},
        {"Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\k]\n\"v\"=hex(1):41,00,42\n", 4, 20,
         "odd number of bytes"},
        {utf16("Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\k]\r\n\"v\"=\"") + "\x00\xd8"s +
             utf16("\"\r\n").substr(2),
         3, 6, "a character that the ANSI code page cannot hold"},
        {utf16("REGEDIT4\r\n") + "x", 2, 1, "UTF-16 text that ends in half a character"},
    };
    for (const auto& c : cases) {
        std::vector<YRegFileKey> keys;
        YRegFileError error;
        EXPECT_FALSE(YRegFile_Parse(c.text, keys, error)) << c.text;
        EXPECT_TRUE(keys.empty()) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_EQ(error.column, c.column) << c.text;
        EXPECT_NE(error.message.find(c.message), std::string::npos) << c.text << ": " << error.message;
    }
}

}  // namespace
