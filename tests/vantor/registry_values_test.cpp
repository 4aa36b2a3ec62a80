// Typed registry values, the HKEY_LOCAL_MACHINE shortcuts, their plain entry points and the
// copies, against the platform's registry.
#include "registry_fixture.h"

#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <set>

namespace {

using namespace registry_test;
using RegistryValues = RegistryTest;

TEST_F(RegistryValues, Numbers_RoundTripInTheirStoredForm_AndWideOnesAreRefusedNotCut)
{
    std::string k = key();
    bool found = false;
    for (LONG v : {0, -1, INT32_MIN, INT32_MAX}) {
        ASSERT_TRUE(setreg_long(cu, k.c_str(), "long", v));
        EXPECT_EQ(getreg_long(cu, k.c_str(), "long", 7, &found), v);
        EXPECT_TRUE(found);
        EXPECT_EQ(getreg_ulong(cu, k.c_str(), "long", 7), static_cast<DWORD>(v));
        EXPECT_EQ(get_raw(cu, k, "long").bytes, bytes_of(v));
    }
    ASSERT_TRUE(setreg_ulong(cu, k.c_str(), "long", 0x80000000ul));
    EXPECT_EQ(getreg_long(cu, k.c_str(), "long", 0), long(INT32_MIN));
    for (ULONGLONG v : {0ULL, 0x8000000000000005ULL, ~0ULL}) {
        ASSERT_TRUE(setreg_qword(cu, k.c_str(), "qword", v));
        EXPECT_EQ(getreg_qword(cu, k.c_str(), "qword", 7, &found), v);
        EXPECT_EQ(get_raw(cu, k, "qword").type, DWORD(REG_QWORD));
    }
    for (double v : {-0.0, 1.5, -1e308, 4.9e-324}) {
        ASSERT_TRUE(setreg_double(cu, k.c_str(), "double", v));
        EXPECT_EQ(bytes_of(getreg_double(cu, k.c_str(), "double", 7, &found)), bytes_of(v));
        EXPECT_EQ(get_raw(cu, k, "double").type, DWORD(REG_BINARY));
        EXPECT_EQ(get_raw(cu, k, "double").bytes, bytes_of(v));
    }
#if LONG_MAX > INT32_MAX
    EXPECT_FALSE(setreg_long(cu, k.c_str(), "long", long(INT32_MAX) + 1));
    EXPECT_FALSE(setreg_long(cu, k.c_str(), "long", long(INT32_MIN) - 1));
    EXPECT_FALSE(setreg_ulong(cu, k.c_str(), "long", 0xFFFFFFFFul + 1));
    EXPECT_EQ(getreg_ulong(cu, k.c_str(), "long", 0), 0x80000000ul);
#endif
}

TEST_F(RegistryValues, Readers_GiveTheDefaultForAnythingButTheirExactForm)
{
    std::string path = key();
    const char *k = path.c_str(), bytes[] = "\x01\x02\x03\x04\x05\x06\x07\x08\x09", def[] = "default";
    put_raw(cu, path, "qword", REG_QWORD, bytes, 8);
    put_raw(cu, path, "dword2", REG_DWORD, bytes, 2);
    put_raw(cu, path, "binary4", REG_BINARY, bytes, 4);
    put_raw(cu, path, "binary9", REG_BINARY, bytes, 9);
    put_raw(cu, path, "dword", REG_DWORD, bytes, 4);
    put_raw(cu, path, "sz", REG_SZ, "12", 3);
    put_raw(cu, path, "expand", REG_EXPAND_SZ, "a", 2);
    bool found = true;  // each reader clears it
    std::map<std::string, std::function<bool(const char*)>> gives_default = {
        {"long", [&](const char* n) { return getreg_long(cu, k, n, -77, &found) == -77 && !found; }},
        {"ulong", [&](const char* n) { return getreg_ulong(cu, k, n, 77, &found) == 77 && !found; }},
        {"qword", [&](const char* n) { return getreg_qword(cu, k, n, 77, &found) == 77 && !found; }},
        {"double", [&](const char* n) { return getreg_double(cu, k, n, 7.5, &found) == 7.5 && !found; }},
        {"string", [&](const char* n) { return getreg_string(cu, k, n, def) == def; }},  // the pointer itself
    };
    for (auto c : {std::make_pair("long", "qword"),
                   {"long", "sz"},
                   {"long", "dword2"},
                   {"long", "missing"},
                   {"long", "binary4"},
                   {"ulong", "binary4"},
                   {"qword", "dword"},
                   {"qword", "sz"},
                   {"double", "binary4"},
                   {"double", "binary9"},
                   {"double", "qword"},
                   {"string", "missing"},
                   {"string", "expand"},
                   {"string", "dword"}})
        EXPECT_TRUE(gives_default[c.first](c.second)) << c.first << " of " << c.second;
    EXPECT_EQ(getreg_long(cu, key("missing").c_str(), "dword", 3), 3);
    EXPECT_EQ(getreg_string(cu, key("missing").c_str(), "sz", nullptr), nullptr);
    EXPECT_EQ(getreg_long(cu, k, "dword", 3, nullptr), 0x04030201);
}

TEST_F(RegistryValues, GetString_RingsReuseTheirBuffers)
{
    std::string k = key(), long_text(300, 'L'), huge_text(70000, 'H');
    ASSERT_TRUE(setreg_string(cu, k.c_str(), "short", "s"));
    ASSERT_TRUE(setreg_string(cu, k.c_str(), "long", long_text.c_str()));
    ASSERT_TRUE(setreg_string(cu, k.c_str(), "huge", huge_text.c_str()));

    // Every call advances the short ring, a failing one too; the 17th reuses the 1st buffer.
    const char* first = getreg_string(cu, k.c_str(), "short", nullptr);
    std::set<const char*> short_slots{first};
    for (int i = 1; i < 16; ++i)
        short_slots.insert(getreg_string(cu, k.c_str(), i % 2 ? "missing" : "short", first));
    EXPECT_EQ(short_slots.size(), 8u);
    ASSERT_TRUE(setreg_string(cu, k.c_str(), "short", "t"));
    EXPECT_EQ(getreg_string(cu, k.c_str(), "short", nullptr), first);
    EXPECT_STREQ(first, "t");

    // A long value takes a long slot, reused after 8 long calls.
    const char* long_first = getreg_string(cu, k.c_str(), "long", nullptr);
    EXPECT_EQ(long_first, long_text);
    EXPECT_EQ(short_slots.count(long_first), 0u);
    for (int i = 1; i < 8; ++i)
        EXPECT_NE(getreg_string(cu, k.c_str(), "long", nullptr), long_first);
    EXPECT_EQ(getreg_string(cu, k.c_str(), "long", nullptr), long_first);
    EXPECT_EQ(getreg_string(cu, k.c_str(), "huge", nullptr), huge_text);
    EXPECT_EQ(getreg_string(cu, k.c_str(), "huge", nullptr), huge_text);
}

TEST_F(RegistryValues, Strings_AreReturnedTerminated_AndTooSmallABufferGetsTheSizeNeeded)
{
    std::string k = key();
    // Stored without a terminator, at the edges of the short slot, the long slot and beyond.
    for (size_t n : {0, 3, 258, 259, 260, 65534, 65535, 70000}) {
        SCOPED_TRACE(n);
        std::string text(n, 'x');
        put_raw(cu, k, "raw", REG_SZ, text.data(), static_cast<DWORD>(n));
        EXPECT_EQ(getreg_string(cu, k.c_str(), "raw", ""), text);
        std::vector<char> buffer(n + 2, '#');
        int length = static_cast<int>(n) + 2;
        EXPECT_TRUE(getreg_stringEx(cu, k.c_str(), "raw", buffer.data(), &length));
        EXPECT_EQ(length, static_cast<int>(n) + 1);
        EXPECT_EQ(std::string(buffer.data()), text);
    }
    // "abc" stored without and "hello" with a terminator; capacity 0 leaves the buffer alone.
    put_raw(cu, k, "abc", REG_SZ, "abc", 3);
    ASSERT_TRUE(setreg_string(cu, k.c_str(), "hello", "hello"));
    for (auto c : {std::make_pair("abc", 0), {"abc", 1}, {"abc", 3}, {"hello", 0}, {"hello", 3}, {"hello", 5}}) {
        char buffer[8] = "#######";
        int length = c.second, needed = c.first[0] == 'a' ? 4 : 6;
        EXPECT_FALSE(getreg_stringEx(cu, k.c_str(), c.first, buffer, &length)) << c.first << c.second;
        EXPECT_EQ(length, needed) << c.first << c.second;
        EXPECT_EQ(buffer[c.second], '#') << "written past the capacity " << c.second;
        EXPECT_TRUE(getreg_stringEx(cu, k.c_str(), c.first, buffer, &length));
        EXPECT_EQ(length, needed);
        EXPECT_STREQ(buffer, c.first);
    }
    // Not a string, or not there: false and a length of 0.
    put_raw(cu, k, "dword", REG_DWORD, "abcd", 4);
    for (auto c : {std::make_pair(k, "dword"), {k, "missing"}, {key("missing"), "abc"}}) {
        char buffer[8];
        int length = sizeof buffer;
        EXPECT_FALSE(getreg_stringEx(cu, c.first.c_str(), c.second, buffer, &length));
        EXPECT_EQ(length, 0) << c.second;
    }
    EXPECT_FALSE(getreg_stringEx(cu, k.c_str(), "abc", nullptr, nullptr));
    // A null buffer asks for the size alone, whatever the capacity given.
    put_raw(cu, k, "empty", REG_SZ, "", 0);
    for (auto c : {std::make_pair("hello", 6), {"abc", 4}, {"empty", 1}, {"dword", 4}, {"missing", 0}})
        for (int capacity : {0, 100}) {
            int length = capacity;
            EXPECT_FALSE(getreg_stringEx(cu, k.c_str(), c.first, nullptr, &length)) << c.first;
            EXPECT_EQ(length, c.second) << c.first << " " << capacity;
        }
}

TEST_F(RegistryValues, Writers_CreateTheWholePath_OrGiveFalse)
{
    ASSERT_TRUE(setreg_string(cu, key("a\\b\\c").c_str(), "v", "deep"));
    EXPECT_STREQ(getreg_string(cu, key("a\\b\\c").c_str(), "v", nullptr), "deep");
    ASSERT_TRUE(setreg_long(cu, key("d\\e").c_str(), "", 42));
    EXPECT_EQ(get_raw(cu, key("d\\e"), nullptr).bytes, bytes_of(LONG(42))) << "the empty name is the default";
    EXPECT_TRUE(setreg_double(cu, key("h\\i").c_str(), "d", 1));
    ASSERT_TRUE(setreg_string(cu, key().c_str(), "", "unnamed"));
    EXPECT_EQ(get_raw(cu, key(), "").bytes, std::string("unnamed", 8));
    ASSERT_TRUE(setreg_long(cu, key().c_str(), "", 1)) << "a number replaces a value of another type";
    EXPECT_EQ(getreg_long(cu, key().c_str(), "", 0), 1);

    HKEY bad_root = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234));
    EXPECT_FALSE(setreg_long(bad_root, "x", "v", 1));
    EXPECT_FALSE(setreg_double(bad_root, "x", "v", 1));
    EXPECT_FALSE(setreg_string(bad_root, "x", "v", "t"));
    EXPECT_FALSE(setreg_string(cu, key("j").c_str(), "v", nullptr));
    EXPECT_FALSE(key_exists(cu, key("j")));
}

// The shortcuts reach the machine's values in the view the readers use; the copies always
// write their target.
TEST_F(RegistryValues, LocalMachineShortcuts_AndCopies_WhichAlwaysWriteTheTarget)
{
    std::string k = key();
    const char* c = k.c_str();
    ASSERT_TRUE(setreg_LM_long(c, "n", 17));
    EXPECT_EQ(getreg_long(lm, c, "n", 0), 17);
    EXPECT_EQ(setreg_LM_string_C(c, "s", "text"), 1);
    // The key exists, so the double writer opens it in the view the readers use.
    EXPECT_EQ(setreg_LM_double_C(c, "d", 2.5), 1);
    EXPECT_EQ(getreg_LM_double_C(c, "d", 0), 2.5);
    int length = 0;
    EXPECT_TRUE(!getreg_LM_stringEx(c, "s", nullptr, &length) && length == 5);

    // A missing source gives 0 and the empty string; a number is no string.
    copy_LM_long(c, "missing", key("t").c_str(), "n");
    copy_LM_string(c, "n", key("t").c_str(), "s");
    EXPECT_EQ(get_raw(lm, key("t"), "n").bytes, bytes_of(LONG(0)));
    EXPECT_EQ(get_raw(lm, key("t"), "s").bytes, std::string(1, '\0'));
    copy_LM_long(c, "n", key("t").c_str(), "n");
    EXPECT_EQ(getreg_LM_long(key("t").c_str(), "n", 0), 17);
    // The copy takes the lock again inside; on a thread of its own, a copy that waited on
    // itself would fail here.
    ASSERT_TRUE(finishes([k] { copy_LM_string(k.c_str(), "s", (k + "\\t").c_str(), "s"); }));
    EXPECT_STREQ(getreg_LM_string(key("t").c_str(), "s", nullptr), "text");
}

}  // namespace
