// Registry sections, deletion and existence, and the "Registry access error" box.
#include "registry_fixture.h"

#include <cstdlib>

namespace {

using namespace registry_test;
using RegistrySection = RegistryTest;

// The text the system gives for an error code.
std::string system_text(DWORD code)
{
    char text[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, text, sizeof text, nullptr);
    return text;
}

struct section {
    CStringArray names;
    CDWordArray types;
    CPtrArray data;
    CDWordArray lengths;
    CStringArray subkeys;
    ~section()
    {
        for (INT_PTR i = 0; i < data.GetSize(); ++i)
            std::free(data[i]);
    }
    void add(const char* name)
    {
        names.Add(name);
        types.Add(REG_DWORD);
        data.Add(std::calloc(4, 1));
        lengths.Add(4);
    }
    bool read(const std::string& path)
    {
        return getreg_section(cu, path.c_str(), names, types, data, lengths, &subkeys);
    }
    bool write(const std::string& path, int free_data)
    {
        return setreg_section(cu, path.c_str(), names, types, data, lengths, free_data);
    }
    std::string bytes(INT_PTR i) const { return std::string(static_cast<const char*>(data[i]), lengths[i]); }
};

TEST_F(RegistrySection, Read_GivesEveryValueAsStoredAndTheSubkeyNames_OrLeavesTheArraysOfAMissingKey)
{
    put_raw(cu, key(), "", REG_SZ, "x", 2);
    put_raw(cu, key(), "a Raw", REG_BINARY, "\x01\xab", 3);
    put_raw(cu, key(), "b Empty", REG_BINARY, nullptr, 0);
    put_raw(cu, key(), "c Multi", REG_MULTI_SZ, "a\0b\0", 5);
    // Created in name order, which is also the order Wine enumerates them in.
    put_raw(cu, key("Sub1"));
    put_raw(cu, key("Sub2"));
    section s;
    ASSERT_TRUE(s.read(key()));
    ASSERT_EQ(s.names.GetSize() + s.types.GetSize() + s.lengths.GetSize(), 12);
    const struct {
        const char* name;
        DWORD type;
        std::string bytes;
    } expected[] = {{"", REG_SZ, std::string("x", 2)},
                    {"a Raw", REG_BINARY, std::string("\x01\xab", 3)},
                    {"b Empty", REG_BINARY, ""},
                    {"c Multi", REG_MULTI_SZ, std::string("a\0b\0", 5)}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_STREQ(s.names[i], expected[i].name);
        EXPECT_EQ(s.types[i], expected[i].type) << i;
        EXPECT_EQ(s.bytes(i), expected[i].bytes) << i;
        EXPECT_NE(s.data[i], nullptr) << "a value without data still has a block";
    }
    ASSERT_EQ(s.subkeys.GetSize(), 2);
    EXPECT_STREQ(s.subkeys[0], "Sub1");
    EXPECT_STREQ(s.subkeys[1], "Sub2");

    EXPECT_FALSE(s.read(key("missing")));
    EXPECT_EQ(s.names.GetSize(), 4);
    section empty;
    empty.names.Add("stale");
    empty.subkeys.Add("stale");
    EXPECT_TRUE(empty.read(key("Sub1")));
    EXPECT_EQ(empty.names.GetSize() + empty.subkeys.GetSize() + empty.data.GetSize(), 0);
}

TEST_F(RegistrySection, ReadThenWrite_CopiesEveryValue_AndFreeDataEmptiesTheArrays)
{
    ASSERT_TRUE(setreg_string(cu, key("from").c_str(), "s", "text"));
    ASSERT_TRUE(setreg_long(cu, key("from").c_str(), "n", 31));
    put_raw(cu, key("from"), "b", REG_BINARY, "\0\x0f\x10", 3);
    put_raw(cu, key("from"), "q", REG_QWORD, "12345678", 8);
    put_raw(cu, key("to"));
    section s;
    ASSERT_TRUE(s.read(key("from")));
    ASSERT_TRUE(s.write(key("to"), 0));
    for (const char* name : {"s", "n", "b", "q"}) {
        stored a = get_raw(cu, key("from"), name), b = get_raw(cu, key("to"), name);
        EXPECT_TRUE(b.type != ~0u && a.type == b.type && a.bytes == b.bytes) << name;
    }
    ASSERT_TRUE(s.write(key("to"), 1));
    ASSERT_EQ(s.data.GetSize(), 4);
    for (INT_PTR i = 0; i < 4; ++i)
        EXPECT_TRUE(s.data[i] == nullptr && s.lengths[i] == 0) << i;
}

TEST_F(RegistrySection, Write_ToAMissingKeyCreatesNothing_NoValuesIsSuccess_ShortArraysThrowAndFreeTheLock)
{
    box_recorder boxes;
    section s;
    s.add("a");
    EXPECT_FALSE(s.write(key("missing"), 1));
    EXPECT_FALSE(key_exists(cu, key("missing")));
    EXPECT_NE(s.data[0], nullptr) << "nothing written, nothing freed";
    EXPECT_TRUE(boxes.boxes().empty());
    put_raw(cu, key());
    EXPECT_TRUE(section().write(key(), 1));

    s.add("b");
    s.add("c");
    s.lengths.SetSize(2);
    bool thrown = false;
    try {
        s.write(key(), 0);
    } catch (CInvalidArgException* e) {
        thrown = true;
        e->Delete();
    }
    EXPECT_TRUE(thrown);
    EXPECT_TRUE(getreg_does_subkey_exist(cu, key().c_str(), "b"));
    EXPECT_FALSE(getreg_does_subkey_exist(cu, key().c_str(), "c"));
    std::string k = key();
    EXPECT_TRUE(finishes([k] { setreg_long(cu, k.c_str(), "c", 1); })) << "the exception kept the lock";
}

TEST_F(RegistrySection, DoesSubkeyExist_TestsOneValueOfAnyType_AndDeleteSubkeyRemovesIt)
{
    put_raw(cu, key(), "sz", REG_SZ, "", 1);
    put_raw(cu, key(), "bin", REG_BINARY, nullptr, 0);
    put_raw(cu, key(), "q", REG_QWORD, "12345678", 8);
    for (const char* name : {"sz", "bin", "q", "SZ"})
        EXPECT_TRUE(getreg_does_subkey_exist(cu, key().c_str(), name)) << name;
    for (const char* name : {"missing", ""})  // no default value
        EXPECT_FALSE(getreg_does_subkey_exist(cu, key().c_str(), name)) << name;
    EXPECT_FALSE(getreg_does_subkey_exist(cu, key("missing").c_str(), "sz"));
    EXPECT_TRUE(setreg_delete_subkey(cu, key().c_str(), "sz"));
    EXPECT_FALSE(getreg_does_subkey_exist(cu, key().c_str(), "sz"));
    EXPECT_FALSE(setreg_delete_subkey(cu, key().c_str(), "sz"));
    EXPECT_FALSE(setreg_delete_subkey(cu, key("missing").c_str(), "q"));
}

TEST_F(RegistrySection, DeleteSection_KeyWithSubkeysShowsTheSystemText_OthersGoQuietly)
{
    put_raw(cu, key("parent\\child"), "n", REG_DWORD, "abcd", 4);
    {
        box_recorder boxes;
        EXPECT_FALSE(setreg_delete_section(cu, key("parent").c_str()));
        boxes.expect_one("Registry access error", system_text(ERROR_ACCESS_DENIED));
    }
    EXPECT_TRUE(key_exists(cu, key("parent")));
    box_recorder boxes;
    EXPECT_FALSE(setreg_delete_section(cu, key("missing").c_str()));
    EXPECT_FALSE(setreg_delete_section(cu, nullptr));
    EXPECT_TRUE(setreg_delete_section(cu, key("parent\\child").c_str()));
    EXPECT_FALSE(key_exists(cu, key("parent\\child")));
    EXPECT_TRUE(boxes.boxes().empty());
}

#ifndef _WIN32
// A box that stays open until the test closes it, as a user would.
HANDLE box_open = CreateEventA(nullptr, TRUE, FALSE, nullptr), box_closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);

int hold_box(HWND, const char*, const char*, UINT)
{
    SetEvent(box_open);
    WaitForSingleObject(box_closed, INFINITE);
    return IDOK;
}

TEST_F(RegistrySection, LinuxOpenBox_HoldsEveryRegistryCallButTheExistenceTest)
{
    winport_message_box_handler previous = winport_set_message_box_handler(hold_box);
    put_raw(cu, key("parent\\child"));
    ASSERT_TRUE(setreg_long(cu, key().c_str(), "n", 5));
    std::string k = key();
    std::thread shows([k] { setreg_delete_section(cu, (k + "\\parent").c_str()); });
    ASSERT_EQ(WaitForSingleObject(box_open, 60000), WAIT_OBJECT_0);
    EXPECT_TRUE(finishes([k] { getreg_does_subkey_exist(cu, k.c_str(), "n"); })) << "takes no lock";
    // A read cannot be seen waiting, only not finishing while the box is open and finishing
    // once it is closed.
    auto read = std::async(std::launch::async, [k] { return getreg_long(cu, k.c_str(), "n", 0); });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    SetEvent(box_closed);
    shows.join();
    EXPECT_EQ(read.get(), 5);
    winport_set_message_box_handler(previous);
}
#endif

}  // namespace
