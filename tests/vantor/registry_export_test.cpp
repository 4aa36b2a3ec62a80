// The export of a key tree to a REGEDIT4 file, and of a large tree against a plain walk of it.
#include "registry_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>

namespace {

using namespace registry_test;

// The file's lines, each ended by CR LF (written through a text stream on every target).
std::string lines(const std::vector<std::string>& list)
{
    std::string out;
    for (const std::string& l : list)
        out += l + "\r\n";
    return out;
}

// Wine enumerates values in name order, Windows and winport in creation order: under Wine the
// lines are compared as sorted.
std::string in_value_order(const std::string& text)
{
#ifdef _WIN32
    std::vector<std::string> all;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        all.push_back(text.substr(at, end + 1 - at));
    std::sort(all.begin(), all.end());
    return std::accumulate(all.begin(), all.end(), std::string());
#else
    return text;
#endif
}

using RegistryExport = RegistryFileTest;

TEST_F(RegistryExport, ExampleTree_GivesExactlyItsLines)
{
    std::string alpha = key("Alpha");
    ASSERT_TRUE(setreg_string(lm, alpha.c_str(), "", "x"));
    ASSERT_TRUE(setreg_string(lm, alpha.c_str(), "Dir", "C:\\Data"));
    ASSERT_TRUE(setreg_long(lm, alpha.c_str(), "Count", 31));
    put_raw(lm, alpha, "Raw", REG_BINARY, "\x01\xab", 3);
    put_raw(lm, alpha + "\\Beta");
    box_recorder boxes;
    EXPECT_EQ(in_value_order(save(lm, alpha)),
              in_value_order(lines({"REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\" + alpha + "]", "@=\"x\"",
                                    "\"Dir\"=\"C:\\\\Data\"", "\"Count\"=dword:1F", "\"Raw\"=hex:1,ab,0", "",
                                    "[HKEY_LOCAL_MACHINE\\" + alpha + "\\Beta]", ""})));
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(RegistryExport, MissingKey_GivesItsKeyLineAlone_AndAppendAddsOneEmptyLine)
{
    std::string once = "[HKEY_CURRENT_USER\\" + key() + "]";
    EXPECT_EQ(save(cu, key()), lines({"REGEDIT4", "", once, ""}));
    EXPECT_EQ(save(cu, key(), true), lines({"REGEDIT4", "", once, "", "", once, ""}));
    EXPECT_EQ(save(cu, key()), lines({"REGEDIT4", "", once, ""})) << "a new export starts the file again";
}

TEST_F(RegistryExport, ValueNotations)
{
    const struct {
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
    std::vector<std::string> expected = {"REGEDIT4", "", "[HKEY_CURRENT_USER\\" + key() + "]"};
    for (const auto& c : cases) {
        put_raw(cu, key(), c.name, c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
        expected.push_back(c.line);
    }
    expected.push_back("");
    box_recorder boxes;
    EXPECT_EQ(save(cu, key()), lines(expected));
    EXPECT_TRUE(boxes.boxes().empty()) << "a qword is no unsupported format";
}

TEST_F(RegistryExport, EveryTypeCode_WarnsWithTheListing)
{
    for (DWORD t = 0; t <= 11; ++t)
        put_raw(cu, key(), ("t" + std::to_string(t)).c_str(), t, "\x01\x02\x01\x01", t == REG_DWORD ? 4 : 2);
    put_raw(cu, key("sub"), "m", REG_MULTI_SZ, "a\0\0", 3);
    put_raw(cu, key("sub"), "short", REG_DWORD, "\x01\x02", 2);
    box_recorder boxes;
    std::string text = save(cu, key());
    for (const char* line : {"\"t0\"=hex(0):1,2\r\n", "\"t7\"=hex(7):1,2", "\"t11\"=hex(b):1,2\r\n",
                             "\"short\"=hex(4):1,2\r\n"})  // Wine adds a terminator to t7
        EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;
    // Unsupported: codes 0, 2, 5 to 10, the multi-string and the short number of the subkey.
    boxes.expect_one("Warning",
                     "While saving the registry keys from " + key() + " into file " + file +
                         ", 10 unsupported formates where detected. This might cause problems restoring unicode "
                         "strings, links, big endian numbers, resource lists or resource descriptors. Other values "
                         "(strings, numbers, binary values) are stored correctly.\n\nFormates found:\n\n"
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
}

// The subkeys of a root exported whole (the empty path) are their names alone.
TEST_F(RegistryExport, OpenedKeyAsRoot_HasNoRootName_AndAFileThatCannotBeWrittenGivesFalse)
{
    put_raw(cu, key("a\\b"), "v", REG_SZ, "x", 2);
    HKEY opened;
    ASSERT_EQ(RegOpenKeyExA(cu, key().c_str(), 0, KEY_READ | view, &opened), ERROR_SUCCESS);
    EXPECT_EQ(save(opened, "a"), lines({"REGEDIT4", "", "[\\a]", "", "[\\a\\b]", "\"v\"=\"x\"", ""}));
    EXPECT_EQ(save(opened, ""), lines({"REGEDIT4", "", "[\\]", "", "[\\a]", "", "[\\a\\b]", "\"v\"=\"x\"", ""}));
    RegCloseKey(opened);
    std::vector<std::string> bad = {::testing::TempDir() + "no-such-directory-vantor/x.reg"};
#ifndef _WIN32
    bad.push_back("/dev/full");
#endif
    for (const std::string& path : bad)
        EXPECT_FALSE(SaveRegToFile(cu, key("a").c_str(), path.c_str(), false)) << path;
    EXPECT_FALSE(SaveRegToFile(cu, key().c_str(), nullptr, false));
}

#ifndef _WIN32
// A file that could not be written whole promises nothing about the values in it. A write
// fails for certain only on Linux, into /dev/full.
TEST_F(RegistryExport, LinuxFailedWrite_WarnsWithoutSayingTheOtherValuesAreStored)
{
    file = "/dev/full";
    put_raw(cu, key(), "m", REG_MULTI_SZ, "a\0\0", 3);
    box_recorder boxes;
    EXPECT_FALSE(SaveRegToFile(cu, key().c_str(), file.c_str(), false));
    boxes.expect_one("Warning", "While saving the registry keys from " + key() + " into file " + file +
                                    ", 1 unsupported formates where detected. This might cause problems restoring "
                                    "unicode strings, links, big endian numbers, resource lists or resource "
                                    "descriptors.\n\nFormates found:\n\nFormat ID 7  (unsupported):\t1\n");
    file.clear();  // nothing to remove
}
#endif

// "hex(1):" and the text's bytes with its terminating zero.
std::string hex1(const std::string& text)
{
    std::string out = "hex(1):";
    for (unsigned char c : text) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%x,", c);
        out += byte;
    }
    return out + "0";
}

// Line breaks in data or names must not give an importer lines of their own: strings holding
// them are written in hexadecimal, keys and values named with them are left out and warned of.
TEST_F(RegistryExport, LineBreaks_CannotAddLinesToTheFile)
{
    const std::string injected = "x\r\n[HKEY_LOCAL_MACHINE\\I]\r\n\"e\"=\"y\"";
    const struct {
        const char* name;
        std::string data;  // a string value
        std::string line;  // "" for a value left out
    } values[] = {
        {"a crlf", injected + '\0', "\"a crlf\"=" + hex1(injected)},
        {"b cr", std::string("a\rb\0", 4), "\"b cr\"=hex(1):61,d,62,0"},
        {"c unended lf", "a\nb", "\"c unended lf\"=hex(1):61,a,62,0"},
        {"e \r\n[HKEY_LOCAL_MACHINE\\I]", std::string("v\0", 2), ""},
    };
    std::vector<std::string> expected = {"REGEDIT4", "", "[HKEY_CURRENT_USER\\" + key() + "]"};
    for (const auto& v : values) {
        put_raw(cu, key(), v.name, REG_SZ, v.data.data(), static_cast<DWORD>(v.data.size()));
        if (!v.line.empty())
            expected.push_back(v.line);
    }
    expected.push_back("");
    // A key named with a line break goes with its whole tree; so does a top key named so.
    put_raw(cu, key("ok"), "g\r", REG_DWORD, "\1\0\0\0", 4);
    put_raw(cu, key("ok"), "h", REG_DWORD, "\1\0\0\0", 4);
    put_raw(cu, key("sub\r\n[HKEY_LOCAL_MACHINE\\I]\\deeper"), "i", REG_SZ, "v", 2);
    for (const std::string& l : {"[HKEY_CURRENT_USER\\" + key("ok") + "]", std::string("\"h\"=dword:1"), std::string()})
        expected.push_back(l);

    box_recorder boxes;
    EXPECT_EQ(in_value_order(save(cu, key())), in_value_order(lines(expected)));
    boxes.expect_one("Warning",
                     "While saving the registry keys from " + key() + " into file " + file +
                         ", 3 unsupported formates where detected. 3 of them are keys or values left out, as their "
                         "names hold line breaks. This might cause problems restoring unicode strings, links, big "
                         "endian numbers, resource lists or resource descriptors. Other values (strings, numbers, "
                         "binary values) are stored correctly.\n\nFormates found:\n\n"
                         "Format ID 1  (string):     \t3\n"
                         "Format ID 4  (dword):      \t1\n");

    std::string top = key("sub\r\n[HKEY_LOCAL_MACHINE\\I]");
    EXPECT_EQ(save(cu, top), lines({"REGEDIT4", ""}));
}

// The tree below `path` as the export writes it, from a walk that reads every list from its
// last index down, after counting it: it shares no enumeration cursor with the export, whose
// nested walks go up from index 0.
void walk(const std::string& path, std::string& out)
{
    HKEY key = open_key(cu, path, KEY_READ);
    ASSERT_NE(key, nullptr) << path;
    DWORD subkeys = 0, values = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    std::vector<std::string> lines(values), names(subkeys);
    for (DWORD i = values; i-- > 0;) {
        char name[64], data[64];
        DWORD n = sizeof name, size = sizeof data, type = 0;
        ASSERT_EQ(RegEnumValueA(key, i, name, &n, nullptr, &type, reinterpret_cast<BYTE*>(data), &size), ERROR_SUCCESS);
        lines[i] = "\"" + std::string(name) + "\"=";
        if (type == REG_DWORD) {
            DWORD v;
            std::memcpy(&v, data, sizeof v);
            char hex[16];
            std::snprintf(hex, sizeof hex, "dword:%X", static_cast<unsigned>(v));
            lines[i] += hex;
        } else {
            lines[i] += "\"" + std::string(data) + "\"";
        }
        lines[i] += "\n";
    }
    for (DWORD i = subkeys; i-- > 0;) {
        char name[MAX_PATH];
        ASSERT_EQ(RegEnumKeyA(key, i, name, sizeof name), ERROR_SUCCESS);
        names[i] = name;
    }
    RegCloseKey(key);
    out += "[HKEY_CURRENT_USER\\" + path + "]\n";
    for (const std::string& line : lines)
        out += line;
    out += "\n";
    for (const std::string& name : names)
        walk(path + "\\" + name, out);
}

// 1,500 subkeys under one key and 30 under another, each of those with 30 of its own: every
// key's values, subkeys and place in its parent's list must come out once, in order.
TEST_F(RegistryExport, ExportOfThousandsOfKeys_IsWhatAPlainWalkWrites)
{
    char name[32];
    for (int i = 0; i < 1500; ++i) {
        std::snprintf(name, sizeof name, "T\\A%04d", i);
        ASSERT_TRUE(setreg_long(cu, key(name).c_str(), "n", i));
    }
    for (int i = 0; i < 30; ++i) {
        for (int j = 0; j < 30; ++j) {
            std::snprintf(name, sizeof name, "T\\B%02d\\C%02d", i, j);
            ASSERT_TRUE(setreg_long(cu, key(name).c_str(), "n", i * 100 + j));
            ASSERT_TRUE(setreg_string(cu, key(name).c_str(), "s", std::to_string(i * 100 + j).c_str()));
        }
    }
    std::string expected = "REGEDIT4\n\n";
    walk(key("T"), expected);

    std::string saved = save(cu, key("T"));
    saved.erase(std::remove(saved.begin(), saved.end(), '\r'), saved.end());
    // Where they differ, if anywhere, and what comes from there.
    std::size_t common = std::min(saved.size(), expected.size());
    auto at = static_cast<std::size_t>(
        std::mismatch(saved.begin(), saved.begin() + static_cast<std::ptrdiff_t>(common), expected.begin()).first -
        saved.begin());
    EXPECT_EQ(saved.substr(at, 400), expected.substr(at, 400)) << "from byte " << at;
}

}  // namespace
