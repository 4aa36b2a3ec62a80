// Registration files applied to the registry: what the export wrote comes back as it was,
// and an import that fails part-way says how far it came.
#include "registry_fixture.h"

#include <ysl/YRegFile.h>

namespace {

using namespace registry_test;
using namespace std::string_literals;

struct raw_value {
    std::string name;
    DWORD type;
    std::string data;
};

class RegistryImport : public RegistryFileTest {
protected:
    // Parses and applies the text; the error's text when either fails.
    std::string import(const std::string& text)
    {
        std::vector<YRegFileKey> keys;
        YRegFileError error;
        if (!YRegFile_Parse(text, keys, error))
            return std::to_string(error.line) + ":" + std::to_string(error.column) + ": " + error.message;
        YRegFileApplied done;
        return YRegFile_Apply(keys, done) ? "" : "registry error " + std::to_string(done.status);
    }
    void put(const std::string& path, const std::vector<raw_value>& values)
    {
        for (const raw_value& v : values)
            put_raw(cu, path, v.name.c_str(), v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
    }
    void expect_values(const std::string& path, const std::vector<raw_value>& values)
    {
        for (const raw_value& v : values) {
            stored s = get_raw(cu, path, v.name.c_str());
            EXPECT_EQ(s.type, v.type) << v.name;
            EXPECT_EQ(s.bytes, v.data) << v.name;
        }
    }
    // Export, delete, import: the values are the originals and a second export the same bytes.
    void round_trip(const std::vector<raw_value>& values)
    {
        put(key(), values);
        put(key("sub\\deeper"), {values[0]});
        put_raw(cu, key("empty"));
        box_recorder boxes;  // the warning for types without a notation of their own
        std::string first = save(cu, key());
        delete_tree(cu, key());
        ASSERT_EQ(import(first), "") << first;
        expect_values(key(), values);
        expect_values(key("sub\\deeper"), {values[0]});
        EXPECT_TRUE(key_exists(cu, key("empty")));
        EXPECT_EQ(save(cu, key()), first);
    }
};

TEST_F(RegistryImport, RoundTrip_EveryValueType)
{
    round_trip({
        {"sz", REG_SZ, "C:\\Data \"q\" ;x=]\0"s},
        {"", REG_SZ, "the default\0"s},
        {"name \\ \" ] = ;", REG_SZ, "\0"s},
        {"expand", REG_EXPAND_SZ, "%TEMP%\\x\0"s},
        {"multi", REG_MULTI_SZ, "a\0b c\0\0"s},
        {"binary", REG_BINARY, "\x00\x0f\x10\xff"s},
        {"no bytes", REG_BINARY, ""},
        {"dword", REG_DWORD, "\xef\xbe\xad\xde"s},
        {"dword zero", REG_DWORD, "\0\0\0\0"s},
        {"short dword", REG_DWORD, "\x01\x02"s},
        {"qword", REG_QWORD, "\x01\x02\x03\x04\x05\x06\x07\xff"s},
        {"none", REG_NONE, "\x01"s},
        {"big endian", REG_DWORD_BIG_ENDIAN, "\0\0\0\x1f"s},
        {"link", REG_LINK, "\x41\0"s},
        {"resources", REG_RESOURCE_LIST, "\x01\x02"s},
        {"full resource", REG_FULL_RESOURCE_DESCRIPTOR, "\x03"s},
        {"requirements", REG_RESOURCE_REQUIREMENTS_LIST, "\x04"s},
    });
}

// Written as hex(1): by an export that keeps each value on its own line; an export that writes
// the line breaks raw gives a file that does not parse, so nothing is imported from it.
TEST_F(RegistryImport, RoundTrip_StringWithLineBreaks)
{
    round_trip({{"lines", REG_SZ, "x\r\n[HKEY_CURRENT_USER\\Injected]\r\n\"evil\"=\"yes\"\n\r\0"s}});
    EXPECT_FALSE(key_exists(cu, "Injected"));
}

TEST_F(RegistryImport, FailurePartWay_StopsAndCountsWhatWasWritten)
{
    put_raw(cu, key("gone\\below"), "v", REG_SZ, "x", 2);
    const std::string k = "HKEY_CURRENT_USER\\" + key();
    std::vector<YRegFileKey> keys;
    YRegFileError error;
    ASSERT_TRUE(YRegFile_Parse("REGEDIT4\n\n[-" + k + "\\gone]\n[-" + k + "\\gone]\n[" + k +
                                   "]\n\"a\"=dword:1\n\"a\"=-\n\"b\"=\"x\"\n[" + k + "\\" + std::string(300, 'n') +
                                   "]\n\"c\"=dword:2\n[" + k + "\\after]\n",
                               keys, error))
        << error.message;
    YRegFileApplied done;
    EXPECT_FALSE(YRegFile_Apply(keys, done));
    EXPECT_NE(done.status, ERROR_SUCCESS);
    EXPECT_EQ(done.key, &keys[3]);
    EXPECT_EQ(done.value, nullptr);
    EXPECT_EQ(done.keys, 3u) << "a deleted tree, deleting it again, and the key";
    EXPECT_EQ(done.values, 3u) << "a written, a deleted, b written";
    EXPECT_FALSE(key_exists(cu, key("gone")));
    EXPECT_EQ(get_raw(cu, key(), "a").type, ~0u);
    EXPECT_EQ(get_raw(cu, key(), "b").bytes, "x\0"s);
    EXPECT_FALSE(key_exists(cu, key("after")));
}

#ifdef _WIN32
// Wine's registry editor writes version 5.00 in UTF-16LE, with eight-digit dwords, its string
// types as UTF-16 bytes and long lines continued.
TEST_F(RegistryImport, WindowsRegeditExport_ImportsToTheSameValues)
{
    const std::vector<raw_value> values = {
        {"sz", REG_SZ, "C:\\Data \"q\"\0"s},
        {"", REG_SZ, "the default\0"s},
        {"lines", REG_SZ, "a\r\nb\0"s},
        {"expand", REG_EXPAND_SZ, "%TEMP%\\x\0"s},
        {"multi", REG_MULTI_SZ, "a\0b c\0\0"s},
        {"binary", REG_BINARY, std::string(100, '\xab')},
        {"dword", REG_DWORD, "\x1f\0\0\0"s},
        {"qword", REG_QWORD, "\x01\x02\x03\x04\x05\x06\x07\xff"s},
        {"none", REG_NONE, "\x01"s},
    };
    put(key(), values);
    put(key("sub"), {values[0]});
    std::string command = "regedit.exe /e \"" + file + "\" \"HKEY_CURRENT_USER\\" + key() + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        << GetLastError();
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::string text = read_file();
    ASSERT_EQ(text.substr(0, 2), "\xff\xfe") << "a UTF-16 file";

    delete_tree(cu, key());
    ASSERT_EQ(import(text), "");
    expect_values(key(), values);
    expect_values(key("sub"), {values[0]});
}
#endif

}  // namespace
