// A process that watches for active-user changes: user_watcher LABEL PASSES GATE
// Registers two callbacks that print "LABEL a" and "LABEL b"; the second then waits for the
// named manual-reset event GATE, so that the test decides when the pass may end (and so when
// the user-change event is reset). Prints "ready" after registering, and "done" after each of
// PASSES passes once it is over. Ends normally, so the module is unloaded with the process.
#include <vantor/vantor.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string label;
HANDLE gate = nullptr;
HANDLE pass_over = nullptr;
char first, second;

void on_change(void* context)
{
    std::printf("%s %s\n", label.c_str(), context == &first ? "a" : "b");
    std::fflush(stdout);
    if (context == &second) {
        WaitForSingleObject(gate, INFINITE);
        SetEvent(pass_over);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
        return 64;
    label = argv[1];
    int passes = std::atoi(argv[2]);
    gate = CreateEventA(nullptr, TRUE, FALSE, argv[3]);
    pass_over = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!gate || !pass_over)
        return 1;
    vantorRegisterActiveUserChangedCallback(&on_change, &first);
    vantorRegisterActiveUserChangedCallback(&on_change, &second);
    std::printf("ready\n");
    std::fflush(stdout);
    for (int i = 0; i < passes; ++i) {
        if (WaitForSingleObject(pass_over, INFINITE) != WAIT_OBJECT_0)
            return 1;
        // Registering a listed entry changes nothing, but takes the callback-list lock, which
        // the watcher holds until it has reset the event.
        vantorRegisterActiveUserChangedCallback(&on_change, &first);
        std::printf("done\n");
        std::fflush(stdout);
    }
    return 0;
}
