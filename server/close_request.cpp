#include "close_request.h"

#include <ysl/ydiag.h>

#ifdef _WIN32

namespace {

const char window_class[] = "vantor.exe close request";
const UINT end_listener = WM_APP + 1;

}  // namespace

LRESULT CALLBACK close_request_listener::window_procedure(HWND window, UINT message, WPARAM w, LPARAM l)
{
    switch (message) {
    case WM_CLOSE: {
        // The request only asks the server to stop; the window goes when the server is done.
        auto* self = reinterpret_cast<close_request_listener*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self && !self->stopping_.load())
            self->on_request_(self->context_);
        return 0;
    }
    case end_listener:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, w, l);
    }
}

DWORD close_request_listener::listen(void* self_)
{
    auto* self = static_cast<close_request_listener*>(self_);
    WNDCLASSA wc = {};
    wc.lpfnWndProc = window_procedure;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = window_class;
    HWND window = nullptr;
    if (!RegisterClassA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        YErrLog("close_request_listener: RegisterClassA() failed: %lu", GetLastError());
    } else {
        // Top-level and never shown: Yipc_TerminateProcess posts WM_CLOSE to the top-level
        // windows of the process, among which a message-only window would not be.
        window = CreateWindowExA(0, window_class, "vantor.exe", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                 wc.hInstance, nullptr);
        if (!window)
            YErrLog("close_request_listener: CreateWindowExA() failed: %lu", GetLastError());
        else
            SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    if (!window) {
        YErrLog("vantor.exe: the system's close request cannot reach this server; stop it with a shutdown request");
        return 1;
    }
    // Published before stopping_ is read, as stop() sets stopping_ before it reads the window:
    // one of the two sees the other, so a stop that comes while the window is made is not lost.
    self->window_.store(window);
    if (self->stopping_.load()) {
        DestroyWindow(window);
        return 0;
    }
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        DispatchMessageA(&msg);
    return 0;
}

bool close_request_listener::start(callback on_request, void* context)
{
    on_request_ = on_request;
    context_ = context;
    thread_ = YThread_Create(listen, this, THREAD_PRIORITY_NORMAL);
    if (thread_ == YTHREAD_ID_NONE) {
        YErrLog("close_request_listener: YThread_Create() failed");
        return false;
    }
    return true;
}

void close_request_listener::stop()
{
    if (thread_ != YTHREAD_ID_NONE) {
        stopping_.store(true);
        if (HWND window = window_.load())
            PostMessageA(window, end_listener, 0, 0);
        YThread_Join(thread_);
        thread_ = YTHREAD_ID_NONE;
    }
}

#else

#include <csignal>
#include <pthread.h>
#include <unistd.h>

namespace {

sigset_t close_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

DWORD close_request_listener::listen(void* self_)
{
    auto* self = static_cast<close_request_listener*>(self_);
    const sigset_t set = close_signals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) {
            YErrLog("close_request_listener: sigwait() failed");
            return 1;
        }
        if (self->stopping_.load())
            return 0;
        self->on_request_(self->context_);
    }
}

bool close_request_listener::start(callback on_request, void* context)
{
    on_request_ = on_request;
    context_ = context;
    // Blocked in every thread, the signals wait for the listener's sigwait instead of ending
    // the process.
    const sigset_t set = close_signals();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
        YErrLog("close_request_listener: pthread_sigmask() failed");
        return false;
    }
    thread_ = YThread_Create(listen, this, THREAD_PRIORITY_NORMAL);
    if (thread_ == YTHREAD_ID_NONE) {
        YErrLog("close_request_listener: YThread_Create() failed");
        return false;
    }
    return true;
}

void close_request_listener::stop()
{
    if (thread_ == YTHREAD_ID_NONE)
        return;
    stopping_.store(true);
    // The signal is blocked everywhere, so it can only end the listener's wait.
    kill(getpid(), SIGTERM);
    YThread_Join(thread_);
    thread_ = YTHREAD_ID_NONE;
}

#endif
