// Starting a process and waiting for its end, and waking a wait set from another process.
//   process.start <us> us        YProcess_Create of a small helper, then YProcess_WaitForExit
//                                until it has ended (median of 200)
//   process.start.bare <us> us   posix_spawn + waitpid of the same helper (Linux)
//   waitset.notify.p50 <us> us   YIntSockSel_Notify in one process to YIntSockSel_Wait
//   waitset.notify.p99 <us> us   returning -2 in another (1000 rounds)
// process_bench --label wine: the figures are named process.start.wine, waitset.notify.wine.*.
// The same program is its own peer process: process_bench notifier PID.
#include <ysl/yintsocksel_win32.h>
#include <ysl/yprocess_win32.h>

#include "test_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace {

const int start_runs = 200;
const int warmup = 50;
const int rounds = 1000;

long long now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double median_us(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::vector<double> time_runs(int n, const std::function<bool()>& run)
{
    std::vector<double> us;
    for (int i = 0; i < n; ++i) {
        long long t0 = now_ns();
        if (!run())
            return {};
        us.push_back(static_cast<double>(now_ns() - t0) / 1000.0);
    }
    return us;
}

bool start_and_wait(const std::string& cmdline)
{
    YPROCESS_ID pid = YProcess_Create(cmdline.c_str(), 0);
    if (pid == YPROCESS_ID_NONE)
        return false;
    // A helper that has ended and is gone before the wait opens it has ended all the same.
    return YProcess_WaitForExit(pid, -1.0) != -1 && !YProcess_IsAlive(pid);
}

#ifndef _WIN32
bool bare_start_and_wait(const std::string& path)
{
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0)
        return false;
    int status;
    return waitpid(pid, &status, 0) == pid;
}
#endif

// The peer: for every line on its standard input, the time, then a notification to the waiter,
// then the time on its standard output.
int notifier(DWORD waiter)
{
    char line[16];
    while (std::fgets(line, sizeof line, stdin)) {
        long long sent = now_ns();
        if (!YIntSockSel_Notify(waiter))
            return 1;
        std::printf("%lld\n", sent);
        std::fflush(stdout);
    }
    return 0;
}

bool read_line(int fd, std::string& line)
{
    line.clear();
    char c;
    while (_read(fd, &c, 1) == 1) {
        if (c == '\n')
            return true;
        if (c != '\r')
            line += c;
    }
    return false;
}

bool measure_notify(const std::string& prefix)
{
    YIntSockSel* set = YIntSockSel_Create();
    if (!set)
        return false;
    std::string self = vantor_test::helper_path("process_bench");
    std::string cmdline = "\"" + self + "\" notifier " + std::to_string(_getpid());
    int out = -1, in = -1;
    YPROCESS_ID peer = YProcess_CreateWithPipes(cmdline.c_str(), 0, &out, nullptr, &in);
    if (!peer)
        return false;
    std::vector<double> us;
    std::string line;
    bool ok = true;
    for (int i = 0; ok && i < warmup + rounds; ++i) {
        ok = _write(in, "go\n", 3) == 3 && YIntSockSel_Wait(set) == -2;
        long long woken = now_ns();
        ok = ok && read_line(out, line);
        if (ok && i >= warmup)
            us.push_back(static_cast<double>(woken - std::atoll(line.c_str())) / 1000.0);
    }
    _close(in);
    _close(out);
    YIntSockSel_Destroy(set);
    if (!ok)
        return false;
    std::sort(us.begin(), us.end());
    std::printf("%s.p50 %.1f us\n", prefix.c_str(), us[us.size() / 2]);
    std::printf("%s.p99 %.1f us\n", prefix.c_str(), us[us.size() * 99 / 100]);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "notifier") == 0)
        return notifier(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
    std::string suffix = argc == 3 && std::strcmp(argv[1], "--label") == 0 ? std::string(".") + argv[2] : "";
    vantor_test::private_prefix prefix;

    std::string helper = vantor_test::helper_path("echo_args");
    std::vector<double> ours = time_runs(start_runs, [&] { return start_and_wait("\"" + helper + "\""); });
    if (ours.empty()) {
        std::fprintf(stderr, "process_bench: the helper could not be started\n");
        return 1;
    }
    std::printf("process.start%s %.1f us\n", suffix.c_str(), median_us(ours));
#ifndef _WIN32
    std::vector<double> bare = time_runs(start_runs, [&] { return bare_start_and_wait(helper); });
    if (bare.empty()) {
        std::fprintf(stderr, "process_bench: the bare start failed\n");
        return 1;
    }
    std::printf("process.start.bare %.1f us\n", median_us(bare));
#endif
    if (!measure_notify("waitset.notify" + suffix)) {
        std::fprintf(stderr, "process_bench: the wait set could not be measured\n");
        return 1;
    }
    return 0;
}
