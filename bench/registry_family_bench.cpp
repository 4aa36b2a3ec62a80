// The cost of the exported registry family over the bare registry calls: getreg_long against
// open+query+close of a DWORD, setreg_long against open+set+close, all in one run. Prints
// `figure value unit` lines, each the median of several rounds; the rounds of a figure and
// its peer alternate, so that a slow phase of the machine falls on both.
#include "bare_registry.h"

#include <vantor/vantor.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int rounds = 11;
constexpr int get_iterations = 200000;  // a read costs well under a microsecond
constexpr int set_iterations = 5000;

const char* const key_path = "Software\\vantor-bench\\family";

[[noreturn]] void failed(const char* what)
{
    std::fprintf(stderr, "registry_family_bench: %s failed\n", what);
    std::exit(1);
}

bool family_get()
{
    bool found = false;
    getreg_long(HKEY_LOCAL_MACHINE, key_path, "count", -1, &found);
    return found;
}

bool family_set(int i)
{
    return setreg_long(HKEY_LOCAL_MACHINE, key_path, "count", i);
}

// Microseconds per call of one round.
template <typename F>
double round_us(int iterations, F call, const char* what)
{
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; ++i) {
        if (!call(i))
            failed(what);
    }
    std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    return took.count() / iterations;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main()
{
    // A prefix of its own, so that the figures never depend on (or touch) a real registry.
    std::string dir = (std::filesystem::temp_directory_path() / "vantor-bench-XXXXXX").string();
    if (!mkdtemp(&dir[0])) {
        std::perror("registry_family_bench: mkdtemp");
        return 1;
    }
    setenv("WINPORT_PREFIX", dir.c_str(), 1);
    if (!setreg_long(HKEY_LOCAL_MACHINE, key_path, "count", 0))
        failed("preparing the registry");

    std::vector<double> get, family_get_us, set, family_set_us;
    for (int r = 0; r < rounds; ++r) {
        get.push_back(round_us(
            get_iterations, [](int) { return bare_registry_get(key_path); }, "registry.get"));
        family_get_us.push_back(round_us(
            get_iterations, [](int) { return family_get(); }, "getreg_long"));
        set.push_back(round_us(
            set_iterations, [](int i) { return bare_registry_set(key_path, i); }, "registry.set"));
        family_set_us.push_back(round_us(set_iterations, family_set, "setreg_long"));
    }
    double g = median(get), fg = median(family_get_us), s = median(set), fs = median(family_set_us);
    std::printf("registry.get %.2f us\n", g);
    std::printf("getreg_long %.2f us\n", fg);
    std::printf("registry.set %.2f us\n", s);
    std::printf("setreg_long %.2f us\n", fs);
    std::printf("getreg_long.ratio %.2f x\n", fg / g);
    std::printf("setreg_long.ratio %.2f x\n", fs / s);

    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
