// What the registry suites share: a private key tree per test, raw access to the stored
// values, and the boxes the library shows.
//
// Under Wine the tests use the machine's real registry, so every test works under a key of its
// own (process id and test name) and removes it afterwards.
#ifndef VANTOR_REGISTRY_FIXTURE_H
#define VANTOR_REGISTRY_FIXTURE_H

#include <vantor/vantor.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace registry_test {

constexpr REGSAM view = KEY_WOW64_32KEY;

// Deletes a key with all its subkeys.
inline void delete_tree(HKEY root, const std::string& path)
{
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return;
    std::vector<std::string> subkeys;
    char name[MAX_PATH];
    while (RegEnumKeyA(key, static_cast<DWORD>(subkeys.size()), name, sizeof name) == ERROR_SUCCESS)
        subkeys.push_back(name);
    RegCloseKey(key);
    for (const std::string& s : subkeys)
        delete_tree(root, path + "\\" + s);
    RegDeleteKeyExA(root, path.c_str(), view, 0);
}

// Stores a value exactly as given, creating the key.
inline void put_raw(HKEY root, const std::string& path, const char* name, DWORD type, const void* bytes, DWORD size)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(bytes), size), ERROR_SUCCESS);
    RegCloseKey(key);
}

inline void put_key(HKEY root, const std::string& path)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

struct stored {
    bool present = false;
    DWORD type = 0;
    std::string bytes;
};

inline stored get_raw(HKEY root, const std::string& path, const char* name)
{
    stored out;
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return out;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &out.type, nullptr, &size) == ERROR_SUCCESS) {
        out.bytes.resize(size);
        out.present = RegQueryValueExA(key, name, nullptr, &out.type, reinterpret_cast<BYTE*>(&out.bytes[0]), &size) ==
                      ERROR_SUCCESS;
        out.bytes.resize(size);
    }
    RegCloseKey(key);
    return out;
}

inline bool key_exists(HKEY root, const std::string& path)
{
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// The text the system gives for an error code.
inline std::string system_text(DWORD code)
{
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0,
                   reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = text ? text : "";
    LocalFree(text);
    return out;
}

// A test's own key tree, under HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        base_ = std::string("Software\\vantor-tests\\") + std::to_string(GetCurrentProcessId()) + "\\" +
                info->test_suite_name() + "." + info->name();
    }
    void TearDown() override
    {
        delete_tree(HKEY_CURRENT_USER, base_);
        delete_tree(HKEY_LOCAL_MACHINE, base_);
    }
    // The test's key, or a path below it.
    std::string key(const std::string& below = "") const { return below.empty() ? base_ : base_ + "\\" + below; }

private:
    std::string base_;
};

struct box {
    std::string caption;
    std::string text;
    UINT type;
};

// Takes the boxes the library shows on this process (Linux: every thread, through the
// message-box handler) or on this thread (Windows: a hook that closes each box as it opens),
// so that no test waits for a user. Under a headless Wine boxes fail at once and leave no
// record; checks of their contents then only run where a record exists.
class box_recorder {
public:
    box_recorder();
    ~box_recorder();
    box_recorder(const box_recorder&) = delete;
    box_recorder& operator=(const box_recorder&) = delete;
    std::vector<box> boxes() const;
    // Whether every box shown is recorded here.
    static bool sees_every_box();
};

}  // namespace registry_test

#endif
