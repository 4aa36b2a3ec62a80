// What the registry suites share: a private key tree per test, raw access to the stored
// values, and the boxes the library shows.
//
// Under Wine the tests use the machine's real registry, so every test works under a key of its
// own (process id and test name) and removes it afterwards.
#ifndef VANTOR_REGISTRY_FIXTURE_H
#define VANTOR_REGISTRY_FIXTURE_H

#include <vantor/vantor.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace registry_test {

constexpr REGSAM view = KEY_WOW64_32KEY;
const HKEY cu = HKEY_CURRENT_USER;
const HKEY lm = HKEY_LOCAL_MACHINE;

struct stored {
    bool present = false;
    DWORD type = 0;
    std::string bytes;
};

// Stores a value exactly as given, creating the key; without a name, only creates the key.
void put_raw(HKEY root, const std::string& path, const char* name = nullptr, DWORD type = 0,
             const void* bytes = nullptr, DWORD size = 0);
stored get_raw(HKEY root, const std::string& path, const char* name);
bool key_exists(HKEY root, const std::string& path);
void delete_tree(HKEY root, const std::string& path);
// The text the system gives for an error code.
std::string system_text(DWORD code);
// Runs f on a thread of its own; false when it has not ended within a minute, so that a call
// that waits for ever fails its test rather than hanging the run.
bool finishes(std::function<void()> f);

template <typename T>
std::string bytes_of(T value)
{
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// A test's own key tree, under HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
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
    // Expects exactly one box with this caption and text, in the warning style.
    void expect_one(const std::string& caption, const std::string& text) const;
};

}  // namespace registry_test

#endif
