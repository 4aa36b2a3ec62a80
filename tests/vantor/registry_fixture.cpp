#include "registry_fixture.h"

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace registry_test {

namespace {

HKEY open(HKEY root, const std::string& path, REGSAM access, bool create = false)
{
    HKEY key = nullptr;
    LONG rc = create ? RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, access | view, nullptr, &key, nullptr)
                     : RegOpenKeyExA(root, path.c_str(), 0, access | view, &key);
    return rc == ERROR_SUCCESS ? key : nullptr;
}

#ifdef _WIN32
constexpr bool sees_every_box = false;
#else
constexpr bool sees_every_box = true;
#endif

std::mutex boxes_lock;
std::vector<box> all_boxes;
bool recording = false;

void record(box b)
{
    std::lock_guard<std::mutex> lock(boxes_lock);
    if (recording)
        all_boxes.push_back(std::move(b));
}

void set_recording(bool on)
{
    std::lock_guard<std::mutex> lock(boxes_lock);
    all_boxes.clear();
    recording = on;
}

#ifdef _WIN32
HHOOK hook = nullptr;

// A box is a dialog whose static text has the control id 0xFFFF; it is read and closed as soon
// as it is activated.
LRESULT CALLBACK close_boxes(int code, WPARAM wparam, LPARAM lparam)
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
winport_message_box_handler previous_handler = nullptr;

int take_box(HWND, const char* text, const char* caption, UINT type)
{
    record({caption ? caption : "", text ? text : "", type});
    return IDOK;
}
#endif

}  // namespace

void put_raw(HKEY root, const std::string& path, const char* name, DWORD type, const void* bytes, DWORD size)
{
    HKEY key = open(root, path, KEY_WRITE, true);
    ASSERT_NE(key, nullptr) << path;
    if (name) {
        EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(bytes), size), ERROR_SUCCESS);
    }
    RegCloseKey(key);
}

stored get_raw(HKEY root, const std::string& path, const char* name)
{
    stored out;
    HKEY key = open(root, path, KEY_READ);
    DWORD size = 0;
    if (key && RegQueryValueExA(key, name, nullptr, &out.type, nullptr, &size) == ERROR_SUCCESS) {
        out.bytes.resize(size);
        out.present = RegQueryValueExA(key, name, nullptr, &out.type, reinterpret_cast<BYTE*>(&out.bytes[0]), &size) ==
                      ERROR_SUCCESS;
        out.bytes.resize(size);
    }
    if (key)
        RegCloseKey(key);
    return out;
}

bool key_exists(HKEY root, const std::string& path)
{
    HKEY key = open(root, path, KEY_READ);
    return key && RegCloseKey(key) == ERROR_SUCCESS;
}

void delete_tree(HKEY root, const std::string& path)
{
    HKEY key = open(root, path, KEY_READ);
    if (!key)
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

std::string system_text(DWORD code)
{
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0,
                   reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = text ? text : "";
    LocalFree(text);
    return out;
}

bool finishes(std::function<void()> f)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ended = done->get_future();
    std::thread([f, done] {
        f();
        done->set_value();
    }).detach();
    return ended.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
}

void RegistryTest::SetUp()
{
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    base_ = std::string("Software\\vantor-tests\\") + std::to_string(GetCurrentProcessId()) + "\\" +
            info->test_suite_name() + "." + info->name();
}

void RegistryTest::TearDown()
{
    delete_tree(cu, base_);
    delete_tree(lm, base_);
}

box_recorder::box_recorder()
{
    set_recording(true);
#ifdef _WIN32
    hook = SetWindowsHookExA(WH_CBT, close_boxes, nullptr, GetCurrentThreadId());
#else
    previous_handler = winport_set_message_box_handler(take_box);
#endif
}

box_recorder::~box_recorder()
{
#ifdef _WIN32
    UnhookWindowsHookEx(hook);
#else
    winport_set_message_box_handler(previous_handler);
#endif
    set_recording(false);
}

std::vector<box> box_recorder::boxes() const
{
    std::lock_guard<std::mutex> lock(boxes_lock);
    return all_boxes;
}

void box_recorder::expect_one(const std::string& caption, const std::string& text) const
{
    std::vector<box> shown = boxes();
    if (!sees_every_box && shown.empty())
        return;
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, caption);
    EXPECT_EQ(shown[0].text, text);
    EXPECT_EQ(shown[0].type, sees_every_box ? UINT(0x30) : 0u);  // the hook sees no style
}

}  // namespace registry_test
