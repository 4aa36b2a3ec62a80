// vantorctl user: the active-user change notification.
//   user watch [--count N] [--timeout SECONDS]   prints a line for every change it is told of
//   user signal                                  tells every watching process of a change
#include "commands.h"

#include <vantor/vantor.h>

#include <atomic>
#include <cstdio>

namespace {

struct watch_state {
    int wanted = 0;  // 0: no limit
    std::atomic<int> seen{0};
    HANDLE enough = nullptr;
};

// Runs on the module's watcher thread.
void on_change(void* context)
{
    auto* state = static_cast<watch_state*>(context);
    int n = ++state->seen;
    std::printf("active user changed (%d)\n", n);
    std::fflush(stdout);
    if (state->wanted > 0 && n >= state->wanted)
        SetEvent(state->enough);
}

int watch(int count, double timeout)
{
    watch_state state;
    state.wanted = count;
    state.enough = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!state.enough) {
        std::fprintf(stderr, "vantorctl: cannot create an event (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    vantorRegisterActiveUserChangedCallback(&on_change, &state);
    DWORD limit = timeout < 0 ? INFINITE : static_cast<DWORD>(timeout * 1000.0);
    DWORD r = WaitForSingleObject(state.enough, limit);
    // From here on no callback may reach the state, which goes with this frame.
    vantorUnregisterActiveUserChangedCallback(&on_change, &state);
    CloseHandle(state.enough);
    if (r == WAIT_TIMEOUT && count > 0) {
        std::fprintf(stderr, "vantorctl: %d of %d changes within %g s\n", state.seen.load(), count, timeout);
        return 1;
    }
    return r == WAIT_OBJECT_0 || r == WAIT_TIMEOUT ? 0 : 1;
}

// The module's signal reports a failure to its error log alone and returns nothing, so the
// event is made here first: what cannot be made here the module cannot set either, and the
// exit status says so. Holding it open also keeps the event alive across the module's call.
int signal_change()
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "ORVANE_DRAVIN_USER_CHANGED_EVENT");
    if (!event) {
        std::fprintf(stderr, "vantorctl: cannot create the event ORVANE_DRAVIN_USER_CHANGED_EVENT (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    vantorSignalActiveUserChanged();
    CloseHandle(event);
    return 0;
}

}  // namespace

void add_user_command(CLI::App& app)
{
    CLI::App* user = app.add_subcommand("user", "the active-user change notification");
    user->require_subcommand(1);

    CLI::App* watch_cmd =
        user->add_subcommand("watch", "print a line for every active-user change signalled by any process");
    static int count = 0;
    static double timeout = -1;
    watch_cmd->add_option("--count", count, "end after this many changes")->check(CLI::PositiveNumber);
    watch_cmd->add_option("--timeout", timeout, "end after this many seconds (with --count: fail)")
        ->check(CLI::Range(0.0, 2678400.0));
    watch_cmd->callback([] {
        if (int rc = watch(count, timeout))
            throw CLI::RuntimeError(rc);
    });

    CLI::App* signal_cmd = user->add_subcommand("signal", "tell every watching process that the active user changed");
    signal_cmd->callback([] {
        if (int rc = signal_change())
            throw CLI::RuntimeError(rc);
    });
}
