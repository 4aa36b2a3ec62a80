// The module frame: the process-wide static state, made at load and torn down at unload.
//
// All of it lives in this one unit, so that its order of construction is the order of the
// declarations below and its destruction the reverse; nothing else runs at load: no file is
// read, no thread is started.
#include <vantor/vantor.h>

#include "vantor_dll_state.h"

#include <ysl/orvane_lockable.h>
#include <ysl/ydiag.h>
#include <ysl/ythread_win32.h>

#include <atomic>
#include <vector>

namespace {

// Two independent guards keep Windows Sockets started for the whole life of the module. A
// refused start is not the module's failure: a pipe that needs sockets reports it.
class wsa_startup_guard {
public:
    wsa_startup_guard()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~wsa_startup_guard() { WSACleanup(); }
    wsa_startup_guard(const wsa_startup_guard&) = delete;
    wsa_startup_guard& operator=(const wsa_startup_guard&) = delete;
};

wsa_startup_guard wsa_guard_first;
wsa_startup_guard wsa_guard_second;

orvane::ThreadMutex registry_lock;

// The active-user change watcher: its stop event (unnamed, auto-reset, not signalled) and the
// identifier of its thread, -1 until the first registration starts it.
struct watcher_record {
    watcher_record() : stop_event(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
    HANDLE stop_event;
    DWORD thread_id = static_cast<DWORD>(-1);
} watcher;

struct callback_entry {
    void (*callback)(void*);
    void* context;
    bool operator==(const callback_entry& other) const
    {
        return callback == other.callback && context == other.context;
    }
};

std::vector<callback_entry> callbacks;
orvane::ThreadMutex callbacks_lock;
bool watcher_started = false;  // guarded by callbacks_lock; never cleared

// The handle of the named event that signals a change; kept from its first successful
// creation until unload. Atomic, since signals may come from several threads at once.
std::atomic<HANDLE> signal_handle{nullptr};

const char user_changed_event_name[] = "ORVANE_DRAVIN_USER_CHANGED_EVENT";

// Unloading joins the watcher from DllMain, under the loader lock, where a thread cannot
// finish its exit (ExitThread waits for that lock to notify the modules). So the watcher,
// once stopped, does not return: it reports through an event that it has left the module's
// code for good and waits for ever in the kernel; the unload waits for that report (or for
// the thread's end: at process exit the system has ended every other thread already),
// terminates the parked thread, which needs no loader lock, and only then joins it. The
// thread holds no lock and owns nothing the process still needs when it is terminated; only
// its start record stays unreleased.
//
// On Linux there is nothing to do: a winport thread ends without the dynamic loader's lock
// (which dlclose holds at unload), and its handle is signalled from winport, which is never
// unloaded, once it has left this module's code; the join is direct and the module may go as
// soon as it returns.
class loader_lock_exit {
public:
#ifdef _WIN32
    loader_lock_exit() : parked_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

    // The watcher's last step: the report, then a wait on `stop_event` until the unload ends
    // the thread.
    void park(HANDLE stop_event)
    {
        SignalObjectAndWait(parked_, stop_event, INFINITE, FALSE);
    }

    // Before the join: ends the watcher once it is parked.
    void end_parked(DWORD thread_id)
    {
        HANDLE thread = YThread_DuplicateWindowsHandle(thread_id);
        if (thread == INVALID_HANDLE_VALUE)
            return;
        const HANDLE waits[2] = {parked_, thread};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0)
            TerminateThread(thread, 0);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }

    void close()
    {
        if (parked_) {
            CloseHandle(parked_);
            parked_ = nullptr;
        }
    }

private:
    HANDLE parked_;
#else
    void park(HANDLE) {}
    void end_parked(DWORD) {}
    void close() {}
#endif
} watcher_exit;

DWORD watcher_main(void*)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, user_changed_event_name);
    if (!event) {
        DWORD error = GetLastError();
        YErrLog("Failed to create user change event: '%s' (%i)", user_changed_event_name, static_cast<int>(error));
        watcher_exit.park(watcher.stop_event);
        return 0;
    }
    const HANDLE waits[2] = {event, watcher.stop_event};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        // Reset before the callbacks run, not after: a change signalled while they run then
        // leaves the event set and causes one more pass, where a reset after the pass would
        // swallow it and leave the process with a stale user.
        ResetEvent(event);
        orvane::ScopedLock hold(callbacks_lock);
        // A callback may register or unregister callbacks (the lock lets this thread in
        // again); the pass walks the list as it was when it began, and changes count from
        // the next pass.
        const std::vector<callback_entry> pass = callbacks;
        for (const callback_entry& entry : pass)
            entry.callback(entry.context);
    }
    CloseHandle(event);
    // The stop event is auto-reset and was consumed by the wait above: nothing sets it again.
    watcher_exit.park(watcher.stop_event);
    return 0;
}

void stop_watcher()
{
    if (watcher.thread_id == static_cast<DWORD>(-1))
        return;
    // A callback that ends the process runs on the watcher itself, which cannot join itself.
    if (watcher.thread_id == GetCurrentThreadId())
        return;
    SetEvent(watcher.stop_event);
    watcher_exit.end_parked(watcher.thread_id);
    YThread_Join(watcher.thread_id);
    watcher.thread_id = static_cast<DWORD>(-1);
}

void user_change_teardown()
{
    stop_watcher();
    if (HANDLE h = signal_handle.exchange(nullptr))
        CloseHandle(h);
    if (watcher.stop_event) {
        CloseHandle(watcher.stop_event);
        watcher.stop_event = nullptr;
    }
    watcher_exit.close();
    callbacks.clear();
}

// Constructed last, so destroyed first: the module's own part of unloading, which must end
// before the callback list and its lock go.
struct process_detach {
    ~process_detach() { user_change_teardown(); }
} detach;

}  // namespace

void vantorRegisterActiveUserChangedCallback(void (*callback)(void*), void* context)
{
    orvane::ScopedLock hold(callbacks_lock);
    if (!watcher_started) {
        watcher_started = true;
        watcher.thread_id = YThread_Create(&watcher_main, nullptr, THREAD_PRIORITY_NORMAL);
        if (watcher.thread_id == static_cast<DWORD>(-1))
            YErrLog("YThread_Create failed");
    }
    const callback_entry entry{callback, context};
    for (const callback_entry& listed : callbacks)
        if (listed == entry)
            return;
    callbacks.push_back(entry);
}

void vantorUnregisterActiveUserChangedCallback(void (*callback)(void*), void* context)
{
    orvane::ScopedLock hold(callbacks_lock);
    const callback_entry entry{callback, context};
    for (auto it = callbacks.begin(); it != callbacks.end(); ++it) {
        if (*it == entry) {
            callbacks.erase(it);
            return;
        }
    }
}

void vantorSignalActiveUserChanged()
{
    if (HANDLE h = signal_handle.load()) {
        SetEvent(h);
        return;
    }
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, user_changed_event_name);
    if (!h) {
        DWORD error = GetLastError();
        YErrLog("Failed to create user change event: 'ORVANE_DRAVIN_USER_CHANGED_EVENT' (%i)", static_cast<int>(error));
        return;
    }
    // Two first signals at once: one handle is kept, the other closed.
    HANDLE expected = nullptr;
    if (!signal_handle.compare_exchange_strong(expected, h)) {
        CloseHandle(h);
        h = expected;
    }
    SetEvent(h);
}

namespace vantor_module {

void registry_lock_enter()
{
    registry_lock.lock();
}

void registry_lock_leave()
{
    registry_lock.unlock();
}

}  // namespace vantor_module
