// A process that watches for active-user changes: user_watcher LABEL PASSES
// Registers two callbacks that print "LABEL a" and "LABEL b", prints "ready", and after each
// of PASSES passes over them prints "done", once the pass is over (the event reset). Ends
// normally, so that the module is unloaded with the process.
#include <vantor/vantor.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string label;
HANDLE pass_over = nullptr;
char first, second;

void on_change(void* context)
{
    std::printf("%s %s\n", label.c_str(), context == &first ? "a" : "b");
    std::fflush(stdout);
    if (context == &second)
        SetEvent(pass_over);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        return 64;
    label = argv[1];
    int passes = std::atoi(argv[2]);
    pass_over = CreateEventA(nullptr, FALSE, FALSE, nullptr);
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
