// The export of a key tree to a REGEDIT4 file.
#include "registry_fixture.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

using namespace registry_test;

// Written through a text stream: CR LF on every target.
const char* const eol = "\r\n";

std::string lines(std::initializer_list<std::string> list)
{
    std::string out;
    for (const std::string& l : list)
        out += l + eol;
    return out;
}

// Wine enumerates values in name order, Windows and winport in creation order: under Wine the
// lines are compared as sorted.
std::string in_value_order(const std::string& text)
{
#ifdef _WIN32
    std::vector<std::string> all;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        all.push_back(line + "\n");
    std::sort(all.begin(), all.end());
    std::string out;
    for (const std::string& l : all)
        out += l;
    return out;
#else
    return text;
#endif
}

class RegistryExport : public RegistryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        file_ = ::testing::TempDir() + "vantor-export-" + std::to_string(GetCurrentProcessId()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".reg";
        std::remove(file_.c_str());
    }
    void TearDown() override
    {
        std::remove(file_.c_str());
        RegistryTest::TearDown();
    }
    std::string file_contents() const
    {
        std::ifstream in(file_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string file_;
};

TEST_F(RegistryExport, ExampleTree_GivesExactlyItsLines)
{
    HKEY lm = HKEY_LOCAL_MACHINE;
    std::string alpha = key("Alpha");
    ASSERT_TRUE(setreg_string(lm, alpha.c_str(), "", "x"));
    ASSERT_TRUE(setreg_string(lm, alpha.c_str(), "Dir", "C:\\Data"));
    ASSERT_TRUE(setreg_long(lm, alpha.c_str(), "Count", 31));
    put_raw(lm, alpha, "Raw", REG_BINARY, "\x01\xab\x00", 3);
    put_key(lm, alpha + "\\Beta");

    box_recorder boxes;
    ASSERT_TRUE(SaveRegToFile(lm, alpha.c_str(), file_.c_str(), false));
    EXPECT_EQ(in_value_order(file_contents()),
              in_value_order(lines({"REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\" + alpha + "]", "@=\"x\"",
                                    "\"Dir\"=\"C:\\\\Data\"", "\"Count\"=dword:1F", "\"Raw\"=hex:1,ab,0", "",
                                    "[HKEY_LOCAL_MACHINE\\" + alpha + "\\Beta]", ""})))
        << file_contents();
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(RegistryExport, MissingKey_GivesItsKeyLineAlone_AndAppendAddsOneEmptyLine)
{
    std::string k = key("missing");
    ASSERT_TRUE(SaveRegToFile(HKEY_CURRENT_USER, k.c_str(), file_.c_str(), false));
    std::string once = "[HKEY_CURRENT_USER\\" + k + "]";
    EXPECT_EQ(file_contents(), lines({"REGEDIT4", "", once, ""}));
    ASSERT_TRUE(SaveRegToFile(HKEY_CURRENT_USER, k.c_str(), file_.c_str(), true));
    EXPECT_EQ(file_contents(), lines({"REGEDIT4", "", once, "", "", once, ""}));
    // A new export starts the file again.
    ASSERT_TRUE(SaveRegToFile(HKEY_CURRENT_USER, k.c_str(), file_.c_str(), false));
    EXPECT_EQ(file_contents(), lines({"REGEDIT4", "", once, ""}));
}

TEST_F(RegistryExport, ValueNotations)
{
    struct {
        const char* name;
        DWORD type;
        std::string data;
        std::string line;
    } cases[] = {
        {"a back", REG_SZ, std::string("a\\b\0", 4), "\"a back\"=\"a\\\\b\""},
        {"b quote", REG_SZ, std::string("say \"hi\"\0", 9), "\"b quote\"=\"say \\\"hi\\\"\""},
        {"c na\"me\\", REG_SZ, std::string("v\0", 2), "\"c na\\\"me\\\\\"=\"v\""},
        {"d unended", REG_SZ, "abc", "\"d unended\"=\"abc\""},
        {"e cut", REG_SZ, std::string("ab\0cd", 5), "\"e cut\"=\"ab\""},
        {"f ff", REG_DWORD, std::string("\xff\0\0\0", 4), "\"f ff\"=dword:FF"},
        {"g zero", REG_DWORD, std::string(4, '\0'), "\"g zero\"=dword:0"},
        {"h top", REG_DWORD, "\xef\xbe\xad\xde", "\"h top\"=dword:DEADBEEF"},
        {"i bin", REG_BINARY, std::string("\x00\x0f\x10", 3), "\"i bin\"=hex:0,f,10"},
        {"j nobin", REG_BINARY, "", "\"j nobin\"=hex:"},
        {"k q", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\xff", 8), "\"k q\"=hex(b):1,2,3,4,5,6,7,ff"},
    };
    // Created in name order, which is also the order Wine enumerates them in.
    for (const auto& c : cases)
        put_raw(HKEY_CURRENT_USER, key(), c.name, c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
    box_recorder boxes;
    ASSERT_TRUE(SaveRegToFile(HKEY_CURRENT_USER, key().c_str(), file_.c_str(), false));
    std::string expected = "REGEDIT4" + std::string(eol) + eol + "[HKEY_CURRENT_USER\\" + key() + "]" + eol;
    for (const auto& c : cases)
        expected += c.line + eol;
    expected += eol;
    EXPECT_EQ(file_contents(), expected);
    EXPECT_TRUE(boxes.boxes().empty()) << "a qword is no unsupported format";
}

TEST_F(RegistryExport, EveryTypeCode_WarnsWithTheListing)
{
    for (DWORD t = 0; t <= 11; ++t) {
        std::string name = "t" + std::to_string(t);
        std::string data = t == REG_DWORD ? std::string(4, '\x01') : std::string("\x01\x02", 2);
        put_raw(HKEY_CURRENT_USER, key(), name.c_str(), t, data.data(), static_cast<DWORD>(data.size()));
    }
    put_raw(HKEY_CURRENT_USER, key("sub"), "m", REG_MULTI_SZ, "a\0\0", 3);
    put_raw(HKEY_CURRENT_USER, key("sub"), "short", REG_DWORD, "\x01\x02", 2);

    box_recorder boxes;
    ASSERT_TRUE(SaveRegToFile(HKEY_CURRENT_USER, key().c_str(), file_.c_str(), false));
    std::string text = file_contents();
    SCOPED_TRACE(text);
    EXPECT_NE(text.find("\"t0\"=hex(0):1,2" + std::string(eol)), std::string::npos);
    EXPECT_NE(text.find("\"t7\"=hex(7):1,2"), std::string::npos);  // Wine adds a terminator
    EXPECT_NE(text.find("\"t11\"=hex(b):1,2" + std::string(eol)), std::string::npos);
    EXPECT_NE(text.find("\"short\"=hex(4):1,2" + std::string(eol)), std::string::npos);

    std::vector<box> shown = boxes.boxes();
    if (!box_recorder::sees_every_box() && shown.empty())
        return;
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "Warning");
    // Unsupported: codes 0, 2, 5 to 10, the multi-string and the short number of the subkey.
    EXPECT_EQ(shown[0].text,
              "While saving the registry keys from " + key() + " into file " + file_ +
                  ", 10 unsupported formates where detected. This might cause problems restoring unicode strings, "
                  "links, big endian numbers, resource lists or resource descriptors. Other values (strings, numbers, "
                  "binary values) are stored correctly.\n\nFormates found:\n\n"
                  "Format ID 1  (string):     \t1\n"
                  "Format ID 2  (unsupported):\t1\n"
                  "Format ID 3  (binary):     \t1\n"
                  "Format ID 4  (dword):      \t2\n"
                  "Format ID 5  (unsupported):\t1\n"
                  "Format ID 6  (unsupported):\t1\n"
                  "Format ID 7  (unsupported):\t2\n"
                  "Format ID 8  (unsupported):\t1\n"
                  "Format ID 9  (unsupported):\t1\n"
                  "Format ID 10  (unsupported):\t1\n");
    if (box_recorder::sees_every_box()) {
        EXPECT_EQ(shown[0].type, UINT(0x30));
    }
}

TEST_F(RegistryExport, OpenedKeyAsRoot_HasNoRootName_AndAnUnopenableFileGivesFalse)
{
    put_key(HKEY_CURRENT_USER, key("a"));
    HKEY opened;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, key().c_str(), 0, KEY_READ | view, &opened), ERROR_SUCCESS);
    EXPECT_TRUE(SaveRegToFile(opened, "a", file_.c_str(), false));
    RegCloseKey(opened);
    EXPECT_EQ(file_contents(), lines({"REGEDIT4", "", "[\\a]", ""}));

    std::string unopenable = ::testing::TempDir() + "no-such-directory-vantor/x.reg";
    EXPECT_FALSE(SaveRegToFile(HKEY_CURRENT_USER, key().c_str(), unopenable.c_str(), false));
    EXPECT_FALSE(SaveRegToFile(HKEY_CURRENT_USER, key().c_str(), nullptr, false));
}

#ifndef _WIN32
TEST_F(RegistryExport, LinuxWriteFailure_GivesFalse)
{
    ASSERT_TRUE(setreg_long(HKEY_CURRENT_USER, key().c_str(), "n", 1));
    EXPECT_FALSE(SaveRegToFile(HKEY_CURRENT_USER, key().c_str(), "/dev/full", false));
}
#endif

}  // namespace
