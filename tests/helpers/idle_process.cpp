// A process that runs without listening or signalling: idle_process [EVENT]
// Prints "ready", then waits until the named manual-reset event EVENT is set (at most 60 s,
// so that a failed test leaves nothing behind for long). Built also as idle/vantor.exe: a
// server process that does not accept connections.
#include <winport/winport.h>

#include <cstdio>

int main(int argc, char** argv)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, argc > 1 ? argv[1] : nullptr);
    std::printf("ready\n");
    std::fflush(stdout);
    WaitForSingleObject(event, 60000);
    return 0;
}
