// set_location WHICH COUNT [UID]: sets the location WHICH (server, data or temp) to WHICH-0 ...
// WHICH-(COUNT-1) through the module's exports; exit code 0 when every set succeeded. With UID
// (Linux), it first becomes that user, for what the superuser's rights would hide.
#include <vantor/vantor.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef _WIN32
#include <grp.h>
#include <unistd.h>
#endif

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 4)
        return 2;
#ifndef _WIN32
    if (argc == 4) {
        const auto id = static_cast<unsigned>(std::atoi(argv[3]));
        if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0)
            return 3;
    }
#endif
    bool (*set)(const char*) = std::strcmp(argv[1], "server") == 0 ? setVantorServerLocation
                               : std::strcmp(argv[1], "data") == 0 ? setVantorDataLocation
                                                                   : setVantorTempDataLocation;
    const int count = std::atoi(argv[2]);
    for (int i = 0; i < count; ++i) {
        std::string value = std::string(argv[1]) + "-" + std::to_string(i);
        if (!set(value.c_str())) {
            std::printf("set %s failed\n", value.c_str());
            return 1;
        }
    }
    return 0;
}
