// Latency of an active-user change from vantorSignalActiveUserChanged in one process to the
// callback in another, and, as the bare peer, of a byte through a FIFO woken by poll between
// two processes. Prints the median and the 99th percentile of 1000 one-way trips each:
//   notify.p50 <us> us    notify.p99 <us> us    fifo.p50 <us> us    fifo.p99 <us> us
// notify_bench [--label NAME]: NAME replaces "notify" (the Wine run prints notify.wine.*).
// The same program is its own peer process: notify_bench watch | fifo PATH N.
#include <vantor/vantor.h>

#include "test_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const int warmup = 50;
const int rounds = 1000;

// One clock for both processes: the system's monotonic clock on Linux, the performance
// counter on Windows.
long long now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void print_line(long long value)
{
    std::printf("%lld\n", value);
    std::fflush(stdout);
}

void on_change(void*)
{
    print_line(now_ns());
}

int watch()
{
    vantorRegisterActiveUserChangedCallback(&on_change, nullptr);
    print_line(0);  // ready
    // The process ends when its parent kills it; until then the watcher does the work.
    Sleep(INFINITE);
    return 0;
}

void report(const char* name, std::vector<double>& us)
{
    std::sort(us.begin(), us.end());
    std::printf("%s.p50 %.1f us\n", name, us[us.size() / 2]);
    std::printf("%s.p99 %.1f us\n", name, us[us.size() * 99 / 100]);
}

bool measure_notify(const char* label)
{
    vantor_test::child peer("notify_bench", {"watch"});
    std::string line;
    if (!peer.read_line(line))
        return false;
    // The parent's own view of the event tells when the watcher has reset it after a pass.
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, "ORVANE_DRAVIN_USER_CHANGED_EVENT");
    std::vector<double> us;
    for (int i = 0; i < warmup + rounds; ++i) {
        long long sent = now_ns();
        vantorSignalActiveUserChanged();
        if (!peer.read_line(line))
            return false;
        long long seen = std::atoll(line.c_str());
        if (i >= warmup)
            us.push_back(static_cast<double>(seen - sent) / 1000.0);
        while (WaitForSingleObject(ev, 0) == WAIT_OBJECT_0)
            Sleep(0);
    }
    CloseHandle(ev);
    peer.kill();
    report(label, us);
    return true;
}

#ifndef _WIN32
int fifo_peer(const char* path, int n)
{
    int fd = open(path, O_RDWR);
    if (fd < 0)
        return 1;
    print_line(0);  // ready
    for (int i = 0; i < n; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, -1) != 1)
            return 1;
        char byte;
        if (read(fd, &byte, 1) != 1)
            return 1;
        print_line(now_ns());
    }
    return 0;
}

bool measure_fifo()
{
    std::string path = "/tmp/bench_notify_fifo." + std::to_string(getpid());
    if (mkfifo(path.c_str(), 0600) != 0)
        return false;
    vantor_test::child peer("notify_bench", {"fifo", path, std::to_string(warmup + rounds)});
    std::string line;
    int fd = -1;
    if (peer.read_line(line))
        fd = open(path.c_str(), O_WRONLY);
    unlink(path.c_str());
    if (fd < 0)
        return false;
    std::vector<double> us;
    for (int i = 0; i < warmup + rounds; ++i) {
        long long sent = now_ns();
        if (write(fd, "x", 1) != 1 || !peer.read_line(line))
            return false;
        if (i >= warmup)
            us.push_back(static_cast<double>(std::atoll(line.c_str()) - sent) / 1000.0);
    }
    close(fd);
    peer.wait();
    report("fifo", us);
    return true;
}
#endif

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "watch") == 0)
        return watch();
#ifndef _WIN32
    if (argc == 4 && std::strcmp(argv[1], "fifo") == 0)
        return fifo_peer(argv[2], std::atoi(argv[3]));
#endif
    const char* label = argc == 3 && std::strcmp(argv[1], "--label") == 0 ? argv[2] : "notify";
    // Each run gets a machine state of its own (Linux), as the tests do.
    vantor_test::private_prefix prefix;
    if (!measure_notify(label)) {
        std::fprintf(stderr, "notify_bench: the notification could not be measured\n");
        return 1;
    }
#ifndef _WIN32
    if (!measure_fifo()) {
        std::fprintf(stderr, "notify_bench: the FIFO peer could not be measured\n");
        return 1;
    }
#endif
    return 0;
}
