// The registry API: on winport and, built for Windows, against Wine's registry, so that both
// agree. Suites named Linux... test the store beneath winport's registry.
#include <winport/winport.h>

#include <gtest/gtest.h>

#include "test_support.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fstream>
#endif

namespace {

LONG set_dword(HKEY k, const char* name, DWORD v)
{
    return RegSetValueExA(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

LONG set_string(HKEY k, const char* name, const std::string& s)
{
    return RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(s.c_str()),
                          static_cast<DWORD>(s.size() + 1));
}

LONG query_dword(HKEY k, const char* name, DWORD& v)
{
    DWORD size = sizeof v;
    return RegQueryValueExA(k, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size);
}

LONG query_size(HKEY k, const char* name)
{
    DWORD size = 0;
    return RegQueryValueExA(k, name, nullptr, nullptr, nullptr, &size);
}

// Creates the key with every right; gives the handle in out, or closes it without out.
LONG create(HKEY parent, const char* sub, HKEY* out = nullptr, DWORD* disposition = nullptr)
{
    HKEY k = nullptr;
    LONG rc = RegCreateKeyExA(parent, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, disposition);
    if (out)
        *out = k;
    else if (rc == ERROR_SUCCESS)
        RegCloseKey(k);
    return rc;
}

LONG delete_key(HKEY parent, const char* sub)
{
    return RegDeleteKeyExA(parent, sub, KEY_WOW64_32KEY, 0);
}

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
    delete_key(parent, sub.c_str());
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
        ASSERT_EQ(create(HKEY_CURRENT_USER, path.c_str(), &base), ERROR_SUCCESS);
    }
    void TearDown() override
    {
        RegCloseKey(base);
        delete_tree(HKEY_CURRENT_USER, tests_key());
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

TEST_F(Registry, SubkeyPaths_AreCheckedAsWindowsChecksThem_AndCreateMakesEveryMissingKey)
{
    struct row {
        std::string sub;
        LONG create;
        DWORD disposition;
        const char* opens_as;  // the path that then opens the same key, or null
    };
    const row rows[] = {
        {"a\\b\\c", ERROR_SUCCESS, REG_CREATED_NEW_KEY, "A\\B\\C"},
        {"a\\B", ERROR_SUCCESS, REG_OPENED_EXISTING_KEY, "a\\b"},
        {"trailing\\", ERROR_SUCCESS, REG_CREATED_NEW_KEY, "trailing"},
        {"doubled\\\\name", ERROR_SUCCESS, REG_CREATED_NEW_KEY, "doubled\\name"},
        {"\\leading", ERROR_BAD_PATHNAME, 0, nullptr},
        {std::string(256, 'k'), ERROR_SUCCESS, REG_CREATED_NEW_KEY, nullptr},
        {std::string(257, 'k'), ERROR_INVALID_PARAMETER, 0, nullptr},
    };
    for (const row& r : rows) {
        HKEY k = nullptr;
        DWORD disposition = 0;
        ASSERT_EQ(create(base, r.sub.c_str(), &k, &disposition), r.create) << r.sub.substr(0, 20);
        if (r.create != ERROR_SUCCESS)
            continue;
        EXPECT_EQ(disposition, r.disposition) << r.sub.substr(0, 20);
        EXPECT_EQ(set_dword(k, "mark", 7), ERROR_SUCCESS);
        RegCloseKey(k);
        if (r.opens_as) {
            HKEY again = open(r.opens_as, KEY_READ);
            DWORD v = 0;
            EXPECT_EQ(query_dword(again, "mark", v), ERROR_SUCCESS);
            EXPECT_EQ(v, 7u);
            RegCloseKey(again);
        }
    }
    HKEY k;
    EXPECT_EQ(RegOpenKeyExA(base, "missing\\deeper", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegCreateKeyA(base, "old\\style", &k), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(k, "v", 1), ERROR_SUCCESS);  // RegCreateKeyA grants every right
    RegCloseKey(k);
}

TEST_F(Registry, NullOrEmptySubkey_OpensTheKeyItself_PredefinedKeysNeedNoOpening)
{
    ASSERT_EQ(set_dword(base, "here", 5), ERROR_SUCCESS);
    for (const char* sub : {static_cast<const char*>(nullptr), ""}) {
        HKEY k = nullptr;
        DWORD v = 0;
        ASSERT_EQ(RegOpenKeyExA(base, sub, 0, KEY_READ, &k), ERROR_SUCCESS);
        EXPECT_EQ(query_dword(k, "here", v), ERROR_SUCCESS);
        EXPECT_EQ(v, 5u);
        RegCloseKey(k);
        ASSERT_EQ(RegCreateKeyExA(base, sub, 0, nullptr, 0, KEY_READ, nullptr, &k, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(RegQueryValueExA(k, "here", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
        RegCloseKey(k);
    }
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &k), ERROR_SUCCESS);
    RegCloseKey(k);
}

// Every call through a handle that is no key gives code 6; through a handle whose key was
// deleted, ERROR_KEY_DELETED, even once a key of that name was made again.
TEST_F(Registry, BadHandles_GiveInvalidHandle_DeletedKeysKeyDeleted)
{
    // The key to delete is made first, so that it cannot take the closed handle's value.
    HKEY closed = open("", KEY_READ), doomed;
    ASSERT_EQ(create(base, "doomed", &doomed), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(doomed, "v", 1), ERROR_SUCCESS);
    ASSERT_EQ(delete_key(base, "doomed"), ERROR_SUCCESS);
    ASSERT_EQ(create(base, "doomed\\sub"), ERROR_SUCCESS);
    const struct {
        HKEY h;
        LONG code;
    } rows[] = {{nullptr, ERROR_INVALID_HANDLE},
                {reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)), ERROR_INVALID_HANDLE},
                {closed, ERROR_INVALID_HANDLE},
                {doomed, ERROR_KEY_DELETED}};
    for (const auto& r : rows) {
        HKEY k;
        char name[64];
        DWORD n = sizeof name, count = 0;
        EXPECT_EQ(set_dword(r.h, "v", 2), r.code);
        EXPECT_EQ(query_size(r.h, "v"), r.code);
        EXPECT_EQ(RegDeleteValueA(r.h, "v"), r.code);
        EXPECT_EQ(RegOpenKeyExA(r.h, "sub", 0, KEY_READ, &k), r.code);
        EXPECT_EQ(RegOpenKeyExA(r.h, nullptr, 0, KEY_READ, &k), r.code);
        EXPECT_EQ(create(r.h, "new"), r.code);
        EXPECT_EQ(RegEnumKeyA(r.h, 0, name, sizeof name), r.code);
        EXPECT_EQ(RegEnumValueA(r.h, 0, name, &n, nullptr, nullptr, nullptr, nullptr), r.code);
        EXPECT_EQ(RegQueryInfoKeyA(r.h, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr),
                  r.code);
        EXPECT_EQ(RegFlushKey(r.h), r.code);
        EXPECT_EQ(RegCloseKey(r.h), r.h == doomed ? ERROR_SUCCESS : r.code);
    }
}

TEST_F(Registry, DeleteKey_RefusesKeysWithSubkeys_AndTakesTheValuesAlong)
{
    HKEY k;
    ASSERT_EQ(create(base, "parent\\child", &k), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(k, "v", 1), ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_EQ(delete_key(base, "parent"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(delete_key(base, "parent\\child"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(base, "parent\\child", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    // A key made again under the old name starts empty.
    ASSERT_EQ(create(base, "parent\\child", &k), ERROR_SUCCESS);
    EXPECT_EQ(query_size(k, "v"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(k);

    EXPECT_EQ(delete_key(base, "missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(delete_key(base, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(delete_key(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
}

// ---- access -------------------------------------------------------------------------------

TEST_F(Registry, Handles_KeepTheirAccessMask)
{
    ASSERT_EQ(create(base, "sub"), ERROR_SUCCESS);
    const char* ops[] = {"query", "set", "delete value", "enum keys", "enum values"};
    struct row {
        REGSAM sam;
        const char* allowed;  // for each of ops: y, n, or - for untried
    };
    const row rows[] = {{KEY_READ, "ynnyy"},
                        {KEY_READ | KEY_WOW64_32KEY, "-n---"},
                        {KEY_WRITE, "nyynn"},
                        {KEY_WRITE | KEY_WOW64_32KEY, "-y---"},
                        {0, "n----"},
                        {KEY_QUERY_VALUE, "y----"},
                        {KEY_SET_VALUE, "-y---"}};
    for (const row& r : rows) {
        HKEY k = open("", r.sam);
        for (int op = 0; op < 5; ++op) {
            if (r.allowed[op] == '-')
                continue;
            ASSERT_EQ(set_dword(base, "v", 1), ERROR_SUCCESS);
            char name[64];
            DWORD n = sizeof name;
            LONG got = op == 0   ? query_size(k, "v")
                       : op == 1 ? set_dword(k, "v", 2)
                       : op == 2 ? RegDeleteValueA(k, "v")
                       : op == 3 ? RegEnumKeyA(k, 0, name, sizeof name)
                                 : RegEnumValueA(k, 0, name, &n, nullptr, nullptr, nullptr, nullptr);
            EXPECT_EQ(got, r.allowed[op] == 'y' ? ERROR_SUCCESS : ERROR_ACCESS_DENIED)
                << "access " << std::hex << r.sam << ": " << ops[op];
        }
        RegCloseKey(k);
    }
    // Opening, creating and deleting below a key asks nothing of the handle's own rights.
    HKEY none = open("", 0);
    EXPECT_EQ(create(none, "made"), ERROR_SUCCESS);
    EXPECT_EQ(delete_key(none, "made"), ERROR_SUCCESS);
    RegCloseKey(none);
}

// ---- values -------------------------------------------------------------------------------

TEST_F(Registry, Values_ReadBackWithTheirTypeAndBytes)
{
    const unsigned char qword[8] = {1, 2, 3, 4, 5, 6, 7, 0x80};
    const char multi[] = "one\0two\0";
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
        {"big", REG_BINARY, std::string(70000, 'b')},
        {"", REG_SZ, std::string("default", 8)},
    };
    for (const row& r : rows) {
        ASSERT_EQ(RegSetValueExA(base, r.name, 0, r.type, reinterpret_cast<const BYTE*>(r.bytes.data()),
                                 static_cast<DWORD>(r.bytes.size())),
                  ERROR_SUCCESS)
            << r.name;
    }
    // The default value is the one with the empty name, and a null name reads it too.
    for (const row& r : rows) {
        std::vector<BYTE> buf(r.bytes.size() + 16, 0xee);
        DWORD type = 99, size = static_cast<DWORD>(buf.size());
        ASSERT_EQ(RegQueryValueExA(base, *r.name ? r.name : nullptr, nullptr, &type, buf.data(), &size), ERROR_SUCCESS)
            << r.name;
        EXPECT_EQ(type, r.type) << r.name;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), size), r.bytes) << r.name;
    }
}

TEST_F(Registry, Query_GivesTypeAndSizeWithoutBuffer_AndMoreDataWithTheNeededSize)
{
    ASSERT_EQ(set_string(base, "s", "hello"), ERROR_SUCCESS);
    char buf[8];
    // Capacity 8 with no buffer asks for type and size alone; 6 fits the string and its end.
    for (DWORD capacity : {8u, 0u, 5u, 6u}) {
        DWORD type = 0, size = capacity;
        BYTE* out = capacity == 8 ? nullptr : reinterpret_cast<BYTE*>(buf);
        EXPECT_EQ(RegQueryValueExA(base, "s", nullptr, &type, out, &size),
                  out && capacity < 6 ? ERROR_MORE_DATA : ERROR_SUCCESS)
            << capacity;
        EXPECT_EQ(size, 6u);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    }
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(RegQueryValueExA(base, "s", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(base, "s", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(query_size(base, "missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(query_size(base, ""), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, Set_ChecksItsArguments)
{
    EXPECT_EQ(RegSetValueExA(base, "nodata", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    EXPECT_EQ(RegSetValueExA(base, "nodata", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    std::string longest(16383, 'n'), too_long(16384, 'n');
    EXPECT_EQ(set_dword(base, longest.c_str(), 1), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(base, too_long.c_str(), 1), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegFlushKey(base), ERROR_SUCCESS);
}

// A write replaces whatever the value held, under any spelling of its name; the name keeps the
// spelling it was made with, and so do key names, which are listed in name order ignoring case.
TEST_F(Registry, Names_AreCaseInsensitive_ForReplaceDeleteOpenAndOrder_AndKeepTheirFirstSpelling)
{
    ASSERT_EQ(set_string(base, "CaseName", "a long string value"), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(base, "casename", 42), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(base, "drop", 2), ERROR_SUCCESS);
    DWORD type = 0, v = 0, size = sizeof v;
    ASSERT_EQ(RegQueryValueExA(base, "CASENAME", nullptr, &type, reinterpret_cast<BYTE*>(&v), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(v, 42u);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(RegDeleteValueA(base, "DROP"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(base, "drop"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(values(base), std::vector<std::string>{"CaseName"});

    for (const char* sub : {"delta", "Alpha", "charlie", "Bravo", "alpha2"})
        ASSERT_EQ(create(base, sub), ERROR_SUCCESS);
    RegCloseKey(open("aLPHA", KEY_READ));
    EXPECT_EQ(subkeys(base), (std::vector<std::string>{"Alpha", "alpha2", "Bravo", "charlie", "delta"}));
}

// ---- enumeration and key information --------------------------------------------------------

// A walk by index, in order, of subkeys or values, while another thread changes the key between
// its calls; `change` gets the entry just given and its index.
struct enum_walk {
    bool subkeys;
    std::vector<std::string> walk(HKEY k, const std::function<void(const std::string&, DWORD)>& change,
                                  std::size_t limit = 1000) const
    {
        std::vector<std::string> seen;
        char name[256];
        for (DWORD i = 0; seen.size() < limit; ++i) {
            DWORD n = sizeof name;
            LONG rc = subkeys ? RegEnumKeyExA(k, i, name, &n, nullptr, nullptr, nullptr, nullptr)
                              : RegEnumValueA(k, i, name, &n, nullptr, nullptr, nullptr, nullptr);
            if (rc != ERROR_SUCCESS) {
                EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
                break;
            }
            seen.push_back(name);
            std::thread([&] { change(name, i); }).join();
        }
        return seen;
    }
    LONG add(HKEY k, const std::string& name) const
    {
        return subkeys ? create(k, name.c_str()) : set_dword(k, name.c_str(), 1);
    }
    LONG remove(HKEY k, const std::string& name) const
    {
        return subkeys ? delete_key(k, name.c_str()) : RegDeleteValueA(k, name.c_str());
    }
};

const enum_walk enum_walks[] = {{true}, {false}};

#ifndef _WIN32
// Windows lists values in creation order; Wine sorts them by name, so this runs on Linux only.
class LinuxRegistry : public Registry {};

// Here a walk in order goes on from the entry it gave last, not from a count of entries, so
// changes behind it neither skip nor repeat an entry: after each subkey it gave, one that sorts
// before every other is added (a count would give the same subkey again, for ever); each value
// it gave is deleted (a count would skip every other). Every first entry comes exactly once.
TEST_F(LinuxRegistry, Enumeration_InOrder_GivesEveryEntryOnce_WhateverChangesBehindIt)
{
    for (const enum_walk& w : enum_walks) {
        HKEY k;
        ASSERT_EQ(create(base, w.subkeys ? "keys" : "values", &k), ERROR_SUCCESS);
        std::vector<std::string> first;
        for (int i = 10; i < 30; ++i) {
            first.push_back("k" + std::to_string(i));
            ASSERT_EQ(w.add(k, first.back()), ERROR_SUCCESS);
        }
        int added = 0;
        auto seen = w.walk(
            k,
            [&](const std::string& name, DWORD) {
                EXPECT_EQ(w.subkeys ? w.add(k, "a" + std::to_string(added++)) : w.remove(k, name), ERROR_SUCCESS);
            },
            first.size() + 5);
        EXPECT_EQ(seen, first) << (w.subkeys ? "subkeys" : "values");
        RegCloseKey(k);
    }
}

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

// Changes ahead of the walk show in it: an entry deleted ahead is not given, one added ahead is
// (a value is added ahead by being the last made; the name sorts last too, where values come in
// the order of their names), and every other entry comes once.
TEST_F(Registry, Enumeration_InOrder_SeesTheChangesAheadOfIt)
{
    for (const enum_walk& w : enum_walks) {
        HKEY k;
        ASSERT_EQ(create(base, w.subkeys ? "keys" : "values", &k), ERROR_SUCCESS);
        for (const char* name : {"b", "d", "f", "h"})
            ASSERT_EQ(w.add(k, name), ERROR_SUCCESS);
        auto seen = w.walk(k, [&](const std::string&, DWORD i) {
            if (i == 0) {
                EXPECT_EQ(w.remove(k, "f"), ERROR_SUCCESS);
                EXPECT_EQ(w.add(k, "j"), ERROR_SUCCESS);
            }
        });
        EXPECT_EQ(seen, (std::vector<std::string>{"b", "d", "h", "j"})) << (w.subkeys ? "subkeys" : "values");
        RegCloseKey(k);
    }
}

TEST_F(Registry, Enumeration_ReportsSmallBuffersAndTheEnd)
{
    ASSERT_EQ(create(base, "subkey"), ERROR_SUCCESS);
    ASSERT_EQ(set_string(base, "value", "0123456789"), ERROR_SUCCESS);

    char name[64];
    DWORD n = 6;
    EXPECT_EQ(RegEnumKeyExA(base, 0, name, &n, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    n = 7;
    FILETIME written{};
    EXPECT_EQ(RegEnumKeyExA(base, 0, name, &n, nullptr, nullptr, nullptr, &written), ERROR_SUCCESS);
    EXPECT_STREQ(name, "subkey");
    EXPECT_EQ(n, 6u);
    EXPECT_NE(written.dwHighDateTime, 0u);
    EXPECT_EQ(RegEnumKeyA(base, 1, name, sizeof name), ERROR_NO_MORE_ITEMS);

    // Too small for the data, then for the name, then enough.
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
    for (const char* sub : {"ab", "abcde"})
        ASSERT_EQ(create(base, sub), ERROR_SUCCESS);
    // Binary data: Windows counts the largest string in its stored (UTF-16) form.
    ASSERT_EQ(set_string(base, "seven77", "x"), ERROR_SUCCESS);
    std::string data(100, 'd');
    ASSERT_EQ(RegSetValueExA(base, "v", 0, REG_BINARY, reinterpret_cast<const BYTE*>(data.data()), 100), ERROR_SUCCESS);
    DWORD info[5] = {99, 99, 99, 99, 99};  // subkeys, longest subkey, values, longest name, largest data
    ASSERT_EQ(RegQueryInfoKeyA(base, nullptr, nullptr, nullptr, &info[0], &info[1], nullptr, &info[2], &info[3],
                               &info[4], nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::vector<DWORD>(info, info + 5), (std::vector<DWORD>{2, 5, 2, 7, 100}));
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
    ASSERT_EQ(create(base, "early", &early), ERROR_SUCCESS);
    // "late" is made again until the clock has moved on from the making of "early".
    do {
        RegCloseKey(late);
        delete_key(base, "late");
        ASSERT_EQ(create(base, "late", &late), ERROR_SUCCESS);
    } while (last_write(late) <= last_write(early));
    ASSERT_EQ(set_dword(early, "v", 1), ERROR_SUCCESS);
    EXPECT_GE(last_write(early), last_write(late));
    ASSERT_EQ(set_dword(late, "v", 1), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(early, "v"), ERROR_SUCCESS);
    EXPECT_GE(last_write(early), last_write(late));
    RegCloseKey(early);
    RegCloseKey(late);
}

// ---- threads and processes ------------------------------------------------------------------

TEST_F(Registry, Threads_ShareKeysAndHandles)
{
    constexpr int threads_n = 4, rounds = 200;
    std::vector<std::thread> threads;
    std::vector<int> failures(threads_n, 0);
    for (int t = 0; t < threads_n; ++t)
        threads.emplace_back([&, t] {
            std::string name = "t" + std::to_string(t);
            for (int i = 0; i < rounds; ++i) {
                DWORD v = static_cast<DWORD>(i), got = 0;
                if (set_dword(base, name.c_str(), v) != ERROR_SUCCESS || query_dword(base, name.c_str(), got) ||
                    got != v)
                    ++failures[t];
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures, std::vector<int>(threads_n, 0));
}

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
        EXPECT_EQ(c->last_line(), "done");
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
// Each case is a process of its own with a fresh prefix, so the registry opens here first.

std::string db_path()
{
    return std::string(getenv("WINPORT_PREFIX")) + "/registry.db";
}

std::string integrity_check()
{
    sqlite3* db = nullptr;
    sqlite3_stmt* s = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(db_path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        result = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
    sqlite3_close(db);
    return result;
}

void exec_sql(const char* sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_path().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

// A helper (another process, so this one has not opened the registry yet) fills the key.
void fill_in_helper(const char* key, const char* rounds)
{
    vantor_test::child writer("registry_client", {"stress", key, "w", rounds});
    EXPECT_EQ(writer.last_line(), "done");
    ASSERT_EQ(writer.wait(), 0);
}

TEST(LinuxRegistryStore, Database_IsPrivateToItsUser)
{
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, "Software\\x"), ERROR_SUCCESS);
    struct stat st;
    ASSERT_EQ(stat(db_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

void make_damaged()
{
    // Fill a few pages, all of them in the database file itself, so that damage in the middle
    // hits the key and value tables.
    fill_in_helper("Software\\fill", "2");
    exec_sql("PRAGMA wal_checkpoint(TRUNCATE)");
    struct stat st;
    ASSERT_EQ(stat(db_path().c_str(), &st), 0);
    ASSERT_GT(st.st_size, 4 * 4096);
    std::fstream f(db_path(), std::ios::in | std::ios::out | std::ios::binary);
    // 12 KiB after the first 4 KiB, whole pages of any size: b-tree roots and overflow links alike.
    f.seekp(4096);
    std::string garbage(3 * 4096, '\x5a');
    f.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
}

struct bad_store {
    const char* name;
    void (*make)();
};

class LinuxRegistryBadStore : public ::testing::TestWithParam<bad_store> {};

TEST_P(LinuxRegistryBadStore, GivesBadDbOnEveryCall)
{
    GetParam().make();
    HKEY k;
    DWORD v = 1;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &k), ERROR_BADDB);
    EXPECT_EQ(create(HKEY_CURRENT_USER, "Software\\y"), ERROR_BADDB);
    EXPECT_EQ(query_dword(HKEY_CURRENT_USER, "v", v), ERROR_BADDB);
    EXPECT_EQ(set_dword(HKEY_CURRENT_USER, "v", v), ERROR_BADDB);
}

// Garbage, a database of another program, one of a later schema, and one damaged after a
// helper filled it: this process must refuse each on every call.
const bad_store bad_stores[] = {
    {"Garbage", [] { std::ofstream(db_path(), std::ios::binary) << std::string(8192, 'x'); }},
    {"Foreign", [] { exec_sql("CREATE TABLE t(x); INSERT INTO t VALUES(1)"); }},
    {"LaterSchema", [] { exec_sql("PRAGMA user_version = 99"); }},
    {"Damaged", &make_damaged},
};
INSTANTIATE_TEST_SUITE_P(Files, LinuxRegistryBadStore, ::testing::ValuesIn(bad_stores),
                         [](const ::testing::TestParamInfo<bad_store>& info) { return std::string(info.param.name); });

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

// The first call does not read the whole database: damage far from what a call reads is found
// by the call that reaches it, and from then on every call reports it.
TEST(LinuxRegistryStore, DamageFarFromEveryCall_IsReportedByTheCallThatReachesIt)
{
    fill_in_helper("Software\\fill", "1");
    // A large value, written last: its overflow pages end the file.
    exec_sql("INSERT INTO vals(key, fold, name, type, data, written)"
             " SELECT id, CAST('BIG' AS BLOB), CAST('big' AS BLOB), 3, zeroblob(1000000), 0 FROM keys"
             " WHERE path = CAST('HKEY_CURRENT_USER\\SOFTWARE\\FILL' AS BLOB);"
             "PRAGMA wal_checkpoint(TRUNCATE)");
    struct stat st;
    ASSERT_EQ(stat(db_path().c_str(), &st), 0);
    std::fstream f(db_path(), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(st.st_size - 8 * 4096);
    f.write(std::string(4096, '\x5a').data(), 4096);
    f.close();

    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\fill", 0, KEY_READ, &k), ERROR_SUCCESS);
    EXPECT_EQ(query_size(k, "v0"), ERROR_SUCCESS);
    std::vector<BYTE> big(1 << 21);
    DWORD size = static_cast<DWORD>(big.size());
    EXPECT_EQ(RegQueryValueExA(k, "big", nullptr, nullptr, big.data(), &size), ERROR_BADDB);
    EXPECT_EQ(query_size(k, "v0"), ERROR_BADDB);
    RegCloseKey(k);
}

// A registry this process may only read: the database alone, or (true) its folder too, with no
// WAL or index file left for SQLite to open.
class LinuxRegistryReadOnly : public ::testing::TestWithParam<bool> {};

TEST_P(LinuxRegistryReadOnly, RefusesEveryWrite_AndStillReads)
{
    fill_in_helper("Software\\ro", "1");
    // The prefix is removed at the end: its owner may make it writable again.
    struct writable_again {
        std::string dir = getenv("WINPORT_PREFIX");
        ~writable_again() { chmod(dir.c_str(), 0700); }
    } prefix;
    ASSERT_EQ(chmod(db_path().c_str(), 0400), 0);
    if (GetParam()) {
        // The WAL folded into the database, as the last close of a registry does.
        exec_sql("PRAGMA wal_checkpoint(TRUNCATE)");
        unlink((db_path() + "-wal").c_str());
        unlink((db_path() + "-shm").c_str());
        ASSERT_EQ(chmod(prefix.dir.c_str(), 0500), 0);
    }
    drop_file_override();

    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\ro", 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
    char name[16];
    DWORD n = sizeof name, size = 0;
    EXPECT_EQ(RegQueryValueExA(k, "v7", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_GT(size, 0u);
    EXPECT_EQ(RegEnumValueA(k, 0, name, &n, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(k, "v0", 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(k, "v0"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(create(k, "new"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(delete_key(HKEY_CURRENT_USER, "Software\\ro"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegFlushKey(k), ERROR_SUCCESS);
    RegCloseKey(k);
}

INSTANTIATE_TEST_SUITE_P(Stores, LinuxRegistryReadOnly, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "DatabaseAndFolder" : "Database");
                         });

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
        // It goes on writing while it dies; lines it wrote before the kill were acknowledged too.
        writer.kill();
        while (writer.read_line(line)) {
            if (line.rfind("ack ", 0) == 0)
                acknowledged = std::stol(line.substr(4));
        }
    }
    EXPECT_EQ(integrity_check(), "ok");
    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\crash", 0, KEY_READ, &k), ERROR_SUCCESS);
    for (long i = 0; i <= acknowledged; ++i) {
        std::string name = "n" + std::to_string(i);
        DWORD v = 0;
        ASSERT_EQ(query_dword(k, name.c_str(), v), ERROR_SUCCESS) << name;
        EXPECT_EQ(v, static_cast<DWORD>(i));
    }
    RegCloseKey(k);
}

// What a writer with SQLite's own locking made of its try to write: "written" or "busy".
std::string plain_write()
{
    return vantor_test::child("registry_client", {"plain-write"}).next_line();
}

// The locks of the database's WAL index, and the mutex of their table, are kept in shared
// memory rather than in the kernel: a process that dies holding them must lose them, readers
// must pass a writer, and a program with SQLite's own locking must not write beside the registry.
TEST(LinuxRegistryLocks, AWriterKilledInItsTransaction_OrHoldingTheTable_LeavesNoLockBehind)
{
    ASSERT_EQ(set_dword(HKEY_CURRENT_USER, "before", 1), ERROR_SUCCESS);
    for (bool table : {false, true}) {
        std::vector<std::string> args{"hold"};
        if (table)
            args.push_back("table");
        vantor_test::child holder("registry_client", args);
        ASSERT_EQ(holder.next_line(), "holding");
        DWORD v = 0;
        if (!table) {
            EXPECT_EQ(query_dword(HKEY_CURRENT_USER, "before", v), ERROR_SUCCESS);
        }
        holder.kill();
        // With the dead writer's locks still in the table this would wait a minute and fail,
        // and with the table's mutex still held, for ever.
        EXPECT_EQ(set_dword(HKEY_CURRENT_USER, "after", table ? 3 : 2), ERROR_SUCCESS) << table;
        EXPECT_EQ(query_dword(HKEY_CURRENT_USER, "after", v), ERROR_SUCCESS);
        EXPECT_EQ(v, table ? 3u : 2u);
    }
}

// Also where the lock file is one this build cannot use (another build's, or a damaged one):
// it is made anew once nobody uses it.
TEST(LinuxRegistryLocks, AWriterWithSQLitesOwnLocking_IsKeptOutWhileTheRegistryIsOpen)
{
    fill_in_helper("Software\\fill", "1");
    EXPECT_EQ(plain_write(), "written");  // nobody has the registry open
    std::fstream(db_path() + "-lock", std::ios::in | std::ios::out | std::ios::binary).write("\x57\x52\x4c\x4b\x01", 5);
    ASSERT_EQ(set_dword(HKEY_CURRENT_USER, "open", 1), ERROR_SUCCESS);
    EXPECT_EQ(plain_write(), "busy");
}

// Every process that uses the registry has an entry in the lock table as long as it lives.
// More processes than the table first had room for must all read and write, each forked after
// this process had used the registry (so each opens a connection of its own).
TEST(LinuxRegistryLocks, MoreProcessesThanTheTableFirstHeld_AllReadAndWrite)
{
    constexpr int processes = 1100;
    ASSERT_EQ(set_dword(HKEY_CURRENT_USER, "shared", 7), ERROR_SUCCESS);
    int results[2], release[2];
    ASSERT_EQ(pipe(results), 0);
    ASSERT_EQ(pipe(release), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < processes; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            close(release[1]);
            DWORD v = 0;
            LONG rc[2] = {query_dword(HKEY_CURRENT_USER, "shared", v),
                          set_dword(HKEY_CURRENT_USER, ("p" + std::to_string(i)).c_str(), 1)};
            if (rc[0] == ERROR_SUCCESS && v != 7)
                rc[0] = -1;
            ssize_t written = write(results[1], rc, sizeof rc);
            char c;
            // Alive, and so holding its entry, until the parent has heard from every process.
            while (read(release[0], &c, 1) < 0 && errno == EINTR) {
            }
            _exit(written == sizeof rc ? 0 : 1);
        }
        ASSERT_GT(pid, 0) << "fork " << i;
        children.push_back(pid);
        LONG rc[2] = {-2, -2};
        ASSERT_EQ(read(results[0], rc, sizeof rc), static_cast<ssize_t>(sizeof rc));
        EXPECT_EQ(rc[0], ERROR_SUCCESS) << "process " << i << " read";
        EXPECT_EQ(rc[1], ERROR_SUCCESS) << "process " << i << " wrote";
        if (rc[0] != ERROR_SUCCESS || rc[1] != ERROR_SUCCESS)
            break;
    }
    close(release[1]);
    for (pid_t pid : children)
        waitpid(pid, nullptr, 0);
    close(release[0]);
    close(results[0]);
    close(results[1]);
    DWORD v = 0;
    EXPECT_EQ(query_dword(HKEY_CURRENT_USER, ("p" + std::to_string(processes - 1)).c_str(), v), ERROR_SUCCESS);
}

// This process keeps what it read while the database is unchanged; what another process
// changes must show at once: a value it wrote, and a key it deleted and made again, whose
// path this process had kept for the old key.
TEST(LinuxRegistryProcesses, ChangesOfAnotherProcess_AreSeenByTheNextRead)
{
    const char* key = "Software\\seen";
    auto read = [&](const char* name, DWORD& v) {
        HKEY h;
        LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, &h);
        if (rc == ERROR_SUCCESS) {
            rc = query_dword(h, name, v);
            RegCloseKey(h);
        }
        return rc;
    };
    auto other_writes = [&](const char* first) {
        EXPECT_EQ(vantor_test::child("registry_client", {"acks", key, first}).next_line(), std::string("ack ") + first);
    };
    HKEY k;
    ASSERT_EQ(create(HKEY_CURRENT_USER, key, &k), ERROR_SUCCESS);
    DWORD v = 99;
    ASSERT_EQ(set_dword(k, "n5", v), ERROR_SUCCESS);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(read("n5", v), ERROR_SUCCESS);
    other_writes("5");
    // A write of this process after the other's keeps nothing that the other changed.
    ASSERT_EQ(set_dword(k, "own", 1), ERROR_SUCCESS);
    ASSERT_EQ(read("n5", v), ERROR_SUCCESS);
    EXPECT_EQ(v, 5u);

    EXPECT_EQ(vantor_test::child("registry_client", {"delete", key}).last_line(), "deleted");
    other_writes("100");
    EXPECT_EQ(read("n100", v), ERROR_SUCCESS);
    EXPECT_EQ(v, 100u);
    EXPECT_EQ(query_size(k, "n5"), ERROR_KEY_DELETED);
    RegCloseKey(k);
    ASSERT_EQ(delete_key(HKEY_CURRENT_USER, key), ERROR_SUCCESS);
    EXPECT_EQ(read("n100", v), ERROR_FILE_NOT_FOUND);
}

// Writes that fill the WAL are folded back into the database by a thread of the writing
// process (the writers would do it only once the WAL held four times as much), in a fork()
// child by a thread of the child's own, and the database keeps every write.
TEST(LinuxRegistryCheckpoint, AFullWalIsFoldedBackOffTheWriters_InAForkChildToo)
{
    // Most replace a value: a WAL frame each, more than 4 MiB of 1 KiB frames in all.
    constexpr int writes = 6000, names = 100;
    auto fill = [](int first) {
        for (int i = first; i < first + writes; ++i)
            if (set_dword(HKEY_CURRENT_USER, ("n" + std::to_string(i % names)).c_str(), i) != ERROR_SUCCESS)
                return false;
        return true;
    };
    // The WAL index as SQLite lays it out: mxFrame at byte 16, the salt at 32, nBackfill at 96.
    auto index = [] {
        std::uint32_t w[25] = {};
        int fd = open((db_path() + "-shm").c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(pread(fd, w, sizeof w, 0), static_cast<ssize_t>(sizeof w));
        close(fd);
        return std::vector<std::uint32_t>(w, w + 25);
    };
    // A checkpoint folded back frames written since `start`: the WAL started again, or more
    // frames are in the database than the WAL held then. Nothing outside the writing process
    // tells when, so this looks until a minute has passed.
    auto folded_back = [&](const std::vector<std::uint32_t>& start) {
        for (int tries = 0; tries < 60000; ++tries) {
            auto w = index();
            if (w[8] != start[8] || w[24] > start[4])
                return true;
            usleep(1000);
        }
        return false;
    };
    ASSERT_EQ(set_dword(HKEY_CURRENT_USER, "first", 1), ERROR_SUCCESS);
    auto start = index();
    ASSERT_TRUE(fill(0));
    EXPECT_TRUE(folded_back(start));
#if !defined(__SANITIZE_THREAD__)
    // (ThreadSanitizer cannot start threads in the child of a process that has some.)
    pid_t pid = fork();
    if (pid == 0) {
        start = index();
        _exit(fill(writes) && folded_back(start) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int i = 2 * writes - names; i < 2 * writes; ++i) {
        DWORD v = 0;
        ASSERT_EQ(query_dword(HKEY_CURRENT_USER, ("n" + std::to_string(i % names)).c_str(), v), ERROR_SUCCESS);
        EXPECT_EQ(v, static_cast<DWORD>(i));
    }
#endif
    EXPECT_EQ(integrity_check(), "ok");
}

#endif

}  // namespace
