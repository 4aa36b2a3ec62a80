// vantor.exe: the suite's local server process. It answers --version; its service on the
// loopback port arrives with the server connection.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("vantor.exe " VANTOR_VERSION "\n");
        return 0;
    }
    std::fprintf(stderr, "usage: vantor.exe --version\n");
    return 2;
}
