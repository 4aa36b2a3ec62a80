// Registry sections, deletion and existence, and the "Registry access error" box.
#include "registry_fixture.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

namespace {

using namespace registry_test;

struct section {
    CStringArray names;
    CDWordArray types;
    CPtrArray data;
    CDWordArray lengths;
    CStringArray subkeys;
    ~section() { release(); }
    void release()
    {
        for (INT_PTR i = 0; i < data.GetSize(); ++i)
            std::free(data[i]);
        data.RemoveAll();
    }
    bool read(HKEY root, const std::string& path, bool with_subkeys = true)
    {
        return getreg_section(root, path.c_str(), names, types, data, lengths, with_subkeys ? &subkeys : nullptr);
    }
    bool write(HKEY root, const std::string& path, int free_data)
    {
        return setreg_section(root, path.c_str(), names, types, data, lengths, free_data);
    }
    std::string bytes(INT_PTR i) const
    {
        return std::string(static_cast<const char*>(data.GetAt(i)), lengths.GetAt(i));
    }
};

using RegistrySection = RegistryTest;
const HKEY cu = HKEY_CURRENT_USER;

TEST_F(RegistrySection, EmptyKeyGivesEmptyArrays_MissingKeyLeavesThem)
{
    put_key(cu, key());
    section s;
    s.names.Add("stale");
    s.types.Add(1);
    s.lengths.Add(1);
    s.subkeys.Add("stale");
    EXPECT_FALSE(s.read(cu, key("missing")));
    EXPECT_EQ(s.names.GetSize(), 1);
    ASSERT_TRUE(s.read(cu, key()));
    EXPECT_EQ(s.names.GetSize() + s.types.GetSize() + s.data.GetSize() + s.lengths.GetSize(), 0);
    EXPECT_EQ(s.subkeys.GetSize(), 0);
}

TEST_F(RegistrySection, Read_GivesEveryValueAsStoredAndTheSubkeyNames)
{
    const unsigned char binary[] = {1, 0xab, 0};
    put_raw(cu, key(), "", REG_SZ, "x", 2);
    put_raw(cu, key(), "a Raw", REG_BINARY, binary, 3);
    put_raw(cu, key(), "b Empty", REG_BINARY, nullptr, 0);
    put_raw(cu, key(), "c Multi", REG_MULTI_SZ, "a\0b\0", 5);
    // Created in name order, which is also the order Wine enumerates them in.
    put_key(cu, key("Sub1"));
    put_key(cu, key("Sub2"));

    section s;
    ASSERT_TRUE(s.read(cu, key()));
    ASSERT_EQ(s.names.GetSize(), 4);
    ASSERT_EQ(s.types.GetSize(), 4);
    ASSERT_EQ(s.lengths.GetSize(), 4);
    EXPECT_STREQ(s.names[0], "");
    EXPECT_EQ(s.types[0], DWORD(REG_SZ));
    EXPECT_EQ(s.bytes(0), std::string("x", 2));
    EXPECT_STREQ(s.names[1], "a Raw");
    EXPECT_EQ(s.bytes(1), std::string("\x01\xab\x00", 3));
    EXPECT_STREQ(s.names[2], "b Empty");
    EXPECT_EQ(s.lengths[2], 0u);
    EXPECT_NE(s.data[2], nullptr) << "a value without data still has a block";
    EXPECT_EQ(s.types[3], DWORD(REG_MULTI_SZ));
    EXPECT_EQ(s.bytes(3), std::string("a\0b\0", 5));
    ASSERT_EQ(s.subkeys.GetSize(), 2);
    EXPECT_STREQ(s.subkeys[0], "Sub1");
    EXPECT_STREQ(s.subkeys[1], "Sub2");
}

TEST_F(RegistrySection, ReadThenWrite_CopiesEveryValue_AndFreeDataEmptiesTheArrays)
{
    const unsigned char binary[] = {0, 0xf, 0x10};
    ASSERT_TRUE(setreg_string(cu, key("from").c_str(), "s", "text"));
    ASSERT_TRUE(setreg_long(cu, key("from").c_str(), "n", 31));
    put_raw(cu, key("from"), "b", REG_BINARY, binary, 3);
    put_raw(cu, key("from"), "q", REG_QWORD, "12345678", 8);
    put_key(cu, key("to"));

    section s;
    ASSERT_TRUE(s.read(cu, key("from")));
    ASSERT_TRUE(s.write(cu, key("to"), 0));
    for (const char* name : {"s", "n", "b", "q"}) {
        stored a = get_raw(cu, key("from"), name), b = get_raw(cu, key("to"), name);
        EXPECT_TRUE(b.present) << name;
        EXPECT_EQ(a.type, b.type) << name;
        EXPECT_EQ(a.bytes, b.bytes) << name;
    }
    ASSERT_TRUE(s.write(cu, key("to"), 1));
    for (INT_PTR i = 0; i < s.names.GetSize(); ++i) {
        EXPECT_EQ(s.data[i], nullptr);
        EXPECT_EQ(s.lengths[i], 0u);
    }
    EXPECT_EQ(s.data.GetSize(), 4);
}

TEST_F(RegistrySection, Write_ToAMissingKeyCreatesNothing_AndNoValuesIsSuccess)
{
    section s;
    s.names.Add("v");
    s.types.Add(REG_DWORD);
    s.data.Add(std::calloc(4, 1));
    s.lengths.Add(4);
    box_recorder boxes;
    EXPECT_FALSE(s.write(cu, key("missing"), 1));
    EXPECT_FALSE(key_exists(cu, key("missing")));
    EXPECT_NE(s.data[0], nullptr) << "nothing written, nothing freed";
    EXPECT_TRUE(boxes.boxes().empty());

    put_key(cu, key());
    section none;
    EXPECT_TRUE(none.write(cu, key(), 1));
    section back;
    ASSERT_TRUE(back.read(cu, key()));
    EXPECT_EQ(back.names.GetSize(), 0);
}

TEST_F(RegistrySection, Write_ShorterArrays_ThrowAfterTheValuesBefore_AndReleaseTheLock)
{
    put_key(cu, key());
    section s;
    for (const char* name : {"a", "b", "c"}) {
        s.names.Add(name);
        s.types.Add(REG_DWORD);
        s.data.Add(std::calloc(4, 1));
    }
    s.lengths.Add(4);
    s.lengths.Add(4);  // one short
    bool thrown = false;
    try {
        s.write(cu, key(), 0);
    } catch (CInvalidArgException* e) {
        thrown = true;
        e->Delete();
    }
    EXPECT_TRUE(thrown);
    EXPECT_TRUE(getreg_does_subkey_exist(cu, key().c_str(), "b"));
    EXPECT_FALSE(getreg_does_subkey_exist(cu, key().c_str(), "c"));

    // Another thread gets the lock: the exception did not keep it.
    std::string k = key();
    auto done = std::make_shared<std::promise<bool>>();
    std::future<bool> set = done->get_future();
    std::thread([k, done] { done->set_value(setreg_long(cu, k.c_str(), "c", 1)); }).detach();
    ASSERT_EQ(set.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_TRUE(set.get());
}

TEST_F(RegistrySection, DoesSubkeyExist_TestsOneValueOfAnyType)
{
    put_raw(cu, key(), "sz", REG_SZ, "", 1);
    put_raw(cu, key(), "bin", REG_BINARY, nullptr, 0);
    put_raw(cu, key(), "q", REG_QWORD, "12345678", 8);
    for (const char* name : {"sz", "bin", "q", "SZ"})
        EXPECT_TRUE(getreg_does_subkey_exist(cu, key().c_str(), name)) << name;
    EXPECT_FALSE(getreg_does_subkey_exist(cu, key().c_str(), "missing"));
    EXPECT_FALSE(getreg_does_subkey_exist(cu, key().c_str(), ""));  // no default value
    EXPECT_FALSE(getreg_does_subkey_exist(cu, key("missing").c_str(), "sz"));

    EXPECT_TRUE(setreg_delete_subkey(cu, key().c_str(), "sz"));
    EXPECT_FALSE(getreg_does_subkey_exist(cu, key().c_str(), "sz"));
    EXPECT_FALSE(setreg_delete_subkey(cu, key().c_str(), "sz"));
    EXPECT_FALSE(setreg_delete_subkey(cu, key("missing").c_str(), "q"));
}

TEST_F(RegistrySection, DeleteSection_KeyWithSubkeys_ShowsTheSystemText)
{
    box_recorder boxes;
    put_key(cu, key("parent\\child"));
    EXPECT_FALSE(setreg_delete_section(cu, key("parent").c_str()));
    EXPECT_TRUE(key_exists(cu, key("parent")));
    std::vector<box> shown = boxes.boxes();
    if (box_recorder::sees_every_box() || !shown.empty()) {
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].caption, "Registry access error");
        EXPECT_EQ(shown[0].text, system_text(ERROR_ACCESS_DENIED));
        if (box_recorder::sees_every_box()) {
            EXPECT_EQ(shown[0].type, UINT(0x30));
        }
    }

    // A missing key is no error worth a box; a key without subkeys goes with its values.
    EXPECT_FALSE(setreg_delete_section(cu, key("missing").c_str()));
    EXPECT_FALSE(setreg_delete_section(cu, nullptr));
    ASSERT_TRUE(setreg_long(cu, key("parent\\child").c_str(), "n", 1));
    EXPECT_TRUE(setreg_delete_section(cu, key("parent\\child").c_str()));
    EXPECT_FALSE(key_exists(cu, key("parent\\child")));
    EXPECT_EQ(boxes.boxes().size(), shown.size());
}

#ifndef _WIN32
// A box that stays open until the test closes it, as a user would.
struct held_box {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    bool closed = false;
};
held_box* holder = nullptr;

int hold_box(HWND, const char*, const char*, UINT)
{
    std::unique_lock<std::mutex> lock(holder->m);
    holder->open = true;
    holder->cv.notify_all();
    holder->cv.wait(lock, [] { return holder->closed; });
    return IDOK;
}

TEST_F(RegistrySection, LinuxOpenBox_HoldsEveryRegistryCallButTheExistenceTest)
{
    held_box box;
    holder = &box;
    winport_message_box_handler previous = winport_set_message_box_handler(hold_box);
    put_key(cu, key("parent\\child"));
    ASSERT_TRUE(setreg_long(cu, key().c_str(), "n", 5));
    std::string k = key();

    std::thread shows([k] { setreg_delete_section(cu, (k + "\\parent").c_str()); });
    {
        std::unique_lock<std::mutex> lock(box.m);
        box.cv.wait(lock, [&] { return box.open; });
    }
    // Not held: the existence test takes no lock.
    auto exists = std::async(std::launch::async, [k] { return getreg_does_subkey_exist(cu, k.c_str(), "n"); });
    EXPECT_EQ(exists.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    // Held: a read waits for the box. It cannot be seen waiting, only not finishing while
    // the box is open and finishing once it is closed.
    auto read = std::async(std::launch::async, [k] { return getreg_long(cu, k.c_str(), "n", 0); });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    {
        std::lock_guard<std::mutex> lock(box.m);
        box.closed = true;
    }
    box.cv.notify_all();
    shows.join();
    EXPECT_EQ(read.get(), 5);
    EXPECT_TRUE(exists.get());
    winport_set_message_box_handler(previous);
    holder = nullptr;
}
#endif

}  // namespace
