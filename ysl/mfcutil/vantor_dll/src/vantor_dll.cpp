// The module frame: the process-wide static state, made at load and torn down at unload.
//
// All of it lives in this one unit, so that its order of construction is the order of the
// declarations below and its destruction the reverse; nothing else runs at load: no file is
// read, no thread is started.
#include <vantor/vantor.h>

#include "WSAHandler.h"
#include "vantor_dll_state.h"

#include <ysl/orvane_lockable.h>

#include <vector>

namespace {

// Two independent guards keep Windows Sockets started for the whole life of the module.
WSAHandler wsa_guard_first;
WSAHandler wsa_guard_second;

class registry_lock_state {
public:
    registry_lock_state() { InitializeCriticalSection(&cs_); }
    ~registry_lock_state() { DeleteCriticalSection(&cs_); }
    void enter() { EnterCriticalSection(&cs_); }
    void leave() { LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_;
} registry_lock;

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
};

std::vector<callback_entry> callbacks;
orvane::ThreadMutex callbacks_lock;

// The handle of the named event that signals a change; kept from its first successful
// creation until unload.
HANDLE signal_handle = nullptr;

void user_change_teardown()
{
    if (signal_handle) {
        CloseHandle(signal_handle);
        signal_handle = nullptr;
    }
    if (watcher.stop_event) {
        CloseHandle(watcher.stop_event);
        watcher.stop_event = nullptr;
    }
    callbacks.clear();
}

// Constructed last, so destroyed first: the module's own part of unloading, which must end
// before the callback list and its lock go.
struct process_detach {
    ~process_detach() { user_change_teardown(); }
} detach;

}  // namespace

namespace vantor_module {

void registry_lock_enter()
{
    registry_lock.enter();
}

void registry_lock_leave()
{
    registry_lock.leave();
}

}  // namespace vantor_module
