// Typed registry values, the HKEY_LOCAL_MACHINE shortcuts, their plain entry points and the
// copies, against the platform's registry.
#include "registry_fixture.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <set>
#include <thread>

namespace {

using namespace registry_test;

template <typename T>
std::string bytes_of(T value)
{
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

using RegistryValues = RegistryTest;

TEST_F(RegistryValues, NumberKinds_RoundTripWithTheirStoredForm)
{
    HKEY r = HKEY_CURRENT_USER;
    for (LONG v : {0, 1, -1, INT32_MIN, INT32_MAX}) {
        ASSERT_TRUE(setreg_long(r, key().c_str(), "long", v));
        bool found = false;
        EXPECT_EQ(getreg_long(r, key().c_str(), "long", 7, &found), v);
        EXPECT_TRUE(found);
        stored s = get_raw(r, key(), "long");
        EXPECT_EQ(s.type, DWORD(REG_DWORD));
        EXPECT_EQ(s.bytes, bytes_of(v));
    }
    for (ULONGLONG v : {0ULL, 0x8000000000000005ULL, ~0ULL}) {
        ASSERT_TRUE(setreg_qword(r, key().c_str(), "qword", v));
        bool found = false;
        EXPECT_EQ(getreg_qword(r, key().c_str(), "qword", 7, &found), v);
        EXPECT_TRUE(found);
        EXPECT_EQ(get_raw(r, key(), "qword").type, DWORD(REG_QWORD));
    }
    for (double v : {0.0, -0.0, 1.5, -1e308, 4.9e-324}) {
        ASSERT_TRUE(setreg_double(r, key().c_str(), "double", v));
        bool found = false;
        double back = getreg_double(r, key().c_str(), "double", 7, &found);
        EXPECT_EQ(bytes_of(back), bytes_of(v));
        EXPECT_TRUE(found);
        stored s = get_raw(r, key(), "double");
        EXPECT_EQ(s.type, DWORD(REG_BINARY));
        EXPECT_EQ(s.bytes, bytes_of(v));
    }
}

TEST_F(RegistryValues, SignedAndUnsigned_ShareOneStoredForm)
{
    HKEY r = HKEY_CURRENT_USER;
    ASSERT_TRUE(setreg_long(r, key().c_str(), "v", -1));
    EXPECT_EQ(getreg_ulong(r, key().c_str(), "v", 0), 0xFFFFFFFFul);
    ASSERT_TRUE(setreg_ulong(r, key().c_str(), "v", 0x80000000ul));
    EXPECT_EQ(getreg_long(r, key().c_str(), "v", 0), long(INT32_MIN));
    EXPECT_EQ(getreg_ulong(r, key().c_str(), "v", 0), 0x80000000ul);
}

#if LONG_MAX > INT32_MAX
TEST_F(RegistryValues, WideNumbers_AreRefusedNotCut)
{
    HKEY r = HKEY_CURRENT_USER;
    ASSERT_TRUE(setreg_long(r, key().c_str(), "v", 5));
    EXPECT_FALSE(setreg_long(r, key().c_str(), "v", long(INT32_MAX) + 1));
    EXPECT_FALSE(setreg_long(r, key().c_str(), "v", long(INT32_MIN) - 1));
    EXPECT_FALSE(setreg_ulong(r, key().c_str(), "v", 0xFFFFFFFFul + 1));
    EXPECT_EQ(getreg_long(r, key().c_str(), "v", 0), 5);
}
#endif

TEST_F(RegistryValues, Readers_GiveTheDefaultForAnythingButTheirExactForm)
{
    HKEY r = HKEY_CURRENT_USER;
    const char qword[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    put_raw(r, key(), "qword", REG_QWORD, qword, 8);
    put_raw(r, key(), "sz", REG_SZ, "12", 3);
    put_raw(r, key(), "dword2", REG_DWORD, qword, 2);
    put_raw(r, key(), "dword", REG_DWORD, qword, 4);
    put_raw(r, key(), "binary4", REG_BINARY, qword, 4);
    put_raw(r, key(), "binary9", REG_BINARY, "123456789", 9);
    struct {
        const char* reader;
        const char* name;
    } cases[] = {
        {"long", "qword"},     {"long", "sz"},      {"long", "dword2"},  {"long", "missing"},
        {"ulong", "binary4"},  {"qword", "dword"},  {"qword", "sz"},     {"double", "binary4"},
        {"double", "binary9"}, {"double", "qword"}, {"long", "binary4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.reader) + " of " + c.name);
        bool found = true;
        std::string reader = c.reader;
        if (reader == "long")
            EXPECT_EQ(getreg_long(r, key().c_str(), c.name, -77, &found), -77);
        else if (reader == "ulong")
            EXPECT_EQ(getreg_ulong(r, key().c_str(), c.name, 77, &found), 77ul);
        else if (reader == "qword")
            EXPECT_EQ(getreg_qword(r, key().c_str(), c.name, 77, &found), 77ull);
        else
            EXPECT_EQ(getreg_double(r, key().c_str(), c.name, 7.5, &found), 7.5);
        EXPECT_FALSE(found);
    }
    bool found = true;
    EXPECT_EQ(getreg_long(r, key("missing").c_str(), "dword", 3, &found), 3);
    EXPECT_FALSE(found);
    EXPECT_EQ(getreg_long(r, key().c_str(), "dword", 3, nullptr), 0x04030201);
}

TEST_F(RegistryValues, GetString_MissingValue_GivesTheDefaultPointerItself)
{
    static const char def[] = "default";
    EXPECT_EQ(getreg_string(HKEY_CURRENT_USER, key("missing").c_str(), "x", def), def);
    EXPECT_EQ(getreg_string(HKEY_CURRENT_USER, key().c_str(), "x", nullptr), nullptr);
    put_raw(HKEY_CURRENT_USER, key(), "expand", REG_EXPAND_SZ, "a", 2);
    put_raw(HKEY_CURRENT_USER, key(), "dword", REG_DWORD, "abcd", 4);
    EXPECT_EQ(getreg_string(HKEY_CURRENT_USER, key().c_str(), "expand", def), def);
    EXPECT_EQ(getreg_string(HKEY_CURRENT_USER, key().c_str(), "dword", def), def);
}

TEST_F(RegistryValues, GetString_RingsReuseTheirBuffers)
{
    HKEY r = HKEY_CURRENT_USER;
    std::string long_text(300, 'L');
    std::string huge_text(70000, 'H');
    ASSERT_TRUE(setreg_string(r, key().c_str(), "short", "s"));
    ASSERT_TRUE(setreg_string(r, key().c_str(), "long", long_text.c_str()));
    ASSERT_TRUE(setreg_string(r, key().c_str(), "huge", huge_text.c_str()));

    // Every call advances the short ring; the 17th reuses the buffer of the 1st.
    const char* first = getreg_string(r, key().c_str(), "short", nullptr);
    std::set<const char*> short_slots{first};
    for (int i = 1; i < 16; ++i) {
        // A call that fails takes its slot all the same.
        const char* got = getreg_string(r, key().c_str(), i % 2 ? "missing" : "short", nullptr);
        if (got)
            short_slots.insert(got);
    }
    ASSERT_STREQ(first, "s");
    EXPECT_EQ(short_slots.size(), 8u);
    ASSERT_TRUE(setreg_string(r, key().c_str(), "short", "t"));
    EXPECT_EQ(getreg_string(r, key().c_str(), "short", nullptr), first);
    EXPECT_STREQ(first, "t");

    // A long value takes a long slot, reused after 8 long calls.
    const char* long_first = getreg_string(r, key().c_str(), "long", nullptr);
    EXPECT_EQ(long_first, long_text);
    EXPECT_EQ(short_slots.count(long_first), 0u);
    for (int i = 1; i < 8; ++i)
        EXPECT_NE(getreg_string(r, key().c_str(), "long", nullptr), long_first);
    EXPECT_EQ(getreg_string(r, key().c_str(), "long", nullptr), long_first);

    const char* huge = getreg_string(r, key().c_str(), "huge", nullptr);
    ASSERT_NE(huge, nullptr);
    EXPECT_EQ(huge, huge_text);
    EXPECT_EQ(getreg_string(r, key().c_str(), "huge", nullptr), huge_text);
}

TEST_F(RegistryValues, Strings_StoredWithoutTerminator_AreReturnedTerminated)
{
    HKEY r = HKEY_CURRENT_USER;
    // Lengths at the edges of the short slot, the long slot and beyond.
    for (size_t n : {0, 3, 258, 259, 260, 300, 65534, 65535, 70000}) {
        SCOPED_TRACE(n);
        std::string text(n, 'x');
        put_raw(r, key(), "raw", REG_SZ, text.data(), static_cast<DWORD>(n));
        const char* got = getreg_string(r, key().c_str(), "raw", nullptr);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got, text);

        std::vector<char> buffer(n + 2, '#');
        int length = static_cast<int>(n) + 2;
        EXPECT_TRUE(getreg_stringEx(r, key().c_str(), "raw", buffer.data(), &length));
        EXPECT_EQ(length, static_cast<int>(n) + 1);
        EXPECT_EQ(std::string(buffer.data()), text);
    }
    put_raw(r, key(), "raw", REG_SZ, "abc", 3);
    char buffer[8];
    for (int capacity : {1, 2, 3}) {
        int length = capacity;
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_FALSE(getreg_stringEx(r, key().c_str(), "raw", buffer, &length));
        EXPECT_EQ(length, 4) << "capacity " << capacity;
        EXPECT_EQ(buffer[capacity], '#') << "written past the capacity " << capacity;
    }
    int length = 4;
    EXPECT_TRUE(getreg_stringEx(r, key().c_str(), "raw", buffer, &length));
    EXPECT_EQ(length, 4);
    EXPECT_STREQ(buffer, "abc");
}

TEST_F(RegistryValues, GetStringEx_ReportsTheSizeNeededThenFits)
{
    HKEY r = HKEY_CURRENT_USER;
    ASSERT_TRUE(setreg_string(r, key().c_str(), "v", "hello"));
    char buffer[16];
    int length = 3;
    EXPECT_FALSE(getreg_stringEx(r, key().c_str(), "v", buffer, &length));
    EXPECT_EQ(length, 6);
    EXPECT_TRUE(getreg_stringEx(r, key().c_str(), "v", buffer, &length));
    EXPECT_EQ(length, 6);
    EXPECT_STREQ(buffer, "hello");

    length = 0;  // no room at all: the size, and nothing written
    buffer[0] = '#';
    EXPECT_FALSE(getreg_stringEx(r, key().c_str(), "v", buffer, &length));
    EXPECT_EQ(length, 6);
    EXPECT_EQ(buffer[0], '#');

    put_raw(r, key(), "dword", REG_DWORD, "abcd", 4);
    for (const char* name : {"dword", "missing"}) {
        length = sizeof buffer;
        EXPECT_FALSE(getreg_stringEx(r, key().c_str(), name, buffer, &length));
        EXPECT_EQ(length, 0) << name;
    }
    length = sizeof buffer;
    EXPECT_FALSE(getreg_stringEx(r, key("missing").c_str(), "v", buffer, &length));
    EXPECT_EQ(length, 0);
    EXPECT_FALSE(getreg_stringEx(r, key().c_str(), "v", buffer, nullptr));
}

TEST_F(RegistryValues, Writers_CreateTheWholePath_AndTheDefaultValueHasTheEmptyName)
{
    HKEY r = HKEY_CURRENT_USER;
    ASSERT_TRUE(setreg_string(r, key("a\\b\\c").c_str(), "v", "deep"));
    EXPECT_STREQ(getreg_string(r, key("a\\b\\c").c_str(), "v", nullptr), "deep");
    ASSERT_TRUE(setreg_long(r, key("d\\e").c_str(), "", 42));
    EXPECT_EQ(get_raw(r, key("d\\e"), nullptr).bytes, bytes_of(LONG(42)));
    EXPECT_TRUE(setreg_double(r, key("h\\i").c_str(), "d", 1));
    ASSERT_TRUE(setreg_string(r, key().c_str(), "", "unnamed"));
    EXPECT_STREQ(getreg_string(r, key().c_str(), "", nullptr), "unnamed");
    EXPECT_EQ(get_raw(r, key(), "").bytes, std::string("unnamed", 8));

    // A number replaces a value of another type.
    ASSERT_TRUE(setreg_long(r, key().c_str(), "", 1));
    EXPECT_EQ(getreg_long(r, key().c_str(), "", 0), 1);
}

TEST_F(RegistryValues, Writers_WhatCannotBeStored_GiveFalse)
{
    HKEY bad_root = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234));
    EXPECT_FALSE(setreg_long(bad_root, "x", "v", 1));
    EXPECT_FALSE(setreg_double(bad_root, "x", "v", 1));
    EXPECT_FALSE(setreg_string(bad_root, "x", "v", "t"));
    EXPECT_FALSE(setreg_string(HKEY_CURRENT_USER, key().c_str(), "v", nullptr));
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, key()));
}

// The forwarders add nothing of their own; what matters is that they reach the same value
// and turn true and false into 1 and 0.
TEST_F(RegistryValues, LocalMachine_ShortcutsAndPlainEntryPointsAgree)
{
    std::string k = key();
    ASSERT_TRUE(setreg_LM_long(k.c_str(), "n", -5));
    EXPECT_EQ(getreg_long(HKEY_LOCAL_MACHINE, k.c_str(), "n", 0), -5);
    EXPECT_EQ(getreg_LM_long_C(k.c_str(), "n", 0), getreg_LM_long(k.c_str(), "n", 1));
    EXPECT_EQ(getreg_LM_long_C(k.c_str(), "missing", 9), 9);
    EXPECT_EQ(setreg_LM_string_C(k.c_str(), "s", "text"), 1);
    EXPECT_EQ(setreg_LM_string_C(k.c_str(), "s", nullptr), 0);
    EXPECT_STREQ(getreg_LM_string_C(k.c_str(), "s", nullptr), "text");
    // The key exists, so the double writer opens it in the view the readers use.
    EXPECT_EQ(setreg_LM_double_C(k.c_str(), "d", 2.5), 1);
    EXPECT_EQ(getreg_LM_double_C(k.c_str(), "d", 0), 2.5);
    EXPECT_EQ(setreg_LM_delete_subkey_C(k.c_str(), "d"), 1);
    EXPECT_EQ(setreg_LM_delete_subkey_C(k.c_str(), "d"), 0);
    EXPECT_EQ(getreg_LM_does_subkey_exist_C(k.c_str(), "s"), 1);
    EXPECT_EQ(getreg_LM_does_subkey_exist_C(k.c_str(), "d"), 0);
}

TEST_F(RegistryValues, Copies_AlwaysWriteTheTarget)
{
    std::string k = key();
    ASSERT_TRUE(setreg_LM_string(k.c_str(), "s", "text"));
    ASSERT_TRUE(setreg_LM_long(k.c_str(), "n", 17));

    copy_LM_long(k.c_str(), "missing", key("t1").c_str(), "n");
    stored s = get_raw(HKEY_LOCAL_MACHINE, key("t1"), "n");
    EXPECT_EQ(s.type, DWORD(REG_DWORD));
    EXPECT_EQ(s.bytes, bytes_of(LONG(0)));
    copy_LM_long(k.c_str(), "n", key("t1").c_str(), "n");
    EXPECT_EQ(getreg_LM_long(key("t1").c_str(), "n", 0), 17);

    copy_LM_string(k.c_str(), "n", key("t2").c_str(), "s");  // a number gives the empty string
    s = get_raw(HKEY_LOCAL_MACHINE, key("t2"), "s");
    EXPECT_EQ(s.type, DWORD(REG_SZ));
    EXPECT_EQ(s.bytes, std::string(1, '\0'));
    copy_LM_string(k.c_str(), "s", key("t2").c_str(), "s");
    EXPECT_STREQ(getreg_LM_string(key("t2").c_str(), "s", nullptr), "text");
}

TEST_F(RegistryValues, CopyString_TakesTheLockAgainOnItsOwnThread)
{
    std::string k = key();
    ASSERT_TRUE(setreg_LM_string(k.c_str(), "s", "text"));
    // Run apart, so that a copy that waits on itself fails here rather than hanging the run.
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> copied = done->get_future();
    std::thread([k, done] {
        copy_LM_string(k.c_str(), "s", k.c_str(), "t");
        done->set_value();
    }).detach();
    ASSERT_EQ(copied.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_STREQ(getreg_LM_string(k.c_str(), "t", nullptr), "text");
}

}  // namespace
