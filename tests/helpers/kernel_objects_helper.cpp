// Helper of the kernel-object suites; what it does is named by its first argument.
//   hold-mutex NAME          takes the named mutex, makes the named manual-reset event NAME.e
//                            set, prints "locked", and waits to be killed
//   count-under-mutex NAME FILE N
//                            N times: under the named mutex, reads the number in FILE and
//                            writes it back increased by one (a lost update shows a breach)
//   create-event NAME        creates a named event, prints "created", and ends
//   wait-event NAME          opens the named event, waits on it once without waiting, prints
//                            "listed", then waits until it is set and prints "woken"
#include <ysl/ymutex.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

int hold_mutex(const char* name)
{
    YMUTEX m = YMutex_Create(name);
    if (m == YMUTEX_INVALID || !YMutex_Lock(m) ||
        !CreateEventA(nullptr, TRUE, TRUE, (std::string(name) + ".e").c_str()))
        return 1;
    std::printf("locked\n");
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

int count_under_mutex(const char* name, const char* file, int n)
{
    YMUTEX m = YMutex_Create(name);
    if (m == YMUTEX_INVALID)
        return 1;
    for (int i = 0; i < n; ++i) {
        if (!YMutex_Lock(m))
            return 2;
        long value = 0;
        std::ifstream(file) >> value;
        std::ofstream(file, std::ios::trunc) << value + 1 << '\n';
        if (!YMutex_Release(m))
            return 3;
    }
    return YMutex_Destroy(m) ? 0 : 4;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "hold-mutex") == 0)
        return hold_mutex(argv[2]);
    if (argc == 5 && std::strcmp(argv[1], "count-under-mutex") == 0)
        return count_under_mutex(argv[2], argv[3], std::atoi(argv[4]));
    if (argc == 3 && std::strcmp(argv[1], "create-event") == 0) {
        HANDLE h = CreateEventA(nullptr, TRUE, FALSE, argv[2]);
        std::printf("%s %lu\n", h ? "created" : "failed", static_cast<unsigned long>(GetLastError()));
        return h ? 0 : 1;
    }
    if (argc == 3 && std::strcmp(argv[1], "wait-event") == 0) {
        HANDLE h = CreateEventA(nullptr, FALSE, FALSE, argv[2]);
        if (!h || WaitForSingleObject(h, 0) != WAIT_TIMEOUT)
            return 1;
        std::printf("listed\n");
        std::fflush(stdout);
        if (WaitForSingleObject(h, INFINITE) != WAIT_OBJECT_0)
            return 2;
        std::printf("woken\n");
        return 0;
    }
    std::fprintf(stderr, "kernel_objects_helper: unknown arguments\n");
    return 64;
}
