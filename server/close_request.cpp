#include "close_request.h"

#include <ysl/ydiag.h>

#ifdef _WIN32

namespace {

const char window_class[] = "vantor.exe close request";
const UINT end_listener = WM_APP + 1;

}  // namespace

// What the listener's thread shares with its owner. Counted, because a stop that comes while
// the window is still being made does not wait for it (a first window can take seconds where
// there is no display), and the thread then outlives its owner.
struct close_request_listener::shared {
    callback on_request;
    void* context;
    std::atomic<bool> stopping{false};
    std::atomic<HWND> window{nullptr};
    std::atomic<int> holders{2};

    void release()
    {
        if (--holders == 0)
            delete this;
    }
};

LRESULT CALLBACK close_request_listener::window_procedure(HWND window, UINT message, WPARAM w, LPARAM l)
{
    switch (message) {
    case WM_CLOSE: {
        // The request only asks the server to stop; the window goes when the server is done.
        auto* state = reinterpret_cast<shared*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (state && !state->stopping.load())
            state->on_request(state->context);
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

DWORD close_request_listener::listen(void* state_)
{
    auto* state = static_cast<shared*>(state_);
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
            SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
    }
    if (!window) {
        if (!state->stopping.load())
            YErrLog("vantor.exe: the system's close request cannot reach this server; stop it with a shutdown "
                    "request");
        state->release();
        return 1;
    }
    // Published before the stop flag is read, as stop() sets the flag before it reads the
    // window: one of the two sees the other, so a stop that comes meanwhile is not lost.
    state->window.store(window);
    if (!state->stopping.load()) {
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0)
            DispatchMessageA(&msg);
    } else {
        DestroyWindow(window);
    }
    state->release();
    return 0;
}

bool close_request_listener::start(callback on_request, void* context)
{
    shared_ = new shared{on_request, context};
    thread_ = YThread_Create(listen, shared_, THREAD_PRIORITY_NORMAL);
    if (thread_ == YTHREAD_ID_NONE) {
        YErrLog("close_request_listener: YThread_Create() failed");
        delete shared_;
        shared_ = nullptr;
        return false;
    }
    return true;
}

void close_request_listener::stop()
{
    if (thread_ == YTHREAD_ID_NONE)
        return;
    shared_->stopping.store(true);
    // A thread still making its window ends by itself once it is made; it is not waited for.
    if (HWND window = shared_->window.load()) {
        PostMessageA(window, end_listener, 0, 0);
        YThread_Join(thread_);
    }
    thread_ = YTHREAD_ID_NONE;
    shared_->release();
    shared_ = nullptr;
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
