// The system's polite request to end the server, the one Yipc_TerminateProcess sends first:
// SIGTERM (and SIGINT from a terminal) on Linux, WM_CLOSE to a top-level window on Windows.
#ifndef VANTOR_SERVER_CLOSE_REQUEST_H
#define VANTOR_SERVER_CLOSE_REQUEST_H

#include <ysl/ythread_win32.h>

#include <atomic>

class close_request_listener {
public:
    // on_request runs on the listener's own thread, at most once per request.
    using callback = void (*)(void* context);

    close_request_listener() = default;
    ~close_request_listener() { stop(); }
    close_request_listener(const close_request_listener&) = delete;
    close_request_listener& operator=(const close_request_listener&) = delete;

    // Must run before the process starts any other thread on Linux, so that every thread
    // inherits the blocked signals and only the listener receives them. On Windows the window
    // is made on the listener's thread without holding up the caller (a first window can take
    // seconds where there is no display); a failure there is reported by that thread.
    bool start(callback on_request, void* context);
    // Ends the listener thread; a request that arrives meanwhile may still call back.
    void stop();

private:
    static DWORD listen(void* self);
    YTHREAD_ID thread_ = YTHREAD_ID_NONE;
#ifdef _WIN32
    struct shared;
    static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    shared* shared_ = nullptr;
#else
    callback on_request_ = nullptr;
    void* context_ = nullptr;
    std::atomic<bool> stopping_{false};
#endif
};

#endif
