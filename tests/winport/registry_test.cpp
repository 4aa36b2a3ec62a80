// The registry API: on winport and, built for Windows, against Wine's registry, so that both
// agree. Suites named Linux... test the store beneath winport's registry.
#include <winport/winport.h>

#include <gtest/gtest.h>

#include "test_support.h"

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sqlite3.h>
#include <sys/stat.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fstream>
#endif

namespace {

// Deletes a key and everything below it, through the API under test.
void delete_tree(HKEY parent, const std::string& sub)
{
    HKEY k;
    if (RegOpenKeyExA(parent, sub.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
        return;
    char name[MAX_PATH];
    while (RegEnumKeyA(k, 0, name, sizeof name) == ERROR_SUCCESS)
        delete_tree(k, name);
    RegCloseKey(k);
    RegDeleteKeyExA(parent, sub.c_str(), KEY_WOW64_32KEY, 0);
}

std::string tests_key()
{
    return "Software\\vantor-tests\\" + std::to_string(GetCurrentProcessId());
}

// Every case works under a key of its own, removed afterwards.
class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = tests_key() + "\\" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(
            RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &base, nullptr),
            ERROR_SUCCESS);
    }
    void TearDown() override
    {
        RegCloseKey(base);
        delete_tree(HKEY_CURRENT_USER, tests_key());
    }

    LONG set_dword(HKEY k, const char* name, DWORD v)
    {
        return RegSetValueExA(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    }
    LONG set_string(HKEY k, const char* name, const std::string& s)
    {
        return RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(s.c_str()),
                              static_cast<DWORD>(s.size() + 1));
    }
    HKEY open(const char* sub, REGSAM sam)
    {
        HKEY k = nullptr;
        EXPECT_EQ(RegOpenKeyExA(base, sub, 0, sam, &k), ERROR_SUCCESS) << sub;
        return k;
    }
    std::vector<std::string> subkeys(HKEY k)
    {
        std::vector<std::string> names;
        char name[MAX_PATH];
        for (DWORD i = 0; RegEnumKeyA(k, i, name, sizeof name) == ERROR_SUCCESS; ++i)
            names.push_back(name);
        return names;
    }
    std::vector<std::string> values(HKEY k)
    {
        std::vector<std::string> names;
        char name[256];
        DWORD n = sizeof name;
        for (DWORD i = 0; RegEnumValueA(k, i, name, &n, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
             ++i, n = sizeof name)
            names.push_back(name);
        return names;
    }

    std::string path;
    HKEY base = nullptr;
};

// ---- keys ---------------------------------------------------------------------------------

TEST_F(Registry, SubkeyPaths_AreCheckedAsWindowsChecksThem)
{
    struct row {
        std::string sub;
        LONG create;
        const char* opens_as;  // the path that then opens the same key, or null
    };
    const row rows[] = {
        {"a\\b\\c", ERROR_SUCCESS, "A\\B\\C"},
        {"trailing\\", ERROR_SUCCESS, "trailing"},
        {"doubled\\\\name", ERROR_SUCCESS, "doubled\\name"},
        {"\\leading", ERROR_BAD_PATHNAME, nullptr},
        {std::string(256, 'k'), ERROR_SUCCESS, nullptr},
        {std::string(257, 'k'), ERROR_INVALID_PARAMETER, nullptr},
    };
    for (const row& r : rows) {
        HKEY k = nullptr;
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExA(base, r.sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, &disposition),
                  r.create)
            << r.sub.substr(0, 20);
        if (r.create != ERROR_SUCCESS)
            continue;
        EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
        EXPECT_EQ(set_dword(k, "mark", 7), ERROR_SUCCESS);
        RegCloseKey(k);
        if (r.opens_as) {
            HKEY again = open(r.opens_as, KEY_READ);
            DWORD v = 0, size = sizeof v;
            EXPECT_EQ(RegQueryValueExA(again, "mark", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
                      ERROR_SUCCESS);
            EXPECT_EQ(v, 7u);
            RegCloseKey(again);
        }
    }
    HKEY k;
    EXPECT_EQ(RegOpenKeyExA(base, "\\leading", 0, KEY_READ, &k), ERROR_BAD_PATHNAME);
}

TEST_F(Registry, Create_MakesEveryMissingKeyOnThePath_AndOpensAnExistingOne)
{
    HKEY k;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(base, "x\\y\\z", 0, nullptr, 0, KEY_WRITE, nullptr, &k, &disposition), ERROR_SUCCESS);
    RegCloseKey(k);
    ASSERT_EQ(RegCreateKeyExA(base, "x\\Y", 0, nullptr, 0, KEY_WRITE, nullptr, &k, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(k);
    ASSERT_EQ(RegCreateKeyA(base, "old\\style", &k), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(k, "v", 1), ERROR_SUCCESS);  // RegCreateKeyA grants every right
    RegCloseKey(k);
    EXPECT_EQ(RegOpenKeyExA(base, "missing\\deeper", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, NullOrEmptySubkey_OpensTheKeyItself)
{
    ASSERT_EQ(set_dword(base, "here", 5), ERROR_SUCCESS);
    for (const char* sub : {static_cast<const char*>(nullptr), ""}) {
        HKEY k = nullptr;
        ASSERT_EQ(RegOpenKeyExA(base, sub, 0, KEY_READ, &k), ERROR_SUCCESS);
        DWORD v = 0, size = sizeof v;
        EXPECT_EQ(RegQueryValueExA(k, "here", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size), ERROR_SUCCESS);
        EXPECT_EQ(v, 5u);
        RegCloseKey(k);
        ASSERT_EQ(RegCreateKeyExA(base, sub, 0, nullptr, 0, KEY_READ, nullptr, &k, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(RegQueryValueExA(k, "here", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
        RegCloseKey(k);
    }
}

TEST_F(Registry, PredefinedKeys_WorkWithoutOpening_AndCloseHarmlessly)
{
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &k), ERROR_SUCCESS);
    RegCloseKey(k);
}

TEST_F(Registry, InvalidHandles_GiveCode6)
{
    HKEY closed = open("", KEY_READ);
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    HKEY bogus = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234));
    for (HKEY h : {static_cast<HKEY>(nullptr), bogus, closed}) {
        HKEY k;
        DWORD size = 0;
        EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegOpenKeyExA(h, "x", 0, KEY_READ, &k), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegQueryValueExA(h, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
        EXPECT_EQ(set_dword(h, "x", 1), ERROR_INVALID_HANDLE);
    }
}

TEST_F(Registry, DeleteKey_RefusesKeysWithSubkeys_AndTakesTheValuesAlong)
{
    HKEY k;
    ASSERT_EQ(RegCreateKeyExA(base, "parent\\child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(set_dword(k, "v", 1), ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_EQ(RegDeleteKeyExA(base, "parent", KEY_WOW64_32KEY, 0), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyExA(base, "parent\\child", KEY_WOW64_32KEY, 0), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(base, "parent\\child", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    // A key made again under the old name starts empty.
    ASSERT_EQ(RegCreateKeyExA(base, "parent\\child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(k, "v", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    RegCloseKey(k);

    EXPECT_EQ(RegDeleteKeyExA(base, "missing", KEY_WOW64_32KEY, 0), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyExA(base, "missing\\deeper", KEY_WOW64_32KEY, 0), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyExA(base, nullptr, KEY_WOW64_32KEY, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyExA(HKEY_CURRENT_USER, "", KEY_WOW64_32KEY, 0), ERROR_ACCESS_DENIED);
}

TEST_F(Registry, HandleToADeletedKey_GivesKeyDeletedForEveryUse)
{
    HKEY doomed;
    ASSERT_EQ(RegCreateKeyExA(base, "doomed", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &doomed, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(doomed, "v", 1), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyExA(base, "doomed", KEY_WOW64_32KEY, 0), ERROR_SUCCESS);
    // Made again under the same name: the old handle must not reach the new key.
    HKEY reborn;
    ASSERT_EQ(RegCreateKeyExA(base, "doomed\\sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &reborn, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(reborn);

    HKEY k;
    char name[64];
    DWORD n = sizeof name, size = 0, count = 0;
    EXPECT_EQ(set_dword(doomed, "v", 2), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryValueExA(doomed, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValueA(doomed, "v"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExA(doomed, "sub", 0, KEY_READ, &k), ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExA(doomed, nullptr, 0, KEY_READ, &k), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExA(doomed, "new", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyA(doomed, 0, name, sizeof name), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumValueA(doomed, 0, name, &n, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryInfoKeyA(doomed, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegFlushKey(doomed), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(doomed), ERROR_SUCCESS);
}

// ---- access -------------------------------------------------------------------------------

TEST_F(Registry, Handles_KeepTheirAccessMask)
{
    ASSERT_EQ(set_dword(base, "v", 1), ERROR_SUCCESS);
    HKEY sub;
    ASSERT_EQ(RegCreateKeyExA(base, "sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_SUCCESS);
    RegCloseKey(sub);
    enum op { query, set, remove, enum_keys, enum_values };
    struct row {
        REGSAM sam;
        op what;
        LONG expected;
    };
    const row rows[] = {
        {KEY_READ, query, ERROR_SUCCESS},
        {KEY_READ, enum_keys, ERROR_SUCCESS},
        {KEY_READ, enum_values, ERROR_SUCCESS},
        {KEY_READ, set, ERROR_ACCESS_DENIED},
        {KEY_READ, remove, ERROR_ACCESS_DENIED},
        {KEY_READ | KEY_WOW64_32KEY, set, ERROR_ACCESS_DENIED},
        {KEY_WRITE, set, ERROR_SUCCESS},
        {KEY_WRITE, remove, ERROR_SUCCESS},
        {KEY_WRITE, query, ERROR_ACCESS_DENIED},
        {KEY_WRITE, enum_keys, ERROR_ACCESS_DENIED},
        {KEY_WRITE, enum_values, ERROR_ACCESS_DENIED},
        {KEY_WRITE | KEY_WOW64_32KEY, set, ERROR_SUCCESS},
        {0, query, ERROR_ACCESS_DENIED},
        {KEY_QUERY_VALUE, query, ERROR_SUCCESS},
        {KEY_SET_VALUE, set, ERROR_SUCCESS},
        {KEY_ALL_ACCESS, query, ERROR_SUCCESS},
        {KEY_ALL_ACCESS, set, ERROR_SUCCESS},
    };
    for (const row& r : rows) {
        ASSERT_EQ(set_dword(base, "v", 1), ERROR_SUCCESS);
        HKEY k = open("", r.sam);
        char name[64];
        DWORD n = sizeof name, size = 0;
        LONG got = -1;
        switch (r.what) {
        case query:
            got = RegQueryValueExA(k, "v", nullptr, nullptr, nullptr, &size);
            break;
        case set:
            got = set_dword(k, "v", 2);
            break;
        case remove:
            got = RegDeleteValueA(k, "v");
            break;
        case enum_keys:
            got = RegEnumKeyA(k, 0, name, sizeof name);
            break;
        case enum_values:
            got = RegEnumValueA(k, 0, name, &n, nullptr, nullptr, nullptr, nullptr);
            break;
        }
        EXPECT_EQ(got, r.expected) << "access " << std::hex << r.sam << " operation " << r.what;
        RegCloseKey(k);
    }
    // Opening, creating and deleting below a key asks nothing of the handle's own rights.
    HKEY none = open("", 0), k;
    EXPECT_EQ(RegCreateKeyExA(none, "made", 0, nullptr, 0, KEY_READ, nullptr, &k, nullptr), ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_EQ(RegDeleteKeyExA(none, "made", KEY_WOW64_32KEY, 0), ERROR_SUCCESS);
    RegCloseKey(none);
}

// ---- values -------------------------------------------------------------------------------

TEST_F(Registry, Values_ReadBackWithTheirTypeAndBytes)
{
    const unsigned char qword[8] = {1, 2, 3, 4, 5, 6, 7, 0x80};
    const char multi[] = "one\0two\0";
    std::string big(70000, 'b');
    struct row {
        const char* name;
        DWORD type;
        std::string bytes;
    };
    const row rows[] = {
        {"string", REG_SZ, std::string("text", 5)},
        {"dword", REG_DWORD, std::string("\x78\x56\x34\x12", 4)},
        {"qword", REG_QWORD, std::string(reinterpret_cast<const char*>(qword), 8)},
        {"binary", REG_BINARY, std::string("\0\xff\x10", 3)},
        {"empty", REG_BINARY, std::string()},
        {"multi", REG_MULTI_SZ, std::string(multi, sizeof multi)},
        {"expand", REG_EXPAND_SZ, std::string("%TEMP%", 7)},
        {"none", REG_NONE, std::string("x", 1)},
        {"big", REG_BINARY, big},
        {"", REG_SZ, std::string("default", 8)},
    };
    for (const row& r : rows) {
        ASSERT_EQ(RegSetValueExA(base, r.name, 0, r.type, reinterpret_cast<const BYTE*>(r.bytes.data()),
                                 static_cast<DWORD>(r.bytes.size())),
                  ERROR_SUCCESS)
            << r.name;
    }
    for (const row& r : rows) {
        std::vector<BYTE> buf(r.bytes.size() + 16, 0xee);
        DWORD type = 99, size = static_cast<DWORD>(buf.size());
        ASSERT_EQ(RegQueryValueExA(base, r.name, nullptr, &type, buf.data(), &size), ERROR_SUCCESS) << r.name;
        EXPECT_EQ(type, r.type) << r.name;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), size), r.bytes) << r.name;
    }
    // The default value is the one with the empty name, and null names it too.
    char text[16];
    DWORD size = sizeof text;
    ASSERT_EQ(RegQueryValueExA(base, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
    EXPECT_STREQ(text, "default");
}

TEST_F(Registry, Query_GivesTypeAndSizeWithoutBuffer_AndMoreDataWithTheNeededSize)
{
    ASSERT_EQ(set_string(base, "s", "hello"), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(base, "s", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(RegQueryValueExA(base, "s", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);

    char buf[8];
    for (DWORD capacity : {0u, 1u, 5u}) {
        size = capacity;
        type = 0;
        EXPECT_EQ(RegQueryValueExA(base, "s", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size), ERROR_MORE_DATA);
        EXPECT_EQ(size, 6u);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    }
    size = 6;
    EXPECT_EQ(RegQueryValueExA(base, "s", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size), ERROR_SUCCESS);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(RegQueryValueExA(base, "s", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(base, "missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(base, "", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, Set_ReplacesAnyEarlierValue_AndChecksItsArguments)
{
    ASSERT_EQ(set_string(base, "v", "a long string value"), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(base, "V", 42), ERROR_SUCCESS);
    DWORD type = 0, v = 0, size = sizeof v;
    ASSERT_EQ(RegQueryValueExA(base, "v", nullptr, &type, reinterpret_cast<BYTE*>(&v), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(v, 42u);
    EXPECT_EQ(size, 4u);

    EXPECT_EQ(RegSetValueExA(base, "nodata", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    EXPECT_EQ(RegSetValueExA(base, "nodata", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    std::string longest(16383, 'n'), too_long(16384, 'n');
    EXPECT_EQ(set_dword(base, longest.c_str(), 1), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(base, too_long.c_str(), 1), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegFlushKey(base), ERROR_SUCCESS);
}

TEST_F(Registry, DeleteValue_RemovesOnlyThatValue)
{
    ASSERT_EQ(set_dword(base, "keep", 1), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(base, "drop", 2), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(base, "DROP"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(base, "drop"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(base, "keep", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(values(base), std::vector<std::string>{"keep"});
}

TEST_F(Registry, Names_AreCaseInsensitive_AndKeepTheirFirstSpelling)
{
    ASSERT_EQ(set_dword(base, "CaseName", 1), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(base, "casename", 2), ERROR_SUCCESS);
    DWORD v = 0, size = sizeof v;
    ASSERT_EQ(RegQueryValueExA(base, "CASENAME", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size), ERROR_SUCCESS);
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(values(base), std::vector<std::string>{"CaseName"});

    HKEY k;
    ASSERT_EQ(RegCreateKeyExA(base, "MixedKey", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS);
    RegCloseKey(k);
    k = open("mIXEDkEY", KEY_READ);
    RegCloseKey(k);
    EXPECT_EQ(subkeys(base), std::vector<std::string>{"MixedKey"});
}

// ---- enumeration and key information --------------------------------------------------------

TEST_F(Registry, Enumeration_SubkeysByNameIgnoringCase)
{
    for (const char* sub : {"delta", "Alpha", "charlie", "Bravo", "alpha2"}) {
        HKEY k;
        ASSERT_EQ(RegCreateKeyExA(base, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS);
        RegCloseKey(k);
    }
    EXPECT_EQ(subkeys(base), (std::vector<std::string>{"Alpha", "alpha2", "Bravo", "charlie", "delta"}));
}

#ifndef _WIN32
// Windows lists values in creation order; Wine sorts them by name, so this runs on Linux only.
class LinuxRegistry : public Registry {};

TEST_F(LinuxRegistry, Enumeration_ValuesInCreationOrder_AReplacedValueKeepsItsPlace)
{
    for (const char* name : {"zulu", "Alpha", "mike", "", "bravo"})
        ASSERT_EQ(set_dword(base, name, 1), ERROR_SUCCESS);
    ASSERT_EQ(set_string(base, "ALPHA", "replaced"), ERROR_SUCCESS);  // keeps its place
    ASSERT_EQ(RegDeleteValueA(base, "mike"), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(base, "mike", 2), ERROR_SUCCESS);  // comes back at the end
    EXPECT_EQ(values(base), (std::vector<std::string>{"zulu", "Alpha", "", "bravo", "mike"}));
}
#endif

TEST_F(Registry, Enumeration_ReportsSmallBuffersAndTheEnd)
{
    HKEY k;
    ASSERT_EQ(RegCreateKeyExA(base, "subkey", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS);
    RegCloseKey(k);
    ASSERT_EQ(set_string(base, "value", "0123456789"), ERROR_SUCCESS);

    char name[64];
    EXPECT_EQ(RegEnumKeyA(base, 0, name, 6), ERROR_MORE_DATA);
    EXPECT_EQ(RegEnumKeyA(base, 0, name, 7), ERROR_SUCCESS);
    EXPECT_STREQ(name, "subkey");
    EXPECT_EQ(RegEnumKeyA(base, 1, name, sizeof name), ERROR_NO_MORE_ITEMS);
    DWORD n = 6;
    EXPECT_EQ(RegEnumKeyExA(base, 0, name, &n, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    n = 7;
    FILETIME written{};
    EXPECT_EQ(RegEnumKeyExA(base, 0, name, &n, nullptr, nullptr, nullptr, &written), ERROR_SUCCESS);
    EXPECT_EQ(n, 6u);
    EXPECT_NE(written.dwHighDateTime, 0u);

    BYTE data[64];
    DWORD type = 0, size = 4;
    n = sizeof name;
    EXPECT_EQ(RegEnumValueA(base, 0, name, &n, nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 11u);
    n = 5;
    size = sizeof data;
    EXPECT_EQ(RegEnumValueA(base, 0, name, &n, nullptr, &type, data, &size), ERROR_MORE_DATA);
    n = 6;
    size = sizeof data;
    ASSERT_EQ(RegEnumValueA(base, 0, name, &n, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_STREQ(name, "value");
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 11u);
    EXPECT_STREQ(reinterpret_cast<char*>(data), "0123456789");
    n = sizeof name;
    EXPECT_EQ(RegEnumValueA(base, 1, name, &n, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(Registry, QueryInfo_CountsAndLongestNamesAndData)
{
    DWORD subkeys_n = 99, longest_sub = 99, values_n = 99, longest_name = 99, largest = 99;
    HKEY k;
    for (const char* sub : {"ab", "abcde"}) {
        ASSERT_EQ(RegCreateKeyExA(base, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS);
        RegCloseKey(k);
    }
    // Binary data: Windows counts the largest string in its stored (UTF-16) form.
    ASSERT_EQ(set_string(base, "seven77", "x"), ERROR_SUCCESS);
    std::string data(100, 'd');
    ASSERT_EQ(RegSetValueExA(base, "v", 0, REG_BINARY, reinterpret_cast<const BYTE*>(data.data()), 100), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryInfoKeyA(base, nullptr, nullptr, nullptr, &subkeys_n, &longest_sub, nullptr, &values_n,
                               &longest_name, &largest, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys_n, 2u);
    EXPECT_EQ(longest_sub, 5u);
    EXPECT_EQ(values_n, 2u);
    EXPECT_EQ(longest_name, 7u);
    EXPECT_EQ(largest, 100u);
}

ULONGLONG last_write(HKEY k)
{
    FILETIME t{};
    EXPECT_EQ(RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, &t),
              ERROR_SUCCESS);
    return (ULONGLONG{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}

TEST_F(Registry, LastWriteTime_MovesWithValueWrites)
{
    HKEY early, late = nullptr;
    ASSERT_EQ(RegCreateKeyExA(base, "early", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &early, nullptr), ERROR_SUCCESS);
    // "late" is made again until the clock has moved on from the making of "early".
    do {
        RegCloseKey(late);
        RegDeleteKeyExA(base, "late", KEY_WOW64_32KEY, 0);
        ASSERT_EQ(RegCreateKeyExA(base, "late", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &late, nullptr), ERROR_SUCCESS);
    } while (last_write(late) <= last_write(early));
    ASSERT_EQ(set_dword(early, "v", 1), ERROR_SUCCESS);
    EXPECT_GE(last_write(early), last_write(late));
    ASSERT_EQ(set_dword(late, "v", 1), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(early, "v"), ERROR_SUCCESS);
    EXPECT_GE(last_write(early), last_write(late));
    RegCloseKey(early);
    RegCloseKey(late);
}

TEST_F(Registry, Threads_ShareKeysAndHandles)
{
    constexpr int threads_n = 4, rounds = 200;
    std::vector<std::thread> threads;
    std::vector<int> failures(threads_n, 0);
    for (int t = 0; t < threads_n; ++t)
        threads.emplace_back([&, t] {
            std::string name = "t" + std::to_string(t);
            for (int i = 0; i < rounds; ++i) {
                DWORD v = static_cast<DWORD>(i), got = 0, size = sizeof got;
                if (set_dword(base, name.c_str(), v) != ERROR_SUCCESS ||
                    RegQueryValueExA(base, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&got), &size) !=
                        ERROR_SUCCESS ||
                    got != v)
                    ++failures[t];
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures, std::vector<int>(threads_n, 0));
}

// ---- many processes ---------------------------------------------------------------------------

TEST_F(Registry, Processes_WritingTheSameValues_NeverFailNorTear_AndTheLastWriteStays)
{
    constexpr int writers = 3, rounds = 30;
    std::string key = path + "\\shared";
    std::vector<std::unique_ptr<vantor_test::child>> children;
    for (int w = 0; w < writers; ++w) {
        children.push_back(std::make_unique<vantor_test::child>(
            "registry_client",
            std::vector<std::string>{"stress", key, "w" + std::to_string(w), std::to_string(rounds)}));
        ASSERT_TRUE(children.back()->started());
    }
    for (auto& c : children) {
        std::string line, last;
        while (c->read_line(line))
            last = line;
        EXPECT_EQ(last, "done");
        EXPECT_EQ(c->wait(), 0);
    }
    // Every writer wrote each value last in its last round, so whoever wrote a value last,
    // that round is what it holds.
    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &k), ERROR_SUCCESS);
    for (int v = 0; v < 8; ++v) {
        std::string name = "v" + std::to_string(v);
        char buf[8192];
        DWORD size = sizeof buf;
        ASSERT_EQ(RegQueryValueExA(k, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
                  ERROR_SUCCESS);
        std::string data(buf, size), record = data.substr(0, data.find(';') + 1);
        EXPECT_NE(record.find(":" + std::to_string(rounds - 1) + ";"), std::string::npos) << name << ": " << record;
    }
    RegCloseKey(k);
}

#ifndef _WIN32

// ---- the store beneath (Linux) ------------------------------------------------------------------

std::string db_path()
{
    return std::string(getenv("WINPORT_PREFIX")) + "/registry.db";
}

std::string integrity_check(const std::string& file)
{
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            result = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return result;
}

// Each case is a process of its own with a fresh prefix, so the registry opens here first.
TEST(LinuxRegistryStore, Database_IsPrivateToItsUser)
{
    HKEY k;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\x", 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(k);
    struct stat st;
    ASSERT_EQ(stat(db_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

void write_file(const std::string& file, const std::string& bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

void expect_every_call_gives(LONG code)
{
    HKEY k;
    DWORD v = 1, size = sizeof v;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &k), code);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\y", 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr), code);
    EXPECT_EQ(RegQueryValueExA(HKEY_CURRENT_USER, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size), code);
    EXPECT_EQ(RegSetValueExA(HKEY_CURRENT_USER, "v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), code);
}

// Makes the registry file a database of another program (sql) or, without sql, garbage.
void make_foreign_file(const char* sql)
{
    if (!sql) {
        write_file(db_path(), std::string(8192, 'x'));
        return;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_path().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

TEST(LinuxRegistryStore, FileOfGarbage_GivesBadDbOnEveryCall)
{
    make_foreign_file(nullptr);
    expect_every_call_gives(ERROR_BADDB);
}

TEST(LinuxRegistryStore, DatabaseOfAnotherProgram_GivesBadDbOnEveryCall)
{
    make_foreign_file("CREATE TABLE t(x); INSERT INTO t VALUES(1)");
    expect_every_call_gives(ERROR_BADDB);
}

TEST(LinuxRegistryStore, DatabaseOfALaterSchema_GivesBadDbOnEveryCall)
{
    make_foreign_file("PRAGMA user_version = 99");
    expect_every_call_gives(ERROR_BADDB);
}

// A helper fills the registry; this process, which has not opened it yet, damages the file
// and must then refuse it.
TEST(LinuxRegistryStore, DamagedDatabase_GivesBadDbOnEveryCall_InAFreshProcess)
{
    {
        // Fill a few pages so that damage in the middle hits the key and value tables.
        std::string key = "Software\\fill";
        vantor_test::child writer("registry_client", {"stress", key, "w", "2"});
        std::string line;
        while (writer.read_line(line)) {
        }
        ASSERT_EQ(writer.wait(), 0);
    }
    // Everything into the database file itself, so that the damage below meets the data.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_path().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    struct stat st;
    ASSERT_EQ(stat(db_path().c_str(), &st), 0);
    ASSERT_GT(st.st_size, 4 * 4096);
    {
        std::fstream f(db_path(), std::ios::in | std::ios::out | std::ios::binary);
        // Pages 2 to 4 whole: b-tree headers and overflow links alike.
        f.seekp(4096);
        std::string garbage(3 * 4096, '\x5a');
        f.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    expect_every_call_gives(ERROR_BADDB);
}

// Root ignores file modes; dropping the override capability makes this process an ordinary
// user for file access.
void drop_file_override()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
    data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
    ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
}

TEST(LinuxRegistryStore, ReadOnlyDatabase_RefusesEveryWrite_AndStillReads)
{
    {
        vantor_test::child writer("registry_client", {"stress", "Software\\ro", "w", "1"});
        std::string line;
        while (writer.read_line(line)) {
        }
        ASSERT_EQ(writer.wait(), 0);
    }
    ASSERT_EQ(chmod(db_path().c_str(), 0400), 0);
    drop_file_override();

    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\ro", 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
    DWORD size = 0, v = 1;
    EXPECT_EQ(RegQueryValueExA(k, "v0", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_GT(size, 0u);
    EXPECT_EQ(RegSetValueExA(k, "v0", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(k, "v0"), ERROR_ACCESS_DENIED);
    HKEY sub;
    EXPECT_EQ(RegCreateKeyExA(k, "new", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyExA(HKEY_CURRENT_USER, "Software\\ro", KEY_WOW64_32KEY, 0), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegFlushKey(k), ERROR_SUCCESS);
    RegCloseKey(k);
}

TEST(LinuxRegistryCrash, KilledWriters_LoseNoAcknowledgedWrite_AndLeaveASoundDatabase)
{
    constexpr int kills = 30;
    std::mt19937 random(std::random_device{}());
    long acknowledged = -1;  // the highest number whose write was acknowledged
    for (int round = 0; round < kills; ++round) {
        vantor_test::child writer("registry_client", {"acks", "Software\\crash", std::to_string(acknowledged + 1)});
        ASSERT_TRUE(writer.started());
        int wanted = std::uniform_int_distribution<int>(1, 40)(random);
        std::string line;
        for (int i = 0; i < wanted && writer.read_line(line); ++i) {
            ASSERT_EQ(line.rfind("ack ", 0), 0u) << line;
            acknowledged = std::stol(line.substr(4));
        }
        // It goes on writing while it dies.
        writer.kill();
        // Lines it wrote before the kill were acknowledged too.
        while (writer.read_line(line)) {
            if (line.rfind("ack ", 0) == 0)
                acknowledged = std::stol(line.substr(4));
        }
    }
    EXPECT_EQ(integrity_check(db_path()), "ok");
    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\crash", 0, KEY_READ, &k), ERROR_SUCCESS);
    for (long i = 0; i <= acknowledged; ++i) {
        std::string name = "n" + std::to_string(i);
        DWORD v = 0, size = sizeof v;
        ASSERT_EQ(RegQueryValueExA(k, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
                  ERROR_SUCCESS)
            << name;
        EXPECT_EQ(v, static_cast<DWORD>(i));
    }
    RegCloseKey(k);
}

// This process keeps what it read while the database is unchanged; another process's write
// must show at once.
TEST(LinuxRegistryProcesses, AWriteOfAnotherProcess_IsSeenByTheNextRead)
{
    HKEY k;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\seen", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    DWORD v = 99, size = sizeof v;
    ASSERT_EQ(RegSetValueExA(k, "n5", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_SUCCESS);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(RegQueryValueExA(k, "n5", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size), ERROR_SUCCESS);
    {
        vantor_test::child writer("registry_client", {"acks", "Software\\seen", "5"});
        std::string line;
        ASSERT_TRUE(writer.read_line(line));
        ASSERT_EQ(line, "ack 5");
        writer.kill();
    }
    ASSERT_EQ(RegQueryValueExA(k, "n5", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size), ERROR_SUCCESS);
    EXPECT_EQ(v, 5u);
    ASSERT_EQ(RegDeleteKeyExA(HKEY_CURRENT_USER, "Software\\seen", KEY_WOW64_32KEY, 0), ERROR_SUCCESS);
    // The handle and the path lookups this process kept are gone with the key.
    EXPECT_EQ(RegQueryValueExA(k, "n5", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    RegCloseKey(k);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\seen", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
}

TEST(LinuxRegistryFork, ChildOpensItsOwnConnection)
{
    DWORD v = 1;
    ASSERT_EQ(RegSetValueExA(HKEY_CURRENT_USER, "before", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_SUCCESS);
    pid_t pid = fork();
    if (pid == 0) {
        DWORD w = 2;
        LONG rc = RegSetValueExA(HKEY_CURRENT_USER, "child", 0, REG_DWORD, reinterpret_cast<BYTE*>(&w), 4);
        _exit(rc == ERROR_SUCCESS ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(RegQueryValueExA(HKEY_CURRENT_USER, "child", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
}

#endif

}  // namespace
