// What the registry suites share: a private key tree per test, raw access to the stored
// values, and the boxes the library shows.
//
// Under Wine the tests use the machine's real registry, so every test works under a key of its
// own (process id and test name) and removes it afterwards.
#ifndef VANTOR_REGISTRY_FIXTURE_H
#define VANTOR_REGISTRY_FIXTURE_H

#include <vantor/vantor.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace registry_test {

constexpr REGSAM view = KEY_WOW64_32KEY;
const HKEY cu = HKEY_CURRENT_USER, lm = HKEY_LOCAL_MACHINE;

inline HKEY open_key(HKEY root, const std::string& path, REGSAM access, bool create = false)
{
    HKEY key = nullptr;
    LONG rc = create ? RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, access | view, nullptr, &key, nullptr)
                     : RegOpenKeyExA(root, path.c_str(), 0, access | view, &key);
    return rc == ERROR_SUCCESS ? key : nullptr;
}

// Stores a value exactly as given, creating the key; without a name, only creates the key.
inline void put_raw(HKEY root, const std::string& path, const char* name = nullptr, DWORD type = 0,
                    const void* bytes = nullptr, DWORD size = 0)
{
    HKEY key = open_key(root, path, KEY_WRITE, true);
    ASSERT_NE(key, nullptr) << path;
    EXPECT_TRUE(!name || RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(bytes), size) == 0) << name;
    RegCloseKey(key);
}

struct stored {
    DWORD type = ~0u;  // none stored
    std::string bytes;
};

inline stored get_raw(HKEY root, const std::string& path, const char* name)
{
    stored out{0, std::string(1 << 17, '\0')};
    DWORD size = static_cast<DWORD>(out.bytes.size());
    HKEY key = open_key(root, path, KEY_READ);
    if (!key || RegQueryValueExA(key, name, nullptr, &out.type, reinterpret_cast<BYTE*>(&out.bytes[0]), &size))
        out = stored();
    out.bytes.resize(out.type == ~0u ? 0 : size);
    if (key)
        RegCloseKey(key);
    return out;
}

inline bool key_exists(HKEY root, const std::string& path)
{
    HKEY key = open_key(root, path, KEY_READ);
    return key && RegCloseKey(key) == ERROR_SUCCESS;
}

inline void delete_tree(HKEY root, const std::string& path)
{
    char name[MAX_PATH];
    for (HKEY key; (key = open_key(root, path, KEY_READ)) != nullptr;) {
        LONG rc = RegEnumKeyA(key, 0, name, sizeof name);
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS)
            break;
        delete_tree(root, path + "\\" + name);
    }
    RegDeleteKeyExA(root, path.c_str(), view, 0);
}

template <typename T>
std::string bytes_of(T value)
{
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// Runs f on a thread of its own; false when it has not ended within a minute, so that a call
// that waits for ever fails its test rather than hanging the run.
inline bool finishes(std::function<void()> f)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ended = done->get_future();
    std::thread([f, done] {
        f();
        done->set_value();
    }).detach();
    return ended.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
}

// A test's own key tree, under HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE.
class RegistryTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        delete_tree(cu, base_);
        delete_tree(lm, base_);
    }
    // The test's key, or a path below it.
    std::string key(const std::string& below = "") const { return below.empty() ? base_ : base_ + "\\" + below; }

    const ::testing::TestInfo* info_ = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string base_ = "Software\\vantor-tests\\" + std::to_string(GetCurrentProcessId()) + "\\" +
                        info_->test_suite_name() + "." + info_->name();
};

// A test's key tree and a registration file of its own.
class RegistryFileTest : public RegistryTest {
protected:
    void TearDown() override
    {
        std::remove(file.c_str());
        RegistryTest::TearDown();
    }
    std::string read_file() const
    {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // The file after an export of root\path that succeeded.
    std::string save(HKEY root, const std::string& path, bool append = false)
    {
        EXPECT_TRUE(SaveRegToFile(root, path.c_str(), file.c_str(), append));
        return read_file();
    }
    std::string file = ::testing::TempDir() + "vantor-" + std::to_string(GetCurrentProcessId()) + "-" +
                       info_->test_suite_name() + "." + info_->name() + ".reg";
};

struct box {
    std::string caption, text;
    UINT type;
};

// Takes the boxes the library shows on this process (Linux: every thread, through the
// message-box handler) or on this thread (Windows: a hook that closes each box as it opens),
// so that no test waits for a user. Under a headless Wine boxes fail at once and leave no
// record; checks of their contents then only run where a record exists.
class box_recorder {
public:
    box_recorder()
    {
        set(true);
#ifdef _WIN32
        hook = SetWindowsHookExA(WH_CBT, close_boxes, nullptr, GetCurrentThreadId());
#else
        previous = winport_set_message_box_handler(take_box);
#endif
    }
    ~box_recorder()
    {
#ifdef _WIN32
        UnhookWindowsHookEx(hook);
#else
        winport_set_message_box_handler(previous);
#endif
        set(false);
    }
    std::vector<box> boxes() const
    {
        std::lock_guard<std::mutex> hold(lock);
        return shown;
    }
    // Expects exactly one box with this caption and text, in the warning style.
    void expect_one(const std::string& caption, const std::string& text) const
    {
        std::vector<box> all = boxes();
#ifdef _WIN32
        if (all.empty())
            return;
        const UINT style = 0;  // not seen by the hook
#else
        const UINT style = 0x30;
#endif
        ASSERT_EQ(all.size(), 1u);
        EXPECT_EQ(all[0].caption, caption);
        EXPECT_EQ(all[0].text, text);
        EXPECT_EQ(all[0].type, style);
    }

private:
    static inline std::mutex lock;
    static inline std::vector<box> shown;
    static inline bool recording = false;
    static void set(bool on)
    {
        std::lock_guard<std::mutex> hold(lock);
        shown.clear();
        recording = on;
    }
    static void record(box b)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (recording)
            shown.push_back(std::move(b));
    }
#ifdef _WIN32
    static inline HHOOK hook = nullptr;
    // A box is a dialog whose static text has the control id 0xFFFF; it is read and closed as
    // soon as it is activated.
    static LRESULT CALLBACK close_boxes(int code, WPARAM wparam, LPARAM lparam)
    {
        if (code == HCBT_ACTIVATE) {
            HWND window = reinterpret_cast<HWND>(wparam);
            char caption[256] = "", text[4096] = "";
            GetWindowTextA(window, caption, sizeof caption);
            GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
            record({caption, text, 0});
            PostMessageA(window, WM_COMMAND, IDOK, 0);
        }
        return CallNextHookEx(hook, code, wparam, lparam);
    }
#else
    winport_message_box_handler previous;
    static int take_box(HWND, const char* text, const char* caption, UINT type)
    {
        record({caption ? caption : "", text ? text : "", type});
        return IDOK;
    }
#endif
};

}  // namespace registry_test

#endif
