#include "registry_fixture.h"

namespace registry_test {

namespace {

std::mutex boxes_lock;
std::vector<box>* recorded = nullptr;

void record(box b)
{
    std::lock_guard<std::mutex> lock(boxes_lock);
    if (recorded)
        recorded->push_back(std::move(b));
}

#ifdef _WIN32
HHOOK hook = nullptr;

// A box is a dialog whose static text has the control id 0xFFFF; it is read and closed as soon
// as it is activated.
LRESULT CALLBACK close_boxes(int code, WPARAM wparam, LPARAM lparam)
{
    if (code == HCBT_ACTIVATE) {
        HWND window = reinterpret_cast<HWND>(wparam);
        char caption[256] = "";
        char text[4096] = "";
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

std::vector<box> all_boxes;

}  // namespace

box_recorder::box_recorder()
{
    {
        std::lock_guard<std::mutex> lock(boxes_lock);
        all_boxes.clear();
        recorded = &all_boxes;
    }
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
    hook = nullptr;
#else
    winport_set_message_box_handler(previous_handler);
#endif
    std::lock_guard<std::mutex> lock(boxes_lock);
    recorded = nullptr;
}

std::vector<box> box_recorder::boxes() const
{
    std::lock_guard<std::mutex> lock(boxes_lock);
    return all_boxes;
}

bool box_recorder::sees_every_box()
{
#ifdef _WIN32
    return false;
#else
    return true;
#endif
}

}  // namespace registry_test
