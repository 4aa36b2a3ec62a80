// A process that watches for active-user changes: user_watcher LABEL MARKS PASSES GATE
// Registers one callback per character of MARKS, in order, each printing "LABEL <mark>"; the
// last one then waits for the named manual-reset event GATE, so that the test decides when
// the pass may end. Prints "ready" after
// registering, and "done" after each of PASSES passes once it is over. Ends normally, so the
// module is unloaded with the process.
//
// The first registration starts the watcher, which runs a pass at once if the event is set
// already: that pass may begin before the later registrations, and so walk only the first
// callbacks. A test that signals before this process starts therefore gives one mark. No
// callback prints before "ready", whenever its pass began.
#include <vantor/vantor.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string label;
std::string marks;
HANDLE listed = nullptr;
HANDLE gate = nullptr;
HANDLE pass_over = nullptr;

void on_change(void* context)
{
    WaitForSingleObject(listed, INFINITE);
    const char* mark = static_cast<const char*>(context);
    std::printf("%s %c\n", label.c_str(), *mark);
    std::fflush(stdout);
    if (mark == &marks.back()) {
        WaitForSingleObject(gate, INFINITE);
        SetEvent(pass_over);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5 || !*argv[2])
        return 64;
    label = argv[1];
    marks = argv[2];
    int passes = std::atoi(argv[3]);
    listed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    gate = CreateEventA(nullptr, TRUE, FALSE, argv[4]);
    pass_over = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!listed || !gate || !pass_over)
        return 1;
    for (char& mark : marks)
        vantorRegisterActiveUserChangedCallback(&on_change, &mark);
    std::printf("ready\n");
    std::fflush(stdout);
    SetEvent(listed);
    for (int i = 0; i < passes; ++i) {
        if (WaitForSingleObject(pass_over, INFINITE) != WAIT_OBJECT_0)
            return 1;
        // Registering a listed entry changes nothing, but takes the callback-list lock, which
        // the watcher holds until its pass is over.
        vantorRegisterActiveUserChangedCallback(&on_change, &marks[0]);
        std::printf("done\n");
        std::fflush(stdout);
    }
    return 0;
}
