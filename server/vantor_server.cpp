// vantor.exe: the suite's local server process (an ELF file of that name on Linux). Started
// by the first client that finds none (VantorConnection), it serves until a shutdown request
// with its token or the system's close request; the README describes its protocol.
#include "server.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("vantor.exe " VANTOR_VERSION "\n");
        return 0;
    }
    if (argc != 1) {
        std::fprintf(stderr, "usage: vantor.exe [--version]\n");
        return 2;
    }
    // The server outlives the client that started it: it must not hold that client's output
    // open (a pipeline would wait for the server's end). Its error log stays on standard error
    // unless YERRLOG names a file.
#ifdef _WIN32
    const char null_device[] = "NUL";
#else
    const char null_device[] = "/dev/null";
#endif
    if (!std::freopen(null_device, "r", stdin) || !std::freopen(null_device, "w", stdout))
        std::fprintf(stderr, "vantor.exe: cannot detach from the standard streams\n");
    vantor_server server;
    return server.run();
}
